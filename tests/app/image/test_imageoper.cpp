// The image window's operators through its real widgets offscreen: the operator button and its
// pop-up menu against a model of the record's regions over random selections and choices, the
// selection limits, the panorama anchors and calibration.
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <random>
#include <vector>

#include "app/core/pprefs.h"
#include "app/hdrpano/makepano.h"
#include "catalog/pfieldset.h"
#include "hdr/phdrimg.h"
#include "imagetest.h"
#include "platform/pmenu.h"
#include "support/cnumber.h"
#include "testutil/checker.h"

namespace {

class ImageOperators : public ImageWindowTest {
 protected:
  static constexpr int kW = 400, kH = 300;

  void OpenDisplayed(std::string path = "") {
    if (path.empty()) {
      path = Temp("op.tif");
      ASSERT_TRUE(WriteTestTiff(path, kW, kH));
    }
    PContext& bc = gMain->bc;
    bc.Clear(nullptr);
    {
      PImageRing r(path.c_str(), nullptr);
      bc.rdisp.NewRecord() = r.GetRec();
    }
    snprintf(bc.rsrc, sizeof bc.rsrc, "%s", "/pictures");
    bc.SelectAll();
    ASSERT_EQ(w->OpenImages(), 1);
    ASSERT_TRUE(w->Present());
    w->SetZoom(8);  // 1/1: an outline of more than 99 pixels shows
    w->Redraw();
    ASSERT_EQ(w->BrowserRecI(), 0);
  }
  void Select(int x0, int y0, int x1, int y1) {
    const _ImgRect r{x0, x1, y0, y1};
    w->iring->SetOrigSelection(&r);
    w->imd->ShowRect(true);
    w->UpdateOperator();
  }
  void Unselect() {
    w->SelectNone();
    w->UpdateOperator();
  }
  std::vector<std::string> MenuTexts() const {
    std::vector<std::string> t;
    if (w->opMenu == nullptr) return t;
    for (UInt32 i = 1; i <= CountMenuItems(w->opMenu); ++i) {
      char buf[64];
      UInt32 n = 0;
      GetMenuItemText(w->opMenu, static_cast<MenuItemIndex>(i), buf, sizeof buf - 1, &n);
      t.emplace_back(buf, n < sizeof buf ? n : sizeof buf - 1);
    }
    return t;
  }
  // Clicks the operator button and chooses the item with the text from the menu that pops up,
  // redrawing the window meanwhile; whether the menu showed the item.
  bool Choose(const std::string& text) {
    auto* b = qobject_cast<QPushButton*>(WidgetOf(w->GetWindow(), "imag", 142));
    if (b == nullptr) return false;
    // The chosen item's command goes to the window in front, as when a person clicks there.
    SelectWindow(w->GetWindow());
    if (!QTest::qWaitForWindowActive(PlatformFrameWidget(w->GetWindow()), 1000)) return false;
    bool found = false;
    QTimer::singleShot(0, [&] {
      auto* m = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (m == nullptr) return;
      // The pending redraw runs while the menu is up, as its timer would in the menu's wait.
      w->Redraw();
      for (QAction* a : m->actions())
        if (a->text().remove('&') == QString::fromStdString(text)) {
          found = true;
          QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(a).center());
          return;
        }
      m->close();
    });
    QTest::mouseClick(b, Qt::LeftButton);
    return found;
  }
  std::vector<long> Field(PDBFieldID f) const {
    std::vector<long> v;
    const DBField& d = PDBgetField(gMain->bc.rdisp[0], f);
    if (d.IsSet())
      for (int k = 0; k < d.GetNV(); ++k) v.push_back(d.GetInt(k));
    return v;
  }
};

// Random selections and operator choices against a model of the three region fields; the menu
// offered each time must be exactly the one the selection and the model call for.
TEST_F(ImageOperators, RegionOperatorsFollowAModel) {
  OpenDisplayed();
  gCurPano.ClearPano();
  std::mt19937 rng(44);
  std::vector<long> crop, eyes, spots;
  for (int step = 0; step < 160; ++step) {
    const int kind = static_cast<int>(rng() % 3);
    std::vector<long> rect;
    bool small = false;
    // Selections fall inside the crop (the picture shown), never cover all of it and are large
    // enough for the pane to outline them.
    const int bx = crop.empty() ? 0 : int(crop[0]), by = crop.empty() ? 0 : int(crop[1]);
    const int bw = crop.empty() ? kW : int(crop[2] - crop[0]);
    const int bh = crop.empty() ? kH : int(crop[3] - crop[1]);
    if (kind == 0 || bw < 24 || bh < 24) {
      Unselect();
    } else {
      auto span = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
      const int rw = kind == 1 ? span(11, std::max(11, bw / 6)) : span(bw / 2, bw - 1);
      const int rh = kind == 1 ? span(11, std::max(11, bh / 6)) : span(bh / 2, bh - 1);
      const int x = bx + span(0, bw - rw), y = by + span(0, bh - rh);
      Select(x, y, x + rw, y + rh);
      rect = {x, y, x + rw, y + rh};
      small = int64_t(rw) * rh * 25 <= int64_t(kW) * kH;
    }
    std::vector<std::string> want;
    if (!rect.empty()) {
      want.push_back("Crop");
      if (small) want.push_back("RedEye");
      want.push_back("SpotMeter");
    } else {
      if (!crop.empty()) want.push_back("Undo Crop");
      if (!eyes.empty()) want.push_back("Undo RedEye");
      if (!spots.empty()) want.push_back("Undo SpotMeter");
    }
    std::vector<std::string> got;
    for (const std::string& t : MenuTexts())
      if (t.rfind("Pano", 0) != 0 && t != "Clear Pano") got.push_back(t);
    ASSERT_EQ(got, want) << "step " << step;
    const std::string button = TextOf(w->GetWindow(), "imag", 142);
    EXPECT_EQ(button, w->opMenu ? "Apply" : "Play");
    if (w->opMenu == nullptr) {
      EXPECT_FALSE(IsControlEnabled(w->opButton));  // a still picture does not play
      continue;
    }
    const std::string pick = want[rng() % want.size()];
    // Most choices go as commands; every fourth through the button and its pop-up menu.
    const char* code = pick.find("Crop") != std::string::npos  ? "crop"
                       : pick.find("Red") != std::string::npos ? "reye"
                                                               : "spot";
    if (step % 4 == 0)
      ASSERT_TRUE(Choose(pick)) << pick;
    else
      EXPECT_EQ(SendCommand(code, kEventCommandProcess, GetWindowEventTarget(w->GetWindow())),
                noErr);
    std::vector<long>& model = code[0] == 'c' ? crop : code[0] == 'r' ? eyes : spots;
    if (rect.empty()) {
      model.clear();
    } else if (code[0] == 'c') {
      model = rect;
    } else {
      const size_t keep = code[0] == 'r' ? 96 : 28;
      if (model.size() > keep) model.resize(keep);
      model.insert(model.end(), rect.begin(), rect.end());
    }
    ASSERT_EQ(Field(PDBFcrop), crop) << "step " << step;
    ASSERT_EQ(Field(PDBFredeye), eyes) << "step " << step;
    ASSERT_EQ(Field(PDBFspotexp), spots) << "step " << step;
    EXPECT_FALSE(w->HasSelection());  // an applied operator clears the selection
    // The image shows what the catalogue holds.
    EXPECT_EQ(PDBgetField(w->iring->GetRec(), PDBFredeye).GetNV(), static_cast<int>(eyes.size()));
  }
  // The lists reached their limits at some point: 25 red-eye and 8 spot rectangles.
  EXPECT_LE(Field(PDBFredeye).size(), 100u);
  EXPECT_LE(Field(PDBFspotexp).size(), 32u);
  gMain->bc.Clear(nullptr);
}

TEST_F(ImageOperators, FullListsReplaceTheLastRectangle) {
  OpenDisplayed();
  for (int k = 0; k < 27; ++k) {
    Select(k, k, k + 20, k + 20);
    ASSERT_TRUE(w->RedEye());
    if (k < 9) {
      Select(k, 0, k + 20, 20);
      ASSERT_TRUE(w->SpotMeter());
    }
  }
  const std::vector<long> eyes = Field(PDBFredeye), spots = Field(PDBFspotexp);
  ASSERT_EQ(eyes.size(), 100u);
  EXPECT_EQ(eyes[92], 23);  // the 24th stays
  EXPECT_EQ(eyes[96], 26);  // the 27th took the 25th place
  ASSERT_EQ(spots.size(), 32u);
  EXPECT_EQ(spots[28], 8);
  // An invalid selection (the whole picture) changes nothing; nor a remove with no crop.
  w->SelectAll();
  w->imd->ShowRect(true);
  EXPECT_FALSE(w->Crop());
  Unselect();
  EXPECT_FALSE(w->Crop());
  EXPECT_TRUE(Field(PDBFcrop).empty());
  // Without a selection one command removes every red-eye region.
  EXPECT_TRUE(w->RedEye());
  EXPECT_TRUE(Field(PDBFredeye).empty());
  gMain->bc.Clear(nullptr);
}

TEST_F(ImageOperators, PanoramaAnchorsAndClearing) {
  OpenDisplayed();
  gCurPano.ClearPano();
  Select(100, 100, 130, 122);  // within 8% of each side
  const std::vector<std::string> m = MenuTexts();
  ASSERT_NE(std::find(m.begin(), m.end(), "Pano Orig"), m.end());
  EXPECT_EQ(std::find(m.begin(), m.end(), "Calibration"), m.end());  // not an HDR image
  EXPECT_TRUE(Choose("Pano Orig"));
  EXPECT_EQ(gCurPano.irl.GetSize(), 1);
  EXPECT_TRUE(w->HasSelection());  // the origin waits for its destination
  const EventTargetRef t = GetWindowEventTarget(w->GetWindow());
  EXPECT_EQ(SendCommand("pano", kEventCommandUpdateStatus, t), noErr);
  EXPECT_FALSE(MenuEnabled("pano"));
  // The same picture under another name takes the destination anchor at the same place.
  const std::string other = Temp("op2.tif");
  ASSERT_TRUE(WriteTestTiff(other, kW, kH));
  ASSERT_TRUE(w->AddImage(other.c_str()));
  w->Redraw();
  Select(100, 100, 130, 122);
  const std::vector<std::string> d = MenuTexts();
  ASSERT_NE(std::find(d.begin(), d.end(), "Pano Dest"), d.end());
  EXPECT_TRUE(Choose("Pano Dest"));
  EXPECT_EQ(gCurPano.irl.GetSize(), 2);
  EXPECT_FALSE(w->HasSelection());
  EXPECT_EQ(SendCommand("pano", kEventCommandUpdateStatus, t), noErr);
  EXPECT_TRUE(MenuEnabled("pano"));
  // Without a selection the menu offers to clear the panorama, and that empties it.
  Unselect();
  const std::vector<std::string> u = MenuTexts();
  EXPECT_EQ(u.back(), "Clear Pano");
  EXPECT_TRUE(Choose("Clear Pano"));
  EXPECT_EQ(gCurPano.irl.GetSize(), 0);
  Unselect();
  EXPECT_EQ(w->opMenu, nullptr);
  EXPECT_EQ(TextOf(w->GetWindow(), "imag", 142), "Play");
  gMain->bc.Clear(nullptr);
}

// Calibration of an HDR picture: the measured value itself changes nothing, a typed value that
// is not a whole number is refused, twice the measured value doubles the record's factor and,
// replacing, scales the camera's saved response by the factor over its full-scale value.
TEST_F(ImageOperators, CalibrationScalesTheRecordAndTheResponse) {
  NEED_TESTDATA();
  OpenDisplayed(TestData("hdr/desk_oiiotool_rle.hdr"));
  DBRecord& rec = gMain->bc.rdisp[0];
  PDBsetString(&rec, PDBFmake, "Acme Optics");
  PDBsetString(&rec, PDBFmodel, "X1");
  PDBsetString(&rec, PDBFversion, "1.0");
  w->Redraw();
  if (gCamResponse.GetFieldInfo() == nullptr) gCamResponse.Init(&CDBFInfo);
  const int responses = gCamResponse.GetSize();
  DBRecord& cr = gCamResponse.NewRecord();
  cr = DBRecord(&CDBFInfo);
  cr.SetField(CDBFmake, "Acme Optics");
  cr.SetField(CDBFmodel, "X1");
  cr.SetField(CDBFversion, "1.0");
  const float green[2] = {0.2f, 0.3f}, red[1] = {1.0f};
  cr.SetField(CDBFgreen, green, 2);
  cr.SetField(CDBFred, red, 1);
  Select(100, 100, 120, 120);
  ASSERT_TRUE(w->iring->IsHDR());
  const std::vector<std::string> m = MenuTexts();
  ASSERT_EQ(m.back(), "Calibration");
  const double v = w->iring->AvgLuminance(nullptr);
  auto answer = [&](const std::string& text) {
    WhenShown(
        gInputWindow,
        [text] {
          if (!text.empty())
            qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129))->setText(text.c_str());
        },
        "bttn", 1);
  };
  float before = 1.0f, stonits = 0.0f;
  const bool had = PDBgetFloat(rec, PDBFstonits, &before);
  answer("");  // the measured value, as offered
  EXPECT_FALSE(w->Calibrate());
  answer("12abc");
  EXPECT_FALSE(w->Calibrate());
  EXPECT_EQ(PDBgetFloat(rec, PDBFstonits, &stonits), had);
  EXPECT_EQ(had ? stonits : 1.0f, before);
  char twice[32];
  Csnprintf(twice, sizeof twice, "%.9g", 2.0 * static_cast<float>(v));
  answer(twice);
  std::string asked;
  WhenShown(
      gConfirmWindow, [&] { asked = TextOf(gConfirmWindow, "cfrm", 128); }, "cfrm", 131);
  EXPECT_TRUE(w->Calibrate());
  EXPECT_EQ(asked, "Done.  Add    2 factor to the Acme X1 response?");
  ASSERT_TRUE(PDBgetFloat(rec, PDBFstonits, &stonits));
  EXPECT_NEAR(stonits / before, 2.0f, 1e-4);
  const DBRecord& after = gCamResponse[gCamResponse.GetSize() - 1];
  EXPECT_NEAR(after.GetField(CDBFgreen)->GetFloat(0), 0.8f, 1e-4);  // 0.2 x 2 / 0.5
  EXPECT_NEAR(after.GetField(CDBFgreen)->GetFloat(1), 1.2f, 1e-4);
  EXPECT_NEAR(after.GetField(CDBFred)->GetFloat(0), 4.0f, 1e-4);
  gCamResponse.Resize(responses);

  // A browser record of a float TIFF that states no factor: the display reads it with the
  // format's own, and the calibration scales that one.
  const std::string tif = Temp("nofactor.tif");
  {
    _ImgStruct im = {kW, kH, &ICS_RGB709, 0, nullptr, nullptr};
    ASSERT_TRUE(PnewImage(&im, 0));
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW * 3; ++x)
        reinterpret_cast<float*>(im.img + static_cast<size_t>(y) * im.rowsize)[x] =
            0.2f + 0.01f * static_cast<float>((x + y) % 50);
    _ImgWriteBuf wb;
    PsetWriteBuf(&wb, &im);
    ASSERT_GT(IWInterfaceTIFF.WriteImage(tif.c_str(), &wb), 0);
    PfreeImage(&im);
  }
  OpenDisplayed(tif);
  ASSERT_FALSE(PDBgetField(gMain->bc.rdisp[0], PDBFstonits).IsSet());
  Select(100, 100, 120, 120);
  const double lum = w->iring->AvgLuminance(nullptr);
  Csnprintf(twice, sizeof twice, "%.9g", 2.0 * lum);
  answer(twice);
  EXPECT_TRUE(w->Calibrate());
  w->Redraw();
  Select(100, 100, 120, 120);
  EXPECT_NEAR(w->iring->AvgLuminance(nullptr) / lum, 2.0, 1e-4);
  gMain->bc.Clear(nullptr);
}

// With the record catalogued, every operator's edit is one undo step of the main window: undo
// gives back the fields before it, redo the edited ones, in the display and in the catalogue file.
TEST_F(ImageOperators, EditsUndoAndRedoThroughTheCatalogue) {
  NEED_TESTDATA();
  const std::string cat = Temp("ops.qdb");
  ASSERT_TRUE(gMain->OpenCatalog(cat.c_str()));
  PContext& bc = gMain->bc;
  bc.Clear(nullptr);
  {
    PImageRing r(TestData("hdr/desk_oiiotool_rle.hdr").c_str(), nullptr);
    DBRecord& d = bc.rdisp.NewRecord();
    d = r.GetRec();
    PDBsetString(&d, PDBFsubject, "Desk");
  }
  snprintf(bc.rsrc, sizeof bc.rsrc, "%s", TestData("hdr").c_str());
  ASSERT_EQ(gMain->AddRecords(), 1);
  bc.SelectAll();
  ASSERT_EQ(w->OpenImages(), 1);
  ASSERT_TRUE(w->Present());
  w->SetZoom(8);
  w->Redraw();
  ASSERT_EQ(w->BrowserRecI(), 0);
  const int ow = w->iring->GetOWidth(), oh = w->iring->GetOHeight();
  ASSERT_GT(ow, 200);
  ASSERT_GT(oh, 200);
  // The catalogue's one record, as the independent checker lists it.
  auto dump = [&] {
    EXPECT_TRUE(bc.SyncDB());
    return CheckerOutput({"--dump", cat});
  };
  const bool checker = CheckerRuns(cat);
  auto fields = [&] {
    return std::vector<std::vector<long>>{Field(PDBFcrop), Field(PDBFredeye), Field(PDBFspotexp)};
  };
  auto stonits = [&] {
    float f = 0.0f;
    return PDBgetFloat(bc.rdisp[0], PDBFstonits, &f) ? f : -1.0f;
  };
  const EventTargetRef t = GetWindowEventTarget(w->GetWindow());
  std::string dbefore = checker ? dump() : "";
  const struct {
    const char* code;
    int x0, y0, x1, y1;
  } edits[] = {{"reye", 40, 40, 60, 60},
               {"spot", 10, 20, 50, 70},
               {"calb", 80, 80, 110, 100},
               {"crop", 5, 5, ow - 20, oh - 30},
               {"reye", 0, 0, 0, 0}};  // no selection: removes the red-eye regions
  for (const auto& e : edits) {
    const auto before = fields();
    const float sbefore = stonits();
    if (e.x1 > 0)
      Select(e.x0, e.y0, e.x1, e.y1);
    else
      Unselect();
    if (e.code[0] == 'c' && e.code[1] == 'a') {
      const double v = w->iring->AvgLuminance(nullptr);
      char twice[32];
      Csnprintf(twice, sizeof twice, "%.9g", 2.0 * static_cast<float>(v));
      const std::string text = twice;
      WhenShown(
          gInputWindow,
          [text] {
            qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129))->setText(text.c_str());
          },
          "bttn", 1);
    }
    ASSERT_EQ(SendCommand(e.code, kEventCommandProcess, t), noErr) << e.code;
    const auto after = fields();
    const float safter = stonits();
    ASSERT_TRUE(after != before || safter != sbefore) << e.code << ": nothing edited";
    ASSERT_TRUE(gMain->Undo()) << e.code;
    EXPECT_EQ(fields(), before) << e.code;
    EXPECT_EQ(stonits(), sbefore) << e.code;
    if (checker) {
      EXPECT_EQ(dump(), dbefore) << e.code;
    }
    ASSERT_TRUE(gMain->Redo()) << e.code;
    EXPECT_EQ(fields(), after) << e.code;
    EXPECT_EQ(stonits(), safter) << e.code;
    if (checker) {
      const std::string dafter = dump();
      ASSERT_NE(dafter, dbefore) << e.code << ": the catalogue was not written";
      dbefore = dafter;
    }
  }
  gMain->CloseCatalog();
  gMain->bc.Clear(nullptr);
}

// Two HDR frames with FRAME lines: the count is unknown until the last frame is read, then the
// button offers "Play" and the frame stepper shows.
TEST_F(ImageOperators, MultiFramePictureOffersPlayAndTheStepper) {
  NEED_TESTDATA();
  QFile in(QString::fromStdString(TestData("hdr/desk_strip7x96_imagemagick_flat.hdr")));
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  const QByteArray one = in.readAll();
  const int eol = one.indexOf('\n') + 1;
  ASSERT_GT(eol, 0);
  const std::string path = Temp("anim.hdr");
  QFile out(QString::fromStdString(path));
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  for (int f = 1; f <= 2; ++f)
    out.write(one.left(eol) + "FRAME=" + QByteArray::number(f) + "\n" + one.mid(eol));
  out.close();
  OpenDisplayed(path);
  double rate = 0;
  EXPECT_EQ(w->iring->GetFrameType(&rate), IRFanim);
  EXPECT_GT(rate, 0.0);
  ASSERT_TRUE(w->iring->SetFrame(1));
  EXPECT_EQ(w->iring->GetNFrames(), 2);
  w->Redraw();
  EXPECT_TRUE(w->Playable());
  EXPECT_EQ(w->opMenu, nullptr);
  QWidget* play = WidgetOf(w->GetWindow(), "imag", 142);
  QWidget* stepper = WidgetOf(w->GetWindow(), "imag", 141);
  ASSERT_NE(play, nullptr);
  ASSERT_NE(stepper, nullptr);
  EXPECT_EQ(TextOf(w->GetWindow(), "imag", 142), "Play");
  EXPECT_TRUE(play->isEnabled());
  EXPECT_TRUE(stepper->isVisible());
  EXPECT_TRUE(stepper->isEnabled());
  gMain->bc.Clear(nullptr);
}

}  // namespace
