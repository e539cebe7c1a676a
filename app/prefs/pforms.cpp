// The preferences dialog's interface description, compiled in, and its window.
#include "app/prefs/pforms.h"

#include "app/core/pforms.h"
#include "app/prefs/pprefdialog.h"
#include "ui_PrefWindow.h"

WindowRef gPrefWindow;

const PDialogSlot kPrefDialogs[kPrefDialogCount] = {
    {&gPrefWindow, "PrefWindow", PrefEventHandler, prefEventSpec, 2}};

void PregisterPrefForms(const char* nib, const char* omit) {
  PregisterForm<Ui::PrefWindow>(nib, "PrefWindow", omit);
}
