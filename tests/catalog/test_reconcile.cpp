// Cataloguing the sets and timeline, field transfer, and reconciling displayed records with
// the catalogue and the shadow catalogue.
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "catalog_test_util.h"
#include "context_test_util.h"

using ctxtest::Photo;
using ctxtest::Show;
using ctxtest::TempDir;

namespace {

// Catalogue records and displayed fields at hand.
class ReconcileCtx : public ctxtest::ContextFixture {
 protected:
  // Catalogues records (added through the display, which is then emptied).
  void Catalogue(std::initializer_list<DBRecord> recs) {
    for (const DBRecord& r : recs) Show(&ctx, r);
    ASSERT_EQ(ctx.AddRecords(), static_cast<int>(recs.size()));
    ctx.Clear();
  }
  std::string Str(int i, PDBFieldID f) {
    const DBField& v = PDBgetField(ctx.rdisp.Get(i), f);
    std::string s;
    for (int k = 0; k < v.GetNV(); k++) s += (k ? "," : "") + std::string(v.GetString(k));
    return s;
  }
};

}  // namespace

TEST(Reconcile, DuplicateSetLengths) {
  EXPECT_EQ(PreconcileSetLength(0), 31u);
  EXPECT_EQ(PreconcileSetLength(3), 31u);
  EXPECT_EQ(PreconcileSetLength(10), 127u);
  EXPECT_EQ(PreconcileSetLength(1000), 16381u);
  EXPECT_EQ(PreconcileSetLength(900000), 9000000u);
}

TEST(Reconcile, TransferRules) {
  DBRecord dst = Photo("a.jpg", 1, 1, nullptr, "/new");
  dst.SetField(PDBFtitle, "Mine");
  dst.SetField(PDBFcapdate, "2001:01:01 00:00:00");
  const char* dk[] = {"x", "y"};
  dst.SetField(PDBFkeyword, dk, 2);
  dst.SetField(PDBFlatitude, 10.0);
  DBRecord src = Photo("a.jpg", 1, 1, "Theirs", "/old");
  src.SetField(PDBFtitle, "Theirs");
  src.SetField(PDBFcapdate, "2002:02:02 00:00:00");
  const char* sk[] = {"y", "z"};
  src.SetField(PDBFkeyword, sk, 2);
  src.SetField(PDBFowner, "Owner");
  ASSERT_TRUE(PContextState::TransferFields(&dst, src));
  EXPECT_STREQ(dst[PDBFsubject].GetString(), "Theirs") << "empty takes the source";
  EXPECT_STREQ(dst[PDBFowner].GetString(), "Owner");
  EXPECT_STREQ(dst[PDBFtitle].GetString(), "Mine") << "set keeps its own";
  EXPECT_STREQ(dst[PDBFcapdate].GetString(), "2002:02:02 00:00:00") << "the source's date wins";
  EXPECT_FLOAT_EQ(dst[PDBFlatitude].GetFloat(), 10.0f) << "left alone where the source is empty";
  ASSERT_EQ(dst[PDBFkeyword].GetNV(), 3);
  EXPECT_STREQ(dst[PDBFkeyword].GetString(2), "z");
  ASSERT_EQ(dst[PDBFlocation].GetNV(), 2);
  EXPECT_STREQ(dst[PDBFlocation].GetString(0), "/new");
  // Nothing more to bring: no write.
  EXPECT_FALSE(PContextState::TransferFields(&dst, src));
  EXPECT_FALSE(PContextState::TransferFields(nullptr, src));
  EXPECT_FALSE(PContextState::TransferFields(&dst, DBRecord()));
  EXPECT_FALSE(PContextState::TransferFields(&dst, DBRecord(&PDBFInfo)));
}

TEST(Reconcile, CatalogFeedsSetsAndTimeline) {
  PContextState s;
  DBRecord a = Photo("a", 1, 1, "Alps");
  a.SetField(PDBFcapdate, "2005:06:01 10:00:00");
  a.SetField(PDBFowner, "Ann");
  const char* albums[] = {"Trip", "Best"};
  a.SetField(PDBFalbum, albums, 2);
  a.SetField(PDBFkeyword, "snow");
  DBRecord b = Photo("b", 1, 2, nullptr);
  b.SetField(PDBFcapdate, "2006:06:01 10:00:00");
  DBRecord both[] = {a, b, DBRecord()};
  s.Catalog(both, 3);
  EXPECT_TRUE(s.subjSet.InSet("Alps"));
  EXPECT_EQ(s.subjSet.GetSize(), 1);
  EXPECT_TRUE(s.ownrSet.InSet("Ann"));
  EXPECT_EQ(s.albmSet.GetSize(), 2);
  EXPECT_TRUE(s.keywSet.InSet("snow"));
  const PTimeLink* e = s.timeline.FirstEvent();
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->GetSubject(), "Alps");
  EXPECT_EQ(e->NextEvent(), nullptr) << "a record without a subject stays out of the timeline";
  s.ClearSets();
  EXPECT_EQ(s.subjSet.GetSize(), 0);
  EXPECT_EQ(s.timeline.FirstEvent(), nullptr);
}

TEST_F(ReconcileCtx, CatalogueDisplayIsAllCommon) {
  Catalogue({Photo("a", 1, 1), Photo("b", 2, 2)});
  ctx.pdb.GetRecords(nullptr, 0, 0);
  DBRecordList all(&ctx.phd);
  all.Resize(2);
  ASSERT_EQ(ctx.pdb.GetRecords(all.Array(), 2, 0), 2);
  ctx.rdisp = all;
  strcpy(ctx.rsrc, "*DB");
  ASSERT_EQ(ctx.Reconcile(), 2);
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(ctx.GetDBOrig(i), &ctx.Common().Get(i));
    EXPECT_TRUE(ctx.Common().Get(i).ReadOnly());
    EXPECT_TRUE(ctx.Common().Get(i) == ctx.rdisp.Get(i));
  }
}

TEST_F(ReconcileCtx, DuplicatesMergeAtTheFirstPosition) {
  DBRecord first = Photo("same.jpg", 50, 7, nullptr, "/one");
  DBRecord second = Photo("same.jpg", 50, 7, "Beach", "/two");
  second.SetField(PDBFtitle, "Second");
  Show(&ctx, Photo("other.jpg", 3, 3));
  Show(&ctx, first);
  Show(&ctx, Photo("x.jpg", 4, 4));
  Show(&ctx, second);
  MessageLog log;
  EXPECT_EQ(ctx.Reconcile(), 0);
  EXPECT_TRUE(log.Has(DMCwarning, "Duplicate image 'same.jpg' ignored"));
  ASSERT_EQ(ctx.rdisp.GetSize(), 3);
  EXPECT_EQ(Str(1, PDBFfile), "same.jpg");
  EXPECT_EQ(Str(1, PDBFsubject), "Beach");
  EXPECT_EQ(Str(1, PDBFtitle), "Second");
  EXPECT_EQ(Str(1, PDBFlocation), "/two,/one");
  EXPECT_EQ(Str(2, PDBFfile), "x.jpg");
}

TEST_F(ReconcileCtx, RecordsThatCannotBeIdentifiedAreDropped) {
  DBRecord noName(&PDBFInfo);
  noName.SetField(PDBFnbytes, 5L);
  DBRecord noHash = Photo("gone.jpg", 1, 1, "S", dir.Dir().c_str());
  noHash.ClearField(PDBFhashval);
  Show(&ctx, noName);
  Show(&ctx, noHash);
  Show(&ctx, Photo("kept.jpg", 1, 1));
  MessageLog log;
  ctx.Reconcile();
  EXPECT_TRUE(log.Has(DMCwarning, "Ignoring record w/o file name"));
  EXPECT_TRUE(log.Has(DMCwarning, "Cannot hash '" + dir.Path("gone.jpg") + "'"));
  ASSERT_EQ(ctx.rdisp.GetSize(), 1);
  EXPECT_EQ(Str(0, PDBFfile), "kept.jpg");

  // A record without its hash whose file exists is hashed from its recorded path.
  ctxtest::WriteFile(dir.Path("real.jpg"), "0123456789");
  DBRecord real = Photo("real.jpg", 1, 1, "S", dir.Dir().c_str());
  real.ClearField(PDBFhashval);
  real.ClearField(PDBFnbytes);
  ctx.Clear();
  Show(&ctx, real);
  ctx.Reconcile();
  ASSERT_EQ(ctx.rdisp.GetSize(), 1);
  EXPECT_EQ(ctx.rdisp.Get(0)[PDBFnbytes].GetInt(), 10);
  long h = 0;
  ASSERT_TRUE(PhashFile(&h, nullptr, dir.Path("real.jpg").c_str()));
  EXPECT_EQ(ctx.rdisp.Get(0)[PDBFhashval].GetInt(), h);
}

TEST_F(ReconcileCtx, CataloguedValuesComeIn) {
  DBRecord cat = Photo("a.jpg", 10, 1, "Alps", "/old");
  cat.SetField(PDBFcapdate, "2002:02:02 02:02:02");
  cat.SetField(PDBFtitle, "Catalogued");
  const char* ck[] = {"k1", "k2"};
  cat.SetField(PDBFkeyword, ck, 2);
  Catalogue({cat, Photo("b.jpg", 11, 2, "Sea")});
  DBRecord shown = Photo("a.jpg", 10, 1, nullptr, "/new");
  shown.SetField(PDBFcapdate, "2009:09:09 09:09:09");
  shown.SetField(PDBFtitle, "Own");
  shown.SetField(PDBFkeyword, "k3");
  Show(&ctx, shown);
  Show(&ctx, Photo("c.jpg", 12, 3));
  ASSERT_EQ(ctx.Reconcile(), 1);
  EXPECT_EQ(Str(0, PDBFcapdate), "2002:02:02 02:02:02");
  EXPECT_EQ(Str(0, PDBFsubject), "Alps");
  EXPECT_EQ(Str(0, PDBFtitle), "Own");
  EXPECT_EQ(Str(0, PDBFkeyword), "k3,k1,k2");
  // A file moved to another folder is found by name, size and hash; the new folder comes first.
  EXPECT_EQ(Str(0, PDBFlocation), "/new,/old");
  ASSERT_NE(ctx.GetDBOrig(0), nullptr);
  EXPECT_EQ(ctx.GetDBOrig(1), nullptr);
  EXPECT_TRUE(ctx.GetDBOrig(0)->ReadOnly());
  EXPECT_EQ(ctx.Common().GetSize(), ctx.DisplayLinks().GetSize());

  // One record filled the same way.
  DBRecord one = Photo("b.jpg", 11, 2, nullptr);
  EXPECT_TRUE(ctx.Reconcile(&one));
  EXPECT_STREQ(one[PDBFsubject].GetString(), "Sea");
  EXPECT_FALSE(ctx.Reconcile(&one));
  DBRecord unknown = Photo("z.jpg", 1, 9, nullptr);
  EXPECT_FALSE(ctx.Reconcile(&unknown));
  EXPECT_FALSE(ctx.Reconcile(nullptr));
}

TEST_F(ReconcileCtx, ShadowValuesRestoredAndCataloguedShadowsDeleted) {
  DBRecord s1 = Photo("s.jpg", 5, 5, "Shadowed");
  s1.SetField(PDBForient, 90L);
  DBRecord s2 = Photo("c.jpg", 6, 6, "Old shadow");
  ASSERT_EQ(ctx.AddShadow(s1) + ctx.AddShadow(s2), 2);
  Catalogue({Photo("c.jpg", 6, 6, "Catalogued")});
  // Cataloguing c.jpg already removed its shadow; put one back as a stale one.
  ASSERT_TRUE(ctx.AddShadow(s2));
  ASSERT_EQ(ctx.ShadowStore().TotalRecords(), 2);
  Show(&ctx, Photo("s.jpg", 5, 5, nullptr));
  Show(&ctx, Photo("c.jpg", 6, 6, nullptr));
  ASSERT_EQ(ctx.Reconcile(), 1);
  EXPECT_EQ(Str(0, PDBFsubject), "Shadowed");
  EXPECT_EQ(ctx.rdisp.Get(0)[PDBForient].GetInt(), 90);
  EXPECT_EQ(Str(1, PDBFsubject), "Catalogued") << "the catalogue wins over a shadow";
  EXPECT_EQ(ctx.ShadowStore().TotalRecords(), 1) << "the catalogued file's shadow is gone";
  DBRecord probe = Photo("s.jpg", 5, 5, nullptr);
  ctx.CloseDB();
  EXPECT_TRUE(ctx.Reconcile(&probe)) << "the shadow stays for the uncatalogued file";
}

TEST_F(ReconcileCtx, UndoAndRedoOfAnAdd) {
  Show(&ctx, Photo("a.jpg", 1, 1, "Alps"));
  Show(&ctx, Photo("b.jpg", 2, 2, "Sea"));
  ctx.Select(1, true);
  ASSERT_EQ(ctx.AddRecords(), 1);
  ASSERT_NE(ctx.GetDBOrig(1), nullptr);
  // The saved display comes back as it was before the add.
  ASSERT_TRUE(ctx.Undo());
  EXPECT_TRUE(ctx.IsSelected(1));
  EXPECT_EQ(ctx.TotalCommon(), 0);
  EXPECT_EQ(ctx.GetDBOrig(1), nullptr);
  EXPECT_EQ(ctx.pdb.TotalRecords(), 0);
  ASSERT_TRUE(ctx.Redo());
  EXPECT_EQ(ctx.rdisp.GetSize(), 2) << "the added record is not shown twice";
  EXPECT_EQ(ctx.TotalCommon(), 1);
  EXPECT_NE(ctx.GetDBOrig(1), nullptr);
  EXPECT_EQ(ctx.pdb.TotalRecords(), 1);
  EXPECT_TRUE(ctx.subjSet.InSet("Sea"));
  EXPECT_EQ(ctx.rsel.Length(), 0u);

  // Without a saved display the change itself is reflected: the added catalogue version
  // leaves, the selection is cleared and the sets keep the subject.
  const DBChangeList* step = ctx.pdb.Pending();
  ASSERT_TRUE(ctx.Checkpoint(nullptr, nullptr));
  step = ctx.pdb.UndoList();
  ASSERT_NE(step, nullptr);
  ASSERT_EQ(step->radd.GetSize(), 1);
  ctx.Select(0, true);
  ctx.ReflectChange(step, true);
  EXPECT_EQ(ctx.rsel.Length(), 0u);
  EXPECT_EQ(ctx.TotalCommon(), 0);
  EXPECT_TRUE(ctx.subjSet.InSet("Sea"));
  ctx.ReflectChange(nullptr, true);
}

TEST_F(ReconcileCtx, FixLinksFindsRecordsAgain) {
  Show(&ctx, Photo("a.jpg", 1, 1, "A"));
  Show(&ctx, Photo("b.jpg", 2, 2, "B"));
  ASSERT_EQ(ctx.AddRecords(), 2);
  // Reordering the display keeps the sharing: the quick pass finds every link.
  ctx.rdisp.sord.PushSort(PDBFnbytes, true);
  ctx.SortDisplay();
  EXPECT_EQ(ctx.FixLinks(false), 0);
  EXPECT_EQ(ctx.TotalCommon(), 2);
  // A display record replaced by an equal copy is found by equality.
  DBRecord copy(ctx.rdisp.Get(0));
  ctx.rdisp[0].Init();
  ctx.rdisp[0].Take(&copy);
  EXPECT_EQ(ctx.FixLinks(false), 1);
  EXPECT_NE(ctx.GetDBOrig(0), nullptr);
  // One gone from the display is dropped with a warning.
  ctx.rdisp[1].Init();
  ctx.rdisp.Compact(false);
  MessageLog log;
  EXPECT_EQ(ctx.FixLinks(true), 1);
  EXPECT_TRUE(log.Has(DMCwarning, "Lost DB link in FixLinks"));
  EXPECT_EQ(ctx.TotalCommon(), 1);
}

// A small display is looked up by one search with a selector per record; a display large
// against the catalogue is gathered in one pass over the catalogue. Both give one result.
TEST_F(ReconcileCtx, SearchAndPassAgree) {
  std::vector<DBRecord> cat;
  for (int k = 0; k < 200; k++) {
    DBRecord r = Photo(("c" + std::to_string(k)).c_str(), k, k, ("S" + std::to_string(k)).c_str());
    r.SetField(PDBFkeyword, "cat");
    Show(&ctx, r);
  }
  ASSERT_EQ(ctx.AddRecords(), 200);
  auto run = [&](int extra) {
    ctx.Clear();
    Show(&ctx, Photo("c7", 7, 7, nullptr));
    Show(&ctx, Photo("c150", 150, 150, nullptr));
    Show(&ctx, Photo("c150", 150, 999, nullptr));  // same name, other content
    for (int k = 0; k < extra; k++) Show(&ctx, Photo(("x" + std::to_string(k)).c_str(), k, k));
    const int found = ctx.Reconcile();
    std::vector<std::string> out;
    for (int i = 0; i < 3; i++) out.push_back(Str(i, PDBFsubject) + "/" + Str(i, PDBFkeyword));
    out.push_back(std::to_string(found));
    EXPECT_NE(ctx.GetDBOrig(1), nullptr);
    EXPECT_EQ(ctx.GetDBOrig(2), nullptr);
    return out;
  };
  std::vector<std::string> searched = run(0), passed = run(60);
  EXPECT_EQ(searched, passed);
  EXPECT_EQ(searched[1], "S150/cat");
  EXPECT_EQ(searched[2], "/");
  EXPECT_EQ(searched[3], "2");
}

// With several entries per file, the one that matches the displayed record's own values is
// its catalogue version.
TEST_F(ReconcileCtx, SeveralEntriesOfOneFile) {
  ctx.SetUnique(false);
  DBRecord a = Photo("m.jpg", 1, 1, "First");
  a.SetField(PDBFkeyword, "one");
  DBRecord b = Photo("m.jpg", 1, 1, "Second");
  b.SetField(PDBFkeyword, "two");
  for (int k = 0; k < 200; k++) Show(&ctx, Photo(("f" + std::to_string(k)).c_str(), k, k));
  Show(&ctx, a);
  Show(&ctx, b);
  ASSERT_EQ(ctx.AddRecords(), 202);
  for (int extra : {0, 60}) {
    ctx.Clear();
    DBRecord shown = Photo("m.jpg", 1, 1, "Second");
    shown.SetField(PDBFkeyword, "two");
    Show(&ctx, shown);
    for (int k = 0; k < extra; k++) Show(&ctx, Photo(("x" + std::to_string(k)).c_str(), k, k));
    EXPECT_EQ(ctx.Reconcile(), 1) << extra;
    ASSERT_NE(ctx.GetDBOrig(0), nullptr);
    EXPECT_STREQ(ctx.GetDBOrig(0)->operator[](PDBFsubject).GetString(), "Second");
  }
}

// Steps undone and redone without a saved display (a display too big to save) reflect the
// change: after random edits of random subsets, undos and redos, every displayed record still
// shows its catalogue value and is tied to the catalogue version that holds it.
TEST_F(ReconcileCtx, ReflectedUndoAndRedoKeepEveryRecordTiedToItsCatalogueVersion) {
  constexpr int kN = 40;
  for (int i = 0; i < kN; i++) {
    const std::string name = "p" + std::to_string(i) + ".jpg";
    Show(&ctx, Photo(name.c_str(), 1000 + i, 77 + i % 3));  // hash indexes shared by many
  }
  ASSERT_EQ(ctx.AddRecords(), kN);
  std::map<long, std::string> title;  // by file size
  std::vector<std::map<long, std::string>> undos, redos;
  std::mt19937 rng(5);
  for (int step = 0; step < 300; step++) {
    const unsigned op = rng() % 5;
    if (op < 3) {
      ABitMap which(kN);
      const std::string t = "t" + std::to_string(step);
      undos.push_back(title);
      redos.clear();
      for (int i = 0; i < kN; i++) {
        if (rng() % 3 != 0) continue;
        which.Set(static_cast<uint32_t>(i));
        ctx.rdisp[i].SetField(PDBFtitle, t.c_str());
        title[PDBgetField(ctx.rdisp.Get(i), PDBFnbytes).GetInt()] = t;
      }
      if (which.SumTotal() == 0) {
        undos.pop_back();
        continue;
      }
      ASSERT_EQ(ctx.RecordChange("Edit", &which, new PCSnapshot(&ctx, false)),
                static_cast<int>(which.SumTotal()));
    } else if (op == 3) {
      ASSERT_EQ(ctx.Undo(), !undos.empty()) << step;
      if (undos.empty()) continue;
      redos.push_back(title);
      title = undos.back();
      undos.pop_back();
    } else {
      ASSERT_EQ(ctx.Redo(), !redos.empty()) << step;
      if (redos.empty()) continue;
      undos.push_back(title);
      title = redos.back();
      redos.pop_back();
    }
    ASSERT_EQ(ctx.rdisp.GetSize(), kN) << step;
    ASSERT_EQ(ctx.TotalCommon(), kN) << step;
    std::set<long> seen;
    for (int i = 0; i < kN; i++) {
      const long id = PDBgetField(ctx.rdisp.Get(i), PDBFnbytes).GetInt();
      ASSERT_TRUE(seen.insert(id).second) << step;
      const DBField& shown = PDBgetField(ctx.rdisp.Get(i), PDBFtitle);
      ASSERT_EQ(shown.IsSet() ? shown.GetString() : "", title[id]) << step << " " << id;
      const DBRecord* orig = ctx.GetDBOrig(i);
      ASSERT_NE(orig, nullptr) << step << " " << id;
      ASSERT_TRUE(*orig == ctx.rdisp.Get(i)) << step << " " << id;
      ASSERT_TRUE(orig->ReadOnly());
    }
  }
  ASSERT_TRUE(ctx.Checkpoint(nullptr, nullptr));
  std::vector<DBRecord> stored(kN + 1);
  ASSERT_EQ(ctx.pdb.GetRecords(stored.data(), kN + 1, 0), kN);
  for (int i = 0; i < kN; i++) {
    const DBField& t = PDBgetField(stored[i], PDBFtitle);
    EXPECT_EQ(t.IsSet() ? t.GetString() : "", title[PDBgetField(stored[i], PDBFnbytes).GetInt()]);
  }
}
