// The catalogue browser window: the selector tabs on the left (folders, timeline, subjects,
// albums, keywords, owners), the toolbar with the status line and the sort controls across the
// top, and the thumbnail browser below the toolbar. It owns the catalogue context bc.
#pragma once

#include "app/browser/pbrowser.h"
#include "app/core/pwindows.h"

class PMainWindow : public IMainWindow {
 public:
  explicit PMainWindow(IBNibRef nib);
  ~PMainWindow() override;

  using PWindowHandlerBase::CreateWindow;
  WindowPtr CreateWindow(IBNibRef nib) override;

  IBrowser* GetBrowser() const override { return wdrawer ? browser : nullptr; }
  PBrowser* GetPBrowser() const { return wdrawer ? browser : nullptr; }
  PTabControlDrawer* GetSelector() const { return wdrawer ? selector : nullptr; }
  PDrawer* GetToolbar() const { return wdrawer ? toolbar : nullptr; }
  // Tab drawer i (1-6) of the selector; NULL without a window.
  PDrawer* GetSelectDrawer(int i) const;
  PDrawer* GetFileDrawer() const { return GetSelectDrawer(1); }
  // Tab i when i is 3, 4, 5 or 6 (the string sets).
  PDrawer* GetSetListDrawer(int i) const;

  int Show(int how) override;
  void UpdateSelectorList(int tab) override;
  void ShowMode(const char* text) const override;
  void ShowMessage(const char* text, bool busy) const override;
  void EchoAction(const char* verb, int n) const override;
  void SetDisplayFields(unsigned long code, bool toggle) override;
  void SetThumbSize(unsigned long code, bool toggle) override;
  void ThumbIncr(int steps) override;
  void Close() override;
  bool OpenCatalog(const char* path) override;
  bool Undo() override;
  bool Redo() override;
  // The loading bracket. Until the catalogue operations are built they only empty, show and
  // count the display (pmainload.cpp).
  void LoadingRecords(const DBFieldInfo* schema) override;
  void LoadedRecords(int nfound) override;
  // The selectors. Do the least (nothing) until the selector lists are built.
  void HiliteSelectors() const override {}
  void SelectFolder(const char*, bool) override {}

  OSStatus HandleClose(EventRef event);
  OSStatus HandleCommand(EventRef event);
  OSStatus HandleCommandUpdate(EventRef event);

  // The display-field groups of the table, as the menu's check marks show them.
  static bool setSet, fileSet, capSet, otherSet, allSet;

 private:
  // The record exchange commands (pmainexch.cpp): true when cmd is one of them.
  bool ExchangeCommand(UInt32 cmd);
  bool ExchangeCommandUpdate(UInt32 cmd);

  ControlRef Control(SInt32 id) const;

  PTabControlDrawer* selector;
  PBrowser* browser;
  PChestDrawer* toolbar;
};
