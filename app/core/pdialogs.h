// Modal dialogs and event pumping. All work runs on the main thread; long loops keep the
// windows alive by pumping events through checkEvents, and a modal dialog is an ordinary window
// of the nib that is shown and waited for until its own handler hides it (finishDialog). The
// answer is the command of the button that closed it, left in gConfirmResponse: 'ok  ', 'not!'
// (cancel) or 'cstm' (the custom button). The Progress window's Stop answers no dialog: it
// stops the work showing it (PworkStopped).
//
// Waits break off when the application quits or the interface is not (or no longer) there:
// the dialog helpers below then hide their window and answer 'not!'. A volume mount breaks off
// only confirmDialog's wait (it returns 0).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/pbusy.h"
#include "app/core/pcmds.h"  // the answers kResponseOK, kResponseCancel, kResponseCustom
#include "platform/ptypes.h"
#include "support/dmhold.h"
#include "support/pwork.h"

// Dispatches the events that come within maxwait seconds, returning when that time is up (0:
// what is pending; -1: waits for exactly one event). The number of events dispatched; 0 while
// the interface is not ready.
int checkEvents(double maxwait);
// Waits until w is hidden (true), or until the wait breaks off: nothing could be dispatched, or
// a volume was mounted (false).
bool finishDialog(WindowRef w);
// Shows the window and waits until its handler hides it. False (the window hidden and the
// response 'not!') when the wait cannot go on: a quit, or no interface.
bool runDialog(WindowRef w);
// A question waits for the user's answer: every dialog of ours waited on still shows (none has
// been answered with its answer not yet read), or, with none of ours, one of Qt's modal dialogs
// is up.
bool PaskingUser();
// The control (sig, id) of a dialog's window; NULL without the window or the control.
ControlRef PcontrolOf(WindowRef w, OSType sig, SInt32 id);

// The alert hook of the message facility: shows msg in the Alert window when its class is more
// severe than the last alert of the current command. False when not shown (also before the
// interface is ready and after a quit: the message stays logged and kept).
bool postAlert(const char* msg);
// The hook itself, as the message facility calls it.
int PalertHook(const char* text);
// Holds alerts back (true) or lets them through again (false), then showing the most severe
// message kept meanwhile (DMessageHold::alertOnce across calls); the alert throttle starts
// afresh with the hold.
void suspendAlert(bool susp);
// suspendAlert for a scope, giving back the alert hook it took; nothing is held when alerts are
// held back already.
class AlertsHeld : public DMessageHold {
 public:
  AlertsHeld();
};
// The refusals of a task over many items (the pictures an export writes, the documents named on
// the command line), told together in one alert at its end: one alert for each kind of problem
// would leave every refusal after the first of its kind unshown. While it lives no alert is
// shown, and each problem is logged as it comes. An item run through Item that is refused is
// noted with the most severe problem told while it ran, after its name when that problem does not
// name it, or with unsaid when none was told. Tell shows the one alert: a lone refusal as noted;
// several under the heading, each on a line of its own (a long one cut in its middle), the first
// kListed of them and how many more.
class PGatheredRefusals {
 public:
  static constexpr size_t kListed = 10;
  static constexpr size_t kLineBytes = 240;
  PGatheredRefusals();
  // Runs one item; run's answer, true when the item was taken.
  template <class Run>
  bool Item(Run run, const std::string& name, const std::string& unsaid) {
    Begin();
    const bool taken = run();
    Done(taken, name, unsaid);
    return taken;
  }
  size_t Count() const { return texts_.size(); }
  // Ends the hold and shows the alert (nothing when none was refused); heading is used for
  // several refusals.
  void Tell(const std::string& heading);

 private:
  void Begin();
  void Done(bool taken, const std::string& name, const std::string& unsaid);
  DMessageHold hold_;
  unsigned before_ = DMCnerr;  // the most severe class before the item
  unsigned worst_ = DMCnerr;   // of the refusals noted
  std::vector<std::string> texts_;
};
// The text last shown by reportProgress.
extern char curMsg[256];

// Asks msg (NULL or empty: "Are you sure?") with OK, Cancel and, when cbut is given, a custom
// button; dfb is the default button's response. 'ok  ', 'not!', 'cstm', or 0 when the wait
// broke off (a mount).
OSType confirmDialog(const char* msg, const char* cbut, OSType dfb);
// Asks msg with two buttons in the confirm window: back (in the Cancel button's place, the
// default) and onward (the custom button); OK is hidden meanwhile. 'not!' for back, 'cstm' for
// onward, 'not!' too when the dialog cannot be shown or its wait breaks off.
OSType choiceDialog(const char* msg, const char* back, const char* onward);
// Asks for a position 1 .. npos + 1 starting at oldp + 1; the 0-based answer, or -1.
int positionDialog(int npos, int oldp);
// The options dialog of wind: check box ('optn', 128 + i) stands for bit 1 << i. A bit in both
// masks is disabled; in setM only it is checked, in clrM only unchecked, in neither left as it
// was. The checked enabled bits; 0 when nothing was shown; -1 when cancelled.
int optionsDialog(WindowRef wind, int setM, int clrM, bool showAlways);
// Asks for a text (msg NULL or empty: "Enter value"), starting from resp (a text of any bytes,
// shown as ShownName shows it, support/bytetext.h); the response, with resp as it came when the
// field was not edited, else the bytes the field's cleaned text stands for (ShownBytes: "\xE9"
// is the byte E9), at most rlen bytes with its terminator. -1 for a bad buffer.
OSType getInput(char* resp, int rlen, const char* msg);
// Shows the Progress window at pct percent (100 closes it after 0.2 s of events); false once the
// user pressed its Stop (PworkStopped), or at a quit. A report from 0 outside a busy guard
// starts a new task without a Stop; inside one it is a step of the guard's work, and a Stop
// pressed during that work holds until the work ends.
bool reportProgress(const char* msg, int pct);
// Whether the work showing progress is to end: its Stop was pressed, or a quit came. What
// reportProgress answers (negated), without showing anything.
bool PprogressStopped();

// An operation whose work runs inside the library (opening a catalogue, a search, storing an
// edit, undo): while one is in scope the library's long work pumps events every kWorkPumpEvery
// seconds, so the windows keep painting, and once it has run kWorkProgressAfter seconds the
// Progress window shows msg and how far the work has come. Work shorter than kWorkPumpEvery
// pumps nothing: what the user does meanwhile waits for it and then runs. The commands that
// would pull the records from under it are refused meanwhile (it holds the busy guard).
// Operations nest: the outermost one's message is shown. A quit that comes meanwhile (the Quit
// command or a signal) waits for the work's end, which its Progress window (shown at once) and
// the log tell.
constexpr double kWorkPumpEvery = 0.05;
constexpr double kWorkProgressAfter = 0.3;
// The pace of the above (by default those two), for tests that drive the platform clock; the
// reads of large pictures a slice at a time keep it too (pslice.h).
void PsetWorkPace(double pumpEvery, double progressAfter);
void PgetWorkPace(double* pumpEvery, double* progressAfter);
// Events are being pumped from inside the library's work (a sync, a change applied to the
// store): its data may be part way through a change, and nothing may use the catalogue.
bool PinLibraryWork();
class PWorkProgress {
 public:
  // Such work runs to its end: the Progress window's Stop button is greyed.
  explicit PWorkProgress(const char* msg);
  // A step of the application's own part of the work (done: 0 .. 1, negative if not known).
  static void Step(double done);
  ~PWorkProgress();
  PWorkProgress(const PWorkProgress&) = delete;
  PWorkProgress& operator=(const PWorkProgress&) = delete;

 private:
  PBusyGuard busy_;
};

// The library's wait hook (support/pwork.h): a wait for another process (a copy of the program
// stopped in the middle of a read, holding a catalogue's lock) in work that shows no progress,
// at rest and in a command, runs as a PWorkProgress: the windows are painted and the commands
// greyed while it waits, and once it has waited kWorkProgressAfter seconds the Progress window
// says "Waiting for another copy of Lumerin..." (its Stop greyed). A quit chosen meanwhile runs
// once the loop dispatches events again after the wait. Without the interface (at shut-down, the
// display gone) nothing is pumped: the wait goes on with the windows as they are. In a question
// nothing is pumped either, and the wait is turned away instead (kUnpaintedWait): a sync writes
// nothing and is tried again by the idle sync, a block written back to free memory stays in
// memory for the next sync, a block read is read when next asked for.
bool PwaitForAnotherProcess(PWaitPhase phase);
