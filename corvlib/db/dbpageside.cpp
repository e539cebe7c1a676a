// The pages and the index file beside their database: at open the pages take their record
// counts and hashes from a valid index file instead of reading their blocks; after a sync
// (and at close) what the pages know is written to a new one.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "db/dbaccess.h"
#include "db/dbsidefile.h"
#include "support/dmessage.h"
#include "support/dmhold.h"

void DBAccess::OpenSide(const DBFile& file, long long len) {
  delete sideState;
  sideState = nullptr;
  DBSideFile::Probe probe;
  // A layer without stamps, or a file that changed under the stream: no index file is used.
  if (!DBSideFile::ProbeDatabase(file, header->GetSize(), &probe) || probe.stamp.size != len)
    return;
  sideState = new DBSideState(file, header);
  sideState->known = probe;
  DBSideFile sf;
  const char* why = "";
  DBSideFile::Status st = sf.Load(file, probe, &why);
  if (st == DBSideFile::kMissing) return;
  if (st == DBSideFile::kValid) {
    if (sf.headerSize == header->GetSize() && AdoptSide(sf)) {
      sideState->onDisk = true;
      sideState->pagesOnDisk = 0;
      for (const DBSideFile::Page& pg : sf.pages) sideState->pagesOnDisk += pg.count >= 0;
      return;
    }
    why = "its pages differ from the file's";
  }
  // A derived file: the loss is only speed, so it is a warning, logged but not shown.
  bool ro = header->ReadOnly();
  {
    const DMessageHold unseen(DMessageHold::unseen);
    DMESSAGE(DMCwarning, "Database index file %s ignored (%s)%s", file.IndexPath().c_str(), why,
             ro ? "" : ": it is rebuilt");
  }
  if (!ro) DBSideFile::Remove(file);
}

void DBAccess::KeepIndex() {
  if (sideState != nullptr) SaveSide(false, false);
}

bool DBAccess::AdoptSide(const DBSideFile& sf) {
  // The chain must have one page per entry, and a page already known (an empty page past the
  // file's blocks) must agree.
  size_t i = 0;
  for (const DBAccess* p = this; p != nullptr; p = p->next, i++) {
    if (i >= sf.pages.size()) return false;
    const DBSideFile::Page& e = sf.pages[i];
    if (p->nrused >= 0 && e.count != p->nrused) return false;
  }
  if (i != sf.pages.size()) return false;
  i = 0;
  for (DBAccess* p = this; p != nullptr; p = p->next, i++) {
    const DBSideFile::Page& e = sf.pages[i];
    // A page told empty is left to its block: an empty page is not read before records are
    // put in it, and a block that does hold records must never be written over as empty.
    if (e.count <= 0 || p->nrused >= 0) continue;
    // The free-record estimate stays unknown: it is made from the block when records are
    // added, exactly as after a load.
    p->rwidth = e.width;
    p->nravail = -1;
    p->SetCount(e.count);
    p->vouched = true;  // checked against the block when it is first read
    if (e.hashesKnown) {
      const uint32_t* h = sf.hashes.data() + e.first;
      p->hashes.assign(h, h + e.count);
      p->hashesKnown = true;
      p->bihset.ClearBitMap(false);
      for (uint32_t v : p->hashes) p->bihset.Set(v % static_cast<uint32_t>(DB_HASHSETLEN));
      p->ChargeHashes();
    }
    p->HashChanged();
  }
  return true;
}

size_t DBAccess::DescribeSide(DBSideFile* sf) const {
  size_t known = 0;
  sf->pages.clear();
  sf->hashes.clear();
  for (const DBAccess* p = this; p != nullptr; p = p->next) {
    DBSideFile::Page e;
    if (p->nrused >= 0 && p->state != DBPSerror) {
      e.count = p->nrused;
      e.width = p->rwidth;
      e.first = sf->hashes.size();
      e.hashesKnown = p->hashesKnown && p->hashes.size() == static_cast<size_t>(p->nrused);
      if (e.hashesKnown) sf->hashes.insert(sf->hashes.end(), p->hashes.begin(), p->hashes.end());
      known++;
    }
    sf->pages.push_back(e);
  }
  return known;
}

void DBAccess::SaveSide(bool wrote, bool closing) {
  if (header == nullptr || header->ReadOnly()) return;
  // The sync removed the index file before it wrote.
  if (wrote) sideState->onDisk = false;
  // The pages must agree with the file: every block written.
  for (const DBAccess* p = this; p != nullptr; p = p->next)
    if (p->BlockChanged()) return;
  DBSideFile sf;
  size_t known = DescribeSide(&sf);
  DBSideFile::Probe now;
  if (wrote) {
    // The file as it is now is the state the pages know.
    if (!DBSideFile::ProbeDatabase(sideState->file, header->GetSize(), &now)) return;
    sideState->known = now;
  } else {
    // Nothing written: a new index file only for more than the one on disk knows, and
    // knowledge of some pages only (learnt by look-ups) waits for the close.
    if (known == 0 || (sideState->onDisk && known <= sideState->pagesOnDisk)) return;
    if (!closing && known < sf.pages.size()) return;
    // The file must still be the one the pages were learnt from.
    if (!DBSideFile::ProbeDatabase(sideState->file, header->GetSize(), &now) ||
        !now.SameState(sideState->known))
      return;
  }
  sf.stamp = sideState->known.stamp;
  sf.headerSize = header->GetSize();
  sf.headerSum = sideState->known.headerSum;
  sf.lastBlockSum = sideState->known.lastBlockSum;
  if (!sf.Save(sideState->file, sideState->known.mode)) {
    // Another user's file at the name, where only its owner may remove it, is said by whose.
    struct stat st;
    const std::string& index = sideState->file.IndexPath();
    const std::string theirs = lstat(index.c_str(), &st) == 0 && st.st_uid != geteuid()
                                   ? ": a file of " + DBUserNamed(st.st_uid) + " stands there"
                                   : std::string();
    DMESSAGE(DMCwarning, "Database index file %s could not be written%s", index.c_str(),
             theirs.c_str());
    return;
  }
  sideState->onDisk = true;
  sideState->pagesOnDisk = known;
}
