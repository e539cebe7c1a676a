// The JPEG-HDR encoder: ratio range and codes, the reduced and pre-corrected ratio image, the
// APP11 "HDR_RI" segments that carry it, and the foreground.
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "jpegglue/jpegglue.h"
#include "jpeghdr/jhprivate.h"
#include "support/cnumber.h"
#include "support/replacefile.h"

namespace {

constexpr int kBins = 2048;
constexpr float kHistoMin = 1e-10f, kHistoMax = 1e10f;
// Codes below this are raised to it, so the foreground never hides a pixel's ratio.
constexpr uint8_t kMinCode = 20;
// Smallest ln1 - ln0 written: the header's six decimals must still tell them apart.
constexpr float kMinRange = 0.02f;

j_common_ptr common(jpeghdr_compress_struct* jh) {
  return reinterpret_cast<j_common_ptr>(&jh->cinfo);
}

// Rounds v to the six decimals the header carries, so encoder and decoder use one value.
float headerRound(float v) {
  char text[64];
  Csnprintf(text, sizeof text, "%f", static_cast<double>(v));
  return Cstrtof(text, nullptr);
}

// Writes the ratio image (w x h codes) as a greyscale JPEG of quality q to fp with a second
// compress object that reports through jh's error manager. Returns 0 with the failing message
// code in *code after a libjpeg error; the second object is destroyed either way.
int writeRatioJpeg(jpeghdr_compress_struct* jh, FILE* fp, const uint8_t* img, int w, int h, int q,
                   int* code) {
  jpeg_compress_struct ci;
  jpeg_jump_record rec;
  rec.fatal_warn = 0;
  ci.err = jh->cinfo.err;
  if (setjmp(rec.env)) {
    *code = ci.err->msg_code;
    jpeg_destroy_compress(&ci);
    return 0;
  }
  jpeg_create_compress(&ci);
  ci.client_data = &rec;
  jpeg_stdio_dest(&ci, fp);
  ci.image_width = static_cast<JDIMENSION>(w);
  ci.image_height = static_cast<JDIMENSION>(h);
  ci.input_components = 1;
  ci.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&ci);
  jpeg_set_quality(&ci, q, TRUE);
  jpeg_start_compress(&ci, TRUE);
  const int step = jh_step_rows(w);
  while (ci.next_scanline < ci.image_height) {
    const int y = static_cast<int>(ci.next_scanline);
    // A stop leaves through ci's own jump above, which destroys it.
    if (y % step == step - 1 &&
        !jh_told(jh, JH_AT_RATIOFILE +
                         (JH_AT_FOREGROUND - JH_AT_RATIOFILE) * static_cast<float>(y) / h)) {
      ci.err->msg_code = JGLUE_STOPPED;
      (*ci.err->error_exit)(reinterpret_cast<j_common_ptr>(&ci));
    }
    JSAMPROW row = const_cast<JSAMPROW>(img + static_cast<size_t>(y) * w);
    jpeg_write_scanlines(&ci, &row, 1);
  }
  jpeg_finish_compress(&ci);
  jpeg_destroy_compress(&ci);
  return 1;
}

// The ratio range over blocks of rows on any number of threads. The scan in pixel order takes
// a pixel while its code is within 20 of the extreme codes of the pixels in range before it;
// those extremes are the minimum and maximum over all earlier pixels in range, so a first pass
// finds each block's extremes, and a second scans every block from the extremes of the blocks
// before it: exactly the pixels, and so the range, of the scan in order.
constexpr int kRangeRows = 16;
struct RangeBlocks {
  jpeghdr_compress_struct* jh;
  const float* lum;
  const float* table;
  float lmin, lmax;
  bool raise;       // first raise each row's dark codes (and mark black ones)
  uint8_t* bright;  // per block: a code above the floor after raising
  int* tmin;        // per block: its extreme codes, then those of the blocks before it
  int* tmax;
  float* rmin;  // per block: its ratio range
  float* rmax;
};

void rangeExtremes(void* ctx, int b0, int b1, int) {
  RangeBlocks* rb = static_cast<RangeBlocks*>(ctx);
  const int w = static_cast<int>(rb->jh->cinfo.image_width),
            h = static_cast<int>(rb->jh->cinfo.image_height);
  for (int b = b0; b < b1; b++) {
    rb->tmin[b] = 255;
    rb->tmax[b] = 0;
    rb->bright[b] = 0;
    for (int y = b * kRangeRows; y < h && y < (b + 1) * kRangeRows; y++) {
      const size_t at = static_cast<size_t>(y) * w;
      uint8_t* trow = rb->jh->tmi + at;
      if (rb->raise && jh_raise_codes(trow, rb->lum + at, static_cast<size_t>(w), kMinCode))
        rb->bright[b] = 1;
      jh_code_extremes(trow, rb->lum + at, w, rb->lmin, rb->lmax, &rb->tmin[b], &rb->tmax[b]);
    }
  }
}

void rangeScan(void* ctx, int b0, int b1, int) {
  RangeBlocks* rb = static_cast<RangeBlocks*>(ctx);
  const int w = static_cast<int>(rb->jh->cinfo.image_width),
            h = static_cast<int>(rb->jh->cinfo.image_height);
  for (int b = b0; b < b1; b++) {
    JHRangeState rs;
    rs.table = rb->table;
    rs.lmin = rb->lmin;
    rs.lmax = rb->lmax;
    rs.rmin = 1e10f;
    rs.rmax = 0.f;
    rs.tsmall = rb->tmin[b];
    rs.tlarge = rb->tmax[b];
    for (int y = b * kRangeRows; y < h && y < (b + 1) * kRangeRows; y++) {
      const size_t at = static_cast<size_t>(y) * w;
      jh_range_row(&rs, rb->jh->tmi + at, rb->lum + at, w);
    }
    rb->rmin[b] = rs.rmin;
    rb->rmax[b] = rs.rmax;
  }
}

// Ratio codes of rows of the image; the dither of each pixel is drawn by its index, so a row
// comes out the same whenever it is made.
struct RatioBands {
  const jpeghdr_compress_struct* jh;
  const JHRatioArgs* ra;
  const float* lum;
  uint8_t* out;  // the whole ratio image, for ratioBand
};

const uint8_t* ratioSource(void* ctx, int y, uint8_t* buf) {
  const RatioBands* rb = static_cast<const RatioBands*>(ctx);
  const jpeghdr_compress_struct* jh = rb->jh;
  const size_t w = jh->cinfo.image_width, at = y * w;
  jh_ratio_row(rb->ra, rb->lum + at, jh->tmi + at, buf, static_cast<int>(w), &jh->rng,
               static_cast<uint32_t>(at));
  return buf;
}

void ratioBand(void* ctx, int y0, int y1, int) {
  const RatioBands* rb = static_cast<const RatioBands*>(ctx);
  const size_t w = rb->jh->cinfo.image_width;
  for (int y = y0; y < y1; y++) ratioSource(ctx, y, rb->out + y * w);
}

// iMCU rows (16 image rows) a foreground thread makes in one batch.
constexpr int kBatchUnits = 2;

// The foreground is handed to libjpeg as its planes: Y at full size and Cb and Cr halved both
// ways (2 x 2 subsampling), each row widened to whole blocks by repeating its last pixel and
// the planes lengthened to whole iMCU rows by repeating their last row, as libjpeg itself
// would prepare them.
struct ForegroundBands {
  const jpeghdr_compress_struct* jh;
  const float* table;
  const float* lum;
  const JHCodeTable* thr;
  const float* ratio;
  const uint8_t* rimage;  // reduced ratio image, or null without pre-correction
  int width;              // padded row width of the full-size planes (whole chroma blocks)
  int cwidth;             // width of a chroma row (width / 2)
  struct {
    JHEnlarger en;     // the thread's own enlarger
    uint8_t* row;      // one enlarged ratio row
    uint8_t* full[4];  // Cb and Cr of two rows at full size
  } part[JH_MAX_THREADS];
  JSAMPARRAY planes[3];  // the batch's rows of Y, Cb and Cr
  int y0;                // first image row of the batch
};

// Makes image row y (below the image height) as Y into yrow and Cb and Cr into cb and cr, all
// padded to the full width.
void foregroundRow(ForegroundBands* fb, int part, int y, uint8_t* yrow, uint8_t* cb, uint8_t* cr) {
  const jpeghdr_compress_struct* jh = fb->jh;
  const int w = static_cast<int>(jh->cinfo.image_width);
  const size_t at = static_cast<size_t>(y) * w;
  if (fb->rimage != nullptr) {
    jh_enlarge_row(&fb->part[part].en, y, fb->part[part].row);
    jh_correct_row(fb->thr, fb->ratio, kMinCode, fb->lum + at, fb->part[part].row, jh->tmi + at, w);
  }
  uint8_t* const out[3] = {yrow, cb, cr};
  jh_fg_row(jh, y, fb->table, fb->lum + at, jh->tmi + at, out);
  for (uint8_t* p : out) std::memset(p + w, p[w - 1], static_cast<size_t>(fb->width - w));
}

// iMCU rows u0 .. u1 - 1 of the batch.
void foregroundBand(void* ctx, int u0, int u1, int part) {
  ForegroundBands* fb = static_cast<ForegroundBands*>(ctx);
  const int h = static_cast<int>(fb->jh->cinfo.image_height);
  const size_t width = static_cast<size_t>(fb->width);
  uint8_t* const* full = fb->part[part].full;
  for (int u = u0; u < u1; u++)
    for (int k = 0; k < 16; k += 2) {
      const int r = 16 * u + k, y = fb->y0 + r;  // r: row in the batch
      uint8_t** yrows = fb->planes[0] + r;
      uint8_t* cb = fb->planes[1][r / 2];
      uint8_t* cr = fb->planes[2][r / 2];
      if (y >= h) {  // below the image: the last row again (made earlier in this iMCU row)
        const int last = h - 1 - fb->y0;
        std::memcpy(yrows[0], fb->planes[0][last], width);
        std::memcpy(yrows[1], fb->planes[0][last], width);
        std::memcpy(cb, fb->planes[1][last / 2], width / 2);
        std::memcpy(cr, fb->planes[2][last / 2], width / 2);
        continue;
      }
      foregroundRow(fb, part, y, yrows[0], full[0], full[1]);
      if (y + 1 < h) {
        foregroundRow(fb, part, y + 1, yrows[1], full[2], full[3]);
        jh_halve_rows(full[0], full[2], cb, fb->cwidth);
        jh_halve_rows(full[1], full[3], cr, fb->cwidth);
      } else {  // the last row of an odd height pairs with itself
        std::memcpy(yrows[1], yrows[0], width);
        jh_halve_rows(full[0], full[0], cb, fb->cwidth);
        jh_halve_rows(full[1], full[1], cr, fb->cwidth);
      }
    }
}

// Hands n iMCU rows of planes to libjpeg under a jump record of its own, so that an error
// leaves this frame with the code in *code (0 returned) and the caller can stop its threads
// before passing the error on. The caller's record gets any fatal warning.
int writeRows(jpeghdr_compress_struct* jh, JSAMPARRAY const planes[3], int n, int* code) {
  jpeg_jump_record rec;
  rec.fatal_warn = 0;
  void* const caller = jh->cinfo.client_data;
  if (setjmp(rec.env)) {
    jh->cinfo.client_data = caller;
    if (caller != nullptr && rec.fatal_warn != 0)
      static_cast<jpeg_jump_record*>(caller)->fatal_warn = rec.fatal_warn;
    *code = jh->cinfo.err->msg_code;
    return 0;
  }
  jh->cinfo.client_data = &rec;
  for (int u = 0; u < n; u++) {
    JSAMPARRAY data[3] = {planes[0] + 16 * u, planes[1] + 8 * u, planes[2] + 8 * u};
    jpeg_write_raw_data(&jh->cinfo, data, 16);
  }
  jh->cinfo.client_data = caller;
  if (caller != nullptr && rec.fatal_warn != 0)
    static_cast<jpeg_jump_record*>(caller)->fatal_warn = rec.fatal_warn;
  return 1;
}

// Passes on the error writeRows caught, with its message parameters, through the caller's
// error hook.
[[noreturn]] void raiseAgain(jpeghdr_compress_struct* jh, int code) {
  jh->cinfo.err->msg_code = code;
  (*jh->cinfo.err->error_exit)(common(jh));
  std::abort();  // error_exit never returns
}

uint8_t* allocOrFail(jpeghdr_compress_struct* jh, size_t n, int which) {
  uint8_t* p = static_cast<uint8_t*>(std::malloc(n));
  if (p == nullptr) jh_error(common(jh), JERR_OUT_OF_MEMORY, which);
  return p;
}

}  // namespace

void jpeghdr_CreateCompress(jpeghdr_compress_struct* jh, int version, int codec_version,
                            size_t jpeg_size, size_t codec_size) {
  jh_create_common(jh, codec_version, codec_size);
  jh->gamma = 2.2f;
  jh->quality = 90;
  jpeg_CreateCompress(&jh->cinfo, version, jpeg_size);
}

void jpeghdr_destroy_compress(jpeghdr_compress_struct* jh) {
  jh->spixels = nullptr;
  jh->cvt = nullptr;
  jh->cvtdata = nullptr;
  jpeghdr_comp_histo(jh, 0, 0.f, 0.f);
  jpeghdr_free_tmi(jh);
  if (jh->ratiofile != nullptr) std::fclose(jh->ratiofile);
  std::free(jh->rimage);
  std::free(jh->rwork);
  std::free(jh->lum);
  jpeg_destroy_compress(&jh->cinfo);
  std::memset(jh, 0, sizeof *jh);
}

void jpeghdr_do_compress(jpeghdr_compress_struct* jh) {
  const int w = static_cast<int>(jh->cinfo.image_width),
            h = static_cast<int>(jh->cinfo.image_height);
  const size_t npix = static_cast<size_t>(w) * h;
  if (jh->tmi == nullptr || npix == 0 || jh->cvt == nullptr)
    jh_error(common(jh), JERR_CONVERSION_NOTIMPL);
  jh_seed(&jh->rng, 1);

  // 2. Display luminance of every foreground code.
  float table[256];
  for (int t = 0; t < 256; t++)
    table[t] = std::pow((static_cast<float>(t) + 0.5f) / 256.f, jh->gamma);

  // 3. The luminance range worth a ratio, from the histogram.
  if (jh->histo == nullptr) jpeghdr_comp_histo(jh, kBins, kHistoMin, kHistoMax);
  float lmin = kHistoMax, lmax = 0.f;
  if (jh->histo != nullptr) {
    const uint64_t c = npix / 5000 > 0 ? npix / 5000 : 1;
    int lo, hi;
    jh_percentile_cut(jh->histo, jh->hbins, c, &lo, &hi);
    if (hi >= 0 && lo < jh->hbins) {
      lmin = std::exp(jh_bin_value(jh, lo));
      lmax = std::exp(jh_bin_value(jh, hi));
    }
  }

  const float* lum = jh_luminances(jh);
  // 4. Ratio range, examining only pixels whose code is near the extremes seen so far.
  // A nearly uniform image can fall between the centres of its one or two bins; then every
  // pixel that is not black counts.
  // The first pass raises each row's dark codes to the floor (black pixels get code 0) before
  // scanning it; a foreground with nothing above the floor carries no image.
  const int blocks = (h + kRangeRows - 1) / kRangeRows;
  RangeBlocks rg;
  rg.jh = jh;
  rg.lum = lum;
  rg.table = table;
  rg.bright = static_cast<uint8_t*>(
      (*jh->cinfo.mem->alloc_small)(common(jh), JPOOL_IMAGE, static_cast<size_t>(blocks)));
  int* const ints = static_cast<int*>((*jh->cinfo.mem->alloc_small)(
      common(jh), JPOOL_IMAGE, 2 * sizeof(int) * static_cast<size_t>(blocks)));
  float* const floats = static_cast<float*>((*jh->cinfo.mem->alloc_small)(
      common(jh), JPOOL_IMAGE, 2 * sizeof(float) * static_cast<size_t>(blocks)));
  rg.tmin = ints;
  rg.tmax = ints + blocks;
  rg.rmin = floats;
  rg.rmax = floats + blocks;
  float rmin = 1e10f, rmax = 0.f;
  bool bright = false;
  for (int pass = 0; pass < 2 && rmax < rmin; pass++) {
    rg.lmin = pass == 0 ? lmin : 1e-10f;
    rg.lmax = pass == 0 ? lmax : 1e30f;
    rg.raise = pass == 0;
    const float at0 = JH_AT_RANGE + (JH_AT_RATIO - JH_AT_RANGE) * 0.5f * pass;
    const float at1 = at0 + (JH_AT_RATIO - JH_AT_RANGE) * 0.5f;
    if (jh_thread_count(jh) == 1) {  // one thread: the scan in order, each row just raised
      JHRangeState rs{table, rg.lmin, rg.lmax, rmin, rmax, 255, 0};
      const int step = jh_step_rows(w);
      for (int y = 0; y < h; y++) {
        if (y % step == step - 1) jh_tell(jh, at0 + (at1 - at0) * static_cast<float>(y) / h);
        const size_t at = static_cast<size_t>(y) * w;
        if (rg.raise && jh_raise_codes(jh->tmi + at, lum + at, static_cast<size_t>(w), kMinCode))
          bright = true;
        jh_range_row(&rs, jh->tmi + at, lum + at, w);
      }
      if (!bright) jh_error(common(jh), JERR_CONVERSION_NOTIMPL);
      rmin = rs.rmin;
      rmax = rs.rmax;
      continue;
    }
    const int64_t blockPixels = static_cast<int64_t>(kRangeRows) * w;
    const float mid = 0.5f * (at0 + at1);
    if (!jh_told_bands(jh, jh_thread_count(jh), blocks, blockPixels, rangeExtremes, &rg, at0, mid))
      jh_error(common(jh), JGLUE_STOPPED);
    for (int b = 0; b < blocks; b++) bright = bright || rg.bright[b] != 0;
    if (!bright) jh_error(common(jh), JERR_CONVERSION_NOTIMPL);
    for (int b = 0, lo = 255, hi = 0; b < blocks; b++) {
      const int blo = rg.tmin[b], bhi = rg.tmax[b];
      rg.tmin[b] = lo;
      rg.tmax[b] = hi;
      lo = blo < lo ? blo : lo;
      hi = bhi > hi ? bhi : hi;
    }
    if (!jh_told_bands(jh, jh_thread_count(jh), blocks, blockPixels, rangeScan, &rg, mid, at1))
      jh_error(common(jh), JGLUE_STOPPED);
    for (int b = 0; b < blocks; b++) {
      rmin = rg.rmin[b] < rmin ? rg.rmin[b] : rmin;
      rmax = rg.rmax[b] > rmax ? rg.rmax[b] : rmax;
    }
  }
  // 5. Log range, at most 16, at least kMinRange, in the header's precision.
  float ln0, ln1;
  if (rmax >= rmin) {
    ln0 = std::log(rmin);
    ln1 = std::log(rmax);
  } else {  // no pixel in range (all outside the cut): any range serves
    ln0 = ln1 = 0.f;
  }
  if (ln1 - ln0 > 16.f) ln0 = ln1 - 16.f;
  if (ln1 - ln0 < kMinRange) {
    const float mid = 0.5f * (ln0 + ln1);
    ln0 = mid - 0.5f * kMinRange;
    ln1 = mid + 0.5f * kMinRange;
  }
  ln0 = headerRound(ln0);
  ln1 = headerRound(ln1);
  const float range = ln1 - ln0;

  // 6. Ratio codes, dithered, and 7. the reduced ratio image they make. A reduction takes
  // its rows of codes as it needs them, without a full-size image.
  float lntable[256];
  for (int t = 0; t < 256; t++) lntable[t] = std::log(table[t]) + ln0;
  JHRatioArgs ra;
  ra.rscale = 256.f / range;
  ra.lntable = lntable;
  RatioBands rb{jh, &ra, lum, nullptr};
  if (jh->quality > 94) jh->correction = 0;
  int rw = w, rh = h;
  if (jh->correction != 0) {
    float f = (static_cast<float>(jh->quality) - 25.f) / 70.f *
              std::pow(262144.f / static_cast<float>(npix), 0.25f);
    f = f < 0.25f ? 0.25f : (f > 0.8f ? 0.8f : f);
    rw = static_cast<int>(f * static_cast<float>(w) + 0.5f);
    rh = static_cast<int>(f * static_cast<float>(h) + 0.5f);
    if (rw < 1) rw = 1;
    if (rh < 1) rh = 1;
  }
  const bool shrink = rw < w || rh < h;
  if (shrink) {
    jh->rimage = allocOrFail(jh, static_cast<size_t>(rw) * rh, 203);
    const int made = jh_gaussian8_rows(ratioSource, &rb, w, h, jh->rimage, rw, rh,
                                       jh_thread_count(jh), jh, JH_AT_RATIO, JH_AT_RATIOFILE);
    if (made < 0) jh_error(common(jh), JGLUE_STOPPED);
    if (made == 0) jh_error(common(jh), JERR_OUT_OF_MEMORY, 203);
  } else {
    jh->rimage = static_cast<uint8_t*>(jh_alloc_large(npix));
    if (jh->rimage == nullptr) jh_error(common(jh), JERR_OUT_OF_MEMORY, 202);
    rb.out = jh->rimage;
    if (!jh_told_bands(jh, jh_thread_count(jh), h, w, ratioBand, &rb, JH_AT_RATIO, JH_AT_RATIOFILE))
      jh_error(common(jh), JGLUE_STOPPED);
    if (jh->correction != 0) {  // a tiny image keeps its size: resampled all the same
      jh->rwork = allocOrFail(jh, npix, 203);
      if (!jpeghdr_resample8(jh->rimage, w, h, jh->rwork, rw, rh))
        jh_error(common(jh), JERR_OUT_OF_MEMORY, 203);
      std::free(jh->rimage);
      jh->rimage = jh->rwork;
      jh->rwork = nullptr;
    }
  }
  // With pre-correction the foreground rows are corrected for the decoder's enlargement, made
  // a row at a time as they are written; rwork holds the enlargers' work memory.
  if (jh->correction == 1) {
    const int parts = jh_thread_count(jh);
    jh->rwork = allocOrFail(jh, jh_enlarge_bytes(rw, w) * (parts > 1 ? parts - 1 : 1), 203);
  }
  JHCodeTable thr;
  float ratio[256];
  if (jh->rwork != nullptr) {
    jh_code_thresholds(&thr, jh->gamma);
    for (int r = 0; r < 256; r++)
      ratio[r] = std::exp(ln0 + (static_cast<float>(r) + 0.5f) / 256.f * range);
  }

  // 8. Ratio-image quality: finer for wider ranges and stronger reductions.
  const int q = jh->quality;
  int q2 = (3 * q + q * w / rw + q * static_cast<int>(range + 0.5f) / 5) / 5;
  if (q2 > 100) q2 = 100;

  // 9. The ratio image as a greyscale JPEG in a temporary file.
  jh->ratiofile = PscratchFile();
  if (jh->ratiofile == nullptr) jh_error(common(jh), JERR_FILE_WRITE);
  int code = 0;
  if (!writeRatioJpeg(jh, jh->ratiofile, jh->rimage, rw, rh, q2, &code)) jh_error(common(jh), code);
  long flen = std::ftell(jh->ratiofile);
  std::rewind(jh->ratiofile);
  if (flen <= 0) jh_error(common(jh), JERR_FILE_READ);

  // 10. Foreground set-up: YCbCr planes supplied directly, subsampled by us.
  jh->cinfo.input_components = 3;
  jh->cinfo.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&jh->cinfo);
  jpeg_set_quality(&jh->cinfo, jh->quality, TRUE);
  jh->cinfo.raw_data_in = TRUE;
  jh->cinfo.comp_info[0].h_samp_factor = jh->cinfo.comp_info[0].v_samp_factor = 2;
  for (int c = 1; c < 3; c++)
    jh->cinfo.comp_info[c].h_samp_factor = jh->cinfo.comp_info[c].v_samp_factor = 1;
  jpeg_start_compress(&jh->cinfo, TRUE);

  // 11. The segments, right after the JFIF header.
  JOCTET* seg = static_cast<JOCTET*>(
      (*jh->cinfo.mem->alloc_small)(common(jh), JPOOL_IMAGE, JPEGHDR_SEGMENT_MAX));
  int hl = Csnprintf(reinterpret_cast<char*>(seg), JPEGHDR_SEGMENT_MAX,
                     "HDR_RI ver=%d\n ln0=%f, ln1=%f, s2n=%e alp=%f bet=%f cor=%d\n~",
                     JPEGHDR_VERSION, static_cast<double>(ln0), static_cast<double>(ln1),
                     static_cast<double>(jh->samp2nits), static_cast<double>(jh->alpha),
                     static_cast<double>(jh->beta), static_cast<int>(jh->correction)) +
           1;
  for (int ext = 1; flen > 0; ext++) {
    const size_t n =
        std::fread(seg + hl, 1, static_cast<size_t>(JPEGHDR_SEGMENT_MAX - hl), jh->ratiofile);
    if (n == 0) jh_error(common(jh), JERR_FILE_READ);
    jpeg_write_marker(&jh->cinfo, JPEG_APP0 + 11, seg, static_cast<unsigned>(hl + n));
    flen -= static_cast<long>(n);
    hl = Csnprintf(reinterpret_cast<char*>(seg), JPEGHDR_SEGMENT_MAX, "HDR_RI ext=%d\n~", ext) + 1;
  }
  std::fclose(jh->ratiofile);
  jh->ratiofile = nullptr;

  // 12. Foreground rows: the source scaled to the foreground's luminance, desaturated, and
  // with pre-correction its code corrected for the decoder's enlargement first.
  const int parts = jh_thread_count(jh);
  // With threads, batches of iMCU rows are made by the other threads while this one hands the
  // batch before to libjpeg.
  const int workers = parts > 1 ? parts - 1 : 1;
  const int batch = kBatchUnits * workers, units = (h + 15) / 16;
  ForegroundBands fb;
  fb.jh = jh;
  fb.table = table;
  fb.lum = lum;
  fb.thr = &thr;
  fb.ratio = ratio;
  fb.rimage = jh->rwork != nullptr ? jh->rimage : nullptr;
  fb.cwidth = static_cast<int>(jh->cinfo.comp_info[1].width_in_blocks) * DCTSIZE;
  fb.width = 2 * fb.cwidth;  // at least the Y plane's blocks
  for (int k = 0; k < workers; k++) {
    if (fb.rimage != nullptr) {
      jh_enlarge_begin(&fb.part[k].en, jh->rimage, rw, rh, w, h,
                       jh->rwork + k * jh_enlarge_bytes(rw, w));
      fb.part[k].row = static_cast<uint8_t*>(
          (*jh->cinfo.mem->alloc_small)(common(jh), JPOOL_IMAGE, static_cast<size_t>(w)));
    }
    JSAMPARRAY full = (*jh->cinfo.mem->alloc_sarray)(common(jh), JPOOL_IMAGE,
                                                     static_cast<JDIMENSION>(fb.width), 4);
    for (int c = 0; c < 4; c++) fb.part[k].full[c] = full[c];
  }
  JSAMPARRAY planes[2][3];
  for (auto& p : planes)
    for (int c = 0; c < 3; c++)
      p[c] = (*jh->cinfo.mem->alloc_sarray)(common(jh), JPOOL_IMAGE,
                                            static_cast<JDIMENSION>(c == 0 ? fb.width : fb.cwidth),
                                            static_cast<JDIMENSION>((c == 0 ? 16 : 8) * batch));
  for (int c = 0; c < 3; c++) fb.planes[c] = planes[0][c];
  fb.y0 = 0;
  const int n0 = batch < units ? batch : units;
  jh_parallel_bands(workers, n0, foregroundBand, &fb);
  // Only errors that come back through the glue's jump can be caught while a batch is being
  // made; with any other error hook the batches are made one after the other.
  const bool overlap = parts > 1 && jh->cinfo.err->error_exit == jpeg_error_jump;
  ForegroundBands next = fb;
  JHBackground bg;
  for (int u0 = 0, k = 0; u0 < units; u0 += batch, k ^= 1) {
    const int n = units - u0 < batch ? units - u0 : batch;
    const int u1 = u0 + n, n1 = units - u1 < batch ? units - u1 : batch;
    bool ahead = false;
    if (n1 > 0) {
      for (int c = 0; c < 3; c++) next.planes[c] = planes[k ^ 1][c];
      next.y0 = 16 * u1;
      ahead = overlap && bg.start(workers, n1, foregroundBand, &next);
    }
    code = 0;
    if (!writeRows(jh, planes[k], n, &code)) {
      bg.join();
      raiseAgain(jh, code);
    }
    bg.join();
    // Nothing of the encoder runs on another thread here: a stop leaves at once.
    jh_tell(jh, JH_AT_FOREGROUND +
                    (1.f - JH_AT_FOREGROUND) * static_cast<float>(u1) / static_cast<float>(units));
    if (n1 > 0 && !ahead) jh_parallel_bands(workers, n1, foregroundBand, &next);
  }
  std::free(jh->rwork);
  jh->rwork = nullptr;
  std::free(jh->rimage);
  jh->rimage = nullptr;
  jpeg_finish_compress(&jh->cinfo);
}
