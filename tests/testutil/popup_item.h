// Choosing an item of a popup menu control by its text, as a person does.
#pragma once

#include <cstring>

#include "platform/pcontrol.h"
#include "platform/pmenu.h"

// Sets popup c to its item whose text is item; false when it has none.
inline bool ChoosePopupItem(ControlRef c, const char* item) {
  MenuRef m = GetControlPopupMenuHandle(c);
  for (UInt32 i = 1; i <= CountMenuItems(m); ++i) {
    char buf[256];
    UInt32 n = 0;
    GetMenuItemText(m, static_cast<MenuItemIndex>(i), buf, sizeof buf - 1, &n);
    buf[n] = '\0';
    if (strcmp(buf, item) == 0) {
      SetControlValue(c, static_cast<SInt32>(i));
      return true;
    }
  }
  return false;
}
