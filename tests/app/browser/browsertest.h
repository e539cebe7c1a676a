// The browser's test fixture: the interface as start-up makes it, the main window 1300 x 754 so
// that its browser pane is 1000 x 700 pixels, and displayed records made in the context.
#pragma once

#include <QDir>
#include <QImage>
#include <string>

#include "app/browser/pbrowser.h"
#include "app/records/precfile.h"
#include "app/mainwin/pmainw.h"
#include "apptest.h"
#include "catalog/pdbase.h"
#include "formats/stdformats.h"

class BrowserTest : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  PMainWindow* mw = nullptr;
  PBrowser* b = nullptr;
  PContext* ctx = nullptr;

  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    PloadStandardReaders();
    // The records have no files: a double click opens them without looking for their files.
    SwapHook(&PAppHooks::checkRecords, nullptr);
    mw = static_cast<PMainWindow*>(gMain);
    b = mw->GetPBrowser();
    ctx = &mw->bc;
    mw->SetDisplayFields(0, false);
    mw->SetThumbSize(FourCC("tmed"), false);
    SizeWindow(mw->GetWindow(), 1300, 754, true);
    dmessage_last_class = DMCnerr;  // no earlier problem blinks on the status line
    mw->Show(1);
    mw->Redraw();
  }

  // n displayed records without files, titled "R<i>" (none for every fifth).
  void MakeRecords(int n) {
    ctx->Clear(nullptr);
    for (int i = 0; i < n; ++i) {
      DBRecord& r = ctx->rdisp.NewRecord();
      r.Init(&PDBFInfo);
      const std::string file = "f" + std::to_string(i) + ".jpg";
      r.SetField(PDBFfile, file.c_str());
      if (i % 5 != 4) r.SetField(PDBFtitle, ("R" + std::to_string(i)).c_str());
    }
    b->Redisplay();
  }

  // The window's content as shown.
  QImage Grab() const { return PlatformContentWidget(mw->GetWindow())->grab().toImage(); }
  void Shot(const char* name) const {
    QDir().mkpath(LUMERIN_SHOTS);
    PlatformFrameWidget(mw->GetWindow())
        ->grab()
        .save(QString(LUMERIN_SHOTS "/browser-") + name + ".png");
  }
  // A port pixel as 0xRRGGBB, at pane coordinates.
  UInt32 Pixel(int h, int v) const {
    return GetPortPixel(mw->GetWindow(), static_cast<short>(b->extent.left + h),
                        static_cast<short>(b->extent.top + v));
  }
};
