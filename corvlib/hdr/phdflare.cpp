// Lens-flare removal. All analysis runs on a small copy of the image; only the final
// subtraction touches the full-resolution pixels, once each.
#include "hdr/phdflare.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "hdr/phdrimg.h"
#include "support/dmessage.h"
#include "image/piresamp.h"
#include "support/cnumber.h"

namespace {

constexpr int kSmall = 128;  // side of the analysis copy
// Pictures of more pixels than this are reduced a band of rows at a time.
constexpr int64_t kBandPixels = int64_t{16} << 20;
// Full-resolution rows between two polls: a few milliseconds on the widest pictures.
constexpr int kPollRows = 64;

inline float* Row(const _ImgStruct& im, int y) {
  return reinterpret_cast<float*>(im.img + static_cast<ptrdiff_t>(y) * im.rowsize);
}

int Channels(const _ImgStruct& im) {
  return ImgPixelLen[im.csp->format];
}

}  // namespace

double rgb2y(const float* p) {
  return 0.21264 * p[0] + 0.71517 * p[1] + 0.07219 * p[2];
}
double xyz2y(const float* p) {
  return p[1];
}
double y2y(const float* p) {
  return p[0];
}

FlareFilter::~FlareFilter() {
  PfreeImage(&yimg);
  PfreeImage(&rimg);
}

int FlareFilter::Resample() {
  if (img->xres < kSmall || img->yres < kSmall) return 0;
  PfreeImage(&rimg);
  rimg = _ImgStruct{};
  rimg.xres = rimg.yres = kSmall;
  rimg.csp = img->csp;
  // A Gaussian reduction: the interpolating kernels ring around a bright source, and negative
  // samples next to it would lower the source threshold below zero.
  if (!PnewImage(&rimg, static_cast<double>(img->yres) / img->xres)) return 0;
  if (int64_t{img->xres} * img->yres <= kBandPixels) {
    if (!PsizeImage(&rimg, img, 4)) return 0;
  } else {
    // A band of the small copy's rows at a time, each from its part of the picture, so that
    // the windows keep answering; the kernel reaches beyond the part as the whole one's does.
    const double sy = static_cast<double>(img->yres) / rimg.yres;
    const int band = std::max(1, static_cast<int>(kBandPixels / (img->xres * sy)));
    for (int j0 = 0; j0 < rimg.yres; j0 += band) {
      const int j1 = std::min(rimg.yres, j0 + band);
      const _ImgRect rows = {0, rimg.xres, j0, j1};
      _ImgStruct part = {};
      const _ImgSpan span = {0, j0 * sy, static_cast<double>(img->xres), (j1 - j0) * sy};
      const bool ok =
          PlinkSubimage(&part, &rimg, &rows) && PsizeImageSpan(&part, img, span, 4) != 0;
      PfreeImage(&part);
      if (!ok || (poll != nullptr && !poll->Go())) return 0;
    }
  }
  // A very long strip leaves too few samples on its short side to interpolate between.
  if (rimg.xres < 4 || rimg.yres < 4) return 0;
  switch (img->csp->format) {
    case IPFxyz:
      getY = xyz2y;
      break;
    case IPFy:
      getY = y2y;
      break;
    case IPFrgb:
      getY = rgb2y;
      break;
    default:
      DMESSAGE(DMCparameter, "Unsupported image format in Resample");
      return 0;
  }
  PfreeImage(&yimg);
  yimg = _ImgStruct{};
  if (getY == y2y) return PlinkSubimage(&yimg, &rimg, nullptr);
  yimg.xres = rimg.xres;
  yimg.yres = rimg.yres;
  yimg.csp = &ICS_Y;
  if (!PnewImage(&yimg, 0)) return 0;
  const int nc = Channels(rimg);
  for (int y = 0; y < rimg.yres; y++) {
    const float* s = Row(rimg, y);
    float* d = Row(yimg, y);
    for (int x = 0; x < rimg.xres; x++) d[x] = static_cast<float>(getY(s + nc * x));
  }
  return 1;
}

int FlareFilter::FindSources() {
  const int w = yimg.xres, h = yimg.yres, nc = Channels(rimg);
  double m = 1e20;
  for (int y = 0; y < h; y++) {
    const float* r = Row(yimg, y);
    for (int x = 0; x < w; x++) m = std::min(m, static_cast<double>(r[x]));
  }
  const double threshold = 1000.0 * m;
  double sum[4] = {0, 0, 0, 0};
  if (!srcmap.NewBitMap(w, h, false)) return 0;
  long n = 0;
  for (int y = 0; y < h; y++) {
    const float* r = Row(yimg, y);
    const float* c = Row(rimg, y);
    for (int x = 0; x < w; x++) {
      if (r[x] < threshold) continue;
      srcmap.Set(static_cast<uint32_t>(y) * w + x);
      for (int k = 0; k < nc; k++) sum[k] += c[nc * x + k];
      n++;
    }
  }
  for (int k = 0; k < 4; k++) scolor[k] = n > 0 ? static_cast<float>(sum[k] / n) : 0.f;
  if (n == 0) return 0;
  return n < static_cast<long>(w) * h * 95 / 100;
}

double FlareFilter::LocalMin(int x, int y, int* channel) const {
  const int W = img->xres, H = img->yres, w = rimg.xres, h = rimg.yres, nc = Channels(*img);
  // The whole block: leaving out its last row and column would empty the one-row blocks
  // of images under twice the small size.
  const int y0 = static_cast<int>(static_cast<long>(H) * y / h);
  const int y1 = static_cast<int>(static_cast<long>(H) * (y + 1) / h);
  const int x0 = static_cast<int>(static_cast<long>(W) * x / w);
  const int x1 = static_cast<int>(static_cast<long>(W) * (x + 1) / w);
  double best = 1e10, v = 1e10;
  for (int yy = y0; yy < y1; yy++) {
    const float* r = Row(*img, yy);
    for (int xx = x0; xx < x1; xx++)
      for (int c = 0; c < nc; c++) {
        if (scolor[c] <= 0) continue;  // no source light in this channel to compare with
        const double s = r[nc * xx + c];
        if (s < best * scolor[c]) {
          best = s / scolor[c];
          v = s;
          *channel = c;
        }
      }
  }
  return v;
}

int FlareFilter::ComputePSF() {
  const int w = yimg.xres, h = yimg.yres, nc = Channels(rimg);
  ncoef = 0;
  coef[0] = 0;
  std::vector<float> spread(static_cast<size_t>(w) * h);
  ABitMap2 chosen;
  if (!chosen.NewBitMap(w, h, false)) return 0;
  std::vector<int> src;  // source positions, row-major
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      if (srcmap.Check(x, y)) src.push_back(y * w + x);

  double last = 1.0;
  int q = 8;
  for (int ring = 0; ring < 15; ring++, q = 3 * q / 2) {
    const int q2 = 3 * q / 2;
    std::fill(spread.begin(), spread.end(), 0.f);
    const int R = static_cast<int>(std::sqrt(static_cast<double>(q2)) + 0.99999);
    for (int s : src) {
      const int sx = s % w, sy = s / w;
      const float v = Row(yimg, sy)[sx];
      for (int dy = -R; dy <= R; dy++) {
        const int py = sy + dy;
        if (py < 0 || py >= h) continue;
        for (int dx = -R; dx <= R; dx++) {
          const int d2 = dx * dx + dy * dy, px = sx + dx;
          if (d2 < q || d2 >= q2 || px < 0 || px >= w) continue;
          spread[static_cast<size_t>(py) * w + px] += v;
        }
      }
    }
    double best = 2.0;
    int bx = -1, by = -1;
    for (int y = h - 1; y >= 0; y--) {
      const float* r = Row(yimg, y);
      for (int x = 0; x < w; x++) {
        const float sp = spread[static_cast<size_t>(y) * w + x];
        if (!(sp > 1e-7f) || srcmap.Check(x, y) || chosen.Check(x, y)) continue;
        const double ratio = r[x] / sp;
        if (ratio < best) {
          best = ratio;
          bx = x;
          by = y;
        }
      }
    }
    if (bx >= 0 && best < last) {
      last = best;
      chosen.Set(static_cast<uint32_t>(by) * w + bx);
    }
  }

  double T = 0;
  for (int y = 0; y < h; y++) {
    const float* r = Row(yimg, y);
    for (int x = 0; x < w; x++) T += r[x];
  }

  double A[PHDMAXPT][4], Y[PHDMAXPT];
  int npts = 0;
  for (int py = 0; py < h; py++)
    for (int px = 0; px < w; px++) {
      if (!chosen.Check(px, py)) continue;
      if (!DMASSERT(npts < PHDMAXPT)) return 0;
      int c = 0;
      const double target = LocalMin(px, py, &c);
      if (target >= 1e10) continue;  // a block with nothing to measure
      double a[4] = {T, 0, 0, 0};
      for (int y = 0; y < h; y++) {
        const float* r = Row(rimg, y);
        for (int x = 0; x < w; x++) {
          const double d2 =
              std::clamp(double((x - px) * (x - px) + (y - py) * (y - py)), 8.0, 4096.0);
          const double u = 1.0 / std::sqrt(d2), v = r[nc * x + c];
          a[1] += v * u;
          a[2] += v * u * u;
          a[3] += v * u * u * u;
        }
      }
      for (int k = 0; k < 4; k++) A[npts][k] = a[k];
      Y[npts++] = target;
    }
  if (npts < 4) return 0;
  double M[16] = {}, b[4] = {};
  for (int i = 0; i < 4; i++) {
    for (int j = 0; j < 4; j++)
      for (int p = 0; p < npts; p++) M[4 * i + j] += A[p][i] * A[p][j];
    for (int p = 0; p < npts; p++) b[i] += A[p][i] * Y[p];
  }
  if (!GJsolveLinearEq(4, M, b, coef)) return 0;
  ncoef = 3;
  return 1;
}

int FlareFilter::ApplyPSF() {
  const int w = rimg.xres, h = rimg.yres, nc = Channels(rimg);
  const int kw = 2 * w + 1, kh = 2 * h + 1;
  std::vector<float> kern(static_cast<size_t>(kw) * kh);
  for (int y = 0; y <= h; y++)
    for (int x = 0; x <= w; x++) {
      const double d2 = std::clamp(double((x - w) * (x - w) + (y - h) * (y - h)), 8.0, 4096.0);
      const double u = std::sqrt(1.0 / d2);
      double v = coef[ncoef];
      for (int k = ncoef - 1; k >= 0; k--) v = v * u + coef[k];
      const float f = v > 0 ? static_cast<float>(v) : 0.f;
      kern[static_cast<size_t>(y) * kw + x] = f;
      kern[static_cast<size_t>(y) * kw + (kw - 1 - x)] = f;
      kern[static_cast<size_t>(kh - 1 - y) * kw + x] = f;
      kern[static_cast<size_t>(kh - 1 - y) * kw + (kw - 1 - x)] = f;
    }
  std::vector<float> F(static_cast<size_t>(w) * h * nc, 0.f);
  for (int sy = 0; sy < h; sy++) {
    const float* sr = Row(rimg, sy);
    for (int sx = 0; sx < w; sx++) {
      if (!srcmap.Check(sx, sy)) continue;
      const float* col = sr + nc * sx;
      for (int y = 0; y < h; y++) {
        const float* kr = &kern[static_cast<size_t>(y - sy + h) * kw + (w - sx)];
        float* fr = &F[static_cast<size_t>(y) * w * nc];
        for (int x = 0; x < w; x++)
          for (int c = 0; c < nc; c++) fr[nc * x + c] += kr[x] * col[c];
      }
    }
  }
  // Scale the flare so that it stays below the small image everywhere; never below 0, so
  // flare is never added.
  double k = 0.98;
  for (int y = 0; y < h; y++) {
    const float* r = Row(rimg, y);
    const float* fr = &F[static_cast<size_t>(y) * w * nc];
    for (int i = 0; i < w * nc; i++)
      if (fr[i] * k > r[i]) k = std::max(0.0, 0.999 * r[i] / fr[i]);
  }
  if (k <= 0) return 0;
  const int W = img->xres, H = img->yres;
  std::vector<int> ixs(W);
  std::vector<float> txs(W);
  for (int x = 0; x < W; x++) {
    const float fx = (x + 0.5f) * w / W - 0.5f;
    const int ix = std::min(static_cast<int>(fx), w - 2);
    ixs[x] = ix;
    txs[x] = fx - ix;
  }
  const float kf = static_cast<float>(k);
  const int inc = Channels(*img);
  for (int y = 0; y < H; y++) {
    if (y % kPollRows == 0 && poll != nullptr && !poll->Go()) return 0;
    const float fy = (y + 0.5f) * h / H - 0.5f;
    const int iy = std::min(static_cast<int>(fy), h - 2);
    const float ty = fy - iy;
    const float* f0 = &F[static_cast<size_t>(iy) * w * nc];
    const float* f1 = f0 + static_cast<size_t>(w) * nc;
    float* p = Row(*img, y);
    for (int x = 0; x < W; x++, p += inc) {
      const int o = nc * ixs[x];
      const float tx = txs[x];
      const float w00 = (1 - tx) * (1 - ty), w10 = tx * (1 - ty), w01 = (1 - tx) * ty,
                  w11 = tx * ty;
      for (int c = 0; c < nc; c++) {
        const float f =
            w00 * f0[o + c] + w10 * f0[o + nc + c] + w01 * f1[o + c] + w11 * f1[o + nc + c];
        p[c] = std::max(0.f, p[c] - kf * f);
      }
    }
  }
  return 1;
}

int FlareFilter::RemoveFlare(_ImgStruct* image, PHDprogressFunc progress) {
  if (image == nullptr || image->csp == nullptr || image->img == nullptr) return 0;
  if (image->csp->dtype != IDTfloat) {
    DMESSAGE(DMCparameter, "PHDremoveFlare called with LDR image");
    return 0;
  }
  img = image;
  DMESSAGE(DMCtrace, "Begin flare removal...");
  PHDPoll stops(&progress);
  poll = &stops;
  // A Stop heard at a step or inside a pass is traced by the poll.
  auto step = [&](const char* msg, int pct) {
    return stops.Report(msg, pct, "User cancelled RemoveFlare");
  };
  auto cancelled = [&]() { return 0; };
  auto failed = [&]() {
    if (stops.Stopped()) return cancelled();
    if (progress != nullptr) progress("Flare removal failed", 100);
    DMESSAGE(DMCtrace, "Flare removal failed");
    return 0;
  };
  if (!step("Finding flare sources", 0)) return cancelled();
  if (!Resample()) return failed();
  DMESSAGE(DMCtrace, "Image resampled");
  if (!step("Finding flare sources", 20)) return cancelled();
  if (!FindSources()) return failed();
  DMESSAGE(DMCtrace, "Sources found (%ld/%ld points)", NumSources(),
           static_cast<long>(yimg.xres) * yimg.yres);
  if (!step("Computing flare spread", 30)) return cancelled();
  if (!ComputePSF()) return failed();
  std::string psf = "PSF computed (";
  char buf[64];
  for (int k = ncoef; k >= 1; k--) {
    Csnprintf(buf, sizeof(buf), "%.2e/r^%d + ", coef[k], k);
    psf += buf;
  }
  Csnprintf(buf, sizeof(buf), "%.2e)", coef[0]);
  psf += buf;
  dmessage(DMCtrace, psf.c_str(), __FILE__, __LINE__);
  if (!step("Removing lens flare", 60)) return cancelled();
  if (!ApplyPSF()) return failed();
  DMESSAGE(DMCtrace, "Applied PSF to remove flare");
  if (progress != nullptr) progress("Flare removed", 100);
  DMESSAGE(DMCtrace, "Flare removed");
  return 1;
}

int PHDremoveFlare(_ImgStruct* image, PHDprogressFunc progress) {
  FlareFilter ff;
  return ff.RemoveFlare(image, progress);
}
