// The image window: the ring of open images with its panel and image pane. So far it is made
// from its form, follows the main window's browser and waits hidden with no image open.
#pragma once

#include "app/core/pwindows.h"

class PImageWindow : public IImageWindow {
 public:
  PImageWindow(IBNibRef nib, IBrowser* browser);
  ~PImageWindow() override;
  using PWindowHandlerBase::CreateWindow;
  WindowPtr CreateWindow(IBNibRef nib) override;

  int CloseImages(bool ask) override;

  IBrowser* browser;
};
