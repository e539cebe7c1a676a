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
#include "toolkit/pctltext.h"
#include "toolkit/pdrawer.h"
#include "toolkit/pdrawkinds.h"
#include "toolkit/pwinhandler.h"

// A pane over a window's whole form, for windows whose controls keep the places the form gives
// them.
PDrawer* PformPane(WindowRef w);

// The thumbnail browser pane of the main window: a grid of thumbnails of the displayed records,
// or a table of their fields.
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

  // The caption of rec (NULL: the lone selected record) in the album shown, copied into buf
  // (at most len bytes with its terminator); NULL when it has none. Does the least (NULL)
  // until albums are built.
  virtual char* GetCaption(char* buf, int len, const DBRecord* rec) const {
    (void)buf, (void)len, (void)rec;
    return nullptr;
  }
};

// The record info window.
class IInfoWindow : public PWindowHandlerBase {};

// The search window.
class IFindWindow : public PWindowHandlerBase {};

// The image window and its ring of open images.
class IImageWindow : public PWindowHandlerBase {
 public:
  // Closes every open image; with ask, changed images are offered for saving first and the
  // user may refuse. 1 when all closed.
  virtual int CloseImages(bool ask) = 0;
};
