// The JPEG reader: one decoder object per open file, decoding rows forwards and restarting
// from the top of the file when a request lies above the next row to come.
#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "formats/exif.h"
#include "jpegglue/jpegglue.h"
#include "jpegglue/jpegsfidct.h"
#include "formats/jpegio.h"
#include "formats/jpegpriv.h"
#include "formats/tiffin.h"
#include "jpeghdr/jpeghdr.h"
#include "support/futil.h"
#include "support/membudget.h"
#include "support/pfilestream.h"

namespace {

enum JRState : int32_t { JRclosed = 0, JRopened = 1, JRheader = 2, JRdecoding = 3, JRfailed = 4 };

// How rows leave libjpeg on their way to the caller.
enum RowConv : int32_t {
  RCcopy = 0,        // as decoded
  RCinvert = 1,      // CMYK with inverted values (Adobe files)
  RCcmykRGB = 2,     // CMYK to RGB
  RCinvCmykRGB = 3,  // inverted CMYK to RGB
};

struct JPEGReader {
  _ImgReader ir;  // first: the reader record is the object
  int32_t state;
  PFileStream* fp;
  jpeghdr_decompress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record jump;
  bool created;         // the decompress object exists
  bool hdrFile;         // the file carries a ratio image
  uint8_t* byteRow;     // output width x output components bytes
  float* floatRow;      // output width x 3 floats
  int32_t divisor;      // libjpeg's scale divisor of the decoding under way
  J_COLOR_SPACE outCS;  // its output colour space
  bool hdrDecode;       // decoding float HDR rows
  uint64_t fileBytes;   // the size of the file when it was opened
};

JPEGReader* asJR(_ImgReader* ir) {
  return reinterpret_cast<JPEGReader*>(ir);
}
j_decompress_ptr cinfoOf(JPEGReader* jr) {
  return &jr->jh.cinfo;
}

void setError(JPEGReader* jr, ImgReadErr code, const char* msg) {
  jr->ir.errCode = code;
  std::snprintf(jr->ir.errMsg, sizeof jr->ir.errMsg, "%s", msg);
}

// The image-read error of a libjpeg message code.
ImgReadErr errorOfMessage(int code) {
  switch (code) {
    case JERR_ARITH_NOTIMPL:
    case JERR_SOF_UNSUPPORTED:
    case JWRN_ADOBE_XFORM:
      return IREunsupported;
    case JERR_BAD_COMPONENT_ID:
    case JERR_BAD_DCT_COEF:
    case JERR_BAD_DCTSIZE:
    case JERR_BAD_HUFF_TABLE:
    case JERR_BAD_IN_COLORSPACE:
    case JERR_BAD_J_COLORSPACE:
    case JERR_BAD_LENGTH:
    case JERR_BAD_PRECISION:
    case JERR_COMPONENT_COUNT:
    case JERR_EMPTY_IMAGE:
    case JERR_EOI_EXPECTED:
    case JERR_NO_HUFF_TABLE:
    case JERR_NO_QUANT_TABLE:
    case JERR_NO_SOI:
    case JERR_SOF_DUPLICATE:
    case JERR_SOF_NO_SOS:
    case JERR_SOI_DUPLICATE:
    case JERR_SOS_NO_SOF:
    case JERR_UNKNOWN_MARKER:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_TOO_MUCH_DATA:
    case JGLUE_RATIO_TOO_BIG:
      return IREformat;
    case JERR_FILE_READ:
    case JERR_TFILE_CREATE:
    case JERR_TFILE_READ:
    case JERR_TFILE_SEEK:
    case JERR_TFILE_WRITE:
    case JERR_XMS_READ:
      return IREread;
    case JERR_INPUT_EMPTY:
    case JERR_INPUT_EOF:
    case JERR_MISSING_DATA:
    case JERR_NO_IMAGE:
    case JERR_TOO_LITTLE_DATA:
    case JWRN_JPEG_EOF:
      return IREtruncated;
    case JERR_OUT_OF_MEMORY:
      return IREmemory;
    default:
      return IREunknown;
  }
}

void disarm(JPEGReader* jr) {
  jr->jh.cinfo.client_data = nullptr;
}

// After a libjpeg error: the reader fails with libjpeg's text and the code it maps to.
void diagnoseError(JPEGReader* jr) {
  jr->state = JRfailed;
  disarm(jr);
  std::snprintf(jr->ir.errMsg, sizeof jr->ir.errMsg, "%s", jpeg_error_buffer);
  jr->ir.errCode = errorOfMessage(jr->jerr.msg_code);
}

// Data that ends or breaks before the picture's last row (a file cut short, data that stops
// at a marker, a code that decodes to nothing) fails the read that met it, with libjpeg's
// text, as an error would: whatever libjpeg delivers past that point is only grey filler.
bool failWhenDamaged(JPEGReader* jr) {
  if (jr->jump.fatal_warn == 0) return false;
  jr->jerr.msg_code = jr->jump.fatal_warn;
  (*jr->jerr.format_message)(reinterpret_cast<j_common_ptr>(cinfoOf(jr)), jpeg_error_buffer);
  diagnoseError(jr);
  return true;
}

// A file too short for the frame its header declares is refused before anything is decoded,
// as libjpeg would refuse it at the cut.
bool failWhenTooShort(JPEGReader* jr) {
  if (!jpeg_glue_data_short(cinfoOf(jr), jr->fileBytes)) return false;
  jr->jerr.msg_code = JWRN_JPEG_EOF;
  (*jr->jerr.format_message)(reinterpret_cast<j_common_ptr>(cinfoOf(jr)), jpeg_error_buffer);
  diagnoseError(jr);
  return true;
}

void freeRows(JPEGReader* jr) {
  std::free(jr->byteRow);
  std::free(jr->floatRow);
  jr->byteRow = nullptr;
  jr->floatRow = nullptr;
}

void closeReader(JPEGReader* jr) {
  freeRows(jr);
  if (jr->state != JRclosed) {
    if (jr->created) {
      disarm(jr);
      jpeghdr_destroy_decompress(&jr->jh);
      jr->created = false;
    }
    delete jr->fp;
    jr->fp = nullptr;
    jr->state = JRclosed;
  }
}

bool isCMYK(const JPEGReader* jr) {
  const J_COLOR_SPACE cs = jr->jh.cinfo.jpeg_color_space;
  return cs == JCS_CMYK || cs == JCS_YCCK;
}

// The first saved APP1 segment that carries EXIF data, or null.
jpeg_saved_marker_ptr exifMarker(jpeg_saved_marker_ptr from) {
  for (jpeg_saved_marker_ptr m = from; m != nullptr; m = m->next)
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 16 &&
        std::memcmp(m->data, "Exif\0\0", 6) == 0)
      return m;
  return nullptr;
}

// The colour space named by the EXIF segment; 0 when it names none.
int determineCS(JPEGReader* jr) {
  if (jr->state != JRheader && jr->state != JRdecoding) return 0;
  jpeg_saved_marker_ptr m = exifMarker(jr->jh.cinfo.marker_list);
  if (m == nullptr) return 0;
  TIFFin tin;
  if (!tin.UseBuffer(m->data + 6, m->data_length - 6)) return 0;
  return GetExifCS(&jr->ir.cs, &tin);
}

// Reads the header from the top of the file (after a rewind when decoding had begun). Runs
// under the caller's armed jump record.
bool resetReader(JPEGReader* jr) {
  if (jr->state == JRclosed || !jr->created) return false;
  j_decompress_ptr cinfo = cinfoOf(jr);
  if (jr->state != JRopened) {
    jpeghdr_abort_decompress(&jr->jh);
    jr->fp->clear();
    jr->fp->seekg(0, std::ios::beg);
    jr->state = JRopened;
  }
  freeRows(jr);
  jr->jump.fatal_warn = 0;
  jpeg_save_markers(cinfo, JPEG_APP0 + 1, 65533);
  jpeg_save_markers(cinfo, JPEG_APP0, 65533);
  jpeg_stream_src(cinfo, jr->fp);
  // The segments of the ratio image are counted afresh on every reading of the header.
  jr->jh.segcount = 0;
  const int hdr = jpeghdr_read_header(&jr->jh);
  if (hdr != JPEG_HEADER_OK && hdr != 3) {
    diagnoseError(jr);
    return false;
  }
  if (failWhenTooShort(jr)) return false;
  jr->state = JRheader;
  jr->hdrFile = hdr == 3;
  jr->ir.xres = static_cast<int32_t>(cinfo->image_width);
  jr->ir.yres = static_cast<int32_t>(cinfo->image_height);
  jr->ir.pixAspect = 1.0f;
  if (jr->hdrFile) {
    jr->ir.cs = ICS_RGB709;
    jr->ir.cs.cstatic = 0;
    jr->ir.encoding = "HDR YCbCr";
    jr->ir.fr = {0, jr->ir.xres, 0, 1};
    jr->ir.nr = jr->ir.fr;
    return true;
  }
  if (!determineCS(jr)) jr->ir.cs = ICS_sRGB;
  jr->ir.cs.cstatic = 0;
  switch (cinfo->jpeg_color_space) {
    case JCS_RGB:
      jr->ir.encoding = "DCT RGB";
      break;
    case JCS_YCbCr:
      jr->ir.encoding = "DCT YCbCr";
      break;
    case JCS_GRAYSCALE:
      jr->ir.encoding = "DCT grayscale";
      jr->ir.cs.format = IPFy;
      break;
    case JCS_CMYK:
      jr->ir.encoding = "DCT CMYK";
      jr->ir.cs.format = IPFcmyk;
      break;
    case JCS_YCCK:
      // Stored as YCCK; libjpeg turns it back into CMYK.
      jr->ir.encoding = "DCT YCCK";
      jr->ir.cs.format = IPFcmyk;
      break;
    default:
      std::snprintf(jr->ir.errMsg, sizeof jr->ir.errMsg, "cannot convert JPEG color space (%d)",
                    static_cast<int>(cinfo->jpeg_color_space));
      jr->state = JRfailed;
      jr->ir.errCode = IREunsupported;
      return false;
  }
  jr->ir.fr = {0, jr->ir.xres, 0, 1};
  jr->ir.nr = jr->ir.fr;
  return true;
}

// Opens the file open at fd (taken) and reads its header.
bool openReader(JPEGReader* jr, int fd, const char* path) {
  closeReader(jr);
  jr->ir.errCode = IREnone;
  jr->ir.errMsg[0] = '\0';
  jr->fp = new PFileStream;
  if (!jr->fp->Adopt(fd, O_RDONLY)) {
    delete jr->fp;
    jr->fp = nullptr;
    return false;
  }
  std::snprintf(jr->ir.file, sizeof jr->ir.file, "%s", path);
  jr->fp->seekg(0, std::ios::end);
  const std::streamoff size = jr->fp->tellg();
  jr->fileBytes = size >= 0 ? static_cast<uint64_t>(size) : UINT64_MAX;
  jr->fp->clear();
  jr->fp->seekg(0, std::ios::beg);
  jr->ir.encoding = "";
  jr->state = JRopened;
  jr->jh.cinfo.err = jpeg_glue_error(&jr->jerr);
  jr->jump.fatal_warn = 0;
  if (setjmp(jr->jump.env)) {
    diagnoseError(jr);
    if (jr->jerr.msg_code == JERR_NO_SOI) {
      closeReader(jr);  // not a JPEG file
      jr->ir.errCode = IREnone;
    }
    return false;
  }
  jr->jh.cinfo.client_data = &jr->jump;
  jpeghdr_create_decompress(&jr->jh);
  jr->jh.cinfo.client_data = &jr->jump;
  jr->created = true;
  const bool ok = resetReader(jr);
  disarm(jr);
  if (!ok) return false;
  jr->ir.frame = 0;
  jr->ir.nframes = 1;
  jr->ir.frameType = IRFnone;
  jr->ir.frameRate = 0.0f;
  return true;
}

int divisorFor(int s) {
  return s < 2 ? 1 : s < 4 ? 2 : s < 8 ? 4 : 8;
}

// Starts decoding at the chosen scale, as float HDR rows or in libjpeg's output space out.
// Runs under the armed record.
bool startDecoding(JPEGReader* jr, int divisor, J_COLOR_SPACE out, bool hdr) {
  j_decompress_ptr cinfo = cinfoOf(jr);
  cinfo->scale_num = 1;
  cinfo->scale_denom = static_cast<unsigned>(divisor);
  cinfo->out_color_space = out;
  cinfo->dct_method = JDCT_FLOAT;
  if (hdr) {
    // The decoder holds ratios for every output pixel (and, with post-correction, the whole
    // foreground and two work planes besides).
    jpeg_calc_output_dimensions(cinfo);
    char why[sizeof jr->ir.errMsg];
    if (!PpictureFits(jr->ir.file, cinfo->output_width, cinfo->output_height,
                      jr->jh.correction == 2 ? 6 : 1, why, sizeof why)) {
      jr->state = JRfailed;
      setError(jr, IREmemory, why);
      return false;
    }
    if (!jpeghdr_start_decompress(&jr->jh)) return false;
  } else {
    jpeg_start_decompress(cinfo);
    jpeg_sf_idct(cinfo);  // smoothing at full size; scaled decoding keeps libjpeg's transforms
  }
  // A file of several scans is read whole by the start: its damage is known now.
  if (jr->jump.fatal_warn != 0) return false;
  jr->divisor = divisor;
  jr->outCS = out;
  jr->hdrDecode = hdr;
  jr->ir.nr = {0, jr->ir.xres, 0, divisor};
  const size_t w = cinfo->output_width > 0 ? cinfo->output_width : 1;
  if (hdr)
    jr->floatRow = static_cast<float*>(std::malloc(w * 3 * sizeof(float)));
  else
    jr->byteRow =
        static_cast<uint8_t*>(std::malloc(w * static_cast<size_t>(cinfo->output_components)));
  if (jr->floatRow == nullptr && jr->byteRow == nullptr) {
    jr->state = JRfailed;
    setError(jr, IREmemory, "cannot allocate scanline buffer");
    return false;
  }
  jr->state = JRdecoding;
  return true;
}

// Decodes the next row into row (the reader's own when null): float RGB triples when decoding
// HDR, else libjpeg's samples. Runs under the armed record.
bool nextScanline(JPEGReader* jr, uint8_t* row) {
  j_decompress_ptr cinfo = cinfoOf(jr);
  if (jr->state != JRdecoding || cinfo->output_scanline >= cinfo->output_height) return false;
  if (jr->hdrDecode) {
    float* f = row != nullptr ? reinterpret_cast<float*>(row) : jr->floatRow;
    if (!jpeghdr_read_scanline(&jr->jh, f)) return false;
  } else {
    JSAMPROW r = row != nullptr ? row : jr->byteRow;
    if (jpeg_read_scanlines(cinfo, &r, 1) != 1) return false;
  }
  jr->ir.nr.ytop += jr->divisor;
  jr->ir.nr.ybottom += jr->divisor;
  // The row that met damage is the last one read.
  return jr->jump.fatal_warn == 0;
}

// Copies n pixels of comps bytes each from a decoded row into dst, converting CMYK where
// asked.
void convertRow(uint8_t* dst, const uint8_t* src, int n, int comps, RowConv conv) {
  switch (conv) {
    case RCcopy:
      std::memcpy(dst, src, static_cast<size_t>(n) * comps);
      break;
    case RCinvert:
      for (int i = 0; i < n * comps; ++i) dst[i] = static_cast<uint8_t>(255 - src[i]);
      break;
    case RCcmykRGB:
    case RCinvCmykRGB: {
      const int flip = conv == RCinvCmykRGB ? 255 : 0;
      for (int i = 0; i < n; ++i, src += 4, dst += 3) {
        const int k = 255 - (src[3] ^ flip);
        for (int c = 0; c < 3; ++c)
          dst[c] = static_cast<uint8_t>((255 - (src[c] ^ flip)) * k / 255);
      }
      break;
    }
  }
}

// What a request gets: libjpeg's output space, the colour space delivered and the conversion.
struct Delivery {
  bool hdr;  // float RGB from the ratio image and the foreground
  J_COLOR_SPACE out;
  _ImgColorSpace cs;
  RowConv conv;
};

Delivery chooseDelivery(JPEGReader* jr, const _ImgColorSpace& want) {
  Delivery d;
  d.cs = jr->ir.cs;
  d.conv = RCcopy;
  d.hdr = false;
  if (jr->hdrFile && want.dtype == IDTfloat) {
    d.hdr = true;
    d.out = JCS_YCbCr;
    d.cs.cstatic = 0;
    return d;
  }
  if (jr->hdrFile) d.cs = ICS_sRGB;  // the foreground, as an ordinary JPEG
  if (isCMYK(jr)) {
    d.out = JCS_CMYK;
    const bool inverted = jr->jh.cinfo.saw_Adobe_marker;
    if (want.format == IPFcmy || want.format == IPFcmyk) {
      d.conv = inverted ? RCinvert : RCcopy;
    } else {
      d.conv = inverted ? RCinvCmykRGB : RCcmykRGB;
      d.cs = ICS_sRGB;
    }
  } else if (jr->jh.cinfo.jpeg_color_space == JCS_GRAYSCALE) {
    d.out = JCS_GRAYSCALE;
  } else if (want.format == IPFy) {
    d.out = JCS_GRAYSCALE;
    d.cs = ICS_Y8;
  } else {
    d.out = JCS_RGB;
  }
  d.cs.dtype = IDTubyte;
  d.cs.cstatic = 0;
  return d;
}

// A rectangle to decode: edges on multiples of the divisor d, the delivery and the pixels.
struct ReadPlan {
  _ImgRect r;
  int d;
  Delivery del;
  uint8_t* dst;
};

// Decodes the planned rows, restarting from the top of the file when they lie above the next
// row or need another scale or output space.
bool decodeRect(JPEGReader* jr, const ReadPlan* p) {
  if (setjmp(jr->jump.env)) {
    diagnoseError(jr);
    return false;
  }
  jr->jh.cinfo.client_data = &jr->jump;
  if (jr->state == JRfailed ||
      (jr->state == JRdecoding && (p->r.ytop < jr->ir.nr.ytop || jr->divisor != p->d ||
                                   jr->outCS != p->del.out || jr->hdrDecode != p->del.hdr))) {
    if (!resetReader(jr)) {
      disarm(jr);
      return false;
    }
  }
  if (jr->state == JRheader && !startDecoding(jr, p->d, p->del.out, p->del.hdr)) {
    failWhenDamaged(jr);
    disarm(jr);
    return false;
  }
  j_decompress_ptr cinfo = cinfoOf(jr);
  bool ok = true;
  while (ok && jr->ir.nr.ytop < p->r.ytop) ok = nextScanline(jr, nullptr);
  const int comps = p->del.hdr ? 3 * static_cast<int>(sizeof(float)) : cinfo->output_components;
  const uint8_t* own = p->del.hdr ? reinterpret_cast<const uint8_t*>(jr->floatRow) : jr->byteRow;
  const int w = (p->r.xright - p->r.xleft) / p->d, n = (p->r.ybottom - p->r.ytop) / p->d;
  const int x0 = p->r.xleft / p->d;
  if (x0 + w > static_cast<int>(cinfo->output_width)) ok = false;
  // Rows go straight into the caller's buffer only when a decoded row is exactly a delivered
  // row: a width that is no multiple of the divisor decodes one pixel more.
  const size_t outPix = static_cast<size_t>(PpixelSize(&p->del.cs));
  const bool straight = p->del.conv == RCcopy && x0 == 0 &&
                        w == static_cast<int>(cinfo->output_width) &&
                        outPix == static_cast<size_t>(comps);
  uint8_t* dst = p->dst;
  for (int y = 0; ok && y < n; ++y, dst += static_cast<size_t>(w) * outPix) {
    ok = nextScanline(jr, straight ? dst : nullptr);
    if (ok && !straight)
      convertRow(dst, own + static_cast<size_t>(x0) * comps, w, comps, p->del.conv);
  }
  if (failWhenDamaged(jr)) return false;
  disarm(jr);
  return ok;
}

bool readRec(JPEGReader* jr, _ImgReadBuf* rb) {
  if ((jr->state != JRheader && jr->state != JRdecoding && jr->state != JRfailed) ||
      rb == nullptr || !jr->created)
    return false;
  _ImgRect r = rb->r;
  if (rb->subsample < 1 || r.xleft >= r.xright || r.ytop >= r.ybottom || r.xleft < 0 ||
      r.ytop < 0 || r.xright > jr->ir.xres || r.ybottom > jr->ir.yres)
    return false;
  const int d = divisorFor(rb->subsample);
  if (d > 1) {
    r.xleft -= r.xleft % d;
    r.ytop -= r.ytop % d;
    r.xright -= r.xright % d;
    r.ybottom -= r.ybottom % d;
    if (r.xright <= r.xleft) r.xright = r.xleft + d;
    if (r.ybottom <= r.ytop) r.ybottom = r.ytop + d;
  }
  rb->r = r;
  ReadPlan plan;
  plan.r = r;
  plan.d = d;
  plan.del = chooseDelivery(jr, rb->cs);
  plan.dst = static_cast<uint8_t*>(rb->buf);
  rb->cs = plan.del.cs;
  if (rb->subsample != d || !PreadBufFits(rb)) {
    // Nothing read: the request now names the subsampling and colour space on offer.
    rb->subsample = d;
    rb->r.ybottom = rb->r.ytop;
    return true;
  }
  return decodeRect(jr, &plan);
}

bool getInfo(JPEGReader* jr, _ImgInfo* info) {
  if ((jr->state != JRheader && jr->state != JRdecoding) || info == nullptr) return false;
  info->comments[0] = '\0';
  info->params[0] = '\0';
  info->flags = 0;
  for (jpeg_saved_marker_ptr m = exifMarker(jr->jh.cinfo.marker_list); m != nullptr;
       m = exifMarker(m->next)) {
    TIFFin tin;
    if (tin.UseBuffer(m->data + 6, m->data_length - 6)) GetExifInfo(info, &tin);
  }
  const int q = JRgetQuality(cinfoOf(jr));
  if (q >= 0) {
    info->quality = q;
    info->flags |= IIFquality;
  }
  if (jr->ir.cs.dtype == IDTfloat && jr->jh.samp2nits > 0.0f) {
    info->stonits = jr->jh.samp2nits;
    info->flags |= IIFstonits;
  }
  return true;
}

bool getThumbnail(JPEGReader* jr, _ImgStruct* img) {
  if (jr->state != JRheader && jr->state != JRdecoding) return false;
  jpeg_saved_marker_ptr m = exifMarker(jr->jh.cinfo.marker_list);
  if (m == nullptr) return false;
  TIFFin tin;
  return tin.UseBuffer(m->data + 6, m->data_length - 6) && GetExifThumbnail(img, &tin);
}

// Luminance quantisation table K.1 of the JPEG standard, top-left 4 x 4 corner.
const float kStdLuminance4x4[16] = {16, 11, 10, 16, 12, 12, 14, 19, 14, 13, 16, 24, 14, 17, 22, 29};

}  // namespace

int JRgetQuality(j_decompress_ptr cinfo) {
  if (cinfo == nullptr) return -1;
  // The luminance component is the first of the frame, whatever number the file gives it
  // (some writers number their components from 0).
  if (cinfo->comp_info == nullptr || cinfo->num_components < 1) return -1;
  const int table = cinfo->comp_info[0].quant_tbl_no;
  if (table < 0 || table >= NUM_QUANT_TBLS || cinfo->quant_tbl_ptrs[table] == nullptr) return -1;
  const JQUANT_TBL* q = cinfo->quant_tbl_ptrs[table];
  float sum = 0.0f;
  int count = 0;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      const unsigned v = q->quantval[r * 8 + c];
      if (v >= 255) continue;
      ++count;
      if (v > 1) sum += static_cast<float>(v) / kStdLuminance4x4[r * 4 + c];
    }
  if (count == 0) return 0;
  const int scale = static_cast<int>(sum * 100.0f / static_cast<float>(count) + 0.5f);
  return scale <= 100 ? (200 - scale) / 2 : 5000 / scale;
}

_ImgReader* JRopen(const char* path) {
  if (path == nullptr) return nullptr;
  const int fd = PopenRead(path);
  return fd >= 0 ? JRopenFd(fd, path) : nullptr;
}

_ImgReader* JRopenFd(int fd, const char* path) {
  if (path == nullptr) {
    close(fd);
    return nullptr;
  }
  JPEGReader* jr = static_cast<JPEGReader*>(std::calloc(1, sizeof(JPEGReader)));
  if (jr == nullptr) {
    close(fd);
    return nullptr;
  }
  jr->ir.ri = &IRInterfaceJPEG;
  openReader(jr, fd, path);
  if (jr->state == JRclosed) {
    std::free(jr);
    return nullptr;
  }
  return &jr->ir;
}

ImgReadErr JRgetInfo(_ImgReader* ir, _ImgInfo* info) {
  if (ir == nullptr) return IREunknown;
  ir->errCode = IREnone;
  getInfo(asJR(ir), info);
  return ir->errCode;
}

ImgReadErr JRgetThumbnail(_ImgReader* ir, _ImgStruct* img) {
  if (ir == nullptr) return IREunknown;
  ir->errCode = IREnone;
  if (!getThumbnail(asJR(ir), img)) {
    ir->errCode = IREunsupported;
    std::snprintf(ir->errMsg, sizeof ir->errMsg, "no thumbnail");
  }
  return ir->errCode;
}

ImgReadErr JRreadRec(_ImgReader* ir, _ImgReadBuf* rb) {
  if (ir == nullptr) return IREunknown;
  ir->errCode = IREnone;
  if (!readRec(asJR(ir), rb) && ir->errCode == IREnone) {
    ir->errCode = IREunknown;
    std::snprintf(ir->errMsg, sizeof ir->errMsg, "JPEG reader routine failure");
  }
  return ir->errCode;
}

void JRclose(_ImgReader* ir) {
  if (ir == nullptr) return;
  closeReader(asJR(ir));
  std::free(ir);
}

const _ImgReaderInterface IRInterfaceJPEG = {
    "JPEG.jpg.jfif.jff.jiff", JRopen,  nullptr,   JRgetInfo,
    JRgetThumbnail,           nullptr, JRreadRec, JRclose};
