// Files written under a temporary name, synced and renamed into place.
#include "app/export/psafefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <streambuf>
#include <string>
#include <vector>

#include "platform/pfolders.h"
#include "support/replacefile.h"
#include "support/futil.h"

// An output buffer over a file descriptor that remembers a failed write.
class PSafeFile::Buf : public std::streambuf {
 public:
  explicit Buf(PWholeFile& file) : file_(file), buf_(1 << 16) {
    setp(buf_.data(), buf_.data() + buf_.size());
  }
  bool Failed() const { return failed_; }
  int sync() override {
    const size_t n = static_cast<size_t>(pptr() - pbase());
    if (n > 0 && !failed_ && !file_.Write(pbase(), n)) failed_ = true;
    setp(buf_.data(), buf_.data() + buf_.size());
    return failed_ ? -1 : 0;
  }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n >= static_cast<std::streamsize>(buf_.size())) {
      if (sync() != 0) return 0;
      if (!file_.Write(s, static_cast<size_t>(n))) {
        failed_ = true;
        return 0;
      }
      return n;
    }
    return std::streambuf::xsputn(s, n);
  }

 private:
  PWholeFile& file_;
  std::vector<char> buf_;
  bool failed_ = false;
};

PSafeFile::PSafeFile(const char* path) : os_(nullptr) {
  if (path == nullptr || *path == '\0') return;
  // What an export killed in this folder before left behind goes before this one adds its own.
  PremoveStaleTemps(PfolderOf(path).c_str());
  file_.reset(new PWholeFile(path));
  if (!file_->IsOpen()) return;
  buf_.reset(new Buf(*file_));
  os_.rdbuf(buf_.get());
}

PSafeFile::~PSafeFile() {
  Discard();
}

bool PSafeFile::IsOpen() const {
  return file_ != nullptr && file_->IsOpen();
}

bool PSafeFile::Commit() {
  if (!IsOpen()) return false;
  os_.flush();
  const bool ok = !os_.bad() && buf_->pubsync() == 0 && !buf_->Failed();
  os_.rdbuf(nullptr);
  if (!ok) {
    file_->Discard();
    return false;
  }
  return file_->Commit();
}

void PSafeFile::Discard() {
  os_.rdbuf(nullptr);
  if (file_ != nullptr) file_->Discard();
}

bool PcopyReplace(const char* dst, const char* src) {
  if (dst == nullptr || src == nullptr) return false;
  const int in = PopenRead(src);
  if (in < 0) return false;
  PWholeFile out(dst);
  if (!out.IsOpen()) {
    ::close(in);
    return false;
  }
  std::vector<char> buf(1 << 20);
  bool ok = true;
  for (;;) {
    const ssize_t r = ::read(in, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      ok = r == 0;
      break;
    }
    if (!out.Write(buf.data(), static_cast<size_t>(r))) {
      ok = false;
      break;
    }
  }
  ::close(in);
  return ok && out.Commit();
}

bool PlinkOrCopy(const char* dst, const char* src) {
  if (dst == nullptr || src == nullptr || !PisRegularFile(src)) return false;
  if (PsameFile(dst, src)) return true;
  // A free name beside dst for the new link, renamed over dst once it exists.
  const std::string tmp = PfreeNameBeside(dst);
  if (tmp.empty()) return false;
  if (::link(src, tmp.c_str()) == 0) return PrenameTemp(tmp, dst) != 0;
  return PcopyReplace(dst, src);
}

bool PisRegularFile(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool PsameFile(const char* a, const char* b) {
  struct stat sa, sb;
  return a != nullptr && b != nullptr && ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int PopenExportFolder(const std::string& path, bool* made, std::string* why) {
  *made = mkdir(path.c_str(), 0777) == 0;
  if (!*made && errno != EEXIST) {
    *why = std::string("cannot be made: ") + strerror(errno);
    return -1;
  }
  // The checks that count are made on the open folder, and every file goes through it, so
  // nothing swapped in at the name later is written in.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    const int err = errno;
    *why = lstat(path.c_str(), &st) == 0 ? NotOwnEntry(st, true, st.st_uid) : std::string();
    if (why->empty()) *why = std::string("cannot be opened: ") + strerror(err);
    return -1;
  }
  *why = fstat(fd, &st) == 0 ? NotOwnEntry(st, true, geteuid())
                             : std::string("cannot be read: ") + strerror(errno);
  if (why->empty()) return fd;
  ::close(fd);
  return -1;
}

std::string PfolderThrough(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}
