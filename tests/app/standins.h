// A stand-in for the image window: every operation does the least (opens nothing, shows
// nothing, refuses what can be refused), so a test overrides only what it watches.
#pragma once

#include "app/core/pwindows.h"

class StandInImager : public IImageWindow {
 public:
  WindowPtr CreateWindow(IBNibRef) override { return nullptr; }
  int CloseImages(bool) override { return 1; }
  bool AddImage(const char*) override { return false; }
  bool AddImage(const DBRecord&, bool) override { return false; }
  int OpenImages() override { return 0; }
  PImageRing* GetCurrentIR() const override { return nullptr; }
  PImageRing* MatchImage(const DBRecord&) const override { return nullptr; }
  void Advance(const PImageRing*) override {}
  bool CloseImage(bool cancancel) override { return !cancancel; }
  void Reconcile() override {}
  void Reload() override {}
  void ReloadAll() override {}
  void Reposition(int) override {}
  bool Reorient(OSType cmd) override { return cmd == 0; }
  int ImageCount() const override { return 0; }
  int ImageIndex(const PImageRing*) const override { return -1; }
  bool SelectImage(bool) override { return false; }
  bool Present() override { return false; }
  void Redraw() override { PWindowHandlerBase::Redraw(); }
  int Show(int vis) override { return PWindowHandlerBase::Show(vis); }
  IBrowser* GetBrowser() const override { return nullptr; }
  void SlideShow() override {}
  bool AddTempImage(const DBRecord&) override { return false; }
  int UpdateHistogram(int) override { return 0; }
  int UpdateFCLegend(int) override { return 0; }
  bool FalseColor(bool) override { return false; }
};
