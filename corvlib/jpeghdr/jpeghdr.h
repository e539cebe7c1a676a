// The JPEG-HDR codec: a high-dynamic-range image stored as an ordinary baseline JPEG (the
// foreground, a tone-mapped display version) plus a ratio image, the log ratio of the image's
// luminance to the foreground's, compressed as a small greyscale JPEG and carried in APP11
// "HDR_RI" segments of the foreground file.
//
// Both codec objects begin with their libjpeg object, so they pass wherever libjpeg expects
// one. Errors are libjpeg errors raised through the object's error manager: callers install
// the hooks of jpegglue/jpegglue.h and arm a jump record around every call.
#pragma once

#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

// The codec interface version that callers and files of this codec carry.
constexpr int JPEGHDR_VERSION = 11;

// Payload bytes of one APP11 segment: header text, its zero byte and ratio data together.
constexpr int JPEGHDR_SEGMENT_MAX = 0xFF00;

struct jpeghdr_compress_struct;

// Fills rgb with the linear Rec. 709 colour of pixel (x, y) of the codec's source.
typedef void (*jpeghdr_cvt_func)(float rgb[3], const jpeghdr_compress_struct* jh, int x, int y);

// The key of the codec's private dither noise: a seed gives the same noise for every pixel
// each time, whatever order pixels are drawn in.
struct jpeghdr_random {
  uint32_t state;
};

struct jpeghdr_compress_struct {
  jpeg_compress_struct cinfo;
  const unsigned char* spixels;  // base of the caller's pixels
  int32_t sxstride;              // bytes from one pixel to the next
  int32_t systride;              // bytes from one row to the next
  jpeghdr_cvt_func cvt;          // source conversion
  const void* cvtdata;           // extra data for cvt (a 3x3 row-major matrix for cvt_floatColor)
  uint32_t* histo;               // log-luminance histogram, hbins counts
  int32_t hbins;
  float histolmin;  // natural log of the lowest luminance counted
  float histolmax;  // natural log of the upper luminance bound
  uint8_t* tmi;     // foreground luminance codes, width x height; 0 marks black
  float gamma;      // a foreground code t shows ((t + 0.5) / 256)^gamma
  int16_t quality;
  int32_t correction;  // 0 full-size ratio image, 1 reduced and pre-corrected, 2 reduced
  float alpha;         // saturation factor
  float beta;          // saturation exponent
  float samp2nits;     // sample value to cd/m2, 0 when unknown
  // Threads for the per-pixel passes (0 or 1: the calling thread only, the default). The
  // output does not depend on it.
  int32_t threads;
  // Told how far an encoding has come (0 .. 1), about every million pixels of each pass, on
  // the calling thread while no other thread of the encoder runs; answering false ends the
  // encoding with the libjpeg error JGLUE_STOPPED (jpegglue.h). Null (the default): not told.
  // Set after creation.
  bool (*progress)(void* data, float done);
  void* progress_data;
  // Private working state, released by jpeghdr_destroy_compress even after a libjpeg error:
  // the ratio-image file while compressing, the ratio image, a full-size work image and the
  // dither generator (seeded at each compression, so output is repeatable).
  FILE* ratiofile;
  uint8_t* rimage;
  uint8_t* rwork;
  float* lum;  // luminance of every source pixel, computed once
  jpeghdr_random rng;
};

struct jpeghdr_decompress_struct {
  jpeg_decompress_struct cinfo;
  int32_t version;         // "ver" of the first segment
  int32_t segcount;        // segments accepted so far
  FILE* ratiofile;         // the collected ratio-image JPEG
  uint8_t* ratio_image;    // ratio codes at output size
  float ratio_table[256];  // ratio of each code
  uint8_t* planes[3];      // whole foreground Y, Cb, Cr (post-correction only)
  uint8_t* rowbuf;         // one foreground row, 3 bytes a pixel
  int32_t row;             // HDR rows delivered so far
  int32_t correction;
  float alpha;
  float beta;
  float samp2nits;
};

// ---- Compression ----

void jpeghdr_CreateCompress(jpeghdr_compress_struct* jh, int version, int codec_version,
                            size_t jpeg_size, size_t codec_size);
#define jpeghdr_create_compress(jh)                                                             \
  jpeghdr_CreateCompress((jh), JPEG_LIB_VERSION, JPEGHDR_VERSION, sizeof(jpeg_compress_struct), \
                         sizeof(jpeghdr_compress_struct))

// Packed arrays of 3 floats or 3 doubles a pixel as the source; also set the image size.
// Null pixels or a size of 0 or less raise JERR_EMPTY_IMAGE.
void jpeghdr_src_floatRGB(jpeghdr_compress_struct* jh, const float* pixels, int width, int height);
void jpeghdr_src_doubleRGB(jpeghdr_compress_struct* jh, const double* pixels, int width,
                           int height);
// Conversions for callers that fill the source fields themselves. cvt_floatColor reads three
// floats and multiplies them by the 3x3 row-major matrix in cvtdata.
void cvt_floatRGB(float rgb[3], const jpeghdr_compress_struct* jh, int x, int y);
void cvt_doubleRGB(float rgb[3], const jpeghdr_compress_struct* jh, int x, int y);
void cvt_floatColor(float rgb[3], const jpeghdr_compress_struct* jh, int x, int y);

// The default global tone mapping into jh->tmi (with the histogram it needs).
void jpeghdr_tonemap_default(jpeghdr_compress_struct* jh);
void jpeghdr_alloc_tmi(jpeghdr_compress_struct* jh);
void jpeghdr_free_tmi(jpeghdr_compress_struct* jh);
// Recounts the log-luminance histogram; 0 bins only frees it.
void jpeghdr_comp_histo(jpeghdr_compress_struct* jh, int bins, float lmin, float lmax);
// Writes the whole file: the ratio-image segments, then the foreground.
void jpeghdr_do_compress(jpeghdr_compress_struct* jh);
void jpeghdr_destroy_compress(jpeghdr_compress_struct* jh);

// Colour routines of the encoder, on linear Rec. 709 RGB.
void jpeghdr_desaturate(const jpeghdr_compress_struct* jh, float rgb[3]);
void jpeghdr_rgb2ycc(const float rgb[3], uint8_t ycc[3]);
bool jpeghdr_in_gamut(const jpeghdr_compress_struct* jh, const float rgb[3]);

// Writes width x height float RGB pixels as a JPEG-HDR file at path (standard output when
// null). Returns the bytes written, 0 on any failure (reported through dmessage).
long jpeghdr_write_memory(const char* path, const float* pixels, int width, int height, int quality,
                          int correction, float alpha, float beta, float samp2nits);

// ---- Decompression ----

void jpeghdr_CreateDecompress(jpeghdr_decompress_struct* jh, int version, int codec_version,
                              size_t jpeg_size, size_t codec_size);
#define jpeghdr_create_decompress(jh)                               \
  jpeghdr_CreateDecompress((jh), JPEG_LIB_VERSION, JPEGHDR_VERSION, \
                           sizeof(jpeg_decompress_struct), sizeof(jpeghdr_decompress_struct))

// Reads the header, collecting the ratio image: 3 for JPEG-HDR, else libjpeg's result
// (JPEG_HEADER_OK for a plain JPEG).
int jpeghdr_read_header(jpeghdr_decompress_struct* jh);
// Starts HDR decoding at the output size the caller chose; 1, or 0 on failure.
int jpeghdr_start_decompress(jpeghdr_decompress_struct* jh);
// Fills width x 3 floats of linear RGB for the next row; 1, or 0 when no row came.
int jpeghdr_read_scanline(jpeghdr_decompress_struct* jh, float* row);
// Foreground of pixel x of the row last delivered, as YCbCr bytes or as 8-bit sRGB.
void jpeghdr_scan_ycc(const jpeghdr_decompress_struct* jh, uint8_t ycc[3], int x);
void jpeghdr_scan_rgb24(const jpeghdr_decompress_struct* jh, uint8_t rgb[3], int x);
void jpeghdr_finish_decompress(jpeghdr_decompress_struct* jh);
void jpeghdr_abort_decompress(jpeghdr_decompress_struct* jh);
void jpeghdr_destroy_decompress(jpeghdr_decompress_struct* jh);

// YCbCr bytes to linear RGB; the inverse of the encoder's desaturation.
void jpeghdr_ycc2rgb(const uint8_t ycc[3], float rgb[3]);
void ycc2srgb(const uint8_t ycc[3], int rgb[3]);
void jpeghdr_resaturate(const jpeghdr_decompress_struct* jh, float rgb[3]);

// Loads a JPEG or JPEG-HDR file (standard input for a null path) into float and/or byte RGB
// arrays. *fpixels and *bpixels hold a buffer of size[0] x size[1] pixels or null (then one
// is allocated with malloc and returned there); size holds the wanted or buffer size and
// receives the output size. Returns 3 for JPEG-HDR, 1 for plain JPEG, -1 on failure.
int jpeghdr_load_memory(float** fpixels, uint8_t** bpixels, int size[2], float* samp2nits,
                        const char* path);

// ---- Ratio-image resampling (identical on both sides of the codec) ----

// Resizes a packed single-channel image: Gaussian reduction when either side shrinks, else
// dithered cubic enlargement. Returns 0 (destination unwritten) when out of memory or a size
// is not positive.
int jpeghdr_resample8(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh);
// The same with the enlargement of format-version-10 files.
int jpeghdr_resample8orig(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh);
int gaussian8(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh);
// Four cubic weights for the fraction t in [0, 1), summing to 1024 (orig: 256).
void comp_interp(int16_t wt[4], float t);
void comp_interp_orig(int16_t wt[4], float t);
