// Internals shared by the codec's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include "jpeghdr/jpeghdr.h"

// Luminance of linear Rec. 709 RGB, in single precision everywhere in the codec.
inline float jh_luminance(const float rgb[3]) {
  return 0.2126f * rgb[0] + 0.7152f * rgb[1] + 0.0722f * rgb[2];
}

// Pixel (x, y) of the source as linear RGB: NaN becomes 0 and every value is limited to
// +-1e20, so infinities cannot poison the tone mapping or the ratio range.
inline void jh_pixel(const jpeghdr_compress_struct* jh, int x, int y, float rgb[3]) {
  if (jh->cvt == cvt_floatRGB)  // the common source, without the call
    std::memcpy(rgb,
                jh->spixels + static_cast<ptrdiff_t>(y) * jh->systride +
                    static_cast<ptrdiff_t>(x) * jh->sxstride,
                3 * sizeof(float));
  else
    (*jh->cvt)(rgb, jh, x, y);
  for (int i = 0; i < 3; i++) {
    if (rgb[i] != rgb[i])
      rgb[i] = 0.f;
    else if (rgb[i] > 1e20f)
      rgb[i] = 1e20f;
    else if (rgb[i] < -1e20f)
      rgb[i] = -1e20f;
  }
}

// Histogram bins of the lowest and highest luminance that at least c pixels reach from their
// end: low is bins when never reached, high -1.
void jh_percentile_cut(const uint32_t* histo, int bins, uint64_t c, int* low, int* high);
// The log luminance that bin i stands for.
inline float jh_bin_value(const jpeghdr_compress_struct* jh, int i) {
  return jh->histolmin + (static_cast<float>(i) + 0.5f) / static_cast<float>(jh->hbins) *
                             (jh->histolmax - jh->histolmin);
}

// Dither noise: draw i of a seed is a hash of the seed's key and the counter i, so draws can
// be made in any order and eight at a time, a seed always gives the same noise, and the
// process's rand() is untouched. The codec numbers draws by pixel index.
inline uint32_t jh_mix(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}
inline void jh_seed(jpeghdr_random* r, uint32_t seed) {
  r->state = jh_mix(seed * 0x9E3779B9u + 0x7F4A7C15u);
}
// Draw i: 0 .. 2^31 - 1.
inline int32_t jh_rand_at(const jpeghdr_random* r, uint32_t i) {
  return static_cast<int32_t>(jh_mix(i * 0x9E3779B9u + r->state) >> 1);
}

// Memory for a large work image, released with std::free; null when there is none.
void* jh_alloc_large(size_t n);

// ---- Threads ----
// The per-pixel passes may be split into bands of rows over jh->threads threads (at most
// JH_MAX_THREADS; 0 or 1 keeps all work on the calling thread). Results do not depend on the
// split.
constexpr int JH_MAX_THREADS = 16;
int jh_thread_count(const jpeghdr_compress_struct* jh);
// fn(ctx, y0, y1, part) for rows y0 .. y1 - 1 on the thread numbered `part`: calls with one
// part number never overlap in time, so per-part scratch memory is safe.
typedef void (*JHBandFunc)(void* ctx, int y0, int y1, int part);
// Runs fn over rows 0 .. h - 1 in pieces taken by `parts` threads (part 0 the calling one)
// and returns when all are done. When no thread can be started the calling thread does the
// rest.
void jh_parallel_bands(int parts, int h, JHBandFunc fn, void* ctx);
// Tells the encoding's progress hook that the fraction done of the whole encoding is done;
// false when the hook asks the encoding to end. Only on the calling thread, with no other
// thread of the encoder running.
bool jh_told(jpeghdr_compress_struct* jh, float done);
// jh_told, ending the encoding (JGLUE_STOPPED) when the hook asks: for a caller that holds
// nothing the codec object does not free.
void jh_tell(jpeghdr_compress_struct* jh, float done);
// Where each pass of an encoding begins in its progress (0 .. 1), in about the shares of time
// they take: the luminances and their histogram, the two tone-mapping passes, the ratio
// range, the ratio image, its JPEG file, and the foreground.
constexpr float JH_AT_TONE0 = 0.14f, JH_AT_TONE1 = 0.2f, JH_AT_RANGE = 0.27f, JH_AT_RATIO = 0.33f,
                JH_AT_RATIOFILE = 0.45f, JH_AT_FOREGROUND = 0.55f;
// Pixels of work between two tellings of the progress.
constexpr int64_t JH_STEP_PIXELS = int64_t{1} << 20;
// Rows (of w pixels) in a step of work between two tellings.
inline int jh_step_rows(int w) {
  const int64_t n = JH_STEP_PIXELS / (w > 0 ? w : 1);
  return n < 1 ? 1 : static_cast<int>(n);
}
// jh_parallel_bands over rows (or other units) of unitPixels pixels each; with a progress
// hook, a step of about JH_STEP_PIXELS pixels at a time (the threads joined between steps),
// telling after each the part of from .. to the units done stand for. False, with the rest
// left undone, when the hook asked the encoding to end.
bool jh_told_bands(jpeghdr_compress_struct* jh, int parts, int h, int64_t unitPixels, JHBandFunc fn,
                   void* ctx, float from, float to);
// jh_parallel_bands on a thread of its own, so the caller can work meanwhile; joined by join()
// or the destructor.
class JHBackground {
 public:
  JHBackground();
  ~JHBackground();
  JHBackground(const JHBackground&) = delete;
  JHBackground& operator=(const JHBackground&) = delete;
  // False when no thread could be started (then nothing runs).
  bool start(int parts, int h, JHBandFunc fn, void* ctx);
  void join();

 private:
  std::thread* thread_;
};

// Raises libjpeg error code (with an optional case number) on the object.
[[noreturn]] void jh_error(j_common_ptr cinfo, int code, int param = 0);

// The sRGB curve extended to negative values, linear to encoded.
float jh_srgb_encode(float v);
// A YCbCr component as a byte: 0 at or below 0, 255 at or above 1, else trunc(256 v).
inline uint8_t jh_code_byte(float v) {
  if (v <= 0.f) return 0;
  if (v >= 1.f) return 255;
  return static_cast<uint8_t>(256.f * v);
}

// Gamma-encoded R', G', B' to YCbCr bytes.
inline void jh_ycc_bytes(float r, float g, float b, uint8_t ycc[3]) {
  ycc[0] = jh_code_byte(0.299f * r + 0.587f * g + 0.114f * b);
  ycc[1] = jh_code_byte(-0.16874f * r - 0.33126f * g + 0.5f * b + 0.5f);
  ycc[2] = jh_code_byte(0.5f * r - 0.41869f * g - 0.08131f * b + 0.5f);
}

// Checks the codec interface version and structure size a caller was built with (libjpeg
// errors JERR_BAD_LIB_VERSION and JERR_BAD_STRUCT_SIZE).
void jh_check_interface(j_common_ptr cinfo, int codec_version, size_t codec_size, size_t own_size);

// The start both create calls share: clears the codec's part of the struct (libjpeg's create
// call sets up its own part), checks the caller's interface and sets the shared defaults.
template <class S>
void jh_create_common(S* jh, int codec_version, size_t codec_size) {
  std::memset(reinterpret_cast<char*>(jh) + sizeof(jh->cinfo), 0, sizeof *jh - sizeof(jh->cinfo));
  jh_check_interface(reinterpret_cast<j_common_ptr>(&jh->cinfo), codec_version, codec_size,
                     sizeof(S));
  jh->correction = 1;
  jh->alpha = 1.f;
  jh->beta = 1.f;
}

// Fast kernels (jhfast.cpp), each agreeing with its plain counterpart: std::log for normal
// positive x (to 1e-6), jh_srgb_encode (to 1e-6 relative), jpeghdr_rgb2ycc and
// jpeghdr_in_gamut (bytes within 1).
struct JHFastTables {
  static constexpr int kLogBits = 10;  // log2(1 + m) tabulated at 2^10 mantissa steps
  static constexpr int kPowBits = 8;   // (1 + m)^(1 / 2.4) at 2^8 steps
  static constexpr int kExpLow = -10;  // sRGB fast range 2^-10 .. 2^8; the rest is plain
  static constexpr int kExpHigh = 8;
  float log2m[(1 << kLogBits) + 1];
  float powm[(1 << kPowBits) + 1];
  float powe[kExpHigh - kExpLow];
};
extern const JHFastTables& jh_fast_tables;

// Splits a positive normal float into its exponent e, the top `bits` mantissa bits i and the
// fraction f in [0, 1) of the rest, for tables interpolated over mantissa steps.
template <int bits>
inline void jh_float_split(float x, int* e, uint32_t* i, float* f) {
  constexpr int kFrac = 23 - bits;
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  *e = static_cast<int>(b >> 23) - 127;
  const uint32_t m = b & 0x7FFFFF;
  *i = m >> kFrac;
  *f = static_cast<float>(m & ((1u << kFrac) - 1)) * (1.f / static_cast<float>(1u << kFrac));
}

inline float jh_fast_log(float x) {
  int e;
  uint32_t i;
  float f;
  jh_float_split<JHFastTables::kLogBits>(x, &e, &i, &f);
  const float* t = jh_fast_tables.log2m;
  return (static_cast<float>(e) + t[i] + f * (t[i + 1] - t[i])) * 0.69314718f;
}

inline float jh_srgb_encode_fast(float v) {
  if (!(v > 0.0031308f) || v >= static_cast<float>(1 << JHFastTables::kExpHigh))
    return jh_srgb_encode(v);
  int e;
  uint32_t i;
  float f;
  jh_float_split<JHFastTables::kPowBits>(v, &e, &i, &f);
  const float* t = jh_fast_tables.powm;
  const float p = jh_fast_tables.powe[e - JHFastTables::kExpLow] * (t[i] + f * (t[i + 1] - t[i]));
  return 1.055f * p - 0.055f;
}
// Colours whose three linear components lie in [kGamutLow, kGamutHigh] code to Y, Cb and Cr
// bytes of 3 .. 248 (the sRGB curve maps the box to [0.0129, 0.955], and the YCbCr rows
// keep that inside [0.029, 0.971]), so the gamut test of such a colour needs no curve. The
// margin of two bytes or more dwarfs the curve's rounding.
constexpr float kGamutLow = 0.001f, kGamutHigh = 0.9f;
inline bool jh_surely_in_gamut(float r, float g, float b) {
  return r >= kGamutLow && g >= kGamutLow && b >= kGamutLow && r <= kGamutHigh && g <= kGamutHigh &&
         b <= kGamutHigh;
}
void jh_rgb2ycc_fast(const float rgb[3], uint8_t ycc[3]);
bool jh_in_gamut_fast(const jpeghdr_compress_struct* jh, const float rgb[3]);
// The foreground code of a display luminance v: trunc(256 v^(1 / gamma)) limited to 0..255,
// found by comparisons with thr[t] = (t / 256)^gamma. The cells split the positive floats by
// exponent and the top mantissa bits, so one table read and a step or two find the code.
struct JHCodeTable {
  static constexpr int kShift = 16;                              // 7 mantissa bits a cell
  static constexpr uint32_t kFirstCell = 0x33800000u >> kShift;  // 2^-24
  static constexpr uint32_t kLastCell = 0x3F800000u >> kShift;   // 1.0
  static constexpr int kCells = static_cast<int>(kLastCell - kFirstCell);
  float thr[257];
  int steps;                 // most thresholds any cell holds: the steps a search can take
  uint8_t cell[kCells + 3];  // 3 spare bytes: a 4-byte read at any cell stays inside
  // With one step at most: a cell's code << 17 | the low 16 bits of the next threshold when it
  // lies in the cell (values of the cell with low bits at or above it take the next code),
  // else 1 << 16, which no value reaches. One read then gives a code.
  uint32_t packed[kCells];
};
void jh_code_thresholds(JHCodeTable* ct, float gamma);
uint8_t jh_code_search_plain(const JHCodeTable* ct, float v);
inline uint8_t jh_code_search(const JHCodeTable* ct, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const uint32_t c = bits >> JHCodeTable::kShift;  // negative values fall above kLastCell
  if (!(v > 0.f)) return 0;
  if (c < JHCodeTable::kFirstCell) return jh_code_search_plain(ct, v);
  if (c >= JHCodeTable::kLastCell) return v >= 1.f ? 255 : jh_code_search_plain(ct, v);
  int t = ct->cell[c - JHCodeTable::kFirstCell];
  while (v >= ct->thr[t + 1]) t++;
  return static_cast<uint8_t>(t > 255 ? 255 : t);
}

// Luminance of every source pixel (sanitised), computed once per source and kept in
// jh->lum until the source changes or the object is destroyed. The largest of each row
// follows the pixels (jh_row_maxima).
const float* jh_luminances(jpeghdr_compress_struct* jh);
// Memory for jh->lum: the pixels' luminances, then one maximum a row. Null when out of memory.
float* jh_alloc_luminances(const jpeghdr_compress_struct* jh);
inline const float* jh_row_maxima(jpeghdr_compress_struct* jh) {
  return jh_luminances(jh) + static_cast<size_t>(jh->cinfo.image_width) * jh->cinfo.image_height;
}

// Linear value of every integer sRGB level v / 256 from JH_GAMMA_LOW to JH_GAMMA_HIGH (the
// sRGB curve extended to negative values), indexed by v. ycc2srgb yields -230 .. 480 at most
// (blue reaches 480 for Y = Cb = 255), so the table covers every byte triple.
constexpr int JH_GAMMA_LOW = -230, JH_GAMMA_HIGH = 480;
extern const float* const jh_gamma_lookup;

// jpeghdr_ycc2rgb without the call, for the decoder's rows.
inline void jh_ycc2rgb_inline(const uint8_t ycc[3], float rgb[3]) {
  const int y = ycc[0], cb = ycc[1], cr = ycc[2];
  rgb[0] = jh_gamma_lookup[y + ((91881 * cr - 11760768) >> 16)];
  rgb[1] = jh_gamma_lookup[y + ((-22553 * cb - 46818 * cr + 8879488) >> 16)];
  rgb[2] = jh_gamma_lookup[y + ((116130 * cb - 14864640) >> 16)];
}

// ---- Row kernels of the encoder's passes ----
// Each pass works a row at a time through one of these. The plain versions (jhrows.cpp) are
// the definition; the AVX2 versions (jhrowsavx2.cpp) compute the same values with the same
// floating-point operations in the same order, so the encoder writes the same bytes on any
// processor. The jh_*_row entry points choose once, by the processor, which to run.

bool jh_have_avx2();
// Whether jpeghdr_desaturate leaves colours unchanged for jh's alpha and beta.
bool jh_desaturation_off(const jpeghdr_compress_struct* jh);

// Sanitised luminance of the w pixels of source row y; returns the row's largest.
float jh_lum_row_plain(const jpeghdr_compress_struct* jh, int y, float* out);
float jh_lum_row_avx2(const jpeghdr_compress_struct* jh, int y, float* out);
float jh_lum_row(const jpeghdr_compress_struct* jh, int y, float* out);

// Counts n luminances into the histogram: those in [lmin, lmax) into bin
// sf * (log l - loglmin), limited to 0 .. bins - 1. histo holds JH_HISTO_COPIES copies of the
// bins, which the caller sums (the vector kernel spreads neighbours over them).
constexpr int JH_HISTO_COPIES = 8;
struct JHHistoArgs {
  float lmin, lmax, loglmin, sf;
  int bins;
};
void jh_histo_row_plain(const JHHistoArgs* a, const float* lum, int n, uint32_t* histo);
void jh_histo_row_avx2(const JHHistoArgs* a, const float* lum, int n, uint32_t* histo);
void jh_histo_row(const JHHistoArgs* a, const float* lum, int n, uint32_t* histo);

// The default tone mapping of one row: codes of ld = ls white / (ls + 1), ls = scale l. In
// pass 0 bright pixels (ld > 0.5, l <= lhi) lower `white` by 3% steps until the scaled colour
// is in gamut, setting `reduced`; codes are written in pass 1 only.
struct JHToneState {
  const jpeghdr_compress_struct* jh;
  const JHCodeTable* thr;
  float scale, lhi, white;
  bool reduced;
  int pass;
};
void jh_tone_row_plain(JHToneState* s, int y, const float* lrow, uint8_t* trow);
void jh_tone_row_avx2(JHToneState* s, int y, const float* lrow, uint8_t* trow);
void jh_tone_row(JHToneState* s, int y, const float* lrow, uint8_t* trow);

// Dithered ratio codes of one row: rscale (log l - lntable[t]) rounded with a random offset,
// draw i0 + x of rng for pixel x; pixels of luminance at most 1e-10 get ratio 0.
struct JHRatioArgs {
  float rscale;
  const float* lntable;  // 256 entries
};
void jh_ratio_row_plain(const JHRatioArgs* a, const float* lrow, const uint8_t* trow, uint8_t* rrow,
                        int n, const jpeghdr_random* rng, uint32_t i0);
void jh_ratio_row_avx2(const JHRatioArgs* a, const float* lrow, const uint8_t* trow, uint8_t* rrow,
                       int n, const jpeghdr_random* rng, uint32_t i0);
void jh_ratio_row(const JHRatioArgs* a, const float* lrow, const uint8_t* trow, uint8_t* rrow,
                  int n, const jpeghdr_random* rng, uint32_t i0);

// Foreground codes corrected for the enlarged ratio image: the code of l / ratio[r], at least
// floor; code 0 (black) stays.
void jh_correct_row_plain(const JHCodeTable* thr, const float* ratio, uint8_t floor,
                          const float* lrow, const uint8_t* rrow, uint8_t* trow, int n);
void jh_correct_row_avx2(const JHCodeTable* thr, const float* ratio, uint8_t floor,
                         const float* lrow, const uint8_t* rrow, uint8_t* trow, int n);
void jh_correct_row(const JHCodeTable* thr, const float* ratio, uint8_t floor, const float* lrow,
                    const uint8_t* rrow, uint8_t* trow, int n);

// Foreground YCbCr bytes of source row y into three planes (out[0] Y, out[1] Cb, out[2] Cr):
// each pixel scaled to the display luminance table[t] of its code, desaturated; code 0 gives
// black.
void jh_fg_row_plain(const jpeghdr_compress_struct* jh, int y, const float* table,
                     const float* lrow, const uint8_t* trow, uint8_t* const out[3]);
void jh_fg_row_avx2(const jpeghdr_compress_struct* jh, int y, const float* table, const float* lrow,
                    const uint8_t* trow, uint8_t* const out[3]);
void jh_fg_row(const jpeghdr_compress_struct* jh, int y, const float* table, const float* lrow,
               const uint8_t* trow, uint8_t* const out[3]);

// A chroma row at half size both ways, as libjpeg subsamples 2 x 2: out[j] is the mean of
// a[2j], a[2j + 1], b[2j] and b[2j + 1], rounded up at odd j and down at even j, for n outputs.
void jh_halve_rows_plain(const uint8_t* a, const uint8_t* b, uint8_t* out, int n);
void jh_halve_rows_avx2(const uint8_t* a, const uint8_t* b, uint8_t* out, int n);
void jh_halve_rows(const uint8_t* a, const uint8_t* b, uint8_t* out, int n);

// The plain kernels over pixels x0 .. x1 - 1 of a row (pointers at the row's start), for the
// vectorised versions' leftovers and rare cases.
void jh_tone_span(JHToneState* s, int y, const float* lrow, uint8_t* trow, int x0, int x1);
void jh_fg_span(const jpeghdr_compress_struct* jh, int y, const float* table, const float* lrow,
                const uint8_t* trow, uint8_t* const out[3], int x0, int x1);

// The dithered cubic enlargement of jpeghdr_resample8 one destination row at a time, in any
// order: rows come out the same as from the whole enlargement. The work memory is a block of
// jh_enlarge_bytes(sw, dw) bytes that the caller owns.
struct JHEnlarger {
  const uint8_t* src;
  int sw, sh, dw, dh;
  int32_t* xi;         // source column of each destination column
  int32_t* xw[4];      // its four cubic weights, weight by weight
  int32_t* val;        // one destination row before dithering
  int32_t* across[4];  // source rows interpolated across, held[k] in slot k
  int32_t held[4];     // -1 for none
  int32_t* col;        // one source row as values, with room either side
  jpeghdr_random rng;
};
size_t jh_enlarge_bytes(int sw, int dw);
void jh_enlarge_begin(JHEnlarger* en, const uint8_t* src, int sw, int sh, int dw, int dh,
                      void* block);
void jh_enlarge_row(JHEnlarger* en, int y, uint8_t* out);

// gaussian8 with its destination rows split into `parts` bands over threads.
int jh_gaussian8(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh, int parts);
// Source row r of a reduction made on demand into buf (sw bytes); returns buf. A row may be
// asked for more than once, from any thread, so a source must make the same bytes each time
// and change nothing else.
typedef const uint8_t* (*JHRowSource)(void* ctx, int r, uint8_t* buf);
// The same reduction of an sw x sh image whose rows come from source; told as the part
// from .. to of jh's encoding, when jh is given. -1 when jh's progress hook asked it to end.
int jh_gaussian8_rows(JHRowSource source, void* ctx, int sw, int sh, uint8_t* dst, int dw, int dh,
                      int parts, jpeghdr_compress_struct* jh = nullptr, float from = 0,
                      float to = 0);

// ---- Row kernels of the ratio-image resamplers (exact integer results) ----

// sum[j] += w s[j] for n samples (w s fits 31 bits).
void jh_weigh_row_plain(int32_t* sum, const uint8_t* s, int32_t w, int n);
void jh_weigh_row_avx2(int32_t* sum, const uint8_t* s, int32_t w, int n);
void jh_weigh_row(int32_t* sum, const uint8_t* s, int32_t w, int n);
// c[j] = trunc(256 sum[j] / d), in double precision (see gaussian8 for why it is exact).
void jh_scale_row_plain(int32_t* c, const int32_t* sum, double d, int n);
void jh_scale_row_avx2(int32_t* c, const int32_t* sum, double d, int n);
void jh_scale_row(int32_t* c, const int32_t* sum, double d, int n);
// v[j] = w[0] h[0][j] + w[1] h[1][j] + w[2] h[2][j] + w[3] h[3][j].
void jh_cubic_down_plain(const int32_t* const h[4], const int16_t w[4], int32_t* v, int n);
void jh_cubic_down_avx2(const int32_t* const h[4], const int16_t w[4], int32_t* v, int n);
void jh_cubic_down(const int32_t* const h[4], const int16_t w[4], int32_t* v, int n);
// c[j] = w[0] r[0][j] + w[1] r[1][j] + w[2] r[2][j] + w[3] r[3][j].
void jh_cubic_column_plain(const uint8_t* const r[4], const int16_t w[4], int32_t* c, int n);
void jh_cubic_column_avx2(const uint8_t* const r[4], const int16_t w[4], int32_t* c, int n);
void jh_cubic_column(const uint8_t* const r[4], const int16_t w[4], int32_t* c, int n);
// v[x] = w0[x] c[i[x] - 1] + w1[x] c[i[x]] + w2[x] c[i[x] + 1] + w3[x] c[i[x] + 2]. The vector
// kernel may read c from c[i[x] - 1] to c[i[x] + 14] (values unused past the taps).
void jh_cubic_row_plain(const int32_t* c, const int32_t* i, const int32_t* const w[4], int32_t* v,
                        int n);
void jh_cubic_row_avx2(const int32_t* c, const int32_t* i, const int32_t* const w[4], int32_t* v,
                       int n);
void jh_cubic_row(const int32_t* c, const int32_t* i, const int32_t* const w[4], int32_t* v, int n);
// The enlargement's dithered codes: 0 for v <= 0, 255 above 255 x 2^20 - 1, else
// (v + rand / 2047) >> 20, at most 255, with rand draw i0 + x of rng for pixel x.
void jh_dither_row_plain(const int32_t* v, uint8_t* out, int n, const jpeghdr_random* rng,
                         uint32_t i0);
void jh_dither_row_avx2(const int32_t* v, uint8_t* out, int n, const jpeghdr_random* rng,
                        uint32_t i0);
void jh_dither_row(const int32_t* v, uint8_t* out, int n, const jpeghdr_random* rng, uint32_t i0);

// Raises the n codes below floor to it, then gives the pixels of luminance l at most 1e-10
// code 0 (black); true when some code was above floor after raising (black ones included).
bool jh_raise_codes_plain(uint8_t* t, const float* l, size_t n, uint8_t floor);
bool jh_raise_codes_avx2(uint8_t* t, const float* l, size_t n, uint8_t floor);
bool jh_raise_codes(uint8_t* t, const float* l, size_t n, uint8_t floor);

// The ratio range l / table[t] over a row's pixels of luminance in [lmin, lmax] above 1e-10,
// skipping pixels whose code lies 20 or more inside the extreme codes examined so far.
struct JHRangeState {
  const float* table;
  float lmin, lmax, rmin, rmax;
  int tsmall, tlarge;
};
// The scan takes a pixel only while its code is within 20 of the smallest or largest code of
// the pixels before it in range, so rows can be scanned in any order, or at once, when each
// scan starts from the extremes of the rows before it: these fold a row's extreme codes among
// pixels of luminance in [lmin, lmax] above 1e-10 into *tmin and *tmax.
void jh_code_extremes_plain(const uint8_t* trow, const float* lrow, int n, float lmin, float lmax,
                            int* tmin, int* tmax);
void jh_code_extremes_avx2(const uint8_t* trow, const float* lrow, int n, float lmin, float lmax,
                           int* tmin, int* tmax);
void jh_code_extremes(const uint8_t* trow, const float* lrow, int n, float lmin, float lmax,
                      int* tmin, int* tmax);
void jh_range_row_plain(JHRangeState* s, const uint8_t* trow, const float* lrow, int n);
void jh_range_row_avx2(JHRangeState* s, const uint8_t* trow, const float* lrow, int n);
void jh_range_row(JHRangeState* s, const uint8_t* trow, const float* lrow, int n);
