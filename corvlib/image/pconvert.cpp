// Pixel conversion between any two colour spaces: a conversion record decodes source pixels
// to linear float triples, applies a 3 x 3 matrix and an offset, and encodes them; whole
// images are converted, copied, shifted and delinked on top of it.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "image/pconvert.h"
#include "image/pconvkern.h"
#include "support/dmessage.h"
#include "support/fvect.h"

namespace {

constexpr double kLn10 = 2.302585092994046;

bool NearOne(float g) {
  return g >= 0.98f && g <= 1.02f;
}

// ---- Decoders: n pixels into 3n floats ----

void Gfrom3byte(float* out, const uint8_t* src, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < 3 * n; i++) out[i] = cv->dectab[src[i]];
}

void Gfrom1byte(float* out, const uint8_t* src, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < n; i++, out += 3) out[0] = out[1] = out[2] = cv->dectab[src[i]];
}

inline float DecShort(uint16_t code, const _ImgColorConv* cv) {
  if (cv->slogorig > 0.f)
    return float(cv->slogorig * std::exp(cv->sgamma * (kLn10 / 65536.0) * (code + 0.5)));
  const float x = (code + 0.5f) * (1.f / 65536.f);
  return NearOne(cv->sgamma) ? x : float(std::pow(double(x), double(cv->sgamma)));
}

void Gfrom3short(float* out, const uint8_t* src, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < 3 * n; i++) {
    uint16_t c;
    std::memcpy(&c, src + 2 * size_t(i), 2);
    out[i] = DecShort(c, cv);
  }
}

void Gfrom1short(float* out, const uint8_t* src, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < n; i++, out += 3) {
    uint16_t c;
    std::memcpy(&c, src + 2 * size_t(i), 2);
    out[0] = out[1] = out[2] = DecShort(c, cv);
  }
}

inline float DecFloat(float x, const _ImgColorConv* cv) {
  if (cv->slogorig > 0.f) return float(cv->slogorig * std::exp(cv->sgamma * kLn10 * x));
  if (NearOne(cv->sgamma)) return x;
  return float(std::pow(double(x > 1e-20f ? x : 1e-20f), double(cv->sgamma)));
}

void Gfrom3float(float* out, const uint8_t* src, int n, const _ImgColorConv* cv) {
  if (!(cv->slogorig > 0.f) && NearOne(cv->sgamma)) {
    std::memmove(out, src, 12 * size_t(n));
    return;
  }
  for (int i = 0; i < 3 * n; i++) {
    float x;
    std::memcpy(&x, src + 4 * size_t(i), 4);
    out[i] = DecFloat(x, cv);
  }
}

void Gfrom1float(float* out, const uint8_t* src, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < n; i++, out += 3) {
    float x;
    std::memcpy(&x, src + 4 * size_t(i), 4);
    out[0] = out[1] = out[2] = DecFloat(x, cv);
  }
}

void GfromNormal(float* out, const uint8_t* src, int n, const _ImgColorConv*) {
  for (int i = 0; i < n; i++, out += 3) {
    uint32_t c;
    std::memcpy(&c, src + 4 * size_t(i), 4);
    FVECT v;
    decodedir(v, c);
    out[0] = float(v[0]);
    out[1] = float(v[1]);
    out[2] = float(v[2]);
  }
}

// ---- Encoders: 3n floats into n pixels ----

inline uint8_t EncByte(float v, const _ImgColorConv* cv) {
  if (!(cv->dlogorig > 0.f)) return PconvEncByte(v, cv);
  if (!(v > cv->dlogorig)) return 0;  // NaN too
  const double x = 256.0 * cv->digamma * std::log10(double(v) / cv->dlogorig);
  return x >= 255.0 ? 255 : uint8_t(x);
}

void Pto3byte(uint8_t* dst, const float* in, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < 3 * n; i++) dst[i] = EncByte(in[i], cv);
}

void Pto1byte(uint8_t* dst, const float* in, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < n; i++) dst[i] = EncByte(in[3 * i + 1], cv);
}

inline uint16_t EncShort(float v, const _ImgColorConv* cv) {
  if (cv->dlogorig > 0.f) {
    if (!(v > cv->dlogorig)) return 0;
    const double x = 65536.0 * cv->digamma * std::log10(double(v) / cv->dlogorig);
    return x >= 65535.0 ? 65535 : uint16_t(x);
  }
  if (!(v > 0.f)) return 0;
  if (v >= 1.f) return 65535;
  const double x = NearOne(cv->digamma) ? double(v) : std::pow(double(v), double(cv->digamma));
  const double c = 65536.0 * x;
  return c >= 65535.0 ? 65535 : uint16_t(c);
}

void Pto3short(uint8_t* dst, const float* in, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < 3 * n; i++) {
    const uint16_t c = EncShort(in[i], cv);
    std::memcpy(dst + 2 * size_t(i), &c, 2);
  }
}

void Pto1short(uint8_t* dst, const float* in, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < n; i++) {
    const uint16_t c = EncShort(in[3 * i + 1], cv);
    std::memcpy(dst + 2 * size_t(i), &c, 2);
  }
}

inline float EncFloat(float v, const _ImgColorConv* cv) {
  if (cv->dlogorig > 0.f) {
    if (!(v > 0.f)) return v != v ? v : -30.f * cv->digamma;
    return float(cv->digamma * std::log10(double(v) / cv->dlogorig));
  }
  if (NearOne(cv->digamma)) return v;
  return float(std::pow(double(v > 1e-20f ? v : 1e-20f), double(cv->digamma)));
}

void Pto3float(uint8_t* dst, const float* in, int n, const _ImgColorConv* cv) {
  if (!(cv->dlogorig > 0.f) && NearOne(cv->digamma)) {
    std::memmove(dst, in, 12 * size_t(n));
    return;
  }
  for (int i = 0; i < 3 * n; i++) {
    const float f = EncFloat(in[i], cv);
    std::memcpy(dst + 4 * size_t(i), &f, 4);
  }
}

void Pto1float(uint8_t* dst, const float* in, int n, const _ImgColorConv* cv) {
  for (int i = 0; i < n; i++) {
    const float f = EncFloat(in[3 * i + 1], cv);
    std::memcpy(dst + 4 * size_t(i), &f, 4);
  }
}

void PtoNormal(uint8_t* dst, const float* in, int n, const _ImgColorConv*) {
  for (int i = 0; i < n; i++) {
    FVECT v = {in[3 * i], in[3 * i + 1], in[3 * i + 2]};
    const uint32_t c = normalize(v) > 0.0 ? encodedir(v) : 0u;
    std::memcpy(dst + 4 * size_t(i), &c, 4);
  }
}

ImgGetPixFunc ChooseDecoder(const _ImgColorSpace* cs) {
  const int len = ImgPixelLen[cs->format];
  switch (cs->dtype) {
    case IDTubyte:
      return len == 3 ? Gfrom3byte : len == 1 ? Gfrom1byte : nullptr;
    case IDTushort:
      return len == 3 ? Gfrom3short : len == 1 ? Gfrom1short : nullptr;
    case IDTfloat:
      return len == 3 ? Gfrom3float : len == 1 ? Gfrom1float : nullptr;
    case IDTint:
      return cs->format == IPFn ? GfromNormal : nullptr;
  }
  return nullptr;
}

ImgPutPixFunc ChooseEncoder(const _ImgColorSpace* cs) {
  const int len = ImgPixelLen[cs->format];
  switch (cs->dtype) {
    case IDTubyte:
      return len == 3 ? Pto3byte : len == 1 ? Pto1byte : nullptr;
    case IDTushort:
      return len == 3 ? Pto3short : len == 1 ? Pto1short : nullptr;
    case IDTfloat:
      return len == 3 ? Pto3float : len == 1 ? Pto1float : nullptr;
    case IDTint:
      return cs->format == IPFn ? PtoNormal : nullptr;
  }
  return nullptr;
}

bool ValidSpace(const _ImgColorSpace* cs) {
  return cs->dtype >= 0 && cs->dtype < IDTnumber && cs->format >= 0 && cs->format < IPFnumber;
}

// Vectors and direction codes carry no transfer curve: their gamma is taken as 1.
bool IsVectorFormat(ImgPixelFormat f) {
  return f == IPFvec3 || f == IPFn;
}

void SetIdentity(float m[3][3], float diag) {
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) m[i][j] = i == j ? diag : 0.f;
}

int Unsupported() {
  DMESSAGE(DMCparameter, "Unsupported color space conversion");
  return 0;
}

}  // namespace

int setColorConv(_ImgColorConv* cv, const _ImgColorSpace* dst, const _ImgColorSpace* src,
                 double scale) {
  if (cv == nullptr || dst == nullptr || src == nullptr) return 0;
  if (!ValidSpace(dst) || !ValidSpace(src)) return Unsupported();
  // A NaN or infinite scale would turn every pixel into garbage: refused like a negative one.
  if (!std::isfinite(scale) || (scale < 0.0 && dst->dtype != IDTint && dst->dtype != IDTfloat)) {
    DMESSAGE(DMCparameter, "Illegal scale factor (%e)", scale);
    return 0;
  }
  const bool svec = IsVectorFormat(src->format), dvec = IsVectorFormat(dst->format);
  const double srcgam = svec ? 1.0 : src->gamma, dstgam = dvec ? 1.0 : dst->gamma;
  const float srclog = svec ? 0.f : src->logorig, dstlog = dvec ? 0.f : dst->logorig;
  if (!(srcgam > 0.0) || !(dstgam > 0.0) || !std::isfinite(srcgam) || !std::isfinite(dstgam)) {
    DMESSAGE(DMCparameter, "Illegal gamma");
    return 0;
  }
  std::memset(static_cast<void*>(cv), 0, sizeof *cv);
  cv->spsize = uint16_t(PpixelSize(src));
  cv->dpsize = uint16_t(PpixelSize(dst));
  cv->slogorig = srclog;
  cv->sgamma = float(srcgam);
  cv->usemat = -1;
  cv->getpix = ChooseDecoder(src);
  if (cv->getpix == nullptr) return Unsupported();

  float smat[3][3];
  bool ident = false;
  switch (src->format) {
    case IPFxyz:
    case IPFy:
    case IPFa:
    case IPFd:
    case IPFvec3:
    case IPFn:
      SetIdentity(smat, 1.f);
      ident = true;
      cv->usemat = 0;
      break;
    case IPFrgb:
      if (!colorprimsOK(src->chroma) || !comprgb2xyzWBmat(smat, src->chroma)) {
        DMESSAGE(DMCwarning, "Bad color conversion from source");
        comprgb2xyzmat(smat, stdprims);
      }
      cv->usemat = 1;
      break;
    default:
      return Unsupported();
  }
  switch (dst->format) {
    case IPFrgb: {
      float dmat[3][3];
      if (!compxyz2rgbWBmat(dmat, dst->chroma)) {
        DMESSAGE(DMCwarning, "Bad color conversion to destination");
        compxyz2rgbmat(dmat, stdprims);
      }
      multcolormat(cv->cmat, smat, dmat);
      cv->usemat = ident ? 1 : !PmatchColorSpace(dst, src, 24);
      // Matching primaries: the product is the identity up to rounding.
      if (!cv->usemat) SetIdentity(cv->cmat, 1.f);
      break;
    }
    case IPFxyz:
    case IPFy:
      std::memcpy(cv->cmat, smat, sizeof smat);
      break;
    case IPFa:
    case IPFd:
      if (src->format != dst->format) return Unsupported();
      SetIdentity(cv->cmat, 1.f);
      break;
    case IPFvec3:
    case IPFn:
      if (!svec) return Unsupported();
      SetIdentity(cv->cmat, 1.f);
      break;
    default:
      return Unsupported();
  }
  cv->dlogorig = dstlog;
  cv->digamma = float(1.0 / dstgam);
  cv->logoff = 0.f;
  cv->putpix = ChooseEncoder(dst);
  if (cv->putpix == nullptr) {
    cv->usemat = -1;
    return Unsupported();
  }
  const bool slog = srclog > 0.f, dlog = dstlog > 0.f;
  // One power instead of two when no matrix sits between them. A negative scale keeps both
  // powers, since a merged power would lose its sign.
  if (cv->usemat == 0 && !slog && !dlog && scale >= 0.0) {
    const float r = cv->sgamma * cv->digamma;
    if (r >= 1.f) {
      cv->sgamma = r;
      cv->digamma = 1.f;
      scale = std::pow(scale, 1.0 / dstgam);
    } else {
      cv->digamma = r;
      cv->sgamma = 1.f;
      scale = std::pow(scale, 1.0 / srcgam);
    }
  }
  if (!slog) {
    for (int i = 0; i < 3; i++)
      for (int j = 0; j < 3; j++) cv->cmat[i][j] = float(cv->cmat[i][j] * scale);
    if (scale < 0.999 || scale > 1.001) cv->usemat = 1;
  } else if (dlog && cv->usemat == 0) {
    // Both logarithmic: convert the codes themselves, a scale becomes an offset.
    cv->slogorig = cv->dlogorig = 0.f;
    cv->sgamma = cv->digamma = 1.f;
    const float diag = float(srcgam / dstgam);
    SetIdentity(cv->cmat, diag);
    cv->logoff = float(std::log10(scale * srclog / dstlog) / dstgam);
    cv->usemat = std::fabs(1.f - diag) > 0.001f;
  } else {
    cv->slogorig = float(cv->slogorig * scale);
  }
  for (int i = 0; i < 256; i++) {
    if (cv->slogorig > 0.f)
      cv->dectab[i] = float(cv->slogorig * std::exp(cv->sgamma * (i + 0.5) * kLn10 / 256.0));
    else
      cv->dectab[i] = float(std::pow((i + 0.5) / 256.0, double(cv->sgamma)));
  }
  if (!(cv->dlogorig > 0.f))
    for (int j = 0; j < 1024; j++)
      cv->enctab[j] = uint8_t(256.0 * std::pow((j + 0.5) / 1024.0, double(cv->digamma)));
  PconvSetupFast(cv, dst, src);
  return 1;
}

_ImgColorConv* PcreateColorConv(const _ImgColorSpace* dst, const _ImgColorSpace* src,
                                double scale) {
  _ImgColorConv* cv = static_cast<_ImgColorConv*>(std::malloc(sizeof(_ImgColorConv)));
  if (cv == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory in PcreateColorConv");
    return nullptr;
  }
  if (!setColorConv(cv, dst, src, scale)) {
    std::free(cv);
    return nullptr;
  }
  return cv;
}

void applyMat(float* out, const float* in, int n, const float m[3][3]) {
  const float m00 = m[0][0], m01 = m[0][1], m02 = m[0][2];
  const float m10 = m[1][0], m11 = m[1][1], m12 = m[1][2];
  const float m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
  for (int i = 0; i < n; i++, in += 3, out += 3) {
    const float a = in[0], b = in[1], c = in[2];
    out[0] = m00 * a + m01 * b + m02 * c;
    out[1] = m10 * a + m11 * b + m12 * c;
    out[2] = m20 * a + m21 * b + m22 * c;
  }
}

void addOffset(float* values, int n, float offset) {
  if (offset == 0.f) return;
  for (int i = 0; i < 3 * n; i++) values[i] += offset;
}

void PconvertRunPlain(uint8_t* dst, const uint8_t* src, int n, const _ImgColorConv* cv,
                      float* buf) {
  if (cv->usemat == 1) {
    cv->getpix(buf + 3, src, n, cv);
    applyMat(buf, buf + 3, n, cv->cmat);
  } else {
    cv->getpix(buf, src, n, cv);
  }
  addOffset(buf, n, cv->logoff);
  cv->putpix(dst, buf, n, cv);
}

namespace {

// Whether converting forward, pixel by pixel, never overwrites source bytes not yet read.
bool ForwardSafe(const uint8_t* dst, const uint8_t* src, int n, const _ImgColorConv* cv) {
  const uint8_t* dend = dst + size_t(n) * cv->dpsize;
  const uint8_t* send = src + size_t(n) * cv->spsize;
  if (dend <= src || send <= dst) return true;
  return dst <= src && cv->dpsize <= cv->spsize;
}

int CheckPixelArgs(void* dst, const void* src, int n, const _ImgColorConv* cv) {
  if (n < 1) return n == 0 ? 1 : 0;
  if (dst == nullptr || src == nullptr || cv == nullptr || cv->usemat < 0) return 0;
  if (dst == src && cv->spsize < cv->dpsize && n > PCONV_BATCH) {
    DMESSAGE(DMCparameter, "Cannot map pixel buffer onto itself");
    return 0;
  }
  return -1;
}

int ConvertBatches(void* dst, const void* src, int n, const _ImgColorConv* cv, bool fast) {
  const int chk = CheckPixelArgs(dst, src, n, cv);
  if (chk >= 0) return chk;
  uint8_t* d = static_cast<uint8_t*>(dst);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  if (fast && cv->fast != PCFnone && ForwardSafe(d, s, n, cv) && PconvertRunFast(d, s, n, cv))
    return 1;
  float buf[3 * (PCONV_BATCH + 1)];
  while (n > 0) {
    const int b = n < PCONV_BATCH ? n : PCONV_BATCH;
    PconvertRunPlain(d, s, b, cv, buf);
    d += size_t(b) * cv->dpsize;
    s += size_t(b) * cv->spsize;
    n -= b;
  }
  return 1;
}

}  // namespace

int PconvertPixels(void* dst, const void* src, int n, const _ImgColorConv* cv) {
  return ConvertBatches(dst, src, n, cv, true);
}

int PconvertPixelsPlain(void* dst, const void* src, int n, const _ImgColorConv* cv) {
  return ConvertBatches(dst, src, n, cv, false);
}

int PconvertPixel(void* dst, const void* src, const _ImgColorSpace* dstcs,
                  const _ImgColorSpace* srccs) {
  if (dst == nullptr || src == nullptr || dstcs == nullptr || srccs == nullptr) return 0;
  if (PmatchColorSpace(dstcs, srccs, 31)) {
    const int ps = PpixelSize(srccs);
    if (ps <= 0) return 0;
    std::memmove(dst, src, size_t(ps));
    return 1;
  }
  _ImgColorConv* cv = PcreateColorConv(dstcs, srccs, 1.0);
  if (cv == nullptr) return 0;
  const int ok = PconvertPixels(dst, src, 1, cv);
  std::free(cv);
  return ok;
}
