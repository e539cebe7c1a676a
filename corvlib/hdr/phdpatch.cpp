// Sample patches: small uniform squares measured in every exposure of a series.
#include "hdr/phdrimg.h"
#include "support/dmessage.h"

bool PHDExposure::AvgPatch(uint8_t* rgb, const _ImgRect* r) const {
  if (imr.img == nullptr) return false;
  int x0 = r->xleft + xoff, x1 = r->xright + xoff, y0 = r->ytop + yoff, y1 = r->ybottom + yoff;
  if (x0 < 0) x0 = 0;
  if (y0 < 0) y0 = 0;
  if (x1 > imr.xres) x1 = imr.xres;
  if (y1 > imr.yres) y1 = imr.yres;
  if (x1 <= x0 || y1 <= y0) return false;
  const long area = static_cast<long>(x1 - x0) * (y1 - y0);
  if (area < 73) return false;
  long sum[3] = {0, 0, 0};
  for (int y = y0; y < y1; y++) {
    const uint8_t* p = imr.img + static_cast<ptrdiff_t>(y) * imr.rowsize + 3 * x0;
    for (int x = x0; x < x1; x++, p += 3) {
      if (!usepix.Check(x, y)) return false;
      sum[0] += p[0];
      sum[1] += p[1];
      sum[2] += p[2];
    }
  }
  for (int c = 0; c < 3; c++) rgb[c] = static_cast<uint8_t>((sum[c] + area / 2) / area);
  return true;
}

bool PHDExposure::NewLightPatch(uint8_t* rgb, _ImgRect* r, PPatchSet* ps, int minY) const {
  if (imr.img == nullptr || maxv[1] <= minY) return false;
  const int w = imr.xres, h = imr.yres;
  const long fx = w / PHD_PATCHSIZE - 1, fy = h / PHD_PATCHSIZE - 1;
  if (fx < 1 || fy < 1) return false;
  const long tries = fx * fy;
  constexpr int P = PHD_PATCHSIZE, PP = P * P;
  for (long t = 0; t < tries; t++) {
    // Each try compares with up to 400 patches.
    if ((t & 255) == 0 && poll != nullptr && !poll->Go()) return false;
    const int x0 = static_cast<int>(ps->Rand() % static_cast<uint32_t>(w - P));
    const int y0 = static_cast<int>(ps->Rand() % static_cast<uint32_t>(h - P));
    const _ImgRect c = {x0 - xoff, x0 - xoff + P, y0 - yoff, y0 - yoff + P};
    bool overlap = false;
    for (int p = 0; p < ps->npatch && !overlap; p++) {
      const _ImgRect& o = ps->rect[p];
      overlap = !(c.xright <= o.xleft || o.xright <= c.xleft || c.ybottom <= o.ytop ||
                  o.ybottom <= c.ytop);
    }
    if (overlap) continue;
    long sum[3] = {0, 0, 0}, sq[3] = {0, 0, 0};
    bool ok = true;
    for (int y = y0; y < y0 + P && ok; y++) {
      const uint8_t* q = imr.img + static_cast<ptrdiff_t>(y) * imr.rowsize + 3 * x0;
      for (int x = x0; x < x0 + P; x++, q += 3) {
        if (!usepix.Check(x, y)) {
          ok = false;
          break;
        }
        for (int k = 0; k < 3; k++) {
          sum[k] += q[k];
          sq[k] += q[k] * q[k];
        }
      }
    }
    if (!ok || sum[0] <= 0 || sum[1] <= 0 || sum[2] <= 0) continue;
    uint8_t col[3];
    for (int k = 0; k < 3; k++) col[k] = static_cast<uint8_t>((sum[k] + PP / 2) / PP);
    const int Y = PHDluma(col);
    if (static_cast<int>(ps->Rand() % static_cast<uint32_t>(maxv[1] - minY)) > Y - minY) continue;
    bool uniform = true;
    for (int k = 0; k < 3 && uniform; k++)
      uniform = double(sq[k]) / sum[k] - double(sum[k]) / PP <= 0.5;
    if (!uniform) continue;
    rgb[0] = col[0];
    rgb[1] = col[1];
    rgb[2] = col[2];
    *r = c;
    return true;
  }
  return false;
}

int PHDExposure::Add2Patches(PPatchSet* ps) {
  if (ps == nullptr || ps->nexp >= PHD_MAXEXP || !GetReady()) return 0;
  const int e = ps->nexp;
  int found = 0, ymax = 0;
  for (int p = 0; p < ps->npatch; p++) {
    uint8_t* v = ps->val[p][e];
    v[3] = AvgPatch(v, &ps->rect[p]) ? 1 : 0;
    if (v[3]) {
      found++;
      if (PHDluma(v) > ymax) ymax = PHDluma(v);
    }
  }
  const int t = ymax * PHD_NEWPATCH / 256;
  const int want = t < found ? PHD_NEWPATCH - t : PHD_NEWPATCH - found;
  int added = 0;
  while (ps->npatch < PHD_MAXPATCH && added < want) {
    const int p = ps->npatch;
    if (!NewLightPatch(ps->val[p][e], &ps->rect[p], ps, ymax)) {
      if (poll == nullptr || !poll->Stopped())
        dmessage(DMCwarning, "Trouble finding HDR patches", __FILE__, __LINE__);
      break;
    }
    ps->val[p][e][3] = 1;
    for (int k = 0; k < e; k++) ps->val[p][k][3] = 0;
    ps->npatch++;
    added++;
  }
  Release();
  ps->nexp++;
  return added;
}
