// Adding, changing and deleting displayed records as undoable catalogue steps, the shadow
// catalogue's own operations, and a model of random edits with undo and redo.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "catalog_test_util.h"
#include "context_test_util.h"

using ctxtest::Photo;
using ctxtest::Show;
using ctxtest::TempDir;

namespace {

class ChangeCtx : public ctxtest::ContextFixture {
 protected:
  // file name -> title of every record of a store.
  static std::map<std::string, std::string> Contents(DBAccess* db) {
    std::map<std::string, std::string> out;
    const int n = db->TotalRecords();
    DBRecordList all(db->GetHeader(), n);
    if (n > 0) {
      EXPECT_EQ(db->GetRecords(all.Array(), n, 0), n);
    }
    for (int i = 0; i < n; i++) {
      const DBRecord& r = all.Get(i);
      out[PDBgetField(r, PDBFfile).GetString()] = PDBgetField(r, PDBFtitle).GetString();
    }
    EXPECT_EQ(static_cast<int>(out.size()), n) << "one record per file";
    return out;
  }
};

}  // namespace

TEST_F(ChangeCtx, AddRecordsRules) {
  Show(&ctx, Photo("a.jpg", 1, 1, "A"));
  Show(&ctx, Photo("b.jpg", 2, 2, nullptr));  // lacks its subject
  Show(&ctx, Photo("c.jpg", 3, 3, "C"));
  {
    MessageLog log;
    EXPECT_EQ(ctx.AddRecords(), 2) << "no selection adds every complete record";
    EXPECT_TRUE(log.Has(DMCwarning, "Incomplete record not added to DB"));
  }
  EXPECT_EQ(ctx.TotalCommon(), 2);
  EXPECT_NE(ctx.GetDBOrig(0), nullptr);
  EXPECT_EQ(ctx.GetDBOrig(1), nullptr);
  EXPECT_TRUE(*ctx.GetDBOrig(2) == ctx.rdisp.Get(2));
  EXPECT_TRUE(ctx.subjSet.InSet("C"));
  EXPECT_STREQ(ctx.pdb.UndoName(), "Add");
  // Unchanged catalogued records are not stored again, and no step is filed.
  ctx.Select(0, true);
  ctx.Select(2, true);
  EXPECT_EQ(ctx.AddRecords(), 0);
  // A changed one replaces its catalogue version.
  ctx.rdisp[2].SetField(PDBFtitle, "new");
  EXPECT_EQ(ctx.AddRecords(), 1);
  EXPECT_EQ(ctx.TotalCommon(), 2);
  EXPECT_EQ(Contents(&ctx.pdb)["c.jpg"], "new");
  EXPECT_EQ(ctx.pdb.TotalRecords(), 2);
  strcpy(ctx.rsrc, "*DB");
  ctx.rdisp[0].SetField(PDBFtitle, "x");
  EXPECT_EQ(ctx.AddRecords(), 0) << "a catalogue display adds nothing";
  ctx.CloseDB();
  strcpy(ctx.rsrc, "/photos");
  EXPECT_EQ(ctx.AddRecords(), 0) << "no catalogue";
}

TEST_F(ChangeCtx, RecordChangeStoresCataloguedAndShadowsTheRest) {
  for (int k = 0; k < 4; k++) Show(&ctx, Photo(("p" + std::to_string(k)).c_str(), k, k, "S"));
  ctx.Select(0, true);
  ctx.Select(1, true);
  ASSERT_EQ(ctx.AddRecords(), 2);
  auto* snap = new PCSnapshot(&ctx, true);
  ctx.rdisp[0].SetField(PDBFtitle, "changed");
  ctx.rdisp[2].SetField(PDBFtitle, "loose");
  ABitMap touched(4);
  touched.Set(0);
  touched.Set(1);  // unchanged
  touched.Set(2);  // not catalogued
  EXPECT_EQ(ctx.RecordChange("Title", &touched, snap), 1);
  EXPECT_EQ(touched.SumTotal(), 1u);
  EXPECT_TRUE(touched.Check(0));
  EXPECT_EQ(Contents(&ctx.pdb)["p0"], "changed");
  EXPECT_EQ(Contents(&ctx.ShadowStore())["p2"], "loose");
  EXPECT_TRUE(*ctx.GetDBOrig(0) == ctx.rdisp.Get(0));
  EXPECT_STREQ(ctx.pdb.UndoName(), "Title");
  ASSERT_TRUE(ctx.Undo());
  EXPECT_EQ(Contents(&ctx.pdb)["p0"], "");
  EXPECT_FALSE(ctx.rdisp.Get(0)[PDBFtitle].IsSet());
  EXPECT_EQ(Contents(&ctx.ShadowStore())["p2"], "loose") << "shadow edits are not undone";
  ABitMap none(4);
  EXPECT_EQ(ctx.RecordChange("x", &none, new PCSnapshot(&ctx, true)), 0);
}

TEST_F(ChangeCtx, DeleteFromFolderDisplay) {
  for (int k = 0; k < 4; k++) Show(&ctx, Photo(("p" + std::to_string(k)).c_str(), k, k, "S"));
  ctx.Select(0, true);
  ASSERT_EQ(ctx.AddRecords(), 1);
  ASSERT_EQ(ctx.AddShadowList(ctx.rdisp), 4);
  // Display and shadow only: the catalogued record's version leaves the display state too.
  ctx.Select(0, true);
  ctx.Select(1, true);
  EXPECT_EQ(ctx.DeleteRecords(false, true), 0);
  EXPECT_EQ(ctx.rdisp.GetSize(), 2);
  EXPECT_EQ(ctx.rsel.Length(), 0u);
  EXPECT_EQ(ctx.TotalCommon(), 0);
  EXPECT_EQ(ctx.Common().GetSize(), ctx.DisplayLinks().GetSize());
  EXPECT_EQ(ctx.pdb.TotalRecords(), 1);
  EXPECT_STREQ(ctx.pdb.UndoName(), "Add") << "no step filed";
  EXPECT_EQ(Contents(&ctx.ShadowStore()).count("p1"), 0u);
  EXPECT_EQ(ctx.ShadowStore().TotalRecords(), 2);
  EXPECT_EQ(ctx.DeleteRecords(true, true), 0) << "nothing selected";
}

TEST_F(ChangeCtx, DeleteFromCatalogueIsUndoable) {
  for (int k = 0; k < 3; k++) Show(&ctx, Photo(("p" + std::to_string(k)).c_str(), k, k, "S"));
  ASSERT_EQ(ctx.AddRecords(), 3);
  ctx.Select(1, true);
  EXPECT_EQ(ctx.DeleteRecords(true, false), 1);
  EXPECT_EQ(ctx.rdisp.GetSize(), 2);
  EXPECT_EQ(ctx.pdb.TotalRecords(), 2);
  EXPECT_STREQ(ctx.pdb.UndoName(), "Delete");
  ASSERT_TRUE(ctx.Undo());
  EXPECT_EQ(ctx.rdisp.GetSize(), 3);
  EXPECT_EQ(ctx.pdb.TotalRecords(), 3);
  EXPECT_NE(ctx.GetDBOrig(1), nullptr);
  ASSERT_TRUE(ctx.Redo());
  EXPECT_EQ(ctx.rdisp.GetSize(), 2);
  EXPECT_EQ(ctx.TotalCommon(), 2);
}

TEST_F(ChangeCtx, ShadowOperations) {
  DBRecord a = Photo("a.jpg", 5, 5, "first");
  EXPECT_TRUE(ctx.AddShadow(a));
  a.SetField(PDBFsubject, "second");
  EXPECT_TRUE(ctx.AddShadow(a));
  EXPECT_EQ(ctx.ShadowStore().TotalRecords(), 1) << "replaced";
  DBRecord twice[] = {Photo("t.jpg", 1, 1), Photo("t.jpg", 1, 1)};
  EXPECT_EQ(ctx.AddShadows(twice, 2), 2);
  EXPECT_EQ(ctx.ShadowStore().TotalRecords(), 3);
  // Identity includes the name.
  DBRecord renamed = Photo("b.jpg", 5, 5);
  EXPECT_EQ(ctx.DeleteShadows(&renamed, 1), 0);
  EXPECT_EQ(ctx.DeleteShadows(nullptr, 0), 0);
  DBRecord noId(&PDBFInfo);
  EXPECT_EQ(ctx.DeleteShadows(&noId, 1), 0) << "a record without identity deletes nothing";
  EXPECT_EQ(ctx.DeleteShadows(twice, 1), 2);
  // A second context is refused the shadow lock and does without.
  {
    MessageLog log;
    PContext other;
    EXPECT_FALSE(other.ShadowDB(dir.Path("shadow.qdb").c_str()));
    EXPECT_EQ(other.AddShadow(a), false);
    EXPECT_EQ(other.DeleteShadows(&a, 1), 0);
  }
  EXPECT_FALSE(ctx.ShadowDB(nullptr));
  EXPECT_FALSE(ctx.AddShadow(a));
  EXPECT_STREQ(ctx.ShadowLockPath(), "");
  EXPECT_QDB_SOUND(dir.Path("shadow.qdb"));
}

TEST_F(ChangeCtx, UncataloguedEditsSurviveReopeningTheShadow) {
  Show(&ctx, Photo("u.jpg", 9, 9, nullptr));
  auto* snap = new PCSnapshot(&ctx, true);
  ctx.rdisp[0].SetField(PDBFtitle, "remembered");
  ctx.rdisp[0].SetField(PDBForient, 270L);
  EXPECT_EQ(ctx.RecordChange("Edit", nullptr, snap), 0);
  std::string shadow = dir.Path("shadow.qdb");
  ASSERT_FALSE(ctx.ShadowDB(nullptr));
  ASSERT_TRUE(ctx.ShadowDB(shadow.c_str()));
  ctx.Clear();
  Show(&ctx, Photo("u.jpg", 9, 9, nullptr));
  ctx.Reconcile();
  EXPECT_STREQ(ctx.rdisp.Get(0)[PDBFtitle].GetString(), "remembered");
  EXPECT_EQ(ctx.rdisp.Get(0)[PDBForient].GetInt(), 270);
  EXPECT_QDB_SOUND(shadow);
}

// ---------------------------------------------------------------------------------------
// A model: random shows, adds, edits, deletes, undos and redos on a folder display, checked
// after each step against a reference.

namespace {

using Titles = std::map<std::string, std::string>;
using Display = std::vector<std::pair<std::string, std::string>>;  // file, title

struct RefState {
  Display disp;
  Titles cat;
};

struct Step {
  RefState before;
  RefState redo;
};

Display Sorted(Display d) {
  std::sort(d.begin(), d.end());
  return d;
}

}  // namespace

TEST_F(ChangeCtx, ModelOfRandomEditsUndosAndRedos) {
  std::mt19937 rng(1234);
  RefState ref;
  Titles shadow;
  std::vector<Step> undo, redo;
  int fileNo = 0, titleNo = 0;
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto title = [&](const DBRecord& r) {
    return std::string(PDBgetField(r, PDBFtitle).GetString());
  };
  auto file = [&](const DBRecord& r) { return std::string(PDBgetField(r, PDBFfile).GetString()); };
  // The reference entry of displayed record i (redone edits move records, so by name).
  auto entry = [&](int i) -> std::pair<std::string, std::string>& {
    const std::string f = file(ctx.rdisp.Get(i));
    for (auto& e : ref.disp)
      if (e.first == f) return e;
    ADD_FAILURE() << "no reference entry for " << f;
    return ref.disp.front();
  };
  auto selectSome = [&](std::vector<int>* chosen) {
    ctx.SelectNone();
    for (int i = 0; i < ctx.rdisp.GetSize(); i++)
      if (pick(3) == 0) {
        ctx.Select(i, true);
        chosen->push_back(i);
      }
  };

  for (int step = 0; step < 400; step++) {
    const int op = ctx.rdisp.GetSize() < 3 ? 0 : pick(10);
    std::string what;
    if (op == 0) {
      what = "show";
      std::string f = "f" + std::to_string(fileNo++) + ".jpg";
      Show(&ctx, Photo(f.c_str(), fileNo, fileNo, "S"));
      ref.disp.push_back({f, ""});
    } else if (op <= 2) {
      what = "add";
      std::vector<int> chosen;
      selectSome(&chosen);
      if (chosen.empty())
        for (int i = 0; i < ctx.rdisp.GetSize(); i++) chosen.push_back(i);
      RefState before = ref;
      int want = 0;
      for (int i : chosen) {
        const auto e = entry(i);
        auto it = ref.cat.find(e.first);
        if (it != ref.cat.end() && it->second == e.second) continue;
        ref.cat[e.first] = e.second;
        shadow.erase(e.first);
        want++;
      }
      ASSERT_EQ(ctx.AddRecords(), want) << step;
      if (want > 0) {
        undo.push_back({before, ref});
        redo.clear();
      }
    } else if (op <= 5) {
      what = "edit";
      RefState before = ref;
      auto* snap = new PCSnapshot(&ctx, true);
      ABitMap touched(static_cast<uint32_t>(ctx.rdisp.GetSize()));
      RefState again = ref;  // a redo brings back only the catalogued edits
      int want = 0;
      for (int k = 0, n = 1 + pick(3); k < n; k++) {
        const int i = pick(ctx.rdisp.GetSize());
        if (touched.Check(static_cast<uint32_t>(i))) continue;
        touched.Set(static_cast<uint32_t>(i));
        std::string t = "t" + std::to_string(titleNo++);
        ctx.rdisp[i].SetField(PDBFtitle, t.c_str());
        auto& e = entry(i);
        e.second = t;
        if (ref.cat.count(e.first)) {
          ref.cat[e.first] = t;
          for (auto& a : again.disp)
            if (a.first == e.first) a.second = t;
          want++;
        } else {
          shadow[e.first] = t;
        }
      }
      ASSERT_EQ(ctx.RecordChange("Edit", &touched, snap), want) << step;
      again.cat = ref.cat;
      if (want > 0) {
        undo.push_back({before, again});
        redo.clear();
      }
    } else if (op == 6) {
      what = "delete";
      std::vector<int> chosen;
      selectSome(&chosen);
      RefState before = ref;
      Display kept, uncatalogued;
      std::set<std::string> gone;
      for (int i : chosen) gone.insert(file(ctx.rdisp.Get(i)));
      int want = 0;
      for (const auto& e : ref.disp) {
        if (!gone.count(e.first)) {
          kept.push_back(e);
          continue;
        }
        shadow.erase(e.first);
        if (ref.cat.erase(e.first))
          want++;
        else
          uncatalogued.push_back(e);
      }
      ref.disp = kept;
      ASSERT_EQ(ctx.DeleteRecords(true, true), want) << step;
      if (want > 0) {
        // A redo puts back the display from before and takes out the catalogued records
        // only.
        RefState again = ref;
        again.disp.insert(again.disp.end(), uncatalogued.begin(), uncatalogued.end());
        undo.push_back({before, again});
        redo.clear();
      }
    } else if (op <= 8) {
      what = "undo";
      ASSERT_EQ(ctx.Undo(), !undo.empty()) << step;
      if (!undo.empty()) {
        ref = undo.back().before;
        redo.push_back(undo.back());
        undo.pop_back();
      }
    } else {
      what = "redo";
      ASSERT_EQ(ctx.Redo(), !redo.empty()) << step;
      if (!redo.empty()) {
        ref = redo.back().redo;
        undo.push_back(redo.back());
        redo.pop_back();
      }
    }

    // The display, its catalogue ties, the catalogue and the shadow catalogue.
    Display shown;
    int common = 0;
    for (int i = 0; i < ctx.rdisp.GetSize(); i++) {
      const DBRecord& r = ctx.rdisp.Get(i);
      shown.push_back({file(r), title(r)});
      const DBRecord* orig = ctx.GetDBOrig(i);
      auto it = ref.cat.find(file(r));
      if (it == ref.cat.end()) {
        EXPECT_EQ(orig, nullptr) << step << " " << what << " " << file(r);
      } else if (orig == nullptr) {
        ADD_FAILURE() << step << " " << what << ": no catalogue version of " << file(r);
      } else {
        common++;
        EXPECT_EQ(title(*orig), it->second) << step << " " << what;
      }
    }
    ASSERT_EQ(Sorted(shown), Sorted(ref.disp)) << step << " " << what;
    EXPECT_EQ(ctx.TotalCommon(), common) << step << " " << what;
    EXPECT_EQ(ctx.Common().GetSize(), ctx.DisplayLinks().GetSize()) << step;
    ASSERT_EQ(Contents(&ctx.pdb), ref.cat) << step << " " << what;
    ASSERT_EQ(Contents(&ctx.ShadowStore()), shadow) << step << " " << what;
  }
  EXPECT_TRUE(ctx.CloseDB());
  EXPECT_QDB_SOUND(dir.Path("cat.qdb"));
}
