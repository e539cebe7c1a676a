// Pages of the record store: construction and classification against the file, resident
// block memory (loading, checking, writing back), the pseudo-records over a resident block, and
// the per-page work of placing, finding and deleting records.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <sys/random.h>
#include <vector>

#include "db/dbaccess.h"
#include "support/chain.h"
#include "db/dbjournal.h"
#include "db/dbpagedir.h"
#include "db/dbsidefile.h"
#include "support/dmessage.h"

namespace {

constexpr int kMaxStrings = DB_MAXARRAY;  // strings of one field a block takes

// One row of a resident block as a read-only record of the header's schema, without the
// page's pseudo-records: its cells are decoded as views into fields of this object. Valid
// while the block stays resident and unchanged.
class RowRecord {
 public:
  // With keysOnly the fields that are not hash keys are left unset: enough for the hash
  // index, which depends on the hash-key fields alone.
  RowRecord(DBRecordBlock* rb, int r, const DBHeader* header, long hash, bool keysOnly = false)
      : link(0), nf(rb->NFields()) {
    // Only the row's fields are made (a record has up to 128).
    fields = reinterpret_cast<DBField*>(raw);
    const DBFieldS* cells = rb->Row(r);
    int nh = header->GetNFields();
    for (int f = 0; f < nf; f++) {
      new (&fields[f]) DBField();
      if (!keysOnly || (f < nh && (header->GetDetails(f)->flags & DBFDhashkey)))
        fields[f] = &cells[f];
    }
    link.field = fields;
    link.nfields = static_cast<int16_t>(nf);
    link.readonly = -1;  // the fields are not the link's to free
    link.ihash = hash;
    rec.l = &link;
    rec.finfo = header;
    rec.sortord = header->GetNFields() > 0 ? &header->sord : nullptr;
  }
  ~RowRecord() {
    rec.Empty();
    for (int f = 0; f < nf; f++) fields[f].~DBField();
  }
  RowRecord(const RowRecord&) = delete;
  RowRecord& operator=(const RowRecord&) = delete;

  alignas(DBField) unsigned char raw[DB_MAXFIELDS * sizeof(DBField)];
  DBField* fields;
  DBRLink link;
  int nf;
  DBRecord rec;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction, classification, end

DBAccess::DBAccess(DBHeader* h, std::iostream* stream, bool readonly)
    : DBAccess(h, stream, nullptr, readonly) {}

DBAccess::DBAccess(DBHeader* h, std::iostream* stream, const DBFile* file, bool readonly)
    : strpos(0),
      rwidth(1),
      nrused(0),
      nravail(0),
      next(nullptr),
      state(DBPSclean),
      header(nullptr),
      views(nullptr),
      viewcap(0),
      sindex(nullptr),
      lastAdd(nullptr) {
  objSize = DB_BLOCKSIZE;
  pdir = new DBPageDir(this, true);
  Init(h, stream, file, readonly);
}

DBAccess::DBAccess(const DBAccess* prev)
    : strpos(prev != nullptr ? prev->strpos + DB_BLOCKSIZE : 0),
      rwidth(-1),
      nrused(-1),
      nravail(-1),
      next(nullptr),
      state(DBPSclean),
      header(prev ? prev->header : nullptr),
      views(nullptr),
      viewcap(0),
      sindex(nullptr),
      lastAdd(nullptr),
      journal(prev != nullptr ? prev->journal : nullptr),
      view(prev != nullptr ? prev->view : nullptr) {
  objSize = DB_BLOCKSIZE;
  bihset.NewBitMap(static_cast<uint32_t>(DB_HASHSETLEN), true);
}

DBAccess::DBAccess(const DBAccess* prev, long long filelen) : DBAccess(prev) {
  Classify(filelen);
}

DBAccess::~DBAccess() {
  if (ownJournal != nullptr && header != nullptr) {
    // The sync completes here; when it cannot, the changes are dropped and the file left as
    // the last complete sync left it (records still handed out cannot be synced).
    if (AnyInUse() || !JournaledSync(true)) {
      if (Unsynced())
        DMESSAGE(DMCdata, "Changes not written to the database are lost: %s",
                 syncError.empty() ? "records were still in use" : syncError.c_str());
      Discard();
    }
  }
  // Behind a journal nothing is written outside its syncs: what they did not write is dropped.
  if (journal != nullptr && BlockChanged()) state = DBPSclean;
  // The directory goes first: the pages deleted below report to it no more.
  delete pdir;
  pdir = nullptr;
  DeleteFollowingPages();
  while (RetainCount() > 0 && objCache != nullptr) ReleaseObject(objCache);
  if (!FlushPage()) {
    DMESSAGE(DMCdata, "Could not sync database block");
    state = DBPSclean;
  }
  DropMemory();
  delete ownJournal;
  delete ownView;
  delete sideState;
  CacheObject::tab.Charge(-static_cast<int64_t>(hashCharge));
}

void DBAccess::DeleteFollowingPages() {
  DeleteChain(next, &DBAccess::next);
}

int DBAccess::HeaderWidth(const DBHeader* h) {
  return h != nullptr ? h->GetNFields() : 1;
}

void DBAccess::SetCount(int n) {
  nrused = n;
  if (indir != nullptr) indir->SetCount(dirIndex, n);
}

void DBAccess::HashAdded(uint32_t hash) {
  bihset.Set(hash % static_cast<uint32_t>(DB_HASHSETLEN));
  if (hashesKnown) hashes.push_back(hash);
  if (indir != nullptr) indir->HashAdded(dirIndex, hash);
  ChargeHashes();
}

void DBAccess::ChargeHashes() {
  size_t now = bihset.Bytes() + hashes.capacity() * sizeof(uint32_t);
  if (now == hashCharge) return;
  CacheObject::tab.Charge(static_cast<int64_t>(now) - static_cast<int64_t>(hashCharge));
  hashCharge = now;
}

void DBAccess::HashChanged() {
  if (indir != nullptr) indir->HashChanged(dirIndex);
}

void DBAccess::AnyHash() {
  if (hashesKnown && indir != nullptr) indir->HashesRemoved(dirIndex, hashes.size());
  bihset.NewBitMap(static_cast<uint32_t>(DB_HASHSETLEN), true);
  hashesKnown = false;
  std::vector<uint32_t>().swap(hashes);
  HashChanged();
  ChargeHashes();
}

void DBAccess::MakeUnknown(DBPageState st) {
  rwidth = nravail = -1;
  SetCount(-1);
  AnyHash();
  state = st;
}

void DBAccess::MakeEmpty() {
  rwidth = HeaderWidth(header);
  SetCount(0);
  nravail = rwidth > 0 ? DB_BLOCKCELLS / rwidth : 0;
  bihset.NewBitMap(static_cast<uint32_t>(DB_HASHSETLEN), false);
  hashes.clear();
  hashesKnown = true;
  HashChanged();
  ChargeHashes();
  state = DBPSclean;
}

void DBAccess::Classify(long long filelen) {
  // One page per whole block of the file; iterative, so a long file builds no deep recursion.
  for (DBAccess* p = this;;) {
    long long end = p->strpos + DB_BLOCKSIZE;
    if (end == filelen) {
      p->MakeUnknown();
      return;
    }
    if (end > filelen) {
      p->MakeEmpty();
      if (filelen > p->strpos)
        DMESSAGE(DMCwarning, "Partial block of %lld bytes at end of database ignored",
                 filelen - p->strpos);
      return;
    }
    p->MakeUnknown();
    p->next = new DBAccess(p);
    p = p->next;
  }
}

// ---------------------------------------------------------------------------------------
// Resident memory

void DBAccess::DropViews() {
  brl.Resize(0);
  rhash.clear();
}

void DBAccess::NoteSide() {
  size_t perRecord = sizeof(DBRecord) + sizeof(DBRLink) + 16;  // 16: the allocator's share
  sideBytes = static_cast<size_t>(viewcap) * sizeof(DBField) +
              static_cast<size_t>(brl.maxr > 0 ? brl.maxr : 0) * perRecord +
              rhash.capacity() * sizeof(long) + (sindex != nullptr ? sindex->Bytes() : 0);
}

void DBAccess::DropMemory() {
  sideBytes = 0;
  DropViews();
  listed = false;
  delete[] views;
  views = nullptr;
  viewcap = 0;
  delete sindex;
  sindex = nullptr;
  if (objCache != nullptr) {
    std::free(objCache);
    objCache = nullptr;
  }
}

namespace {

// Blocks written back together while their memory is freed before a sync, and whether such a
// batch is being written (a block freed meanwhile is written on its own).
constexpr size_t kWriteBackBatch = 64;
bool writingBack = false;

}  // namespace

void DBAccess::WriteBack() {
  writingBack = true;
  std::vector<DBAccess*> batch;
  std::vector<DBPageState> was;
  std::vector<DBJournal::Piece> pieces;
  for (DBAccess* p = this; p != nullptr && batch.size() < kWriteBackBatch; p = p->next) {
    if (p->objCache == nullptr || !p->BlockChanged()) continue;
    if (p != this) {
      // Only blocks whose readying takes no memory (which could free other blocks meanwhile),
      // held so that none is freed before the batch is written.
      DBRecordBlock* b = static_cast<DBRecordBlock*>(p->objCache);
      if (p->InUse() ||
          (p->state == DBPScompact &&
           (!p->hashesKnown || p->hashes.size() != static_cast<size_t>(b->NRecords()))))
        continue;
      if (p->LoadRaw() == nullptr) continue;
    }
    DBPageState w;
    DBRecordBlock* rb = p->PrepareWrite(&w);
    if (rb == nullptr) {
      if (p != this) p->ReleaseBlock(static_cast<DBRecordBlock*>(p->objCache));
      continue;
    }
    batch.push_back(p);
    was.push_back(w);
    pieces.push_back({p->strpos, rb->b, DB_BLOCKSIZE});
  }
  bool written = !pieces.empty() && journal->Update(pieces);
  for (size_t i = 0; i < batch.size(); i++) {
    DBAccess* p = batch[i];
    DBRecordBlock* rb = static_cast<DBRecordBlock*>(p->objCache);
    p->FinishWrite(rb, written, was[i]);
    if (p != this) p->ReleaseBlock(rb);
  }
  writingBack = false;
}

bool DBAccess::FlushPage() {
  if (objCache == nullptr || InUse()) return true;
  if (BlockChanged()) {
    // After a write that failed (the disk full, say) no block is written back before a sync
    // succeeds: the block stays, and the next sync writes it.
    if (journal != nullptr && journal->Failed()) return false;
    if (journal != nullptr && !writingBack && header != nullptr && !header->ReadOnly()) {
      WriteBack();
      // Written back with its batch; or not, and then not tried again on its own (another
      // process holding the file would be waited for twice).
      if (journal->Failed()) return false;
    }
    if (state == DBPSerror || !SyncPage(false)) {
      if (state != DBPSerror) return false;  // a failed write: the block stays for later
      DMESSAGE(DMCdata, "Could not sync database block");
      MakeUnknown(DBPSerror);
    }
  }
  DropMemory();
  return true;
}

void DBAccess::FreeMemory() {
  // Behind a journal the failure is noted there, and the next sync tells it.
  if (!FlushPage() && journal == nullptr) DMESSAGE(DMCdata, "Could not sync database block");
}

bool DBAccess::EnsureViews(int rows) {
  int nf = objCache != nullptr ? static_cast<DBRecordBlock*>(objCache)->NFields() : 0;
  long need = static_cast<long>(rows) * nf;
  if (need <= viewcap) return true;
  long cap = viewcap > 0 ? 2L * viewcap : need;
  if (cap < need) cap = need;
  if (cap > DB_BLOCKCELLS) cap = DB_BLOCKCELLS > need ? DB_BLOCKCELLS : need;
  // A retained block cannot be purged itself: room is made for its views (a block being
  // loaded had room made for them with it).
  if (InUse())
    CacheMakeRoom(static_cast<uint64_t>(cap) * sizeof(DBField) +
                  static_cast<uint64_t>(rows) * (sizeof(DBRecord) + sizeof(DBRLink) + 16));
  DBField* nv = new (std::nothrow) DBField[cap];
  if (nv == nullptr) return false;
  delete[] views;
  views = nv;
  viewcap = static_cast<int>(cap);
  return true;
}

// Decodes the cells of rows fromRow.. into the views and points the pseudo-records at them.
void DBAccess::PointViews(int fromRow) {
  DBRecordBlock* rb = static_cast<DBRecordBlock*>(objCache);
  int nf = rb->NFields();
  int nr = brl.GetSize();
  DBRecord* recs = brl.Array();
  for (int r = fromRow; r < nr; r++) {
    DBField* row = views + static_cast<long>(r) * nf;
    const DBFieldS* cells = rb->Row(r);
    for (int f = 0; f < nf; f++) row[f] = &cells[f];
    DBRLink* link = recs[r].l;
    link->field = row;
    link->nfields = static_cast<int16_t>(nf);
    link->readonly = -1;
  }
}

void DBAccess::ListRecords() {
  DBRecordBlock* rb = static_cast<DBRecordBlock*>(objCache);
  if (!DMASSERT(rb != NULL)) return;
  DropViews();
  int nr = rb->NRecords();
  if (header == nullptr || (rb->NFields() < 1 && nr > 0)) {
    DMESSAGE(DMCassert, "Pseudo failed in ListRecords");
    return;
  }
  listed = true;
  if (nr == 0) return;
  if (!EnsureViews(nr) || brl.Init(header, nr) != nr) {
    DMESSAGE(DMCassert, "Pseudo failed in ListRecords");
    DropViews();
    return;
  }
  // Views of an earlier layout may remain: every row is decoded again.
  PointViews(0);
  DBRecord* recs = brl.Array();
  // The kept hashes spare computing them again; those an index file gave are checked against
  // the records once.
  bool known = hashesKnown && hashes.size() == static_cast<size_t>(nr);
  if (known && vouched) {
    vouched = false;
    bool same = true;
    for (int r = 0; r < nr; r++) recs[r].l->ihash = -2;
    for (int r = 0; r < nr && same; r++) {
      const long h = recs[r].HashIndex();
      same = h >= 0 && static_cast<uint32_t>(h) == hashes[static_cast<size_t>(r)];
    }
    if (!same) {
      const char* why = "its records differ from the ones the database's index file keeps for it";
      if (!header->ReadOnly()) {
        DMESSAGE(DMCdata, "Corrupted database disk block: %s", why);
        DamageFound(why);
      }
      IndexRecords();  // the page learns its hashes from the records
    }
    return;
  }
  vouched = false;
  for (int r = 0; r < nr; r++)
    recs[r].l->ihash = known ? static_cast<long>(hashes[static_cast<size_t>(r)]) : -2;
}

void DBAccess::IndexRecords() {
  IndexRows(nullptr);
}

void DBAccess::IndexRows(DBRecordBlock* rb) {
  HashChanged();
  bihset.ClearBitMap(false);
  int nr = rb != nullptr ? rb->NRecords() : brl.GetSize();
  hashes.resize(static_cast<size_t>(nr));
  for (int r = 0; r < nr; r++) {
    long h;
    if (rb != nullptr) {
      RowRecord row(rb, r, header, -2, true);
      h = row.rec.HashIndex();
    } else {
      h = brl.Array()[r].HashIndex();
    }
    if (h < 0) {
      AnyHash();
      return;
    }
    hashes[static_cast<size_t>(r)] = static_cast<uint32_t>(h);
    bihset.Set(static_cast<uint32_t>(h % DB_HASHSETLEN));
  }
  hashesKnown = true;
  ChargeHashes();
}

uint64_t DBAccess::blockReads = 0;

bool DBAccess::RestoreMemory() {
  if (objCache != nullptr) return state != DBPSerror;
  if (state == DBPSerror) return false;
  // Room is made for the block: the page's records are made only when asked for (with room
  // asked for then).
  CacheMakeRoom(DB_BLOCKSIZE);
  // A page with nothing stored starts as a zeroed block, which fresh memory already is.
  bool empty = nrused == 0;
  void* mem = empty ? std::calloc(1, DB_BLOCKSIZE) : std::malloc(DB_BLOCKSIZE);
  if (mem == nullptr) {
    DMESSAGE(DMCmemory, "malloc failed on %d byte database block", DB_BLOCKSIZE);
    return false;
  }
  objCache = mem;
  objSize = DB_BLOCKSIZE;
  DBRecordBlock* rb = static_cast<DBRecordBlock*>(mem);
  if (empty) {  // nothing stored yet: no need to read
    rb->SetMagic(DB_BLOCKMAGIC);
    DropViews();
    listed = true;
    return true;
  }
  bool unknown = nrused < 0;
  bool changedOnDisk = false;
  std::iostream* s = header != nullptr ? header->GetStream() : nullptr;
  bool failed = false;
  blockReads++;
  if (view != nullptr) {
    // A file opened read-only, which another process may be writing.
    const long long got = view->Read(strpos, rb->b, DB_BLOCKSIZE, nullptr);
    if (got == DBJournalView::kTurnedAway) {
      // Its writer holds the file while the program cannot wait for it: nothing is wrong with
      // the block, which is read when next asked for.
      std::free(mem);
      objCache = nullptr;
      return false;
    }
    if (got != DB_BLOCKSIZE) {
      failed = true;
      DMESSAGE(DMCsystem, "Database block read error");
    }
  } else if (s == nullptr) {
    failed = true;
    DMESSAGE(DMCsystem, "Cannot seek to block in database");
  } else {
    s->clear();
    s->seekg(strpos);
    if (s->fail()) {
      failed = true;
      DMESSAGE(DMCsystem, "Cannot seek to block in database");
    } else {
      s->read(reinterpret_cast<char*>(rb->b), DB_BLOCKSIZE);
      if (s->gcount() != DB_BLOCKSIZE) {
        failed = true;
        DMESSAGE(DMCsystem, "Database block read error");
      }
      s->clear();
    }
  }
  // A block that cannot be read or fails a check of its safety is left out (its page in
  // error); one that breaks only a rule of how the database lays out its blocks is read as it
  // stands. Either way the file is damaged: it is only read from then on.
  if (failed) {
    DamageFound("it cannot be read", false);
  } else {
    bool swapped = rb->Magic() == DB_BLOCKMAGICSWAP;
    bool fileOther = (header->BigEndianFile() != 0) != (DBHeader::bigendian != 0);
    if (swapped != fileOther && (swapped || rb->Magic() == DB_BLOCKMAGIC))
      DMESSAGE(DMCwarning, "Unexpected byte swap in database block");
    const char* rule = "";
    if (swapped && !rb->SwapBlock()) {
      DMESSAGE(DMCdata, "Could not swap bytes in database block");
      failed = true;
      DamageFound("its numbers cannot be turned to this host's byte order", false);
    } else {
      uint64_t digest = rb->Digest(CheckKey());
      if (!hasChecked || digest != checkedDigest) {
        bool readable = false;
        const bool sound = rb->Consistent(header, &rule) && rb->ExactLayout(&rule, &readable);
        const uint32_t sb = rb->StrBytes();
        if (!sound && !readable && (sb & 3) != 0) {
          // A string area of a size that is not whole words (a changed low bit of its count):
          // the records are read over the whole words it holds, when they all lie there.
          rb->SetStrBytes(sb & ~3u);
          const char* other = "";
          if (rb->Consistent(header, &other)) rb->ExactLayout(&other, &readable);
          if (!readable) rb->SetStrBytes(sb);
        }
        if (!sound) {
          DMESSAGE(DMCdata, "Corrupted database disk block: %s", rule);
          failed = !readable;
          DamageFound(rule, readable);
        }
        if (!failed) {
          // A block that changed on disk since it was last read holds records whose hashes
          // may have changed too: they are learnt again. A damaged block read again as it was
          // is not told of again.
          if (hasChecked) changedOnDisk = true;
          checkedDigest = digest;
          hasChecked = true;
          damaged = !sound;
        }
      }
    }
  }
  if (failed) {
    std::free(mem);
    objCache = nullptr;
    MakeUnknown(DBPSerror);
    damaged = true;
    return false;
  }
  if (!unknown) {
    // What the page knows of its block (from the index file, or from reading or writing it
    // before) must be what the block holds; the hashes an index file gave are checked when
    // the records are first made (ListRecords).
    const char* differs = nullptr;
    if (changedOnDisk)
      differs = "it changed on disk since it was read";
    else if (rb->NRecords() != nrused)
      differs = "its record count differs from the one the database keeps for it";
    if (differs != nullptr) {
      vouched = false;
      // A database being written by this process alone is damaged; one only read may have been
      // written by another process since. Either way the page is learnt from the block.
      if (header != nullptr && !header->ReadOnly()) {
        DMESSAGE(DMCdata, "Corrupted database disk block: %s", differs);
        DamageFound(differs);
      }
      unknown = true;
      hashesKnown = false;
      std::vector<uint32_t>().swap(hashes);
    }
  }
  if (rb->NFields() > 0) {
    rwidth = rb->NFields();
    SetCount(rb->NRecords());
    nravail = DBRecordBlock::Estimate(rwidth, nrused, rb->StrBytes());
    // The records are made only when asked for; hashes not known yet are taken from views
    // of the rows, once.
    DropViews();
    listed = false;
    if (unknown || !hashesKnown || hashes.size() != static_cast<size_t>(nrused)) IndexRows(rb);
  } else {
    MakeEmpty();
    DropViews();
    listed = true;
  }
  state = DBPSclean;
  NoteSide();
  return true;
}

bool DBAccess::SyncPage(bool keep) {
  if (state == DBPSclean) return true;
  DBPageState was;
  DBRecordBlock* rb = PrepareWrite(&was);
  if (rb == nullptr) return false;
  bool ok = WriteBlock(rb);
  if (!FinishWrite(rb, ok, was)) {
    if (!ok && journal == nullptr) DMESSAGE(DMCsystem, "Database block write error");
    return false;
  }
  (void)keep;  // the block stays valid either way; the caller frees it when asked to
  return true;
}

DBRecordBlock* DBAccess::PrepareWrite(DBPageState* was) {
  if (state == DBPSerror || header == nullptr || header->ReadOnly()) return nullptr;
  if (!DMASSERT(objSize == sizeof(DBRecordBlock))) return nullptr;
  DBRecordBlock* rb = static_cast<DBRecordBlock*>(objCache);
  if (!DMASSERT(rb != NULL)) return nullptr;
  *was = state;
  if (state == DBPScompact) {
    DropViews();  // the pseudo-records point into the cells and data that move
    rb->Compact(sindex);
    // Compaction moves only the string data: the records and their hashes stay as they are,
    // and the pseudo-records are made again when next asked for.
    if (!hashesKnown || hashes.size() != static_cast<size_t>(rb->NRecords())) {
      ListRecords();
      IndexRecords();
    } else {
      listed = false;
    }
    *was = DBPSsync;
  }
  state = DBPSerror;
  const char* rule = "";
  if (!rb->Consistent(header, &rule)) {
    DMESSAGE(DMCdata, "Corrupted database memory block: %s", rule);
    return nullptr;
  }
  // The file keeps one byte order: a block of the other order is swapped for the write and
  // back again (the pseudo-records view its data in host order).
  if (OtherOrder() && !rb->SwapBlock()) return nullptr;
  return rb;
}

bool DBAccess::OtherOrder() const {
  return (header->BigEndianFile() != 0) != (DBHeader::bigendian != 0);
}

bool DBAccess::FinishWrite(DBRecordBlock* rb, bool written, DBPageState was) {
  if (OtherOrder() && !rb->SwapBlock()) return false;
  if (!written) {
    state = was;  // written again at the next sync
    return false;
  }
  state = DBPSclean;
  uncommitted = journal != nullptr;
  NoteChecked(rb);  // it passed the checks before it was written
  return true;
}

namespace {

// The key of the block digests: secret to the process, so that no file can be made to give
// another block's digest.
uint64_t DigestKey() {
  static const uint64_t key = [] {
    uint64_t k = 0;
    if (getrandom(&k, sizeof(k), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(k)))
      k = static_cast<uint64_t>(wallTime() * 1e6) ^ reinterpret_cast<uintptr_t>(&k);
    return k;
  }();
  return key;
}

}  // namespace

uint64_t DBAccess::CheckKey() const {
  // The schema's types and multi-valued flags take part: a block checked under one schema is
  // checked again under another.
  uint64_t k = DigestKey();
  int nf = header != nullptr ? header->GetNFields() : 0;
  for (int f = 0; f < nf; f++) {
    const DBFDetails* d = header->GetDetails(f);
    k = (k ^ static_cast<uint64_t>(d->dtype * 2 + ((d->flags & DBFDmulti) != 0))) *
        0x100000001B3ull;
  }
  return k ^ static_cast<uint64_t>(nf);
}

void DBAccess::NoteChecked(const DBRecordBlock* rb) {
  checkedDigest = rb->Digest(CheckKey());
  hasChecked = true;
}

bool DBAccess::WriteBlock(const DBRecordBlock* rb) {
  if (journal != nullptr) {
    // A block written back to free memory outside a sync: the next sync completes what this
    // starts.
    return journal->Update({{strpos, rb->b, DB_BLOCKSIZE}});
  }
  std::iostream* s = header->GetStream();
  bool ok = false;
  if (s != nullptr) {
    // A stream that cannot seek past its end (a string stream) is first filled up to the
    // block with zeros; the header and earlier blocks are written over them in their turn.
    s->clear();
    s->seekp(0, std::ios::end);
    long long len = static_cast<long long>(s->tellp());
    if (len >= 0 && len < strpos) {
      static const char zeros[4096] = {0};
      for (long long k = len; k < strpos && !s->fail();) {
        long long m = strpos - k < 4096 ? strpos - k : 4096;
        s->write(zeros, static_cast<std::streamsize>(m));
        k += m;
      }
    } else {
      s->seekp(strpos);
    }
    s->write(reinterpret_cast<const char*>(rb->b), DB_BLOCKSIZE);
    s->flush();
    ok = !s->fail();
    s->clear();
  }
  return ok;
}

int DBAccess::NRecords() {
  if (nrused < 0 && state != DBPSerror) FreeLoad();
  return nrused;
}

void DBAccess::FreeLoad() {
  DBRecordBlock* rb = LoadRaw();
  if (rb != nullptr) ReleaseBlock(rb);
}

// ---------------------------------------------------------------------------------------
// Placing a record

int DBAccess::PutRecord(const DBRecord& rec) {
  const DBFieldInfo* rs = rec.GetFieldInfo();
  int nfr = rec.GetNAlloc();
  int firstSet = 0;  // whether any field is set: the first set one is enough to know
  while (firstSet < nfr && rec.l->field[firstSet].nv == 0) firstSet++;
  if (rs == nullptr || nfr < 1 || firstSet == nfr) {
    DMESSAGE(DMCwarning, "Pretending to add empty record to database");
    return 1;
  }
  if (header == nullptr) return 0;
  if (nrused == 0 && state != DBPSerror &&
      (objCache == nullptr || static_cast<DBRecordBlock*>(objCache)->NFields() == 0)) {
    // A page without a block yet takes the schema as it is now.
    rwidth = HeaderWidth(header);
    nravail = rwidth > 0 ? DB_BLOCKCELLS / rwidth : 0;
  }
  if (rwidth < 0 || nravail < 0) FreeLoad();
  if (nfr > rwidth || nravail < 1) return 0;
  // A block retained by someone else keeps its pseudo-records in step (the caller may be
  // walking them); otherwise they are made again only when next asked for.
  bool inUse = InUse();
  if (inUse) DMESSAGE(DMCwarning, "Adding record to block in use");
  DBRecordBlock* rb = inUse ? LoadBlock() : LoadRaw();
  if (rb == nullptr) return 0;
  if (rb->NFields() == 0) rb->SetNFields(rwidth);
  int nf = rb->NFields();
  int nr0 = rb->NRecords();
  uint32_t sb0 = rb->StrBytes();
  if (rb->FreeBytes() < static_cast<long>(DB_CELLSIZE) * nf) {
    nravail = 0;
    if (nr0 == 0) rb->SetNFields(0);
    ReleaseBlock(rb);
    return 0;
  }
  rb->SetNRecords(nr0 + 1);
  DBFieldS* row = rb->Row(nr0);
  memset(row, 0, static_cast<size_t>(nf) * DB_CELLSIZE);
  // Record fields map by name onto the header's ids, which are the cell indexes.
  int map[DB_MAXFIELDS];
  bool identity = rs == header;
  if (!identity) header->MapIDs(map, rs);
  if (sindex == nullptr) sindex = new DBStrIndex;
  bool fits = true;
  const char* strs[kMaxStrings];
  for (int j = 0; j < nfr && fits; j++) {
    const DBField& f = rec.l->field[j];
    if (f.nv == 0) continue;
    int h = identity ? j : map[j];
    const DBFDetails* d = h >= 0 ? header->GetDetails(h) : nullptr;
    // A field beyond the block's row has no cell here: it is never written outside the row.
    if (d == nullptr || h >= nf || (d->dtype != DBDTunknown && d->dtype != f.dt) ||
        (f.nv > 1 && !(d->flags & DBFDmulti))) {
      DMESSAGE(DMCdata, "Cannot assign field %s in PutRecord", rs->GetName(j));
      continue;
    }
    DBFieldS& cell = row[h];
    if (f.dt == DBDTstring) {
      int n = f.nv;
      if (n > kMaxStrings) {
        DMESSAGE(DMCparameter, "Too many strings in field %s in PutRecord", rs->GetName(j));
        n = kMaxStrings;
      }
      n = f.Get(strs, n);
      const char* p = n > 0 ? rb->StrAlloc(strs, n, sindex) : nullptr;
      if (p == nullptr) {
        fits = false;
        break;
      }
      cell.SetOffsetArray(DBDTstring, n, p);
    } else if (f.dt != DBDTint && f.dt != DBDTfloat) {
      DMESSAGE(DMCparameter, "Missing type in PutRecord");
    } else if (f.nv == 1) {
      cell.dt = f.dt;
      cell.fl = 0;
      cell.nv = 1;
      if (f.dt == DBDTint)
        cell.v.mint = static_cast<int32_t>(f.GetInt(0));
      else
        cell.v.mfloat = f.GetFloat(0);
    } else {
      uint32_t bytes = 4u * f.nv;
      if (rb->FreeBytes() < static_cast<long>(bytes)) {
        fits = false;
        break;
      }
      rb->SetStrBytes(rb->StrBytes() + bytes);
      unsigned char* dest = rb->End() - rb->StrBytes();
      const void* src = f.GetPointer(0);
      if (src != nullptr)
        memcpy(dest, src, bytes);
      else
        memset(dest, 0, bytes);
      cell.SetOffsetArray(static_cast<DBDataType>(f.dt), f.nv, dest);
    }
  }
  if (!fits) {
    // Withdraw the row and whatever it placed in the string area.
    uint32_t added = rb->StrBytes() - sb0;
    memset(rb->End() - rb->StrBytes(), 0, added);
    memset(row, 0, static_cast<size_t>(nf) * DB_CELLSIZE);
    rb->SetStrBytes(sb0);
    rb->SetNRecords(nr0);
    if (added > 0) sindex->Invalidate();
    nravail = 0;
    if (nr0 == 0) {
      rb->SetNFields(0);
      ReleaseBlock(rb);
      DMESSAGE(DMCdata, "Record bigger than database block");
      return -1;
    }
    ReleaseBlock(rb);
    return 0;
  }
  if (!inUse) {
    // The hash is taken from a view of the stored row, as the pseudo-record would give it.
    if (listed) {
      DropViews();
      listed = false;
    }
    RowRecord stored(rb, nr0, header, -2, true);
    NewRowHash(stored.rec.HashIndex(), nr0);
  } else {
    KeepListed(nr0);
  }
  SetCount(nr0 + 1);
  nravail = DBRecordBlock::Estimate(nf, nrused, rb->StrBytes());
  if (state == DBPSclean) state = DBPSsync;
  NoteSide();
  ReleaseBlock(rb);
  return 1;
}

// Appends the pseudo-record of the new row nr0 to those of a block in use.
void DBAccess::KeepListed(int nr0) {
  bool inStep = brl.GetSize() == nr0;
  if (inStep && brl.GetFieldInfo() != header) {
    inStep = nr0 == 0;
    if (inStep) brl.Init(header, 0);
    rhash.clear();
  }
  int oldcap = viewcap;
  inStep = inStep && EnsureViews(nr0 + 1) && brl.Resize(nr0 + 1) == nr0 + 1;
  if (inStep) {
    // The views array may have moved: then every record is pointed at it again.
    PointViews(viewcap == oldcap ? nr0 : 0);
    brl.Array()[nr0].l->ihash = -2;
    rhash.clear();
    NewRowHash(brl.Array()[nr0].HashIndex(), nr0);
  } else {
    DMESSAGE(DMCassert, "Pseudo failed in PutRecord");
    rhash.clear();
    ListRecords();
    AnyHash();
  }
}

void DBAccess::NewRowHash(long h, int row) {
  if (h < 0) {
    AnyHash();
    return;
  }
  if (hashesKnown && hashes.size() != static_cast<size_t>(row)) {
    hashesKnown = false;  // out of step with the rows: learnt again at the next load
    std::vector<uint32_t>().swap(hashes);
    HashChanged();
    ChargeHashes();
  }
  HashAdded(static_cast<uint32_t>(h));
}

// Tests this page's records from *rel on; *rel advances per record examined.
int DBAccess::PageFind(const DBQueryPlan& plan, DBRecord* out, int n, int* rel, bool mayMatch) {
  int k = nrused;
  if (!mayMatch) {
    *rel = k;
    return 0;
  }
  long only = plan.OnlyHash();
  DBRecordBlock* rb = LoadRaw();
  if (rb == nullptr) {
    *rel = k;
    return 0;
  }
  if (!listed && only >= 0 && hashesKnown && hashes.size() == static_cast<size_t>(rb->NRecords())) {
    // The rows' hashes are known: only the rows of the hash sought are decoded, each for as
    // long as it is tested and copied; the page's records are not made.
    int found = 0;
    int m = rb->NRecords();
    int r = *rel < 0 ? 0 : *rel;
    const uint32_t* hs = hashes.data();
    for (; r < m && found < n; r++) {
      if (static_cast<long>(hs[r]) != only) continue;
      RowRecord row(rb, r, header, only);
      if (plan.Match(row.rec)) out[found++] = row.rec;
    }
    *rel = found < n ? k : r;
    ReleaseBlock(rb);
    return found;
  }
  if (!listed) {
    ListRecords();
    NoteSide();
  }
  int found = 0;
  int m = brl.GetSize();
  const DBRecord* recs = brl.GetArray();
  int r = *rel;
  if (only >= 0) {
    // A single exact selector: a record of another hash index (or of none) cannot match.
    // The records' hash indexes are kept in one array while the page is resident.
    if (hashesKnown && hashes.size() == static_cast<size_t>(m)) {
      // The hashes kept for the page: nothing is computed again after a load.
      const uint32_t* hs = hashes.data();
      for (; r < m && found < n; r++)
        if (static_cast<long>(hs[r]) == only && plan.Match(recs[r])) out[found++] = recs[r];
    } else {
      if (rhash.size() != static_cast<size_t>(m)) {
        rhash.resize(static_cast<size_t>(m));
        for (int i = 0; i < m; i++) rhash[i] = recs[i].l != nullptr ? recs[i].HashIndex() : -1;
        NoteSide();
      }
      const long* hs = rhash.data();
      for (; r < m && found < n; r++)
        if (hs[r] == only && plan.Match(recs[r])) out[found++] = recs[r];
    }
  } else {
    for (; r < m && found < n; r++)
      if (plan.Match(recs[r])) out[found++] = recs[r];
  }
  *rel = found < n ? k : r;
  ReleaseBlock(rb);
  return found;
}

namespace {

// Whether the float values of key, a record equal to stored, are stored's to the bit (the
// engine's equality allows floats a tolerance).
bool SameFloats(const DBRecord& stored, const DBRecord& key) {
  const int n = key.GetNAlloc();
  for (int j = 0; j < n; j++) {
    const DBField* f = key.GetField(j);
    if (f == nullptr || f->GetDT() != DBDTfloat) continue;
    const int id = stored.GetFieldInfo()->XlateID(key.GetFieldInfo(), j);
    if (id < 0 || stored[id].Compare(*f) != 0) return false;
  }
  return true;
}

}  // namespace

int DBAccess::PageDelete(const DBDeleteKeys& keys, Taken* taken) {
  if (NRecords() <= 0 || !keys.MayHold(bihset)) return 0;
  if (hashesKnown && !keys.unhashed && hashes.size() == static_cast<size_t>(nrused)) {
    // The records' hashes tell without reading the block whether any may be a key.
    bool any = false;
    for (size_t r = 0; r < hashes.size() && !any; r++) {
      auto run = keys.Of(static_cast<long>(hashes[r]));
      any = run.first != run.second;
    }
    if (!any) return 0;
  }
  const bool inUse = InUse();
  if (inUse) DMESSAGE(DMCwarning, "Deleting records from block in use");
  // With the rows' hashes known (and checked) and nobody holding the page's records, only the
  // rows of a key's hash are decoded, each while it is compared; the records are not made.
  const bool byRow =
      !inUse && !listed && !vouched && hashesKnown && hashes.size() == static_cast<size_t>(nrused);
  DBRecordBlock* rb = byRow ? LoadRaw() : LoadBlock();
  if (rb == nullptr) return 0;
  const bool rows = byRow && !listed && hashes.size() == static_cast<size_t>(rb->NRecords());
  if (!rows && !listed) {
    ListRecords();
    NoteSide();
  }
  int nr = rows ? rb->NRecords() : brl.GetSize();
  ABitMap marks(static_cast<uint32_t>(nr > 0 ? nr : 0));
  int deleted = 0;
  const bool known = hashesKnown && !vouched && hashes.size() == static_cast<size_t>(nr);
  for (int r = 0; r < nr; r++) {
    long h = known ? static_cast<long>(hashes[static_cast<size_t>(r)]) : brl.Array()[r].HashIndex();
    auto run = keys.Of(h < 0 ? -1 : h);
    if (run.first == run.second) continue;
    std::optional<RowRecord> row;
    if (rows) row.emplace(rb, r, header, h);
    const DBRecord& stored = rows ? row->rec : brl.Array()[r];
    for (auto* c = run.first; c != run.second; ++c) {
      if (!(stored == *c->second)) continue;
      marks.Set(static_cast<uint32_t>(r));
      deleted++;
      if (taken != nullptr) {
        if (SameFloats(stored, *c->second)) {
          taken->keys.push_back(c->second);
        } else {
          int k = taken->copies.GetSize();
          if (taken->copies.Resize(k + 1) == k + 1) taken->copies[k] = stored;
        }
      }
      break;
    }
  }
  if (deleted > 0) {
    DropViews();  // the rows move
    rb->DeleteRecords(marks);
    if (hashesKnown && hashes.size() == static_cast<size_t>(nr)) {
      // The kept hashes follow the rows; the bit set keeps the deleted ones' bits.
      size_t k = 0;
      for (int r = 0; r < nr; r++)
        if (!marks.Check(static_cast<uint32_t>(r))) hashes[k++] = hashes[static_cast<size_t>(r)];
      if (indir != nullptr) indir->HashesRemoved(dirIndex, hashes.size() - k);
      hashes.resize(k);
    } else if (hashesKnown) {
      hashesKnown = false;
      std::vector<uint32_t>().swap(hashes);
      HashChanged();
      ChargeHashes();
    }
    if (rb->NRecords() == 0) {
      rb->Reset();
      if (sindex != nullptr) sindex->Invalidate();
      MakeEmpty();
      state = DBPSsync;
    } else {
      // The dead data goes at once, so that records added later can use its room; the block
      // is compacted again (moving nothing) before it is written.
      rb->Compact(sindex);
      SetCount(rb->NRecords());
      nravail = DBRecordBlock::Estimate(rb->NFields(), nrused, rb->StrBytes());
      state = DBPScompact;
      // A holder of the page's records walks them in step; otherwise they are made again
      // only when next asked for.
      listed = false;
      if (inUse) ListRecords();
      NoteSide();
    }
  }
  ReleaseBlock(rb);
  return deleted;
}
