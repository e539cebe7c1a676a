// The main window: construction and layout, the status line, thumbnail sizes and the table's
// field groups, showing and closing.
#include "app/mainwin/pmainw.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/mainwin/pdragger.h"
#include "catalog/pdbase.h"
#include "toolkit/pcommand.h"
#include "app/core/pappstate.h"

bool PMainWindow::setSet = false;
bool PMainWindow::fileSet = false;
bool PMainWindow::capSet = false;
bool PMainWindow::otherSet = false;
bool PMainWindow::allSet = false;

namespace {

// The toolbar's controls in the order they are made, with the window edges each follows.
struct ToolbarItem {
  SInt32 id;
  int grav;
  bool stretches;
};
constexpr ToolbarItem kToolbar[] = {{138, 1, false}, {132, 5, true},  {133, 1, false},
                                    {135, 4, false}, {139, 4, false}, {136, 4, false},
                                    {137, 4, false}, {140, 5, true},  {134, 13, true}};

constexpr int kSelectorMinHeight = 425;
// On a screen with less room than the form asks, the selector's lists and the browser (which
// scroll) go down to this height at least, and the selector to this width; the room is reckoned
// with some to spare for a desktop frame not known yet and a scroll bar.
constexpr int kSelectorLeastHeight = 120;
constexpr int kSelectorLeastWidth = 150;
constexpr int kFrameAllowance = 40;
constexpr int kScrollAllowance = 20;

// The room for the window's content on the screen it opens on (none known: as good as endless).
Point ContentRoom(WindowRef w) {
  GDHandle dev = nullptr;
  Rect screen, avail, widths;
  if (GetWindowGreatestAreaDevice(w, kWindowStructureRgn, &dev, &screen) != noErr ||
      GetAvailableWindowPositioningBounds(dev, &avail) != noErr ||
      GetWindowStructureWidths(w, &widths) != noErr)
    return Point{SHRT_MAX, SHRT_MAX};
  return Point{
      static_cast<short>(avail.bottom - avail.top - widths.top - widths.bottom - kFrameAllowance -
                         kScrollAllowance),
      static_cast<short>(avail.right - avail.left - widths.left - widths.right - kScrollAllowance)};
}

// The thumbnail denominator of a size command; 0 (the table) for any other code.
int DenomOf(unsigned long code) {
  switch (code) {
    case kCmdPreviewThumbnails:
      return 1;
    case kCmdLargeThumbnails:
      return 2;
    case kCmdMediumThumbnails:
      return 4;
    case kCmdSmallThumbnails:
      return 8;
    default:
      return 0;
  }
}

unsigned long CodeOf(int denom) {
  switch (denom) {
    case 1:
      return kCmdPreviewThumbnails;
    case 2:
      return kCmdLargeThumbnails;
    case 4:
      return kCmdMediumThumbnails;
    case 8:
      return kCmdSmallThumbnails;
    default:
      return 0;
  }
}

// An unseen problem blinking in the status line before the text asked for: its steps run on a
// timer, so that neither the command that asked nor the work after it waits for the blink.
struct Blink {
  ControlRef field = nullptr;  // the status line; null while nothing blinks
  EventLoopTimerRef timer = nullptr;
  int step = 0;
  std::string problem, then;  // the problem blinked; the text to show after it
} blink;

constexpr int kBlinkSteps = 10;          // five times off and on
constexpr double kBlinkStep = 0.1;       // seconds off, seconds on
constexpr double kBlinkAfterward = 1.5;  // the problem stays this long after the last one

void StopBlink() {
  if (blink.timer != nullptr) RemoveEventLoopTimer(blink.timer);
  blink = Blink();
}

void BlinkStep(EventLoopTimerRef, void*) {
  ControlRef field = blink.field;
  if (field == nullptr) return;
  if (++blink.step < kBlinkSteps) {
    if (blink.step % 2 == 0)
      ClearControlText(field);
    else
      PutControlText(field, blink.problem.c_str());
    // On for a step after the last time too, then the moment it stays.
    SetEventLoopTimerNextFireTime(
        blink.timer, blink.step + 1 < kBlinkSteps ? kBlinkStep : kBlinkStep + kBlinkAfterward);
    return;
  }
  const std::string then = blink.then;
  StopBlink();
  PutControlText(field, then.c_str());
}

}  // namespace

bool PstatusBlinks() {
  return blink.field != nullptr;
}

PMainWindow::PMainWindow(IBNibRef nib) : selector(nullptr), browser(nullptr), toolbar(nullptr) {
  CreateWindow(nib);
}

PMainWindow::~PMainWindow() {
  StopBlink();
  DestroyWindow();
}

ControlRef PMainWindow::Control(SInt32 id) const {
  return PcontrolOf(GetWindow(), kSigPicture, id);
}

WindowPtr PMainWindow::CreateWindow(IBNibRef nib) {
  StopBlink();
  DestroyWindow();
  selector = nullptr;
  browser = nullptr;
  toolbar = nullptr;
  if (nib == nullptr) return nullptr;
  WindowRef w = nullptr;
  if (CreateWindowFromNib(nib, "MainWindow", &w) != noErr) return nullptr;

  // The toolbar: a chest of the controls across the top, of fixed height from the top edge.
  toolbar = new PChestDrawer;
  for (const ToolbarItem& t : kToolbar) {
    PControlDrawer* d = new PControlDrawer(w, kSigPicture, t.id);
    d->grav = t.grav;
    if (t.stretches) {
      d->minsize.h = 0;
      d->maxsize.h = 0;
    }
    toolbar->AddDrawer(d);
  }
  toolbar->extent.top = 0;
  toolbar->minsize.v = toolbar->maxsize.v = static_cast<short>(toolbar->GetHeight());
  toolbar->minsize.h = toolbar->LeastWidth();  // its texts may go down to nothing
  toolbar->Drawn();
  const Point room = ContentRoom(w);
  const int minHeight =
      std::clamp(room.v - toolbar->GetHeight(), kSelectorLeastHeight, kSelectorMinHeight);

  // The selector: fixed width, at least 425 high; on a screen without room for that, lower and
  // narrower (it takes its width at the window's first layout).
  selector = new PTabControlDrawer(w, kSigSelector, 128);
  selector->grav = 15;
  selector->minsize.v = static_cast<short>(minHeight);
  selector->maxsize.v = 0;
  const int width = std::clamp(room.h - toolbar->minsize.h, kSelectorLeastWidth,
                               std::max<int>(kSelectorLeastWidth, selector->GetWidth()));
  selector->minsize.h = selector->maxsize.h = static_cast<short>(width);
  AddSelectorTabs();

  // The browser fills the rest below the toolbar.
  browser = new PBrowser(this);
  browser->extent = Rect{toolbar->extent.bottom, toolbar->extent.left, selector->extent.bottom,
                         toolbar->extent.right};
  browser->minsize.v = static_cast<short>(minHeight);
  browser->Drawn();

  PDualDrawer* stack = new PDualDrawer(toolbar, browser, true);
  PDualDrawer* sides = new PDualDrawer(selector, stack, false);
  wdrawer = new PWindowDrawer(w, sides);
  if (!PInstallDragger(browser)) DMESSAGE(DMCparameter, "Drag handlers not installed");

  AddHandler(kEventClassCommand, kEventCommandUpdateStatus,
             static_cast<PWindowHandlerF>(&PMainWindow::HandleCommandUpdate));
  AddHandler(kEventClassCommand, kEventCommandProcess,
             static_cast<PWindowHandlerF>(&PMainWindow::HandleCommand));
  AddHandler(kEventClassWindow, kEventWindowClose,
             static_cast<PWindowHandlerF>(&PMainWindow::HandleClose));
  if (!FinishInstall()) DMESSAGE(DMCparameter, "Main window event handler not installed");
  DisableControl(Control(138));  // Add: until a writable catalogue opens
  PWindowHandlerBase::Show(0);
  return w;
}

PDrawer* PMainWindow::GetSelectDrawer(int i) const {
  PTabControlDrawer* s = GetSelector();
  return s ? s->GetTabDrawer(i) : nullptr;
}

PDrawer* PMainWindow::GetSetListDrawer(int i) const {
  return i >= 3 && i <= 6 ? GetSelectDrawer(i) : nullptr;
}

int PMainWindow::Show(int how) {
  int r = PWindowHandlerBase::Show(how);
  if (r >= 1) {
    if (!bc.Ready()) {
      if (selector) selector->Select(1);
      ShowMessage("No catalog", false);
    } else {
      ShowMessage("DB ready", false);
    }
  }
  return r;
}

void PMainWindow::ShowMode(const char* text) const {
  if (GetWindow() == nullptr) return;
  if (text)
    PutControlText(Control(140), text);
  else
    ClearControlText(Control(140));
}

void PMainWindow::ShowMessage(const char* text, bool busy) const {
  if (GetWindow() == nullptr) return;
  SetControlVisibility(Control(133), busy, true);
  if (text == nullptr) return;
  ControlRef field = Control(132);
  if (blink.field == field) {
    blink.then = text;  // shown when the blink ends
    return;
  }
  const unsigned c = dmessage_last_class;
  if (c < DMCinfo && !(dmessage_class_done[c] & DMAalert) && dmessage_record[c] != nullptr) {
    // An unseen problem blinks five times, then stays a moment, before the new text. Blinked, it
    // was seen as an alert would have shown it: the status messages after it show at once.
    dmessage_class_done[c] |= DMAalert;
    StopBlink();
    blink.field = field;
    blink.problem = dmessage_record[c];
    blink.then = text;
    ClearControlText(field);
    if (InstallEventLoopTimer(kBlinkStep, 0, BlinkStep, nullptr, &blink.timer) == noErr) return;
    StopBlink();
  }
  PutControlText(field, text);
}

void PMainWindow::EchoAction(const char* verb, int n) const {
  if (GetWindow() == nullptr || verb == nullptr) return;
  char text[300];
  if (n == 1)
    snprintf(text, sizeof text, "%s 1 record", verb);
  else
    snprintf(text, sizeof text, "%s %d records", verb, n);
  ShowMessage(text, false);
  DMESSAGE(DMCinfo, "%s", text);
}

void PMainWindow::SetDisplayFields(unsigned long code, bool toggle) {
  struct Group {
    unsigned long code;
    bool* flag;
  };
  const Group groups[] = {{kCmdListSettings, &setSet},
                          {kCmdListFile, &fileSet},
                          {kCmdListCapture, &capSet},
                          {kCmdListOther, &otherSet}};
  if (code == 0) {
    for (const Group& g : groups) {
      *g.flag = false;
      checkMenuCommand(static_cast<UInt32>(g.code), false);
    }
    allSet = false;
    checkMenuCommand(kCmdListAll, false);
  } else if (code == kCmdListAll) {
    if (!toggle && allSet) return;
    allSet = !allSet;
    checkMenuCommand(kCmdListAll, allSet);
    if (allSet)
      for (const Group& g : groups) {
        *g.flag = false;
        checkMenuCommand(static_cast<UInt32>(g.code), false);
      }
  } else {
    const Group* g = nullptr;
    for (const Group& x : groups)
      if (x.code == code) g = &x;
    if (g == nullptr) return;
    if (!toggle && *g->flag) return;
    *g->flag = !*g->flag;
    checkMenuCommand(static_cast<UInt32>(code), *g->flag);
    if (*g->flag) {
      allSet = false;
      checkMenuCommand(kCmdListAll, false);
    }
  }
  if (browser == nullptr) return;
  if (allSet) {
    browser->SetDisplayFields(1);
  } else if (!setSet && !fileSet && !capSet && !otherSet) {
    browser->SetDisplayFields(9);
  } else {
    browser->ClearDisplayFields();
    browser->AddDisplayField(PDBFfile);
    static const PDBFieldID setFields[] = {PDBFsubject, PDBFtitle,   PDBFcomment, PDBFowner,
                                           PDBFalbum,   PDBFcaption, PDBFkeyword};
    static const PDBFieldID fileFields[] = {PDBFlocation, PDBFnbytes, PDBFformat, PDBFquality,
                                            PDBFxsize,    PDBFysize,  PDBFhistory};
    static const PDBFieldID capFields[] = {
        PDBFsource,  PDBFmake,    PDBFmodel,    PDBFversion,   PDBFexptime,  PDBFaperture,
        PDBFasa,     PDBFxangle,  PDBFyangle,   PDBFfocus,     PDBFwhitebal, PDBFflash,
        PDBFcapdate, PDBFgmtdate, PDBFlatitude, PDBFlongitude, PDBFaltitude, PDBFbearing};
    if (setSet)
      for (PDBFieldID f : setFields) browser->AddDisplayField(f);
    if (fileSet)
      for (PDBFieldID f : fileFields) browser->AddDisplayField(f);
    if (capSet)
      for (PDBFieldID f : capFields) browser->AddDisplayField(f);
    if (otherSet && bc.Ready())
      for (int f = 0; f < bc.phd.GetNFields(); ++f)
        if ((bc.phd.GetDetails(f)->flags & 0x2200) == 0x2000) browser->AddDisplayFieldID(f);
  }
  browser->Redisplay();
}

void PMainWindow::SetThumbSize(unsigned long code, bool toggle) {
  int denom = DenomOf(code);
  for (const char* c : {"tpvw", "tlrg", "tmed", "tsml"})
    checkMenuCommand(FourCC({c[0], c[1], c[2], c[3], 0}), false);
  if (browser == nullptr) return;
  if (toggle && browser->tnDenom == denom)
    denom = 0;
  else if (denom != 0)
    checkMenuCommand(static_cast<UInt32>(code), true);
  if (denom == browser->tnDenom) return;
  browser->tnDenom = denom;
  browser->Redisplay();
}

int PMainWindow::ThumbStep(int steps) const {
  if (browser == nullptr) return 0;
  int d = browser->tnDenom;
  if (steps > 0)
    d = d == 0 ? 8 : d > 1 ? d / 2 : 1;
  else if (steps < 0)
    d = d == 0 ? 0 : d < 8 ? d * 2 : 0;
  return d;
}

bool PMainWindow::ThumbState(unsigned long code, bool* enable, bool* checked) const {
  const int now = browser != nullptr ? browser->tnDenom : -1;
  const bool shown = browser != nullptr && bc.rdisp.GetSize() > 0;  // zooming shows something
  *checked = false;
  switch (code) {
    case kCmdPreviewThumbnails:
    case kCmdLargeThumbnails:
    case kCmdMediumThumbnails:
    case kCmdSmallThumbnails:
      *enable = browser != nullptr;  // a second choice goes back to the list
      *checked = now == DenomOf(code);
      return true;
    case kCmdZoomToFit:
    case kCmdActualSize:
      *enable = shown && now != DenomOf(kCmdPreviewThumbnails);
      return true;
    case kCmdZoomIn:
      *enable = shown && ThumbStep(1) != now;
      return true;
    case kCmdZoomOut:
      *enable = shown && ThumbStep(-1) != now;
      return true;
    default:
      return false;
  }
}

void PMainWindow::ThumbIncr(int steps) {
  if (steps == 0 || browser == nullptr) return;
  SetThumbSize(CodeOf(ThumbStep(steps)), false);
}

OSStatus PMainWindow::HandleClose(EventRef) {
  if (GetWindow() == nullptr) return eventNotHandledErr;
  // Closing the main window ends the program: the quit command, which may still be refused (an
  // unsaved image kept by Cancel) or wait for an operation under way; the window stays until
  // shut-down closes it.
  HICommand quit{0, kCmdQuit, nullptr, 0};
  ProcessHICommand(&quit);
  return noErr;
}

void PMainWindow::Close() {
  PWindowHandlerBase::Show(0);
  bc.Clear(nullptr);
  // The program ends: what the catalogue cannot write (told) is dropped, its file left as the
  // last save left it.
  bc.CloseDB(PCloseChanges::saveOrDrop);
}
