// The info window's commands: the edit protocol of its field buttons and steppers, storing
// typed text as field values, rotating and flipping, stepping through the selection, and the
// enabling of the menu commands while it is the focused window.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pappstate.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/core/phandlers.h"
#include "app/records/precfile.h"
#include "app/records/psetfield.h"
#include "app/records/psetother.h"
#include "app/export/ptrader.h"
#include "app/info/pinfo.h"
#include "app/print/pprint.h"
#include "catalog/pfieldset.h"
#include "catalog/plocate.h"
#include "toolkit/pcommand.h"
#include "toolkit/pctltext.h"

namespace {

// Most values a field is given through the info window: an entry on the add slot of a field
// this full is refused (the values it holds are all kept and can be edited).
constexpr int kFullField = DB_MAXARRAY;

// The field rows of the settings tab.
struct Row {
  UInt32 commit;
  UInt32 reshow;
  PDBFieldID field;
  long button;
  long text;
  long stepper;  // 0: none
};
constexpr Row kRows[] = {{kCmdSetSubject, kCmdShowSubject, PDBFsubject, 142, 132, 0},
                         {kCmdSetTitle, kCmdShowTitle, PDBFtitle, 143, 133, 0},
                         {kCmdSetOwner, kCmdShowOwner, PDBFowner, 144, 134, 0},
                         {kCmdSetKeyword, kCmdShowKeyword, PDBFkeyword, 146, 136, 135},
                         {kCmdAddComment, kCmdShowComment, PDBFcomment, 148, 138, 137},
                         {kCmdSetCaption, kCmdShowCaption, PDBFcaption, 151, 141, 139}};

const Row* RowOf(UInt32 code) {
  for (const Row& r : kRows)
    if (r.commit == code || r.reshow == code) return &r;
  return nullptr;
}

// User row n (1-9) of a code 'oth1'..'oth9' or 'Oth1'..'Oth9'; 0 for another code.
int UserRowOf(UInt32 code, bool* commit) {
  if (code >= kCmdSetField1 && code <= kCmdSetField9) {
    *commit = true;
    return static_cast<int>(code - (kCmdSetField1 - 1));
  }
  if (code >= kCmdShowField1 && code <= kCmdShowField9) {
    *commit = false;
    return static_cast<int>(code - (kCmdShowField1 - 1));
  }
  return 0;
}

// Keys of the raw key events (the platform's codes).
constexpr UInt32 kKeyTab = 0x01000001, kKeyBacktab = 0x01000002, kKeyReturn = 0x01000004,
                 kKeyEnter = 0x01000005;

// The recent-value items of a setting menu: the three letters of first followed by a digit
// from '1' up to last.
bool InRange(UInt32 cmd, OSType first, char last) {
  const UInt32 digit = cmd & 0xFFu;
  return (cmd & 0xFFFFFF00u) == (first & 0xFFFFFF00u) && digit >= '1' &&
         digit <= static_cast<UInt32>(last);
}

bool RecentItem(UInt32 cmd) {
  return InRange(cmd, kCmdRecentSubject1, '7') || InRange(cmd, kCmdRecentOwner1, '5') ||
         InRange(cmd, kCmdRecentAlbum1, '7') || InRange(cmd, kCmdRecentKeyword1, '9');
}

// Stores field fid of rec as the values of cur (nv > 1) but value k.
bool StoreWithout(DBRecord* rec, int fid, const DBField& cur, int k) {
  const int nv = cur.GetNV();
  const auto n = static_cast<size_t>(nv);
  switch (cur.GetDT()) {
    case DBDTint: {
      std::vector<long> v(n);
      cur.Get(v.data(), nv);
      v.erase(v.begin() + k);
      return rec->SetField(fid, v.data(), nv - 1) == 1;
    }
    case DBDTfloat: {
      std::vector<float> v(n);
      cur.Get(v.data(), nv);
      v.erase(v.begin() + k);
      return rec->SetField(fid, v.data(), nv - 1) == 1;
    }
    case DBDTstring: {
      std::vector<std::string> v;
      v.reserve(n);
      for (int i = 0; i < nv; ++i)
        if (i != k) v.emplace_back(cur.GetString(i));
      std::vector<const char*> p;
      p.reserve(n);
      for (const std::string& x : v) p.push_back(x.c_str());
      return rec->SetField(fid, p.data(), nv - 1) == 1;
    }
    default:
      return false;
  }
}

bool AskImage(char* path, int len, DBRecord* rec) {
  return chooseImage(path, len, rec);
}

}  // namespace

int PInfoWindow::DisplayIndex() const {
  PContext* ctx = browser != nullptr ? browser->GetContext() : nullptr;
  return ctx != nullptr && irec.GetFieldInfo() != nullptr ? ctx->FindL(irec) : -1;
}

// ---- Commands.

OSStatus PInfoWindow::HandleCommand(EventRef event) {
  const UInt32 cmd = PeventCommand(event);
  if (cmd == 0) return eventNotHandledErr;
  dmessage_last_class = DMCnerr;
  alertLastClass = DMCnerr;
  // Text typed into a box is stored before any other command runs; the box's own button and
  // stepper take it as they are.
  bool commit = false;
  const int typed = TypedBox();
  if (typed >= 0) {
    const Row* r = RowOf(cmd);
    const int n = UserRowOf(cmd, &commit);
    const int k = r != nullptr ? static_cast<int>(r - kRows) : n > 0 ? 5 + n : -1;
    if (k != typed) StoreTyped();
  }
  const bool editable = DisplayIndex() >= 0;
  if (!editable) SetWindowDefaultButton(GetWindow(), nullptr);
  if (const int n = UserRowOf(cmd, &commit)) {
    const OtherRow& row = other[n];
    if (!editable || row.fieldID < 0) return noErr;
    if (commit) {
      FieldButton(cmd);
    } else {
      ShowField(kSigInfoOther, 150 + n, row.fieldID, ControlIndex(kSigInfoOther, 140 + n), true);
      SetDefaultButton(kSigInfoOther, 130 + n);
    }
    return noErr;
  }
  if (const Row* r = RowOf(cmd)) {
    if (cmd == r->commit) {
      if (editable)
        FieldButton(cmd);
      else if (cmd == kCmdSetSubject || cmd == kCmdSetOwner || cmd == kCmdSetKeyword)
        setField(cmd);  // the main window's selection
      return noErr;
    }
    if (cmd == kCmdShowCaption) {
      ShowCaption(editable);
      return noErr;
    }
    ShowField(kSigInfoSettings, r->text, Field(r->field),
              r->stepper ? ControlIndex(kSigInfoSettings, r->stepper) : 0, editable);
    if (editable) SetDefaultButton(kSigInfoSettings, r->button);
    return noErr;
  }
  if (cmd == kCmdSetAlbum || RecentItem(cmd)) {
    setField(cmd);
    return noErr;
  }
  switch (cmd) {
    case kCmdShowHistory:
      ShowField(kSigInfoFile, 138, Field(PDBFhistory), ControlIndex(kSigInfoFile, 139), false);
      return noErr;
    case kCmdAdvance:
      Advance();
      return noErr;
    case kCmdOpenImage:
      return OpenRecord() ? noErr : userCanceledErr;
    case kCmdAddToCatalog:
      if (editable && browser->GetMainWindow() != nullptr) browser->GetMainWindow()->AddRecords();
      return noErr;
    case kCmdDuplicate:
      if (editable && browser->GetMainWindow() != nullptr)
        browser->GetMainWindow()->DuplicateRecords();
      return noErr;
    case kCmdClose:
      Close();
      return noErr;
    case kCmdRotateRight:
    case kCmdRotateLeft:
    case kCmdRotate180:
    case kCmdFlipHorizontally:
    case kCmdFlipVertically:
      Reorient(cmd);
      return noErr;
    case kCmdSetField:
      if (gMain != nullptr) gMain->SetOther(cmd);
      return noErr;
    case kCmdSetDensity:
      if (gMain != nullptr) gMain->SetDensity(-1.0f);
      return noErr;
    case kCmdPrint:
      printImages();
      return noErr;
    default:
      return PsharedRecordCommand(cmd) || PcopyCommand(cmd) ? noErr : eventNotHandledErr;
  }
}

void PInfoWindow::FieldButton(unsigned long code) {
  unsigned long sig = kSigInfoSettings;
  long button = 0, text = 0, stepper = 0;
  int fid = -1;
  bool commit = false;
  const bool caption = code == kCmdSetCaption;
  if (const int n = UserRowOf(static_cast<UInt32>(code), &commit)) {
    sig = kSigInfoOther;
    button = 130 + n;
    text = 150 + n;
    stepper = 140 + n;
    fid = other[n].fieldID;
  } else if (const Row* r = RowOf(static_cast<UInt32>(code))) {
    button = r->button;
    text = r->text;
    stepper = r->stepper;
    fid = Field(r->field);
  }
  if (fid < 0 || irec.GetFieldDetails(fid) == nullptr) return;
  if (IsDefaultButton(sig, button)) {
    SetField(sig, text, fid, caption ? 139 : stepper);
    return;
  }
  if (caption && irec[Field(PDBFalbum)].GetNV() == 0) return;  // a caption belongs to an album
  if (!caption && stepper != 0) SetControlIndex(sig, stepper, irec[fid].GetNV());
  if (tabDrawer != nullptr) tabDrawer->Select(sig == kSigInfoOther ? 4 : 1);
  if (caption)
    ShowCaption(true);
  else
    ShowField(sig, text, fid, stepper ? ControlIndex(sig, stepper) : 0, true);
  SetDefaultButton(sig, button);
}

void PInfoWindow::ShowCaption(bool edit) {
  const int fa = Field(PDBFalbum);
  const int na = fa >= 0 ? irec[fa].GetNV() : 0;
  if (na == 0) return;
  int i = ControlIndex(kSigInfoSettings, 139) % na;
  if (i < 0) i += na;
  SetControlIndex(kSigInfoSettings, 139, i);
  ShowField(kSigInfoSettings, 140, fa, i, false);
  ShowField(kSigInfoSettings, 141, Field(PDBFcaption), i, edit);
  if (edit) SetDefaultButton(kSigInfoSettings, 151);
}

void PInfoWindow::Advance() {
  PContext* ctx = browser != nullptr ? browser->GetContext() : nullptr;
  const int i = DisplayIndex();
  if (ctx == nullptr || i < 0) return;
  const int n = ctx->rdisp.GetSize();
  const int dir = ControlIndex(kSigInfo, 130) < 0 ? -1 : 1;
  int j = i;
  do {
    j += dir;
    if (j >= n) j = 0;
    if (j < 0) j = n - 1;
  } while (j != i && !ctx->IsSelected(j));
  ShowInfo(browser, j, true);
}

bool PInfoWindow::OpenRecord() {
  if (irec.GetFieldInfo() == nullptr) return false;
  PLeftRecords left("Open");
  if (!left.Named(irec)) {
    left.Tell();
    return false;
  }
  char path[1024];
  const PLocateFileRes r = PlocateFile(path, sizeof path, &irec, AskImage);
  if (r == PLFRfail) return false;
  if (r != PLFRok) UpdateFields();
  if (gImager != nullptr && gImager->AddImage(irec, false)) gImager->Present();
  return true;
}

// ---- Storing a value.

bool PInfoWindow::SetField(unsigned long sig, long cid, int fid, long ndxid) {
  PContext* ctx = browser != nullptr ? browser->GetContext() : nullptr;
  const int di = DisplayIndex();
  ControlRef c = Control(sig, cid);
  const DBFDetails* det = irec.GetFieldDetails(fid);
  if (ctx == nullptr || di < 0 || c == nullptr || det == nullptr) return false;
  const DBField& cur = irec[fid];
  const int nv = cur.GetNV();
  const bool caption = fid == Field(PDBFcaption);
  int index = 0;
  if (caption) {
    const int na = irec[Field(PDBFalbum)].GetNV();
    if (na == 0) return false;
    index = ControlIndex(sig, ndxid) % na;
    if (index < 0) index += na;
  } else {
    const int nset = (det->flags & DBFDmulti) || nv == 0 ? nv + 1 : 1;
    index = (ndxid != 0 ? ControlIndex(sig, ndxid) : -1) % nset;
    if (index < 0) index += nset;
  }
  std::string text;
  if (!PcontrolText(c, &text, kTextLen)) return false;
  if (text.compare(0, 5, "(Add ") == 0) return false;  // the placeholder, untouched

  if (!browser->NewChange("Set")) return false;
  DBRecord* rec = browser->ChangeRecord(di);
  const int pfid = PDBFInfo.XlateID(irec.GetFieldInfo(), fid);
  bool ok = rec != nullptr;
  bool repeat = false;
  if (ok && text.empty()) {
    // An empty entry deletes the value at the index; the add slot and a field's only value
    // that must be kept stay.
    if (index >= nv || (nv == 1 && (det->flags & PDBFLrequired))) {
      ok = false;
    } else if (nv == 1) {
      rec->ClearField(fid);
      index = 0;
    } else {
      ok = StoreWithout(rec, fid, cur, index);
      index = irec[fid].GetNV();
    }
  } else if (ok && index >= nv && nv >= kFullField) {
    DMESSAGE(DMCinput, "Field %s holds as many values as it can", irec.GetFieldName(fid));
    ok = false;
  } else if (ok) {
    switch (det->dtype) {
      case DBDTfloat: {
        float v = 0;
        if (!fracCheck(text.c_str(), &v)) {
          DMESSAGE(DMCinput, "%s is not a number for %s", text.c_str(), irec.GetFieldName(fid));
          ok = false;
          break;
        }
        std::vector<float> vals(static_cast<size_t>(nv > index ? nv : index + 1));
        cur.Get(vals.data(), nv);
        vals[index] = v;
        ok = rec->SetField(fid, vals.data(), static_cast<int>(vals.size())) == 1;
        repeat = ok;
        break;
      }
      case DBDTint: {
        long v = 0;
        if (!intCheck(text.c_str(), &v)) {
          DMESSAGE(DMCinput, "%s is not a whole number for %s", text.c_str(),
                   irec.GetFieldName(fid));
          ok = false;
          break;
        }
        std::vector<long> vals(static_cast<size_t>(nv > index ? nv : index + 1));
        cur.Get(vals.data(), nv);
        vals[index] = v;
        ok = rec->SetField(fid, vals.data(), static_cast<int>(vals.size())) == 1;
        repeat = ok;
        break;
      }
      case DBDTstring: {
        const PStringSet* set = pfid == PDBFsubject   ? &ctx->subjSet
                                : pfid == PDBFowner   ? &ctx->ownrSet
                                : pfid == PDBFkeyword ? &ctx->keywSet
                                                      : nullptr;
        if (const char* m = set != nullptr ? typoMatch(text.c_str(), *set) : nullptr) {
          const std::string match = m;
          const DBFieldInfo* ds = ctx->rdisp.GetFieldInfo();
          const char* name = ds != nullptr ? ds->GetName(ds->XlateID(&PDBFInfo, pfid)) : nullptr;
          char question[600];
          snprintf(question, sizeof question, "Substitute existing %s '%.256s' instead?",
                   name != nullptr ? name : irec.GetFieldName(fid), match.c_str());
          // A wait broken off by a mount asks again; one that cannot be shown is a cancel.
          OSType answer = 0;
          for (int tries = 0; answer == 0 && tries < 8; ++tries)
            answer = confirmDialog(question, "No", kResponseOK);
          if (answer == kResponseOK) {
            text = match;
            PutControlText(c, text.c_str());
          } else if (answer != kResponseCustom) {
            ok = false;
            break;
          }
        }
        std::vector<std::string> vals;
        vals.reserve(static_cast<size_t>(nv) + 1);
        for (int k = 0; k < nv; ++k) vals.emplace_back(cur.GetString(k));
        if (pfid == PDBFsubject || pfid == PDBFowner || pfid == PDBFkeyword || pfid == PDBFcomment)
          for (const std::string& v : vals)
            if (v == text) ok = false;  // already there
        if (!ok) break;
        if (static_cast<int>(vals.size()) <= index) vals.resize(static_cast<size_t>(index) + 1);
        vals[static_cast<size_t>(index)] = text;
        std::vector<const char*> ptrs;
        ptrs.reserve(vals.size());
        for (const std::string& v : vals) ptrs.push_back(v.c_str());
        ok = rec->SetField(fid, ptrs.data(), static_cast<int>(ptrs.size())) == 1;
        repeat = ok && !caption;
        break;
      }
      default:
        DMESSAGE(DMCparameter, "Unknown data type in PInfoWindow::SetField");
        ok = false;
        break;
    }
  }
  if (!ok) {
    browser->NoChange();
    ShowField(sig, cid, fid, index, false);
    return false;
  }
  if (repeat && pfid >= 0) repeatSetting(static_cast<PDBFieldID>(pfid), text.c_str());
  if (ndxid != 0) SetControlIndex(sig, ndxid, index);
  Remember(sig, cid);  // the text shown is the value stored
  if (browser->CompleteChange() > 0) {
    if (gMain != nullptr) gMain->EchoAction("Set", 1);
    bool rev = false;
    if (pfid >= 0 && browser->GetSort(&rev) == pfid) {
      browser->SortDisplay(-1, false);
      ctx->SelectNone();
      ctx->Select(ctx->FindL(irec));
      browser->ShowSelection(true);
    }
  }
  if (gImager != nullptr && IsWindowVisible(gImager->GetWindow())) gImager->Redraw();
  if (gMain != nullptr) {
    if (pfid == PDBFsubject) {
      gMain->UpdateSelectorList(3);
      gMain->UpdateSelectorList(2);
    } else if (pfid == PDBFowner) {
      gMain->UpdateSelectorList(6);
    } else if (pfid == PDBFkeyword) {
      gMain->UpdateSelectorList(5);
    }
  }
  return true;
}

// ---- Rotating and flipping.

bool PInfoWindow::Reorient(unsigned long cmd) {
  if (irec.GetFieldInfo() == nullptr) return false;
  bool opened = false;
  if (browser != nullptr && gMain != nullptr && browser == gMain->GetBrowser()) {
    const int i = DisplayIndex();
    if (i >= 0 && browser->NewChange("Reorient")) {
      opened = true;
      browser->ChangeRecord(i);
    }
  }
  if (!reorientRecord(&irec, static_cast<OSType>(cmd))) {
    if (opened) browser->NoChange();
    return false;
  }
  if (thumbDrawer != nullptr) thumbDrawer->Redraw();
  if (opened && browser->CompleteChange() > 0 && gMain != nullptr)
    gMain->EchoAction("Reoriented", 1);
  if (gImager != nullptr && IsWindowVisible(gImager->GetWindow())) gImager->Redraw();
  return true;
}

// ---- Enabling.

OSStatus PInfoWindow::HandleCommandUpdate(EventRef event) {
  const UInt32 cmd = PeventCommand(event);
  // The commands of the main window's selection act on the shown record when it is the one
  // record selected there.
  DBRecord* lone = loneRecord(nullptr);
  const bool sel = browser != nullptr && gMain != nullptr && browser == gMain->GetBrowser() &&
                   lone != nullptr && irec.IsLinked(lone);
  switch (cmd) {
    case kCmdSetAlbum:
    case kCmdSetSubject:
    case kCmdSetOwner:
    case kCmdSetKeyword:
      if (sel)
        checkSettings(cmd);
      else
        enableCommandSiblings(cmd, false);
      return noErr;
    case kCmdSetField:
      if (sel)
        gMain->CheckOtherSettings();
      else
        enableCommandSiblings(cmd, false);
      return noErr;
    case kCmdRepeatSetting:
      if (sel)
        checkRepeatSetting();
      else
        enableMenuCommand(cmd, false);
      return noErr;
    case kCmdSetTitle:
    case kCmdAddComment:
    case kCmdCopyFileNames:
    case kCmdAdjustDate:
    case kCmdSetDensity:
    case kCmdPrint:
    case kCmdRenameFiles:
      enableMenuCommand(cmd, sel);
      return noErr;
    case kCmdDuplicate:
      enableMenuCommand(cmd, sel && gMain->CanDuplicate());
      return noErr;
    case kCmdAddToCatalog: {
      IMainWindow* mw = browser != nullptr ? browser->GetMainWindow() : nullptr;
      enableMenuCommand(
          cmd, DisplayIndex() >= 0 && mw != nullptr && mw->bc.Ready() && !mw->bc.ReadOnly());
      return noErr;
    }
    case kCmdOpenImage:  // the shown record's picture
      enableMenuCommand(cmd, irec.GetFieldInfo() != nullptr);
      return noErr;
    case kCmdSetCaption:
      enableMenuCommand(cmd, sel && irec[Field(PDBFalbum)].GetNV() > 0);
      return noErr;
    case kCmdCopyPositions:
    case kCmdFindNearby:
      enableMenuCommand(cmd, sel && checkGlobalPositions());
      return noErr;
    case kCmdRotateRight:
    case kCmdRotateLeft:
    case kCmdRotate180:
    case kCmdFlipHorizontally:
    case kCmdFlipVertically:
      enableMenuCommand(cmd, tabDrawer != nullptr && tabDrawer->GetSelected() == 5);
      return noErr;
    case kCmdClose:
      enableMenuCommand(cmd, true);
      return noErr;
    case kCmdHistogram:
    case kCmdFalseColor:
      checkMenuCommand(cmd, false);
      enableMenuCommand(cmd, false);
      return noErr;
    default:
      break;
  }
  static const UInt32 disabled[] = {kCmdFind,
                                    kCmdInvertSelection,
                                    kCmdDeleteFiles,
                                    kCmdClear,
                                    kCmdClearWithImages,
                                    kCmdCopy,
                                    kCmdCut,
                                    kCmdPaste,
                                    kCmdMoveToPosition,
                                    kCmdSlideShow,
                                    kCmdSynchronizeViews,
                                    kCmdMakeHDR,
                                    kCmdPrintIndex,
                                    kCmdSelectAll,
                                    kCmdSaveImage,
                                    kCmdPreviewThumbnails,
                                    kCmdLargeThumbnails,
                                    kCmdMediumThumbnails,
                                    kCmdSmallThumbnails,
                                    kCmdListAll,
                                    kCmdListCapture,
                                    kCmdListSettings,
                                    kCmdListFile,
                                    kCmdListOther};
  for (UInt32 d : disabled)
    if (d == cmd) {
      enableMenuCommand(cmd, false);
      return noErr;
    }
  return eventNotHandledErr;
}

// ---- Text typed into the boxes.

PInfoWindow::Box PInfoWindow::BoxAt(int k) {
  if (k >= 0 && k < 6) {
    const Row& r = kRows[k];
    return Box{kSigInfoSettings, r.text, r.button, r.stepper};
  }
  const long n = k - 5;
  return Box{kSigInfoOther, 150 + n, 130 + n, 140 + n};
}

int PInfoWindow::BoxOf(unsigned long sig, long cid) {
  for (int k = 0; k < kBoxes; ++k) {
    const Box b = BoxAt(k);
    if (b.sig == sig && b.text == cid) return k;
  }
  return -1;
}

int PInfoWindow::BoxField(int k) const {
  if (k < 0 || k >= kBoxes || irec.GetFieldInfo() == nullptr) return -1;
  const int fid = k < 6 ? Field(kRows[k].field) : other[k - 5].fieldID;
  return fid >= 0 && irec.GetFieldDetails(fid) != nullptr ? fid : -1;
}

void PInfoWindow::Remember(unsigned long sig, long cid) const {
  const int k = BoxOf(sig, cid);
  if (k >= 0 && !PcontrolText(Control(sig, cid), &shownText[k], kTextLen)) shownText[k].clear();
}

int PInfoWindow::TypedBox() const {
  if (GetWindow() == nullptr || irec.GetFieldInfo() == nullptr) return -1;
  for (int k = 0; k < kBoxes; ++k) {
    const Box b = BoxAt(k);
    std::string text;
    if (BoxField(k) >= 0 && PcontrolText(Control(b.sig, b.text), &text, kTextLen) &&
        text != shownText[k])
      return k;
  }
  return -1;
}

bool PInfoWindow::ReadOnlyRecord() const {
  PContext* ctx = browser != nullptr ? browser->GetContext() : nullptr;
  const int di = DisplayIndex();
  return ctx != nullptr && di >= 0 && ctx->Ready() && ctx->pdb.ReadOnly() &&
         ctx->GetDBOrig(di) != nullptr;
}

void PInfoWindow::LockBoxes() const {
  if (GetWindow() == nullptr) return;
  const bool editable = DisplayIndex() >= 0 && !ReadOnlyRecord();
  const int fa = Field(PDBFalbum);
  const bool albums = fa >= 0 && irec[fa].GetNV() > 0;
  for (int k = 0; k < kBoxes; ++k) {
    const Box b = BoxAt(k);
    const Boolean locked = !editable || BoxField(k) < 0 || (k == 5 && !albums);
    if (ControlRef c = Control(b.sig, b.text))
      SetControlData(c, kControlEntireControl, kControlEditTextLockedTag, sizeof locked, &locked);
  }
}

bool PInfoWindow::StoreTyped() {
  if (storing || TypedBox() < 0 || DisplayIndex() < 0 || ReadOnlyRecord() ||
      browser->ChangeOpen() || PisBusy())
    return false;  // a box that cannot be stored now keeps its text for the next try
  bool stored = false;
  storing = true;
  for (int k, n = 0; n < kBoxes && (k = TypedBox()) >= 0 && DisplayIndex() >= 0; ++n) {
    const Box b = BoxAt(k);
    stored = SetField(b.sig, b.text, BoxField(k), b.stepper) || stored;
    Remember(b.sig, b.text);  // stored, or refused and the stored value shown again
  }
  storing = false;
  return stored;
}

OSStatus PInfoWindow::HandleContentClick(EventRef event) {
  const int k = TypedBox();
  Point pt{0, 0};
  if (k >= 0 && wdrawer != nullptr &&
      GetEventParameter(event, kEventParamMouseLocation, typeQDPoint, nullptr, sizeof pt, nullptr,
                        &pt) == noErr &&
      wdrawer->Point2Local(&pt)) {
    // A click in the box goes on typing; its own armed button commits it itself.
    const Box b = BoxAt(k);
    ControlRef box = Control(b.sig, b.text), button = Control(b.sig, b.button);
    const bool inBox = box != nullptr && TestControl(box, pt) != kControlNoPart;
    const bool commits = button != nullptr && TestControl(button, pt) != kControlNoPart &&
                         IsDefaultButton(b.sig, b.button);
    if (!inBox && !commits) StoreTyped();
  }
  return PWindowHandlerBase::HandleClick(event);
}

OSStatus PInfoWindow::HandleKey(EventRef event) {
  UInt32 key = 0, mods = 0;
  GetEventParameter(event, kEventParamKeyCode, typeUInt32, nullptr, sizeof key, nullptr, &key);
  GetEventParameter(event, kEventParamKeyModifiers, typeUInt32, nullptr, sizeof mods, nullptr,
                    &mods);
  if (key == kKeyTab || key == kKeyBacktab) {
    StoreTyped();
    return eventNotHandledErr;  // the focus moves on
  }
  if ((key != kKeyReturn && key != kKeyEnter) || (mods & (cmdKey | optionKey | controlKey)))
    return eventNotHandledErr;
  // Return in a box whose button is not armed stores what was typed there; in an armed row it
  // presses the button, and in the caption it starts a new line.
  ControlRef focus = nullptr;
  GetKeyboardFocus(GetWindow(), &focus);
  int k = -1;
  for (int i = 0; i < kBoxes && k < 0; ++i)
    if (focus != nullptr && Control(BoxAt(i).sig, BoxAt(i).text) == focus) k = i;
  if (k < 0 || k == 5 || IsDefaultButton(BoxAt(k).sig, BoxAt(k).button)) return eventNotHandledErr;
  StoreTyped();
  return noErr;
}

OSStatus PInfoWindow::HandleDeactivated(EventRef) {
  StoreTyped();
  return eventNotHandledErr;
}
