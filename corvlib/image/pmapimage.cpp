// Whole-image conversion and the image operations built on it: copying into a placed
// rectangle, shifting content inside an image and giving an image memory of its own.
#include <cstdlib>
#include <cstring>

#include "image/pconvert.h"
#include "image/pconvkern.h"
#include "image/pimagepriv.h"
#include "support/dmessage.h"

namespace {

size_t AbsRow(int32_t rs) {
  return rs < 0 ? size_t(-int64_t(rs)) : size_t(rs);
}

bool ScaleIsOne(double scale) {
  return scale >= 0.999 && scale <= 1.001;
}

// Whether copying or converting src into dst row by row could read bytes it already wrote,
// whatever the row order. Views with one row step and direction are safe in the right
// order; flipped views and views of different row steps over the same bytes are not.
bool BadOverlap(const _ImgStruct* a, const _ImgStruct* b) {
  if (a->img == b->img) return (a->rowsize < 0) != (b->rowsize < 0) && a->yres > 1;
  if (!PimagesOverlap(a, b)) return false;
  if ((a->rowsize < 0) != (b->rowsize < 0)) return true;
  if (a->rowsize != b->rowsize) return true;
  const uint8_t* as = a->rowsize < 0 ? a->img + ptrdiff_t(a->rowsize) * (a->yres - 1) : a->img;
  const uint8_t* bs = b->rowsize < 0 ? b->img + ptrdiff_t(b->rowsize) * (b->yres - 1) : b->img;
  const uint8_t* ae =
      as + AbsRow(a->rowsize) * size_t(a->yres - 1) + size_t(a->xres) * PpixelSize(a->csp);
  const uint8_t* be =
      bs + AbsRow(b->rowsize) * size_t(b->yres - 1) + size_t(b->xres) * PpixelSize(b->csp);
  return (as < bs && ae > be) || (bs < as && be > ae);
}

// Rows run bottom-up when dst starts after src, or at the same byte with a larger step.
bool BottomUp(const _ImgStruct* dst, const _ImgStruct* src) {
  if (dst->img != src->img) return dst->img > src->img;
  return AbsRow(dst->rowsize) > AbsRow(src->rowsize);
}

void CopyRows(_ImgStruct* dst, const _ImgStruct* src) {
  if (dst->img == src->img && dst->rowsize == src->rowsize) return;
  const size_t w = size_t(src->xres) * PpixelSize(src->csp);
  const bool up = BottomUp(dst, src);
  for (int k = 0; k < src->yres; k++) {
    const int y = up ? src->yres - 1 - k : k;
    std::memmove(dst->img + ptrdiff_t(dst->rowsize) * y, src->img + ptrdiff_t(src->rowsize) * y, w);
  }
}

bool ForwardSafeRow(const uint8_t* d, const uint8_t* s, int n, const _ImgColorConv* cv) {
  const uint8_t* dend = d + size_t(n) * cv->dpsize;
  const uint8_t* send = s + size_t(n) * cv->spsize;
  if (dend <= s || send <= d) return true;
  return d <= s && cv->dpsize <= cv->spsize;
}

}  // namespace

int PmapRows(_ImgStruct* dst, const _ImgStruct* src, const _ImgColorConv* cv) {
  const int n = src->xres;
  float* buf = static_cast<float*>(std::malloc((size_t(n) + 1) * 3 * sizeof(float)));
  if (buf == nullptr) {
    DMESSAGE(DMCmemory, "Out of memory in convertColor");
    return 0;
  }
  const bool up = BottomUp(dst, src);
  for (int k = 0; k < src->yres; k++) {
    const int y = up ? src->yres - 1 - k : k;
    uint8_t* d = dst->img + ptrdiff_t(dst->rowsize) * y;
    const uint8_t* s = src->img + ptrdiff_t(src->rowsize) * y;
    if (cv->fast == PCFnone || !ForwardSafeRow(d, s, n, cv) || !PconvertRunFast(d, s, n, cv))
      PconvertRunPlain(d, s, n, cv, buf);
  }
  std::free(buf);
  return 1;
}

int PmapImage(_ImgStruct* dst, const _ImgStruct* src, double scale) {
  if (dst == nullptr || src == nullptr || src->img == nullptr || src->csp == nullptr ||
      dst->csp == nullptr)
    return 0;
  bool gave = false;
  if (dst->img != nullptr) {
    if (dst->xres != src->xres || dst->yres != src->yres) {
      DMESSAGE(DMCparameter, "Mismatched image dimensions");
      return 0;
    }
    if (AbsRow(dst->rowsize) < size_t(dst->xres) * PpixelSize(dst->csp)) {
      DMESSAGE(DMCparameter, "New pixel size does not fit");
      return 0;
    }
  } else {
    dst->xres = src->xres;
    dst->yres = src->yres;
    if (!PnewImage(dst, 0.0)) return 0;
    gave = true;
  }
  if (dst->csp->format == IPFn) scale = 1.0;
  if (ScaleIsOne(scale) && PmatchColorSpace(dst->csp, src->csp, 31)) {
    if (BadOverlap(dst, src)) {
      DMESSAGE(DMCparameter, "Bad image overlap for copy");
      if (gave) PfreeImage(dst);
      return 0;
    }
    CopyRows(dst, src);
    return 1;
  }
  const _ImgColorSpace* sc = src->csp;
  const _ImgColorSpace* dc = dst->csp;
  if (PpixelSize(sc) > 0 && PpixelSize(dc) > 0)
    DMESSAGE(DMCtrace, "Transforming %s%s %s to %s%s %s", sc->logorig > 0 ? "log " : "",
             ImgDataTypeName[sc->dtype], ImgPixelFormatName[sc->format],
             dc->logorig > 0 ? "log " : "", ImgDataTypeName[dc->dtype],
             ImgPixelFormatName[dc->format]);
  _ImgColorConv cv;
  if (!setColorConv(&cv, dc, sc, scale)) {
    if (gave) PfreeImage(dst);
    return 0;
  }
  if (BadOverlap(dst, src)) {
    DMESSAGE(DMCparameter, "Bad image overlap for color conversion");
    if (gave) PfreeImage(dst);
    return 0;
  }
  if (!PmapRows(dst, src, &cv)) {
    if (gave) PfreeImage(dst);
    return 0;
  }
  return 1;
}

int PconvertColorSpace(_ImgStruct* img, const _ImgColorSpace* cs, double scale) {
  if (img == nullptr || img->img == nullptr || img->csp == nullptr || cs == nullptr) return 0;
  const bool cs_is_slot =
      img->mbase != nullptr && static_cast<const void*>(cs) == MobjMem(img->mbase);
  if (PmatchColorSpace(img->csp, cs, 31)) {
    if (cs->cstatic || cs_is_slot) img->csp = cs;
    return PmapImage(img, img, scale);
  }
  // Refuse an impossible conversion before touching the image.
  _ImgColorConv cv;
  if (!setColorConv(&cv, cs, img->csp, scale)) return 0;
  const size_t newrow = size_t(img->xres) * PpixelSize(cs);
  const bool shared = img->mbase != nullptr && img->mbase->RetainCount() > 1;
  if (AbsRow(img->rowsize) >= newrow && !shared) {
    const _ImgColorSpace saved = *img->csp;
    _ImgStruct src = *img;
    src.csp = &saved;
    bool inplace = true;
    if (cs->cstatic || cs_is_slot) {
      img->csp = cs;
    } else if (PimgPrivateCS(img)) {
      _ImgColorSpace* slot = static_cast<_ImgColorSpace*>(MobjMem(img->mbase));
      *slot = *cs;
      slot->cstatic = 0;
      img->csp = slot;
    } else {
      inplace = false;  // a static colour space cannot take a transient one's place
    }
    if (inplace) {
      if (PmapRows(img, &src, &cv)) return 1;
      PfreeImage(img);
      return 0;
    }
  }
  _ImgStruct old = *img;
  img->img = nullptr;
  img->mbase = nullptr;
  img->csp = cs;
  const int ok = PmapImage(img, &old, scale);
  PfreeImage(&old);
  return ok;
}

int PconvertImageCB(const _ImgStruct* img, const _ImgColorSpace* cs, double scale,
                    ImgRowCallback callback, void* data) {
  if (img == nullptr || img->img == nullptr || img->csp == nullptr || cs == nullptr ||
      callback == nullptr)
    return 0;
  if (ScaleIsOne(scale) && PmatchColorSpace(img->csp, cs, 31)) {
    for (int y = 0; y < img->yres; y++)
      if (!callback(img->img + ptrdiff_t(img->rowsize) * y, img->xres, y, data)) return 0;
    return 1;
  }
  _ImgColorConv cv;
  if (!setColorConv(&cv, cs, img->csp, scale)) return 0;
  const size_t n = size_t(img->xres);
  uint8_t* row = static_cast<uint8_t*>(std::malloc(n * cv.dpsize + 1));
  float* buf = static_cast<float*>(std::malloc((n + 1) * 3 * sizeof(float)));
  if (row == nullptr || buf == nullptr) {
    std::free(row);
    std::free(buf);
    DMESSAGE(DMCmemory, "Out of memory in PconvertImageCB");
    return 0;
  }
  int ok = 1;
  for (int y = 0; y < img->yres && ok; y++) {
    const uint8_t* s = img->img + ptrdiff_t(img->rowsize) * y;
    if (!PconvertRunFast(row, s, img->xres, &cv)) PconvertRunPlain(row, s, img->xres, &cv, buf);
    ok = callback(row, img->xres, y, data) != 0;
  }
  std::free(row);
  std::free(buf);
  return ok;
}

int PcopyImage(_ImgStruct* dst, const _ImgStruct* src, int x, int y) {
  _ImgStruct dsub = {}, ssub = {};
  if (!PlinkCoverage(&dsub, &ssub, dst, src, x, y)) return 0;
  const int ok = PmapImage(&dsub, &ssub, 1.0);
  PfreeImage(&dsub);
  PfreeImage(&ssub);
  return ok;
}

int PshiftImageCB(_ImgStruct* img, int dx, int dy, ImgShiftCallback callback, void* data) {
  if (img == nullptr || img->img == nullptr || img->csp == nullptr) return 0;
  if (dx == 0 && dy == 0) return 1;
  const int64_t adx = dx < 0 ? -int64_t(dx) : dx, ady = dy < 0 ? -int64_t(dy) : dy;
  if (adx >= img->xres || ady >= img->yres) {
    if (callback != nullptr) {
      const _ImgRect all = {0, img->xres, 0, img->yres};
      callback(img, &all, data);
    }
    return 1;
  }
  const _ImgRect srect = {dx > 0 ? 0 : -dx, dx > 0 ? img->xres - dx : img->xres, dy > 0 ? 0 : -dy,
                          dy > 0 ? img->yres - dy : img->yres};
  const _ImgRect drect = {srect.xleft + dx, srect.xright + dx, srect.ytop + dy, srect.ybottom + dy};
  _ImgStruct ssub = {}, dsub = {};
  if (!PlinkSubimage(&ssub, img, &srect)) return 0;
  if (!PlinkSubimage(&dsub, img, &drect)) {
    PfreeImage(&ssub);
    return 0;
  }
  const int ok = PmapImage(&dsub, &ssub, 1.0);
  PfreeImage(&dsub);
  PfreeImage(&ssub);
  if (!ok) return 0;
  if (callback != nullptr) {
    if (dy != 0) {
      const _ImgRect band = {0, img->xres, dy > 0 ? 0 : img->yres + dy, dy > 0 ? dy : img->yres};
      callback(img, &band, data);
    }
    if (dx != 0) {
      const _ImgRect band = {dx > 0 ? 0 : img->xres + dx, dx > 0 ? dx : img->xres, dy > 0 ? dy : 0,
                             dy > 0 ? img->yres : img->yres + dy};
      callback(img, &band, data);
    }
  }
  return 1;
}

int PdelinkImage(_ImgStruct* img) {
  if (img == nullptr || img->img == nullptr || img->csp == nullptr) return 0;
  const size_t w = size_t(img->xres) * PpixelSize(img->csp);
  MemObject* mo = img->mbase;
  if (mo != nullptr && mo->RetainCount() > 1) {
    // Shared: copy into a block of our own (a private colour space is copied with it).
    _ImgStruct old = *img;
    img->img = nullptr;
    img->mbase = nullptr;
    const int ok = PmapImage(img, &old, 1.0);
    PfreeImage(&old);
    return ok;
  }
  if (AbsRow(img->rowsize) == w) return 1;
  if (mo != nullptr && mo->freo == SysFree && img->rowsize > 0) {
    // Our own raw block: move the rows together at the start of its pixel area. The block
    // keeps its size, so its alignment is kept too.
    uint8_t* base = static_cast<uint8_t*>(MobjMem(mo)) + (PimgPrivateCS(img) ? PIMG_CSSLOT : 0);
    for (int y = 0; y < img->yres; y++)
      std::memmove(base + w * size_t(y), img->img + ptrdiff_t(img->rowsize) * y, w);
    img->img = base;
    img->rowsize = int32_t(w);
    return 1;
  }
  // Anyone else's memory: compact in place by mapping onto itself with the tight row step.
  _ImgStruct tight = *img;
  tight.rowsize = img->rowsize < 0 ? -int32_t(w) : int32_t(w);
  CopyRows(&tight, img);
  img->rowsize = tight.rowsize;
  return 1;
}
