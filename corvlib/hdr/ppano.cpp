// Panoramas: member list and link triples, anchor checks and alignment, the link tree, and
// rendering of the members into one canvas.
#include "hdr/ppano.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "catalog/pdbase.h"
#include "catalog/pimginfo.h"
#include "catalog/plocate.h"
#include "db/dbquery.h"
#include "hdr/pblendpano.h"
#include "hdr/ppanokern.h"
#include "support/dmessage.h"
#include "image/pconvolve.h"
#include "image/pconvert.h"

namespace {

constexpr float kMaxAlignError = 0.7f;

int IntField(const DBRecord& r, PDBFieldID fid) {
  return static_cast<int>(PDBgetField(r, fid).GetInt());
}

// The float value of a field, when it holds one.
bool FloatField(const DBRecord& r, PDBFieldID fid, float* v) {
  const DBField& f = PDBgetField(r, fid);
  if (!f.IsSet() || f.GetDT() != DBDTfloat) return false;
  *v = f.GetFloat();
  return true;
}

// The anchor rectangle lies inside the image and spans at most 8% of each dimension.
bool RectRule(const DBRecord& r, const _ImgRect& rc) {
  const long W = IntField(r, PDBFxsize), H = IntField(r, PDBFysize);
  if (rc.xleft >= rc.xright || rc.ytop >= rc.ybottom) return false;
  if (rc.xleft < 0 || rc.xright > W || rc.ytop < 0 || rc.ybottom > H) return false;
  return (long(rc.xright) - rc.xleft) * 100 <= W * 8 && (long(rc.ybottom) - rc.ytop) * 100 <= H * 8;
}

// Density scale factors as GetImageSize applies them: the denser axis scaled down when the
// densities are 1% or more apart.
void DensityScale(const DBRecord& r, float* sx, float* sy) {
  *sx = *sy = 1.f;
  float xd, yd;
  if (!FloatField(r, PDBFxdensity, &xd) || !FloatField(r, PDBFydensity, &yd)) return;
  if (yd * 0.99f > xd)
    *sy = xd / yd;
  else if (yd < xd * 0.99f)
    *sx = yd / xd;
}

void CloseReader(_ImgReader* ir) {
  if (ir != nullptr && ir->ri->Close != nullptr) ir->ri->Close(ir);
}

// Reads rect at full resolution into im (compact pixels in im's colour space). A reader that
// cannot deliver that colour space names the one it can: the window is read in that space
// and converted.
bool ReadWindow(_ImgReader* ir, _ImgStruct* im, const _ImgRect& rect) {
  _ImgStruct tmp{};
  _ImgStruct* target = im;
  for (int attempt = 0; attempt < 2; attempt++) {
    _ImgReadBuf rb{};
    rb.cs = *target->csp;
    rb.cs.cstatic = 0;
    rb.r = rect;
    rb.subsample = 1;
    rb.buf = target->img;
    rb.bufsize = static_cast<size_t>(target->rowsize) * target->yres;
    const ImgReadErr err = ir->ri->ReadRec != nullptr ? ir->ri->ReadRec(ir, &rb) : IREunsupported;
    if (err != IREnone) {
      if (ir->errCode == IREnone) ir->errCode = err;
      PreportReaderErr(ir);
      PfreeImage(&tmp);
      return false;
    }
    if (rb.buf != target->img) {
      DMESSAGE(DMCparameter, "Read buffer problem in AlignAnchor");
      std::free(rb.buf);
      PfreeImage(&tmp);
      return false;
    }
    const bool whole = rb.r.xleft == rect.xleft && rb.r.xright == rect.xright &&
                       rb.r.ytop == rect.ytop && rb.r.ybottom == rect.ybottom;
    if (whole && PmatchColorSpace(&rb.cs, target->csp, 3)) {
      if (target == im) return true;
      const bool ok = PmapImage(im, &tmp, 1.0) != 0;
      PfreeImage(&tmp);
      return ok;
    }
    if (attempt > 0 || PpixelSize(&rb.cs) <= 0) break;
    // Read again in the colour space the reader offers.
    tmp.xres = im->xres;
    tmp.yres = im->yres;
    _ImgColorSpace offered = rb.cs;
    tmp.csp = &offered;
    if (!PnewImage(&tmp, 0)) return false;
    target = &tmp;
  }
  DMESSAGE(DMCparameter, "Read buffer problem in AlignAnchor");
  PfreeImage(&tmp);
  return false;
}

// The saddle kernel: r sin(2 theta) over a disc of radius 10.
constexpr int kKern = 21;
const float* SaddleKernel() {
  static float kern[kKern * kKern];
  static bool built = false;
  if (!built) {
    for (int y = -10; y <= 10; y++) {
      const int w = static_cast<int>(std::lround(std::sqrt(100.0 - y * y)));
      for (int x = -w; x <= w; x++)
        kern[(y + 10) * kKern + x + 10] =
            static_cast<float>(std::sqrt(double(x * x + y * y)) * std::sin(2 * std::atan2(y, x)));
    }
    built = true;
  }
  return kern;
}

inline const float* FRow(const _ImgStruct& im, int y) {
  return reinterpret_cast<const float*>(im.img + static_cast<ptrdiff_t>(y) * im.rowsize);
}

}  // namespace

float PpanoWindowErrorPlain(const _ImgStruct& o, int ox, int oy, const _ImgStruct& d, int dx,
                            int dy, int n, int m) {
  double sum = 0;
  long count = 0;
  for (int y = 0; y < m; y++) {
    const float* a = FRow(o, oy + y) + ox;
    const float* b = FRow(d, dy + y) + dx;
    for (int x = 0; x < n; x++) {
      const float s = a[x] + b[x];
      if (!(s > 0)) continue;
      const float q = (a[x] - b[x]) / s;
      sum += q * q;
      count++;
    }
  }
  return count > 0 ? static_cast<float>(2 * std::sqrt(sum / count)) : kMaxAlignError;
}

PPanorama::PPanorama() : anchRect{0, 0, 0, 0}, anchor(-1), linkID(-1), reportProgress(nullptr) {
  cspc = ICS_Y;
  cspc.cstatic = -1;
}

PPanorama::~PPanorama() {
  irl.Init(nullptr);
}

void PPanorama::ClearPano() {
  anchor = -1;
  cspc.cstatic = -1;
  irl.Init(nullptr);
  fieldInfo.Clear();
}

int PPanorama::FindImage(const DBRecord& r) const {
  if (irl.GetSize() == 0 || irl.GetFieldInfo() == nullptr) return -1;
  DBQuery q(&fieldInfo, false);
  if (!PCsetQuery(&q, r, true)) {
    DMESSAGE(DMCparameter, "PCsetQuery failed in FindImage");
    return -1;
  }
  for (int i = 0; i < irl.GetSize(); i++)
    if (irl.Get(i).MatchQuery(&q)) return i;
  return -1;
}

int PPanorama::InsertImage(const DBRecord& r) {
  if (r.GetFieldInfo() == nullptr) return -1;
  if (irl.GetSize() > 0) {
    const int i = FindImage(r);
    if (i >= 0) return i;
  } else {
    fieldInfo = *r.GetFieldInfo();
    linkID =
        fieldInfo.Field("PanoLink", DBDTint, "Panorama Link Rectangles", 0x2201, DBformatInteger);
    if (linkID < 0) {
      DMESSAGE(DMCparameter, "Out of fields in InsertImage");
      return -1;
    }
    irl.Init(&fieldInfo);
  }
  const int n = irl.GetSize();
  if (irl.Resize(n + 1) != n + 1) return -1;
  DBRecord& m = irl[n];
  m = r;
  if (IntField(m, PDBFxsize) <= 0 || IntField(m, PDBFysize) <= 0) {
    DMESSAGE(DMCparameter, "Illegal image size in InsertImage");
    irl.Resize(n);
    return -1;
  }
  if (PDBgetField(m, PDBFcrop).IsSet()) {
    DMESSAGE(DMCwarning, "Ignoring crop for panorama");
    m.ClearField(fieldInfo.GetID(PDBFInfo.GetName(PDBFcrop)));
  }
  return n;
}

int PPanorama::GetLinks(int member, long* values) const {
  if (member < 0 || member >= irl.GetSize() || linkID < 0) return 0;
  const DBField& f = irl.Get(member)[linkID];
  if (!f.IsSet() || f.GetDT() != DBDTint) return 0;
  return f.Get(values, PPANO_MAXVALUES);
}

bool PPanorama::CheckOrig(const DBRecord& r, const _ImgRect& rect) const {
  if (r.GetFieldInfo() == nullptr || !RectRule(r, rect)) return false;
  if (irl.GetSize() == 0) return true;
  const int i = FindImage(r);
  if (i < 0) return false;
  return irl.Get(i)[linkID].GetNV() <= PPANO_MAXVALUES - 1;
}

bool PPanorama::LinkOrig(const DBRecord& r, const _ImgRect& rect) {
  if (!CheckOrig(r, rect)) {
    DMESSAGE(DMCinput, "Bad panorama origin anchor");
    return false;
  }
  anchor = InsertImage(r);
  anchRect = rect;
  return true;
}

bool PPanorama::CheckDest(const DBRecord& r, const _ImgRect& rect) const {
  if (anchor < 0 || anchor >= irl.GetSize() || r.GetFieldInfo() == nullptr) return false;
  const DBRecord& o = irl.Get(anchor);
  if (!(PDBgetField(r, PDBFxdensity) == PDBgetField(o, PDBFxdensity)) ||
      !(PDBgetField(r, PDBFydensity) == PDBgetField(o, PDBFydensity)))
    return false;
  if (!RectRule(r, rect)) return false;
  const int d = FindImage(r);
  if (d < 0) return true;
  long v[PPANO_MAXVALUES];
  const int n = GetLinks(d, v);
  for (int t = n / 3; t-- > 0;)
    if (v[3 * t + 2] == anchor) return true;
  return false;
}

bool PPanorama::SetLink(int m, int x, int y, int partner) {
  long v[PPANO_MAXVALUES];
  const int n = GetLinks(m, v);
  int slot = -1;
  for (int t = n / 3; t-- > 0;)
    if (v[3 * t + 2] == partner) {
      slot = 3 * t;
      break;
    }
  if (slot < 0) slot = n;
  if (slot + 3 > PPANO_MAXVALUES) return false;  // no room for another link
  v[slot] = x;
  v[slot + 1] = y;
  v[slot + 2] = partner;
  return irl[m].SetField(linkID, v, std::max(n, slot + 3)) > 0;
}

bool PPanorama::LinkDest(const DBRecord& r, const _ImgRect& rect) {
  if (!CheckDest(r, rect)) {
    DMESSAGE(DMCinput, "Bad panorama destination anchor");
    return false;
  }
  int res[4];
  if (!AlignAnchor(res, r, rect)) return false;
  float sx, sy;
  DensityScale(r, &sx, &sy);
  const int d = InsertImage(r);
  if (d < 0) return false;
  if (!SetLink(anchor, static_cast<int>(res[0] * sx + 0.5f), static_cast<int>(res[1] * sy + 0.5f),
               d) ||
      !SetLink(d, static_cast<int>(res[2] * sx + 0.5f), static_cast<int>(res[3] * sy + 0.5f),
               anchor)) {
    DMESSAGE(DMCparameter, "No room for another panorama link");
    return false;
  }
  anchor = -1;
  return true;
}

void findPromonotory(int pos[2], const _ImgStruct* img) {
  const float* kern = SaddleKernel();
  if (!DMASSERT_AS(PmatchColorSpace(img->csp, &ICS_Y, 3), "img->csp == kern.csp")) return;
  pos[0] = img->xres / 2;
  pos[1] = img->yres / 2;
  double best = 0;
  for (int y = 0; y + kKern <= img->yres; y++)
    for (int x = 0; x + kKern <= img->xres; x++) {
      double c = 0;
      for (int j = 0; j < kKern; j++) {
        const float* r = FRow(*img, y + j) + x;
        const float* k = kern + j * kKern;
        float s = 0;
        for (int i = 0; i < kKern; i++) s += r[i] * k[i];
        c += s;
      }
      if (c * c > best) {
        best = c * c;
        pos[0] = x + 10;
        pos[1] = y + 10;
      }
    }
}

bool PPanorama::AlignAnchor(int result[4], const DBRecord& dest, const _ImgRect& destRect) {
  if (anchor < 0 || anchor >= irl.GetSize()) return false;
  const DBRecord& orec = irl.Get(anchor);
  const _ImgRect& oR = anchRect;
  const long areaO = long(oR.xright - oR.xleft) * (oR.ybottom - oR.ytop);
  const long areaD = long(destRect.xright - destRect.xleft) * (destRect.ybottom - destRect.ytop);
  const int s = static_cast<int>(std::sqrt(double(std::max(areaO, areaD)) + 0.5));
  int N = s + s / 2 + 16;
  // Fit a square window of side N centred on each rectangle into its image; N only shrinks.
  const int lo[4] = {oR.xleft, oR.ytop, destRect.xleft, destRect.ytop};
  const int hi[4] = {oR.xright, oR.ybottom, destRect.xright, destRect.ybottom};
  const int ext[4] = {IntField(orec, PDBFxsize), IntField(orec, PDBFysize),
                      IntField(dest, PDBFxsize), IntField(dest, PDBFysize)};
  int start[4];
  for (bool again = true; again;) {
    again = false;
    for (int k = 0; k < 4 && !again; k++) {
      start[k] = (lo[k] + hi[k] - N) / 2;
      if (start[k] < 0) {
        N = lo[k] + hi[k];
        again = true;
      } else if (start[k] + N > ext[k]) {
        N = 2 * ext[k] - lo[k] - hi[k] - 1;
        again = true;
      }
    }
  }
  if (N < 4) {
    DMESSAGE(DMCdata, "Cannot align image features (anchor at the image edge)");
    return false;
  }
  const bool progress = reportProgress != nullptr && ext[1] >= 1150 && ext[3] >= 1150;
  auto step = [&](const char* msg, int pct) { return !progress || reportProgress(msg, pct) != 0; };

  _ImgStruct win[2] = {};
  auto freeAll = [&]() {
    PfreeImage(&win[0]);
    PfreeImage(&win[1]);
    return false;
  };
  float so = 0, sd = 0;
  const bool scaled =
      FloatField(orec, PDBFstonits, &so) && FloatField(dest, PDBFstonits, &sd) && so > 0 && sd > 0;
  for (int w = 0; w < 2; w++) {
    _ImgReader* ir = PopenImageD(w == 0 ? orec : dest, false);
    if (ir == nullptr) return freeAll();
    if (w == 0) {
      cspc = ir->cs;
      cspc.cstatic = 0;
    } else if (!PmatchColorSpace(&ir->cs, &cspc, 31)) {
      DMESSAGE(DMCwarning, "Mismatched image color spaces");
    }
    win[w].xres = win[w].yres = N;
    win[w].csp = &cspc;
    if (!PnewImage(&win[w], 0)) {
      CloseReader(ir);
      return freeAll();
    }
    char msg[1100];
    std::snprintf(msg, sizeof(msg), "Reading feature from '%s'", PgetFilename(ir->file));
    if (!step(msg, w == 0 ? 0 : 30)) {
      CloseReader(ir);
      return freeAll();
    }
    dmessage(DMCtrace, msg, __FILE__, __LINE__);
    const _ImgRect r = {start[2 * w], start[2 * w] + N, start[2 * w + 1], start[2 * w + 1] + N};
    const bool ok = ReadWindow(ir, &win[w], r);
    CloseReader(ir);
    if (!ok) return freeAll();
    const double sc = (w == 1 && scaled) ? double(sd) / so : 1.0;
    if (!PconvertColorSpace(&win[w], &ICS_Y, sc)) return freeAll();
  }
  if (!step("Matching features", 60)) return freeAll();
  DMESSAGE(DMCtrace, "Attempting to match image features");
  _ImgStruct blur[2] = {};
  for (int w = 0; w < 2; w++) {
    blur[w].xres = win[w].xres;
    blur[w].yres = win[w].yres;
    blur[w].csp = &ICS_Y;
    if (!PblurImage(&blur[w], &win[w], 1.2)) {
      PfreeImage(&blur[0]);
      return freeAll();
    }
  }
  freeAll();
  auto freeBlur = [&]() {
    PfreeImage(&blur[0]);
    PfreeImage(&blur[1]);
    return false;
  };
  if (!DMASSERT(blur[0].xres == blur[1].xres && blur[0].yres == blur[1].yres)) return freeBlur();
  const int hx = blur[0].xres / 2, hy = blur[0].yres / 2;
  const int sw = blur[0].xres - hx, sh = blur[0].yres - hy;
  // Consecutive shifts often give the same pair of sub-windows; an equal error never
  // replaces the best, so each distinct pair is evaluated once.
  float best = 70.f;
  int bdx = 0, bdy = 0;
  bool found = false;
  for (int dy = -hy; dy < hy; dy++) {
    const int oy = (dy + hy + 1) / 2, ty = (hy - dy) / 2;
    if (dy > -hy && oy == (dy - 1 + hy + 1) / 2 && ty == (hy - dy + 1) / 2) continue;
    for (int dx = -hx; dx < hx; dx++) {
      const int ox = (dx + hx + 1) / 2, tx = (hx - dx) / 2;
      if (dx > -hx && ox == (dx - 1 + hx + 1) / 2 && tx == (hx - dx + 1) / 2) continue;
      const float e = PpanoWindowError(blur[0], ox, oy, blur[1], tx, ty, sw, sh);
      if (e < best) {
        best = e;
        bdx = dx;
        bdy = dy;
        found = true;
      }
    }
  }
  if (!found || best > kMaxAlignError) {
    DMESSAGE(DMCdata, "Cannot align image features (%.0f%% RMS error)", 100.0 * best);
    return freeBlur();
  }
  const int ox = (bdx + hx + 1) / 2, oy = (bdy + hy + 1) / 2;
  const int tx = (hx - bdx) / 2, ty = (hy - bdy) / 2;
  _ImgStruct sub{};
  const _ImgRect sr = {ox, ox + sw, oy, oy + sh};
  if (!PlinkSubimage(&sub, &blur[0], &sr)) return freeBlur();
  int p[2] = {0, 0};
  findPromonotory(p, &sub);
  PfreeImage(&sub);
  freeBlur();
  result[0] = p[0] + ox + start[0];
  result[1] = p[1] + oy + start[1];
  result[2] = p[0] + tx + start[2];
  result[3] = p[1] + ty + start[3];
  step("Done", 100);
  return true;
}

bool PPanorama::Linked(int from, int to, ABitMap* visited, int offset[2]) const {
  if (from == to) {
    if (offset != nullptr) offset[0] = offset[1] = 0;
    return true;
  }
  if (visited == nullptr || from < 0 || static_cast<uint32_t>(from) >= visited->Length())
    return false;
  if (visited->Check(static_cast<uint32_t>(from))) return false;
  visited->Set(static_cast<uint32_t>(from));
  long v[PPANO_MAXVALUES];
  const int n = GetLinks(from, v) / 3;
  int t = n;
  while (t-- > 0)
    if (Linked(static_cast<int>(v[3 * t + 2]), to, visited, offset)) break;
  if (t < 0) return false;
  if (offset != nullptr) {
    const int partner = static_cast<int>(v[3 * t + 2]);
    long pv[PPANO_MAXVALUES];
    int b = GetLinks(partner, pv) / 3;
    while (b-- > 0)
      if (pv[3 * b + 2] == from) break;
    if (b < 0) {
      DMESSAGE(DMCassert, "Missing link-back");
      return false;
    }
    offset[0] += static_cast<int>(v[3 * t] - pv[3 * b]);
    offset[1] += static_cast<int>(v[3 * t + 1] - pv[3 * b + 1]);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Rendering

bool PPanorama::GetImageSize(int size[2], int member) const {
  if (size == nullptr || member < 0 || member >= irl.GetSize()) return false;
  const DBRecord& r = irl.Get(member);
  const DBField& fx = PDBgetField(r, PDBFxsize);
  const DBField& fy = PDBgetField(r, PDBFysize);
  if (!fx.IsSet() || fx.GetDT() != DBDTint || !fy.IsSet() || fy.GetDT() != DBDTint) return false;
  int w = static_cast<int>(fx.GetInt()), h = static_cast<int>(fy.GetInt());
  float xd, yd;
  if (FloatField(r, PDBFxdensity, &xd) && FloatField(r, PDBFydensity, &yd)) {
    if (yd * 0.99f > xd)
      h = static_cast<int>(h * (xd / yd) + 0.5f);
    else if (yd < xd * 0.99f)
      w = static_cast<int>(w * (yd / xd) + 0.5f);
  }
  size[0] = w;
  size[1] = h;
  return w > 1 && h > 1;
}

const char* PPanorama::CheckPano(_ImgColorSpace* csp, int size[2], int origin[2]) const {
  const int n = irl.GetSize();
  if (n < 2) return "Too few images for panorama";
  if (csp != nullptr) {
    *csp = cspc;
    csp->cstatic = 0;
  }
  const bool want = size != nullptr || origin != nullptr;
  int s0[2] = {0, 0};
  if (want && !GetImageSize(s0, 0)) return "Bad image size";
  int xmin = 0, ymin = 0, xmax = s0[0], ymax = s0[1];
  const DBRecord& r0 = irl.Get(0);
  for (int i = n - 1; i >= 1; i--) {
    const DBRecord& ri = irl.Get(i);
    if (!(PDBgetField(ri, PDBForient) == PDBgetField(r0, PDBForient)) ||
        !(PDBgetField(ri, PDBFflip) == PDBgetField(r0, PDBFflip)))
      return "Images do not match orientation";
    ABitMap visited(static_cast<uint32_t>(n));
    int off[2] = {0, 0};
    if (!Linked(0, i, &visited, want ? off : nullptr)) return "Image set not fully joined";
    if (want) {
      int si[2];
      if (!GetImageSize(si, i)) return "Bad image size";
      xmin = std::min(xmin, off[0]);
      xmax = std::max(xmax, off[0] + si[0]);
      ymin = std::min(ymin, off[1]);
      ymax = std::max(ymax, off[1] + si[1]);
    }
  }
  if (size != nullptr) {
    size[0] = xmax - xmin;
    size[1] = ymax - ymin;
  }
  if (origin != nullptr) {
    origin[0] = -xmin;
    origin[1] = -ymin;
  }
  return nullptr;
}

float PPanorama::GetStoNits() const {
  float v;
  if (irl.GetSize() < 1 || !FloatField(irl.Get(0), PDBFstonits, &v)) return -1.f;
  return v;
}

bool PPanorama::RenderPano(_ImgStruct* canvas, ABitMap2* mask) {
  if (canvas == nullptr || canvas->csp == nullptr) return false;
  int size[2], origin[2];
  const char* why = CheckPano(nullptr, size, origin);
  if (why != nullptr) {
    dmessage(DMCinput, why, __FILE__, __LINE__);
    return false;
  }
  if (!Progress("Building Panorama", 0)) {
    DMESSAGE(DMCtrace, "User cancelled Panorama builder");
    return false;
  }
  const bool had = canvas->img != nullptr;
  if (!PnewImage(canvas, double(size[1]) / size[0])) return false;
  if (!had) {
    DMESSAGE(DMCtrace, "Clearing %dx%d canvas", canvas->xres, canvas->yres);
    PclearImage(canvas, nullptr);
  }
  if (mask != nullptr) mask->NewBitMap(canvas->xres, canvas->yres, false);
  const float scale = static_cast<float>(canvas->xres) / size[0];
  int s0[2];
  GetImageSize(s0, 0);
  _ImgRect r;
  r.xleft = std::max(0, static_cast<int>(scale * origin[0] + 0.5f));
  r.ytop = std::max(0, static_cast<int>(scale * origin[1] + 0.5f));
  r.xright = std::min(canvas->xres, r.xleft + static_cast<int>(scale * s0[0] + 0.5f));
  r.ybottom = std::min(canvas->yres, r.ytop + static_cast<int>(scale * s0[1] + 0.5f));
  _ImgStruct view{};
  if (!PlinkSubimage(&view, canvas, &r)) {
    DMESSAGE(DMCparameter, "PlinkSubimage failed");
    return false;
  }
  _ImgReader* ir = PopenImageD(irl.Get(0), false);
  if (ir == nullptr) {
    PfreeImage(&view);
    PfreeImage(canvas);
    return false;
  }
  DMESSAGE(DMCtrace, "Loading image '%s'", ir->file);
  int ok = PrenderImageR(&view, ir, 0);
  CloseReader(ir);
  int vx, vy;
  if (ok && !PpixPos(&vx, &vy, canvas, view.img)) {
    // The renderer gave the view pixels of its own (a conversion that could not be done in
    // place): copy them into the canvas and view that part again.
    ok = PcopyImage(canvas, &view, r.xleft, r.ytop);
    PfreeImage(&view);
    ok = ok && PlinkSubimage(&view, canvas, &r);
  }
  if (!ok) {
    PfreeImage(&view);
    PfreeImage(canvas);
    return false;
  }
  ABitMap visited(static_cast<uint32_t>(irl.GetSize()));
  const bool done = RenderLinked(canvas, scale, 0, &view, &visited, mask);
  PfreeImage(&view);
  if (!done) PfreeImage(canvas);
  return done;
}

bool PPanorama::RenderLinked(_ImgStruct* canvas, float scale, int m, const _ImgStruct* placed,
                             ABitMap* visited, ABitMap2* mask) {
  int X, Y;
  if (!PpixPos(&X, &Y, canvas, placed->img)) {
    DMESSAGE(DMCassert, "PpixPos failed!");
    return false;
  }
  if (mask != nullptr) mask->ClearRect(X, Y, placed->xres, placed->yres, true);
  visited->Set(static_cast<uint32_t>(m));
  const int pct = static_cast<int>(visited->SumTotal() * 100 / irl.GetSize());
  // Between the steps of each partner (its reading, blending and copying, each up to a fraction
  // of a second on large pictures) a Stop is heard too.
  auto going = [&] {
    if (Progress(nullptr, pct)) return true;
    DMESSAGE(DMCtrace, "User cancelled panorama builder");
    return false;
  };
  if (!going()) {
    PfreeImage(canvas);
    return false;
  }
  float ref = -1.f;
  if (!FloatField(irl.Get(0), PDBFstonits, &ref)) ref = -1.f;
  long v[PPANO_MAXVALUES];
  const int nt = GetLinks(m, v) / 3;
  for (int t = nt; t-- > 0;) {
    const int p = static_cast<int>(v[3 * t + 2]);
    if (p < 0 || p >= irl.GetSize() || visited->Check(static_cast<uint32_t>(p))) continue;
    long pv[PPANO_MAXVALUES];
    int b = GetLinks(p, pv) / 3;
    while (b-- > 0)
      if (pv[3 * b + 2] == m) break;
    if (b < 0) {
      DMESSAGE(DMCassert, "Missing link-back");
      return false;
    }
    const int tx = static_cast<int>(pv[3 * b] * scale + 0.5f);
    const int ty = static_cast<int>(pv[3 * b + 1] * scale + 0.5f);
    const int mx = static_cast<int>(v[3 * t] * scale + 0.5f);
    const int my = static_cast<int>(v[3 * t + 1] * scale + 0.5f);
    const DBRecord& pr = irl.Get(p);
    int ps[2];
    if (!GetImageSize(ps, p)) return false;
    _ImgReader* ir = PopenImageD(pr, false);
    if (ir == nullptr) return false;
    DMESSAGE(DMCtrace, "Loading image '%s'", ir->file);
    // The partner at its density-corrected size times the scale, as member 0.
    _ImgStruct part{};
    part.xres = std::max(1, static_cast<int>(ps[0] * scale + 0.5f));
    part.yres = std::max(1, static_cast<int>(ps[1] * scale + 0.5f));
    part.csp = canvas->csp;
    const int rok = PnewImage(&part, 0) && PrenderImageR(&part, ir, 0);
    CloseReader(ir);
    if (!rok || !going()) {
      PfreeImage(&part);
      return false;
    }
    float sn;
    if (ref > 0 && FloatField(pr, PDBFstonits, &sn)) {
      const float ratio = sn / ref;
      if (ratio < 0.98f || ratio > 1.01f) {
        DMESSAGE(DMCtrace, "Adjusting exposure by %f", ratio);
        if (canvas->csp->dtype == IDTfloat) {
          const int nf = part.xres * ImgPixelLen[part.csp->format];
          for (int y = 0; y < part.yres; y++) {
            float* row =
                reinterpret_cast<float*>(part.img + static_cast<ptrdiff_t>(y) * part.rowsize);
            for (int i = 0; i < nf; i++) row[i] *= ratio;
          }
        } else {
          DMESSAGE(DMCwarning, "Uncorrected exposure difference (%f)", ratio);
        }
      }
    }
    DMESSAGE(DMCtrace, "Computing blend region");
    _ImgStruct blend{};
    blend.csp = canvas->csp;
    const int rect[4] = {mx, mx - tx + part.xres, my, my - ty + part.yres};
    if (!PblendPano(&blend, rect, placed, &part)) {
      DMESSAGE(DMCdata, "Cannot blend panorama overlap");
      PfreeImage(&part);
      return false;
    }
    if (!going()) {
      PfreeImage(&blend);
      PfreeImage(&part);
      return false;
    }
    DMESSAGE(DMCtrace, "Compositing into panorama");
    const int px = X + mx - tx, py = Y + my - ty;
    const int pw = part.xres, ph = part.yres;
    int cok = PcopyImage(canvas, &part, px, py);
    PfreeImage(&part);
    // The blend covers the overlap of placed and partner, at the overlap's own place.
    cok = cok && PcopyImage(canvas, &blend, X + std::max(0, mx - tx), Y + std::max(0, my - ty));
    PfreeImage(&blend);
    if (!cok) return false;
    _ImgRect pr2 = {px, px + pw, py, py + ph};
    const _ImgRect all = {0, canvas->xres, 0, canvas->yres};
    _ImgStruct view{};
    if (!PclipRect(&pr2, &all) || !PlinkSubimage(&view, canvas, &pr2)) {
      DMESSAGE(DMCparameter, "PlinkSubimage failed");
      return false;
    }
    const bool ok = RenderLinked(canvas, scale, p, &view, visited, mask);
    PfreeImage(&view);
    if (!ok) return false;
  }
  return true;
}
