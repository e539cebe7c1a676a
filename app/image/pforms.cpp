// The image window's interface description, compiled in.
#include "app/image/pforms.h"

#include <cstring>

#include "platform/pwindow.h"
#include "ui_ImageWindow.h"

void PregisterImageForm(const char* nib, const char* omit) {
  if (omit == nullptr || strcmp(omit, "ImageWindow") != 0)
    RegisterNibWindow(nib, "ImageWindow", [](QWidget* w) { Ui::ImageWindow().setupUi(w); });
}
