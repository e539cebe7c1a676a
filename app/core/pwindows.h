// What each window offers the others. Windows never link one another: the core declares here
// the services of the main window, its browser pane, the info, find and image windows, and the
// globals gMain, gInfo, gFind and gImager point at these interfaces. Each window's library
// implements its interface (PMainWindow, PBrowser, PInfoWindow, PFindWindow, PImageWindow) and
// the shell registers factories that make them (PsetWindowFactories, papp.h).
//
// An interface grows with the work that needs it: a later window or command adds the operations
// it calls, each a virtual call per window operation (never per pixel or record).
#pragma once

#include "catalog/pixhaven.h"
#include "support/dmessage.h"
#include "toolkit/pdrawer.h"

// A pane over a window's whole form, for windows whose controls keep the places the form gives
// them.
PDrawer* PformPane(WindowRef w);

// The thumbnail browser pane of the main window: a grid of thumbnails of the displayed records,
// or a table of their fields.
class IMainWindow;
class PImageRing;

class IBrowser {
 public:
  virtual ~IBrowser() = default;
  // Thumbnail edge divisor: 1, 2, 4 or 8 give 320, 160, 80 or 40 pixels; 0 is the table.
  virtual int ThumbDenom() const = 0;
  virtual void SetThumbDenom(int denom) = 0;
  // Forgets what the pane shows and draws it again from the displayed records.
  virtual void Redisplay() = 0;
  // Table columns: whichf non-zero chooses them from the schema by its flag bits; Clear leaves
  // only those added one by one (a photo field number, translated to the open catalogue's schema).
  virtual void SetDisplayFields(int whichf) = 0;
  virtual void ClearDisplayFields() = 0;
  virtual bool AddDisplayField(int photoField) = 0;
  // The table's columns as field numbers of the displayed list's schema.
  virtual int DisplayFieldCount() const = 0;
  virtual int DisplayField(int i) const = 0;
  virtual int DisplayFieldFlags() const = 0;

  // The main window the pane belongs to, and its catalogue context (displayed records, their
  // selection, the open catalogue); NULL without a main window.
  virtual IMainWindow* GetMainWindow() const = 0;
  virtual PContext* GetContext() const = 0;
  // Draws the pane again for its present layout (thumbnail size, size, records).
  virtual void Redraw() = 0;
  // Shown in the window (its own request and its container's).
  virtual bool IsShown() const = 0;
  // Displayed-record index of the top-left cell, and the number of cells the grid shows (0 in
  // the table).
  virtual int TopIndex() const = 0;
  virtual int ThumbSlots() const = 0;
  // Scrolls by whole rows (grid) or list rows (table); the rows actually scrolled.
  virtual int ScrollDown(int rows) = 0;
  // The index among the displayed records of the record of r's image file, -1 when none.
  virtual int FindRecord(const DBRecord& r) const = 0;
  // Selection: the context's operation, then the selection shown everywhere (ShowSelection).
  virtual void SelectAll() = 0;
  virtual void SelectNone() = 0;
  virtual void SelectInverse() = 0;
  // Shows the context's selection in the pane, the status line and the info window; with
  // scroll the first selected record is scrolled into view.
  virtual void ShowSelection(bool scroll) = 0;
  // The drop frame around the pane while records or files are dragged over it.
  virtual void Highlight(bool on) = 0;
  // The insertion index of a drop at a window-local point (drawn as a bar), -1 when the pane
  // is hidden or shows the table; the index stored; and the bar removed.
  virtual int InsertionPoint(Point pt) = 0;
  virtual int InsertionPoint() const = 0;
  virtual void ClearInsertion() = 0;
  // Sorts the displayed records with photo field fid (translated to the display's schema) as
  // first key (fid < 0: by the present order), and the first key as a photo field (-1: none).
  virtual void SortDisplay(int fid, bool rev) = 0;
  virtual int GetSort(bool* rev) const = 0;
};

// The catalogue browser window. It owns the catalogue context bc (displayed records, their
// selection, the open catalogue and the shadow catalogue) for the whole run.
class IMainWindow : public PWindowHandlerBase {
 public:
  PContext bc;

  virtual IBrowser* GetBrowser() const = 0;
  // Shows (1) or hides (0) the window; the window's own state line follows. Returns the
  // visibility change of the window's pane tree.
  virtual int Show(int how) = 0;
  // The selector's list of tab i (1 folders, 2 timeline, 3-6 subjects, albums, keywords,
  // owners) reads its data again.
  virtual void UpdateSelectorList(int tab) = 0;
  virtual void ShowMode(const char* text) const = 0;
  // The status line; busy shows the busy indicator.
  virtual void ShowMessage(const char* text, bool busy) const = 0;
  // "verb 1 record" or "verb n records" on the status line and in the log.
  virtual void EchoAction(const char* verb, int n) const = 0;
  virtual void SetDisplayFields(unsigned long code, bool toggle) = 0;
  virtual void SetThumbSize(unsigned long code, bool toggle) = 0;
  virtual void ThumbIncr(int steps) = 0;
  // Hides the window, forgets the displayed records and closes the catalogue.
  virtual void Close() = 0;
  // Catalogue operations.
  virtual bool OpenCatalog(const char* path) = 0;
  virtual bool Undo() = 0;
  virtual bool Redo() = 0;

  // The loading bracket: every loader of displayed records calls LoadingRecords (the display
  // empties and takes the schema, NULL: the catalogue's or the photo schema) before it fills
  // them, and LoadedRecords with the number it found after.
  virtual void LoadingRecords(const DBFieldInfo* schema) = 0;
  virtual void LoadedRecords(int nfound) = 0;
  // The selector lists show the selected records' values.
  virtual void HiliteSelectors() const = 0;
  // The folder tree opens at path (and opens the folder itself with open).
  virtual void SelectFolder(const char* path, bool open) = 0;
};

// The record info window.
class IInfoWindow : public PWindowHandlerBase {
 public:
  // Shows displayed record i of the browser b (raise: brings the window forward). Does the
  // least (nothing, false) until the info window shows records.
  virtual bool ShowInfo(IBrowser* b, int i, bool raise) {
    (void)b, (void)i, (void)raise;
    return false;
  }
};

// The search window.
class IFindWindow : public PWindowHandlerBase {};

// The image window and its ring of open images.
class IImageWindow : public PWindowHandlerBase {
 public:
  // Closes every open image; with ask, changed images are offered for saving first and the
  // user may refuse. 1 when all closed.
  virtual int CloseImages(bool ask) = 0;

  // The ring of open images. Each does the least (nothing; false, NULL) until the ring is
  // built. AddImage opens an image file as the current image; GetCurrentIR is the current
  // image; Advance makes an image of the ring current; Present brings the window up with it.
  virtual bool AddImage(const char* path) {
    (void)path;
    return false;
  }
  virtual PImageRing* GetCurrentIR() const { return nullptr; }
  virtual void Advance(const PImageRing* ir) { (void)ir; }
  virtual void Present() {}
};
