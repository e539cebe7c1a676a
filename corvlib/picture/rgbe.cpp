// RGBE scanline coding: pixel encoding, flat, run-length and repeat-code scanlines.
#include "picture/rgbe.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kMinRun = 4;     // shortest run the writer codes as a run
constexpr int kMaxRun = 127;   // longest run one code byte holds
constexpr int kMaxDump = 128;  // longest dump one code byte holds

// Scale of a mantissa for each exponent byte: 2^(E - 136), and 0 for E = 0. Every entry is
// an exact float (the smallest ones are subnormal), so (m + 0.5) * scale in float equals the
// double product rounded to float.
struct ExpTable {
  float v[256];
  constexpr ExpTable() : v() {
    double s = 1.0;
    for (int i = 0; i < RGBE_EXCESS + 8; i++) s *= 0.5;  // 2^-136
    v[0] = 0.0f;
    for (int e = 1; e < 256; e++) {
      s *= 2.0;
      v[e] = static_cast<float>(s);
    }
  }
};
constexpr ExpTable kExp;

// The scratch buffer, one per thread, so that converters running in different threads
// never write into each other's scanlines; freed when its thread ends.
struct TempBuf {
  void* p = nullptr;
  size_t len = 0;
  ~TempBuf() { std::free(p); }
};
thread_local TempBuf tempbuf;

// Locks a stream for the duration of one scanline so the byte loops can use the unlocked
// stdio calls.
class StreamLock {
 public:
  explicit StreamLock(FILE* fp) : fp_(fp) { flockfile(fp_); }
  ~StreamLock() { funlockfile(fp_); }
  StreamLock(const StreamLock&) = delete;
  StreamLock& operator=(const StreamLock&) = delete;

 private:
  FILE* fp_;
};

// One scanline split into its four byte streams, each contiguous: the run search and the
// packet decoder work on these.
thread_local unsigned char t_planes[4][RGBE_MAXELEN + 16];

// Collects coded bytes in a stack buffer and writes them in blocks.
class ByteSink {
 public:
  explicit ByteSink(FILE* fp) : fp_(fp) {}
  ~ByteSink() { flush(); }
  void put(unsigned char c) {
    if (len_ == sizeof buf_) flush();
    buf_[len_++] = c;
  }
  void put(const unsigned char* p, size_t k) {
    if (len_ + k > sizeof buf_) flush();
    std::memcpy(buf_ + len_, p, k);
    len_ += k;
  }
  void flush() {
    if (len_ > 0 && std::fwrite(buf_, 1, len_, fp_) != len_) failed_ = true;
    len_ = 0;
  }
  bool failed() const { return failed_; }

 private:
  FILE* fp_;
  size_t len_ = 0;
  bool failed_ = false;
  unsigned char buf_[8192];
};

// The first position p >= j with b[p..p+3] equal, or n when there is none.
//
// Searching segment by segment (each a maximal stretch of equal bytes from j) for the first
// of at least kMinRun bytes finds the same position: such a segment starts where four equal
// bytes start, and the first place where four equal bytes start begins a segment.
int findRun(const unsigned char* b, int j, int n) {
  int p = j;
#if defined(__SSE2__)
  while (p + 16 + 3 <= n) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p + 1));
    const __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p + 2));
    const __m128i a3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p + 3));
    const __m128i eq = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, a1), _mm_cmpeq_epi8(a, a2)),
                                     _mm_cmpeq_epi8(a, a3));
    const int m = _mm_movemask_epi8(eq);
    if (m != 0) return p + __builtin_ctz(static_cast<unsigned>(m));
    p += 16;
  }
#endif
  for (; p + 3 < n; p++)
    if (b[p] == b[p + 1] && b[p] == b[p + 2] && b[p] == b[p + 3]) return p;
  return n;
}

// Codes one byte stream of n bytes as runs and dumps.
void writeStream(ByteSink& out, const unsigned char* b, int n) {
  int j = 0;
  while (j < n) {
    const int beg = findRun(b, j, n);
    int cnt = 0;
    if (beg < n) {
      cnt = 1;
      while (cnt < kMaxRun && beg + cnt < n && b[beg + cnt] == b[beg]) cnt++;
    }
    // Two or three equal bytes before the run (or the end) go out as a short run.
    if (beg - j > 1 && beg - j < kMinRun) {
      int k = j + 1;
      while (k < beg && b[k] == b[j]) k++;
      if (k == beg) {
        out.put(static_cast<unsigned char>(128 + beg - j));
        out.put(b[j]);
        j = beg;
      }
    }
    // Literal bytes up to the run, in dumps.
    while (j < beg) {
      int c = beg - j;
      if (c > kMaxDump) c = kMaxDump;
      out.put(static_cast<unsigned char>(c));
      out.put(b + j, static_cast<size_t>(c));
      j += c;
    }
    if (cnt > 0) {
      out.put(static_cast<unsigned char>(128 + cnt));
      out.put(b[beg]);
      j = beg + cnt;
    }
  }
}

// Fills one byte stream of n bytes from run and dump packets; -1 on end of file or a packet
// that passes the end. The stream is locked by the caller.
int readStream(FILE* fp, unsigned char* dst, int n) {
  int j = 0;
  while (j < n) {
    int code = getc_unlocked(fp);
    if (code == EOF) return -1;
    if (code > 128) {
      code -= 128;
      if (code > n - j) return -1;
      const int v = getc_unlocked(fp);
      if (v == EOF) return -1;
      std::memset(dst + j, v, static_cast<size_t>(code));
    } else {
      if (code > n - j) return -1;
      if (code > 8) {
#if defined(__GLIBC__)
        if (fread_unlocked(dst + j, 1, static_cast<size_t>(code), fp) != static_cast<size_t>(code))
          return -1;
#else
        if (std::fread(dst + j, 1, static_cast<size_t>(code), fp) != static_cast<size_t>(code))
          return -1;
#endif
      } else {
        for (int k = 0; k < code; k++) {
          const int v = getc_unlocked(fp);
          if (v == EOF) return -1;
          dst[j + k] = static_cast<unsigned char>(v);
        }
      }
    }
    j += code;
  }
  return 0;
}

// Splits n pixels into the four byte streams.
void splitPlanes(const RGBEPIX* px, int n, unsigned char (*planes)[RGBE_MAXELEN + 16]) {
  for (int i = 0; i < n; i++) {
    planes[0][i] = px[i][0];
    planes[1][i] = px[i][1];
    planes[2][i] = px[i][2];
    planes[3][i] = px[i][3];
  }
}

// Joins four byte streams into n pixels.
void joinPlanes(RGBEPIX* px, int n, const unsigned char (*planes)[RGBE_MAXELEN + 16]) {
  int i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[0] + i));
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[1] + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[2] + i));
    const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[3] + i));
    const __m128i rg0 = _mm_unpacklo_epi8(r, g), rg1 = _mm_unpackhi_epi8(r, g);
    const __m128i be0 = _mm_unpacklo_epi8(b, e), be1 = _mm_unpackhi_epi8(b, e);
    __m128i* o = reinterpret_cast<__m128i*>(px[i]);
    _mm_storeu_si128(o + 0, _mm_unpacklo_epi16(rg0, be0));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(rg0, be0));
    _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(rg1, be1));
    _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(rg1, be1));
  }
#endif
  for (; i < n; i++) {
    px[i][0] = planes[0][i];
    px[i][1] = planes[1][i];
    px[i][2] = planes[2][i];
    px[i][3] = planes[3][i];
  }
}

// Reads flat pixels with repeat codes into pixels[start..n). A repeat code needs a pixel
// before it and may not pass the end of the scanline.
int readOld(RGBEPIX* pixels, int start, int n, FILE* fp) {
  StreamLock lock(fp);
  int i = start;
  int shift = 0;
  while (i < n) {
    int c[4];
    for (int k = 0; k < 4; k++) {
      c[k] = getc_unlocked(fp);
      if (c[k] == EOF) return -1;
    }
    if (c[0] == 1 && c[1] == 1 && c[2] == 1) {
      if (i == 0) return -1;  // nothing to repeat
      if (c[3] != 0) {
        if (shift >= 32) return -1;
        const uint64_t count = static_cast<uint64_t>(c[3]) << shift;
        if (count > static_cast<uint64_t>(n - i)) return -1;
        for (uint64_t k = 0; k < count; k++, i++) std::memcpy(pixels[i], pixels[i - 1], 4);
      }
      if (shift < 32) shift += 8;
    } else {
      for (int k = 0; k < 4; k++) pixels[i][k] = static_cast<unsigned char>(c[k]);
      i++;
      shift = 0;
    }
  }
  return 0;
}

}  // namespace

void setcolr(RGBEPIX pixel, double r, double g, double b) {
  // Negative components and NaN count as 0.
  if (!(r > 0.0)) r = 0.0;
  if (!(g > 0.0)) g = 0.0;
  if (!(b > 0.0)) b = 0.0;
  double d = r > g ? r : g;
  if (b > d) d = b;
  if (d <= 1e-32) {
    pixel[0] = pixel[1] = pixel[2] = pixel[3] = 0;
    return;
  }
  // d lies between 1e-32 and infinity, so it is a normal number and frexp is a matter of
  // its exponent bits.
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1022;
  bits = (bits & ~(uint64_t{0x7ff} << 52)) | (uint64_t{1022} << 52);
  double f;
  std::memcpy(&f, &bits, sizeof f);
  if (std::isinf(d) || e > 255 - RGBE_EXCESS) {
    // Too bright for the exponent: the largest code, keeping the hue where there is one.
    const double c[3] = {r, g, b};
    for (int k = 0; k < 3; k++) {
      if (std::isinf(c[k]))
        pixel[k] = 255;
      else if (std::isinf(d))
        pixel[k] = 0;
      else
        pixel[k] = static_cast<unsigned char>(c[k] / d * 255.9999);
    }
    pixel[3] = 255;
    return;
  }
  const double s = f * 255.9999 / d;
  pixel[0] = static_cast<unsigned char>(r * s);
  pixel[1] = static_cast<unsigned char>(g * s);
  pixel[2] = static_cast<unsigned char>(b * s);
  pixel[3] = static_cast<unsigned char>(e + RGBE_EXCESS);
}

void colr_color(float colour[3], const RGBEPIX pixel) {
  if (pixel[3] == 0) {
    colour[0] = colour[1] = colour[2] = 0.0f;
    return;
  }
  const int e = pixel[3] - (RGBE_EXCESS + 8);
  colour[0] = static_cast<float>(std::ldexp(pixel[0] + 0.5, e));
  colour[1] = static_cast<float>(std::ldexp(pixel[1] + 0.5, e));
  colour[2] = static_cast<float>(std::ldexp(pixel[2] + 0.5, e));
}

void colrs_color_plain(float* colours, const RGBEPIX* pixels, size_t n) {
  for (size_t i = 0; i < n; i++) {
    const float s = kExp.v[pixels[i][3]];
    colours[3 * i + 0] = (static_cast<float>(pixels[i][0]) + 0.5f) * s;
    colours[3 * i + 1] = (static_cast<float>(pixels[i][1]) + 0.5f) * s;
    colours[3 * i + 2] = (static_cast<float>(pixels[i][2]) + 0.5f) * s;
  }
}

void colrs_color(float* colours, const RGBEPIX* pixels, size_t n) {
#if defined(__SSE2__)
  // Four pixels at a time; each pixel's four lanes are stored with one 16-byte store whose
  // last lane the next pixel overwrites, so a group is done only while a pixel follows it.
  size_t i = 0;
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128i zero = _mm_setzero_si128();
  for (; i + 4 < n; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels[i]));
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    const __m128 p0 = _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero));
    const __m128 p1 = _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero));
    const __m128 p2 = _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero));
    const __m128 p3 = _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero));
    float* o = colours + 3 * i;
    _mm_storeu_ps(o, _mm_mul_ps(_mm_add_ps(p0, half), _mm_set1_ps(kExp.v[pixels[i][3]])));
    _mm_storeu_ps(o + 3, _mm_mul_ps(_mm_add_ps(p1, half), _mm_set1_ps(kExp.v[pixels[i + 1][3]])));
    _mm_storeu_ps(o + 6, _mm_mul_ps(_mm_add_ps(p2, half), _mm_set1_ps(kExp.v[pixels[i + 2][3]])));
    _mm_storeu_ps(o + 9, _mm_mul_ps(_mm_add_ps(p3, half), _mm_set1_ps(kExp.v[pixels[i + 3][3]])));
  }
  colrs_color_plain(colours + 3 * i, pixels + i, n - i);
#else
  colrs_color_plain(colours, pixels, n);
#endif
}

int fwritecolrs(const RGBEPIX* pixels, int n, FILE* fp) {
  if (n < RGBE_MINELEN || n > RGBE_MAXELEN) {
    if (n <= 0) return 0;
    const size_t w = std::fwrite(pixels, sizeof(RGBEPIX), static_cast<size_t>(n), fp);
    return static_cast<int>(w) - n;
  }
  {
    splitPlanes(pixels, n, t_planes);
    ByteSink out(fp);
    out.put(2);
    out.put(2);
    out.put(static_cast<unsigned char>(n >> 8));
    out.put(static_cast<unsigned char>(n & 255));
    for (int i = 0; i < 4; i++) writeStream(out, t_planes[i], n);
    out.flush();
    if (out.failed()) return -1;
  }
  return std::ferror(fp) ? -1 : 0;
}

int oldreadcolrs(RGBEPIX* pixels, int n, FILE* fp) {
  if (n < 0) return -1;
  return readOld(pixels, 0, n, fp);
}

int freadcolrs(RGBEPIX* pixels, int n, FILE* fp) {
  if (n < 0) return -1;
  if (n < RGBE_MINELEN || n > RGBE_MAXELEN) return readOld(pixels, 0, n, fp);
  int start = 0;  // where the flat form takes over
  {
    StreamLock lock(fp);
    const int c0 = getc_unlocked(fp);
    if (c0 == EOF) return -1;
    if (c0 != 2) {
      ungetc(c0, fp);
    } else {
      const int c1 = getc_unlocked(fp);
      const int c2 = getc_unlocked(fp);
      const int c3 = getc_unlocked(fp);
      if (c1 == EOF || c2 == EOF || c3 == EOF) return -1;
      if (c1 != 2 || (c2 & 128)) {
        // A flat scanline whose first pixel begins with 2.
        pixels[0][0] = 2;
        pixels[0][1] = static_cast<unsigned char>(c1);
        pixels[0][2] = static_cast<unsigned char>(c2);
        pixels[0][3] = static_cast<unsigned char>(c3);
        start = 1;
      } else {
        if (((c2 << 8) | c3) != n) return -1;
        for (int i = 0; i < 4; i++)
          if (readStream(fp, t_planes[i], n) < 0) return -1;
        joinPlanes(pixels, n, t_planes);
        return 0;
      }
    }
  }
  return readOld(pixels, start, n, fp);
}

int fwritescan(const float* colours, int n, FILE* fp) {
  if (n < 0) return -1;
  RGBEPIX* sl = static_cast<RGBEPIX*>(tempbuffer(sizeof(RGBEPIX) * static_cast<size_t>(n) + 1));
  if (sl == nullptr) return -1;
  for (int i = 0; i < n; i++)
    setcolr(sl[i], colours[3 * i], colours[3 * i + 1], colours[3 * i + 2]);
  return fwritecolrs(sl, n, fp) < 0 ? -1 : 0;
}

int freadscan(float* colours, int n, FILE* fp) {
  if (n < 0) return -1;
  RGBEPIX* sl = static_cast<RGBEPIX*>(tempbuffer(sizeof(RGBEPIX) * static_cast<size_t>(n) + 1));
  if (sl == nullptr) return -1;
  if (freadcolrs(sl, n, fp) < 0) return -1;
  colrs_color(colours, sl, static_cast<size_t>(n));
  return 0;
}

int bigdiff(const float c1[3], const float c2[3], double tolerance) {
  for (int k = 0; k < 3; k++) {
    if (c1[k] - c2[k] > tolerance * c2[k] || c2[k] - c1[k] > tolerance * c1[k]) return 1;
  }
  return 0;
}

void* tempbuffer(size_t size) {
  TempBuf& t = tempbuf;
  if (size > t.len) {
    void* p = std::realloc(t.p, size);
    if (p == nullptr) {
      std::free(t.p);
      t.p = nullptr;
      t.len = 0;
      return nullptr;
    }
    t.p = p;
    t.len = size;
  }
  return t.p;
}
