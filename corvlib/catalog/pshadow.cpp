// The shadow catalogue: photo records of files that are not catalogued, found by file
// identity (name, length and content hash).
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "catalog/pcontext.h"
#include "catalog/pdbase.h"
#include "catalog/plock.h"
#include "support/dmessage.h"
#include "support/replacefile.h"

bool PContext::ShadowReady() const {
  return sdb.Ready();
}

bool PContext::ShadowFileRemoved() const {
  struct stat st;
  return sdbfs.is_open() && (fstat(sdbfs.fd(), &st) != 0 || st.st_nlink == 0);
}

bool PContext::ShadowHoldsRecords() {
  return sdb.Ready() && sdb.TotalRecords() >= 1;
}

bool PContext::ShadowDB(const char* path) {
  // What the shadow catalogue could not write (its sync failed, already told) is dropped,
  // its file left as the last complete sync left it.
  sdb.CloseOrDiscard();
  sdb.Init(nullptr, nullptr, false);
  if (sdbfs.is_open()) {
    shd.Attach(nullptr, false);
    sdbfs.close();
  }
  sdbfs.clear();
  shadowChanged = false;
  WriteLock(slock_path, nullptr);
  if (path == nullptr || path[0] == '\0') return false;
  if (!WriteLock(slock_path, path)) return false;
  if (!OpenFile(&sdbfs, path, true, 0600)) {
    DMESSAGE(DMCresource, "Cannot open shadow database '%s'", path);
    WriteLock(slock_path, nullptr);
    return false;
  }
  // Private as it was made, or made so (its journal and index file take its mode).
  struct stat st;
  if (fstat(sdbfs.fd(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0)
    PsetFileMode(sdbfs.fd(), st.st_mode & 0700);
  // Held for writing under another name (a hard link, another mount): refused as a lock is.
  if (!PclaimFile(sdbfs.fd(), path)) {
    sdbfs.close();
    sdbfs.clear();
    WriteLock(slock_path, nullptr);
    return false;
  }
  // A new file gets the default shadow header; a journal left by a sync that did not
  // complete is played back first.
  const DBFile file(path, fileSystem);
  if (sdb.Init(&shd, &sdbfs, &file, false)) return true;
  if (shd.GetSize() <= 0)
    DMESSAGE(DMCdata, "Header error in shadow database '%s'", path);
  else
    DMESSAGE(DMCdata, "Cannot initialize shadow database '%s'", path);
  sdb.Init(nullptr, nullptr, false);
  shd.Attach(nullptr, false);
  sdbfs.close();
  sdbfs.clear();
  WriteLock(slock_path, nullptr);
  return false;
}

int PContext::DeleteShadows(const DBRecord* recs, int n) {
  if (recs == nullptr || n < 1 || !ShadowHoldsRecords()) return 0;
  DBSearch search(&sdb);
  int selectors = 0;
  for (int i = n; i-- > 0;) {
    if (recs[i].GetFieldInfo() == nullptr) continue;
    DBQuery q(recs[i].GetFieldInfo(), false);
    if (!PCsetQuery(&q, recs[i], true)) continue;
    if (search.AddSelector(q.rlo, q.rhi, false) != 1) return 0;
    selectors++;
  }
  // A search without selectors would match every shadow.
  if (selectors == 0) return 0;
  DBRecordList found(&shd);
  if (search.FindAll(&found) < 1) return 0;
  const int deleted = sdb.DeleteRecords(found.GetArray(), found.GetSize());
  if (deleted > 0) shadowChanged = true;
  return deleted;
}

int PContext::AddShadows(const DBRecord* recs, int n) {
  if (recs == nullptr || n < 1 || !sdb.Ready()) return 0;
  DeleteShadows(recs, n);
  DBRecordList list(&shd, n);
  if (list.GetSize() != n) return 0;
  for (int i = 0; i < n; i++) {
    list[i].Init(&shd, true);
    list[i] = recs[i];
  }
  const int added = sdb.AddRecords(list.GetArray(), n);
  if (added > 0) shadowChanged = true;
  return added;
}
