// Tone-mapping inputs of LogLuv TIFF pixels: 32-bit LogLuv (15-bit log luminance and u', v'
// bytes), 24-bit LogLuv (10-bit log luminance and a 14-bit uv cell index) and 16-bit LogL.
// Chroma is computed once per (u', v') cell and cached in the TMstruct.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tonemap/tmprivate.h"
#include "tonemap/tonemap.h"
#include "tonemap/uvcode.h"

namespace {
constexpr double kBrtPerStop = 88.722839111673;  // 128 ln 2
// Brightness of log code 0 (2^-64 for 15-bit codes, 2^-12 for 10-bit ones) at unit scale.
constexpr double kLogL16Zero = 64 * kBrtPerStop, kLogL10Zero = 12 * kBrtPerStop;
constexpr double U_NEU = 0.210526316, V_NEU = 0.473684211;
constexpr int UVNEU32 = 0x56C2;  // the neutral (u', v') byte pair of 32-bit LogLuv
// The u', v' bytes of 32-bit LogLuv hold floor(410 u') and floor(410 v'), as the file format
// defines them (and libtiff writes and reads them).
constexpr double UVSCALE = 410.0;

struct Luv32Data {
  double offset;                     // brightness offset of the input scale
  unsigned char rgbval[1 << 16][3];  // chroma bytes per (u byte << 8 | v byte)
  uint32_t done[(1 << 16) / 32];     // which entries are computed
};

struct Luv24Data {
  double offset;
  unsigned char rgbval[1 << 14][3];
  uint32_t done[(1 << 14) / 32];
};

std::atomic<int> luv32RegNo{-1}, luv24RegNo{-1};
int uvNeutral24 = -1;

// Display chroma bytes of chromaticity (u', v') at unit luminance.
void uv2rgb(unsigned char* rgb, const TMstruct* tms, double u, double v) {
  double d = 1.0 / (6.0 * u - 16.0 * v + 12.0);
  double x = 9.0 * u * d, y = 4.0 * v * d;
  COLOR xyz = {(float)(x / y / tms->inpsf), (float)(1.0 / tms->inpsf),
               (float)((1.0 - x - y) / y / tms->inpsf)};
  COLOR col;
  colortrans(col, tms->cmat, xyz);
  clipgamut(col, 1.0f, 1, cblack, cwhite);
  for (int c = 0; c < 3; c++) {
    double s = (double)tms->clf[c] * col[c];
    if (!(s > 0))
      rgb[c] = 0;
    else
      rgb[c] = s >= 0.999 ? 255 : (unsigned char)(int)(256.0 * std::pow(s, 1.0 / tms->mongam));
  }
}

// Mesopic shift of brightness b and chromaticity (u', v') toward scotopic vision.
int compmeshift(int b, double* u, double* v) {
  if (b > TM_MESOTOP) return b;
  double s = (0.767676768 - 1.02356902 * *v) / *u - 0.343434343, r;
  if (b > TM_MESOBOT) {
    double m = (tmMesofact[b - TM_MESOBOT] + 0.5) / 256.0;
    *u = m * *u + (1.0 - m) * U_NEU;
    *v = m * *v + (1.0 - m) * V_NEU;
    r = m + (1.0 - m) * s;
  } else {
    *u = U_NEU;
    *v = V_NEU;
    r = s;
  }
  double x = r - 1.0;
  double d = b + 128.0 * x * (1.0 + x * (-0.5 + x * (1.0 / 3.0 - 0.125 * x)));
  if (!(d > -32767.0)) return -32767;
  if (d > 32767.0) return 32767;
  return tmRoundInt(d);
}

// Brightness of log code le at the centre of its step (codes stand for the luminances from
// 2^(le / steps) to 2^((le + 1) / steps) times that of code 0), less the offset, rounded.
inline TMbright logBright(unsigned le, int shift, double offset) {
  const double d = (le + 0.5) * kBrtPerStop / (1 << shift) - offset;
  if (!(d > -32767.0)) return -32767;
  if (d > 32767.0) return 32767;
  return (TMbright)tmRoundInt(d);
}

// The offset that turns code brightness into brightness at the input scale.
inline double logOffset(double zero, const TMstruct* tms) {
  return zero - 128.0 * std::log(tms->inpsf);
}

void luv32NewSpace(TMstruct* tms) {
  int n = luv32RegNo;
  Luv32Data* ld;
  if (n < 0 || (ld = (Luv32Data*)tms->pd[n]) == nullptr) return;
  ld->offset = logOffset(kLogL16Zero, tms);
  memset(ld->done, 0, sizeof ld->done);
}

void* luv32Init(TMstruct* tms) {
  Luv32Data* ld = (Luv32Data*)malloc(sizeof(Luv32Data));
  if (ld == nullptr) return nullptr;
  tms->pd[luv32RegNo] = ld;
  luv32NewSpace(tms);
  return ld;
}

void luv24NewSpace(TMstruct* tms) {
  int n = luv24RegNo;
  Luv24Data* ld;
  if (n < 0 || (ld = (Luv24Data*)tms->pd[n]) == nullptr) return;
  ld->offset = logOffset(kLogL10Zero, tms);
  memset(ld->done, 0, sizeof ld->done);
}

void* luv24Init(TMstruct* tms) {
  Luv24Data* ld = (Luv24Data*)malloc(sizeof(Luv24Data));
  if (ld == nullptr) return nullptr;
  tms->pd[luv24RegNo] = ld;
  luv24NewSpace(tms);
  return ld;
}

TMpackage luv32Pkg = {luv32Init, luv32NewSpace, free};
TMpackage luv24Pkg = {luv24Init, luv24NewSpace, free};

// Checks shared by the LogLuv converters; the input space must be CIE XYZ.
int luvCheck(const char* funcName, TMstruct* tms, TMbright* ls, const void* in, int len) {
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (ls == nullptr || in == nullptr || len < 0)
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  if (tms->inppri != nullptr) return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  return TMERR_NONE;
}
}  // namespace

int tmCvLuv32(TMstruct* tms, TMbright* ls, unsigned char* cs, const uint32_t* luvs, int len) {
  static const char funcName[] = "tmCvLuv32";
  int err = luvCheck(funcName, tms, ls, luvs, len);
  if (err) return err;
  tmMkMesofact();
  Luv32Data* ld = (Luv32Data*)tmPackageData(tms, &luv32Pkg, &luv32RegNo, &err);
  if (ld == nullptr) return tmErrorReturn(funcName, tms, err);
  const int flags = tms->flags;
  for (int i = len; i-- > 0;) {
    uint32_t w = luvs[i];
    unsigned le = w >> 16;
    int b = (le & 0x8000) ? TM_NOBRT : logBright(le, 8, ld->offset);
    if (cs == nullptr) {
      ls[i] = (TMbright)b;
      continue;
    }
    int uvp;
    if (!(flags & TMF_MESOPIC) || b > TM_MESOTOP || b == TM_NOBRT) {
      uvp = (flags & TMF_GREY) ? UVNEU32 : (int)(w & 0xFFFF);
    } else {
      double u = (((w >> 8) & 0xFF) + 0.5) / UVSCALE, v = ((w & 0xFF) + 0.5) / UVSCALE;
      b = compmeshift(b, &u, &v);
      if ((flags & TMF_GREY) || b < TM_MESOBOT) {
        uvp = UVNEU32;
      } else {
        int ub = (int)(u * UVSCALE), vb = (int)(v * UVSCALE);
        uvp = ((ub < 0 ? 0 : ub > 255 ? 255 : ub) << 8) | (vb < 0 ? 0 : vb > 255 ? 255 : vb);
      }
    }
    ls[i] = (TMbright)b;
    if (!(ld->done[uvp >> 5] & (1u << (uvp & 31)))) {
      uv2rgb(ld->rgbval[uvp], tms, ((uvp >> 8) + 0.5) / UVSCALE, ((uvp & 0xFF) + 0.5) / UVSCALE);
      ld->done[uvp >> 5] |= 1u << (uvp & 31);
    }
    memcpy(cs + 3 * i, ld->rgbval[uvp], 3);
  }
  return TMERR_NONE;
}

int tmCvLuv24(TMstruct* tms, TMbright* ls, unsigned char* cs, const uint32_t* luvs, int len) {
  static const char funcName[] = "tmCvLuv24";
  int err = luvCheck(funcName, tms, ls, luvs, len);
  if (err) return err;
  tmMkMesofact();
  Luv24Data* ld = (Luv24Data*)tmPackageData(tms, &luv24Pkg, &luv24RegNo, &err);
  if (ld == nullptr) return tmErrorReturn(funcName, tms, err);
  static std::once_flag once;
  std::call_once(once, [] { uvNeutral24 = uvEncode(U_NEU, V_NEU); });
  const int flags = tms->flags;
  for (int i = len; i-- > 0;) {
    uint32_t w = luvs[i];
    unsigned le = (w >> 14) & 0x3FF;
    int b = logBright(le, 6, ld->offset);
    if (cs == nullptr) {
      ls[i] = (TMbright)b;
      continue;
    }
    int uvp;
    if (!(flags & TMF_MESOPIC) || b > TM_MESOTOP) {
      uvp = (flags & TMF_GREY) ? uvNeutral24 : (int)(w & 0x3FFF);
    } else {
      double u, v;
      if (uvDecode(&u, &v, (int)(w & 0x3FFF)) < 0) {
        u = U_NEU;
        v = V_NEU;
      }
      b = compmeshift(b, &u, &v);
      uvp = ((flags & TMF_GREY) || b < TM_MESOBOT) ? -1 : uvEncode(u, v);
      if (uvp < 0) uvp = uvNeutral24;
    }
    ls[i] = (TMbright)b;
    if (!(ld->done[uvp >> 5] & (1u << (uvp & 31)))) {
      double u, v;
      if (uvDecode(&u, &v, uvp) < 0) {
        u = U_NEU;
        v = V_NEU;
      }
      uv2rgb(ld->rgbval[uvp], tms, u, v);
      ld->done[uvp >> 5] |= 1u << (uvp & 31);
    }
    memcpy(cs + 3 * i, ld->rgbval[uvp], 3);
  }
  return TMERR_NONE;
}

int tmCvL16(TMstruct* tms, TMbright* ls, const unsigned short* l16s, int len) {
  static const char funcName[] = "tmCvL16";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (ls == nullptr || l16s == nullptr || len < 0)
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  // The offset of the input scale, computed per call rather than cached process-wide.
  const double offset = logOffset(kLogL16Zero, tms);
  for (int i = 0; i < len; i++) {
    unsigned le = l16s[i];
    ls[i] = (le & 0x8000) ? (TMbright)TM_NOBRT : logBright(le, 8, offset);
  }
  return TMERR_NONE;
}
