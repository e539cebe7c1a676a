// Reading RGBE and XYZE pictures: frames and scanline positions found as they are passed,
// any rectangle with integer subsampling in all eight scan orders, delivery as the picture's
// own float colour or as tone-mapped 8-bit RGB, and the header lines as image information.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "formats/exif.h"
#include "picture/picheader.h"
#include "picture/rgbe.h"
#include "formats/radformat.h"
#include "tonemap/tonemap.h"
#include "support/cnumber.h"
#include "support/futil.h"

namespace {

// Frame seek modes: absolute, relative, advance.
enum { kSeekAbs = 0, kSeekRel = 1, kSeekAdv = 2 };

constexpr size_t kFirstFrameSlots = 60;
constexpr double kHistoPixels = 262144.0;  // pixels the tone-mapping histogram samples at most
constexpr int kTmFlagsHuman = 0x15B;       // human contrast, mesopic and the outside options
constexpr int kTmFlagsPlain = TMF_QUIET;
const char kEncRGBE[] = "RLE RGBE";
const char kEncXYZE[] = "RLE XYZE";

struct RadReader {
  _ImgReader ir;
  FILE* fp;
  int64_t* frameTab;  // header position of each frame (0: not known); &frame0 at first
  int64_t frame0;
  size_t frameCap;  // slots of frameTab
  PICRES res;
  RGBPRIMP prims;    // stdprims, picPrims, or null for XYZ
  RGBEPIX* scan;     // the scanline last read
  RGBEPIX* pick;     // pixels picked from it, in output order
  uint8_t* conv;     // converted picked pixels (up to 12 bytes each)
  TMbright* brt;     // brightness of the picked pixels
  int64_t* scanTab;  // position of each scanline and of the frame's end (0: not known)
  int cur;           // scanline the file is positioned at; -1 unknown
  double lumScale;   // pixel value to cd/m2
  double dispRange, dispMax;
  int human;
  TMstruct* tm;  // current mapping, built for dispPrims
  bool mapOK;    // whether tm can map (a failed build is remembered)
  float picPrims[4][2];
  float dispPrims[4][2];
};

RadReader* self(_ImgReader* ir) {
  return reinterpret_cast<RadReader*>(ir);
}

bool fail(RadReader* r, ImgReadErr code, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
bool fail(RadReader* r, ImgReadErr code, const char* fmt, ...) {
  r->ir.errCode = code;
  va_list ap;
  va_start(ap, fmt);
  Cvsnprintf(r->ir.errMsg, sizeof r->ir.errMsg, fmt, ap);
  va_end(ap);
  return false;
}

int scanLen(const RadReader* r) {
  return picresScanlen(r->res);
}
int numScans(const RadReader* r) {
  return picresNumScans(r->res);
}

// 0 when the two sets of primaries agree within 1e-4 (or are the same pointer), else 1.
int comparePrims(RGBPRIMP a, RGBPRIMP b) {
  if (a == b) return 0;
  if (a == nullptr || b == nullptr) return 1;
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 2; j++)
      if (std::fabs(a[i][j] - b[i][j]) > 1e-4f) return 1;
  return 0;
}

// Header lines that shape the pixels of a frame.
int checkHeadline(const char* line, void* data) {
  RadReader* r = static_cast<RadReader*>(data);
  char fmt[MAXFMTLEN];
  if (headidval(nullptr, line)) return 0;
  if (formatval(fmt, line)) {
    if (strcmp(fmt, COLRFMT) == 0) {
      r->ir.encoding = kEncRGBE;
    } else if (strcmp(fmt, CIEFMT) == 0) {
      if (r->prims != nullptr) r->lumScale /= 179.0;
      r->prims = nullptr;
      r->ir.encoding = kEncXYZE;
    } else {
      fail(r, IREformat, "unrecognized data format: %s", fmt);
      return -1;
    }
  } else if (strncmp(line, "PIXASPECT=", 10) == 0) {
    const double v = Catof(line + 10);
    if (v >= 0.1 && v <= 10.0) r->ir.pixAspect = static_cast<float>(r->ir.pixAspect / v);
  } else if (strncmp(line, "PRIMARIES=", 10) == 0) {
    float p[8];
    if (r->prims == nullptr || Csscanf(line + 10, "%f %f %f %f %f %f %f %f", &p[0], &p[1], &p[2],
                                       &p[3], &p[4], &p[5], &p[6], &p[7]) != 8)
      return 0;
    // Sets that give no colour matrix (some writers put zeros for unknown primaries) are
    // ignored rather than made the picture's colour space.
    RGBPRIMS pr;
    for (int i = 0; i < 8; i++) pr[i / 2][i % 2] = p[i];
    COLORMAT m;
    if (!colorprimsOK(pr) || !comprgb2xyzmat(m, pr)) return 0;
    memcpy(r->picPrims, pr, sizeof pr);
    r->prims = comparePrims(r->picPrims, stdprims) == 0 ? stdprims : r->picPrims;
  } else if (strncmp(line, "EXPOSURE=", 9) == 0) {
    const double v = Catof(line + 9);
    if (v > 1e-10 && v < 1e10) r->lumScale /= v;
  } else if (strncmp(line, "FRAME=", 6) == 0) {
    if (r->ir.nframes == 1) r->ir.nframes = 0;
    r->ir.frameType = IRFanim;
    r->ir.frameRate = 0.1f;
  }
  return 0;
}

// The image rectangle covered by scanline s (s = count lies just outside the image).
_ImgRect scanRect(const RadReader* r, int s) {
  const int xres = r->res.xres, yres = r->res.yres;
  switch (r->res.order & (RES_YMAJ | RES_XDEC | RES_YDEC)) {
    case RES_YMAJ | RES_YDEC:
    case RES_YMAJ | RES_YDEC | RES_XDEC:
      return {0, xres, s, s + 1};
    case RES_YMAJ:
    case RES_YMAJ | RES_XDEC:
      return {0, xres, yres - 1 - s, yres - s};
    case 0:
    case RES_YDEC:
      return {s, s + 1, 0, yres};
    default:
      return {xres - 1 - s, xres - s, 0, yres};
  }
}

void freeBuffers(RadReader* r) {
  free(r->scanTab);
  free(r->scan);
  free(r->pick);
  free(r->conv);
  free(r->brt);
  r->scanTab = nullptr;
  r->scan = r->pick = nullptr;
  r->conv = nullptr;
  r->brt = nullptr;
  r->cur = -1;
}

void closeFile(RadReader* r) {
  if (r->fp != nullptr) fclose(r->fp);
  r->fp = nullptr;
}

bool nextScanline(RadReader* r);

// Positions the file at scanline s of the frame (s = count: the frame's end).
bool setScanline(RadReader* r, int s) {
  const int n = numScans(r);
  if (r->scanTab == nullptr || s < 0 || s > n) return false;
  if (r->cur >= 0 && r->scanTab[r->cur] == 0) r->scanTab[r->cur] = ftello(r->fp);
  if (s != r->cur) {
    if (r->scanTab[s] != 0) {
      if (fseeko(r->fp, r->scanTab[s], SEEK_SET) != 0) {
        r->cur = -1;
        return fail(r, IREread, "seek error");
      }
      r->cur = s;
    } else {
      // Positions are recorded in order as scanlines are passed: the last one known lies
      // before s. Read forward from there.
      if (r->scanTab[0] == 0) {
        r->cur = -1;
        return false;
      }
      int k = 0;
      while (k + 1 < s && r->scanTab[k + 1] != 0) k++;
      if (k != r->cur) {
        if (fseeko(r->fp, r->scanTab[k], SEEK_SET) != 0) {
          r->cur = -1;
          return fail(r, IREread, "seek error");
        }
        r->cur = k;
      }
      while (r->cur < s) {
        if (!nextScanline(r)) {
          r->cur = -1;
          return false;
        }
      }
    }
  }
  r->ir.nr = scanRect(r, s);
  return true;
}

// Reads the current scanline into r->scan and moves on to the next.
bool nextScanline(RadReader* r) {
  const int n = numScans(r);
  if (r->cur < 0 || r->cur >= n) return fail(r, IREread, "attempt to read past end of file");
  if (freadcolrs(r->scan, scanLen(r), r->fp) < 0) {
    const int s = r->cur;
    r->cur = -1;
    return fail(r, IREtruncated, "unexpected EOF (scanline %d)", s);
  }
  r->cur++;
  setScanline(r, r->cur);
  if (r->ir.nframes == 0 && r->cur == n) {
    const int c = getc(r->fp);
    if (c == EOF)
      r->ir.nframes = r->ir.frame + 1;
    else
      ungetc(c, r->fp);
  }
  return true;
}

bool frameSlot(RadReader* r, int f) {
  const size_t need = static_cast<size_t>(f) + 1;
  if (need <= r->frameCap) return true;
  size_t cap = r->frameTab == &r->frame0 ? kFirstFrameSlots : r->frameCap;
  while (cap < need) cap *= 2;
  int64_t* t = nullptr;
  if (r->frameTab == &r->frame0) {
    t = static_cast<int64_t*>(calloc(cap, sizeof *t));
    if (t != nullptr) t[0] = r->frame0;
  } else {
    t = static_cast<int64_t*>(realloc(r->frameTab, cap * sizeof *t));
    if (t != nullptr) memset(t + r->frameCap, 0, (cap - r->frameCap) * sizeof *t);
  }
  if (t == nullptr) return fail(r, IREmemory, "cannot allocate input buffers");
  r->frameTab = t;
  r->frameCap = cap;
  return true;
}

int64_t bytesLeft(FILE* fp) {
  struct stat st;
  const int64_t pos = ftello(fp);
  if (pos < 0 || fstat(fileno(fp), &st) != 0) return -1;
  return st.st_size - pos;
}

// Opens frame f: reads its header and resolution and positions at its first scanline.
bool initFrame(RadReader* r, int f) {
  if (r->fp == nullptr || f < 0) return fail(r, IREunknown, "no such frame");
  if (f == r->ir.frame) {
    r->ir.nr = r->ir.fr;
    r->ir.errCode = IREnone;
    return true;
  }
  if (r->ir.frame == 0 && r->ir.nframes == 1) return fail(r, IREtruncated, "single-frame picture");
  if (r->ir.nframes > 1 && f >= r->ir.nframes) return fail(r, IREtruncated, "no more frames");
  if (f >= 1 && !frameSlot(r, f)) return false;
  if (f == 0) {
    if (fseeko(r->fp, r->frameTab[0], SEEK_SET) != 0) return fail(r, IREread, "seek error");
    r->ir.encoding = kEncRGBE;
    r->ir.pixAspect = 1.0f;
    r->lumScale = 179.0;
    r->prims = stdprims;
  } else if (f != r->ir.frame + 1) {
    if (r->frameTab[f] != 0) {
      if (fseeko(r->fp, r->frameTab[f], SEEK_SET) != 0) return fail(r, IREread, "seek error");
    } else {
      int k = f - 1;
      while (k > 0 && r->frameTab[k] == 0) k--;
      if (!initFrame(r, k)) return false;
      for (int g = k + 1; g <= f; g++)
        if (!initFrame(r, g)) return false;
      return true;
    }
  } else {
    if (!setScanline(r, numScans(r))) {
      if (r->ir.errCode == IREnone) fail(r, IREread, "seek error");
      return false;
    }
    r->frameTab[f] = r->scanTab[numScans(r)];
    if (r->frameTab[f] == 0) r->frameTab[f] = ftello(r->fp);
  }
  r->ir.errCode = IREnone;
  if (getheader(r->fp, checkHeadline, r) < 0) {
    if (r->ir.errCode != IREnone) return false;
    r->ir.nframes = f;
    return fail(r, IREtruncated, f == 0 ? "end of file in header" : "no more frames");
  }
  r->ir.frame = f;
  if (r->prims != nullptr) {
    r->ir.cs = ICS_RGB709;
    memcpy(r->ir.cs.chroma, r->prims, sizeof r->ir.cs.chroma);
  } else {
    r->ir.cs = ICS_XYZ;
  }
  r->ir.cs.cstatic = 0;
  freeBuffers(r);
  int scanlen = 0, count = 0;
  const int order = fgetresolu(&scanlen, &count, r->fp);
  if (order < 0) return fail(r, IREformat, "missing image resolution");
  r->res.order = order;
  r->res.xres = (order & RES_YMAJ) ? scanlen : count;
  r->res.yres = (order & RES_YMAJ) ? count : scanlen;
  // Every scanline takes at least one byte, and no coding packs more than 64 pixels a byte
  // in practice: a resolution the file cannot hold is refused before anything is allocated.
  const int64_t left = bytesLeft(r->fp);
  if (left >= 0 && (count > left || scanlen / 64 > left))
    return fail(r, IREtruncated, "unexpected EOF (scanline 0)");
  const size_t len = static_cast<size_t>(scanlen);
  r->scanTab = static_cast<int64_t*>(calloc(static_cast<size_t>(count) + 1, sizeof(int64_t)));
  r->scan = static_cast<RGBEPIX*>(malloc(len * sizeof(RGBEPIX)));
  r->pick = static_cast<RGBEPIX*>(malloc(len * sizeof(RGBEPIX)));
  r->conv = static_cast<uint8_t*>(malloc(len * 3 * sizeof(float)));
  r->brt = static_cast<TMbright*>(malloc(len * sizeof(TMbright)));
  if (!r->scanTab || !r->scan || !r->pick || !r->conv || !r->brt) {
    freeBuffers(r);
    return fail(r, IREmemory, "cannot allocate input buffers");
  }
  r->scanTab[0] = ftello(r->fp);
  r->cur = 0;
  r->ir.xres = r->res.xres;
  r->ir.yres = r->res.yres;
  if (!setScanline(r, 0)) return fail(r, IREformat, "cannot initialize first scanline");
  r->ir.errCode = IREnone;
  r->ir.fr = r->ir.nr;
  return true;
}

// Reads scanline s into r->scan.
bool readScanline(RadReader* r, int s) {
  if (setScanline(r, s) && nextScanline(r)) return true;
  if (r->ir.errCode == IREnone) fail(r, IREunknown, "illegal read rectangle");
  return false;
}

// The pixels of r->scan from p0 on, every step-th in direction dir, as a contiguous run.
const RGBEPIX* pickPixels(RadReader* r, int p0, int dp, int n) {
  if (dp == 1) return r->scan + p0;
  for (int i = 0; i < n; i++) memcpy(r->pick[i], r->scan[p0 + i * dp], sizeof(RGBEPIX));
  return r->pick;
}

enum class Mapping { ready, fallback, error };

// Makes the mapping for 8-bit output in cs: reuses the current one when it was made for the
// same display primaries, else builds a histogram over (a sample of) the frame.
Mapping prepareMapping(RadReader* r, const _ImgColorSpace& cs) {
  if (r->tm != nullptr && comparePrims(r->dispPrims, cs.chroma) == 0)
    return r->mapOK ? Mapping::ready : Mapping::fallback;
  if (cs.logorig > 0.0f) return Mapping::fallback;
  memcpy(r->dispPrims, cs.chroma, sizeof r->dispPrims);
  tmDone(r->tm);
  r->mapOK = false;
  r->tm = tmInit(r->human ? kTmFlagsHuman : kTmFlagsPlain, r->dispPrims, cs.gamma);
  if (r->tm == nullptr) return Mapping::fallback;
  // Input primaries equal to the display's need no colour transform. The reader's own
  // primaries stay as they are: a later mapping for other primaries needs them.
  RGBPRIMP inp = comparePrims(r->prims, r->dispPrims) == 0 ? r->dispPrims : r->prims;
  if (tmSetSpace(r->tm, inp, r->lumScale, nullptr) != TMERR_NONE) return Mapping::fallback;
  const double npix = static_cast<double>(r->ir.xres) * r->ir.yres;
  const int k = npix <= kHistoPixels ? 1 : static_cast<int>(std::sqrt(npix / kHistoPixels)) + 1;
  const int n = numScans(r), cnt = scanLen(r) / k;
  for (int s = 0; s < n; s += k) {
    if (!readScanline(r, s)) return Mapping::error;
    const RGBEPIX* px = pickPixels(r, 0, k, cnt);
    if (tmCvColrs(r->tm, r->brt, nullptr, px, cnt) != TMERR_NONE ||
        tmAddHisto(r->tm, r->brt, cnt, 1) != TMERR_NONE)
      return Mapping::fallback;
  }
  if (tmPictureMapping(r->tm, cs.gamma, r->dispRange, r->dispMax) != TMERR_NONE)
    return Mapping::fallback;
  r->mapOK = true;
  return Mapping::ready;
}

// Rounds the rectangle's bounds down to multiples of the step, keeping it at least one
// step wide and high.
void fixSampling(_ImgReadBuf* rb) {
  if (rb->subsample < 1) rb->subsample = 1;
  const int s = rb->subsample;
  if (s == 1) return;
  _ImgRect& q = rb->r;
  q.xleft = q.xleft / s * s;
  q.xright = q.xright / s * s;
  q.ytop = q.ytop / s * s;
  q.ybottom = q.ybottom / s * s;
  if (q.xright <= q.xleft) q.xright = q.xleft + s;
  if (q.ybottom <= q.ytop) q.ybottom = q.ytop + s;
}

ImgReadErr readRec(RadReader* r, _ImgReadBuf* rb) {
  if (r->fp == nullptr || rb == nullptr || rb->subsample < 1 || r->scanTab == nullptr) {
    fail(r, IREunknown, "illegal read request");
    return r->ir.errCode;
  }
  bool eight = rb->cs.dtype == IDTubyte && rb->cs.format == IPFrgb;
  if (eight) {
    const Mapping m = prepareMapping(r, rb->cs);
    if (m == Mapping::error) return r->ir.errCode;
    if (m == Mapping::fallback) {
      rb->cs = r->ir.cs;
      eight = false;
    }
  } else if (!PmatchColorSpace(&rb->cs, &r->ir.cs, 31)) {
    rb->cs = r->ir.cs;
  }
  fixSampling(rb);
  r->ir.errCode = IREnone;
  const _ImgRect q = rb->r;
  if (q.xleft < 0 || q.xleft >= q.xright || q.xright > r->ir.xres || q.ytop < 0 ||
      q.ytop >= q.ybottom || q.ybottom > r->ir.yres) {
    fail(r, IREunknown, "illegal read rectangle");
    return r->ir.errCode;
  }
  if (!PreadBufFits(rb)) {  // the caller must offer a buffer for this colour space
    rb->r.xright = rb->r.xleft;
    return IREnone;
  }
  const int step = rb->subsample;
  const int w = (q.xright - q.xleft) / step, h = (q.ybottom - q.ytop) / step;
  const int xres = r->res.xres, yres = r->res.yres;
  const bool ymaj = (r->res.order & RES_YMAJ) != 0;
  const bool xdec = (r->res.order & RES_XDEC) != 0;
  const bool ydec = (r->res.order & RES_YDEC) != 0;
  const size_t psize = eight ? 3 : 3 * sizeof(float);
  uint8_t* const dst = static_cast<uint8_t*>(rb->buf);
  // Output pixel (i, j) is image pixel (left + i step, top + j step) in every scan order.
  // Rows (or columns) are visited in file order.
  const int nscan = ymaj ? h : w, npick = ymaj ? w : h;
  const bool backward = ymaj ? !ydec : xdec;  // scanline number falls as the output index rises
  int p0, dp;  // first picked pixel of a scanline, and the distance between picked pixels
  if (ymaj) {
    p0 = xdec ? xres - 1 - q.xleft : q.xleft;
    dp = xdec ? -step : step;
  } else {
    p0 = ydec ? q.ytop : yres - 1 - q.ytop;
    dp = ydec ? step : -step;
  }
  for (int k = 0; k < nscan; k++) {
    const int o = backward ? nscan - 1 - k : k;
    const int at = (ymaj ? q.ytop : q.xleft) + o * step;
    const int s = backward ? (ymaj ? yres : xres) - 1 - at : at;
    if (!readScanline(r, s)) return r->ir.errCode;
    const RGBEPIX* px = pickPixels(r, p0, dp, npick);
    uint8_t* out = ymaj ? dst + static_cast<size_t>(o) * w * psize : r->conv;
    if (eight) {
      int err = tmCvColrs(r->tm, r->brt, out, px, npick);
      if (err == TMERR_NONE) err = tmMapPixels(r->tm, out, r->brt, out, npick);
      if (err != TMERR_NONE) {
        fail(r, IREunknown, "%s", tmErrorMessage[err >= 0 && err < TMERR_COUNT ? err : 2]);
        return r->ir.errCode;
      }
    } else {
      colrs_color(reinterpret_cast<float*>(out), px, static_cast<size_t>(npick));
    }
    if (!ymaj)
      for (int j = 0; j < npick; j++)
        memcpy(dst + (static_cast<size_t>(j) * w + o) * psize, r->conv + j * psize, psize);
  }
  return IREnone;
}

// ---- Image information from the header lines

struct InfoScan {
  _ImgInfo* info;
};

// Appends text to a NUL-terminated field of size bytes when it fits whole.
bool appendText(char* field, size_t size, const char* text) {
  const size_t have = strnlen(field, size - 1), add = strlen(text);
  if (have + add > size - 1) return false;
  memcpy(field + have, text, add + 1);
  return true;
}

// Copies the rest of a header line without its line feed into a field of size bytes.
void copyValue(char* field, size_t size, const char* text) {
  size_t n = strcspn(text, "\n");
  if (n > size - 1) n = size - 1;
  memcpy(field, text, n);
  field[n] = '\0';
}

// A 19-character date after a label and blanks; 1 when it is a valid date text.
int copyDate(char* field, const char* text) {
  while (*text == ' ' || *text == '\t') text++;
  char d[20];
  copyValue(d, sizeof d, text);
  if (!dateOK(d)) return 0;
  memcpy(field, d, sizeof d);
  return 1;
}

int scanHeadline(const char* line, void* data) {
  _ImgInfo* info = static_cast<InfoScan*>(data)->info;
  static const char kSoftware[] = "SOFTWARE= VORTELUX";
  if (headidval(nullptr, line) || formatval(nullptr, line) ||
      strncmp(line, "PIXASPECT=", 10) == 0 || strncmp(line, "PRIMARIES=", 10) == 0 ||
      strncmp(line, "EXPOSURE=", 9) == 0)
    return 0;
  if (strncmp(line, "COLORCORR=", 10) == 0 || strncmp(line, "FRAME=", 6) == 0) {
    if (!(info->flags & IIFparams)) info->params[0] = '\0';
    if (appendText(info->params, sizeof info->params, line)) info->flags |= IIFparams;
  } else if (strncmp(line, kSoftware, sizeof kSoftware - 1) == 0) {
    info->source.stype = 5;
    snprintf(info->source.make, sizeof info->source.make, "%s", "Vortelux Project");
    snprintf(info->source.model, sizeof info->source.model, "%s", "VORTELUX");
    const char* v = line + sizeof kSoftware - 1;
    while (*v != '\0' && !(*v >= '0' && *v <= '9')) v++;
    const size_t n = strcspn(v, " \t\r\n");
    snprintf(info->source.vers, sizeof info->source.vers, "%.*s", static_cast<int>(n < 63 ? n : 63),
             v);
    info->flags |= IIFsource;
  } else if (strncmp(line, "VIEW= ", 6) == 0) {
    copyValue(info->view, sizeof info->view, line + 6);
    info->flags |= IIFview;
    const char* vt = strstr(info->view, "-vt");
    const char* vh = strstr(info->view, "-vh ");
    if (vt != nullptr && vt[3] == 'l') {
      info->hvangle = 0.0f;
      info->flags |= IIFhvangle;
    } else if ((vt == nullptr || vt[3] == 'v') && vh != nullptr) {
      info->hvangle = static_cast<float>(Catof(vh + 4));
      info->flags |= IIFhvangle;
    }
  } else if (dateval(nullptr, line)) {
    if (copyDate(info->capdate, line + sizeof TMSTR - 1)) info->flags |= IIFcapdate;
  } else if (gmtval(nullptr, line)) {
    if (copyDate(info->gmtdate, line + sizeof GMTSTR - 1)) info->flags |= IIFgmtdate;
  } else if (strncmp(line, "LATLONG=", 8) == 0) {
    if (Csscanf(line + 8, "%f %f", &info->latlong[0], &info->latlong[1]) == 2)
      info->flags |= IIFlatlong;
  } else if (strncmp(line, "OWNER= ", 7) == 0) {
    copyValue(info->owner, sizeof info->owner, line + 7);
    info->flags |= IIFowner;
  } else {
    if (!(info->flags & IIFcomments)) info->comments[0] = '\0';
    if (appendText(info->comments, sizeof info->comments, line)) info->flags |= IIFcomments;
  }
  return 0;
}

// ---- The plug-in table's entries

}  // namespace

_ImgReader* RRopenFd(int fd, const char* path) {
  RadReader* r = path != nullptr ? static_cast<RadReader*>(calloc(1, sizeof(RadReader))) : nullptr;
  if (r == nullptr) {
    close(fd);
    return nullptr;
  }
  r->ir.ri = &IRInterfaceRad;
  snprintf(r->ir.file, sizeof r->ir.file, "%s", path);
  r->ir.frame = -1;
  r->ir.nframes = 1;
  r->ir.frameType = IRFnone;
  r->ir.pixAspect = 1.0f;
  r->ir.encoding = kEncRGBE;
  r->frameTab = &r->frame0;
  r->frameCap = 1;
  r->cur = -1;
  r->lumScale = 179.0;
  r->prims = stdprims;
  r->dispRange = 32.0;
  r->dispMax = 100.0;
  r->fp = fdopen(fd, "rb");
  if (r->fp == nullptr) {
    close(fd);
    free(r);
    return nullptr;
  }
  if (!initFrame(r, 0)) {
    if (r->ir.errCode == IREtruncated || r->ir.errCode == IREformat) {
      IRInterfaceRad.Close(&r->ir);
      return nullptr;
    }
    closeFile(r);
  }
  return &r->ir;
}

namespace {

_ImgReader* RRopen(const char* path) {
  if (path == nullptr) return nullptr;
  const int fd = PopenRead(path);
  return fd >= 0 ? RRopenFd(fd, path) : nullptr;
}

ImgReadErr RRseekFrame(_ImgReader* ir, int n, int mode) {
  if (ir == nullptr) return IREunknown;
  RadReader* r = self(ir);
  r->ir.errCode = IREnone;
  int64_t target = 0;
  if (mode == kSeekAbs)
    target = n;
  else if (mode == kSeekRel || mode == kSeekAdv)
    target = static_cast<int64_t>(r->ir.frame) + n;
  if (target < 0 || target > INT32_MAX)
    fail(r, IREunknown, "no such frame");
  else
    initFrame(r, static_cast<int>(target));
  return r->ir.errCode;
}

ImgReadErr RRgetInfo(_ImgReader* ir, _ImgInfo* info) {
  if (ir == nullptr) return IREunknown;
  RadReader* r = self(ir);
  if (r->fp == nullptr || info == nullptr) {
    r->ir.errCode = IREunknown;
    return IREunknown;
  }
  r->ir.errCode = IREnone;
  info->flags = 0;
  info->comments[0] = '\0';
  info->params[0] = '\0';
  r->cur = -1;  // the next read seeks
  if (fseeko(r->fp, r->frameTab[0], SEEK_SET) != 0) {
    fail(r, IREread, "cannot rewind to picture header");
    return r->ir.errCode;
  }
  info->flags |= IIFstonits;
  info->stonits = static_cast<float>(r->lumScale);
  InfoScan scan = {info};
  if (getheader(r->fp, scanHeadline, &scan) < 0) {
    fail(r, IREunknown, "error encountered reading info header");
    return r->ir.errCode;
  }
  const int f = r->ir.frame;
  if (f > 0 && static_cast<size_t>(f) < r->frameCap && r->frameTab[f] != 0) {
    if (fseeko(r->fp, r->frameTab[f], SEEK_SET) != 0 || getheader(r->fp, scanHeadline, &scan) < 0)
      fail(r, IREunknown, "error encountered reading frame header");
  }
  return r->ir.errCode;
}

void RRtoneMapping(_ImgReader* ir, double range, double maximum, int flags) {
  if (ir == nullptr) return;
  RadReader* r = self(ir);
  r->dispRange = range;
  r->dispMax = maximum;
  r->human = flags;
  tmDone(r->tm);
  r->tm = nullptr;
  r->mapOK = false;
}

ImgReadErr RRreadRec(_ImgReader* ir, _ImgReadBuf* rb) {
  if (ir == nullptr) return IREunknown;
  RadReader* r = self(ir);
  r->ir.errCode = IREnone;
  return readRec(r, rb);
}

void RRclose(_ImgReader* ir) {
  if (ir == nullptr) return;
  RadReader* r = self(ir);
  closeFile(r);
  freeBuffers(r);
  if (r->frameTab != &r->frame0) free(r->frameTab);
  tmDone(r->tm);
  free(r);
}

}  // namespace

const _ImgReaderInterface IRInterfaceRad = {"Vortelux.hdr.pic.rgbe.xyze",
                                            RRopen,
                                            RRseekFrame,
                                            RRgetInfo,
                                            nullptr,
                                            RRtoneMapping,
                                            RRreadRec,
                                            RRclose};

int RadReaderFd(const _ImgReader* ir) {
  if (ir == nullptr || ir->ri != &IRInterfaceRad) return -1;
  const RadReader* r = reinterpret_cast<const RadReader*>(ir);
  return r->fp != nullptr ? fileno(r->fp) : -1;
}

bool RadStandardOrder(const _ImgReader* ir) {
  if (ir == nullptr || ir->ri != &IRInterfaceRad) return false;
  const RadReader* r = reinterpret_cast<const RadReader*>(ir);
  return r->res.order == (RES_YMAJ | RES_YDEC);
}
