// Fuzz target: the PE version-resource reader on arbitrary bytes. It must
// never read outside the input, whatever the headers and resource tree claim.
#include <cstddef>
#include <cstdint>

#include "manifest/pe_version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PeVersion::CMemoryByteSource source(data, size);
  PeVersion::FixedFileInfo info;
  if (PeVersion::ReadFixedFileInfo(source, &info) == PeVersion::PeVersionResult::Found) {
    (void)PeVersion::FormatVersion(info.fileVersionMS, info.fileVersionLS);
  }
  return 0;
}
