// The interface descriptions of record exchange, compiled in, and their dialog windows.
#include "app/export/pforms.h"

#include <cstring>

#include "app/core/phandlers.h"
#include "platform/pwindow.h"
#include "ui_ImgExpWindow.h"
#include "ui_WebWindow.h"

WindowRef gImgExpWindow, gWebWindow;

const PDialogSlot kExportDialogs[kExportDialogCount] = {
    {&gImgExpWindow, "ImgExpWindow", ConfirmEventHandler, confirmEventSpec, 1},
    {&gWebWindow, "WebWindow", ConfirmEventHandler, confirmEventSpec, 1}};

void PregisterExportForms(const char* nib, const char* omit) {
  if (omit == nullptr || strcmp(omit, "ImgExpWindow") != 0)
    RegisterNibWindow(nib, "ImgExpWindow", [](QWidget* w) { Ui::ImgExpWindow().setupUi(w); });
  if (omit == nullptr || strcmp(omit, "WebWindow") != 0)
    RegisterNibWindow(nib, "WebWindow", [](QWidget* w) { Ui::WebWindow().setupUi(w); });
}
