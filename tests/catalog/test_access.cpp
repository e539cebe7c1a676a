// The undoable catalogue store: random operations against a reference model (a multiset of
// records with pending, undo and redo lists), labelled and unnamed steps, and changes that
// the store cannot take in full leaving it as it was.
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/catalog_test_util.h"
#include "catalog/pixhaven.h"
#include "support/cache.h"

using cattest::TempFile;

namespace {

constexpr int kBig = 1000000;  // keys from here on make records too big for any block

// The record of a key: identity, a float, a multi-valued field; big keys get a huge title.
void KeyRecord(DBRecord* r, const DBFieldInfo* s, int key) {
  r->Init(s);
  char name[80];
  snprintf(name, sizeof(name), "IMG_%05d.JPG", key % kBig);
  r->SetField(PDBFfile, name);
  r->SetField(PDBFnbytes, static_cast<long>(1000 + key));
  r->SetField(PDBFhashval, (key * 7919L) & 0x7FFFFFFF);
  r->SetField(PDBFlatitude, 40.0f + key * 0.001f);
  const char* kw[2] = {"beach", key % 2 ? "sunset" : "family"};
  r->SetField(PDBFkeyword, kw, 1 + key % 2);
  if (key >= kBig) r->SetField(PDBFtitle, std::string(70000, 't').c_str());
}

int KeyOf(const DBRecord& r) {
  return static_cast<int>(PDBgetField(r, PDBFnbytes).GetInt()) - 1000;
}

using Restores = std::vector<std::tuple<int, std::string, bool>>;

// Snapshots that log their restores and count how many are alive.
struct SnapLog {
  Restores restores;
  int live = 0;
};

class TestSnap : public PSnapshot {
 public:
  TestSnap(int id, SnapLog* log) : id_(id), log_(log) { log_->live++; }
  ~TestSnap() override { log_->live--; }
  bool Restore(const DBChangeList* ch, bool undo) override {
    log_->restores.emplace_back(id_, ch->name, undo);
    return true;
  }

 private:
  int id_;
  SnapLog* log_;
};

// A catalogue file with its header and store, under a memory budget.
struct Catalog {
  Catalog(const std::string& path, uint64_t budget)
      : oldBudget(CacheObject::tab.memoryBudget), fs(cattest::OpenStream(path)) {
    CacheObject::tab.memoryBudget = budget;
    db.reset(new PDBAccess(&header, fs.get(), false));
  }
  ~Catalog() {
    Close();
    CacheObject::tab.memoryBudget = oldBudget;
  }
  void Close() {
    if (db) db->Close();
    db.reset();
    header.Attach(nullptr, true);
  }
  // Keys of the stored records, read past the pending change.
  std::multiset<int> Stored() {
    int n = db->DBAccess::TotalRecords();
    std::vector<DBRecord> recs(n > 0 ? n : 1);
    std::multiset<int> keys;
    for (int i = db->DBAccess::GetRecords(recs.data(), n, 0); i-- > 0;) keys.insert(KeyOf(recs[i]));
    return keys;
  }
  int Add(const std::vector<int>& keys) { return Do(keys, true); }
  int Delete(const std::vector<int>& keys) { return Do(keys, false); }
  int Do(const std::vector<int>& keys, bool add) {
    std::vector<DBRecord> v(keys.size());
    for (size_t i = 0; i < keys.size(); i++) KeyRecord(&v[i], &header, keys[i]);
    int n = static_cast<int>(v.size());
    return add ? db->AddRecords(v.data(), n) : db->DeleteRecords(v.data(), n);
  }
  const char* Label(const DBChangeList* ch) { return ch != nullptr ? ch->name : "(none)"; }

  uint64_t oldBudget;
  PDBHeader header;
  std::unique_ptr<std::fstream> fs;
  std::unique_ptr<PDBAccess> db;
};

// The reference: the store as a multiset of keys, changes as key lists (heads at the back).
struct Model {
  struct Change {
    std::string name;
    std::vector<int> add, del;
    int snap;
  };
  std::multiset<int> store;
  std::optional<Change> pending;
  std::vector<Change> undo, redo;
  Restores restores;
  int live = 0;  // snapshots held

  void Open(const char* name, int snap) {
    pending = Change{name ? std::string(name).substr(0, 31) : "", {}, {}, snap};
    live += snap >= 0;
  }
  void Forget(std::vector<Change>* list) {
    for (const Change& c : *list) live -= c.snap >= 0;
    list->clear();
  }
  // Deleting removes every equal stored record; all or nothing.
  bool Apply(const std::vector<int>& del, const std::vector<int>& add) {
    for (int k : add)
      if (k >= kBig) return false;
    for (int k : del) store.erase(k);
    store.insert(add.begin(), add.end());
    return true;
  }
  void Restored(const Change& c, bool undoing) {
    if (c.snap >= 0) restores.emplace_back(c.snap, c.name, undoing);
  }
  bool Checkpoint(const char* name, int snap) {
    if (pending && pending->add.empty() && pending->del.empty()) {
      live -= pending->snap >= 0;
      pending.reset();
    }
    if (name != nullptr) Forget(&redo);
    if (pending && !Apply(pending->del, pending->add)) return false;
    if (pending) undo.push_back(*pending);
    pending.reset();
    if (name != nullptr || snap >= 0) Open(name, snap);
    return true;
  }
  // slot >= 0: the record given is the pending addition at that slot.
  void Delete(const std::vector<int>& keys, int slot = -1) {
    if (!pending) Open(nullptr, -1);
    std::vector<int>& add = pending->add;
    const bool cancel = !add.empty() && keys.size() * add.size() <= 10000;
    std::vector<bool> gone(add.size(), false);
    for (int k : keys) {
      int at = cancel ? slot : -1;
      for (int j = static_cast<int>(add.size()); cancel && at < 0 && j-- > 0;)
        if (!gone[j] && add[j] == k) at = j;
      if (at >= 0)
        gone[at] = true;
      else
        pending->del.push_back(k);
    }
    std::vector<int> kept;
    for (size_t j = 0; j < add.size(); j++)
      if (!gone[j]) kept.push_back(add[j]);
    add = kept;
  }
  std::string Undo() {
    if (pending) {
      Change c = *pending;
      pending.reset();
      redo.push_back(c);
      Restored(c, true);
      if (!c.name.empty()) return c.name;
    }
    while (!undo.empty() && Apply(undo.back().add, undo.back().del)) {
      Change s = undo.back();
      undo.pop_back();
      redo.push_back(s);
      Restored(s, true);
      if (!s.name.empty()) return s.name;
    }
    return "(none)";
  }
  std::string Redo() {
    while (!redo.empty() && Checkpoint(nullptr, -1)) {
      pending = redo.back();
      redo.pop_back();
      Restored(*pending, false);
      if (!pending->name.empty()) return pending->name;
    }
    return "(none)";
  }
  std::string UndoName() const {
    if (pending && !pending->name.empty()) return pending->name;
    return FirstNamed(undo);
  }
  static std::string FirstNamed(const std::vector<Change>& list) {
    for (auto it = list.rbegin(); it != list.rend(); ++it)
      if (!it->name.empty()) return it->name;
    return "(none)";
  }
  int Total() const {
    return static_cast<int>(store.size() + (pending ? pending->add.size() : 0)) -
           static_cast<int>(pending ? pending->del.size() : 0);
  }
};

std::string Str(const char* s) {
  return s != nullptr ? s : "(none)";
}

}  // namespace

TEST(CatalogAccess, RandomOperationsAgreeWithTheModel) {
  MessageLog messages;
  TempFile f("catmodel");
  SnapLog log;
  Model m;
  std::mt19937 rng(2017);
  auto rnd = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  long long restores = 0;
  {
    Catalog c(f.path, 2 * DB_BLOCKSIZE);  // far fewer pages than the store holds
    ASSERT_TRUE(c.db->Ready());
    for (int op = 0, snaps = 0; op < 2000; op++) {
      const int kind = rnd(100);
      if (kind < 22) {  // checkpoints: labelled or not, with or without a snapshot
        char label[48];
        snprintf(label, sizeof(label), "Step %d, a label longer than the room", op);
        const char* name = kind < 16 ? label : nullptr;
        const int sid = kind % 3 != 0 ? snaps++ : -1;
        const bool want = m.Checkpoint(name, sid);
        ASSERT_EQ(c.db->Checkpoint(name, sid >= 0 ? new TestSnap(sid, &log) : nullptr), want);
      } else if (kind < 47) {  // additions, now and then of a record too big for the store
        std::vector<int> keys;
        for (int i = rnd(12) + 1; i-- > 0;) keys.push_back(rnd(40) ? rnd(700) : kBig + rnd(5));
        ASSERT_EQ(c.Add(keys), static_cast<int>(keys.size()));
        m.pending ? void() : m.Open(nullptr, -1);
        m.pending->add.insert(m.pending->add.end(), keys.begin(), keys.end());
      } else if (kind < 57) {  // deletions of stored records, of others and of big ones
        std::vector<int> keys;
        for (int i = rnd(6) + 1; i-- > 0;) {
          auto it = m.store.begin();
          if (!m.store.empty() && rnd(3) != 0)
            std::advance(it, rnd(static_cast<int>(m.store.size())));
          else
            it = m.store.end();
          keys.push_back(it != m.store.end() ? *it : rnd(60) ? rnd(700) : kBig + rnd(5));
        }
        ASSERT_EQ(c.Delete(keys), static_cast<int>(keys.size()));
        m.Delete(keys);
      } else if (kind < 64) {  // deletions of pending additions, by value or in place
        const DBChangeList* p = c.db->Pending();
        if (p == nullptr || p->radd.GetSize() == 0) continue;
        const int slot = rnd(p->radd.GetSize()), key = KeyOf(p->radd.Get(slot));
        const bool inPlace = rnd(2) == 0;
        ASSERT_EQ(inPlace ? c.db->DeleteRecords(&p->radd.GetArray()[slot], 1) : c.Delete({key}), 1);
        m.Delete({key}, inPlace ? slot : -1);
      } else if (kind < 70) {  // reads commit first and fail with the commit
        const bool ok = m.Checkpoint(nullptr, -1);
        DBRecord r, out[4];
        KeyRecord(&r, &c.header, rnd(700));
        DBQuery q(static_cast<DBQuery*>(nullptr));
        ASSERT_TRUE(PCsetQuery(&q, r, true));
        int pos = 0;
        int n = kind % 2 ? c.db->FindRecords(&q, out, 4, &pos) : c.db->GetRecords(out, 4, 0);
        ASSERT_TRUE(ok || n == 0);
      } else if (kind < 82) {
        ASSERT_EQ(c.Label(c.db->Undo()), m.Undo()) << op;
      } else if (kind < 92) {
        ASSERT_EQ(c.Label(c.db->Redo()), m.Redo()) << op;
      } else if (kind < 93) {
        const bool ok = m.Checkpoint(nullptr, -1);
        m.Forget(&m.undo);
        m.Forget(&m.redo);
        ASSERT_EQ(c.db->ClearChanges(), ok);
      } else if (kind < 96) {
        ASSERT_EQ(c.db->Sync(), m.Checkpoint(nullptr, -1));
        ASSERT_EQ(c.db->GetNUnsynced(), 0);
      } else if (m.pending) {  // a blocked commit is let through by taking the big records out
        std::vector<int> big;
        for (int k : m.pending->add)
          if (k >= kBig) big.push_back(k);
        ASSERT_EQ(c.Delete(big), static_cast<int>(big.size()));
        m.Delete(big);
      }
      ASSERT_EQ(c.Stored(), m.store) << op;
      ASSERT_EQ(c.db->TotalRecords(), m.Total()) << op;
      ASSERT_EQ(Str(c.db->UndoName()), m.UndoName()) << op;
      ASSERT_EQ(Str(c.db->RedoName()), Model::FirstNamed(m.redo)) << op;
      ASSERT_EQ(log.restores, m.restores) << op;
      ASSERT_EQ(log.live, m.live) << op;
    }
    for (const DBAccess* p = c.db.get(); p != nullptr; p = p->NextPage())
      restores += p->NumRestores();
  }
  EXPECT_GT(restores, 0) << "the budget evicted no page";
  EXPECT_EQ(log.live, 0);
  int failed[2] = {0, 0};  // commits and undos the store could not take
  for (const auto& e : messages.entries) {
    failed[0] += e.second.find("in Checkpoint") != std::string::npos && e.first == DMCdata;
    failed[1] += e.second.find("Unable to undelete") == 0;
  }
  EXPECT_GT(failed[0], 5);
  EXPECT_GT(failed[1], 2) << failed[0];
  EXPECT_QDB_SOUND(f.path);
}

TEST(CatalogAccess, LabelsAndSteps) {
  MessageLog messages;
  TempFile f("catsteps");
  SnapLog log;
  Catalog c(f.path, 0);
  // An empty labelled change is dropped with its snapshot at the next checkpoint.
  ASSERT_TRUE(c.db->Checkpoint("Add", new TestSnap(1, &log)));
  ASSERT_TRUE(c.db->Checkpoint("Delete", new TestSnap(2, &log)));
  EXPECT_TRUE(messages.Has(DMCwarning, "Empty change 'Add' ignored"));
  EXPECT_EQ(log.live, 1);
  EXPECT_STREQ(c.db->UndoName(), "Delete");  // pending, not yet committed
  ASSERT_EQ(c.Add({4}), 1);
  DBRecord out[2];
  EXPECT_EQ(c.db->GetRecords(out, 2, 0), 1);  // the read committed
  // A: labelled; B: unnamed, added after the read. Undo reverts both and returns A.
  ASSERT_EQ(c.Add({6}), 1);
  EXPECT_STREQ(c.Label(c.db->Undo()), "Delete");
  EXPECT_TRUE(c.Stored().empty());
  EXPECT_STREQ(c.db->RedoName(), "Delete");
  // Redo makes A pending and leaves B on the redo list; the next Redo reapplies B.
  EXPECT_STREQ(c.Label(c.db->Redo()), "Delete");
  EXPECT_NE(c.db->RedoList(), nullptr);
  EXPECT_EQ(c.db->RedoName(), nullptr);
  EXPECT_EQ(c.db->TotalRecords(), 1);
  EXPECT_EQ(c.db->Redo(), nullptr);
  EXPECT_EQ(c.db->RedoList(), nullptr);
  EXPECT_EQ(c.db->TotalRecords(), 2);
  EXPECT_EQ(log.restores, (Restores{{2, "Delete", true}, {2, "Delete", false}}));
  // An unlabelled checkpoint keeps what was undone, a labelled one forgets it.
  ASSERT_NE(c.db->Undo(), nullptr);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  EXPECT_STREQ(c.db->RedoName(), "Delete");
  ASSERT_TRUE(c.db->Checkpoint("Set Title of a very long list of records", nullptr));
  EXPECT_EQ(c.db->RedoName(), nullptr);
  EXPECT_EQ(log.live, 0);
  EXPECT_STREQ(c.db->UndoName(), "Set Title of a very long list o");  // 31 characters
}

TEST(CatalogAccess, FailedChangesLeaveTheStoreAsItWas) {
  MessageLog messages;
  TempFile f("catrollback");
  SnapLog log;
  Catalog c(f.path, 0);
  ASSERT_EQ(c.Add({7, 7, 8, 9}), 4);  // 7 twice: a duplicate entry
  ASSERT_TRUE(c.db->Checkpoint("Import", nullptr));
  const std::multiset<int> before = c.Stored();
  // Deletes both 7s and 8; adds a third 9, a 10, then a record too big for any block.
  ASSERT_EQ(c.Delete({7, 8}), 2);
  ASSERT_EQ(c.Add({9, 10, kBig}), 3);
  EXPECT_FALSE(c.db->Checkpoint("Next", new TestSnap(1, &log)));
  EXPECT_TRUE(messages.Has(DMCdata, "Unable to add 1 records in Checkpoint"));
  EXPECT_EQ(log.live, 0);
  EXPECT_EQ(c.Stored(), before);
  EXPECT_STREQ(c.db->UndoName(), "Import");  // still pending
  DBRecord out[8];
  EXPECT_EQ(c.db->GetRecords(out, 8, 0), 0);
  ASSERT_EQ(c.Delete({kBig}), 1);  // taking the big record out lets the change through
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  EXPECT_EQ(c.Stored(), (std::multiset<int>{9, 9, 10}));
  // A step that deleted a record too big to be put back cannot be undone: what it added
  // stays, and the step stays on the undo list.
  ASSERT_TRUE(c.db->Checkpoint("Remove", nullptr));
  ASSERT_EQ(c.Delete({10, kBig + 1}), 2);
  ASSERT_EQ(c.Add({11}), 1);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  EXPECT_EQ(c.db->Undo(), nullptr);
  EXPECT_TRUE(messages.Has(DMCdata, "Unable to undelete 1 records in Undo"));
  EXPECT_EQ(c.Stored(), (std::multiset<int>{9, 9, 11}));
  EXPECT_STREQ(c.db->UndoName(), "Remove");
  c.Close();
  EXPECT_QDB_SOUND(f.path);
}

TEST(CatalogAccess, ChangesReflectInDisplayedLists) {
  Catalog c(TempFile("catreflect").path, 0);
  DBRecordList shown(&c.header);
  for (int k : {1, 2, 3}) KeyRecord(&shown.NewRecord(), &c.header, k);
  auto keys = [&]() {
    std::multiset<int> s;
    for (int i = 0; i < shown.GetSize(); i++) s.insert(KeyOf(shown.Get(i)));
    return s;
  };
  ASSERT_TRUE(c.db->Checkpoint("Edit", nullptr));
  ASSERT_EQ(c.Delete({2}), 1);
  ASSERT_EQ(c.Add({4, 5}), 2);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  ASSERT_EQ(c.Add({6}), 1);  // an unnamed step behind the labelled one
  const DBChangeList* u = c.db->Undo();
  ASSERT_NE(u, nullptr);
  ASSERT_TRUE(u->ReflectChange(&shown, false));
  EXPECT_EQ(keys(), (std::multiset<int>{1, 3, 4, 5, 6}));
  ASSERT_TRUE(u->ReflectChange(&shown, true));
  EXPECT_EQ(keys(), (std::multiset<int>{1, 2, 3}));
  EXPECT_FALSE(DBChangeList(&c.header, "Nothing").ReflectChange(&shown, false));
}
