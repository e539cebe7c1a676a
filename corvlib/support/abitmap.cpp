#include "support/abitmap.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "support/dmessage.h"

thread_local uint32_t ABitMap::dummy = 0;

// The bits past len in the last word are kept 0, so whole-word operations (counting,
// comparison, shifting, searching) never see them.

ABitMap::ABitMap(uint32_t n, bool value) {
  NewBitMap(n, value);
}

ABitMap::ABitMap(const ABitMap& other) {
  *this = other;
}

ABitMap& ABitMap::operator=(const ABitMap& other) {
  if (this == &other) return *this;
  ++changes;
  const uint32_t nw = nwords(other.len);
  if (nw != nwords(len)) {
    std::free(bmap);
    bmap = nullptr;
    len = 0;
    if (nw > 0) {
      bmap = static_cast<uint32_t*>(std::malloc(size_t{nw} * sizeof(uint32_t)));
      if (bmap == nullptr) {
        DMESSAGE(DMCmemory, "Out of memory for %u bit map", other.len);
        return *this;
      }
    }
  }
  len = other.len;
  if (nw > 0) std::memcpy(bmap, other.bmap, size_t{nw} * sizeof(uint32_t));
  return *this;
}

ABitMap::~ABitMap() {
  std::free(bmap);
}

bool ABitMap::NewBitMap(uint32_t n, bool value) {
  ++changes;
  const uint32_t nw = nwords(n);
  if (nw != nwords(len) || n == 0) {
    std::free(bmap);
    bmap = nullptr;
    len = 0;
    if (n == 0) return false;
    bmap = static_cast<uint32_t*>(std::malloc(size_t{nw} * sizeof(uint32_t)));
    if (bmap == nullptr) {
      DMESSAGE(DMCmemory, "Out of memory for %u bit map", n);
      return false;
    }
  }
  len = n;
  ClearBitMap(value);
  return true;
}

void ABitMap::MaskTail() {
  if ((len & 31) != 0) bmap[len >> 5] &= (uint32_t{1} << (len & 31)) - 1;
}

void ABitMap::ClearBitMap(bool value) {
  ++changes;
  if (len == 0) return;
  std::memset(bmap, value ? 0xFF : 0, size_t{nwords(len)} * sizeof(uint32_t));
  MaskTail();
}

void ABitMap::SetRun(uint32_t start, uint32_t n, bool value) {
  ++changes;
  if (n == 0) return;
  uint32_t w = start >> 5;
  const uint32_t last = start + (n - 1);  // inside the map, so no wrap
  const uint32_t wl = last >> 5;
  const uint32_t first_mask = ~uint32_t{0} << (start & 31);
  const uint32_t last_mask = ~uint32_t{0} >> (31 - (last & 31));
  if (w == wl) {
    const uint32_t m = first_mask & last_mask;
    bmap[w] = value ? (bmap[w] | m) : (bmap[w] & ~m);
    return;
  }
  bmap[w] = value ? (bmap[w] | first_mask) : (bmap[w] & ~first_mask);
  for (++w; w < wl; ++w) bmap[w] = value ? ~uint32_t{0} : 0;
  bmap[wl] = value ? (bmap[wl] | last_mask) : (bmap[wl] & ~last_mask);
}

void ABitMap::ClearBits(uint32_t start, uint32_t n, bool value) {
  ++changes;
  if (start >= len || n == 0) return;
  if (n > len - start) n = len - start;
  SetRun(start, n, value);
}

namespace {

// Set bits of a 64-bit word, in registers: the compiler's own count is a library call on
// processors it may not assume have the instruction, and selections are counted often.
inline uint64_t Pop64(uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return (x * 0x0101010101010101u) >> 56;
}

}  // namespace

uint32_t ABitMap::SumTotal() const {
  // Asked again and again of large selections: the count is kept until the map changes.
  if (countedAt == changes) return counted;
  uint64_t sum = 0;
  const uint32_t nw = nwords(len);
  uint32_t i = 0;
  for (; i + 2 <= nw; i += 2) {
    uint64_t pair;
    std::memcpy(&pair, bmap + i, sizeof pair);
    sum += Pop64(pair);
  }
  if (i < nw) sum += Pop64(bmap[i]);
  counted = static_cast<uint32_t>(sum);
  countedAt = changes;
  return counted;
}

uint32_t ABitMap::Find(uint32_t start, bool value) const {
  if (start >= len) return len;
  const uint32_t nw = nwords(len);
  uint32_t w = start >> 5;
  uint32_t word = (value ? bmap[w] : ~bmap[w]) & (~uint32_t{0} << (start & 31));
  while (word == 0) {
    if (++w >= nw) return len;
    word = value ? bmap[w] : ~bmap[w];
  }
  const uint32_t i = (w << 5) + static_cast<uint32_t>(__builtin_ctz(word));
  return i < len ? i : len;
}

bool ABitMap::Find(uint32_t* pos, bool value) const {
  if (pos == nullptr || *pos >= len) return false;
  const uint32_t i = Find(*pos, value);
  if (i >= len) return false;
  *pos = i;
  return true;
}

void ABitMap::Invert() {
  ++changes;
  const uint32_t nw = nwords(len);
  for (uint32_t i = 0; i < nw; ++i) bmap[i] = ~bmap[i];
  if (nw > 0) MaskTail();
}

bool ABitMap::operator==(const ABitMap& other) const {
  if (len != other.len) return false;
  return len == 0 || std::memcmp(bmap, other.bmap, size_t{nwords(len)} * sizeof(uint32_t)) == 0;
}

ABitMap& ABitMap::operator|=(const ABitMap& other) {
  ++changes;
  if (other.len != len) return *this = other;
  const uint32_t nw = nwords(len);
  for (uint32_t i = 0; i < nw; ++i) bmap[i] |= other.bmap[i];
  return *this;
}

ABitMap& ABitMap::operator&=(const ABitMap& other) {
  ++changes;
  if (other.len != len) return *this;
  const uint32_t nw = nwords(len);
  for (uint32_t i = 0; i < nw; ++i) bmap[i] &= other.bmap[i];
  return *this;
}

ABitMap& ABitMap::operator^=(const ABitMap& other) {
  ++changes;
  if (other.len != len) return *this;
  const uint32_t nw = nwords(len);
  for (uint32_t i = 0; i < nw; ++i) bmap[i] ^= other.bmap[i];
  return *this;
}

ABitMap& ABitMap::operator>>=(uint32_t n) {
  ++changes;
  if (n == 0 || len == 0) return *this;
  if (n >= len) {
    ClearBitMap(false);
    return *this;
  }
  const uint32_t nw = nwords(len);
  const uint32_t ws = n >> 5, bs = n & 31;
  for (uint32_t i = 0; i < nw; ++i) {
    const uint32_t src = i + ws;  // ws < nw, so no wrap
    const uint32_t lo = src < nw ? bmap[src] : 0;
    if (bs == 0) {
      bmap[i] = lo;
    } else {
      const uint32_t hi = src + 1 < nw ? bmap[src + 1] : 0;
      bmap[i] = (lo >> bs) | (hi << (32 - bs));
    }
  }
  return *this;
}

ABitMap& ABitMap::operator<<=(uint32_t n) {
  ++changes;
  if (n == 0 || len == 0) return *this;
  if (n >= len) {
    ClearBitMap(false);
    return *this;
  }
  const uint32_t nw = nwords(len);
  const uint32_t ws = n >> 5, bs = n & 31;
  for (uint32_t i = nw; i-- > 0;) {
    const uint32_t hi = i >= ws ? bmap[i - ws] : 0;
    if (bs == 0) {
      bmap[i] = hi;
    } else {
      const uint32_t lo = i >= ws + 1 ? bmap[i - ws - 1] : 0;
      bmap[i] = (hi << bs) | (lo >> (32 - bs));
    }
  }
  MaskTail();
  return *this;
}

// ---------------------------------------------------------------------------------------------
// ABitMap2

ABitMap2::ABitMap2(int w, int h, bool value) {
  NewBitMap(w, h, value);
}

bool ABitMap2::NewBitMap(int w, int h, bool value) {
  ++changes;
  width = height = 0;
  if (w <= 0 || h <= 0 || static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > UINT32_MAX) {
    ABitMap::NewBitMap(0);
    return false;
  }
  if (!ABitMap::NewBitMap(static_cast<uint32_t>(w) * static_cast<uint32_t>(h), value)) return false;
  width = w;
  height = h;
  return true;
}

bool ABitMap2::Find(int* x, int* y, bool value) const {
  if (x == nullptr || y == nullptr || width < 1) return false;
  uint64_t pos = 0;
  if (*y >= 0) {
    if (*y >= height) return false;
    pos = static_cast<uint64_t>(*y) * static_cast<uint64_t>(width) +
          static_cast<uint64_t>(*x > 0 ? *x : 0);
  }
  if (pos >= len) return false;
  const uint32_t i = ABitMap::Find(static_cast<uint32_t>(pos), value);
  if (i >= len) return false;
  *x = static_cast<int>(i % static_cast<uint32_t>(width));
  *y = static_cast<int>(i / static_cast<uint32_t>(width));
  return true;
}

void ABitMap2::ClearRect(int x, int y, int w, int h, bool value) {
  ++changes;
  if (x < 0) {
    if (w < INT32_MIN - x) return;
    w += x;
    x = 0;
  }
  if (y < 0) {
    if (h < INT32_MIN - y) return;
    h += y;
    y = 0;
  }
  if (x >= width || y >= height || w <= 0 || h <= 0) return;
  if (w > width - x) w = width - x;
  if (h > height - y) h = height - y;
  const auto uw = static_cast<uint32_t>(width);
  if (x == 0 && w == width) {
    SetRun(static_cast<uint32_t>(y) * uw, static_cast<uint32_t>(h) * uw, value);
    return;
  }
  for (int row = y; row < y + h; ++row)
    SetRun(static_cast<uint32_t>(row) * uw + static_cast<uint32_t>(x), static_cast<uint32_t>(w),
           value);
}

void ABitMap2::Shift(int dx, int dy, int fill) {
  ++changes;
  if (width < 1 || height < 1) return;
  const int64_t adx = dx < 0 ? -int64_t{dx} : dx;
  const int64_t ady = dy < 0 ? -int64_t{dy} : dy;
  if (adx >= width || ady >= height) return;
  const int64_t amount = dx + int64_t{dy} * width;
  if (amount == 0) return;
  // The whole array moves, so bits that cross a row's edge enter the neighbouring row; the
  // vacated bands are fixed up below.
  if (amount > 0)
    *this <<= static_cast<uint32_t>(amount);
  else
    *this >>= static_cast<uint32_t>(-amount);
  if (fill < 0) return;
  const int top = dy >= 0 ? dy : 0;  // rows that hold content: [top, bottom)
  const int bottom = dy >= 0 ? height : height + dy;
  const int band_x = dx > 0 ? 0 : width + dx;
  const int band_w = static_cast<int>(adx);
  if (fill == 0) {
    // The vacated rows are already 0; wrapped bits can reach one row beyond the content.
    if (band_w > 0) ClearRect(band_x, top - 1, band_w, bottom - top + 2, false);
    return;
  }
  if (band_w > 0) ClearRect(band_x, top, band_w, bottom - top, true);
  if (dy > 0)
    ClearRect(0, 0, width, dy, true);
  else if (dy < 0)
    ClearRect(0, height + dy, width, -dy, true);
}

void ABitMap2::Expand(double radius, bool value) {
  ++changes;
  if (radius < 0) {
    radius = -radius;
    value = !value;
  }
  if (width < 1 || !(radius >= 1)) return;
  const ABitMap2 saved(*this);
  if (saved.Length() != Length()) return;  // no memory for the copy
  ClearBitMap(!value);
  ABitMap2 moved;
  // Offsets of a row or column count or more move everything off the map (the shift then
  // does nothing and the copy adds nothing new), so the loops are bounded by the map's size.
  const double r2 = radius * radius;
  const int reach = static_cast<int>(std::fmin(std::floor(radius + 0.5), height));
  for (int dy = -reach; dy <= reach; ++dy) {
    const double d = r2 - static_cast<double>(dy) * dy;
    const int half = d > 0 ? static_cast<int>(std::fmin(std::floor(std::sqrt(d) + 0.5), width)) : 0;
    for (int dx = -half; dx <= half; ++dx) {
      moved = saved;
      if (moved.Length() != Length()) return;
      moved.Shift(dx, dy, value ? 0 : 1);
      if (value)
        *this |= moved;
      else
        *this &= moved;
    }
  }
}
