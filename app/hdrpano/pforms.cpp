// The interface descriptions of the images made from records, compiled in, and their dialog
// windows.
#include "app/hdrpano/pforms.h"

#include <cstring>

#include "app/core/phandlers.h"
#include "app/core/pforms.h"
#include "platform/pwindow.h"
#include "ui_HDRWindow.h"
#include "ui_PanoWindow.h"

WindowRef gHDRWindow, gPanoWindow;

const PDialogSlot kHdrPanoDialogs[kHdrPanoDialogCount] = {
    {&gHDRWindow, "HDRWindow", ConfirmEventHandler, confirmEventSpec, 1},
    {&gPanoWindow, "PanoWindow", ConfirmEventHandler, confirmEventSpec, 1}};

void PregisterHdrPanoForms(const char* nib, const char* omit) {
  PregisterForm<Ui::HDRWindow>(nib, "HDRWindow", omit);
  PregisterForm<Ui::PanoWindow>(nib, "PanoWindow", omit);
}
