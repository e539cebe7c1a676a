// RGBE scanline coding: pixel encoding, flat, run-length and repeat-code scanlines.
#include "formats/rgbe.h"

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

void* tempbuf = nullptr;
size_t tempbuflen = 0;

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

// Collects coded bytes in a stack buffer and writes them in blocks.
class ByteSink {
 public:
  explicit ByteSink(FILE* fp) : fp_(fp) {}
  ~ByteSink() { flush(); }
  void put(unsigned char c) {
    if (len_ == sizeof buf_) flush();
    buf_[len_++] = c;
  }
  // Makes room for k <= kMaxDump + 1 bytes and returns where they go.
  unsigned char* reserve(size_t k) {
    if (len_ + k > sizeof buf_) flush();
    unsigned char* p = buf_ + len_;
    len_ += k;
    return p;
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

// Codes one byte position (0..3) of n pixels as runs and dumps.
void writeStream(ByteSink& out, const RGBEPIX* p, int n, int i) {
  int j = 0;
  while (j < n) {
    // Find the next run of at least kMinRun equal bytes from j.
    int beg = j;
    int cnt = 0;
    while (beg < n) {
      const unsigned char b = p[beg][i];
      cnt = 1;
      while (cnt < kMaxRun && beg + cnt < n && p[beg + cnt][i] == b) cnt++;
      if (cnt >= kMinRun) break;
      beg += cnt;
    }
    if (beg >= n) cnt = 0;
    // Two or three equal bytes before the run go out as a short run.
    if (beg - j > 1 && beg - j < kMinRun) {
      int k = j + 1;
      while (k < beg && p[k][i] == p[j][i]) k++;
      if (k == beg) {
        out.put(static_cast<unsigned char>(128 + beg - j));
        out.put(p[j][i]);
        j = beg;
      }
    }
    // Literal bytes up to the run, in dumps.
    while (j < beg) {
      int c = beg - j;
      if (c > kMaxDump) c = kMaxDump;
      unsigned char* d = out.reserve(static_cast<size_t>(c) + 1);
      *d++ = static_cast<unsigned char>(c);
      for (int k = 0; k < c; k++) d[k] = p[j + k][i];
      j += c;
    }
    if (cnt >= kMinRun) {
      out.put(static_cast<unsigned char>(128 + cnt));
      out.put(p[beg][i]);
      j = beg + cnt;
    }
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
  int e;
  const double f = std::frexp(d, &e);
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
    ByteSink out(fp);
    out.put(2);
    out.put(2);
    out.put(static_cast<unsigned char>(n >> 8));
    out.put(static_cast<unsigned char>(n & 255));
    for (int i = 0; i < 4; i++) writeStream(out, pixels, n, i);
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
  {
    StreamLock lock(fp);
    const int c0 = getc_unlocked(fp);
    if (c0 == EOF) return -1;
    if (c0 != 2) {
      ungetc(c0, fp);
      goto old;
    }
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
      goto old1;
    }
    if (((c2 << 8) | c3) != n) return -1;
    for (int i = 0; i < 4; i++) {
      unsigned char* dst = &pixels[0][i];
      int j = 0;
      while (j < n) {
        int code = getc_unlocked(fp);
        if (code == EOF) return -1;
        if (code > 128) {
          code -= 128;
          if (code > n - j) return -1;
          const int v = getc_unlocked(fp);
          if (v == EOF) return -1;
          unsigned char* d = dst + 4 * j;
          for (int k = 0; k < code; k++) d[4 * k] = static_cast<unsigned char>(v);
        } else {
          if (code > n - j) return -1;
          unsigned char* d = dst + 4 * j;
          for (int k = 0; k < code; k++) {
            const int v = getc_unlocked(fp);
            if (v == EOF) return -1;
            d[4 * k] = static_cast<unsigned char>(v);
          }
        }
        j += code;
      }
    }
    return 0;
  }
old:
  return readOld(pixels, 0, n, fp);
old1:
  return readOld(pixels, 1, n, fp);
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
  if (size > tempbuflen) {
    void* p = std::realloc(tempbuf, size);
    if (p == nullptr) {
      std::free(tempbuf);
      tempbuf = nullptr;
      tempbuflen = 0;
      return nullptr;
    }
    tempbuf = p;
    tempbuflen = size;
  }
  return tempbuf;
}
