// Image buffers: allocation under the memory budget, sub-image views sharing one
// reference-counted block, clearing and the small geometric helpers.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "image/pimage.h"
#include "image/pimagepriv.h"
#include "support/cache.h"
#include "support/dmessage.h"

bool PimgPrivateCS(const _ImgStruct* img) {
  if (img->mbase == nullptr || img->csp == nullptr || img->csp->cstatic != 0) return false;
  return static_cast<const void*>(img->csp) == MobjMem(img->mbase);
}

int PnewImage(_ImgStruct* img, double aspect) {
  if (img == nullptr || img->xres < 1 || img->yres < 1 || img->csp == nullptr) return 0;
  const int psize = PpixelSize(img->csp);
  if (psize <= 0) {
    DMESSAGE(DMCparameter, "Illegal color space");
    return 0;
  }
  if (aspect > 0.01) {
    if (img->yres < aspect * img->xres) {
      const double w = img->yres / aspect + 0.5;
      if (w + 1.0 < img->xres) img->xres = w >= 1.0 ? static_cast<int32_t>(w) : 1;
    } else {
      const double h = aspect * img->xres + 0.5;
      if (h + 1.0 < img->yres) img->yres = h >= 1.0 ? static_cast<int32_t>(h) : 1;
    }
  }
  const size_t rowbytes = static_cast<size_t>(img->xres) * static_cast<size_t>(psize);
  if (img->img != nullptr) {
    const size_t have = img->rowsize < 0 ? 0u - static_cast<size_t>(int64_t(img->rowsize))
                                         : static_cast<size_t>(img->rowsize);
    return have >= rowbytes;
  }
  // Sizes are computed in size_t: a row must fit the 32-bit row size and the whole block
  // the address space, else the request is refused rather than allocated short.
  const size_t extra = img->csp->cstatic ? 0 : PIMG_CSSLOT;
  if (rowbytes > static_cast<size_t>(INT32_MAX) ||
      rowbytes > (SIZE_MAX - extra - MOBJ_HEADER_SIZE) / static_cast<size_t>(img->yres)) {
    DMESSAGE(DMCparameter, "Image too large (%d x %d pixels of %d bytes)", img->xres, img->yres,
             psize);
    return 0;
  }
  const size_t total = extra + rowbytes * static_cast<size_t>(img->yres);
  CacheMakeRoom(total);
  MemObject* mo = MobjAllocReport(total, __FILE__, __LINE__);
  if (mo == nullptr) {
    img->mbase = nullptr;
    return 0;
  }
  uint8_t* mem = static_cast<uint8_t*>(MobjMem(mo));
  if (extra) {
    _ImgColorSpace* cs = reinterpret_cast<_ImgColorSpace*>(mem);
    *cs = *img->csp;
    cs->cstatic = 0;
    img->csp = cs;
  }
  img->rowsize = static_cast<int32_t>(rowbytes);
  img->mbase = mo;
  img->img = mem + extra;
  return 1;
}

void PfreeImage(_ImgStruct* img) {
  if (img == nullptr || img->img == nullptr) return;
  img->img = nullptr;
  if (img->mbase == nullptr) return;
  if (PimgPrivateCS(img)) img->csp = nullptr;
  MemObject* mo = img->mbase;
  img->mbase = nullptr;
  mo->Release();
}

int PlinkSubimage(_ImgStruct* dst, const _ImgStruct* src, const _ImgRect* rect) {
  if (dst == nullptr || src == nullptr || src->img == nullptr || src->csp == nullptr) return 0;
  if (rect == nullptr) {
    if (dst != src) {
      *dst = *src;
      if (dst->mbase != nullptr) dst->mbase->Retain();
    }
    return 1;
  }
  if (rect->xleft >= rect->xright || rect->ytop >= rect->ybottom) return 0;
  if (rect->xleft < 0 || rect->xright > src->xres || rect->ytop < 0 || rect->ybottom > src->yres)
    return 0;
  const int psize = PpixelSize(src->csp);
  uint8_t* start = src->img + static_cast<ptrdiff_t>(rect->xleft) * psize +
                   static_cast<ptrdiff_t>(rect->ytop) * src->rowsize;
  if (dst != src) {
    dst->csp = src->csp;
    dst->rowsize = src->rowsize;
    dst->mbase = src->mbase;
    if (dst->mbase != nullptr) dst->mbase->Retain();
  }
  dst->img = start;
  dst->xres = rect->xright - rect->xleft;
  dst->yres = rect->ybottom - rect->ytop;
  return 1;
}

int PlinkCoverage(_ImgStruct* dsub, _ImgStruct* ssub, const _ImgStruct* dst, const _ImgStruct* src,
                  int x, int y) {
  if (dsub == nullptr || ssub == nullptr || dst == nullptr || src == nullptr) return 0;
  // Placed rectangle in 64 bits, clipped to the destination.
  int64_t l = x, r = int64_t(x) + src->xres, t = y, b = int64_t(y) + src->yres;
  if (l < 0) l = 0;
  if (t < 0) t = 0;
  if (r > dst->xres) r = dst->xres;
  if (b > dst->yres) b = dst->yres;
  if (l >= r || t >= b) return 0;
  const _ImgRect drect = {int32_t(l), int32_t(r), int32_t(t), int32_t(b)};
  const _ImgRect srect = {int32_t(l - x), int32_t(r - x), int32_t(t - y), int32_t(b - y)};
  if (!PlinkSubimage(ssub, src, &srect)) return 0;
  if (!PlinkSubimage(dsub, dst, &drect)) {
    PfreeImage(ssub);
    return 0;
  }
  return 1;
}

int PclearImage(_ImgStruct* img, const void* pixel) {
  if (img == nullptr || img->img == nullptr || img->csp == nullptr) return 0;
  if (img->xres < 1 || img->yres < 1) return 1;
  const int psize = PpixelSize(img->csp);
  const size_t w = size_t(img->xres) * psize;
  const ptrdiff_t rs = img->rowsize;
  if (pixel == nullptr) {
    if (size_t(rs < 0 ? -rs : rs) == w) {
      uint8_t* lowest = rs < 0 ? img->img + rs * ptrdiff_t(img->yres - 1) : img->img;
      std::memset(lowest, 0, w * size_t(img->yres));
    } else {
      for (int y = 0; y < img->yres; y++) std::memset(img->img + rs * y, 0, w);
    }
    return 1;
  }
  uint8_t* row0 = img->img;
  for (int x = 0; x < img->xres; x++) std::memcpy(row0 + size_t(x) * psize, pixel, psize);
  for (int y = 1; y < img->yres; y++) std::memcpy(img->img + rs * y, row0, w);
  return 1;
}

int PclearRect(_ImgStruct* img, const _ImgRect* rect, const void* pixel) {
  _ImgStruct sub = {};
  if (!PlinkSubimage(&sub, img, rect)) return 0;
  const int ok = PclearImage(&sub, pixel);
  PfreeImage(&sub);
  return ok;
}

int PclipRect(_ImgRect* rect, const _ImgRect* clip) {
  if (rect == nullptr || clip == nullptr) return 0;
  if (rect == clip) return 1;
  if (rect->xleft < clip->xleft) rect->xleft = clip->xleft;
  if (rect->xright > clip->xright) rect->xright = clip->xright;
  if (rect->ytop < clip->ytop) rect->ytop = clip->ytop;
  if (rect->ybottom > clip->ybottom) rect->ybottom = clip->ybottom;
  return rect->xleft < rect->xright && rect->ytop < rect->ybottom;
}

namespace {

// An image's memory as the lowest row's address, a positive row step and the row width.
struct MemSpan {
  uintptr_t lo;  // first byte of the lowest row
  uintptr_t hi;  // one past the last byte of the highest row
  uintptr_t step;
  uintptr_t width;
};

MemSpan SpanOf(const _ImgStruct* im) {
  MemSpan s;
  const int64_t rs = im->rowsize;
  s.step = uintptr_t(rs < 0 ? -rs : rs);
  s.width = uintptr_t(im->xres) * uintptr_t(PpixelSize(im->csp));
  const uintptr_t start = reinterpret_cast<uintptr_t>(im->img);
  const uintptr_t rows = im->yres > 0 ? uintptr_t(im->yres - 1) : 0;
  s.lo = rs < 0 ? start - rows * s.step : start;
  s.hi = s.lo + rows * s.step + s.width;
  return s;
}

}  // namespace

int PimagesOverlap(const _ImgStruct* a, const _ImgStruct* b) {
  if (a == nullptr || b == nullptr || a->img == nullptr || b->img == nullptr || a->csp == nullptr ||
      b->csp == nullptr)
    return 0;
  if (a->img == b->img) return 1;
  MemSpan sa = SpanOf(a), sb = SpanOf(b);
  if (sa.hi <= sb.lo || sb.hi <= sa.lo) return 0;
  // With one row step and rows no wider than it, the rows of both lie on one grid of the
  // memory: test exactly whether any row of one meets a row of the other.
  if (sa.step != sb.step || sa.step == 0 || sa.width > sa.step || sb.width > sb.step) return 1;
  if (sb.lo < sa.lo) std::swap(sa, sb);
  const uintptr_t R = sa.step;
  const uintptr_t d = sb.lo - sa.lo;
  const int64_t q = int64_t(d / R), r = int64_t(d % R);
  const int64_t ha = int64_t((sa.hi - sa.lo - sa.width) / R) + 1;
  const int64_t hb = int64_t((sb.hi - sb.lo - sb.width) / R) + 1;
  // Row j of b starts r bytes into row q + j of a's grid and may run into the next.
  if (r < int64_t(sa.width) && q < ha) return 1;
  if (r + int64_t(sb.width) > int64_t(R) && q + 1 < ha && hb > 0) return 1;
  return 0;
}

int PpixPos(int* x, int* y, const _ImgStruct* img, const void* addr) {
  if (x == nullptr || y == nullptr || img == nullptr || img->img == nullptr ||
      img->csp == nullptr || img->rowsize == 0)
    return 0;
  const int psize = PpixelSize(img->csp);
  const int64_t off = reinterpret_cast<intptr_t>(addr) - reinterpret_cast<intptr_t>(img->img);
  const int64_t R = img->rowsize < 0 ? -int64_t(img->rowsize) : img->rowsize;
  int64_t fl = off / R;
  if (off % R != 0 && off < 0) fl--;  // floor division
  const int64_t row = img->rowsize > 0 ? fl : -fl;
  const int64_t rem = off - row * int64_t(img->rowsize);
  const int64_t col = rem / psize;
  *x = int(col);
  *y = int(row > INT_MAX ? INT_MAX : row < INT_MIN ? INT_MIN : row);
  return row >= 0 && row < img->yres && col < img->xres;
}

void PgetRGB24fromY8(uint8_t* dst, const uint8_t* src, int n) {
  if (dst == nullptr || src == nullptr) return;
  for (int i = n - 1; i >= 0; i--) {
    const uint8_t v = src[i];
    dst[3 * size_t(i)] = dst[3 * size_t(i) + 1] = dst[3 * size_t(i) + 2] = v;
  }
}

int PabsFrame(int* frame, int nframes, ImgFrameType frameType, int offset, int whence) {
  if (frame == nullptr || nframes < 1) return 0;
  const int64_t target = whence == 0 ? int64_t(offset) : int64_t(*frame) + offset;
  if (target == *frame) return 1;
  const int64_t n = nframes;
  if (whence == 2 && frameType == IRFloop) {
    int64_t f = target % n;
    if (f < 0) f += n;
    *frame = int(f);
    return 1;
  }
  if (whence == 2 && frameType == IRFbackforth) {
    const int64_t a = (target < 0 ? -target : target) % (2 * n);
    // Past the last frame the sequence runs backwards to the first.
    *frame = int(a < n ? a : 2 * n - 1 - a);
    return 1;
  }
  if (target < 0) {
    *frame = 0;
    return 0;
  }
  if (target >= n) {
    *frame = nframes - 1;
    return 0;
  }
  *frame = int(target);
  return 1;
}
