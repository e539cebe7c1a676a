// Counting differing pixels of two shifted threshold bitmaps, a 64-bit word at a time.
#include <cstdlib>

#include "hdr/phdalign.h"
#include "hdr/phdbits.h"
#include "hdr/phdrimg.h"

namespace {

// Population count without a library call on processors lacking the instruction.
inline int popcount64(uint64_t v) {
  v = v - ((v >> 1) & 0x5555555555555555ULL);
  v = (v & 0x3333333333333333ULL) + ((v >> 2) & 0x3333333333333333ULL);
  v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
  return static_cast<int>((v * 0x0101010101010101ULL) >> 56);
}

void sizeRows(PHDRowBits* rb, int w, int h) {
  rb->w = w;
  rb->h = h;
  rb->wpr = (w + 63) / 64;
  rb->bits.assign(static_cast<size_t>(rb->wpr) * h, 0);
}

// 64 bits of a row starting at bit position pos (which may lie outside the row: zeros).
inline uint64_t rowWord(const uint64_t* row, int wpr, int pos) {
  const int q = pos >> 6, r = pos & 63;  // floor division for negative positions
  const uint64_t lo = (q >= 0 && q < wpr) ? row[q] : 0;
  if (r == 0) return lo;
  const uint64_t hi = (q + 1 >= 0 && q + 1 < wpr) ? row[q + 1] : 0;
  return (lo >> r) | (hi << (64 - r));
}

}  // namespace

bool PHDthresholdRows(PHDRowBits* tb, PHDRowBits* eb, const _ImgStruct* img, int off, int ps, int t,
                      PHDPoll* poll) {
  sizeRows(tb, img->xres, img->yres);
  sizeRows(eb, img->xres, img->yres);
  for (int y = 0; y < img->yres; y++) {
    if ((y & 255) == 255 && poll != nullptr && !poll->Go()) return false;
    const uint8_t* p = img->img + static_cast<ptrdiff_t>(y) * img->rowsize + off;
    uint64_t* tr = tb->bits.data() + static_cast<size_t>(y) * tb->wpr;
    uint64_t* er = eb->bits.data() + static_cast<size_t>(y) * eb->wpr;
    for (int x0 = 0; x0 < img->xres; x0 += 64) {
      const int n = img->xres - x0 < 64 ? img->xres - x0 : 64;
      uint64_t tw = 0, ew = 0;
      for (int i = 0; i < n; i++, p += ps) {
        const int v = *p;
        tw |= uint64_t{v > t} << i;
        ew |= uint64_t{v < t - 3 || v > t + 3} << i;
      }
      tr[x0 >> 6] = tw;
      er[x0 >> 6] = ew;
    }
  }
  return true;
}

void PHDpackRows(PHDRowBits* rb, const ABitMap2& bm) {
  sizeRows(rb, bm.Width(), bm.Height());
  for (int y = 0; y < bm.Height(); y++)
    for (int x = 0; x < bm.Width(); x++)
      if (bm.Check(x, y)) rb->bits[static_cast<size_t>(y) * rb->wpr + (x >> 6)] |= 1ULL << (x & 63);
}

long PHDcountRows(const PHDRowBits& at, const PHDRowBits& ae, const PHDRowBits& bt,
                  const PHDRowBits& be, int sx, int sy, long* compared) {
  if (compared != nullptr) *compared = 0;
  const int w = bt.w, h = bt.h, wpr = bt.wpr;
  if (w <= 0 || h <= 0 || at.w != w || at.h != h || ae.w != w || ae.h != h || be.w != w ||
      be.h != h || sx <= -w || sx >= w || sy <= -h || sy >= h)
    return 0;
  long count = 0, both = 0;
  const int y0 = sy > 0 ? sy : 0, y1 = sy < 0 ? h + sy : h;
  for (int y = y0; y < y1; y++) {
    const uint64_t* rbt = bt.Row(y);
    const uint64_t* rbe = be.Row(y);
    const uint64_t* rat = at.Row(y - sy);
    const uint64_t* rae = ae.Row(y - sy);
    for (int i = 0; i < wpr; i++) {
      const uint64_t e = rbe[i] & rowWord(rae, wpr, 64 * i - sx);
      if (e == 0) continue;
      both += popcount64(e);
      count += popcount64((rowWord(rat, wpr, 64 * i - sx) ^ rbt[i]) & e);
    }
  }
  if (compared != nullptr) *compared = both;
  return count;
}

long PHDcountDiff(const ABitMap2& at, const ABitMap2& ae, const ABitMap2& bt, const ABitMap2& be,
                  int sx, int sy, long* compared) {
  PHDRowBits r[4];
  PHDpackRows(&r[0], at);
  PHDpackRows(&r[1], ae);
  PHDpackRows(&r[2], bt);
  PHDpackRows(&r[3], be);
  return PHDcountRows(r[0], r[1], r[2], r[3], sx, sy, compared);
}

long PHDcountDiffPlain(const ABitMap2& at, const ABitMap2& ae, const ABitMap2& bt,
                       const ABitMap2& be, int sx, int sy, long* compared) {
  if (compared != nullptr) *compared = 0;
  // Nothing overlaps after a shift of a whole side (which ABitMap2::Shift leaves undone).
  if (std::abs(sx) >= bt.Width() || std::abs(sy) >= bt.Height()) return 0;
  ABitMap2 t(at), e(ae);
  t.Shift(sx, sy, -1);
  e.Shift(sx, sy, 0);
  if (e.Length() == be.Length()) e &= be;
  if (compared != nullptr) *compared = static_cast<long>(e.SumTotal());
  if (t.Length() == bt.Length()) t ^= bt;
  if (t.Length() == e.Length()) t &= e;
  return static_cast<long>(t.SumTotal());
}
