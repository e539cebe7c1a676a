// The TIFF writer: one strip-organised page in the encoding the colour space and quality call
// for (LZW or plain 8-bit, 16-bit, float, LogLuv 32 and 24, LogL), with the image information
// as tags. The file is written under a temporary name and renamed into place when complete. A
// large picture is written a slice at a time (PworkSlice between bands of rows), and a slice
// that answers stop ends the write as a failure, leaving no file.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "formats/exif.h"
#include "support/pwork.h"
#include "support/replacefile.h"
#include "formats/tiffpriv.h"

namespace {

constexpr int kDefaultQuality = 90;
constexpr uint32_t kStripBytes = 8192;  // the bytes a strip aims at
// The picture's pixels written between two slices.
constexpr int64_t kSlicePixels = int64_t{1} << 20;

// How a colour space is stored.
struct Encoding {
  const char* name;
  uint16_t photometric, compression;
  int sgilog;  // 1 for the SGILog encodings, whose data format is set to float
  uint16_t samples, sampleFormat, bits;
  int stripPixelBytes;  // bytes a pixel counts for RowsPerStrip
  bool primaries;       // PrimaryChromaticities and WhitePoint are written
  bool toXYZ;           // float RGB rows are converted to CIE XYZ
};

bool chooseEncoding(const _ImgColorSpace* cs, int q, Encoding* e) {
  if (cs == nullptr) return false;
  const int pixBytes = PpixelSize(cs);
  const bool rgb = cs->format == IPFrgb, grey = cs->format == IPFy, xyz = cs->format == IPFxyz;
  switch (cs->dtype) {
    case IDTubyte:
      if (rgb)
        *e = q < 100 ? Encoding{"TIFF LZW RGB",
                                PHOTOMETRIC_RGB,
                                COMPRESSION_LZW,
                                0,
                                3,
                                1,
                                8,
                                pixBytes,
                                true,
                                false}
                     : Encoding{"TIFF 24-bit RGB",
                                PHOTOMETRIC_RGB,
                                COMPRESSION_NONE,
                                0,
                                3,
                                1,
                                8,
                                pixBytes,
                                true,
                                false};
      else if (grey)
        *e = q < 100 ? Encoding{"TIFF LZW grayscale",
                                PHOTOMETRIC_MINISBLACK,
                                COMPRESSION_LZW,
                                0,
                                1,
                                1,
                                8,
                                pixBytes,
                                false,
                                false}
                     : Encoding{"TIFF 8-bit grayscale",
                                PHOTOMETRIC_MINISBLACK,
                                COMPRESSION_NONE,
                                0,
                                1,
                                1,
                                8,
                                pixBytes,
                                false,
                                false};
      else
        return false;
      return true;
    case IDTushort:
      if (rgb)
        *e = {"TIFF 48-bit RGB",
              PHOTOMETRIC_RGB,
              COMPRESSION_NONE,
              0,
              3,
              1,
              16,
              pixBytes,
              true,
              false};
      else if (grey)
        *e = {"TIFF 16-bit grayscale",
              PHOTOMETRIC_MINISBLACK,
              COMPRESSION_NONE,
              0,
              1,
              1,
              16,
              pixBytes,
              false,
              false};
      else
        return false;
      return true;
    case IDTfloat:
      if ((rgb || grey) && q >= 100) {
        *e = rgb ? Encoding{"TIFF 96-bit RGB",
                            PHOTOMETRIC_RGB,
                            COMPRESSION_NONE,
                            0,
                            3,
                            3,
                            32,
                            pixBytes,
                            true,
                            false}
                 : Encoding{"TIFF 32-bit grayscale",
                            PHOTOMETRIC_MINISBLACK,
                            COMPRESSION_NONE,
                            0,
                            1,
                            3,
                            32,
                            pixBytes,
                            false,
                            false};
      } else if (grey) {
        *e = {"TIFF RLE-Log luminance",
              PHOTOMETRIC_LOGL,
              COMPRESSION_SGILOG,
              1,
              1,
              3,
              32,
              2,
              false,
              false};
      } else if (rgb || xyz) {
        *e = q > 50 ? Encoding{"TIFF RLE-Log Luv",
                               PHOTOMETRIC_LOGLUV,
                               COMPRESSION_SGILOG,
                               1,
                               3,
                               3,
                               32,
                               4,
                               false,
                               rgb}
                    : Encoding{"TIFF 24-bit-Log Luv",
                               PHOTOMETRIC_LOGLUV,
                               COMPRESSION_SGILOG24,
                               1,
                               3,
                               3,
                               32,
                               3,
                               false,
                               rgb};
      } else {
        return false;
      }
      return true;
    default:
      return false;
  }
}

// A fixed-size text of the image information, which may lack its NUL.
std::string infoText(const char* text, size_t size) {
  return std::string(text, strnlen(text, size));
}

bool isLinear16(const _ImgColorSpace* cs) {
  return cs->dtype == IDTushort && cs->logorig <= 0 && cs->gamma <= 1.1f;
}

// The image information as tags.
void writeInfoTags(TIFF* tif, const _ImgWriteBuf* wb) {
  const _ImgInfo& info = wb->info;
  if ((info.flags & IIForientation) && info.orientation >= IOtopleft &&
      info.orientation <= IOleftbot)
    TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<uint16_t>(info.orientation));
  if (info.flags & IIFcapdate) {
    const std::string date = infoText(info.capdate, sizeof info.capdate);
    if (dateOK(date.c_str())) TIFFSetField(tif, TIFFTAG_DATETIME, date.c_str());
  }
  std::string software;
  bool haveSoftware = false;
  if (info.flags & IIFsource) {
    const std::string make = infoText(info.source.make, sizeof info.source.make);
    const std::string model = infoText(info.source.model, sizeof info.source.model);
    if (!make.empty()) TIFFSetField(tif, TIFFTAG_MAKE, make.c_str());
    if (!model.empty()) TIFFSetField(tif, TIFFTAG_MODEL, model.c_str());
    software = infoText(info.source.vers, sizeof info.source.vers);
    haveSoftware = !software.empty();
  }
  // The reader takes 16-bit data for linear exactly when Software names the raw converter.
  if (isLinear16(wb->csp) && software.find("dcraw") == std::string::npos) {
    software = "dcraw";
    haveSoftware = true;
  }
  if (haveSoftware) TIFFSetField(tif, TIFFTAG_SOFTWARE, software.c_str());
  if ((info.flags & IIFstonits) && info.stonits > 0 && std::isfinite(info.stonits))
    TIFFSetField(tif, TIFFTAG_STONITS, static_cast<double>(info.stonits));
  if (info.flags & IIFowner) {
    const std::string owner = infoText(info.owner, sizeof info.owner);
    if (!owner.empty()) TIFFSetField(tif, TIFFTAG_ARTIST, owner.c_str());
  }
  if (info.flags & IIFcomments) {
    std::string text = infoText(info.comments, sizeof info.comments);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    for (char& c : text)
      if (c == '\n') c = ';';
    if (!text.empty()) TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, text.c_str());
  }
}

uint32_t rowsPerStrip(int32_t xres, int32_t yres, int pixBytes) {
  const uint64_t rowBytes = static_cast<uint64_t>(xres) * pixBytes;
  uint64_t rows = rowBytes == 0 ? 1 : kStripBytes / rowBytes;
  if (rows < 1) rows = 1;
  if (rows > static_cast<uint64_t>(yres)) rows = static_cast<uint64_t>(yres);
  return static_cast<uint32_t>(rows);
}

bool writeTags(TIFF* tif, const _ImgWriteBuf* wb, const Encoding& e) {
  const int pixBytes = PpixelSize(wb->csp);
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(wb->xres)) &&
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(wb->yres)) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
            TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  // Density and pixel shape; anything not positive counts as 72 dpi and square pixels.
  float xdpi = 72;
  if ((wb->info.flags & IIFhdensity) && wb->info.hdensity > 0 && std::isfinite(wb->info.hdensity))
    xdpi = wb->info.hdensity;
  const float aspect = wb->pixAspect > 0 && std::isfinite(wb->pixAspect) ? wb->pixAspect : 1.0f;
  ok = ok && TIFFSetField(tif, TIFFTAG_XRESOLUTION, xdpi) &&
       TIFFSetField(tif, TIFFTAG_YRESOLUTION, xdpi * aspect);
  writeInfoTags(tif, wb);
  // The compression comes before the SGILog data format, which only its codec knows.
  ok = ok && TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, e.photometric) &&
       TIFFSetField(tif, TIFFTAG_COMPRESSION, e.compression);
  // Values are rounded to the nearest code rather than dithered: the same image always gives
  // the same file, and no pixel is off by more than half a step.
  if (e.sgilog)
    ok = ok && TIFFSetField(tif, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT) &&
         TIFFSetField(tif, TIFFTAG_SGILOGENCODE, SGILOGENCODE_NODITHER);
  ok = ok && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, e.samples) &&
       TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, e.sampleFormat) &&
       TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, e.bits);
  if (e.primaries) {
    float prims[6], white[2];
    for (int i = 0; i < 6; ++i) prims[i] = wb->csp->chroma[i / 2][i % 2];
    white[0] = wb->csp->chroma[3][0];
    white[1] = wb->csp->chroma[3][1];
    ok = ok && TIFFSetField(tif, TIFFTAG_PRIMARYCHROMATICITIES, prims) &&
         TIFFSetField(tif, TIFFTAG_WHITEPOINT, white);
  }
  const int stripBytes = e.sgilog ? e.stripPixelBytes : pixBytes;
  return ok &&
         TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip(wb->xres, wb->yres, stripBytes));
}

// Writes every row as source gives it, converting float RGB to CIE XYZ when the encoding asks
// for it.
bool writeRows(TIFF* tif, const _ImgWriteBuf* wb, const Encoding& e, ImgRowSource source,
               void* data) {
  const size_t rowBytes = static_cast<size_t>(wb->xres) * PpixelSize(wb->csp);
  std::vector<uint8_t> row(rowBytes);
  COLORMAT m;
  if (e.toXYZ && !comprgb2xyzWBmat(m, wb->csp->chroma)) return false;
  const int32_t sliceRows = static_cast<int32_t>(std::max<int64_t>(1, kSlicePixels / wb->xres));
  for (int32_t y = 0; y < wb->yres; ++y) {
    if (y > 0 && y % sliceRows == 0) {
      // What was written so far starts on its way to the disk, so that the sync at the end
      // finds little left to wait for.
      sync_file_range(TIFFFileno(tif), 0, 0, SYNC_FILE_RANGE_WRITE);
      if (!PworkSlice(static_cast<double>(y) / wb->yres)) return false;
    }
    // A row of its own each time: libtiff may change the row it is given.
    if (!source(row.data(), y, data)) return false;
    if (e.toXYZ) {
      float* px = reinterpret_cast<float*>(row.data());
      for (int32_t x = 0; x < wb->xres; ++x) colortrans(px + 3 * x, m, px + 3 * x);
    }
    if (TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) < 0) return false;
  }
  return true;
}

// The rows of the write request's own pixels.
int bufferRow(uint8_t* row, int y, void* data) {
  const _ImgWriteBuf* wb = static_cast<const _ImgWriteBuf*>(data);
  memcpy(row, static_cast<const uint8_t*>(wb->img) + static_cast<ptrdiff_t>(y) * wb->rowsize,
         static_cast<size_t>(wb->xres) * PpixelSize(wb->csp));
  return 1;
}

// Writes the page of rows from source under a temporary name, renamed onto path when complete.
long writePage(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data) {
  if (path == nullptr || *path == '\0' || wb == nullptr) return 0;
  TiffMessageBuffer[0] = '\0';
  if (wb->xres < 1 || wb->yres < 1 || wb->csp == nullptr || source == nullptr) return 0;
  const int q = (wb->info.flags & IIFquality) ? wb->info.quality : kDefaultQuality;
  Encoding e;
  if (!chooseEncoding(wb->csp, q, &e)) return 0;
  const int64_t rowBytes = int64_t{wb->xres} * PpixelSize(wb->csp);
  if (rowBytes > INT32_MAX) return 0;
  std::string tmp;
  struct stat made;
  const int fd = PtempBeside(path, &tmp, -1, nullptr, &made);
  if (fd < 0) return 0;
  TIFF* tif = TiffOpenFd(fd, path, "w");
  if (tif == nullptr) {
    close(fd);
    PdiscardTemp(tmp);
    return 0;
  }
  bool ok = writeTags(tif, wb, e) && writeRows(tif, wb, e, source, data) && TIFFFlush(tif) &&
            fsync(TIFFFileno(tif)) == 0;
  TIFFClose(tif);  // closes fd
  struct stat st;
  ok = ok && stat(tmp.c_str(), &st) == 0;
  if (!ok) {
    PdiscardTemp(tmp);
    return 0;
  }
  return PcommitTemp(tmp, path, &made) ? static_cast<long>(st.st_size) : 0;
}

}  // namespace

const _ImgWriterInterface IWInterfaceTIFF = {"tif", TiffSupportedCS, TiffWriteImage, TiffWriteRows};

const char* TiffSupportedCS(const _ImgColorSpace* cs, int quality) {
  if (cs == nullptr || cs->logorig > 0) return nullptr;
  Encoding e;
  return chooseEncoding(cs, quality < 0 ? kDefaultQuality : quality, &e) ? e.name : nullptr;
}

long TiffWriteImage(const char* path, const _ImgWriteBuf* wb) {
  if (path == nullptr || *path == '\0' || wb == nullptr) return 0;
  TiffMessageBuffer[0] = '\0';
  if (wb->img == nullptr || wb->csp == nullptr) return 0;
  // Rows must lie apart by at least their length.
  const int64_t rowBytes = int64_t{wb->xres} * PpixelSize(wb->csp);
  if (std::llabs(int64_t{wb->rowsize}) < rowBytes) return 0;
  return writePage(path, wb, bufferRow, const_cast<_ImgWriteBuf*>(wb));
}

long TiffWriteRows(const char* path, const _ImgWriteBuf* wb, ImgRowSource source, void* data) {
  return writePage(path, wb, source, data);
}
