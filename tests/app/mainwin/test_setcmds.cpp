// The setting commands on the main window's selected records: keywords against a model over
// random sets and recent items, single-valued fields, the typo question, albums, Repeat and the
// catalogue's recent lists.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <deque>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "app/records/psetfield.h"
#include "maintest.h"
#include "testutil/checker.h"

namespace {

class SetCommands : public MainTest {
 protected:
  void Catalogue(int n) {
    ASSERT_TRUE(mw->OpenCatalog(Path("s.qdb").c_str()));
    ShowFolder(n);
    ASSERT_EQ(mw->AddRecords(), n);
    b->SelectNone();
  }
  void Select(const std::vector<int>& which) {
    b->SelectNone();
    for (int i : which) bc->Select(i, true);
  }
  // The command, with the input dialog answered text (NULL: not expected) and the typo question
  // answered by button (0: not expected).
  void Run(const char* code, const char* text, int question = 0) {
    asked.clear();
    if (text) {
      const std::string t = text;
      WhenShown(
          gInputWindow,
          [this, t] {
            prefill = TextOf(gInputWindow, "inpt", 129);
            prompt = TextOf(gInputWindow, "inpt", 128);
            PutControlText(ControlOf(gInputWindow, "inpt", 129), t.c_str());
          },
          "bttn", 1);
    }
    if (question)
      WhenShown(
          gConfirmWindow, [this] { asked = TextOf(gConfirmWindow, "cfrm", 128); }, "cfrm",
          question);
    dmessage_last_class = DMCnerr;
    SendCommand(code, kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
  }
  void Update(const char* code) {
    SendCommand(code, kEventCommandUpdateStatus, GetWindowEventTarget(mw->GetWindow()));
  }
  static std::string ItemText(const char* code, bool* on = nullptr, bool* checked = nullptr,
                              bool* hidden = nullptr) {
    MenuRef m = nullptr;
    MenuItemIndex i = 0;
    if (GetIndMenuItemWithCommandID(nullptr, FourCC({code[0], code[1], code[2], code[3], 0}), 1, &m,
                                    &i) != noErr)
      return "?";
    char t[256];
    UInt32 n = 0;
    GetMenuItemText(m, i, t, sizeof t, &n);
    if (on) *on = IsMenuItemEnabled(m, i);
    if (checked) *checked = IsMenuItemChecked(m, i);
    if (hidden) *hidden = IsMenuItemHidden(m, i);
    return std::string(t, std::min<UInt32>(n, sizeof t));
  }
  // The keyword menu's offered items after its update, with their check marks.
  std::vector<std::pair<std::string, bool>> OfferedKeywords() {
    Update("keyw");
    std::vector<std::pair<std::string, bool>> got;
    for (int k = 1; k <= 9; ++k) {
      bool on = false, checked = false;
      const std::string text = ItemText(("key" + std::to_string(k)).c_str(), &on, &checked);
      if (on) got.emplace_back(text, checked);
    }
    return got;
  }
  // Displayed record of file name.
  const DBRecord& Rec(const std::string& file) const {
    for (int i = 0; i < bc->rdisp.GetSize(); ++i)
      if (file == PDBgetString(bc->rdisp.Get(i), PDBFfile)) return bc->rdisp.Get(i);
    static DBRecord none;
    return none;
  }
  static std::set<std::string> Values(const DBRecord& r, PDBFieldID f) {
    std::set<std::string> out;
    for (int i = 0; PDBgetString(r, f, i); ++i) out.insert(PDBgetString(r, f, i));
    return out;
  }
  std::vector<std::string> Recent(const char* list) const {
    std::vector<std::string> out;
    for (int i = 0; i < bc->phd.GetNRecent(list); ++i) out.push_back(bc->phd.GetRecent(list, i));
    return out;
  }
  std::string asked, prefill, prompt;
};

TEST_F(SetCommands, KeywordsFollowAModel) {
  const int kRecords = 6;
  Catalogue(kRecords);
  const std::vector<std::string> words = {"alpha", "bravo", "charlie", "delta",  "echo", "foxtrot",
                                          "golf",  "hotel", "india",   "juliet", "kilo", "lima"};
  PStringSet all;
  for (const std::string& w : words) all.Insert(w.c_str());
  for (const std::string& w : words) {
    PStringSet others(all);
    others.Delete(w.c_str());
    ASSERT_EQ(typoMatch(w.c_str(), others), nullptr) << w;  // no question in this walk
  }
  std::vector<std::set<std::string>> model(kRecords);
  std::deque<std::string> recent;
  std::mt19937 rng(39);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int step = 0; step < 60; ++step) {
    std::vector<int> sel;
    for (int i = 0; i < kRecords; ++i)
      if (pick(2)) sel.push_back(i);
    if (sel.empty()) sel.push_back(pick(kRecords));
    Select(sel);
    std::string file[kRecords];
    for (int i = 0; i < kRecords; ++i) file[i] = "img" + std::to_string(i) + ".jpg";
    Update("keyw");
    // Every offered slot is checked exactly when all selected records have its value.
    int offered = 0;
    for (int k = 1; k <= 9; ++k) {
      const std::string code = "key" + std::to_string(k);
      bool on = false, checked = false, hidden = false;
      const std::string text = ItemText(code.c_str(), &on, &checked, &hidden);
      EXPECT_EQ(hidden, !on) << code;  // an unused slot is hidden, a used one shown
      if (!on) continue;
      ++offered;
      bool common = true;
      for (int i : sel) common = common && model[static_cast<size_t>(i)].count(text) != 0;
      EXPECT_EQ(checked, common) << text;
    }
    std::string value;
    bool unset = false;
    if (offered > 0 && pick(2)) {
      const int k = 1 + pick(offered);
      int seen = 0;
      std::string code;
      for (int j = 1; j <= 9 && seen < k; ++j) {
        bool on = false;
        code = "key" + std::to_string(j);
        value = ItemText(code.c_str(), &on);
        seen += on;
      }
      unset = true;
      for (int i : sel) unset = unset && model[static_cast<size_t>(i)].count(value) != 0;
      Run(code.c_str(), nullptr);
    } else {
      value = words[static_cast<size_t>(pick(static_cast<int>(words.size())))];
      Run("keyw", value.c_str());
    }
    bool changes = false;
    for (int i : sel) {
      changes = changes || unset || model[static_cast<size_t>(i)].count(value) == 0;
      if (unset)
        model[static_cast<size_t>(i)].erase(value);
      else
        model[static_cast<size_t>(i)].insert(value);
    }
    if (!unset) {
      auto it = std::find(recent.begin(), recent.end(), value);
      if (it != recent.end()) recent.erase(it);
      if (recent.size() == 9) recent.pop_back();
      recent.push_front(value);
    }
    for (int i = 0; i < kRecords; ++i)
      ASSERT_EQ(Values(Rec(file[i]), PDBFkeyword), model[static_cast<size_t>(i)])
          << "step " << step << " record " << i;
    ASSERT_EQ(Recent(PDBLastKeywName), std::vector<std::string>(recent.begin(), recent.end()));
    if (changes) {
      EXPECT_EQ(EditItem(1), unset ? "Undo Unset" : "Undo Set");
    }
  }
}

// Large selections are counted in batches read ahead of use; the menus must offer what a plain
// count over the selection gives: the values in byte order (only those every selected record
// has when there are more than the slots), checked when every selected record has them.
TEST_F(SetCommands, SlotsOverLargeSelectionsMatchAPlainCount) {
  const int kRecords = 700;
  ShowFolder(kRecords);
  const char* words[] = {"",     "alpha", "bravo", "charlie", "delta", "echo", "foxtrot",
                         "golf", "hotel", "india", "juliet",  "lima",  "mike"};
  std::mt19937 rng(36);
  const DBFieldInfo* fi = bc->rdisp.GetFieldInfo();
  const int kw = fi->XlateID(&PDBFInfo, PDBFkeyword);
  for (int i = 0; i < kRecords; ++i) {
    // Repeats and empty values within a record; text copies, so pointers differ for equal text.
    // Most records share one value; then more distinct values than the menu's slots.
    std::vector<std::string> texts;
    if (i % 50 != 7) texts.push_back("kilo");
    for (int n = static_cast<int>(rng() % 4); n-- > 0;) texts.push_back(words[rng() % 13]);
    if (rng() % 4 == 0) texts.push_back("kilo");
    std::vector<const char*> p;
    for (const std::string& x : texts) p.push_back(x.c_str());
    bc->rdisp[i].SetField(kw, p.data(), static_cast<int>(p.size()));
  }
  for (int trial = 0; trial < 40; ++trial) {
    b->SelectNone();
    const unsigned every = 1 + rng() % (trial < 20 ? 3 : 200);
    for (int i = 0; i < kRecords; ++i)
      if (rng() % every == 0) bc->Select(i, true);
    std::map<std::string, int> counts;
    int nsel = 0;
    for (int i = 0; bc->NextSelected(&i); ++i, ++nsel)
      for (const std::string& v : Values(bc->rdisp.Get(i), PDBFkeyword))
        if (!v.empty()) ++counts[v];
    std::vector<std::pair<std::string, bool>> want;
    for (const auto& [v, c] : counts)
      if (counts.size() <= 9 || c == nsel) want.emplace_back(v, c == nsel);
    ASSERT_EQ(OfferedKeywords(), want) << "trial " << trial << ", " << nsel << " selected";
  }
}

// The menus keep what they counted over the selection while nothing changed. Every way of
// changing the records or the selection must make them count again: random changes through the
// commands, undo and redo, sorting, the selection and the records themselves, each followed by
// two updates (the second finding what the first kept), against a plain count.
TEST_F(SetCommands, KeptCountsFollowEveryChange) {
  const int kRecords = 30;
  Catalogue(kRecords);
  const char* words[] = {"alpha", "bravo", "charlie", "delta",  "echo", "foxtrot",
                         "golf",  "hotel", "india",   "juliet", "kilo", "lima"};
  std::mt19937 rng(37);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const DBFieldInfo* fi = bc->rdisp.GetFieldInfo();
  const int kw = fi->XlateID(&PDBFInfo, PDBFkeyword);
  const int lat = fi->XlateID(&PDBFInfo, PDBFlatitude);
  const int lon = fi->XlateID(&PDBFInfo, PDBFlongitude);
  ASSERT_GE(kw, 0);
  ASSERT_GE(lat, 0);
  ASSERT_GE(lon, 0);
  const char* sorts[] = {"sfil", "sdat", "ssub", "sman"};
  for (int step = 0; step < 300; ++step) {
    const int n = bc->rdisp.GetSize();
    const int i = pick(std::max(n, 1));
    switch (pick(9)) {
      case 0:
        bc->Select(i, !bc->rsel.Check(static_cast<uint32_t>(i)));
        break;
      case 1:
        pick(2) ? bc->SelectAll() : bc->SelectInverse();
        break;
      case 2:
        if (bc->TotalSelected() > 0) Run("keyw", words[pick(12)]);
        break;
      case 3:
        Run(pick(2) ? "undo" : "redo", nullptr);
        break;
      case 4:
        Run(sorts[pick(4)], nullptr);
        break;
      case 5: {
        const char* v[] = {words[pick(12)], words[pick(12)]};
        bc->rdisp[i].SetField(kw, v, 1 + pick(2));
        break;
      }
      case 6:
        bc->rdisp[i].ClearField(kw);
        break;
      case 7:
        if (pick(3) == 0) {
          bc->rdisp[i].ClearField(lat);
        } else {
          bc->rdisp[i].SetField(lat, 45.0f);
          bc->rdisp[i].SetField(lon, 7.0f);
        }
        break;
      default:
        b->SelectNone();
        for (int k = 0; k < n; ++k)
          if (pick(3) == 0) bc->Select(k, true);
        break;
    }
    std::map<std::string, int> counts;
    int nsel = 0;
    bool placed = true;
    for (int k = 0; bc->NextSelected(&k); ++k, ++nsel) {
      const DBRecord& r = bc->rdisp.Get(k);
      for (const std::string& v : Values(r, PDBFkeyword)) ++counts[v];
      placed =
          placed && PDBgetField(r, PDBFlatitude).IsSet() && PDBgetField(r, PDBFlongitude).IsSet();
    }
    // The counted values (only the common ones when there are more than the slots), then the
    // recent values not offered already.
    std::vector<std::pair<std::string, bool>> want;
    const bool onlyCommon = counts.size() > 9;
    for (const auto& [v, c] : counts)
      if (want.size() < 9 && (!onlyCommon || c == nsel)) want.emplace_back(v, c == nsel);
    for (const std::string& v : Recent(PDBLastKeywName)) {
      const auto in = counts.find(v);
      if (want.size() < 9 && !v.empty() &&
          (in == counts.end() || (onlyCommon && in->second != nsel)))
        want.emplace_back(v, false);
    }
    for (int twice = 0; twice < 2; ++twice) {
      const auto got = OfferedKeywords();
      if (nsel > 0) {
        ASSERT_EQ(got, want) << "step " << step << ", " << nsel << " selected";
      }
      ASSERT_EQ(Enabled(mw, "cpgp"), nsel > 0 && placed) << "step " << step;
    }
  }
}

TEST_F(SetCommands, SingleValuesTyposAlbumsAndRepeat) {
  Catalogue(4);
  // A single-valued field offers the value all selected share, and an empty entry clears it.
  Select({0, 1});
  Run("titl", "Harbour");
  EXPECT_EQ(prompt.substr(0, 4), "Set ");
  EXPECT_EQ(Status(), "Changed 2 records");
  // Setting what the records already hold writes nothing and keeps the undo step before it.
  Run("titl", "Harbour");
  EXPECT_EQ(EditItem(1), "Undo Set");
  Select({0, 1, 2});
  Run("keyw", "pier");
  Run("keyw", "pier");
  EXPECT_EQ(EditItem(1), "Undo Set");
  SendCommand("undo", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
  EXPECT_EQ(Values(Rec("img2.jpg"), PDBFkeyword), (std::set<std::string>{}));
  Select({0, 1});
  Run("titl", "");
  EXPECT_EQ(prefill, "Harbour");
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(0), PDBFtitle), nullptr);
  EXPECT_EQ(EditItem(1), "Undo Unset");
  Update("rept");
  EXPECT_EQ(ItemText("rept"), "Repeat Set");
  EXPECT_FALSE(MenuEnabled("rept"));

  // Subject: eight letters with two swapped offer the existing value.
  Select({0, 1, 2, 3});
  Run("subj", "Mountain");
  Select({3});
  Run("subj", "Moutnain", 129);
  EXPECT_EQ(asked, "You entered 'Moutnain' -- use existing Subject 'Mountain' instead?");
  EXPECT_EQ(PDBgetString(Rec("img3.jpg"), PDBFsubject), std::string("Mountain"));
  Run("subj", "Moutnain", 131);  // "No" keeps the entry
  EXPECT_EQ(PDBgetString(Rec("img3.jpg"), PDBFsubject), std::string("Moutnain"));
  Run("subj", "Mountain");  // as typed: no question
  EXPECT_EQ(asked, "");

  // Albums: positions after the album's highest; a second album; taking one away. The
  // catalogue's search finds "SEA" for "Sea" too: that record is not in the album.
  Select({3});
  Run("albm", "SEA");
  Select({0, 1});
  Run("albm", "Sea", 131);
  EXPECT_EQ(asked, "You entered 'Sea' -- use existing Album 'SEA' instead?");
  Select({2});
  Run("albm", "Sea");
  EXPECT_EQ(PDBgetField(Rec("img2.jpg"), PDBFposition).GetInt(0), 2);
  Select({0});
  Run("albm", "Sea");  // already in it: renumbered after the highest
  EXPECT_EQ(PDBgetField(Rec("img0.jpg"), PDBFposition).GetInt(0), 3);
  Run("albm", "Hills");
  EXPECT_EQ(Values(Rec("img0.jpg"), PDBFalbum), (std::set<std::string>{"Sea", "Hills"}));
  EXPECT_EQ(PDBgetField(Rec("img0.jpg"), PDBFposition).GetNV(), 2);
  Update("albm");
  EXPECT_EQ(ItemText("alb1"), "Hills");
  Run("alb2", nullptr);  // "Sea", which the lone selected record has: taken away
  EXPECT_EQ(Values(Rec("img0.jpg"), PDBFalbum), (std::set<std::string>{"Hills"}));
  EXPECT_EQ(PDBgetField(Rec("img0.jpg"), PDBFposition).GetInt(0), 0);

  // Repeat applies the last value set to another selection; an unset forgets it.
  Update("rept");
  EXPECT_EQ(ItemText("rept"), "Repeat Set");
  Select({1});
  Run("albm", "Hills");
  Update("rept");
  EXPECT_EQ(ItemText("rept"), "Repeat Album");
  Select({3});
  Run("rept", nullptr);
  EXPECT_EQ(Values(Rec("img3.jpg"), PDBFalbum), (std::set<std::string>{"SEA", "Hills"}));
  EXPECT_EQ(PDBgetField(Rec("img3.jpg"), PDBFposition).GetInt(1), 2);
  EXPECT_EQ(Status(), "Changed 1 record");
}

TEST_F(SetCommands, RecentListsKeepTheirCapacityInTheCatalogue) {
  Catalogue(2);
  b->SelectAll();
  struct {
    const char* code;
    const char* list;
    size_t cap;
  } lists[] = {{"subj", PDBLastSubjName, 7},
               {"ownr", PDBLastOwnrName, 5},
               {"albm", PDBLastAlbmName, 7},
               {"keyw", PDBLastKeywName, 9}};
  // Values far apart, so that no typo question comes.
  const char* values[] = {"Amsterdam", "Bordeaux", "Cork",     "Dresden",   "Edinburgh", "Florence",
                          "Granada",   "Helsinki", "Istanbul", "Jerusalem", "Krakow"};
  for (const auto& l : lists)
    for (const char* v : values) Run(l.code, v);
  for (const auto& l : lists) {
    const std::vector<std::string> got = Recent(l.list);
    ASSERT_EQ(got.size(), l.cap) << l.list;
    EXPECT_EQ(got.front(), "Krakow");
    EXPECT_EQ(got.back(), values[11 - l.cap]);
  }
  ASSERT_TRUE(bc->SyncDB());
  if (CheckerRuns(Path("s.qdb"))) {
    const std::string out = CheckerOutput({"--json", Path("s.qdb")});
    // The checker reads the lists from the file as they are in memory.
    const QJsonObject vars = QJsonDocument::fromJson(QByteArray::fromStdString(out))
                                 .object()["header"]
                                 .toObject()["variables"]
                                 .toObject();
    for (const auto& l : lists) {
      std::vector<std::string> onDisk;
      for (const QJsonValue& v : vars[l.list].toArray())
        onDisk.push_back(v.toString().toStdString());
      EXPECT_EQ(onDisk, Recent(l.list)) << l.list;
    }
  }
}

}  // namespace
