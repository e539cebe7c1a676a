// The preferences dialog's interface description, compiled in, and its window.
#include "app/prefs/pforms.h"

#include <cstring>

#include "app/prefs/pprefdialog.h"
#include "platform/pwindow.h"
#include "ui_PrefWindow.h"

WindowRef gPrefWindow;

const PDialogSlot kPrefDialogs[kPrefDialogCount] = {
    {&gPrefWindow, "PrefWindow", PrefEventHandler, prefEventSpec, 2}};

void PregisterPrefForms(const char* nib, const char* omit) {
  if (omit == nullptr || strcmp(omit, "PrefWindow") != 0)
    RegisterNibWindow(nib, "PrefWindow", [](QWidget* w) { Ui::PrefWindow().setupUi(w); });
}
