// The search window: construction, the field menus, reading the clauses into a query, matching
// records, searching the display and the catalogue, and its commands.
#include "app/core/pcmds.h"
#include "app/info/pfind.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/core/pappstate.h"
#include "app/records/psetother.h"
#include "platform/pmenu.h"
#include "support/bytetext.h"
#include "support/pstrings.h"
#include "toolkit/pcommand.h"
#include "toolkit/pctltext.h"

namespace {

// Whether field fid of schema s holds names (a file's name, its folders): they show as names
// show (support/bytetext.h), so what is typed for them stands for the bytes it shows.
bool HoldsNames(const DBFieldInfo* s, int fid) {
  return fid >= 0 &&
         (fid == s->XlateID(&PDBFInfo, PDBFfile) || fid == s->XlateID(&PDBFInfo, PDBFlocation));
}

// The typed text in val (of len bytes) replaced by the bytes it stands for, never longer.
void TypedBytes(char* val, size_t len) {
  const std::string bytes = ShownBytes(val);
  const size_t n = std::min(bytes.size(), len - 1);
  memcpy(val, bytes.data(), n);
  val[n] = '\0';
}

// The pane's controls in order, with the window edges each follows (1 left, 4 right; 5
// stretches across).
struct PaneItem {
  long id;
  int grav;
};
constexpr PaneItem kPane[] = {{130, 1}, {131, 5}, {132, 1}, {133, 5}, {134, 1}, {135, 5},
                              {139, 4}, {160, 1}, {140, 1}, {141, 5}, {142, 1}, {143, 5},
                              {144, 1}, {145, 5}, {149, 4}, {150, 4}, {151, 4}, {152, 4}};

// Text of a popup's chosen item; empty when none.
std::string ChosenItem(ControlRef popup) {
  MenuRef m = popup != nullptr ? GetControlPopupMenuHandle(popup) : nullptr;
  char buf[256];
  UInt32 n = 0;
  if (m == nullptr || GetMenuItemText(m, static_cast<MenuItemIndex>(GetControlValue(popup)), buf,
                                      sizeof buf - 1, &n) != noErr)
    return std::string();
  buf[n < sizeof buf ? n : sizeof buf - 1] = '\0';
  return buf;
}

void Enable(ControlRef c, bool on) {
  if (c == nullptr) return;
  if (on)
    EnableControl(c);
  else
    DisableControl(c);
}

// Shows or hides a control of the pane, keeping its pane's own visibility in step.
void ShowItem(PControlDrawer* d, bool on) {
  if (d == nullptr) return;
  d->UpdateVis(on ? 1 : 0);
  SetControlVisibility(d->GetControl(), on, true);
}

// A value typed for a field of type t, as the search's bounds hold it.
DBField ValueOf(DBDataType t, const char* text) {
  DBField f;
  if (t == DBDTfloat)
    f.Set(fracEval(text));
  else if (t == DBDTint)
    f.Set(strtol(text, nullptr, 10));
  else
    f.Set(text);
  return f;
}

// Whether text is a value of type t: numbers for number fields (an integer text is rewritten
// in its plain form, so that matching it as text and as a number agree).
bool CheckValue(DBDataType t, char* text, size_t size) {
  if (t == DBDTfloat) {
    float v = 0;
    return fracCheck(text, &v);
  }
  if (t == DBDTint) {
    long v = 0;
    if (!intCheck(text, &v)) return false;
    snprintf(text, size, "%ld", v);
  }
  return true;
}

}  // namespace

bool testMatch(const DBField& fld, int verb, const char* a, const char* b) {
  const int n = fld.GetNV();
  if (n == 0 || a == nullptr) return false;
  const DBDataType t = fld.GetDT();
  switch (verb) {
    case 2: {
      if (b == nullptr) return false;
      if (t == DBDTint) {
        long lo = strtol(a, nullptr, 10), hi = strtol(b, nullptr, 10);
        if (hi < lo) std::swap(lo, hi);
        for (int i = n; i-- > 0;) {
          const long v = fld.GetInt(i);
          if (lo <= v && v <= hi) return true;
        }
        return false;
      }
      if (t == DBDTfloat) {
        float lo = fracEval(a), hi = fracEval(b);
        if (hi < lo) std::swap(lo, hi);
        for (int i = n; i-- > 0;) {
          const float v = fld.GetFloat(i);
          if (lo <= v && v <= hi) return true;
        }
        return false;
      }
      if (t == DBDTstring || t == DBDTunknown) {
        const char* lo = a;
        const char* hi = b;
        if (strcmp_nc(lo, hi) > 0) std::swap(lo, hi);
        for (int i = n; i-- > 0;) {
          const char* v = fld.GetString(i);
          if (strcmp_nc(lo, v) <= 0 && strcmp_nc(v, hi) <= 0) return true;
        }
      }
      return false;
    }
    case 3:
      if (*a == '\0') return true;
      for (int i = n; i-- > 0;)
        if (strstr_nc(fld.GetString(i), a) != nullptr) return true;
      return false;
    case 1:
      if (t == DBDTfloat) {
        const float e = fracEval(a);
        for (int i = n; i-- > 0;) {
          const float v = fld.GetFloat(i);
          const double d = e != 0.0f ? static_cast<double>(v) / e - 1.0 : v;
          if (-1e-6 <= d && d <= 1e-6) return true;
        }
        return false;
      }
      for (int i = n; i-- > 0;)
        if (strcmp_nc(fld.GetString(i), a) == 0) return true;
      return false;
    default:
      return false;
  }
}

// ---- Construction.

PFindWindow::PFindWindow(IBNibRef nib) {
  CreateWindow(nib);
}

PFindWindow::~PFindWindow() {
  DestroyWindow();
}

WindowPtr PFindWindow::CreateWindow(IBNibRef nib) {
  DestroyWindow();
  if (nib == nullptr) return nullptr;
  WindowRef w = nullptr;
  if (CreateWindowFromNib(nib, "SearchWindow", &w) != noErr) return nullptr;
  ControlRef root = nullptr;
  CreateRootControl(w, &root);
  PChestDrawer* pane = new PChestDrawer;
  for (const PaneItem& it : kPane) {
    PControlDrawer* d = new PControlDrawer(w, kCmdFind, it.id);
    d->grav = it.grav;
    if (it.grav == 5) d->minsize.h = d->maxsize.h = 0;
    pane->AddDrawer(d);
    ControlRef c = d->GetControl();
    switch (it.id) {
      case 130:
        sel1Control = c;
        break;
      case 131:
        sel1Text = c;
        break;
      case 132:
        verb1Control = c;
        break;
      case 133:
        value1aTextField = c;
        break;
      case 134:
        conj1TextD = d;
        break;
      case 135:
        value1bTextFieldD = d;
        break;
      case 139:
        list1Button = c;
        break;
      case 160:
        conjControl = c;
        break;
      case 140:
        sel2Control = c;
        break;
      case 141:
        sel2Text = c;
        break;
      case 142:
        verb2Control = c;
        break;
      case 143:
        value2aTextField = c;
        break;
      case 144:
        conj2TextD = d;
        break;
      case 145:
        value2bTextFieldD = d;
        break;
      case 149:
        list2Button = c;
        break;
      case 151:
        browserButton = c;
        break;
      case 152:
        catalogButton = c;
        break;
      default:
        break;
    }
  }
  GetWindowPortBounds(w, &pane->extent);
  pane->grav = 15;
  pane->minsize = Point{static_cast<short>(pane->GetHeight()), pane->LeastWidth()};
  pane->maxsize = Point{static_cast<short>(pane->GetHeight()), 0};
  pane->Drawn();
  wdrawer = new PWindowDrawer(w, pane);
  AddHandler(kEventClassCommand, kEventCommandUpdateStatus,
             static_cast<PWindowHandlerF>(&PFindWindow::HandleCommandUpdate));
  AddHandler(kEventClassCommand, kEventCommandProcess,
             static_cast<PWindowHandlerF>(&PFindWindow::HandleCommand));
  if (!FinishInstall()) DMESSAGE(DMCparameter, "Search window event handler not installed");
  PWindowHandlerBase::Show(0);
  return w;
}

// ---- The clauses.

const DBFieldInfo* PFindWindow::SearchSchema() const {
  if (mainWindow != nullptr && mainWindow->bc.Ready()) return &mainWindow->bc.phd;
  return &PDBFInfo;
}

bool PFindWindow::Find(IMainWindow* mw) {
  WindowRef w = GetWindow();
  if (w == nullptr) return false;
  mainWindow = mw != nullptr ? mw : gMain;
  if (mainWindow == nullptr) return false;
  Init();
  SelectWindow(w);
  PWindowHandlerBase::Show(1);
  return true;
}

void PFindWindow::Init() {
  if (mainWindow == nullptr) return;
  const DBFieldInfo* s = SearchSchema();
  std::vector<const char*> names;
  for (int f = 0; f < s->GetNFields(); ++f)
    if (!(s->GetDetails(f)->flags & PDBFLinternal)) names.push_back(s->GetName(f));
  qsort(names.data(), names.size(), sizeof(const char*), strpcmp);
  for (ControlRef popup : {sel1Control, sel2Control}) {
    MenuRef m = popup != nullptr ? GetControlPopupMenuHandle(popup) : nullptr;
    if (m == nullptr) continue;
    // The field chosen before stays chosen when the new schema has it.
    const std::string was = ChosenItem(popup);
    DeleteMenuItems(m, 1, CountMenuItems(m));
    int chosen = 1;
    for (size_t i = 0; i < names.size(); ++i) {
      AppendMenuItemText(m, names[i], 0, nullptr);
      if (was == names[i]) chosen = static_cast<int>(i) + 1;
    }
    SetControlMaximum(popup, static_cast<SInt32>(names.size()));
    SetControlValue(popup, chosen);
  }
  Update();
}

void PFindWindow::Update() {
  if (mainWindow == nullptr) return;
  const DBFieldInfo* s = SearchSchema();
  struct ClauseControls {
    ControlRef sel, text, verb;
    PControlDrawer *conjD, *valueBD;
    int* fid;
  } clauses[2] = {{sel1Control, sel1Text, verb1Control, conj1TextD, value1bTextFieldD, &fid1},
                  {sel2Control, sel2Text, verb2Control, conj2TextD, value2bTextFieldD, &fid2}};
  for (const ClauseControls& k : clauses) {
    const std::string name = ChosenItem(k.sel);
    *k.fid = name.empty() ? -1 : s->GetID(name.c_str());
    const DBFDetails* det = s->GetDetails(*k.fid);
    if (det != nullptr && strcmp(det->descrip, name.c_str()) != 0)
      PutControlText(k.text, det->descrip);
    else
      ClearControlText(k.text);
    const bool between = k.verb != nullptr && GetControlValue(k.verb) == 2;
    ShowItem(k.conjD, between);
    ShowItem(k.valueBD, between);
  }
  const bool second = conjControl != nullptr && GetControlValue(conjControl) != 1;
  for (ControlRef c : {sel2Control, sel2Text, verb2Control, value2aTextField, list2Button})
    Enable(c, second);
  for (PControlDrawer* d : {conj2TextD, value2bTextFieldD})
    if (d != nullptr) Enable(d->GetControl(), second);
  const bool ready = mainWindow->bc.Ready();
  Enable(catalogButton, ready);
  SetWindowDefaultButton(GetWindow(), ready ? catalogButton : browserButton);
}

void PFindWindow::Clause::Prepare(int f, int v, const char* ta, const char* tb) {
  fid = f;
  verb = v;
  a = ta;
  b = tb;
  schema = nullptr;
  rfid = -1;
}

bool PFindWindow::SetQuery() {
  if (mainWindow == nullptr || fid1 < 0) return false;
  conj = conjControl != nullptr ? GetControlValue(conjControl) : 1;
  if (conj < 1 || conj > 3 || (conj != 1 && fid2 < 0)) return false;
  if (GetControlText(value1aTextField, val1a, sizeof val1a, true) == nullptr) return false;
  verb1 = GetControlValue(verb1Control);
  verb2 = GetControlValue(verb2Control);
  if (verb1 == 2 &&
      (value1bTextFieldD == nullptr ||
       GetControlText(value1bTextFieldD->GetControl(), val1b, sizeof val1b, false) == nullptr))
    return false;
  if (conj == 1) {
    verb2 = 0;
  } else {
    if (GetControlText(value2aTextField, val2a, sizeof val2a, true) == nullptr) return false;
    if (verb2 == 2 &&
        (value2bTextFieldD == nullptr ||
         GetControlText(value2bTextFieldD->GetControl(), val2b, sizeof val2b, false) == nullptr))
      return false;
  }
  if (verb1 < 1 || verb1 > 3 || (conj != 1 && (verb2 < 1 || verb2 > 3))) return false;

  const DBFieldInfo* s = SearchSchema();
  if (HoldsNames(s, fid1)) {
    TypedBytes(val1a, sizeof val1a);
    TypedBytes(val1b, sizeof val1b);
  }
  if (conj != 1 && HoldsNames(s, fid2)) {
    TypedBytes(val2a, sizeof val2a);
    TypedBytes(val2b, sizeof val2b);
  }
  // Number fields take only numbers.
  const DBFDetails* d1 = s->GetDetails(fid1);
  const DBFDetails* d2 = conj != 1 ? s->GetDetails(fid2) : nullptr;
  if (d1 == nullptr || (conj != 1 && d2 == nullptr)) return false;
  if (verb1 != 3 && (!CheckValue(d1->dtype, val1a, sizeof val1a) ||
                     (verb1 == 2 && !CheckValue(d1->dtype, val1b, sizeof val1b))))
    return false;
  if (conj != 1 && verb2 != 3 &&
      (!CheckValue(d2->dtype, val2a, sizeof val2a) ||
       (verb2 == 2 && !CheckValue(d2->dtype, val2b, sizeof val2b))))
    return false;

  PContext& ctx = mainWindow->bc;
  querySchema = s;
  c1.Prepare(fid1, verb1, val1a, val1b);
  c2.Prepare(conj != 1 ? fid2 : -1, verb2, val2a, val2b);
  // Two clauses over one field become two-valued bounds, which only a field of several values
  // can hold: over a single-valued field the window matches itself.
  const bool pairOnSingle = conj == 2 && fid1 == fid2 && !(d1->flags & DBFDmulti);
  myMatch = !ctx.Ready() || verb1 == 3 || verb2 == 3 || pairOnSingle;
  if (myMatch) return true;

  // The catalogue's own search.
  for (const DBFDetails* d : {d1, d2})
    if (d != nullptr && d->dtype != DBDTint && d->dtype != DBDTfloat && d->dtype != DBDTstring) {
      DMESSAGE(DMCparameter, "Unknown field %d type in SetQuery", d == d1 ? 1 : 2);
      return false;
    }
  ctx.dbs.Clear();
  DBRecord lo(s), hi(s);
  const DBField lo1 = ValueOf(d1->dtype, val1a);
  const DBField hi1 = verb1 == 2 ? ValueOf(d1->dtype, val1b) : lo1;
  lo.SetField(fid1, lo1);
  hi.SetField(fid1, hi1);
  if (conj == 1) return ctx.dbs.AddSelector(lo, hi, false) == 1;
  DBField lo2 = ValueOf(d2->dtype, val2a);
  DBField hi2 = verb2 == 2 ? ValueOf(d2->dtype, val2b) : lo2;
  if (conj == 3) {
    if (ctx.dbs.AddSelector(lo, hi, false) != 1) return false;
    lo.Clear();
    hi.Clear();
  } else if (fid1 == fid2) {
    // Both clauses bound the one field: two-valued bounds.
    lo2 += lo1;
    hi2 += hi1;
  }
  lo.SetField(fid2, lo2);
  hi.SetField(fid2, hi2);
  return ctx.dbs.AddSelector(lo, hi, false) == 1;
}

bool PFindWindow::Clause::Test(const DBRecord& rec, const DBFieldInfo* from) const {
  const DBFieldInfo* rs = rec.GetFieldInfo();
  if (rs != schema) {
    schema = rs;
    rfid = rs == from ? fid : rs->XlateID(from, fid);
  }
  static const DBField none;
  return testMatch(rfid >= 0 ? rec[rfid] : none, verb, a, b);
}

bool PFindWindow::MatchQuery(const DBRecord& rec) const {
  if (mainWindow == nullptr || rec.GetFieldInfo() == nullptr) return false;
  if (!myMatch) return rec.MatchQuery(mainWindow->bc.dbs.GetQuery());
  const DBFieldInfo* s = querySchema;
  const bool one = c1.Test(rec, s);
  if (conj == 1) return one;
  if (conj == 3 && one) return true;
  if (conj == 2 && !one) return false;
  return c2.Test(rec, s);
}

// ---- Searching.

bool PFindWindow::SearchDisplay() {
  if (mainWindow == nullptr || PisBusy()) return false;
  PContext& ctx = mainWindow->bc;
  if (ctx.rdisp.GetSize() < 2) return false;
  if (!SetQuery()) {
    DMESSAGE(DMCinput, "Invalid search");
    return false;
  }
  PWindowHandlerBase::Show(0);
  ctx.SelectNone();
  if (myMatch) {
    for (int i = 0; i < ctx.rdisp.GetSize(); ++i)
      if (MatchQuery(ctx.rdisp[i])) ctx.Select(i);
  } else {
    for (int i = ctx.rdisp.FindFirst(ctx.dbs.GetQuery()); i >= 0; i = ctx.rdisp.FindNext())
      ctx.Select(i);
  }
  if (IBrowser* b = mainWindow->GetBrowser()) b->ShowSelection(false);
  return true;
}

int PFindWindow::check_rec(const DBRecord& rec, void* window) {
  PFindWindow* fw = static_cast<PFindWindow*>(window);
  if (fw->walked++ > 499) {
    checkEvents(0);
    fw->walked = 0;
    if (fw->mainWindow == nullptr || !fw->mainWindow->bc.Ready()) return -1;
  }
  if (!fw->MatchQuery(rec)) return 0;
  fw->mainWindow->bc.rdisp.NewRecord() = rec;
  return 1;
}

bool PFindWindow::SearchCatalog() {
  if (mainWindow == nullptr || PisBusy()) return false;
  PContext& ctx = mainWindow->bc;
  if (!ctx.Ready()) return false;
  if (!SetQuery()) {
    DMESSAGE(DMCinput, "Invalid search");
    return false;
  }
  PWindowHandlerBase::Show(0);
  // While events are pumped, nothing may load, close or change records, or search again; the
  // search runs to its end.
  PWorkProgress work("Searching catalog...");
  mainWindow->LoadingRecords(nullptr);
  checkEvents(0);
  if (myMatch) {
    walked = 0;
    ctx.pdb.ForEachRecord(check_rec, this, nullptr);
  } else {
    ctx.dbs.FindAll(&ctx.rdisp);
  }
  strcpy(ctx.rsrc, "*DB");
  ctx.album[0] = '\0';
  mainWindow->LoadedRecords(0);
  return true;
}

// ---- Commands.

OSStatus PFindWindow::HandleCommand(EventRef event) {
  const UInt32 cmd = PeventCommand(event);
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  switch (cmd) {
    case kCmdFindUpdate:
      Update();
      return noErr;
    case kCmdSearchDisplay:
      SearchDisplay();
      return noErr;
    case kCmdSearchCatalog:
      SearchCatalog();
      return noErr;
    case kCmdFindList1:
      if (!PisBusy()) List(fid1);
      return noErr;
    case kCmdFindList2:
      if (!PisBusy()) List(fid2);
      return noErr;
    case kResponseCancel:
    case kCmdClose:
      PWindowHandlerBase::Show(0);
      return noErr;
    default:
      // The Edit menu works on the text being typed.
      return EditTextCommand(GetWindow(), cmd, false, nullptr) ? noErr : eventNotHandledErr;
  }
}

OSStatus PFindWindow::HandleCommandUpdate(EventRef event) {
  const UInt32 cmd = PeventCommand(event);
  switch (cmd) {
    // The Edit menu stays open to the text being typed, whatever is selected in it.
    case kCmdClose:
    case kCmdCut:
    case kCmdCopy:
    case kCmdPaste:
    case kCmdSelectAll:
      enableMenuCommand(cmd, true);
      return noErr;
    case kCmdHistogram:
    case kCmdFalseColor:
      checkMenuCommand(cmd, false);
      enableMenuCommand(cmd, false);
      return noErr;
    case kCmdSetSubject:
    case kCmdSetOwner:
    case kCmdSetKeyword:
    case kCmdSetAlbum:
    case kCmdSetField:
      enableCommandSiblings(cmd, false);
      return noErr;
    default:
      break;
  }
  static const UInt32 disabled[] = {kCmdFind,
                                    kCmdSaveImage,
                                    kCmdPreviewThumbnails,
                                    kCmdLargeThumbnails,
                                    kCmdMediumThumbnails,
                                    kCmdSmallThumbnails,
                                    kCmdListCapture,
                                    kCmdListAll,
                                    kCmdListSettings,
                                    kCmdListFile,
                                    kCmdListOther,
                                    kCmdSynchronizeViews,
                                    kCmdSlideShow,
                                    kCmdSetTitle,
                                    kCmdMakeHDR,
                                    kCmdInfo,
                                    kCmdInvertSelection,
                                    kCmdPrintIndex,
                                    kCmdPrint,
                                    kCmdRenameFiles,
                                    kCmdMoveToPosition,
                                    kCmdRotateRight,
                                    kCmdRotateLeft,
                                    kCmdRotate180,
                                    kCmdFlipHorizontally,
                                    kCmdFlipVertically,
                                    kCmdFindNearby,
                                    kCmdExportCatalog,
                                    kCmdExportRecords,
                                    kCmdExportWebAlbum,
                                    kCmdSetDensity,
                                    kCmdDuplicate,
                                    kCmdAdjustDate,
                                    kCmdDeleteFiles,
                                    kCmdClear,
                                    kCmdClearWithImages,
                                    kCmdCopyFileNames,
                                    kCmdSetCaption,
                                    kCmdCopyPositions,
                                    kCmdAddComment};
  for (UInt32 d : disabled)
    if (d == cmd) {
      enableMenuCommand(cmd, false);
      return noErr;
    }
  return eventNotHandledErr;
}
