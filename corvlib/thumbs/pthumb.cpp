// The thumbnailer: finding, making, loading and deleting thumbnails, and placeholders.
#include "thumbs/pthumb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "catalog/pfieldset.h"
#include "catalog/pimginfo.h"
#include "catalog/plocate.h"
#include "catalog/porient.h"
#include "support/dmessage.h"
#include "support/dmhold.h"

namespace {

// Thumbnail records beyond which the quick path goes straight to the file.
constexpr int kQuickSearchLimit = 750000;
// Non-resident list entries met in one search beyond which they are dropped.
constexpr int kMaxSwapped = 50;
// What a read of the database and a sheet may report.
constexpr uint32_t kReadReports = DMessageHold::Class(DMCmemory) | DMessageHold::Class(DMCsystem) |
                                  DMessageHold::Class(DMCparameter) |
                                  DMessageHold::Class(DMCresource) | DMessageHold::Class(DMCdata) |
                                  DMessageHold::Class(DMCinput) | DMessageHold::Class(DMCwarning);

bool ValidSheet(long id) {
  return id > 0 && id <= PMaxThumbImageID;
}

// The reader given, or the photo's file opened quietly (*mine then owns it); with neither the
// tinted placeholder is drawn.
_ImgReader* ThumbReader(_ImgStruct* thumb, const DBRecord& photo, _ImgReader* ir,
                        _ImgReader** mine) {
  *mine = nullptr;
  if (ir != nullptr) return ir;
  *mine = PopenImageD(photo, true);
  if (*mine == nullptr) PgenericThumbnail(thumb, photo, PTSnofile);
  return *mine;
}

}  // namespace

const DBField& PTDBgetField(const DBRecord& r, PTDBFieldID fid) {
  const DBFieldInfo* s = r.GetFieldInfo();
  return r[s != nullptr ? s->XlateID(&PTDBFInfo, fid) : -1];
}

long PTnowMinutes() {
  return static_cast<long>((static_cast<int64_t>(time(nullptr)) / 60) & 0x7FFFFFFF);
}

bool PThumbnailer::IdentityRecord(DBRecord* q, const DBRecord& photo) {
  const DBField& nb = PDBgetField(photo, PDBFnbytes);
  const DBField& hv = PDBgetField(photo, PDBFhashval);
  // A photo without its identity could match any thumbnail: it is never looked up.
  if (nb.GetDT() != DBDTint || nb.GetNV() < 1 || hv.GetDT() != DBDTint || hv.GetNV() < 1)
    return false;
  q->Init(&PTDBFInfo);
  return q->SetField(PTDBFnbytes, nb) != 0 && q->SetField(PTDBFhashval, hv) != 0;
}

bool PThumbnailer::FindThumbnail(DBRecord* found, const DBRecord& photo) {
  if (found != nullptr) found->Init();
  if (!Resume() || nThumbs < 1) return false;
  if (lockDepth == 0) {
    DMessageHold held(DMessageHold::kept, kReadReports);
    const uint64_t reads = FileReads();
    const bool hit = FindRecord(found, photo, nullptr);
    // A record found in memory was the folder's at the generation it was read at; one read
    // from the file, or none found (another copy may have added it since), is kept only while
    // that generation stands.
    if (Kept(hit, reads)) return hit;
    held.Drop();
    Unsettle();
  }
  Section r(this, false);
  return r.ok() && FindRecord(found, photo, nullptr);
}

bool PThumbnailer::FindRecord(DBRecord* found, const DBRecord& photo, int* fill) {
  if (found != nullptr) found->Init();
  if (fill != nullptr) *fill = -1;
  if (nThumbs < 1) return false;
  // The query record is kept from one look-up to the next, its fields allocated once.
  DBRecord& q = query;
  if (!IdentityRecord(&q, photo)) return false;
  // The sheet being filled first: its records are this copy's alone.
  for (size_t i = 0; i < filling.size(); i++)
    if (filling[i][PTDBFnbytes] == q[PTDBFnbytes] && filling[i][PTDBFhashval] == q[PTDBFhashval]) {
      if (found != nullptr) *found = filling[i];
      if (fill != nullptr) *fill = static_cast<int>(i);
      return true;
    }
  DBSearch search(&tdb);
  if (!search.AddSelector(q, false)) {
    DMESSAGE(DMCassert, "AddSelector failed");
    return false;
  }
  DBRecord local;
  return search.FindRecords(found != nullptr ? found : &local, 1) == 1;
}

int PThumbnailer::DenomShift(const _ImgStruct* thumb) {
  const int s = thumb->xres > thumb->yres ? thumb->xres : thumb->yres;
  if (s <= PBigThumbWidth >> 3) return 3;
  if (s <= PBigThumbWidth >> 2) return 2;
  if (s <= PBigThumbWidth >> 1) return 1;
  return 0;
}

int64_t PThumbnailer::DeleteSheetRecords(int32_t id, int max, const char* what) {
  DBRecord q(&PTDBFInfo);
  q.SetField(PTDBFimageid, static_cast<long>(id));
  DBSearch search(&tdb);
  if (!search.AddSelector(q, false)) {
    DMESSAGE(DMCassert, "%s", what);
    return -1;
  }
  DBRecordList list(&PTDBFInfo, max);
  const int n = search.FindRecords(list.Array(), max);
  int64_t bytes = 0;
  for (int i = 0; i < n; i++) {
    const DBField& b = PTDBgetField(list[i], PTDBFimagebytes);
    if (b.GetDT() == DBDTint && b.GetNV() > 0 && b.GetInt(0) > 0) bytes += b.GetInt(0);
  }
  if (n > 0) tdb.DeleteRecords(list.GetArray(), n);
  return bytes;
}

void PThumbnailer::SheetPath(char* buf, size_t len, int32_t id) const {
  snprintf(buf, len, "%s%cC%09d.jpg", cacheDir, '/', static_cast<int>(id));
}

void PThumbnailer::NoteUse(const DBRecord& rec) {
  if (tdb.ReadOnly()) return;  // only read (damaged): the last use stays as it was
  const DBField& nb = PTDBgetField(rec, PTDBFnbytes);
  const DBField& hv = PTDBgetField(rec, PTDBFhashval);
  const DBField& id = PTDBgetField(rec, PTDBFimageid);
  const DBField& last = PTDBgetField(rec, PTDBFlastuse);
  if (nb.GetDT() != DBDTint || nb.GetNV() != 1 || hv.GetDT() != DBDTint || hv.GetNV() != 1 ||
      id.GetDT() != DBDTint || id.GetNV() < 1)
    return;
  const long now = PTnowMinutes();
  if (last.GetDT() == DBDTint && last.GetNV() > 0 && last.GetInt(0) >= now) return;
  uses.push_back({nb.GetInt(0), hv.GetInt(0), static_cast<int32_t>(id.GetInt(0)), now});
}

int PThumbnailer::LoadLocked(_ImgStruct* thumb, const DBRecord& photo, int32_t* bad,
                             bool* foreign) {
  DBRecord rec;
  int fill;
  if (!FindRecord(&rec, photo, &fill)) return 0;
  const DBField& idf = PTDBgetField(rec, PTDBFimageid);
  const DBField& rf = PTDBgetField(rec, PTDBFrectangle);
  if (idf.GetDT() != DBDTint || idf.GetNV() < 1 || !ValidSheet(idf.GetInt(0)) ||
      rf.GetDT() != DBDTint || rf.GetNV() != 4)
    return 0;
  const int32_t id = static_cast<int32_t>(idf.GetInt(0));
  long rect[4];
  for (int i = 0; i < 4; i++) rect[i] = rf.GetInt(i);

  if (fill >= 0) {
    // In the sheet being filled, in memory.
    if (!nextImage.GetThumb(thumb, rect)) return 0;
    FixThumb(thumb, photo);
    return 1;
  }
  const int k = DenomShift(thumb);
  PThumbList* entry = nullptr;
  int swapped = 0;
  for (PThumbList* e = images[k]; e != nullptr; e = e->next) {
    if (e->imgID == id) {
      entry = e;
      break;
    }
    if (!e->IsResident()) swapped++;
  }
  if (entry == nullptr) {
    entry = new PThumbList(id, cacheDir, 1 << k);
    entry->next = images[k];
    images[k] = entry;
    if (swapped > kMaxSwapped) {
      int cleared = 0;
      for (PThumbList* prev = entry; prev->next != nullptr;) {
        PThumbList* e = prev->next;
        if (!e->IsResident() && !e->InUse()) {
          prev->next = e->next;
          e->next = nullptr;
          delete e;
          cleared++;
        } else {
          prev = e;
        }
      }
      DMESSAGE(DMCtrace, "Cleared %d swapped contacts", cleared);
    }
  }
  // The record's share, which its sheet's file must fit (none: no file fits).
  const DBField& bf = PTDBgetField(rec, PTDBFimagebytes);
  entry->share = bf.GetDT() == DBDTint && bf.GetNV() > 0 ? bf.GetInt(0) : 0;
  bool shown;
  {
    const Reading r(&reading);
    shown = entry->GetThumb(thumb, rect);
  }
  entry->share = -1;
  if (!shown) {
    *bad = id;
    *foreign = entry->misfit;
    return -1;
  }
  // A use only of a thumbnail shown: the record it names is the one a merge keeps.
  NoteUse(rec);
  FixThumb(thumb, photo);
  return 1;
}

bool PThumbnailer::LoadThumbnail(_ImgStruct* thumb, const DBRecord& photo) {
  if (thumb == nullptr || !Resume()) return false;
  // A load that fails leaves a thumbnail without pixels as it was: what a read without the lock
  // rendered before it was found stale (another copy holding the cache) is no thumbnail.
  const _ImgStruct given = *thumb;
  if (LoadRounds(thumb, photo)) return true;
  if (given.img == nullptr && given.mbase == nullptr && thumb->img != nullptr) {
    PfreeImage(thumb);
    *thumb = given;
  }
  return false;
}

bool PThumbnailer::LoadRounds(_ImgStruct* thumb, const DBRecord& photo) {
  // Loads the last uses noted once enough of them wait, as a change of the folder.
  struct Flush {
    PThumbnailer* t;
    ~Flush() {
      if (t->uses.size() >= 1024 && t->lockDepth == 0) {
        Section w(t, true);
        if (w.ok()) t->FlushUses();
      }
    }
  } flush{this};
  for (int round = 0; round < 3; round++) {
    int32_t bad = 0;
    bool foreign = false;
    uint64_t seen = viewGen;
    int got = -2;  // not read
    // Without the lock, unless a copy changed the folder since the database was read or while
    // it was read (what the read reports waits until that is known); then under it.
    if (lockDepth == 0) {
      DMessageHold held(DMessageHold::kept, kReadReports);
      const uint64_t reads = FileReads();
      got = LoadLocked(thumb, photo, &bad, &foreign);
      // A thumbnail from a record and a sheet in memory, read together at one generation, is
      // that photo's whatever changed since (a photo's picture never changes); what was read
      // from the files, or not found, is kept only while that generation stands.
      if (!Kept(got == 1, reads)) {
        held.Drop();
        Unsettle();
        got = -2;
      }
    }
    if (got == -2) {
      Section r(this, false);
      if (!r.ok()) return false;
      got = LoadLocked(thumb, photo, &bad, &foreign);
      seen = viewGen;
    }
    if (got >= 0) return got == 1;
    // The sheet could not be read. It is dropped under the exclusive lock, unless another copy
    // changed the folder meanwhile: then the photo is looked up again.
    Section w(this, true);
    if (!w.ok()) return false;
    if (viewGen == seen) {
      DropSheet(bad, foreign);
      return false;
    }
  }
  return false;
}

void PThumbnailer::DropSheet(int32_t id, bool foreign) {
  if (tdb.ReadOnly() || !Touch()) return;
  char path[1100];
  SheetPath(path, sizeof(path), id);
  struct stat st;
  if (foreign && stat(path, &st) == 0) {
    // The records the file does not fit are made again; the file goes when it fits none.
    DBRecord q(&PTDBFInfo);
    q.SetField(PTDBFimageid, static_cast<long>(id));
    DBSearch search(&tdb);
    DBRecordList found(&PTDBFInfo, 0), misfits(&PTDBFInfo, 0);
    if (search.AddSelector(q, false)) search.FindAll(&found);
    int64_t bytes = 0;
    for (int i = 0; i < found.GetSize(); i++) {
      const DBField& b = PTDBgetField(found[i], PTDBFimagebytes);
      const int64_t part = b.GetDT() == DBDTint && b.GetNV() > 0 ? b.GetInt(0) : 0;
      if (PThumbShareFits(part, st.st_size)) continue;
      misfits.NewRecord() = found[i];
      if (part > 0) bytes += part;
    }
    if (misfits.GetSize() == 0) return;
    DMESSAGE(DMCwarning,
             "Contact sheet '%s' does not hold the pictures of %d of its thumbnail records: they "
             "are made again",
             path, misfits.GetSize());
    tdb.DeleteRecordList(misfits);
    cacheSiz -= Kbytes(bytes);
    if (cacheSiz < 0) cacheSiz = 0;
    if (misfits.GetSize() < found.GetSize()) return;
    if (unlink(path) != 0 && errno != ENOENT) DMESSAGE(DMCresource, "Cannot unlink '%s'", path);
  } else {
    DMESSAGE(DMCwarning, "Missing contact sheet (%d)", static_cast<int>(id));
    const int64_t bytes = DeleteSheetRecords(id, 16, "AddSelector failed");
    if (bytes > 0) cacheSiz -= Kbytes(bytes);
    if (cacheSiz < 0) cacheSiz = 0;
  }
  // Its loaded copies go too, so that none answers for a sheet of the same number later.
  ForgetLoaded(id);
}

bool PThumbnailer::NewThumbnail(_ImgStruct* thumb, const DBRecord& photo, _ImgReader* ir) {
  // A damaged database that could not be set aside is only read: nothing is added to it.
  if (ir == nullptr || making || reading > 0 || !Resume() || tdb.ReadOnly()) return false;
  making = true;
  struct Done {
    bool* flag;
    ~Done() { *flag = false; }
  } done{&making};
  DBRecord rec;
  if (!IdentityRecord(&rec, photo)) return false;
  if (nextImage.IsFull()) {
    // The full sheet is written and the next takes a new number, in one change of the folder;
    // unless the thumbnails another copy wrote meanwhile leave room in it.
    bool ok = false;
    const uint64_t away = turnedAway;
    {
      Section w(this, true);
      if (w.ok()) {
        DropWritten();
        if (!nextImage.IsFull()) {
          ok = true;
        } else if (SyncLocked()) {
          const int32_t id = Claim();
          if (id <= PMaxThumbImageID) {
            nextImage.ClearImage();
            filling.clear();
            nextImgID = id;
            ok = true;
          }
        }
      }
    }
    if (!ok) {
      // Held by another copy, the sheet waits for it to let go.
      if (turnedAway == away) DMESSAGE(DMCdata, "Cannot sync thumbnail cache");
      return false;
    }
  }
  long rect[4];
  bool added;
  {
    const Reading r(&reading);
    added = nextImage.AddThumb(thumb, rect, ir);
  }
  if (!added) return false;
  // The record waits with the sheet: it reaches the database when the sheet is written.
  const bool ok = rec.SetField(PTDBFimageid, static_cast<long>(nextImgID)) &&
                  rec.SetField(PTDBFrectangle, rect, 4) &&
                  rec.SetField(PTDBFlastuse, PTnowMinutes());
  if (!ok) {
    DMESSAGE(DMCdata, "Error adding new thumbnail record");
    return false;
  }
  filling.push_back(rec);
  nThumbs++;
  FixThumb(thumb, photo);
  return true;
}

bool PThumbnailer::GetThumbnail(_ImgStruct* thumb, const DBRecord& photo, _ImgReader* ir) {
  if (thumb == nullptr) return false;
  // While another copy holds the cache, nothing is made (it may be writing this very
  // thumbnail): the caller keeps its placeholder and asks again later.
  const uint64_t away = turnedAway;
  if (!Resume()) return false;
  if (LoadThumbnail(thumb, photo)) return true;
  if (turnedAway != away) return false;
  _ImgReader* mine;
  ir = ThumbReader(thumb, photo, ir, &mine);
  if (ir == nullptr) return false;
  bool ok;
  DBRecord probe;
  if (IdentityRecord(&probe, photo)) {
    ok = NewThumbnail(thumb, photo, ir);
  } else {
    // Without its identity a photo is not cached: its thumbnail comes from the file.
    ok = PrenderImageR(thumb, ir, 1) != 0;
    if (ok) FixThumb(thumb, photo);
  }
  if (!ok && turnedAway == away) PgenericThumbnail(thumb, photo, PTSfailed);
  if (mine != nullptr) mine->ri->Close(mine);
  return ok;
}

bool PThumbnailer::QuickThumb(_ImgStruct* thumb, const DBRecord& photo, _ImgReader* ir) {
  if (thumb == nullptr) return false;
  if (nThumbs <= kQuickSearchLimit && LoadThumbnail(thumb, photo)) return true;
  _ImgReader* mine;
  ir = ThumbReader(thumb, photo, ir, &mine);
  if (ir == nullptr) return false;
  const bool embedded =
      ir->ri->GetThumbnail != nullptr && ir->ri->GetThumbnail(ir, thumb) == IREnone;
  if (mine != nullptr) mine->ri->Close(mine);
  if (embedded)
    FixThumb(thumb, photo);
  else
    PgenericThumbnail(thumb, photo, PTSpending);
  return false;
}

void PThumbnailer::DeleteThumbnail(const DBRecord& photo) {
  if (!Resume() || nThumbs < 1) return;
  Section w(this, true);
  if (!w.ok()) return;
  DBRecord rec;
  int fill;
  if (!FindRecord(&rec, photo, &fill)) return;
  if (fill >= 0) {
    // The sheet being filled is emptied and fills again under its number; its records written
    // with it before go.
    DBRecord q(&PTDBFInfo);
    q.SetField(PTDBFimageid, static_cast<long>(nextImgID));
    DBSearch search(&tdb);
    DBRecordList found(&PTDBFInfo, 0), mine(&PTDBFInfo, 0);
    if (search.AddSelector(q, false)) search.FindAll(&found);
    for (int i = 0; i < found.GetSize(); i++)
      if (IsFilling(found[i])) mine.NewRecord() = found[i];
    if (mine.GetSize() > 0 && !tdb.ReadOnly() && Touch()) tdb.DeleteRecordList(mine);
    nextImage.ClearImage();
    filling.clear();
    return;
  }
  const DBField& idf = PTDBgetField(rec, PTDBFimageid);
  if (idf.GetDT() != DBDTint || idf.GetNV() < 1) return;
  const long id = idf.GetInt(0);
  if (!ValidSheet(id) || tdb.ReadOnly() || !Touch()) return;
  const int64_t bytes =
      DeleteSheetRecords(static_cast<int32_t>(id), 16, "AddSelector failed in DeleteThumbnail");
  if (bytes < 0) return;
  char path[1100];
  SheetPath(path, sizeof(path), static_cast<int32_t>(id));
  if (unlink(path) != 0) {
    DMESSAGE(DMCresource, "Cannot unlink '%s'", path);
    return;
  }
  cacheSiz -= Kbytes(bytes);
  if (cacheSiz < 0) cacheSiz = 0;
}

void PThumbnailer::ApplyCrop(_ImgStruct* thumb, const DBRecord& photo) const {
  const DBField& crop = PDBgetField(photo, PDBFcrop);
  long xs = 0, ys = 0;
  if (thumb == nullptr || crop.GetDT() != DBDTint || crop.GetNV() != 4 ||
      !PDBgetInt(photo, PDBFxsize, &xs) || !PDBgetInt(photo, PDBFysize, &ys))
    return;
  if (xs <= 0 || ys <= 0) return;  // no size to scale the crop by
  const int64_t W = thumb->xres, H = thumb->yres;
  const int32_t top = static_cast<int32_t>(H * crop.GetInt(1) / ys);
  const int32_t bottom = static_cast<int32_t>(H * crop.GetInt(3) / ys);
  const int32_t left = static_cast<int32_t>(W * crop.GetInt(0) / xs);
  const int32_t right = static_cast<int32_t>(W * crop.GetInt(2) / xs);
  const int32_t w = thumb->xres, h = thumb->yres;
  const _ImgRect bands[4] = {
      {0, w, 0, top}, {0, w, bottom, h}, {0, left, top, bottom}, {right, w, top, bottom}};
  for (const _ImgRect& b : bands) {
    _ImgRect r = b;
    const _ImgRect all = {0, w, 0, h};
    if (PclipRect(&r, &all)) PclearRect(thumb, &r, bRGB);
  }
}

void PThumbnailer::ApplyOrient(_ImgStruct* thumb, const DBRecord& photo) {
  if (thumb == nullptr) return;
  POrient o(&photo);
  o.SetOrigSize(thumb->xres, thumb->yres);
  o.OrientImage(thumb, nullptr);
}

bool PgenericThumbnail(_ImgStruct* thumb, const DBRecord&, PTStatus status) {
  if (thumb == nullptr || thumb->csp == nullptr || !PmatchColorSpace(thumb->csp, &ICS_sRGB, 3))
    return false;
  const int iw = PThumbIconWidth;
  _ImgStruct tmp = {};
  _ImgStruct* draw = thumb;
  if (thumb->xres >= iw && thumb->yres >= iw) {
    thumb->xres = thumb->yres = iw;
    if (thumb->img == nullptr && !PnewImage(thumb, 0)) return false;
  } else {
    tmp.xres = tmp.yres = iw;
    tmp.csp = thumb->csp;
    if (!PnewImage(&tmp, 0)) return false;
    draw = &tmp;
  }
  for (int y = 0; y < iw; y++) {
    uint8_t* p = draw->img + static_cast<ptrdiff_t>(y) * draw->rowsize;
    for (int x = 0; x < iw; x++, p += 3) {
      const unsigned char v = PThumbIconData[y * iw + x];
      p[0] = v;
      p[1] = status == PTSpending ? v : static_cast<unsigned char>(v >> 1);
      p[2] = status == PTSpending ? v : static_cast<unsigned char>(v >> 2);
    }
  }
  if (status == PTSfailed) {
    for (int i = 0; i < iw * iw / 50; i++) {
      const double r = rand() / 2147483648.0;
      const double a = rand() * 2.0 * M_PI / 2147483648.0;
      int x = static_cast<int>(iw / 2 * (r * r * cos(a) + 1));
      int y = static_cast<int>(iw / 2 * (r * r * sin(a) + 1));
      if (x >= iw) x = iw - 1;
      if (y >= iw) y = iw - 1;
      uint8_t* p = draw->img + static_cast<ptrdiff_t>(y) * draw->rowsize + x * 3;
      p[0] = p[1] = p[2] = 255;
    }
  }
  if (draw == &tmp) {
    const bool ok = PrenderImageI(thumb, &tmp) != 0;
    PfreeImage(&tmp);
    return ok;
  }
  return true;
}
