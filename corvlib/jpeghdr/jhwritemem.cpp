// Self-contained writer of a float RGB array as a JPEG-HDR file.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "jpegglue/jpegglue.h"
#include "jpeghdr/jhprivate.h"
#include "support/dmessage.h"
#include "support/replacefile.h"

namespace {

// Compresses onto fp under an armed jump record; 1 on success, 0 after a libjpeg error (its
// text reported).
int compressGuarded(FILE* fp, const float* pixels, int width, int height, int quality,
                    int correction, float alpha, float beta, float samp2nits) {
  jpeghdr_compress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  if (setjmp(rec.env)) {
    DMESSAGE(DMCdata, "cannot write JPEG-HDR: %s", jpeg_error_buffer);
    jpeghdr_destroy_compress(&jh);
    return 0;
  }
  jpeghdr_create_compress(&jh);
  jpeg_stdio_dest(&jh.cinfo, fp);
  jpeghdr_src_floatRGB(&jh, pixels, width, height);
  jh.samp2nits = samp2nits;
  jh.quality = static_cast<int16_t>(quality < 1 ? 1 : (quality > 100 ? 100 : quality));
  jh.correction = correction;
  jh.alpha = alpha;
  jh.beta = beta;
  jpeghdr_tonemap_default(&jh);
  jpeghdr_do_compress(&jh);
  jh.cinfo.client_data = nullptr;
  jpeghdr_destroy_compress(&jh);
  return 1;
}

}  // namespace

long jpeghdr_write_memory(const char* path, const float* pixels, int width, int height, int quality,
                          int correction, float alpha, float beta, float samp2nits) {
  if (pixels == nullptr || width <= 0 || height <= 0) return 0;
  if (path == nullptr) {
    if (!compressGuarded(stdout, pixels, width, height, quality, correction, alpha, beta,
                         samp2nits) ||
        std::fflush(stdout) != 0)
      return 0;
    const long pos = std::ftell(stdout);
    return pos > 0 ? pos : 0;
  }
  // Write beside the target and rename, so a failed write never destroys an existing file.
  std::string tmp;
  struct stat made;
  const int fd = PtempBeside(path, &tmp, PusualFileMode(), nullptr, &made);
  if (fd < 0) {
    DMESSAGE(DMCsystem, "cannot create a temporary file beside %s", path);
    return 0;
  }
  FILE* fp = fdopen(fd, "wb");
  if (fp == nullptr) {
    close(fd);
    PdiscardTemp(tmp);
    DMESSAGE(DMCsystem, "cannot open a temporary file beside %s", path);
    return 0;
  }
  long pos = 0;
  if (compressGuarded(fp, pixels, width, height, quality, correction, alpha, beta, samp2nits) &&
      std::fflush(fp) == 0 && !std::ferror(fp) && fsync(fileno(fp)) == 0)
    pos = std::ftell(fp);
  if (std::fclose(fp) != 0) pos = 0;
  if (pos <= 0) {
    PdiscardTemp(tmp);
    return 0;
  }
  if (!PrenameTemp(tmp, path, &made)) {
    DMESSAGE(DMCsystem, "cannot rename the written file to %s", path);
    return 0;
  }
  return pos;
}
