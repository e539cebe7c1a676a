// Helpers shared by the display image files (not part of the public interface).
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/pimage.h"

// a * b * c into *out; false when a factor is below 1 or the product overflows.
inline bool DispMulSize(size_t* out, int a, int b, int c) {
  if (a < 1 || b < 1 || c < 1) return false;
  const size_t sa = static_cast<size_t>(a), sb = static_cast<size_t>(b);
  const size_t sc = static_cast<size_t>(c);
  if (sa > SIZE_MAX / sb || sa * sb > SIZE_MAX / sc) return false;
  *out = sa * sb * sc;
  return true;
}

// A view of rectangle r of im's pixels that holds no reference to their memory; r must lie
// inside im.
_ImgStruct DispView(const _ImgStruct& im, const _ImgRect& r);

// Rectangle r in the pixels of a plane reduced by s in each direction: its edges move outward
// (left and top down, right and bottom up), so that the plane's part covers r.
inline _ImgRect DispShrinkRect(const _ImgRect& r, int s) {
  if (s <= 1) return r;
  auto dn = [s](int v) { return v >= 0 ? v / s : -((-v + s - 1) / s); };
  auto up = [s](int v) { return v >= 0 ? (v + s - 1) / s : -(-v / s); };
  return _ImgRect{dn(r.xleft), up(r.xright), dn(r.ytop), up(r.ybottom)};
}
