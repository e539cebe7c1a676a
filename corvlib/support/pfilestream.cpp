#include "support/pfilestream.h"

#include "support/futil.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

std::ios::openmode ModeOf(int flags) {
  switch (flags & O_ACCMODE) {
    case O_RDONLY:
      return std::ios::in | std::ios::binary;
    case O_WRONLY:
      return (flags & O_APPEND) != 0 ? std::ios::app | std::ios::binary
                                     : std::ios::out | std::ios::binary;
    default:
      return std::ios::in | std::ios::out | std::ios::binary;
  }
}

}  // namespace

PFileStream::PFileStream()
    : std::iostream(nullptr), buf_(std::make_unique<__gnu_cxx::stdio_filebuf<char>>()) {
  rdbuf(buf_.get());
}

PFileStream::~PFileStream() {
  close();
}

bool PFileStream::Open(const char* path, int flags, int mode) {
  close();
  if (path == nullptr) {
    setstate(std::ios::failbit);
    errno = EINVAL;
    return false;
  }
  const int fd = PopenRegular(path, flags, static_cast<mode_t>(mode));
  if (fd >= 0) return Adopt(fd, flags);
  setstate(std::ios::failbit);  // as std::fstream::open fails
  return false;
}

bool PFileStream::Adopt(int fd, int flags) {
  close();
  if (fd < 0) {
    setstate(std::ios::failbit);
    errno = EBADF;
    return false;
  }
  auto buf = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, ModeOf(flags),
                                                              static_cast<size_t>(BUFSIZ));
  if (!buf->is_open()) {
    const int err = errno != 0 ? errno : ENOMEM;
    ::close(fd);
    setstate(std::ios::failbit);
    errno = err;
    return false;
  }
  rdbuf(buf.get());  // clears the state
  buf_ = std::move(buf);
  return true;
}

bool PFileStream::close() {
  if (!is_open()) return true;
  // The buffer stays, closed: later reads and writes fail as on a closed std::fstream.
  const bool ok = buf_->close() != nullptr;
  if (!ok) setstate(std::ios::failbit);
  return ok;
}

bool PFileStream::is_open() const {
  return buf_->is_open();
}

int PFileStream::fd() const {
  return is_open() ? buf_->fd() : -1;
}
