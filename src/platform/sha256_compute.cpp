#include "platform/sha256_compute.h"

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VIREO_SHA_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace Platform {
namespace {

// The first 32 bits of the fractional parts of the cube roots of the first
// 64 primes.
constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The first 32 bits of the fractional parts of the square roots of the
// first 8 primes.
constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t Rotr(std::uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t LoadBigEndian(const unsigned char* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

void CompressPortable(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
  for (; count > 0; --count, blocks += 64) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = LoadBigEndian(blocks + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const std::uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = s1 + w[t - 7] + s0 + w[t - 16];
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t sum1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
      const std::uint32_t choose = (e & f) ^ (~e & g);
      const std::uint32_t t1 = h + sum1 + choose + kRound[t] + w[t];
      const std::uint32_t sum0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
      const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      const std::uint32_t t2 = sum0 + majority;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#ifdef VIREO_SHA_EXTENSIONS

// Two rounds per SHA256RNDS2, which keeps the working variables in two
// registers: ABEF (A in the top lane, F in the bottom one) and CDGH. After
// two rounds the old A, B, E, F are the new C, D, G, H, so the registers
// swap roles at every step. The message schedule takes four words at a
// time: SHA256MSG1 adds sigma0 of the next word, the add brings W[t-7],
// SHA256MSG2 adds sigma1 of W[t-2].
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithExtensions(std::uint32_t state[8],
                                                                          const unsigned char* blocks,
                                                                          std::size_t count) {
  // Big-endian words: each 32-bit lane's bytes reversed.
  const __m128i byteSwap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  __m128i abef = _mm_set_epi32(static_cast<int>(state[0]), static_cast<int>(state[1]), static_cast<int>(state[4]),
                               static_cast<int>(state[5]));
  __m128i cdgh = _mm_set_epi32(static_cast<int>(state[2]), static_cast<int>(state[3]), static_cast<int>(state[6]),
                               static_cast<int>(state[7]));
  for (; count > 0; --count, blocks += 64) {
    const __m128i savedAbef = abef;
    const __m128i savedCdgh = cdgh;
    __m128i m[4];  // the last sixteen message words, four to a register
    // Unrolled, the four stay in registers; as a loop they went through
    // memory on every step of the dependency chain.
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      __m128i& words = m[group % 4];
      if (group < 4) {
        words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)), byteSwap);
      } else {
        // words holds W[t-16..t-13]; the others W[t-12..t-1].
        const __m128i& w12 = m[(group + 1) % 4];  // W[t-12..t-9]
        const __m128i& w8 = m[(group + 2) % 4];   // W[t-8..t-5]
        const __m128i& w4 = m[(group + 3) % 4];   // W[t-4..t-1]
        __m128i next = _mm_sha256msg1_epu32(words, w12);
        next = _mm_add_epi32(next, _mm_alignr_epi8(w4, w8, 4));  // W[t-7..t-4]
        words = _mm_sha256msg2_epu32(next, w4);
      }
      __m128i sum = _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, sum);  // now ABEF two rounds on
      sum = _mm_shuffle_epi32(sum, 0x0E);               // the upper two words down
      abef = _mm_sha256rnds2_epu32(abef, cdgh, sum);
    }
    abef = _mm_add_epi32(abef, savedAbef);
    cdgh = _mm_add_epi32(cdgh, savedCdgh);
  }
  alignas(16) std::uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), abef);
  state[0] = lanes[3];
  state[1] = lanes[2];
  state[4] = lanes[1];
  state[5] = lanes[0];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), cdgh);
  state[2] = lanes[3];
  state[3] = lanes[2];
  state[6] = lanes[1];
  state[7] = lanes[0];
}

bool DetectExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

#endif

}  // namespace

bool HasSha256Extensions() {
#ifdef VIREO_SHA_EXTENSIONS
  static const bool has = DetectExtensions();
  return has;
#else
  return false;
#endif
}

CSha256Compute::CSha256Compute(Sha256Path path)
    : extensions_(path != Sha256Path::kPortable && HasSha256Extensions()) {
  Reset();
}

void CSha256Compute::Reset() {
  std::memcpy(state_, kInitial, sizeof state_);
  length_ = 0;
  pendingSize_ = 0;
}

void CSha256Compute::Compress(const unsigned char* blocks, std::size_t count) {
#ifdef VIREO_SHA_EXTENSIONS
  if (extensions_) {
    CompressWithExtensions(state_, blocks, count);
    return;
  }
#endif
  CompressPortable(state_, blocks, count);
}

void CSha256Compute::Add(const void* data, std::size_t size) {
  if (size == 0) return;
  const auto* bytes = static_cast<const unsigned char*>(data);
  length_ += size;
  if (pendingSize_ > 0) {
    const std::size_t take = size < 64 - pendingSize_ ? size : 64 - pendingSize_;
    std::memcpy(pending_ + pendingSize_, bytes, take);
    pendingSize_ += take;
    bytes += take;
    size -= take;
    if (pendingSize_ < 64) return;
    Compress(pending_, 1);
    pendingSize_ = 0;
  }
  if (size >= 64) {
    Compress(bytes, size / 64);
    bytes += size - size % 64;
    size %= 64;
  }
  std::memcpy(pending_, bytes, size);
  pendingSize_ = size;
}

Sha256Digest CSha256Compute::Finish() {
  // A one bit, zeros up to 56 bytes into a block, then the length in bits.
  const std::uint64_t bits = length_ * 8;
  unsigned char tail[128] = {0x80};
  const std::size_t padding = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
  for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  Add(tail, padding + 8);
  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
    digest[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
    digest[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
    digest[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
  }
  Reset();
  return digest;
}

}  // namespace Platform
