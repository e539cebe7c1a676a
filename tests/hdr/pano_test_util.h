// Helpers of the panorama tests: a textured float picture, members cut from it and written
// as TIFF files with photo records that find them again.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "catalog/pdbase.h"
#include "catalog/photo_test_util.h"
#include "formats/tiffimg.h"
#include "hdr/ppano.h"
#include "image/corvane.h"

namespace panotest {

inline float* Px(const _ImgStruct& im, int x, int y) {
  return reinterpret_cast<float*>(im.img + static_cast<ptrdiff_t>(y) * im.rowsize) +
         3 * static_cast<ptrdiff_t>(x);
}

inline _ImgStruct NewFloat(int w, int h) {
  _ImgStruct im{};
  im.xres = w;
  im.yres = h;
  im.csp = &ICS_RGB709;
  EXPECT_TRUE(PnewImage(&im, 0));
  return im;
}

// Smooth random texture in two octaves (bilinear over grids of 24 and 6 pixels), 0.05..1.
inline _ImgStruct Texture(int w, int h, uint32_t seed) {
  _ImgStruct im = NewFloat(w, h);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0, 1);
  const int g[2] = {24, 6};
  std::vector<float> grid[2];
  int gw[2];
  for (int o = 0; o < 2; o++) {
    gw[o] = w / g[o] + 2;
    grid[o].resize(static_cast<size_t>(gw[o]) * (h / g[o] + 2) * 3);
    for (float& v : grid[o]) v = u(rng);
  }
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int c = 0; c < 3; c++) {
        float v = 0.05f;
        for (int o = 0; o < 2; o++) {
          const float fx = float(x) / g[o], fy = float(y) / g[o];
          const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
          const float tx = fx - ix, ty = fy - iy;
          auto at = [&](int i, int j) {
            return grid[o][3 * (static_cast<size_t>(j) * gw[o] + i) + c];
          };
          const float s = (1 - tx) * (1 - ty) * at(ix, iy) + tx * (1 - ty) * at(ix + 1, iy) +
                          (1 - tx) * ty * at(ix, iy + 1) + tx * ty * at(ix + 1, iy + 1);
          v += (o == 0 ? 0.55f : 0.4f) * s;
        }
        Px(im, x, y)[c] = v;
      }
  return im;
}

inline _ImgStruct Flat(int w, int h, float v) {
  _ImgStruct im = NewFloat(w, h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < 3 * w; x++) Px(im, 0, y)[x] = v;
  return im;
}

// The part of src at (x, y) of w x h, times gain.
inline _ImgStruct Cut(const _ImgStruct& src, int x, int y, int w, int h, float gain = 1.f) {
  _ImgStruct im = NewFloat(w, h);
  for (int j = 0; j < h; j++)
    for (int i = 0; i < 3 * w; i++) Px(im, 0, j)[i] = Px(src, x, y + j)[i] * gain;
  return im;
}

// Writes im as dir/name and returns a photo record of it (identity, size, optional factor).
inline DBRecord WriteMember(const phototest::ScratchDir& dir, const std::string& name,
                            const _ImgStruct& im, float stonits = -1.f) {
  phototest::LoadReaders();
  PaddIReaderI(&IRInterfaceTIFF);
  const std::string path = dir.Path(name);
  _ImgWriteBuf wb;
  EXPECT_TRUE(PsetWriteBuf(&wb, &im));
  EXPECT_GT(TiffWriteImage(path.c_str(), &wb), 0);
  struct stat st {};
  stat(path.c_str(), &st);
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFfile, name.c_str());
  r.SetField(PDBFlocation, dir.Dir().c_str());
  r.SetField(PDBFnbytes, static_cast<long>(st.st_size));
  r.SetField(PDBFhashval, static_cast<long>(std::hash<std::string>()(name) & 0x7fffffff));
  r.SetField(PDBFxsize, im.xres);
  r.SetField(PDBFysize, im.yres);
  if (stonits > 0) r.SetField(PDBFstonits, stonits);
  return r;
}

// A record with identity and size only (no file).
inline DBRecord Record(const std::string& name, int w, int h) {
  DBRecord r(&PDBFInfo);
  r.SetField(PDBFfile, name.c_str());
  r.SetField(PDBFlocation, "/nowhere");
  r.SetField(PDBFnbytes, 1000L);
  r.SetField(PDBFhashval, static_cast<long>(std::hash<std::string>()(name) & 0x7fffffff));
  r.SetField(PDBFxsize, w);
  r.SetField(PDBFysize, h);
  return r;
}

// Stores link triples into a member directly.
inline void SetLinks(PPanorama* p, int m, std::vector<long> v) {
  p->irl[m].SetField(p->linkID, v.data(), static_cast<int>(v.size()));
}

// PSNR in dB of two float RGB images with peak 1, and whether every sample is finite.
inline double PsnrF(const _ImgStruct& a, const _ImgStruct& b, bool* finite) {
  double se = 0;
  *finite = true;
  for (int y = 0; y < a.yres; y++)
    for (int i = 0; i < 3 * a.xres; i++) {
      const double va = Px(a, 0, y)[i], vb = Px(b, 0, y)[i];
      if (!std::isfinite(va)) *finite = false;
      se += (va - vb) * (va - vb);
    }
  const double mse = se / (3.0 * a.xres * a.yres);
  return mse <= 0 ? 99.0 : 10 * std::log10(1.0 / mse);
}

}  // namespace panotest
