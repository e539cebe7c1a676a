// Menus of the platform layer: the menu bar over every document window, its menus and
// submenus, menus built in code and popped up at the mouse, and the menus of pop-up buttons.
//
// A menu's items are numbered from 1; a separator line is an item too. Each item is one Qt
// action, shown alike in every window's menu bar: changing an item changes it everywhere.
// Items carry four-character command codes.
//
// - Choosing an item sends a command event (kEventClassCommand, kEventCommandProcess, the
//   HICommand with the item's command, menu and index as direct object) to the focused window
//   (the active one), then the application.
// - Opening a menu first sends, for each of its items that carries a command, a command update
//   event (kEventCommandUpdateStatus, the same HICommand) along the same path, so that the
//   window in front and then the application set its text, enabling and check mark. A keyboard
//   shortcut updates its item the same way before it is taken.
//
// Each shown item of a menu, and each menu of the bar, underlines a keyboard letter of its own,
// given again whenever texts change or items hide or show: the one its form marked with '&'
// when no earlier item took it, else one from its words, else one shown after its text. Texts
// set in code are shown as given (an '&' is an ampersand) and read back so. A submenu's letter
// opens it with its first enabled item highlighted; Right on an item whose submenu shows (as the
// mouse leaves it) moves into the submenu the same way.
//
// The menu bar comes from a form: a Qt Designer main-window form whose menu bar holds the menus
// (with submenus, separators and shortcuts). A menu's dynamic property "menuID" (a number) is
// its menu id; an action's dynamic property "command" (four characters, blanks kept: "dir ") is
// the item's command.
#pragma once

#include <functional>

#include "platform/ptypes.h"

class QMainWindow;

typedef SInt16 MenuID;

// Interface descriptions of menu bars. setup builds the form's widgets into the main window
// given (the setupUi of a compiled form).
void RegisterNibMenuBar(const char* nibName, const char* menuBarName,
                        std::function<void(QMainWindow*)> setup);
// Makes the menus of the named menu bar of the nib the menu bar, in the form's order.
// resNotFound for a name the nib lacks.
OSStatus SetMenuBarFromNib(IBNibRef nib, const char* menuBarName);

// Menus. A menu id of 0 is given a free one.
OSStatus CreateNewMenu(MenuID menuID, const char* title, MenuRef* outMenu);
MenuRef NewMenu(MenuID menuID, const char* title);  // NULL on failure
void InsertMenu(MenuRef menu, MenuID beforeID);     // 0: at the end of the menu bar
void DeleteMenu(MenuID menuID);                     // leaves the menu bar; the menu survives
void DisposeMenu(MenuRef menu);
inline void ReleaseMenu(MenuRef menu) {
  DisposeMenu(menu);
}
bool IsValidMenu(MenuRef menu);
// The menu with the id: in the menu bar (or a submenu of it) first, else any menu made so far;
// NULL when none has the id.
MenuRef GetMenuHandle(MenuID menuID);
MenuID GetMenuID(MenuRef menu);

// Items. Texts are UTF-8, without letter marks; an item text of "-" makes a separator line.
OSStatus AppendMenuItemText(MenuRef menu, const char* text, MenuCommand command,
                            MenuItemIndex* outIndex);
// Inserts after item afterItem (0: at the top).
OSStatus InsertMenuItemText(MenuRef menu, const char* text, MenuItemIndex afterItem,
                            MenuCommand command, MenuItemIndex* outIndex);
void DeleteMenuItem(MenuRef menu, MenuItemIndex item);
OSStatus DeleteMenuItems(MenuRef menu, MenuItemIndex firstItem, UInt32 count);
UInt32 CountMenuItems(MenuRef menu);
OSStatus SetMenuItemText(MenuRef menu, MenuItemIndex item, const char* text);
// Copies the text (not terminated) into buf, at most size bytes; actualSize: its whole length.
OSStatus GetMenuItemText(MenuRef menu, MenuItemIndex item, char* buf, UInt32 size,
                         UInt32* actualSize);
OSStatus SetMenuItemCommandID(MenuRef menu, MenuItemIndex item, MenuCommand command);
OSStatus GetMenuItemCommandID(MenuRef menu, MenuItemIndex item, MenuCommand* outCommand);
OSStatus SetMenuItemHierarchicalMenu(MenuRef menu, MenuItemIndex item, MenuRef submenu);
OSStatus GetMenuItemHierarchicalMenu(MenuRef menu, MenuItemIndex item, MenuRef* outSubmenu);

// Finds the nth (from 1) item carrying the command in menu and its submenus, depth first in
// item order (NULL: the whole menu bar, menus in order).
OSStatus GetIndMenuItemWithCommandID(MenuRef menu, MenuCommand command, UInt32 n, MenuRef* outMenu,
                                     MenuItemIndex* outIndex);
void CheckMenuItem(MenuRef menu, MenuItemIndex item, bool checked);
bool IsMenuItemChecked(MenuRef menu, MenuItemIndex item);
// A hidden item takes no room in its menu (a separator it leaves at an end or beside another
// goes too); it keeps its text, command and state.
void HideMenuItem(MenuRef menu, MenuItemIndex item);
void ShowMenuItem(MenuRef menu, MenuItemIndex item);
bool IsMenuItemHidden(MenuRef menu, MenuItemIndex item);
void EnableMenuItem(MenuRef menu, MenuItemIndex item);
void DisableMenuItem(MenuRef menu, MenuItemIndex item);
bool IsMenuItemEnabled(MenuRef menu, MenuItemIndex item);

// Hides the menu bar of every window (their content keeps its size), or shows it again.
void HideMenuBar();
void ShowMenuBar();
bool IsMenuBarVisible();

// Pops the menu up with its top left at the global point, popUpItem (from 1; 0 for none)
// highlighted, and waits for a choice: the result is (menu id << 16) | item, 0 when nothing was
// chosen. The chosen item's command then goes out as a command event, as from the menu bar.
SInt32 PopUpMenuSelect(MenuRef menu, short top, short left, short popUpItem);
