#include "manifest/pe_version.h"

#include <cstring>
#include <utility>
#include <vector>

#include "platform/byte_order.h"
#include "platform/file.h"

namespace PeVersion {
namespace {

constexpr std::uint32_t kResourceTypeVersion = 16;  // RT_VERSION
constexpr std::uint32_t kVersionInfoId = 1;         // VS_VERSION_INFO
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kHighBit = 0x80000000;
// VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" with its terminator
// (32 bytes), padding to a 32-bit boundary, then VS_FIXEDFILEINFO (52 bytes).
constexpr std::size_t kFixedInfoOffset = 40;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::size_t kSectionHeaderSize = 40;

std::uint16_t U16(const unsigned char* p) { return Platform::ReadLittle16(p); }
std::uint32_t U32(const unsigned char* p) { return Platform::ReadLittle32(p); }

struct Section {
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawPointer = 0;
  std::uint32_t rawSize = 0;
};

// Reads by relative virtual address through the section table. A range must
// lie inside one section's raw data (the zero fill beyond it is not served).
class CImageReader {
 public:
  CImageReader(IByteSource& source, std::vector<Section> sections)
      : source_(source), sections_(std::move(sections)) {}

  bool ReadRva(std::uint32_t rva, void* buffer, std::size_t count) {
    for (const Section& s : sections_) {
      const std::uint32_t span = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
      if (rva < s.virtualAddress || rva - s.virtualAddress >= span) continue;
      const std::uint64_t inSection = rva - s.virtualAddress;
      if (inSection + count > s.rawSize) return false;
      return source_.ReadExact(static_cast<std::uint64_t>(s.rawPointer) + inSection, buffer, count);
    }
    return false;
  }

 private:
  IByteSource& source_;
  std::vector<Section> sections_;
};

struct DirectoryEntry {
  std::uint32_t name = 0;
  std::uint32_t offset = 0;
};

// Reads the entries of the resource directory at `offset` (relative to the
// resource tree's start).
bool ReadDirectory(CImageReader& image, std::uint32_t base, std::uint32_t offset, std::vector<DirectoryEntry>* entries) {
  unsigned char header[16];
  const std::uint64_t rva = static_cast<std::uint64_t>(base) + offset;
  if (rva + sizeof header > 0xFFFFFFFFu || !image.ReadRva(static_cast<std::uint32_t>(rva), header, sizeof header)) {
    return false;
  }
  const std::size_t count = static_cast<std::size_t>(U16(header + 12)) + U16(header + 14);
  std::vector<unsigned char> raw(count * 8);
  if (count != 0 && (rva + 16 + raw.size() > 0xFFFFFFFFu ||
                     !image.ReadRva(static_cast<std::uint32_t>(rva + 16), raw.data(), raw.size()))) {
    return false;
  }
  entries->resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    (*entries)[i].name = U32(&raw[i * 8]);
    (*entries)[i].offset = U32(&raw[i * 8 + 4]);
  }
  return true;
}

const DirectoryEntry* FindId(const std::vector<DirectoryEntry>& entries, std::uint32_t id) {
  for (const DirectoryEntry& e : entries) {
    if ((e.name & kHighBit) == 0 && e.name == id) return &e;
  }
  return nullptr;
}

const DirectoryEntry* PickLanguage(const std::vector<DirectoryEntry>& entries) {
  if (entries.empty()) return nullptr;
  if (const DirectoryEntry* e = FindId(entries, 0)) return e;
  if (const DirectoryEntry* e = FindId(entries, 0x409)) return e;
  return &entries.front();
}

bool ReadSections(IByteSource& source, std::uint64_t tableOffset, unsigned count, std::vector<Section>* sections) {
  std::vector<unsigned char> raw(static_cast<std::size_t>(count) * kSectionHeaderSize);
  if (count != 0 && !source.ReadExact(tableOffset, raw.data(), raw.size())) return false;
  sections->resize(count);
  for (unsigned i = 0; i < count; ++i) {
    const unsigned char* p = &raw[static_cast<std::size_t>(i) * kSectionHeaderSize];
    Section& s = (*sections)[i];
    s.virtualSize = U32(p + 8);
    s.virtualAddress = U32(p + 12);
    s.rawSize = U32(p + 16);
    s.rawPointer = U32(p + 20);
  }
  return true;
}

}  // namespace

PeVersionResult ReadFixedFileInfo(IByteSource& source, FixedFileInfo* info) {
  unsigned char dos[64];
  if (!source.ReadExact(0, dos, sizeof dos)) {
    // Shorter than a DOS header: at most the start of an executable.
    const bool mz = source.ReadExact(0, dos, 2) && dos[0] == 'M' && dos[1] == 'Z';
    return mz ? PeVersionResult::NotPe : PeVersionResult::NotExecutable;
  }
  if (dos[0] != 'M' || dos[1] != 'Z') return PeVersionResult::NotExecutable;
  const std::uint64_t peOffset = U32(dos + 0x3C);

  // Signature, COFF file header (20 bytes) and the optional header's magic.
  unsigned char pe[26];
  if (!source.ReadExact(peOffset, pe, sizeof pe) || std::memcmp(pe, "PE\0\0", 4) != 0) return PeVersionResult::NotPe;
  const unsigned sectionCount = U16(pe + 6);
  const std::size_t optionalSize = U16(pe + 20);
  const std::uint16_t magic = U16(pe + 24);
  std::size_t directoriesAt = 0;
  if (magic == 0x10B) {
    directoriesAt = 96;  // PE32
  } else if (magic == 0x20B) {
    directoriesAt = 112;  // PE32+
  } else {
    return PeVersionResult::NotPe;
  }
  const std::uint64_t optionalOffset = peOffset + 24;
  std::vector<unsigned char> optional(optionalSize);
  if (!source.ReadExact(optionalOffset, optional.data(), optional.size())) return PeVersionResult::Malformed;
  // The resource table is data directory 2 (8 bytes each: RVA, size).
  const std::size_t resourceEntry = directoriesAt + 2 * 8;
  if (optionalSize < resourceEntry + 8 || U32(&optional[directoriesAt - 4]) < 3) {
    return PeVersionResult::NoVersionResource;
  }
  const std::uint32_t resourceRva = U32(&optional[resourceEntry]);
  if (resourceRva == 0 || U32(&optional[resourceEntry + 4]) == 0) return PeVersionResult::NoVersionResource;

  std::vector<Section> sections;
  if (!ReadSections(source, optionalOffset + optionalSize, sectionCount, &sections)) return PeVersionResult::Malformed;
  CImageReader image(source, std::move(sections));

  // Three levels: type, name, language.
  std::vector<DirectoryEntry> entries;
  if (!ReadDirectory(image, resourceRva, 0, &entries)) return PeVersionResult::Malformed;
  const DirectoryEntry* type = FindId(entries, kResourceTypeVersion);
  if (!type) return PeVersionResult::NoVersionResource;
  if ((type->offset & kHighBit) == 0) return PeVersionResult::Malformed;
  if (!ReadDirectory(image, resourceRva, type->offset & ~kHighBit, &entries)) return PeVersionResult::Malformed;
  const DirectoryEntry* name = FindId(entries, kVersionInfoId);
  if (!name) return PeVersionResult::NoVersionResource;
  if ((name->offset & kHighBit) == 0) return PeVersionResult::Malformed;
  if (!ReadDirectory(image, resourceRva, name->offset & ~kHighBit, &entries)) return PeVersionResult::Malformed;
  const DirectoryEntry* language = PickLanguage(entries);
  if (!language) return PeVersionResult::NoVersionResource;
  if ((language->offset & kHighBit) != 0) return PeVersionResult::Malformed;

  // The data entry: RVA of the bytes (not relative to the tree), size.
  unsigned char data[16];
  const std::uint64_t dataEntryRva = static_cast<std::uint64_t>(resourceRva) + language->offset;
  if (dataEntryRva > 0xFFFFFFFFu || !image.ReadRva(static_cast<std::uint32_t>(dataEntryRva), data, sizeof data)) {
    return PeVersionResult::Malformed;
  }
  const std::uint32_t blockRva = U32(data);
  const std::uint32_t blockSize = U32(data + 4);
  constexpr std::size_t kNeeded = kFixedInfoOffset + kFixedInfoSize;
  if (blockSize < kNeeded) return PeVersionResult::Malformed;
  unsigned char block[kNeeded];
  if (!image.ReadRva(blockRva, block, sizeof block)) return PeVersionResult::Malformed;

  static const char kKey[] = "VS_VERSION_INFO";
  const std::uint16_t length = U16(block);
  const std::uint16_t valueLength = U16(block + 2);
  if (length < kNeeded || valueLength < kFixedInfoSize) return PeVersionResult::Malformed;
  for (std::size_t i = 0; i < sizeof kKey; ++i) {
    if (U16(block + 6 + 2 * i) != static_cast<unsigned char>(kKey[i])) return PeVersionResult::Malformed;
  }
  const unsigned char* fixed = block + kFixedInfoOffset;
  if (U32(fixed) != kFixedInfoSignature) return PeVersionResult::Malformed;
  info->fileVersionMS = U32(fixed + 8);
  info->fileVersionLS = U32(fixed + 12);
  info->productVersionMS = U32(fixed + 16);
  info->productVersionLS = U32(fixed + 20);
  info->fileFlags = U32(fixed + 28);
  info->fileOS = U32(fixed + 32);
  info->fileType = U32(fixed + 36);
  return PeVersionResult::Found;
}

PeVersionResult ReadFixedFileInfoFromFile(const std::wstring& path, FixedFileInfo* info) {
  Platform::CFileByteSource source;
  if (!source.Open(path) || !source.IsSeekable()) return PeVersionResult::ReadFailed;
  return ReadFixedFileInfo(source, info);
}

std::wstring FormatVersion(std::uint32_t ms, std::uint32_t ls) {
  return std::to_wstring(ms >> 16) + L"." + std::to_wstring(ms & 0xFFFF) + L"." + std::to_wstring(ls >> 16) + L"." +
         std::to_wstring(ls & 0xFFFF);
}

const char* DescribeResult(PeVersionResult result) {
  switch (result) {
    case PeVersionResult::Found: return "found";
    case PeVersionResult::ReadFailed: return "cannot be read";
    case PeVersionResult::NotExecutable: return "not an executable";
    case PeVersionResult::NotPe: return "not a PE file";
    case PeVersionResult::NoVersionResource: return "no version resource";
    case PeVersionResult::Malformed: return "malformed version resource or headers";
  }
  return "unknown";
}

}  // namespace PeVersion
