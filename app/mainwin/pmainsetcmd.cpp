// The main window's field setting commands: text fields with their recent values, Repeat, and
// dates. Greyed, and refused, while records load or an edit asks.
#include "app/core/pbusy.h"
#include "app/records/pdates.h"
#include "app/records/psetfield.h"
#include "app/mainwin/pmainw.h"
#include "platform/pmenu.h"
#include "toolkit/pcommand.h"

namespace {

constexpr UInt32 C(const char (&s)[5]) {
  return FourCC(s);
}

}  // namespace

bool PMainWindow::FieldSettingCommand(UInt32 cmd) {
  if (cmd == C("date")) {
    if (!PisBusy()) adjustDate();
  } else if (cmd == C("rept")) {
    if (!PisBusy()) repeatSetField();
  } else if (isSetFieldCommand(cmd)) {
    if (!PisBusy()) setField(cmd);
  } else {
    return false;
  }
  return true;
}

bool PMainWindow::FieldSettingCommandUpdate(UInt32 cmd) {
  bool on;
  switch (cmd) {
    case C("date"):
    case C("titl"):
    case C("comm"):
      on = bc.TotalSelected() > 0;
      break;
    case C("subj"):
    case C("ownr"):
    case C("albm"):
    case C("keyw"):
      checkSettings(cmd);
      if (PisBusy()) enableMenuCommand(cmd, false);
      return true;
    case C("rept"):
      checkRepeatSetting();
      if (PisBusy()) enableMenuCommand(cmd, false);
      return true;
    default:
      return isSetFieldCommand(cmd);  // recent items: filled with their asking command
  }
  enableMenuCommand(cmd, on && !PisBusy());
  return true;
}
