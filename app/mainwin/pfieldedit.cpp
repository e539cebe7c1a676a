// The field editor dialog: adds a field to the schema the displayed records may be edited with,
// or changes a field's description and flags and, for user fields, its name.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/core/pcmds.h"
#include "app/records/psetother.h"
#include "app/core/papp.h"
#include "app/core/pdialogs.h"
#include "app/core/phandlers.h"
#include "app/core/pwindows.h"
#include "app/mainwin/pforms.h"
#include "app/mainwin/psettings.h"
#include "catalog/pdbase.h"
#include "platform/pcontrol.h"
#include "platform/pmenu.h"
#include "support/cnumber.h"
#include "support/dmessage.h"
#include "support/pstrings.h"
#include "toolkit/pctltext.h"

namespace {

constexpr int kNameLen = 63;  // names and descriptions, without the terminator
constexpr int kNewField = 0x400, kNoEdit = PDBFLinternal, kUser = PDBFLuserdef;
const char kNewItem[] = "New...";

ControlRef Efld(SInt32 id) {
  return PcontrolOf(gFieldWindow, kSigFieldEdit, id);
}

DBFieldInfo* Editable() {
  return gMain ? gMain->bc.EditableFieldInfo() : nullptr;
}

// The field whose name equals name ignoring case, -1 when none.
int FindNoCase(const DBFieldInfo* fi, const char* name) {
  const int exact = fi->GetID(name);
  if (exact >= 0) return exact;
  for (int id = 0; id < fi->GetNFields(); ++id)
    if (Cstrcasecmp(fi->GetName(id), name) == 0) return id;
  return -1;
}

// The text of the chosen pop-up item; empty when none.
std::string Chosen() {
  ControlRef pop = Efld(128);
  MenuRef m = pop ? GetControlPopupMenuHandle(pop) : nullptr;
  const SInt32 v = pop ? GetControlValue(pop) : 0;
  char buf[256];
  UInt32 len = 0;
  if (m == nullptr || v < 1 ||
      GetMenuItemText(m, static_cast<MenuItemIndex>(v), buf, sizeof buf, &len) != noErr)
    return std::string();
  return std::string(buf, len < sizeof buf ? len : sizeof buf);
}

// A typed name or description: the cleaned text, or false (reported) when it is longer than a
// schema holds.
bool Typed(SInt32 id, const char* what, std::string* out) {
  char buf[1024];
  if (GetControlText(Efld(id), buf, sizeof buf, false) == nullptr) buf[0] = '\0';
  if (strlen(buf) > static_cast<size_t>(kNameLen)) {
    DMESSAGE(DMCinput, "%s may have at most %d characters", what, kNameLen);
    return false;
  }
  *out = buf;
  return true;
}

void Enable(ControlRef c, bool on) {
  if (c == nullptr) return;
  if (on)
    EnableControl(c);
  else
    DisableControl(c);
}

}  // namespace

bool checkFieldName(const char* name) {
  if (name == nullptr || !Calpha(name[0])) {
    DMESSAGE(DMCinput, "Field names must begin with a letter");
    return false;
  }
  for (const char* p = name + 1; *p; ++p)
    if (!Calnum(*p) && *p != '_') {
      DMESSAGE(DMCinput, "Field names may contain only letters, digits, and underscores");
      return false;
    }
  return true;
}

void updateFieldWindow() {
  const DBFieldInfo* fi = Editable();
  if (fi == nullptr) fi = &PDBFInfo;
  ControlRef name = Efld(129), desc = Efld(130), type = Efld(131), array = Efld(132),
             show = Efld(133);
  const std::string chosen = Chosen();
  if (chosen == kNewItem) {
    for (ControlRef c : {name, desc, type, array, show}) Enable(c, true);
    if (name) SetControlVisibility(name, true, true);
    if (type) SetControlValue(type, 1);
    if (array) SetControlValue(array, 0);
    if (show) SetControlValue(show, 0);
    ClearControlText(desc);
    PutControlText(name, "(New Name)");
    EditControlText(gFieldWindow, name);
    return;
  }
  const int id = chosen.empty() ? -1 : FindNoCase(fi, chosen.c_str());
  const DBFDetails* det = fi->GetDetails(id);
  if (det == nullptr) {
    ClearControlText(name);
    ClearControlText(desc);
    for (ControlRef c : {name, desc, type, array, show}) Enable(c, false);
    if (name) SetControlVisibility(name, false, true);
    return;
  }
  const bool user = (det->flags & kUser) != 0;
  if (name) SetControlVisibility(name, user, true);
  Enable(name, user);
  Enable(desc, true);
  Enable(type, false);  // a field's type cannot change
  Enable(array, (det->flags & (kUser | DBFDmulti)) == kUser);
  Enable(show, true);
  PutControlText(name, fi->GetName(id));
  PutControlText(desc, det->descrip);
  if (array) SetControlValue(array, (det->flags & DBFDmulti) ? 1 : 0);
  if (show) SetControlValue(show, (det->flags & PDBFLbrief) ? 1 : 0);
  switch (det->dtype) {
    case DBDTstring:
      if (type) SetControlValue(type, 1);
      break;
    case DBDTint:
      if (type) SetControlValue(type, 2);
      break;
    case DBDTfloat:
      if (type) SetControlValue(type, 3);
      break;
    default:
      DMESSAGE(DMCparameter, "Unknown field type in updateFieldWindow");
      break;
  }
}

int editField(int fid) {
  DBFieldInfo* fi = Editable();
  if (fi == nullptr) {
    DMESSAGE(DMCinput, "Cannot edit these record fields");
    return -1;
  }
  if (fid >= fi->GetNFields() || (fid >= 0 && (fi->GetDetails(fid)->flags & kNoEdit))) return -1;
  ControlRef pop = Efld(128);
  MenuRef menu = pop ? GetControlPopupMenuHandle(pop) : nullptr;
  if (menu == nullptr) return -1;
  // The pop-up: the editable names in natural order, then "New...".
  std::vector<const char*> names;
  for (int id = 0; id < fi->GetNFields(); ++id)
    if (!(fi->GetDetails(id)->flags & kNoEdit)) names.push_back(fi->GetName(id));
  qsort(names.data(), names.size(), sizeof(const char*), strpcmp);
  DeleteMenuItems(menu, 1, CountMenuItems(menu));
  SInt32 start = 0;
  for (size_t k = 0; k < names.size(); ++k) {
    AppendMenuItemText(menu, names[k], 0, nullptr);
    if (fid >= 0 && start == 0 && Cstrcasecmp(names[k], fi->GetName(fid)) == 0)
      start = static_cast<SInt32>(k + 1);
  }
  AppendMenuItemText(menu, kNewItem, 0, nullptr);
  SetControlMaximum(pop, static_cast<SInt32>(names.size() + 1));
  SetControlValue(pop, start > 0 ? start : static_cast<SInt32>(names.size() + 1));
  updateFieldWindow();
  if (!runDialog(gFieldWindow) || gConfirmResponse != kResponseOK) return -1;

  fi = Editable();  // the display may have changed while the dialog waited
  if (fi == nullptr) return -1;
  const std::string chosen = Chosen();
  std::string name, desc;
  if (!Typed(129, "Field names", &name) || !Typed(130, "Field descriptions", &desc)) return -1;
  const bool array = GetControlValue(Efld(132)) != 0, show = GetControlValue(Efld(133)) != 0;
  PContext& bc = gMain->bc;
  const bool catalogue = bc.Ready() && fi == &bc.phd;

  if (chosen != kNewItem) {
    const int id = FindNoCase(fi, chosen.c_str());
    if (id < 0) return -1;
    const DBFDetails* det = fi->GetDetails(id);
    const std::string olddesc = det->descrip;
    if (desc.empty()) desc = olddesc;
    int flags = det->flags & ~(DBFDmulti | PDBFLbrief);
    if ((det->flags & kUser) && !name.empty() && name != fi->GetName(id)) {
      const int other = FindNoCase(fi, name.c_str());
      if (other >= 0 && other != id) {
        DMESSAGE(DMCinput, "Field name '%s' is already taken", name.c_str());
        return -1;
      }
      if (!checkFieldName(name.c_str())) return -1;
      const std::string oldname = fi->GetName(id);
      if (!fi->Rename(id, name.c_str())) {
        DMESSAGE(DMCparameter, "Cannot rename field");
        return -1;
      }
      DMESSAGE(DMCinfo, "Renamed field '%s' to '%s'", oldname.c_str(), name.c_str());
      if (catalogue) bc.phd.SetChangedFlag(true);
    }
    if (array) flags |= DBFDmulti;
    if (show) flags |= PDBFLbrief;
    // Nothing to change: the field chosen, which Set Field then sets (not the field the dialog
    // was asked for, which for Set Field is none).
    if (flags == det->flags && desc == olddesc) return id;
    DMESSAGE(DMCinfo, "Updating catalog field '%s'", fi->GetName(id));
    const int r = fi->Field(fi->GetName(id), det->dtype, desc.c_str(), flags);
    if (catalogue && r >= 0) bc.phd.SetChangedFlag(true);
    return r;
  }

  if (name.empty() || name[0] == '(') return -1;
  if (FindNoCase(fi, name.c_str()) >= 0) {
    DMESSAGE(DMCinput, "Field '%s' already exists!", name.c_str());
    return -1;
  }
  if (!checkFieldName(name.c_str())) return -1;
  if (desc.empty()) desc = name;
  const int flags = kUser | kNewField | (array ? DBFDmulti : 0) | (show ? PDBFLbrief : 0);
  DBDataType dt;
  const char* word;
  switch (GetControlValue(Efld(131))) {
    case 1:
      dt = DBDTstring, word = "string";
      break;
    case 2:
      dt = DBDTint, word = "integer";
      break;
    case 3:
      dt = DBDTfloat, word = "real";
      break;
    default:
      DMESSAGE(DMCparameter, "Bad type in editField");
      return -1;
  }
  if (catalogue) {
    char q[160];
    snprintf(q, sizeof q, "Create new %s catalog field '%s'?", word, name.c_str());
    if (confirmDialog(q, nullptr, kResponseOK) != kResponseOK) return -1;
    DMESSAGE(DMCinfo, "Adding catalog field '%s'", name.c_str());
  }
  const int r = fi->Field(name.c_str(), dt, desc.c_str(), flags);
  if (catalogue && r >= 0) bc.phd.SetChangedFlag(true);
  return r;
}

OSStatus FieldEventHandler(EventHandlerCallRef call, EventRef event, void* userData) {
  if (GetEventClass(event) == kEventClassCommand && GetEventKind(event) == kEventCommandProcess &&
      PeventCommand(event) == kCmdChooseField) {
    updateFieldWindow();
    return noErr;
  }
  return ConfirmEventHandler(call, event, userData);
}
