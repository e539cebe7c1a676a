// Checking and enabling menu items by command code.
#include "toolkit/pcommand.h"

#include "platform/pmenu.h"

void checkMenuCommand(UInt32 comID, bool switchon) {
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  if (GetIndMenuItemWithCommandID(nullptr, comID, 1, &m, &i) == noErr)
    CheckMenuItem(m, i, switchon);
}

void enableMenuCommand(UInt32 comID, bool switchon) {
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  if (GetIndMenuItemWithCommandID(nullptr, comID, 1, &m, &i) != noErr) return;
  if (switchon)
    EnableMenuItem(m, i);
  else
    DisableMenuItem(m, i);
}

void enableCommandSiblings(UInt32 comID, bool switchon) {
  MenuRef m = nullptr;
  MenuItemIndex i = 0;
  if (GetIndMenuItemWithCommandID(nullptr, comID, 1, &m, &i) != noErr) return;
  for (UInt32 n = CountMenuItems(m); n > 0; --n) {
    if (switchon)
      EnableMenuItem(m, static_cast<MenuItemIndex>(n));
    else
      DisableMenuItem(m, static_cast<MenuItemIndex>(n));
  }
}
