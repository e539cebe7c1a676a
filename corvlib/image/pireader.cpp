// The reader registry, opening files by suffix, reader errors, the image information's
// parameter text, write buffers and rendering from readers.
#include "image/pireader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/pbandread.h"
#include "image/pconvert.h"
#include "image/piresamp.h"
#include "support/cache.h"
#include "support/dmessage.h"
#include "support/cnumber.h"
#include "support/futil.h"

const char* const IREMsg[IRE_NCODES] = {"No error",     "Unsupported feature", "Truncated file",
                                        "Format error", "Read error",          "Out of memory",
                                        "Unknown error"};

const unsigned IREClass[IRE_NCODES] = {DMCnerr,   DMCparameter, DMCdata,     DMCdata,
                                       DMCsystem, DMCmemory,    DMCparameter};

const _ImgReaderInterface* PIReaderI[IR_MAXREADERS + 1];

namespace {

// Bytes of one pixel of a colour space, 0 for a malformed one.
size_t pixelBytes(const _ImgColorSpace& cs) {
  return static_cast<size_t>(PpixelSize(&cs));
}

// a * b * c in size_t; false on overflow or a non-positive factor.
bool mulSize(size_t* out, long a, long b, size_t c) {
  if (a <= 0 || b <= 0 || c == 0) return false;
  size_t r = static_cast<size_t>(a);
  if (__builtin_mul_overflow(r, static_cast<size_t>(b), &r)) return false;
  if (__builtin_mul_overflow(r, c, &r)) return false;
  *out = r;
  return true;
}

}  // namespace

size_t PreadBufBytes(const _ImgReadBuf* rb) {
  if (rb == nullptr || rb->subsample < 1) return 0;
  const long w = (static_cast<long>(rb->r.xright) - rb->r.xleft) / rb->subsample;
  const long h = (static_cast<long>(rb->r.ybottom) - rb->r.ytop) / rb->subsample;
  size_t n = 0;
  if (!mulSize(&n, w, h, pixelBytes(rb->cs))) return 0;
  return n;
}

int PreadBufFits(const _ImgReadBuf* rb) {
  const size_t n = PreadBufBytes(rb);
  return n != 0 && rb->buf != nullptr && n <= rb->bufsize;
}

int PaddIReaderI(const _ImgReaderInterface* ri) {
  if (ri == nullptr) return -1;
  int i = 0;
  for (; i < IR_MAXREADERS && PIReaderI[i] != nullptr; ++i)
    if (PIReaderI[i] == ri) return i;
  if (i >= IR_MAXREADERS) return -1;
  PIReaderI[i] = ri;
  PIReaderI[i + 1] = nullptr;
  return i;
}

const char* PgetFilename(const char* path) {
  if (path == nullptr) return nullptr;
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

const char* PgetSuffix(const char* path) {
  if (path == nullptr) return "NO FILE";
  const char* name = PgetFilename(path);
  const char* dot = strrchr(name, '.');
  if (dot == nullptr || dot == name || dot[1] == '\0') return nullptr;
  return dot + 1;
}

int PmatchSuffix(const _ImgReaderInterface* ri, const char* suffix) {
  if (ri == nullptr || ri->suffixList == nullptr || suffix == nullptr || *suffix == '\0') return 0;
  const size_t len = strlen(suffix);
  const char* p = ri->suffixList;
  while (*p != '\0') {
    const char* end = strchr(p, '.');
    const size_t n = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (n == len && Cstrncasecmp(p, suffix, n) == 0) return 1;
    if (end == nullptr) break;
    p = end + 1;
  }
  return 0;
}

int PtargetReader(const _ImgReaderInterface** list, const char* suffix) {
  if (list == nullptr) return 0;
  int n = 0;
  for (int i = 0; i < IR_MAXREADERS && PIReaderI[i] != nullptr; ++i)
    if (PmatchSuffix(PIReaderI[i], suffix)) list[n++] = PIReaderI[i];
  list[n] = nullptr;
  return n;
}

void PreportReaderErr(const _ImgReader* ir) {
  if (ir == nullptr || ir->errCode == IREnone) return;
  const int code = (ir->errCode > IREnone && ir->errCode < IRE_NCODES) ? ir->errCode : IREunknown;
  // The reader's texts may come from a file: bound them rather than trust their NULs.
  DMESSAGE(IREClass[code], "%.*s: %s: %.*s", static_cast<int>(sizeof ir->file), ir->file,
           IREMsg[code], static_cast<int>(sizeof ir->errMsg), ir->errMsg);
}

namespace {

// The class a file the user named is told in when it cannot be opened for the reason code.
unsigned cannotOpenClass(int code) {
  return code == IREread || code == IREmemory ? DMCresource : DMCdata;
}

// "Cannot open '<path>': <why>"; the reason is in the text, so no system error goes with it.
void tellCannotOpen(unsigned cls, const char* path, const char* why) {
  DMESSAGE_ERRNO(cls, DMnoSystemError, "Cannot open '%s': %s", path, why);
}

}  // namespace

void PreportCannotOpen(const _ImgReader* ir) {
  if (ir == nullptr || ir->errCode == IREnone) return;
  const int code = (ir->errCode > IREnone && ir->errCode < IRE_NCODES) ? ir->errCode : IREunknown;
  // The reader's texts may come from a file: bounded rather than trusted to end.
  const std::string file(ir->file, strnlen(ir->file, sizeof ir->file));
  const std::string msg(ir->errMsg, strnlen(ir->errMsg, sizeof ir->errMsg));
  tellCannotOpen(cannotOpenClass(code), file.c_str(), msg.empty() ? IREMsg[code] : msg.c_str());
}

namespace {

// The noted first bytes of registered readers.
struct ReaderMagic {
  const _ImgReaderInterface* ri;
  unsigned char bytes[IR_MAXMAGIC];
  size_t len;
};
constexpr int kMaxMagic = 4 * IR_MAXREADERS;
ReaderMagic gMagic[kMaxMagic];
int gNMagic = 0;

bool registered(const _ImgReaderInterface* ri) {
  for (int i = 0; i < IR_MAXREADERS && PIReaderI[i] != nullptr; ++i)
    if (PIReaderI[i] == ri) return true;
  return false;
}

// Reads up to size first bytes of the file open at fd; how many, or -1 (errno set).
ssize_t readHead(int fd, unsigned char* head, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t k = pread(fd, head + got, size - got, static_cast<off_t>(got));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && got == 0) return -1;
    if (k <= 0) break;
    got += static_cast<size_t>(k);
  }
  return static_cast<ssize_t>(got);
}

// How the registered readers open a file from its descriptor.
struct ReaderFd {
  const _ImgReaderInterface* ri;
  ImgOpenFd opener;
};
ReaderFd gOpenFd[IR_MAXREADERS];
int gNOpenFd = 0;

ImgOpenFd openerOf(const _ImgReaderInterface* ri) {
  for (int k = 0; k < gNOpenFd; ++k)
    if (gOpenFd[k].ri == ri) return gOpenFd[k].opener;
  return nullptr;
}

// Whether ri noted bytes that the got bytes of head begin with.
bool namedByBytes(const _ImgReaderInterface* ri, const unsigned char* head, size_t got) {
  for (int m = 0; m < gNMagic; ++m)
    if (gMagic[m].ri == ri && gMagic[m].len <= got &&
        memcmp(gMagic[m].bytes, head, gMagic[m].len) == 0)
      return true;
  return false;
}

// Adds to list, which holds n readers, the registered readers (in registration order) that
// head names and that list does not hold yet; null-ends it and returns the new count.
int addContentReaders(const _ImgReaderInterface** list, int n, const unsigned char* head,
                      size_t got) {
  const int known = n;
  for (int i = 0; i < IR_MAXREADERS && PIReaderI[i] != nullptr; ++i) {
    const _ImgReaderInterface* r = PIReaderI[i];
    bool tried = false;
    for (int k = 0; k < known; ++k) tried = tried || list[k] == r;
    if (!tried && namedByBytes(r, head, got)) list[n++] = r;
  }
  list[n] = nullptr;
  return n;
}

// A reader that recognised a file but found an error in it.
struct Refusal {
  ImgReadErr code;
  std::string file, msg;
};

// Tries list[from, to) on the file at path, open at fd (-1 when it could not be opened), the
// last first: the reader that opened it without error, or null. A reader that opens files from
// their descriptor reads its own descriptor of that open file; one that does not is given the
// path. Readers that opened it with an error are noted in refusals and closed; *any tells
// whether any reader opened it at all.
_ImgReader* tryReaders(int fd, const char* path, const _ImgReaderInterface* const* list, int from,
                       int to, std::vector<Refusal>* refusals, bool* any) {
  for (int i = to; i-- > from;) {
    _ImgReader* ir = nullptr;
    if (const ImgOpenFd opener = openerOf(list[i])) {
      const int own = fd >= 0 ? PdupRewound(fd) : -1;
      if (own < 0) continue;
      ir = opener(own, path);
    } else if (list[i]->Open != nullptr) {
      ir = list[i]->Open(path);
    }
    if (ir == nullptr) continue;
    *any = true;
    if (ir->errCode == IREnone) return ir;
    // The reader's texts may come from a file: bounded rather than trusted to end.
    const int code = ir->errCode > IREnone && ir->errCode < IRE_NCODES ? ir->errCode : IREunknown;
    refusals->push_back({static_cast<ImgReadErr>(code),
                         std::string(ir->file, strnlen(ir->file, sizeof ir->file)),
                         std::string(ir->errMsg, strnlen(ir->errMsg, sizeof ir->errMsg))});
    if (ir->ri != nullptr && ir->ri->Close != nullptr)
      ir->ri->Close(ir);
    else if (list[i]->Close != nullptr)
      list[i]->Close(ir);
  }
  return nullptr;
}

// The descriptor PopenImageF and PopenImageAny read a file through, closed when they return.
struct OpenedFile {
  const int fd;
  const int err;  // why it could not be opened; 0 when it was
  explicit OpenedFile(const char* path, struct stat* st = nullptr)
      : fd(PopenRead(path, st)), err(fd < 0 ? errno : 0) {}
  ~OpenedFile() {
    if (fd >= 0) close(fd);
  }
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;
};

// Picture formats that no reader here reads, by the bytes their files hold at an offset.
struct ForeignFormat {
  const char* name;
  size_t at;
  const char* bytes;
  size_t len;
};
const ForeignFormat kForeign[] = {{"PNG", 0, "\x89PNG\r\n\x1a\n", 8},
                                  {"GIF", 0, "GIF87a", 6},
                                  {"GIF", 0, "GIF89a", 6},
                                  {"WebP", 8, "WEBP", 4},
                                  {"HEIF", 4, "ftypheic", 8},
                                  {"HEIF", 4, "ftypheix", 8},
                                  {"HEIF", 4, "ftypmif1", 8},
                                  {"AVIF", 4, "ftypavif", 8},
                                  {"JPEG 2000", 0, "\0\0\0\x0cjP  \r\n\x87\n", 12},
                                  {"JPEG 2000", 0, "\xFF\x4F\xFF\x51", 4},
                                  {"JPEG XL", 0, "\0\0\0\x0cJXL \r\n\x87\n", 12},
                                  {"JPEG XL", 0, "\xFF\x0A", 2},
                                  {"Photoshop", 0, "8BPS", 4}};
constexpr size_t kHeadBytes = 64;  // enough to tell text from other bytes

// Why no reader opened a file that begins with the got bytes of head.
std::string whyUnread(const unsigned char* head, size_t got) {
  for (int i = 0; i < IR_MAXREADERS && PIReaderI[i] != nullptr; ++i) {
    if (!namedByBytes(PIReaderI[i], head, got)) continue;
    const char* list = PIReaderI[i]->suffixList != nullptr ? PIReaderI[i]->suffixList : "";
    return "damaged " + std::string(list, strcspn(list, ".")) + " header";
  }
  for (const ForeignFormat& f : kForeign)
    if (f.at + f.len <= got && memcmp(head + f.at, f.bytes, f.len) == 0)
      return std::string("not a picture this program reads (") + f.name + ")";
  // Text has no control characters but white space (UTF-8's bytes are all above them).
  bool text = true;
  for (size_t i = 0; i < got && text; ++i)
    text = (head[i] >= 0x20 && head[i] != 0x7F) || memchr("\t\n\r\f", head[i], 4) != nullptr;
  return text ? "not a picture" : "not a picture this program reads";
}

}  // namespace

int PaddIReaderMagic(const _ImgReaderInterface* ri, const void* bytes, size_t len) {
  if (ri == nullptr || bytes == nullptr || len == 0 || len > IR_MAXMAGIC || !registered(ri))
    return 0;
  for (int m = 0; m < gNMagic; ++m)
    if (gMagic[m].ri == ri && gMagic[m].len == len && memcmp(gMagic[m].bytes, bytes, len) == 0)
      return 1;
  if (gNMagic >= kMaxMagic) return 0;
  ReaderMagic& e = gMagic[gNMagic++];
  e.ri = ri;
  memcpy(e.bytes, bytes, len);
  e.len = len;
  return 1;
}

int PaddIReaderFd(const _ImgReaderInterface* ri, ImgOpenFd opener) {
  if (ri == nullptr || opener == nullptr || !registered(ri)) return 0;
  for (int k = 0; k < gNOpenFd; ++k)
    if (gOpenFd[k].ri == ri) {
      gOpenFd[k].opener = opener;
      return 1;
    }
  if (gNOpenFd >= IR_MAXREADERS) return 0;
  gOpenFd[gNOpenFd++] = {ri, opener};
  return 1;
}

_ImgReader* PopenImageF(const char* path, int quiet, const _ImgReaderInterface* ri) {
  if (path == nullptr) return nullptr;
  // The one open of the file by name: what stands at the name is looked at on that descriptor,
  // and a FIFO or a device never holds the program up.
  const OpenedFile file(path);
  if (file.err == EISDIR || file.err == PEnotRegular) {
    if (!quiet) tellCannotOpen(DMCresource, path, PopenFailure(file.err).c_str());
    return nullptr;
  }
  const _ImgReaderInterface* cand[IR_MAXREADERS + 1];
  int n = 0;
  if (ri != nullptr) {
    cand[n++] = ri;
    cand[n] = nullptr;
  } else {
    n = PtargetReader(cand, PgetSuffix(path));
  }
  bool anyReader = false;
  // The refusals of readers that opened the file but found an error, told once it is known
  // who takes the file: a file saved under another format's suffix, taken by the reader its
  // first bytes name, opens without a word.
  std::vector<Refusal> refusals;
  auto tell = [&refusals, quiet]() {
    if (quiet) return;
    for (const Refusal& r : refusals)
      DMESSAGE(IREClass[r.code], "%s: %s: %s", r.file.c_str(), IREMsg[r.code], r.msg.c_str());
  };
  _ImgReader* ir = tryReaders(file.fd, path, cand, 0, n, &refusals, &anyReader);
  if (ir != nullptr) {
    tell();
    return ir;
  }
  // A file saved under another format's suffix: the readers its first bytes name.
  if (ri == nullptr && n > 0 && file.fd >= 0) {
    unsigned char head[IR_MAXMAGIC];
    const ssize_t got = readHead(file.fd, head, sizeof head);
    const int more = got > 0 ? addContentReaders(cand, n, head, static_cast<size_t>(got)) : n;
    ir = tryReaders(file.fd, path, cand, n, more, &refusals, &anyReader);
    if (ir != nullptr) return ir;
  }
  tell();
  if (!anyReader && !quiet) {
    if (file.err != 0) errno = file.err;  // why the file could not be opened
    DMESSAGE(DMCresource, "Cannot open '%s'", path);
  }
  return nullptr;
}

_ImgReader* PopenImageAny(const char* path, int quiet) {
  if (path == nullptr) return nullptr;
  auto refuse = [path, quiet](unsigned cls, const std::string& why) -> _ImgReader* {
    if (!quiet) tellCannotOpen(cls, path, why.c_str());
    return nullptr;
  };
  struct stat st;
  const OpenedFile file(path, &st);
  if (file.fd < 0)
    return refuse(DMCresource,
                  file.err == EISDIR ? "a folder, not a picture" : PopenFailure(file.err));
  const int fd = file.fd;
  if (st.st_size == 0) return refuse(DMCdata, "empty file");
  const _ImgReaderInterface* cand[IR_MAXREADERS + 1];
  const int n = PtargetReader(cand, PgetSuffix(path));
  std::vector<Refusal> refusals;
  bool anyReader = false;
  _ImgReader* ir = tryReaders(fd, path, cand, 0, n, &refusals, &anyReader);
  if (ir != nullptr) return ir;
  unsigned char head[kHeadBytes];
  const ssize_t got = readHead(fd, head, sizeof head);
  if (got < 0) return refuse(DMCresource, strerror(errno));
  const int more = addContentReaders(cand, n, head, static_cast<size_t>(got));
  ir = tryReaders(fd, path, cand, n, more, &refusals, &anyReader);
  if (ir != nullptr) return ir;
  if (refusals.empty()) return refuse(DMCdata, whyUnread(head, static_cast<size_t>(got)));
  // The reader that the file's first bytes name is tried last and knows best.
  const Refusal& r = refusals.back();
  return refuse(cannotOpenClass(r.code), r.msg.empty() ? IREMsg[r.code] : r.msg);
}

// ---------------------------------------------------------------------------------------------
// Parameter text

namespace {

// Length of the parameter text, 0 when it is not valid; never reads past the array.
size_t paramLen(const _ImgInfo* info) {
  if (!(info->flags & IIFparams)) return 0;
  return strnlen(info->params, IMG_INFO_PARAMLEN - 1);
}

// Offset of name's line in the first len bytes of the text, or -1.
long findParam(const char* text, size_t len, const char* name) {
  const size_t nlen = strlen(name);
  size_t pos = 0;
  while (pos < len) {
    const char* line = text + pos;
    const char* nl = static_cast<const char*>(memchr(line, '\n', len - pos));
    const size_t llen = nl != nullptr ? static_cast<size_t>(nl - line) : len - pos;
    const char* eq = static_cast<const char*>(memchr(line, '=', llen));
    if (eq != nullptr && static_cast<size_t>(eq - line) == nlen && memcmp(line, name, nlen) == 0)
      return static_cast<long>(pos);
    pos += llen + 1;
  }
  return -1;
}

// Length of the line starting at off, its line feed included (when there is one).
size_t lineLen(const char* text, size_t len, size_t off) {
  const char* nl = static_cast<const char*>(memchr(text + off, '\n', len - off));
  return nl != nullptr ? static_cast<size_t>(nl - (text + off)) + 1 : len - off;
}

}  // namespace

const char* FindImgInfoParam(const _ImgInfo* info, const char* name) {
  if (info == nullptr || name == nullptr) return nullptr;
  const size_t len = paramLen(info);
  if (len == 0) return nullptr;
  const long off = findParam(info->params, len, name);
  return off < 0 ? nullptr : info->params + off;
}

int SetImgInfoParam(_ImgInfo* info, const char* name, const char* value) {
  if (info == nullptr || name == nullptr || *name == '\0') return 0;
  if (strpbrk(name, "=\n\r") != nullptr) return 0;
  if (value != nullptr && strpbrk(value, "=\n\r") != nullptr) return 0;
  size_t len = paramLen(info);
  info->params[len] = '\0';  // a text without its NUL ends here
  const long off = findParam(info->params, len, name);
  const size_t oldLine = off < 0 ? 0 : lineLen(info->params, len, static_cast<size_t>(off));
  if (value != nullptr) {
    // The new line must fit, with the ending NUL, once the old one is gone.
    const size_t newLine = strlen(name) + 1 + strlen(value) + 1;
    if (len - oldLine + newLine + 1 > IMG_INFO_PARAMLEN) return 0;
  }
  if (off >= 0) {
    memmove(info->params + off, info->params + off + oldLine, len - off - oldLine + 1);
    len -= oldLine;
  }
  if (value == nullptr) {
    if (len == 0) info->flags &= ~IIFparams;
    return 1;
  }
  char* p = info->params + len;
  const size_t nlen = strlen(name), vlen = strlen(value);
  memcpy(p, name, nlen);
  p[nlen] = '=';
  memcpy(p + nlen + 1, value, vlen);
  p[nlen + 1 + vlen] = '\n';
  p[nlen + 2 + vlen] = '\0';
  info->flags |= IIFparams;
  return 1;
}

int GetImgInfoParam(const _ImgInfo* info, const char* name, char* value) {
  if (value == nullptr) return 0;
  value[0] = '\0';
  if (info == nullptr || name == nullptr) return 0;
  const size_t len = paramLen(info);
  if (len == 0) return 0;
  const long off = findParam(info->params, len, name);
  if (off < 0) return 0;
  const size_t start = static_cast<size_t>(off) + strlen(name) + 1;
  size_t n = 0;
  while (start + n < len && info->params[start + n] != '\n' && n < IMG_INFO_VALUELEN - 1) ++n;
  memcpy(value, info->params + start, n);
  value[n] = '\0';
  return 1;
}

int PsetWriteBuf(_ImgWriteBuf* wb, const _ImgStruct* img) {
  if (wb == nullptr || img == nullptr || img->csp == nullptr || img->img == nullptr) return 0;
  wb->xres = img->xres;
  wb->yres = img->yres;
  wb->rowsize = img->rowsize;
  wb->csp = img->csp;
  wb->img = img->img;
  wb->pixAspect = 1.0f;
  wb->info.flags = 0;
  wb->info.params[0] = '\0';
  wb->info.comments[0] = '\0';
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Rendering

namespace {

// Labels img with the delivered colour space and converts it in place to the one it had.
int convertDelivered(_ImgStruct* img, const _ImgColorSpace* delivered) {
  if (PmatchColorSpace(delivered, img->csp, 31)) return 1;
  const _ImgColorSpace* want = img->csp;
  img->csp = delivered;
  if (PconvertColorSpace(img, want, 1.0f)) return 1;
  if (img->csp == delivered) img->csp = want;
  return 0;
}

// A descriptor over pixels that belong to someone else.
_ImgStruct foreignImage(int w, int h, const _ImgColorSpace* cs, void* pixels, size_t pixbytes) {
  _ImgStruct t;
  memset(&t, 0, sizeof t);
  t.xres = w;
  t.yres = h;
  t.csp = cs;
  t.rowsize = static_cast<int32_t>(static_cast<size_t>(w) * pixbytes);
  t.mbase = nullptr;
  t.img = static_cast<uint8_t*>(pixels);
  return t;
}

// Subsampling of an 8-bit RGB render: JPEG decodes at 1/2, 1/4 or 1/8 cheaply; other
// formats are read at no less than twice the output size and the resampler does the rest.
int renderSubsample(const _ImgReader* ir, const _ImgStruct* img) {
  if (PmatchSuffix(ir->ri, "jpg")) {
    const int ratio = ir->yres / img->yres;
    return ratio >= 8 ? 8 : ratio >= 4 ? 4 : ratio >= 2 ? 2 : 1;
  }
  const long n = ir->pixAspect >= 1.0f ? ir->xres / (2L * img->xres) : ir->yres / (2L * img->yres);
  return n < 1 ? 1 : static_cast<int>(n);
}

// The subsample, reduced while it would leave no pixel in either direction (a very narrow
// JPEG is subsampled by its height alone).
int deliverableSubsample(const _ImgReader* ir, const _ImgStruct* img) {
  int n = renderSubsample(ir, img);
  while (n > 1 && (ir->xres / n < 1 || ir->yres / n < 1)) n /= 2;
  return n;
}

// 8-bit RGB output: a subsampled read, then resampling or an in-place conversion.
// Points the request at dest when the image's own pixels can take the read directly, else at
// a temporary of bytes bytes (kept in *tmp for the caller to free). False when out of memory.
bool readInto(_ImgReadBuf* rdb, void* dest, size_t bytes, void** tmp) {
  if (dest == nullptr) {
    *tmp = CacheMalloc(bytes, __FILE__, __LINE__);
    if (*tmp == nullptr) return false;
    dest = *tmp;
  }
  rdb->buf = dest;
  rdb->bufsize = bytes;
  return true;
}

// renderRGB24 for a large picture: the same subsampled read, in bands. The delivered rows land
// packed as one request would leave them.
int renderRGB24Banded(_ImgStruct* img, _ImgReader* ir, const _ImgColorSpace& cs, int n,
                      void** tmp) {
  const int w = ir->xres / n, h = ir->yres / n;
  const size_t bytes = static_cast<size_t>(w) * static_cast<size_t>(h) * 3;
  const bool straight = w == img->xres && h == img->yres && img->rowsize == 3 * w;
  uint8_t* dest = img->img;
  if (!straight) {
    *tmp = CacheMalloc(bytes, __FILE__, __LINE__);
    if (*tmp == nullptr) return 0;
    dest = static_cast<uint8_t*>(*tmp);
  }
  PBandReader br;
  bool ok = br.Begin(ir, cs, n, 1, [&](int y, const void* row) {
    const int ps = PpixelSize(&br.DeliveredCS());
    if (ps != 1 && ps != 3) return false;
    const size_t rb = static_cast<size_t>(w) * static_cast<size_t>(ps);
    std::memcpy(dest + rb * static_cast<size_t>(y), row, rb);
    return true;
  });
  ok = ok && br.ReadSliced();
  if (!ok) {
    if (ir->errCode == IREnone && br.DeliveredCS().dtype != IDTubyte)
      DMESSAGE(DMCwarning, "Unsupported image conversion");
    return 0;
  }
  _ImgColorSpace got = br.DeliveredCS();
  if (got.format == IPFy) {
    PgetRGB24fromY8(dest, dest, w * h);
    got = ICS_sRGB;
  }
  if (straight) return convertDelivered(img, &got);
  _ImgStruct t = foreignImage(w, h, &got, *tmp, 3);
  const int done = PsizeImage(img, &t, 1);
  free(*tmp);
  *tmp = nullptr;
  return done;
}

int renderRGB24(_ImgStruct* img, _ImgReader* ir, void** tmp) {
  _ImgReadBuf rdb;
  memset(&rdb, 0, sizeof rdb);
  if (ir->cs.format == IPFy)
    rdb.cs = ICS_Y8;
  else if (PmatchColorSpace(&ir->cs, &ICS_sRGB, 3))
    rdb.cs = ir->cs;
  else
    rdb.cs = *img->csp;
  rdb.cs.cstatic = 0;
  const int n = deliverableSubsample(ir, img);
  rdb.subsample = n;
  rdb.r.xleft = 0;
  rdb.r.xright = ir->xres / n * n;
  rdb.r.ytop = 0;
  rdb.r.ybottom = ir->yres / n * n;
  const int w = ir->xres / n, h = ir->yres / n;
  size_t bytes = 0;
  if (!mulSize(&bytes, w, h, 3) || w > INT32_MAX / 3 || bytes / 3 > INT32_MAX) {
    DMESSAGE(DMCparameter, "Illegal output resolution");
    return 0;
  }
  if (PreadInSlices(ir->xres, ir->yres)) return renderRGB24Banded(img, ir, rdb.cs, n, tmp);
  const bool straight = w == img->xres && h == img->yres && img->rowsize == 3 * w;
  if (!readInto(&rdb, straight ? img->img : nullptr, bytes, tmp)) return 0;
  void* const mybuf = rdb.buf;
  if (ir->ri->ReadRec == nullptr) {
    ir->errCode = IREunsupported;
    return 0;
  }
  const ImgReadErr err = ir->ri->ReadRec(ir, &rdb);
  if (err != IREnone) {
    if (ir->errCode == IREnone) ir->errCode = err;
    return 0;
  }
  if (rdb.buf != mybuf) {
    DMESSAGE(DMCwarning, "Unsupported image conversion");
    free(rdb.buf);
    return 0;
  }
  // The buffer holds three bytes a pixel: anything else was not delivered into it.
  const size_t psize = pixelBytes(rdb.cs);
  const bool grey = rdb.cs.dtype == IDTubyte && rdb.cs.format == IPFy;
  if (!(grey || psize == 3) || rdb.r.xright - rdb.r.xleft != w * n ||
      rdb.r.ybottom - rdb.r.ytop != h * n) {
    DMESSAGE(DMCwarning, "Unsupported image conversion");
    return 0;
  }
  if (grey) {
    PgetRGB24fromY8(static_cast<uint8_t*>(rdb.buf), static_cast<const uint8_t*>(rdb.buf), w * h);
    rdb.cs = ICS_sRGB;
  }
  if (straight) return convertDelivered(img, &rdb.cs);
  _ImgStruct t = foreignImage(w, h, &rdb.cs, *tmp, 3);
  const int ok = PsizeImage(img, &t, 1);
  free(*tmp);
  *tmp = nullptr;
  return ok;
}

// renderOther for a large picture: the same full-resolution read, in bands, a slice at a time
// (a Stop there ends it, untold). The rows land packed as one request would leave them.
int renderOtherBanded(_ImgStruct* img, _ImgReader* ir, void** tmp) {
  _ImgColorSpace want = *img->csp;
  want.cstatic = 0;
  const size_t psize = pixelBytes(want);
  size_t bytes = 0;
  if (!mulSize(&bytes, ir->xres, ir->yres, psize) ||
      static_cast<size_t>(ir->xres) * psize > INT32_MAX) {
    DMESSAGE(DMCparameter, "Illegal output resolution");
    return 0;
  }
  const bool straight = img->xres == ir->xres && img->yres == ir->yres &&
                        static_cast<size_t>(img->rowsize) == static_cast<size_t>(ir->xres) * psize;
  uint8_t* dest = img->img;
  if (!straight) {
    *tmp = CacheMalloc(bytes, __FILE__, __LINE__);
    if (*tmp == nullptr) return 0;
    dest = static_cast<uint8_t*>(*tmp);
  }
  PBandReader br;
  bool stopped = false;
  const bool ok = br.Begin(ir, want, 1, 1, [&](int y, const void* row) {
    const size_t rb = static_cast<size_t>(ir->xres) * pixelBytes(br.DeliveredCS());
    if (rb == 0 || rb > static_cast<size_t>(ir->xres) * psize) return false;
    memcpy(dest + rb * static_cast<size_t>(y), row, rb);
    return true;
  }) && br.ReadSliced(&stopped);
  if (!ok) {
    if (!stopped && ir->errCode == IREnone) ir->errCode = IREunsupported;
    return 0;
  }
  _ImgColorSpace got = br.DeliveredCS();
  const size_t gsize = pixelBytes(got);
  if (straight) {
    if (gsize == psize) return convertDelivered(img, &got);
    // Smaller pixels than asked for: spread to the output's rows as they are converted.
    const _ImgStruct packed = foreignImage(ir->xres, ir->yres, &got, img->img, gsize);
    return PmapImage(img, &packed, 1.0);
  }
  _ImgStruct t = foreignImage(ir->xres, ir->yres, &got, *tmp, gsize);
  const int done = PsizeImage(img, &t, 1);
  free(*tmp);
  *tmp = nullptr;
  return done;
}

// Any other output: a full-resolution read in the output's colour space, retried once in
// the reader's own when the reader asks for it.
int renderOther(_ImgStruct* img, _ImgReader* ir, void** tmp) {
  if (PreadInSlices(ir->xres, ir->yres) && PBandReader::Deliverable(*img->csp))
    return renderOtherBanded(img, ir, tmp);
  _ImgReadBuf rdb;
  memset(&rdb, 0, sizeof rdb);
  rdb.cs = *img->csp;
  rdb.cs.cstatic = 0;
  rdb.subsample = 1;
  if (ir->ri->ReadRec == nullptr) {
    ir->errCode = IREunsupported;
    return 0;
  }
  for (int attempt = 0;; ++attempt) {
    rdb.r.xleft = 0;
    rdb.r.xright = ir->xres;
    rdb.r.ytop = 0;
    rdb.r.ybottom = ir->yres;
    const size_t psize = pixelBytes(rdb.cs);
    size_t bytes = 0;
    if (!mulSize(&bytes, ir->xres, ir->yres, psize) ||
        static_cast<size_t>(ir->xres) * psize > INT32_MAX) {
      DMESSAGE(DMCparameter, "Illegal output resolution");
      return 0;
    }
    const bool straight =
        img->xres == ir->xres && img->yres == ir->yres &&
        static_cast<size_t>(img->rowsize) == static_cast<size_t>(ir->xres) * psize;
    if (!readInto(&rdb, straight ? img->img : nullptr, bytes, tmp)) return 0;
    void* const mybuf = rdb.buf;
    const ImgReadErr err = ir->ri->ReadRec(ir, &rdb);
    if (err != IREnone) {
      if (ir->errCode == IREnone) ir->errCode = err;
      return 0;
    }
    if (rdb.r.xright != ir->xres || rdb.r.ybottom != ir->yres) {
      // Nothing was read: the reader names in rdb.cs what it can deliver.
      free(*tmp);
      *tmp = nullptr;
      if (attempt == 0 && !PmatchColorSpace(&ir->cs, img->csp, 31) && pixelBytes(rdb.cs) != 0)
        continue;
      DMESSAGE(DMCparameter, "IRreadRec() misbehaving");
      return 0;
    }
    if (PreadBufBytes(&rdb) > bytes || rdb.subsample != 1 || rdb.r.xleft != 0 || rdb.r.ytop != 0) {
      DMESSAGE(DMCparameter, "IRreadRec() misbehaving");
      return 0;
    }
    if (straight) {
      if (rdb.buf != mybuf) {
        DMESSAGE(DMCparameter, "IRreadRec() misbehaving");
        return 0;
      }
      if (pixelBytes(rdb.cs) == psize) return convertDelivered(img, &rdb.cs);
      // Smaller pixels than asked for: the rows lie packed at the reader's own row size at the
      // start of the output, and spread to the output's rows as they are converted.
      const _ImgStruct packed =
          foreignImage(ir->xres, ir->yres, &rdb.cs, img->img, pixelBytes(rdb.cs));
      return PmapImage(img, &packed, 1.0);
    }
    if (!DMASSERT(rdb.buf == mybuf)) return 0;
    _ImgStruct t = foreignImage(ir->xres, ir->yres, &rdb.cs, *tmp, pixelBytes(rdb.cs));
    const int ok = PsizeImage(img, &t, 1);
    free(*tmp);
    *tmp = nullptr;
    return ok;
  }
}

}  // namespace

int PrenderImageR(_ImgStruct* img, _ImgReader* ir, int quiet) {
  if (img == nullptr || ir == nullptr || ir->ri == nullptr || img->csp == nullptr) return 0;
  ir->errCode = IREnone;
  if (img->xres < 1 || img->yres < 1) {
    DMESSAGE(DMCparameter, "Illegal output resolution");
    return 0;
  }
  if (ir->xres < 1 || ir->yres < 1) {
    ir->errCode = IREformat;
    if (!quiet) PreportReaderErr(ir);
    return 0;
  }
  // A pixel shape that is no positive number (a reader that never set it) counts as square.
  const double pixAspect =
      ir->pixAspect > 0.0f && std::isfinite(ir->pixAspect) ? ir->pixAspect : 1.0;
  if (!PnewImage(img, ir->yres / (ir->xres * pixAspect))) return 0;
  void* tmp = nullptr;
  const int ok = PmatchColorSpace(img->csp, &ICS_sRGB, 3) ? renderRGB24(img, ir, &tmp)
                                                          : renderOther(img, ir, &tmp);
  if (ok) return 1;
  if (!quiet) PreportReaderErr(ir);
  free(tmp);
  PfreeImage(img);
  return 0;
}

int PrenderImageI(_ImgStruct* img, const _ImgStruct* src) {
  if (img == nullptr || src == nullptr || img->csp == nullptr) return 0;
  if (src->xres < 1 || src->yres < 1) return 0;
  if (img->xres < 1 || img->yres < 1) {
    DMESSAGE(DMCparameter, "Illegal output resolution");
    return 0;
  }
  if (!PnewImage(img, static_cast<double>(src->yres) / src->xres)) return 0;
  return PsizeImage(img, src, 1);
}
