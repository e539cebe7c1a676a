// The info and search windows' interface descriptions, compiled in.
#include "app/info/pforms.h"

#include <cstring>

#include "platform/pwindow.h"
#include "ui_InfoWindow.h"
#include "ui_SearchWindow.h"

void PregisterInfoForms(const char* nib, const char* omit) {
  if (omit == nullptr || strcmp(omit, "InfoWindow") != 0)
    RegisterNibWindow(nib, "InfoWindow", [](QWidget* w) { Ui::InfoWindow().setupUi(w); });
  if (omit == nullptr || strcmp(omit, "SearchWindow") != 0)
    RegisterNibWindow(nib, "SearchWindow", [](QWidget* w) { Ui::SearchWindow().setupUi(w); });
}
