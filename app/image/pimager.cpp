// The image window, made from its form.
#include "app/image/pimager.h"

#include "app/core/papp.h"

PImageWindow::PImageWindow(IBNibRef nib, IBrowser* b) : browser(b) {
  CreateWindow(nib);
}

PImageWindow::~PImageWindow() {
  DestroyWindow();
}

WindowPtr PImageWindow::CreateWindow(IBNibRef nib) {
  DestroyWindow();
  WindowRef w = nullptr;
  if (nib == nullptr || CreateWindowFromNib(nib, "ImageWindow", &w) != noErr) return nullptr;
  wdrawer = new PWindowDrawer(w, PformPane(w));
  if (!FinishInstall()) DMESSAGE(DMCparameter, "Image window event handler not installed");
  PWindowHandlerBase::Show(0);
  return w;
}

int PImageWindow::CloseImages(bool) {
  return 1;  // no image is open
}
