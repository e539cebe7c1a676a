// The search window: its clauses through the real controls, searching the display and the
// catalogue, number fields taking only numbers, commands held back while a search walks the
// catalogue, and a model of random queries against a plain reading of the verb table.
#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include "app/core/pbusy.h"
#include "infotest.h"
#include "testutil/popup_item.h"
#include "platform/pclipboard.h"
#include "platform/ptempfile.h"
#include "support/cnumber.h"
#include "support/pstrings.h"

namespace {

class Find : public InfoTest {
 protected:
  WindowRef F() const { return find->GetWindow(); }
  // Chooses the item of popup (find, id) whose text is item.
  void Choose(int id, const char* item) {
    if (ChoosePopupItem(ControlOf(F(), "find", id), item))
      find->Update();
    else
      ADD_FAILURE() << "no item " << item << " in popup " << id;
  }
  // Clause k (1 or 2): field, verb and values.
  void Clause(int k, const char* field, const char* verb, const char* a, const char* b = "") {
    const int base = k == 1 ? 130 : 140;
    Choose(base, field);
    Choose(base + 2, verb);
    PutControlText(ControlOf(F(), "find", base + 3), a);
    PutControlText(ControlOf(F(), "find", base + 5), b);
  }
  // The files of the selected (or, with all, every) displayed record.
  std::set<std::string> Files(bool all = false) const {
    std::set<std::string> s;
    for (int i = 0; i < ctx->rdisp.GetSize(); ++i)
      if (all || ctx->IsSelected(i)) s.insert(PDBgetField(ctx->rdisp[i], PDBFfile).GetString(0));
    return s;
  }
  // Records r0 .. r<n-1> with their XSize, ExpTime, Subject, Keyword and Caption.
  void Photos() {
    MakeDisplay(&PDBFInfo, 12);
    const float exp[12] = {0, 1e-7f, 1e-5f, 3, 4, 5, 6, 7, 8, 9, 10, 0.008f};
    for (int i = 0; i < 12; ++i) {
      DBRecord& r = ctx->rdisp[i];
      r.SetField(PDBFxsize, static_cast<long>(i + 3));
      r.SetField(PDBFexptime, exp[i]);
      r.SetField(PDBFsubject, ("s" + std::to_string(i + 3)).c_str());
      r.SetField(PDBFnbytes, static_cast<long>(1000 + i));
      r.SetField(PDBFhashval, static_cast<long>(7000 + i));
    }
    const char* kw[] = {"Beach", "sunset"};
    ctx->rdisp[4].SetField(PDBFkeyword, kw, 2);
    const char* cap[] = {"A grey Horse", "mare"};
    ctx->rdisp[6].SetField(PDBFcaption, cap, 2);
  }
  void SearchDisplay() { Click(F(), "find", 151); }
  void SearchCatalog() { Click(F(), "find", 152); }
  // The records of the display catalogued in a new catalogue, which the display then shows.
  void Catalogue() {
    ASSERT_TRUE(ctx->OpenDB((home.path() + "/find.qdb").c_str()));
    // The catalogue takes only records with the fields it requires.
    for (int i = 0; i < ctx->rdisp.GetSize(); ++i) {
      DBRecord& r = ctx->rdisp[i];
      for (PDBFieldID f : {PDBFxsize, PDBFysize})
        if (!PDBgetField(r, f).IsSet()) r.SetField(f, 100L);
      if (!PDBgetField(r, PDBFsubject).IsSet()) r.SetField(PDBFsubject, "-");
      if (!PDBgetField(r, PDBFlocation).IsSet()) r.SetField(PDBFlocation, "/photos");
    }
    ctx->SelectAll();
    ASSERT_EQ(ctx->AddRecords(), ctx->rdisp.GetSize());
    ctx->SelectNone();
  }
  // n catalogued records, two of every three with the subject "Trip".
  void CatalogueTrips(int n = 300) {
    MakeDisplay(&PDBFInfo, n);
    for (int i = 0; i < n; ++i) {
      ctx->rdisp[i].SetField(PDBFnbytes, static_cast<long>(1000 + i));
      ctx->rdisp[i].SetField(PDBFhashval, static_cast<long>(5000 + i));
      ctx->rdisp[i].SetField(PDBFsubject, i % 3 ? "Trip" : "Home");
    }
    Catalogue();
  }
};

using S = std::set<std::string>;

TEST_F(Find, VerbsAndConjunctionsOverTheDisplay) {
  Photos();
  ASSERT_TRUE(find->Find(nullptr));
  EXPECT_TRUE(IsWindowVisible(F()));
  // Without a catalogue only the display can be searched.
  EXPECT_FALSE(IsControlEnabled(ControlOf(F(), "find", 152)));
  ControlRef def = nullptr;
  GetWindowDefaultButton(F(), &def);
  EXPECT_EQ(def, ControlOf(F(), "find", 151));

  // Between 10 and 5 takes 5 to 10 inclusive: integers, floats, and text in natural order.
  Clause(1, "XSize", "between", "10", "5");
  EXPECT_TRUE(IsControlVisible(ControlOf(F(), "find", 135)));
  Shot(F(), "find-between");
  SearchDisplay();
  EXPECT_FALSE(IsWindowVisible(F()));
  EXPECT_EQ(Files(), (S{"r2.jpg", "r3.jpg", "r4.jpg", "r5.jpg", "r6.jpg", "r7.jpg"}));
  find->Find(nullptr);
  Clause(1, "ExpTime", "between", "10", "5");
  SearchDisplay();
  EXPECT_EQ(Files(), (S{"r5.jpg", "r6.jpg", "r7.jpg", "r8.jpg", "r9.jpg", "r10.jpg"}));
  find->Find(nullptr);
  Clause(1, "Subject", "between", "S10", "s5");
  SearchDisplay();
  EXPECT_EQ(Files(), (S{"r2.jpg", "r3.jpg", "r4.jpg", "r5.jpg", "r6.jpg", "r7.jpg"}));

  // Equals 1/125 finds 0.008; equals 0 only values within 1e-6 of it.
  find->Find(nullptr);
  Clause(1, "ExpTime", "equals", "1/125");
  EXPECT_FALSE(IsControlVisible(ControlOf(F(), "find", 135)));
  SearchDisplay();
  EXPECT_EQ(Files(), (S{"r11.jpg"}));
  find->Find(nullptr);
  Clause(1, "ExpTime", "equals", "0");
  SearchDisplay();
  EXPECT_EQ(Files(), (S{"r0.jpg", "r1.jpg"}));

  // A keyword in any letter case; contains ignores case; "or" finds either clause's records.
  find->Find(nullptr);
  Clause(1, "Keyword", "equals", "bEACH");
  SearchDisplay();
  EXPECT_EQ(Files(), (S{"r4.jpg"}));
  find->Find(nullptr);
  Clause(1, "Caption", "contains", "HORSE");
  SearchDisplay();
  EXPECT_EQ(Files(), (S{"r6.jpg"}));
  find->Find(nullptr);
  Choose(160, "or");
  EXPECT_TRUE(IsControlEnabled(ControlOf(F(), "find", 140)));
  Clause(1, "Subject", "equals", "s3");
  Clause(2, "XSize", "equals", "14");
  SearchDisplay();
  EXPECT_EQ(Files(), (S{"r0.jpg", "r11.jpg"}));
  find->Find(nullptr);
  Choose(160, "and");
  Clause(1, "XSize", "between", "4", "9");
  Clause(2, "ExpTime", "between", "5", "100");
  SearchDisplay();
  EXPECT_EQ(Files(), (S{"r5.jpg", "r6.jpg"}));

  // Number fields take only numbers: the search is refused and the selection stays.
  find->Find(nullptr);
  Choose(160, "alone");
  EXPECT_FALSE(IsControlEnabled(ControlOf(F(), "find", 140)));
  for (const char* bad : {"abc", "1/0", "5x", "99999999999"}) {
    dmessage_record[DMCinput] = nullptr;
    Clause(1, "XSize", "equals", bad);
    SearchDisplay();
    EXPECT_STREQ(dmessage_record[DMCinput], "Invalid search") << bad;
    EXPECT_EQ(Files(), (S{"r5.jpg", "r6.jpg"})) << bad;
  }
  Clause(1, "ExpTime", "between", "1", "nan");
  SearchDisplay();
  EXPECT_STREQ(dmessage_record[DMCinput], "Invalid search");

  // A display of one record is not searched.
  MakeDisplay(&PDBFInfo, 1);
  ctx->Select(0);
  Clause(1, "File", "equals", "nothing");
  EXPECT_FALSE(find->SearchDisplay());
  EXPECT_TRUE(ctx->IsSelected(0));
}

// Edit > Cut and Copy are there for the selected text of a value, also after Alt gave the menu
// bar the keyboard (the text stays selected), and act on it.
TEST_F(Find, CutAndCopyTakeTheSelectedValueAlsoFromTheKeyboardMenu) {
  ASSERT_TRUE(find->Find(nullptr));
  ASSERT_TRUE(QTest::qWaitForWindowActive(PlatformFrameWidget(F()), 1000));
  auto* value = qobject_cast<QLineEdit*>(WidgetOf(F(), "find", 133));
  QMenuBar* bar = PlatformFrameWidget(F())->findChild<QMenuBar*>();
  ASSERT_TRUE(value != nullptr && bar != nullptr);
  value->setText("sunset");
  value->setFocus();
  MenuRef edit = nullptr;
  ASSERT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("copy"), 1, &edit, nullptr), noErr);
  auto shown = [edit](const char* code) {
    Q_EMIT PlatformMenu(edit)->aboutToShow();
    return MenuEnabled(code);
  };
  EXPECT_TRUE(shown("cut "));  // also with nothing selected
  EXPECT_TRUE(shown("copy"));
  value->selectAll();
  EXPECT_TRUE(shown("cut "));
  EXPECT_TRUE(shown("copy"));
  QTest::keyClick(value, Qt::Key_Alt);
  ASSERT_TRUE(bar->hasFocus());
  EXPECT_EQ(value->selectedText(), "sunset");
  EXPECT_TRUE(shown("cut "));
  EXPECT_TRUE(shown("copy"));
  MenuAction("copy")->trigger();
  std::string clip;
  EXPECT_TRUE(ClipboardGetText(&clip));
  EXPECT_EQ(clip, "sunset");
  MenuAction("cut ")->trigger();
  EXPECT_EQ(value->text(), "");
}

TEST_F(Find, TheCatalogueSearchedByItsOwnSearchOrRecordByRecord) {
  Photos();
  const char* kw[] = {"beach", "city"};
  ctx->rdisp[5].SetField(PDBFkeyword, kw, 2);
  Catalogue();
  ASSERT_TRUE(find->Find(mw));
  EXPECT_TRUE(IsControlEnabled(ControlOf(F(), "find", 152)));
  ControlRef def = nullptr;
  GetWindowDefaultButton(F(), &def);
  EXPECT_EQ(def, ControlOf(F(), "find", 152));
  Clause(1, "Subject", "equals", "S7");
  Return(F(), "find", 133);  // the default button: the catalogue
  EXPECT_FALSE(find->SelfMatching());
  EXPECT_STREQ(ctx->rsrc, "*DB");
  EXPECT_EQ(Files(true), (S{"r4.jpg"}));

  // Two clauses on one field: 3-8 and 6-12 leave 6-8, matched in the window for a field of
  // one value; a field of several values takes two-valued bounds, each met by some value.
  find->Find(mw);
  Choose(160, "and");
  Clause(1, "XSize", "between", "3", "8");
  Clause(2, "XSize", "between", "12", "6");
  SearchCatalog();
  EXPECT_TRUE(find->SelfMatching());
  EXPECT_EQ(Files(true), (S{"r3.jpg", "r4.jpg", "r5.jpg"}));
  find->Find(mw);
  Clause(1, "Keyword", "equals", "BEACH");
  Clause(2, "Keyword", "between", "sa", "sz");
  SearchCatalog();
  EXPECT_FALSE(find->SelfMatching());
  EXPECT_EQ(Files(true), (S{"r4.jpg"}));

  // A contains clause matches record by record, the other clause with it.
  find->Find(mw);
  Clause(1, "Caption", "contains", "horse");
  Clause(2, "XSize", "equals", "9");
  SearchCatalog();
  EXPECT_TRUE(find->SelfMatching());
  EXPECT_EQ(Files(true), (S{"r6.jpg"}));
  find->Find(mw);
  Choose(160, "or");
  SearchCatalog();
  EXPECT_EQ(Files(true), (S{"r6.jpg"}));
  find->Find(mw);
  Clause(2, "Subject", "contains", "1");
  SearchCatalog();
  EXPECT_EQ(Files(true), (S{"r6.jpg", "r7.jpg", "r8.jpg", "r9.jpg", "r10.jpg", "r11.jpg"}));

  // The display is searched with the catalogue's query too.
  find->Find(mw);
  Choose(160, "alone");
  Clause(1, "Subject", "between", "s8", "s10");
  SearchDisplay();
  EXPECT_FALSE(find->SelfMatching());
  EXPECT_EQ(Files(), (S{"r6.jpg", "r7.jpg"}));
}

// File names and folders are typed as names show: "caf\xE9" stands for the byte E9 and finds
// that file, not the one named with the characters \xE9 (shown "caf\\xE9"), in the display and
// through the catalogue's own search; a folder is found by its bytes the same way.
TEST_F(Find, NamesAreFoundByTheBytesTheirShownTextStandsFor) {
  Photos();
  ctx->rdisp[0].SetField(PDBFfile, "caf\xE9.jpg");
  ctx->rdisp[1].SetField(PDBFfile, "caf\\xE9.jpg");
  ctx->rdisp[2].SetField(PDBFlocation, "/photos/\xE9t\xE9");
  ctx->rdisp[3].SetField(PDBFlocation, "/photos/\\xE9t\\xE9");
  // Typed as a person types into the value field.
  auto typed = [&](const char* field, const char* verb, const char* text) {
    Clause(1, field, verb, "");
    auto* e = qobject_cast<QLineEdit*>(WidgetOf(F(), "find", 133));
    ASSERT_NE(e, nullptr);
    e->clear();
    QTest::keyClicks(e, QString::fromUtf8(text));
  };
  for (bool catalogued : {false, true}) {
    if (catalogued) Catalogue();
    ASSERT_TRUE(find->Find(catalogued ? mw : nullptr));
    typed("File", "equals", "caf\\xE9.jpg");
    catalogued ? SearchCatalog() : SearchDisplay();
    EXPECT_EQ(Files(catalogued), (S{"caf\xE9.jpg"})) << catalogued;
    find->Find(catalogued ? mw : nullptr);
    typed("File", "equals", "caf\\\\xE9.jpg");
    catalogued ? SearchCatalog() : SearchDisplay();
    EXPECT_EQ(Files(catalogued), (S{"caf\\xE9.jpg"})) << catalogued;
    find->Find(catalogued ? mw : nullptr);
    typed("Location", "contains", "/\\xE9t\\xE9");
    catalogued ? SearchCatalog() : SearchDisplay();
    EXPECT_EQ(Files(catalogued), (S{"r2.jpg"})) << catalogued;
  }
}

TEST_F(Find, NothingLoadsClosesOrSearchesWhileTheCatalogueIsWalked) {
  MakeDisplay(&PDBFInfo, 1200);
  for (int i = 0; i < 1200; ++i) {
    ctx->rdisp[i].SetField(PDBFnbytes, static_cast<long>(1000 + i));
    ctx->rdisp[i].SetField(PDBFhashval, static_cast<long>(5000 + i));
    ctx->rdisp[i].SetField(PDBFcaption, i % 2 ? "odd" : "even");
  }
  Catalogue();
  ASSERT_TRUE(find->Find(mw));
  Clause(1, "Caption", "contains", "od");
  // At each of the walk's first pumps: another search, a new catalogue, closing the main
  // window, each held back.
  int tries = 0, refused = 0;
  std::function<void()> attempt = [&] {
    if (!PisBusy()) return;
    ++tries;
    SendCommand("fcat", kEventCommandProcess, GetWindowEventTarget(F()));
    SendCommand("catn");
    SendCommand("fdsp", kEventCommandUpdateStatus, GetWindowEventTarget(F()));
    EventRef close = nullptr;
    CreateEvent(kEventClassWindow, kEventWindowClose, GetCurrentEventTime(), &close);
    SendEventToEventTarget(close, GetWindowEventTarget(gMain->GetWindow()));
    ReleaseEvent(close);
    if (ctx->Ready() && IsWindowVisible(gMain->GetWindow())) ++refused;
    if (tries < 3) QTimer::singleShot(0, attempt);
  };
  QTimer::singleShot(0, attempt);
  ASSERT_TRUE(find->SearchCatalog());
  EXPECT_GT(tries, 0);
  EXPECT_EQ(refused, tries);
  EXPECT_TRUE(ctx->Ready());
  EXPECT_EQ(ctx->rdisp.GetSize(), 600);
}

// Work that runs long (the platform clock moves a tenth of a second at every pump of events)
// keeps the windows served: a search pumps from its start, and its Progress window shows while
// the work holds the records, with the commands that would pull them away refused. A setting
// command over the same records that takes no time pumps nothing (what the user does meanwhile
// waits for it); at a pace that pumps at every step it shows its progress too. The Progress
// window is gone when the work ends.
TEST_F(Find, LongSearchesAndSettingsShowProgressAndKeepPainting) {
  CatalogueTrips();
  SetManualPlatformClock(true);
  int pumps = 0, withProgress = 0;
  bool refused = true;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (!PisBusy()) return;
    ++pumps;
    AdvancePlatformClock(0.1);
    if (!IsWindowVisible(gProgressWindow)) return;
    ++withProgress;
    for (const char* c : {"fcat", "keyw", "undo", "cata"})
      refused = refused && PrefusedWhileBusy(FourCC({c[0], c[1], c[2], c[3], 0}));
  });
  tick.start(0);
  ASSERT_TRUE(find->Find(mw));
  Clause(1, "Subject", "equals", "Trip");
  ASSERT_TRUE(find->SearchCatalog());
  EXPECT_EQ(ctx->rdisp.GetSize(), 200);
  EXPECT_GE(pumps, 3);
  EXPECT_GT(withProgress, 0);
  EXPECT_TRUE(refused);
  EXPECT_FALSE(IsWindowVisible(gProgressWindow));

  auto setKeyword = [&](const char* word) {
    pumps = withProgress = 0;
    ctx->SelectAll();
    const std::string w = word;
    WhenShown(
        gInputWindow, [w] { PutControlText(ControlOf(gInputWindow, "inpt", 129), w.c_str()); },
        "bttn", 1);
    SendCommand("keyw", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
    int set = 0;
    for (int i = 0; i < ctx->rdisp.GetSize(); ++i)
      set += PDBgetField(ctx->rdisp[i], PDBFkeyword).Match(word) ? 1 : 0;
    EXPECT_EQ(set, 200) << word;
    EXPECT_STREQ(ctx->pdb.UndoName(), "Set");
    EXPECT_FALSE(IsWindowVisible(gProgressWindow));
    EXPECT_FALSE(PisBusy());
  };
  setKeyword("pier");
  EXPECT_EQ(pumps, 0);
  PsetWorkPace(0, 0);
  setKeyword("harbour");
  PsetWorkPace(kWorkPumpEvery, kWorkProgressAfter);
  tick.stop();
  SetManualPlatformClock(false);
  EXPECT_GE(pumps, 3);
  EXPECT_GT(withProgress, 0);
  EXPECT_TRUE(refused);
}

// The Progress window's Stop button is greyed while work that cannot stop part way holds the
// records, and a click on it does nothing: a setting storing its records, and a search of the
// catalogue, which finds every record it matches, by the catalogue's own search and record by
// record.
TEST_F(Find, StopIsGreyedAndASearchFindsAll) {
  const int records = 20000;  // a search long enough to be clicked during
  CatalogueTrips(records);
  SetManualPlatformClock(true);
  PsetWorkPace(0, 0);
  int shown = 0, live = 0;
  bool clicked = false;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (!PisBusy()) return;
    AdvancePlatformClock(0.1);
    if (!IsWindowVisible(gProgressWindow)) return;
    ++shown;
    live += IsControlEnabled(ControlOf(gProgressWindow, "bttn", 3));
    if (clicked) return;
    clicked = true;
    QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gProgressWindow, "bttn", 3)),
                      Qt::LeftButton);
  });
  tick.start(0);

  for (int i = 0; i < 300; ++i) ctx->Select(i);
  WhenShown(
      gInputWindow, [] { PutControlText(ControlOf(gInputWindow, "inpt", 129), "pier"); }, "bttn",
      1);
  SendCommand("keyw", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
  int set = 0;
  for (int i = 0; i < ctx->rdisp.GetSize(); ++i)
    set += PDBgetField(ctx->rdisp[i], PDBFkeyword).Match("pier") ? 1 : 0;
  EXPECT_EQ(set, 300);
  EXPECT_GT(shown, 0);
  EXPECT_EQ(live, 0);

  for (const char* verb : {"equals", "contains"}) {
    SCOPED_TRACE(verb);
    shown = live = 0;
    clicked = false;
    ASSERT_TRUE(find->Find(mw));
    Clause(1, "Subject", verb, "Trip");
    ASSERT_TRUE(find->SearchCatalog());
    EXPECT_EQ(find->SelfMatching(), verb[0] == 'c');
    EXPECT_TRUE(clicked);
    EXPECT_EQ(live, 0);
    EXPECT_EQ(ctx->rdisp.GetSize(), records - (records + 2) / 3);
    EXPECT_FALSE(PisBusy());
    EXPECT_FALSE(IsWindowVisible(gProgressWindow));
  }
  tick.stop();
  PsetWorkPace(kWorkPumpEvery, kWorkProgressAfter);
  SetManualPlatformClock(false);
}

// ---- The model.

// A plain reading of the verb table; typed numbers are taken as floats.
double Number(const std::string& t) {
  double n = 0, d = 1;
  if (Csscanf(t.c_str(), "%lf/%lf", &n, &d) == 2) return static_cast<float>(n / d);
  return static_cast<float>(Catof(t.c_str()));
}

bool Reference(const DBField& f, int verb, const std::string& a, const std::string& b) {
  for (int i = 0; i < f.GetNV(); ++i) {
    const std::string v = f.GetString(i);
    switch (verb) {
      case 1:
        if (f.GetDT() == DBDTfloat) {
          const double e = Number(a), x = f.GetFloat(i);
          if (e != 0 ? std::fabs(x / e - 1) <= 1e-6 : std::fabs(x) <= 1e-6) return true;
        } else if (strcmp_nc(v.c_str(), a.c_str()) == 0) {
          return true;
        }
        break;
      case 2:
        if (f.GetDT() == DBDTint || f.GetDT() == DBDTfloat) {
          const double lo = std::min(Number(a), Number(b)), hi = std::max(Number(a), Number(b));
          const double x = f.GetDT() == DBDTint ? f.GetInt(i) : f.GetFloat(i);
          if (lo <= x && x <= hi) return true;
        } else {
          const bool up = strcmp_nc(a.c_str(), b.c_str()) <= 0;
          const std::string& lo = up ? a : b;
          const std::string& hi = up ? b : a;
          if (strcmp_nc(lo.c_str(), v.c_str()) <= 0 && strcmp_nc(v.c_str(), hi.c_str()) <= 0)
            return true;
        }
        break;
      case 3: {
        std::string lv = v, la = a;
        for (char& c : lv) c = Clower(c);
        for (char& c : la) c = Clower(c);
        if (lv.find(la) != std::string::npos) return true;
        break;
      }
    }
  }
  return false;
}

// 5,000 random queries of one or two clauses over 2,000 random records: matching in the window
// agrees with the verb table, and for integer and text clauses (no contains, no two clauses on
// one field) with the catalogue's own search. Under the sanitizers, which run ten times slower,
// 1,000 queries.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kQueries = 1000;
#else
constexpr int kQueries = 5000;
#endif

TEST_F(Find, RandomQueriesAgreeWithTheVerbTableAndTheCataloguesSearch) {
  std::mt19937 rng(38);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* words[] = {"beach", "Beach", "city", "img9", "img10", "IMG10", "snow", "sn", "a b"};
  const char* floats[] = {"0", "1/125", "0.5", "1/4", "1", "2.5", "-3", "1e-7"};
  const float fvals[] = {0, 0.008f, 0.5f, 0.25f, 1, 2.5f, -3, 1e-7f, 3e-6f, 0.008000004f};
  const int n = 2000;
  MakeDisplay(&PDBFInfo, n);
  for (int i = 0; i < n; ++i) {
    DBRecord& r = ctx->rdisp[i];
    r.SetField(PDBFnbytes, static_cast<long>(1000 + i));
    r.SetField(PDBFhashval, static_cast<long>(9000 + i));
    if (pick(5)) r.SetField(PDBFxsize, static_cast<long>(pick(25) - 5));
    if (pick(5)) r.SetField(PDBFexptime, fvals[pick(10)]);
    if (pick(5)) r.SetField(PDBFsubject, words[pick(9)]);
    if (pick(5)) r.SetField(PDBFtitle, words[pick(9)]);
    const char* kw[3] = {words[pick(9)], words[pick(9)], words[pick(9)]};
    if (pick(4)) r.SetField(PDBFkeyword, kw, 1 + pick(3));
  }
  Catalogue();
  ASSERT_TRUE(find->Find(mw));
  struct Field {
    const char* name;
    PDBFieldID id;
    DBDataType t;
  };
  const Field fields[] = {{"XSize", PDBFxsize, DBDTint},
                          {"ExpTime", PDBFexptime, DBDTfloat},
                          {"Subject", PDBFsubject, DBDTstring},
                          {"Title", PDBFtitle, DBDTstring},
                          {"Keyword", PDBFkeyword, DBDTstring}};
  auto value = [&](DBDataType t, int verb) -> std::string {
    if (verb == 3) return std::string(words[pick(9)]).substr(0, 1 + pick(3));
    if (t == DBDTint) return std::to_string(pick(25) - 5);
    if (t == DBDTfloat) return floats[pick(8)];
    return words[pick(9)];
  };
  const char* verbs[] = {"", "equals", "between", "contains"};
  const char* conjs[] = {"", "alone", "and", "or"};
  int compared = 0, found = 0;
  for (int q = 0; q < kQueries; ++q) {
    const int conj = 1 + pick(3);
    const Field& f1 = fields[pick(5)];
    const Field& f2 = fields[pick(5)];
    const int v1 = 1 + pick(3), v2 = 1 + pick(3);
    const std::string a1 = value(f1.t, v1), b1 = value(f1.t, v1);
    const std::string a2 = value(f2.t, v2), b2 = value(f2.t, v2);
    Choose(160, conjs[conj]);
    Clause(1, f1.name, verbs[v1], a1.c_str(), b1.c_str());
    if (conj != 1) Clause(2, f2.name, verbs[v2], a2.c_str(), b2.c_str());
    ASSERT_TRUE(find->SetQuery()) << q;
    const bool catalogues = !find->SelfMatching();
    const bool same = catalogues && f1.t != DBDTfloat && (conj == 1 || f2.t != DBDTfloat) &&
                      !(conj == 2 && f1.id == f2.id);
    std::set<int> bySearch;
    for (int i = 0; i < n; ++i) {
      const DBRecord& r = ctx->rdisp[i];
      const bool one = Reference(PDBgetField(r, f1.id), v1, a1, b1);
      const bool two = conj != 1 && Reference(PDBgetField(r, f2.id), v2, a2, b2);
      const bool want = conj == 1 ? one : conj == 2 ? one && two : one || two;
      find->myMatch = true;
      ASSERT_EQ(find->MatchQuery(r), want)
          << "query " << q << " record " << i << " " << conj << " " << f1.name << " " << v1 << " ["
          << a1 << "] [" << b1 << "] " << f2.name << " " << v2 << " [" << a2 << "] [" << b2 << "] "
          << PDBgetField(r, f1.id).GetString(0) << "/" << PDBgetField(r, f2.id).GetString(0);
      found += want;
      find->myMatch = !catalogues;
      if (same) {
        ASSERT_EQ(find->MatchQuery(r), want) << "catalogue, query " << q << " record " << i;
        if (want) bySearch.insert(i);
      }
    }
    if (same) ++compared;
    // Now and then the catalogue itself is searched.
    if (same && q % 100 == 0) {
      DBRecordList out(&ctx->phd, 0);
      ctx->dbs.FindAll(&out);
      EXPECT_EQ(static_cast<size_t>(out.GetSize()), bySearch.size()) << q;
    }
  }
  EXPECT_GT(compared, kQueries / 10);
  EXPECT_GT(found, 0);
}

// ---- Value lists.

class ValueList : public Find {
 protected:
  std::string run, log, oldPath;
  void SetUp() override {
    Find::SetUp();
    // A run-time folder whose name a shell would split and quote, and a stand-in opener that
    // records its arguments.
    run = home.path() + "/run dir; 'x";
    mkdir(run.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    const std::string bin = home.path() + "/bin";
    mkdir(bin.c_str(), 0755);
    log = home.path() + "/argv.txt";
    std::ofstream(bin + "/xdg-open") << "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > '" << log
                                     << ".new' && mv '" << log << ".new' '" << log << "'\n";
    chmod((bin + "/xdg-open").c_str(), 0755);
    oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", oldPath.c_str(), 1);
    Find::TearDown();
  }
  std::string Path(int fid) const {
    return run + "/lumerin/lumerin_list" + std::to_string(fid) + ".txt";
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // What the opener was given, once it has run.
  std::string Opened() {
    if (!QTest::qWaitFor([&] { return access(log.c_str(), R_OK) == 0; }, 60000)) return "";
    const std::string got = Read(log);
    unlink(log.c_str());
    return got;
  }
};

TEST_F(ValueList, DistinctValuesInByteOrderWrittenPrivatelyAndOpenedAsOneArgument) {
  MakeDisplay(&PDBFInfo, 40);
  for (int i = 0; i < 40; ++i) {
    const char* kw[] = {i % 2 ? "beach" : "Beach", "sunset"};
    ctx->rdisp[i].SetField(PDBFkeyword, kw, i % 3 ? 2 : 1);
  }
  ASSERT_TRUE(find->Find(mw));
  Choose(130, "Keyword");
  ASSERT_EQ(find->fid1, PDBFkeyword);
  const std::string path = Path(PDBFkeyword);
  // A link planted at the list's name is replaced, never written through.
  const std::string victim = home.path() + "/victim";
  std::ofstream(victim) << "keep";
  TempFolder(kTempSmall);
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);

  Click(F(), "find", 139);
  EXPECT_EQ(Read(path), "3 values for Keyword for Search:\n\nBeach\nbeach\nsunset\n");
  EXPECT_EQ(Opened(), "1\n" + path + "\n");
  EXPECT_EQ(Read(victim), "keep");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Listed again, the same file holds the new values and nothing else is left in the folder.
  const char* more[] = {"Zebra", "a\xc3\xa9"};
  ctx->rdisp[5].SetField(PDBFkeyword, more, 2);
  SendCommand("lst1", kEventCommandProcess, GetWindowEventTarget(F()));
  EXPECT_EQ(Read(path),
            "5 values for Keyword for Search:\n\nBeach\nZebra\na\xc3\xa9\nbeach\nsunset\n");
  EXPECT_EQ(Opened(), "1\n" + path + "\n");
  EXPECT_EQ(QDir(QString::fromStdString(run + "/lumerin")).entryList(QDir::Files).size(), 1);

  // A field no record fills writes nothing and opens nothing; an opener that cannot start is
  // reported with an alert saying what could not be opened.
  Choose(130, "Owner");
  SendCommand("lst1", kEventCommandProcess, GetWindowEventTarget(F()));
  EXPECT_NE(access(Path(PDBFowner).c_str(), F_OK), 0);
  setenv("PATH", "/nonexistent", 1);
  dmessage_record[DMCresource] = nullptr;
  Choose(130, "Keyword");
  SendCommand("lst1", kEventCommandProcess, GetWindowEventTarget(F()));
  ASSERT_NE(dmessage_record[DMCresource], nullptr);
  EXPECT_EQ(std::string(dmessage_record[DMCresource]),
            "Cannot open the value list '" + path + "': xdg-open could not be started");
  EXPECT_NE(access(log.c_str(), F_OK), 0);
}

// A list that cannot take its name says so once, its reason told once.
TEST_F(ValueList, AListThatCannotBeWrittenTellsItsReasonOnce) {
  MakeDisplay(&PDBFInfo, 2);
  ctx->rdisp[0].SetField(PDBFkeyword, "beach");
  ASSERT_TRUE(find->Find(mw));
  Choose(130, "Keyword");
  TempFolder(kTempSmall);
  const std::string path = Path(PDBFkeyword);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);  // a folder has the list's name
  const uint32_t flags = dmessage_class_flags[DMCsystem];
  dmessage_class_flags[DMCsystem] = DMAstderr;
  testing::internal::CaptureStderr();
  find->List(PDBFkeyword);
  const std::string told = testing::internal::GetCapturedStderr();
  dmessage_class_flags[DMCsystem] = flags;
  const std::string why = strerror(EISDIR);
  EXPECT_NE(told.find("Cannot write the value list " + path + ": " + why), std::string::npos)
      << told;
  EXPECT_EQ(told.find(why), told.rfind(why)) << told;
  EXPECT_NE(access(log.c_str(), F_OK), 0);  // nothing opened
}

// While a question waits, the List buttons, which write a file, are greyed: a click on one
// writes and opens nothing. Once it is answered they work again.
TEST_F(ValueList, TheListButtonsAreGreyedWhileAQuestionWaits) {
  MakeDisplay(&PDBFInfo, 2);
  ctx->rdisp[0].SetField(PDBFkeyword, "beach");
  ASSERT_TRUE(find->Find(mw));
  Choose(130, "Keyword");
  Choose(160, "or");
  Choose(140, "Keyword");
  TempFolder(kTempSmall);
  const std::string path = Path(PDBFkeyword);
  bool enabled[2] = {true, true};
  WhenShown(
      gConfirmWindow,
      [&] {
        for (int i : {0, 1}) {
          QWidget* list = WidgetOf(F(), "find", i == 0 ? 139 : 149);
          enabled[i] = list->isEnabled();
          QTest::mouseClick(list, Qt::LeftButton);
        }
      },
      "cfrm", 130);
  EXPECT_EQ(confirmDialog("Go on?", nullptr, kResponseOK), kResponseCancel);
  EXPECT_FALSE(enabled[0]);
  EXPECT_FALSE(enabled[1]);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_NE(access(log.c_str(), F_OK), 0);
  EXPECT_TRUE(WidgetOf(F(), "find", 139)->isEnabled());
  EXPECT_TRUE(WidgetOf(F(), "find", 149)->isEnabled());
  Click(F(), "find", 139);
  EXPECT_EQ(Opened(), "1\n" + path + "\n");
}

TEST_F(ValueList, TheCatalogueAndTheDisplayBothContribute) {
  Photos();
  Catalogue();
  // The display's copy of the one record with keywords now holds another value: the catalogue
  // gives its old ones.
  ctx->rdisp[4].SetField(PDBFkeyword, "display only");
  ASSERT_TRUE(find->Find(mw));
  Choose(130, "Keyword");
  const int fid = find->fid1;
  ASSERT_EQ(fid, ctx->phd.GetID("Keyword"));
  find->List(fid);
  EXPECT_EQ(Read(Path(fid)), "3 values for Keyword for Search:\n\nBeach\ndisplay only\nsunset\n");
  EXPECT_EQ(Opened(), "1\n" + Path(fid) + "\n");
  // Numbers are listed as the records format them.
  Choose(130, "XSize");
  find->List(find->fid1);
  const std::string xs = Read(Path(find->fid1));
  EXPECT_EQ(xs.substr(0, xs.find('\n')),
            "12 values for " + std::string(ctx->phd.GetDetails(find->fid1)->descrip) + ":");
  EXPECT_NE(xs.find("\n\n10\n11\n12\n13\n14\n3\n"), std::string::npos) << xs;
  Opened();
  find->List(-1);
  EXPECT_NE(access(log.c_str(), F_OK), 0);
}

}  // namespace
