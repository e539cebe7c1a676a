// The thumbnail browser pane of the main window: the displayed records of the main window's
// catalogue context as a grid of thumbnails (edge 320 / tnDenom pixels) or, with tnDenom 0, as
// a table of their fields. The pane never owns records: it reads the context's displayed list,
// selection and source.
#pragma once

#include "app/core/pwindows.h"
#include "thumbs/pthumb.h"
#include "support/abitmap.h"

class PBrowser : public PDrawer, public IBrowser {
 public:
  explicit PBrowser(IMainWindow* mw);
  ~PBrowser() override;

  // The program's one thumbnail manager.
  static PThumbnailer& tnMgr;

  int Show(int vis) override;
  void Redraw() override;
  // Forgets what the pane shows: the table, the thumbnails and the drop highlight.
  void Clear();

  // IBrowser.
  int ThumbDenom() const override { return tnDenom; }
  void SetThumbDenom(int denom) override { tnDenom = denom; }
  void Redisplay() override;
  void SetDisplayFields(int whichf) override;
  void ClearDisplayFields() override { SetDisplayFields(0); }
  bool AddDisplayField(int photoField) override;
  int DisplayFieldCount() const override { return dfCount; }
  int DisplayField(int i) const override { return i >= 0 && i < dfCount ? dfOrder[i] : -1; }
  int DisplayFieldFlags() const override { return dfSel; }

  // A column by field number of the displayed list's schema.
  bool AddDisplayFieldID(int fid);

  IMainWindow* mainw;
  int tnDenom;
  int topleftIndex;
  int insertIndex;
  Point csiz;  // v: line height, h: table column width
  int cwidth;  // characters per table cell
  int16_t dfOrder[128];
  int dfCount;
  ABitMap dfBMap;
  int dfSel;
  bool highlighted;
};
