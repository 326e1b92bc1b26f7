// UTF-8 decoding.
#include "xml/utf8.h"

#include <cstring>
#include <limits>

#include "xml/large_block.h"
#include "xml/unit_copy.h"

std::int32_t DecodeUtf8Char(const unsigned char*& cursor, const unsigned char* end) {
  const unsigned lead = *cursor++;
  if (lead < 0x80) return static_cast<std::int32_t>(lead);
  int follow;
  std::int32_t value;
  if ((lead & 0x20) == 0) {
    follow = 1;
    value = lead & 0x1F;
  } else if ((lead & 0x10) == 0) {
    follow = 2;
    value = lead & 0x0F;
  } else if ((lead & 0x08) == 0) {
    follow = 3;
    value = lead & 0x07;
  } else {
    return -1;
  }
  for (; follow > 0; --follow) {
    if (cursor >= end || *cursor < 0x80) return -1;
    value = (value << 6) + (*cursor & 0x3F);
    ++cursor;
  }
  return value;
}

namespace {

// Writes `value` (never 0) as one or two units at `out`; returns the count.
inline int PutUnits(wchar_t* out, std::int32_t value) {
  if (value < 0) value = '?';
  if (value > 0xFFFF) {
    const std::int32_t v = value - 0x10000;
    if (out) {
      out[0] = static_cast<wchar_t>(0xD800 + ((v >> 10) & 0x3FF));
      out[1] = static_cast<wchar_t>(0xDC00 + (v & 0x3FF));
    }
    return 2;
  }
  if (out) out[0] = static_cast<wchar_t>(value);
  return 1;
}

// Length of the run of ASCII units other than NUL (0x01..0x7F) at `cursor`,
// eight bytes at a time while they last.
inline std::size_t AsciiRun(const unsigned char* cursor, const unsigned char* end) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  const unsigned char* p = cursor;
  while (end - p >= 8) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    // With no high bit set, a byte borrows in v - kOnes only when it is 0.
    if (((v | (v - kOnes)) & kHigh) != 0) break;
    p += 8;
  }
  while (p < end && static_cast<unsigned>(*p - 1u) < 0x7Fu) ++p;
  return static_cast<std::size_t>(p - cursor);
}

}  // namespace

std::int32_t Utf8ToWide(wchar_t* out, const char* bytes, std::int32_t count) {
  if (count <= 0 || bytes == nullptr) return 0;
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char* const begin = cursor;
  const unsigned char* const end = cursor + count;
  std::int32_t units = 0;
  wchar_t* w = out;
  while (cursor < end) {
    // Runs of ASCII are by far the common case.
    const std::size_t run = w ? xml_detail::WidenAsciiRun(w, cursor, static_cast<std::size_t>(end - cursor))
                              : AsciiRun(cursor, end);
    if (w) w += run;
    units += static_cast<std::int32_t>(run);
    cursor += run;
    if (cursor == end) break;
    const std::int32_t value = DecodeUtf8Char(cursor, end);
    if (value == 0) {
      if (w) {
        *w = 0;
        return static_cast<std::int32_t>(cursor - begin);
      }
      return units;
    }
    const int n = PutUnits(w, value);
    if (w) w += n;
    units += n;
  }
  return w ? static_cast<std::int32_t>(cursor - begin) : units;
}

std::wstring Utf8ToWide(std::string_view bytes) {
  // Decoded a piece at a time into a small buffer and appended, so that the
  // (possibly large) result is written once and never zero-filled first.
  std::wstring text;
  text.reserve(bytes.size());
  AdviseLargeBlock(text.data(), text.capacity() * sizeof(wchar_t));
  constexpr std::size_t kPiece = 2048;
  wchar_t buffer[kPiece + 2];  // room for a surrogate pair past the limit
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = cursor + bytes.size();
  bool ended = false;
  while (cursor < end && !ended) {
    wchar_t* w = buffer;
    wchar_t* const limit = buffer + kPiece;
    for (;;) {
      const std::size_t room = static_cast<std::size_t>(limit - w);
      const std::size_t left = static_cast<std::size_t>(end - cursor);
      const std::size_t run = xml_detail::WidenAsciiRun(w, cursor, left < room ? left : room);
      w += run;
      cursor += run;
      if (w >= limit || cursor == end) break;
      const std::int32_t value = DecodeUtf8Char(cursor, end);
      if (value == 0) {
        ended = true;
        break;
      }
      w += PutUnits(w, value);
      if (w >= limit || cursor == end) break;
    }
    text.append(buffer, static_cast<std::size_t>(w - buffer));
  }
  return text;
}
