// Writing float RGB, XYZ and grey images as PIZ-compressed half-float OpenEXR files with
// their image information as attributes.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/ImfThreading.h>

#include "formats/exrformat.h"
#include "formats/exrstream.h"
#include "support/replacefile.h"
#include "support/dmessage.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kHalfMax = 65504.0f;
constexpr int kStackPixels = 4096;

std::string text(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

Imf::Header makeHeader(const _ImgWriteBuf* wb) {
  const _ImgInfo& in = wb->info;
  const float sww =
      (in.flags & IIFhvangle) ? static_cast<float>(2.0 * std::tan(in.hvangle * kPi / 360.0)) : 1.0f;
  // A pixel shape the format cannot store counts as square.
  const float aspect = wb->pixAspect >= 1e-6f && wb->pixAspect <= 1e6f ? wb->pixAspect : 1.0f;
  Imf::Header h(wb->xres, wb->yres, aspect, Imath::V2f(0, 0), sww, Imf::INCREASING_Y,
                Imf::PIZ_COMPRESSION);
  if ((in.flags & IIFcrop) && in.crop.xright > in.crop.xleft && in.crop.ybottom > in.crop.ytop)
    h.displayWindow() = Imath::Box2i(Imath::V2i(in.crop.xleft, in.crop.ytop),
                                     Imath::V2i(in.crop.xright - 1, in.crop.ybottom - 1));
  if (in.flags & IIFcapdate) Imf::addCapDate(h, text(in.capdate, sizeof in.capdate));
  if (in.flags & IIFlatlong) {
    Imf::addLatitude(h, in.latlong[0]);
    Imf::addLongitude(h, in.latlong[1]);
  }
  if (in.flags & IIFstonits) Imf::addWhiteLuminance(h, in.stonits);
  if (in.flags & IIFhdensity) Imf::addXDensity(h, in.hdensity);
  if (in.flags & IIFexptime) Imf::addExpTime(h, in.exptime);
  if (in.flags & IIFaperture) Imf::addAperture(h, in.aperture);
  if (in.flags & IIFasa) Imf::addIsoSpeed(h, in.asa);
  if (in.flags & IIFfocus) Imf::addFocus(h, in.focus);
  if (in.flags & IIFview) h.insert("view", Imf::StringAttribute(text(in.view, sizeof in.view)));
  if (in.flags & IIFowner) Imf::addOwner(h, text(in.owner, sizeof in.owner));
  if (in.flags & IIFcomments) Imf::addComments(h, text(in.comments, sizeof in.comments));
  if (wb->csp->format == IPFrgb) {
    const float(*c)[2] = wb->csp->chroma;
    Imf::addChromaticities(
        h, Imf::Chromaticities(Imath::V2f(c[0][0], c[0][1]), Imath::V2f(c[1][0], c[1][1]),
                               Imath::V2f(c[2][0], c[2][1]), Imath::V2f(c[3][0], c[3][1])));
  }
  return h;
}

// A half of v; exact zeros stay zero. Counts values the half range cannot hold.
inline half toHalf(float v, long* over) {
  if (v == 0.0f) return half(0.0f);
  if (std::fabs(v) > kHalfMax && std::isfinite(v)) ++*over;
  return half(v);
}

// Converts one row of float RGB, XYZ or grey into half RGBA (alpha 1).
void convertRow(Imf::Rgba* out, const float* in, int n, ImgPixelFormat fmt, const COLORMAT m,
                long* over) {
  const half one(1.0f);
  for (int x = 0; x < n; x++) {
    float r, g, b;
    if (fmt == IPFy) {
      r = g = b = in[x];
    } else if (fmt == IPFxyz) {
      const float* p = in + 3 * x;
      r = m[0][0] * p[0] + m[0][1] * p[1] + m[0][2] * p[2];
      g = m[1][0] * p[0] + m[1][1] * p[1] + m[1][2] * p[2];
      b = m[2][0] * p[0] + m[2][1] * p[1] + m[2][2] * p[2];
    } else {
      r = in[3 * x];
      g = in[3 * x + 1];
      b = in[3 * x + 2];
    }
    out[x].r = toHalf(r, over);
    out[x].g = toHalf(g, over);
    out[x].b = toHalf(b, over);
    out[x].a = one;
  }
}

long fileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

}  // namespace

const char* ExrSupportedCS(const _ImgColorSpace* cs, int) {
  if (cs == nullptr || cs->dtype != IDTfloat || cs->logorig > 0.0f) return nullptr;
  if (cs->format == IPFrgb || cs->format == IPFxyz) return "EXR PIZ RGB";
  if (cs->format == IPFy) return "EXR PIZ Green";
  return nullptr;
}

namespace {

// The rows of the write request's own pixels.
int bufferRow(uint8_t* row, int y, void* data) {
  const _ImgWriteBuf* wb = static_cast<const _ImgWriteBuf*>(data);
  memcpy(row, static_cast<const uint8_t*>(wb->img) + static_cast<ptrdiff_t>(y) * wb->rowsize,
         static_cast<size_t>(wb->xres) * ImgPixelLen[wb->csp->format] * sizeof(float));
  return 1;
}

// Writes a file of rows from source beside path and renames it onto path when complete.
long writeFile(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data) {
  if (path == nullptr || *path == '\0' || wb == nullptr || wb->xres < 1 || wb->yres < 1 ||
      wb->csp == nullptr || source == nullptr)
    return 0;
  const _ImgColorSpace* cs = wb->csp;
  if (cs->dtype != IDTfloat) return 0;
  const ImgPixelFormat fmt = cs->format;
  if (fmt != IPFrgb && fmt != IPFxyz && fmt != IPFy) return 0;
  COLORMAT m = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  if (fmt == IPFxyz && !compxyz2rgbWBmat(m, ICS_RGB709.chroma)) return 0;
  std::vector<float> line;
  try {
    line.resize(static_cast<size_t>(wb->xres) * ImgPixelLen[fmt]);
  } catch (const std::exception&) {
    return 0;
  }
  std::string tmp;
  struct stat made;
  const int fd = PtempBeside(path, &tmp, -1, nullptr, &made);
  if (fd < 0) return 0;
  long over = 0;
  bool given = true;
  try {
    const Imf::Header h = makeHeader(wb);
    const Imf::RgbaChannels ch = fmt == IPFy ? Imf::WRITE_G : Imf::WRITE_RGB;
    Imf::Rgba stackRow[kStackPixels];
    std::vector<Imf::Rgba> wide;
    Imf::Rgba* row = stackRow;
    if (wb->xres > kStackPixels) {
      wide.resize(static_cast<size_t>(wb->xres));
      row = wide.data();
    }
    {
      ExrFileOut file(fd, tmp.c_str());
      Imf::RgbaOutputFile out(file, h, ch, Imf::globalThreadCount());
      out.setFrameBuffer(row, 1, 0);
      while (out.currentScanLine() < wb->yres) {
        const int y = out.currentScanLine();
        if (!source(reinterpret_cast<uint8_t*>(line.data()), y, data)) {
          given = false;
          break;
        }
        convertRow(row, line.data(), wb->xres, fmt, m, &over);
        out.writePixels(1);
      }
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
    given = false;
  }
  if (!given) {
    close(fd);
    PdiscardTemp(tmp);
    return 0;
  }
  if (close(fd) != 0) {
    PdiscardTemp(tmp);
    return 0;
  }
  const long size = fileSize(tmp.c_str());
  if (size <= 0) {
    PdiscardTemp(tmp);
    return 0;
  }
  if (!PcommitTemp(tmp, path, &made)) return 0;
  if (over > 0)
    DMESSAGE(DMCwarning, "%s: %ld values beyond the half-float range (%g) written as infinity",
             path, over, kHalfMax);
  return size;
}

}  // namespace

long ExrWriteImage(const char* path, const _ImgWriteBuf* wb) {
  if (path == nullptr || *path == '\0' || wb == nullptr || wb->xres < 1 || wb->yres < 1 ||
      wb->img == nullptr || wb->csp == nullptr)
    return 0;
  const _ImgColorSpace* cs = wb->csp;
  if (cs->dtype != IDTfloat) return 0;
  const ImgPixelFormat fmt = cs->format;
  if (fmt != IPFrgb && fmt != IPFxyz && fmt != IPFy) return 0;
  const int64_t rowBytes = int64_t{wb->xres} * ImgPixelLen[fmt] * sizeof(float);
  if (wb->rowsize < rowBytes && -int64_t{wb->rowsize} < rowBytes) return 0;
  return writeFile(path, wb, bufferRow, const_cast<_ImgWriteBuf*>(wb));
}

long ExrWriteRows(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data) {
  return writeFile(path, wb, source, data);
}

const _ImgWriterInterface IWInterfaceEXR = {"exr", ExrSupportedCS, ExrWriteImage, ExrWriteRows};
