// Counting differing pixels of two shifted threshold bitmaps, word by word.
#include <cstdlib>

#include "hdr/phdalign.h"

namespace {

// 64 bits of a bitmap starting at bit pos of row y's bit run, for x positions that may fall
// outside 0..w-1 (those read as 0).
inline uint64_t fetch64(const uint32_t* words, uint32_t nbits, int64_t rowStart, int w, int x) {
  uint64_t v = 0;
  int xs = x, xe = x + 64;
  if (xs < 0) xs = 0;
  if (xe > w) xe = w;
  if (xs >= xe) return 0;
  int64_t bit = rowStart + xs;
  int got = 0;
  const int want = xe - xs;
  while (got < want) {
    const uint32_t wi = static_cast<uint32_t>(bit >> 5);
    const int off = static_cast<int>(bit & 31);
    uint64_t piece = words[wi] >> off;
    int n = 32 - off;
    if (n > want - got) n = want - got;
    if (static_cast<uint64_t>(bit) + n > nbits) n = static_cast<int>(nbits - bit);
    piece &= (n == 64) ? ~0ULL : ((1ULL << n) - 1);
    v |= piece << (got + (xs - x));
    got += n;
    bit += n;
  }
  return v;
}

}  // namespace

long PHDcountDiff(const ABitMap2& at, const ABitMap2& ae, const ABitMap2& bt, const ABitMap2& be,
                  int sx, int sy) {
  const int w = bt.Width(), h = bt.Height();
  if (w <= 0 || h <= 0 || at.Width() != w || at.Height() != h || ae.Width() != w ||
      ae.Height() != h || be.Width() != w || be.Height() != h)
    return 0;
  const uint32_t nb = bt.Length();
  long count = 0;
  const int y0 = sy > 0 ? sy : 0, y1 = sy < 0 ? h + sy : h;
  for (int y = y0; y < y1; y++) {
    const int64_t rb = static_cast<int64_t>(y) * w, ra = static_cast<int64_t>(y - sy) * w;
    for (int x = 0; x < w; x += 64) {
      const uint64_t b1 = fetch64(bt.Words(), nb, rb, w, x);
      const uint64_t b2 = fetch64(be.Words(), nb, rb, w, x);
      if (b2 == 0) continue;
      const uint64_t a2 = fetch64(ae.Words(), nb, ra, w, x - sx);
      if (a2 == 0) continue;
      const uint64_t a1 = fetch64(at.Words(), nb, ra, w, x - sx);
      count += __builtin_popcountll((a1 ^ b1) & b2 & a2);
    }
  }
  return count;
}

long PHDcountDiffPlain(const ABitMap2& at, const ABitMap2& ae, const ABitMap2& bt,
                       const ABitMap2& be, int sx, int sy) {
  // Nothing overlaps after a shift of a whole side (which ABitMap2::Shift leaves undone).
  if (std::abs(sx) >= bt.Width() || std::abs(sy) >= bt.Height()) return 0;
  ABitMap2 t(at), e(ae);
  t.Shift(sx, sy, -1);
  e.Shift(sx, sy, 0);
  if (t.Length() == bt.Length()) t ^= bt;
  if (t.Length() == be.Length()) t &= be;
  if (t.Length() == e.Length()) t &= e;
  return static_cast<long>(t.SumTotal());
}
