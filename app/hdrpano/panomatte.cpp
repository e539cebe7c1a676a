// Trimming a panorama's coverage and filling its matte.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/hdrpano/makepano.h"
#include "image/pconvert.h"
#include "support/dmessage.h"

int TrimCornerRad = 50;
bool (*PpanoGoOn)() = nullptr;

namespace {

// Asked every so many steps of the loops below (each step a few thousand bit tests at most).
constexpr uint32_t kGoOnEvery = 1u << 14;
bool GoOn(uint32_t step) {
  return (step & (kGoOnEvery - 1)) != 0 || PpanoGoOn == nullptr || PpanoGoOn();
}

int Radius() {
  return TrimCornerRad < 1 ? 1 : TrimCornerRad;
}

// Copies one pixel of size psize; the usual sizes get fixed-size copies.
inline void CopyPixel(uint8_t* dst, const uint8_t* src, int psize) {
  switch (psize) {
    case 1:
      *dst = *src;
      break;
    case 3:
      memcpy(dst, src, 3);
      break;
    case 4:
      memcpy(dst, src, 4);
      break;
    case 6:
      memcpy(dst, src, 6);
      break;
    case 12:
      memcpy(dst, src, 12);
      break;
    default:
      memcpy(dst, src, static_cast<size_t>(psize));
  }
}

inline uint8_t* PixelAt(const _ImgStruct* img, int x, int y, int psize) {
  return img->img + static_cast<ptrdiff_t>(y) * img->rowsize + static_cast<ptrdiff_t>(x) * psize;
}

bool SameSize(const _ImgStruct* img, const ABitMap2& cover) {
  if (img != nullptr && img->img != nullptr && cover.Width() == img->xres &&
      cover.Height() == img->yres)
    return true;
  DMESSAGE(DMCparameter, "Panorama coverage does not match its image");
  return false;
}

}  // namespace

// ---- Trimming.

bool trimTest(int* d, int i) {
  const int r = Radius();
  if (d == nullptr || i < 0 || i > 4 * r) return false;
  if (i <= r) {
    d[0] = i, d[1] = i;
  } else if (i <= 2 * r) {
    d[0] = i - r, d[1] = -(i - r);
  } else if (i <= 3 * r) {
    d[0] = -(i - 2 * r), d[1] = i - 2 * r;
  } else {
    d[0] = -(i - 3 * r), d[1] = -(i - 3 * r);
  }
  return true;
}

bool doTrim(ABitMap2* map, const ABitMap2& orig, int x, int y) {
  if (map == nullptr) return false;
  const int r = Radius();
  // The pixel passes once more than half of the 4R + 1 probe points are covered, and is
  // cleared once that can no longer happen: the count stops as soon as either is known.
  const int pass = 2 * r + 1;
  int count = orig.Check(x, y) ? 1 : 0;
  int left = 4 * r;
  static const int kArm[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
  for (const auto& arm : kArm)
    for (int k = 1; k <= r; ++k, --left) {
      if (count >= pass) return false;
      if (count + left < pass) {
        map->Reset(x, y);
        return true;
      }
      count += orig.Check(x + arm[0] * k, y + arm[1] * k) ? 1 : 0;
    }
  if (count >= pass) return false;
  map->Reset(x, y);
  return true;
}

bool inImgCorner(int x, int y, int w, int h) {
  const int r = Radius();
  if (w > h) return x <= r || x >= w - r;
  return y <= r || y >= h - r;
}

void trimPano(ABitMap2* map) {
  if (map == nullptr || map->Width() < 1 || map->Height() < 1) return;
  const int w = map->Width(), h = map->Height();
  const ABitMap2 orig(*map);
  // A run reaching a row's end stops there, so no run goes on into the next row.
  for (int y = 0; y < h; ++y)
    if (map->Check(0, y)) map->Reset(w - 1, y);
  const uint32_t n = map->Length();
  bool seekSet = true;
  for (uint32_t p = 0, step = 1; p < n; ++step) {
    if (!GoOn(step)) return;
    const uint32_t q = static_cast<const ABitMap&>(*map).Find(p, seekSet);
    if (q >= n) break;
    const int x = static_cast<int>(q % static_cast<uint32_t>(w));
    const int y = static_cast<int>(q / static_cast<uint32_t>(w));
    p = q + 1;
    if (seekSet) {  // a run's start: eaten while its pixels are thinly covered
      if (inImgCorner(x, y, w, h) || !doTrim(map, orig, x, y)) seekSet = false;
      continue;
    }
    if (x == 0) continue;  // the end of the row above: passed over
    seekSet = true;        // a run's end: eaten leftwards
    for (int xl = x - 1; !inImgCorner(xl, y, w, h) && doTrim(map, orig, xl, y);)
      if (--xl <= 0) break;
  }
  // The rows' last pixels cleared above only ended the runs: a covered one whose run reaches
  // it is kept.
  for (int y = 0; y < h; ++y)
    if (orig.Check(0, y) && orig.Check(w - 1, y) && (w == 1 || map->Check(w - 2, y)))
      map->ClearRect(w - 1, y, 1, 1, true);
}

// ---- The matte.

unsigned char* getMatteColor(_ImgStruct* img, const ABitMap2& cover, int index) {
  static unsigned char pixel[64];
  if (img == nullptr || img->csp == nullptr) return nullptr;
  if (index < 1 || index > 6) {
    DMESSAGE(DMCparameter, "Illegal matte index (%d)", index);
    return nullptr;
  }
  const bool grey = index == 1 || index == 2 || index == 6;
  const _ImgColorSpace* work = grey ? &ICS_Y : &ICS_RGB709;
  const int fplen = ImgPixelLen[work->format];
  if (!DMASSERT_AS(fplen <= 3, "fplen <= 3")) return nullptr;
  const int psize = PpixelSize(img->csp);
  if (psize <= 0 || psize > static_cast<int>(sizeof pixel)) {
    DMESSAGE(DMCparameter, "Illegal color space");
    return nullptr;
  }
  const bool isFloat = img->csp->dtype == IDTfloat;
  float col[3] = {0.f, 0.f, 0.f};
  if (index == 1 && !isFloat) {
    col[0] = 0.f;
  } else if (index == 6 && !isFloat) {
    col[0] = 1.f;
  } else {
    if (!SameSize(img, cover)) return nullptr;
    // A sample of at most 10000 covered pixels, spread over all of them; an empty coverage
    // leaves the mean black.
    const uint32_t n = cover.SumTotal();
    const int side = static_cast<int>(std::sqrt(static_cast<double>(std::min<uint32_t>(n, 10000))));
    if (side > 0) {
      _ImgStruct samp = {side, side, img->csp, 0, nullptr, nullptr};
      if (!PnewImage(&samp, 0)) return nullptr;
      const long want = static_cast<long>(side) * side;
      long taken = 0;
      double remaining = n;
      const uint32_t w = static_cast<uint32_t>(img->xres);
      const ABitMap& bits = cover;
      for (uint32_t i = 0; taken < want && bits.Find(&i, true); ++i, remaining -= 1) {
        if (!GoOn(i + 1)) {
          PfreeImage(&samp);
          return nullptr;
        }
        if (static_cast<long>(drand48() * remaining) > want - taken) continue;
        CopyPixel(
            PixelAt(&samp, static_cast<int>(taken % side), static_cast<int>(taken / side), psize),
            PixelAt(img, static_cast<int>(i % w), static_cast<int>(i / w), psize), psize);
        ++taken;
      }
      _ImgStruct lin = {side, side, work, 0, nullptr, nullptr};
      const int ok = PmapImage(&lin, &samp, 1.0);
      PfreeImage(&samp);
      if (!ok) return nullptr;
      double sum[3] = {0, 0, 0};
      for (long k = 0; k < taken; ++k) {
        const float* v = reinterpret_cast<const float*>(
            PixelAt(&lin, static_cast<int>(k % side), static_cast<int>(k / side), fplen * 4));
        for (int c = 0; c < fplen; ++c) sum[c] += v[c];
      }
      PfreeImage(&lin);
      if (taken > 0)
        for (int c = 0; c < 3; ++c) col[c] = static_cast<float>(sum[grey ? 0 : c] / taken);
    }
    switch (index) {
      case 1:
        col[0] *= 1e-8f;
        break;
      case 4: {  // (green, blue, red)
        const float r = col[0];
        col[0] = col[1], col[1] = col[2], col[2] = r;
        break;
      }
      case 5: {  // (blue, red, green)
        const float b = col[2];
        col[2] = col[1], col[1] = col[0], col[0] = b;
        break;
      }
      case 6:
        col[0] *= 5.5555553f;
        break;
      default:
        break;
    }
  }
  _ImgStruct src = {1, 1, work, fplen * 4, nullptr, reinterpret_cast<uint8_t*>(col)};
  _ImgStruct dst = {1, 1, img->csp, psize, nullptr, pixel};
  if (!PmapImage(&dst, &src, 1.0)) return nullptr;
  return pixel;
}

void fillMatte(_ImgStruct* img, const ABitMap2& cover, unsigned char* color, bool solid) {
  if (color == nullptr || img == nullptr || img->csp == nullptr || !SameSize(img, cover)) return;
  const int psize = PpixelSize(img->csp);
  if (psize <= 0) return;
  const int w = img->xres, h = img->yres;
  const int maxr = std::min(w, h);
  const ABitMap& bits = cover;
  int r = std::min(Radius(), maxr);
  // The uncovered runs in row order; a run may go on into the next row.
  const uint32_t n = bits.Length();
  for (uint32_t i = bits.Find(0u, false); i < n; i = bits.Find(i, false)) {
    const uint32_t stop = bits.Find(i, true);
    int x = static_cast<int>(i % static_cast<uint32_t>(w));
    int y = static_cast<int>(i / static_cast<uint32_t>(w));
    for (; i < stop; ++i) {
      if (!GoOn(i + 1)) return;
      uint8_t* dst = PixelAt(img, x, y, psize);
      if (solid) {
        CopyPixel(dst, color, psize);
      } else {
        // Up to 24 tries at a covered pixel nearby, the search widening after each miss; the
        // radius carries over to the next pixel, narrowed after a hit.
        const uint8_t* from = color;
        for (int t = 0; t < 24; ++t) {
          const int px = x + static_cast<int>(random() % (2 * r)) - r;
          const int py = y + static_cast<int>(random() % (2 * r)) - r;
          if (px >= 0 && py >= 0 && px < w && py < h && cover.Check(px, py)) {
            from = PixelAt(img, px, py, psize);
            break;
          }
          r = std::min(r + (r >> 4) + 2, maxr);
        }
        CopyPixel(dst, from, psize);
        if (from != color && r > 9) r >>= 1;
      }
      if (++x == w) x = 0, ++y;
    }
  }
}

void addMatteBorder(_ImgStruct* canvas, const _ImgRect& rect, unsigned char* color) {
  if (canvas == nullptr || canvas->img == nullptr || color == nullptr) return;
  const int w = canvas->xres, h = canvas->yres;
  const _ImgRect whole = {0, w, 0, h};
  const _ImgRect bands[4] = {{0, w, 0, rect.ytop},
                             {0, w, rect.ybottom, h},
                             {0, rect.xleft, rect.ytop, rect.ybottom},
                             {rect.xright, w, rect.ytop, rect.ybottom}};
  for (_ImgRect b : bands)
    if (PclipRect(&b, &whole)) PclearRect(canvas, &b, color);
}
