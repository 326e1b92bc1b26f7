#include "platform/cp1252.h"
#include "platform/text.h"

namespace Platform {
namespace {

// 0x80..0x9F of Windows-1252; the rest of the code page equals Latin-1.
const char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUnits(std::wstring& out, std::uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<wchar_t>(cp);
  }
}

}  // namespace

char16_t Cp1252ToUnit(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : static_cast<char16_t>(byte);
}

bool UnitToCp1252(char16_t unit, unsigned char* byte) {
  if (unit < 0x80 || (unit >= 0xA0 && unit < 0x100)) {
    *byte = static_cast<unsigned char>(unit);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (kHigh[i] == unit) {
      *byte = static_cast<unsigned char>(0x80 + i);
      return true;
    }
  }
  return false;
}

std::string ToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t u = static_cast<std::uint32_t>(text[i]) & 0xFFFF;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < text.size()) {
      std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]) & 0xFFFF;
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char b = *p++;
    std::uint32_t cp;
    int follow;
    if (b < 0x80) {
      cp = b;
      follow = 0;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      follow = 1;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      follow = 2;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      follow = 3;
    } else {
      AppendUnits(out, 0xFFFD);
      continue;
    }
    bool ok = true;
    for (int i = 0; i < follow; ++i) {
      if (p >= end || (*p & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (*p++ & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) cp = 0xFFFD;
    AppendUnits(out, cp);
  }
  return out;
}

}  // namespace Platform
