// Modal dialogs, the alert hook and event pumping.
#include "app/core/pdialogs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pcmds.h"
#include "app/core/pseam.h"
#include "platform/pcontrol.h"
#include "platform/pevent.h"
#include "platform/pwindow.h"
#include "support/bytetext.h"
#include "support/pwork.h"
#include "toolkit/pastring.h"
#include "toolkit/pctltext.h"
#include "toolkit/pdrawer.h"
#include "toolkit/pdrawkinds.h"
#include "toolkit/pwinhandler.h"
#include "app/core/pappstate.h"
#include "app/core/pidle.h"

char curMsg[256] = "Working...";
static WindowRef curMsgWindow = nullptr;  // the Progress window that curMsg was put into

namespace {

// A question waited on: it stays above the window it belongs to, and while it waits the menus'
// shortcuts do nothing and the commands that change files or records are refused.
std::vector<WindowRef>& WaitedOn() {
  static auto* v = new std::vector<WindowRef>;
  return *v;
}

class ModalWait {
 public:
  explicit ModalWait(WindowRef w) : w_(w) {
    BeginModalWait(w);
    WaitedOn().push_back(w);
    PidleSyncAsking();
  }
  ~ModalWait() {
    WaitedOn().pop_back();
    EndModalWait(w_);
  }
  ModalWait(const ModalWait&) = delete;
  ModalWait& operator=(const ModalWait&) = delete;

 private:
  WindowRef w_;
};

}  // namespace

ControlRef PcontrolOf(WindowRef w, OSType sig, SInt32 id) {
  ControlID cid{sig, id};
  ControlRef c = nullptr;
  return w != nullptr && GetControlByID(w, &cid, &c) == noErr ? c : nullptr;
}

bool PaskingUser() {
  if (WaitedOn().empty()) return InModalWait();
  for (WindowRef w : WaitedOn())
    if (!IsValidWindowPtr(w) || !IsWindowVisible(w)) return false;
  return true;
}

int PalertHook(const char* text) {
  return postAlert(text) ? 1 : 0;
}

int checkEvents(double maxwait) {
  if (gInterfaceReady != 1) return 0;
  return PwaitEvents(maxwait);
}

bool finishDialog(WindowRef w) {
  gVolumeInserted = 0;
  while (IsWindowVisible(w)) {
    if (checkEvents(-1) == 0 || gVolumeInserted) return false;
  }
  return true;
}

bool runDialog(WindowRef w) {
  if (w == nullptr || gInterfaceReady != 1 || PquitRequested()) {
    gConfirmResponse = kResponseCancel;
    return false;
  }
  ModalWait wait(w);  // before it shows: the desktop learns what it belongs to then
  ShowWindow(w);
  SelectWindow(w);
  // A mount breaks off the wait only for confirmDialog: here the dialog stays up.
  while (!finishDialog(w)) {
    if (gInterfaceReady != 1 || PquitRequested() || !IsValidWindowPtr(w)) {
      if (IsValidWindowPtr(w)) HideWindow(w);
      gConfirmResponse = kResponseCancel;
      return false;
    }
  }
  return true;
}

bool postAlert(const char* msg) {
  if (msg == nullptr || *msg == '\0' || gInterfaceReady != 1 || PquitRequested() ||
      gAlertWindow == nullptr)
    return false;
  if (dmessage_last_class >= alertLastClass) return false;
  const unsigned cls = dmessage_last_class;
  if (gProgressWindow) HideWindow(gProgressWindow);
  PutControlText(PcontrolOf(gAlertWindow, kSigAlert, 128), msg);
  Pbeep();
  if (!runDialog(gAlertWindow)) return false;
  alertLastClass = cls;
  return true;
}

void suspendAlert(bool susp) {
  if (susp) {
    if (DMessageHold::HoldAlerts() != nullptr) alertLastClass = DMCnerr;
  } else if (dmessage_alert == nullptr) {
    DMessageHold::LetAlerts(PalertHook);
  }
}

AlertsHeld::AlertsHeld() : DMessageHold(alertOnce) {
  if (Holding()) alertLastClass = DMCnerr;
}

namespace {

// s cut to about max bytes in its middle, between characters, keeping its start and its end
// (a path's file name and the reason after it).
std::string CutInMiddle(const std::string& s, size_t max) {
  if (s.size() <= max) return s;
  size_t head = 0;
  while (head < max / 3) head += std::max<size_t>(1, Utf8CharLength(&s[head], s.size() - head));
  size_t tail = s.size() - (max - max / 3);
  while (tail < s.size() && (static_cast<unsigned char>(s[tail]) & 0xC0) == 0x80) ++tail;
  return s.substr(0, head) + "..." + s.substr(tail);
}

}  // namespace

PGatheredRefusals::PGatheredRefusals() : hold_(DMessageHold::noAlert) {}

void PGatheredRefusals::Begin() {
  before_ = dmessage_last_class;
  dmessage_last_class = DMCnerr;
}

void PGatheredRefusals::Done(bool taken, const std::string& name, const std::string& unsaid) {
  const unsigned cls = dmessage_last_class;
  dmessage_last_class = std::min(before_, cls);
  if (taken) return;
  // The classes below warnings are those alerted.
  const bool told = cls < DMCwarning && dmessage_record[cls] != nullptr;
  std::string text = told ? dmessage_record[cls] : unsaid;
  if (told && text.find(name) == std::string::npos) text = "'" + name + "': " + text;
  texts_.push_back(std::move(text));
  worst_ = std::min(worst_, told ? cls : static_cast<unsigned>(DMCresource));
}

void PGatheredRefusals::Tell(const std::string& heading) {
  if (!hold_.Holding()) return;
  hold_.End();
  if (texts_.empty()) return;
  std::string text = texts_.size() == 1 ? texts_[0] : heading;
  if (texts_.size() > 1) {
    const size_t listed = std::min(texts_.size(), kListed);
    for (size_t i = 0; i < listed; ++i) text += "\n" + CutInMiddle(texts_[i], kLineBytes);
    if (listed < texts_.size())
      text += "\nand " + std::to_string(texts_.size() - listed) + " more, named in the log";
  }
  // News of its own, shown as held alerts are (DMessageHold::LetAlerts): each refusal is logged.
  if (worst_ < dmessage_last_class) dmessage_last_class = worst_;
  alertLastClass = DMCnerr;
  constexpr uint32_t kTold = DMArecord | DMAalert;
  if (dmessage_alert != nullptr && (dmessage_class_flags[worst_] & kTold) == kTold)
    dmessage_alert(text.c_str());
}

OSType confirmDialog(const char* msg, const char* cbut, OSType dfb) {
  if (gConfirmWindow == nullptr || gInterfaceReady != 1 || PquitRequested()) {
    gConfirmResponse = kResponseCancel;
    return kResponseCancel;
  }
  if (msg == nullptr || *msg == '\0') msg = "Are you sure?";
  PutControlText(PcontrolOf(gConfirmWindow, kSigConfirm, 128), msg);
  ControlRef custom = PcontrolOf(gConfirmWindow, kSigConfirm, 131);
  if (cbut != nullptr && *cbut != '\0') {
    PutControlText(custom, cbut);
    SetControlVisibility(custom, true, true);
  } else {
    SetControlVisibility(custom, false, true);
    if (dfb == kResponseCustom) dfb = 0;
  }
  SInt32 def = dfb == kResponseCancel   ? 130
               : dfb == kResponseOK     ? 129
               : dfb == kResponseCustom ? 131
                                        : 0;
  PsetDefaultButton(gConfirmWindow, kSigConfirm, def);
  ModalWait wait(gConfirmWindow);
  ShowWindow(gConfirmWindow);
  SelectWindow(gConfirmWindow);
  if (!finishDialog(gConfirmWindow)) {
    HideWindow(gConfirmWindow);
    if (PquitRequested() || gInterfaceReady != 1) {
      gConfirmResponse = kResponseCancel;
      return kResponseCancel;
    }
    return 0;
  }
  return gConfirmResponse;
}

OSType choiceDialog(const char* msg, const char* back, const char* onward) {
  ControlRef ok = PcontrolOf(gConfirmWindow, kSigConfirm, 129);
  ControlRef cancel = PcontrolOf(gConfirmWindow, kSigConfirm, 130);
  char title[64] = "";
  if (cancel == nullptr || GetControlText(cancel, title, sizeof title, true) == nullptr)
    title[0] = '\0';
  SetControlVisibility(ok, false, true);
  PutControlText(cancel, back);
  OSType r = 0;
  for (int tries = 0; r == 0 && tries < 100; ++tries)
    r = confirmDialog(msg, onward, kResponseCancel);
  PutControlText(cancel, title[0] != '\0' ? title : "Cancel");
  SetControlVisibility(ok, true, true);
  return r == kResponseCustom ? kResponseCustom : kResponseCancel;
}

int positionDialog(int npos, int oldp) {
  if (npos <= 0) return -1;
  if (oldp < 0 || oldp > npos) oldp = 0;
  char text[48];
  snprintf(text, sizeof text, "%d", oldp + 1);
  ControlRef edit = PcontrolOf(gPositionWindow, kSigPosition, 129);
  PutControlText(edit, text);
  snprintf(text, sizeof text, "of %d", npos + 1);
  PutControlText(PcontrolOf(gPositionWindow, kSigPosition, 130), text);
  EditControlText(gPositionWindow, edit);  // the focus it gets once shown
  if (!runDialog(gPositionWindow)) return -1;
  int result = -1;
  char buf[33];
  if (GetControlText(edit, buf, sizeof buf, false) != nullptr && buf[0] >= '0' && buf[0] <= '9') {
    // Read the number with a range check: a long run of digits is out of range, not undefined.
    errno = 0;
    char* end = nullptr;
    long v = strtol(buf, &end, 10);
    if (errno == ERANGE || v < 1 || v - 1 > npos)
      gConfirmResponse = kResponseCancel;
    else
      result = static_cast<int>(v - 1);
  } else {
    gConfirmResponse = kResponseCancel;
  }
  return gConfirmResponse == kResponseCancel ? -1 : result;
}

int optionsDialog(WindowRef wind, int setM, int clrM, bool showAlways) {
  unsigned enaM = ~(static_cast<unsigned>(setM) & static_cast<unsigned>(clrM));
  if (enaM == 0 && !showAlways) return 0;
  ControlRef box[32];
  for (int i = 0; i < 32; ++i) {
    const unsigned bit = 1u << i;
    box[i] = PcontrolOf(wind, kSigOption, 128 + i);
    if (box[i] == nullptr) {
      enaM &= ~bit;
    } else if (!(enaM & bit)) {
      DisableControl(box[i]);
    } else {
      EnableControl(box[i]);
      if (static_cast<unsigned>(clrM) & bit)
        SetControlValue(box[i], 0);
      else if (static_cast<unsigned>(setM) & bit)
        SetControlValue(box[i], 1);
    }
  }
  if (enaM == 0 && !showAlways) return 0;
  if (!runDialog(wind) || gConfirmResponse == kResponseCancel) return -1;
  unsigned result = 0;
  for (int i = 0; i < 32; ++i)
    if ((enaM & (1u << i)) && box[i] != nullptr && GetControlValue(box[i]) != 0) result |= 1u << i;
  return static_cast<int>(result);
}

OSType getInput(char* resp, int rlen, const char* msg) {
  if (resp == nullptr || rlen <= 0) return static_cast<OSType>(-1);
  if (msg == nullptr || *msg == '\0') msg = "Enter value";
  PutControlText(PcontrolOf(gInputWindow, kSigInput, 128), msg);
  ControlRef edit = PcontrolOf(gInputWindow, kSigInput, 129);
  resp[rlen - 1] = '\0';
  // The field starts from the caller's text, never from one an earlier question left, shown as
  // names are shown (support/bytetext.h); what comes back is read the same way, so that an edit
  // keeps the bytes of what it did not touch.
  const std::string given = resp;
  const std::string shown = ShownName(given);
  if (!PutControlText(edit, shown.c_str())) ClearControlText(edit);
  EditControlText(gInputWindow, edit);
  runDialog(gInputWindow);
  // The whole text is read, cleaned and cut to the buffer before a character that would not fit.
  UInt32 size = 0;
  std::vector<char> text;
  if (GetControlDataSize(edit, kControlEntireControl, kControlEditTextCFStringTag, &size) == noErr)
    text.resize(static_cast<size_t>(size) + 2);
  if (text.empty() ||
      GetControlText(edit, text.data(), static_cast<int>(text.size()), true) == nullptr) {
    resp[0] = '\0';
    gConfirmResponse = kResponseCancel;
    return gConfirmResponse;
  }
  if (shown == text.data()) {
    memcpy(resp, given.c_str(), given.size() + 1);
    return gConfirmResponse;
  }
  GetControlText(edit, text.data(), static_cast<int>(text.size()), false);
  const std::string bytes = ShownBytes(text.data());
  size_t n = 0;
  while (n < bytes.size()) {
    const size_t c = std::max<size_t>(1, utf8CharLength(bytes.data() + n, bytes.size() - n));
    if (n + c > static_cast<size_t>(rlen - 1)) break;
    n += c;
  }
  memcpy(resp, bytes.data(), n);
  resp[n] = '\0';
  return gConfirmResponse;
}

namespace {

// How long a Progress window that appears is waited for until the screen shows it.
constexpr double kProgressShowWait = 0.5;

// The Progress window at pct percent, its Stop button live only for work that heeds it; false
// once Stop was pressed (or at a quit).
bool ShowProgress(const char* msg, int pct, bool canStop) {
  pct = pct < 0 ? 0 : pct > 100 ? 100 : pct;
  // Outside any work a report from 0 starts a new task, unstopped, before any event is pumped.
  // Inside one, 0 starts a step of that work: a Stop not yet read holds for the whole work,
  // which its busy guard starts and ends unstopped.
  if (pct == 0 && canStop && !PisBusy()) PsetWorkStopped(false);
  const bool appearing = gProgressWindow != nullptr && !IsWindowVisible(gProgressWindow);
  bool changed = appearing;
  if (ControlRef stop = PcontrolOf(gProgressWindow, FourCC("bttn"), 3)) {
    changed = changed || IsControlEnabled(stop) != canStop;
    canStop ? EnableControl(stop) : DisableControl(stop);
  }
  // A Progress window made anew (as the interface is made again) shows its own text first.
  if (msg != nullptr && (strcmp(msg, curMsg) != 0 || curMsgWindow != gProgressWindow)) {
    PutControlText(PcontrolOf(gProgressWindow, kSigProgress, 128), msg);
    snprintf(curMsg, sizeof curMsg, "%s", msg);
    curMsgWindow = gProgressWindow;
    changed = true;
  }
  if (ControlRef bar = PcontrolOf(gProgressWindow, kSigProgress, 129)) {
    changed = changed || GetControlValue(bar) != pct;
    SetControlValue(bar, pct);
    Draw1Control(bar);
  }
  if (appearing) SetWindowOwner(gProgressWindow, nullptr);  // above the window whose work it is
  if (gProgressWindow) ShowWindow(gProgressWindow);
  // What it says shows before the work goes on, which may not pump events again for a while.
  if (changed) DrawWindowNow(gProgressWindow, appearing ? kProgressShowWait : 0);
  if (pct == 100) {
    checkEvents(0.2);
    if (gProgressWindow) HideWindow(gProgressWindow);
  } else {
    checkEvents(0);
  }
  return !PprogressStopped();
}

}  // namespace

bool PprogressStopped() {
  // A quit meanwhile (the Quit command or a signal) stops the operation as its Stop does.
  return PworkStopped() || PquitDeferred() || PquitRequested();
}

bool reportProgress(const char* msg, int pct) {
  return ShowProgress(msg, pct, true);
}

namespace {

struct Work {
  double pumpEvery = kWorkPumpEvery, progressAfter = kWorkProgressAfter;
  int depth = 0;
  double start = 0, lastPump = 0;
  bool shown = false;
  int pct = 1;
  char msg[160] = "";
  bool quitTold = true;  // a quit that came during the work was told (or came before it)
  int inLibrary = 0;     // pumps from inside the library's work under way
} work;

bool QuitWaiting() {
  return PquitDeferred() || PquitRequested();
}

// Such work runs to its end: a quit chosen meanwhile waits for it, and the Progress window (at
// once) and the log say so.
void TellQuitWaits() {
  if (work.quitTold || !QuitWaiting()) return;
  work.quitTold = true;
  DMESSAGE(DMCinfo, "Quitting when it ends: %s", work.msg);
  const size_t n = strlen(work.msg);
  snprintf(work.msg + n, sizeof work.msg - n, " Quitting when it ends.");
  ShowProgress(work.msg, work.shown ? work.pct : 0, false);
  work.shown = true;
}

void WorkHook(double done) {
  if (work.depth == 0 || gInterfaceReady != 1) return;
  TellQuitWaits();
  const double now = GetCurrentEventTime();
  if (now - work.lastPump < work.pumpEvery && now >= work.lastPump) return;
  work.lastPump = now;
  if (!work.shown && now - work.start < work.progressAfter) {
    checkEvents(0);
    return;
  }
  if (done >= 0) {
    const int pct = static_cast<int>(done * 100);
    work.pct = pct < 1 ? 1 : pct > 99 ? 99 : pct;
  }
  // The work cannot be stopped part way: its Stop button is greyed.
  if (!work.shown) {
    work.shown = true;
    ShowProgress(work.msg, 0, false);  // shows it and pumps
  } else {
    ShowProgress(nullptr, work.pct, false);
  }
}

// The library's own steps: its data may be part way through a change while they pump.
void LibraryStep(double done) {
  ++work.inLibrary;
  WorkHook(done);
  --work.inLibrary;
}

}  // namespace

void PsetWorkPace(double pumpEvery, double progressAfter) {
  work.pumpEvery = pumpEvery;
  work.progressAfter = progressAfter;
}

void PgetWorkPace(double* pumpEvery, double* progressAfter) {
  *pumpEvery = work.pumpEvery;
  *progressAfter = work.progressAfter;
}

bool PinLibraryWork() {
  return work.inLibrary > 0;
}

PWorkProgress::PWorkProgress(const char* msg) {
  if (work.depth++ > 0) return;
  work.start = GetCurrentEventTime();
  work.lastPump = work.start;
  work.shown = false;
  work.pct = 1;
  snprintf(work.msg, sizeof work.msg, "%.127s", msg ? msg : "Working...");
  work.quitTold = QuitWaiting();  // one under way already (shut-down's own work) is not told
  PsetWorkHook(LibraryStep);
}

PWorkProgress::~PWorkProgress() {
  if (--work.depth > 0) return;
  PsetWorkHook(nullptr);
  if (work.shown && gProgressWindow != nullptr) HideWindow(gProgressWindow);
  work.shown = false;
}

void PWorkProgress::Step(double done) {
  WorkHook(done);
}

namespace {

// A wait for another process painted by work of its own (PwaitForAnotherProcess).
struct LockWait {
  int depth = 0;  // waits begun and not ended
  std::optional<PWorkProgress> work;
  bool outermost = false;  // its busy guard is the outermost
  bool stopped = false;    // the Stop of the work under way as it began
  // The Progress window of the work under way as it began, when it showed.
  bool shown = false;
  std::string msg;
  int pct = 0;
  bool canStop = false;
} lockWait;

}  // namespace

bool PwaitForAnotherProcess(PWaitPhase phase) {
  LockWait& w = lockWait;
  switch (phase) {
    case PWaitPhase::begin:
      // Without the interface (at shut-down, the display gone) nothing is shown: the wait is
      // as it was there. In a question nothing may run that could answer it: the wait is turned
      // away.
      if (w.depth++ > 0 || work.depth > 0 || gInterfaceReady != 1) return true;
      if (PaskingUser()) return false;
      w.outermost = !PisBusy();
      w.stopped = PworkStopped();
      w.shown = gProgressWindow != nullptr && IsWindowVisible(gProgressWindow);
      if (w.shown) {
        w.msg = curMsg;
        w.pct = GetControlValue(PcontrolOf(gProgressWindow, kSigProgress, 129));
        w.canStop = IsControlEnabled(PcontrolOf(gProgressWindow, FourCC("bttn"), 3));
      }
      w.work.emplace("Waiting for another copy of Lumerin...");
      return true;
    case PWaitPhase::step:
      if (w.work) LibraryStep(-1);
      return true;
    case PWaitPhase::end:
      if (--w.depth > 0 || !w.work) return true;
      break;
  }
  // The wait ends inside the library's work: a quit chosen meanwhile runs once the loop
  // dispatches again, not from here; nothing is pumped.
  if (w.outermost) PpostDeferredQuit();
  const bool took = work.shown;
  w.work.reset();
  PsetWorkStopped(w.stopped);
  // The Progress window of the work under way shows again as it was.
  if (took && w.shown && gProgressWindow != nullptr) {
    PutControlText(PcontrolOf(gProgressWindow, kSigProgress, 128), w.msg.c_str());
    snprintf(curMsg, sizeof curMsg, "%s", w.msg.c_str());
    curMsgWindow = gProgressWindow;
    SetControlValue(PcontrolOf(gProgressWindow, kSigProgress, 129), w.pct);
    if (ControlRef stop = PcontrolOf(gProgressWindow, FourCC("bttn"), 3))
      w.canStop ? EnableControl(stop) : DisableControl(stop);
    ShowWindow(gProgressWindow);
  }
  return true;
}
