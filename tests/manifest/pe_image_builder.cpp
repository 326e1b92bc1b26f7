#include "manifest/pe_image_builder.h"

namespace PeTest {

void Put16(std::string& b, std::size_t at, std::uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

std::string BuildImage(const ImageShape& image, ImageLayout* layout) {
  constexpr std::uint32_t kSectionRva = 0x1000;
  constexpr std::size_t kRaw = 0x200;
  std::string b(kRaw, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  const std::size_t pe = 0x80;
  Put32(b, 0x3C, pe);
  b.replace(pe, 4, std::string("PE\0\0", 4));
  const std::size_t optionalSize = image.pe32Plus ? 240 : 224;
  Put16(b, pe + 4, image.pe32Plus ? 0x8664 : 0x14C);
  Put16(b, pe + 6, 1);
  Put16(b, pe + 20, static_cast<std::uint16_t>(optionalSize));
  const std::size_t optional = pe + 24;
  Put16(b, optional, image.pe32Plus ? 0x20B : 0x10B);
  const std::size_t directories = optional + (image.pe32Plus ? 112 : 96);
  Put32(b, directories - 4, 16);
  const std::size_t sections = optional + optionalSize;
  b.replace(sections, 5, ".rsrc");

  // Resource tree: types -> names -> languages -> one data entry per language.
  std::string r;
  const std::size_t languages = image.languages.size();
  const std::size_t typeDir = 24, langDir = 48;
  const std::size_t dataEntries = langDir + 16 + 8 * languages;
  const std::size_t blocks = dataEntries + 16 * languages;
  constexpr std::size_t kBlock = 92;
  Put16(r, 14, 1);
  Put32(r, 16, image.typeId);
  Put32(r, 20, 0x80000000u | typeDir);
  Put16(r, typeDir + 14, 1);
  Put32(r, typeDir + 16, image.nameId);
  Put32(r, typeDir + 20, 0x80000000u | langDir);
  Put16(r, langDir + 14, static_cast<std::uint16_t>(languages));
  for (std::size_t i = 0; i < languages; ++i) {
    Put32(r, langDir + 16 + 8 * i, image.languages[i]);
    Put32(r, langDir + 20 + 8 * i, static_cast<std::uint32_t>(dataEntries + 16 * i));
    const std::size_t block = blocks + kBlock * i;
    Put32(r, dataEntries + 16 * i, static_cast<std::uint32_t>(kSectionRva + block));
    Put32(r, dataEntries + 16 * i + 4, kBlock);
    Put16(r, block, kBlock);
    Put16(r, block + 2, 52);
    const char16_t key[] = u"VS_VERSION_INFO";
    for (std::size_t k = 0; k < 16; ++k) Put16(r, block + 6 + 2 * k, key[k]);
    Put32(r, block + 40, 0xFEEF04BD);
    Put32(r, block + 44, 0x00010000);
    Put32(r, block + 48, image.fileVersionMS);
    Put32(r, block + 52, languages == 1 ? image.fileVersionLS : image.languages[i]);
    Put32(r, block + 56, image.fileVersionMS);
    Put32(r, block + 60, image.fileVersionLS);
  }
  const std::size_t rawSize = (r.size() + kRaw - 1) / kRaw * kRaw;
  if (image.withResources) {
    Put32(b, directories + 16, kSectionRva);
    Put32(b, directories + 20, static_cast<std::uint32_t>(r.size()));
  }
  Put32(b, sections + 8, static_cast<std::uint32_t>(r.size()));
  Put32(b, sections + 12, kSectionRva);
  Put32(b, sections + 16, static_cast<std::uint32_t>(rawSize));
  Put32(b, sections + 20, kRaw);
  r.resize(rawSize, '\0');
  b += r;
  if (layout) {
    layout->peOffset = pe;
    layout->sectionTable = sections;
    layout->resourceStart = kRaw;
    layout->firstBlock = kRaw + blocks;
    layout->blocksEnd = kRaw + blocks + kBlock * languages;
  }
  return b;
}

}  // namespace PeTest
