// What each window offers the others. Windows never link one another: the core declares here
// the services of the main window, its browser pane, the info, find and image windows, and the
// globals gMain, gInfo, gFind and gImager point at these interfaces. Each window's library
// implements its interface (PMainWindow, PBrowser, PInfoWindow, PFindWindow, PImageWindow) and
// the shell registers the makers of them (phooks.h).
//
// An interface grows with the work that needs it: a later window or command adds the operations
// it calls, each a virtual call per window operation (never per pixel or record).
#pragma once

#include "catalog/pixhaven.h"
#include "support/dmessage.h"
#include "toolkit/pctltext.h"
#include "toolkit/pdrawer.h"
#include "toolkit/pdrawkinds.h"
#include "toolkit/pwinhandler.h"

class PImageRing;

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

  // The main window the pane belongs to; NULL without one.
  virtual IMainWindow* GetMainWindow() const = 0;
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

  // The catalogue context whose displayed records the pane shows: the main window's.
  virtual PContext* GetContext() const = 0;
  // Reflects the context's selection in the pane, the status line and the info window; scroll
  // brings the first selected record into view.
  virtual void ShowSelection(bool scroll) = 0;
  // Upgrades visible thumbnails to final quality (all with doall); the number redrawn.
  virtual int ImproveDisplay(bool doall) = 0;

  // ---- The edit transaction over displayed records: NewChange(label); ChangeRecord(i) for
  // each record, edited in place through the pointer returned; then exactly one of
  // CompleteChange() or NoChange(). The label names the undo step. While a transaction is
  // open (its questions may wait with the windows live) the commands that would replace,
  // reorder or remove the displayed records, or open or close a catalogue, are held back.
  // False, with a "warning", when a transaction is already open or there is no display.
  virtual bool NewChange(const char* label) = 0;
  // Marks displayed record i changed and returns it; NULL (with a "warning") without an open
  // transaction or for an index outside the display.
  virtual DBRecord* ChangeRecord(int i) = 0;
  // The displayed records marked so far (empty without a transaction).
  virtual const ABitMap& GetChangeMap() const = 0;
  // Whether a transaction is open.
  virtual bool ChangeOpen() const = 0;
  // Ends the transaction: offers new catalogue fields (declining abandons it), writes the
  // marked records back as one undo step (uncatalogued ones to the shadow catalogue) and
  // redraws. The number of catalogue records written, 0 when none, -1 on a write failure.
  virtual int CompleteChange() = 0;
  // Abandons the transaction: the edits stay on the displayed records, nothing is written and
  // no undo step is made.
  virtual void NoChange() = 0;
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
  // The title says whether the open catalogue holds changes that could not be saved.
  virtual void ShowUnsaved(bool unsaved) = 0;
  virtual void SetDisplayFields(unsigned long code, bool toggle) = 0;
  virtual void SetThumbSize(unsigned long code, bool toggle) = 0;
  virtual void ThumbIncr(int steps) = 0;
  // Hides the window, forgets the displayed records and closes the catalogue.
  virtual void Close() = 0;
  // Catalogue operations.
  virtual bool OpenCatalog(const char* path) = 0;
  virtual bool Undo() = 0;
  virtual bool Redo() = 0;

  // What the image window asks of the main window. Captions of a record (NULL: the lone
  // selected one) in the album shown.
  virtual bool CanCaption(const DBRecord* rec) const = 0;
  virtual char* GetCaption(char* buf, int len, const DBRecord* rec) const = 0;
  virtual bool SetCaption(const char* text) = 0;
  // Brings the Edit menu's undo and redo items up to date; whether something can be undone.
  virtual bool SetUndoable(bool undoable) = 0;
  // Names and enables the undo and redo items again as the last SetUndoable left them.
  virtual void UpdateUndoItems() const = 0;
  // The setting commands the main window carries out on its browser's selection, for the
  // image window: the density (d <= 0 asks), 'othr' and 'oth1' .. 'oth9', and the update of the
  // field-name menu.
  virtual void SetDensity(float d) = 0;
  virtual void SetOther(unsigned long cmd) = 0;
  virtual void CheckOtherSettings() = 0;

  // The loading bracket: every loader of displayed records calls LoadingRecords (the display
  // empties and takes the schema, NULL: the catalogue's or the photo schema) before it fills
  // them, and LoadedRecords with the number it found after.
  // LoadingRecords refuses (false, with a "warning", the display untouched) while an edit
  // transaction is open: the loader must then stop.
  virtual bool LoadingRecords(const DBFieldInfo* schema) = 0;
  virtual void LoadedRecords(int nfound) = 0;
  // The selector lists show the selected records' values.
  virtual void HiliteSelectors() const = 0;
  // The folder tree opens at path (and opens the folder itself with open).
  virtual void SelectFolder(const char* path, bool open) = 0;

  // ---- Catalogue operations. Closes the open catalogue, if any (refused while an edit
  // transaction is open).
  virtual void CloseCatalog() = 0;
  // Adds the selected displayed records (all when none is selected) to the catalogue, asking a
  // subject for those without one and offering new fields: the number added, 0 when nothing
  // could be done, -1 when cancelled or failed.
  virtual int AddRecords() = 0;
  // Offers to add to the catalogue's schema the fields that the displayed records marked in sel
  // (NULL: the selected ones) hold and the catalogue lacks; true when the catalogue can take
  // the records (false when cancelled, failed, or without a catalogue or display schema).
  virtual bool CheckNewFields(const ABitMap* sel) = 0;
  // Copies of the selected catalogue records as a new display ("*EX"); the number displayed,
  // 0 when not allowed.
  virtual bool CanDuplicate() const = 0;
  virtual int DuplicateRecords() = 0;
  // Turns or flips the selected records ('flhz', 'flvt', 'cw90', 'cc90', 'c180') as one step.
  virtual void Reorient(unsigned long code) = 0;
  // The index of the album shown among rec's albums (the highest of equal names), -1 for NULL,
  // without an album shown, or when rec is not in it.
  virtual int AlbumIndex(const DBRecord* rec) const = 0;
  // Shows (and returns) the status text of an edit that changed nothing.
  virtual const char* NoChange() const = 0;
  // Sorting the displayed records: code 'sman', 'sdat', 'sfil', 'stit', 'ssub', 'sown', or
  // 'sort' or 0 for the popup's choice; reverse 0 or 1, or -1 for the reverse box. SortAlbum
  // shows the album in its own order, SortDBOrder catalogue records in the catalogue's.
  virtual void SortRecords(unsigned long code, int reverse) = 0;
  virtual void SortAlbum() = 0;
  virtual void SortDBOrder() = 0;
  // The selector lists and the timeline read the catalogue again.
  virtual void UpdateSelectors() = 0;
};

// The record info window.
class IInfoWindow : public PWindowHandlerBase {
 public:
  // Record i of the browser's display, or a lone record; raise brings the window forward.
  virtual bool ShowInfo(IBrowser* b, int i, bool raise) = 0;
  virtual bool ShowInfo(const DBRecord& rec, bool raise) = 0;
  // Fills the controls again from the record shown.
  virtual void UpdateFields() = 0;
  // Hides the window and forgets the record; the browser whose record is shown (NULL for a
  // lone record or when closed). Whoever empties or replaces a browser's displayed records
  // closes the window first when it shows that browser's record.
  virtual void Close() = 0;
  virtual IBrowser* GetBrowser() const = 0;
};

// The search window.
class IFindWindow : public PWindowHandlerBase {
 public:
  // The find command: shows the window over the main window mw (NULL: gMain); false when it
  // cannot.
  virtual bool Find(IMainWindow* mw) = 0;
};

// The image window and its ring of open images.
class IImageWindow : public PWindowHandlerBase {
 public:
  // Closes every open image; with ask, changed images are offered for saving first and the
  // user may refuse. 1 when all closed.
  virtual int CloseImages(bool ask) = 0;

  // The ring of open images, as the main window's commands and the application reach it.
  // Images open from a file or a record (reconcile: fill the record from the catalogue first);
  // an image already open becomes current instead. False when it cannot be read.
  virtual bool AddImage(const char* path) = 0;
  virtual bool AddImage(const DBRecord& rec, bool reconcile) = 0;
  // Opens the browser's selected records; how many opened.
  virtual int OpenImages() = 0;
  // The current image (NULL when none is open) and the open image of a record.
  virtual PImageRing* GetCurrentIR() const = 0;
  virtual PImageRing* MatchImage(const DBRecord& rec) const = 0;
  // Makes an open image current (without drawing).
  virtual void Advance(const PImageRing* ir) = 0;
  // Closes the current image; with cancancel its owner may refuse (false).
  virtual bool CloseImage(bool cancancel) = 0;
  // Fills every open image's record from the catalogue again and redraws.
  virtual void Reconcile() = 0;
  // Reads the current image's file again, or every open image's.
  virtual void Reload() = 0;
  virtual void ReloadAll() = 0;
  // Moves the current image n places along the ring.
  virtual void Reposition(int n) = 0;
  // Turns or flips the current image's record: 'cw90', 'cc90', 'c180', 'flhz', 'flvt'.
  virtual bool Reorient(OSType cmd) = 0;
  virtual int ImageCount() const = 0;
  // Position of an open image (NULL: the current one) from the first; -1 when not open.
  virtual int ImageIndex(const PImageRing* ir) const = 0;
  // Makes the browser's selection follow the current image; with force an image outside the
  // display becomes the display.
  virtual bool SelectImage(bool force) = 0;
  // Shows the window with the current image; false when none is ready.
  virtual bool Present() = 0;
  // Draws the current image again (title, panel and pane).
  virtual void Redraw() = 0;
  virtual int Show(int vis) = 0;
  virtual IBrowser* GetBrowser() const = 0;
  // The slide show of the open images: asks for its options and starts one.
  virtual void SlideShow() = 0;

  // ---- Temporary images (HDR results, panoramas): the record of a file the program wrote is
  // opened as the current image and shown; closing it offers to save it and otherwise deletes
  // the file. False when it cannot be opened (the file is then the caller's).
  virtual bool AddTempImage(const DBRecord& rec) = 0;

  // The histogram window for channel chan (0-4; others keep the window's channel) and the
  // false-colour legend (-1 forget the bar, 0 refresh, 1 automatic limits, 2 typed limits);
  // 1 when drawn or applied. Turns false colour on or off; false without a ready image.
  virtual int UpdateHistogram(int chan) = 0;
  virtual int UpdateFCLegend(int how) = 0;
  virtual bool FalseColor(bool switchon) = 0;
};
