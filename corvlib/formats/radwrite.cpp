// Writing float RGB and XYZ images as RGBE and XYZE pictures, with their image information
// as header lines and their orientation as the scan order.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "picture/picheader.h"
#include "picture/rgbe.h"
#include "formats/radformat.h"
#include "support/replacefile.h"
#include "support/cnumber.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Scan order of each orientation (1..8).
constexpr int kOrderOf[9] = {RES_YMAJ | RES_YDEC,
                             RES_YMAJ | RES_YDEC,
                             RES_YMAJ | RES_YDEC | RES_XDEC,
                             RES_YMAJ | RES_XDEC,
                             RES_YMAJ,
                             RES_YDEC,
                             RES_YDEC | RES_XDEC,
                             RES_XDEC,
                             0};

// Copies at most max bytes of src into dst (size bytes) without line breaks, so that a
// value cannot end its header line early.
const char* oneLine(char* dst, size_t size, const char* src, size_t max) {
  size_t n = 0;
  for (size_t i = 0; i < max && src[i] != '\0' && n + 1 < size; i++)
    if (src[i] != '\n' && src[i] != '\r') dst[n++] = src[i];
  dst[n] = '\0';
  return dst;
}

// Writes free text as header lines: every line ends in a line feed, and empty lines, which
// would end the header, are left out.
void putLines(FILE* fp, const char* text, size_t max) {
  const size_t len = strnlen(text, max);
  size_t start = 0;
  while (start < len) {
    size_t end = start;
    while (end < len && text[end] != '\n' && text[end] != '\r') end++;
    if (end > start) {
      fwrite(text + start, 1, end - start, fp);
      fputc('\n', fp);
    }
    start = end + 1;
  }
}

void putHeader(FILE* fp, const _ImgWriteBuf* wb, bool xyz) {
  const _ImgInfo& in = wb->info;
  char a[2048], b[256], c[256];
  newheader("RGBE", fp);
  if (in.flags & IIFsource) {
    const auto& s = in.source;
    oneLine(a, sizeof a, s.make, sizeof s.make);
    oneLine(b, sizeof b, s.model, sizeof s.model);
    oneLine(c, sizeof c, s.vers, sizeof s.vers);
    if (s.stype == 4 || s.stype == 5)
      fprintf(fp, "SOFTWARE= %s %s by %s\n", b, c, a);
    else if (s.stype == 0)
      fprintf(fp, "CAMERA= %s %s version %s\n", a, b, c);
    else if (s.stype == 1 || s.stype == 2)
      fprintf(fp, "SCANNER= %s %s version %s\n", a, b, c);
  }
  if (in.flags & IIFcomments) putLines(fp, in.comments, sizeof in.comments);
  if (in.flags & IIFparams) putLines(fp, in.params, sizeof in.params);
  if ((in.flags & IIFstonits) && in.stonits > 0.0f && std::isfinite(in.stonits))
    Cfprintf(fp, "%s%e\n", "EXPOSURE=", (xyz ? 1.0 : 179.0) / in.stonits);
  const double aspect = wb->pixAspect > 0.0f && std::isfinite(wb->pixAspect) ? wb->pixAspect : 1.0;
  if (in.flags & IIFview) {
    fprintf(fp, "VIEW= %s\n", oneLine(a, sizeof a, in.view, sizeof in.view));
  } else if ((in.flags & IIFhvangle) && in.hvangle > 0.1f) {
    const double h = in.hvangle;
    const double v =
        2.0 * std::atan(wb->yres / (wb->xres * aspect) * std::tan(h * kPi / 360.0)) * 180.0 / kPi;
    Cfprintf(fp, "VIEW= -vtv -vh %f -vv %f\n", h, v);
  }
  if (in.flags & IIFowner)
    fprintf(fp, "OWNER= %s\n", oneLine(a, sizeof a, in.owner, sizeof in.owner));
  if (in.flags & IIFcapdate)
    fprintf(fp, "CAPDATE= %s\n", oneLine(a, sizeof a, in.capdate, sizeof in.capdate));
  if (in.flags & IIFgmtdate)
    fprintf(fp, "GMT= %s\n", oneLine(a, sizeof a, in.gmtdate, sizeof in.gmtdate));
  if (in.flags & IIFlatlong)
    Cfprintf(fp, "%s %.6f %.6f\n", "LATLONG=", in.latlong[0], in.latlong[1]);
  if (!xyz) {
    const float(*p)[2] = wb->csp->chroma;
    Cfprintf(fp, "%s %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f\n", "PRIMARIES=", p[0][0], p[0][1],
             p[1][0], p[1][1], p[2][0], p[2][1], p[3][0], p[3][1]);
  }
  int order = RES_YMAJ | RES_YDEC;
  if ((in.flags & IIForientation) && in.orientation >= 1 && in.orientation <= 8)
    order = kOrderOf[in.orientation];
  // The line gives the pixels' height over width in the picture; an order whose scanlines are
  // columns turns the buffer a quarter, and its pixels with it.
  if (wb->pixAspect > 0.0f && (wb->pixAspect < 0.99f || wb->pixAspect > 1.01f))
    Cfprintf(fp, "%s%f\n", "PIXASPECT=", order & RES_YMAJ ? 1.0 / wb->pixAspect : wb->pixAspect);
  fputformat(xyz ? CIEFMT : COLRFMT, fp);
  fputc('\n', fp);
  fputresolu(order, wb->xres, wb->yres, fp);
}

// Writes the rows source gives flat (flat non-zero) or run-length coded; false on a write
// error or when the source gives none.
bool putRows(FILE* fp, const _ImgWriteBuf* wb, bool xyz, bool flat, ImgRowSource source,
             void* data) {
  float* line = static_cast<float*>(std::malloc(static_cast<size_t>(wb->xres) * 3 * sizeof(float)));
  if (line == nullptr) return false;
  RGBEPIX* px = flat ? static_cast<RGBEPIX*>(tempbuffer(wb->xres * sizeof(RGBEPIX))) : nullptr;
  bool ok = !flat || px != nullptr;
  for (int y = 0; ok && y < wb->yres; y++) {
    if (!source(reinterpret_cast<uint8_t*>(line), y, data)) {
      ok = false;
      break;
    }
    const float* f = line;
    if (px == nullptr) {
      ok = fwritescan(f, wb->xres, fp) >= 0;
      continue;
    }
    for (int x = 0; x < wb->xres; x++, f += 3) {
      COLOR col = {f[0], f[1], f[2]};
      if (!xyz) {
        // Out-of-gamut colours move toward grey of the same brightness.
        const double bright =
            0.265074126460265 * col[0] + 0.6701146305106699 * col[1] + 0.06481124302906481 * col[2];
        clipgamut(col, bright, 1, cblack, cwhite);
      }
      setcolr(px[x], col[0], col[1], col[2]);
    }
    ok = fwrite(px, sizeof(RGBEPIX), static_cast<size_t>(wb->xres), fp) ==
         static_cast<size_t>(wb->xres);
  }
  std::free(line);
  return ok;
}

// The rows of the write request's own pixels.
int bufferRow(uint8_t* row, int y, void* data) {
  const _ImgWriteBuf* wb = static_cast<const _ImgWriteBuf*>(data);
  memcpy(row, static_cast<const uint8_t*>(wb->img) + static_cast<ptrdiff_t>(y) * wb->rowsize,
         static_cast<size_t>(wb->xres) * 3 * sizeof(float));
  return 1;
}

// Writes a picture of rows from source beside path and renames it onto path when complete.
long writePicture(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data) {
  if (path == nullptr || *path == '\0' || wb == nullptr || wb->xres < 1 || wb->yres < 1 ||
      wb->csp == nullptr || source == nullptr)
    return 0;
  const _ImgColorSpace* cs = wb->csp;
  if (cs->dtype != IDTfloat || (cs->format != IPFrgb && cs->format != IPFxyz)) return 0;
  const bool xyz = cs->format == IPFxyz;
  const bool flat = (wb->info.flags & IIFquality) && wb->info.quality >= 100;
  std::string tmp;
  struct stat made;
  const int fd = PtempBeside(path, &tmp, -1, nullptr, &made);
  if (fd < 0) return 0;
  FILE* fp = fdopen(fd, "wb");
  if (fp == nullptr) {
    close(fd);
    PdiscardTemp(tmp);
    return 0;
  }
  putHeader(fp, wb, xyz);
  bool ok = putRows(fp, wb, xyz, flat, source, data) && fflush(fp) == 0 && !ferror(fp);
  const long size = ok ? static_cast<long>(ftello(fp)) : 0;
  ok = fclose(fp) == 0 && ok && size > 0;
  if (!ok) {
    PdiscardTemp(tmp);
    return 0;
  }
  return PcommitTemp(tmp, path, &made) ? size : 0;
}

}  // namespace

const char* RadSupportedCS(const _ImgColorSpace* cs, int quality) {
  if (cs == nullptr || cs->dtype != IDTfloat || cs->logorig > 0.0f) return nullptr;
  if (cs->format == IPFrgb) return quality >= 100 ? "Vortelux 32-bit RGBE" : "Vortelux RLE RGBE";
  if (cs->format == IPFxyz) return quality >= 100 ? "Vortelux 32-bit XYZE" : "Vortelux RLE XYZE";
  return nullptr;
}

long RadWriteImage(const char* path, const _ImgWriteBuf* wb) {
  if (path == nullptr || *path == '\0' || wb == nullptr || wb->xres < 1 || wb->yres < 1 ||
      wb->img == nullptr || wb->csp == nullptr)
    return 0;
  const int64_t rowBytes = int64_t{wb->xres} * 3 * sizeof(float);
  if (wb->rowsize < rowBytes && -int64_t{wb->rowsize} < rowBytes) return 0;
  return writePicture(path, wb, bufferRow, const_cast<_ImgWriteBuf*>(wb));
}

long RadWriteRows(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data) {
  return writePicture(path, wb, source, data);
}

const _ImgWriterInterface IWInterfaceRad = {"hdr", RadSupportedCS, RadWriteImage, RadWriteRows};
