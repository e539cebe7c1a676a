// The busy guard.
#include "app/core/pbusy.h"

#include "app/core/pcmds.h"
#include "platform/pcontrol.h"
#include "platform/pevent.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"

namespace {

int depth = 0;
bool quitDeferred = false;
bool stopped = false;

}  // namespace

PBusyGuard::PBusyGuard() {
  if (depth++ > 0) return;
  stopped = false;
  UpdateGatedControls();  // the controls of the commands held back grey with their menu items
}

PBusyGuard::~PBusyGuard() {
  if (--depth > 0) return;
  stopped = false;
  UpdateGatedControls();
  if (quitDeferred) {
    quitDeferred = false;
    // The quit chosen during the operation goes through the ordinary command now.
    HICommand cmd{0, kCmdQuit, nullptr, 0};
    ProcessHICommand(&cmd);
  }
}

bool PisBusy() {
  return depth > 0;
}

bool PrefusedWhileBusy(UInt32 command) {
  return PcommandHas(command, kBusyGuarded | kRunsWork);
}

bool PrefusedWhileAsking(UInt32 command) {
  return PcommandHas(
      command, kBusyGuarded | kChangesRecords | kWritesFiles | kReordersDisplay | kReplacesImage);
}

void PinstallQuestionGate() {
  SetCommandGate([](UInt32 command) {
    return (PisBusy() && PrefusedWhileBusy(command)) ||
           (InModalWait() && PrefusedWhileAsking(command)) ||
           (PcommandHas(command, kPrintFormat) && PrintDocumentOpen());
  });
}

void PdeferQuit() {
  quitDeferred = true;
}

bool PquitDeferred() {
  return quitDeferred;
}

void PpostDeferredQuit() {
  EventRef ev = nullptr;
  if (!quitDeferred ||
      CreateEvent(kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), &ev) != noErr)
    return;
  HICommand cmd{0, kCmdQuit, nullptr, 0};
  SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
  // Not posted, it stays deferred.
  if (PostEventToQueue(GetMainEventQueue(), ev, GetApplicationEventTarget()) == noErr)
    quitDeferred = false;
  ReleaseEvent(ev);
}

void PsetWorkStopped(bool s) {
  stopped = s;
}

bool PworkStopped() {
  return stopped;
}
