// File facts and content hash of photo records.
#include "catalog/pfileinfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "catalog/pfieldset.h"
#include "catalog/pimginfo.h"
#include "support/futil.h"
#include "support/pstrings.h"

namespace {

// Reads up to n bytes at the current position, retrying interrupted and partial reads;
// the count read, -1 on an error.
ssize_t ReadFull(int fd, unsigned char* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t k = read(fd, buf + got, n - got);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return -1;
    if (k == 0) break;
    got += static_cast<size_t>(k);
  }
  return static_cast<ssize_t>(got);
}

// The hash of an open file of length len; false after a read error or when a block comes
// back shorter than the file's length promised (the file changed under us).
bool HashOpenFile(int fd, int64_t len, uint32_t* out) {
  const int64_t whole = static_cast<int64_t>(PHashBlock) * PHashNBlocks;
  const int64_t gap = len <= whole ? 0 : (len - whole) / 4 + 1;
  if (lseek(fd, 0, SEEK_SET) != 0) return false;
  unsigned char block[PHashBlock];
  uint32_t h = 0;
  int64_t pos = 0;
  for (int k = 0; k < PHashNBlocks; k++) {
    const int64_t left = len - pos;
    const ssize_t want = left < PHashBlock ? static_cast<ssize_t>(left < 0 ? 0 : left) : PHashBlock;
    ssize_t n = ReadFull(fd, block, PHashBlock);
    if (n < 0 || n < want) return false;
    if (n == 0) break;
    h ^= memhash(block, n, 31);
    pos += n;
    if (n < PHashBlock) break;
    if (k < PHashNBlocks - 1 && gap > 0) {
      if (lseek(fd, static_cast<off_t>(gap), SEEK_CUR) < 0) return false;
      pos += gap;
    }
  }
  *out = h;
  return true;
}

// The absolute folder of a relative path whose folder part is its first d characters (with
// the trailing '/'), from the working folder, with "." and ".." steps taken; false when the
// working folder is unknown or the result does not fit in n bytes.
bool AbsoluteFolder(char* out, size_t n, const char* path, size_t d) {
  if (getcwd(out, n) == nullptr) return false;
  size_t len = strlen(out);
  const char* p = path;
  const char* const end = path + d;
  while (p < end) {
    const char* slash = static_cast<const char*>(memchr(p, '/', static_cast<size_t>(end - p)));
    const size_t k = static_cast<size_t>((slash != nullptr ? slash : end) - p);
    if (k == 2 && p[0] == '.' && p[1] == '.') {
      while (len > 1 && out[len - 1] != '/') len--;
      if (len > 1) len--;  // the slash before the last step, unless it is the root
      out[len] = '\0';
    } else if (k > 0 && !(k == 1 && p[0] == '.')) {
      const bool root = len == 1 && out[0] == '/';
      if (len + (root ? 0 : 1) + k + 1 > n) return false;
      if (!root) out[len++] = '/';
      memcpy(out + len, p, k);
      len += k;
      out[len] = '\0';
    }
    p += k + 1;
  }
  return true;
}

}  // namespace

int PhashFile(long* hash, long* nbytes, const char* path) {
  if (path == nullptr) return 0;
  // Only a regular file is read: a FIFO named by an imported record would block the open and
  // every read.
  const int fd = PopenRead(path);
  if (fd < 0) return 0;
  if (hash == nullptr && nbytes == nullptr) {
    close(fd);
    return 1;
  }
  const off_t end = lseek(fd, 0, SEEK_END);
  bool ok = end >= 0;
  uint32_t h = 0;
  if (ok && hash != nullptr) ok = HashOpenFile(fd, static_cast<int64_t>(end), &h);
  close(fd);
  if (!ok) return 0;
  if (nbytes != nullptr)
    *nbytes = static_cast<long>(static_cast<int32_t>(static_cast<uint32_t>(end & 0xFFFFFFFF)));
  if (hash != nullptr) *hash = static_cast<long>(h);
  return 1;
}

void recordFilePath(DBRecord* r, const char* path) {
  if (r == nullptr || path == nullptr) return;
  const time_t t = getfiletime(path);
  if (t != 0) PDBsetInt(r, PDBFmodtime, static_cast<long>(t));
  const char* name = strrchr(path, '/');
  name = name != nullptr ? name + 1 : path;
  PDBsetString(r, PDBFfile, name);
  const size_t d = static_cast<size_t>(name - path);
  char folder[1024];
  if (path[0] != '/') {
    // A folder named from the working folder means nothing once that changes: the record
    // keeps where it is now.
    if (!AbsoluteFolder(folder, sizeof(folder), path, d)) return;
  } else {
    size_t flen = d == 1 ? 1 : d - 1;
    if (flen > sizeof(folder) - 1) flen = sizeof(folder) - 1;
    memcpy(folder, path, flen);
    folder[flen] = '\0';
  }

  const DBField& loc = PDBgetField(*r, PDBFlocation);
  const char* old[PMaxLocations];
  int nold = loc.GetDT() == DBDTstring ? loc.Get(old, PMaxLocations) : 0;
  // Copies first: the old values go when the field is replaced.
  const char* kept[PMaxLocations];
  int nk = 0;
  kept[nk++] = strlink(folder);
  for (int i = 0; i < nold && nk < PMaxLocations; i++)
    if (strcmp(old[i], folder) != 0) kept[nk++] = strlink(old[i]);
  PDBsetStrings(r, PDBFlocation, kept, nk);
  for (int i = 0; i < nk; i++) strunlink(kept[i]);
}

void recordFileInfo(DBRecord* r, const char* path) {
  if (r == nullptr || path == nullptr) return;
  recordFilePath(r, path);
  long hash = 0, nbytes = 0;
  if (PhashFile(&hash, &nbytes, path)) {
    PDBsetInt(r, PDBFhashval, hash);
    PDBsetInt(r, PDBFnbytes, nbytes);
  }
  if (!PDBgetField(*r, PDBFcapdate).IsSet()) {
    char date[CVTDATE_LEN];
    if (cvtdate(date, getfiletime(path)) != nullptr) PDBsetString(r, PDBFcapdate, date);
  }
}

namespace {

void MakePhotoRecord(DBRecord* r) {
  if (r->GetFieldInfo() == nullptr || r->l == nullptr) r->Init(&PDBFInfo);
}

}  // namespace

void PgrokFile(DBRecord* r, const char* path) {
  if (r == nullptr || path == nullptr) return;
  MakePhotoRecord(r);
  recordFileInfo(r, path);
  _ImgReader* ir = PopenImageF(path, 1, nullptr);
  if (ir == nullptr) return;
  if (ir->errCode == IREnone) recordImageInfo(r, ir);
  if (ir->ri->Close != nullptr) ir->ri->Close(ir);
}

void PgrokImage(DBRecord* r, _ImgReader* ir) {
  if (r == nullptr || ir == nullptr) return;
  MakePhotoRecord(r);
  recordFileInfo(r, ir->file);
  recordImageInfo(r, ir);
}

bool PisFileName(const char* name) {
  return name != nullptr && *name != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
         strchr(name, '/') == nullptr;
}

bool PnamesFile(const DBRecord& r) {
  return r.l != nullptr && PisFileName(PDBgetString(r, PDBFfile));
}

std::string PleftText(const char* command, int n, const char* file) {
  std::string name = file != nullptr ? file : "";
  if (name.size() > 255) {
    size_t cut = 252;  // not inside a character
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut) + "...";
  }
  const std::string quoted = "'" + name + "'";
  constexpr const char* kWhy = "File is not a file name";
  if (command == nullptr)
    return n <= 1
               ? "Record " + quoted + " left alone: its " + kWhy
               : std::to_string(n) + " records left alone whose " + kWhy + ", the first " + quoted;
  return n <= 1 ? std::string(command) + " left record " + quoted + " alone: its " + kWhy
                : std::string(command) + " left " + std::to_string(n) + " records alone whose " +
                      kWhy + ", the first " + quoted;
}

char* PcurrentFile(char* buf, int len, const DBRecord& r) {
  if (buf == nullptr || len < 1 || r.l == nullptr) return nullptr;
  const char* name = PDBgetString(r, PDBFfile);
  if (!PisFileName(name)) return nullptr;
  const size_t size = static_cast<size_t>(len);
  char* start = buf;
  const char* folder = PDBgetString(r, PDBFlocation);
  if (folder != nullptr) {
    const size_t flen = strlen(folder);
    // The folder and its '/' must leave room for the NUL.
    if (flen + 1 < size) {
      memcpy(buf, folder, flen);
      // "/" itself is the root: no second slash.
      size_t at = flen;
      if (flen == 0 || folder[flen - 1] != '/') buf[at++] = '/';
      start = buf + at;
    }
  }
  const size_t room = size - static_cast<size_t>(start - buf);
  const size_t nlen = strlen(name);
  if (nlen + 1 > room) return nullptr;
  memcpy(start, name, nlen + 1);
  return start;
}
