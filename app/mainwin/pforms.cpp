// The main window's interface description and its field editor's, compiled in, and the field
// editor's window.
#include "app/mainwin/pforms.h"

#include <cstring>

#include "app/core/phandlers.h"
#include "app/core/pforms.h"
#include "platform/pwindow.h"
#include "ui_FieldWindow.h"
#include "ui_MainWindow.h"

WindowRef gFieldWindow;

const PDialogSlot kMainDialogs[kMainDialogCount] = {
    {&gFieldWindow, "FieldWindow", FieldEventHandler, confirmEventSpec, 1}};

void PregisterMainWindowForm(const char* nib, const char* omit) {
  PregisterForm<Ui::MainWindow>(nib, "MainWindow", omit);
  PregisterForm<Ui::FieldWindow>(nib, "FieldWindow", omit);
}
