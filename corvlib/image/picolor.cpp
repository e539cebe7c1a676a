// Colour spaces, colour matrices, white adaptation, gamut clipping and the CIE tables.
#include <cmath>
#include <cstring>

#include "image/picolor.h"

const int ImgDataSize[IDTnumber] = {1, 2, 4, 4};
const char ImgDataTypeName[IDTnumber][32] = {"8-bit/sample", "16-bit/sample", "32-bit/sample",
                                             "IEEE-float/sample"};
const int ImgPixelLen[IPFnumber] = {3, 3, 4, 3, 1, 4, 1, 1, 2, 3, 1};
const char ImgPixelFormatName[IPFnumber][16] = {"RGB",   "CMY",   "CMYK", "XYZ",    "Gray",  "RGBA",
                                                "Alpha", "Depth", "UV",   "Vector", "Normal"};

namespace {
constexpr float kThird = 1.0f / 3.0f;
}  // namespace

// clang-format off
const _ImgColorSpace ICS_ENORM = {IDTint, IPFn, 1, 0.f, 0.f, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}};
const _ImgColorSpace ICS_VEC3 = {IDTfloat, IPFvec3, 1, 0.f, 0.f, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}};
const _ImgColorSpace ICS_D = {IDTfloat, IPFd, 1, 1.f, 0.f, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}};
const _ImgColorSpace ICS_YdB = {IDTfloat, IPFy, 1, 0.1f, 1.f,
                                {{kThird, kThird}, {0, 0}, {0, 0}, {0, 0}}};
const _ImgColorSpace ICS_Y = {IDTfloat, IPFy, 1, 1.f, 0.f,
                              {{kThird, kThird}, {0, 0}, {0, 0}, {0, 0}}};
// 16-bit LogL: 256 codes per doubling over 2^-64 .. 2^64.
const _ImgColorSpace ICS_LogL16 = {IDTushort, IPFy, 1, 77.06368f, 5.428355e-20f,
                                   {{kThird, kThird}, {0, 0}, {0, 0}, {0, 0}}};
const _ImgColorSpace ICS_Y16 = {IDTushort, IPFy, 1, 1.f, 0.f,
                                {{kThird, kThird}, {0, 0}, {0, 0}, {0, 0}}};
const _ImgColorSpace ICS_Y8 = {IDTubyte, IPFy, 1, 2.2f, 0.f,
                               {{kThird, kThird}, {0, 0}, {0, 0}, {0, 0}}};
const _ImgColorSpace ICS_XYZ = {IDTfloat, IPFxyz, 1, 1.f, 0.f,
                                {{1, 0}, {0, 1}, {0, 0}, {kThird, kThird}}};
const _ImgColorSpace ICS_RGB98Adobe = {IDTfloat, IPFrgb, 1, 1.f, 0.f,
                                       {{0.64f, 0.33f}, {0.21f, 0.71f}, {0.15f, 0.06f},
                                        {0.3127f, 0.329f}}};
const _ImgColorSpace ICS_RGB709dB = {IDTfloat, IPFrgb, 1, 0.1f, 1.f,
                                     {{0.64f, 0.33f}, {0.3f, 0.6f}, {0.15f, 0.06f},
                                      {0.3127f, 0.329f}}};
const _ImgColorSpace ICS_RGB709 = {IDTfloat, IPFrgb, 1, 1.f, 0.f,
                                   {{0.64f, 0.33f}, {0.3f, 0.6f}, {0.15f, 0.06f},
                                    {0.3127f, 0.329f}}};
const _ImgColorSpace ICS_AdobeRGB = {IDTubyte, IPFrgb, 1, 2.19921875f, 0.f,
                                     {{0.64f, 0.33f}, {0.21f, 0.71f}, {0.15f, 0.06f},
                                      {0.3127f, 0.329f}}};
const _ImgColorSpace ICS_sRGB = {IDTubyte, IPFrgb, 1, 2.2f, 0.f,
                                 {{0.64f, 0.33f}, {0.3f, 0.6f}, {0.15f, 0.06f},
                                  {0.3127f, 0.329f}}};

const RGBPRIMS stdprims = {{0.640f, 0.330f}, {0.290f, 0.600f}, {0.150f, 0.060f},
                           {0.3333f, 0.3333f}};
const COLORMAT rgb2xyzmat = {{0.5140831f, 0.3238887f, 0.1620281f},
                             {0.2650741f, 0.6701146f, 0.0648112f},
                             {0.0240976f, 0.1228544f, 0.8533480f}};
const COLORMAT xyz2rgbmat = {{2.5656195f, -1.1669891f, -0.3985109f},
                             {-1.0220947f, 1.9782606f, 0.0438210f},
                             {0.0746980f, -0.2518506f, 1.1767995f}};
const float xyneu[2] = {kThird, kThird};
const COLORMAT vkmat = {{1.2694f, -0.0988f, -0.1706f},
                        {-0.8364f, 1.8006f, 0.0357f},
                        {0.0297f, -0.0315f, 1.0018f}};
const COLORMAT ivkmat = {{0.8156f, 0.0472f, 0.1372f},
                         {0.3791f, 0.5769f, 0.0440f},
                         {-0.0123f, 0.0167f, 0.9955f}};
const COLOR cblack = {0.f, 0.f, 0.f};
const COLOR cwhite = {1.f, 1.f, 1.f};

const unsigned char chroma[3][40] = {
    {0, 0, 0, 2, 6, 13, 22, 30, 36, 41, 42, 43, 43, 44, 46, 52, 60, 71, 87, 106,
     128, 153, 178, 200, 219, 233, 243, 249, 252, 254, 255, 255, 255, 255, 255, 255, 255, 255,
     255, 255},
    {0, 0, 0, 0, 0, 1, 2, 4, 7, 11, 17, 24, 34, 48, 64, 84, 105, 127, 148, 169,
     188, 205, 220, 232, 240, 246, 250, 253, 254, 255, 255, 255, 255, 255, 255, 255, 255, 255,
     255, 255},
    {0, 0, 2, 10, 32, 66, 118, 153, 191, 220, 237, 246, 251, 253, 254, 255, 255, 255, 255, 255,
     255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
     255, 255}};
// clang-format on

// ---------------------------------------------------------------------------------------------

int PpixelSize(const _ImgColorSpace* cs) {
  if (cs == nullptr || cs->dtype < 0 || cs->dtype >= IDTnumber || cs->format < 0 ||
      cs->format >= IPFnumber)
    return 0;
  return ImgDataSize[cs->dtype] * ImgPixelLen[cs->format];
}

namespace {

constexpr float kMatchTol = 1e-4f;

bool FloatsAgree(float a, float b) {
  return a < b + kMatchTol && b < a + kMatchTol;
}

bool PairAgrees(const float a[2], const float b[2]) {
  return FloatsAgree(a[0], b[0]) && FloatsAgree(a[1], b[1]);
}

}  // namespace

int PmatchColorSpace(const _ImgColorSpace* a, const _ImgColorSpace* b, int mask) {
  if (a == nullptr || b == nullptr) return 0;
  if (a == b) return 1;
  if (mask & 24) mask |= 2;
  if ((mask & 1) && a->dtype != b->dtype) return 0;
  if ((mask & 2) && a->format != b->format) return 0;
  if ((mask & 4) && (!FloatsAgree(a->gamma, b->gamma) || a->logorig != b->logorig)) return 0;
  const ImgPixelFormat f = a->format;
  if (mask & 8) {
    if ((f == IPFxyz) != (b->format == IPFxyz)) return 0;
    if (f == IPFcmyk && !PairAgrees(a->chroma[3], b->chroma[3])) return 0;
    if (f < 3 || f == IPFrgba)
      for (int i = 0; i < 3; i++)
        if (!PairAgrees(a->chroma[i], b->chroma[i])) return 0;
  }
  if (mask & 16) {
    if (f == IPFy && !PairAgrees(a->chroma[0], b->chroma[0])) return 0;
    if ((f < 4 || f == IPFrgba) && !PairAgrees(a->chroma[3], b->chroma[3])) return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Matrices

namespace {

constexpr double kZeroTol = 0.0001;
bool IsZero(double v) {
  return v <= kZeroTol && v >= -kZeroTol;
}

void CopyMat(COLORMAT dst, const COLORMAT src) {
  std::memcpy(dst, src, sizeof(COLORMAT));
}

void IdentMat(COLORMAT m) {
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) m[i][j] = i == j ? 1.f : 0.f;
}

}  // namespace

void colortrans(COLOR out, const COLORMAT m, const COLOR in) {
  const float c0 = in[0], c1 = in[1], c2 = in[2];
  for (int i = 0; i < 3; i++) out[i] = m[i][0] * c0 + m[i][1] * c1 + m[i][2] * c2;
}

void multcolormat(COLORMAT res, const COLORMAT first, const COLORMAT second) {
  COLORMAT t;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)
      t[i][j] =
          second[i][0] * first[0][j] + second[i][1] * first[1][j] + second[i][2] * first[2][j];
  CopyMat(res, t);
}

int colorprimsOK(RGBPRIMP prims) {
  if (prims == nullptr) return 0;
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 2; j++)
      if (!(prims[i][j] > 0.0001f && prims[i][j] < 0.9999f)) return 0;
  return 1;
}

namespace {

// The C coefficients shared by both directions; false when the white is degenerate.
bool PrimCoeffs(RGBPRIMP p, double C[3]) {
  const double xr = p[0][0], yr = p[0][1], xg = p[1][0], yg = p[1][1];
  const double xb = p[2][0], yb = p[2][1], xw = p[3][0], yw = p[3][1];
  if (IsZero(xw) || IsZero(yw)) return false;
  C[0] = (xw * (yg - yb) - yw * (xg - xb) + xg * yb - xb * yg) / yw;
  C[1] = (xw * (yb - yr) - yw * (xb - xr) - xr * yb + xb * yr) / yw;
  C[2] = (xw * (yr - yg) - yw * (xr - xg) + xr * yg - xg * yr) / yw;
  return true;
}

}  // namespace

int compxyz2rgbmat(COLORMAT m, RGBPRIMP prims) {
  if (prims == nullptr) return 0;
  if (prims == stdprims) {
    CopyMat(m, xyz2rgbmat);
    return 1;
  }
  double C[3];
  if (!PrimCoeffs(prims, C)) return 0;
  if (IsZero(C[0]) || IsZero(C[1]) || IsZero(C[2])) return 0;
  const double xr = prims[0][0], yr = prims[0][1], xg = prims[1][0], yg = prims[1][1];
  const double xb = prims[2][0], yb = prims[2][1];
  m[0][0] = float((yg - yb - xb * yg + yb * xg) / C[0]);
  m[0][1] = float((xb - xg - xb * yg + xg * yb) / C[0]);
  m[0][2] = float((xg * yb - xb * yg) / C[0]);
  m[1][0] = float((yb - yr - yb * xr + yr * xb) / C[1]);
  m[1][1] = float((xr - xb - xr * yb + xb * yr) / C[1]);
  m[1][2] = float((xb * yr - xr * yb) / C[1]);
  m[2][0] = float((yr - yg - yr * xg + yg * xr) / C[2]);
  m[2][1] = float((xg - xr - xg * yr + xr * yg) / C[2]);
  m[2][2] = float((xr * yg - xg * yr) / C[2]);
  return 1;
}

int comprgb2xyzmat(COLORMAT m, RGBPRIMP prims) {
  if (prims == nullptr) return 0;
  if (prims == stdprims) {
    CopyMat(m, rgb2xyzmat);
    return 1;
  }
  double C[3];
  if (!PrimCoeffs(prims, C)) return 0;
  const double xr = prims[0][0], yr = prims[0][1], xg = prims[1][0], yg = prims[1][1];
  const double xb = prims[2][0], yb = prims[2][1];
  const double D = xr * (yg - yb) - yr * (xg - xb) + xg * yb - xb * yg;
  if (IsZero(D)) return 0;
  const double xy[3][2] = {{xr, yr}, {xg, yg}, {xb, yb}};
  for (int c = 0; c < 3; c++) {
    const double k = C[c] / D;
    m[0][c] = float(k * xy[c][0]);
    m[1][c] = float(k * xy[c][1]);
    m[2][c] = float(k * (1.0 - xy[c][0] - xy[c][1]));
  }
  return 1;
}

int comprgb2rgbmat(COLORMAT m, RGBPRIMP p1, RGBPRIMP p2) {
  if (p1 == nullptr || p2 == nullptr) return 0;
  if (p1 == p2) {
    IdentMat(m);
    return 1;
  }
  COLORMAT a, b;
  if (!comprgb2xyzmat(a, p1) || !compxyz2rgbmat(b, p2)) return 0;
  multcolormat(m, a, b);
  return 1;
}

int compxyzWBmat(COLORMAT m, const float w1[2], const float w2[2]) {
  if (w1 == nullptr || w2 == nullptr) return 0;
  if (std::fabs(w1[0] - w2[0]) <= 0.0001f && std::fabs(w1[1] - w2[1]) <= 0.0001f) {
    IdentMat(m);
    return 1;
  }
  if (IsZero(w1[0]) || IsZero(w1[1])) return 0;
  COLOR c1, c2, t;
  t[0] = w1[0] / w1[1];
  t[1] = 1.f;
  t[2] = (1.f - w1[0] - w1[1]) / w1[1];
  colortrans(c1, vkmat, t);
  if (IsZero(w2[0]) || IsZero(w2[1])) return 0;
  t[0] = w2[0] / w2[1];
  t[1] = 1.f;
  t[2] = (1.f - w2[0] - w2[1]) / w2[1];
  colortrans(c2, vkmat, t);
  if (IsZero(c1[0]) || IsZero(c1[1]) || IsZero(c1[2])) return 0;
  // ivkmat * diag(c2 / c1) * vkmat
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      double s = 0.0;
      for (int k = 0; k < 3; k++) s += double(ivkmat[i][k]) * c2[k] / c1[k] * vkmat[k][j];
      m[i][j] = float(s);
    }
  return 1;
}

namespace {

bool WhiteIsNeutral(RGBPRIMP prims) {
  return std::fabs(prims[3][0] - xyneu[0]) <= 0.0001f &&
         std::fabs(prims[3][1] - xyneu[1]) <= 0.0001f;
}

}  // namespace

int comprgb2xyzWBmat(COLORMAT m, RGBPRIMP prims) {
  COLORMAT a;
  if (prims == nullptr || !comprgb2xyzmat(a, prims)) return 0;
  if (!WhiteIsNeutral(prims)) {
    COLORMAT w;
    if (!compxyzWBmat(w, prims[3], xyneu)) return 0;
    multcolormat(a, a, w);
  }
  CopyMat(m, a);
  return 1;
}

int compxyz2rgbWBmat(COLORMAT m, RGBPRIMP prims) {
  COLORMAT a;
  if (prims == nullptr || !compxyz2rgbmat(a, prims)) return 0;
  if (!WhiteIsNeutral(prims)) {
    COLORMAT w;
    if (!compxyzWBmat(w, xyneu, prims[3])) return 0;
    multcolormat(a, w, a);
  }
  CopyMat(m, a);
  return 1;
}

int comprgb2rgbWBmat(COLORMAT m, RGBPRIMP p1, RGBPRIMP p2) {
  if (p1 == nullptr || p2 == nullptr) return 0;
  if (p1 == p2) {
    IdentMat(m);
    return 1;
  }
  COLORMAT a, w, b;
  if (!comprgb2xyzmat(a, p1) || !compxyzWBmat(w, p1[3], p2[3]) || !compxyz2rgbmat(b, p2)) return 0;
  multcolormat(a, a, w);
  multcolormat(m, a, b);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Gamut

int clipgamut(COLOR col, double brightness, int flags, const COLOR lower, const COLOR upper) {
  if (flags == 0) return 0;
  const double mlow = (double(lower[0]) + lower[1] + lower[2]) / 3.0;
  const double mup = (double(upper[0]) + upper[1] + upper[2]) / 3.0;
  if ((flags & 1) && mlow > brightness) {
    for (int i = 0; i < 3; i++) col[i] = lower[i];
    return 1;
  }
  if ((flags & 2) && mup < brightness) {
    for (int i = 0; i < 3; i++) col[i] = upper[i];
    return 2;
  }
  const double span = mup - mlow;
  const double t = span != 0.0 ? (brightness - mlow) / span : 0.0;
  double n[3];
  for (int i = 0; i < 3; i++) n[i] = lower[i] + t * (double(upper[i]) - lower[i]);
  double r = 1.0;
  int hit = 0;
  for (int i = 0; i < 3; i++) {
    double ratio;
    if ((flags & 1) && col[i] < lower[i]) {
      ratio = (lower[i] - n[i]) / (col[i] - n[i]);
      hit |= 1;
    } else if ((flags & 2) && col[i] > upper[i]) {
      ratio = (upper[i] - n[i]) / (col[i] - n[i]);
      hit |= 2;
    } else {
      continue;
    }
    if (ratio < r) r = ratio;
  }
  if (hit)
    for (int i = 0; i < 3; i++) col[i] = float(n[i] + r * (col[i] - n[i]));
  return hit;
}

void cie_rgb(COLOR rgb, const COLOR xyz) {
  const float y = xyz[1];
  colortrans(rgb, xyz2rgbmat, xyz);
  clipgamut(rgb, y, 1, cblack, cwhite);
}

namespace {

// The cumulative table of one row at v tenths of samples past 380 nm (times 10).
int ChromaAt(int row, int v) {
  const int i = v / 10, f = v % 10;
  return chroma[row][i] * (10 - f) + (f ? chroma[row][i + 1] * f : 0);
}

}  // namespace

void spec_cie(COLOR col, int s, int e) {
  int sp = s - 380 > 0 ? s - 380 : 0;
  int ep = e - 380;
  // Both ends stay inside the table: a band that starts past its end is empty.
  if (ep > 389) ep = 389;
  if (ep <= sp) {
    col[0] = col[1] = col[2] = 0.f;
    return;
  }
  for (int c = 0; c < 3; c++) col[c] = float((ChromaAt(c, ep) - ChromaAt(c, sp) + 0.5) / 2560.0);
}

void spec_rgb(COLOR col, int s, int e) {
  COLOR xyz;
  spec_cie(xyz, s, e);
  cie_rgb(col, xyz);
}
