// Little-endian integers read from bytes, as file formats of Windows store them.
#pragma once
#include <cstdint>

namespace Platform {

inline std::uint16_t ReadLittle16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t ReadLittle32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace Platform
