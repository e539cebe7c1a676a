// Bulk edits of a catalogue with thousands of records displayed: random keyword sets, additions,
// undos, redos, syncs and reopenings against a plain reference (the store as key -> value, the
// display as a list), the file checked by the outside checker and kept from growing.
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/catalog_test_util.h"
#include "catalog/pixhaven.h"
#include "support/cache.h"

namespace {

using Entry = std::pair<int, int>;  // key, value (the keyword variant)

void ValueRecord(DBRecord* r, const DBFieldInfo* s, int key, int value) {
  r->Init(s);
  char name[40], kw[24];
  snprintf(name, sizeof(name), "IMG_%06d.JPG", key);
  r->SetField(PDBFfile, name);
  r->SetField(PDBFnbytes, static_cast<long>(5000 + key));
  r->SetField(PDBFhashval, (key * 7919L) & 0x7FFFFFFF);
  r->SetField(PDBFtitle, std::string(150 + key % 50, 'a' + key % 26).c_str());
  snprintf(kw, sizeof(kw), "mark%d", value);
  const char* kws[2] = {"base", kw};
  r->SetField(PDBFkeyword, kws, value == 0 ? 1 : 2);
}

Entry EntryOf(const DBRecord& r) {
  int key = static_cast<int>(PDBgetField(r, PDBFnbytes).GetInt()) - 5000;
  const DBField& kw = PDBgetField(r, PDBFkeyword);
  int value = kw.nv > 1 ? atoi(kw.GetString(1) + 4) : 0;
  return {key, value};
}

struct Store {
  explicit Store(const std::string& p) : path(p), file(p) { Open(); }
  ~Store() { Shut(); }
  void Open() {
    fs.reset(cattest::OpenStream(path));
    db.reset(new PDBAccess(nullptr, nullptr, false));
    db->Init(&header, fs.get(), &file, false);
  }
  void Shut() {
    if (db) {
      EXPECT_TRUE(db->Close());
    }
    db.reset();
    header.Attach(nullptr, true);
    fs.reset();
  }
  std::map<int, int> Stored() {
    int n = db->TotalRecords();
    std::vector<DBRecord> recs(n > 0 ? n : 1);
    std::map<int, int> out;
    for (int i = db->GetRecords(recs.data(), n, 0); i-- > 0;) out.insert(EntryOf(recs[i]));
    return out;
  }
  std::string path;
  DBFile file;
  PDBHeader header;
  std::unique_ptr<std::fstream> fs;
  std::unique_ptr<PDBAccess> db;
};

struct Step {
  std::vector<Entry> del, add;
};

// The reference display follows a change as the store's display does: removals from the back,
// additions appended in order.
void Reflect(std::vector<Entry>* shown, const std::vector<Entry>& out,
             const std::vector<Entry>& in) {
  for (const Entry& e : out) {
    auto it = std::find(shown->rbegin(), shown->rend(), e);
    if (it != shown->rend()) shown->erase(std::next(it).base());
  }
  shown->insert(shown->end(), in.begin(), in.end());
}

TEST(CatalogBulkEdit, RandomBulkEditsUndosAndRedosAgreeWithAPlainReference) {
  cattest::TempFile tf("bulkedit");
  const uint64_t oldBudget = CacheObject::tab.memoryBudget;
  CacheObject::tab.memoryBudget = 1 << 20;  // about 16 blocks: pages are written back early
  std::mt19937 rng(20240611);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

  std::map<int, int> ref;
  std::vector<Entry> refShown;
  std::vector<Step> undo, redo;
  auto s = std::make_unique<Store>(tf.path);
  const int n0 = 6000;
  {
    DBRecordList recs(&s->header);
    recs.Resize(n0);
    for (int k = 0; k < n0; k++) ValueRecord(&recs[k], &s->header, k, 0), ref[k] = 0;
    ASSERT_EQ(s->db->AddRecords(recs.GetArray(), n0), n0);
    ASSERT_TRUE(s->db->ClearChanges());
    ASSERT_TRUE(s->db->Sync());
  }
  const long long size0 = tf.Size();
  DBRecordList shown(&s->header);
  shown.Resize(n0);
  ASSERT_EQ(s->db->GetRecords(shown.Array(), n0, 0), n0);
  for (int i = 0; i < n0; i++) refShown.push_back(EntryOf(shown.Get(i)));
  int nextKey = n0, nextValue = 1;

  for (int op = 0; op < 60; op++) {
    const int what = pick(10);
    if (what < 4 && !refShown.empty()) {
      // A keyword set, or a deletion, on a run of the display and some records spread over it.
      const bool erase = what == 0;
      std::vector<int> at;
      int from = pick(static_cast<int>(refShown.size())), len = 1 + pick(2500);
      for (int i = from; i < from + len && i < static_cast<int>(refShown.size()); i++)
        at.push_back(i);
      for (int k = 0; k < 200; k++) at.push_back(pick(static_cast<int>(refShown.size())));
      std::sort(at.begin(), at.end());
      at.erase(std::unique(at.begin(), at.end()), at.end());
      Step st;
      DBRecordList del(&s->header), add(&s->header);
      const int value = nextValue++;
      for (int i : at) {
        del.NewRecord() = shown.Get(i);
        st.del.push_back(refShown[static_cast<size_t>(i)]);
        if (erase) continue;
        ValueRecord(&add.NewRecord(), &s->header, refShown[static_cast<size_t>(i)].first, value);
        st.add.push_back({refShown[static_cast<size_t>(i)].first, value});
      }
      ASSERT_TRUE(s->db->Checkpoint(erase ? "Delete" : "Set Keyword", nullptr));
      ASSERT_EQ(s->db->DeleteRecords(del.GetArray(), del.GetSize()), del.GetSize());
      if (!erase) {
        ASSERT_EQ(s->db->AddRecords(add.GetArray(), add.GetSize()), add.GetSize());
      }
      ASSERT_TRUE(s->db->Checkpoint(nullptr, nullptr));
      ASSERT_TRUE(s->db->UndoList()->ReflectChange(&shown, false));
      for (const Entry& e : st.del) ref.erase(e.first);
      for (const Entry& e : st.add) ref[e.first] = e.second;
      Reflect(&refShown, st.del, st.add);
      undo.push_back(st);
      redo.clear();
    } else if (what == 4) {
      // New records, shown at the end.
      Step st;
      DBRecordList add(&s->header);
      for (int k = 1 + pick(800); k-- > 0;) {
        ValueRecord(&add.NewRecord(), &s->header, nextKey, 0);
        st.add.push_back({nextKey++, 0});
      }
      ASSERT_TRUE(s->db->Checkpoint("Add", nullptr));
      ASSERT_EQ(s->db->AddRecords(add.GetArray(), add.GetSize()), add.GetSize());
      ASSERT_TRUE(s->db->Checkpoint(nullptr, nullptr));
      ASSERT_TRUE(s->db->UndoList()->ReflectChange(&shown, false));
      for (const Entry& e : st.add) ref[e.first] = e.second;
      Reflect(&refShown, {}, st.add);
      undo.push_back(st);
      redo.clear();
    } else if (what <= 6) {
      const DBChangeList* u = s->db->Undo();
      ASSERT_EQ(u != nullptr, !undo.empty()) << op;
      if (u == nullptr) continue;
      ASSERT_TRUE(u->ReflectChange(&shown, true));
      Step st = undo.back();
      undo.pop_back();
      for (const Entry& e : st.add) ref.erase(e.first);
      for (const Entry& e : st.del) ref[e.first] = e.second;
      Reflect(&refShown, st.add, st.del);
      redo.push_back(st);
    } else if (what == 7) {
      const DBChangeList* r = s->db->Redo();
      ASSERT_EQ(r != nullptr, !redo.empty()) << op;
      if (r == nullptr) continue;
      ASSERT_TRUE(s->db->Checkpoint(nullptr, nullptr));
      ASSERT_TRUE(r->ReflectChange(&shown, false));
      Step st = redo.back();
      redo.pop_back();
      for (const Entry& e : st.del) ref.erase(e.first);
      for (const Entry& e : st.add) ref[e.first] = e.second;
      Reflect(&refShown, st.del, st.add);
      undo.push_back(st);
    } else if (what == 8) {
      ASSERT_TRUE(s->db->Sync());
    } else {
      // Reopened: the history goes, the display stays.
      s->Shut();
      s->Open();
      ASSERT_TRUE(s->db->Ready());
      undo.clear();
      redo.clear();
    }
    ASSERT_EQ(static_cast<size_t>(shown.GetSize()), refShown.size()) << op;
    for (int i = 0; i < shown.GetSize(); i++)
      ASSERT_EQ(EntryOf(shown.Get(i)), refShown[static_cast<size_t>(i)]) << op << " at " << i;
    if (op % 10 == 9) {
      ASSERT_EQ(s->Stored(), ref) << op;
    }
  }
  ASSERT_TRUE(s->db->Sync());
  s->Shut();
  // The space freed by edits went to later ones: the file holds about the records it has.
  EXPECT_LE(tf.Size(), size0 * static_cast<long long>(ref.size() + 3000) / n0);
  int rc = 0;
  std::string out;
  if (cattest::RunQdbcheck(tf.path, &rc, &out)) {
    EXPECT_EQ(rc, 0) << out;
  }
  s->Open();
  EXPECT_EQ(s->Stored(), ref);
  s.reset();
  CacheObject::tab.memoryBudget = oldBudget;
}

}  // namespace
