// The menu bar of the platform layer: one set of menus whose items carry command codes,
// check marks and an enabled state, shown above the content of every window. Choosing an item
// sends its command to the window whose menu bar was used, then to the application.
#pragma once

#include "platform/ptypes.h"

OSStatus CreateNewMenu(SInt16 menuID, const char* title, MenuRef* outMenu);
void InsertMenu(MenuRef menu, SInt16 beforeID);  // 0: at the end of the menu bar
void DeleteMenu(SInt16 menuID);                  // leaves the menu bar; the menu survives
void DisposeMenu(MenuRef menu);
bool IsValidMenu(MenuRef menu);
OSStatus AppendMenuItemText(MenuRef menu, const char* text, MenuCommand command,
                            MenuItemIndex* outIndex);
UInt32 CountMenuItems(MenuRef menu);

// Finds the nth (from 1) item carrying the command, in menu (NULL: the whole menu bar, menus
// in order).
OSStatus GetIndMenuItemWithCommandID(MenuRef menu, MenuCommand command, UInt32 n, MenuRef* outMenu,
                                     MenuItemIndex* outIndex);
void CheckMenuItem(MenuRef menu, MenuItemIndex item, bool checked);
bool IsMenuItemChecked(MenuRef menu, MenuItemIndex item);
void EnableMenuItem(MenuRef menu, MenuItemIndex item);
void DisableMenuItem(MenuRef menu, MenuItemIndex item);
bool IsMenuItemEnabled(MenuRef menu, MenuItemIndex item);
