// The main window's field setting commands: text fields with their recent values, Repeat, and
// dates. Greyed, and refused, while records load or an edit asks.
#include "app/core/pcmds.h"
#include "app/records/pdates.h"
#include "app/records/psetfield.h"
#include "app/mainwin/pmainw.h"
#include "platform/pmenu.h"
#include "toolkit/pcommand.h"

// Reached only when the busy guard lets the command through (HandleCommand).
bool PMainWindow::FieldSettingCommand(UInt32 cmd) {
  if (cmd == kCmdAdjustDate) {
    adjustDate();
  } else if (cmd == kCmdRepeatSetting) {
    repeatSetField();
  } else if (isSetFieldCommand(cmd)) {
    setField(cmd);
  } else {
    return false;
  }
  return true;
}

bool PMainWindow::FieldSettingCommandUpdate(UInt32 cmd) {
  bool on;
  switch (cmd) {
    case kCmdAdjustDate:
    case kCmdSetTitle:
    case kCmdAddComment:
      on = bc.TotalSelected() > 0;
      break;
    case kCmdSetSubject:
    case kCmdSetOwner:
    case kCmdSetAlbum:
    case kCmdSetKeyword:
      checkSettings(cmd);
      return true;
    case kCmdRepeatSetting:
      checkRepeatSetting();
      return true;
    default:
      return isSetFieldCommand(cmd);  // recent items: filled with their asking command
  }
  enableMenuCommand(cmd, on);
  return true;
}
