// The image window through its real widgets offscreen: zoom steps, the deferred redraw, exposure,
// the ring of open images on real files, the browser's selection following the current image,
// and a model of random operations.
#include <QAbstractItemView>
#include <QComboBox>
#include <QProcess>
#include <QWheelEvent>
#include <cmath>
#include <random>

#include "app/core/pappstate.h"
#include "app/core/pcommands.h"
#include "app/records/precfile.h"
#include "catalog/pfieldset.h"
#include "formats/radformat.h"
#include "imagetest.h"
#include "testutil/message_log.h"
#include "testutil/wait_until.h"
#include "platform/pmounts.h"

namespace {

TEST(ImageZoom, ClosestItemsAndSteps) {
  EXPECT_EQ(PImageWindow::ClosestZoomIndex(0.5, 0), 5);
  EXPECT_EQ(PImageWindow::ClosestZoomIndex(0.58, 0), 6);
  EXPECT_EQ(PImageWindow::ClosestZoomIndex(4.5, -1), 12);
  EXPECT_EQ(PImageWindow::ClosestZoomIndex(0.5, -1), 5);
  EXPECT_EQ(PImageWindow::ClosestZoomIndex(0.5, 1), 5);
  EXPECT_EQ(PImageWindow::ClosestZoomIndex(0.51, 1), 6);
  EXPECT_EQ(PImageWindow::ClosestZoomIndex(0.01, 1), 1);
  EXPECT_EQ(PImageWindow::ClosestZoomIndex(1.0 / 6, -1), 2);
  // Stops shown for multipliers that are not finite positive numbers.
  EXPECT_EQ(PimageStopsOf(2.0), 53);
  EXPECT_EQ(PimageStopsOf(0.0), 50);
  EXPECT_EQ(PimageStopsOf(NAN), 50);
  EXPECT_EQ(PimageStopsOf(INFINITY), 50);
}

TEST_F(ImageWindowTest, ZoomStepsFromTheEndsAndFromFit) {
  // Fitted to exactly 1/2 of the rendering area's width.
  const std::string half = Temp("half.tif");
  ASSERT_TRUE(WriteTestTiff(half, 2 * w->imd->GetRWidth(), w->imd->GetRHeight()));
  ASSERT_TRUE(w->AddImage(half.c_str()));
  ASSERT_TRUE(w->Present());
  ControlRef zoom = w->sizeControl;
  ASSERT_EQ(GetControlValue(zoom), 7);
  EXPECT_DOUBLE_EQ(w->iring->GetZoom(nullptr), 0.5);
  EXPECT_TRUE(w->ZoomIncr(1));
  EXPECT_EQ(GetControlValue(zoom), 6);  // 2/3
  EXPECT_TRUE(w->SetZoom(7));
  w->Redraw();
  EXPECT_TRUE(w->ZoomIncr(-1));
  EXPECT_EQ(GetControlValue(zoom), 4);  // 1/3
  EXPECT_TRUE(w->SetZoom(12));
  EXPECT_TRUE(w->ZoomIncr(1));
  EXPECT_EQ(GetControlValue(zoom), 12);
  EXPECT_TRUE(w->SetZoom(1));
  EXPECT_TRUE(w->ZoomIncr(-1));
  EXPECT_EQ(GetControlValue(zoom), 1);
  EXPECT_TRUE(w->ZoomIncr(-2000000000));  // no long walk
  EXPECT_EQ(GetControlValue(zoom), 1);
  // The menu commands step the same way.
  EXPECT_EQ(SendCommand("zin ", kEventCommandProcess, GetWindowEventTarget(w->GetWindow())), noErr);
  EXPECT_EQ(GetControlValue(zoom), 2);
  int ratio[2];
  w->iring->GetZoom(ratio);
  EXPECT_EQ(ratio[0], 1);
  EXPECT_EQ(ratio[1], 6);
}

// Items picked from the zoom pop-up with the mouse are applied, as the View menu's zoom commands
// are: the pop-up has moved to the item before its command arrives.
TEST_F(ImageWindowTest, APickFromTheZoomPopUpAppliesIt) {
  ManualClock();
  const std::string pic = Temp("pic.tif");
  ASSERT_TRUE(WriteTestTiff(pic, 3 * w->imd->GetRWidth() / 2, w->imd->GetRHeight()));
  ASSERT_TRUE(w->AddImage(pic.c_str()));
  ASSERT_TRUE(w->Present());
  const double fit = w->iring->GetZoom(nullptr);
  ASSERT_NEAR(fit, 2.0 / 3, 0.01);
  auto* combo = qobject_cast<QComboBox*>(WidgetOf(w->GetWindow(), "imag", 130));
  ASSERT_NE(combo, nullptr);
  struct Pick {
    int item;
    double zoom;
  };
  for (const Pick p : {Pick{3, 0.25}, Pick{10, 2.0}, Pick{7, fit}}) {
    QTest::mouseClick(combo, Qt::LeftButton);
    QAbstractItemView* list = combo->view();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->isVisible(); }, 10000));
    const QRect r = list->visualRect(list->model()->index(p.item - 1, 0));
    QTest::mouseMove(list->viewport(), r.center());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !list->isVisible(); }, 10000)) << p.item;
    EXPECT_EQ(GetControlValue(w->sizeControl), p.item);
    AdvancePlatformClock(0.4);  // the deferred redraw
    EXPECT_DOUBLE_EQ(w->iring->GetZoom(nullptr), p.zoom) << "item " << p.item;
  }
}

TEST_F(ImageWindowTest, TwoQuickClicksGiveOneRedrawAfterTheLast) {
  NEED_TESTDATA();
  ManualClock();
  for (int i = 1; i <= 3; ++i)
    ASSERT_TRUE(w->AddImage(TestData("jpeg/landscape_" + std::to_string(i) + ".jpg").c_str()));
  w->Advance(w->irFirst);
  ASSERT_TRUE(w->Present());
  const long r0 = w->renderCount;
  QWidget* arrows = WidgetOf(w->GetWindow(), "imag", 128);
  ASSERT_NE(arrows, nullptr);
  const QPoint up(arrows->width() - 4, 4);
  QTest::mouseClick(arrows, Qt::LeftButton, {}, up);
  AdvancePlatformClock(0.2);
  QTest::mouseClick(arrows, Qt::LeftButton, {}, up);
  EXPECT_EQ(GetControlValue(w->fileControl), 50);  // read and put back
  AdvancePlatformClock(0.34);
  EXPECT_EQ(w->renderCount, r0);
  AdvancePlatformClock(0.02);
  EXPECT_EQ(w->renderCount, r0 + 1);
  AdvancePlatformClock(2.0);
  EXPECT_EQ(w->renderCount, r0 + 1);
  EXPECT_EQ(Title(), "Image 3 (of 3)");
}

TEST_F(ImageWindowTest, ExposureTypedSteppedAndRefused) {
  NEED_TESTDATA();
  ManualClock();
  ASSERT_TRUE(w->AddImage(TestData("hdr/desk_oiiotool_rle.hdr").c_str()));
  ASSERT_TRUE(w->Present());
  ASSERT_TRUE(w->iring->IsHDR());
  EXPECT_TRUE(IsControlEnabled(w->exposControl));
  // Typed stops, applied by Return in the field, with the stepper untouched.
  auto* field = qobject_cast<QLineEdit*>(WidgetOf(w->GetWindow(), "imag", 132));
  ASSERT_NE(field, nullptr);
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, "-1.5");
  QTest::keyClick(field, Qt::Key_Return);
  double m = 0;
  EXPECT_EQ(w->iring->GetExposure(&m) & (PEMauto | PEMlocal), 0);
  EXPECT_NEAR(m, std::pow(2.0, -1.5), 1e-12);
  EXPECT_EQ(GetControlValue(w->exposAuto), 0);
  AdvancePlatformClock(0.4);
  EXPECT_EQ(GetControlValue(w->exposControl), 46);  // -1.3 stops shown in thirds
  // Three stepper steps up from 50 (the multiplier 1).
  w->iring->SetExposure(1.0);
  SetControlValue(w->exposControl, 53);
  ASSERT_TRUE(w->ManualExposure(0.0));
  EXPECT_EQ(TextOf(w->GetWindow(), "imag", 132), "+1.0");
  w->iring->GetExposure(&m);
  EXPECT_NEAR(m, 2.0, 1e-12);
  // Text that is not a number, and a multiplier beyond a float, are refused.
  for (const char* bad : {"abc", "1e400", "2x", "200"}) {
    PutControlText(w->exposEditField, bad);
    SetControlValue(w->exposControl, PimageStopsOf(m));
    EXPECT_FALSE(w->ManualExposure(0.0)) << bad;
    EXPECT_EQ(dmessage_last_class, DMCinput);
    double now = 0;
    w->iring->GetExposure(&now);
    EXPECT_EQ(now, m);
  }
  EXPECT_FALSE(w->ManualExposure(NAN));
  // Automatic mode: the stepper changes nothing.
  SetControlValue(w->exposAuto, 1);
  ASSERT_TRUE(w->Update());
  SetControlValue(w->exposControl, 60);
  w->Update();
  w->iring->GetExposure(&m);
  EXPECT_NE(m, std::pow(2.0, 10 / 3.0));
}

// Idle time loads the current image's neighbours ahead of need: the next one at the first idle
// firing (no browser cells to improve), the previous one 0.5 s later, the rest not at all.
TEST_F(ImageWindowTest, IdleLoadsTheNextThenThePreviousImage) {
  for (int i = 0; i < 4; ++i) {
    const std::string p = Temp("n" + std::to_string(i) + ".tif");
    ASSERT_TRUE(WriteTestTiff(p, 64, 48));
    ASSERT_TRUE(w->AddImage(p.c_str()));
  }
  PImageRing* second = w->irFirst->GetNext();
  w->Advance(second);
  w->Redraw();
  PImageRing* first = second->GetPrev();
  PImageRing* third = second->GetNext();
  PImageRing* fourth = third->GetNext();
  ASSERT_EQ(first, w->irFirst);
  ManualClock();
  const int fourthBefore = fourth->CurrentFrame();
  ASSERT_EQ(third->CurrentFrame(), -1);
  ASSERT_EQ(first->CurrentFrame(), -1);
  idleImprovements(1.0);
  AdvancePlatformClock(0.99);
  EXPECT_EQ(third->CurrentFrame(), -1);
  AdvancePlatformClock(0.02);
  EXPECT_EQ(third->CurrentFrame(), 0);
  EXPECT_EQ(first->CurrentFrame(), -1);
  AdvancePlatformClock(0.48);
  EXPECT_EQ(first->CurrentFrame(), -1);
  AdvancePlatformClock(0.02);
  EXPECT_EQ(first->CurrentFrame(), 0);
  AdvancePlatformClock(2.0);
  EXPECT_EQ(fourth->CurrentFrame(), fourthBefore);
  idleImprovements(0);
}

TEST_F(ImageWindowTest, TheRingOfRealFiles) {
  NEED_TESTDATA();
  std::vector<std::string> f;
  for (int i = 1; i <= 5; ++i)
    f.push_back(TestData("jpeg/landscape_" + std::to_string(i) + ".jpg"));
  for (const std::string& p : f) ASSERT_TRUE(w->AddImage(p.c_str()));
  EXPECT_FALSE(w->AddImage(Temp("missing.jpg").c_str()));
  ASSERT_EQ(w->ImageCount(), 5);
  ASSERT_TRUE(w->Present());
  EXPECT_EQ(Title(), "Image 5 (of 5)");
  PImageRing* third = w->irFirst->GetNext()->GetNext();
  w->Advance(third);
  w->Redraw();
  EXPECT_EQ(Title(), "Image 3 (of 5)");
  EXPECT_EQ(TextOf(w->GetWindow(), "imag", 129), "landscape_3.jpg");
  // Opening an open file makes it current without a second entry.
  ASSERT_TRUE(w->AddImage(f[1].c_str()));
  EXPECT_EQ(w->ImageCount(), 5);
  EXPECT_EQ(w->ImageIndex(nullptr), 1);
  PImageRing stranger(f[0].c_str(), nullptr);
  EXPECT_EQ(w->ImageIndex(&stranger), -1);
  // Closing the first image makes its successor current and first.
  PImageRing* second = w->irFirst->GetNext();
  w->Advance(w->irFirst);
  ASSERT_TRUE(w->CloseImage(true));
  EXPECT_EQ(w->iring, second);
  EXPECT_EQ(w->irFirst, second);
  // Closing another makes its predecessor current.
  PImageRing* next = second->GetNext();
  w->Advance(next->GetNext());
  ASSERT_TRUE(w->CloseImage(true));
  EXPECT_EQ(w->iring, next);
  EXPECT_EQ(w->ImageCount(), 3);
  // Position 0 with the Position command makes the current image the first.
  w->Advance(w->irFirst->GetPrev());
  w->Reposition(-w->ImageIndex(nullptr));
  EXPECT_EQ(w->irFirst, w->iring);
  EXPECT_EQ(w->ImageIndex(nullptr), 0);
  EXPECT_EQ(Title(), "Image 1 (of 3)");
  // Reloading reads the current picture again and redraws it; the others on their turn.
  const long renders = w->renderCount;
  w->ReloadAll();
  EXPECT_EQ(w->renderCount, renders + 1);
  EXPECT_TRUE(w->Ready());
  // 'clos' through the window: the last close empties the ring and hides the window.
  const EventTargetRef t = GetWindowEventTarget(w->GetWindow());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(SendCommand("clos", kEventCommandProcess, t), noErr);
  EXPECT_EQ(w->iring, nullptr);
  EXPECT_EQ(w->irFirst, nullptr);
  EXPECT_EQ(w->irShown, nullptr);
  EXPECT_EQ(w->irDrawn, nullptr);
  EXPECT_FALSE(IsWindowVisible(w->GetWindow()));
  EXPECT_EQ(SendCommand("zzzz", kEventCommandProcess, t), eventNotHandledErr);
}

TEST_F(ImageWindowTest, ViewSynchronisationAndFalseColour) {
  NEED_TESTDATA();
  w->syncView = true;
  ASSERT_TRUE(w->AddImage(TestData("jpeg/landscape_1.jpg").c_str()));
  ASSERT_TRUE(w->AddImage(TestData("jpeg/landscape_2.jpg").c_str()));
  const std::string tall = Temp("tall.tif");  // another shape
  ASSERT_TRUE(WriteTestTiff(tall, 300, 600));
  ASSERT_TRUE(w->AddImage(tall.c_str()));
  w->Advance(w->irFirst);
  ASSERT_TRUE(w->Present());
  w->SetZoom(10);  // 2/1
  w->Redraw();
  w->imd->Scroll(0.2f, 0.1f);
  w->iring->SelectRect(100, 80, 300, 200);
  w->Redraw();
  int off[2], off2[2];
  w->iring->GetOffset(off);
  ASSERT_NE(off[0], 0);
  _ImgRect sel, sel2;
  ASSERT_TRUE(w->iring->GetSelection(&sel));
  w->Advance(1);
  w->Redraw();
  ASSERT_EQ(w->iring, w->irFirst->GetNext());
  w->iring->GetOffset(off2);
  EXPECT_EQ(off2[0], off[0]);
  EXPECT_EQ(off2[1], off[1]);
  ASSERT_TRUE(w->iring->GetSelection(&sel2));
  EXPECT_NEAR(sel2.xleft, sel.xleft, 1);  // the second picture is mirrored
  EXPECT_NEAR(sel2.xright, sel.xright, 1);
  EXPECT_EQ(sel2.ybottom, sel.ybottom);
  w->Advance(1);
  w->Redraw();
  EXPECT_DOUBLE_EQ(w->iring->GetZoom(nullptr), 2.0);
  w->iring->GetOffset(off2);
  EXPECT_EQ(off2[0], 0);
  EXPECT_EQ(w->iring->SomeSelected(), 0);
  // False colour follows only from one HDR image to another.
  w->CloseImages(false);
  ASSERT_TRUE(w->AddImage(TestData("hdr/desk_oiiotool_rle.hdr").c_str()));
  ASSERT_TRUE(w->AddImage(TestData("hdr/desk_imagemagick_rle.hdr").c_str()));
  ASSERT_TRUE(w->AddImage(TestData("jpeg/landscape_1.jpg").c_str()));
  w->Advance(w->irFirst);
  w->Redraw();
  ASSERT_TRUE(w->FalseColor(true));
  const long renders = w->renderCount;
  EXPECT_TRUE(w->FalseColor(true));  // already on: no redraw
  EXPECT_EQ(w->renderCount, renders);
  w->Advance(1);
  w->Redraw();
  EXPECT_NE(w->iring->fcs, nullptr);
  w->Advance(1);
  w->Redraw();
  EXPECT_EQ(w->iring->fcs, nullptr);
}

TEST_F(ImageWindowTest, TheBrowsersSelectionFollowsTheImage) {
  NEED_TESTDATA();
  PContext& bc = gMain->bc;
  bc.Clear(nullptr);
  std::vector<std::string> f;
  for (int i = 1; i <= 3; ++i)
    f.push_back(TestData("jpeg/landscape_" + std::to_string(i) + ".jpg"));
  for (int i = 0; i < 2; ++i) {
    PImageRing r(f[i].c_str(), nullptr);
    bc.rdisp.NewRecord() = r.GetRec();
  }
  snprintf(bc.rsrc, sizeof bc.rsrc, "%s", "/pictures");
  bc.SelectAll();
  // The opened images keep display order and the first becomes current.
  EXPECT_EQ(w->OpenImages(), 2);
  EXPECT_EQ(w->ImageIndex(nullptr), 0);
  ASSERT_TRUE(w->Present());
  EXPECT_EQ(w->BrowserRecI(), 0);
  EXPECT_EQ(bc.TotalSelected(), 1);  // the redraw made the image's record the lone selection
  EXPECT_TRUE(bc.IsSelected(0));
  // An image outside the display: not forced, the selection goes; forced, it becomes the
  // display as an explicit list.
  ASSERT_TRUE(w->AddImage(f[2].c_str()));
  w->Redraw();
  EXPECT_EQ(w->BrowserRecI(), -1);
  EXPECT_FALSE(w->SelectImage(false));
  EXPECT_EQ(bc.TotalSelected(), 0);
  EXPECT_TRUE(w->SelectImage(true));
  EXPECT_STREQ(bc.rsrc, "*EX");
  ASSERT_EQ(bc.rdisp.GetSize(), 1);
  EXPECT_TRUE(bc.IsSelected(0));
  EXPECT_EQ(w->BrowserRecI(), 0);
  // Reorienting a displayed image edits its displayed record.
  long rot0 = 0, rot = 0;
  PDBgetInt(bc.rdisp[0], PDBForient, &rot0);
  EXPECT_FALSE(w->iring->XYswapped());
  EXPECT_TRUE(w->Reorient(FourCC("cw90")));
  EXPECT_TRUE(PDBgetInt(bc.rdisp[0], PDBForient, &rot));
  EXPECT_EQ(((rot - rot0) % 360 + 360) % 360, 90);
  EXPECT_TRUE(w->iring->XYswapped());
  EXPECT_FALSE(w->Reorient(FourCC("zzzz")));
  bc.Clear(nullptr);
}

// The browser showing one record of landscape_1.jpg, opened and drawn in the window.
void ShowOneRecord(PImageWindow* w) {
  PContext& bc = gMain->bc;
  bc.Clear(nullptr);
  {
    PImageRing r(TestData("jpeg/landscape_1.jpg").c_str(), nullptr);
    bc.rdisp.NewRecord() = r.GetRec();
  }
  snprintf(bc.rsrc, sizeof bc.rsrc, "%s", "/pictures");
  bc.SelectAll();
  ASSERT_EQ(w->OpenImages(), 1);
  ASSERT_TRUE(w->Present());
  ASSERT_EQ(w->BrowserRecI(), 0);
}

TEST_F(ImageWindowTest, TheTitleIsKeptAsTypedUpToTheFieldsLength) {
  NEED_TESTDATA();
  ShowOneRecord(w);
  const WindowRef win = w->GetWindow();
  auto setTitle = [&](const std::string& t) {
    PutControlText(ControlOf(win, "imag", 131), t.c_str());
    EXPECT_EQ(SendCommand("titl", kEventCommandProcess, GetWindowEventTarget(win)), noErr);
    const char* got = PDBgetString(gMain->bc.rdisp[0], PDBFtitle);
    return got != nullptr ? std::string(got) : std::string("(none)");
  };
  // 6,000 bytes of two-byte characters are kept whole.
  std::string t;
  for (int i = 0; i < 3000; ++i) t += "\xC3\xA9";
  std::string got = setTitle(t);
  EXPECT_TRUE(got == t) << got.size() << " bytes";
  const char* ring = PDBgetString(w->iring->GetRec(), PDBFtitle);
  EXPECT_TRUE(ring != nullptr && ring == t);
  // A longer one is cut at 8,191 bytes, between characters.
  t = "a" + t + t;
  got = setTitle(t);
  EXPECT_TRUE(got == t.substr(0, 8191)) << got.size() << " bytes";
  gMain->bc.Clear(nullptr);
}

bool keepTemporary(PDisplayImage*, bool) {
  return true;
}

TEST_F(ImageWindowTest, AQuestionThatCannotBeShownKeepsTheTemporaryImage) {
  NEED_TESTDATA();
  ShowOneRecord(w);
  // A temporary image outside the browser's display: showing it there asks to save it first.
  ASSERT_TRUE(w->AddImage(TestData("jpeg/landscape_2.jpg").c_str()));
  w->Redraw();
  PImageRing* temp = w->iring;
  temp->cloz = keepTemporary;
  auto kept = [&] {
    EXPECT_EQ(w->iring, temp);
    EXPECT_EQ(temp->cloz, keepTemporary);
    EXPECT_STREQ(gMain->bc.rsrc, "/pictures");
    EXPECT_EQ(gConfirmResponse, kResponseCancel);
  };
  // No question window.
  const WindowRef confirm = gConfirmWindow;
  gConfirmWindow = nullptr;
  EXPECT_FALSE(w->SelectImage(true));
  gConfirmWindow = confirm;
  kept();
  // A mount breaks off every wait for the answer: asked again a few times, then Cancel. (After
  // 1,000 questions the test answers Cancel itself.)
  int asked = 0;
  QTimer mounts;
  QObject::connect(&mounts, &QTimer::timeout, [&] {
    if (!IsWindowVisible(confirm)) return;
    if (++asked > 1000) {
      QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(confirm, "cfrm", 130)),
                        Qt::LeftButton);
      return;
    }
    EventRef ev = nullptr;
    CreateEvent(kEventClassVolume, kEventVolumeMounted, GetCurrentEventTime(), &ev);
    SendEventToEventTarget(ev, GetApplicationEventTarget());
    ReleaseEvent(ev);
  });
  mounts.start(1);
  EXPECT_FALSE(w->SelectImage(true));
  mounts.stop();
  EXPECT_GT(asked, 1);
  EXPECT_LE(asked, 1000);
  EXPECT_FALSE(IsWindowVisible(confirm));
  kept();
  temp->cloz = nullptr;
  gMain->bc.Clear(nullptr);
}

TEST(ImageRecords, ReorientingTurnsAndFlips) {
  DBRecord r(&PDBFInfo);
  EXPECT_TRUE(reorientRecord(&r, FourCC("flhz")));
  EXPECT_TRUE(reorientRecord(&r, FourCC("cw90")));
  EXPECT_TRUE(reorientRecord(&r, FourCC("cw90")));
  long rot = 0, flip = 0;
  PDBgetInt(r, PDBForient, &rot);
  PDBgetInt(r, PDBFflip, &flip);
  EXPECT_EQ(rot, 180);
  EXPECT_EQ(flip, 1);
  EXPECT_TRUE(reorientRecord(&r, FourCC("flvt")));  // flips 1 and 2: a half turn
  PDBgetInt(r, PDBForient, &rot);
  PDBgetInt(r, PDBFflip, &flip);
  EXPECT_EQ(rot, 0);  // 180 brought to -180, plus 180
  EXPECT_EQ(flip, 0);
  r.SetField(PDBForient, 2147483647L);
  EXPECT_TRUE(reorientRecord(&r, FourCC("c180")));
  EXPECT_FALSE(reorientRecord(&r, FourCC("what")));
}

// A file no reader takes is not added. A picture whose header reads but whose pixels do not
// is told once, as one that cannot be opened, when it is shown, and leaves the window to the
// picture beside it.
TEST_F(ImageWindowTest, UnreadablePicturesAreToldOnceAndLeaveTheWindow) {
  const std::string junk = Temp("junk.jpg"), good = Temp("good.tif"), cut = Temp("cut.exr");
  WriteAll(junk, "not a picture");
  EXPECT_FALSE(w->AddImage(junk.c_str()));
  EXPECT_EQ(w->iring, nullptr);
  ASSERT_TRUE(WriteTestTiff(good, 64, 48));
  WriteAll(cut, CutPicture(IWInterfaceEXR, Temp("whole.exr"), 64, 200));
  MessageLog log;
  ASSERT_TRUE(w->AddImage(good.c_str()));
  ASSERT_TRUE(w->AddImage(cut.c_str()));
  w->Present();
  // The window settles on the good picture, drawn, the cut one gone from it.
  EXPECT_TRUE(testutil::WaitUntil(
      [&] {
        return w->ImageCount() == 1 && w->irDrawn == w->iring &&
               Readout().find("Loading") == std::string::npos;
      },
      [] { checkEvents(0.01); }))
      << w->ImageCount() << " pictures; " << Readout();
  std::vector<std::pair<unsigned, std::string>> problems;
  for (const auto& e : log.entries)
    if (e.first < DMCinfo) problems.push_back(e);
  ASSERT_EQ(problems.size(), 1u) << log.All();
  EXPECT_EQ(problems[0].first, static_cast<unsigned>(DMCdata));
  EXPECT_EQ(problems[0].second.rfind("Cannot open '" + cut + "': file cut short at row ", 0), 0u);
  EXPECT_EQ(w->ImageCount(), 1);
  EXPECT_TRUE(IsWindowVisible(w->GetWindow()));
  EXPECT_EQ(w->irDrawn, w->iring);
  EXPECT_EQ(Readout().find("Loading"), std::string::npos) << Readout();
}

// A damaged picture opened alone from the browser is told in an alert, and the window closes;
// a good picture opened next shows its capture date, not the "Loading..." of the one before.
TEST_F(ImageWindowTest, AfterAFailedOpenTheNextPictureShowsItsDate) {
  const std::string cut = Temp("cut.exr"), good = Temp("good.tif");
  WriteAll(cut, CutPicture(IWInterfaceEXR, Temp("whole.exr"), 64, 200));
  ASSERT_TRUE(WriteTestTiff(good, 64, 48));
  PContext& bc = gMain->bc;
  auto open = [&](const DBRecord& rec) {
    bc.Clear(nullptr);
    bc.rdisp.NewRecord() = rec;
    snprintf(bc.rsrc, sizeof bc.rsrc, "%s", "/pictures");
    bc.SelectAll();
    return w->OpenImages() == 1 && w->Present();
  };
  dmessage_alert = PalertHook;
  std::string alert;
  WhenShown(
      gAlertWindow, [&] { alert = TextOf(gAlertWindow, "alrt", 128); }, "bttn", 1);
  DBRecord bad;
  PgrokFile(&bad, cut.c_str());
  open(bad);
  EXPECT_TRUE(
      testutil::WaitUntil([&] { return !alert.empty() && !IsWindowVisible(w->GetWindow()); },
                          [] { checkEvents(0.01); }))
      << Readout();
  EXPECT_EQ(alert.rfind("Cannot open '" + cut + "'", 0), 0u) << alert;
  dmessage_alert = nullptr;

  DBRecord rec;
  PgrokFile(&rec, good.c_str());
  PDBsetString(&rec, PDBFcapdate, "2024:05:06 07:08:09");
  char date[64] = "";
  const int id = PDBid(rec, PDBFcapdate);
  ASSERT_TRUE(id >= 0 && rec.FormatField(id, date, sizeof date) != nullptr);
  ASSERT_TRUE(open(rec));
  EXPECT_TRUE(IsWindowVisible(w->GetWindow()));
  EXPECT_EQ(Readout(), date);
  bc.Clear(nullptr);
}

// A float picture of w x h, every pixel 0, as writer writes it (at quality q); false when it
// cannot be written.
bool WriteBlack(const _ImgWriterInterface& writer, const std::string& path, int w, int h, int q) {
  std::vector<float> px(static_cast<size_t>(w) * h * 3, 0.0f);
  _ImgStruct im = {w,           h,
                   &ICS_RGB709, static_cast<int32_t>(w * 3 * sizeof(float)),
                   nullptr,     reinterpret_cast<uint8_t*>(px.data())};
  _ImgWriteBuf wb;
  PsetWriteBuf(&wb, &im);
  wb.info.quality = q;
  wb.info.flags |= IIFquality;
  return writer.WriteImage(path.c_str(), &wb) > 0;
}

// What the window's port shows of the pane, once its drawing is through.
QImage PaneShown(PImageWindow* w) {
  PortPainter p(GetWindowPort(w->GetWindow()));
  const QImage* port = dynamic_cast<QImage*>(p.device());
  const Rect& e = w->imd->extent;
  return port ? port->copy(e.left, e.top, w->imd->GetRWidth(), w->imd->GetRHeight()) : QImage();
}

// A picture without light (every pixel 0: a lens-cap frame, a black render) shows black in
// each HDR format, at the automatic exposure and at a manual one, and raises no alert.
TEST_F(ImageWindowTest, APictureWithoutLightShowsBlack) {
  const struct {
    const char* name;
    const _ImgWriterInterface& writer;
    int quality;
  } kinds[] = {{"black.hdr", IWInterfaceRad, 90},
               {"black.exr", IWInterfaceEXR, 90},
               {"black.tif", IWInterfaceTIFF, 100},     // 96-bit float
               {"blackluv.tif", IWInterfaceTIFF, 90}};  // LogLuv
  dmessage_alert = PalertHook;
  AlertsAnswered answered;
  SizePane(401, 297);
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.name);
    const std::string path = Temp(k.name);
    ASSERT_TRUE(WriteBlack(k.writer, path, 320, 240, k.quality));
    dmessage_last_class = alertLastClass = DMCnerr;
    ASSERT_TRUE(w->AddImage(path.c_str()));
    ASSERT_TRUE(w->Present());
    ASSERT_TRUE(
        testutil::WaitUntil([&] { return w->irDrawn == w->iring; }, [] { checkEvents(0.01); }));
    EXPECT_EQ(TextOf(w->GetWindow(), "imag", 132), "+0.0");  // no exposure to speak of
    for (double exposure : {0.0, 8.0}) {
      if (exposure > 0) {
        // Drawn again at that exposure (the window redraws on a timer of its own).
        const long renders = w->renderCount;
        ASSERT_TRUE(w->ManualExposure(exposure));
        ASSERT_TRUE(
            testutil::WaitUntil([&] { return w->renderCount > renders && w->irDrawn == w->iring; },
                                [] { checkEvents(0.01); }));
      }
      ASSERT_EQ(w->irDrawn, w->iring);
      const QImage shown = PaneShown(w);
      ASSERT_FALSE(shown.isNull());
      // The picture fills the pane's middle, wherever the fit leaves the window's background.
      const int cx = shown.width() / 2, cy = shown.height() / 2;
      for (int dy : {-80, 0, 80})
        for (int dx : {-120, 0, 120})
          EXPECT_EQ(shown.pixel(cx + dx, cy + dy) & 0xFFFFFF, 0u)
              << "at exposure " << exposure << " (" << dx << ", " << dy << ")";
    }
    w->CloseImage(false);
  }
  EXPECT_TRUE(answered.texts.empty()) << answered.texts.front();
}

TEST_F(ImageWindowTest, RandomOperationsKeepTheRingSound) {
  NEED_TESTDATA();
  ManualClock();
  std::vector<std::string> f;
  for (int i = 1; i <= 8; ++i)
    f.push_back(TestData("jpeg/landscape_" + std::to_string(i) + ".jpg"));
  f.push_back(TestData("hdr/desk_oiiotool_rle.hdr"));
  f.push_back(Temp("missing.jpg"));
  std::mt19937 rng(3000);
  auto inRing = [&](PImageRing* p) {
    if (p == nullptr) return true;
    if (w->iring == nullptr) return false;
    PImageRing* q = w->iring;
    do {
      if (q == p) return true;
      q = q->GetNext();
    } while (q != w->iring);
    return false;
  };
  static const OSType turns[] = {FourCC("cw90"), FourCC("cc90"), FourCC("c180"), FourCC("flhz"),
                                 FourCC("flvt")};
  for (int op = 0; op < 3000; ++op) {
    switch (rng() % 16) {
      case 0:
      case 1:
        w->AddImage(f[rng() % f.size()].c_str());
        if (rng() % 8 == 0) w->Present();
        break;
      case 2:
        w->CloseImage(rng() % 2);
        break;
      case 3:
        w->Advance(static_cast<int>(rng() % 5) - 2);
        break;
      case 4:
        w->Reposition(static_cast<int>(rng() % 7) - 3);
        break;
      case 5:
        w->Reorient(turns[rng() % 5]);
        break;
      case 6:
        w->SetZoom(static_cast<short>(1 + rng() % 12));
        break;
      case 7:
        w->ZoomIncr(static_cast<int>(rng() % 5) - 2);
        break;
      case 8:
        if (rng() % 2)
          w->ManualExposure(std::pow(2.0, static_cast<int>(rng() % 9) - 4));
        else
          w->FalseColor(rng() % 2);
        break;
      case 9:
        if (w->Ready())
          w->iring->SelectRect(static_cast<int>(rng() % 900), static_cast<int>(rng() % 600),
                               static_cast<int>(rng() % 900), static_cast<int>(rng() % 600));
        if (rng() % 2) w->SelectNone();
        break;
      case 10:
        if (rng() % 4) break;
        SizeWindow(w->GetWindow(), static_cast<short>(900 + rng() % 300),
                   static_cast<short>(394 + rng() % 300), true);
        w->PWindowHandlerBase::Redraw();
        break;
      case 11:
        if (w->imd) w->imd->Scroll((static_cast<int>(rng() % 5) - 2) * 0.15f, 0.15f);
        break;
      case 12:
        AdvancePlatformClock(0.4);
        break;
      default:
        w->Advance(w->iring != nullptr ? w->iring->GetPrev() : nullptr);
        break;
    }
    ASSERT_EQ(w->iring == nullptr, w->ImageCount() == 0) << op;
    ASSERT_EQ(w->iring == nullptr, w->irFirst == nullptr) << op;
    ASSERT_TRUE(inRing(w->irFirst)) << op;
    ASSERT_TRUE(inRing(w->irShown)) << op;
    ASSERT_TRUE(inRing(w->irDrawn)) << op;
    if (w->iring != nullptr) {
      ASSERT_GE(w->ImageIndex(nullptr), 0) << op;
    }
  }
}

}  // namespace
