// Density, position and other-field settings, the field-name menu and the field editor.
#include <cmath>
#include <random>

#include "app/mainwin/pforms.h"
#include "app/records/psetother.h"
#include "app/mainwin/psettings.h"
#include "maintest.h"
#include "support/cnumber.h"
#include "testutil/checker.h"
#include "testutil/process_locale.h"

#include <QComboBox>
#include <unistd.h>

namespace {

// Messages are looked at here, not shown in the alert dialog.
class Settings : public MainTest {
 protected:
  void SetUp() override {
    MainTest::SetUp();
    dmessage_alert = nullptr;
  }
};

// Answers the next input dialog with text (OK), or cancels it.
void Answer(const char* text, bool ok = true) {
  const std::string t = text;
  WhenShown(
      gInputWindow,
      [t] {
        auto* e = qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129));
        e->clear();
        QTest::keyClicks(e, QString::fromStdString(t));
      },
      "bttn", ok ? 1 : 2);
}

std::string FileOf(const PContext* bc, int i) {
  const char* f = PDBgetString(bc->rdisp.Get(i), PDBFfile);
  return f ? f : "";
}

TEST(FracCheck, NumbersFractionsAndRefusals) {
  float v = 0;
  EXPECT_TRUE(fracCheck("1/3", &v));
  EXPECT_NEAR(v, 0.3333f, 1e-4f);
  EXPECT_TRUE(fracCheck(" 72 ", &v));
  EXPECT_EQ(v, 72.0f);
  EXPECT_TRUE(fracCheck("-2.5e1 / .5", &v));
  EXPECT_EQ(v, -50.0f);
  EXPECT_TRUE(fracCheck((std::string(500, '0') + "7/2").c_str(), &v));  // no fixed buffer
  EXPECT_EQ(v, 3.5f);
  for (const char* bad : {"", " ", "abc", "1/0", "0/0", "1/", "/2", "1/2/3", "3x", "1e", "inf",
                          "nan", "0x10", "1e39", "1e300/1e-300", ". ", "1 2"}) {
    v = 123;
    EXPECT_FALSE(fracCheck(bad, &v)) << bad;
    EXPECT_EQ(v, 123) << bad;
  }
  EXPECT_EQ(fracEval(nullptr), 0);
  EXPECT_EQ(fracEval("1/0"), 0);  // the lenient reading: not a finite number
  // A locale that writes decimals with a comma does not change what a point means. The
  // process's own locale is put back after.
  const std::string was = setlocale(LC_NUMERIC, nullptr);
  for (const char* comma : {"de_DE.UTF-8", "fr_FR.UTF-8"}) {
    testutil::ProcessLocale user(comma);
    if (!user.ok()) continue;
    EXPECT_TRUE(fracCheck("1.5/2", &v));
    EXPECT_EQ(v, 0.75f);
    EXPECT_FALSE(fracCheck("1,5", &v));
  }
  setlocale(LC_NUMERIC, was.c_str());
  EXPECT_STREQ(setlocale(LC_NUMERIC, nullptr), was.c_str());
  dmessage_last_class = DMCnerr;
  // Random decimals and fractions read back as written.
  std::mt19937 rng(7);
  for (int k = 0; k < 500; ++k) {
    const double a = std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
    const double b = std::uniform_real_distribution<double>(0.5, 1e4)(rng);
    char text[80];
    Csnprintf(text, sizeof text, "%.6g / %.6g", a, b);
    ASSERT_TRUE(fracCheck(text, &v)) << text;
    EXPECT_NEAR(v, Cstrtod(text, nullptr) / Cstrtod(strchr(text, '/') + 1, nullptr),
                1e-3 + 1e-5 * std::fabs(a / b))
        << text;
  }
}

TEST_F(Settings, DensityKeepsTheRatioAndAsks) {
  ShowFolder(3);
  PDBsetFloat(&bc->rdisp[0], PDBFxdensity, 150);
  PDBsetFloat(&bc->rdisp[0], PDBFydensity, 300);
  PDBsetFloat(&bc->rdisp[1], PDBFxdensity, 0);  // no density: no ratio to keep
  PDBsetFloat(&bc->rdisp[1], PDBFydensity, 50);
  bc->SelectAll();
  setDensity(300);
  float x = 0, y = 0;
  EXPECT_TRUE(PDBgetFloat(bc->rdisp.Get(0), PDBFxdensity, &x) &&
              PDBgetFloat(bc->rdisp.Get(0), PDBFydensity, &y));
  EXPECT_EQ(x, 300);
  EXPECT_EQ(y, 600);
  for (int i : {1, 2}) {
    EXPECT_TRUE(PDBgetFloat(bc->rdisp.Get(i), PDBFydensity, &y));
    EXPECT_EQ(y, 300) << i;
  }

  bc->SelectNone();
  bc->Select(2);
  std::string offered;
  WhenShown(gInputWindow, [&] { offered = TextOf(gInputWindow, "inpt", 129); });
  Answer("1/3");
  setDensity(0);
  EXPECT_EQ(offered, "300.0");
  EXPECT_TRUE(PDBgetFloat(bc->rdisp.Get(2), PDBFxdensity, &x));
  EXPECT_NEAR(x, 0.3333f, 1e-4f);
  for (const char* refused : {"1/0", "abc", "-4"}) {
    Answer(refused);
    setDensity(0);
    EXPECT_TRUE(PDBgetFloat(bc->rdisp.Get(2), PDBFxdensity, &x));
    EXPECT_NEAR(x, 0.3333f, 1e-4f) << refused;
  }
  dmessage_last_class = DMCnerr;
}

// setPosition against a model: the selected records as a block at pos, the rest in order.
TEST_F(Settings, PositionMovesTheSelectionAsABlock) {
  const int n = 12;
  ShowFolder(n);
  std::mt19937 rng(3);
  std::vector<std::string> model;
  for (int i = 0; i < n; ++i) model.push_back(FileOf(bc, i));
  for (int round = 0; round < 60; ++round) {
    bc->SelectNone();
    std::vector<bool> sel(n);
    int s = 0;
    for (int i = 0; i < n; ++i)
      if (rng() % 3 == 0) sel[static_cast<size_t>(i)] = true, ++s, bc->Select(i);
    const int pos = static_cast<int>(rng() % static_cast<unsigned>(n + 2));
    setPosition(pos);
    if (s > 0 && s < n) {
      std::vector<std::string> in, out;
      for (int i = 0; i < n; ++i) (sel[static_cast<size_t>(i)] ? in : out).push_back(model[i]);
      const int p = pos > n - s ? n - s : pos;
      model.assign(out.begin(), out.begin() + p);
      model.insert(model.end(), in.begin(), in.end());
      model.insert(model.end(), out.begin() + p, out.end());
      for (int i = 0; i < n; ++i) EXPECT_EQ(bc->IsSelected(i), i >= p && i < p + s) << round;
    }
    for (int i = 0; i < n; ++i) ASSERT_EQ(FileOf(bc, i), model[static_cast<size_t>(i)]) << round;
  }
  // The last record to 0 through the position dialog (1-based answer 1).
  bc->SelectNone();
  bc->Select(n - 1);
  const std::string last = FileOf(bc, n - 1), first = FileOf(bc, 0);
  WhenShown(
      gPositionWindow, [] { PutControlText(ControlOf(gPositionWindow, "posn", 129), "1"); }, "bttn",
      1);
  setPosition(-1);
  EXPECT_EQ(FileOf(bc, 0), last);
  EXPECT_EQ(FileOf(bc, 1), first);
  EXPECT_TRUE(bc->IsSelected(0));
}

// Chooses the field editor's field name as the user does.
void Choose(const char* name) {
  auto* box = qobject_cast<QComboBox*>(WidgetOf(gFieldWindow, "efld", 128));
  const int i = box->findText(name);
  box->setCurrentIndex(i);
  Q_EMIT box->activated(i);  // as a choice of the user
}

TEST_F(Settings, OtherFieldsTypedAndRefused) {
  ASSERT_TRUE(mw->OpenCatalog(Path("o.qdb").c_str()));
  ShowFolder(3);  // a folder's records, with the display's own schema
  DBFieldInfo* fi = bc->EditableFieldInfo();
  ASSERT_NE(fi, nullptr);
  // Twelve user fields: the menu lists the first nine.
  for (int k = 0; k < 12; ++k) {
    const std::string name = "User" + std::to_string(k);
    fi->Field(name.c_str(),
              k == 0   ? DBDTint
              : k == 1 ? DBDTfloat
                       : DBDTstring,
              nullptr, 0x2400 | (k == 2 ? DBFDmulti : 0));
  }
  bc->SelectAll();
  SendCommand("othr", kEventCommandUpdateStatus, GetWindowEventTarget(mw->GetWindow()));
  MenuRef menu = nullptr;
  MenuItemIndex item = 0;
  ASSERT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("othr"), 1, &menu, &item), noErr);
  EXPECT_EQ(CountMenuItems(menu), item + 1u + 9u);
  MenuRef m9 = nullptr;
  MenuItemIndex i9 = 0;
  ASSERT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("oth9"), 1, &m9, &i9), noErr);
  char t[64];
  UInt32 len = 0;
  GetMenuItemText(m9, i9, t, sizeof t, &len);
  EXPECT_EQ(std::string(t, len), "User8");

  // An integer user field typed into the input dialog; a refused entry changes nothing.
  std::string prompt;
  WhenShown(gInputWindow, [&] { prompt = TextOf(gInputWindow, "inpt", 128); });
  Answer("42");
  setOther(FourCC("oth1"));
  EXPECT_EQ(prompt, "Set integer value for User0");
  const int u0 = fi->GetID("User0"), u1 = fi->GetID("User1"), u2 = fi->GetID("User2");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bc->rdisp.Get(i)[u0].GetInt(), 42);
  auto set = [](const char(&code)[5], const char* text) {
    dmessage_last_class = DMCnerr;  // a refusal before is seen: no blinking
    Answer(text);
    setOther(FourCC(code));
  };
  for (const char* bad : {"4x", "99999999999", ""}) set("oth1", bad);
  EXPECT_EQ(bc->rdisp.Get(0)[u0].GetInt(), 0);  // the empty entry cleared it
  set("oth1", "7");
  set("oth1", "4x");
  EXPECT_EQ(bc->rdisp.Get(1)[u0].GetInt(), 7);
  set("oth2", "3/4");
  EXPECT_EQ(bc->rdisp.Get(2)[u1].GetFloat(), 0.75f);
  set("oth3", "red");
  set("oth3", "blue");
  EXPECT_EQ(bc->rdisp.Get(0)[u2].GetNV(), 2);  // added to, not replaced
  // Set Field... on a field there already: chosen and left as it is, its value is asked for.
  const int u10 = fi->GetID("User10");
  WhenShown(
      gFieldWindow, [] { Choose("User10"); }, "bttn", 1);
  Answer("dawn");
  setOther(FourCC("othr"));
  EXPECT_STREQ(bc->rdisp.Get(1)[u10].GetString(), "dawn");

  // File cannot be typed; Subject goes to its own command.
  const int file = fi->GetID("File");
  SetMenuItemText(m9, i9, "File");
  dmessage_last_class = DMCnerr;
  setOther(FourCC("oth9"));
  EXPECT_NE(std::string(dmessage_buf).find("Direct input of"), std::string::npos);
  EXPECT_NE(std::string(dmessage_buf).find("unsupported"), std::string::npos);
  EXPECT_NE(file, -1);
  dmessage_last_class = DMCnerr;
  SetMenuItemText(m9, i9, "Subject");
  {
    // Handed on as the Subject command: its own question comes up (and is cancelled).
    Answerer answers;
    setOther(FourCC("oth9"));
    ASSERT_EQ(answers.prompts.size(), 1u);
    EXPECT_NE(answers.prompts[0].find("ubject"), std::string::npos) << answers.prompts[0];
  }
}

// Runs the field editor with f filling the dialog, then OK (or Cancel).
int EditWith(int fid, std::function<void()> f, bool ok = true) {
  WhenShown(gFieldWindow, f, "bttn", ok ? 1 : 2);
  return editField(fid);
}

void Type(int id, const char* text) {
  auto* e = qobject_cast<QLineEdit*>(WidgetOf(gFieldWindow, "efld", id));
  e->clear();
  QTest::keyClicks(e, text);
}

TEST_F(Settings, FieldEditorAddsRenamesAndRefuses) {
  const std::string path = Path("f.qdb");
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  ShowFolder(2);
  EXPECT_EQ(mw->AddRecords(), 2);
  std::string question;
  WhenShown(
      gConfirmWindow, [&] { question = TextOf(gConfirmWindow, "cfrm", 128); }, "cfrm", 129);
  const int rating = EditWith(-1, [] {
    Type(129, "Rating");
    Type(130, "Stars");
    QDir().mkpath(LUMERIN_SHOTS);
    PlatformFrameWidget(gFieldWindow)->grab().save(LUMERIN_SHOTS "/mainset-field-editor.png");
  });
  ASSERT_GE(rating, 0);
  EXPECT_EQ(question, "Create new string catalog field 'Rating'?");
  DBFieldInfo* fi = bc->EditableFieldInfo();
  EXPECT_EQ(fi->GetDetails(rating)->flags & 0x3F01, 0x2400);
  EXPECT_STREQ(fi->GetDetails(rating)->descrip, "Stars");

  // Refused names make nothing.
  const int nf = fi->GetNFields();
  for (const char* bad : {"9lives", "two words", "rating", "(New Name)", "",
                          "A234567890123456789012345678901234567890123456789012345678901234"}) {
    EXPECT_EQ(EditWith(-1, [bad] { Type(129, bad); }), -1) << bad;
    EXPECT_EQ(fi->GetNFields(), nf) << bad;
  }
  EXPECT_EQ(EditWith(
                -1, [] { Type(129, "Fine"); }, false),
            -1);  // cancelled
  dmessage_last_class = DMCnerr;

  // The user field: shown on its item, renamed to its own name (nothing changes), then to
  // another; a built-in field's name cannot be typed and its array box stays.
  bool nameShown = false, arrayOn = false, typeOn = true;
  EXPECT_EQ(EditWith(rating,
                     [&] {
                       nameShown = IsControlLatentlyVisible(ControlOf(gFieldWindow, "efld", 129));
                       arrayOn = IsControlEnabled(ControlOf(gFieldWindow, "efld", 132));
                       typeOn = IsControlEnabled(ControlOf(gFieldWindow, "efld", 131));
                     }),
            rating);
  EXPECT_TRUE(nameShown && arrayOn);
  EXPECT_FALSE(typeOn);
  EXPECT_EQ(EditWith(rating, [] { Type(129, "Score"); }), rating);
  EXPECT_STREQ(fi->GetName(rating), "Score");
  EXPECT_EQ(EditWith(rating, [] { Type(129, "file"); }), -1);  // taken, whatever the case
  bool hidden = false, fixed = false;
  EXPECT_EQ(EditWith(
                -1,
                [&] {
                  Choose("Keyword");
                  hidden = !IsControlLatentlyVisible(ControlOf(gFieldWindow, "efld", 129));
                  fixed = !IsControlEnabled(ControlOf(gFieldWindow, "efld", 132));
                },
                false),
            -1);
  EXPECT_TRUE(hidden && fixed);
  // Chosen and left as it is, a field is the one Set Field goes on to set.
  EXPECT_EQ(EditWith(-1, [] { Choose("Keyword"); }), fi->GetID("Keyword"));
  dmessage_last_class = DMCnerr;

  mw->CloseCatalog();
  // The independent checker finds the file sound and the field among its names.
  if (CheckerRuns(path)) {
    const std::string dump = CheckerOutput({"--dump", path});
    EXPECT_NE(dump.substr(0, dump.find('\n')).find("Score"), std::string::npos) << dump;
  }
  ASSERT_TRUE(mw->OpenCatalog(path.c_str()));
  EXPECT_GE(bc->phd.GetID("Score"), 0);  // kept in the catalogue's schema
}

// A name is taken whatever its letter case, in a Turkish locale too, where 'I' is not the
// capital of 'i'.
TEST_F(Settings, AFieldNameInOtherCaseIsTakenInATurkishLocale) {
  SET_PROCESS_LOCALE(tr, "tr_TR.UTF-8");
  ASSERT_TRUE(mw->OpenCatalog(Path("f.qdb").c_str()));
  ShowFolder(1);
  ASSERT_EQ(mw->AddRecords(), 1);
  QTimer* created = WhenShown(gConfirmWindow, nullptr, "cfrm", 129);
  EXPECT_EQ(EditWith(-1, [] { Type(129, "TITLE"); }), -1);
  delete created;
  ASSERT_NE(dmessage_record[DMCinput], nullptr);
  EXPECT_STREQ(dmessage_record[DMCinput], "Field 'TITLE' already exists!");
  dmessage_last_class = DMCnerr;
}

}  // namespace
