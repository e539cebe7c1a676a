// Editing through the info window: the field buttons' two presses and Return, adding,
// refusing a duplicate and deleting keywords, numbers and fractions in user fields (and text
// that is not a number refused), a caption of the second of two albums, fields fuller than a
// button press used to keep, a lone record, and stepping through the selection; on a
// catalogue, each commit one undo step and the owner near-duplicate question's three answers.
#include <QMenu>
#include <QPrintDialog>
#include <algorithm>
#include <sstream>

#include "app/core/pprefs.h"
#include "app/mainwin/pforms.h"
#include "app/print/pforms.h"
#include "app/records/pforms.h"
#include "app/records/psetfield.h"
#include "app/print/pprint.h"
#include "db/test_nowaitfs.h"
#include "infotest.h"
#include "platform/pclipboard.h"
#include "savetest.h"
#include "support/cnumber.h"
#include "testutil/checker.h"
#include "testutil/front_window.h"

namespace {

class InfoEdit : public InfoTest {
 protected:
  // A display of n records of the photo schema with a float, an integer and a multi-valued
  // string user field, record 0 shown.
  void SetUp() override {
    InfoTest::SetUp();
    DBFieldInfo s(PDBFInfo);
    s.Field("Ratio", DBDTfloat, "Some ratio", 0x2000);
    s.Field("Count", DBDTint, "Some count", 0x2000);
    s.Field("Tags", DBDTstring, "Some tags", 0x2000 | DBFDmulti);
    MakeDisplay(&s, 3);
    const char* kw[] = {"k0", "k1", "k2"};
    Rec().SetField(Fid("Keyword"), kw, 3);
    SelectOnly(0);
    ASSERT_TRUE(IsWindowVisible(W()) || info->ShowInfo(mw->GetBrowser(), 0, true));
    info->ShowInfo(mw->GetBrowser(), 0, true);
  }
  DBRecord& Rec() { return ctx->rdisp[0]; }
  std::vector<std::string> Values(const char* field) {
    std::vector<std::string> v;
    const DBField& f = Rec()[Fid(field)];
    for (int i = 0; i < f.GetNV(); ++i) v.emplace_back(f.GetString(i));
    return v;
  }
  bool IsDefault(const char* sig, int id) const {
    ControlRef def = nullptr;
    GetWindowDefaultButton(W(), &def);
    return def != nullptr && def == ControlOf(W(), sig, id);
  }
};

using V = std::vector<std::string>;

TEST_F(InfoEdit, KeywordAddedDuplicateRefusedAndDeleted) {
  Click(W(), "iset", 146);  // arms the row on the add slot
  EXPECT_EQ(Text("iset", 136), "(Add Keyword for Search)");
  EXPECT_EQ(Index("iset", 135), 3);
  EXPECT_TRUE(IsDefault("iset", 146));
  Type(W(), "iset", 136, "k3");
  Return(W(), "iset", 136);  // presses the default button: committed
  EXPECT_EQ(Values("Keyword"), (V{"k0", "k1", "k2", "k3"}));
  EXPECT_EQ(Index("iset", 135), 3);  // points at the new word
  EXPECT_EQ(Text("iset", 136), "k3");
  Click(W(), "iset", 146);  // a third time: the word is there already
  EXPECT_EQ(Values("Keyword"), (V{"k0", "k1", "k2", "k3"}));

  // Keyword 1 emptied: deleted, the rest move down, the stepper on the add slot.
  Step(W(), "iset", 135, false);
  Step(W(), "iset", 135, false);
  EXPECT_EQ(Index("iset", 135), 1);
  EXPECT_EQ(Text("iset", 136), "k1");
  EXPECT_TRUE(IsDefault("iset", 146));
  Type(W(), "iset", 136, "");
  QTest::keyClick(WidgetOf(W(), "iset", 136), Qt::Key_Delete);
  Click(W(), "iset", 146);
  EXPECT_EQ(Values("Keyword"), (V{"k0", "k2", "k3"}));
  EXPECT_EQ(Index("iset", 135), 3);
  Shot(W(), "info-keyword-deleted");
}

TEST_F(InfoEdit, NumbersAndFractionsInUserFields) {
  info->Tabs()->Select(4);
  ASSERT_EQ(TextOf(W(), "ioth", 131), "Ratio");
  Click(W(), "ioth", 131);
  EXPECT_EQ(TextOf(W(), "ioth", 151), "(Add Some ratio)");
  Type(W(), "ioth", 151, "1/125");
  Click(W(), "ioth", 131);
  EXPECT_FLOAT_EQ(Rec()[Fid("Ratio")].GetFloat(0), 0.008f);
  // Text that is not a number, a zero denominator, a value beyond floats: refused, kept.
  for (const char* bad : {"abc", "1/0", "1e99", "2/3x", "nan"}) {
    dmessage_record[DMCinput] = nullptr;
    Type(W(), "ioth", 151, bad);
    Click(W(), "ioth", 131);
    EXPECT_FLOAT_EQ(Rec()[Fid("Ratio")].GetFloat(0), 0.008f) << bad;
    EXPECT_NE(dmessage_record[DMCinput], nullptr) << bad;
    // Shown again.
    EXPECT_FLOAT_EQ(Cstrtof(TextOf(W(), "ioth", 151).c_str(), nullptr), 0.008f) << bad;
  }
  Type(W(), "ioth", 151, " 2.5e-1 ");
  Click(W(), "ioth", 131);
  EXPECT_FLOAT_EQ(Rec()[Fid("Ratio")].GetFloat(0), 0.25f);

  Click(W(), "ioth", 132);
  Type(W(), "ioth", 152, "4294967297");  // beyond 32 bits
  Click(W(), "ioth", 132);
  EXPECT_EQ(Rec()[Fid("Count")].GetNV(), 0);
  Type(W(), "ioth", 152, "-12");
  Return(W(), "ioth", 152);
  EXPECT_EQ(Rec()[Fid("Count")].GetInt(0), -12);
}

TEST_F(InfoEdit, CaptionOfTheSecondAlbum) {
  const char* albums[] = {"A0", "A1"};
  Rec().SetField(Fid("Album"), albums, 2);
  info->UpdateFields();
  Step(W(), "iset", 139, true);
  EXPECT_EQ(Text("iset", 140), "A1");
  Click(W(), "iset", 151);
  EXPECT_TRUE(IsDefault("iset", 151));
  auto* cap = qobject_cast<QPlainTextEdit*>(WidgetOf(W(), "iset", 141));
  ASSERT_NE(cap, nullptr);
  QTest::keyClicks(cap, "Second");
  Click(W(), "iset", 151);
  EXPECT_EQ(Values("Caption"), (V{"", "Second"}));
}

TEST_F(InfoEdit, FullFieldsAreEditedWhole) {
  std::vector<std::string> many;
  for (int i = 0; i < 600; ++i) many.push_back("t" + std::to_string(i));
  std::vector<const char*> p;
  for (const std::string& t : many) p.push_back(t.c_str());
  Rec().SetField(Fid("Tags"), p.data(), 512);
  info->UpdateFields();
  info->Tabs()->Select(4);
  // The last of 512 values edited in place: every value kept.
  SetControlValue(ControlOf(W(), "ioth", 143), 50 + 511);
  SendCommand("Oth3", kEventCommandProcess, GetWindowEventTarget(W()));
  EXPECT_EQ(TextOf(W(), "ioth", 153), "t511");
  Type(W(), "ioth", 153, "last");
  Click(W(), "ioth", 133);
  ASSERT_EQ(Rec()[Fid("Tags")].GetNV(), 512);
  EXPECT_STREQ(Rec()[Fid("Tags")].GetString(511), "last");
  EXPECT_STREQ(Rec()[Fid("Tags")].GetString(0), "t0");
  // The add slot of a full field refuses an entry; nothing is lost.
  Click(W(), "ioth", 133);  // a second press commits the same text: a duplicate is fine here
  SetWindowDefaultButton(W(), nullptr);
  Click(W(), "ioth", 133);
  EXPECT_EQ(Index("ioth", 143), 512);
  Type(W(), "ioth", 153, "more");
  Click(W(), "ioth", 133);
  EXPECT_EQ(Rec()[Fid("Tags")].GetNV(), 512);
  EXPECT_NE(dmessage_record[DMCinput], nullptr);
  // Below the limit, more than 64 values grow.
  Rec().SetField(Fid("Tags"), p.data(), 100);
  info->UpdateFields();
  SetWindowDefaultButton(W(), nullptr);
  Click(W(), "ioth", 133);
  Type(W(), "ioth", 153, "t100");
  Click(W(), "ioth", 133);
  ASSERT_EQ(Rec()[Fid("Tags")].GetNV(), 101);
  EXPECT_STREQ(Rec()[Fid("Tags")].GetString(100), "t100");
  EXPECT_STREQ(Rec()[Fid("Tags")].GetString(99), "t99");
}

TEST_F(InfoEdit, ALoneRecordIsShownOnly) {
  DBRecord lone(*&Rec());
  ASSERT_TRUE(info->ShowInfo(lone, true));
  EXPECT_EQ(info->GetBrowser(), nullptr);
  EXPECT_EQ(SendCommand("titl", kEventCommandProcess, GetWindowEventTarget(W())), noErr);
  EXPECT_FALSE(IsDefault("iset", 143));
  EXPECT_EQ(SendCommand("comm", kEventCommandProcess, GetWindowEventTarget(W())), noErr);
  EXPECT_EQ(SendCommand("oth1", kEventCommandProcess, GetWindowEventTarget(W())), noErr);
  // Subject, owner and keyword set the main window's selection (record 0), not the copy.
  WhenShown(
      gInputWindow, [] { QTest::keyClicks(WidgetOf(gInputWindow, "inpt", 129), "Quay"); }, "bttn",
      1);
  EXPECT_EQ(SendCommand("subj", kEventCommandProcess, GetWindowEventTarget(W())), noErr);
  EXPECT_EQ(Values("Subject"), V{"Quay"});
  EXPECT_EQ(info->Record()[Fid("Subject")].GetNV(), 0);
  // Its boxes take no typing.
  Type(W(), "iset", 133, "typed");
  EXPECT_EQ(Text("iset", 133), "");
  Click(W(), "iset", 143);
  Click(W(), "iset", 143);
  EXPECT_EQ(Rec()[Fid("Title")].GetNV(), 0);
  EXPECT_EQ(info->Record()[Fid("Title")].GetNV(), 0);
}

TEST_F(InfoEdit, StepsThroughTheSelection) {
  // One selected record: the same record again.
  SendCommand("fadv", kEventCommandProcess, GetWindowEventTarget(W()));
  EXPECT_EQ(info->Record().IsLinked(&ctx->rdisp[0]), 1);
  ctx->Select(2);
  Step(W(), "info", 130, true);
  EXPECT_EQ(info->Record().IsLinked(&ctx->rdisp[2]), 1);
  EXPECT_EQ(Index("info", 130), 0);
  Step(W(), "info", 130, true);  // wraps to the first
  EXPECT_EQ(info->Record().IsLinked(&ctx->rdisp[0]), 1);
  Step(W(), "info", 130, false);  // backwards
  EXPECT_EQ(info->Record().IsLinked(&ctx->rdisp[2]), 1);
  EXPECT_EQ(Text("info", 129), "r2.jpg");
}

// Records of three copies of a picture added to a catalogue, record 0 shown.
class InfoCatalogue : public InfoTest {
 protected:
  std::string db;
  dbtest::NoWaitFS disk;
  void SetUp() override {
    InfoTest::SetUp();
    NEED_PICTURES();
    PprefLink();  // the recent catalogues' list
    db = home.path() + "/c.qdb";
    ctx->fileSystem = &disk;  // the syncs' durability is not what these tests look at
    ASSERT_TRUE(mw->OpenCatalog(db.c_str()));
    for (const char* f : {"a.jpg", "b.jpg", "c.jpg"}) Put("DSCN0010.jpg", f);
    Load();
    ASSERT_EQ(ctx->rdisp.GetSize(), 3);
    for (int i = 0; i < 3; ++i) ctx->rdisp[i].SetField(Fid("Subject"), "Trip");
    ASSERT_EQ(mw->AddRecords(), 3);
    Show(0);
  }
  void TearDown() override {
    mw->CloseCatalog();
    ctx->fileSystem = nullptr;
    InfoTest::TearDown();
  }
  void Show(int i) {
    SelectOnly(i);
    ASSERT_TRUE(info->ShowInfo(mw->GetBrowser(), i, true));
  }
  // Arms the row of button id, types text and commits it with a second press.
  void Commit(int button, int text, const char* value) {
    Click(W(), "iset", button);
    Type(W(), "iset", text, value);
    Click(W(), "iset", button);
  }
  // The catalogue's records as the checker reads them from the file, sorted.
  std::vector<std::string> Dump() {
    EXPECT_TRUE(ctx->SyncDB());
    std::vector<std::string> lines;
    std::istringstream dump(CheckerOutput({"--dump", db}));
    for (std::string l; std::getline(dump, l);)
      if (!l.empty()) lines.push_back(l);
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  static bool Has(const std::vector<std::string>& dump, const char* text) {
    for (const std::string& l : dump)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  std::string Owner(int i) {
    const char* o = PDBgetString(ctx->rdisp[i], PDBFowner);
    return o ? o : "";
  }
  // Field f of the displayed record of file (the display may be sorted again meanwhile).
  std::string Value(const char* file, PDBFieldID f) const {
    const int i = IndexOf(file);
    const DBField& v = PDBgetField(ctx->rdisp.Get(i < 0 ? 0 : i), f);
    std::string all;
    for (int k = 0; i >= 0 && k < v.GetNV(); ++k) {
      DBField one;
      char buf[512];
      if (v.Get(&one, k) == 1 && DBformatUnknown(buf, sizeof buf, one))
        all += (k > 0 ? "|" : "") + std::string(buf);
    }
    return all;
  }
  std::string UndoStep() const {
    const char* u = ctx->pdb.UndoName();
    return u ? u : "";
  }
  // The info window in front, where the menu commands go. (Once the front window was hidden,
  // the offscreen platform activates a window shown again only after another was activated.)
  bool Front() const {
    QWidget* f = PlatformFrameWidget(W());
    if (QApplication::activeWindow() == f) return true;
    if (QApplication::activeWindow() == nullptr) SelectWindow(mw->GetWindow());
    SelectWindow(W());
    return testutil::Activate(f);
  }
  // act changes field f of the record of file as one undoable step named label: one undo brings
  // back the value and the step before it, the redo the change. The record is shown again after,
  // in front.
  void OneStep(const char* file, PDBFieldID f, const char* label,
               const std::function<void()>& act) {
    const std::string before = Value(file, f), step = UndoStep();
    act();
    const std::string after = Value(file, f);
    EXPECT_NE(after, before) << label;
    EXPECT_EQ(UndoStep(), label);
    ASSERT_TRUE(mw->Undo());
    EXPECT_EQ(Value(file, f), before) << label;
    EXPECT_EQ(UndoStep(), step) << label;
    ASSERT_TRUE(mw->Redo());
    EXPECT_EQ(Value(file, f), after) << label;
    Show(IndexOf(file));
    ASSERT_TRUE(Front());
  }
  bool IsDefault(int button) const {
    ControlRef def = nullptr;
    GetWindowDefaultButton(W(), &def);
    return def != nullptr && def == ControlOf(W(), "iset", button);
  }
  // A click into box id, its text selected and text typed over it, as a person types.
  void TypeInto(int id, const char* text) {
    QWidget* e = WidgetOf(W(), "iset", id);
    QTest::mouseClick(e, Qt::LeftButton);
    if (auto* line = qobject_cast<QLineEdit*>(e)) line->selectAll();
    if (auto* lines = qobject_cast<QPlainTextEdit*>(e)) lines->selectAll();
    QTest::keyClicks(e, text);
  }
};

TEST_F(InfoCatalogue, EachCommitIsOneUndoStep) {
  if (!CheckerRuns(db)) return;  // marked skipped, with the reason
  const auto before = Dump();
  Commit(143, 133, "Harbour");
  EXPECT_STREQ(ctx->pdb.UndoName(), "Set");
  const auto titled = Dump();
  EXPECT_TRUE(Has(titled, "Harbour"));
  Commit(146, 136, "boats");
  EXPECT_STREQ(ctx->pdb.UndoName(), "Set");
  // A duplicate keyword adds no step.
  Commit(146, 136, "boats");
  const auto both = Dump();
  EXPECT_TRUE(Has(both, "boats"));
  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(Dump(), titled);
  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(Dump(), before);
  EXPECT_STRNE(ctx->pdb.UndoName(), "Set");
}

TEST_F(InfoCatalogue, OwnerNearDuplicateAsked) {
  Commit(144, 134, "Margaret");
  ASSERT_EQ(Owner(0), "Margaret");
  ASSERT_TRUE(ctx->ownrSet.InSet("Margaret"));
  const char* step = ctx->pdb.UndoName();
  const std::string undo = step ? step : "";
  Show(1);
  std::vector<std::string> asked;
  savetest::Answer({130}, &asked);  // Cancel: nothing stored, no step
  Commit(144, 134, "Margeret");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], "Substitute existing Owner 'Margaret' instead?");
  EXPECT_EQ(Owner(1), "");
  savetest::Answer({129});  // OK: the existing name, also in the control
  Commit(144, 134, "Margeret");
  EXPECT_EQ(Owner(1), "Margaret");
  EXPECT_EQ(Text("iset", 134), "Margaret");
  Show(2);
  savetest::Answer({131});  // No: the typed name
  Commit(144, 134, "Margeret");
  EXPECT_EQ(Owner(2), "Margeret");
  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(Owner(2), "");
  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(Owner(1), "");
  const char* now = ctx->pdb.UndoName();
  EXPECT_EQ(now ? now : "", undo);  // the cancelled commit left no step
}

// Text typed straight into a box is stored once, as one step "Set", however the typing ends:
// Tab, Return, a step to another record, closing the window, a click in the main window.
TEST_F(InfoCatalogue, TypedTextIsStoredWhenTheBoxIsLeft) {
  Show(IndexOf("a.jpg"));
  ASSERT_TRUE(Front());
  OneStep("a.jpg", PDBFtitle, "Set", [this] {
    TypeInto(133, "Old door");
    QTest::keyClick(WidgetOf(W(), "iset", 133), Qt::Key_Tab);
  });
  EXPECT_EQ(Value("a.jpg", PDBFtitle), "Old door");
  OneStep("a.jpg", PDBFkeyword, "Set", [this] {
    TypeInto(136, "door");
    QTest::keyClick(WidgetOf(W(), "iset", 136), Qt::Key_Return);
  });
  EXPECT_EQ(Value("a.jpg", PDBFkeyword), "door");
  ctx->Select(IndexOf("b.jpg"));
  OneStep("a.jpg", PDBFowner, "Set", [this] {
    TypeInto(134, "Ann");
    Step(W(), "info", 130, true);  // the next selected record
    EXPECT_GT(info->Record().IsLinked(&ctx->rdisp[IndexOf("b.jpg")]), 0);
  });
  Show(IndexOf("b.jpg"));
  OneStep("b.jpg", PDBFtitle, "Set", [this] {
    TypeInto(133, "Gate");
    PlatformFrameWidget(W())->close();
    EXPECT_FALSE(IsWindowVisible(W()));
  });
  OneStep("b.jpg", PDBFcomment, "Set", [this] {
    TypeInto(138, "Rusty");
    SelectWindow(mw->GetWindow());
    EXPECT_TRUE(testutil::Activate(PlatformFrameWidget(mw->GetWindow())));
  });
  EXPECT_EQ(Value("b.jpg", PDBFcomment), "Rusty");
  // Without an album the caption box takes no typing; with one it does.
  TypeInto(141, "Lost");
  EXPECT_EQ(Text("iset", 141), "");
  IBrowser* b = mw->GetBrowser();
  ASSERT_TRUE(b->NewChange("Album"));
  b->ChangeRecord(IndexOf("b.jpg"))->SetField(Fid("Album"), "Gates");
  ASSERT_EQ(b->CompleteChange(), 1);
  info->UpdateFields();
  ctx->Select(IndexOf("a.jpg"));
  OneStep("b.jpg", PDBFcaption, "Set", [this] {
    TypeInto(141, "Found");
    Step(W(), "info", 130, true);
  });
  EXPECT_EQ(Value("b.jpg", PDBFcaption), "Found");
  Shot(W(), "info-typed-text");
}

// ---- The menu commands with the info window in front.

// The menu item of code after its menu was brought up to date, as opening it does (NULL when
// the update leaves no such item).
QAction* Updated(const char* code) {
  const UInt32 c = FourCC({code[0], code[1], code[2], code[3], 0});
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  if (GetIndMenuItemWithCommandID(nullptr, c, 1, &m, &i) != noErr) return nullptr;
  Q_EMIT PlatformMenu(m)->aboutToShow();
  return GetIndMenuItemWithCommandID(nullptr, c, 1, &m, &i) == noErr ? PlatformMenuItemAction(m, i)
                                                                     : nullptr;
}
bool Enabled(const char* code) {
  QAction* a = Updated(code);
  return a != nullptr && a->isEnabled();
}
void Choose(const char* code) {
  QAction* a = Updated(code);
  ASSERT_TRUE(a != nullptr && a->isEnabled()) << code;
  a->trigger();
}
// Answers the input dialog with text (OK), or cancels it (NULL); *asked tells it came.
void AnswerInput(const char* text, bool* asked = nullptr) {
  WhenShown(
      gInputWindow,
      [=] {
        if (asked) *asked = true;
        if (auto* e = qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129)); e && text) {
          e->clear();
          QTest::keyClicks(e, text);
        }
      },
      "bttn", text ? 1 : 2);
}

// Every code of the info window's command and enabling tables chosen from the menu bar with the
// window in front: greyed as the tables say, and each enabled one doing its work on the shown
// catalogue record (a value changed as one undo step, a dialog answered, the clipboard, a
// printed page). A lone record takes none of them but closing and, on the thumbnail tab,
// turning its copy.
TEST_F(InfoCatalogue, EveryCommandThroughTheMenu) {
  // Recent values from another record, and a Repeat to offer.
  SelectOnly(IndexOf("b.jpg"));
  for (const auto& [code, value] : {std::pair<const char*, const char*>{"subj", "Harbour"},
                                    {"ownr", "Ann"},
                                    {"albm", "Boats"},
                                    {"keyw", "harbour"}}) {
    AnswerInput(value);
    setField(FourCC({code[0], code[1], code[2], code[3], 0}));
  }
  const char* A = "a.jpg";
  Show(IndexOf(A));
  ASSERT_TRUE(Front());
  auto step = [this, A](PDBFieldID f, const char* label, const char* code, const char* answer) {
    return [=] {
      OneStep(A, f, label, [=] {
        if (answer) AnswerInput(answer);
        Choose(code);
      });
    };
  };
  auto armed = [this](const char* code, int button) {
    return [=] {
      Choose(code);
      EXPECT_TRUE(IsDefault(button)) << code;
    };
  };
  std::string clip;
  struct Row {
    const char* code;
    bool on;
    std::function<void()> effect;
  };
  std::vector<Row> rows;
  for (const char* code :
       {"hist", "dofc", "find", "invs", "dele", "clea", "clei", "copy", "cut ", "past", "posn",
        "show", "synv", "mhdr", "prni", "sall", "save", "tpvw", "tlrg", "tmed", "tsml", "vall",
        "vcap", "vset", "vfil", "voth", "cw90", "cc90", "c180", "flhz", "flvt", "dupl", "cptn"})
    rows.push_back({code, false, nullptr});
  // The recent items: the record's values, then the catalogue's recent ones; the rest greyed.
  rows.push_back({"rept", true, step(PDBFkeyword, "Set", "rept", nullptr)});
  rows.push_back({"key1", true, step(PDBFkeyword, "Unset", "key1", nullptr)});
  rows.push_back({"key2", false, nullptr});
  rows.push_back({"key9", false, nullptr});
  rows.push_back({"alb1", true, step(PDBFalbum, "Set", "alb1", nullptr)});
  rows.push_back({"alb2", false, nullptr});
  rows.push_back({"alb7", false, nullptr});
  rows.push_back({"cptn", true, armed("cptn", 151)});
  rows.push_back({"albm", true, step(PDBFalbum, "Set", "albm", "Harbour trip")});
  rows.push_back({"sub1", true, [this, A] {
                    Choose("sub1");  // every selected record has it: kept
                    EXPECT_EQ(Value(A, PDBFsubject), "Trip");
                  }});
  rows.push_back({"sub2", true, step(PDBFsubject, "Set", "sub2", nullptr)});
  rows.push_back({"sub3", false, nullptr});
  rows.push_back({"sub7", false, nullptr});
  rows.push_back({"own1", true, step(PDBFowner, "Set", "own1", nullptr)});
  rows.push_back({"own2", false, nullptr});
  rows.push_back({"own5", false, nullptr});
  rows.push_back({"subj", true, armed("subj", 142)});
  rows.push_back({"ownr", true, armed("ownr", 144)});
  rows.push_back({"keyw", true, armed("keyw", 146)});
  rows.push_back({"titl", true, armed("titl", 143)});
  rows.push_back({"comm", true, armed("comm", 148)});
  rows.push_back({"othr", true, [] {
                    bool asked = false;
                    WhenShown(
                        gFieldWindow, [&asked] { asked = true; }, "bttn", 2);
                    Choose("othr");
                    EXPECT_TRUE(asked);
                  }});
  rows.push_back({"oth1", false, nullptr});  // no user fields: no items
  rows.push_back({"dens", true, step(PDBFxdensity, "Set Density", "dens", "150")});
  rows.push_back({"date", true, [this, A] {
                    OneStep(A, PDBFcapdate, "Adjust Time", [] {
                      WhenShown(
                          gDateWindow,
                          [] {
                            int id = 129;
                            for (const char* t : {"2005", "6", "7", "8", "9", "10"})
                              PutControlText(ControlOf(gDateWindow, "date", id++), t);
                          },
                          "bttn", 1);
                      Choose("date");
                    });
                    EXPECT_EQ(Value(A, PDBFcapdate), "2005:06:07 08:09:10");
                  }});
  rows.push_back({"cpfn", true, [&] {
                    Choose("cpfn");
                    EXPECT_TRUE(ClipboardGetText(&clip));
                    EXPECT_NE(clip.find(dir + "/a.jpg"), std::string::npos) << clip;
                  }});
  rows.push_back({"cpgp", true, [&] {
                    Choose("cpgp");
                    EXPECT_TRUE(ClipboardGetText(&clip));
                    EXPECT_NE(clip.find("43.467449 11.885126"), std::string::npos) << clip;
                  }});
  rows.push_back({"fnby", true, [this] {
                    bool asked = false;
                    const int n = ctx->rdisp.GetSize();
                    AnswerInput(nullptr, &asked);
                    Choose("fnby");
                    EXPECT_TRUE(asked);
                    EXPECT_EQ(ctx->rdisp.GetSize(), n);
                  }});
  rows.push_back({"prnt", true, [this] {
                    const std::string pdf = home.path() + "/info.pdf";
                    ASSERT_TRUE(checkPrintSession(nullptr));
                    PprintSession()->SetOutputFile(pdf);
                    WhenShown(gPrintWindow, nullptr, "bttn", 1);
                    auto* t = new QTimer;
                    QObject::connect(t, &QTimer::timeout, [t] {
                      if (QDialog* d = PlatformPrintDialog(); d && d->isVisible()) {
                        t->deleteLater();
                        t->stop();
                        d->accept();
                      }
                    });
                    t->start(5);
                    Choose("prnt");
                    std::string pages;
                    if (testutil::OnPath("pdfinfo")) {
                      EXPECT_EQ(testutil::RunProgram({"pdfinfo", pdf}, &pages), 0) << pages;
                      EXPECT_NE(pages.find("Pages:           1"), std::string::npos) << pages;
                    }
                    EXPECT_EQ(access(pdf.c_str(), R_OK), 0);
                    closePrintSession();
                  }});
  rows.push_back({"renm", true, [this] {
                    AnswerInput("renamed.jpg");
                    Choose("renm");
                    EXPECT_EQ(access((dir + "/renamed.jpg").c_str(), R_OK), 0);
                    EXPECT_GE(IndexOf("renamed.jpg"), 0);
                  }});
  for (const Row& r : rows) {
    ASSERT_TRUE(Front()) << r.code;
    EXPECT_EQ(Enabled(r.code), r.on) << r.code;
    if (r.on && r.effect) r.effect();
  }
  // Turns and flips on the thumbnail tab, each one step.
  info->Tabs()->Select(5);
  for (const char* code : {"cw90", "cc90", "c180", "flhz", "flvt"}) {
    ASSERT_TRUE(Front());
    const bool flip = code[0] == 'f';
    OneStep("renamed.jpg", flip ? PDBFflip : PDBForient, "Reorient", [=] { Choose(code); });
  }
  Shot(W(), "info-commands-thumbnail");
  EXPECT_TRUE(Enabled("clos"));
  Choose("clos");
  EXPECT_FALSE(IsWindowVisible(W()));

  // A lone copy of b.jpg: only closing, and turning the copy without an undo step.
  const DBRecord lone(ctx->rdisp[IndexOf("b.jpg")]);
  const std::string undo = UndoStep(), orient = Value("b.jpg", PDBForient);
  ASSERT_TRUE(info->ShowInfo(lone, true));
  ASSERT_TRUE(Front());
  info->Tabs()->Select(1);
  for (const Row& r : rows) EXPECT_FALSE(Enabled(r.code)) << "lone " << r.code;
  info->Tabs()->Select(5);
  for (const char* code : {"cw90", "cc90", "c180"}) {
    char before[64] = "";
    DBformatUnknown(before, sizeof before, PDBgetField(info->Record(), PDBForient));
    Choose(code);
    char after[64] = "";
    DBformatUnknown(after, sizeof after, PDBgetField(info->Record(), PDBForient));
    EXPECT_STRNE(before, after) << code;
  }
  EXPECT_EQ(UndoStep(), undo);
  EXPECT_EQ(Value("b.jpg", PDBForient), orient);
  Choose("clos");
  EXPECT_FALSE(IsWindowVisible(W()));
}

}  // namespace
