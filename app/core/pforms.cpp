// The core's interface descriptions, compiled in: the menu bar and the 18 dialogs, registered
// under a nib name. Also the Qt side of the core's platform seam (pseam.h): the menu bar built
// from the "MainMenu" form, default buttons and the alert sound.
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <cstring>
#include <memory>
#include <vector>

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
#include "ui_DateWindow.h"
#include "ui_FCWindow.h"
#include "ui_FieldWindow.h"
#include "ui_HDRWindow.h"
#include "ui_HistoWindow.h"
#include "ui_ImgExpWindow.h"
#include "ui_InputWindow.h"
#include "ui_MainMenu.h"
#include "ui_PanoWindow.h"
#include "ui_PositionWindow.h"
#include "ui_PrefWindow.h"
#include "ui_PrintWindow.h"
#include "ui_ProgressWindow.h"
#include "ui_SaveWindow.h"
#include "ui_ShowWindow.h"
#include "ui_WebWindow.h"

namespace {

template <class Form>
void Register(const char* nib, const char* name, const char* omit) {
  if (omit != nullptr && strcmp(omit, name) == 0) return;
  RegisterNibWindow(nib, name, [](QWidget* w) { Form().setupUi(w); });
}

}  // namespace

void PregisterCoreForms(const char* nib, const char* omit) {
  Register<Ui::MainMenu>(nib, "MainMenu", omit);
  Register<Ui::InputWindow>(nib, "InputWindow", omit);
  Register<Ui::AboutWindow>(nib, "AboutWindow", omit);
  Register<Ui::ConfirmWindow>(nib, "ConfirmWindow", omit);
  Register<Ui::PositionWindow>(nib, "PositionWindow", omit);
  Register<Ui::ProgressWindow>(nib, "ProgressWindow", omit);
  Register<Ui::SaveWindow>(nib, "SaveWindow", omit);
  Register<Ui::PrintWindow>(nib, "PrintWindow", omit);
  Register<Ui::HDRWindow>(nib, "HDRWindow", omit);
  Register<Ui::PanoWindow>(nib, "PanoWindow", omit);
  Register<Ui::DateWindow>(nib, "DateWindow", omit);
  Register<Ui::ImgExpWindow>(nib, "ImgExpWindow", omit);
  Register<Ui::WebWindow>(nib, "WebWindow", omit);
  Register<Ui::ShowWindow>(nib, "ShowWindow", omit);
  Register<Ui::FieldWindow>(nib, "FieldWindow", omit);
  Register<Ui::HistoWindow>(nib, "HistoWindow", omit);
  Register<Ui::FCWindow>(nib, "FCWindow", omit);
  Register<Ui::PrefWindow>(nib, "PrefWindow", omit);
  Register<Ui::AlertWindow>(nib, "AlertWindow", omit);
}

namespace {

std::vector<MenuRef>& BarMenus() {
  static auto* m = new std::vector<MenuRef>;
  return *m;
}

UInt32 CommandOf(const QAction* a) {
  QByteArray c = a->property("command").toString().toLatin1();
  return c.size() == 4 ? FourCC({c[0], c[1], c[2], c[3], 0}) : 0;
}

QString Plain(QString s) {
  return s.remove(QLatin1Char('&'));
}

// One menu of the bar from a form's menu; its submenus follow it as menus of their own.
void AddMenu(QMenu* qm, SInt16 id, SInt16* nextId) {
  MenuRef m = nullptr;
  if (CreateNewMenu(id, Plain(qm->title()).toUtf8().constData(), &m) != noErr) return;
  std::vector<QMenu*> subs;
  for (QAction* a : qm->actions()) {
    MenuItemIndex item = 0;
    if (a->isSeparator()) {
      AppendMenuItemText(m, "-", 0, &item);
      DisableMenuItem(m, item);
    } else if (a->menu()) {
      subs.push_back(a->menu());
    } else {
      AppendMenuItemText(m, Plain(a->text()).toUtf8().constData(), CommandOf(a), &item);
    }
  }
  InsertMenu(m, 0);
  BarMenus().push_back(m);
  for (QMenu* s : subs) AddMenu(s, (*nextId)++, nextId);
}

}  // namespace

OSStatus PinstallMenuBar(IBNibRef nib, const char* name) {
  // The form is made in a window of its own, read, and the window disposed of again.
  WindowRef w = nullptr;
  OSStatus err = CreateWindowFromNib(nib, name, &w);
  if (err != noErr) return err;
  QWidget* content = PlatformContentWidget(w);
  QMenuBar* bar = content ? content->findChild<QMenuBar*>() : nullptr;
  if (bar == nullptr) {
    DisposeWindow(w);
    return resNotFound;
  }
  SInt16 nextId = 300;
  SInt16 next = 128;
  for (QAction* a : bar->actions()) {
    QMenu* qm = a->menu();
    if (qm == nullptr) continue;
    bool ok = false;
    int id = qm->property("menuID").toInt(&ok);
    AddMenu(qm, static_cast<SInt16>(ok && id > 0 ? id : next), &nextId);
    ++next;
  }
  DisposeWindow(w);
  return noErr;
}

void PremoveMenuBar() {
  for (MenuRef m : BarMenus()) DisposeMenu(m);
  BarMenus().clear();
}

void PsetMenuItemText(MenuRef, MenuItemIndex, const char*) {}

void PsetDefaultButton(WindowRef w, OSType sig, SInt32 id) {
  QWidget* content = PlatformContentWidget(w);
  if (content == nullptr) return;
  for (QPushButton* b : content->findChildren<QPushButton*>()) b->setDefault(false);
  ControlID cid{sig, id};
  ControlRef c = nullptr;
  if (id != 0 && GetControlByID(w, &cid, &c) == noErr)
    if (auto* b = qobject_cast<QPushButton*>(PlatformControlWidget(c))) b->setDefault(true);
}

void Pbeep() {
  QApplication::beep();
}
