// The record store's operations over the whole chain of pages: opening and closing, syncing,
// counting, reading, searching (with the page directory for exact look-ups), adding and deleting,
// walks, the text form and statistics.
#include "db/dbaccess.h"
#include "db/dbfieldpriv.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "db/dbjournal.h"
#include "db/dbpagedir.h"
#include "db/dbsidefile.h"
#include "support/dmessage.h"
#include "support/pwork.h"

bool DBAccess::Init(DBHeader* h, std::iostream* stream, bool readonly) {
  return Init(h, stream, nullptr, readonly);
}

bool DBAccess::Init(DBHeader* h, std::iostream* stream, const DBFile* file, bool readonly) {
  if (!Close()) {
    DMESSAGE(DMCdata, "Error closing previous database");
    // What the previous database could not write is dropped, its file left whole; blocks
    // handed out are left to their holders.
    if (header != nullptr && !AnyInUse()) Discard();
  }
  delete ownJournal;
  ownJournal = journal = nullptr;
  delete ownView;
  ownView = view = nullptr;
  // Pages a refused Close left behind report to no directory any more.
  if (pdir != nullptr) pdir->Reset();
  header = nullptr;
  lastAdd = nullptr;
  // What was learnt of the previous file's first block is not carried over.
  hasChecked = false;
  damaged = false;
  damagedAtOpen = false;
  vouched = false;
  if (h == nullptr) {
    strpos = 0;
    rwidth = 1;
    nravail = 0;
    SetCount(0);
    state = DBPSclean;
    return false;
  }
  // Another database: no failure of the one before is told for it.
  syncError.clear();
  syncErrno = 0;
  long long pos = 0;
  long long len = -1;
  bool sameStream = stream == nullptr;
  if (stream != nullptr && file != nullptr) {
    DBJournal::Recovery r = DBJournal::Recover(*file, readonly);
    if (r == DBJournal::kRefused) {
      h->Attach(nullptr, readonly);
      return false;
    }
    // A journal kept for the user, or another process's sync: the file is only read.
    std::string why;
    if (!readonly && r == DBJournal::kKept)
      why = "its journal '" + file->JournalPath() +
            "', left by a sync that did not complete, is damaged or belongs to another file; it "
            "is kept, and the file is not written while it is there";
    damagedAtOpen = !why.empty();
    if (!readonly && r == DBJournal::kLive) why = "another program is writing it";
    if (!why.empty()) readonly = true;
    if (readonly) {
      ownView = view = new DBJournalView(*file);
      pos = AttachViewed(h, stream, &len);
      if (pos <= 0) {
        delete ownView;
        ownView = view = nullptr;
        h->Attach(nullptr, true);
        return false;
      }
      if (!why.empty()) h->ForbidWrites(why);
    }
  }
  if (view != nullptr) {
    // Read above.
  } else if (stream != nullptr) {
    pos = h->Attach(stream, readonly);
    if (pos <= 0) {
      h->Attach(nullptr, readonly);
      return false;
    }
    // A header that refused writing by itself found damage in it (its padding).
    if (!readonly && h->ReadOnly()) damagedAtOpen = true;
  } else {
    stream = h->GetStream();
    pos = h->GetSize();
    if (stream == nullptr || pos <= 0) return false;
  }
  strpos = pos;
  header = h;
  if (len < 0) {
    stream->clear();
    stream->seekg(0, std::ios::end);
    len = static_cast<long long>(stream->tellg());
    stream->clear();
  }
  if (len < 0) len = 0;
  if (len > 0 && !h->ReadOnly() && (len < pos || (len - pos) % DB_BLOCKSIZE != 0)) {
    // Damaged, or not written by us: whatever it holds is kept as it is.
    DMESSAGE(DMCwarning,
             "Database file of %lld bytes is not HeaderSize %lld plus whole blocks of %d bytes: "
             "opened read-only",
             len, pos, DB_BLOCKSIZE);
    pos = h->Attach(stream, true);
    if (pos <= 0) {
      h->Attach(nullptr, true);
      header = nullptr;
      return false;
    }
    damagedAtOpen = true;
    char why[160];
    if (len < pos)
      snprintf(why, sizeof why, "it is shorter (%lld bytes) than its header (%lld bytes)", len,
               pos);
    else
      snprintf(why, sizeof why, "its last block is not whole (%lld of %d bytes) and is not read",
               (len - pos) % DB_BLOCKSIZE, DB_BLOCKSIZE);
    h->ForbidWrites(why);
  }
  if (file != nullptr && !h->ReadOnly()) {
    ownJournal = journal = new DBJournal(*file, pos);
    journal->SetTurnAway(turnAway);
  }
  h->WriteByStore(journal != nullptr);
  Classify(len);
  if (file != nullptr) {
    OpenSide(*file, len);
    // The last block, where records are added, is checked before anything is written, unless
    // the index file vouched for it: a damaged one makes the file read-only.
    DBAccess* last = this;
    while (last->next != nullptr) last = last->next;
    if (!h->ReadOnly() && last->nrused < 0) last->FreeLoad();
  } else if (sideState != nullptr) {
    // Opened again over the header's own stream, without the file: syncs now write the file
    // without the journal, which keeps the index file in step, so the index file goes.
    if (sameStream && sideState->header == h && !h->ReadOnly()) DBSideFile::Remove(sideState->file);
    delete sideState;
    sideState = nullptr;
  }
  return true;
}

long long DBAccess::AttachViewed(DBHeader* h, std::iostream* stream, long long* len) {
  // The header is read from a copy of the file's first bytes taken in one read, so that a
  // sync of another process never shows half of it; a header longer than the first read is
  // read again whole.
  std::string bytes(1 << 16, '\0');
  for (int pass = 0; pass < 2; pass++) {
    long long got = view->Read(0, &bytes[0], bytes.size(), len);
    if (got < 0) {
      DMESSAGE(DMCsystem, "Database read error");
      return 0;
    }
    bytes.resize(static_cast<size_t>(got));
    int hs = h->AttachCopy(bytes, stream);
    if (pass == 1 || hs <= got || *len <= got) return hs;
    bytes.assign(static_cast<size_t>(hs < *len ? hs : *len), '\0');
  }
  return 0;
}

void DBAccess::DamageFound(const char* rule, bool readable) {
  damaged = true;
  if (header == nullptr) return;
  const long long block = (strpos - header->GetSize()) / DB_BLOCKSIZE;
  char why[240];
  snprintf(why, sizeof why, "block %lld (at byte %lld) is damaged: %s%s", block, strpos, rule,
           readable ? "" : "; its records are left out");
  if (header->ReadOnly()) {
    DMESSAGE(DMCwarning, "Database file has a damaged block (%s)", why);
    return;
  }
  header->ForbidWrites(why);
  DMESSAGE(DMCwarning, "Database file has a damaged block: opened read-only (%s)", why);
}

int DBAccess::DamagedBlocks() const {
  int n = 0;
  for (const DBAccess* p = this; p != nullptr; p = p->next) n += p->damaged;
  return n;
}

void DBAccess::DistrustSide() {
  bool any = false;
  for (const DBAccess* p = this; p != nullptr && !any; p = p->next) any = p->damaged;
  if (!any) return;
  for (DBAccess* p = this; p != nullptr; p = p->next)
    if (p->vouched && p->objCache == nullptr && p->state == DBPSclean) {
      p->vouched = false;
      p->MakeUnknown();
    }
}

bool DBAccess::ReadOnly() const {
  return header == nullptr || header->ReadOnly();
}

bool DBAccess::AnyInUse() const {
  for (const DBAccess* p = this; p != nullptr; p = p->next)
    if (p->InUse()) return true;
  return false;
}

bool DBAccess::Close() {
  if (header == nullptr) return true;
  if (AnyInUse()) {
    // Records handed out still point into blocks: write what changed but free nothing.
    DMESSAGE(DMCparameter, "Database still in use when closed!");
    Sync();
    return false;
  }
  return journal != nullptr ? CloseJournaled() : CloseStream();
}

bool DBAccess::CloseJournaled() {
  // A block written outside the sync would be half of it: when the sync fails nothing else is.
  if (!JournaledSync(true)) {
    // A file found damaged since it was opened is not written to any more.
    if (header->ReadOnly()) Discard();
    return false;
  }
  bool sound = true;
  for (const DBAccess* p = this; p != nullptr; p = p->next)
    if (p->state == DBPSerror) sound = false;
  Release();
  return sound;
}

bool DBAccess::CloseStream() {
  bool clean = true;
  for (DBAccess* p = this; p != nullptr; p = p->next) {
    if (!p->FlushPage()) clean = false;
    if (p->state != DBPSclean) clean = false;
  }
  bool synced = header->Sync();
  Release();
  return clean && synced;
}

bool DBAccess::CloseOrDiscard() {
  const bool closed = Close();
  if (header != nullptr) Discard();
  return closed;
}

bool DBAccess::Discard() {
  if (header == nullptr) return true;
  // The changes are forgotten: no page writes its block from here on.
  for (DBAccess* p = this; p != nullptr; p = p->next)
    if (p->BlockChanged()) p->state = DBPSclean;
  bool whole = true;
  if (journal != nullptr) {
    whole = journal->Discard();
    if (!whole) {
      syncErrno = journal->LastErrno();
      syncError = journal->LastError();
      DMESSAGE(DMCdata, "%s: its journal stays beside it, and the next open plays it back",
               syncError.c_str());
    }
  } else {
    header->SetChangedFlag(false);
  }
  // Blocks still retained are freed as the destructor frees them.
  while (RetainCount() > 0 && objCache != nullptr) ReleaseObject(objCache);
  Release();
  return whole;
}

bool DBAccess::Unsynced() const {
  if (header == nullptr) return false;
  for (const DBAccess* p = this; p != nullptr; p = p->next)
    if (p->BlockChanged()) return true;
  return !header->ReadOnly() && header->Unwritten();
}

void DBAccess::Release() {
  DeleteFollowingPages();
  delete ownJournal;
  ownJournal = journal = nullptr;
  delete ownView;
  ownView = view = nullptr;
  if (pdir != nullptr) pdir->Reset();
  indir = nullptr;
  DropMemory();
  state = DBPSclean;
  uncommitted = false;
  header = nullptr;
  lastAdd = nullptr;
}

void DBAccess::SetTurnAway(bool on) {
  turnAway = on;
  if (journal != nullptr) journal->SetTurnAway(on);
}

bool DBAccess::Sync() {
  turnedAway = false;
  if (header == nullptr) return false;
  if (journal != nullptr) return JournaledSync();
  bool ok = true;
  for (DBAccess* p = this; p != nullptr; p = p->next)
    if (!p->SyncPage(true)) ok = false;
  if (!header->Sync()) ok = false;
  return ok;
}

bool DBAccess::JournaledSync(bool closing) {
  // A file found damaged since it opened is written no more, and the sync its journal holds
  // open (blocks written back to free memory, or a failed sync whose file could not be put
  // back) is not committed either: that would make a part of the change the file's state.
  if (header->ReadOnly()) return RefuseSync();
  std::string text;
  if (!header->SyncText(&text)) return false;
  // Every changed block is readied, then the journal saves and writes them as one.
  std::vector<DBJournal::Piece> pieces;
  std::vector<DBAccess*> changed;
  std::vector<DBPageState> was;
  bool ok = true;
  for (DBAccess* p = this; p != nullptr; p = p->next) {
    if (!p->BlockChanged()) continue;
    DBPageState w;
    DBRecordBlock* rb = p->PrepareWrite(&w);
    if (rb == nullptr) {
      ok = false;
      continue;
    }
    changed.push_back(p);
    was.push_back(w);
    pieces.push_back({p->strpos, rb->b, DB_BLOCKSIZE});
  }
  if (!text.empty()) pieces.push_back({0, text.data(), text.size()});
  // Written in parts, so that a long sync can tell how far it got; every part goes to the
  // journal, durable, before its blocks reach the file, and the commit below ends the sync.
  constexpr size_t kPart = 128;  // blocks (8 MB)
  const long long total = static_cast<long long>(changed.size());
  bool written = true;
  for (size_t at = 0; written && (at < pieces.size() || at == 0); at += kPart) {
    size_t end = pieces.size() - at <= kPart ? pieces.size() : at + kPart;
    std::vector<DBJournal::Piece> part(pieces.begin() + static_cast<long>(at),
                                       pieces.begin() + static_cast<long>(end));
    written = journal->Update(part);
    if (progressFn != nullptr && total > static_cast<long long>(kPart))
      progressFn(end < changed.size() ? static_cast<long long>(end) : total, total, progressData);
  }
  for (size_t i = 0; i < changed.size(); i++) {
    PworkItem(static_cast<long long>(i), static_cast<long long>(changed.size()));
    DBAccess* p = changed[i];
    if (!p->FinishWrite(static_cast<DBRecordBlock*>(p->objCache), written, was[i])) ok = false;
  }
  // Another process holds the file: nothing of the sync reached it, its blocks wait changed for
  // the next, and nothing failed.
  if (!written && journal->TurnedAway()) {
    turnedAway = true;
    return false;
  }
  // What was written is committed even when a block could not be readied.
  bool wrote = written && journal->Active();
  PworkStep(-1);
  const bool committed = written && journal->Commit();
  ok = committed && ok;
  PworkStep(-1);
  if (!ok) {
    // Nothing of this sync is durable: every block of it is written again by the next.
    for (DBAccess* p : changed)
      if (p->objCache != nullptr && p->state == DBPSclean) p->state = DBPSsync;
  }
  if (committed) {
    syncErrno = 0;
    syncError.clear();
    for (DBAccess* p = this; p != nullptr; p = p->next) p->uncommitted = false;
  } else {
    syncErrno = journal->LastErrno();
    syncError = journal->LastError();
    // One message for the sync, naming the file and the system's reason.
    std::string kept;
    if (!PutBack(&kept))
      kept = "; " + kept + ": its journal stays beside it, which " +
             (header->ReadOnly() ? "" : "the next sync completes or ") + "the next open plays back";
    // The text carries the system's reason already: none is appended to it.
    DMESSAGE_ERRNO(DMCsystem, DMnoSystemError, "%s%s", syncError.c_str(), kept.c_str());
  }
  if (ok) {
    header->SetChangedFlag(false);
    if (sideState != nullptr) SaveSide(wrote, closing);
  }
  return ok;
}

bool DBAccess::RefuseSync() {
  bool pending = journal->Wrote() || header->Unwritten();
  for (const DBAccess* p = this; p != nullptr && !pending; p = p->next) pending = p->BlockChanged();
  if (!pending) return true;  // the file holds the last complete sync, and nothing changed
  syncErrno = 0;
  syncError =
      "Cannot write \"" + journal->Path() + "\": " +
      (header->WhyReadOnly().empty() ? std::string("it is read-only") : header->WhyReadOnly());
  std::string kept;
  if (!PutBack(&kept))
    kept = "; " + kept + ": its journal stays beside it, which the next open plays back";
  DMESSAGE(DMCdata, "%s%s", syncError.c_str(), kept.c_str());
  return false;
}

bool DBAccess::PutBack(std::string* why) {
  if (!journal->Wrote()) return true;
  // A block written back before the sync is in the file alone: it is read again, and kept
  // (no block is written back after a failure) until a sync writes it.
  for (DBAccess* p = this; p != nullptr; p = p->next) {
    if (!p->uncommitted) continue;
    DBRecordBlock* rb = p->LoadRaw();
    if (rb == nullptr) {
      *why = "Cannot put \"" + journal->Path() +
             "\" back from its journal: a block written into it to free memory cannot be read "
             "again";
      return false;
    }
    if (p->state == DBPSclean) p->state = DBPSsync;
    p->ReleaseBlock(rb);
  }
  if (!journal->Rollback()) {
    *why = journal->LastError();
    return false;
  }
  for (DBAccess* p = this; p != nullptr; p = p->next) p->uncommitted = false;
  return true;
}

bool DBAccess::Ready() const {
  const DBAccess* p = this;
  for (;; p = p->next) {
    if (p->state == DBPSerror && !p->Skipped()) return false;
    if (p->next == nullptr) break;
  }
  return p->header != nullptr && p->header->GetStream() != nullptr && p->header->GetSize() > 0;
}

// ---------------------------------------------------------------------------------------
// Counting, reading, finding

int DBAccess::TotalRecords() {
  if (header == nullptr) return -1;
  DistrustSide();
  long long total = 0;
  for (DBAccess* p = this; p != nullptr; p = p->next) {
    int k = p->NRecords();
    if (p->Skipped()) continue;  // a damaged block of a file only read: its records are out
    if (k < 0 || p->state == DBPSerror) return -1;
    total += k;
  }
  return total > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(total);
}

int DBAccess::GetRecords(DBRecord* out, int n, int start) {
  if (n < 1 || out == nullptr || start < 0 || header == nullptr) return 0;
  if (start == 0) DistrustSide();
  int got = 0;
  for (DBAccess* p = this; p != nullptr && got < n; p = p->next) {
    int k = p->NRecords();
    if (k <= 0) continue;
    if (start >= k) {
      start -= k;
      continue;
    }
    DBRecordBlock* rb = p->LoadBlock();
    if (rb == nullptr) {
      if (!p->Skipped()) return got;
      // Found damaged now: the records after it are read on from its end.
      start = 0;
      continue;
    }
    int m = p->brl.GetSize();
    for (int r = start; r < m && got < n; r++) out[got++] = p->brl.Array()[r];
    p->ReleaseBlock(rb);
    start = 0;
  }
  return got;
}

int DBAccess::FindRecords(const DBQuery* query, DBRecord* out, int n, int* pos) {
  if (query == nullptr || n < 1 || out == nullptr || header == nullptr) return 0;
  int p = pos != nullptr ? *pos : 0;
  if (p < 0) p = 0;
  // How a page can be excluded without loading it.
  const ABitMap* qset = query->hashSet;
  bool useSet = qset != nullptr && qset->Length() == static_cast<uint32_t>(DB_HASHSETLEN);
  long exact = -1;
  if (!useSet && query->next == nullptr) exact = query->ExactHash();
  std::optional<DBQueryPlan> plan;  // pseudo-records are of the header's schema
  long long base = 0;
  int found = 0;
  uint32_t bit = exact >= 0 ? static_cast<uint32_t>(exact % DB_HASHSETLEN) : 0;
  size_t first = 0;  // the page the walk below starts at
  if (pdir == nullptr) pdir = new DBPageDir(this, false);
  DBPageDir& d = *pdir;
  const std::vector<DBAccess*>& pages = d.Pages();
  if (d.Update() && exact >= 0) {
    // The index names the candidate pages; each is checked against its own bit set. A page
    // passed over moves the position to its end, as the walk would: before a candidate the
    // position is at least the candidate's start, and after the last page at least the total.
    const std::vector<uint32_t>& cands = d.Candidates(static_cast<uint32_t>(exact));
    size_t nc = cands.size();
    for (size_t c = 0; c < nc && c < 16; c++) __builtin_prefetch(pages[cands[c]]);
    unsigned long gen = d.Generation();
    bool changed = false;
    for (size_t c = 0; c < nc && found < n; c++) {
      size_t i = cands[c];
      if (c + 16 < nc) __builtin_prefetch(pages[cands[c + 16]]);
      int k = d.Count(i);
      long long start = d.Start(i);
      DBAccess* pg = pages[i];
      if (k <= 0 || p >= start + k || !pg->bihset.Check(bit)) continue;
      if (!plan) plan.emplace(query, header);
      int rel = p > start ? static_cast<int>(p - start) : 0;
      found += pg->PageFind(*plan, out + found, n - found, &rel, true);
      p = static_cast<int>(start + rel);
      if (d.Generation() != gen) {
        // Loading the page changed some page's count or hashes: the walk goes on from the
        // next page with the counts as they are now.
        first = i + 1;
        base = start + k;
        changed = true;
        break;
      }
    }
    if (!changed) {
      if (found < n && p < d.Total()) p = static_cast<int>(d.Total());
      if (pos != nullptr) *pos = p;
      return found;
    }
  }
  if (!plan) plan.emplace(query, header);
  // The pages and their bits lie far apart in memory: those a few pages ahead are asked for
  // early, so that the walk does not wait on each in turn.
  size_t npages = pages.size();
  DBAccess* const* dir = pages.data();
  for (size_t i = first; i < npages && found < n; i++) {
    DBAccess* pg = dir[i];
    if (i + 16 < npages) __builtin_prefetch(dir[i + 16]);
    int k = pg->nrused >= 0 ? pg->nrused : pg->NRecords();
    if (k < 0) k = 0;
    if (p < base + k) {
      bool may = true;
      if (useSet)
        may = pg->bihset.Intersects(*qset);
      else if (exact >= 0)
        may = pg->bihset.Check(bit);
      int rel = static_cast<int>(p - base);
      found += pg->PageFind(*plan, out + found, n - found, &rel, may);
      p = static_cast<int>(base + rel);
    }
    base += k;
  }
  if (pos != nullptr) *pos = p;
  return found;
}

// ---------------------------------------------------------------------------------------
// Adding and deleting

int DBAccess::AddFrom(DBAccess** page, const DBRecord* recs, int n) {
  int stored = 0;
  DBAccess* p = *page;
  // Each record is checked as it comes, while its fields are at hand: the records before the
  // first that cannot be stored are added.
  while (stored < n && p != nullptr && dbpriv::storablePrefix(recs + stored, 1) == 1) {
    PworkItem(stored, n);
    if (p->next != nullptr && p->nravail < 0 && p->objCache == nullptr) {
      p = p->next;  // room in a page not yet read is not looked for
      continue;
    }
    int r = p->PutRecord(recs[stored]);
    if (r > 0) {
      stored++;
      continue;
    }
    if (r < 0) break;               // fits in no block
    if (header->ReadOnly()) break;  // a block found damaged while it was loaded
    if (p->next != nullptr) {
      p = p->next;
      continue;
    }
    // The last page is full: a record wider than the schema fits nowhere; otherwise a new
    // page goes at the end of the file.
    const DBRecord& rec = recs[stored];
    int nfr = rec.GetNAlloc();
    if (nfr > HeaderWidth(header)) {
      DMESSAGE(DMCparameter, "Too many fields in AddRecords");
      break;
    }
    if (p->nrused == 0 && p->state == DBPSclean) {
      // An empty page before the new one is written as an empty block, so that the file
      // holds no hole where a block should be.
      DBRecordBlock* rb = p->LoadBlock();
      if (rb != nullptr) {
        p->state = DBPSsync;
        p->ReleaseBlock(rb);
      }
    }
    DBAccess* np = new DBAccess(p);
    np->MakeEmpty();
    p->next = np;  // FindRecords sees the new last page by its predecessor's link
    r = np->PutRecord(rec);
    if (r <= 0) {  // not even an empty block takes it: no page is added for it
      p->next = nullptr;
      delete np;
      break;
    }
    stored++;
    p = np;
  }
  *page = p;
  return stored;
}

int DBAccess::AddRecords(const DBRecord* recs, int n) {
  if (recs == nullptr || n < 1) return 0;
  if (header == nullptr || header->ReadOnly()) {
    DMESSAGE(DMCdata, "AddRecords called on read-only DB");
    return 0;
  }
  // Records go to the page that took the last one, or to an earlier one where deletes made
  // room since, or after an open to the last page: the pages between are full, so adding one
  // record to a long chain costs no walk over its pages.
  DBAccess* p = lastAdd;
  if (p == nullptr)
    for (p = this; p->next != nullptr;) p = p->next;
  int stored = AddFrom(&p, recs, n);
  lastAdd = p;
  return stored;
}

DBDeleteKeys::DBDeleteKeys(const DBRecord* recs, int n) {
  set.NewBitMap(static_cast<uint32_t>(DB_HASHSETLEN));
  byHash.reserve(static_cast<size_t>(n > 0 ? n : 0));
  for (int i = 0; i < n; i++) {
    const DBRecord& r = recs[i];
    if (r.l == nullptr || r.GetNAssigned() < 1) continue;
    long h = r.HashIndex();
    if (h < 0) {
      h = -1;
      unhashed = true;
    } else {
      set.Set(static_cast<uint32_t>(h % DB_HASHSETLEN));
    }
    byHash.emplace_back(h, &r);
  }
  std::stable_sort(byHash.begin(), byHash.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t distinct = 0;
  for (size_t i = 0; i < byHash.size(); i++)
    distinct += i == 0 || byHash[i].first != byHash[i - 1].first;
  size_t len = 16;
  while (len < 2 * distinct) len *= 2;
  runs.assign(len, Run{0, 0, 0});
  for (size_t i = 0; i < byHash.size();) {
    size_t j = i + 1;
    while (j < byHash.size() && byHash[j].first == byHash[i].first) j++;
    for (size_t k = Mix(byHash[i].first) & (len - 1);; k = (k + 1) & (len - 1)) {
      if (runs[k].hi == 0) {
        runs[k] = Run{byHash[i].first, static_cast<uint32_t>(i), static_cast<uint32_t>(j)};
        break;
      }
    }
    i = j;
  }
}

std::pair<const std::pair<long, const DBRecord*>*, const std::pair<long, const DBRecord*>*>
DBDeleteKeys::Of(long h) const {
  const auto* base = byHash.data();
  const size_t mask = runs.size() - 1;
  for (size_t k = Mix(h) & mask;; k = (k + 1) & mask) {
    const Run& run = runs[k];
    if (run.hi == 0) return {base, base};
    if (run.hash == h) return {base + run.lo, base + run.hi};
  }
}

int DBAccess::DeleteRecords(const DBRecord* recs, int n) {
  return DeleteCapture(recs, n, nullptr);
}

int DBAccess::DeleteCapture(const DBRecord* recs, int n, Taken* taken) {
  if (n < 1 || recs == nullptr) return 0;
  if (header == nullptr || header->ReadOnly()) {
    DMESSAGE(DMCdata, "DeleteRecords called on read-only DB");
    return 0;
  }
  DBDeleteKeys keys(recs, n);
  if (keys.byHash.empty()) return 0;
  int total = 0, pages = 0, done = 0;
  for (const DBAccess* p = this; p != nullptr; p = p->next) ++pages;
  // Every page is read, and written back when its blocks must leave memory: the walk's share
  // of pages tells how far it has come.
  for (DBAccess* p = this; p != nullptr && !header->ReadOnly(); p = p->next) {
    PworkStep(static_cast<double>(done++) / pages);
    int k = p->PageDelete(keys, taken);
    // Adds look for room from the first page this made room in.
    if (k > 0 && (lastAdd == nullptr || p->strpos < lastAdd->strpos)) lastAdd = p;
    total += k;
  }
  return total;
}

// ---------------------------------------------------------------------------------------
// Walks

int DBAccess::ForEachBlock(int (*fn)(const DBRecordList&, void*), void* data,
                           const DBFieldSort* order) {
  if (fn == nullptr || header == nullptr) return 0;
  if (order == nullptr || order->order[0] == 0) {
    int sum = 0, pages = 0, done = 0;
    for (const DBAccess* p = this; p != nullptr; p = p->next) ++pages;
    for (DBAccess* p = this; p != nullptr; p = p->next) {
      PworkStep(static_cast<double>(done++) / pages);
      DBRecordBlock* rb = p->LoadBlock();
      if (rb == nullptr) continue;
      int r = fn(p->brl, data);
      p->ReleaseBlock(rb);
      if (r < 0) return r;
      sum += r;
    }
    return sum;
  }
  // One list over every page: all blocks stay resident until the walk ends.
  std::vector<std::pair<DBAccess*, DBRecordBlock*>> held;
  int total = 0;
  for (DBAccess* p = this; p != nullptr; p = p->next) {
    DBRecordBlock* rb = p->LoadBlock();
    if (rb == nullptr) continue;
    held.emplace_back(p, rb);
    total += p->brl.GetSize();
  }
  DBRecordList all(header, 0);
  int r = 0;
  if (total == 0 || all.Resize(total) == total) {
    int i = 0;
    for (auto& h : held) {
      DBRecordList& pl = h.first->brl;
      for (int k = 0; k < pl.GetSize(); k++) all.Array()[i++].Link(&pl.Array()[k]);
    }
    all.sord = *order;
    all.Sort();
    r = fn(all, data);
  }
  all.Resize(0);
  for (auto& h : held) h.first->ReleaseBlock(h.second);
  return r;
}

namespace {

struct RecordWalk {
  int (*fn)(const DBRecord&, void*);
  void* data;
};

int block2record(const DBRecordList& list, void* data) {
  RecordWalk* w = static_cast<RecordWalk*>(data);
  int sum = 0;
  for (int i = 0; i < list.GetSize(); i++) {
    int r = w->fn(list.Get(i), w->data);
    if (r < 0) return r;
    sum += r;
  }
  return sum;
}

struct WriteWalk {
  std::ostream* os;
  char sep;
};

int write_blk(const DBRecordList& list, void* data) {
  WriteWalk* w = static_cast<WriteWalk*>(data);
  int n = 0;
  for (int i = 0; i < list.GetSize(); i++) {
    if (w->os->bad()) break;
    list.Get(i).Write(w->os, w->sep);
    n++;
  }
  return n;
}

}  // namespace

int DBAccess::ForEachRecord(int (*fn)(const DBRecord&, void*), void* data,
                            const DBFieldSort* order) {
  if (fn == nullptr) return 0;
  RecordWalk w{fn, data};
  return ForEachBlock(block2record, &w, order);
}

// ---------------------------------------------------------------------------------------
// Text

void DBAccess::Write(std::ostream* os, char sep) {
  if (os == nullptr || header == nullptr) return;
  header->DBFieldID::Write(os, sep);
  std::vector<DBAccess*> pages;
  for (DBAccess* p = this; p != nullptr; p = p->next) pages.push_back(p);
  for (size_t i = pages.size(); i-- > 0;) {
    if (os->bad()) return;
    DBAccess* p = pages[i];
    DBRecordBlock* rb = p->LoadBlock();
    if (rb == nullptr) continue;
    for (int r = p->brl.GetSize(); r-- > 0;) p->brl.Get(r).Write(os, sep);
    p->ReleaseBlock(rb);
  }
}

void DBAccess::WriteSorted(std::ostream* os, char sep) {
  if (os == nullptr || header == nullptr) return;
  header->DBFieldID::Write(os, sep);
  WriteWalk w{os, sep};
  ForEachBlock(write_blk, &w, &header->sord);
}

int DBAccess::Read(std::istream* is, char* sep, DBFieldInfo* schema) {
  if (is == nullptr) return 0;
  if (header == nullptr || header->ReadOnly()) {
    DMESSAGE(DMCparameter, "Cannot add records to read-only DB");
    return 0;
  }
  char lsep = 0;
  if (sep == nullptr) sep = &lsep;
  DBFieldInfo lschema;
  if (schema == nullptr) schema = &lschema;
  bool named = false;
  if (schema->GetNFields() == 0) {
    int n = schema->DBFieldID::Read(is, sep);
    if (n <= 0) return n;
    named = true;
  }
  if (*sep == 0) *sep = '\t';
  dbpriv::TableLines lines(is, *sep);
  if (named) lines.AfterNames();
  DBAccess* from = lastAdd != nullptr ? lastAdd : this;
  int added = 0;
  DBRecord rec(schema);
  while (lines.Next(rec, schema)) {
    if (dbpriv::storablePrefix(&rec, 1) != 1) {
      lines.Refused();
      continue;
    }
    // From the page used last onward: the first page with room, else the last.
    while (from->next != nullptr && from->FreeEstimate() <= 0) {
      if (from->FreeEstimate() < 0) from->FreeLoad();
      if (from->FreeEstimate() > 0) break;
      from = from->next;
    }
    if (AddFrom(&from, &rec, 1) != 1) {
      lastAdd = from;
      lines.Report();
      return -1;
    }
    added++;
  }
  lastAdd = from;
  lines.Report();
  return added;
}

// ---------------------------------------------------------------------------------------
// Statistics

void DBAccess::PrintStats(std::ostream* os) {
  if (os == nullptr || header == nullptr) return;
  int nf = header->GetNFields();
  std::vector<long long> nvals(nf > 0 ? nf : 1, 0), abytes(nf > 0 ? nf : 1, 0);
  long long blocks = 0, used = 0, avail = 0, arrayspace = 0, unused = 0;
  for (DBAccess* p = this; p != nullptr; p = p->next) {
    DBRecordBlock* rb = p->LoadBlock();
    if (rb == nullptr) continue;
    blocks++;
    used += p->nrused;
    avail += p->nravail;
    arrayspace += rb->StrBytes();
    unused +=
        DB_DATASIZE - static_cast<long long>(rb->StrBytes()) - 8LL * rb->NFields() * rb->NRecords();
    for (int r = 0; r < p->brl.GetSize(); r++) {
      const DBRecord& rec = p->brl.Get(r);
      int n = rec.GetNAlloc();
      for (int f = 0; f < n && f < nf; f++) {
        const DBField& v = rec.l->field[f];
        if (v.nv == 0) continue;
        nvals[f] += v.nv;
        if (v.dt == DBDTstring) {
          int m = v.nv < DB_MAXARRAY ? v.nv : DB_MAXARRAY;
          for (int i = 0; i < m; i++) {
            const char* s = static_cast<const char*>(v.GetPointer(i));
            abytes[f] += (s != nullptr ? static_cast<long long>(strlen(s)) : 0) + 1;
          }
        } else if (v.nv > 1) {
          abytes[f] += 4LL * v.nv;
        }
      }
    }
    p->ReleaseBlock(rb);
  }
  long long waste = 0, totalarray = 0;
  for (int f = 0; f < nf; f++) {
    if (used > nvals[f]) waste += (used - nvals[f]) * 4;
    totalarray += abytes[f];
  }
  *os << "Database statistics:\n";
  *os << "Header size:\t\t\t" << header->GetSize() << " bytes\n";
  *os << "Total record blocks:\t\t" << blocks << " (" << blocks * DB_BLOCKSIZE / 1024
      << " Kbytes)\n";
  *os << "Total records used:\t\t" << used << "\n";
  *os << "Total records free:\t\t" << avail << "\n";
  *os << "Unused space:\t\t\t" << unused / 1024 << " Kbytes\n";
  *os << "Unset field waste:\t\t" << waste / 1024 << " Kbytes\n";
  *os << "Used array space:\t\t" << arrayspace / 1024 << " Kbytes\n";
  if (totalarray > 0)
    *os << "Array data sharing:\t\t"
        << static_cast<float>(100.0 - 100.0 * static_cast<double>(arrayspace) / totalarray)
        << " %\n";
  *os << "Fields set:\n";
  for (int f = 0; f < nf; f++) {
    if (nvals[f] == 0) continue;
    *os << '\t' << nvals[f] << ' ' << header->GetName(f) << " values";
    if (abytes[f] > 0) *os << " (" << abytes[f] << " array bytes)";
    *os << '\n';
  }
  *os << "Unused fields:";
  for (int f = 0; f < nf; f++)
    if (nvals[f] == 0) *os << ' ' << header->GetName(f);
  *os << '\n';
}
