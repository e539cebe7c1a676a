// The undoable catalogue store: a model test of random operations against a reference (a
// multiset of records with pending, undo and redo lists), the cases of labels and steps, and
// the all-or-nothing application of changes.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/catalog_test_util.h"
#include "catalog/pixhaven.h"
#include "support/cache.h"
#include "testutil/message_log.h"

using cattest::TempFile;

namespace {

constexpr int kBig = 1000000;  // keys from here on make records too big for any block

// Record of a key: the identity and a few values, from the key alone.
void KeyRecord(DBRecord* r, const DBFieldInfo* s, int key) {
  r->Init(s);
  char name[32];
  snprintf(name, sizeof(name), "IMG_%05d.JPG", key % kBig);
  r->SetField(PDBFfile, name);
  r->SetField(PDBFnbytes, static_cast<long>(1000 + key));
  r->SetField(PDBFhashval, static_cast<long>((key * 7919L) & 0x7FFFFFFF));
  r->SetField(PDBFlatitude, 40.0f + key * 0.001f);
  const char* kw[2] = {"beach", key % 2 ? "sunset" : "family"};
  r->SetField(PDBFkeyword, kw, 1 + key % 2);
  if (key >= kBig)
    r->SetField(PDBFtitle, std::string(70000, 't').c_str());
  else if (key % 3 == 0)
    r->SetField(PDBFtitle, "Harbour");
}

int KeyOf(const DBRecord& r) {
  return static_cast<int>(PDBgetField(r, PDBFnbytes).GetInt()) - 1000;
}

// Snapshots that log their restores and count how many are alive.
struct SnapLog {
  std::vector<std::tuple<int, std::string, bool>> restores;
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

// A catalogue file with its header and store.
struct Catalog {
  explicit Catalog(const std::string& path) : fs(cattest::OpenStream(path)) {
    db.reset(new PDBAccess(&header, fs.get(), false));
  }
  ~Catalog() { Close(); }
  void Close() {
    if (db) db->Close();
    db.reset();
    header.Attach(nullptr, true);
  }
  // Keys of the stored records, read past the pending change.
  std::multiset<int> Stored() {
    std::multiset<int> keys;
    int n = db->DBAccess::TotalRecords();
    std::vector<DBRecord> recs(n > 0 ? n : 1);
    int got = db->DBAccess::GetRecords(recs.data(), n, 0);
    for (int i = 0; i < got; i++) keys.insert(KeyOf(recs[i]));
    return keys;
  }
  std::vector<DBRecord> Records(const std::vector<int>& keys) {
    std::vector<DBRecord> v(keys.size());
    for (size_t i = 0; i < keys.size(); i++) KeyRecord(&v[i], &header, keys[i]);
    return v;
  }
  int Add(const std::vector<int>& keys) {
    auto v = Records(keys);
    return db->AddRecords(v.data(), static_cast<int>(v.size()));
  }
  int Delete(const std::vector<int>& keys) {
    auto v = Records(keys);
    return db->DeleteRecords(v.data(), static_cast<int>(v.size()));
  }

  PDBHeader header;
  std::unique_ptr<std::fstream> fs;
  std::unique_ptr<PDBAccess> db;
};

// The reference: the store as a multiset of keys and the changes as key lists.
class Model {
 public:
  struct Change {
    std::string name;
    std::vector<int> add, del;
    int snap = -1;
  };

  bool Checkpoint(const char* name, int snap) {
    if (pending && pending->add.empty() && pending->del.empty()) Drop(&pending);
    if (name != nullptr) {
      for (Change& c : redo) Forget(c);
      redo.clear();
    }
    if (!pending) {
      if (name != nullptr || snap >= 0) Open(name, snap);
      return true;
    }
    if (!Apply(pending->del, pending->add)) return false;
    undo.push_back(*pending);
    pending.reset();
    if (name != nullptr || snap >= 0) Open(name, snap);
    return true;
  }
  void Add(const std::vector<int>& keys) {
    if (!pending) Open(nullptr, -1);
    pending->add.insert(pending->add.end(), keys.begin(), keys.end());
  }
  // slot >= 0: the record given is the pending addition at that slot.
  void Delete(const std::vector<int>& keys, int slot = -1) {
    if (!pending) Open(nullptr, -1);
    std::vector<int>& add = pending->add;
    const bool cancel = !add.empty() && keys.size() * add.size() <= 10000;
    std::vector<bool> gone(add.size(), false);
    for (int k : keys) {
      int at = -1;
      if (cancel && slot >= 0) {
        at = slot;
      } else if (cancel) {
        for (int j = static_cast<int>(add.size()); j-- > 0 && at < 0;)
          if (!gone[j] && add[j] == k) at = j;
      }
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
  std::optional<std::string> Undo() {
    if (pending) {
      Change c = *pending;
      pending.reset();
      redo.push_back(c);
      Restored(c, true);
      if (!c.name.empty()) return c.name;
    }
    for (;;) {
      if (undo.empty()) return std::nullopt;
      Change s = undo.back();
      if (!Apply(s.add, s.del)) return std::nullopt;
      undo.pop_back();
      redo.push_back(s);
      Restored(s, true);
      if (!s.name.empty()) return s.name;
    }
  }
  std::optional<std::string> Redo() {
    for (;;) {
      if (redo.empty() || !Checkpoint(nullptr, -1)) return std::nullopt;
      Change s = redo.back();
      redo.pop_back();
      pending = s;
      Restored(s, false);
      if (!s.name.empty()) return s.name;
    }
  }
  std::optional<std::string> UndoName() const {
    if (pending && !pending->name.empty()) return pending->name;
    for (auto it = undo.rbegin(); it != undo.rend(); ++it)
      if (!it->name.empty()) return it->name;
    return std::nullopt;
  }
  std::optional<std::string> RedoName() const {
    for (auto it = redo.rbegin(); it != redo.rend(); ++it)
      if (!it->name.empty()) return it->name;
    return std::nullopt;
  }
  bool ClearChanges() {
    bool ok = Checkpoint(nullptr, -1);
    for (Change& c : undo) Forget(c);
    for (Change& c : redo) Forget(c);
    undo.clear();
    redo.clear();
    return ok;
  }
  int Total() const {
    int n = static_cast<int>(store.size());
    if (pending) n += static_cast<int>(pending->add.size()) - static_cast<int>(pending->del.size());
    return n;
  }

  std::multiset<int> store;
  std::optional<Change> pending;
  std::vector<Change> undo, redo;  // heads at the back
  std::vector<std::tuple<int, std::string, bool>> restores;
  int live = 0;  // snapshots held

 private:
  void Open(const char* name, int snap) {
    pending = Change{name != nullptr ? std::string(name).substr(0, 31) : "", {}, {}, snap};
    if (snap >= 0) live++;
  }
  void Forget(const Change& c) {
    if (c.snap >= 0) live--;
  }
  void Drop(std::optional<Change>* c) {
    Forget(**c);
    c->reset();
  }
  void Restored(const Change& c, bool undoing) {
    if (c.snap >= 0) restores.emplace_back(c.snap, c.name, undoing);
  }
  // Deleting removes every equal stored record; all or nothing.
  bool Apply(const std::vector<int>& del, const std::vector<int>& add) {
    for (int k : add)
      if (k >= kBig) return false;
    for (int k : del) store.erase(k);
    for (int k : add) store.insert(k);
    return true;
  }
};

const char* Str(const std::optional<std::string>& s) {
  return s ? s->c_str() : nullptr;
}

std::string Name(const char* s) {
  return s != nullptr ? s : "(none)";
}

// Keeps the process-wide memory budget for the test's duration.
class BudgetGuard {
 public:
  explicit BudgetGuard(uint64_t bytes) : old_(CacheObject::tab.memoryBudget) {
    CacheObject::tab.memoryBudget = bytes;
  }
  ~BudgetGuard() { CacheObject::tab.memoryBudget = old_; }

 private:
  uint64_t old_;
};

}  // namespace

TEST(CatalogAccess, RandomOperationsAgreeWithTheModel) {
  MessageLog messages;
  TempFile f("catmodel");
  SnapLog log;
  Model m;
  std::mt19937 rng(2017);
  auto rnd = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  long long restoresBefore = 0;
  {
    BudgetGuard budget(2 * DB_BLOCKSIZE);
    Catalog c(f.path);
    ASSERT_TRUE(c.db->Ready());
    int snapId = 0;
    for (int op = 0; op < 2000; op++) {
      const int kind = rnd(100);
      std::string what;
      if (kind < 22) {  // checkpoints: labelled with and without snapshot, unlabelled
        char label[48];
        snprintf(label, sizeof(label), "Step %d of the long label run over here", op);
        const bool named = kind < 16, withSnap = kind % 3 != 0;
        int sid = withSnap ? snapId++ : -1;
        bool want = m.Checkpoint(named ? label : nullptr, sid);
        bool got =
            c.db->Checkpoint(named ? label : nullptr, withSnap ? new TestSnap(sid, &log) : nullptr);
        ASSERT_EQ(got, want) << op;
        what = "checkpoint";
      } else if (kind < 47) {  // additions, now and then one too big for the store
        std::vector<int> keys;
        for (int i = rnd(12) + 1; i-- > 0;) keys.push_back(rnd(700));
        if (rnd(40) == 0) keys.push_back(kBig + rnd(5));
        ASSERT_EQ(c.Add(keys), static_cast<int>(keys.size()));
        m.Add(keys);
        what = "add";
      } else if (kind < 57) {  // deletions of stored records and of others
        std::vector<int> keys;
        for (int i = rnd(6) + 1; i-- > 0;) {
          if (!m.store.empty() && rnd(3) != 0) {
            auto it = m.store.begin();
            std::advance(it, rnd(static_cast<int>(m.store.size())));
            keys.push_back(*it);
          } else {
            keys.push_back(rnd(60) == 0 ? kBig + rnd(5) : rnd(700));  // big: its undo fails
          }
        }
        ASSERT_EQ(c.Delete(keys), static_cast<int>(keys.size()));
        m.Delete(keys);
        what = "delete";
      } else if (kind < 64) {  // deletions of just-added records, by value or in place
        const DBChangeList* p = c.db->Pending();
        if (p == nullptr || p->radd.GetSize() == 0) continue;
        const int slot = rnd(p->radd.GetSize());
        const int key = KeyOf(p->radd.Get(slot));
        if (rnd(2) == 0) {
          ASSERT_EQ(c.db->DeleteRecords(&p->radd.GetArray()[slot], 1), 1);
          m.Delete({key}, slot);
        } else {
          ASSERT_EQ(c.Delete({key}), 1);
          m.Delete({key});
        }
        what = "delete added";
      } else if (kind < 70) {  // reads commit first
        const bool ok = m.Checkpoint(nullptr, -1);
        DBRecord r;
        KeyRecord(&r, &c.header, rnd(700));
        DBQuery q(static_cast<DBQuery*>(nullptr));
        ASSERT_TRUE(PCsetQuery(&q, r, true));
        DBRecord out[4];
        int pos = 0;
        int n = kind % 2 ? c.db->FindRecords(&q, out, 4, &pos) : c.db->GetRecords(out, 4, 0);
        if (!ok) {
          ASSERT_EQ(n, 0) << op;
        }
        what = "read";
      } else if (kind < 82) {
        const DBChangeList* got = c.db->Undo();
        ASSERT_EQ(Name(got ? got->name : nullptr), Name(Str(m.Undo()))) << op;
        what = "undo";
      } else if (kind < 92) {
        const DBChangeList* got = c.db->Redo();
        ASSERT_EQ(Name(got ? got->name : nullptr), Name(Str(m.Redo()))) << op;
        what = "redo";
      } else if (kind < 93) {
        ASSERT_EQ(c.db->ClearChanges(), m.ClearChanges()) << op;
        what = "clear";
      } else if (kind < 97) {
        const bool ok = m.Checkpoint(nullptr, -1);
        EXPECT_EQ(c.db->Sync(), ok) << op;
        EXPECT_EQ(c.db->GetNUnsynced(), 0);
        what = "sync";
      } else {  // a failing commit is unblocked by taking the big records out again
        const DBChangeList* p = c.db->Pending();
        std::vector<int> big;
        for (int i = 0; p != nullptr && i < p->radd.GetSize(); i++)
          if (KeyOf(p->radd.Get(i)) >= kBig) big.push_back(KeyOf(p->radd.Get(i)));
        if (big.empty()) continue;
        ASSERT_EQ(c.Delete(big), static_cast<int>(big.size()));
        m.Delete(big);
        what = "unblock";
      }
      ASSERT_EQ(c.Stored(), m.store) << op << " " << what;
      ASSERT_EQ(c.db->TotalRecords(), m.Total()) << op << " " << what;
      ASSERT_EQ(Name(c.db->UndoName()), Name(Str(m.UndoName()))) << op << " " << what;
      ASSERT_EQ(Name(c.db->RedoName()), Name(Str(m.RedoName()))) << op << " " << what;
      ASSERT_EQ(log.restores, m.restores) << op << " " << what;
      ASSERT_EQ(log.live, m.live) << op << " " << what;
    }
    for (const DBAccess* p = c.db.get(); p != nullptr; p = p->NextPage())
      restoresBefore += p->NumRestores();
    c.Close();
  }
  EXPECT_GT(restoresBefore, 0) << "the budget evicted no page";
  EXPECT_TRUE(messages.Has(DMCdata, "Unable to undelete 1 records in Undo"));
  EXPECT_EQ(log.live, 0);
  EXPECT_QDB_SOUND(f.path);
}

TEST(CatalogAccess, LabelsStepsAndSnapshots) {
  MessageLog messages;
  TempFile f("catsteps");
  SnapLog log;
  Catalog c(f.path);
  ASSERT_EQ(c.Add({1, 2}), 2);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  EXPECT_EQ(c.db->GetNUnsynced(), 2);

  // An empty labelled change is dropped with its snapshot at the next checkpoint.
  ASSERT_TRUE(c.db->Checkpoint("Add", new TestSnap(1, &log)));
  ASSERT_TRUE(c.db->Checkpoint("Delete", new TestSnap(2, &log)));
  EXPECT_TRUE(messages.Has(DMCwarning, "Empty change 'Add' ignored"));
  EXPECT_EQ(log.live, 1);
  ASSERT_NE(c.db->Pending(), nullptr);
  EXPECT_STREQ(c.db->Pending()->name, "Delete");
  EXPECT_STREQ(c.db->UndoName(), "Delete");

  // Three added, two of them deleted again: one addition left, nothing to delete.
  ASSERT_EQ(c.Add({3, 4, 5}), 3);
  ASSERT_EQ(c.Delete({3, 5}), 2);
  EXPECT_EQ(c.db->Pending()->radd.GetSize(), 1);
  EXPECT_EQ(c.db->Pending()->rdel.GetSize(), 0);
  EXPECT_EQ(c.db->TotalRecords(), 3);
  EXPECT_EQ(c.Stored().size(), 2u);
  // A read commits: the search finds the addition.
  DBRecord r, out[2];
  KeyRecord(&r, &c.header, 4);
  DBQuery q(static_cast<DBQuery*>(nullptr));
  ASSERT_TRUE(PCsetQuery(&q, r, true));
  int pos = 0;
  EXPECT_EQ(c.db->FindRecords(&q, out, 2, &pos), 1);
  EXPECT_EQ(c.db->Pending(), nullptr);
  // Records added after the read form an unnamed step undone with the labelled one.
  ASSERT_EQ(c.Add({6}), 1);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  const DBChangeList* u = c.db->Undo();
  ASSERT_NE(u, nullptr);
  EXPECT_STREQ(u->name, "Delete");
  EXPECT_EQ(c.Stored(), (std::multiset<int>{1, 2}));
  EXPECT_EQ(log.restores.size(), 1u);
  EXPECT_EQ(std::get<2>(log.restores[0]), true);
  EXPECT_STREQ(c.db->RedoName(), "Delete");
  EXPECT_EQ(c.db->UndoName(), nullptr);

  // Redo makes the labelled step pending and leaves the unnamed one on the redo list.
  const DBChangeList* rd = c.db->Redo();
  ASSERT_NE(rd, nullptr);
  EXPECT_STREQ(rd->name, "Delete");
  EXPECT_EQ(c.db->Pending(), rd);
  EXPECT_NE(c.db->RedoList(), nullptr);
  EXPECT_EQ(c.db->RedoName(), nullptr);
  EXPECT_EQ(c.db->TotalRecords(), 3);
  EXPECT_EQ(c.db->Redo(), nullptr);  // reapplies the unnamed step; no labelled one follows
  EXPECT_EQ(c.db->RedoList(), nullptr);
  EXPECT_EQ(c.db->TotalRecords(), 4);
  EXPECT_EQ(log.restores.back(), std::make_tuple(2, std::string("Delete"), false));

  // A labelled checkpoint forgets what was undone; an unlabelled one keeps it.
  ASSERT_NE(c.db->Undo(), nullptr);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  EXPECT_STREQ(c.db->RedoName(), "Delete");
  ASSERT_TRUE(c.db->Checkpoint("Set Title of a very long list of records", nullptr));
  EXPECT_EQ(c.db->RedoName(), nullptr);
  EXPECT_EQ(log.live, 0);
  EXPECT_STREQ(c.db->UndoName(), "Set Title of a very long list o");  // 31 characters

  // Sync counts nothing unsynced afterwards, even when the file refuses the writes.
  EXPECT_TRUE(c.db->Sync());
  EXPECT_EQ(c.db->GetNUnsynced(), 0);
  c.Close();
  {
    PDBHeader h;
    std::unique_ptr<std::fstream> in(new std::fstream(f.path, std::ios::in | std::ios::binary));
    PDBAccess db(&h, in.get(), false);
    ASSERT_TRUE(db.Ready());
    std::vector<DBRecord> add(1);
    KeyRecord(&add[0], &h, 9);
    ASSERT_EQ(db.AddRecords(add.data(), 1), 1);
    ASSERT_TRUE(db.Checkpoint(nullptr, nullptr));
    EXPECT_EQ(db.GetNUnsynced(), 1);
    EXPECT_FALSE(db.Sync());
    EXPECT_EQ(db.GetNUnsynced(), 0);
    db.Close();
    h.Attach(nullptr, true);
  }
}

TEST(CatalogAccess, FailedChangesLeaveTheStoreAsItWas) {
  MessageLog messages;
  TempFile f("catrollback");
  SnapLog log;
  Catalog c(f.path);
  // Two equal records of key 7 (a duplicate entry), and others.
  ASSERT_EQ(c.Add({7, 7, 8, 9}), 4);
  ASSERT_TRUE(c.db->Checkpoint("Import", nullptr));
  const std::multiset<int> before = c.Stored();
  ASSERT_EQ(before.size(), 4u);

  // Deletes both 7s and 8, adds a third 9, a 10 and then a record too big for any block.
  ASSERT_EQ(c.Delete({7, 8}), 2);
  ASSERT_EQ(c.Add({9, 10, kBig}), 3);
  EXPECT_FALSE(c.db->Checkpoint("Next", new TestSnap(1, &log)));
  EXPECT_TRUE(messages.Has(DMCdata, "Unable to add 1 records in Checkpoint"));
  EXPECT_EQ(log.live, 0);  // the snapshot handed over is destroyed
  EXPECT_EQ(c.Stored(), before);
  ASSERT_NE(c.db->Pending(), nullptr);  // still pending, still labelled
  EXPECT_STREQ(c.db->UndoName(), "Import");
  DBRecord out[8];
  EXPECT_EQ(c.db->GetRecords(out, 8, 0), 0);  // reads fail while the commit does
  // Taking the big record out lets the change through.
  ASSERT_EQ(c.Delete({kBig}), 1);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  EXPECT_EQ(c.Stored(), (std::multiset<int>{9, 9, 10}));

  // A step that deleted a record too big to be put back cannot be undone: the records it
  // added stay, and it stays on the undo list.
  ASSERT_TRUE(c.db->Checkpoint("Remove", nullptr));
  ASSERT_EQ(c.Delete({10, kBig + 1}), 2);
  ASSERT_EQ(c.Add({11}), 1);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  const std::multiset<int> after = c.Stored();
  EXPECT_EQ(after, (std::multiset<int>{9, 9, 11}));
  EXPECT_EQ(c.db->Undo(), nullptr);
  EXPECT_TRUE(messages.Has(DMCdata, "Unable to undelete 1 records in Undo"));
  EXPECT_EQ(c.Stored(), after);
  EXPECT_STREQ(c.db->UndoName(), "Remove");
  EXPECT_EQ(c.db->Undo(), nullptr);
  EXPECT_EQ(c.Stored(), after);
  c.Close();
  EXPECT_QDB_SOUND(f.path);
}

TEST(CatalogAccess, ChangesReflectInDisplayedLists) {
  Catalog c(TempFile("catreflect").path);
  DBRecordList shown(&c.header);
  auto keys = [&]() {
    std::multiset<int> k;
    for (int i = 0; i < shown.GetSize(); i++) k.insert(KeyOf(shown.Get(i)));
    return k;
  };
  std::vector<DBRecord> start = c.Records({1, 2, 3});
  for (const DBRecord& r : start) shown.NewRecord() = r;
  ASSERT_TRUE(c.db->Checkpoint("Edit", nullptr));
  ASSERT_EQ(c.Delete({2}), 1);
  ASSERT_EQ(c.Add({4, 5}), 2);
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  ASSERT_EQ(c.Add({6}), 1);  // an unnamed step behind the labelled one
  ASSERT_TRUE(c.db->Checkpoint(nullptr, nullptr));
  const DBChangeList* u = c.db->Undo();
  ASSERT_NE(u, nullptr);
  // The redo list holds the labelled step with the unnamed one behind it.
  ASSERT_TRUE(u->ReflectChange(&shown, false));
  EXPECT_EQ(keys(), (std::multiset<int>{1, 3, 4, 5, 6}));
  ASSERT_TRUE(u->ReflectChange(&shown, true));
  EXPECT_EQ(keys(), (std::multiset<int>{1, 2, 3}));
  EXPECT_FALSE(u->ReflectChange(nullptr, true));
  DBChangeList empty(&c.header, "Nothing");
  EXPECT_FALSE(empty.ReflectChange(&shown, false));
}
