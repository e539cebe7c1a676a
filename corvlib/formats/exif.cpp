// EXIF metadata: image information, colour space and thumbnail from TIFF-structured
// directories, and the date and text checks.
#include "formats/exif.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>

#include "jpegglue/jpegglue.h"
#include "formats/tiffin.h"
#include "support/cnumber.h"

namespace {
bool isWhite(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
}  // namespace

int dateOK(const char* text) {
  if (text == nullptr || std::strlen(text) != 19) return 0;
  int y, mo, d, h, mi, s;
  if (Csscanf(text, "%d:%d:%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) return 0;
  return y > 1849 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h >= 0 && h <= 23 && mi >= 0 &&
         mi <= 59 && s >= 0 && s <= 59;
}

int cleanString(char* text) {
  if (text == nullptr) return 0;
  const char* from = text;
  while (isWhite(static_cast<unsigned char>(*from))) ++from;
  size_t n = std::strlen(from);
  while (n > 0 && isWhite(static_cast<unsigned char>(from[n - 1]))) --n;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(from[i]);
    text[i] = (c < ' ' || c > '~') ? '?' : static_cast<char>(c);
  }
  text[n] = '\0';
  return n > 0;
}

namespace {

constexpr double kDegreesTwice = 114.59155902616465;  // 2 * 180 / pi

bool finitePositive(double v) {
  return std::isfinite(v) && v > 0.0;
}

// Appends n bytes of text and a line feed to info->comments, cut to what fits.
void appendComment(_ImgInfo* info, const char* text, size_t n) {
  const size_t have = std::strlen(info->comments);
  const size_t room = sizeof info->comments - 1 - have;
  if (room < 2) return;
  if (n > room - 1) n = room - 1;
  std::memcpy(info->comments + have, text, n);
  info->comments[have + n] = '\n';
  info->comments[have + n + 1] = '\0';
  info->flags |= IIFcomments;
}

// A float RATIONAL (or SRATIONAL) value of the entry just found.
bool getRational(TIFFin* tin, int type, float* v) {
  return tin->GetData(v, type, 1, 4) == 1;
}

// What the directories say about the sensor and lens, for the view angle.
struct LensFacts {
  uint32_t width = 0;
  double focal = 0.0;
  double fpres = 0.0;    // focal-plane pixels per unit
  double fpunit = 25.4;  // millimetres per focal-plane unit
  uint32_t focal35 = 0;
};

void scanIFD0(_ImgInfo* info, TIFFin* tin, LensFacts* lens, uint32_t* exifAt, uint32_t* gpsAt) {
  double xres = 0.0, resunit = 25.4;
  for (int tag; (tag = tin->NextTag()) >= 0;) {
    switch (tag) {
      case 256:
        lens->width = tin->GetInteger(0);
        break;
      case 270:
        if (tin->GetData(info->comments, TIFF_ASCII, sizeof info->comments, 0) > 0 &&
            cleanString(info->comments)) {
          const size_t n = std::strlen(info->comments);
          if (n + 1 < sizeof info->comments) {
            info->comments[n] = '\n';
            info->comments[n + 1] = '\0';
          }
          info->flags |= IIFcomments;
        } else {
          info->comments[0] = '\0';
        }
        break;
      case 271:
        tin->GetData(info->source.make, TIFF_ASCII, sizeof info->source.make, 0);
        break;
      case 272:
        tin->GetData(info->source.model, TIFF_ASCII, sizeof info->source.model, 0);
        break;
      case 274: {
        const uint32_t o = tin->GetInteger(0);
        if (o >= IOtopleft && o <= IOleftbot) {
          info->orientation = static_cast<ImgOrientation>(o);
          if (o != IOtopleft) info->flags |= IIForientation;
        }
        break;
      }
      case 282:
        xres = tin->GetReal(0);
        break;
      case 296: {
        const uint32_t u = tin->GetInteger(0);
        if (u == 2) resunit = 25.4;
        if (u == 3) resunit = 10.0;
        break;
      }
      case 305:
        tin->GetData(info->source.vers, TIFF_ASCII, sizeof info->source.vers, 0);
        break;
      case 306:
        if (tin->GetData(info->capdate, TIFF_ASCII, sizeof info->capdate, 0) > 0 &&
            dateOK(info->capdate))
          info->flags |= IIFcapdate;
        break;
      case 315:
        if (tin->GetData(info->owner, TIFF_ASCII, sizeof info->owner, 0) > 0 &&
            cleanString(info->owner))
          info->flags |= IIFowner;
        break;
      case 34665:
        *exifAt = tin->GetInteger(0);
        break;
      case 34853:
        *gpsAt = tin->GetInteger(0);
        break;
      case 37439: {
        const double v = tin->GetReal(0);
        if (finitePositive(v)) {
          info->stonits = static_cast<float>(v);
          info->flags |= IIFstonits;
        }
        break;
      }
    }
  }
  if (!cleanString(info->source.vers)) std::strcpy(info->source.vers, "v.0");
  const int haveMake = cleanString(info->source.make);
  const int haveModel = cleanString(info->source.model);
  if (haveMake && haveModel) info->flags |= IIFsource;
  if (finitePositive(xres) && std::isfinite(xres * 25.4 / resunit)) {
    info->hdensity = static_cast<float>(xres * 25.4 / resunit);
    info->flags |= IIFhdensity;
  }
}

// A UserComment in the "ASCII" character code: its text, without surrounding white space.
void userComment(_ImgInfo* info, TIFFin* tin) {
  // Up to 1024 values of any stored type, of at most 8 bytes each.
  unsigned char uc[1024 * 8];
  const int n = tin->GetData(uc, 0, 1024, 0);
  const int t = tin->LastType();
  if (n <= 8 || (t != TIFF_BYTE && t != TIFF_ASCII && t != TIFF_SBYTE && t != TIFF_UNDEFINED))
    return;
  if (std::memcmp(uc, "ASCII\0\0\0", 8) != 0) return;
  size_t e = 8;
  while (e < static_cast<size_t>(n) && uc[e] != '\0') ++e;  // the text ends at a NUL
  size_t s = 8;
  while (s < e && isWhite(uc[s])) ++s;
  while (e > s && isWhite(uc[e - 1])) --e;
  if (e > s) appendComment(info, reinterpret_cast<const char*>(uc + s), e - s);
}

void scanExif(_ImgInfo* info, TIFFin* tin, LensFacts* lens) {
  for (int tag; (tag = tin->NextTag()) >= 0;) {
    float v = 0.0f;
    uint16_t sv = 0;
    switch (tag) {
      case 33434:
        if (getRational(tin, TIFF_RATIONAL, &v) && v >= 0.00002f && v <= 3600.0f) {
          info->exptime = v;
          info->flags |= IIFexptime;
        }
        break;
      case 33437:
        if (getRational(tin, TIFF_RATIONAL, &v) && v >= 1.0f && v <= 128.0f) {
          info->aperture = v;
          info->flags |= IIFaperture;
        }
        break;
      case 34855:
        if (tin->GetData(&sv, TIFF_SHORT, 1, 0) == 1 && sv >= 1 && sv <= 10000) {
          info->asa = sv;
          info->flags |= IIFasa;
        }
        break;
      case 36867:
      case 36868:
        if (!(info->flags & IIFcapdate) &&
            tin->GetData(info->capdate, TIFF_ASCII, sizeof info->capdate, 0) > 0 &&
            dateOK(info->capdate))
          info->flags |= IIFcapdate;
        break;
      case 37377:
        if (!(info->flags & IIFexptime) && getRational(tin, TIFF_SRATIONAL, &v) && v >= -11.8f &&
            v <= 15.6f) {
          info->exptime = static_cast<float>(std::pow(0.5, v));
          info->flags |= IIFexptime;
        }
        break;
      case 37378:
        if (!(info->flags & IIFaperture) && getRational(tin, TIFF_RATIONAL, &v) && v != 0.0f &&
            v <= 14.0f) {
          info->aperture = static_cast<float>(std::pow(2.0, v / 2.0));
          info->flags |= IIFaperture;
        }
        break;
      case 37382: {
        const double d = tin->GetReal(0);
        if (finitePositive(d)) {
          info->focus = static_cast<float>(d);
          info->flags |= IIFfocus;
        }
        break;
      }
      case 37384:
        if (tin->GetData(&sv, TIFF_SHORT, 1, 0) == 1) {
          info->whitebal = static_cast<ImgWhiteBal>(sv);
          info->flags |= IIFwhitebal;
        }
        break;
      case 37385:
        if (tin->GetData(&sv, TIFF_SHORT, 1, 0) == 1) {
          info->flash = static_cast<ImgFlashMode>(sv);
          info->flags |= IIFflash;
        }
        break;
      case 37386:
        lens->focal = tin->GetReal(0);
        break;
      case 37510:
        userComment(info, tin);
        break;
      case 40962: {
        const uint32_t w = tin->GetInteger(0);
        if (w > 0) lens->width = w;
        break;
      }
      case 41486:
        lens->fpres = tin->GetReal(0);
        break;
      case 41488:
        if (tin->GetData(&sv, TIFF_SHORT, 1, 0) == 1) {
          if (sv == 2) lens->fpunit = 25.4;
          if (sv == 3) lens->fpunit = 10.0;
        }
        break;
      case 41493:
        if (!(info->flags & IIFasa) && getRational(tin, TIFF_RATIONAL, &v) && v >= 1.0f &&
            v <= 100000.0f) {
          info->asa = v;
          info->flags |= IIFasa;
        }
        break;
      case 41989:
        lens->focal35 = tin->GetInteger(0);
        break;
    }
  }
}

// Sensor widths of cameras that store no focal-plane resolution.
double knownSensorWidth(const _ImgInfo* info) {
  if (std::strncmp(info->source.make, "OLYMPUS", 7) != 0) return 0.0;
  const char* m = info->source.model;
  if (!std::strncmp(m, "C20", 3)) return 6.14;
  if (!std::strncmp(m, "C30", 3) || !std::strncmp(m, "C40", 3)) return 7.02;
  if (!std::strncmp(m, "E-10", 4) || !std::strncmp(m, "E-20", 4)) return 8.75;
  return 0.0;
}

void viewAngle(_ImgInfo* info, LensFacts* lens) {
  if (!finitePositive(lens->fpres) && (info->flags & IIFsource)) {
    const double sensor = knownSensorWidth(info);
    if (sensor > 0.0 && lens->width > 0) {
      lens->fpres = lens->width / sensor;
      lens->fpunit = 1.0;
    }
  }
  double a = -1.0;
  if (finitePositive(lens->fpres) && finitePositive(lens->focal) && lens->width > 0)
    a = kDegreesTwice * std::atan(lens->fpunit * 0.5 / lens->fpres * lens->width / lens->focal);
  else if (lens->focal35 >= 1)
    a = kDegreesTwice * std::atan(17.5 / lens->focal35);
  if (a >= 0.0 && std::isfinite(a)) {
    info->hvangle = static_cast<float>(a);
    info->flags |= IIFhvangle;
  }
}

// Degrees from degrees, minutes and seconds.
float degrees(const float dms[3]) {
  return dms[0] + dms[1] * 0.016666668f + dms[2] * 0.00027777778f;
}

void scanGPS(_ImgInfo* info, TIFFin* tin) {
  int latSign = 0, lonSign = 0, altSign = 0;
  bool haveLat = false, haveLon = false, haveAlt = false, haveDate = false, haveTime = false;
  float hms[3] = {-1.0f, 0.0f, 0.0f};
  info->gmtdate[0] = '\0';
  for (int tag; (tag = tin->NextTag()) >= 0;) {
    char ref[16];
    float dms[3] = {0.0f, 0.0f, 0.0f};
    switch (tag) {
      case 1:
      case 3:
        if (tin->GetData(ref, TIFF_ASCII, sizeof ref, 0) > 0) {
          if (tag == 1)
            latSign = ref[0] == 'S' ? -1 : 1;
          else
            lonSign = ref[0] == 'W' ? -1 : 1;
        }
        break;
      case 2:
      case 4:
        if (tin->GetData(dms, TIFF_RATIONAL, 3, 4) >= 1) {
          // Signed values count by their size: the reference alone says south or west.
          const float d = std::fabs(degrees(dms));
          if (!std::isfinite(d)) break;
          info->latlong[tag == 2 ? 0 : 1] = d;
          int& sign = tag == 2 ? latSign : lonSign;
          if (sign == 0) sign = 1;
          (tag == 2 ? haveLat : haveLon) = true;
        }
        break;
      case 5: {
        uint8_t b = 0;
        if (tin->GetData(&b, TIFF_BYTE, 1, 0) == 1) altSign = b == 1 ? -1 : 1;
        break;
      }
      case 6: {
        const double a = tin->GetReal(0);
        if (!std::isfinite(a)) break;
        info->altitude = static_cast<float>(a);
        if (altSign == 0) altSign = 1;
        haveAlt = true;
        break;
      }
      case 7:
        haveTime = tin->GetData(hms, TIFF_RATIONAL, 3, 4) == 3;
        if (!haveTime) hms[0] = -1.0f;
        break;
      case 24: {
        const double b = tin->GetReal(0);
        if (std::isfinite(b)) {
          info->bearing = static_cast<float>(b);
          info->flags |= IIFbearing;
        }
        break;
      }
      case 29:
        haveDate = tin->GetData(info->gmtdate, TIFF_ASCII, sizeof info->gmtdate, 0) > 0;
        break;
    }
  }
  if (haveLat && haveLon) {
    info->latlong[0] *= latSign;
    info->latlong[1] *= lonSign;
    info->flags |= IIFlatlong;
  }
  if (haveAlt) {
    info->altitude *= altSign;
    info->flags |= IIFaltitude;
  }
  // The time of day joins the date only when every part can be printed in two digits.
  if (haveDate && haveTime && hms[0] >= 0.0f && hms[0] < 99.0f && hms[1] >= 0.0f &&
      hms[1] < 99.0f && hms[2] >= 0.0f && hms[2] < 99.0f) {
    std::snprintf(info->gmtdate + 10, sizeof info->gmtdate - 10, " %02d:%02d:%02d",
                  static_cast<int>(hms[0] + 0.5f), static_cast<int>(hms[1] + 0.5f),
                  static_cast<int>(hms[2] + 0.5f));
    if (dateOK(info->gmtdate)) info->flags |= IIFgmtdate;
  }
}

}  // namespace

int GetExifInfo(_ImgInfo* info, TIFFin* tin) {
  if (info == nullptr || tin == nullptr || !tin->SetIFD(0)) return 0;
  info->source.stype = 0;
  info->source.make[0] = info->source.model[0] = info->source.vers[0] = '\0';
  info->owner[0] = info->comments[0] = '\0';
  LensFacts lens;
  uint32_t exifAt = 0, gpsAt = 0;
  scanIFD0(info, tin, &lens, &exifAt, &gpsAt);
  if (exifAt == 0 || !tin->SeekIFD(exifAt)) return 0;
  scanExif(info, tin, &lens);
  viewAngle(info, &lens);
  const uint32_t need = IIFexptime | IIFaperture | IIFasa;
  if ((info->flags & need) == need && !(info->flags & IIFstonits)) {
    info->stonits = 87.0f * info->aperture * info->aperture / (info->exptime * info->asa);
    info->flags |= IIFstonits;
  }
  if (gpsAt == 0 || !tin->SeekIFD(gpsAt)) return 0;
  scanGPS(info, tin);
  return 1;
}

int GetExifCS(_ImgColorSpace* cs, TIFFin* tin) {
  if (cs == nullptr || tin == nullptr || !tin->SetIFD(0)) return 0;
  const uint32_t bits = tin->GetInteger(258);
  const uint32_t samples = tin->GetInteger(277);
  if (bits != 0 && bits != 8) return 0;
  if (bits == 8 && samples == 1) {
    *cs = ICS_Y8;
    cs->cstatic = 0;
    return 1;
  }
  if (bits == 8 && samples != 3) return 0;
  *cs = ICS_sRGB;
  cs->cstatic = 0;
  float prims[6];
  if (tin->FindTag(319)) {
    if (tin->GetData(prims, TIFF_RATIONAL, 6, 4) < 6) return 0;
    RGBPRIMS p;
    std::memcpy(p, cs->chroma, sizeof p);
    for (int i = 0; i < 6; ++i) p[i / 2][i % 2] = prims[i];
    float white[2];
    if (tin->FindTag(318) && tin->GetData(white, TIFF_RATIONAL, 2, 4) == 2) {
      p[3][0] = white[0];
      p[3][1] = white[1];
    }
    // Primaries that make no colour space (a singular matrix) leave the default.
    COLORMAT m;
    if (!colorprimsOK(p) || !compxyz2rgbmat(m, p)) return 0;
    std::memcpy(cs->chroma, p, sizeof p);
    return 1;
  }
  uint32_t exifAt = 0;
  if (!tin->GetTagValue(34665, &exifAt, TIFF_LONG) || !tin->SeekIFD(exifAt)) return 0;
  const uint32_t space = tin->GetInteger(40961);
  if (space == 1) return 1;
  if (space == 2) {
    *cs = ICS_AdobeRGB;
    cs->cstatic = 0;
    return 1;
  }
  uint32_t interopAt = 0;
  char index[TIFFIN_MAXASCII];
  if (tin->GetTagValue(40965, &interopAt, TIFF_LONG) && tin->SeekIFD(interopAt) &&
      tin->GetTagValue(1, index, TIFF_ASCII) && std::strcmp(index, "R03") == 0) {
    *cs = ICS_AdobeRGB;
    cs->cstatic = 0;
    return 1;
  }
  return 0;
}

namespace {

// Thumbnails larger than this on either side after scaling are refused.
constexpr JDIMENSION kMaxThumbSide = 4096;

// Decodes len bytes of JPEG into img. Kept free of locals with destructors: a libjpeg error
// long-jumps back into it.
int decodeThumbnail(_ImgStruct* img, const unsigned char* data, size_t len) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  jpeg_jump_record jump;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_glue_error(&jerr);
  jump.fatal_warn = 0;
  if (setjmp(jump.env)) {
    cinfo.client_data = nullptr;
    jpeg_destroy_decompress(&cinfo);
    return 0;
  }
  cinfo.client_data = &jump;
  jpeg_create_decompress(&cinfo);
  cinfo.client_data = &jump;
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(len));
  int ok = jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK;
  if (ok) {
    cinfo.out_color_space = JCS_RGB;
    if (img->xres > 0 && img->yres > 0) {
      const double w = cinfo.image_width, h = cinfo.image_height;
      unsigned denom = 1;
      if (w * img->yres > h * img->xres) {
        while (denom < 8 && static_cast<double>(img->xres) * denom < w) denom *= 2;
      } else {
        while (denom < 8 && static_cast<double>(img->yres) * denom < h) denom *= 2;
      }
      cinfo.scale_num = 1;
      cinfo.scale_denom = denom;
    }
    jpeg_calc_output_dimensions(&cinfo);
    ok = cinfo.output_width <= kMaxThumbSide && cinfo.output_height <= kMaxThumbSide &&
         img->csp != nullptr && PmatchColorSpace(img->csp, &ICS_sRGB, 3);
  }
  if (ok) {
    jpeg_start_decompress(&cinfo);
    ok = cinfo.output_components == 3;
  }
  if (ok) {
    const int ow = static_cast<int>(cinfo.output_width), oh = static_cast<int>(cinfo.output_height);
    if (img->img != nullptr && (img->xres < ow || img->yres < oh || img->rowsize < 3 * ow))
      PfreeImage(img);
    img->xres = ow;
    img->yres = oh;
    ok = PnewImage(img, 0.0);
  }
  while (ok && cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = img->img + static_cast<ptrdiff_t>(cinfo.output_scanline) * img->rowsize;
    ok = jpeg_read_scanlines(&cinfo, &row, 1) == 1;
  }
  if (ok) jpeg_finish_decompress(&cinfo);
  cinfo.client_data = nullptr;
  jpeg_destroy_decompress(&cinfo);
  return ok;
}

}  // namespace

int GetExifThumbnail(_ImgStruct* img, TIFFin* tin) {
  if (img == nullptr || tin == nullptr || !tin->SetIFD(1)) return 0;
  uint32_t compression = 0, offset = 0, length = 0;
  for (int tag; (tag = tin->NextTag()) >= 0;) {
    if (tag == 259) compression = tin->GetInteger(0);
    if (tag == 513) offset = tin->GetInteger(0);
    if (tag == 514) length = tin->GetInteger(0);
  }
  if (compression != 6 || offset == 0 || length == 0) return 0;
  // A length beyond the data is refused before anything is allocated.
  if (uint64_t{offset} + length > tin->length()) return 0;
  unsigned char* buf = static_cast<unsigned char*>(std::malloc(length));
  if (buf == nullptr) return 0;
  std::istream* s = tin->GrabStream(offset);
  size_t got = 0;
  if (s != nullptr) {
    s->read(reinterpret_cast<char*>(buf), length);
    got = static_cast<size_t>(s->gcount());
    tin->ReleaseStream(s);
  }
  const int ok = got == length && decodeThumbnail(img, buf, length);
  std::free(buf);
  if (!ok) PfreeImage(img);
  return ok;
}
