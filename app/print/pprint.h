// Printing: images one per page with a caption under each, and index sheets of thumbnails,
// through the program's one print session (platform/pqt.h: a QPrinter with its page format).
//
// Page units are the printer's device pixels at the resolution chosen for the job, with the
// origin at the paper's top-left corner and y growing downwards; the page rectangle is the
// printable part of the paper. Pictures are rendered for print through a display image set to
// sRGB with a dynamic range of 32 and a maximum display luminance of 100.
//
// The commands tell their outcome by their result, the status line and the log. A job stopped
// (the progress window's Stop, or a quit) drops its document whole: nothing of it prints.
#pragma once

#include "app/print/qtextform.h"
#include "db/dbrecord.h"
#include "display/pdispimg.h"
#include "platform/pqt.h"

// Caption lines, in the order they are drawn.
enum : int {
  PCFfile = 8192,
  PCFtitle = 1,
  PCFalbum = 4,  // the record's caption in the main window's album
  PCFcapdate = 2,
  PCFsubject = 8,
  PCFowner = 16,
  PCFkeywords = 32,
  PCFcomments = 64,
  PCFsize = 128,
  PCFformat = 256,
  PCFlength = 512,
  PCFsource = 1024,
  PCFexposure = 2048,
  PCFposition = 16384,  // GMT date, GPS position and sight bearing
  PCFuser = 4096,       // the catalogue's own fields
};

// The choices of one print job of images.
struct PrintOptions {
  bool bestOrientation;  // turn each image the way the page holds it best
  bool fitToPage;        // fill the printable area; otherwise print at the record's density
  bool autoCrop;         // crop to the page's proportions instead of leaving margins
  int tmFlags;           // tone-mapping flags for high dynamic range images
  int heightIndex;       // caption line height, an index into the table of LineHeight
  int captionFlags;      // the caption lines (PCF...)

  PrintOptions() { SetDefaults(); }
  // Turned, fitted, not cropped, 0.24-inch caption lines, no caption; the tone-mapping flags
  // follow the default exposure mode PEMDefault.
  void SetDefaults();
  // Inches per caption line.
  float LineHeight() const;
  // The lines of a caption without a record (the lines asked for, and 4 more when any are), and
  // of the record's caption, estimated for the page's width.
  int NLines() const;
  int NLines(const DBRecord& rec) const;
  // NLines times LineHeight, in inches.
  float CaptionHeight() const { return NLines() * LineHeight(); }
  float CaptionHeight(const DBRecord& rec) const { return NLines(rec) * LineHeight(); }
  // The print options dialog: disa are the option bits shown disabled and left alone, xfer
  // those set from these options (the others show what the user chose last). False when
  // cancelled, the options unchanged.
  bool Dialog(int disa, int xfer);
  // Draws the caption into the form's rectangle; false when it did not fit (the rest is left
  // out).
  bool RenderCaption(const DBRecord& rec, QTextForm* form) const;
};

// The print session, made by the first command that needs it; NULL before.
PPrintSession* PprintSession();

// Makes the session when missing; with a record not seen last, turns the page the way the
// record's (cropped, oriented) picture lies. False when no session can be had.
bool checkPrintSession(const DBRecord* rec);
// The settings of a new job (the caller deletes them), or NULL after a reported failure.
PPrintSettings* printSetup(const DBRecord* rec);
// The page setup dialog; true when accepted ('ok  '), else false ('not!').
bool pageSetup(const DBRecord* rec);
// Ends the session (at quit).
void closePrintSession();

// Chooses the printer resolution nearest want dots per inch from above, applies it and returns
// it; 0 when none could be set.
float setPrintResolution(float want);
// The resolution for one image, and for pages first to last of the main window's selection.
float setPrintResolution(const PDisplayImage* dimg, const PrintOptions* opts);
float setPrintResolution(int first, int last, const PrintOptions* opts);
// The printable part of the page in page units; returns the paper's height.
double getAdjustedPageRect(PPrintRect* r);

// Prints one image on a page of the open document.
bool imagePage(PDisplayImage* dimg, const PrintOptions* opts);
// The print commands: the main window's selection one image a page, and the image window's
// image.
bool printImages();
bool printDisplayImage(PDisplayImage* dimg);

// The index command: contact sheets of the main window's displayed records (the selection, or
// all when none is selected) at the browser's thumbnail size.
bool printIndex();
// Draws cell ndx of an ncols x nrows grid on the page: the record's thumbnail with its label.
// fontPoints and sepPoints are the label's and the gaps' sizes in page units. True when the
// thumbnail was drawn.
bool printThumb(QPainter* page, const DBRecord& dr, int ndx, int ncols, int nrows, float fontPoints,
                float sepPoints);
