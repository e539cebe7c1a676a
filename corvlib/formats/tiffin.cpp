// TIFFin: TIFF directory structures over a file or a memory block.
#include "formats/tiffin.h"

#include <fcntl.h>

#include <cstring>
#include <sstream>
#include <string>

#include "support/pfilestream.h"

const int TIFFbytes_comp[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

namespace {
int hostIsLE() {
  const uint16_t one = 1;
  unsigned char b;
  std::memcpy(&b, &one, 1);
  return b == 1;
}
bool isRational(int type) {
  return type == TIFF_RATIONAL || type == TIFF_SRATIONAL;
}
}  // namespace

const int TIFFin::nativeLE = hostIsLE();

TIFFin::~TIFFin() {
  dropStream();
}

void TIFFin::dropStream() {
  if (state_ != 0) delete stream_;
  stream_ = nullptr;
}

int TIFFin::OpenFile(const char* path) {
  dropStream();
  state_ = 1;
  if (path == nullptr) return 0;
  auto* file = new PFileStream;
  file->Open(path, O_RDONLY);  // a file that cannot be opened leaves the stream failed
  stream_ = file;
  state_ = 2;
  return check();
}

int TIFFin::UseFd(int fd) {
  dropStream();
  state_ = 1;
  if (fd < 0) return 0;
  auto* file = new PFileStream;
  file->Adopt(fd, O_RDONLY);  // a descriptor no stream takes leaves the stream failed
  stream_ = file;
  state_ = 2;
  return check();
}

int TIFFin::UseBuffer(const void* data, size_t len) {
  dropStream();
  state_ = 1;
  if (data == nullptr || len < 9) return 0;
  stream_ = new std::istringstream(std::string(static_cast<const char*>(data), len),
                                   std::ios::in | std::ios::binary);
  state_ = 2;
  return check();
}

bool TIFFin::seek(uint64_t offset) {
  if (stream_ == nullptr) return false;
  stream_->clear();
  stream_->seekg(static_cast<std::streamoff>(offset), std::ios::beg);
  return !stream_->fail();
}

bool TIFFin::skip(int n) {
  if (n <= 0) return !stream_->fail();
  stream_->seekg(n, std::ios::cur);
  return !stream_->fail();
}

uint32_t TIFFin::getWord(int n) {
  if (stream_ == nullptr || n < 1 || n > 4) return 0;
  unsigned char b[4];
  if (!stream_->read(reinterpret_cast<char*>(b), n)) return 0;
  uint32_t w = 0;
  if (littleEndian_)
    for (int i = n; i-- > 0;) w = w << 8 | b[i];
  else
    for (int i = 0; i < n; ++i) w = w << 8 | b[i];
  return w;
}

uint64_t TIFFin::getWord64() {
  const uint32_t a = getWord(4), b = getWord(4);
  return littleEndian_ ? (uint64_t{b} << 32 | a) : (uint64_t{a} << 32 | b);
}

int TIFFin::check() {
  if (stream_ == nullptr) return 0;
  bool ok = state_ == 2 || seek(0);
  char magic[2];
  if (ok) ok = static_cast<bool>(stream_->read(magic, 2));
  if (ok && magic[0] == 'I' && magic[1] == 'I')
    littleEndian_ = 1;
  else if (ok && magic[0] == 'M' && magic[1] == 'M')
    littleEndian_ = 0;
  else
    ok = false;
  if (ok) ok = getWord(2) == 42 && !stream_->fail();
  if (ok) {
    stream_->seekg(0, std::ios::end);
    const std::streamoff end = stream_->tellg();
    ok = !stream_->fail() && end >= 0;
    if (ok) length_ = end > 0xffffffffLL ? 0xffffffffu : static_cast<uint32_t>(end);
  }
  if (!ok) {
    dropStream();
    state_ = 1;
    return 0;
  }
  firstEntry_ = 0;
  entryCount_ = nextEntry_ = 0;
  state_ = 1;
  return 1;
}

int TIFFin::SetIFD(int n) {
  if (stream_ == nullptr || state_ == 0 || n < 0) return 0;
  if (length_ > 3 && !seek(4)) return 0;
  state_ = 1;
  for (int i = 0;; ++i) {
    const uint32_t d = getWord(4);
    if (failed() || d == 0 || d > length_ || !seek(d)) return 0;
    const uint32_t count = getWord(2);
    if (failed()) return 0;
    if (i == n) {
      entryCount_ = static_cast<int>(count);
      firstEntry_ = d + 2;
      nextEntry_ = 0;
      state_ = 3;
      return 1;
    }
    const uint64_t next = uint64_t{count} * 12 + d + 2;
    if (next > length_ || !seek(next)) return 0;
  }
}

int TIFFin::SeekIFD(uint32_t offset) {
  if (stream_ == nullptr || state_ == 0 || offset == 0 || offset > length_) return 0;
  if (!seek(offset)) return 0;
  const uint32_t count = getWord(2);
  if (failed()) {
    state_ = 1;
    return 0;
  }
  entryCount_ = static_cast<int>(count);
  nextEntry_ = 0;
  firstEntry_ = offset + 2;
  state_ = 3;
  return 1;
}

int TIFFin::NextTag() {
  if (stream_ == nullptr || state_ == 0 || nextEntry_ >= entryCount_) return -1;
  if (state_ == 4) {
    if (!skip(10)) return -1;
  } else if (state_ != 3) {
    if (firstEntry_ == 0) return -1;
    const uint64_t p = firstEntry_ + uint64_t{12} * static_cast<uint32_t>(nextEntry_);
    if (p > length_ || !seek(p)) return -1;
  }
  ++nextEntry_;
  state_ = 4;
  const uint32_t tag = getWord(2);
  if (failed()) {
    state_ = 1;
    return -1;
  }
  return static_cast<int>(tag);
}

int TIFFin::FindTag(int tag) {
  state_ = stream_ != nullptr && state_ != 0 ? 1 : state_;
  nextEntry_ = 0;
  for (;;) {
    const int t = NextTag();
    if (t < 0) return 0;
    if (t == tag) return 1;
  }
}

int TIFFin::GetData(void* dest, int type, int maxcount, int elemsize) {
  lastType_ = 0;
  if (stream_ == nullptr || state_ != 4 || dest == nullptr) return 0;
  state_ = 1;
  const int t = static_cast<int>(getWord(2));
  if (failed()) return 0;
  // A rational is read whether it was stored signed or not: writers differ (GPS positions
  // come as either), and each value is decoded by its stored type.
  if (type == 0 || (isRational(type) && isRational(t)))
    type = t;
  else if (t != type)
    return 0;
  if (type < 1 || type > 12) return 0;
  const int tsize = TIFFbytes_comp[type];
  if (isRational(type)) {
    if (elemsize == 0) elemsize = 4;
    if (elemsize != 4 && elemsize != 8) return 0;
  } else {
    if (elemsize == 0) elemsize = tsize;
    if (elemsize != tsize) return 0;
  }
  if (type == TIFF_ASCII) --maxcount;
  const uint32_t count = getWord(4);
  if (failed() || maxcount < 1 || count < 1) return 0;
  const uint32_t n = count < static_cast<uint32_t>(maxcount) ? count : maxcount;
  const uint64_t bytes = uint64_t{n} * tsize;
  const bool inlineValue = uint64_t{count} * tsize <= 4;
  if (!inlineValue) {
    const uint32_t offset = getWord(4);
    if (failed() || offset > length_ || offset + bytes > length_ || !seek(offset)) return 0;
  }
  unsigned char* d = static_cast<unsigned char*>(dest);
  bool ok = true;
  switch (type) {
    case TIFF_ASCII:
      d[n] = '\0';
      ok = static_cast<bool>(stream_->read(reinterpret_cast<char*>(d), n));
      break;
    case TIFF_BYTE:
    case TIFF_SBYTE:
    case TIFF_UNDEFINED:
      ok = static_cast<bool>(stream_->read(reinterpret_cast<char*>(d), n));
      break;
    case TIFF_SHORT:
    case TIFF_SSHORT:
      for (uint32_t i = 0; i < n && ok; ++i) {
        const uint16_t w = static_cast<uint16_t>(getWord(2));
        std::memcpy(d + 2 * i, &w, 2);
        ok = !failed();
      }
      break;
    case TIFF_LONG:
    case TIFF_SLONG:
    case TIFF_FLOAT:
      for (uint32_t i = 0; i < n && ok; ++i) {
        const uint32_t w = getWord(4);
        std::memcpy(d + 4 * i, &w, 4);
        ok = !failed();
      }
      break;
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
      for (uint32_t i = 0; i < n && ok; ++i) {
        const uint32_t num = getWord(4), den = getWord(4);
        ok = !failed();
        if (elemsize == 4) {
          float v = 0.0f;
          if (den != 0)
            v = type == TIFF_RATIONAL ? static_cast<float>(num) / static_cast<float>(den)
                                      : static_cast<float>(static_cast<int32_t>(num)) /
                                            static_cast<float>(static_cast<int32_t>(den));
          std::memcpy(d + 4 * i, &v, 4);
        } else {
          double v = 0.0;
          if (den != 0)
            v = type == TIFF_RATIONAL
                    ? static_cast<double>(num) / den
                    : static_cast<double>(static_cast<int32_t>(num)) / static_cast<int32_t>(den);
          std::memcpy(d + 8 * i, &v, 8);
        }
      }
      break;
    case TIFF_DOUBLE:
      for (uint32_t i = 0; i < n && ok; ++i) {
        const uint64_t w = getWord64();
        std::memcpy(d + 8 * i, &w, 8);
        ok = !failed();
      }
      break;
    default:
      return 0;
  }
  if (!ok) return 0;
  lastType_ = type;
  if (inlineValue) {
    if (!skip(static_cast<int>(4 - bytes))) return 0;
    state_ = 3;
  }
  return static_cast<int>(n);
}

int TIFFin::GetTagValue(int tag, void* dest, int type) {
  if (stream_ == nullptr || state_ == 0 || type < 1 || type > 12) return 0;
  if (!FindTag(tag)) return 0;
  const int size = isRational(type) ? 4 : TIFFbytes_comp[type];
  const int maxcount = type == TIFF_ASCII ? TIFFIN_MAXASCII : 1;
  return GetData(dest, type, maxcount, size) >= 1;
}

// Reads the first value of the entry tag (0: the entry just found) as an integer and as a
// real; false when there is none or its type is not numeric.
bool TIFFin::firstValue(int tag, uint32_t* integer, double* real, bool* isInteger) {
  if (stream_ == nullptr || state_ == 0) return false;
  if (tag != 0 && !FindTag(tag)) return false;
  if (state_ != 4) return false;
  state_ = 1;
  const int t = static_cast<int>(getWord(2));
  const uint32_t count = getWord(4);
  if (failed() || t < 1 || t > 12 || count < 1) return false;
  const int size = TIFFbytes_comp[t];
  const bool inlineValue = uint64_t{count} * size <= 4;
  if (!inlineValue) {
    const uint32_t offset = getWord(4);
    if (failed() || offset > length_ || uint64_t{offset} + size > length_ || !seek(offset))
      return false;
  }
  *isInteger = true;
  switch (t) {
    case TIFF_BYTE:
      *integer = getWord(1);
      *real = *integer;
      break;
    case TIFF_SBYTE:
      *integer = static_cast<uint32_t>(static_cast<int8_t>(getWord(1)));
      *real = static_cast<int32_t>(*integer);
      break;
    case TIFF_SHORT:
      *integer = getWord(2);
      *real = *integer;
      break;
    case TIFF_SSHORT:
      *integer = static_cast<uint32_t>(static_cast<int16_t>(getWord(2)));
      *real = static_cast<int32_t>(*integer);
      break;
    case TIFF_LONG:
      *integer = getWord(4);
      *real = *integer;
      break;
    case TIFF_SLONG:
      *integer = getWord(4);
      *real = static_cast<int32_t>(*integer);
      break;
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL: {
      const uint32_t num = getWord(4), den = getWord(4);
      *isInteger = false;
      *integer = 0;
      *real = den == 0 ? 0.0
              : t == TIFF_RATIONAL
                  ? static_cast<double>(num) / den
                  : static_cast<double>(static_cast<int32_t>(num)) / static_cast<int32_t>(den);
      break;
    }
    case TIFF_FLOAT: {
      const uint32_t w = getWord(4);
      float f;
      std::memcpy(&f, &w, 4);
      *isInteger = false;
      *integer = 0;
      *real = f;
      break;
    }
    case TIFF_DOUBLE: {
      const uint64_t w = getWord64();
      std::memcpy(real, &w, 8);
      *isInteger = false;
      *integer = 0;
      break;
    }
    default:
      return false;
  }
  if (failed()) return false;
  if (inlineValue) {
    if (!skip(4 - size)) return false;
    state_ = 3;
  }
  return true;
}

uint32_t TIFFin::GetInteger(int tag) {
  uint32_t i = 0;
  double r = 0.0;
  bool isInt = false;
  if (!firstValue(tag, &i, &r, &isInt) || !isInt) return 0;
  return i;
}

double TIFFin::GetReal(int tag) {
  uint32_t i = 0;
  double r = 0.0;
  bool isInt = false;
  if (!firstValue(tag, &i, &r, &isInt)) return 0.0;
  return r;
}

std::istream* TIFFin::GrabStream(uint32_t offset) {
  if (stream_ == nullptr || state_ == 0 || offset > length_ || !seek(offset)) return nullptr;
  state_ = 0;
  return stream_;
}

void TIFFin::ReleaseStream(std::istream* s) {
  if (s == nullptr) return;
  if (s == stream_) {
    state_ = 1;
    return;
  }
  delete s;
}
