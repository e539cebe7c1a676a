// The thumbnail cache folder: opening and closing it, writing the sheet being filled,
// purging old sheets under the size limit and the statistics.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "thumbs/pthumb.h"
#include "support/dmessage.h"
#include "support/dmhold.h"
#include "support/futil.h"
#include "support/replacefile.h"

namespace {

constexpr int kBatch = 1024;

// An integer value of a record's field, when it holds one.
bool TInt(const DBRecord& r, PTDBFieldID fid, long* v) {
  const DBField& f = PTDBgetField(r, fid);
  if (f.GetDT() != DBDTint || f.GetNV() < 1) return false;
  *v = f.GetInt(0);
  return true;
}

}  // namespace

PThumbnailer::PThumbnailer(const char* dir)
    : doCrop(true),
      doOrient(false),
      bRGB{200, 200, 200},
      cacheDir(),
      cacheMax(-1),
      tdb(nullptr, nullptr, false),
      cacheSiz(0),
      nThumbs(0),
      nextImgID(0),
      images() {
  SetCacheDirectory(dir);
}

PThumbnailer::~PThumbnailer() {
  SetCacheDirectory(nullptr);
  EmptyLists();
  CloseShare();
}

void PThumbnailer::EmptyLists() {
  for (PThumbList*& head : images) {
    delete head;
    head = nullptr;
  }
}

bool PThumbnailer::SetCacheDirectory(const char* dir) {
  if (dir != nullptr && IsOpen() && strcmp(dir, cacheDir) == 0) return true;
  // The folder whose opening waits for another copy: opened now when it is free.
  if (dir != nullptr && pendingDir[0] != '\0' && strcmp(dir, pendingDir) == 0)
    return Resume() || Busy();
  // Not between the slices of a picture read this manager makes: it reads into the cache.
  if (reading > 0 || making) return false;
  pendingDir[0] = '\0';
  if (const char* changed = FolderChanged()) {
    // The folder was removed meanwhile (the user cleared the cache), or its name leads to
    // another folder now: what it held went with it, and the sheet being filled has nowhere to
    // go.
    DMESSAGE(DMCinfo, "Thumbnail cache %s %s while in use: nothing more is written there", cacheDir,
             changed);
    Shut();
  } else if (IsOpen()) {
    // Written and committed under the lock; without it nothing is written (the sheet being
    // filled is lost, the folder stays as the last change left it).
    bool closed = false;
    if (Enter(true)) {
      if (!SyncLocked()) DMESSAGE(DMCdata, "Thumbnail cache sync failed");
      // A number that got no sheet is given back when no copy took one after it.
      if (nextImage.NumFilled() == 0 && share.next == nextImgID + 1) {
        share.next = nextImgID;
        shareChanged = true;
      }
      if (IsOpen() && !tdb.Close()) DMESSAGE(DMCdata, "Cannot close thumbnail database");
      closed = true;
      Leave();
    } else if (nextImage.NumFilled() > 0) {
      // The cache is the copies' to share, and what it holds can be made again: this copy does
      // not wait for another to let go.
      if (busyNow)
        DMESSAGE(DMCwarning,
                 "Thumbnail cache %s is held by another copy of the program: the %d thumbnails "
                 "made since its last write are not kept",
                 cacheDir, nextImage.NumFilled());
      else
        DMESSAGE(DMCdata, "Thumbnail cache sync failed");
    }
    if (!closed) tdb.Discard();
    nextImage.ClearImage();
    tnHead.Attach(nullptr, false);
    dbfs.reset();
  }
  CloseShare();
  cacheDir[0] = '\0';
  nThumbs = 0;
  cacheSiz = 0;
  filling.clear();
  uses.clear();
  // Loaded sheets belong to the folder they came from.
  EmptyLists();
  if (dir == nullptr || dir[0] == '\0') return false;
  return OpenFolder(dir) != 0;
}

const char* PThumbnailer::FolderChanged() const {
  if (!IsOpen()) return nullptr;
  // The database's file as it was opened, and the folder its name leads to now.
  struct stat st;
  if (dbfs != nullptr && dbfs->is_open() && (fstat(dbfs->fd(), &st) != 0 || st.st_nlink == 0))
    return "was removed";
  if (stat(cacheDir, &st) != 0) return errno == ENOENT ? "was removed" : "cannot be read";
  if (st.st_dev != dirDev || st.st_ino != dirIno) return "is no longer the folder at its name";
  return nullptr;
}

void PThumbnailer::CloseUnwritten() {
  if (reading > 0 || making) return;
  pendingDir[0] = '\0';
  if (IsOpen()) Shut();
  CloseShare();
}

bool PThumbnailer::Resume() {
  if (pendingDir[0] == '\0') return IsOpen();
  if (reading > 0 || making) return false;
  char dir[sizeof pendingDir];
  snprintf(dir, sizeof dir, "%s", pendingDir);
  return OpenFolder(dir) > 0;
}

int PThumbnailer::OpenFolder(const char* dir) {
  if (strlen(dir) >= sizeof(cacheDir)) {
    DMESSAGE(DMCparameter, "Thumbnail cache folder name too long");
    return 0;
  }
  char path[1100];
  snprintf(path, sizeof(path), "%s%c%s", dir, '/', CorvaneThumbnailDBFile);
  // The folder is opened, counted and (damaged) set aside under the exclusive lock. Held by
  // another copy, it is opened at a request after that copy lets go; its lock file stays open
  // meanwhile.
  const bool again = pendingDir[0] != '\0' && strcmp(pendingDir, dir) == 0;
  snprintf(pendingDir, sizeof pendingDir, "%s", dir);
  if (!again) OpenShare(dir);
  if (!TakeLock(shareWritable)) {
    if (busyNow) return -1;
    pendingDir[0] = '\0';
    CloseShare();
    return 0;
  }
  pendingDir[0] = '\0';
  std::string why;
  Counted counted;
  int opened;
  {
    // The reports of opening it (its reads, checks and journal) wait, so that a damaged
    // database set aside is told in one line; else they are told as they came.
    DMessageHold reports(DMessageHold::kept, DMessageHold::Class(DMCsystem) |
                                                 DMessageHold::Class(DMCdata) |
                                                 DMessageHold::Class(DMCwarning));
    opened = OpenDatabase(path, &why, &counted);
    if (opened < 0) reports.Drop();  // the line that tells of setting it aside says why
  }
  // The cache holds nothing that cannot be made again: a damaged database is set aside and
  // made anew, once. One that cannot be set aside is left as it is, and the cache is not used
  // rather than failing at every thumbnail.
  bool aside = false;
  if (opened < 0) {
    std::string failure;
    if (!SetAside(dir, path, why, &failure)) {
      DMESSAGE(DMCwarning,
               "Thumbnail database %s is damaged (%s) and cannot be set aside (%s): thumbnails "
               "are not cached",
               path, why.c_str(), failure.c_str());
      CloseShare();
      return 0;
    }
    aside = true;
    opened = OpenDatabase(path, &why, &counted);
    if (opened < 0) DMESSAGE(DMCdata, "Corrupt thumbnail database %s", path);
  }
  if (opened <= 0) {
    CloseShare();
    return 0;
  }
  snprintf(cacheDir, sizeof(cacheDir), "%s", dir);
  struct stat at;
  dirDev = stat(dir, &at) == 0 ? at.st_dev : 0;
  dirIno = dirDev != 0 ? at.st_ino : 0;
  nThumbs = counted.n;
  cacheSiz = counted.kb;
  // The sheet being filled takes a number after every sheet the records name and every number
  // another copy took; numbers start again at 1 with a database made anew.
  ShareState st = ReadShare();
  const bool trusted = st.valid && !aside;
  nextImgID = trusted && st.next > counted.maxID ? st.next : counted.maxID + 1;
  if (nextImgID > PMaxThumbImageID) nextImgID = PMaxThumbImageID;
  st.next = nextImgID + 1;
  st.kb = counted.kb;
  // Copies that read the folder before it was set aside (or died changing it) read it again.
  st.gen = !st.valid ? FreshGen() : (aside || (st.gen & 1) != 0) ? (st.gen | 1) + 1 : st.gen;
  st.valid = true;
  share = st;
  // A lock file this user cannot write is left as it is.
  if (shareFd < 0 || shareWritable) WriteShare(st);
  viewGen = st.gen;
  DropLock();
  return 1;
}

int PThumbnailer::OpenDatabase(const char* path, std::string* why, Counted* counted) {
  // Anything but a regular file in the database's place is set aside, never followed.
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    *why = S_ISDIR(st.st_mode)   ? "a folder stands in its place"
           : S_ISLNK(st.st_mode) ? "a symbolic link stands in its place"
                                 : "something other than a file stands in its place";
    return -1;
  }
  // The database is made only when absent, and never truncated: a file that holds
  // something else is refused, not overwritten.
  auto fs = std::make_unique<PFileStream>();
  if (!fs->Open(path, O_RDWR) && !fs->Open(path, O_RDWR | O_CREAT | O_EXCL, 0600)) {
    DMESSAGE(DMCresource, "Cannot open thumbnail database %s", path);
    return 0;
  }
  // What the cache keeps shows the user's pictures: private, as its journal and index file
  // (which take its mode) are.
  if (fstat(fs->fd(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0)
    PsetFileMode(fs->fd(), st.st_mode & 0700);
  dbfs = std::move(fs);
  const DBFile file(path);
  if (!tdb.Init(&tnHead, dbfs.get(), &file, false)) {
    tnHead.Attach(nullptr, false);
    dbfs.reset();
    // A thumbnail database whose header is cut or damaged is set aside; anything else is
    // refused and kept.
    if (ThumbnailHeaderStart(path)) {
      *why = "its header cannot be read";
      return -1;
    }
    DMESSAGE(DMCdata, "Corrupt thumbnail database %s", path);
    return 0;
  }
  if (counted == nullptr) return 1;
  *counted = Counted();
  DBRecordList batch(&PTDBFInfo, kBatch);
  for (;;) {
    const int n = tdb.GetRecords(batch.Array(), kBatch, counted->n);
    if (n < 1) break;
    int64_t sum = 0;
    for (int i = 0; i < n; i++) {
      long v;
      if (TInt(batch[i], PTDBFimageid, &v) && v > 0 && v <= PMaxThumbImageID && v > counted->maxID)
        counted->maxID = static_cast<int32_t>(v);
      if (TInt(batch[i], PTDBFimagebytes, &v) && v > 0) sum += v;
    }
    counted->kb += Kbytes(sum);
    counted->n += n;
  }
  // Counting read every block: a damaged one has been found by now.
  if (tdb.Damaged()) {
    *why = tnHead.WhyReadOnly();
    tdb.Close();
    tnHead.Attach(nullptr, false);
    dbfs.reset();
    *counted = Counted();
    return -1;
  }
  return 1;
}

bool PThumbnailer::ThumbnailHeaderStart(const char* path) {
  // The first lines a thumbnail database's header starts with; one damaged byte among them
  // still shows whose header it is. A file cut short within them is one too.
  static const char kStart[] = "QRDB = {\nSoftware = \"Corvane Thumbnailer\"\n";
  const size_t n = sizeof(kStart) - 1;
  char buf[sizeof(kStart)];
  FILE* f = PfopenRead(path);
  if (f == nullptr) return false;
  const size_t got = fread(buf, 1, n, f);
  fclose(f);
  size_t differ = 0;
  for (size_t i = 0; i < got; i++) differ += buf[i] != kStart[i];
  return got > 0 && differ <= 1;
}

namespace {

// Removes the file at path, noting in *left what could not be removed (a file already gone is
// no failure).
void RemoveNoting(const std::string& path, std::string* left) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return;
  *left += (left->empty() ? "" : "; ") + path + " could not be removed: " + strerror(errno);
}

// The names in folder dir that pick keeps.
std::vector<std::string> Names(const char* dir, bool (*pick)(const char* name)) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir)) {
    while (const dirent* e = readdir(d))
      if (pick(e->d_name)) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

bool AsideName(const char* name) {
  const std::string prefix = std::string(CorvaneThumbnailDBFile) + ".damaged-";
  return strncmp(name, prefix.c_str(), prefix.size()) == 0;
}

bool SheetName(const char* name) {
  bool sheet = strlen(name) == 14 && name[0] == 'C' && strcmp(name + 10, ".jpg") == 0;
  for (int i = 1; sheet && i < 10; i++) sheet = name[i] >= '0' && name[i] <= '9';
  return sheet;
}

}  // namespace

bool PThumbnailer::SetAside(const char* dir, const char* path, const std::string& why,
                            std::string* failure) {
  const std::string db = path;
  char stamp[32];
  const time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmv);
  std::string aside = db + ".damaged-" + stamp;
  // An older one set aside in the same second, or a kept folder or link, may bear the name.
  struct stat st;
  for (int k = 2; lstat(aside.c_str(), &st) == 0 && k < 100; k++)
    aside = db + ".damaged-" + stamp + "-" + std::to_string(k);
  if (rename(db.c_str(), aside.c_str()) != 0) {
    *failure = strerror(errno);
    return false;
  }
  // Its journal goes with it (a journal of another file would keep the new one read-only).
  const DBFile file(db);
  if (rename(file.JournalPath().c_str(), (aside + "-journal").c_str()) != 0 && errno != ENOENT) {
    *failure = "its journal " + file.JournalPath() + " cannot be moved: " + strerror(errno);
    if (rename(aside.c_str(), db.c_str()) != 0)
      *failure += "; it stays as " + aside + " (" + strerror(errno) + ")";
    return false;
  }
  std::string left;  // what could not be removed, told with the line below
  // One damaged database is kept: an older one goes, with its journal. A folder or a link set
  // aside is never removed: it is not the cache's own.
  for (const std::string& name : Names(dir, AsideName)) {
    const std::string old = std::string(dir) + '/' + name;
    if (old != aside && old != aside + "-journal" && lstat(old.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode))
      RemoveNoting(old, &left);
  }
  // Its index file and an unfinished journal are made again from the new database; what
  // another user left at their temporary names is theirs.
  RemoveNoting(file.IndexPath(), &left);
  for (const std::string& temp : {file.JournalTempPath(), file.IndexTempPath()})
    if (lstat(temp.c_str(), &st) != 0 || st.st_uid == geteuid()) RemoveNoting(temp, &left);
  file.RemoveLeftovers();
  // The sheets the new database names none of: numbers start again at 1, and no old sheet
  // may answer for a new one.
  for (const std::string& name : Names(dir, SheetName))
    RemoveNoting(std::string(dir) + '/' + name, &left);
  DMESSAGE(DMCwarning, "Thumbnail database %s was damaged (%s): set aside as %s and made anew%s%s",
           path, why.c_str(), aside.c_str(), left.empty() ? "" : "; ", left.c_str());
  return true;
}

bool PThumbnailer::SyncCache() {
  if (!Resume()) return true;  // nothing of this copy waits to be written
  Section w(this, true);
  if (!w.ok()) return false;
  return SyncLocked();
}

bool PThumbnailer::SyncLocked() {
  if (nextImage.NumFilled() > 0 && !WriteFilling()) return false;
  FlushUses();
  PurgeLocked();
  // Changed blocks and the header, as one step through the database's journal.
  return !touched || CommitView();
}

bool PThumbnailer::IsFilling(const DBRecord& r) const {
  const DBField& nb = PTDBgetField(r, PTDBFnbytes);
  const DBField& hv = PTDBgetField(r, PTDBFhashval);
  for (const DBRecord& f : filling)
    if (f[PTDBFnbytes] == nb && f[PTDBFhashval] == hv) return true;
  return false;
}

void PThumbnailer::DropWritten() {
  if (filling.empty() || tdb.ReadOnly()) return;
  // (cell, record) of each thumbnail kept, and how many go.
  std::vector<std::pair<int, size_t>> kept;
  int dropped = 0;
  DBRecordList found(&PTDBFInfo, 4);
  for (size_t i = 0; i < filling.size(); i++) {
    const DBField& rf = filling[i][PTDBFrectangle];
    long rect[4] = {-1, -1, -1, -1};
    for (int k = 0; k < 4 && rf.GetDT() == DBDTint && rf.GetNV() == 4; k++) rect[k] = rf.GetInt(k);
    const int cell = nextImage.CellOf(rect);
    bool written = cell < 0;  // a record without its cell goes too
    DBRecord q(&PTDBFInfo);
    q.SetField(PTDBFnbytes, filling[i][PTDBFnbytes]);
    q.SetField(PTDBFhashval, filling[i][PTDBFhashval]);
    DBSearch search(&tdb);
    if (!written && search.AddSelector(q, false)) {
      const int n = search.FindRecords(found.Array(), 4);
      // Records under this sheet's number are its own, written with it before.
      for (int j = 0; j < n && !written; j++) {
        long id;
        written = !TInt(found[j], PTDBFimageid, &id) || id != nextImgID;
      }
    }
    if (written)
      dropped++;
    else
      kept.emplace_back(cell, i);
  }
  if (dropped == 0) return;
  std::sort(kept.begin(), kept.end());
  std::vector<int> cells;
  std::vector<DBRecord> records;
  for (size_t k = 0; k < kept.size(); k++) {
    DBRecord r = filling[kept[k].second];
    const DBField& rf = r[PTDBFrectangle];
    const long w = rf.GetInt(2) - rf.GetInt(0), h = rf.GetInt(3) - rf.GetInt(1);
    const long left = static_cast<long>(k % nextImage.ncols) * nextImage.colwidth;
    const long top = static_cast<long>(k / nextImage.ncols) * nextImage.rowheight;
    const long rect[4] = {left, top, left + w, top + h};
    r.SetField(PTDBFrectangle, rect, 4);
    cells.push_back(kept[k].first);
    records.push_back(r);
  }
  nextImage.KeepCells(cells);
  filling.swap(records);
  DMESSAGE(DMCtrace, "%d thumbnails of sheet %d were written by another copy meanwhile: not kept",
           dropped, static_cast<int>(nextImgID));
}

void PThumbnailer::ForgetLoaded(int32_t id) {
  for (PThumbList*& head : images)
    for (PThumbList** at = &head; *at != nullptr;) {
      PThumbList* e = *at;
      if (e->imgID == id && !e->InUse()) {
        *at = e->next;
        e->next = nullptr;
        delete e;
      } else {
        at = &e->next;
      }
    }
}

void PThumbnailer::DropUnnamedSheet(int32_t id) {
  if (id == nextImgID) return;
  DBRecord q(&PTDBFInfo);
  q.SetField(PTDBFimageid, static_cast<long>(id));
  DBSearch search(&tdb);
  DBRecord one;
  if (!search.AddSelector(q, false) || search.FindRecords(&one, 1) != 0) return;
  char path[1100];
  SheetPath(path, sizeof(path), id);
  if (unlink(path) != 0 && errno != ENOENT) DMESSAGE(DMCresource, "Cannot unlink '%s'", path);
  ForgetLoaded(id);
}

bool PThumbnailer::WriteFilling() {
  if (tdb.ReadOnly()) return false;
  // One record per picture: what another copy wrote meanwhile is not written again.
  DropWritten();
  // The records the database holds under this sheet's number: this copy's, written with the
  // sheet before, are replaced. Another copy's mean the number was taken by it meanwhile (the
  // numbers started again, say): the sheet takes a new one, and this copy's records under the
  // old number go, since the file under it is not this sheet.
  int64_t before = 0;  // the sheet as it was last written, already counted
  bool taken = false;
  DBRecordList mine(&PTDBFInfo, 0);
  for (int tries = 0;; tries++) {
    DBRecord q(&PTDBFInfo);
    q.SetField(PTDBFimageid, static_cast<long>(nextImgID));
    DBSearch search(&tdb);
    if (!search.AddSelector(q, false)) {
      DMESSAGE(DMCassert, "AddSelector failed");
      return false;
    }
    DBRecordList found(&PTDBFInfo, 0);
    search.FindAll(&found);
    bool theirs = false;
    mine.Init(&PTDBFInfo);
    for (int i = 0; i < found.GetSize(); i++) {
      if (IsFilling(found[i]))
        mine.NewRecord() = found[i];
      else
        theirs = true;
    }
    for (int i = 0; i < mine.GetSize(); i++) {
      long b;
      if (TInt(mine[i], PTDBFimagebytes, &b) && b > 0) before += b;
    }
    if (nextImage.NumFilled() == 0 && mine.GetSize() == 0) return true;
    if (!Touch()) return false;
    if (mine.GetSize() > 0) tdb.DeleteRecordList(mine);
    if (!theirs || nextImage.NumFilled() == 0) break;
    const int32_t id = Claim();
    if (id > PMaxThumbImageID || tries >= 1000) return false;
    DMESSAGE(DMCtrace, "Thumbnail sheet %d taken by another copy: written as %d",
             static_cast<int>(nextImgID), static_cast<int>(id));
    nextImgID = id;
    for (DBRecord& f : filling) f.SetField(PTDBFimageid, static_cast<long>(id));
    cacheSiz -= Kbytes(before);
    before = 0;
    taken = true;
  }
  char path[1100];
  SheetPath(path, sizeof(path), nextImgID);
  if (nextImage.NumFilled() == 0) {
    // Every thumbnail of the sheet was another copy's too: the sheet as written before goes.
    if (before > 0) {
      if (unlink(path) != 0 && errno != ENOENT) DMESSAGE(DMCresource, "Cannot unlink '%s'", path);
      cacheSiz -= Kbytes(before);
      if (cacheSiz < 0) cacheSiz = 0;
    }
    return true;
  }
  const long n = nextImage.WriteImage(path);
  if (n < 1) {
    DMESSAGE(DMCdata, "Error writing contact image '%s'", path);
    // The records written with the sheet before stay (the file is as it was).
    if (!taken && mine.GetSize() > 0) tdb.AddRecordList(mine);
    return false;
  }
  const int want = nextImage.NumFilled();
  const int k = static_cast<int>(filling.size());
  if (k < want) DMESSAGE(DMCwarning, "Missing thumbnail records in SyncCache");
  if (k > 0) {
    for (int i = 0; i < k; i++) filling[i].SetField(PTDBFimagebytes, n / k + (i == 0 ? n % k : 0));
    tdb.AddRecords(filling.data(), k);
  }
  cacheSiz += Kbytes(n) - Kbytes(before);
  if (cacheSiz < 0) cacheSiz = 0;
  // A number taken before the numbers started again may lie beyond the next free one.
  if (share.next <= nextImgID) {
    share.next = nextImgID + 1;
    shareChanged = true;
  }
  return true;
}

void PThumbnailer::FlushUses() {
  if (uses.empty()) return;
  std::vector<Use> all;
  all.swap(uses);
  if (tdb.ReadOnly()) return;
  // The latest use of each thumbnail.
  std::sort(all.begin(), all.end(), [](const Use& a, const Use& b) {
    if (a.nbytes != b.nbytes) return a.nbytes < b.nbytes;
    if (a.hashval != b.hashval) return a.hashval < b.hashval;
    return a.minutes > b.minutes;
  });
  DBRecordList found(&PTDBFInfo, 4);
  std::set<int32_t> merged;  // sheets that lost records
  for (size_t i = 0; i < all.size(); i++) {
    const Use& u = all[i];
    if (i > 0 && all[i - 1].nbytes == u.nbytes && all[i - 1].hashval == u.hashval) continue;
    DBRecord q(&PTDBFInfo);
    q.SetField(PTDBFnbytes, u.nbytes);
    q.SetField(PTDBFhashval, u.hashval);
    DBSearch search(&tdb);
    if (!search.AddSelector(q, false)) continue;
    const int n = search.FindRecords(found.Array(), 4);
    // The record loaded; the picture's others (left by earlier runs) go, and a sheet left
    // without records goes with them. Not records of the sheet being filled, though.
    int keep = -1;
    for (int j = 0; j < n && keep < 0; j++) {
      long id;
      if (TInt(found[j], PTDBFimageid, &id) && id == u.sheet) keep = j;
    }
    if (keep < 0) continue;
    for (int j = 0; j < n; j++) {
      DBRecord& r = found[j];
      long id, v;
      if (j != keep) {
        if (TInt(r, PTDBFimageid, &id) && id == nextImgID) continue;
        if (!Touch()) return;
        if (!tdb.DeleteRecord(r)) continue;
        if (TInt(r, PTDBFimagebytes, &v) && v > 0) cacheSiz -= Kbytes(v);
        if (cacheSiz < 0) cacheSiz = 0;
        if (TInt(r, PTDBFimageid, &id) && id > 0 && id <= PMaxThumbImageID)
          merged.insert(static_cast<int32_t>(id));
        continue;
      }
      if (TInt(r, PTDBFlastuse, &v) && v >= u.minutes) continue;
      if (!Touch()) return;
      if (!tdb.DeleteRecord(r)) {
        DMESSAGE(DMCdata, "Cannot alter thumbnail last use value");
      } else if (!r.SetField(r.GetFieldInfo()->XlateID(&PTDBFInfo, PTDBFlastuse), u.minutes) ||
                 !tdb.AddRecord(r)) {
        DMESSAGE(DMCdata, "Cannot alter thumbnail last use value");
      }
    }
  }
  if (!merged.empty())
    DMESSAGE(DMCtrace, "Merged thumbnail records of one picture from %d sheets",
             static_cast<int>(merged.size()));
  for (const int32_t id : merged) DropUnnamedSheet(id);
}

int PTNpurgeCmp(const void* a, const void* b) {
  const PTNpurgeEntry* pa = static_cast<const PTNpurgeEntry*>(a);
  const PTNpurgeEntry* pb = static_cast<const PTNpurgeEntry*>(b);
  if (pa->sheet > 0) {
    if (pb->sheet <= 0) return -1;
    if (pa->lastUse != pb->lastUse) return pa->lastUse < pb->lastUse ? -1 : 1;
    if (pa->bytes != pb->bytes) return pa->bytes > pb->bytes ? -1 : 1;
    return 0;
  }
  return pb->sheet > 0 ? 1 : 0;
}

long PThumbnailer::PurgeCache() {
  if (cacheMax < 0 || !Resume()) return 0;
  Section w(this, true);
  if (!w.ok()) return 0;
  return PurgeLocked();
}

long PThumbnailer::PurgeLocked() {
  if (!IsOpen() || cacheMax < 0 || tdb.ReadOnly()) return 0;
  // A limit of 0 empties the cache, the sheet being filled too.
  if (cacheMax == 0 ? tdb.TotalRecords() < 1 && nextImage.NumFilled() == 0 : cacheSiz <= cacheMax)
    return 0;
  // One entry per sheet that records name: a hostile sheet number costs no memory. Every sheet
  // but the one being filled is a candidate, other copies' included.
  std::map<int32_t, PTNpurgeEntry> sheets;
  DBRecordList batch(&PTDBFInfo, kBatch);
  for (int start = 0;;) {
    const int n = tdb.GetRecords(batch.Array(), kBatch, start);
    if (n < 1) break;
    for (int i = 0; i < n; i++) {
      long id, v;
      if (!TInt(batch[i], PTDBFimageid, &id) || id <= 0 || id > PMaxThumbImageID || id == nextImgID)
        continue;
      PTNpurgeEntry& e = sheets[static_cast<int32_t>(id)];
      e.sheet = static_cast<int32_t>(id);
      if (TInt(batch[i], PTDBFimagebytes, &v) && v > 0) e.bytes += v;
      if (TInt(batch[i], PTDBFlastuse, &v) && v > e.lastUse) e.lastUse = v;
    }
    start += n;
  }
  std::vector<PTNpurgeEntry> order;
  order.reserve(sheets.size());
  for (const auto& s : sheets) order.push_back(s.second);
  if (!order.empty()) qsort(order.data(), order.size(), sizeof(PTNpurgeEntry), PTNpurgeCmp);

  long need = cacheSiz - cacheMax;
  const long margin = cacheSiz * 3 / 100 + 1024;
  if (cacheMax == 0)
    need += margin;
  else if (margin > need)
    need = margin;
  size_t nchosen = 0;
  long total = 0;
  if (nextImgID >= 1 && need >= 1) {
    while (nchosen < order.size() && order[nchosen].sheet > 0) {
      total += Kbytes(order[nchosen].bytes);
      nchosen++;
      if (total >= need) break;
    }
  }
  if ((nchosen > 0 || cacheMax == 0) && !Touch()) return 0;
  std::set<int32_t> removed;
  long freed = 0;
  for (size_t i = nchosen; i-- > 0;) {
    char path[1100];
    SheetPath(path, sizeof(path), order[i].sheet);
    if (unlink(path) != 0) {
      if (errno != ENOENT) {
        DMESSAGE(DMCresource, "Unlink '%s' failed", path);
        return 0;
      }
      DMESSAGE(DMCwarning, "Sheet '%s' missing", path);
    }
    removed.insert(order[i].sheet);
    cacheSiz -= Kbytes(order[i].bytes);
    freed += Kbytes(order[i].bytes);
  }
  if (cacheMax == 0 && nextImgID >= 1) {
    const int64_t bytes = DeleteSheetRecords(nextImgID, kBatch, "AddSelector failed in PurgeCache");
    if (bytes >= 0) {
      char path[1100];
      SheetPath(path, sizeof(path), nextImgID);
      if (unlink(path) != 0 && errno != ENOENT) DMESSAGE(DMCresource, "Unlink '%s' failed", path);
      nextImage.ClearImage();
      filling.clear();
      cacheSiz -= Kbytes(bytes);
      freed += Kbytes(bytes);
    }
  }
  if (!removed.empty()) {
    DBRecordList gone(&PTDBFInfo, 0);
    for (int start = 0;;) {
      const int n = tdb.GetRecords(batch.Array(), kBatch, start);
      if (n < 1) break;
      for (int i = 0; i < n; i++) {
        long id;
        if (TInt(batch[i], PTDBFimageid, &id) && removed.count(static_cast<int32_t>(id)))
          gone.NewRecord() = batch[i];
      }
      start += n;
    }
    if (gone.GetSize() > 0) tdb.DeleteRecordList(gone);
  }
  const char* word;
  if ((tdb.TotalRecords() < 1 && nextImage.NumFilled() == 0) || tdb.State() == DBPSerror) {
    cacheSiz = 0;
    nThumbs = 0;
    nextImage.ClearImage();
    filling.clear();
    // Numbers start again at 1 (a copy whose sheet being filled had it takes another when it
    // writes it); loaded copies of the old sheets would answer for new ones.
    nextImgID = 1;
    share.next = 2;
    shareChanged = true;
    EmptyLists();
    word = "Emptied";
  } else {
    if (cacheSiz < 0) cacheSiz = 0;
    word = cacheSiz == 0 ? "Emptied" : "Purged";
  }
  DMESSAGE(DMCinfo, "%s %ld Kbytes from thumbnail cache", word, freed);
  return freed;
}

void PThumbnailer::SetCacheSize(long kb) {
  const bool purgeNow = kb >= 0 && (cacheMax > kb || cacheMax == 0);
  cacheMax = kb;
  if (purgeNow && Resume()) {
    Section w(this, true);
    if (w.ok()) PurgeLocked();
  }
}

bool PThumbnailer::GetCacheStats(PThumbnailerStats* stats) const {
  if (!IsOpen() || stats == nullptr) return false;
  stats->dName = cacheDir;
  stats->kAlloc = cacheMax;
  // What every copy's sheets take, as the last change told it.
  const ShareState st = ReadShare();
  stats->kUsed = st.valid && (st.gen & 1) == 0 ? st.kb : cacheSiz;
  stats->nThumbs = nThumbs;
  return true;
}
