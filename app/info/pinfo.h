// The record info window: one record's fields in a header row and five tabs (settings, file,
// capture, the user's own fields, the thumbnail). So far it is made from its form and waits
// hidden.
#pragma once

#include "app/core/pwindows.h"

class PInfoWindow : public IInfoWindow {
 public:
  explicit PInfoWindow(IBNibRef nib);
  ~PInfoWindow() override;
  using PWindowHandlerBase::CreateWindow;
  WindowPtr CreateWindow(IBNibRef nib) override;
};
