// The keyed digest of byte runs: plain and AVX2 kernels.
#include "db/dbdigest.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DB_DIGEST_X86 1
#endif

#include "support/cpufeat.h"

namespace {

constexpr uint32_t kLaneMul = 0x9E3779B1u;
constexpr uint64_t kFoldMul = 0x9E3779B97F4A7C15ull;
constexpr int kLanes = 64;
constexpr size_t kPiece = 4 * kLanes;

void Seed(uint32_t* h, uint64_t key) {
  for (int i = 0; i < kLanes; i++)
    h[i] = static_cast<uint32_t>(key >> (i & 31)) + static_cast<uint32_t>(i) * 0x85EBCA77u;
}

uint64_t Fold(const uint32_t* h, const unsigned char* p, size_t n, uint64_t key) {
  uint64_t r = key ^ n;
  for (int i = 0; i < kLanes; i++) {
    r = (r ^ h[i]) * kFoldMul;
    r = (r << 31) | (r >> 33);
  }
  for (size_t i = 0; i < n; i++) r = (r ^ p[i]) * kFoldMul;
  r ^= r >> 32;
  r *= kFoldMul;
  return r ^ (r >> 29);
}

}  // namespace

uint64_t DBDigestPlain(const unsigned char* p, size_t n, uint64_t key) {
  uint32_t h[kLanes];
  Seed(h, key);
  for (; n >= kPiece; p += kPiece, n -= kPiece) {
    for (int i = 0; i < kLanes; i++) {
      uint32_t w;
      memcpy(&w, p + 4 * i, 4);
      uint32_t x = (h[i] ^ w) * kLaneMul;
      h[i] = (x << 13) | (x >> 19);
    }
  }
  return Fold(h, p, n, key);
}

#ifdef DB_DIGEST_X86
__attribute__((target("avx2"))) uint64_t DBDigestFast(const unsigned char* p, size_t n,
                                                      uint64_t key) {
  alignas(32) uint32_t h[kLanes];
  Seed(h, key);
  __m256i a[8];
  for (int v = 0; v < 8; v++) a[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(h + 8 * v));
  const __m256i m = _mm256_set1_epi32(static_cast<int>(kLaneMul));
  for (; n >= kPiece; p += kPiece, n -= kPiece) {
    for (int v = 0; v < 8; v++) {
      __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * v));
      __m256i x = _mm256_mullo_epi32(_mm256_xor_si256(a[v], w), m);
      a[v] = _mm256_or_si256(_mm256_slli_epi32(x, 13), _mm256_srli_epi32(x, 19));
    }
  }
  for (int v = 0; v < 8; v++) _mm256_store_si256(reinterpret_cast<__m256i*>(h + 8 * v), a[v]);
  return Fold(h, p, n, key);
}
#else
uint64_t DBDigestFast(const unsigned char* p, size_t n, uint64_t key) {
  return DBDigestPlain(p, n, key);
}
#endif

uint64_t DBDigest(const unsigned char* p, size_t n, uint64_t key) {
  static const bool fast = cpuHasAVX2();
  return fast ? DBDigestFast(p, n, key) : DBDigestPlain(p, n, key);
}
