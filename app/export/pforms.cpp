// The interface descriptions of record exchange, compiled in, and their dialog windows.
#include "app/export/pforms.h"

#include <cstring>

#include "app/core/phandlers.h"
#include "app/core/pforms.h"
#include "platform/pwindow.h"
#include "ui_ImgExpWindow.h"
#include "ui_WebWindow.h"

WindowRef gImgExpWindow, gWebWindow;

const PDialogSlot kExportDialogs[kExportDialogCount] = {
    {&gImgExpWindow, "ImgExpWindow", ConfirmEventHandler, confirmEventSpec, 1},
    {&gWebWindow, "WebWindow", ConfirmEventHandler, confirmEventSpec, 1}};

void PregisterExportForms(const char* nib, const char* omit) {
  PregisterForm<Ui::ImgExpWindow>(nib, "ImgExpWindow", omit);
  PregisterForm<Ui::WebWindow>(nib, "WebWindow", omit);
}
