// The info and search windows' interface descriptions, compiled in.
#include "app/info/pforms.h"

#include <cstring>

#include "app/core/pforms.h"
#include "platform/pwindow.h"
#include "ui_InfoWindow.h"
#include "ui_SearchWindow.h"

void PregisterInfoForms(const char* nib, const char* omit) {
  PregisterForm<Ui::InfoWindow>(nib, "InfoWindow", omit);
  PregisterForm<Ui::SearchWindow>(nib, "SearchWindow", omit);
}
