// The main window's interface description, compiled in.
#include "app/mainwin/pforms.h"

#include <cstring>

#include "platform/pwindow.h"
#include "ui_MainWindow.h"

void PregisterMainWindowForm(const char* nib, const char* omit) {
  if (omit == nullptr || strcmp(omit, "MainWindow") != 0)
    RegisterNibWindow(nib, "MainWindow", [](QWidget* w) { Ui::MainWindow().setupUi(w); });
}
