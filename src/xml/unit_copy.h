// Conversions between the two forms a document keeps its text in (one byte
// per unit, or wchar_t units) and searches in the byte form, sixteen units
// at a time where the processor offers SSE2 (every x86-64 build), one at a
// time elsewhere. Internal to the xml library.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VIREO_XML_SSE2 1
#endif

namespace xml_detail {

#ifdef VIREO_XML_SSE2
// Stores the sixteen bytes of `bytes` as sixteen wchar_t units at `out`.
inline void StoreWide16(wchar_t* out, __m128i bytes) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_unpacklo_epi8(bytes, zero);
  const __m128i high = _mm_unpackhi_epi8(bytes, zero);
  if constexpr (sizeof(wchar_t) == 2) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), high);
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(high, zero));
  }
}

inline unsigned Mask(__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
inline __m128i Load16(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

// The n bytes at `in` as wchar_t units (0..255).
inline std::wstring Widen(const unsigned char* in, std::size_t n) {
  std::wstring text(n, L'\0');
  wchar_t* out = text.data();
  std::size_t i = 0;
#ifdef VIREO_XML_SSE2
  for (; i + 16 <= n; i += 16) StoreWide16(out + i, Load16(in + i));
#endif
  for (; i < n; ++i) out[i] = static_cast<wchar_t>(in[i]);
  return text;
}
inline std::wstring Widen(const wchar_t* in, std::size_t n) { return std::wstring(in, n); }

// Copies wchar_t units from `in` to `out` as bytes while they lie in
// 0x01..0xFF, at most n of them; returns how many were copied, which is less
// than n when a NUL or a unit from 0x100 up (or a negative one) comes first.
inline std::size_t NarrowUnits(unsigned char* out, const wchar_t* in, std::size_t n) {
  std::size_t i = 0;
#ifdef VIREO_XML_SSE2
  // Packed with saturation, a unit that does not fit comes out as 0x00 or
  // 0xFF, so only blocks holding those bytes need the exact check.
  const __m128i zero = _mm_setzero_si128();
  const __m128i ones = _mm_set1_epi8(static_cast<char>(0xFF));
  for (; i + 16 <= n; i += 16) {
    const auto* p = reinterpret_cast<const __m128i*>(in + i);
    if constexpr (sizeof(wchar_t) == 4) {
      const __m128i a = _mm_loadu_si128(p);
      const __m128i b = _mm_loadu_si128(p + 1);
      const __m128i c = _mm_loadu_si128(p + 2);
      const __m128i d = _mm_loadu_si128(p + 3);
      const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
      if (Mask(_mm_or_si128(_mm_cmpeq_epi8(packed, zero), _mm_cmpeq_epi8(packed, ones))) != 0) {
        const __m128i nul = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi32(a, zero), _mm_cmpeq_epi32(b, zero)),
                                         _mm_or_si128(_mm_cmpeq_epi32(c, zero), _mm_cmpeq_epi32(d, zero)));
        const __m128i high = _mm_and_si128(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)),
                                           _mm_set1_epi32(static_cast<int>(0xFFFFFF00u)));
        if (Mask(nul) != 0 || Mask(_mm_cmpeq_epi32(high, zero)) != 0xFFFF) break;
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    } else {
      const __m128i a = _mm_loadu_si128(p);
      const __m128i b = _mm_loadu_si128(p + 1);
      const __m128i packed = _mm_packus_epi16(a, b);
      if (Mask(_mm_or_si128(_mm_cmpeq_epi8(packed, zero), _mm_cmpeq_epi8(packed, ones))) != 0) {
        const __m128i nul = _mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF00)));
        if (Mask(nul) != 0 || Mask(_mm_cmpeq_epi16(high, zero)) != 0xFFFF) break;
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
  }
#endif
  for (; i < n; ++i) {
    const auto u = static_cast<std::uint32_t>(in[i]);
    if (u - 1u >= 0xFFu) break;
    out[i] = static_cast<unsigned char>(u);
  }
  return i;
}

// The first offset in [from, end) whose byte is `a` or `b`, or `end`.
inline std::int32_t FindByte(const unsigned char* text, std::int32_t from, std::int32_t end, unsigned char a,
                             unsigned char b) {
#ifdef VIREO_XML_SSE2
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  for (; end - from >= 16; from += 16) {
    const __m128i v = Load16(text + from);
    const unsigned hits = Mask(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)));
    if (hits != 0) return from + __builtin_ctz(hits);
  }
#endif
  while (from < end && text[from] != a && text[from] != b) ++from;
  return from;
}

// The padded helpers need at least sixteen readable bytes after the range
// they are given (the document keeps its byte form padded with zeros).

// Whether byte `c` is among the n bytes at `in`.
inline bool HasBytePadded(const unsigned char* in, std::size_t n, unsigned char c) {
#ifdef VIREO_XML_SSE2
  const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    if (Mask(_mm_cmpeq_epi8(Load16(in + k), vc)) != 0) return true;
  }
  return k < n && (Mask(_mm_cmpeq_epi8(Load16(in + k), vc)) & ((1u << (n - k)) - 1)) != 0;
#else
  for (std::size_t k = 0; k < n; ++k) {
    if (in[k] == c) return true;
  }
  return false;
#endif
}

// The first offset in [from, end) holding `c`, or `end`.
inline std::int32_t FindBytePadded(const unsigned char* text, std::int32_t from, std::int32_t end, unsigned char c) {
#ifdef VIREO_XML_SSE2
  const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
  for (; from < end; from += 16) {
    const unsigned hits = Mask(_mm_cmpeq_epi8(Load16(text + from), vc));
    if (hits != 0) return std::min(from + static_cast<std::int32_t>(__builtin_ctz(hits)), end);
  }
  return end;
#else
  while (from < end && text[from] != c) ++from;
  return from;
#endif
}

// The n bytes at `in` as wchar_t units; the last sixteen are stored in one
// step that may overlap the one before.
inline std::wstring WidenPadded(const unsigned char* in, std::size_t n) {
#ifdef VIREO_XML_SSE2
  if (n <= 16) {
    wchar_t units[16];
    StoreWide16(units, Load16(in));
    return std::wstring(units, n);
  }
  std::wstring text(n, L'\0');
  wchar_t* out = text.data();
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) StoreWide16(out + k, Load16(in + k));
  if (k < n) StoreWide16(out + n - 16, Load16(in + n - 16));
  return text;
#else
  return Widen(in, n);
#endif
}

}  // namespace xml_detail
