// The catalogue browser window: the selector tabs on the left (folders, timeline, subjects,
// albums, keywords, owners), the toolbar with the status line and the sort controls across the
// top, and the thumbnail browser below the toolbar. It owns the catalogue context bc.
#pragma once

#include "app/browser/pbrowser.h"
#include "app/core/pwindows.h"
#include "app/mainwin/pselectlist.h"

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
  void ShowUnsaved(bool unsaved) override;
  void SetDisplayFields(unsigned long code, bool toggle) override;
  void SetThumbSize(unsigned long code, bool toggle) override;
  void ThumbIncr(int steps) override;
  // The thumbnail size (denominator, 0 for the list) steps away.
  int ThumbStep(int steps) const;
  // The state of a thumbnail size or zoom item; false for another code.
  bool ThumbState(unsigned long code, bool* enable, bool* checked) const;
  void Close() override;

  // Catalogue operations (pmaincat.cpp).
  bool OpenCatalog(const char* path) override;
  // Bring the window up to date after a catalogue opened, or failed to open or closed.
  void ValidCatalog(const char* path);
  void InvalidCatalog();
  void CloseCatalog() override;
  bool LoadingRecords(const DBFieldInfo* schema) override;
  void LoadedRecords(int nfound) override;
  int AddRecords() override;
  bool CheckNewFields(const ABitMap* sel) override;
  bool CanDuplicate() const override;
  int DuplicateRecords() override;
  void Reorient(unsigned long code) override;
  int AlbumIndex(const DBRecord* rec) const override;
  bool CanCaption(const DBRecord* rec) const override;
  char* GetCaption(char* buf, int len, const DBRecord* rec) const override;
  bool SetCaption(const char* text) override;
  bool Undo() override;
  bool Redo() override;
  const char* NoChange() const override;
  // The selectors (pselectproc.cpp).
  void UpdateSelectors() override;
  void HiliteSelectors() const override;
  void SelectFolder(const char* path, bool open) override;
  static void RecordFileSel(PSelectListDrawer* list, bool final);
  // The list actions: a click (final: a double click) in a set list.
  static void RecordSetSel(PSelectListDrawer* list, bool final);
  void ProcessSetSel(PSetListDrawer* list, bool final);
  static void RecordTimelineSel(PSelectListDrawer* list, bool final);
  void ProcessTimelineSel(PTimelineListDrawer* list, bool final);

  // Sorting (pmainsort.cpp).
  void SortRecords(unsigned long code, int reverse) override;
  void SortAlbum() override;
  void SortDBOrder() override;
  // Whether the sort command would change the choice or the order.
  bool SortChanges(unsigned long code) const;

  // Commands (pmaincmd.cpp).
  OSStatus HandleClose(EventRef event);
  OSStatus HandleCommand(EventRef event);
  OSStatus HandleCommandUpdate(EventRef event);
  bool SetUndoable(bool undoable) override;
  void UpdateUndoItems() const override;
  void SetDensity(float d) override;
  void SetOther(unsigned long cmd) override;
  void CheckOtherSettings() override;

  // The display-field groups of the table, as the menu's check marks show them.
  static bool setSet, fileSet, capSet, otherSet, allSet;

 private:
  // The record exchange commands (pmainexch.cpp): true when cmd is one of them.
  bool ExchangeCommand(UInt32 cmd);
  bool ExchangeCommandUpdate(UInt32 cmd);
  // The field setting commands (pmainsetcmd.cpp): true when cmd is one of them.
  bool FieldSettingCommand(UInt32 cmd);
  bool FieldSettingCommandUpdate(UInt32 cmd);

  ControlRef Control(SInt32 id) const;
  // Makes the selector's six tab panes.
  void AddSelectorTabs();
  void SelectMatching();
  // The display emptied for the records a selector's search finds; false when it cannot be.
  bool ClearForSelectorSearch();
  // The title: the open catalogue's name and whether it is read-only or not saved.
  void ShowTitle() const;
  // Whether an edit transaction is open, with a "warning" naming what it holds back.
  bool Editing(const char* what) const;
  // Renumbers the album's positions in the display order (a writable catalogue only).
  void RenumberAlbum();
  // The enabling rule of a command code; false when the main window leaves it to others.
  bool CommandState(UInt32 cmd, bool* enable) const;

  PTabControlDrawer* selector;
  PBrowser* browser;
  PChestDrawer* toolbar;
  bool undoSteps = false;  // as SetUndoable last said
  bool unsavedShown = false;  // as ShowUnsaved last said
};

// Whether a problem blinks in the main window's status line now (the text last asked for shows
// when it ends, 2.5 s after it began).
bool PstatusBlinks();
