// Cataloguing the sets and timeline, and reconciling the display with the catalogue and the
// shadow catalogue by file identity.
#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/pcontext.h"
#include "catalog/pdbase.h"
#include "catalog/pfileinfo.h"
#include "catalog/preconcile.h"
#include "support/dmessage.h"
#include "support/pwork.h"

namespace {

// Positions of records by their hash index, in ascending order per index.
using HashPositions = std::unordered_map<long, std::vector<int>>;

bool TakesSource(int pid) {
  switch (pid) {
    case PDBFcapdate:
    case PDBFgmtdate:
    case PDBFlatitude:
    case PDBFlongitude:
    case PDBFaltitude:
    case PDBForient:
    case PDBFflip:
      return true;
    default:
      return false;
  }
}

bool MergesLists(int pid) {
  return pid == PDBFlocation || pid == PDBFhistory || pid == PDBFkeyword || pid == PDBFcomment;
}

// The positions of a list's records by hash index: (hash, position) pairs in order, so each
// hash's positions run in list order.
using SortedPositions = std::vector<std::pair<long, int>>;

// The first record of list matching q: through the positions of q's hash index when it has
// one, else by a scan. -1 when none.
int FindIndexed(const DBRecordList& list, const SortedPositions& index, const DBQuery& q) {
  const long h = q.rlo.ComputeHashIndex();
  if (h < 0) {
    for (int j = 0; j < list.GetSize(); j++)
      if (list.Get(j).l != nullptr && list.Get(j).MatchQuery(&q)) return j;
    return -1;
  }
  for (auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(h, INT_MIN));
       it != index.end() && it->first == h; ++it)
    if (list.Get(it->second).l != nullptr && list.Get(it->second).MatchQuery(&q)) return it->second;
  return -1;
}

void IndexList(const DBRecordList& list, SortedPositions* index) {
  index->clear();
  index->reserve(static_cast<size_t>(list.GetSize()));
  for (int j = 0; j < list.GetSize(); j++) {
    const long h = list.Get(j).ComputeHashIndex();
    if (h >= 0) index->emplace_back(h, j);
  }
  std::sort(index->begin(), index->end());
}

// Display records per catalogue record above which a reconciliation reads the whole catalogue
// rather than searching it.
constexpr long kPassRatio = 64;

// The identity key of a record: its content hash and length.
uint64_t IdentityKey(long hash, long nbytes) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(hash)) << 32) | static_cast<uint32_t>(nbytes);
}

struct Gather {
  const DBRecordList* disp;
  bool idOnly;
  std::unordered_multimap<uint64_t, int> want;
  DBRecordList* out;
  const DBFieldInfo* schema = nullptr;
  int hashId = -1;
  int sizeId = -1;
};

int GatherBlock(const DBRecordList& block, void* data) {
  auto* g = static_cast<Gather*>(data);
  const int n = block.GetSize();
  for (int r = 0; r < n; r++) {
    const DBRecord& rec = block.Get(r);
    if (rec.GetFieldInfo() != g->schema) {
      g->schema = rec.GetFieldInfo();
      g->hashId = g->schema != nullptr ? g->schema->XlateID(&PDBFInfo, PDBFhashval) : -1;
      g->sizeId = g->schema != nullptr ? g->schema->XlateID(&PDBFInfo, PDBFnbytes) : -1;
    }
    if (g->hashId < 0 || g->sizeId < 0) continue;
    const DBField& hf = rec[g->hashId];
    const DBField& sf = rec[g->sizeId];
    if (!hf.IsSet() || !sf.IsSet()) continue;
    auto range = g->want.equal_range(IdentityKey(hf.GetInt(), sf.GetInt()));
    for (auto it = range.first; it != range.second; ++it) {
      const DBRecord& d = g->disp->Get(it->second);
      DBQuery q(d.GetFieldInfo(), false);
      if (!PCsetQuery(&q, d, g->idOnly) || !rec.MatchQuery(&q)) continue;
      const int k = g->out->GetSize();
      if (g->out->Resize(k + 1) == k + 1) (*g->out)[k] = rec;
      break;
    }
  }
  return n;
}

// Every record of db that some displayed record's identity query matches, in storage order
// (what one search with a selector per displayed record finds).
void GatherByIdentity(DBAccess* db, const DBRecordList& disp, bool idOnly, DBRecordList* out) {
  Gather g{&disp, idOnly, {}, out};
  g.want.reserve(static_cast<size_t>(disp.GetSize()));
  for (int i = 0; i < disp.GetSize(); i++) {
    const DBRecord& d = disp.Get(i);
    const DBField& hf = PDBgetField(d, PDBFhashval);
    const DBField& sf = PDBgetField(d, PDBFnbytes);
    if (hf.IsSet() && sf.IsSet()) g.want.emplace(IdentityKey(hf.GetInt(), sf.GetInt()), i);
  }
  out->Resize(0);
  db->ForEachBlock(GatherBlock, &g, nullptr);
}

}  // namespace

unsigned long PreconcileSetLength(int ndisp) {
  const unsigned long t = 10UL * static_cast<unsigned long>(ndisp < 0 ? 0 : ndisp);
  return primeAbove(t);
}

// ---------------------------------------------------------------------------------------
// Cataloguing

void PContextState::Catalog(const DBRecord* records, int n) {
  if (records == nullptr) return;
  for (int i = 0; i < n; i++) {
    PworkItem(i, n);
    const DBRecord& r = records[i];
    if (r.l == nullptr || r.GetNAlloc() < 1) continue;
    const DBField& subj = PDBgetField(r, PDBFsubject);
    if (subj.IsSet()) {
      const char* s = subj.GetString(0);
      subjSet.Insert(s);
      const DBField& date = PDBgetField(r, PDBFcapdate);
      if (date.IsSet()) {
        PTimeLink* e = timeline.timel->InsertEvent(s, date.GetString(0));
        if (e != nullptr) timeline.timel = e;
      }
    }
    const DBField& owner = PDBgetField(r, PDBFowner);
    if (owner.IsSet()) ownrSet.Insert(owner.GetString(0));
    const DBField& albums = PDBgetField(r, PDBFalbum);
    for (int k = 0; k < albums.GetNV() && k < 128; k++) albmSet.Insert(albums.GetString(k));
    const DBField& keys = PDBgetField(r, PDBFkeyword);
    for (int k = 0; k < keys.GetNV() && k < 128; k++) keywSet.Insert(keys.GetString(k));
  }
}

int cat_call(const DBRecordList& block, void* state) {
  static_cast<PContextState*>(state)->Catalog(block.GetArray(), block.GetSize());
  return block.GetSize();
}

bool PContextState::TransferFields(DBRecord* dst, const DBRecord& src) {
  if (dst == nullptr || dst->GetFieldInfo() == nullptr || src.l == nullptr ||
      src.GetFieldInfo() == nullptr || src.GetNAssigned() < 1)
    return false;
  const DBFieldInfo* ds = dst->GetFieldInfo();
  int srcOf[DB_MAXFIELDS], photoOf[DB_MAXFIELDS];
  src.GetFieldInfo()->MapIDs(srcOf, ds);
  PDBFInfo.MapIDs(photoOf, ds);
  bool changed = false;
  for (int id = ds->GetNFields(); id-- > 0;) {
    const int sid = srcOf[id];
    if (sid < 0) continue;
    const DBField& sf = src[sid];
    if (!sf.IsSet()) continue;
    const DBField& df = (*dst)[id];
    const DBFDetails* det = ds->GetDetails(id);
    const bool multi = det != nullptr && (det->flags & DBFDmulti);
    if (!df.IsSet()) {
      changed |= dst->SetField(id, sf) == 1;
    } else if (!multi && TakesSource(photoOf[id])) {
      if (df != sf) changed |= dst->SetField(id, sf) == 1;
    } else if (multi && MergesLists(photoOf[id])) {
      DBField u(df);
      u |= sf;
      if (u.GetNV() > df.GetNV()) changed |= dst->SetField(id, u) == 1;
    }
  }
  return changed;
}

// ---------------------------------------------------------------------------------------
// Reconciling

void PContextState::KeepSelectionOfSurvivors() {
  const int nd = rdisp.GetSize();
  if (rsel.Length() == 0) return;
  ABitMap kept;
  int n = 0;
  for (int i = 0; i < nd; i++) n += !DBRecordList::Drops(rdisp.Get(i));
  if (n > 0 && rsel.SumTotal() > 0 && kept.NewBitMap(static_cast<uint32_t>(n), false)) {
    int k = 0;
    for (int i = 0; i < nd; i++) {
      if (DBRecordList::Drops(rdisp.Get(i))) continue;
      if (rsel.Check(static_cast<uint32_t>(i))) kept.Set(static_cast<uint32_t>(k));
      k++;
    }
  }
  // Nothing stays selected that is not shown.
  if (kept.SumTotal() == 0) kept.NewBitMap(0);
  rsel = kept;
}

int PContext::Reconcile() {
  rcommon.Init(&phd);
  rdisp_link.Init(nullptr);
  const int nd = rdisp.GetSize();
  if (nd == 0) return 0;
  if (strcmp(rsrc, "*DB") == 0) {
    // Each displayed record's copy is the catalogue's version (record by record, so that long
    // work can tell how far it has come).
    if (rcommon.Resize(nd) == nd)
      for (int i = 0; i < nd; i++) {
        PworkItem(i, nd);
        rcommon[i] = rdisp.Get(i);
      }
    PmarkReadOnly(&rcommon);
    rdisp_link.Resize(nd);
    rdisp_link.LinkAll(&rdisp);
    return rcommon.GetSize();
  }
  dbs.SetDB(&pdb);
  const bool holds = HoldsRecords();
  const bool sholds = ShadowHoldsRecords();
  const bool idOnly = !holds || uniq;
  DBSearch shadowSearch(sholds ? &sdb : nullptr);
  // Thousands of selectors make a search slower than reading every record once: then each
  // catalogue is gathered in one pass over its blocks, looked up by identity.
  const bool passCat = holds && static_cast<long>(nd) * kPassRatio >= pdb.TotalRecords();
  const bool passShadow = sholds && static_cast<long>(nd) * kPassRatio >= sdb.TotalRecords();
  ABitMap seen(static_cast<uint32_t>(PreconcileSetLength(nd)));
  HashPositions earlier;

  // First pass: identify each record, merge duplicates into the earlier position, and gather
  // one selector per record for a single search of each catalogue.
  for (int i = 0; i < nd; i++) {
    DBRecord& r = rdisp[i];
    if (r.l == nullptr || !PDBgetField(r, PDBFfile).IsSet()) {
      DMESSAGE(DMCwarning, "Ignoring record w/o file name");
      r.Init();
      continue;
    }
    const DBFieldInfo* rs = r.GetFieldInfo();
    DBQuery q(rs, false);
    if (!PCsetQuery(&q, r, idOnly)) {
      if (!HashRecord(&r)) {
        r.Init();
        continue;
      }
      if (!PCsetQuery(&q, r, idOnly)) {
        DMESSAGE(DMCparameter, "Bad record '%s'", PDBgetField(r, PDBFfile).GetString(0));
        r.Init();
        continue;
      }
    }
    int j = i;
    const long h = q.rlo.ComputeHashIndex();
    const uint32_t bit = h >= 0 ? static_cast<uint32_t>(h % seen.Length()) : 0;
    if (h < 0 || seen.Check(bit)) {
      int found = -1;
      if (h < 0) {
        found = rdisp.FindFirst(&q);
      } else {
        auto it = earlier.find(h);
        if (it != earlier.end())
          for (int k : it->second)
            if (rdisp.Get(k).l != nullptr && rdisp.Get(k).MatchQuery(&q)) {
              found = k;
              break;
            }
        if (found < 0 && r.MatchQuery(&q)) found = i;
      }
      if (found < 0)
        DMESSAGE(DMCwarning, "Search botch in Reconcile");
      else
        j = found;
    }
    if (h >= 0) {
      seen.Set(bit);
      if (j == i) earlier[h].push_back(i);
    }
    if (j < i) {
      DMESSAGE(DMCwarning, "Duplicate image '%s' ignored", PDBgetField(r, PDBFfile).GetString(0));
      TransferFields(&r, rdisp.Get(j));
      rdisp[j].Init();
      rdisp[j].Take(&r);
      if (rsel.Check(static_cast<uint32_t>(i))) rsel.Set(static_cast<uint32_t>(j));
      continue;
    }
    if (holds && !passCat && dbs.AddSelector(q.rlo, q.rhi, false) != 1)
      DMESSAGE(DMCwarning, "AddSelector failed in Reconcile");
    if (sholds && !passShadow) {
      if (!idOnly) PCsetQuery(&q, r, true);
      shadowSearch.AddSelector(q.rlo, q.rhi, false);
    }
  }
  earlier.clear();
  KeepSelectionOfSurvivors();
  rdisp.Compact(false);
  if (!holds && !sholds) return 0;

  DBRecordList shadows(&shd);
  if (holds) {
    if (passCat)
      GatherByIdentity(&pdb, rdisp, idOnly, &rcommon);
    else
      dbs.FindAll(&rcommon);
    dbs.SetDB(&pdb);
    rdisp_link.Init(nullptr, rcommon.GetSize());
  }
  if (passShadow)
    GatherByIdentity(&sdb, rdisp, true, &shadows);
  else if (sholds)
    shadowSearch.FindAll(&shadows);
  SortedPositions commonAt, shadowAt;
  IndexList(rcommon, &commonAt);
  IndexList(shadows, &shadowAt);

  // Second pass: tie each displayed record to its catalogue version, or fill it from its
  // shadow.
  for (int i = rdisp.GetSize(); i-- > 0;) {
    DBRecord& r = rdisp[i];
    DBQuery q(r.GetFieldInfo(), false);
    if (!PCsetQuery(&q, r, idOnly)) continue;
    int j = holds ? FindIndexed(rcommon, commonAt, q) : -1;
    if (j >= 0) {
      rdisp_link[j].Link(&r);
      TransferFields(&r, rcommon.Get(j));
      const long h = q.rlo.ComputeHashIndex();
      auto it = std::lower_bound(commonAt.begin(), commonAt.end(), std::make_pair(h, INT_MIN));
      if (h >= 0 && it != commonAt.end() && it->first == h) {
        for (; it != commonAt.end() && it->first == h; ++it) {
          const int k = it->second;
          if (k != j && rcommon.Get(k).l != nullptr && rcommon.Get(k).MatchQuery(&q))
            rcommon[k].Init();
        }
      } else {
        for (int k = j + 1; k < rcommon.GetSize(); k++)
          if (rcommon.Get(k).l != nullptr && rcommon.Get(k).MatchQuery(&q)) rcommon[k].Init();
      }
      continue;
    }
    if (!sholds) continue;
    if (!idOnly) PCsetQuery(&q, r, true);
    const int s = FindIndexed(shadows, shadowAt, q);
    if (s >= 0) {
      TransferFields(&r, shadows.Get(s));
      shadows[s].Init();
    }
  }
  // A catalogue record that no displayed record took leaves both lists together.
  for (int k = 0; k < rcommon.GetSize(); k++)
    if (rdisp_link.Get(k).l == nullptr) rcommon[k].Init();
  rcommon.Compact(false);
  rdisp_link.Compact(false);
  DMASSERT(rcommon.GetSize() == rdisp_link.GetSize());
  if (sholds) {
    shadows.Compact(false);
    if (shadows.GetSize() > 0 && sdb.DeleteRecords(shadows.GetArray(), shadows.GetSize()) > 0)
      shadowChanged = true;
  }
  PmarkReadOnly(&rcommon);
  return rcommon.GetSize();
}

bool PContext::Reconcile(DBRecord* record) {
  if (record == nullptr || record->GetFieldInfo() == nullptr) return false;
  const bool open = Ready();
  const bool idOnly = !open || uniq;
  DBQuery q(record->GetFieldInfo(), false);
  if (!PCsetQuery(&q, *record, idOnly)) return false;
  DBRecord found;
  if (open) {
    pdb.Checkpoint(nullptr, nullptr);
    int pos = 0;
    if (pdb.FindRecords(&q, &found, 1, &pos) == 1) return TransferFields(record, found);
  } else if (sdb.Ready()) {
    int pos = 0;
    if (sdb.FindRecords(&q, &found, 1, &pos) == 1) return TransferFields(record, found);
  }
  return false;
}

int PContextState::FixLinks(bool rebuild) {
  const int nc = rcommon.GetSize();
  int count = 0;
  std::vector<bool> linked(static_cast<size_t>(nc), false);
  if (rebuild || rdisp_link.GetSize() != nc) {
    rdisp_link.Init(nullptr, nc);
  } else {
    bool unresolved = false;
    for (int k = nc; k-- > 0;) {
      DBRecord& lk = rdisp_link[k];
      if (lk.l == nullptr || lk.GetNAssigned() < 1) {
        unresolved = true;
      } else if (lk.l->nlinks > 1) {
        linked[k] = true;
      } else {
        int i = rdisp.GetSize();
        while (i-- > 0)
          if (rdisp.Get(i).l != nullptr && rdisp.Get(i) == lk) break;
        if (i >= 0 && lk.Link(&rdisp[i]) == 1) {
          linked[k] = true;
          count++;
        } else {
          unresolved = true;
        }
      }
    }
    if (!unresolved) return count;
    DMESSAGE(DMCwarning, "Resorting to record search in FixLinks");
  }
  return LinkBySearch(linked, count);
}

int PContextState::LinkBySearch(const std::vector<bool>& linked, int count) {
  const int nc = rcommon.GetSize();
  if (linked.size() != static_cast<size_t>(nc) || rdisp_link.GetSize() != nc) return count;
  // The displayed records by hash index, made once for all the searches.
  SortedPositions index;
  bool indexed = false;
  auto find = [&](const DBQuery& q) {
    if (!indexed) IndexList(rdisp, &index);
    indexed = true;
    return FindIndexed(rdisp, index, q);
  };
  for (int k = nc; k-- > 0;) {
    PworkItem(nc - k, nc);
    if (linked[k]) continue;
    const DBRecord& c = rcommon.Get(k);
    int i = -1;
    if (c.GetFieldInfo() != nullptr) {
      DBQuery q(c.GetFieldInfo(), true);
      if (PCsetQuery(&q, c, uniq)) {
        i = find(q);
        if (i < 0 && !uniq && PCsetQuery(&q, c, true)) i = find(q);
      }
    }
    if (i >= 0 && rdisp_link[k].Link(&rdisp[i]) == 1) {
      count++;
    } else {
      DMESSAGE(DMCwarning, "Lost DB link in FixLinks");
      rcommon[k].Init();
      rdisp_link[k].Init();
    }
  }
  rcommon.Compact(false);
  rdisp_link.Compact(false);
  return count;
}

void PContextState::ReflectChange(const DBChangeList* change, bool undo) {
  if (change == nullptr) return;
  SelectNone();
  // Records the change brings that the display already shows (a redone add of displayed
  // records) are not shown a second time.
  std::unordered_set<const DBRLink*> shown;
  for (int i = 0; i < rdisp.GetSize(); i++) shown.insert(rdisp.Get(i).l);
  std::vector<const DBRecord*> dispFrom;
  {
    // A displayed record need not equal its catalogue version (a folder's records name the
    // folder shown as well as those the catalogue knows): a removal of the catalogue version
    // takes the displayed record linked to it.
    DBRecordList versions(nullptr);
    const int nc = rcommon.GetSize(), nd = rdisp.GetSize();
    if (nc > 0 && rdisp_link.GetSize() == nc && versions.Resize(nd, true) == nd) {
      // The links by field array, sorted once for all the look-ups.
      std::vector<std::pair<const DBRLink*, int>> versionAt;
      versionAt.reserve(static_cast<size_t>(nc));
      for (int k = 0; k < nc; k++)
        if (rdisp_link.Get(k).l != nullptr) versionAt.emplace_back(rdisp_link.Get(k).l, k);
      std::sort(versionAt.begin(), versionAt.end());
      for (int i = 0; i < nd; i++) {
        const DBRLink* l = rdisp.Get(i).l;
        auto it = std::lower_bound(versionAt.begin(), versionAt.end(), std::make_pair(l, -1));
        if (l != nullptr && it != versionAt.end() && it->first == l)
          versions[i].Link(&rcommon[it->second]);
      }
    }
    change->ReflectChange(&rdisp, undo, &dispFrom, versions.GetSize() == nd ? &versions : nullptr,
                          false, true);
  }
  HashPositions before;
  for (int i = 0; i < rdisp.GetSize(); i++) {
    const DBRecord& r = rdisp.Get(i);
    if (shown.count(r.l) != 0) before[r.ComputeHashIndex()].push_back(i);
  }
  bool dropped = false;
  for (int i = 0; i < rdisp.GetSize() && !before.empty(); i++) {
    DBRecord& r = rdisp[i];
    if (r.l == nullptr || shown.count(r.l) != 0) continue;
    auto it = before.find(r.ComputeHashIndex());
    if (it == before.end()) continue;
    for (int k : it->second)
      if (rdisp.Get(k) == r) {
        r.Init();
        dropped = true;
        break;
      }
  }
  if (dropped) {
    size_t k = 0;
    for (int i = 0; i < rdisp.GetSize(); i++)
      if (!DBRecordList::Drops(rdisp.Get(i))) dispFrom[k++] = dispFrom[static_cast<size_t>(i)];
    dispFrom.resize(k);
    rdisp.Compact(false);
  }
  PworkStep(-1);
  // The links stay with the catalogue records they belong to while the change removes and
  // appends them; a record the change brings to both lists is linked to its displayed copy.
  std::vector<const DBRecord*> commonFrom;
  const bool inStep = rdisp_link.GetSize() == rcommon.GetSize();
  change->ReflectChange(&rcommon, undo, &commonFrom, inStep ? &rdisp_link : nullptr, true);
  PmarkReadOnly(&rcommon);
  PworkStep(-1);
  const int nc = rcommon.GetSize();
  if (!inStep || rdisp_link.GetSize() != nc || commonFrom.size() != static_cast<size_t>(nc) ||
      dispFrom.size() != static_cast<size_t>(rdisp.GetSize())) {
    FixLinks(true);
  } else {
    std::unordered_map<const DBRecord*, int> broughtAt;
    std::unordered_set<const DBRLink*> kept;  // arrays of the records still shown from before
    for (int i = 0; i < rdisp.GetSize(); i++) {
      if (dispFrom[static_cast<size_t>(i)] != nullptr)
        broughtAt.emplace(dispFrom[static_cast<size_t>(i)], i);
      else if (rdisp.Get(i).l != nullptr)
        kept.insert(rdisp.Get(i).l);
    }
    std::vector<bool> linked(static_cast<size_t>(nc), false);
    int count = 0;
    for (int k = 0; k < nc; k++) {
      DBRecord& lk = rdisp_link[k];
      if (lk.l != nullptr && kept.count(lk.l) != 0) {
        linked[static_cast<size_t>(k)] = true;
        continue;
      }
      lk.Init();
      const DBRecord* src = commonFrom[static_cast<size_t>(k)];
      auto it = src != nullptr ? broughtAt.find(src) : broughtAt.end();
      if (it != broughtAt.end() && lk.Link(&rdisp[it->second]) == 1) {
        linked[static_cast<size_t>(k)] = true;
        count++;
      }
    }
    LinkBySearch(linked, count);
  }
  if (undo) return;
  for (const DBChangeList* ch = change; ch != nullptr; ch = ch->prev) {
    if (ch != change && ch->Named()) break;
    Catalog(ch->radd.GetArray(), ch->radd.GetSize());
  }
}

bool PContext::HashRecord(DBRecord* r) {
  char path[kPathLen];
  long hash = 0, nbytes = 0;
  if (PcurrentFile(path, sizeof(path), *r) == nullptr) {
    DMESSAGE(DMCwarning, "Cannot hash '%.900s'", PDBgetField(*r, PDBFfile).GetString(0));
    return false;
  }
  if (!PhashFile(&hash, &nbytes, path)) {
    DMESSAGE(DMCwarning, "Cannot hash '%s'", path);
    return false;
  }
  const DBFieldInfo* rs = r->GetFieldInfo();
  const int hid = rs->XlateID(&PDBFInfo, PDBFhashval);
  const int nid = rs->XlateID(&PDBFInfo, PDBFnbytes);
  if (hid >= 0) r->SetField(hid, hash);
  if (nid >= 0) r->SetField(nid, nbytes);
  return true;
}
