// Builds small PE images with a version resource, for the reader's tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace PeTest {

struct ImageShape {
  bool pe32Plus = true;
  bool withResources = true;
  std::uint32_t typeId = 16;  // RT_VERSION
  std::uint32_t nameId = 1;   // VS_VERSION_INFO
  // One block per language; each block's fileVersionLS is its language id so
  // that a test can see which one was taken.
  std::vector<std::uint16_t> languages = {0x409};
  std::uint32_t fileVersionMS = 0x00020001;  // 2.1
  std::uint32_t fileVersionLS = 0x00000011;  // .0.17 (when only one language)
};

// Offsets of the interesting fields in a built image.
struct ImageLayout {
  std::size_t peOffset = 0;
  std::size_t sectionTable = 0;
  std::size_t resourceStart = 0;  // file offset of the resource tree
  std::size_t firstBlock = 0;     // file offset of the first VS_VERSIONINFO
  std::size_t blocksEnd = 0;      // file offset just after the last block
};

std::string BuildImage(const ImageShape& image, ImageLayout* layout = nullptr);

void Put16(std::string& bytes, std::size_t at, std::uint16_t value);
void Put32(std::string& bytes, std::size_t at, std::uint32_t value);

}  // namespace PeTest
