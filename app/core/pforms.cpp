// The core's interface descriptions, compiled in: the menu bar and the core's dialogs, registered
// under a nib name. Also the parts of the core's platform seam (pseam.h) that reach Qt through
// the platform's painter.
#include <QMainWindow>
#include <cstring>

#include "app/core/papp.h"
#include "app/core/pforms.h"
#include "app/core/pseam.h"
#include "platform/pcontrol.h"
#include "platform/pmenu.h"
#include "platform/pqt.h"
#include "platform/pwindow.h"
#include "ui_AboutWindow.h"
#include "ui_AlertWindow.h"
#include "ui_ConfirmWindow.h"
#include "ui_InputWindow.h"
#include "ui_MainMenu.h"
#include "ui_PositionWindow.h"
#include "ui_ProgressWindow.h"

void PregisterCoreForms(const char* nib, const char* omit) {
  if (omit == nullptr || strcmp(omit, "MainMenu") != 0)
    RegisterNibMenuBar(nib, "MainMenu", [](QMainWindow* w) { Ui::LumerinMainMenu().setupUi(w); });
  PregisterForm<Ui::InputWindow>(nib, "InputWindow", omit);
  PregisterForm<Ui::AboutWindow>(nib, "AboutWindow", omit);
  PregisterForm<Ui::ConfirmWindow>(nib, "ConfirmWindow", omit);
  PregisterForm<Ui::PositionWindow>(nib, "PositionWindow", omit);
  PregisterForm<Ui::ProgressWindow>(nib, "ProgressWindow", omit);
  PregisterForm<Ui::AlertWindow>(nib, "AlertWindow", omit);
}

OSStatus PinstallMenuBar(IBNibRef nib, const char* name) {
  return SetMenuBarFromNib(nib, name);
}

void PsetMenuItemText(MenuRef menu, MenuItemIndex item, const char* text) {
  SetMenuItemText(menu, item, text);
}

void PsetDefaultButton(WindowRef w, OSType sig, SInt32 id) {
  ControlID cid{sig, id};
  ControlRef c = nullptr;
  if (id == 0 || GetControlByID(w, &cid, &c) != noErr) c = nullptr;
  SetWindowDefaultButton(w, c);
}

void PdrawCentredText(const Rect* box, const char* text) {
  if (box == nullptr || text == nullptr) return;
  PortPainter p;
  p.drawText(QRect(box->left, box->top, box->right - box->left, box->bottom - box->top),
             Qt::AlignCenter, QString::fromUtf8(text));
}
