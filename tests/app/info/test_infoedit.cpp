// Editing through the info window: the field buttons' two presses and Return, adding,
// refusing a duplicate and deleting keywords, numbers and fractions in user fields (and text
// that is not a number refused), a caption of the second of two albums, fields fuller than a
// button press used to keep, a lone record, and stepping through the selection; on a
// catalogue, each commit one undo step and the owner near-duplicate question's three answers.
#include <QProcess>
#include <algorithm>

#include "app/core/pprefs.h"
#include "infotest.h"
#include "savetest.h"

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
    EXPECT_FLOAT_EQ(std::stof(TextOf(W(), "ioth", 151)), 0.008f) << bad;  // shown again
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
  // Subject, owner and keyword go on to the setting commands of the main window's selection.
  EXPECT_EQ(SendCommand("subj", kEventCommandProcess, GetWindowEventTarget(W())),
            eventNotHandledErr);
  Type(W(), "iset", 133, "typed");
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
  void SetUp() override {
    InfoTest::SetUp();
    NEED_PICTURES();
    PprefLink();  // the recent catalogues' list
    db = home.path() + "/c.qdb";
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
    QProcess p;
    p.start("python3", {QString::fromStdString(std::string(LUMERIN_TOOLS) + "/qdbcheck.py"),
                        "--dump", QString::fromStdString(db)});
    EXPECT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    std::vector<std::string> lines;
    for (const QByteArray& l : p.readAllStandardOutput().split('\n'))
      if (!l.isEmpty()) lines.push_back(l.toStdString());
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
};

TEST_F(InfoCatalogue, EachCommitIsOneUndoStep) {
  if (access((std::string(LUMERIN_TOOLS) + "/qdbcheck.py").c_str(), R_OK) != 0)
    GTEST_SKIP() << "no checker";
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

}  // namespace
