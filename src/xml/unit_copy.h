// Bulk conversions between byte units and wchar_t units, sixteen at a time
// where the processor offers SSE2 (every x86-64 build), one at a time
// elsewhere. Internal to the xml library.
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
#endif

// Writes the n bytes at `in` to `out` as wchar_t units (0..255).
inline void WidenBytes(wchar_t* out, const unsigned char* in, std::size_t n) {
  std::size_t i = 0;
#ifdef VIREO_XML_SSE2
  for (; i + 16 <= n; i += 16) StoreWide16(out + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
#endif
  for (; i < n; ++i) out[i] = static_cast<wchar_t>(in[i]);
}

#ifdef VIREO_XML_SSE2
// Byte form with at least sixteen readable bytes after in[n - 1]: whether
// byte `c` is among the n bytes at `in`.
inline bool HasBytePadded(const unsigned char* in, std::size_t n, unsigned char c) {
  const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
  auto hits = [&](std::size_t k) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k)), vc)));
  };
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    if (hits(k) != 0) return true;
  }
  return k < n && (hits(k) & ((1u << (n - k)) - 1)) != 0;
}

// Byte form with at least sixteen readable bytes after text[end - 1]: the
// first offset in [from, end) holding `c`, or `end`.
inline std::int32_t FindBytePadded(const unsigned char* text, std::int32_t from, std::int32_t end, unsigned char c) {
  const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
  for (; from < end; from += 16) {
    const auto hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + from)), vc)));
    if (hits != 0) return std::min(from + static_cast<std::int32_t>(__builtin_ctz(hits)), end);
  }
  return end;
}

// Byte form with at least sixteen readable bytes after in[n - 1]: the n
// bytes at `in` as wchar_t units, sixteen at a time, the last sixteen in one
// step that may overlap the one before.
inline std::wstring WidenPadded(const unsigned char* in, std::size_t n) {
  if (n <= 16) {
    wchar_t units[16];
    StoreWide16(units, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
    return std::wstring(units, n);
  }
  std::wstring text(n, L'\0');
  wchar_t* out = text.data();
  std::size_t k = 0;
  for (; k + 16 <= n; k += 16) StoreWide16(out + k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k)));
  if (k < n) StoreWide16(out + n - 16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + n - 16)));
  return text;
}
#endif

// Copies ASCII bytes other than NUL (0x01..0x7F) from `in` to `out` as
// wchar_t units, at most n of them; returns how many were copied, which is
// less than n when a NUL or a byte from 0x80 up comes first.
inline std::size_t WidenAsciiRun(wchar_t* out, const unsigned char* in, std::size_t n) {
  std::size_t i = 0;
#ifdef VIREO_XML_SSE2
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const int stop = _mm_movemask_epi8(_mm_or_si128(bytes, _mm_cmpeq_epi8(bytes, zero)));
    if (stop != 0) break;
    StoreWide16(out + i, bytes);
  }
#endif
  for (; i < n; ++i) {
    const unsigned char b = in[i];
    if (static_cast<unsigned>(b - 1u) >= 0x7Fu) break;
    out[i] = static_cast<wchar_t>(b);
  }
  return i;
}

// Copies wchar_t units from `in` to `out` as bytes while they lie in
// 0x01..0xFF, at most n of them; returns how many were copied, which is less
// than n when a NUL or a unit from 0x100 up (or a negative one) comes first.
inline std::size_t NarrowUnits(unsigned char* out, const wchar_t* in, std::size_t n) {
  std::size_t i = 0;
#ifdef VIREO_XML_SSE2
  const __m128i zero = _mm_setzero_si128();
  // The units are packed with saturation first: one that does not fit comes
  // out as 0x00 or 0xFF, so only blocks holding those bytes need the exact
  // check.
  const __m128i ones = _mm_set1_epi8(static_cast<char>(0xFF));
  if constexpr (sizeof(wchar_t) == 4) {
    const __m128i highBits = _mm_set1_epi32(static_cast<int>(0xFFFFFF00u));
    // Thirty-two at a time while every byte comes out between 0x01 and 0xFE.
    for (; i + 32 <= n; i += 32) {
      const auto* p = reinterpret_cast<const __m128i*>(in + i);
      const __m128i first = _mm_packus_epi16(_mm_packs_epi32(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
                                             _mm_packs_epi32(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3)));
      const __m128i second = _mm_packus_epi16(_mm_packs_epi32(_mm_loadu_si128(p + 4), _mm_loadu_si128(p + 5)),
                                              _mm_packs_epi32(_mm_loadu_si128(p + 6), _mm_loadu_si128(p + 7)));
      const __m128i odd = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(first, zero), _mm_cmpeq_epi8(first, ones)),
                                       _mm_or_si128(_mm_cmpeq_epi8(second, zero), _mm_cmpeq_epi8(second, ones)));
      if (_mm_movemask_epi8(odd) != 0) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), first);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16), second);
    }
    for (; i + 16 <= n; i += 16) {
      const auto* p = reinterpret_cast<const __m128i*>(in + i);
      const __m128i a = _mm_loadu_si128(p);
      const __m128i b = _mm_loadu_si128(p + 1);
      const __m128i c = _mm_loadu_si128(p + 2);
      const __m128i d = _mm_loadu_si128(p + 3);
      const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
      if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(packed, zero), _mm_cmpeq_epi8(packed, ones))) != 0) {
        const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        const __m128i nul = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi32(a, zero), _mm_cmpeq_epi32(b, zero)),
                                         _mm_or_si128(_mm_cmpeq_epi32(c, zero), _mm_cmpeq_epi32(d, zero)));
        const __m128i fits = _mm_cmpeq_epi32(_mm_and_si128(any, highBits), zero);
        if (_mm_movemask_epi8(nul) != 0 || _mm_movemask_epi8(fits) != 0xFFFF) break;
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
  } else {
    const __m128i highBits = _mm_set1_epi16(static_cast<short>(0xFF00));
    for (; i + 16 <= n; i += 16) {
      const auto* p = reinterpret_cast<const __m128i*>(in + i);
      const __m128i a = _mm_loadu_si128(p);
      const __m128i b = _mm_loadu_si128(p + 1);
      const __m128i packed = _mm_packus_epi16(a, b);
      if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(packed, zero), _mm_cmpeq_epi8(packed, ones))) != 0) {
        const __m128i nul = _mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        const __m128i fits = _mm_cmpeq_epi16(_mm_and_si128(_mm_or_si128(a, b), highBits), zero);
        if (_mm_movemask_epi8(nul) != 0 || _mm_movemask_epi8(fits) != 0xFFFF) break;
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
inline std::size_t FindByte(const unsigned char* text, std::size_t from, std::size_t end, unsigned char a,
                            unsigned char b) {
#ifdef VIREO_XML_SSE2
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  for (; from + 16 <= end; from += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + from));
    const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, va), _mm_cmpeq_epi8(bytes, vb)));
    if (hits != 0) return from + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
#endif
  for (; from < end; ++from) {
    if (text[from] == a || text[from] == b) return from;
  }
  return end;
}

}  // namespace xml_detail
