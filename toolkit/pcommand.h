// Menu items found by their command code anywhere in the menu bar (the first item carrying
// it); each does nothing when no item carries the code.
#pragma once

#include "platform/ptypes.h"

void checkMenuCommand(UInt32 comID, bool switchon);
void enableMenuCommand(UInt32 comID, bool switchon);
// Enables or disables every item of the menu holding the command.
void enableCommandSiblings(UInt32 comID, bool switchon);
