// The image window: construction from its form, the panel and its reading, the shared
// title/caption field, showing, activation and closing.
#include "app/core/pcmds.h"
#include "app/image/pforms.h"
#include "app/image/pimagewin.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pcommands.h"
#include "app/records/psetfield.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/image/pimagedrawer.h"
#include "catalog/pfieldset.h"
#include "platform/pmenu.h"
#include "toolkit/pastring.h"
#include "toolkit/pcommand.h"
#include "app/core/pappstate.h"

namespace {

constexpr int kTitleLen = 8192;

// The panel's controls in the order they join the chest, with the window edges each follows.
struct PanelItem {
  SInt32 id;
  bool arrows;
  int grav;
  bool stretches;
};
constexpr PanelItem kPanel[16] = {
    {128, true, 1, false},  {129, false, 5, true},  {139, false, 1, false}, {140, false, 1, false},
    {131, false, 5, true},  {141, true, 4, false},  {142, false, 4, false}, {130, false, 4, false},
    {137, false, 4, false}, {132, false, 4, false}, {133, true, 4, false},  {138, false, 4, false},
    {134, false, 4, false}, {136, false, 4, false}, {135, false, 4, false}, {143, false, 13, true}};

// The whole text of a control, at most len - 1 bytes (cut before a character that would not
// fit); false when it cannot be read.
bool ReadText(ControlRef c, std::vector<char>* out, int len) {
  UInt32 size = 0;
  if (c == nullptr ||
      GetControlDataSize(c, kControlEntireControl, kControlEditTextCFStringTag, &size) != noErr)
    return false;
  std::vector<char> all(static_cast<size_t>(size) + 2);
  if (GetControlText(c, all.data(), static_cast<int>(all.size()), true) == nullptr) return false;
  size_t n = 0;
  for (size_t total = strlen(all.data()); n < total;) {
    const size_t k = utf8CharLength(all.data() + n, total - n);
    if (k == 0 || n + k > static_cast<size_t>(len - 1)) break;
    n += k;
  }
  out->assign(all.data(), all.data() + n);
  out->push_back('\0');
  return true;
}

}  // namespace

const int kZoomTable[12][2] = {{1, 8}, {1, 6}, {1, 4}, {1, 3}, {1, 2}, {2, 3},
                               {0, 0}, {1, 1}, {3, 2}, {2, 1}, {3, 1}, {4, 1}};

PImageWindow::PImageWindow(IBNibRef nib, IBrowser* br) {
  Empty();
  CreateWindow(nib);
  browser = br;
}

PImageWindow::~PImageWindow() {
  CloseImages(false);
  RedrawTimer(0);
  delete[] showShuffle;
  DestroyWindow();
}

void PImageWindow::Empty() {
  fileControl = fileTextField = titleButton = captionButton = nullptr;
  frameControlD = nullptr;
  opButton = nullptr;
  opMenu = nullptr;
  sizeControl = titleEditField = exposEditField = exposControl = nullptr;
  exposAuto = exposHuman = exposLocal = dataTextField = nullptr;
  controlPanel = nullptr;
  imd = nullptr;
  browser = nullptr;
  iring = irFirst = irDrawn = irShown = nullptr;
  showGoing = showOpts = 0;
  showIntvl = 0;
  showShuffle = nullptr;
  showPreempt = false;
  dispCS = ICS_sRGB;
  dispCS.cstatic = 0;
  ldDyn = 32.0;
  ldMax = 100.0;
  bgRGB[0] = bgRGB[1] = bgRGB[2] = 255;
  syncView = false;
}

WindowPtr PImageWindow::CreateWindow(IBNibRef nib) {
  DestroyWindow();
  controlPanel = nullptr;
  imd = nullptr;
  WindowRef w = nullptr;
  if (nib == nullptr || CreateWindowFromNib(nib, "ImageWindow", &w) != noErr) return nullptr;
  ControlRef root = nullptr;
  CreateRootControl(w, &root);

  controlPanel = new PChestDrawer(nullptr);
  for (const PanelItem& p : kPanel) {
    PControlDrawer* d = p.arrows ? new PLittleArrowsDrawer(w, kSigImage, p.id, 1)
                                 : new PControlDrawer(w, kSigImage, p.id);
    d->grav = p.grav;
    if (p.stretches) d->minsize.h = d->maxsize.h = 0;
    controlPanel->AddDrawer(d);
    ControlRef c = d->GetControl();
    switch (p.id) {
      case 128:
        fileControl = c;
        break;
      case 129:
        fileTextField = c;
        break;
      case 139:
        titleButton = c;
        break;
      case 140:
        captionButton = c;
        break;
      case 131:
        titleEditField = c;
        break;
      case 141:
        frameControlD = d;
        break;
      case 142:
        opButton = c;
        break;
      case 130:
        sizeControl = c;
        break;
      case 137:
        dataTextField = c;
        break;
      case 132:
        exposEditField = c;
        break;
      case 133:
        exposControl = c;
        break;
      case 134:
        exposAuto = c;
        break;
      case 136:
        exposLocal = c;
        break;
      case 135:
        exposHuman = c;
        break;
      default:
        break;
    }
  }
  opMenu = nullptr;
  controlPanel->extent.top = 0;
  controlPanel->minsize.v = controlPanel->maxsize.v = static_cast<short>(controlPanel->GetHeight());
  controlPanel->minsize.h = controlPanel->LeastWidth();  // its texts may go down to nothing
  controlPanel->Drawn();

  imd = new PImageDrawer(w, this);
  imd->grav = 15;
  imd->extent = Rect{controlPanel->extent.bottom, 0, 480, controlPanel->extent.right};
  imd->minsize.v = 320;
  imd->Drawn();

  wdrawer = new PWindowDrawer(w, new PDualDrawer(controlPanel, imd, true));
  AddHandler(kEventClassCommand, kEventCommandUpdateStatus,
             static_cast<PWindowHandlerF>(&PImageWindow::HandleCommandUpdate));
  AddHandler(kEventClassCommand, kEventCommandProcess,
             static_cast<PWindowHandlerF>(&PImageWindow::HandleCommand));
  AddHandler(kEventClassWindow, kEventWindowClose,
             static_cast<PWindowHandlerF>(&PImageWindow::HandleClose));
  AddHandler(kEventClassWindow, kEventWindowActivated,
             static_cast<PWindowHandlerF>(&PImageWindow::HandleActivate));
  // Return in the stops field applies the exposure instead of pressing the default button.
  AddHandler(kEventClassKeyboard, kEventRawKeyDown,
             static_cast<PWindowHandlerF>(&PImageWindow::HandleCommand));
  if (!FinishInstall()) DMESSAGE(DMCparameter, "Image window event handler not installed");
  // Lay the panes out over the window's size while it is hidden, so that the first image is
  // rendered once, at the size it is shown.
  wdrawer->Redraw();
  Show(0);
  return w;
}

bool PImageWindow::Ready() const {
  return iring != nullptr && iring->Ready();
}

bool PImageWindow::HasSelection() const {
  return imd != nullptr && imd->rectShown;
}

int PImageWindow::Show(int vis) {
  if (vis == 0) {
    if (gFCWindow) HideWindow(gFCWindow);
    if (gHistoWindow) HideWindow(gHistoWindow);
  }
  return PWindowHandlerBase::Show(vis);
}

OSStatus PImageWindow::HandleActivate(EventRef) {
  SelectImage(false);
  return eventNotHandledErr;
}

OSStatus PImageWindow::HandleClose(EventRef) {
  if (saving) return userCanceledErr;  // the save ends first
  idleImprovements(0.0);
  if (CloseImages(true) == 0) {
    DMESSAGE(DMCtrace, "User cancelled image window close");
    return userCanceledErr;
  }
  Show(0);
  return noErr;
}

bool PImageWindow::Update() {
  if (iring == nullptr) return false;
  PreemptSlide();
  if (fileControl != nullptr) {
    int n = GetControlValue(fileControl) - 50;
    if (n != 0) {
      SetControlValue(fileControl, 50);
      PImageRing* was = iring;
      for (; n > 0; --n) iring = iring->GetNext();
      for (; n < 0; ++n) iring = iring->GetPrev();
      if (iring != was) {
        ++ringSerial;
        StopShow();
        ResyncToImage();
      }
    }
  }
  if (frameControlD != nullptr && frameControlD->GetControl() != nullptr) {
    ControlRef fc = frameControlD->GetControl();
    const int d = GetControlValue(fc) - 50;
    if (d != 0) {
      StopShow();
      SetControlValue(fc, 50);
      iring->SeekFrame(d, IRSrel);
    }
  }
  if (exposAuto) iring->SetExposureMode(PEMauto, (GetControlValue(exposAuto) & 0xFFFF) != 0);
  if (exposLocal) iring->SetExposureMode(PEMlocal, (GetControlValue(exposLocal) & 0xFFFF) != 0);
  if (exposHuman) iring->SetExposureMode(PEMhuman, (GetControlValue(exposHuman) & 0xFFFF) != 0);
  if (exposControl != nullptr && (iring->GetExposure(nullptr) & (PEMauto | PEMlocal)) == 0)
    iring->SetExposure(std::pow(2.0, (GetControlValue(exposControl) - 50) * 0.3333333333333333));
  if (sizeControl != nullptr) {
    const double before = iring->GetZoom(nullptr);
    const int item = GetControlValue(sizeControl);
    if (item == 7)
      iring->SetZoomToFit();
    else if (item >= 1 && item <= 12)
      iring->SetZoomRatio(kZoomTable[item - 1][0], kZoomTable[item - 1][1]);
    _ImgRect r;
    if (imd != nullptr) {
      if (imd->rectShown && iring->SomeSelected() >= 1 && item != 7 &&
          iring->GetZoom(nullptr) > before && iring->GetSelection(&r) && imd->GetRWidth() > 0 &&
          imd->GetRHeight() > 0)
        imd->MoveScroll(static_cast<float>(((r.xleft + r.xright) * 0.5) / imd->GetRWidth() - 0.5),
                        static_cast<float>(((r.ytop + r.ybottom) * 0.5) / imd->GetRHeight() - 0.5));
      else
        imd->MoveScroll(0, 0);
    }
    // Zoomed in, a large picture may need more of its pixels: read before the redraw.
    if (iring->GetZoom(nullptr) > before) LoadInSlices(false);
  }
  RedrawTimer(0.35);
  return true;
}

void PImageWindow::UpdateImageButtons() const {
  if (iring == nullptr || titleButton == nullptr || captionButton == nullptr ||
      titleEditField == nullptr)
    return;
  WindowRef w = GetWindow();
  const DBRecord& rec = iring->GetRec();
  const bool canCap = gMain != nullptr && gMain->CanCaption(&rec);
  ControlRef def = nullptr;
  if (canCap) {
    EnableControl(captionButton);
  } else {
    DisableControl(captionButton);
  }
  if (GetWindowDefaultButton(w, &def) != noErr) def = nullptr;
  if (def == captionButton && !canCap) {
    SetWindowDefaultButton(w, nullptr);
    def = nullptr;
  }
  bool titled = false;
  if (def == titleButton || def == nullptr) {
    const char* t = PDBgetString(rec, PDBFtitle);
    if (t != nullptr) {
      std::string s(t, strnlen(t, kTitleLen - 1));
      PutControlText(titleEditField, s.c_str());
      titled = true;
    } else {
      ClearControlText(titleEditField);
    }
    SetWindowDefaultButton(w, titleButton);
    if (def == titleButton) return;
  }
  if (def == captionButton || (def == nullptr && !titled)) {
    std::vector<char> cap(kTitleLen);
    if (gMain != nullptr && gMain->GetCaption(cap.data(), kTitleLen, &rec) != nullptr)
      PutControlText(titleEditField, cap.data());
    else
      ClearControlText(titleEditField);
    if (canCap) SetWindowDefaultButton(w, captionButton);
  }
}

bool PImageWindow::TitleChanges() const {
  WindowRef w = GetWindow();
  ControlRef def = nullptr;
  if (w == nullptr || GetWindowDefaultButton(w, &def) != noErr || def != titleButton) return true;
  std::vector<char> text;
  if (irShown == nullptr || !ReadText(titleEditField, &text, kTitleLen)) return false;
  const char* t = PDBgetString(irShown->GetRec(), PDBFtitle);
  return std::string(text.data()) != std::string(t ? t : "", t ? strnlen(t, kTitleLen - 1) : 0);
}

void PImageWindow::DoTitle(const char* ttl) {
  WindowRef w = GetWindow();
  if (w == nullptr) return;
  ControlRef def = nullptr;
  GetWindowDefaultButton(w, &def);
  if (ttl == nullptr && def != titleButton) {
    if (irShown != nullptr) {
      const char* t = PDBgetString(irShown->GetRec(), PDBFtitle);
      if (t != nullptr)
        PutControlText(titleEditField, std::string(t, strnlen(t, kTitleLen - 1)).c_str());
      else
        ClearControlText(titleEditField);
    }
    SetWindowDefaultButton(w, titleButton);
    return;
  }
  std::vector<char> text;
  if (ttl != nullptr)
    text.assign(ttl, ttl + strnlen(ttl, kTitleLen - 1)), text.push_back('\0');
  else if (!ReadText(titleEditField, &text, kTitleLen))
    return;
  const int i = BrowserRecI();
  PContext* ctx = Context();
  if (i < 0 || ctx == nullptr || iring == nullptr) return;
  StopShow();
  if (!browser->NewChange("Title")) return;
  DBRecord* rec = browser->ChangeRecord(i);
  if (rec == nullptr) {
    browser->NoChange();
    return;
  }
  const bool set = text[0] != '\0';
  if (set) {
    PDBsetString(rec, PDBFtitle, text.data());
    repeatSetting(PDBFtitle, text.data());
  } else {
    const int id = PDBid(*rec, PDBFtitle);
    if (id >= 0) rec->ClearField(id);
  }
  const DBRecord edited = *rec;
  if (browser->CompleteChange() > 0 && gMain) gMain->EchoAction(set ? "Titled" : "Untitled", 1);
  iring->UpdateRec(edited);
  if (gInfo) gInfo->UpdateFields();
}

void PImageWindow::DoCaption(const char* cap) {
  WindowRef w = GetWindow();
  if (w == nullptr || iring == nullptr) return;
  ControlRef def = nullptr;
  GetWindowDefaultButton(w, &def);
  if (gMain == nullptr || !gMain->CanCaption(&iring->GetRec())) {
    if (def == captionButton) SetWindowDefaultButton(w, nullptr);
    DisableControl(captionButton);
    return;
  }
  if (cap == nullptr && def != captionButton) {
    std::vector<char> buf(kTitleLen);
    const PImageRing* shown = irShown != nullptr ? irShown : iring;
    if (gMain->GetCaption(buf.data(), kTitleLen, &shown->GetRec()) != nullptr)
      PutControlText(titleEditField, buf.data());
    else
      ClearControlText(titleEditField);
    SetWindowDefaultButton(w, captionButton);
    return;
  }
  StopShow();
  if (!SelectImage(false)) return;
  std::vector<char> text;
  if (cap != nullptr)
    text.assign(cap, cap + strnlen(cap, kTitleLen - 1)), text.push_back('\0');
  else if (!ReadText(titleEditField, &text, kTitleLen))
    return;
  gMain->SetCaption(text.data());
  const int i = BrowserRecI();
  PContext* ctx = Context();
  if (i >= 0 && ctx != nullptr) iring->UpdateRec(ctx->rdisp[i]);
  if (gInfo) gInfo->UpdateFields();
}

PContext* PImageWindow::Context() const {
  return browser != nullptr ? browser->GetContext() : nullptr;
}
