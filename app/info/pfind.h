// The search window: two field clauses joined by a conjunction, searched in the display or the
// catalogue. So far it is made from its form and waits hidden.
#pragma once

#include "app/core/pwindows.h"

class PFindWindow : public IFindWindow {
 public:
  explicit PFindWindow(IBNibRef nib);
  ~PFindWindow() override;
  using PWindowHandlerBase::CreateWindow;
  WindowPtr CreateWindow(IBNibRef nib) override;
};
