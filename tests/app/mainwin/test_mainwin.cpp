// The main window: its layout when resized, thumbnail sizes, the table's field groups, the
// status line and its blink.
#include "app/mainwin/pmainw.h"
#include "apptest.h"
#include "catalog/pdbase.h"
#include "toolkit/pcommand.h"

namespace {

class MainWindow : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  PMainWindow* mw = nullptr;
  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    mw = static_cast<PMainWindow*>(gMain);
    mw->SetDisplayFields(0, false);
    mw->SetThumbSize(FourCC("tmed"), false);
    mw->Show(1);
  }
  void Resize(short w, short h) {
    SizeWindow(mw->GetWindow(), w, h, true);
    mw->Redraw();
  }
};

bool Checked(const char* code) {
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  GetIndMenuItemWithCommandID(nullptr, FourCC({code[0], code[1], code[2], code[3], 0}), 1, &m, &i);
  return IsMenuItemChecked(m, i);
}

void ExpectRect(const Rect& r, short top, short left, short bottom, short right) {
  EXPECT_EQ(r.top, top);
  EXPECT_EQ(r.left, left);
  EXPECT_EQ(r.bottom, bottom);
  EXPECT_EQ(r.right, right);
}

TEST_F(MainWindow, LayoutAtTwoSizes) {
  mw->Redraw();
  ExpectRect(mw->GetSelector()->extent, 0, 0, 700, 300);
  ExpectRect(mw->GetToolbar()->extent, 0, 300, 54, 1000);
  ExpectRect(mw->GetPBrowser()->extent, 54, 300, 700, 1000);
  Rect sort;
  GetControlBounds(ControlOf(mw->GetWindow(), "pict", 135), &sort);
  ExpectRect(sort, 12, 728, 42, 832);
  Resize(1400, 900);
  ExpectRect(mw->GetSelector()->extent, 0, 0, 900, 300);   // fixed width
  ExpectRect(mw->GetToolbar()->extent, 0, 300, 54, 1400);  // fixed height
  ExpectRect(mw->GetPBrowser()->extent, 54, 300, 900, 1400);
  GetControlBounds(ControlOf(mw->GetWindow(), "pict", 135), &sort);
  ExpectRect(sort, 12, 1128, 42, 1232);  // right-hand controls follow the right edge
  Rect status;
  GetControlBounds(ControlOf(mw->GetWindow(), "pict", 132), &status);
  EXPECT_EQ(status.right - status.left, 240 + 400);  // the status line stretches
  Resize(600, 300);                                  // below the minimum: the selector keeps 425
  EXPECT_GE(mw->GetSelector()->GetHeight(), 425);
  EXPECT_EQ(mw->GetSelectDrawer(1), mw->GetFileDrawer());
  EXPECT_EQ(mw->GetSetListDrawer(2), nullptr);
  EXPECT_NE(mw->GetSetListDrawer(6), nullptr);
}

TEST_F(MainWindow, ThumbnailSizes) {
  PBrowser* b = mw->GetPBrowser();
  EXPECT_EQ(b->tnDenom, 4);
  EXPECT_TRUE(Checked("tmed"));
  SendCommand("tmed", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
  EXPECT_EQ(b->tnDenom, 0);  // the checked size again: the table
  for (const char* c : {"tpvw", "tlrg", "tmed", "tsml"}) EXPECT_FALSE(Checked(c)) << c;
  mw->SetThumbSize(FourCC("tmed"), true);
  EXPECT_EQ(b->tnDenom, 4);
  EXPECT_TRUE(Checked("tmed"));
  const int steps[] = {+1, +1, +1, +1, -1, -1, -1, -1, -1, +1};
  const int want[] = {2, 1, 1, 1, 2, 4, 8, 0, 0, 8};
  for (int i = 0; i < 10; ++i) {
    mw->ThumbIncr(steps[i]);
    EXPECT_EQ(b->tnDenom, want[i]) << i;
  }
  mw->ThumbIncr(0);
  EXPECT_EQ(b->tnDenom, 8);
}

TEST_F(MainWindow, DisplayFieldGroups) {
  PBrowser* b = mw->GetPBrowser();
  EXPECT_EQ(b->dfSel, 9);  // the default fields
  mw->SetDisplayFields(FourCC("vset"), true);
  EXPECT_TRUE(Checked("vset"));
  ASSERT_EQ(b->dfCount, 8);
  EXPECT_EQ(b->dfOrder[0], PDBFfile);
  EXPECT_EQ(b->dfOrder[1], PDBFsubject);
  EXPECT_EQ(b->dfOrder[7], PDBFkeyword);
  mw->SetDisplayFields(FourCC("vcap"), true);
  EXPECT_EQ(b->dfCount, 8 + 18);
  b->dfCount = 3;  // a no-op must leave the list alone
  mw->SetDisplayFields(FourCC("vset"), false);
  EXPECT_EQ(b->dfCount, 3);
  mw->SetDisplayFields(FourCC("vall"), true);
  EXPECT_EQ(b->dfSel, 1);
  EXPECT_TRUE(Checked("vall"));
  EXPECT_FALSE(Checked("vset"));
  EXPECT_FALSE(Checked("vcap"));
  mw->SetDisplayFields(FourCC("vfil"), true);
  EXPECT_FALSE(Checked("vall"));
  EXPECT_EQ(b->dfCount, 1 + 7);
  mw->SetDisplayFields(FourCC("vfil"), true);  // every group off: the default fields
  EXPECT_EQ(b->dfSel, 9);
  // 'vall' reaches the application as well.
  EXPECT_EQ(SendCommand("vall", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow())),
            eventNotHandledErr);
  EXPECT_EQ(b->dfSel, 1);
}

TEST_F(MainWindow, EchoActionAndShowing) {
  mw->EchoAction("Added", 1);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "Added 1 record");
  EXPECT_STREQ(dmessage_record[DMCinfo], "Added 1 record");
  mw->EchoAction("Added", 3);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "Added 3 records");
  mw->EchoAction(nullptr, 3);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "Added 3 records");
  mw->ShowMode("Holiday");
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 140), "Holiday");
  mw->ShowMode(nullptr);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 140), "");
  mw->ShowMessage("Loading", true);
  EXPECT_TRUE(IsControlLatentlyVisible(ControlOf(mw->GetWindow(), "pict", 133)));
  mw->ShowMessage(nullptr, false);
  EXPECT_FALSE(IsControlLatentlyVisible(ControlOf(mw->GetWindow(), "pict", 133)));
  mw->Show(0);
  EXPECT_EQ(mw->Show(1), 1);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "No catalog");
  mw->Close();
  EXPECT_FALSE(IsWindowVisible(mw->GetWindow()));
}

// Samples the status line every 0.05 s of the platform clock.
struct Sampler {
  WindowRef w;
  std::vector<std::pair<double, std::string>> seen;
  EventLoopTimerRef timer = nullptr;
  static void Fire(EventLoopTimerRef t, void* self) {
    auto* s = static_cast<Sampler*>(self);
    std::string text = TextOf(s->w, "pict", 132);
    if (s->seen.empty() || s->seen.back().second != text)
      s->seen.push_back({GetCurrentEventTime(), text});
    SetEventLoopTimerNextFireTime(t, 0.05);
  }
};

// The blink runs beside the work: the command that shows a message goes on at once.
TEST_F(MainWindow, AnUnseenProblemBlinksOnceBeforeTheNextMessage) {
  SetManualPlatformClock(true);
  mw->ShowMessage("Before", false);
  dmessage_last_class = DMCnerr;
  DMESSAGE(DMCwarning, "Disk almost full");  // kept and logged, never alerted
  Sampler s{mw->GetWindow(), {}, nullptr};
  const double t0 = GetCurrentEventTime();
  InstallEventLoopTimer(0.05, 0, Sampler::Fire, &s, &s.timer);
  mw->ShowMessage("After", false);
  EXPECT_EQ(GetCurrentEventTime(), t0);  // nothing waited for the blink
  mw->ShowMessage("Later", false);       // asked meanwhile: shown once it ends
  // The clock moves on in small steps, as time would.
  auto runFor = [](double seconds) {
    for (double t = 0; t < seconds - 1e-9; t += 0.01) AdvancePlatformClock(0.01);
  };
  runFor(2.6);
  Sampler::Fire(s.timer, &s);
  // Ten changes within the first second, then the text asked for last 1.5 s later.
  ASSERT_GE(s.seen.size(), 11u);
  int changes = 0;
  for (const auto& p : s.seen)
    if (p.first - t0 <= 1.0 + 1e-9 && p.second != "Before") ++changes;
  EXPECT_EQ(changes, 10);
  EXPECT_EQ(s.seen[0].second, "");
  EXPECT_EQ(s.seen[1].second, "Disk almost full");
  EXPECT_EQ(s.seen.back().second, "Later");
  EXPECT_NEAR(s.seen.back().first - t0, 2.5, 0.06);
  // Blinked, it was seen: the next message shows at once, in the same command too (a problem of
  // the start-up once held every status message of a folder's load 2.5 s). A new problem blinks,
  // and a command resets the class.
  mw->ShowMessage("Again", false);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "Again");
  DMESSAGE(DMCwarning, "Disk full");
  mw->ShowMessage("After that", false);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "");
  runFor(2.6);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "After that");
  DMESSAGE(DMCwarning, "Disk still full");
  SendCommand("zzzz", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
  mw->ShowMessage("Quiet", false);
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "Quiet");
  RemoveEventLoopTimer(s.timer);
  SetManualPlatformClock(false);
}

}  // namespace
