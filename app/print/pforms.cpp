// The interface descriptions of printing, compiled in, and their dialog windows.
#include "app/print/pforms.h"

#include <cstring>

#include "app/core/phandlers.h"
#include "app/core/pforms.h"
#include "platform/pwindow.h"
#include "ui_PrintWindow.h"

WindowRef gPrintWindow;

const PDialogSlot kPrintDialogs[kPrintDialogCount] = {
    {&gPrintWindow, "PrintWindow", ConfirmEventHandler, confirmEventSpec, 1}};

void PregisterPrintForms(const char* nib, const char* omit) {
  PregisterForm<Ui::PrintWindow>(nib, "PrintWindow", omit);
}
