// The capture-date commands: synchronising two records and adjusting the selected records'
// dates through the date dialog. Both change the main window's displayed records as one undo
// step.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/records/pdates.h"
#include "app/core/pdialogs.h"
#include "app/records/pforms.h"
#include "catalog/pdbformat.h"
#include "catalog/pfieldset.h"
#include "platform/pcontrol.h"
#include "toolkit/pctltext.h"

namespace {

ControlRef DateControl(SInt32 id) {
  return PcontrolOf(gDateWindow, kCmdAdjustDate, id);
}

void PutField(int k, const char* fmt, int v) {
  char text[24];
  snprintf(text, sizeof text, fmt, v);
  PutControlText(DateControl(129 + k), text);
}

const char* const kFieldNames[6] = {"Year", "Month", "Day", "Hour", "Minute", "Second"};

// Fields 129-134 as integers, a field left empty read as 0. Returns the index of the first
// field whose text is no whole number (its text in *bad, the field read as 0), or -1.
int ReadFields(int v[6], std::string* bad = nullptr) {
  int first = -1;
  for (int k = 0; k < 6; ++k) {
    char text[64] = "";
    v[k] = 0;
    ControlRef c = DateControl(129 + k);
    if (c == nullptr || GetControlText(c, text, sizeof text, false) == nullptr) continue;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0' || readDatePart(text, &v[k])) continue;
    v[k] = 0;
    if (first < 0) {
      first = k;
      if (bad != nullptr) *bad = text;
    }
  }
  return first;
}

// Tells the user which field holds what is no number.
void IllegalField(int k, const std::string& text) {
  DMESSAGE(DMCinput, "Illegal value in the %s field: '%s'", kFieldNames[k], text.c_str());
}

// What follows a change of capture dates: the open image and the info window show it, the
// display keeps its order by date, the timeline learns the new dates. n records were stored in
// the catalogue; none at all changed when untouched.
void AfterDates(IMainWindow* mw, IBrowser* b, int n, const char* verb, bool untouched = false) {
  if (gImager != nullptr && gImager->GetCurrentIR() != nullptr) gImager->Redraw();
  if (gInfo != nullptr) gInfo->UpdateFields();
  bool rev = false;
  if (b->GetSort(&rev) == PDBFcapdate) b->SortDisplay(-1, false);
  if (n > 0) {
    mw->UpdateSelectorList(2);
    mw->EchoAction(verb, n);
  } else if (untouched) {
    // Not "Click 'Add'": there is nothing the catalogue could take.
    mw->ShowMessage("No records changed", false);
  } else {
    mw->NoChange();
  }
}

// Tells the records whose dates would leave the legal range, left as they were: one by its
// file, several by their count and as many files as the alert holds. Each is in the log too.
void TellIllegalDates(const std::vector<std::string>& files) {
  if (files.empty()) return;
  if (files.size() == 1) {
    DMESSAGE(DMCdata, "Illegal date for image '%s'", files[0].c_str());
    return;
  }
  for (const std::string& f : files) DMESSAGE(DMCwarning, "Illegal date for image '%s'", f.c_str());
  std::string text = "Illegal date for " + std::to_string(files.size()) + " images: ";
  constexpr size_t kRoom = 600;  // of the message's 1,024 bytes, with room for the rest
  size_t listed = 0;
  for (; listed < files.size() && text.size() + files[listed].size() + 4 <= kRoom; ++listed)
    text += (listed > 0 ? ", '" : "'") + files[listed] + "'";
  if (listed == 0) text += "'" + files[0].substr(0, 200) + "...'", listed = 1;
  if (listed < files.size()) text += " and " + std::to_string(files.size() - listed) + " more";
  DMESSAGE(DMCdata, "%s", text.c_str());
}

std::string CapDate(const DBRecord& r) {
  const char* s = PDBgetString(r, PDBFcapdate);
  return s ? s : "";
}

}  // namespace

void syncDate(bool later) {
  IMainWindow* mw = gMain;
  IBrowser* b = mw ? mw->GetBrowser() : nullptr;
  if (b == nullptr || mw->bc.TotalSelected() != 2) return;
  PContext& bc = mw->bc;
  int i = 0;
  if (!bc.NextSelected(&i)) return;
  int j = i + 1;
  if (!bc.NextSelected(&j)) return;
  const std::string di = CapDate(bc.rdisp[i]), dj = CapDate(bc.rdisp[j]);
  if (di.empty() || dj.empty()) return;
  const int cmp = di.compare(dj);
  if (cmp == 0) return;
  // Without later the later date moves back to the earlier; with later the earlier moves on.
  const bool iIsLater = cmp > 0;
  const int chg = (iIsLater != later) ? i : j;
  const std::string& oldDate = chg == i ? di : dj;
  const std::string& newDate = chg == i ? dj : di;
  if (!b->NewChange("Synchronize")) return;
  DBRecord* r = b->ChangeRecord(chg);
  if (r == nullptr || !PDBsetString(r, PDBFcapdate, newDate.c_str())) {
    b->NoChange();
    return;
  }
  const int n = b->CompleteChange();
  AfterDates(mw, b, n, "Synchronized");
  // The dialog offers the shift just made, in days and time.
  int64_t diff = PsecsFromDate(newDate.c_str()) - PsecsFromDate(oldDate.c_str());
  PutField(0, "%d", 0);
  PutField(1, "%d", 0);
  PutField(2, "%d", static_cast<int>(diff / 86400));
  diff %= 86400;
  PutField(3, "%d", static_cast<int>(diff / 3600));
  diff %= 3600;
  PutField(4, "%d", static_cast<int>(diff / 60));
  PutField(5, "%d", static_cast<int>(diff % 60));
}

void adjustDate() {
  IMainWindow* mw = gMain;
  IBrowser* b = mw ? mw->GetBrowser() : nullptr;
  if (b == nullptr) return;
  PContext& bc = mw->bc;
  const int n = bc.TotalSelected();
  if (n == 0) return;
  if (n == 2) {
    for (;;) {
      const OSType r = confirmDialog("Synchronize to earlier date/time?", "Later", kResponseOK);
      if (r == kResponseOK || r == kResponseCustom) {
        syncDate(r == kResponseCustom);
        return;
      }
      if (r == kResponseCancel || gInterfaceReady != 1) break;  // 0: a mount broke in; ask again
    }
  }
  if (gDateWindow == nullptr) return;
  PBusyGuard busy;  // the display stays as it is while the dialog is up
  int off[6], old[6] = {0, 0, 0, 0, 0, 0};
  ReadFields(off);
  int lone = -1;
  bool oldLegal = false;
  if (n == 1) {
    bc.NextSelected(&lone);
    const DBRecord& rec = bc.rdisp[lone];
    oldLegal = sscanDate(old, PDBgetString(rec, PDBFcapdate));
    int shown[6];
    if (oldLegal) {
      char text[32];
      if (PDBformatDate(text, sizeof text, PDBgetField(rec, PDBFcapdate)) == nullptr) return;
      PutControlText(DateControl(128), text);
      for (int k = 0; k < 6; ++k) shown[k] = old[k];
      if (!adjDate(shown, off) || !legalDate(shown))
        for (int k = 0; k < 6; ++k) shown[k] = old[k];
    } else {
      PutControlText(DateControl(128), "Illegal Date");
      const time_t now = time(nullptr);
      struct tm t;
      localtime_r(&now, &t);
      const int local[6] = {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                            t.tm_hour,        t.tm_min,     t.tm_sec};
      for (int k = 0; k < 6; ++k) shown[k] = local[k];
    }
    PutControlText(DateControl(135), "Set to:");
    for (int k = 0; k < 6; ++k) PutField(k, k == 0 ? "%04d" : "%02d", shown[k]);
  } else {
    char text[64];
    snprintf(text, sizeof text, "%d records selected", n);
    PutControlText(DateControl(128), text);
    PutControlText(DateControl(135), "Adjust by:");
  }
  const bool cancelled = !runDialog(gDateWindow) || gConfirmResponse == kResponseCancel;
  int typed[6];
  std::string badText;
  const int bad = ReadFields(typed, &badText);
  if (n == 1) {
    if (bad >= 0 || !legalDate(typed)) {
      for (int k = 0; k < 6; ++k) PutField(k, "%d", 0);
      if (cancelled) return;
      if (bad >= 0)
        IllegalField(bad, badText);
      else
        DMESSAGE(DMCinput, "Illegal date value");
      return;
    }
    if (oldLegal) {
      for (int k = 0; k < 6; ++k) {
        off[k] = typed[k] - old[k];  // both legal: no overflow
        PutField(k, "%+d", off[k]);
      }
    } else {
      for (int k = 0; k < 6; ++k) {
        off[k] = k == 5 ? 1 : 0;  // the change goes ahead
        PutField(k, "%d", 0);
      }
    }
  } else {
    if (bad >= 0) {
      if (!cancelled) IllegalField(bad, badText);
      return;
    }
    for (int k = 0; k < 6; ++k) off[k] = typed[k];
  }
  if (cancelled) return;
  bool any = false;
  for (int k = 0; k < 6; ++k) any = any || off[k] != 0;
  if (!any || !b->NewChange("Adjust Time")) return;
  char text[kDateTextLen];
  std::vector<std::string> refused;  // the files whose dates would leave the range
  int set = 0;
  for (int i = 0; bc.NextSelected(&i); ++i) {
    if (n == 1) {
      sprintDate(text, typed);
    } else {
      const DBRecord& rec = bc.rdisp[i];
      const char* s = PDBgetString(rec, PDBFcapdate);
      if (s == nullptr || *s == '\0') continue;
      int d[6];
      if (!sscanDate(d, s) || !adjDate(d, off) || !legalDate(d)) {
        const char* file = PDBgetString(rec, PDBFfile);
        refused.push_back(file ? file : "");
        continue;
      }
      sprintDate(text, d);
    }
    DBRecord* r = b->ChangeRecord(i);
    if (r != nullptr && PDBsetString(r, PDBFcapdate, text)) ++set;
  }
  TellIllegalDates(refused);
  const int changed = b->CompleteChange();
  AfterDates(mw, b, changed, "Adjusted", set == 0);
}
