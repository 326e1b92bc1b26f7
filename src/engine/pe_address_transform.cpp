#include "engine/pe_address_transform.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <iterator>
#include <map>

namespace PeAddress {
namespace {

std::uint16_t Load16(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}
std::uint32_t Load32(const char* p) { return Load16(p) | (std::uint32_t{Load16(p + 2)} << 16); }
std::uint64_t Load64(const char* p) { return Load32(p) | (std::uint64_t{Load32(p + 4)} << 32); }
void Store32(char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
void Store64(char* p, std::uint64_t v) {
  Store32(p, static_cast<std::uint32_t>(v));
  Store32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

constexpr std::uint64_t k4G = std::uint64_t{1} << 32;

bool Within(std::uint64_t offset, std::uint64_t size, std::uint64_t begin, std::uint64_t end) {
  return offset >= begin && offset + size <= end;
}

// --- x86-64 instruction lengths --------------------------------------------

// The length of the instruction at `p` (at most `avail` bytes there), 0 when
// it runs past them. *field is set to the position inside it of a rel32
// (call, jmp, jcc) or a RIP-relative disp32, else -1. Only prefixes,
// opcodes and ModRM/SIB bytes are read, never a displacement or immediate.
// Bytes that are no instruction still get a length of at least 1: what
// matters is that both directions step alike.
std::size_t InstructionLength(const unsigned char* p, std::size_t avail, int* field) {
  *field = -1;
  std::size_t i = 0;
  bool opsize = false;
  bool addrsize = false;
  bool rexW = false;
  for (;; ++i) {
    if (i >= avail) return 0;
    if (i >= 14) return 1;
    const unsigned char b = p[i];
    if (b == 0x66) opsize = true;
    else if (b == 0x67) addrsize = true;
    else if (!(b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65 || b == 0xF0 ||
               b == 0xF2 || b == 0xF3))
      break;
  }
  if ((p[i] & 0xF0) == 0x40) {
    rexW = (p[i] & 8) != 0;
    if (++i >= avail) return 0;
  }
  const std::size_t z = opsize ? 2 : 4;
  unsigned op = p[i++];
  int map = 0;
  bool modrm = false;
  std::size_t imm = 0;
  bool relative = false;  // the immediate is a rel32
  const auto need = [&](std::size_t n) { return i + n <= avail; };

  if (op == 0xC4 || op == 0xC5 || op == 0x62) {  // VEX and EVEX (always so in 64-bit code)
    const std::size_t payload = op == 0xC5 ? 1 : op == 0xC4 ? 2 : 3;
    if (!need(payload + 1)) return 0;
    map = op == 0xC5 ? 1 : op == 0xC4 ? (p[i] & 0x1F) : (p[i] & 0x07);
    i += payload;
    op = p[i++];
    modrm = !(map == 1 && op == 0x77);
    if (map == 3 || (map == 1 && ((op >= 0x70 && op <= 0x73) || op == 0xC2 || (op >= 0xC4 && op <= 0xC6)))) imm = 1;
  } else if (op == 0x0F) {
    if (!need(1)) return 0;
    op = p[i++];
    map = 1;
    if (op == 0x38 || op == 0x3A) {
      map = op == 0x38 ? 2 : 3;
      if (!need(1)) return 0;
      op = p[i++];
      modrm = true;
      imm = map == 3 ? 1 : 0;
    } else if (op >= 0x80 && op <= 0x8F) {
      imm = 4;
      relative = true;
    } else {
      const bool none = (op >= 0x04 && op <= 0x0C) || op == 0x0E || (op >= 0x30 && op <= 0x37) ||
                        op == 0x77 || (op >= 0xA0 && op <= 0xA2) || (op >= 0xA8 && op <= 0xAA) ||
                        (op >= 0xC8 && op <= 0xCF);
      modrm = !none;
      if (op == 0x0F || (op >= 0x70 && op <= 0x73) || op == 0xA4 || op == 0xAC || op == 0xBA || op == 0xC2 ||
          (op >= 0xC4 && op <= 0xC6))
        imm = 1;
    }
  } else {
    if (op < 0x40) {
      modrm = (op & 7) < 4;
      if ((op & 7) == 4) imm = 1;
      if ((op & 7) == 5) imm = z;
    } else if (op == 0x63 || (op >= 0x80 && op <= 0x8F) || op == 0xC0 || op == 0xC1 || op == 0xC6 || op == 0xC7 ||
               (op >= 0xD0 && op <= 0xD3) || (op >= 0xD8 && op <= 0xDF) || op == 0xF6 || op == 0xF7 ||
               op == 0xFE || op == 0xFF) {
      modrm = true;
    }
    switch (op) {
      case 0x68: case 0x81: case 0xA9: case 0xC7: imm = z; break;
      case 0x69: modrm = true; imm = z; break;
      case 0x6B: modrm = true; imm = 1; break;
      case 0x6A: case 0x80: case 0x82: case 0x83: case 0xA8: case 0xC0: case 0xC1: case 0xC6: case 0xCD:
      case 0xD4: case 0xD5: case 0xEB: imm = 1; break;
      case 0xC2: case 0xCA: imm = 2; break;
      case 0xC8: imm = 3; break;
      case 0xE8: case 0xE9: imm = 4; relative = true; break;
      default:
        if ((op >= 0x70 && op <= 0x7F) || (op >= 0xB0 && op <= 0xB7) || (op >= 0xE0 && op <= 0xE7)) imm = 1;
        else if (op >= 0xB8 && op <= 0xBF) imm = rexW ? 8 : z;
        else if (op >= 0xA0 && op <= 0xA3) imm = addrsize ? 4 : 8;
    }
  }
  int disp32At = -1;
  if (modrm) {
    if (!need(1)) return 0;
    const unsigned m = p[i++];
    const unsigned mod = m >> 6;
    const unsigned reg = (m >> 3) & 7;
    const unsigned rm = m & 7;
    std::size_t disp = 0;
    if (mod != 3) {
      if (rm == 4) {
        if (!need(1)) return 0;
        const unsigned sib = p[i++];
        if (mod == 0 && (sib & 7) == 5) disp = 4;
      } else if (mod == 0 && rm == 5) {
        disp = 4;
        disp32At = static_cast<int>(i);
      }
      if (mod == 1) disp = 1;
      if (mod == 2) disp = 4;
    }
    i += disp;
    if (map == 0 && (op == 0xF6 || op == 0xF7) && reg < 2) imm = op == 0xF6 ? 1 : z;
  }
  i += imm;
  if (i > avail) return 0;
  if (i > 15) return 1;
  if (relative && imm == 4) *field = static_cast<int>(i - 4);
  else if (disp32At >= 0) *field = disp32At;
  return i;
}

// --- the fields ------------------------------------------------------------

std::uint32_t FieldSize(FieldKind kind) { return kind == FieldKind::kVa64 ? 8 : 4; }

bool Forbidden(const Layout& layout, std::uint64_t offset, std::uint64_t size) {
  if (offset < layout.headerSize) return true;
  return layout.relocSize != 0 && offset < std::uint64_t{layout.relocOffset} + layout.relocSize &&
         layout.relocOffset < offset + size;
}

// How many address fields the tables can hold: what AddressFields reserves.
std::uint64_t AddressFieldRoom(const Layout& layout, Form form) {
  return std::uint64_t{layout.pdataSize} / 4 + layout.relocSize / 2 +
         (form == Form::kWithSymbols ? 2ull * layout.symbolCount : 0);
}

// The exception directory's entries, the relocated pointers and (in
// kWithSymbols) the values of symbols defined in a section and the string
// offsets of long names, by offset, none overlapping another, the headers or
// the relocation table. Found from the headers, the relocation table and the
// symbol records' first four bytes (zero for a long name), section numbers
// and counts of auxiliary records alone; the symbol table lies apart from
// every section, so no other field overlaps those bytes.
std::vector<Field> AddressFields(std::string_view image, const Layout& layout, Form form) {
  std::vector<Field> found;
  found.reserve(AddressFieldRoom(layout, form));  // as many as there can be
  for (std::uint64_t k = 0; k + 4 <= layout.pdataSize; k += 4)
    found.push_back({FieldKind::kRva32, static_cast<std::uint32_t>(layout.pdataOffset + k), 0});
  if (form == Form::kWithSymbols) {
    for (std::uint64_t k = 0; k < layout.symbolCount;) {
      const char* record = image.data() + layout.symbolOffset + 18 * k;
      if (Load32(record) == 0)
        found.push_back({FieldKind::kString32, static_cast<std::uint32_t>(layout.symbolOffset + 18 * k + 4), 0});
      const auto section = static_cast<std::int16_t>(Load16(record + 12));
      if (section >= 1 && static_cast<std::size_t>(section) <= layout.sections.size())
        found.push_back({FieldKind::kSymbol32, static_cast<std::uint32_t>(layout.symbolOffset + 18 * k + 8),
                         layout.sections[section - 1].rva});
      k += 1 + static_cast<unsigned char>(record[17]);  // and its auxiliary records
    }
  }
  const std::uint64_t relocEnd = std::uint64_t{layout.relocOffset} + layout.relocSize;
  for (std::uint64_t block = layout.relocOffset; block + 8 <= relocEnd;) {
    const std::uint32_t page = Load32(image.data() + block);
    const std::uint32_t blockSize = Load32(image.data() + block + 4);
    if (blockSize < 8 || block + blockSize > relocEnd) break;
    for (std::uint64_t e = block + 8; e + 2 <= block + blockSize; e += 2) {
      const std::uint16_t entry = Load16(image.data() + e);
      if ((entry >> 12) != 10) continue;  // IMAGE_REL_BASED_DIR64
      std::uint32_t offset = 0;
      if (RvaToOffset(layout, std::uint64_t{page} + (entry & 0xFFF), &offset))
        found.push_back({FieldKind::kVa64, offset, 0});
    }
    block += blockSize;
  }
  // In place (equal fields are alike, so the order among them is moot).
  std::sort(found.begin(), found.end(), [](const Field& a, const Field& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.kind < b.kind;
  });
  std::size_t kept = 0;  // compacted in place: the list may be as long as the tables are
  std::uint64_t freeFrom = 0;
  for (const Field& field : found) {
    const std::uint32_t size = FieldSize(field.kind);
    if (field.offset < freeFrom || Forbidden(layout, field.offset, size) ||
        (field.kind != FieldKind::kSymbol32 && field.kind != FieldKind::kString32 &&
         !SectionHolding(layout, field.offset, size)))
      continue;
    found[kept++] = field;
    freeFrom = std::uint64_t{field.offset} + size;
  }
  found.resize(kept);
  return found;
}

bool OverlapsAny(const std::vector<Field>& sorted, std::uint64_t offset, std::uint64_t size) {
  auto it = std::lower_bound(sorted.begin(), sorted.end(), offset, [](const Field& f, std::uint64_t at) {
    return std::uint64_t{f.offset} + FieldSize(f.kind) <= at;
  });
  return it != sorted.end() && it->offset < offset + size;
}

// The code's rel32 and RIP-relative fields, found by walking each
// executable section's instructions, handed to `take` one by one (false
// from it stops the walk, and false is returned). `cancel`, when given, is
// read every 1 MiB of code.
template <typename Take>
bool ForEachCodeField(std::string_view image, const Layout& layout, const std::vector<Field>& addressFields,
                      const std::atomic<bool>* cancel, Take take) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(image.data());
  std::size_t walked = 0;
  // A section whose bytes overlap those of one walked before is not walked:
  // a field found twice would be rewritten twice, and not mapped back.
  std::map<std::size_t, std::size_t> walkedRanges;  // file offset -> end
  for (const Section& section : layout.sections) {
    if (!section.executable || section.fileSize == 0) continue;
    const std::size_t end = std::size_t{section.fileOffset} + section.fileSize;
    const auto after = walkedRanges.lower_bound(section.fileOffset);
    if ((after != walkedRanges.end() && after->first < end) ||
        (after != walkedRanges.begin() && std::prev(after)->second > section.fileOffset))
      continue;
    walkedRanges.emplace(section.fileOffset, end);
    std::size_t at = section.fileOffset;
    while (at < end) {
      int field = -1;
      const std::size_t length = InstructionLength(bytes + at, end - at, &field);
      if (length == 0) break;
      if (field >= 0) {
        const std::size_t offset = at + static_cast<std::size_t>(field);
        const std::uint64_t endRva = std::uint64_t{section.rva} + (at + length - section.fileOffset);
        if (!Forbidden(layout, offset, 4) && !OverlapsAny(addressFields, offset, 4) && endRva < k4G &&
            !take(Field{FieldKind::kRel32, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(endRva)}))
          return false;
      }
      at += length;
      walked += length;
      if (cancel && (walked & 0xFFFFF) < length && cancel->load()) return false;
    }
  }
  return true;
}

// --- the map ---------------------------------------------------------------

class CAddressMap {
 public:
  // False unless the segments are sorted by newStart, do not overlap and
  // stay below 4 GiB on both sides.
  bool Set(std::vector<Segment> segments) {
    std::uint64_t freeFrom = 0;
    for (const Segment& s : segments) {
      if (s.length == 0 || s.newStart < freeFrom || std::uint64_t{s.newStart} + s.length > k4G ||
          std::uint64_t{s.oldStart} + s.length > k4G)
        return false;
      freeFrom = std::uint64_t{s.newStart} + s.length;
    }
    byNew_ = std::move(segments);
    byOld_.resize(byNew_.size());
    for (std::uint32_t k = 0; k < byOld_.size(); ++k) byOld_[k] = k;
    std::stable_sort(byOld_.begin(), byOld_.end(),
                     [this](std::uint32_t a, std::uint32_t b) { return byNew_[a].oldStart < byNew_[b].oldStart; });
    return true;
  }

  const Segment* At(std::uint64_t address) const {
    auto it = std::upper_bound(byNew_.begin(), byNew_.end(), address,
                               [](std::uint64_t a, const Segment& s) { return a < s.newStart; });
    if (it == byNew_.begin()) return nullptr;
    --it;
    return address - it->newStart < it->length ? &*it : nullptr;
  }

  bool Forward(std::uint64_t address, std::uint64_t* old) const {
    const Segment* s = At(address);
    if (!s) return false;
    *old = s->oldStart + (address - s->newStart);
    return true;
  }

  // The new address of an old one, through the segment with the greatest
  // oldStart at or below it.
  bool Back(std::uint64_t old, std::uint64_t* address) const {
    auto it = std::upper_bound(byOld_.begin(), byOld_.end(), old,
                               [this](std::uint64_t o, std::uint32_t k) { return o < byNew_[k].oldStart; });
    if (it == byOld_.begin()) return false;
    const Segment& s = byNew_[*(it - 1)];
    if (old - s.oldStart >= s.length) return false;
    *address = s.newStart + (old - s.oldStart);
    return true;
  }

  const std::vector<Segment>& Segments() const { return byNew_; }

 private:
  std::vector<Segment> byNew_;
  std::vector<std::uint32_t> byOld_;
};

// --- one field each way ----------------------------------------------------

// Where a symbol's section starts in the old build, as far as the map
// knows: a symbol's value is written as an offset from there, as the old
// build has it.
std::uint64_t OldSectionStart(const CAddressMap& map, const Field& field) {
  std::uint64_t old = field.end;
  map.Forward(field.end, &old);
  return old;
}

// The value a field of the new build is rewritten to; false when it must
// stay as it is (an exception). `target` is what the field points at.
bool Rewrite(const CAddressMap& map, const Layout& layout, const Field& field, std::int64_t shift,
             std::uint64_t value, std::uint64_t* rewritten) {
  std::uint64_t target = 0;
  std::uint64_t old = 0;
  std::uint64_t back = 0;
  switch (field.kind) {
    case FieldKind::kRel32: {
      target = static_cast<std::uint64_t>(field.end + static_cast<std::int64_t>(static_cast<std::int32_t>(value)));
      if (!map.Forward(target, &old)) return false;
      const std::int64_t x = static_cast<std::int64_t>(old) - (static_cast<std::int64_t>(field.end) + shift);
      if (x < INT32_MIN || x > INT32_MAX) return false;
      *rewritten = static_cast<std::uint32_t>(static_cast<std::int32_t>(x));
      break;
    }
    case FieldKind::kRva32:
      target = value;
      if (!map.Forward(target, &old)) return false;
      *rewritten = old;
      break;
    case FieldKind::kVa64:
      if (value < layout.imageBase || value - layout.imageBase >= k4G) return false;
      target = value - layout.imageBase;
      if (!map.Forward(target, &old)) return false;
      *rewritten = layout.imageBase + old;
      break;
    case FieldKind::kSymbol32: {
      target = std::uint64_t{field.end} + value;
      const std::uint64_t section = OldSectionStart(map, field);
      if (!map.Forward(target, &old) || old < section || old - section >= k4G) return false;
      *rewritten = old - section;
      break;
    }
    case FieldKind::kString32:
      target = std::uint64_t{kStringSpace} + value;
      if (!map.Forward(target, &old) || old < kStringSpace) return false;
      *rewritten = old - kStringSpace;
      break;
  }
  return map.Back(old, &back) && back == target;
}

// The inverse: the original value of a rewritten field; false when the map
// cannot give one.
bool Restore(const CAddressMap& map, const Layout& layout, const Field& field, std::int64_t shift,
             std::uint64_t rewritten, std::uint64_t* value) {
  std::uint64_t target = 0;
  switch (field.kind) {
    case FieldKind::kRel32: {
      const std::int64_t old = static_cast<std::int64_t>(static_cast<std::int32_t>(rewritten)) +
                               static_cast<std::int64_t>(field.end) + shift;
      if (old < 0 || !map.Back(static_cast<std::uint64_t>(old), &target)) return false;
      const std::int64_t v = static_cast<std::int64_t>(target) - field.end;
      if (v < INT32_MIN || v > INT32_MAX) return false;
      *value = static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
      return true;
    }
    case FieldKind::kRva32:
      if (!map.Back(rewritten, &target)) return false;
      *value = target;
      return true;
    case FieldKind::kVa64:
      if (rewritten < layout.imageBase || !map.Back(rewritten - layout.imageBase, &target)) return false;
      *value = layout.imageBase + target;
      return true;
    case FieldKind::kSymbol32:
      if (!map.Back(OldSectionStart(map, field) + rewritten, &target) || target < field.end ||
          target - field.end >= k4G)
        return false;
      *value = target - field.end;
      return true;
    case FieldKind::kString32:
      if (!map.Back(std::uint64_t{kStringSpace} + rewritten, &target) || target < kStringSpace) return false;
      *value = target - kStringSpace;
      return true;
  }
  return false;
}

std::uint64_t LoadField(const char* image, const Field& field) {
  return field.kind == FieldKind::kVa64 ? Load64(image + field.offset) : Load32(image + field.offset);
}
void StoreField(char* image, const Field& field, std::uint64_t value) {
  if (field.kind == FieldKind::kVa64) Store64(image + field.offset, value);
  else Store32(image + field.offset, static_cast<std::uint32_t>(value));
}

// Whether a field takes part, and with which shift: a code field only
// inside a segment (its instruction moved with it), an address anywhere.
bool Shift(const CAddressMap& map, const Layout& layout, const Field& field, std::int64_t* shift) {
  *shift = 0;
  if (field.kind != FieldKind::kRel32) return true;
  // The field's own address: its end is inside the same section.
  const Section* section = SectionHolding(layout, field.offset, 4);
  if (!section) return false;
  const Segment* s = map.At(std::uint64_t{section->rva} + (field.offset - section->fileOffset));
  if (!s) return false;
  *shift = static_cast<std::int64_t>(s->oldStart) - s->newStart;
  return true;
}

// --- the side information --------------------------------------------------

void PutVarint(std::string* out, std::uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>(0x80 | (v & 0x7F)));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

bool GetVarint(std::string_view* in, std::uint64_t* v) {
  *v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (in->empty()) return false;
    const auto b = static_cast<unsigned char>(in->front());
    in->remove_prefix(1);
    *v |= std::uint64_t{b & 0x7Fu} << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

std::uint64_t ZigZag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t UnZigZag(std::uint64_t v) { return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1); }

// Segments: count, then per segment the gap after the last one, its length
// and how its shift differs from the last one's. Exceptions: count, then
// the gaps between their numbers.
void WriteSide(const std::vector<Segment>& segments, const std::vector<std::uint32_t>& exceptions, std::string* side) {
  side->clear();
  PutVarint(side, segments.size());
  std::uint64_t end = 0;
  std::int64_t lastShift = 0;
  for (const Segment& s : segments) {
    const std::int64_t shift = static_cast<std::int64_t>(s.oldStart) - s.newStart;
    PutVarint(side, s.newStart - end);
    PutVarint(side, s.length);
    PutVarint(side, ZigZag(shift - lastShift));
    end = std::uint64_t{s.newStart} + s.length;
    lastShift = shift;
  }
  PutVarint(side, exceptions.size());
  std::uint64_t next = 0;
  for (std::uint32_t e : exceptions) {
    PutVarint(side, e - next);
    next = std::uint64_t{e} + 1;
  }
}

bool ReadSide(std::string_view side, std::vector<Segment>* segments, std::vector<std::uint64_t>* exceptions) {
  std::uint64_t count = 0;
  if (!GetVarint(&side, &count) || count > side.size()) return false;
  segments->reserve(count);
  std::uint64_t end = 0;
  std::int64_t shift = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    std::uint64_t gap = 0, length = 0, change = 0;
    if (!GetVarint(&side, &gap) || !GetVarint(&side, &length) || !GetVarint(&side, &change)) return false;
    if (gap >= k4G || length >= k4G) return false;
    const std::uint64_t start = end + gap;
    shift += UnZigZag(change);
    if (shift <= -static_cast<std::int64_t>(k4G) || shift >= static_cast<std::int64_t>(k4G)) return false;
    const std::int64_t old = static_cast<std::int64_t>(start) + shift;
    if (start >= k4G || old < 0 || old >= static_cast<std::int64_t>(k4G)) return false;
    segments->push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length),
                         static_cast<std::uint32_t>(old)});
    end = start + length;
  }
  if (!GetVarint(&side, &count) || count > side.size()) return false;
  exceptions->reserve(count);
  std::uint64_t next = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    std::uint64_t gap = 0;
    if (!GetVarint(&side, &gap) || gap >= k4G || next + gap >= k4G) return false;
    exceptions->push_back(next + gap);
    next += gap + 1;
  }
  return side.empty();
}

}  // namespace

bool ReadLayout(std::string_view image, Layout* layout) {
  *layout = Layout();
  if (image.size() < 0x40 || image.size() >= k4G || image[0] != 'M' || image[1] != 'Z') return false;
  const std::uint64_t pe = Load32(image.data() + 0x3C);
  if (pe + 24 > image.size() || std::memcmp(image.data() + pe, "PE\0\0", 4) != 0) return false;
  if (Load16(image.data() + pe + 4) != 0x8664) return false;
  const std::uint32_t sectionCount = Load16(image.data() + pe + 6);
  const std::uint64_t optional = pe + 24;
  const std::uint64_t optionalSize = Load16(image.data() + pe + 20);
  if (optionalSize < 112 || optional + optionalSize > image.size()) return false;
  if (Load16(image.data() + optional) != 0x20B) return false;  // PE32+
  layout->imageBase = Load64(image.data() + optional + 24);
  const std::uint64_t table = optional + optionalSize;
  if (table + std::uint64_t{sectionCount} * 40 > image.size()) return false;
  layout->headerSize = static_cast<std::uint32_t>(table + std::uint64_t{sectionCount} * 40);
  const std::uint32_t directories = Load32(image.data() + optional + 108);
  for (std::uint32_t k = 0; k < sectionCount; ++k) {
    const char* h = image.data() + table + 40 * k;
    Section s;
    s.name.assign(h, strnlen(h, 8));
    s.virtualSize = Load32(h + 8);
    s.rva = Load32(h + 12);
    const std::uint64_t rawSize = Load32(h + 16);
    s.fileOffset = Load32(h + 20);
    const std::uint64_t fileEnd = std::min<std::uint64_t>(std::uint64_t{s.fileOffset} + rawSize, image.size());
    s.fileSize = s.fileOffset < fileEnd ? static_cast<std::uint32_t>(fileEnd - s.fileOffset) : 0;
    if (s.virtualSize != 0) s.fileSize = std::min(s.fileSize, s.virtualSize);
    s.executable = (Load32(h + 36) & 0x20000020u) != 0;  // code, or executable
    layout->sections.push_back(s);
  }
  const auto directory = [&](std::uint32_t index, std::uint32_t* offset, std::uint32_t* size) {
    *offset = 0;
    *size = 0;
    if (index >= directories || 112 + 8ull * (index + 1) > optionalSize) return;
    const std::uint32_t rva = Load32(image.data() + optional + 112 + 8 * index);
    const std::uint32_t bytes = Load32(image.data() + optional + 116 + 8 * index);
    std::uint32_t at = 0;
    if (bytes == 0 || !RvaToOffset(*layout, rva, &at)) return;
    const Section* section = SectionHolding(*layout, at, 1);
    const std::uint64_t room = std::uint64_t{section->fileOffset} + section->fileSize - at;
    *offset = at;
    *size = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, room));
  };
  directory(3, &layout->pdataOffset, &layout->pdataSize);
  directory(5, &layout->relocOffset, &layout->relocSize);
  // The symbol table counts only where it lies whole in the file, after the
  // headers and apart from every section's bytes.
  const std::uint64_t symbols = Load32(image.data() + pe + 12);
  const std::uint64_t symbolCount = Load32(image.data() + pe + 16);
  const std::uint64_t symbolsEnd = symbols + 18 * symbolCount;
  if (symbolCount != 0 && symbols >= layout->headerSize && symbolsEnd <= image.size() &&
      std::none_of(layout->sections.begin(), layout->sections.end(), [&](const Section& s) {
        return s.fileSize != 0 && s.fileOffset < symbolsEnd && symbols < std::uint64_t{s.fileOffset} + s.fileSize;
      })) {
    layout->symbolOffset = static_cast<std::uint32_t>(symbols);
    layout->symbolCount = static_cast<std::uint32_t>(symbolCount);
    if (symbolsEnd + 4 <= image.size()) {  // its first four bytes give its size
      layout->stringOffset = static_cast<std::uint32_t>(symbolsEnd);
      const std::uint64_t stringSize = Load32(image.data() + symbolsEnd);
      layout->stringSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(stringSize, image.size() - symbolsEnd));
    }
  }
  return true;
}

bool RvaToOffset(const Layout& layout, std::uint64_t rva, std::uint32_t* offset) {
  for (const Section& s : layout.sections) {
    if (rva >= s.rva && rva - s.rva < s.fileSize) {
      *offset = static_cast<std::uint32_t>(s.fileOffset + (rva - s.rva));
      return true;
    }
  }
  return false;
}

const Section* SectionHolding(const Layout& layout, std::uint64_t offset, std::uint64_t size) {
  for (const Section& section : layout.sections) {
    if (Within(offset, size, section.fileOffset, std::uint64_t{section.fileOffset} + section.fileSize))
      return &section;
  }
  return nullptr;
}

std::vector<Field> FindFields(std::string_view image, const Layout& layout, Form form) {
  std::vector<Field> fields = AddressFields(image, layout, form);
  std::vector<Field> code;
  ForEachCodeField(image, layout, fields, nullptr, [&code](const Field& field) {
    code.push_back(field);
    return true;
  });
  fields.insert(fields.end(), code.begin(), code.end());
  return fields;
}

bool Encode(std::string* image, const std::vector<Segment>& segments, Form form, std::string* side) {
  Layout layout;
  CAddressMap map;
  if (!ReadLayout(*image, &layout) || !map.Set(segments)) return false;
  const std::vector<Field> fields = FindFields(*image, layout, form);
  std::vector<std::uint32_t> exceptions;
  for (std::uint32_t k = 0; k < fields.size(); ++k) {
    std::int64_t shift = 0;
    if (!Shift(map, layout, fields[k], &shift)) continue;
    std::uint64_t rewritten = 0;
    if (Rewrite(map, layout, fields[k], shift, LoadField(image->data(), fields[k]), &rewritten))
      StoreField(image->data(), fields[k], rewritten);
    else
      exceptions.push_back(k);
  }
  WriteSide(map.Segments(), exceptions, side);
  return true;
}

DecodeResult Decode(std::string_view side, char* image, std::size_t size, Form form, std::uint64_t workBytes,
                    const std::atomic<bool>& cancel) {
  const std::string_view view(image, size);
  Layout layout;
  if (!ReadLayout(view, &layout)) return DecodeResult::kMalformed;
  // What the map and the fields would hold, before any of it is held: a
  // segment or an exception takes at least one byte of the map each.
  const std::uint64_t work = side.size() * (sizeof(Segment) + sizeof(std::uint32_t) + sizeof(std::uint64_t)) +
                             AddressFieldRoom(layout, form) * sizeof(Field);
  if (work > workBytes) return DecodeResult::kOverBudget;
  std::vector<Segment> segments;
  std::vector<std::uint64_t> exceptions;
  CAddressMap map;
  if (!ReadSide(side, &segments, &exceptions) || !map.Set(std::move(segments))) return DecodeResult::kMalformed;
  std::uint64_t number = 0;
  std::size_t nextException = 0;
  const auto restore = [&](const Field& field) {
    const std::uint64_t k = number++;
    std::int64_t shift = 0;
    if (!Shift(map, layout, field, &shift)) return true;
    if (nextException < exceptions.size() && exceptions[nextException] == k) {
      ++nextException;
      return true;
    }
    std::uint64_t value = 0;
    if (!Restore(map, layout, field, shift, LoadField(image, field), &value)) return false;
    StoreField(image, field, value);
    return true;
  };
  // The addresses first: the code is walked over their original bytes, as
  // it was when the fields were found.
  const std::vector<Field> addresses = AddressFields(view, layout, form);
  for (const Field& field : addresses) {
    if (!restore(field)) return DecodeResult::kMalformed;
  }
  if (!ForEachCodeField(view, layout, addresses, &cancel, restore))
    return cancel.load() ? DecodeResult::kCancelled : DecodeResult::kMalformed;
  return nextException == exceptions.size() ? DecodeResult::kDone : DecodeResult::kMalformed;
}

}  // namespace PeAddress
