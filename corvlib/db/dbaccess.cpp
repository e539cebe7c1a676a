// The paged record store: pages of a database file as cache objects, loading and writing
// blocks, placing records, and the database operations over the chain of pages.
#include "db/dbaccess.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include "support/dmessage.h"

namespace {

constexpr int kMaxStrings = DB_MAXARRAY;  // strings of one field a block takes

// Whether two bit sets of one length share a set bit.
bool Intersects(const ABitMap& a, const ABitMap& b) {
  if (a.Length() != b.Length()) return true;
  const uint32_t* wa = a.Words();
  const uint32_t* wb = b.Words();
  uint32_t n = a.NumWords();
  for (uint32_t i = 0; i < n; i++)
    if (wa[i] & wb[i]) return true;
  return false;
}

int HeaderWidth(const DBHeader* h) {
  return h != nullptr ? h->GetNFields() : 1;
}

// Beyond this many pages the directory would grow too large (rows x pages bits): exact
// look-ups then walk the pages' own bit sets.
constexpr size_t kMaxDirectoryPages = 8192;
// A page with more hash bits than this counts as a candidate for every bucket (an unknown
// page's set is all ones) instead of filling its column.
constexpr uint32_t kWildBits = 4096;

}  // namespace

// The directory of the first page. rows holds one row of bits per hash bucket, a bit per
// page: a superset of the pages whose set has that bucket (wild pages aside, which may hold
// any). A look-up checks each candidate's own bit set, so bits left over from records
// deleted since cost time but never change a result. A hash bit added to a page sets its
// directory bit at once; any other change of a page's set marks its column dirty, and dirty
// columns are filled in again (their bits OR-ed in) before the next look-up. counts mirrors
// every page's record count, starts their running sums (recomputed when a count changed).
struct DBAccess::PageIndex {
  bool ready = false;   // every page of pagedir knows its place; columns valid but dirty ones
  bool usable = false;  // ready, and the chain is not too long for a directory
  size_t npages = 0;
  size_t stride = 0;  // 64-bit words per row
  std::vector<uint64_t> rows;
  std::vector<uint64_t> wild;  // pages that may hold any bucket
  std::vector<int> counts;     // records per page, -1 unknown
  std::vector<long long> starts;
  bool startsOK = false;
  size_t unknownCounts = 0;
  std::vector<size_t> dirty;
  std::vector<uint8_t> isDirty;
  size_t refreshed = 0;   // columns filled in again since the directory was built
  unsigned long gen = 0;  // changes of counts or sets (other than added bits)
};

// ---------------------------------------------------------------------------------------
// Construction, classification, end

DBAccess::DBAccess(DBHeader* h, std::iostream* stream, bool readonly)
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
  isHead = true;
  pindex = new PageIndex;
  Init(h, stream, readonly);
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
      lastAdd(nullptr) {
  objSize = DB_BLOCKSIZE;
  bihset.NewBitMap(static_cast<uint32_t>(DB_HASHSETLEN), true);
}

DBAccess::DBAccess(const DBAccess* prev, long long filelen) : DBAccess(prev) {
  Classify(filelen);
}

DBAccess::~DBAccess() {
  // The directory goes first: the pages deleted below report to it no more.
  delete pindex;
  pindex = nullptr;
  DeleteFollowingPages();
  while (RetainCount() > 0 && objCache != nullptr) ReleaseObject(objCache);
  if (!FlushPage()) {
    DMESSAGE(DMCdata, "Could not sync database block");
    state = DBPSclean;
  }
  DropMemory();
}

void DBAccess::DeleteFollowingPages() {
  // One at a time, so a long chain builds no deep recursion of destructors.
  DBAccess* p = next;
  next = nullptr;
  while (p != nullptr) {
    DBAccess* n = p->next;
    p->next = nullptr;
    delete p;
    p = n;
  }
}

void DBAccess::MakeUnknown() {
  rwidth = nravail = -1;
  SetCount(-1);
  bihset.NewBitMap(static_cast<uint32_t>(DB_HASHSETLEN), true);
  HashChanged();
  state = DBPSclean;
}

void DBAccess::MakeEmpty() {
  rwidth = HeaderWidth(header);
  SetCount(0);
  nravail = rwidth > 0 ? DB_BLOCKCELLS / rwidth : 0;
  bihset.NewBitMap(static_cast<uint32_t>(DB_HASHSETLEN), false);
  HashChanged();
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

bool DBAccess::Init(DBHeader* h, std::iostream* stream, bool readonly) {
  if (!Close()) DMESSAGE(DMCdata, "Error closing previous database");
  // Pages a refused Close left behind report to no directory any more.
  for (DBAccess* p = this; p != nullptr; p = p->next) p->dirOwner = nullptr;
  if (pindex != nullptr) pindex->ready = pindex->usable = false;
  pagedirOK = false;
  header = nullptr;
  lastAdd = nullptr;
  if (h == nullptr) {
    strpos = 0;
    rwidth = 1;
    nravail = 0;
    SetCount(0);
    state = DBPSclean;
    return false;
  }
  long long pos;
  if (stream != nullptr) {
    pos = h->Attach(stream, readonly);
    if (pos <= 0) {
      h->Attach(nullptr, readonly);
      return false;
    }
  } else {
    stream = h->GetStream();
    pos = h->GetSize();
    if (stream == nullptr || pos <= 0) return false;
  }
  strpos = pos;
  header = h;
  stream->clear();
  stream->seekg(0, std::ios::end);
  long long len = static_cast<long long>(stream->tellg());
  stream->clear();
  if (len < 0) len = 0;
  Classify(len);
  pagedirOK = false;
  return true;
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
  bool clean = true;
  for (DBAccess* p = this; p != nullptr; p = p->next) {
    if (!p->FlushPage()) clean = false;
    if (p->state != DBPSclean) clean = false;
  }
  DeleteFollowingPages();
  bool synced = header->Sync();
  pagedirOK = false;
  pagedir.clear();
  if (pindex != nullptr) pindex->ready = pindex->usable = false;
  dirOwner = nullptr;
  DropMemory();
  state = DBPSclean;
  header = nullptr;
  lastAdd = nullptr;
  return clean && synced;
}

bool DBAccess::Sync() {
  if (header == nullptr) return false;
  bool ok = true;
  for (DBAccess* p = this; p != nullptr; p = p->next)
    if (!p->SyncPage(true)) ok = false;
  if (!header->Sync()) ok = false;
  return ok;
}

bool DBAccess::Ready() const {
  const DBAccess* p = this;
  for (;; p = p->next) {
    if (p->state == DBPSerror) return false;
    if (p->next == nullptr) break;
  }
  return p->header != nullptr && p->header->GetStream() != nullptr && p->header->GetSize() > 0;
}

// ---------------------------------------------------------------------------------------
// Resident memory

void DBAccess::DropMemory() {
  brl.Resize(0);
  rhash.clear();
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

bool DBAccess::FlushPage() {
  if (objCache == nullptr || InUse()) return true;
  if (state == DBPSsync || state == DBPScompact) {
    if (!SyncPage(false)) {
      if (state != DBPSerror) return false;  // a failed write: the block stays for later
      DMESSAGE(DMCdata, "Could not sync database block");
      rwidth = nravail = -1;
      SetCount(-1);
      bihset.ClearBitMap(true);
      HashChanged();
    }
  }
  DropMemory();
  return true;
}

void DBAccess::FreeMemory() {
  if (!FlushPage()) DMESSAGE(DMCdata, "Could not sync database block");
}

bool DBAccess::EnsureViews(int rows) {
  int nf = objCache != nullptr ? static_cast<DBRecordBlock*>(objCache)->NFields() : 0;
  long need = static_cast<long>(rows) * nf;
  if (need <= viewcap) return true;
  long cap = viewcap > 0 ? 2L * viewcap : need;
  if (cap < need) cap = need;
  if (cap > DB_BLOCKCELLS) cap = DB_BLOCKCELLS > need ? DB_BLOCKCELLS : need;
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
  if (!DMASSERT(rb != nullptr)) return;
  brl.Resize(0);
  rhash.clear();
  int nr = rb->NRecords();
  if (header == nullptr || (rb->NFields() < 1 && nr > 0)) {
    DMESSAGE(DMCassert, "Pseudo failed in ListRecords");
    return;
  }
  if (nr == 0) return;
  if (!EnsureViews(nr) || brl.Init(header, nr) != nr) {
    DMESSAGE(DMCassert, "Pseudo failed in ListRecords");
    brl.Resize(0);
    rhash.clear();
    return;
  }
  // Views of an earlier layout may remain: every row is decoded again.
  PointViews(0);
  DBRecord* recs = brl.Array();
  for (int r = 0; r < nr; r++) recs[r].l->ihash = -2;
}

void DBAccess::IndexRecords() {
  HashChanged();
  bihset.ClearBitMap(false);
  for (int r = brl.GetSize(); r-- > 0;) {
    long h = brl.Array()[r].HashIndex();
    if (h < 0) {
      bihset.ClearBitMap(true);
      return;
    }
    bihset.Set(static_cast<uint32_t>(h % DB_HASHSETLEN));
  }
}

bool DBAccess::RestoreMemory() {
  if (objCache != nullptr) return state != DBPSerror;
  if (state == DBPSerror) return false;
  void* mem = CacheMalloc(DB_BLOCKSIZE, __FILE__, __LINE__);
  if (mem == nullptr) return false;
  objCache = mem;
  objSize = DB_BLOCKSIZE;
  DBRecordBlock* rb = static_cast<DBRecordBlock*>(mem);
  if (nrused == 0) {  // nothing stored yet: no need to read
    rb->Reset();
    brl.Resize(0);
    rhash.clear();
    return true;
  }
  bool unknown = nrused < 0;
  std::iostream* s = header != nullptr ? header->GetStream() : nullptr;
  const char* fail = nullptr;
  if (s == nullptr) {
    fail = "";
    DMESSAGE(DMCsystem, "Cannot seek to block in database");
  } else {
    s->clear();
    s->seekg(strpos);
    if (s->fail()) {
      fail = "";
      DMESSAGE(DMCsystem, "Cannot seek to block in database");
    } else {
      s->read(reinterpret_cast<char*>(rb->b), DB_BLOCKSIZE);
      if (s->gcount() != DB_BLOCKSIZE) {
        fail = "";
        DMESSAGE(DMCsystem, "Database block read error");
      }
      s->clear();
    }
  }
  if (fail == nullptr) {
    bool swapped = rb->Magic() == DB_BLOCKMAGICSWAP;
    bool fileOther = (header->BigEndianFile() != 0) != (DBHeader::bigendian != 0);
    if (swapped != fileOther && (swapped || rb->Magic() == DB_BLOCKMAGIC))
      DMESSAGE(DMCwarning, "Unexpected byte swap in database block");
    if (swapped && !rb->SwapBlock()) {
      DMESSAGE(DMCdata, "Could not swap bytes in database block");
      fail = "";
    } else if (!rb->Consistent(header)) {
      DMESSAGE(DMCdata, "Corrupted database disk block");
      fail = "";
    }
  }
  if (fail != nullptr) {
    std::free(mem);
    objCache = nullptr;
    rwidth = nravail = -1;
    SetCount(-1);
    bihset.ClearBitMap(true);
    HashChanged();
    state = DBPSerror;
    return false;
  }
  if (rb->NFields() > 0) {
    rwidth = rb->NFields();
    SetCount(rb->NRecords());
    nravail = DBRecordBlock::Estimate(rwidth, nrused, rb->StrBytes());
    ListRecords();
  } else {
    MakeEmpty();
    brl.Resize(0);
    rhash.clear();
  }
  state = DBPSclean;
  if (unknown) IndexRecords();
  return true;
}

bool DBAccess::SyncPage(bool keep) {
  if (state == DBPSclean) return true;
  if (state == DBPSerror || header == nullptr || header->ReadOnly()) return false;
  if (!DMASSERT(objSize == sizeof(DBRecordBlock))) return false;
  DBRecordBlock* rb = static_cast<DBRecordBlock*>(objCache);
  if (!DMASSERT(rb != nullptr)) return false;
  DBPageState was = state;
  if (state == DBPScompact) {
    brl.Resize(0);  // the pseudo-records point into the cells and data that move
    rhash.clear();
    rb->Compact();
    if (sindex != nullptr) sindex->Invalidate();
    ListRecords();
    IndexRecords();
    was = DBPSsync;
  }
  state = DBPSerror;
  if (!rb->Consistent(header)) {
    DMESSAGE(DMCdata, "Corrupted database memory block");
    return false;
  }
  // The file keeps one byte order: a block of the other order is swapped for the write and
  // back again (the pseudo-records view its data in host order).
  bool other = (header->BigEndianFile() != 0) != (DBHeader::bigendian != 0);
  if (other && !rb->SwapBlock()) return false;
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
  if (other && !rb->SwapBlock()) return false;
  if (!ok) {
    DMESSAGE(DMCsystem, "Database block write error");
    state = was;  // written again at the next sync
    return false;
  }
  state = DBPSclean;
  (void)keep;  // the block stays valid either way; the caller frees it when asked to
  return true;
}

int DBAccess::NRecords() {
  if (nrused < 0 && state != DBPSerror) FreeLoad();
  return nrused;
}

void DBAccess::FreeLoad() {
  DBRecordBlock* rb = LoadBlock();
  if (rb != nullptr) ReleaseBlock(rb);
}

// ---------------------------------------------------------------------------------------
// Placing a record

int DBAccess::PutRecord(const DBRecord& rec) {
  const DBFieldInfo* rs = rec.GetFieldInfo();
  int nfr = rec.GetNAlloc();
  if (rs == nullptr || nfr < 1 || rec.GetNAssigned() < 1) {
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
  if (InUse()) DMESSAGE(DMCwarning, "Adding record to block in use");
  DBRecordBlock* rb = LoadBlock();
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
  // The pseudo-record of the new row.
  bool listed = brl.GetSize() == nr0;
  if (listed && brl.GetFieldInfo() != header) {
    listed = nr0 == 0;
    if (listed) brl.Init(header, 0);
    rhash.clear();
  }
  int oldcap = viewcap;
  listed = listed && EnsureViews(nr0 + 1) && brl.Resize(nr0 + 1) == nr0 + 1;
  if (listed) {
    // The views array may have moved: then every record is pointed at it again.
    PointViews(viewcap == oldcap ? nr0 : 0);
    brl.Array()[nr0].l->ihash = -2;
    long h = brl.Array()[nr0].HashIndex();
    rhash.clear();
    if (h < 0) {
      bihset.ClearBitMap(true);
      HashChanged();
    } else {
      HashAdded(static_cast<uint32_t>(h % DB_HASHSETLEN));
    }
  } else {
    DMESSAGE(DMCassert, "Pseudo failed in PutRecord");
    rhash.clear();
    ListRecords();
    bihset.ClearBitMap(true);
    HashChanged();
  }
  SetCount(nr0 + 1);
  nravail = DBRecordBlock::Estimate(nf, nrused, rb->StrBytes());
  if (state == DBPSclean) state = DBPSsync;
  ReleaseBlock(rb);
  return 1;
}

// ---------------------------------------------------------------------------------------
// Counting, reading, finding

int DBAccess::TotalRecords() {
  if (header == nullptr) return -1;
  long long total = 0;
  for (DBAccess* p = this; p != nullptr; p = p->next) {
    int k = p->NRecords();
    if (k < 0 || p->state == DBPSerror) return -1;
    total += k;
  }
  return total > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(total);
}

int DBAccess::GetRecords(DBRecord* out, int n, int start) {
  if (n < 1 || out == nullptr || start < 0 || header == nullptr) return 0;
  int got = 0;
  for (DBAccess* p = this; p != nullptr && got < n; p = p->next) {
    int k = p->NRecords();
    if (k <= 0) continue;
    if (start >= k) {
      start -= k;
      continue;
    }
    DBRecordBlock* rb = p->LoadBlock();
    if (rb == nullptr) return got;
    int m = p->brl.GetSize();
    for (int r = start; r < m && got < n; r++) out[got++] = p->brl.Array()[r];
    p->ReleaseBlock(rb);
    start = 0;
  }
  return got;
}

// Tests this page's records from *rel on; *rel advances per record examined.
int DBAccess::PageFind(const DBQueryPlan& plan, DBRecord* out, int n, int* rel, bool mayMatch) {
  int k = nrused;
  if (!mayMatch) {
    *rel = k;
    return 0;
  }
  DBRecordBlock* rb = LoadBlock();
  if (rb == nullptr) {
    *rel = k;
    return 0;
  }
  int found = 0;
  int m = brl.GetSize();
  const DBRecord* recs = brl.GetArray();
  int r = *rel;
  long only = plan.OnlyHash();
  if (only >= 0) {
    // A single exact selector: a record of another hash index (or of none) cannot match.
    // The records' hash indexes are kept in one array while the page is resident.
    if (rhash.size() != static_cast<size_t>(m)) {
      rhash.resize(static_cast<size_t>(m));
      for (int i = 0; i < m; i++) rhash[i] = recs[i].l != nullptr ? recs[i].HashIndex() : -1;
    }
    const long* hs = rhash.data();
    for (; r < m && found < n; r++)
      if (hs[r] == only && plan.Match(recs[r])) out[found++] = recs[r];
  } else {
    for (; r < m && found < n; r++)
      if (plan.Match(recs[r])) out[found++] = recs[r];
  }
  *rel = found < n ? k : r;
  ReleaseBlock(rb);
  return found;
}

// ---------------------------------------------------------------------------------------
// The page directory of exact look-ups

void DBAccess::CountChanged() {
  int n = nrused;
  PageIndex* d = dirOwner != nullptr ? dirOwner->pindex : nullptr;
  if (d == nullptr || !d->ready || dirIndex >= d->npages) return;
  int& c = d->counts[dirIndex];
  if (c == n) return;
  if (c < 0) d->unknownCounts--;
  if (n < 0) d->unknownCounts++;
  c = n;
  d->startsOK = false;
  d->gen++;
}

void DBAccess::BitAdded(uint32_t bit) {
  PageIndex* d = dirOwner != nullptr ? dirOwner->pindex : nullptr;
  if (d == nullptr || !d->ready || dirIndex >= d->npages || bit >= bihset.Length()) return;
  d->rows[bit * d->stride + (dirIndex >> 6)] |= uint64_t{1} << (dirIndex & 63);
}

void DBAccess::SetChanged() {
  PageIndex* d = dirOwner != nullptr ? dirOwner->pindex : nullptr;
  if (d == nullptr || !d->ready || dirIndex >= d->npages) return;
  d->gen++;
  if (d->isDirty[dirIndex]) return;
  d->isDirty[dirIndex] = 1;
  d->dirty.push_back(dirIndex);
}

// ORs page i's hash bits into its column, or makes it wild when its set is (nearly) full.
void DBAccess::IndexColumn(size_t i) {
  PageIndex* d = pindex;
  const ABitMap& set = pagedir[i]->bihset;
  const uint32_t* w = set.Words();
  uint64_t mask = uint64_t{1} << (i & 63);
  size_t col = i >> 6;
  uint32_t nw = set.NumWords();
  uint32_t bits = 0;
  bool wild = set.Length() != static_cast<uint32_t>(DB_HASHSETLEN) || w == nullptr;
  for (uint32_t k = 0; k < nw && !wild; k++) {
    bits += static_cast<uint32_t>(__builtin_popcount(w[k]));
    if (bits > kWildBits) wild = true;
  }
  if (wild) {
    d->wild[col] |= mask;
    return;
  }
  d->wild[col] &= ~mask;
  for (uint32_t k = 0; k < nw; k++) {
    for (uint32_t x = w[k]; x != 0; x &= x - 1) {
      uint32_t bit = (k << 5) + static_cast<uint32_t>(__builtin_ctz(x));
      if (bit < static_cast<uint32_t>(DB_HASHSETLEN)) d->rows[bit * d->stride + col] |= mask;
    }
  }
}

void DBAccess::RebuildDirectory() {
  PageIndex* d = pindex;
  size_t n = pagedir.size();
  d->ready = d->usable = false;
  d->npages = 0;
  d->dirty.clear();
  d->isDirty.clear();
  d->refreshed = 0;
  d->gen++;
  // Another directory's pages are never taken over (only a first page keeps one).
  for (DBAccess* pg : pagedir)
    if (pg->dirOwner != nullptr && pg->dirOwner != this) return;
  if (n == 0 || n > kMaxDirectoryPages) {
    d->rows.clear();
    d->rows.shrink_to_fit();
    return;
  }
  // Room for a quarter more pages, so that appended pages rarely rebuild it.
  d->stride = (n + n / 4 + 64) / 64;
  d->rows.assign(static_cast<size_t>(DB_HASHSETLEN) * d->stride, 0);
  d->wild.assign(d->stride, 0);
  d->counts.resize(n);
  d->isDirty.assign(n, 0);
  d->unknownCounts = 0;
  for (size_t i = 0; i < n; i++) {
    DBAccess* pg = pagedir[i];
    pg->dirOwner = this;
    pg->dirIndex = i;
    d->counts[i] = pg->nrused;
    if (pg->nrused < 0) d->unknownCounts++;
  }
  d->npages = n;
  for (size_t i = 0; i < n; i++) IndexColumn(i);
  d->startsOK = false;
  d->ready = d->usable = true;
}

// Brings the page list and the directory up to date; true when an exact look-up may use it.
bool DBAccess::UpdateDirectory() {
  PageIndex* d = pindex;
  if (pagedirOK && !pagedir.empty() && pagedir.back()->next == nullptr) {
    if (d == nullptr || !d->usable) return false;
  } else {
    // Pages are only ever added at the end: a last page with a successor means new pages.
    size_t old = pagedirOK ? pagedir.size() : 0;
    bool appended = pagedirOK && old > 0 && pagedir.back()->next != nullptr;
    if (appended) {
      for (DBAccess* pg = pagedir.back()->next; pg != nullptr; pg = pg->next) pagedir.push_back(pg);
    } else {
      pagedir.clear();
      for (DBAccess* pg = this; pg != nullptr; pg = pg->next) pagedir.push_back(pg);
    }
    pagedirOK = true;
    if (d == nullptr) return false;
    size_t n = pagedir.size();
    bool fits = appended && d->usable && d->npages == old && n <= d->stride * 64;
    for (size_t i = old; fits && i < n; i++)
      if (pagedir[i]->dirOwner != nullptr) fits = false;
    if (!fits) {
      RebuildDirectory();
      if (!d->usable) return false;
    } else {
      // The new pages' columns are empty: they are filled in as dirty ones.
      d->counts.resize(n);
      d->isDirty.resize(n, 0);
      d->npages = n;
      for (size_t i = old; i < n; i++) {
        DBAccess* pg = pagedir[i];
        pg->dirOwner = this;
        pg->dirIndex = i;
        d->counts[i] = pg->nrused;
        if (pg->nrused < 0) d->unknownCounts++;
        d->isDirty[i] = 1;
        d->dirty.push_back(i);
      }
      d->startsOK = false;
      d->gen++;
    }
  }
  if (!d->dirty.empty()) {
    // Columns only gain bits here; once as many were filled in again as there are pages,
    // the whole directory is built anew so that stale bits do not pile up.
    if (d->refreshed + d->dirty.size() > d->npages + 64) {
      RebuildDirectory();
      if (!d->usable) return false;
    } else {
      for (size_t i : d->dirty) {
        d->isDirty[i] = 0;
        IndexColumn(i);
      }
      d->refreshed += d->dirty.size();
      d->dirty.clear();
    }
  }
  if (!d->startsOK) {
    d->starts.resize(d->npages + 1);
    long long sum = 0;
    for (size_t i = 0; i < d->npages; i++) {
      d->starts[i] = sum;
      if (d->counts[i] > 0) sum += d->counts[i];
    }
    d->starts[d->npages] = sum;
    d->startsOK = true;
  }
  return d->unknownCounts == 0;
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
  if (isHead && UpdateDirectory() && exact >= 0) {
    // The directory row of the bucket names the candidate pages; each is checked against its
    // own bit set. A page passed over moves the position to its end, as the walk would:
    // before a candidate the position is at least the candidate's start, and after the last
    // page at least the total.
    PageIndex* d = pindex;
    size_t stride = d->stride, np = d->npages;
    const uint64_t* row = d->rows.data() + static_cast<size_t>(bit) * stride;
    const uint64_t* wild = d->wild.data();
    unsigned long gen = d->gen;
    bool changed = false;
    // The candidates' page objects and then their hash words are asked for together, so
    // that their cache misses overlap rather than follow one another.
    int ahead = 0;
    for (size_t w = 0; w < stride && ahead < 16; w++)
      for (uint64_t x = row[w] | wild[w]; x != 0 && ahead < 16; x &= x - 1, ahead++) {
        size_t i = (w << 6) + static_cast<size_t>(__builtin_ctzll(x));
        if (i < np) __builtin_prefetch(&pagedir[i]->bihset);
      }
    ahead = 0;
    for (size_t w = 0; w < stride && ahead < 16; w++)
      for (uint64_t x = row[w] | wild[w]; x != 0 && ahead < 16; x &= x - 1, ahead++) {
        size_t i = (w << 6) + static_cast<size_t>(__builtin_ctzll(x));
        const uint32_t* words = i < np ? pagedir[i]->bihset.Words() : nullptr;
        if (words != nullptr) __builtin_prefetch(words + (bit >> 5));
      }
    for (size_t w = 0; w < stride && found < n && !changed; w++) {
      for (uint64_t x = row[w] | wild[w]; x != 0 && found < n; x &= x - 1) {
        size_t i = (w << 6) + static_cast<size_t>(__builtin_ctzll(x));
        if (i >= np) break;
        int k = d->counts[i];
        long long start = d->starts[i];
        DBAccess* pg = pagedir[i];
        if (k <= 0 || p >= start + k || !pg->bihset.Check(bit)) continue;
        if (!plan) plan.emplace(query, header);
        int rel = p > start ? static_cast<int>(p - start) : 0;
        found += pg->PageFind(*plan, out + found, n - found, &rel, true);
        p = static_cast<int>(start + rel);
        if (d->gen != gen) {
          // Loading the page changed some page's count or set: the walk goes on from the
          // next page with the counts as they are now.
          first = i + 1;
          base = start + k;
          changed = true;
          break;
        }
      }
    }
    if (!changed) {
      if (found < n && p < d->starts[np]) p = static_cast<int>(d->starts[np]);
      if (pos != nullptr) *pos = p;
      return found;
    }
  } else if (!isHead && (!pagedirOK || pagedir.empty() || pagedir.back()->next != nullptr)) {
    pagedir.clear();
    for (DBAccess* pg = this; pg != nullptr; pg = pg->next) pagedir.push_back(pg);
    pagedirOK = true;
  }
  if (!plan) plan.emplace(query, header);
  // The pages and their bits lie far apart in memory: those a few pages ahead are asked for
  // early, so that the walk does not wait on each in turn.
  size_t npages = pagedir.size();
  DBAccess* const* dir = pagedir.data();
  for (size_t i = first; i < npages && found < n; i++) {
    DBAccess* pg = dir[i];
    if (i + 16 < npages) __builtin_prefetch(dir[i + 16]);
    if (exact >= 0 && i + 8 < npages && dir[i + 8]->bihset.Words() != nullptr)
      __builtin_prefetch(dir[i + 8]->bihset.Words() + (bit >> 5));
    int k = pg->nrused >= 0 ? pg->nrused : pg->NRecords();
    if (k < 0) k = 0;
    if (p < base + k) {
      bool may = true;
      if (useSet)
        may = Intersects(*qset, pg->bihset);
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
  while (stored < n && p != nullptr) {
    int r = p->PutRecord(recs[stored]);
    if (r > 0) {
      stored++;
      continue;
    }
    if (r < 0) break;  // fits in no block
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
  DBAccess* p = this;
  return AddFrom(&p, recs, n);
}

int DBAccess::PageDelete(const DBRecord* recs, int n) {
  if (NRecords() <= 0) return 0;
  std::vector<const DBRecord*> cand;
  for (int i = 0; i < n; i++) {
    const DBRecord& r = recs[i];
    if (r.l == nullptr || r.GetNAssigned() < 1) continue;
    long h = r.HashIndex();
    if (h >= 0 && !bihset.Check(static_cast<uint32_t>(h % DB_HASHSETLEN))) continue;
    cand.push_back(&r);
  }
  if (cand.empty()) return 0;
  if (InUse()) DMESSAGE(DMCwarning, "Deleting records from block in use");
  DBRecordBlock* rb = LoadBlock();
  if (rb == nullptr) return 0;
  int nr = brl.GetSize();
  ABitMap marks(static_cast<uint32_t>(nr > 0 ? nr : 0));
  int deleted = 0;
  for (int r = nr; r-- > 0;) {
    const DBRecord& stored = brl.Array()[r];
    for (const DBRecord* c : cand) {
      if (stored == *c) {
        marks.Set(static_cast<uint32_t>(r));
        deleted++;
        break;
      }
    }
  }
  if (deleted > 0) {
    brl.Resize(0);  // the rows move
    rhash.clear();
    rb->DeleteRecords(marks);
    if (rb->NRecords() == 0) {
      rb->Reset();
      if (sindex != nullptr) sindex->Invalidate();
      MakeEmpty();
      state = DBPSsync;
    } else {
      SetCount(rb->NRecords());
      nravail = DBRecordBlock::Estimate(rb->NFields(), nrused, rb->StrBytes());
      state = DBPScompact;
      ListRecords();
    }
  }
  ReleaseBlock(rb);
  return deleted;
}

int DBAccess::DeleteRecords(const DBRecord* recs, int n) {
  if (n < 1 || recs == nullptr) return 0;
  if (header == nullptr || header->ReadOnly()) {
    DMESSAGE(DMCdata, "DeleteRecords called on read-only DB");
    return 0;
  }
  int total = 0;
  for (DBAccess* p = this; p != nullptr; p = p->next) total += p->PageDelete(recs, n);
  return total;
}

// ---------------------------------------------------------------------------------------
// Walks

int DBAccess::ForEachBlock(int (*fn)(const DBRecordList&, void*), void* data,
                           const DBFieldSort* order) {
  if (fn == nullptr || header == nullptr) return 0;
  if (order == nullptr || order->order[0] == 0) {
    int sum = 0;
    for (DBAccess* p = this; p != nullptr; p = p->next) {
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
  if (schema->GetNFields() == 0) {
    int n = schema->DBFieldID::Read(is, sep);
    if (n <= 0) return n;
  }
  if (*sep == 0) *sep = '\t';
  DBAccess* from = lastAdd != nullptr ? lastAdd : this;
  int added = 0, line = 0;
  DBRecord rec(schema);
  while (is->good()) {
    line++;
    int r = rec.Read(is, *sep);
    if (r < 0) {
      if (!is->eof()) DMESSAGE(DMCdata, "Read error at record %d", line);
      break;
    }
    if (r == 0) continue;
    // From the page used last onward: the first page with room, else the last.
    while (from->next != nullptr && from->FreeEstimate() <= 0) {
      if (from->FreeEstimate() < 0) from->FreeLoad();
      if (from->FreeEstimate() > 0) break;
      from = from->next;
    }
    if (AddFrom(&from, &rec, 1) != 1) {
      lastAdd = from;
      return -1;
    }
    added++;
  }
  lastAdd = from;
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
