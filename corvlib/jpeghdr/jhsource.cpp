// The encoder's pixel sources: packed float or double RGB arrays, or any array of three floats
// through a colour matrix.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "jpegglue/jpegglue.h"
#include "jpeghdr/jhprivate.h"

namespace {

const unsigned char* pixelAt(const jpeghdr_compress_struct* jh, int x, int y) {
  return jh->spixels + static_cast<ptrdiff_t>(y) * jh->systride +
         static_cast<ptrdiff_t>(x) * jh->sxstride;
}

void setSource(jpeghdr_compress_struct* jh, const void* pixels, int width, int height,
               int pixel_size, jpeghdr_cvt_func cvt) {
  if (pixels == nullptr || width <= 0 || height <= 0)
    jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JERR_EMPTY_IMAGE);
  if (width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION)
    jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JERR_IMAGE_TOO_BIG, JPEG_MAX_DIMENSION);
  std::free(jh->lum);  // a new source: its luminances are computed afresh
  jh->lum = nullptr;
  jh->spixels = static_cast<const unsigned char*>(pixels);
  jh->sxstride = pixel_size;
  jh->systride = pixel_size * width;
  jh->cvt = cvt;
  jh->cvtdata = nullptr;
  jh->cinfo.image_width = static_cast<JDIMENSION>(width);
  jh->cinfo.image_height = static_cast<JDIMENSION>(height);
}

void lumBand(void* ctx, int y0, int y1, int) {
  const jpeghdr_compress_struct* jh = static_cast<const jpeghdr_compress_struct*>(ctx);
  const size_t w = jh->cinfo.image_width;
  float* rowmax = jh->lum + w * jh->cinfo.image_height;
  for (int y = y0; y < y1; y++) rowmax[y] = jh_lum_row(jh, y, jh->lum + y * w);
}

}  // namespace

void cvt_floatRGB(float rgb[3], const jpeghdr_compress_struct* jh, int x, int y) {
  std::memcpy(rgb, pixelAt(jh, x, y), 3 * sizeof(float));
}

void cvt_doubleRGB(float rgb[3], const jpeghdr_compress_struct* jh, int x, int y) {
  double d[3];
  std::memcpy(d, pixelAt(jh, x, y), sizeof d);
  for (int i = 0; i < 3; i++) rgb[i] = static_cast<float>(d[i]);
}

void cvt_floatColor(float rgb[3], const jpeghdr_compress_struct* jh, int x, int y) {
  float c[3];
  std::memcpy(c, pixelAt(jh, x, y), sizeof c);
  const float* m = static_cast<const float*>(jh->cvtdata);
  for (int i = 0; i < 3; i++) rgb[i] = m[3 * i] * c[0] + m[3 * i + 1] * c[1] + m[3 * i + 2] * c[2];
}

void jpeghdr_src_floatRGB(jpeghdr_compress_struct* jh, const float* pixels, int width, int height) {
  setSource(jh, pixels, width, height, 3 * sizeof(float), cvt_floatRGB);
}

void jpeghdr_src_doubleRGB(jpeghdr_compress_struct* jh, const double* pixels, int width,
                           int height) {
  setSource(jh, pixels, width, height, 3 * sizeof(double), cvt_doubleRGB);
}

float* jh_alloc_luminances(const jpeghdr_compress_struct* jh) {
  const size_t w = jh->cinfo.image_width, h = jh->cinfo.image_height;
  return static_cast<float*>(jh_alloc_large(sizeof(float) * (w * h + h)));
}

const float* jh_luminances(jpeghdr_compress_struct* jh) {
  if (jh->lum != nullptr) return jh->lum;
  const int h = static_cast<int>(jh->cinfo.image_height);
  jh->lum = jh_alloc_luminances(jh);
  if (jh->lum == nullptr)
    jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JERR_OUT_OF_MEMORY, 201);
  if (!jh_told_bands(jh, jh_thread_count(jh), h, jh->cinfo.image_width, lumBand, jh, 0.f,
                     JH_AT_TONE0))
    jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JGLUE_STOPPED);
  return jh->lum;
}
