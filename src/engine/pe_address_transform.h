// Addresses in x86-64 Windows programs, rewritten so that a delta survives a
// rebuild.
//
// Between two builds of a program most code is unchanged, but every call,
// jump and RIP-relative reference that spans code which grew or shrank gets
// other bytes, and so do the table of function starts (.pdata) and every
// absolute pointer that the loader relocates. A delta coder sees those as
// changes scattered over the whole file. The transform rewrites each such
// field of the new build as the value it would have in the old build,
// through a map of the new build's address ranges onto the old one's
// (segments the publisher finds by matching the two builds). Where the map
// holds, a rewritten field equals the old build's bytes and the delta coder
// finds long matches; the applier maps each field back.
//
// A program that was not stripped also carries a COFF symbol table whose
// values are offsets into sections, and they move as the code does, and
// whose long names are offsets into its string table, which move as names
// are added before them; the second form of the transform maps those too.
// String offsets are addresses of their own space, from kStringSpace on,
// which the map places beside the image's.
//
// A field whose value cannot be mapped, or would not map back to itself, is
// left as it is and listed as an exception, so the transform is exact for
// any map. Fields are found only from bytes that it never changes (the
// headers, the relocation table, and the prefixes, opcodes and ModRM/SIB
// bytes of instructions), so that both directions find the same fields.
//
// Portable; no global state. Nothing here trusts its input: the image and
// the map may be any bytes.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace PeAddress {

// New-build addresses [newStart, newStart + length) correspond to old-build
// addresses from oldStart on. Relative virtual addresses (from the image
// base). A map lists them by newStart, not overlapping.
struct Segment {
  std::uint32_t newStart = 0;
  std::uint32_t length = 0;
  std::uint32_t oldStart = 0;
};

struct Section {
  std::string name;
  std::uint32_t rva = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t fileOffset = 0;
  std::uint32_t fileSize = 0;  // clamped to the file
  bool executable = false;
};

struct Layout {
  std::uint64_t imageBase = 0;
  std::uint32_t headerSize = 0;  // bytes before which no field lies
  std::vector<Section> sections;
  std::uint32_t relocOffset = 0;  // the base relocation table's bytes in the file
  std::uint32_t relocSize = 0;
  std::uint32_t pdataOffset = 0;  // the exception directory's bytes in the file
  std::uint32_t pdataSize = 0;
  std::uint32_t symbolOffset = 0;  // the COFF symbol table (18-byte records), when it lies
  std::uint32_t symbolCount = 0;   // within the file apart from the headers and every section
  std::uint32_t stringOffset = 0;  // its string table, right after it (clamped to the file)
  std::uint32_t stringSize = 0;
};

// Which fields a map covers: kPlain the code's, the exception directory's
// and the relocated pointers; kWithSymbols those and the COFF symbol table's
// values and long names as well. A map is decoded in the form it was made in.
enum class Form : std::uint8_t { kPlain, kWithSymbols };

// The string table's offset 0 as an address of the map (no program's
// addresses reach it).
inline constexpr std::uint32_t kStringSpace = 0x80000000u;

// False unless `image` is a PE32+ image for x86-64 whose headers lie within it.
bool ReadLayout(std::string_view image, Layout* layout);

// The file offset of an address inside a section's file bytes; false when it
// has none there.
bool RvaToOffset(const Layout& layout, std::uint64_t rva, std::uint32_t* offset);

// The section whose file bytes hold [offset, offset + size), or null.
const Section* SectionHolding(const Layout& layout, std::uint64_t offset, std::uint64_t size);

enum class FieldKind : std::uint8_t {
  kRel32,  // rel32 of call/jmp/jcc or a RIP-relative disp32: target = end + value
  kRva32,  // an entry of the exception directory: an address
  kVa64,   // a relocated pointer: image base + address
  kSymbol32,  // a symbol's value: an offset into the section at address `end`
  kString32,  // a symbol's long name: an offset into the string table, address kStringSpace + value
};

struct Field {
  FieldKind kind = FieldKind::kRel32;
  std::uint32_t offset = 0;  // of the field's bytes in the file
  std::uint32_t end = 0;     // kRel32: address of the end of its instruction; kSymbol32: of its section
};

// Every field of `form`, in the order the transform numbers them: the
// exception directory's, the relocated and the symbols' by offset, then the
// code's.
std::vector<Field> FindFields(std::string_view image, const Layout& layout, Form form);

// Rewrites the new build `image` in place through `segments` (sorted by
// newStart, not overlapping) and returns in *side what Decode needs: the map
// and the exceptions. False when the image is not one this applies to.
bool Encode(std::string* image, const std::vector<Segment>& segments, Form form, std::string* side);

enum class DecodeResult {
  kDone,
  kMalformed,   // the map is malformed or does not fit the image
  kOverBudget,  // the map and the image's tables would need more than workBytes
  kCancelled,
};

// Maps every field of a rewritten image back, in place, in the form the map
// was made in. What it holds besides the image (the map and the address
// fields) is bounded by the map's size and the image's relocation,
// exception and (kWithSymbols) symbol tables, and checked against
// `workBytes` before any of it is held. `cancel` is read every 1 MiB of
// code walked. On anything but kDone the image is unspecified.
DecodeResult Decode(std::string_view side, char* image, std::size_t size, Form form, std::uint64_t workBytes,
                    const std::atomic<bool>& cancel);

}  // namespace PeAddress
