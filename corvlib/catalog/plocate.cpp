// Locating moved files and folder migrations.
#include "catalog/plocate.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "support/dmessage.h"
#include "support/futil.h"
#include "support/pstrings.h"
#include "support/cnumber.h"

PFileMigration* PFMigrations = nullptr;

namespace {

constexpr int kPathLen = 1024;

// folder + '/' + name into buf when it fits in room - 1 characters. Texts are measured only
// as far as room reaches: a record's value may be far longer than any path.
bool JoinPath(char* buf, int room, const char* folder, const char* name) {
  if (room < 2) return false;
  const size_t max = static_cast<size_t>(room);
  const size_t fl = strnlen(folder, max), nl = strnlen(name, max);
  const bool slash = fl == 0 || folder[fl - 1] != '/';
  const size_t n = fl + (slash ? 1 : 0) + nl;
  if (n >= max - 1) return false;
  memcpy(buf, folder, fl);
  if (slash) buf[fl] = '/';
  memcpy(buf + fl + (slash ? 1 : 0), name, nl);
  buf[n] = '\0';
  return true;
}

void CopyPath(char* dst, int len, const char* src) {
  if (len < 1) return;
  const size_t n = strnlen(src, static_cast<size_t>(len) - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

}  // namespace

int PFileMigration::GetChange(char* dold, char* dnew, const char* oldpath, const char* newpath) {
  if (dold == nullptr || dnew == nullptr || oldpath == nullptr || newpath == nullptr) return 0;
  CopyPath(dold, kPathLen, oldpath);
  CopyPath(dnew, kPathLen, newpath);
  size_t p = strlen(dold), q = strlen(dnew);
  bool differ = false;
  while (p > 0 && q > 0) {
    --p;
    --q;
    if (dold[p] != dnew[q]) {
      differ = true;
      break;
    }
  }
  if (p == 0 && q == 0) return 0;
  if (p == 0 || q == 0) {
    p++;
    q++;
  } else if (differ && ((dold[p] == '/') != (dnew[q] == '/'))) {
    p++;
    q++;
  }
  while (dold[p] != '\0' && dold[p] != '/') p++;
  while (dnew[q] != '\0' && dnew[q] != '/') q++;
  dold[p] = '\0';
  dnew[q] = '\0';
  return 1;
}

PFileMigration::PFileMigration(const char* oldpath, const char* newpath, PFileMigration* nxt)
    : dold(nullptr), dnew(nullptr), doldlen(0), dnewlen(0), next(nxt) {
  char o[kPathLen], n[kPathLen];
  if (!GetChange(o, n, oldpath, newpath)) {
    DMESSAGE(DMCwarning, "False file migration!");
    return;
  }
  dold = strlink(o);
  dnew = strlink(n);
  doldlen = static_cast<int>(strlen(o));
  dnewlen = static_cast<int>(strlen(n));
  DMESSAGE(DMCinfo, "Added migration path: '%s' -> '%s'", dold, dnew);
}

PFileMigration::PFileMigration(const char* o, const char* n, PFileMigration* nxt, bool)
    : dold(strlink(o)),
      dnew(strlink(n)),
      doldlen(static_cast<int>(strlen(o))),
      dnewlen(static_cast<int>(strlen(n))),
      next(nxt) {
  DMESSAGE(DMCinfo, "Added migration path: '%s' -> '%s'", dold, dnew);
}

PFileMigration::~PFileMigration() {
  // The rest of the list goes one rule at a time: a long list needs no deep recursion.
  PFileMigration* n = next;
  while (n != nullptr) {
    PFileMigration* after = n->next;
    n->next = nullptr;
    delete n;
    n = after;
  }
  strunlink(dold);
  strunlink(dnew);
}

PFileMigration* PFileMigration::AddMigration(const char* oldpath, const char* newpath) {
  char o[kPathLen], n[kPathLen];
  if (!GetChange(o, n, oldpath, newpath)) {
    DMESSAGE(DMCwarning, "False file migration!");
    return nullptr;
  }
  PFileMigration* last = this;
  for (PFileMigration* m = this; m != nullptr; m = m->next) {
    if (m->IsValid() && strcmp(m->dold, o) == 0 && strcmp(m->dnew, n) == 0) return m;
    last = m;
  }
  last->next = new PFileMigration(o, n, nullptr, true);
  return last->next;
}

PFileMigration* PFileMigration::Promote(const PFileMigration* rule) {
  if (rule == this) return this;
  for (PFileMigration* m = this; m->next != nullptr; m = m->next) {
    if (m->next == rule) {
      PFileMigration* r = m->next;
      m->next = r->next;
      r->next = this;
      return r;
    }
  }
  return nullptr;
}

PFileMigration* PFileMigration::Match(const char* path) const {
  if (path == nullptr) return nullptr;
  for (const PFileMigration* m = this; m != nullptr; m = m->next) {
    if (!m->IsValid()) continue;
    if (strncmp(path, m->dold, static_cast<size_t>(m->doldlen)) == 0 &&
        (path[m->doldlen] == '/' || path[m->doldlen] == '\0'))
      return const_cast<PFileMigration*>(m);
  }
  return nullptr;
}

PFileMigration* PFileMigration::Match(const char* oldpath, const char* newpath) const {
  char o[kPathLen], n[kPathLen];
  if (!GetChange(o, n, oldpath, newpath)) return nullptr;
  for (const PFileMigration* m = this; m != nullptr; m = m->next)
    if (m->IsValid() && strcmp(m->dold, o) == 0 && strcmp(m->dnew, n) == 0)
      return const_cast<PFileMigration*>(m);
  return nullptr;
}

int PFileMigration::Migrate(char* dst, int len, const char* path) const {
  if (dst == nullptr || path == nullptr || dst == path || !IsValid() || len < 1) return 0;
  if (strncmp(path, dold, static_cast<size_t>(doldlen)) != 0) return 0;
  const char* rest = path + doldlen;
  if (*rest != '/' && *rest != '\0') return 0;
  const size_t need = static_cast<size_t>(dnewlen) + strlen(rest) + 1;
  if (need > static_cast<size_t>(len)) return 0;
  memcpy(dst, dnew, static_cast<size_t>(dnewlen));
  memcpy(dst + dnewlen, rest, strlen(rest) + 1);
  return 1;
}

PLocateFileRes PlocateFile(char* path, int len, const DBRecord& r) {
  if (path == nullptr || len <= 0 || r.l == nullptr) return PLFRfail;
  const DBField& loc = PDBgetField(r, PDBFlocation);
  const char* name = PDBgetString(r, PDBFfile);
  // A File that names no file (a path, say) is looked for nowhere.
  if (loc.GetDT() != DBDTstring || loc.GetNV() < 1 || !PisFileName(name)) return PLFRfail;
  if (len > kPathLen) len = kPathLen;
  long rlen = 0, rhash = 0, rtime = 0;
  const bool haveLen = PDBgetInt(r, PDBFnbytes, &rlen);
  const bool haveHash = PDBgetInt(r, PDBFhashval, &rhash);
  PDBgetInt(r, PDBFmodtime, &rtime);
  path[0] = '\0';
  PLocateFileRes res = PLFRfail;
  bool resSet = false;
  // Whether the file at p has the recorded length and hash (false when it cannot be opened).
  auto contentMatches = [&](const char* p, bool* opened) {
    long h = 0, n = 0;
    *opened = PhashFile(haveHash ? &h : nullptr, haveLen ? &n : nullptr, p) != 0;
    return *opened && (!haveLen || n == rlen) && (!haveHash || h == rhash);
  };
  char cand[kPathLen];
  const int nloc = loc.GetNV() < PMaxLocations ? loc.GetNV() : PMaxLocations;
  for (int i = 0; i < nloc; i++) {
    const char* folder = static_cast<const char*>(loc.GetPointer(i));
    if (folder == nullptr || !JoinPath(cand, len, folder, name)) continue;
    const time_t t = getfiletime(cand);
    bool accept = rtime != 0 && static_cast<long>(t) == rtime;
    if (!accept) {
      bool opened;
      accept = contentMatches(cand, &opened);
      if (!opened) continue;
      if (!accept && !resSet) {
        CopyPath(path, len, cand);
        res = PLFRchanged;
        resSet = true;
      }
    }
    if (accept) {
      CopyPath(path, len, cand);
      return i == 0 && static_cast<long>(t) == rtime ? PLFRok : PLFRputback;
    }
  }
  if (res == PLFRchanged) return res;
  const char* first = static_cast<const char*>(loc.GetPointer(0));
  for (PFileMigration* m = PFMigrations != nullptr ? PFMigrations->Match(first) : nullptr;
       m != nullptr; m = m->GetNext() != nullptr ? m->GetNext()->Match(first) : nullptr) {
    char moved[kPathLen];
    if (!m->Migrate(moved, sizeof(moved), first) || !JoinPath(cand, len, moved, name)) continue;
    bool opened;
    const bool same = contentMatches(cand, &opened);
    if (!opened) continue;
    if (same) {
      CopyPath(path, len, cand);
      PFileMigration* head = PFMigrations->Promote(m);
      if (head != nullptr) PFMigrations = head;
      return PLFRmigrated;
    }
    if (!resSet) {
      CopyPath(path, len, cand);
      res = PLFRchanged;
      resSet = true;
    }
  }
  return res;
}

PLocateFileRes PlocateFile(char* path, int len, DBRecord* r, bool (*ask)(char*, int, DBRecord*)) {
  if (path == nullptr || len <= 0 || r == nullptr || r->l == nullptr) return PLFRfail;
  const PLocateFileRes res = PlocateFile(path, len, *r);
  switch (res) {
    case PLFRok:
      return res;
    case PLFRputback:
    case PLFRmigrated:
    case PLFRrenamed:
      recordFilePath(r, path);
      return res;
    case PLFRchanged:
      PgrokFile(r, path);
      return res;
    case PLFRfail:
      break;
  }
  // Nor is the user asked for it: the record names no file to find.
  if (ask == nullptr || !PnamesFile(*r)) return PLFRfail;
  char oldpath[kPathLen];
  const char* oldname = PcurrentFile(oldpath, sizeof(oldpath), *r);
  const bool hadFolder = PDBgetString(*r, PDBFlocation) != nullptr;
  // The recorded name outlives the record's update below.
  char recname[kPathLen] = "";
  if (oldname != nullptr) CopyPath(recname, sizeof(recname), oldname);
  if (!ask(path, len, r)) return PLFRfail;
  long nh = 0, nn = 0;
  if (!PhashFile(&nh, &nn, path)) return PLFRfail;
  const char* newname = PgetFilename(path);
  const bool sameName = oldname != nullptr && strcmp(newname, recname) == 0;
  long rl = 0, rh = 0;
  if (PDBgetInt(*r, PDBFnbytes, &rl) && PDBgetInt(*r, PDBFhashval, &rh) && (rl != nn || rh != nh)) {
    if (!sameName) return PLFRfail;
    PgrokFile(r, path);
    return PLFRchanged;
  }
  PDBsetInt(r, PDBFnbytes, nn);
  PDBsetInt(r, PDBFhashval, nh);
  if (oldname != nullptr && strcmp(path, oldpath) == 0) return PLFRok;
  recordFilePath(r, path);
  if (!sameName) return PLFRrenamed;
  // A record that never knew its folder teaches no rule.
  if (!hadFolder) return PLFRmigrated;
  if (PFMigrations != nullptr && PFMigrations->Match(oldpath, path) != nullptr) return PLFRmigrated;
  char o[kPathLen], n[kPathLen];
  if (PFileMigration::GetChange(o, n, oldpath, path))
    PFMigrations = new PFileMigration(oldpath, path, PFMigrations);
  else
    DMESSAGE(DMCwarning, "False file migration!");
  return PLFRmigrated;
}

namespace {

// Whether the folder at path is the one whose status is dir (another name of it, a symbolic
// link or a second mount, reaches the same folder).
bool SameFolder(const char* path, const struct stat& dir) {
  struct stat st;
  return stat(path, &st) == 0 && st.st_dev == dir.st_dev && st.st_ino == dir.st_ino;
}

}  // namespace

bool PkeepForCopy(DBRecord* kept, const DBRecord& r, const char* path, const DBRecord* also,
                  char* found, int len) {
  if (kept == nullptr || path == nullptr || r.l == nullptr) return false;
  const char* name = PDBgetString(r, PDBFfile);
  long rlen = 0, rhash = 0;
  if (!PisFileName(name) || !PDBgetInt(r, PDBFnbytes, &rlen) || !PDBgetInt(r, PDBFhashval, &rhash))
    return false;
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return false;
  const std::string gone(path, slash == path ? 1 : static_cast<size_t>(slash - path));
  // Without the status of the file's own folder, no other folder can be told apart from it.
  struct stat goneDir;
  if (stat(gone.c_str(), &goneDir) != 0) return false;
  std::vector<std::string> folders;
  for (const DBRecord* rec : {&r, also}) {
    if (rec == nullptr || rec->l == nullptr) continue;
    const DBField& loc = PDBgetField(*rec, PDBFlocation);
    if (loc.GetDT() != DBDTstring) continue;
    const int n = loc.GetNV() < PMaxLocations ? loc.GetNV() : PMaxLocations;
    for (int i = 0; i < n; i++) {
      const char* f = static_cast<const char*>(loc.GetPointer(i));
      if (f != nullptr && std::find(folders.begin(), folders.end(), f) == folders.end())
        folders.push_back(f);
    }
  }
  char cand[kPathLen];
  bool have = false;
  for (const std::string& f : folders) {
    if (f == gone || SameFolder(f.c_str(), goneDir) || !JoinPath(cand, kPathLen, f.c_str(), name))
      continue;
    struct stat st;
    long h = 0, n = 0;
    if (stat(cand, &st) == 0 && S_ISREG(st.st_mode) && PhashFile(&h, &n, cand) && n == rlen &&
        h == rhash) {
      have = true;
      break;
    }
  }
  if (!have) return false;
  DBRecord copy;
  copy = r;
  recordFilePath(&copy, cand);
  // The folder the file left, by whatever name the record knows it, is no place of it now.
  const DBField& loc = PDBgetField(copy, PDBFlocation);
  const char* was[PMaxLocations];
  const int nwas = loc.GetDT() == DBDTstring ? loc.Get(was, PMaxLocations) : 0;
  const char* now[PMaxLocations];
  int nnow = 0;
  for (int i = 0; i < nwas; i++)
    if (i == 0 || (gone != was[i] && !SameFolder(was[i], goneDir))) now[nnow++] = strlink(was[i]);
  PDBsetStrings(&copy, PDBFlocation, now, nnow);
  for (int i = 0; i < nnow; i++) strunlink(now[i]);
  *kept = copy;
  if (found != nullptr && len > 0) CopyPath(found, len, cand);
  return true;
}

_ImgReader* PopenImageD(const DBRecord& r, bool quiet) {
  if (r.l == nullptr) return nullptr;
  const char* name = PDBgetString(r, PDBFfile);
  if (name == nullptr) {
    if (!quiet) DMESSAGE(DMCdata, "Missing image file name");
    return nullptr;
  }
  if (!PisFileName(name)) {
    if (!quiet) DMESSAGE(DMCinput, "%s", PleftText(nullptr, 1, name).c_str());
    return nullptr;
  }
  char rname[64] = "";
  const char* fmt = PDBgetString(r, PDBFformat);
  if (fmt != nullptr) {
    size_t n = 0;
    while (fmt[n] != '\0' && !Cspace(fmt[n]) && n < sizeof(rname) - 1) n++;
    memcpy(rname, fmt, n);
    rname[n] = '\0';
  } else {
    const char* dot = strrchr(name, '.');
    if (dot != nullptr) snprintf(rname, sizeof(rname), "%s", dot + 1);
  }
  const _ImgReaderInterface* list[IR_MAXREADERS + 1];
  PtargetReader(list, rname);
  char path[1024];
  if (PlocateFile(path, sizeof(path), r) == PLFRfail) {
    if (!quiet) DMESSAGE(DMCresource, "%s: cannot find image", name);
    return nullptr;
  }
  for (int i = 0; list[i] != nullptr; i++) {
    _ImgReader* ir = PopenImageF(path, 1, list[i]);
    if (ir != nullptr) return ir;
  }
  // A record that names no reader, or none that reads its file (a file replaced by another
  // format's): the readers its name and its first bytes call for, which tell why none does.
  return PopenImageAny(path, quiet ? 1 : 0);
}
