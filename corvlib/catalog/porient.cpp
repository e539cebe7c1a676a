// Orientation of photos and images.
#include "catalog/porient.h"

#include <cstring>

#include "catalog/pfieldset.h"
#include "support/abitmap.h"
#include "support/dmessage.h"
#include "image/pconvert.h"

void POrient::SetRecord(const DBRecord* r) {
  *this = POrient();
  if (r == nullptr || r->l == nullptr) return;
  long v;
  if (PDBgetInt(*r, PDBFxsize, &v)) xres = static_cast<int32_t>(v);
  if (PDBgetInt(*r, PDBFysize, &v)) yres = static_cast<int32_t>(v);
  if (PDBgetInt(*r, PDBForient, &v)) RotateCW(static_cast<int>(v));
  if (PDBgetInt(*r, PDBFflip, &v)) {
    if (v & 1) HFlip();
    if (v & 2) VFlip();
  }
}

void POrient::HFlip() {
  if (xyswap)
    vflip = !vflip;
  else
    hflip = !hflip;
}

void POrient::VFlip() {
  if (xyswap)
    hflip = !hflip;
  else
    vflip = !vflip;
}

void POrient::RotateCW(int degrees) {
  int d = degrees % 360;  // no negation: safe for INT_MIN
  if (d < 0) d += 360;
  if (d <= 45 || d >= 305) return;
  if (d <= 135) {
    VFlip();
    xyswap = !xyswap;
  } else if (d <= 225) {
    hflip = !hflip;
    vflip = !vflip;
  } else {
    HFlip();
    xyswap = !xyswap;
  }
}

void POrient::MapToCorrect(int* cx, int* cy, int x, int y) const {
  if (hflip) x = xres - 1 - x;
  if (vflip) y = yres - 1 - y;
  if (xyswap) {
    *cx = y;
    *cy = x;
  } else {
    *cx = x;
    *cy = y;
  }
}

int POrient::ExifOrientation() const {
  static const int kExif[8] = {1, 2, 4, 3, 5, 8, 6, 7};
  return kExif[(xyswap ? 4 : 0) + (vflip ? 2 : 0) + (hflip ? 1 : 0)];
}

namespace {

// Copies src (xres x yres) oriented by o into dst, which has the oriented size and pixels.
void OrientCopy(const POrient& o, _ImgStruct* dst, const _ImgStruct* src, int psiz) {
  if (o.vflip && !o.hflip && !o.xyswap) {
    const size_t row = static_cast<size_t>(src->xres) * static_cast<size_t>(psiz);
    for (int y = 0; y < src->yres; y++)
      memcpy(dst->img + static_cast<ptrdiff_t>(o.yres - 1 - y) * dst->rowsize,
             src->img + static_cast<ptrdiff_t>(y) * src->rowsize, row);
    return;
  }
  // Along a source row the destination moves by a fixed step: one pixel across, or one row
  // down when the axes are exchanged, backwards when mirrored left to right.
  ptrdiff_t step = o.xyswap ? dst->rowsize : psiz;
  if (o.hflip) step = -step;
  for (int y = 0; y < src->yres; y++) {
    int cx, cy;
    o.MapToCorrect(&cx, &cy, 0, y);
    uint8_t* dp =
        dst->img + static_cast<ptrdiff_t>(cy) * dst->rowsize + static_cast<ptrdiff_t>(cx) * psiz;
    const uint8_t* sp = src->img + static_cast<ptrdiff_t>(y) * src->rowsize;
    for (int x = 0; x < src->xres; x++, sp += psiz, dp += step) memcpy(dp, sp, psiz);
  }
}

}  // namespace

bool POrient::OrientImage(_ImgStruct* dst, const _ImgStruct* src) const {
  if (dst == nullptr || dst->csp == nullptr) return false;
  if (src != nullptr && src->csp == nullptr) return false;
  const _ImgStruct* s = src != nullptr ? src : dst;
  if (s->xres != xres || s->yres != yres || s->img == nullptr) {
    DMESSAGE(DMCparameter, "Mismatched source resolution in OrientImage");
    return false;
  }
  const int psiz = PpixelSize(s->csp);
  if (psiz <= 0) return false;
  if (src != nullptr && src != dst) {
    if (dst->img != nullptr) {
      if (!PmatchColorSpace(dst->csp, src->csp, 31)) {
        DMESSAGE(DMCparameter, "Color space mismatch in OrientImage");
        PfreeImage(dst);
        return false;
      }
      if (dst->xres != GetWidth() || dst->yres != GetHeight()) {
        DMESSAGE(DMCparameter, "Size mismatch in OrientImage");
        PfreeImage(dst);
        return false;
      }
      if (PimagesOverlap(dst, src)) {
        DMESSAGE(DMCparameter, "Cannot orient linked images in place");
        return false;
      }
    } else {
      dst->csp = src->csp;
      dst->xres = GetWidth();
      dst->yres = GetHeight();
    }
    if (IsNoop()) return PmapImage(dst, src, 1.0) != 0;
    if (!PnewImage(dst, 0)) return false;
    OrientCopy(*this, dst, src, psiz);
    return true;
  }
  // In place.
  if (IsNoop()) return true;
  const int ow = GetWidth(), oh = GetHeight();
  if (dst->rowsize != xres * psiz) {
    // A sub-image of a larger image: orient through a separate copy. The parent is written
    // only inside the sub-image, so a turned sub-image gets memory of its own.
    _ImgStruct tmp = {};
    tmp.csp = dst->csp;
    if (!OrientImage(&tmp, dst)) return false;
    bool ok;
    if (ow == xres && oh == yres) {
      ok = PmapImage(dst, &tmp, 1.0) != 0;
    } else {
      DMESSAGE(DMCwarning, "Reorienting subimage");
      PfreeImage(dst);
      *dst = tmp;
      tmp.mbase = nullptr;
      tmp.img = nullptr;
      ok = true;
    }
    PfreeImage(&tmp);
    return ok;
  }
  uint8_t ptmp[48];
  if (!DMASSERT(static_cast<int>(sizeof(ptmp)) >= psiz)) return false;
  const size_t n = static_cast<size_t>(xres) * static_cast<size_t>(yres);
  ABitMap done(static_cast<uint32_t>(n), false);
  if (done.Length() != n) {
    DMESSAGE(DMCmemory, "Cannot allocate orientation map");
    return false;
  }
  uint8_t* base = dst->img;
  // The original (linear) index of the pixel that belongs at oriented index p.
  auto source = [&](size_t p) -> size_t {
    const int cx = static_cast<int>(p % static_cast<size_t>(ow));
    const int cy = static_cast<int>(p / static_cast<size_t>(ow));
    int x = xyswap ? cy : cx;
    int y = xyswap ? cx : cy;
    if (hflip) x = xres - 1 - x;
    if (vflip) y = yres - 1 - y;
    return static_cast<size_t>(y) * static_cast<size_t>(xres) + static_cast<size_t>(x);
  };
  uint32_t start = 0;
  while ((start = done.Find(start, false)) < n) {
    done.Set(start);
    memcpy(ptmp, base + start * psiz, psiz);
    size_t cur = start;
    for (;;) {
      const size_t from = source(cur);
      if (done.Check(static_cast<uint32_t>(from))) {
        memcpy(base + cur * psiz, ptmp, psiz);
        break;
      }
      done.Set(static_cast<uint32_t>(from));
      memcpy(base + cur * psiz, base + from * psiz, psiz);
      cur = from;
    }
    start++;
  }
  dst->xres = ow;
  dst->yres = oh;
  dst->rowsize = ow * psiz;
  return true;
}
