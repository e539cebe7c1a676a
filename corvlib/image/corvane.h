// The image model: pixel encodings and colour spaces, colour matrices, image buffers and the
// conversion of pixels between any two colour spaces.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/memobject.h"

// ---------------------------------------------------------------------------------------------
// Pixel encodings

// Component data type.
enum ImgDataType : int32_t { IDTubyte = 0, IDTushort = 1, IDTint = 2, IDTfloat = 3 };
constexpr int IDTnumber = 4;
// Bytes per component, by data type.
extern const int ImgDataSize[IDTnumber];
// Names used in messages ("8-bit/sample" ..), by data type.
extern const char ImgDataTypeName[IDTnumber][32];

// Pixel format.
enum ImgPixelFormat : int32_t {
  IPFrgb = 0,
  IPFcmy = 1,
  IPFcmyk = 2,
  IPFxyz = 3,
  IPFy = 4,
  IPFrgba = 5,
  IPFa = 6,
  IPFd = 7,
  IPFuv = 8,
  IPFvec3 = 9,
  IPFn = 10
};
constexpr int IPFnumber = 11;
// Components per pixel, by format.
extern const int ImgPixelLen[IPFnumber];
// Names used in messages ("RGB" ..), by format.
extern const char ImgPixelFormatName[IPFnumber][16];

// ---------------------------------------------------------------------------------------------
// Colour spaces

struct _ImgColorSpace {
  ImgDataType dtype;
  ImgPixelFormat format;
  int32_t cstatic;     // non-zero: outlives every image that uses it
  float gamma;         // power-law exponent, or decades spanned by the code range when logarithmic
  float logorig;       // 0 for power law; > 0: value = logorig * 10^(gamma * code)
  float chroma[4][2];  // x, y of red, green, blue and white (grey spaces: white in the first)
};

// The standard colour spaces (all static).
extern const _ImgColorSpace ICS_ENORM;       // int direction codes
extern const _ImgColorSpace ICS_VEC3;        // float vectors
extern const _ImgColorSpace ICS_D;           // float depth
extern const _ImgColorSpace ICS_YdB;         // float grey, tenths of a decade
extern const _ImgColorSpace ICS_Y;           // float linear grey
extern const _ImgColorSpace ICS_LogL16;      // 16-bit logarithmic grey
extern const _ImgColorSpace ICS_Y16;         // 16-bit linear grey
extern const _ImgColorSpace ICS_Y8;          // 8-bit grey, gamma 2.2
extern const _ImgColorSpace ICS_XYZ;         // float CIE XYZ
extern const _ImgColorSpace ICS_RGB98Adobe;  // float linear Adobe RGB (1998) primaries
extern const _ImgColorSpace ICS_RGB709dB;    // float BT.709 RGB, tenths of a decade
extern const _ImgColorSpace ICS_RGB709;      // float linear BT.709 RGB
extern const _ImgColorSpace ICS_AdobeRGB;    // 8-bit Adobe RGB (1998), gamma 563/256
extern const _ImgColorSpace ICS_sRGB;        // 8-bit BT.709 RGB, gamma 2.2

// 1 when the two colour spaces agree in every aspect named by mask (1e-4 tolerance): 1 data
// type, 2 format, 4 gamma and log origin, 8 primaries, 16 white; 31 means identical for
// conversion purposes, 3 the same storage layout.
int PmatchColorSpace(const _ImgColorSpace* a, const _ImgColorSpace* b, int mask);

// Bytes per pixel of a colour space (0 for an invalid type or format).
int PpixelSize(const _ImgColorSpace* cs);

// ---------------------------------------------------------------------------------------------
// Colour matrices and gamut

typedef float COLOR[3];
typedef float COLORMAT[3][3];  // row-major: out[i] = sum_j m[i][j] * in[j]
typedef float RGBPRIMS[4][2];  // red, green, blue, white chromaticities
typedef const float (*RGBPRIMP)[2];

extern const RGBPRIMS stdprims;
extern const COLORMAT rgb2xyzmat;  // of stdprims
extern const COLORMAT xyz2rgbmat;  // its inverse
extern const float xyneu[2];       // equal-energy white
extern const COLORMAT vkmat;       // sharpened cone responses for white adaptation
extern const COLORMAT ivkmat;
extern const COLOR cblack;
extern const COLOR cwhite;
// Cumulative CIE 1931 colour-matching functions (x, y, z bar), 40 samples at 380..770 nm.
extern const unsigned char chroma[3][40];

// out = m * in (out may alias in).
void colortrans(COLOR out, const COLORMAT m, const COLOR in);
// res = second * first: apply first, then second (res may alias either).
void multcolormat(COLORMAT res, const COLORMAT first, const COLORMAT second);
int colorprimsOK(RGBPRIMP prims);
int comprgb2xyzmat(COLORMAT m, RGBPRIMP prims);
int compxyz2rgbmat(COLORMAT m, RGBPRIMP prims);
int comprgb2rgbmat(COLORMAT m, RGBPRIMP p1, RGBPRIMP p2);
int compxyzWBmat(COLORMAT m, const float w1[2], const float w2[2]);
int comprgb2xyzWBmat(COLORMAT m, RGBPRIMP prims);
int compxyz2rgbWBmat(COLORMAT m, RGBPRIMP prims);
int comprgb2rgbWBmat(COLORMAT m, RGBPRIMP p1, RGBPRIMP p2);
// Clips col into [lower, upper] (flags 1 lower, 2 upper) by desaturating towards the neutral
// of the given brightness; returns the flags of the bounds that were hit.
int clipgamut(COLOR col, double brightness, int flags, const COLOR lower, const COLOR upper);
void cie_rgb(COLOR rgb, const COLOR xyz);
// XYZ of an equal-energy band from s to e nanometres.
void spec_cie(COLOR col, int s, int e);
void spec_rgb(COLOR col, int s, int e);

// ---------------------------------------------------------------------------------------------
// Image buffers

// Pixel rectangle; left and top inclusive, right and bottom exclusive, y down.
struct _ImgRect {
  int32_t xleft, xright, ytop, ybottom;
};

// An image descriptor: a view of pixels, usually in a shared reference-counted block.
struct _ImgStruct {
  int32_t xres, yres;
  const _ImgColorSpace* csp;  // static colour space, or the private copy in the block
  int32_t rowsize;            // bytes from one row to the next (may be negative)
  MemObject* mbase;           // the block holding the pixels, or null when not ours
  uint8_t* img;               // top-left pixel, or null when there are no pixels
};

// Bytes reserved in front of an image block's pixels for its private colour space; keeps
// pixel memory 64-byte aligned.
constexpr size_t PIMG_CSSLOT = 64;

// Frame sequence kinds of multi-frame images (used by PabsFrame and the image readers).
enum ImgFrameType : int32_t {
  IRFnone = 0,
  IRFlayer = 1,
  IRFanim = 2,
  IRFloop = 3,
  IRFbackforth = 4,
  IRFslice = 5,
  IRFunknown = 6
};

// Gives pixels to an image whose xres, yres and csp are set; aspect > 0.01 (height over
// width) first shrinks a dimension that is at least two pixels too large.
int PnewImage(_ImgStruct* img, double aspect);
// Drops the image's link to its pixels.
void PfreeImage(_ImgStruct* img);
// Makes dst view src's pixels, or the rectangle of them (dst may be src).
int PlinkSubimage(_ImgStruct* dst, const _ImgStruct* src, const _ImgRect* rect);
// Links the parts of dst and src that overlap with src's top-left pixel placed at (x, y).
int PlinkCoverage(_ImgStruct* dsub, _ImgStruct* ssub, const _ImgStruct* dst, const _ImgStruct* src,
                  int x, int y);
// Fills the image with zero bytes (pixel null) or with copies of one pixel.
int PclearImage(_ImgStruct* img, const void* pixel);
int PclearRect(_ImgStruct* img, const _ImgRect* rect, const void* pixel);
// Intersects rect with clip in place; whether the result is non-empty.
int PclipRect(_ImgRect* rect, const _ImgRect* clip);
// Whether the pixel memory of two images can overlap.
int PimagesOverlap(const _ImgStruct* a, const _ImgStruct* b);
// Pixel coordinates of a byte address in an image's rows; 1 when it falls on a pixel.
int PpixPos(int* x, int* y, const _ImgStruct* img, const void* addr);
// Expands n grey bytes to RGB triples, from the end, so dst may equal src.
void PgetRGB24fromY8(uint8_t* dst, const uint8_t* src, int n);
// Moves *frame for a seek of offset (whence 0 absolute, else relative; 2 wraps loops).
int PabsFrame(int* frame, int nframes, ImgFrameType frameType, int offset, int whence);

// ---------------------------------------------------------------------------------------------
// Pixel conversion

struct _ImgColorConv;
typedef void (*ImgGetPixFunc)(float* out, const uint8_t* src, int n, const _ImgColorConv* cv);
typedef void (*ImgPutPixFunc)(uint8_t* dst, const float* in, int n, const _ImgColorConv* cv);

// Conversion record from one colour space to another, built once by setColorConv: decode to
// linear float triples, apply cmat and logoff, encode.
struct _ImgColorConv {
  uint16_t spsize, dpsize;  // pixel sizes in bytes
  float slogorig;
  float sgamma;
  float dectab[256];  // decoded value of each 8-bit code
  int32_t usemat;     // -1 unsupported, 0 no matrix, 1 apply cmat
  ImgGetPixFunc getpix;
  float cmat[3][3];
  float dlogorig;
  float digamma;         // 1 / destination gamma
  uint8_t enctab[1024];  // 8-bit code of v in [0, 1) at index floor(v * 1024)
  float logoff;          // added to every component after the matrix
  ImgPutPixFunc putpix;
  // Tables of the fast paths, built once with the record.
  float darkthr[257];      // smallest v below 0.012 that encodes to each 8-bit code
  int32_t ndark;           // codes 0 .. ndark - 1 are reached below 0.012
  uint8_t darkfine[2049];  // a lower bound of the code in each 1/2048 of the dark range
  uint8_t encfast[1025];   // enctab with 255 appended for values of 1 and above
  int32_t fast;            // which fast kernel applies (0 none)
  uint8_t lut8[256][3];    // 8-bit to 8-bit: output codes of each input code
};

// Pixels per batch of the conversion routines.
constexpr int PCONV_BATCH = 1023;

int setColorConv(_ImgColorConv* cv, const _ImgColorSpace* dst, const _ImgColorSpace* src,
                 double scale);
// Heap record (free with std::free) or null.
_ImgColorConv* PcreateColorConv(const _ImgColorSpace* dst, const _ImgColorSpace* src, double scale);
int PconvertPixels(void* dst, const void* src, int n, const _ImgColorConv* cv);
int PconvertPixel(void* dst, const void* src, const _ImgColorSpace* dstcs,
                  const _ImgColorSpace* srccs);
// Copies src into dst converting to dst's colour space; dst without pixels gets new ones.
int PmapImage(_ImgStruct* dst, const _ImgStruct* src, double scale);
// Converts an image into colour space cs, in place when possible.
int PconvertColorSpace(_ImgStruct* img, const _ImgColorSpace* cs, double scale);
// Hands each row, converted into cs, to callback(row, xres, y, data); stops when it
// returns 0.
typedef int (*ImgRowCallback)(const void* row, int xres, int y, void* data);
int PconvertImageCB(const _ImgStruct* img, const _ImgColorSpace* cs, double scale,
                    ImgRowCallback callback, void* data);
// out = m * in for n triples (out may trail in by one triple in the same buffer).
void applyMat(float* out, const float* in, int n, const float m[3][3]);
void addOffset(float* values, int n, float offset);

// Copies src with its top-left pixel at (x, y) into dst, converting colour.
int PcopyImage(_ImgStruct* dst, const _ImgStruct* src, int x, int y);
// Moves image content by (dx, dy) in its memory; callback(img, rect, data) refills each
// vacated strip.
typedef void (*ImgShiftCallback)(_ImgStruct* img, const _ImgRect* rect, void* data);
int PshiftImageCB(_ImgStruct* img, int dx, int dy, ImgShiftCallback callback, void* data);
// Gives an image compact pixel memory of its own.
int PdelinkImage(_ImgStruct* img);

// Resampling, the reader and writer registry, blurring and convolution, warping.
#include "image/pconvolve.h"
#include "image/pireader.h"
#include "image/piresamp.h"
#include "image/piwarp.h"
