// Helpers of the HDR tests: synthetic scenes with known radiance, exposure series written as
// 8-bit TIFF files through a known camera response, and makers loaded with them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <cstdlib>
#include <unistd.h>
#include <vector>

#include "catalog/photo_test_util.h"
#include "catalog/picache.h"
#include "formats/fmt_test_util.h"
#include "formats/jpegio.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "hdr/phdrimg.h"
#include "hdr_scene.h"

namespace hdrtest {

using ScratchDir = pictest::ScratchDir;

using phototest::NewRGB;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Scene radiance, float RGB, row by row.
struct Scene {
  int w = 0, h = 0;
  std::vector<float> rad;
  const float* At(int x, int y) const { return &rad[3 * (static_cast<size_t>(y) * w + x)]; }
};

// Smooth tiles of random colour whose luminance spans `decades` decades (from 1 upward); each
// tile carries a gentle gradient so values vary within it.
inline Scene TileScene(int w, int h, int tile, double decades, uint32_t seed) {
  Scene s;
  s.w = w;
  s.h = h;
  s.rad.resize(3 * static_cast<size_t>(w) * h);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  const int tx = (w + tile - 1) / tile, ty = (h + tile - 1) / tile;
  std::vector<double> base(3 * static_cast<size_t>(tx) * ty);
  for (size_t i = 0; i < base.size() / 3; i++) {
    const double l = std::pow(10.0, decades * u(rng));
    for (int c = 0; c < 3; c++) base[3 * i + c] = l * (0.6 + 0.8 * u(rng));
  }
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const size_t t = static_cast<size_t>(y / tile) * tx + x / tile;
      const double g = 1.0 + 0.1 * (double(x % tile) / tile) + 0.05 * (double(y % tile) / tile);
      for (int c = 0; c < 3; c++)
        s.rad[3 * (static_cast<size_t>(y) * w + x) + c] = static_cast<float>(base[3 * t + c] * g);
    }
  return s;
}

// Renders one exposure: bytes of cam at radiance x mult, with Gaussian noise of sigma codes.
inline _ImgStruct Expose(const Scene& s, const Camera& cam, double mult, double sigma,
                         uint32_t seed) {
  _ImgStruct im = NewRGB(s.w, s.h);
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0, sigma);
  for (int y = 0; y < s.h; y++) {
    uint8_t* p = im.img + static_cast<ptrdiff_t>(y) * im.rowsize;
    const float* r = s.At(0, y);
    for (int x = 0; x < 3 * s.w; x++) {
      const double v = cam.Encode(x % 3, r[x] * mult) * 255.0 + (sigma > 0 ? nd(rng) : 0);
      p[x] = static_cast<uint8_t>(std::lround(std::min(255.0, std::max(0.0, v))));
    }
  }
  return im;
}

// Registers the standard readers and the TIFF reader.
inline void LoadReaders() {
  static const bool loaded = PloadStandardReaders() != 0 && PaddIReaderI(&IRInterfaceTIFF) >= 0;
  (void)loaded;
}

inline bool WriteTiff(const std::string& path, const _ImgStruct& im) {
  _ImgWriteBuf wb;
  if (!PsetWriteBuf(&wb, &im)) return false;
  return TiffWriteImage(path.c_str(), &wb) > 0;
}

inline bool WriteJpeg(const std::string& path, const _ImgStruct& im, int quality) {
  _ImgWriteBuf wb;
  if (!PsetWriteBuf(&wb, &im)) return false;
  wb.info.quality = quality;
  wb.info.flags |= IIFquality;
  return JPEGwriteImage(path.c_str(), &wb) > 0;
}

// Adds the TIFF file dir/name to the maker with a record carrying the nominal factor and,
// when positive, exposure time and aperture.
inline bool AddExposure(PHDImageMaker* mk, const ScratchDir& dir, const std::string& name,
                        float stonits, float exptime = 0, float aperture = 0,
                        bool withStoNits = true) {
  PCacheImage* pci = mk->NewCacheImage();
  if (pci == nullptr) return false;
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFfile, name.c_str());
  r.SetField(PDBFlocation, dir.Dir().c_str());
  if (withStoNits) r.SetField(PDBFstonits, stonits);
  if (exptime > 0) r.SetField(PDBFexptime, exptime);
  if (aperture > 0) r.SetField(PDBFaperture, aperture);
  r.SetField(PDBFmake, "Corvid");
  r.SetField(PDBFmodel, "K1");
  return pci->SetImage(r, false);
}

// A series of n exposures `stops` stops apart (brightest first); true multipliers are off from
// the nominal ones by up to `err` (deterministic pattern).
struct Series {
  std::vector<double> mult;    // true multipliers
  std::vector<float> nominal;  // nominal sample-to-nits factors (1 / nominal multiplier)
};

inline Series WriteSeries(const ScratchDir& dir, const Scene& s, const Camera& cam, int n,
                          double stops, double err, double sigma, double top, PHDImageMaker* mk) {
  Series ser;
  static const double off[] = {0.0, 0.03, -0.025, 0.02, -0.03, 0.01, -0.015};
  for (int i = 0; i < n; i++) {
    const double nominal = top * std::pow(2.0, -stops * i);
    const double m = nominal * (1.0 + err * off[i % 7] / 0.03);
    ser.mult.push_back(m);
    ser.nominal.push_back(static_cast<float>(1.0 / nominal));
    _ImgStruct im = Expose(s, cam, m, sigma, 1000 + i);
    const std::string name = "e" + std::to_string(i) + ".tif";
    EXPECT_TRUE(WriteTiff(dir.Path(name), im));
    PfreeImage(&im);
    if (mk != nullptr) {
      EXPECT_TRUE(AddExposure(mk, dir, name, ser.nominal.back()));
    }
  }
  return ser;
}

inline double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5));
  std::nth_element(v.begin(), v.begin() + i, v.end());
  return v[i];
}

}  // namespace hdrtest
