// The info window: construction and layout, showing a record, the field-to-control mapping,
// steppers, the user-defined field rows, default buttons, closing, and the thumbnail tab.
#include "app/core/pcmds.h"
#include "app/info/pinfo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pimgdraw.h"
#include "catalog/pfieldset.h"
#include "catalog/porient.h"
#include "toolkit/pastring.h"
#include "toolkit/pctltext.h"

namespace {

constexpr int kMargin = 12;  // around the thumbnail

// A control of a tab: stepper, text that stretches across, or a label or button that keeps
// its size at the top left.
enum Kind { kKeep, kStretch, kArrows, kPlainArrows, kFill };
struct Item {
  long id;
  Kind kind;
};

constexpr Item kSetTab[] = {{142, kKeep},    {132, kStretch}, {143, kKeep},    {133, kStretch},
                            {144, kKeep},    {134, kStretch}, {146, kKeep},    {135, kArrows},
                            {136, kStretch}, {148, kKeep},    {138, kStretch}, {137, kArrows},
                            {150, kKeep},    {140, kStretch}, {139, kArrows},  {151, kKeep},
                            {141, kFill}};
constexpr Item kFileTab[] = {{140, kKeep}, {130, kStretch},     {141, kKeep}, {131, kStretch},
                             {142, kKeep}, {132, kStretch},     {143, kKeep}, {133, kStretch},
                             {144, kKeep}, {134, kStretch},     {145, kKeep}, {135, kStretch},
                             {146, kKeep}, {136, kStretch},     {147, kKeep}, {137, kStretch},
                             {148, kKeep}, {139, kPlainArrows}, {138, kFill}};
constexpr long kCaptureTab[] = {149, 129, 130, 151, 131, 132, 153, 133, 134, 155, 135, 156,
                                136, 157, 137, 158, 138, 159, 139, 160, 140, 161, 141, 162,
                                142, 167, 163, 143, 164, 144, 165, 145, 166, 146, 168, 169};

// The photo fields the file and capture tabs show, in control order from 130 and 129.
constexpr PDBFieldID kFileFields[] = {PDBFlocation, PDBFnbytes, PDBFformat,   PDBFquality,
                                      PDBFxsize,    PDBFysize,  PDBFxdensity, PDBFydensity};
constexpr PDBFieldID kCaptureFields[] = {
    PDBFmake,    PDBFsource,  PDBFmodel,    PDBFversion,   PDBFexptime,  PDBFaperture,
    PDBFasa,     PDBFxangle,  PDBFyangle,   PDBFfocus,     PDBFwhitebal, PDBFflash,
    PDBFcapdate, PDBFgmtdate, PDBFlatitude, PDBFlongitude, PDBFaltitude, PDBFbearing};

PControlDrawer* MakeItem(WindowRef w, unsigned long sig, const Item& it, PInfoWindow* owner) {
  PControlDrawer* d = nullptr;
  switch (it.kind) {
    case kArrows:
      d = new MyLittleArrowsDrawer(w, sig, it.id, owner);
      break;
    case kPlainArrows:
      d = new PLittleArrowsDrawer(w, sig, it.id, 1);
      break;
    default:
      d = new PControlDrawer(w, sig, it.id);
      break;
  }
  switch (it.kind) {
    case kStretch:
      d->grav = 1 | 2 | 4;
      d->minsize.h = d->maxsize.h = 0;
      break;
    case kFill:
      d->grav = 15;
      d->minsize = d->maxsize = Point{0, 0};
      break;
    default:
      d->grav = 1 | 2;
      break;
  }
  return d;
}

}  // namespace

bool PcontrolText(ControlRef c, std::string* out, int len) {
  UInt32 size = 0;
  if (c == nullptr || out == nullptr || len < 2 ||
      GetControlDataSize(c, kControlEntireControl, kControlEditTextCFStringTag, &size) != noErr)
    return false;
  std::vector<char> all(static_cast<size_t>(size) + 2);
  if (GetControlText(c, all.data(), static_cast<int>(all.size()), false) == nullptr) return false;
  size_t n = 0;
  for (const size_t total = strlen(all.data()); n < total;) {
    const size_t k = utf8CharLength(all.data() + n, total - n);
    if (k == 0 || n + k > static_cast<size_t>(len - 1)) break;
    n += k;
  }
  out->assign(all.data(), n);
  return true;
}

namespace {

// Shows and enables, or hides and disables, a control of a pane, keeping the pane's own
// visibility in step (a tab shown again shows only what its rows show).
void ShowItem(PControlDrawer* d, bool on) {
  if (d == nullptr || d->GetControl() == nullptr) return;
  d->UpdateVis(on ? 1 : 0);
  if (on)
    EnableControl(d->GetControl());
  else
    DisableControl(d->GetControl());
  SetControlVisibility(d->GetControl(), on, true);
}

template <size_t N>
PChestDrawer* MakeTab(WindowRef w, unsigned long sig, const Item (&items)[N], PInfoWindow* owner) {
  PChestDrawer* chest = new PChestDrawer;
  for (const Item& it : items) chest->AddDrawer(MakeItem(w, sig, it, owner));
  return chest;
}

}  // namespace

// ---- Construction.

PInfoWindow::PInfoWindow(IBNibRef nib)
    : tabDrawer(nullptr), browser(nullptr), thumbDrawer(nullptr), storing(false) {
  CreateWindow(nib);
}

PInfoWindow::~PInfoWindow() {
  DestroyWindow();
}

WindowPtr PInfoWindow::CreateWindow(IBNibRef nib) {
  DestroyWindow();
  tabDrawer = nullptr;
  thumbDrawer = nullptr;
  for (OtherRow& r : other) r = OtherRow();
  if (nib == nullptr) return nullptr;
  WindowRef w = nullptr;
  if (CreateWindowFromNib(nib, "InfoWindow", &w) != noErr) return nullptr;
  ControlRef root = nullptr;
  CreateRootControl(w, &root);

  // The header row: the record stepper, the file name across, the open button at the right.
  PChestDrawer* header = new PChestDrawer;
  PControlDrawer* d = new PLittleArrowsDrawer(w, kSigInfo, 130, 1);
  d->grav = 1;
  header->AddDrawer(d);
  d = new PControlDrawer(w, kSigInfo, 129);
  d->grav = 1 | 4;
  d->minsize.h = d->maxsize.h = 0;
  header->AddDrawer(d);
  d = new PControlDrawer(w, kSigInfo, 131);
  d->grav = 4;
  header->AddDrawer(d);
  header->extent.top = 0;
  header->minsize.v = header->maxsize.v = static_cast<short>(header->GetHeight() + 25);
  header->extent.bottom = static_cast<short>(header->extent.top + header->minsize.v);
  header->Drawn();

  // The tabs, in order.
  tabDrawer = new PTabControlDrawer(w, kSigInfo, 128);
  tabDrawer->AddTab(MakeTab(w, kSigInfoSettings, kSetTab, this));
  tabDrawer->AddTab(MakeTab(w, kSigInfoFile, kFileTab, this));
  PChestDrawer* capture = new PChestDrawer;
  for (long id : kCaptureTab)
    capture->AddDrawer(MakeItem(w, kSigInfoOrigin, Item{id, kKeep}, this));
  tabDrawer->AddTab(capture);
  PChestDrawer* others = new PChestDrawer;
  for (int n = 1; n <= kOtherRows; ++n) {
    other[n].button = MakeItem(w, kSigInfoOther, Item{130 + n, kKeep}, this);
    others->AddDrawer(other[n].button);
    other[n].arrows = static_cast<MyLittleArrowsDrawer*>(
        MakeItem(w, kSigInfoOther, Item{140 + n, kArrows}, this));
    others->AddDrawer(other[n].arrows);
    other[n].editField = MakeItem(w, kSigInfoOther, Item{150 + n, kStretch}, this);
    others->AddDrawer(other[n].editField);
  }
  tabDrawer->AddTab(others);
  thumbDrawer = new PThumbDrawer(&irec);
  tabDrawer->AddTab(thumbDrawer);
  tabDrawer->grav = 15;
  tabDrawer->minsize =
      Point{static_cast<short>(tabDrawer->GetHeight()), static_cast<short>(tabDrawer->GetWidth())};
  tabDrawer->maxsize = Point{0, 0};

  wdrawer = new PWindowDrawer(w, new PDualDrawer(header, tabDrawer, true));
  AddHandler(kEventClassWindow, kEventWindowClose,
             static_cast<PWindowHandlerF>(&PInfoWindow::HandleClose));
  AddHandler(kEventClassCommand, kEventCommandUpdateStatus,
             static_cast<PWindowHandlerF>(&PInfoWindow::HandleCommandUpdate));
  AddHandler(kEventClassCommand, kEventCommandProcess,
             static_cast<PWindowHandlerF>(&PInfoWindow::HandleCommand));
  AddHandler(kEventClassWindow, kEventWindowClickContentRgn,
             static_cast<PWindowHandlerF>(&PInfoWindow::HandleContentClick));
  AddHandler(kEventClassKeyboard, kEventRawKeyDown,
             static_cast<PWindowHandlerF>(&PInfoWindow::HandleKey));
  AddHandler(kEventClassWindow, kEventWindowDeactivated,
             static_cast<PWindowHandlerF>(&PInfoWindow::HandleDeactivated));
  if (!FinishInstall()) DMESSAGE(DMCparameter, "Info window event handler not installed");
  wdrawer->Redraw();
  PWindowHandlerBase::Show(0);
  return w;
}

// ---- Controls.

ControlRef PInfoWindow::Control(unsigned long sig, long cid) const {
  WindowRef w = GetWindow();
  ControlID id{static_cast<OSType>(sig), static_cast<SInt32>(cid)};
  ControlRef c = nullptr;
  return w != nullptr && GetControlByID(w, &id, &c) == noErr ? c : nullptr;
}

int PInfoWindow::ControlIndex(unsigned long sig, long cid) const {
  ControlRef c = Control(sig, cid);
  return c != nullptr ? GetControlValue(c) - 50 : 0;
}

bool PInfoWindow::SetControlIndex(unsigned long sig, long cid, int pos) const {
  ControlRef c = Control(sig, cid);
  if (c == nullptr) return false;
  SetControlValue(c, pos + 50);
  return true;
}

bool PInfoWindow::SetDefaultButton(unsigned long sig, long cid) const {
  ControlRef c = Control(sig, cid);
  return c != nullptr && SetWindowDefaultButton(GetWindow(), c) == noErr;
}

bool PInfoWindow::IsDefaultButton(unsigned long sig, long cid) const {
  int tab = 0;
  switch (sig) {
    case kSigInfoSettings:
      tab = 1;
      break;
    case kSigInfoFile:
      tab = 2;
      break;
    case kSigInfoOrigin:
      tab = 3;
      break;
    case kSigInfoOther:
      tab = 4;
      break;
    default:
      return false;
  }
  if (tabDrawer == nullptr || tabDrawer->GetSelected() != tab) return false;
  ControlRef def = nullptr;
  return GetWindowDefaultButton(GetWindow(), &def) == noErr && def != nullptr &&
         def == Control(sig, cid);
}

int PInfoWindow::Field(int photoField) const {
  const DBFieldInfo* s = irec.GetFieldInfo();
  return s != nullptr ? s->XlateID(&PDBFInfo, photoField) : -1;
}

int PInfoWindow::TextLength(const DBFDetails* det, ControlRef c) {
  if (det == nullptr || det->dtype == DBDTstring || c == nullptr ||
      GetControlKind(c) != kControlKindStaticText)
    return kTextLen;
  Rect b;
  GetControlBounds(c, &b);
  const int w = b.right - b.left, h = b.bottom - b.top;
  const int n = (w / 10) * (h / 16) + 1;
  return n < kTextLen ? n : kTextLen;
}

// ---- Showing.

bool PInfoWindow::ShowInfo(IBrowser* b, int i, bool raise) {
  WindowRef w = GetWindow();
  if (w == nullptr) return false;
  PContext* ctx = b != nullptr ? b->GetContext() : nullptr;
  // Stepping to another record leaves the box typed into.
  if (ctx != nullptr && i >= 0 && i < ctx->rdisp.GetSize() && !irec.IsLinked(&ctx->rdisp[i]))
    StoreTyped();
  if (ctx != nullptr && i >= 0 && i < ctx->rdisp.GetSize()) {
    browser = b;
    DBRecord& rec = ctx->rdisp[i];
    const char* file = PDBgetString(rec, PDBFfile);
    if (rec.GetFieldInfo() != nullptr && file != nullptr && *file != '\0') {
      if (!irec.IsLinked(&rec) && irec.Link(&rec) != 1) return false;
      UpdateFields();
      if (raise) {
        SelectWindow(w);
        PWindowHandlerBase::Show(1);
      }
      return true;
    }
  }
  Close();
  return false;
}

bool PInfoWindow::ShowInfo(const DBRecord& dr, bool raise) {
  WindowRef w = GetWindow();
  if (w == nullptr) return false;
  const char* file = PDBgetString(dr, PDBFfile);
  if (file == nullptr || *file == '\0') {
    Close();
    return false;
  }
  StoreTyped();
  browser = nullptr;
  // A linked record would write the copy through into a browser's record.
  if (irec.IsLinked() > 0) irec.Init();
  if (irec.GetFieldInfo() == nullptr || irec != dr) {
    irec = dr;
    UpdateFields();
  }
  LockBoxes();
  if (raise) {
    SelectWindow(w);
    PWindowHandlerBase::Show(1);
  }
  return true;
}

void PInfoWindow::UpdateFields() {
  if (GetWindow() == nullptr || irec.GetFieldInfo() == nullptr) return;
  StoreTyped();  // a refill would write over it
  ResetControls();
  ShowField(kSigInfo, 129, Field(PDBFfile), 0, false);
  ShowField(kSigInfoSettings, 132, Field(PDBFsubject), 0, false);
  ShowField(kSigInfoSettings, 133, Field(PDBFtitle), 0, false);
  ShowField(kSigInfoSettings, 134, Field(PDBFowner), 0, false);
  ShowField(kSigInfoSettings, 136, Field(PDBFkeyword), ControlIndex(kSigInfoSettings, 135), false);
  ShowField(kSigInfoSettings, 138, Field(PDBFcomment), ControlIndex(kSigInfoSettings, 137), false);
  ShowField(kSigInfoSettings, 140, Field(PDBFalbum), ControlIndex(kSigInfoSettings, 139), false);
  ShowField(kSigInfoSettings, 141, Field(PDBFcaption), ControlIndex(kSigInfoSettings, 139), false);
  for (int k = 0; k < 8; ++k) ShowField(kSigInfoFile, 130 + k, Field(kFileFields[k]), 0, false);
  ShowField(kSigInfoFile, 138, Field(PDBFhistory), ControlIndex(kSigInfoFile, 139), false);
  for (int k = 0; k < 18; ++k)
    ShowField(kSigInfoOrigin, 129 + k, Field(kCaptureFields[k]), 0, false);
  for (int n = 1; n <= kOtherRows; ++n)
    ShowField(kSigInfoOther, 150 + n, other[n].fieldID, ControlIndex(kSigInfoOther, 140 + n),
              false);
  LockBoxes();
  if (thumbDrawer != nullptr) thumbDrawer->Redraw();
}

bool PInfoWindow::ShowField(unsigned long sig, long cid, int fid, int ndx, bool edit) const {
  if (fid < 0) return false;
  WindowRef w = GetWindow();
  ControlRef c = Control(sig, cid);
  if (edit && c != nullptr) {
    ControlRef focus = nullptr;
    if (GetKeyboardFocus(w, &focus) == noErr && focus == c) {
      std::string text;
      if (PcontrolText(c, &text, kTextLen) && text.compare(0, 5, "(Add ") == 0) {
        ClearControlText(c);
        Remember(sig, cid);
      }
      return false;  // what is typed there stays
    }
  }
  if (c == nullptr) return false;
  const bool ok = ShowValue(c, fid, ndx, edit);
  Remember(sig, cid);
  return ok;
}

bool PInfoWindow::ShowValue(ControlRef c, int fid, int ndx, bool edit) const {
  WindowRef w = GetWindow();
  const DBFDetails* det = irec.GetFieldDetails(fid);
  const DBField& fld = irec[fid];
  const bool caption = fid == Field(PDBFcaption);
  int nv = caption ? irec[Field(PDBFalbum)].GetNV() : fld.GetNV() + (edit ? 1 : 0);
  if (det == nullptr || nv == 0) {
    ClearControlText(c);
    return false;
  }
  if (!(det->flags & DBFDmulti) && nv > 1) nv = 1;
  ndx %= nv;
  if (ndx < 0) ndx += nv;
  if (caption && fld.GetNV() < ndx + 1) {
    ClearControlText(c);
    if (edit) EditControlText(w, c);
    return false;
  }
  if (ndx == fld.GetNV()) {
    char text[96];
    snprintf(text, sizeof text, "(Add %s)", det->descrip);
    PutControlText(c, text);
    EditControlText(w, c);
    return true;
  }
  DBField one;
  const DBField* shown = &fld;
  if (fld.GetNV() > 1) {
    fld.Get(&one, ndx);
    shown = &one;
  }
  const int len = TextLength(det, c);
  std::vector<char> text(static_cast<size_t>(len) + 1, '\0');
  const char* s = nullptr;
  if (!edit && det->DisplayFormat != nullptr && !(det->flags & DBFDmulti))
    s = det->DisplayFormat(text.data(), len, *shown);
  else
    s = DBformatUnknown(text.data(), len, *shown);
  if (s != nullptr)
    PutControlText(c, s);
  else
    ClearControlText(c);
  if (edit) EditControlText(w, c);
  return true;
}

void PInfoWindow::ResetControls() {
  SetControlIndex(kSigInfo, 130, 0);
  SetControlIndex(kSigInfoSettings, 135, 0);
  SetControlIndex(kSigInfoSettings, 137, 0);
  SetControlIndex(kSigInfoFile, 139, 0);
  int album = 0;
  IMainWindow* mw = browser != nullptr ? browser->GetMainWindow() : nullptr;
  if (mw != nullptr) album = mw->AlbumIndex(&irec);
  SetControlIndex(kSigInfoSettings, 139, album > 0 ? album : 0);

  const DBFieldInfo* s = irec.GetFieldInfo();
  int n = 1;
  for (int f = 0; s != nullptr && f < s->GetNFields() && n <= kOtherRows; ++f) {
    const DBFDetails* det = s->GetDetails(f);
    if ((det->flags & 0x2200) != 0x2000) continue;
    OtherRow& row = other[n++];
    row.fieldID = f;
    PutControlText(row.button->GetControl(), s->GetName(f));
    ShowItem(row.button, true);
    const bool multi = (det->flags & DBFDmulti) != 0;
    if (multi) SetControlValue(row.arrows->GetControl(), 50);
    ShowItem(row.arrows, multi);
    ShowItem(row.editField, true);
  }
  for (; n <= kOtherRows; ++n) {
    OtherRow& row = other[n];
    row.fieldID = -1;
    ShowItem(row.button, false);
    ShowItem(row.arrows, false);
    ShowItem(row.editField, false);
  }
}

// ---- Closing.

void PInfoWindow::Close() {
  PWindowHandlerBase::Show(0);
  browser = nullptr;
  irec.Init();
}

OSStatus PInfoWindow::HandleClose(EventRef) {
  StoreTyped();
  Close();
  return noErr;
}

// ---- The thumbnail tab and the steppers.

void PThumbDrawer::Redraw() {
  if (!IsVisible()) return;
  Wipe();
  if (trecp == nullptr || trecp->GetFieldInfo() == nullptr || trecp->GetNAlloc() == 0) return;
  POrient o(trecp);
  const bool swap = o.xyswap;
  // Within a margin, and no larger than a full-size thumbnail.
  const int w = std::min(GetWidth() - 2 * kMargin, PBigThumbWidth);
  const int h = std::min(GetHeight() - 2 * kMargin, PBigThumbWidth);
  if (w < 1 || h < 1) return;
  _ImgStruct img = {};
  img.xres = swap ? h : w;
  img.yres = swap ? w : h;
  img.csp = &ICS_sRGB;
  PThumbnailer& tn = PthumbManager();
  const bool crop = tn.doCrop, orient = tn.doOrient;
  tn.doCrop = true;
  tn.doOrient = false;  // drawn oriented below
  const bool ok = tn.GetThumbnail(&img, *trecp);
  tn.doCrop = crop;
  tn.doOrient = orient;
  if (ok && img.img != nullptr) {
    o.SetOrigSize(img.xres, img.yres);
    SetPort(nullptr);
    QDrawImage(&img, extent.left + (GetWidth() - o.GetWidth()) / 2,
               extent.top + (GetHeight() - o.GetHeight()) / 2, &o);
    ResetPort();
    Drawn();
  }
  if (img.img != nullptr || img.mbase != nullptr) PfreeImage(&img);
}

bool MyLittleArrowsDrawer::Click(Point pt, unsigned short mods, EventRef event) {
  if (!IsVisible() || !Inside(pt)) return false;
  if (owner != nullptr) owner->StoreTyped();
  ClearKeyboardFocus(GetWindow());
  return PLittleArrowsDrawer::Click(pt, mods, event);
}

bool MyLittleArrowsDrawer::Wheel(Point pt, int xdel, int ydel, EventRef event) {
  if (!IsVisible() || !Inside(pt)) return false;
  if (owner != nullptr) owner->StoreTyped();
  ClearKeyboardFocus(GetWindow());
  return PLittleArrowsDrawer::Wheel(pt, xdel, ydel, event);
}
