// The JPEG-HDR decoder: collects the APP11 "HDR_RI" segments while libjpeg reads the header,
// decodes the ratio image at the scale that covers the output, and rebuilds each HDR pixel as
// the linearised, resaturated foreground colour times its ratio.
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "jpegglue/jpegglue.h"
#include "jpeghdr/jhprivate.h"
#include "support/cnumber.h"
#include "support/replacefile.h"

namespace {

constexpr int kTextMax = 511;

j_common_ptr common(jpeghdr_decompress_struct* jh) {
  return reinterpret_cast<j_common_ptr>(&jh->cinfo);
}

// The next byte of libjpeg's source, refilling it; -1 when refilling fails.
int readNextByte(j_decompress_ptr cinfo) {
  jpeg_source_mgr* src = cinfo->src;
  if (src->bytes_in_buffer == 0 && (!(*src->fill_input_buffer)(cinfo) || src->bytes_in_buffer == 0))
    return -1;
  src->bytes_in_buffer--;
  return *src->next_input_byte++;
}

// Copies up to n bytes from the source, refilling as needed; returns the count copied.
size_t readBytes(j_decompress_ptr cinfo, void* buf, size_t n) {
  jpeg_source_mgr* src = cinfo->src;
  size_t done = 0;
  while (done < n) {
    if (src->bytes_in_buffer == 0 &&
        (!(*src->fill_input_buffer)(cinfo) || src->bytes_in_buffer == 0))
      break;
    size_t take = n - done < src->bytes_in_buffer ? n - done : src->bytes_in_buffer;
    std::memcpy(static_cast<char*>(buf) + done, src->next_input_byte, take);
    src->next_input_byte += take;
    src->bytes_in_buffer -= take;
    done += take;
  }
  return done;
}

void skipBytes(j_decompress_ptr cinfo, long n) {
  if (n > 0) (*cinfo->src->skip_input_data)(cinfo, n);
}

// Header values that make a usable ratio table.
bool headerUsable(int version, float ln0, float ln1, float alpha, float beta) {
  return version <= 19 && ln0 > -87.f && ln1 < 88.f && ln1 > ln0 && alpha > 0.f &&
         std::isfinite(alpha) && beta > 0.f && std::isfinite(beta);
}

// libjpeg's processor of APP11 markers.
boolean subband_parser(j_decompress_ptr cinfo) {
  auto* jh = reinterpret_cast<jpeghdr_decompress_struct*>(cinfo);
  const int hi = readNextByte(cinfo);
  if (hi < 0) return FALSE;
  const int lo = readNextByte(cinfo);
  if (lo < 0) return FALSE;
  long len = ((hi << 8) | lo) - 2;
  if (len <= 0) return TRUE;
  char buf[kTextMax + 1];
  const size_t first = len < kTextMax ? static_cast<size_t>(len) : kTextMax;
  if (readBytes(cinfo, buf, first) != first) return FALSE;
  buf[first] = '\0';
  len -= static_cast<long>(first);
  const size_t textlen = std::strlen(buf);
  // Segments of other writers are passed by; ours must end their text within the chunk.
  if (std::strncmp(buf, "HDR_RI ", 7) != 0) {
    skipBytes(cinfo, len);
    return TRUE;
  }
  const bool text_ends = textlen < first;
  if (jh->ratiofile == nullptr) {
    int version = 0, correction = 0;
    float ln0 = 0, ln1 = 0, s2n = 0, alpha = 0, beta = 0;
    const int n = Csscanf(buf, "HDR_RI ver=%d\n ln0=%f, ln1=%f, s2n=%e alp=%f bet=%f cor=%d\n~",
                          &version, &ln0, &ln1, &s2n, &alpha, &beta, &correction);
    if (n != 7 || !text_ends || !headerUsable(version, ln0, ln1, alpha, beta)) {
      skipBytes(cinfo, len);
      return TRUE;
    }
    jh->version = version;
    jh->correction = correction;
    jh->alpha = alpha;
    jh->beta = beta;
    jh->samp2nits = std::isfinite(s2n) ? s2n : 0.f;
    for (int r = 0; r < 256; r++)
      jh->ratio_table[r] = std::exp(ln0 + (static_cast<float>(r) + 0.5f) / 256.f * (ln1 - ln0));
    jh->ratiofile = PscratchFile();
    if (jh->ratiofile == nullptr) jh_error(common(jh), JERR_FILE_WRITE);
  } else {
    int ext = 0;
    if (Csscanf(buf, "HDR_RI ext=%d\n~", &ext) != 1 || !text_ends || ext < 1 ||
        ext != jh->segcount) {
      jh->segcount = 0;  // a missing or misplaced piece: the file reads as plain JPEG
      skipBytes(cinfo, len);
      return TRUE;
    }
  }
  const size_t data = first - (textlen + 1);
  if (data > 0 && std::fwrite(buf + textlen + 1, 1, data, jh->ratiofile) != data)
    jh_error(common(jh), JERR_FILE_WRITE);
  while (len > 0) {
    const size_t n = len < kTextMax + 1 ? static_cast<size_t>(len) : kTextMax + 1;
    if (readBytes(cinfo, buf, n) != n) return FALSE;
    if (std::fwrite(buf, 1, n, jh->ratiofile) != n) jh_error(common(jh), JERR_FILE_WRITE);
    len -= static_cast<long>(n);
  }
  jh->segcount++;
  return TRUE;
}

void closeRatioFile(jpeghdr_decompress_struct* jh) {
  if (jh->ratiofile != nullptr) std::fclose(jh->ratiofile);
  jh->ratiofile = nullptr;
}

void jh_free_decompress(jpeghdr_decompress_struct* jh) {
  std::free(jh->planes[0]);
  jh->planes[0] = jh->planes[1] = jh->planes[2] = nullptr;
  std::free(jh->rowbuf);
  jh->rowbuf = nullptr;
  std::free(jh->ratio_image);
  jh->ratio_image = nullptr;
  closeRatioFile(jh);
}

uint8_t* allocOrFail(jpeghdr_decompress_struct* jh, size_t n, int which) {
  uint8_t* p = static_cast<uint8_t*>(std::malloc(n));
  if (p == nullptr) jh_error(common(jh), JERR_OUT_OF_MEMORY, which);
  return p;
}

// Outcome of decoding the ratio file.
struct RatioResult {
  int ok;        // 1 decoded, 0 no image (nothing read), -1 libjpeg error
  int msg_code;  // the error's message code
  int param[4];
  int w, h;
};

// Decodes the ratio file into jh->ratio_image (one byte a pixel) at the largest reduction
// that still covers out_w, with a second decompress object reporting through jh's error
// manager under its own jump record, so the object is always destroyed.
RatioResult decodeRatio(jpeghdr_decompress_struct* jh, int out_w, int out_h) {
  RatioResult res = {0, 0, {0, 0, 0, 0}, 0, 0};
  jpeg_decompress_struct ci;
  jpeg_jump_record rec;
  rec.fatal_warn = 0;
  ci.err = jh->cinfo.err;
  if (setjmp(rec.env)) {
    res.ok = -1;
    res.msg_code = ci.err->msg_code;
    for (int i = 0; i < 4; i++) res.param[i] = ci.err->msg_parm.i[i];
    jpeg_destroy_decompress(&ci);
    return res;
  }
  jpeg_create_decompress(&ci);
  jpeg_glue_limit_memory(&ci);
  ci.client_data = &rec;
  std::fseek(jh->ratiofile, 0, SEEK_END);
  const long stored = std::ftell(jh->ratiofile);
  std::rewind(jh->ratiofile);
  jpeg_stdio_src(&ci, jh->ratiofile);
  if (jpeg_read_header(&ci, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&ci);
    return res;
  }
  // Segments that cannot hold the ratio image they declare: a file cut short.
  if (stored >= 0 && jpeg_glue_data_short(&ci, static_cast<uint64_t>(stored))) {
    res.ok = -1;
    res.msg_code = JWRN_JPEG_EOF;
    jpeg_destroy_decompress(&ci);
    return res;
  }
  const int fw = static_cast<int>(ci.image_width);
  ci.scale_num = 1;
  ci.scale_denom = fw / 8 >= out_w ? 8 : (fw / 4 >= out_w ? 4 : (fw / 2 >= out_w ? 2 : 1));
  // The ratio image has one component: colour files are read as their luminance, others fail.
  ci.out_color_space = JCS_GRAYSCALE;
  jpeg_calc_output_dimensions(&ci);
  const int w = static_cast<int>(ci.output_width), h = static_cast<int>(ci.output_height);
  // A ratio image far larger than the output is damage, not data worth the memory.
  if (w > 4 * out_w + 16 || h > 4 * out_h + 16 || ci.output_components != 1) {
    res.ok = -1;
    res.msg_code = ci.output_components != 1 ? static_cast<int>(JERR_BAD_J_COLORSPACE)
                                             : static_cast<int>(JGLUE_RATIO_TOO_BIG);
    const int p[4] = {static_cast<int>(ci.image_width), static_cast<int>(ci.image_height), out_w,
                      out_h};
    for (int i = 0; i < 4; i++) res.param[i] = p[i];
    jpeg_destroy_decompress(&ci);
    return res;
  }
  jpeg_start_decompress(&ci);
  jh->ratio_image = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w) * h));
  if (jh->ratio_image == nullptr) {
    res.ok = -1;
    res.msg_code = JERR_OUT_OF_MEMORY;
    res.param[0] = 210;
    jpeg_destroy_decompress(&ci);
    return res;
  }
  JSAMPROW rows[4];
  while (ci.output_scanline < ci.output_height) {
    const JDIMENSION y = ci.output_scanline;
    int n = 0;
    for (; n < 4 && y + static_cast<JDIMENSION>(n) < ci.output_height; n++)
      rows[n] = jh->ratio_image + static_cast<size_t>(y + n) * w;
    if (jpeg_read_scanlines(&ci, rows, static_cast<JDIMENSION>(n)) == 0) {
      jpeg_destroy_decompress(&ci);
      return res;
    }
    // Ratios missing from a cut or damaged image would be filler, not the picture's.
    if (rec.fatal_warn != 0) {
      res.ok = -1;
      res.msg_code = rec.fatal_warn;
      jpeg_destroy_decompress(&ci);
      return res;
    }
  }
  jpeg_finish_decompress(&ci);
  jpeg_destroy_decompress(&ci);
  res.ok = 1;
  res.w = w;
  res.h = h;
  return res;
}

// Post-correction: sharpens the ratio image where the foreground has detail that the
// reduced ratio image blurred away. ratio holds the enlarged codes (W x H), blur the Y plane
// reduced to w x h and enlarged again.
void postCorrect(const uint8_t* yplane, const uint8_t* blur, const uint8_t* ratio, uint8_t* out,
                 int W, int H, int w) {
  const int s = W / w;
  for (int y = s; y < H - s; y++)
    for (int x = s; x < W - s; x++) {
      const size_t i = static_cast<size_t>(y) * W + x;
      const int r = ratio[i];
      if (r == 0) continue;
      int ymin = 255, ymax = 0, rmin = 255, rmax = 0;
      for (int dy = -s; dy <= s; dy += s)
        for (int dx = -s; dx <= s; dx += s) {
          const size_t j = static_cast<size_t>(y + dy) * W + (x + dx);
          if (blur[j] < ymin) ymin = blur[j];
          if (blur[j] > ymax) ymax = blur[j];
          if (ratio[j] < rmin) rmin = ratio[j];
          if (ratio[j] > rmax) rmax = ratio[j];
        }
      const int dY = ymax - ymin, dr = rmax - rmin;
      if (dY <= 3 || blur[i] == 0) continue;  // flat, or no luminance to divide by
      float f = static_cast<float>(yplane[i]) / static_cast<float>(blur[i]);
      const float q = static_cast<float>(dr * blur[i]) / static_cast<float>(dY * r);
      if (q < 1.f) f = std::pow(f, q);
      const int v = static_cast<int>(f * static_cast<float>(r) + 0.5f);
      out[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
    }
}

}  // namespace

void jpeghdr_CreateDecompress(jpeghdr_decompress_struct* jh, int version, int codec_version,
                              size_t jpeg_size, size_t codec_size) {
  jh_create_common(jh, codec_version, codec_size);
  jpeg_CreateDecompress(&jh->cinfo, version, jpeg_size);
  jpeg_glue_limit_memory(&jh->cinfo);
}

int jpeghdr_read_header(jpeghdr_decompress_struct* jh) {
  jpeg_set_marker_processor(&jh->cinfo, JPEG_APP0 + 11, subband_parser);
  const int r = jpeg_read_header(&jh->cinfo, TRUE);
  jpeg_save_markers(&jh->cinfo, JPEG_APP0 + 11, 0);
  if (jh->segcount > 0 && r == JPEG_HEADER_OK) return 3;
  closeRatioFile(jh);
  return r;
}

int jpeghdr_start_decompress(jpeghdr_decompress_struct* jh) {
  if (jh->ratiofile == nullptr) jh_error(common(jh), JERR_BAD_STATE, jh->cinfo.global_state);
  jh->row = 0;
  jh->cinfo.out_color_space = jh->cinfo.jpeg_color_space;
  if (jh->cinfo.jpeg_color_space != JCS_YCbCr || jh->cinfo.num_components != 3)
    jh_error(common(jh), JERR_BAD_J_COLORSPACE);
  if (!jpeg_start_decompress(&jh->cinfo)) return 0;
  const int W = static_cast<int>(jh->cinfo.output_width),
            H = static_cast<int>(jh->cinfo.output_height);

  const RatioResult rr = decodeRatio(jh, W, H);
  closeRatioFile(jh);
  if (rr.ok < 0) {
    for (int i = 1; i < 4; i++) jh->cinfo.err->msg_parm.i[i] = rr.param[i];
    jh_error(common(jh), rr.msg_code, rr.param[0]);
  }
  if (rr.ok == 0) {
    jh_free_decompress(jh);
    return 0;
  }
  const int w = rr.w, h = rr.h;
  const bool post = jh->correction == 2 && w < W;
  if (!post) jh->rowbuf = allocOrFail(jh, 3 * static_cast<size_t>(W), 215);
  if (w == W && h == H) return 1;

  const size_t npix = static_cast<size_t>(W) * H;
  if (post) {  // the whole foreground, one plane per component
    jh->planes[0] = allocOrFail(jh, 3 * npix, 213);
    jh->planes[1] = jh->planes[0] + npix;
    jh->planes[2] = jh->planes[1] + npix;
    jh->rowbuf = allocOrFail(jh, 3 * static_cast<size_t>(W), 213);
    while (jh->cinfo.output_scanline < jh->cinfo.output_height) {
      const size_t y = jh->cinfo.output_scanline;
      JSAMPROW rp = jh->rowbuf;
      if (jpeg_read_scanlines(&jh->cinfo, &rp, 1) != 1) {
        jh_free_decompress(jh);
        return 0;
      }
      for (int x = 0; x < W; x++)
        for (int c = 0; c < 3; c++) jh->planes[c][y * W + x] = jh->rowbuf[3 * x + c];
    }
    std::free(jh->rowbuf);
    jh->rowbuf = nullptr;
    jpeg_finish_decompress(&jh->cinfo);
  }

  uint8_t* full = static_cast<uint8_t*>(std::malloc(npix));
  const int ok =
      full != nullptr && (jh->version == 10 && !post ? jpeghdr_resample8orig : jpeghdr_resample8)(
                             jh->ratio_image, w, h, full, W, H);
  if (!ok) {
    std::free(full);
    jh_error(common(jh), JERR_OUT_OF_MEMORY, 215);
  }
  std::free(jh->ratio_image);
  jh->ratio_image = full;
  if (!post) return 1;

  uint8_t* small = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w) * h));
  uint8_t* blur = static_cast<uint8_t*>(std::malloc(npix));
  uint8_t* out = static_cast<uint8_t*>(std::malloc(npix));
  const int pok = small && blur && out && jpeghdr_resample8(jh->planes[0], W, H, small, w, h) &&
                  jpeghdr_resample8(small, w, h, blur, W, H);
  if (pok) {
    std::memcpy(out, jh->ratio_image, npix);
    postCorrect(jh->planes[0], blur, jh->ratio_image, out, W, H, w);
  }
  std::free(small);
  std::free(blur);
  if (!pok) {
    std::free(out);
    jh_error(common(jh), JERR_OUT_OF_MEMORY, 214);
  }
  std::free(jh->ratio_image);
  jh->ratio_image = out;
  return 1;
}

int jpeghdr_read_scanline(jpeghdr_decompress_struct* jh, float* row) {
  const int W = static_cast<int>(jh->cinfo.output_width);
  const bool from_planes = jh->planes[0] != nullptr;
  if (jh->ratio_image == nullptr || jh->row >= static_cast<int>(jh->cinfo.output_height) ||
      (!from_planes &&
       (jh->rowbuf == nullptr || static_cast<JDIMENSION>(jh->row) != jh->cinfo.output_scanline)))
    jh_error(common(jh), JERR_BAD_STATE, jh->cinfo.global_state);
  if (!from_planes) {
    JSAMPROW rp = jh->rowbuf;
    if (jpeg_read_scanlines(&jh->cinfo, &rp, 1) != 1) return 0;
  }
  const size_t base = static_cast<size_t>(jh->row) * W;
  jh->row++;
  const uint8_t* ratio = jh->ratio_image + base;
  const uint8_t* py = from_planes ? jh->planes[0] + base : jh->rowbuf;
  const uint8_t* pcb = from_planes ? jh->planes[1] + base : jh->rowbuf + 1;
  const uint8_t* pcr = from_planes ? jh->planes[2] + base : jh->rowbuf + 2;
  const int step = from_planes ? 1 : 3;
  const bool resaturate =
      !(jh->alpha >= 0.9999f && jh->alpha <= 1.0001f && jh->beta >= 0.9999f && jh->beta <= 1.0001f);
  for (int x = W - 1; x >= 0; x--) {
    const uint8_t ycc[3] = {py[x * step], pcb[x * step], pcr[x * step]};
    float* rgb = row + 3 * static_cast<size_t>(x);
    jh_ycc2rgb_inline(ycc, rgb);
    if (resaturate) jpeghdr_resaturate(jh, rgb);
    const float m = jh->ratio_table[ratio[x]];
    rgb[0] *= m;
    rgb[1] *= m;
    rgb[2] *= m;
  }
  return 1;
}

void jpeghdr_finish_decompress(jpeghdr_decompress_struct* jh) {
  // With post-correction libjpeg finished when the whole foreground was read at the start.
  const bool finished = jh->planes[0] != nullptr;
  jh_free_decompress(jh);
  if (!finished) jpeg_finish_decompress(&jh->cinfo);
}

void jpeghdr_abort_decompress(jpeghdr_decompress_struct* jh) {
  jh_free_decompress(jh);
  jpeg_abort_decompress(&jh->cinfo);
}

void jpeghdr_destroy_decompress(jpeghdr_decompress_struct* jh) {
  jh_free_decompress(jh);
  jpeg_destroy_decompress(&jh->cinfo);
  std::memset(jh, 0, sizeof *jh);
}
