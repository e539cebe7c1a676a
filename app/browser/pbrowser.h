// The thumbnail browser pane of the main window: the displayed records of the main window's
// catalogue context as a grid of thumbnails (edge 320 / tnDenom pixels) or, with tnDenom 0, as
// a table of their fields. The pane never owns records: it reads the context's displayed list,
// selection and source.
//
// Grid geometry, with ts the thumbnail edge: cells are ts + 24 pixels apart across and
// 16 + ts + 24 down; cell (r, c) has its thumbnail square at (24 + c (ts + 24),
// 24 + r (16 + ts + 24)) from the pane's top left, its caption line below it; the 15 pixels at
// the right hold the scroll bar. At most 512 cells are held, whole rows; scrolling hands the
// thumbnails that stay visible to their new cells.
#pragma once

#include <string>

#include "app/core/pbusy.h"
#include "app/core/pwindows.h"
#include "thumbs/pthumb.h"
#include "support/abitmap.h"

class QPainter;

// A field's text as a caption or a table cell shows it: as ShownName shows it (a file's name of
// other bytes, a value holding a line feed show those bytes as "\xHH"), so that two names never
// look alike. `cut` is the size the text was formatted to: a text that long may
// end in a character cut short, which is left out rather than shown as bytes. *n is the length
// to show; *keep holds the shown text when it is made anew.
const char* PshownField(const char* text, size_t cut, size_t* n, std::string* keep);

class PBrowser : public PDrawer, public IBrowser {
 public:
  static constexpr int kMaxCells = 512;

  explicit PBrowser(IMainWindow* mw);
  ~PBrowser() override;

  // The program's one thumbnail manager.
  static PThumbnailer& tnMgr;

  // The pane.
  int Show(int vis) override;
  void Redraw() override;
  bool Click(Point pt, unsigned short mods, EventRef event) override;
  bool Wheel(Point pt, int xdelta, int ydelta, EventRef event) override;

  // Layout and drawing (grid). UpdateThumbs lays the grid out, draws it and fills the empty
  // cells with quick thumbnails, pumping events as it goes; it returns the cells it reached.
  int UpdateThumbs();
  void DrawThumb(int tn);
  void DrawThumbs();
  // Cells in use: the grid's cells (at most 512) down to the last displayed record.
  int ThumbCount() const;
  int ScrollDown(int nrdown) override;
  void Highlight(bool on) override;
  void Redisplay() override;
  // Forgets what the pane shows: the table, the thumbnails, the sounds and the drop marks.
  void Clear();
  void FreeThumb(int i);
  void FreeThumbs();
  IMainWindow* GetMainWindow() const override { return mainw; }
  PContext* GetContext() const override;

  // Selection and clicks.
  bool ThumbClick(Point pt, unsigned short mods, EventRef event);
  // The displayed record under a window-local point of the grid, -1 between cells.
  int HitRecord(Point pt) const;
  // The information panel of displayed record i until the mouse button is released.
  void FocusThumb(int i);
  void ShowSelection(bool scroll) override;
  void GetListSelection();
  void SelectAll() override;
  void SelectNone() override;
  void SelectInverse() override;
  int InsertionPoint(Point pt) override;
  int InsertionPoint() const override { return insertIndex; }
  void DrawInsertion(bool on);
  void ClearInsertion() override;

  // Table mode and display fields.
  void SetDisplayFields(int whichf) override;
  void ClearDisplayFields() override { SetDisplayFields(0); }
  bool AddDisplayField(int photoField) override;
  // A column by field number of the displayed list's schema.
  bool AddDisplayFieldID(int fid);
  ListHandle GetList();
  void FreeList();
  void DrawListHeader();
  void SortDisplay(int fid, bool rev) override;
  int GetSort(bool* rev) const override;
  static bool fieldSet(const DBRecordList& list, int id);

  // The edit transaction (pbrowchange.cpp).
  bool NewChange(const char* label) override;
  DBRecord* ChangeRecord(int i) override;
  const ABitMap& GetChangeMap() const override { return changeMap; }
  bool ChangeOpen() const override { return changeName != nullptr; }
  int CompleteChange() override;
  void NoChange() override;
  // Record sounds and final thumbnails (pbrowimprove.cpp). Whether displayed record i has a
  // sound file beside its image (learned once per display length); plays it with the desktop's
  // opener, true when the opener succeeded.
  bool SoundCheck(int i);
  bool PlaySound(int i);
  // Upgrades the visible cells to final thumbnails, learning their sounds: one cell unless
  // doall; the number of cells redrawn. Stops when the grid scrolls or changes meanwhile.
  int ImproveDisplay(bool doall) override;

  // IBrowser.
  int ThumbDenom() const override { return tnDenom; }
  void SetThumbDenom(int denom) override { tnDenom = denom; }
  int DisplayFieldCount() const override { return dfCount; }
  int DisplayField(int i) const override { return i >= 0 && i < dfCount ? dfOrder[i] : -1; }
  int DisplayFieldFlags() const override { return dfSel; }
  bool IsShown() const override { return IsVisible(); }
  int TopIndex() const override { return topleftIndex; }
  int ThumbSlots() const override;
  int FindRecord(const DBRecord& r) const override;

  // The thumbnail edge of the grid, 0 in table mode.
  int ThumbSize() const { return tnDenom > 0 ? PBigThumbWidth / tnDenom : 0; }
  // The number of displayed records.
  int Records() const;

  IMainWindow* mainw;
  ABitMap hasSound;      // per displayed record: it has a sound file
  ABitMap soundChecked;  // per displayed record: hasSound is known
  _ImgStruct thumb[kMaxCells];
  ABitMap thumbFinal;  // per cell: the thumbnail is final
  int ntrows;
  int ntcols;
  int topleftIndex;
  int insertIndex;
  double lastUpTime;
  Point lastUpPoint;  // where that click was
  ControlRef thumbScroll;
  ListHandle listh;
  Point csiz;  // v: line height, h: table column width
  int cwidth;  // characters per table cell
  int16_t dfOrder[128];
  int dfCount;
  ABitMap dfBMap;
  int dfSel;
  bool highlighted;
  const char* changeName;  // the open transaction's label (a copy in changeText), NULL when none
  PCSnapshot* changeSS;    // the display as it was when the transaction opened
  ABitMap changeMap;       // per displayed record: changed in the open transaction
  int tnDenom;

 private:
  // Draws cell tn with the painter given (one painter serves a whole pass).
  void DrawCell(QPainter* p, int tn);
  // Frees cells from .. to - 1.
  void FreeCells(int from, int to);
  // The number of cell slots the grid uses: whole rows within 512.
  int SlotsInUse() const;
  // Table clicks.
  bool ListClick(Point pt, unsigned short mods);

  int clearCount;  // rises at every Clear: the display may have changed
  char changeText[32];
  PBusyGuard* changeBusy;  // holds the commands back while a transaction is open
};
