// The setting commands over the display's schema: density, position and other fields, and the
// field-name menu.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/records/psetfield.h"
#include "app/records/psetother.h"
#include "app/core/pwindows.h"
#include "app/mainwin/pmainw.h"
#include "app/mainwin/psettings.h"
#include "catalog/pdbase.h"
#include "catalog/pfieldset.h"
#include "platform/pmenu.h"
#include "support/cnumber.h"
#include "support/dmessage.h"

namespace {

IBrowser* Browser() {
  return gMain ? gMain->GetBrowser() : nullptr;
}

void Finish(IBrowser* b, bool redraw) {
  const int n = b->CompleteChange();
  if (redraw && gImager) gImager->Redraw();
  if (gInfo) gInfo->UpdateFields();
  if (n > 0)
    gMain->EchoAction("Changed", n);
  else
    gMain->NoChange();
}

// The field-name menu's items: the menu and index of the 'othr' item.
bool OtherItem(MenuRef* menu, MenuItemIndex* item) {
  return GetIndMenuItemWithCommandID(nullptr, kCmdSetField, 1, menu, item) == noErr &&
         *menu != nullptr;
}

}  // namespace

// A typed number read whole (see fracCheck); NaN, reported (class "input"), for text that is
// not one (letters, a zero denominator, a value beyond the float range).
static float typedNumber(const char* s) {
  float v = 0;
  if (s != nullptr && fracCheck(s, &v)) return v;
  DMESSAGE(DMCinput, "Not a number: '%.60s'", s != nullptr ? s : "");
  return NAN;
}

void setDensity(float d) {
  IBrowser* b = Browser();
  if (b == nullptr) return;
  PContext& bc = gMain->bc;
  const DBFieldInfo* fi = bc.rdisp.GetFieldInfo();
  if (fi == nullptr || fi->XlateID(&PDBFInfo, PDBFxdensity) < 0 ||
      fi->XlateID(&PDBFInfo, PDBFydensity) < 0 || bc.TotalSelected() == 0)
    return;
  if (!(d > 0)) {
    float def = 300.0f;
    for (int i = 0; bc.NextSelected(&i); ++i) {
      float x = 0;
      if (PDBgetFloat(bc.rdisp.Get(i), PDBFxdensity, &x) && x > 0) {
        def = x;
        break;
      }
    }
    char buf[64];
    Csnprintf(buf, sizeof buf, "%.1f", static_cast<double>(def));
    if (getInput(buf, sizeof buf, "Enter output print density (pixels per inch)") != kResponseOK)
      return;
    d = typedNumber(buf);
    if (!(d > 0)) return;
  }
  if (!b->NewChange("Set Density")) return;
  for (int i = 0; bc.NextSelected(&i); ++i) {
    DBRecord* r = b->ChangeRecord(i);
    if (r == nullptr) continue;
    float x = 0, y = 0;
    // A density of 0 or less is no density: the ratio cannot be kept from it.
    if (PDBgetFloat(*r, PDBFxdensity, &x) && x > 0 && PDBgetFloat(*r, PDBFydensity, &y))
      y = static_cast<float>(static_cast<double>(y) * d / x);
    else
      y = d;
    PDBsetFloat(r, PDBFydensity, y);
    PDBsetFloat(r, PDBFxdensity, d);
  }
  Finish(b, true);
}

void setPosition(int pos) {
  IBrowser* b = Browser();
  if (b == nullptr || b->ChangeOpen()) return;
  PContext& bc = gMain->bc;
  const int n = bc.rdisp.GetSize(), s = bc.TotalSelected();
  if (s == 0 || s >= n) return;
  int f = 0;
  bc.NextSelected(&f);
  if (pos < 0) pos = positionDialog(n - s, f);
  if (pos < 0) return;
  if (pos > n - s) pos = n - s;
  bool block = true;
  for (int i = f; i < f + s; ++i) block = block && bc.IsSelected(i);
  if (pos == f && block) return;
  // The new order: the selected records at pos, pos + 1, ...; the others around them as they
  // were.
  std::vector<int> sel, rest, order;
  sel.reserve(static_cast<size_t>(s));
  rest.reserve(static_cast<size_t>(n - s));
  for (int i = 0; i < n; ++i) (bc.IsSelected(i) ? sel : rest).push_back(i);
  order.insert(order.end(), rest.begin(), rest.begin() + pos);
  order.insert(order.end(), sel.begin(), sel.end());
  order.insert(order.end(), rest.begin() + pos, rest.end());
  std::vector<DBRecord> moved(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k)
    moved[static_cast<size_t>(k)].Take(&bc.rdisp[order[static_cast<size_t>(k)]]);
  for (int k = 0; k < n; ++k) bc.rdisp[k].Take(&moved[static_cast<size_t>(k)]);
  bc.SelectNone();
  for (int k = pos; k < pos + s; ++k) bc.Select(k, true);
  gMain->SortRecords(kCmdSortManual, -1);
  b->ShowSelection(true);
}

void setOther(unsigned long cmd) {
  IBrowser* b = Browser();
  if (b == nullptr) return;
  PContext& bc = gMain->bc;
  const DBFieldInfo* fi = bc.rdisp.GetFieldInfo();
  if (fi == nullptr) return;
  int fid = -1;
  if (cmd == kCmdSetField) {
    fid = editField(-1);
    fi = bc.rdisp.GetFieldInfo();
  } else {
    MenuRef m = nullptr;
    MenuItemIndex item = 0;
    char name[256];
    UInt32 len = 0;
    if (GetIndMenuItemWithCommandID(nullptr, static_cast<MenuCommand>(cmd), 1, &m, &item) !=
            noErr ||
        GetMenuItemText(m, item, name, sizeof name - 1, &len) != noErr || len >= sizeof name)
      return;
    name[len] = '\0';
    fid = fi->GetID(name);
  }
  const DBFDetails* det = fi ? fi->GetDetails(fid) : nullptr;
  if (det == nullptr || bc.TotalSelected() == 0) return;
  const int pf = PDBFInfo.XlateID(fi, fid);
  switch (pf) {
    case PDBFfile:
    case PDBFnbytes:
    case PDBFhashval:
    case PDBFmodtime:
    case PDBFposition:
    case PDBFcrop:
    case PDBFredeye:
    case PDBFxsize:
    case PDBFysize:
      DMESSAGE(DMCinput, "Direct input of %s unsupported", det->descrip);
      return;
    case PDBFcapdate:
    case PDBFsubject:
    case PDBFtitle:
    case PDBFowner:
    case PDBFalbum:
    case PDBFcaption:
    case PDBFkeyword:
    case PDBFcomment: {
      static const UInt32 codes[] = {kCmdAdjustDate, kCmdSetSubject, kCmdSetTitle,
                                     kCmdSetOwner,   kCmdSetAlbum,   kCmdSetCaption,
                                     kCmdSetKeyword, kCmdAddComment};
      static const int fields[] = {PDBFcapdate, PDBFsubject, PDBFtitle,   PDBFowner,
                                   PDBFalbum,   PDBFcaption, PDBFkeyword, PDBFcomment};
      for (int k = 0; k < 8; ++k)
        if (fields[k] == pf) {
          HICommand hc{0, codes[k], nullptr, 0};
          ProcessHICommand(&hc);
        }
      return;
    }
    default:
      break;
  }
  const bool multi = (det->flags & DBFDmulti) != 0;
  const char* type = det->dtype == DBDTint     ? "integer"
                     : det->dtype == DBDTfloat ? "real"
                                               : "string";
  static char entry[4096];
  entry[0] = '\0';
  if (!multi) {
    // The value every selected record shares, as text; empty when they differ.
    std::string common;
    bool first = true;
    for (int i = 0; bc.NextSelected(&i); ++i) {
      const DBField& v = bc.rdisp.Get(i)[fid];
      const std::string t = v.IsSet() ? v.GetString(0) : "";
      if (first) common = t;
      first = false;
      if (t != common) {
        common.clear();
        break;
      }
    }
    snprintf(entry, sizeof entry, "%s", common.c_str());
  }
  char prompt[160];
  snprintf(prompt, sizeof prompt, multi ? "Add %s value for %s" : "Set %s value for %s", type,
           det->descrip);
  if (getInput(entry, sizeof entry, prompt) != kResponseOK) return;
  const bool clear = entry[0] == '\0';
  if (clear && (multi || (det->flags & PDBFLrequired))) return;
  // The typed value is read whole before anything changes.
  DBField value;
  if (!clear) {
    if (det->dtype == DBDTint) {
      long v = 0;
      if (!intCheck(entry, &v)) {
        DMESSAGE(DMCinput, "Not a whole number: '%.60s'", entry);
        return;
      }
      value.Set(v);
    } else if (det->dtype == DBDTfloat) {
      const float v = typedNumber(entry);
      if (!std::isfinite(v)) return;
      value.Set(v);
    } else {
      value.Set(entry);
    }
  }
  if (!b->NewChange("Set")) return;
  if (pf >= 0)
    repeatSetting(static_cast<PDBFieldID>(pf), value);
  else
    repeatSetting(PDBFend, nullptr);  // a user field has no photo field number to repeat by
  for (int i = 0; bc.NextSelected(&i); ++i) {
    DBRecord* r = b->ChangeRecord(i);
    if (r == nullptr) continue;
    if (clear) {
      r->ClearField(fid);
      continue;
    }
    DBField v = value;
    if (multi) {
      if (const DBField* cur = r->GetField(fid)) {
        DBField sum = *cur;
        sum |= value;
        v = sum;
      }
    }
    if (!r->SetField(fid, v)) DMESSAGE(DMCwarning, "Cannot assign %s", fi->GetName(fid));
  }
  Finish(b, false);
}

void checkOtherSettings() {
  MenuRef menu = nullptr;
  MenuItemIndex item = 0;
  if (!OtherItem(&menu, &item)) return;
  // The items of the last update go: those below the separator under 'othr'.
  const UInt32 count = CountMenuItems(menu);
  if (count > item + 1u)
    DeleteMenuItems(menu, static_cast<MenuItemIndex>(item + 2), count - item - 1);
  if (CountMenuItems(menu) == item) AppendMenuItemText(menu, "-", 0, nullptr);
  PContext* bc = gMain ? &gMain->bc : nullptr;
  if (bc != nullptr && bc->EditableFieldInfo() != nullptr)
    EnableMenuItem(menu, item);
  else
    DisableMenuItem(menu, item);
  const DBFieldInfo* fi = bc ? bc->rdisp.GetFieldInfo() : nullptr;
  if (bc == nullptr || !bc->Ready() || fi == nullptr) return;
  const bool none = bc->TotalSelected() == 0;
  int added = 0;
  for (int id = 0; id < fi->GetNFields() && added < 9; ++id) {
    const DBFDetails* det = fi->GetDetails(id);
    if ((det->flags & (PDBFLuserdef | PDBFLinternal)) != PDBFLuserdef) continue;
    char code[5] = "oth1";
    code[3] = static_cast<char>('1' + added++);
    MenuItemIndex at = 0;
    AppendMenuItemText(menu, fi->GetName(id), FourCC(code), &at);
    CheckMenuItem(menu, at, false);
    if (none) DisableMenuItem(menu, at);
  }
}

namespace {

// 'oth1' .. 'oth9': the item's number, else 0.
int OtherNumber(unsigned long cmd) {
  const unsigned long digit = cmd & 0xFFu;
  return (cmd & 0xFFFFFF00u) == (kCmdSetField1 & 0xFFFFFF00u) && digit >= '1' && digit <= '9'
             ? static_cast<int>(digit - '0')
             : 0;
}

}  // namespace

bool SettingCommand(unsigned long cmd) {
  if (cmd == kCmdSetDensity)
    setDensity(0);
  else if (cmd == kCmdMoveToPosition)
    setPosition(-1);
  else if (cmd == kCmdSetField || OtherNumber(cmd) > 0)
    setOther(cmd);
  else
    return false;
  return true;
}

bool SettingCommandState(unsigned long cmd, bool* enable) {
  PContext* bc = gMain ? &gMain->bc : nullptr;
  const int sel = bc ? bc->TotalSelected() : 0;
  const DBFieldInfo* fi = bc ? bc->rdisp.GetFieldInfo() : nullptr;
  if (cmd == kCmdSetDensity) {
    *enable = sel > 0 && fi != nullptr && fi->XlateID(&PDBFInfo, PDBFxdensity) >= 0 &&
              fi->XlateID(&PDBFInfo, PDBFydensity) >= 0;
  } else if (cmd == kCmdMoveToPosition) {
    *enable = sel > 0 && sel < bc->rdisp.GetSize();
  } else if (cmd == kCmdSetField) {
    checkOtherSettings();
    *enable = bc != nullptr && bc->EditableFieldInfo() != nullptr;
  } else if (OtherNumber(cmd) > 0) {
    *enable = sel > 0;
  } else {
    return false;
  }
  return true;
}

void PMainWindow::SetDensity(float d) {
  setDensity(d);
}

void PMainWindow::SetOther(unsigned long cmd) {
  setOther(cmd);
}

void PMainWindow::CheckOtherSettings() {
  checkOtherSettings();
}
