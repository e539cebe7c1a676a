// View specifications: checking, option text, and image/world geometry.
#include "picture/view.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "picture/words.h"
#include "support/cnumber.h"
#include "support/futil.h"

const VIEW stdview = {VT_PER, {0, 0, 0}, {0, 1, 0}, {0, 0, 1}, 1,         45, 45, 0,
                      0,      0,         0,         {0, 0, 0}, {0, 0, 0}, 0,  0};

namespace {

constexpr double kFTiny = 1e-6;
constexpr double kPi = 3.14159265358979323846;

inline bool isSpace(char c) {
  return Cspace(c);
}

inline void vscale(FVECT v, double f) {
  v[0] *= f;
  v[1] *= f;
  v[2] *= f;
}
inline double vlen(const FVECT v) {
  return std::sqrt(fdot(v, v));
}
inline bool differs(double a, double b) {
  return std::fabs(a - b) > kFTiny;
}

// The text position after n words (and the white space after them) of s.
const char* afterWords(const char* s, int n) {
  while (n-- > 0 && *s != '\0') {
    while (*s != '\0' && !isSpace(*s)) s++;
    while (isSpace(*s)) s++;
  }
  return s;
}

// Appends formatted text to the static option buffer.
struct TextBuf {
  char* buf;
  size_t size;
  size_t len;
  void add(const char* fmt, double a) {
    if (len < size) len += Csnprintf(buf + len, size - len, fmt, a);
  }
  void add3(const char* fmt, const FVECT v) {
    if (len < size) len += Csnprintf(buf + len, size - len, fmt, v[0], v[1], v[2]);
  }
};

// The running program's base name.
const char* ownName() {
  static const char* name = nullptr;
  if (name == nullptr) {
    const char* s = program_invocation_short_name;
    if (s == nullptr) s = "";
    const char* slash = std::strrchr(s, '/');
    name = slash != nullptr ? slash + 1 : s;
  }
  return name;
}

}  // namespace

const char* setview(VIEW* v) {
  if (v->vaft < -kFTiny || (v->vaft > kFTiny && v->vaft <= v->vfore))
    return "illegal fore/aft clipping plane";
  if (v->vdist <= kFTiny) return "illegal view distance";
  v->vdist *= normalize(v->vdir);
  if (v->vdist == 0.0) return "zero view direction";
  if (normalize(v->vup) == 0.0) return "zero view up vector";
  fcross(v->hvec, v->vdir, v->vup);
  if (normalize(v->hvec) == 0.0) return "view up parallel to view direction";
  fcross(v->vvec, v->hvec, v->vdir);
  if (v->horiz <= kFTiny) return "illegal horizontal view size";
  if (v->vert <= kFTiny) return "illegal vertical view size";
  const double h = v->horiz, w = v->vert;
  double hn, vn;
  switch (v->type) {
    case VT_ANG:
      if (h > 360.0 + kFTiny) return "illegal horizontal view size";
      if (w > 360.0 + kFTiny) return "illegal vertical view size";
      hn = h * (kPi / 180.0);
      vn = w * (kPi / 180.0);
      break;
    case VT_CYL:
      if (h > 360.0 + kFTiny) return "illegal horizontal view size";
      if (w >= 180.0 - kFTiny) return "illegal vertical view size";
      hn = h * (kPi / 180.0);
      vn = 2.0 * std::tan(w * (kPi / 360.0));
      break;
    case VT_HEM:
      if (h > 180.0 + kFTiny) return "illegal horizontal view size";
      if (w > 180.0 + kFTiny) return "illegal vertical view size";
      hn = 2.0 * std::sin(h * (kPi / 360.0));
      vn = 2.0 * std::sin(w * (kPi / 360.0));
      break;
    case VT_PAR:
      hn = h;
      vn = w;
      break;
    case VT_PLS: {
      if (h >= 360.0 - kFTiny) return "illegal horizontal view size";
      if (w >= 360.0 - kFTiny) return "illegal vertical view size";
      const double th = h * (kPi / 360.0), tw = w * (kPi / 360.0);
      hn = 2.0 * std::sin(th) / (1.0 + std::cos(th));
      vn = 2.0 * std::sin(tw) / (1.0 + std::cos(tw));
      break;
    }
    case VT_PER:
      if (h >= 180.0 - kFTiny) return "illegal horizontal view size";
      if (w >= 180.0 - kFTiny) return "illegal vertical view size";
      hn = 2.0 * std::tan(h * (kPi / 360.0));
      vn = 2.0 * std::tan(w * (kPi / 360.0));
      break;
    default:
      return "unknown view type";
  }
  if (v->type == VT_PER || v->type == VT_PAR || v->type == VT_HEM) {
    vscale(v->hvec, hn);
    vscale(v->vvec, vn);
  } else if (v->type == VT_CYL) {
    vscale(v->vvec, vn);
  }
  v->hn2 = hn * hn;
  v->vn2 = vn * vn;
  return nullptr;
}

void normaspect(double va, double* ap, int* xp, int* yp) {
  if (*ap <= kFTiny)
    *ap = va * *xp / *yp;
  else if (va * *xp > *ap * *yp)
    *xp = static_cast<int>(*yp / va * *ap + 0.5);
  else
    *yp = static_cast<int>(*xp * va / *ap + 0.5);
}

double viewray(FVECT orig, FVECT dir, const VIEW* v, double x, double y) {
  x += v->hoff - 0.5;
  y += v->voff - 0.5;
  const double aft = v->vaft > kFTiny ? v->vaft - v->vfore : 0.0;
  switch (v->type) {
    case VT_PAR:
      for (int i = 0; i < 3; i++) {
        orig[i] = v->vp[i] + v->vfore * v->vdir[i] + x * v->hvec[i] + y * v->vvec[i];
        dir[i] = v->vdir[i];
      }
      return aft;
    case VT_PER:
    case VT_CYL: {
      if (v->type == VT_PER) {
        for (int i = 0; i < 3; i++) dir[i] = v->vdir[i] + x * v->hvec[i] + y * v->vvec[i];
      } else {
        const double a = x * v->horiz * (kPi / 180.0);
        const double ca = std::cos(a), sa = std::sin(a);
        for (int i = 0; i < 3; i++) dir[i] = ca * v->vdir[i] + sa * v->hvec[i] + y * v->vvec[i];
      }
      fvsum(orig, v->vp, dir, v->vfore);
      const double d = normalize(dir);
      return v->vaft > kFTiny ? d * (v->vaft - v->vfore) : 0.0;
    }
    case VT_HEM: {
      const double z2 = 1.0 - x * x * v->hn2 - y * y * v->vn2;
      if (z2 < 0.0) return -1.0;
      const double z = std::sqrt(z2);
      for (int i = 0; i < 3; i++) dir[i] = z * v->vdir[i] + x * v->hvec[i] + y * v->vvec[i];
      break;
    }
    case VT_ANG: {
      x *= v->horiz / 180.0;
      y *= v->vert / 180.0;
      const double r2 = x * x + y * y;
      if (r2 > 1.0) return -1.0;
      const double r = std::sqrt(r2);
      const double z = std::cos(kPi * r);
      const double f = r <= kFTiny ? kPi : std::sqrt(1.0 - z * z) / r;
      for (int i = 0; i < 3; i++) dir[i] = z * v->vdir[i] + f * x * v->hvec[i] + f * y * v->vvec[i];
      break;
    }
    case VT_PLS: {
      x *= std::sqrt(v->hn2);
      y *= std::sqrt(v->vn2);
      const double r2 = x * x + y * y;
      const double z = (1.0 - r2) / (1.0 + r2);
      const double f = r2 <= kFTiny * kFTiny ? kPi : std::sqrt((1.0 - z * z) / r2);
      for (int i = 0; i < 3; i++) dir[i] = z * v->vdir[i] + f * x * v->hvec[i] + f * y * v->vvec[i];
      break;
    }
    default:
      return -1.0;
  }
  fvsum(orig, v->vp, dir, v->vfore);
  return aft;
}

void viewloc(FVECT ip, const VIEW* v, const FVECT p) {
  FVECT d;
  for (int i = 0; i < 3; i++) d[i] = p[i] - v->vp[i];
  ip[0] = 0.5 - v->hoff;
  ip[1] = 0.5 - v->voff;
  switch (v->type) {
    case VT_PER: {
      ip[2] = vlen(d);
      double z = fdot(d, v->vdir);
      if (z < 0.0) {
        ip[2] = -ip[2];
        z = -z;
      }
      if (z > kFTiny) {
        vscale(d, 1.0 / z);
        ip[2] *= 1.0 - v->vfore / z;
      } else {
        ip[2] *= 1.0 - v->vfore * z;
      }
      break;
    }
    case VT_PAR:
      ip[2] = fdot(d, v->vdir) - v->vfore;
      break;
    case VT_HEM: {
      ip[2] = normalize(d);
      if (fdot(d, v->vdir) < 0.0) ip[2] = -ip[2];
      ip[2] -= v->vfore;
      break;
    }
    case VT_CYL: {
      const double dv = fdot(d, v->vdir), dh = fdot(d, v->hvec);
      ip[0] += std::atan2(dh, dv) * (180.0 / kPi) / v->horiz;
      const double q = 1.0 / std::sqrt(dv * dv + dh * dh);
      ip[1] += fdot(d, v->vvec) * q / v->vn2;
      ip[2] = vlen(d) * (1.0 - v->vfore * q);
      return;
    }
    case VT_ANG:
    case VT_PLS: {
      ip[2] = normalize(d) - v->vfore;
      const double c = fdot(d, v->vdir);
      if (c >= 1.0 - kFTiny) return;  // straight ahead: the centre
      if (v->type == VT_ANG) {
        if (c <= -1.0 + kFTiny) {
          ip[0] += 180.0 / v->horiz;
          return;
        }
        const double g = std::acos(c) * (180.0 / kPi) / std::sqrt(1.0 - c * c);
        ip[0] += g * fdot(d, v->hvec) / v->horiz;
        ip[1] += g * fdot(d, v->vvec) / v->vert;
      } else {
        if (c <= -1.0 + kFTiny) return;  // straight behind has no image position
        ip[0] += fdot(d, v->hvec) / (1.0 + c) / std::sqrt(v->hn2);
        ip[1] += fdot(d, v->vvec) / (1.0 + c) / std::sqrt(v->vn2);
      }
      return;
    }
    default:
      return;
  }
  ip[0] += fdot(d, v->hvec) / v->hn2;
  ip[1] += fdot(d, v->vvec) / v->vn2;
}

void pix2loc(double loc[2], const PICRES* rp, int px, int py) {
  int x, y;
  if (rp->order & RES_YMAJ) {
    x = px;
    y = py;
  } else {
    x = py;
    y = px;
  }
  if (rp->order & RES_XDEC) x = rp->xres - x - 1;
  if (rp->order & RES_YDEC) y = rp->yres - y - 1;
  loc[0] = (x + 0.5) / rp->xres;
  loc[1] = (y + 0.5) / rp->yres;
}

void loc2pix(int pp[2], const PICRES* rp, double lx, double ly) {
  int x = static_cast<int>(lx * rp->xres);
  int y = static_cast<int>(ly * rp->yres);
  if (rp->order & RES_XDEC) x = rp->xres - x - 1;
  if (rp->order & RES_YDEC) y = rp->yres - y - 1;
  if (rp->order & RES_YMAJ) {
    pp[0] = x;
    pp[1] = y;
  } else {
    pp[0] = y;
    pp[1] = x;
  }
}

int getviewopt(VIEW* v, int ac, const char* const* av) {
  if (ac < 1 || av == nullptr || av[0] == nullptr) return -1;
  const char* w = av[0];
  if (w[0] != '-' || w[1] != 'v' || w[2] == '\0') return -1;
  auto endsHere = [](char c) { return c == '\0' || isSpace(c); };
  const char opt = w[2];
  if (opt == 't') {
    if (endsHere(w[3]) || !endsHere(w[4])) return -1;
    v->type = static_cast<unsigned char>(w[3]);
    return 0;
  }
  if (!endsHere(w[3])) return -1;
  double* vec = nullptr;
  double* one = nullptr;
  switch (opt) {
    case 'p':
      vec = v->vp;
      break;
    case 'd':
      vec = v->vdir;
      break;
    case 'u':
      vec = v->vup;
      break;
    case 'h':
      one = &v->horiz;
      break;
    case 'v':
      one = &v->vert;
      break;
    case 'o':
      one = &v->vfore;
      break;
    case 'a':
      one = &v->vaft;
      break;
    case 's':
      one = &v->hoff;
      break;
    case 'l':
      one = &v->voff;
      break;
    default:
      return -1;
  }
  if (vec != nullptr) {
    if (badarg(ac - 1, av + 1, "fff") != 0) return -1;
    for (int i = 0; i < 3; i++) vec[i] = Catof(av[1 + i]);
    if (opt == 'd') v->vdist = 1.0;
    return 3;
  }
  if (badarg(ac - 1, av + 1, "f") != 0) return -1;
  *one = Catof(av[1]);
  return 1;
}

int sscanview(VIEW* v, const char* text) {
  if (text == nullptr) return 0;
  int count = 0;
  const char* s = text;
  while (isSpace(*s)) s++;
  while (*s != '\0') {
    const char* av[4];
    int ac = 0;
    if (*s == '-') {
      const char* w = s;
      while (ac < 4 && *w != '\0') {
        av[ac++] = w;
        w = afterWords(w, 1);
      }
    }
    const int n = getviewopt(v, ac, av);
    if (n < 0) {
      s = afterWords(s, 1);  // an unreadable word, or an option without fitting arguments
    } else {
      count++;
      s = afterWords(s, n + 1);
    }
  }
  return count;
}

const char* viewopt(const VIEW* v) {
  // Ten options with 13-character numbers fit well within this.
  static char buf[512];
  TextBuf t{buf, sizeof buf, 0};
  buf[0] = '\0';
  if (v->type != stdview.type) {
    std::snprintf(buf, sizeof buf, " -vt%c", v->type);
    t.len = std::strlen(buf);
  }
  if (differs(v->vp[0], stdview.vp[0]) || differs(v->vp[1], stdview.vp[1]) ||
      differs(v->vp[2], stdview.vp[2]))
    t.add3(" -vp %.6g %.6g %.6g", v->vp);
  if (differs(v->vdist, stdview.vdist) || differs(v->vdir[0], stdview.vdir[0]) ||
      differs(v->vdir[1], stdview.vdir[1]) || differs(v->vdir[2], stdview.vdir[2])) {
    const FVECT d = {v->vdir[0] * v->vdist, v->vdir[1] * v->vdist, v->vdir[2] * v->vdist};
    t.add3(" -vd %.6g %.6g %.6g", d);
  }
  if (differs(v->vup[0], stdview.vup[0]) || differs(v->vup[1], stdview.vup[1]) ||
      differs(v->vup[2], stdview.vup[2]))
    t.add3(" -vu %.6g %.6g %.6g", v->vup);
  if (differs(v->horiz, stdview.horiz)) t.add(" -vh %.6g", v->horiz);
  if (differs(v->vert, stdview.vert)) t.add(" -vv %.6g", v->vert);
  if (differs(v->vfore, stdview.vfore)) t.add(" -vo %.6g", v->vfore);
  if (differs(v->vaft, stdview.vaft)) t.add(" -va %.6g", v->vaft);
  if (differs(v->hoff, stdview.hoff)) t.add(" -vs %.6g", v->hoff);
  if (differs(v->voff, stdview.voff)) t.add(" -vl %.6g", v->voff);
  return buf;
}

void fprintview(const VIEW* v, FILE* fp) {
  Cfprintf(fp, " -vt%c", v->type);
  Cfprintf(fp, " -vp %.6g %.6g %.6g", v->vp[0], v->vp[1], v->vp[2]);
  Cfprintf(fp, " -vd %.6g %.6g %.6g", v->vdir[0] * v->vdist, v->vdir[1] * v->vdist,
           v->vdir[2] * v->vdist);
  Cfprintf(fp, " -vu %.6g %.6g %.6g", v->vup[0], v->vup[1], v->vup[2]);
  Cfprintf(fp, " -vh %.6g -vv %.6g", v->horiz, v->vert);
  Cfprintf(fp, " -vo %.6g -va %.6g", v->vfore, v->vaft);
  Cfprintf(fp, " -vs %.6g -vl %.6g", v->hoff, v->voff);
}

int isview(const char* line) {
  if (line == nullptr) return 0;
  const char* end = line;
  while (*end != '\0' && *end != ' ') end++;
  const char* base = line;
  for (const char* s = line; s < end; s++)
    if (*s == '/') base = s + 1;
  const size_t len = static_cast<size_t>(end - base);
  const char* names[] = {ownName(), VIEWSTR};
  for (const char* name : names) {
    const size_t n = std::strlen(name);
    if (n > 0 && n <= len && std::strncmp(base, name, n) == 0) return 1;
  }
  return 0;
}

int gethview(const char* line, void* viewhead) {
  VIEWHEAD* hv = static_cast<VIEWHEAD*>(viewhead);
  if (isview(line) && sscanview(hv->view, line) > 0) hv->count++;
  return 0;
}

int viewfile(const char* fname, VIEW* vp, PICRES* rp) {
  const bool std_in = fname == nullptr || std::strcmp(fname, "-") == 0;
  FILE* fp = std_in ? stdin : PfopenRead(fname);
  if (fp == nullptr) return -1;
  VIEWHEAD hv{vp, 0};
  getheader(fp, gethview, &hv);
  int result = hv.count;
  if (rp != nullptr) {
    char buf[RESOLU_BUFLEN];
    if (std::fgets(buf, sizeof buf, fp) == nullptr || !str2resolu(rp, buf)) result = 0;
  }
  if (!std_in) std::fclose(fp);
  return result;
}
