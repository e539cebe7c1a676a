// Tone-mapping inputs for 16-bit grey and 48-bit RGB pixels: a normalising shift and an
// 11-bit logarithm table give the brightness without a per-pixel logarithm.
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "picture/rgbe.h"
#include "tonemap/tmprivate.h"
#include "tonemap/tonemap.h"

static float logTab[2048];

const float* tmLogTable() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < 2048; i++) logTab[i] = (float)std::log(0.5 + 16.0 * i / 65536.0);
  });
  return logTab;
}

namespace {
// Gamma tables of 48-bit input: 512 gamma-decoded values of a normalised component and the
// 16 multipliers 2^(-k gv) that undo the normalising shift.
struct Gamma48 {
  double gv;
  float gamtab[512];
  float gammul[16];
};
std::mutex g48Mutex;
std::vector<std::unique_ptr<Gamma48>> g48Tabs;

const Gamma48* gamma48(double gv) {
  std::lock_guard<std::mutex> lock(g48Mutex);
  for (auto& g : g48Tabs)
    if (g->gv == gv) return g.get();
  std::unique_ptr<Gamma48> g(new (std::nothrow) Gamma48);
  if (!g) return nullptr;
  g->gv = gv;
  for (int i = 0; i < 512; i++) g->gamtab[i] = (float)std::pow((i + 0.5) / 512.0, gv);
  for (int k = 0; k < 16; k++) g->gammul[k] = (float)std::pow(std::pow(2.0, k), -gv);
  g48Tabs.push_back(std::move(g));
  return g48Tabs.back().get();
}

// Index into the 512-entry gamma table of a component, normalised by the pixel's shift.
inline int gamIndex(unsigned v, int shift) {
  return (int)(((v << shift) & 0xFFFF) >> 7);
}
}  // namespace

int tmCvGray16(TMstruct* tms, TMbright* ls, const unsigned short* scan, int len, double gv) {
  static const char funcName[] = "tmCvGray16";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (ls == nullptr || scan == nullptr || len < 0)
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  if (!(gv > 0)) gv = 2.2;
  const float* lt = tmLogTable();
  const double lnsf = std::log(tms->inpsf);
  const double ln2 = std::log(2.0);
  for (int i = 0; i < len; i++) {
    int v = scan[i];
    int shift = normShift16(v);
    if (shift < 0) {
      ls[i] = TM_NOBRT;
      continue;
    }
    int m = (((v << shift) & 0xFFFF) >> 4) & 2047;
    ls[i] = tmClampBright(tmRoundInt(128.0 * (gv * (lt[m] - shift * ln2) + lnsf)));
  }
  return TMERR_NONE;
}

int tmCvRGB48(TMstruct* tms, TMbright* ls, unsigned char* cs, const unsigned short (*scan)[3],
              int len, double gv) {
  static const char funcName[] = "tmCvRGB48";
  if (tms == nullptr) return tmErrorReturn(funcName, nullptr, TMERR_INVALID);
  if (ls == nullptr || scan == nullptr || len < 0)
    return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
  if (!(gv > 0)) gv = 2.2;
  const Gamma48* g = gamma48(gv);
  if (g == nullptr) return tmErrorReturn(funcName, tms, TMERR_MEMORY);
  if (tms->monpri != tms->inppri) {
    // Other primaries: decode to float colour in the scratch buffer and convert as float
    // input. Without the buffer the call fails with code 2 (TMERR_ARGUMENT).
    COLOR* buf = (COLOR*)tempbuffer(sizeof(COLOR) * (size_t)(len > 0 ? len : 1));
    if (buf == nullptr) return tmErrorReturn(funcName, tms, TMERR_ARGUMENT);
    for (int i = 0; i < len; i++) {
      if (gv == 1.0) {
        for (int c = 0; c < 3; c++) buf[i][c] = scan[i][c] * (1.0f / 65536.0f);
        continue;
      }
      int shift = normShift48(scan[i]);
      if (shift < 0) {
        buf[i][0] = buf[i][1] = buf[i][2] = 0.0f;
        continue;
      }
      for (int c = 0; c < 3; c++)
        buf[i][c] = g->gamtab[gamIndex(scan[i][c], shift)] * g->gammul[shift];
    }
    int err = tmCvColorsInternal(tms, ls, cs, buf, len);
    return err ? tmErrorReturn(funcName, tms, err) : TMERR_NONE;
  }
  const unsigned char* dtab = nullptr;
  if (cs != nullptr) {
    dtab = tmChromaGammaTable(tms->mongam);
    if (dtab == nullptr) return tmErrorReturn(funcName, tms, TMERR_MEMORY);
  }
  const float* lt = tmLogTable();
  const double lnsf = std::log(tms->inpsf);
  const double ln2 = std::log(2.0);
  const int flags = tms->flags;
  if (flags & TMF_MESOPIC) tmMkMesofact();
  for (int i = 0; i < len; i++) {
    float rgb[3], lum;
    int b;
    int shift = normShift48(scan[i]);
    if (shift < 0) {
      ls[i] = TM_NOBRT;
      rgb[0] = rgb[1] = rgb[2] = lum = 1.0f;
      b = TM_NOBRT;
    } else {
      for (int c = 0; c < 3; c++) rgb[c] = g->gamtab[gamIndex(scan[i][c], shift)];
      lum = tms->clf[0] * rgb[0] + tms->clf[1] * rgb[1] + tms->clf[2] * rgb[2];
      int li = (int)(lum * 65536.0f);
      if (li > 65535) li = 65535;
      int s2 = normShift16(li);
      if (s2 < 0) {
        // Luminance below the 16-bit resolution: no brightness, neutral chroma.
        b = TM_NOBRT;
        rgb[0] = rgb[1] = rgb[2] = lum = 1.0f;
      } else {
        int m = (((li << s2) & 0xFFFF) >> 4) & 2047;
        b = tmClampBright(tmRoundInt(128.0 * (lt[m] - (gv * shift + s2) * ln2 + lnsf)));
      }
      ls[i] = (TMbright)b;
    }
    if (cs == nullptr) continue;
    if ((flags & TMF_MESOPIC) && b <= TM_MESOTOP) {
      float s = 0.062f * rgb[0] + 0.608f * rgb[1] + 0.33f * rgb[2];
      if (b < TM_MESOBOT) {
        rgb[0] = rgb[1] = rgb[2] = s;
      } else {
        if (flags & TMF_GREY) rgb[0] = rgb[1] = rgb[2] = lum;
        float f = tmMesofact[b - TM_MESOBOT] / 256.0f;
        for (int c = 0; c < 3; c++) rgb[c] = f * rgb[c] + (1.0f - f) * s;
      }
    } else if (flags & TMF_GREY) {
      rgb[0] = rgb[1] = rgb[2] = lum;
    }
    for (int c = 0; c < 3; c++) {
      int idx = (int)(tms->clf[c] * 1024.0f * rgb[c] / lum);
      cs[3 * i + c] = idx >= 1024 ? 255 : dtab[idx < 0 ? 0 : idx];
    }
  }
  return TMERR_NONE;
}
