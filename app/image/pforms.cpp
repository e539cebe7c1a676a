// The image window's interface description and its dialogs', compiled in, and the dialog
// windows.
#include "app/image/pforms.h"

#include <cstring>

#include "app/core/phandlers.h"
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

namespace {

template <class Form>
void Register(const char* nib, const char* name, const char* omit) {
  if (omit != nullptr && strcmp(omit, name) == 0) return;
  RegisterNibWindow(nib, name, [](QWidget* w) { Form().setupUi(w); });
}

}  // namespace

void PregisterImageForm(const char* nib, const char* omit) {
  Register<Ui::ImageWindow>(nib, "ImageWindow", omit);
  Register<Ui::SaveWindow>(nib, "SaveWindow", omit);
  Register<Ui::ShowWindow>(nib, "ShowWindow", omit);
  Register<Ui::HistoWindow>(nib, "HistoWindow", omit);
  Register<Ui::FCWindow>(nib, "FCWindow", omit);
}
