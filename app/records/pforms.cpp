// The interface descriptions of the shared record commands, compiled in, and their dialog windows.
#include "app/records/pforms.h"

#include <cstring>

#include "app/core/phandlers.h"
#include "app/core/pforms.h"
#include "platform/pwindow.h"
#include "ui_DateWindow.h"

WindowRef gDateWindow;

const PDialogSlot kRecordDialogs[kRecordDialogCount] = {
    {&gDateWindow, "DateWindow", ConfirmEventHandler, confirmEventSpec, 1}};

void PregisterRecordForms(const char* nib, const char* omit) {
  PregisterForm<Ui::DateWindow>(nib, "DateWindow", omit);
}
