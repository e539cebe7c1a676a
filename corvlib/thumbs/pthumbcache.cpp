// The thumbnail cache folder: opening and closing it, writing the sheet being filled,
// purging old sheets under the size limit and the statistics.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "thumbs/pthumb.h"
#include "support/dmessage.h"
#include "support/dmhold.h"

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
}

void PThumbnailer::EmptyLists() {
  for (PThumbList*& head : images) {
    delete head;
    head = nullptr;
  }
}

bool PThumbnailer::SetCacheDirectory(const char* dir) {
  if (dir != nullptr && IsOpen() && strcmp(dir, cacheDir) == 0) return true;
  if (IsOpen()) {
    if (!SyncCache()) DMESSAGE(DMCdata, "Thumbnail cache sync failed");
    nextImage.ClearImage();
    if (!tdb.Close()) DMESSAGE(DMCdata, "Cannot close thumbnail database");
    tnHead.Attach(nullptr, false);
    dbfs.reset();
  }
  cacheDir[0] = '\0';
  nThumbs = 0;
  cacheSiz = 0;
  // Loaded sheets belong to the folder they came from.
  EmptyLists();
  if (dir == nullptr || dir[0] == '\0') return false;
  if (strlen(dir) >= sizeof(cacheDir)) {
    DMESSAGE(DMCparameter, "Thumbnail cache folder name too long");
    return false;
  }
  char path[1100];
  snprintf(path, sizeof(path), "%s%c%s", dir, '/', CorvaneThumbnailDBFile);
  std::string why;
  int opened;
  {
    // The reports of opening it (its reads, checks and journal) wait, so that a damaged
    // database set aside is told in one line; else they are told as they came.
    DMessageHold held(DMessageHold::kept, DMessageHold::Class(DMCsystem) |
                                              DMessageHold::Class(DMCdata) |
                                              DMessageHold::Class(DMCwarning));
    opened = OpenDatabase(path, &why);
    if (opened < 0) held.Drop();  // the line that tells of setting it aside says why
  }
  // The cache holds nothing that cannot be made again: a damaged database is set aside and
  // made anew, once. One that cannot be set aside is left as it is, and the cache is not used
  // rather than failing at every thumbnail.
  if (opened < 0) {
    std::string failure;
    if (!SetAside(dir, path, why, &failure)) {
      DMESSAGE(DMCwarning,
               "Thumbnail database %s is damaged (%s) and cannot be set aside (%s): thumbnails "
               "are not cached",
               path, why.c_str(), failure.c_str());
      return false;
    }
    opened = OpenDatabase(path, &why);
    if (opened < 0) DMESSAGE(DMCdata, "Corrupt thumbnail database %s", path);
  }
  if (opened <= 0) return false;
  snprintf(cacheDir, sizeof(cacheDir), "%s", dir);
  return true;
}

int PThumbnailer::OpenDatabase(const char* path, std::string* why) {
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
  if (!fs->Open(path, O_RDWR) && !fs->Open(path, O_RDWR | O_CREAT | O_EXCL, 0666)) {
    DMESSAGE(DMCresource, "Cannot open thumbnail database %s", path);
    return 0;
  }
  dbfs = std::move(fs);
  const DBFile file(path);
  nextImgID = 0;
  nThumbs = 0;
  cacheSiz = 0;
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
  DBRecordList batch(&PTDBFInfo, kBatch);
  for (;;) {
    const int n = tdb.GetRecords(batch.Array(), kBatch, nThumbs);
    if (n < 1) break;
    int64_t sum = 0;
    for (int i = 0; i < n; i++) {
      long v;
      if (TInt(batch[i], PTDBFimageid, &v) && v > 0 && v <= PMaxThumbImageID && v > nextImgID)
        nextImgID = static_cast<int32_t>(v);
      if (TInt(batch[i], PTDBFimagebytes, &v) && v > 0) sum += v;
    }
    cacheSiz += Kbytes(sum);
    nThumbs += n;
  }
  nextImgID++;
  // Counting read every block: a damaged one has been found by now.
  if (tdb.Damaged()) {
    *why = tnHead.WhyReadOnly();
    tdb.Close();
    tnHead.Attach(nullptr, false);
    dbfs.reset();
    nThumbs = 0;
    cacheSiz = 0;
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
  FILE* f = fopen(path, "rbe");
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
  // Its index file and an unfinished journal are made again from the new database.
  RemoveNoting(file.JournalTempPath(), &left);
  RemoveNoting(file.IndexPath(), &left);
  RemoveNoting(file.IndexTempPath(), &left);
  // The sheets the new database names none of: numbers start again at 1, and no old sheet
  // may answer for a new one.
  for (const std::string& name : Names(dir, SheetName))
    RemoveNoting(std::string(dir) + '/' + name, &left);
  DMESSAGE(DMCwarning, "Thumbnail database %s was damaged (%s): set aside as %s and made anew%s%s",
           path, why.c_str(), aside.c_str(), left.empty() ? "" : "; ", left.c_str());
  return true;
}

bool PThumbnailer::SyncCache() {
  if (!IsOpen()) return true;
  if (nextImage.NumFilled() > 0) {
    char path[1100];
    SheetPath(path, sizeof(path), nextImgID);
    const long n = nextImage.WriteImage(path);
    if (n < 1) {
      DMESSAGE(DMCdata, "Error writing contact image '%s'", path);
      return false;
    }
    const int want = nextImage.NumFilled();
    DBRecord q(&PTDBFInfo);
    q.SetField(PTDBFimageid, static_cast<long>(nextImgID));
    DBSearch search(&tdb);
    if (!search.AddSelector(q, false)) {
      DMESSAGE(DMCassert, "AddSelector failed");
      return false;
    }
    DBRecordList list(&PTDBFInfo, want);
    const int k = search.FindRecords(list.Array(), want);
    if (k < want) DMESSAGE(DMCwarning, "Missing thumbnail records in SyncCache");
    int64_t before = 0;  // the sheet as it was last written, already counted
    if (k > 0) {
      tdb.DeleteRecords(list.GetArray(), k);
      for (int i = 0; i < k; i++) {
        long b;
        if (TInt(list[i], PTDBFimagebytes, &b) && b > 0) before += b;
        const long share = n / k + (i == 0 ? n % k : 0);
        const DBFieldInfo* s = list[i].GetFieldInfo();
        list[i].SetField(s->XlateID(&PTDBFInfo, PTDBFimagebytes), share);
      }
      tdb.AddRecords(list.GetArray(), k);
    }
    cacheSiz += Kbytes(n) - Kbytes(before);
    if (cacheSiz < 0) cacheSiz = 0;
  }
  PurgeCache();
  // Changed blocks and the header, as one step through the database's journal.
  return tdb.Sync();
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
  if (!IsOpen() || cacheMax < 0) return 0;
  // A limit of 0 empties the cache, the sheet being filled too.
  if (cacheMax == 0 ? tdb.TotalRecords() < 1 : cacheSiz <= cacheMax) return 0;
  // One entry per sheet that records name: a hostile sheet number costs no memory.
  std::map<int32_t, PTNpurgeEntry> sheets;
  DBRecordList batch(&PTDBFInfo, kBatch);
  for (int start = 0;;) {
    const int n = tdb.GetRecords(batch.Array(), kBatch, start);
    if (n < 1) break;
    for (int i = 0; i < n; i++) {
      long id, v;
      if (!TInt(batch[i], PTDBFimageid, &id) || id <= 0 || id >= nextImgID) continue;
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
  if (tdb.TotalRecords() < 1 || tdb.State() == DBPSerror) {
    cacheSiz = 0;
    nThumbs = 0;
    nextImage.ClearImage();
    nextImgID = 1;
    // Numbers start again: loaded copies of the old sheets would answer for new ones.
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
  if (purgeNow && IsOpen()) {
    PurgeCache();
    tdb.Sync();
  }
}

bool PThumbnailer::GetCacheStats(PThumbnailerStats* stats) const {
  if (!IsOpen() || stats == nullptr) return false;
  stats->dName = cacheDir;
  stats->kAlloc = cacheMax;
  stats->kUsed = cacheSiz;
  stats->nThumbs = nThumbs;
  return true;
}
