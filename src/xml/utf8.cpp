// UTF-8 decoding.
#include "xml/utf8.h"

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

}  // namespace

std::int32_t Utf8ToWide(wchar_t* out, const char* bytes, std::int32_t count) {
  if (count <= 0 || bytes == nullptr) return 0;
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char* const begin = cursor;
  const unsigned char* const end = cursor + count;
  std::int32_t units = 0;
  wchar_t* w = out;
  while (cursor < end) {
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
  std::wstring text;
  text.reserve(bytes.size());
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = cursor + bytes.size();
  wchar_t units[2];
  while (cursor < end) {
    const std::int32_t value = DecodeUtf8Char(cursor, end);
    if (value == 0) break;
    text.append(units, static_cast<std::size_t>(PutUnits(units, value)));
  }
  return text;
}
