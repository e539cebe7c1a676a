// libtiff handles for the TIFF reader and writer: every handle carries this system's warning
// and error handlers, which keep the last message in TiffMessageBuffer, and a cap on libtiff's
// single allocations.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "formats/tiffpriv.h"
#include "support/cnumber.h"

char TiffMessageBuffer[TIFF_MSGLEN];
size_t TiffMaxSingleAlloc = size_t{1} << 30;

namespace {

void bufferMessage(const char* kind, const char* module, const char* fmt, va_list args) {
  size_t n = 0;
  if (module != nullptr) {
    const int k = snprintf(TiffMessageBuffer, TIFF_MSGLEN, "%s: ", module);
    n = k < 0 ? 0 : static_cast<size_t>(k);
  }
  if (n < TIFF_MSGLEN) {
    const int k = snprintf(TiffMessageBuffer + n, TIFF_MSGLEN - n, "%s", kind);
    n += k < 0 ? 0 : static_cast<size_t>(k);
  }
  if (n < TIFF_MSGLEN) Cvsnprintf(TiffMessageBuffer + n, TIFF_MSGLEN - n, fmt, args);
}

int errorHandler(TIFF*, void*, const char* module, const char* fmt, va_list args) {
  BufferTiffError(module, fmt, args);
  return 1;  // handled: libtiff's global handler stays silent
}

int warningHandler(TIFF*, void*, const char* module, const char* fmt, va_list args) {
  BufferTiffWarning(module, fmt, args);
  return 1;
}

TIFFOpenOptions* options() {
  TiffMessageBuffer[0] = '\0';
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  if (opts == nullptr) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(opts, errorHandler, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, warningHandler, nullptr);
  const size_t cap =
      TiffMaxSingleAlloc > static_cast<size_t>(INT64_MAX) ? INT64_MAX : TiffMaxSingleAlloc;
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(cap));
  return opts;
}

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
  TiffMemFile* f = static_cast<TiffMemFile*>(h);
  if (n <= 0 || f->pos >= f->size) return 0;
  const uint64_t left = f->size - f->pos;
  const uint64_t take = static_cast<uint64_t>(n) < left ? static_cast<uint64_t>(n) : left;
  memcpy(buf, f->data + f->pos, static_cast<size_t>(take));
  f->pos += take;
  return static_cast<tmsize_t>(take);
}

tmsize_t memWrite(thandle_t, void*, tmsize_t) {
  return -1;
}

toff_t memSeek(thandle_t h, toff_t off, int whence) {
  TiffMemFile* f = static_cast<TiffMemFile*>(h);
  const uint64_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->size : 0;
  if (off > UINT64_MAX - base) return static_cast<toff_t>(-1);
  f->pos = base + off;
  return f->pos;
}

int memClose(thandle_t) {
  return 0;
}

toff_t memSize(thandle_t h) {
  return static_cast<TiffMemFile*>(h)->size;
}

int memMap(thandle_t, void**, toff_t*) {
  return 0;
}

void memUnmap(thandle_t, void*, toff_t) {}

}  // namespace

void BufferTiffWarning(const char* module, const char* fmt, va_list args) {
  bufferMessage("Warning, ", module, fmt, args);
}

void BufferTiffError(const char* module, const char* fmt, va_list args) {
  bufferMessage("", module, fmt, args);
}

TIFF* TiffOpenFd(int fd, const char* name, const char* mode) {
  TIFFOpenOptions* opts = options();
  if (opts == nullptr) return nullptr;
  TIFF* tif = TIFFFdOpenExt(fd, name, mode, opts);
  TIFFOpenOptionsFree(opts);
  return tif;
}

TIFF* TiffOpenMemory(TiffMemFile* mf, const char* name) {
  TIFFOpenOptions* opts = options();
  if (opts == nullptr) return nullptr;
  mf->pos = 0;
  TIFF* tif = TIFFClientOpenExt(name, "rm", mf, memRead, memWrite, memSeek, memClose, memSize,
                                memMap, memUnmap, opts);
  TIFFOpenOptionsFree(opts);
  return tif;
}
