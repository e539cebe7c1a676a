// OpenEXR streams over descriptors opened close-on-exec.
#include "formats/exrstream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <OpenEXR/Iex.h>

ExrFileIn::~ExrFileIn() {
  if (fd_ >= 0) ::close(fd_);
}

bool ExrFileIn::read(char c[], int n) {
  if (fd_ < 0) throw Iex::InputExc("The file is not open.");
  if (n < 0) throw Iex::InputExc("Negative read request.");
  size_t want = static_cast<size_t>(n);
  while (want > 0) {
    if (pos_ >= bufAt_ && pos_ < bufAt_ + static_cast<uint64_t>(bufLen_)) {
      const size_t at = static_cast<size_t>(pos_ - bufAt_);
      const size_t k = std::min(want, static_cast<size_t>(bufLen_) - at);
      std::memcpy(c, buf_ + at, k);
      c += k;
      pos_ += k;
      want -= k;
      continue;
    }
    // A large read goes straight to its place; a small one fills the buffer.
    const bool direct = want >= static_cast<size_t>(kBuf);
    const ssize_t r = ::pread(fd_, direct ? c : buf_, direct ? want : static_cast<size_t>(kBuf),
                              static_cast<off_t>(pos_));
    if (r < 0) {
      if (errno == EINTR) continue;
      Iex::throwErrnoExc();
    }
    if (r == 0) throw Iex::InputExc("Unexpected end of file.");
    if (direct) {
      c += r;
      pos_ += static_cast<uint64_t>(r);
      want -= static_cast<size_t>(r);
    } else {
      bufAt_ = pos_;
      bufLen_ = static_cast<int>(r);
    }
  }
  return true;
}

void ExrFileOut::write(const char c[], int n) {
  if (n < 0) throw Iex::IoExc("Negative write request.");
  size_t left = static_cast<size_t>(n);
  while (left > 0) {
    const ssize_t w = ::pwrite(fd_, c, left, static_cast<off_t>(pos_));
    if (w < 0) {
      if (errno == EINTR) continue;
      Iex::throwErrnoExc();
    }
    c += w;
    pos_ += static_cast<uint64_t>(w);
    left -= static_cast<size_t>(w);
  }
}
