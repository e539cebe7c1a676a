// Self-contained loader of a JPEG or JPEG-HDR file into float and byte RGB arrays.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "jpegglue/jpegglue.h"
#include "jpeghdr/jhprivate.h"
#include "support/dmessage.h"
#include "support/futil.h"

namespace {

// Buffers the call allocated, given back on failure.
struct Owned {
  float* f;
  uint8_t* b;
};

int reductionFor(int iw, int ih, int ww, int wh) {
  const int rx = ww > 0 ? (iw + ww - 1) / ww : 1, ry = wh > 0 ? (ih + wh - 1) / wh : 1;
  const int r = rx > ry ? rx : ry;
  if (r <= 1) return 1;
  if (r <= 2) return 2;
  if (r <= 4) return 4;
  if (r <= 8) return 8;
  return 16;  // more than libjpeg can reduce
}

// Decodes from fp under an armed jump record. Returns 1, 3 or -1 (libjpeg errors included).
int loadGuarded(FILE* fp, float** fpixels, uint8_t** bpixels, int size[2], float* samp2nits,
                Owned* owned) {
  jpeghdr_decompress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  if (setjmp(rec.env)) {
    DMESSAGE(DMCdata, "cannot read JPEG: %s", jpeg_error_buffer);
    jpeghdr_destroy_decompress(&jh);
    return -1;
  }
  jpeghdr_create_decompress(&jh);
  jpeg_stdio_src(&jh.cinfo, fp);
  const bool want_float = fpixels != nullptr, want_bytes = bpixels != nullptr;
  int r = want_float ? jpeghdr_read_header(&jh) : jpeg_read_header(&jh.cinfo, TRUE);
  if (r != 1 && r != 3) {
    jpeghdr_destroy_decompress(&jh);
    return r;
  }
  if (r == 1) jh.cinfo.out_color_space = JCS_RGB;
  if (r == 1 && !want_bytes) {
    jpeghdr_destroy_decompress(&jh);
    return -1;
  }
  const bool alloc_f = want_float && *fpixels == nullptr && r == 3;  // plain: bytes only
  const bool alloc_b = want_bytes && *bpixels == nullptr;
  if (size[0] > 0) {
    int red = reductionFor(static_cast<int>(jh.cinfo.image_width),
                           static_cast<int>(jh.cinfo.image_height), size[0], size[1]);
    if (red > 8) {
      if ((want_float && !alloc_f) || (want_bytes && !alloc_b)) {
        jpeghdr_destroy_decompress(&jh);
        return -1;
      }
      red = 8;
    }
    jh.cinfo.scale_num = 1;
    jh.cinfo.scale_denom = static_cast<unsigned>(red);
  }
  jpeg_calc_output_dimensions(&jh.cinfo);
  const int W = static_cast<int>(jh.cinfo.output_width),
            H = static_cast<int>(jh.cinfo.output_height);
  // Rows of a given buffer are as wide as its given size; cleared when the output is smaller.
  const int fw = alloc_f || size[0] <= 0 ? W : size[0];
  const int bw = alloc_b || size[0] <= 0 ? W : size[0];
  const bool smaller = size[0] > 0 && (W < size[0] || H < size[1]);
  if (alloc_b) {
    owned->b = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(W) * H * 3));
    if (owned->b == nullptr)
      jh_error(reinterpret_cast<j_common_ptr>(&jh.cinfo), JERR_OUT_OF_MEMORY, 216);
  } else if (want_bytes && smaller) {
    std::memset(*bpixels, 0, static_cast<size_t>(size[0]) * size[1] * 3);
  }
  if (alloc_f) {
    owned->f = static_cast<float*>(std::malloc(sizeof(float) * W * H * 3));
    if (owned->f == nullptr)
      jh_error(reinterpret_cast<j_common_ptr>(&jh.cinfo), JERR_OUT_OF_MEMORY, 216);
  } else if (want_float && smaller) {
    std::memset(*fpixels, 0, sizeof(float) * size[0] * size[1] * 3);
  }
  float* fbuf = alloc_f ? owned->f : (want_float ? *fpixels : nullptr);
  uint8_t* bbuf = alloc_b ? owned->b : (want_bytes ? *bpixels : nullptr);
  if (r == 3) {
    if (!jpeghdr_start_decompress(&jh)) {
      jpeghdr_destroy_decompress(&jh);
      return -1;
    }
    for (int y = 0; y < H; y++) {
      float* frow = fbuf + static_cast<size_t>(y) * fw * 3;
      if (!jpeghdr_read_scanline(&jh, frow)) {
        jpeghdr_destroy_decompress(&jh);
        return -1;
      }
      if (bbuf != nullptr) {
        uint8_t* brow = bbuf + static_cast<size_t>(y) * bw * 3;
        for (int x = 0; x < W; x++) jpeghdr_scan_rgb24(&jh, brow + 3 * x, x);
      }
    }
    jpeghdr_finish_decompress(&jh);
  } else {
    jpeg_start_decompress(&jh.cinfo);
    while (jh.cinfo.output_scanline < jh.cinfo.output_height) {
      JSAMPROW rp = bbuf + static_cast<size_t>(jh.cinfo.output_scanline) * bw * 3;
      if (jpeg_read_scanlines(&jh.cinfo, &rp, 1) != 1) {
        jpeghdr_destroy_decompress(&jh);
        return -1;
      }
    }
    jpeg_finish_decompress(&jh.cinfo);
  }
  size[0] = W;
  size[1] = H;
  if (samp2nits != nullptr) *samp2nits = r == 3 ? jh.samp2nits : 0.f;
  jh.cinfo.client_data = nullptr;
  jpeghdr_destroy_decompress(&jh);
  return r;
}

}  // namespace

int jpeghdr_load_memory(float** fpixels, uint8_t** bpixels, int size[2], float* samp2nits,
                        const char* path) {
  if ((fpixels == nullptr && bpixels == nullptr) || size == nullptr || size[0] < 0 || size[1] < 0 ||
      ((size[0] > 0) != (size[1] > 0)))
    return -1;
  // A buffer of the caller's needs the size it has.
  if (size[0] == 0 &&
      ((fpixels != nullptr && *fpixels != nullptr) || (bpixels != nullptr && *bpixels != nullptr)))
    return -1;
  FILE* fp = path != nullptr ? PfopenRead(path) : stdin;
  if (fp == nullptr) {
    DMESSAGE(DMCsystem, "cannot open %s", path);
    return -1;
  }
  Owned owned = {nullptr, nullptr};
  const int r = loadGuarded(fp, fpixels, bpixels, size, samp2nits, &owned);
  if (path != nullptr) std::fclose(fp);
  if (r == 1 || r == 3) {
    if (owned.f != nullptr) *fpixels = owned.f;
    if (owned.b != nullptr) *bpixels = owned.b;
  } else {
    std::free(owned.f);
    std::free(owned.b);
  }
  return r;
}
