// The mount roots, the mountinfo reader and the volumes of a mount table. Nothing here needs
// Qt or the event layer; the watch is in pmountwatch.cpp.
#include "platform/pmounts.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace {

// A name that can stand as one path component.
bool GoodComponent(const std::string& s) {
  return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos;
}

std::string AccountName() {
  std::vector<char> buf(16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && GoodComponent(found->pw_name))
    return found->pw_name;
  const char* user = std::getenv("USER");
  if (user != nullptr && GoodComponent(user)) return user;
  return std::string();
}

bool Digits(const char* b, const char* e) {
  if (b == e) return false;
  for (; b < e; ++b)
    if (*b < '0' || *b > '9') return false;
  return true;
}

// Decodes the kernel's octal escapes (a backslash and three octal digits) of one field; false
// for a broken escape or one that gives a NUL.
bool Unescape(const char* b, const char* e, std::string* out) {
  out->clear();
  out->reserve(static_cast<size_t>(e - b));
  while (b < e) {
    char c = *b++;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (e - b < 3) return false;
    int v = 0;
    for (int i = 0; i < 3; ++i) {
      if (b[i] < '0' || b[i] > '7') return false;
      v = v * 8 + (b[i] - '0');
    }
    if (v == 0 || v > 255) return false;
    out->push_back(static_cast<char>(v));
    b += 3;
  }
  return true;
}

// One line of the table, without its newline; false when it does not have the mountinfo form.
bool ReadLine(const char* b, const char* e, std::vector<std::pair<const char*, const char*>>* f,
              std::string* mountPoint) {
  f->clear();
  for (const char* p = b;;) {
    const char* q = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(e - p)));
    if (q == nullptr) q = e;
    if (q == p) return false;  // an empty field: two blanks, or one at either end
    f->emplace_back(p, q);
    if (q == e) break;
    p = q + 1;
  }
  const size_t n = f->size();
  if (n < 9) return false;
  const auto& dev = (*f)[2];
  const char* colon = static_cast<const char*>(
      std::memchr(dev.first, ':', static_cast<size_t>(dev.second - dev.first)));
  if (!Digits((*f)[0].first, (*f)[0].second) || !Digits((*f)[1].first, (*f)[1].second) ||
      colon == nullptr || !Digits(dev.first, colon) || !Digits(colon + 1, dev.second))
    return false;
  // The optional fields end at a lone "-", which the file system type and source follow.
  size_t sep = 6;
  while (sep < n && !((*f)[sep].second - (*f)[sep].first == 1 && *(*f)[sep].first == '-')) ++sep;
  if (sep + 2 >= n) return false;
  std::string root;
  if (!Unescape((*f)[3].first, (*f)[3].second, &root) || root[0] != '/') return false;
  if (!Unescape((*f)[4].first, (*f)[4].second, mountPoint) || (*mountPoint)[0] != '/') return false;
  return true;
}

// The component of path right below root, and where it ends; npos when path is not below it.
size_t BelowRoot(const std::string& path, const std::string& root, std::string* name) {
  if (root.size() < 2 || root[0] != '/' || root.back() == '/') return std::string::npos;
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 ||
      path[root.size()] != '/')
    return std::string::npos;
  const size_t start = root.size() + 1;
  size_t end = path.find('/', start);
  if (end == std::string::npos) end = path.size();
  std::string n = path.substr(start, end - start);
  if (!GoodComponent(n)) return std::string::npos;
  *name = std::move(n);
  return end;
}

}  // namespace

const std::vector<std::string>& MountRoots() {
  static const std::vector<std::string>* roots = [] {
    auto* r = new std::vector<std::string>;
    const std::string user = AccountName();
    if (!user.empty()) r->push_back("/run/media/" + user);
    if (!user.empty()) r->push_back("/media/" + user);
    r->push_back("/media");
    r->push_back("/mnt");
    return r;
  }();
  return *roots;
}

int ReadMountInfo(const char* text, size_t length, std::vector<std::string>* mountPoints) {
  if (text == nullptr) return 0;
  int bad = 0;
  std::vector<std::pair<const char*, const char*>> fields;
  std::string mp;
  size_t at = 0;
  while (at < length) {
    const char* b = text + at;
    const char* nl = static_cast<const char*>(std::memchr(b, '\n', length - at));
    const char* e = nl ? nl : text + length;
    if (e > b) {
      if (ReadLine(b, e, &fields, &mp))
        mountPoints->push_back(mp);
      else
        ++bad;
    }
    at = static_cast<size_t>(e - text) + 1;
  }
  return bad;
}

std::vector<std::string> VolumesOfMounts(const std::vector<std::string>& mountPoints,
                                         const std::vector<std::string>& roots) {
  std::vector<std::string> volumes;
  std::set<std::string> seen;
  std::string name;
  for (const std::string& mp : mountPoints)
    for (const std::string& root : roots) {
      if (BelowRoot(mp, root, &name) == std::string::npos) continue;
      std::string v = root + '/' + name;
      if (seen.insert(v).second) volumes.push_back(std::move(v));
      break;
    }
  return volumes;
}

bool SplitVolumePath(const std::string& path, const std::vector<std::string>& roots,
                     std::string* volume, std::string* name, std::string* rest) {
  std::string n;
  for (const std::string& root : roots) {
    size_t end = BelowRoot(path, root, &n);
    if (end == std::string::npos) continue;
    while (end < path.size() && path[end] == '/') ++end;
    size_t last = path.size();
    while (last > end && path[last - 1] == '/') --last;
    if (volume) *volume = root + '/' + n;
    if (rest) *rest = path.substr(end, last - end);
    if (name) *name = std::move(n);
    return true;
  }
  return false;
}

bool SplitVolumePath(const std::string& path, std::string* volume, std::string* name,
                     std::string* rest) {
  return SplitVolumePath(path, MountRoots(), volume, name, rest);
}
