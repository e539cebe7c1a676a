// Pixel encodings and colour spaces, colour matrices and gamut handling.
#pragma once

#include <cstdint>

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
