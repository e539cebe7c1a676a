// The image window's interface description and its dialogs', compiled in, and the dialog
// windows.
#include "app/image/pforms.h"

#include <cstring>

#include "app/core/phandlers.h"
#include "app/core/pforms.h"
#include "platform/pwindow.h"
#include "ui_FCWindow.h"
#include "ui_HistoWindow.h"
#include "ui_ImageWindow.h"
#include "ui_SaveWindow.h"
#include "ui_ShowWindow.h"

WindowRef gSaveWindow, gShowWindow, gHistoWindow, gFCWindow;

const PDialogSlot kImageDialogs[kImageDialogCount] = {
    {&gSaveWindow, "SaveWindow", ConfirmEventHandler, confirmEventSpec, 1},
    {&gShowWindow, "ShowWindow", ConfirmEventHandler, confirmEventSpec, 1},
    {&gHistoWindow, "HistoWindow", HistoEventHandler, histoEventSpec, 4},
    {&gFCWindow, "FCWindow", FCEventHandler, fcEventSpec, 6}};

void PregisterImageForm(const char* nib, const char* omit) {
  PregisterForm<Ui::ImageWindow>(nib, "ImageWindow", omit);
  PregisterForm<Ui::SaveWindow>(nib, "SaveWindow", omit);
  PregisterForm<Ui::ShowWindow>(nib, "ShowWindow", omit);
  PregisterForm<Ui::HistoWindow>(nib, "HistoWindow", omit);
  PregisterForm<Ui::FCWindow>(nib, "FCWindow", omit);
}
