// The image window's menu commands chosen from the menu bar with the window in front: which
// items are enabled and checked, what the commands do, and which codes go on to the
// application.
#include <QFile>
#include <algorithm>
#include <fstream>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <vector>

#include "app/core/pappstate.h"
#include "app/image/pforms.h"
#include "app/records/psetfield.h"
#include "toolkit/pctltext.h"
#include "catalog/pfieldset.h"
#include "imagetest.h"
#include "testutil/front_window.h"
#include "testutil/message_log.h"
#include "testutil/wait_until.h"

namespace {

QAction* ActionOf(const char* code, MenuRef* menu = nullptr) {
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  if (GetIndMenuItemWithCommandID(nullptr, FourCC({code[0], code[1], code[2], code[3], 0}), 1, &m,
                                  &i) != noErr)
    return nullptr;
  if (menu) *menu = m;
  return PlatformMenuItemAction(m, i);
}

// The command codes the application saw after the window passed them on.
std::vector<UInt32> appSaw;

OSStatus Recorder(EventHandlerCallRef, EventRef event, void*) {
  appSaw.push_back(PeventCommand(event));
  return eventNotHandledErr;
}

class ImageCommands : public ImageWindowTest {
 protected:
  void SetUp() override {
    ImageWindowTest::SetUp();
    if (!HaveTestData()) return;
    PContext& bc = gMain->bc;
    bc.Clear(nullptr);
    for (int i = 1; i <= 2; ++i) {
      PImageRing r(TestData("jpeg/landscape_" + std::to_string(i) + ".jpg").c_str(), nullptr);
      bc.rdisp.NewRecord() = r.GetRec();
    }
    snprintf(bc.rsrc, sizeof bc.rsrc, "%s", "/pictures");
    bc.SelectAll();
    ASSERT_EQ(w->OpenImages(), 2);
    ASSERT_TRUE(w->Present());
    ShowWindow(w->GetWindow());
    ASSERT_TRUE(Front());
  }
  // Brings the image window in front, where the menu commands go.
  bool Front() const {
    SelectWindow(w->GetWindow());
    QWidget* frame = PlatformFrameWidget(w->GetWindow());
    return QTest::qWaitFor([frame] { return QApplication::activeWindow() == frame; },
                           testutil::kWindowWaitMs);
  }
  void TearDown() override {
    if (HaveTestData()) {
      w->CloseImages(false);
      gMain->bc.Clear(nullptr);
    }
    ImageWindowTest::TearDown();
  }
  // The item after its menu was brought up to date, as opening the menu does.
  static QAction* Updated(const char* code) {
    MenuRef m = nullptr;
    QAction* a = ActionOf(code, &m);
    EXPECT_NE(a, nullptr) << code;
    if (a != nullptr) Q_EMIT PlatformMenu(m)->aboutToShow();
    return a;
  }
  static bool Enabled(const char* code) {
    QAction* a = Updated(code);
    return a != nullptr && a->isEnabled();
  }
  static bool Checked(const char* code) {
    QAction* a = Updated(code);
    return a != nullptr && a->isChecked();
  }
  static void Choose(const char* code) {
    if (QAction* a = ActionOf(code)) a->trigger();
  }
  OSStatus Direct(const char* code) const {
    HICommand cmd{0, FourCC({code[0], code[1], code[2], code[3], 0}), nullptr, 0};
    EventRef ev = nullptr;
    CreateEvent(kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), &ev);
    SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
    const OSStatus r = w->HandleCommand(ev);
    ReleaseEvent(ev);
    return r;
  }
  void ExpectEnabled(std::initializer_list<const char*> codes, bool on) {
    for (const char* c : codes) EXPECT_EQ(Enabled(c), on) << c;
  }
};

TEST_F(ImageCommands, MenuItemsFollowTheImageAndItsRecord) {
  NEED_TESTDATA();
  // The main window's catalogue and view commands are greyed while the window is in front.
  ExpectEnabled(
      {"clea", "clei", "cut ", "dupl", "ecat", "erec", "eweb", "find", "invs", "mhdr", "past",
       "prni", "tlrg", "tmed", "tpvw", "tsml", "vall", "vcap", "vfil", "voth", "vset"},
      false);
  const std::initializer_list<const char*> ready = {"cw90", "cc90", "c180", "flhz", "flvt",
                                                    "clos", "info", "prnt", "relo", "sall",
                                                    "save", "synv", "hist"};
  const std::initializer_list<const char*> record = {"comm", "cpfn", "date",
                                                     "dele", "dens", "renm"};
  ExpectEnabled(ready, true);
  ExpectEnabled(record, true);
  // Set Title stores the title field's text: greyed until something new is typed there.
  EXPECT_FALSE(Enabled("titl"));
  PutControlText(w->titleEditField, "Harbour at dusk");
  EXPECT_TRUE(Enabled("titl"));
  ClearControlText(w->titleEditField);
  ExpectEnabled({"posn", "show"}, true);
  // No rubber band, a picture that is not HDR, no panorama links.
  ExpectEnabled({"copy", "dofc", "pano"}, false);

  // Check marks follow the view synchronisation and the histogram window.
  const bool sync = w->syncView;
  EXPECT_EQ(Checked("synv"), sync);
  Choose("synv");
  EXPECT_EQ(w->syncView, !sync);
  EXPECT_EQ(Checked("synv"), !sync);
  EXPECT_FALSE(Checked("hist"));
  Choose("hist");
  EXPECT_TRUE(IsWindowVisible(gHistoWindow));
  ASSERT_TRUE(Front());
  EXPECT_TRUE(Checked("hist"));
  Choose("hist");
  EXPECT_FALSE(IsWindowVisible(gHistoWindow));
  EXPECT_FALSE(Checked("hist"));

  // An image whose record is not displayed: the record commands and every item of the setting
  // menus are greyed; the image commands stay.
  ASSERT_TRUE(w->AddImage(TestData("jpeg/landscape_3.jpg").c_str()));
  w->Redraw();
  ExpectEnabled(record, false);
  ExpectEnabled({"subj", "sub3", "keyw", "key9", "othr", "oth1", "cpgp", "fnby"}, false);
  ExpectEnabled(ready, true);
  // One image left: no position and no slide show.
  ASSERT_TRUE(w->CloseImage(false));
  ASSERT_TRUE(w->CloseImage(false));
  ExpectEnabled({"posn", "show"}, false);
  ExpectEnabled({"clos", "save"}, true);
}

// Items that need something of the shown record or picture: a position for copying it and
// finding neighbours, an album for a caption, an earlier setting to repeat, HDR pixels for
// false colour.
TEST_F(ImageCommands, ItemsNeedingPositionAlbumSettingOrHdr) {
  NEED_TESTDATA();
  PContext& bc = gMain->bc;
  lastFieldSet = PDBFend;
  bc.album[0] = '\0';
  ExpectEnabled({"cpgp", "fnby", "cptn", "rept", "dofc"}, false);

  DBRecord& shown = bc.rdisp[0];
  shown.SetField(PDBFlatitude, 47.25f);
  shown.SetField(PDBFlongitude, -122.5f);
  const char* album[] = {"Coast"};
  ASSERT_TRUE(PDBsetStrings(&shown, PDBFalbum, album, 1));
  snprintf(bc.album, sizeof bc.album, "%s", "Coast");
  lastFieldSet = PDBFtitle;
  ExpectEnabled({"cpgp", "fnby", "cptn", "rept"}, true);
  EXPECT_EQ(Updated("rept")->text().remove('&'), "Repeat Title");
  EXPECT_FALSE(Enabled("dofc"));

  // A picture not in the catalogue leaves nothing selected to act on.
  ASSERT_TRUE(w->AddImage(TestData("hdr/desk_oiiotool_rle.hdr").c_str()));
  w->Redraw();
  ExpectEnabled({"cpgp", "fnby", "cptn", "rept"}, false);
  // It is HDR: false colour is on offer, and its check mark follows the command.
  ASSERT_TRUE(w->iring->IsHDR());
  EXPECT_TRUE(Enabled("dofc"));
  EXPECT_FALSE(Checked("dofc"));
  Choose("dofc");
  EXPECT_NE(w->iring->fcs, nullptr);
  EXPECT_TRUE(Checked("dofc"));
  ASSERT_TRUE(Front());
  Choose("dofc");
  EXPECT_EQ(w->iring->fcs, nullptr);
  EXPECT_FALSE(Checked("dofc"));

  lastFieldSet = PDBFend;
  bc.album[0] = '\0';
}

TEST_F(ImageCommands, CodesActOrGoOnToTheApplication) {
  NEED_TESTDATA();
  // The zoom items in the pop-up's order; fit is item 7.
  const char* zooms[12] = {"z013", "z017", "z025", "z033", "z050", "z067",
                           "zfit", "z100", "z150", "z200", "z300", "z400"};
  for (int item = 12; item >= 1; --item) {
    Choose(zooms[item - 1]);
    EXPECT_EQ(GetControlValue(w->sizeControl), item) << zooms[item - 1];
  }

  // Recent values outside their ranges, and codes of no table, are not the window's.
  EventHandlerRef rec = nullptr;
  const EventTypeSpec types{kEventClassCommand, kEventCommandProcess};
  ASSERT_EQ(InstallEventHandler(GetApplicationEventTarget(), NewEventHandlerUPP(Recorder), 1,
                                &types, nullptr, &rec),
            noErr);
  const EventTargetRef t = GetWindowEventTarget(w->GetWindow());
  for (const char* c : {"sub8", "sub0", "own6", "alb8", "key0", "oth0", "zzzz", "sub "}) {
    appSaw.clear();
    EXPECT_EQ(Direct(c), eventNotHandledErr) << c;
    SendCommand(c, kEventCommandProcess, t);
    EXPECT_EQ(appSaw, std::vector<UInt32>{FourCC({c[0], c[1], c[2], c[3], 0})}) << c;
  }
  for (const char* c : {"sub1", "sub7", "own5", "alb7", "key9", "rept"}) {
    appSaw.clear();
    EXPECT_EQ(SendCommand(c, kEventCommandProcess, t), noErr) << c;
    EXPECT_TRUE(appSaw.empty()) << c;
  }
  RemoveEventHandler(rec);

  {
    MessageLog log;
    Choose("copy");
    EXPECT_TRUE(log.Has(DMCparameter, "Image region copy not implemented"));
  }

  // The position dialog: cancelled, or the same place, changes nothing; the second place moves
  // the current image there.
  PImageRing* cur = w->iring;
  ASSERT_EQ(w->ImageIndex(nullptr), 0);
  WhenShown(gPositionWindow, nullptr, "bttn", 2);
  Choose("posn");
  EXPECT_EQ(w->ImageIndex(nullptr), 0);
  WhenShown(gPositionWindow, nullptr, "bttn", 1);
  Choose("posn");
  EXPECT_EQ(w->ImageIndex(nullptr), 0);
  WhenShown(
      gPositionWindow, [] { PutControlText(ControlOf(gPositionWindow, "posn", 129), "2"); }, "bttn",
      1);
  Choose("posn");
  EXPECT_EQ(w->iring, cur);
  EXPECT_EQ(w->ImageIndex(nullptr), 1);
  EXPECT_EQ(Title(), "Image 2 (of 2)");

  // Without an operator menu a still picture has nothing to play.
  ASSERT_EQ(w->opMenu, nullptr);
  const long renders = w->renderCount;
  EXPECT_EQ(Direct("oper"), noErr);
  EXPECT_EQ(w->renderCount, renders);
  EXPECT_EQ(w->iring, cur);

  // A temporary image whose save question is cancelled stays; "Don't Save" closes it.
  const std::string temp = Temp("made.jpg");
  ASSERT_TRUE(QFile::copy(QString::fromStdString(TestData("jpeg/landscape_3.jpg")),
                          QString::fromStdString(temp)));
  PImageRing made(temp.c_str(), nullptr);
  ASSERT_TRUE(w->AddTempImage(made.GetRec()));
  PImageRing* tmp = w->iring;
  WhenShown(gConfirmWindow, nullptr, "cfrm", 130);
  EXPECT_EQ(SendCommand("clos", kEventCommandProcess, t), userCanceledErr);
  EXPECT_EQ(w->iring, tmp);
  EXPECT_EQ(w->ImageCount(), 3);
  EXPECT_TRUE(QFile::exists(QString::fromStdString(temp)));
  WhenShown(gConfirmWindow, nullptr, "cfrm", 131);
  ASSERT_TRUE(Front());
  Choose("clos");
  EXPECT_EQ(w->ImageCount(), 2);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(temp)));

  // Closing the last image hides the window.
  ASSERT_TRUE(Front());
  Choose("clos");
  EXPECT_TRUE(IsWindowVisible(w->GetWindow()));
  Choose("clos");
  EXPECT_EQ(w->ImageCount(), 0);
  EXPECT_FALSE(IsWindowVisible(w->GetWindow()));
}

// The histogram window in front takes its channel commands and passes the others on to the
// image window: the Histogram item hides it from there as from behind it.
TEST_F(ImageCommands, HistogramToggledInFrontAndBehind) {
  NEED_TESTDATA();
  Choose("hist");
  ASSERT_TRUE(IsWindowVisible(gHistoWindow));
  SelectWindow(gHistoWindow);
  QWidget* h = PlatformFrameWidget(gHistoWindow);
  ASSERT_TRUE(
      QTest::qWaitFor([h] { return QApplication::activeWindow() == h; }, testutil::kWindowWaitMs));
  EXPECT_TRUE(Enabled("hist"));
  EXPECT_TRUE(Checked("hist"));
  EXPECT_TRUE(Enabled("zin "));
  Choose("hist");
  EXPECT_FALSE(IsWindowVisible(gHistoWindow));
  ASSERT_TRUE(Front());
  Choose("hist");
  ASSERT_TRUE(Front());  // the image window in front, the histogram behind it
  EXPECT_TRUE(Checked("hist"));
  Choose("hist");
  EXPECT_FALSE(IsWindowVisible(gHistoWindow));
}

// A picture cut short raises its alert once: opening the window's menus (each update of their
// items) neither loads it again nor alerts again, and closing it says nothing more.
TEST_F(ImageWindowTest, ADamagedPictureAlertsOnceAndMenuUpdatesStayQuiet) {
  NEED_TESTDATA();
  std::ifstream in(TestData("jpeg/landscape_1.jpg"), std::ios::binary);
  std::string bytes(3000, '\0');
  in.read(&bytes[0], 3000);
  const std::string cut = Temp("cut.jpg");
  std::ofstream(cut, std::ios::binary).write(bytes.data(), in.gcount());
  dmessage_alert = PalertHook;
  AlertsAnswered answered;
  const std::vector<std::string>& alerts = answered.texts;
  // Every report, kept off standard error; the alert hook still gets them.
  static std::vector<std::string> said;
  said.clear();
  auto* const before = dmessage_call;
  dmessage_call = [](unsigned, const char* text, const char*, int) -> uint32_t {
    said.push_back(text);
    return DMAstderr;
  };
  dmessage_last_class = alertLastClass = DMCnerr;
  ASSERT_TRUE(w->AddImage(cut.c_str()));
  w->Present();
  SelectWindow(w->GetWindow());
  testutil::WaitUntil([&] { return !alerts.empty(); }, [] { checkEvents(0.01); });
  const size_t opened = alerts.size();
  ASSERT_EQ(opened, 1u);
  EXPECT_NE(alerts[0].find("Premature end of JPEG file"), std::string::npos) << alerts[0];
  // Every menu of the window opened a few times, as a user looking for a command does.
  QMenuBar* bar = PlatformFrameWidget(w->GetWindow())->findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  for (int round = 0; round < 3; ++round)
    for (QAction* top : bar->actions())
      if (QMenu* m = top->menu()) {
        Q_EMIT m->aboutToShow();
        for (QAction* a : m->actions())
          if (a->menu()) Q_EMIT a->menu()->aboutToShow();
        checkEvents(0.02);
      }
  EXPECT_EQ(alerts.size(), 1u);
  // Closing it raises nothing either: the fault was told once.
  SelectWindow(w->GetWindow());
  SendCommand("clos", kEventCommandProcess, GetWindowEventTarget(w->GetWindow()));
  checkEvents(0.1);
  dmessage_call = before;
  EXPECT_EQ(alerts.size(), 1u);
  EXPECT_EQ(std::count_if(said.begin(), said.end(),
                          [](const std::string& t) {
                            return t.find("Premature end of JPEG file") != std::string::npos;
                          }),
            1)
      << said.size();
}

}  // namespace
