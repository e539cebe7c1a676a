// The info and search windows, made from their forms.
#include "app/info/pinfo.h"

#include "app/info/pfind.h"
#include "app/core/papp.h"

PInfoWindow::PInfoWindow(IBNibRef nib) {
  CreateWindow(nib);
}

PInfoWindow::~PInfoWindow() {
  DestroyWindow();
}

WindowPtr PInfoWindow::CreateWindow(IBNibRef nib) {
  DestroyWindow();
  WindowRef w = nullptr;
  if (nib == nullptr || CreateWindowFromNib(nib, "InfoWindow", &w) != noErr) return nullptr;
  wdrawer = new PWindowDrawer(w, PformPane(w));
  if (!FinishInstall()) DMESSAGE(DMCparameter, "Info window event handler not installed");
  PWindowHandlerBase::Show(0);
  return w;
}

PFindWindow::PFindWindow(IBNibRef nib) {
  CreateWindow(nib);
}

PFindWindow::~PFindWindow() {
  DestroyWindow();
}

WindowPtr PFindWindow::CreateWindow(IBNibRef nib) {
  DestroyWindow();
  WindowRef w = nullptr;
  if (nib == nullptr || CreateWindowFromNib(nib, "SearchWindow", &w) != noErr) return nullptr;
  wdrawer = new PWindowDrawer(w, PformPane(w));
  if (!FinishInstall()) DMESSAGE(DMCparameter, "Find window event handler not installed");
  PWindowHandlerBase::Show(0);
  return w;
}
