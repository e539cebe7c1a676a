// Red-eye removal: inside each rectangle the user marked, compact strongly red regions
// surrounded by neutral (eye-white or skin) pixels are repainted grey.
#include <algorithm>
#include <cmath>
#include <vector>

#include "display/pdispimg.h"
#include "display/pdisppriv.h"
#include "support/dmessage.h"

namespace {

constexpr int kMaxRedEyeValues = 100;

inline const uint8_t* Pix(const _ImgStruct& s, int x, int y) {
  return s.img + static_cast<ptrdiff_t>(y) * s.rowsize + 3 * static_cast<ptrdiff_t>(x);
}

inline bool Reddish(const uint8_t* p) {
  return p[0] > 109 && 4 * (p[1] + p[2]) <= 3 * p[0];
}

inline bool Red(const uint8_t* p) {
  return p[0] >= 230 || (p[0] >= 60 && p[0] >= p[1] + p[2]);
}

inline bool Neutral(const uint8_t* p) {
  if (p[0] < 60 || p[1] < 60 || p[2] < 60) return false;
  const float g = p[1];
  const float rg = p[0] / g, bg = p[2] / g;
  return rg >= 0.75f && bg >= 0.75f && bg <= 1.33f;
}

}  // namespace

// The connected red region of a seed, marked in mask; the count of pixels marked. The fill
// visits right, down, left and up from every pixel, at most depth steps from the seed. It
// keeps its own stack, so a deep fill cannot exhaust the thread's.
int floodRedEye(ABitMap2* mask, const _ImgStruct* im, int x, int y, int depth) {
  if (mask == nullptr || im == nullptr || im->img == nullptr) return 0;
  struct Step {
    int x, y, depth, dir;
  };
  static const int dx[4] = {1, 0, -1, 0};
  static const int dy[4] = {0, 1, 0, -1};
  auto enter = [&](int px, int py, int d) {
    if (d < 1 || px < 0 || py < 0 || px >= im->xres || py >= im->yres || px >= mask->Width() ||
        py >= mask->Height() || mask->Check(px, py))
      return false;
    if (!Red(Pix(*im, px, py))) return false;
    mask->ABitMap::Set(static_cast<uint32_t>(py) * static_cast<uint32_t>(mask->Width()) +
                       static_cast<uint32_t>(px));
    return true;
  };
  if (!enter(x, y, depth)) return 0;
  int count = 1;
  std::vector<Step> stack;
  stack.push_back(Step{x, y, depth, 0});
  while (!stack.empty()) {
    Step& s = stack.back();
    if (s.dir == 4) {
      stack.pop_back();
      continue;
    }
    const int k = s.dir++;
    const int nx = s.x + dx[k], ny = s.y + dy[k], nd = s.depth - 1;
    if (enter(nx, ny, nd)) {
      ++count;
      stack.push_back(Step{nx, ny, nd, 0});
    }
  }
  return count;
}

void PDisplayList::RemoveRedEye(const DBRecord* rec) {
  if (parent == nullptr) return;
  const DBField& own = PDBgetField(parent->ircd, PDBFredeye);
  const DBField* f = &own;
  int start = 0;
  if (rec != nullptr && rec != &parent->ircd) {
    f = &PDBgetField(*rec, PDBFredeye);
    start = own.GetNV();
  }
  if (!f->IsSet() || f->GetDT() != DBDTint) return;
  const int n = std::min(static_cast<int>(f->GetNV()), kMaxRedEyeValues);
  if (n - start <= 0) return;
  if ((n - start) % 4 != 0) {
    DMESSAGE(DMCwarning, "Bad red-eye parameter count");
    return;
  }
  for (int k = start; k < n; k += 4) {
    const long v[4] = {f->GetInt(k), f->GetInt(k + 1), f->GetInt(k + 2), f->GetInt(k + 3)};
    RemoveRedEye(v);
  }
}

void PDisplayList::RemoveRedEye(const long* v) {
  if (parent == nullptr || c_img.img == nullptr || v == nullptr) return;
  if (!PmatchColorSpace(c_img.csp, &ICS_sRGB, 3)) return;
  _ImgRect r;
  if (!LocalRect(&r, v)) return;
  const int64_t rarea = static_cast<int64_t>(r.xright - r.xleft) * (r.ybottom - r.ytop);
  const int64_t varea = static_cast<int64_t>(parent->ior.xres) * parent->ior.yres;
  if (varea < 25 * rarea) {
    DMESSAGE(DMCwarning, "Region too large for red-eye removal");
    return;
  }
  _ImgStruct s = DispView(c_img, r);
  const int w = s.xres, h = s.yres;
  ABitMap2 accepted(w, h, false);
  int step = std::max(w, h) * 3 / 100;
  if (step < 2) step = 2;
  const int spacing = step / 2;
  for (int y = 0; y < h; y += spacing) {
    for (int x = 0; x < w; x += spacing) {
      if (accepted.Check(x, y) || !Reddish(Pix(s, x, y))) continue;
      ABitMap2 region(w, h, false);
      const int n = floodRedEye(&region, &s, x, y, std::min(w, h));
      if (n < step * step) continue;
      int64_t c = 0, sx = 0, sy = 0;
      int px = 0, py = -1;
      while (region.Find(&px, &py, true)) {
        if (Reddish(Pix(s, px, py))) {
          ++c;
          sx += px;
          sy += py;
        }
        if (++px >= w) {
          px = 0;
          ++py;
        }
      }
      int64_t t = n;
      if (!(t < 10 * c)) continue;
      const int cx = static_cast<int>(sx / c), cy = static_cast<int>(sy / c);
      const int r1 = static_cast<int>(std::sqrt(t / 3.14) * 1.4 + 1.5);
      px = 0;
      py = -1;
      while (region.Find(&px, &py, true)) {
        const int64_t ddx = px - cx, ddy = py - cy;
        if (static_cast<int64_t>(r1) * r1 < ddx * ddx + ddy * ddy) region.Reset(px, py);
        if (++px >= w) {
          px = 0;
          ++py;
        }
      }
      region.Expand(1.0, true);
      t = region.SumTotal();
      if (t == 0) continue;
      const int r2 = static_cast<int>(std::sqrt(t / 3.14) + 0.5);
      const int d = 5 * r2;
      int64_t neutral = 0;
      const int y0 = std::max(0, cy - d), y1 = std::min(h - 1, cy + d);
      const int x0 = std::max(0, cx - d), x1 = std::min(w - 1, cx + d);
      for (int yy = y0; yy <= y1; ++yy)
        for (int xx = x0; xx <= x1; ++xx) {
          const int64_t ex = xx - cx, ey = yy - cy;
          if (ex * ex + ey * ey > static_cast<int64_t>(d) * d || region.Check(xx, yy)) continue;
          if (Neutral(Pix(s, xx, yy))) ++neutral;
        }
      if (neutral >= t / 4 && region.Check(x, y)) accepted |= region;
    }
  }
  if (accepted.SumTotal() == 0) return;
  int px = 0, py = -1;
  while (accepted.Find(&px, &py, true)) {
    const int k = 1 + accepted.Check(px - 1, py) + accepted.Check(px, py - 1) +
                  accepted.Check(px + 1, py) + accepted.Check(px, py + 1);
    uint8_t* p = const_cast<uint8_t*>(Pix(s, px, py));
    if (p[2] < p[1]) {
      p[1] = static_cast<uint8_t>(((5 - k) * p[1] + k * p[2]) / 5);
      p[0] = static_cast<uint8_t>(((5 - k) * p[0] + k * p[2]) / 5);
    } else {
      p[2] = static_cast<uint8_t>(((5 - k) * p[2] + k * p[1]) / 5);
      p[0] = static_cast<uint8_t>(((5 - k) * p[0] + k * p[1]) / 5);
    }
    if (++px >= w) {
      px = 0;
      ++py;
    }
  }
  FreeFile();
}
