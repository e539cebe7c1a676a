// The deliberate Qt seam of the platform layer. The application draws with Qt through the hooks
// declared here and reaches no other Qt: a PortPainter paints into a window's port with
// everything QPainter offers (rounded rectangles, UTF-8 text wrapped or centred in a box, fonts
// and text widths through QFontMetrics, exclusive-or outlines through
// QPainter::RasterOp_SourceXorDestination, images under an affine transform). The program's
// start-up and the tests also find the widgets behind windows, controls and menus here.
#pragma once

#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QTransform>
#include <functional>
#include <string>
#include <vector>

#include "platform/ptypes.h"

class QAction;
class QMenu;
class QWidget;

// Paints into a port (NULL: the current port), clipped to it; what was painted shows on screen
// when the painter ends (or is destroyed): the part within its clip, which a painter of a small
// part narrows to that part. It starts with the window's font, the port's fore
// colour as pen, no brush and the window-local coordinates of the port. On a stale port it is
// not active (isActive() is false) and paints nothing.
class PortPainter : public QPainter {
 public:
  // What becomes of a part of the port turned by ScrollWindowRect (see PortRolled): turned back
  // first (undo); left as it is stored, the caller painting that part's pixels where they are
  // kept, not where they show (keep); or forgotten without moving a pixel, when the caller
  // paints the whole part anew (drop).
  enum Rolled { undo, keep, drop };
  explicit PortPainter(GrafPtr port = nullptr, Rolled rolled = undo);
  ~PortPainter();
  PortPainter(const PortPainter&) = delete;
  PortPainter& operator=(const PortPainter&) = delete;
  // Shows what was painted and ends the painter.
  void finish();

 private:
  uintptr_t window_;
};

// After ScrollWindowRect, the port's pixels are not moved: the part it moved is kept turned.
// True while such a part r is rolled by d: the port's pixel (x, y) within r is then stored at
// (r.left + (x - r.left + d.x) mod r.width, r.top + (y - r.top + d.y) mod r.height) of the
// image a PortPainter that keeps it paints on. Any other drawing on the port turns it back first.
bool PortRolled(GrafPtr port, QRect* r, QPoint* d);

// A line of text made to fit: the UTF-8 text cut to at most maxChars characters (0: no limit)
// and to width pixels as the line is measured in the metrics' font (with its fallback fonts),
// only between characters (a character keeps its accents and joiners); a text that had to be cut
// ends with an ellipsis. Bytes that end inside a character (a text cut short before) count as a
// cut.
QString PfitText(const QFontMetricsF& fm, const char* utf8, int maxChars, qreal width);
// The text fitted as PfitText fits it to the box's width, drawn on one line centred at the
// box's top in the painter's font. The ellipsis of a cut text is drawn on its own: shaped with
// the text before it, it would take that text's font, which for a script the machine has no
// font for draws every character, the ellipsis too, as an empty box.
void PdrawFittedText(QPainter* p, const QRectF& box, const char* utf8, int maxChars);

// The content widget a port shows; NULL for a stale port.
QWidget* PlatformPortWidget(GrafPtr port);
// The top-level widget of a window (frame with menu bar and content) and its content widget,
// which shows the port; NULL for a stale window.
QWidget* PlatformFrameWidget(WindowRef w);
QWidget* PlatformContentWidget(WindowRef w);
QWidget* PlatformControlWidget(ControlRef c);
// The window a widget belongs to; NULL when none.
WindowRef PlatformWindowOfWidget(const QWidget* widget);
// The Qt menu of a menu and the action of one of its items; NULL when stale.
QMenu* PlatformMenu(MenuRef menu);
QAction* PlatformMenuItemAction(MenuRef menu, MenuItemIndex item);

// File dialogs: the program's own, modal over its windows while the platform's loop runs, so
// that the windows keep repainting. A folder is listed by the bytes of its entries' names, each
// shown as ShownName shows it (support/bytetext.h), so that every entry shows apart from the
// others; a name picked or typed comes back as the bytes it stands for (ShownBytes). All paths
// and names given and returned here are bytes. Each tells a choice, a cancel (also when the
// application quits meanwhile) and a failure (no dialog could be shown) apart, and gives the
// paths chosen.
enum PFileDialogResult { kFileDialogChosen = 0, kFileDialogCancelled = 1, kFileDialogFailed = 2 };

struct PFileDialogSetup {
  std::string title;      // the window's title
  std::string message;    // a line of text below the file list
  std::string button;     // the accepting button's text
  std::string directory;  // where it opens; empty: where the last one was accepted, or home
  std::string fileName;   // save: the name proposed
  // open: whether a file (never a folder) is listed; none lists every file.
  std::function<bool(const std::string& path)> show;
  // open: asked about the file the user accepts; a non-empty answer is why it is refused,
  // shown in the dialog, which stays open for another choice.
  std::function<std::string(const std::string& path)> refuse;
  // save: a pop-up of formats, item `format` chosen first; when the user picks another, the
  // callback gets its index and the name typed so far and returns the name to propose.
  std::vector<std::string> formats;
  int format = 0;
  std::function<std::string(int format, const std::string& name)> formatChanged;
  // save: ask before replacing an existing file.
  bool confirmReplace = true;
};

// A folder: chosen holds its path.
int PlatformChooseFolder(const PFileDialogSetup& dlg, std::vector<std::string>* chosen);
// An existing file: chosen holds its path.
int PlatformOpenFile(const PFileDialogSetup& dlg, std::vector<std::string>* chosen);
// A file to write: chosen holds its path, *format (when given) the format chosen last.
int PlatformSaveFile(const PFileDialogSetup& dlg, std::vector<std::string>* chosen, int* format);

// The dialog those show. Its widgets: the folder's path and those above it ("lookInCombo"),
// the parent folder and new folder buttons ("toParentButton", "newFolderButton"), the list
// ("fileList": folders first, then files, each in the order of their names, letter case
// aside and runs of digits by their value), the name field ("fileNameEdit"), the formats
// ("fileTypeCombo"), the message ("PlatformFileDialogMessage") and a note saying why a choice
// is refused ("PlatformFileDialogRefusal"), the buttons ("buttonBox"). Files are looked at a
// few at a time between events, so that a folder of many files whose filter reads them keeps
// the dialog live; they show as they pass.
class PFileDialog : public QDialog {
 public:
  enum Mode { kFolder, kOpen, kSave };
  PFileDialog(QWidget* parent, Mode mode, const PFileDialogSetup& setup);
  ~PFileDialog() override;
  PFileDialog(const PFileDialog&) = delete;
  PFileDialog& operator=(const PFileDialog&) = delete;

  Mode GetMode() const;
  // The folder listed. SetDirectory lists another; false (nothing changed) when it is none.
  const std::string& Directory() const;
  bool SetDirectory(const std::string& path);
  // As a user picks a file or folder: the folder holding path listed (path absolute; else a
  // name in the folder listed) and its name in the name field.
  void SelectFile(const std::string& path);
  // The names listed so far, as bytes, in the list's order; whether every entry was looked at.
  std::vector<std::string> Entries() const;
  bool Listed() const;
  // The paths chosen, once accepted.
  const std::vector<std::string>& Chosen() const;
  // The format chosen last (save).
  int Format() const;
  // The dialog has ended: the caller's callbacks (which may refer to its locals) are asked no
  // more.
  void Stop();

  // Takes the name typed (or the entry picked): a folder to go into, or the choice; refused
  // choices leave the dialog open, saying why.
  void accept() override;

 private:
  struct Impl;
  Impl* d_;
};
// The file dialog being shown, for tests that answer it; NULL when none.
PFileDialog* PlatformFileDialog();

// Printing. The program keeps one print session: a QPrinter with its page format (paper,
// margins and orientation as a QPageLayout, and the resolution). Pages are painted through a
// QPainter in device pixels at the session's resolution, with the origin at the paper's
// top-left corner and y growing downwards. A job goes to the printer the print dialog chose or
// to a PDF file; a PDF file is written beside its name and takes that name only when the job
// ends whole, so that a cancelled or failed job leaves an existing file as it was.
class QDialog;
class QPrinter;

// Results of the document and page calls besides 0.
constexpr int kPrintCancel = 128;    // the job was cancelled
constexpr int kPrintError = -30870;  // the printer or the file failed

struct PPrintRect {
  double left, top, right, bottom;
};

// One job's pages: those the print dialog offers and those chosen (first <= last is not
// promised), and the job's name.
struct PPrintSettings {
  int minPage = 1, maxPage = 1;
  int firstPage = 1, lastPage = 1;
  std::string jobName;
};

class PPrintSession {
 public:
  PPrintSession();
  ~PPrintSession();
  PPrintSession(const PPrintSession&) = delete;
  PPrintSession& operator=(const PPrintSession&) = delete;

  QPrinter* Printer() const;

  // The page format.
  bool IsLandscape() const;
  void SetLandscape(bool landscape);
  // The resolutions the printer offers, in dots per inch and in its order: the printer's own,
  // or for a PDF file 72, 150, 300, 600 and 1200 (a PDF file takes any other too). A list set
  // here (tests) replaces them; an empty one gives them back.
  std::vector<int> Resolutions() const;
  void SetResolutions(const std::vector<int>& dpi);
  int Resolution() const;
  // False (nothing changed) for a resolution of 0 or less, above 9600, or while a document is
  // open.
  bool SetResolution(int dpi);
  // The paper and its printable part, in device pixels at the resolution.
  PPrintRect PaperRect() const;
  PPrintRect PageRect() const;
  // The PDF file jobs write; empty: the printer. The print dialog may choose another.
  void SetOutputFile(const std::string& path);
  std::string OutputFile() const;

  // The page setup and print dialogs, modal over the program's windows inside a wait of the
  // platform's loop: 1 when the user accepted, 0 when cancelled (also when the program quits
  // meanwhile), -1 when no dialog could be shown (also while a document is open). Page setup
  // is Qt's own for a printer of the system; for a PDF file, which Qt's does not serve, it
  // chooses the paper size and the orientation. The print dialog offers the settings' pages
  // minPage to maxPage and leaves the chosen ones in firstPage and lastPage.
  int PageSetupDialog();
  int PrintDialog(PPrintSettings* settings);

  // One document: BeginDocument, then for each page BeginPage (its painter, in a fresh state;
  // NULL on failure), painting and EndPage; EndDocument sends it to the printer or puts the
  // file in place. Each returns 0, kPrintCancel once Abort was called, or kPrintError. A
  // document without a page writes nothing.
  int BeginDocument(const PPrintSettings& settings);
  QPainter* BeginPage(int* err);
  int EndPage();
  int EndDocument();
  void Abort();
  bool InDocument() const;
  int PagesBegun() const;
  // Why the last document's PDF file could not be put in place, in words naming the file (its
  // temporary file replaced meanwhile, a failed sync or rename); empty when it was, and for a
  // failure of Qt's or the printer's.
  std::string FileFailure() const;

 private:
  struct Impl;
  Impl* d_;
};

// The print or page setup dialog being shown, for tests that answer it; NULL when none.
QDialog* PlatformPrintDialog();
// A print session has a document open (BeginDocument to EndDocument).
bool PrintDocumentOpen();

// ---- Drag and drop. A drag is known by its DragRef while it lasts: one this program started
// (NewDrag), or one from elsewhere over a window whose handlers are installed.
class QDrag;
typedef const struct OpaqueDragRef* DragRef;
// What a tracking handler is told: the drag came over the window (enter), moved within it (in)
// or left it (leave); the receive handler gets the drop.
enum : SInt16 {
  kDragTrackingEnterWindow = 2,
  kDragTrackingInWindow = 3,
  kDragTrackingLeaveWindow = 4,
};
typedef OSStatus (*DragTrackingHandler)(SInt16 message, WindowRef w, void* userData, DragRef drag);
typedef OSStatus (*DragReceiveHandler)(WindowRef w, void* userData, DragRef drag);
// One handler of each kind per window (installing again replaces it); the window takes drops
// while it has a receive handler. paramErr for a missing window or handler.
OSStatus InstallTrackingHandler(DragTrackingHandler handler, WindowRef w, void* userData);
OSStatus InstallReceiveHandler(DragReceiveHandler handler, WindowRef w, void* userData);
OSStatus RemoveDragHandlers(WindowRef w);

// The drag's mouse position in the window's local coordinates, during a handler.
OSStatus GetDragMouse(DragRef drag, Point* mouse);
// Whether the drag offers files (a list of URLs holding at least one local file), without
// asking a sender of this program for them.
bool DragOffersFiles(DragRef drag);
// The local files the drag offers, percent-decoded to their paths' bytes, in order; other URL
// schemes and hosts are left out.
// For a drag of this program this asks its send procedure for each item.
bool GetDragFiles(DragRef drag, std::vector<std::string>* paths);

// A drag of this program: nitems items, each a file whose path the send procedure gives only
// when a receiver asks for the files (false: that item is left out). A drag of no item offers
// no files at all (it can still be dropped on a window of this program). When no item gives a
// file the drag refuses the receiver its list, offering nothing, and none (when given) is called.
// The list holds "file://" URIs of the paths' bytes, percent-encoded.
typedef std::function<bool(int item, std::string* path)> DragSendProc;
DragRef NewDrag(int nitems, DragSendProc send, std::function<void()> none = nullptr);
// Runs the drag from window w with the picture shown under the mouse (hotSpot: the mouse within
// it) until it is dropped or given up: noErr when dropped, userCanceledErr otherwise. The drag
// then belongs to the platform, which may still answer a receiver in another program after the
// drop and frees it when done; the DragRef is not to be used after.
OSStatus TrackDrag(DragRef drag, WindowRef w, const QImage& picture, QPoint hotSpot);
// Disposes of a drag that was not tracked.
void DisposeDrag(DragRef drag);
// The drag being tracked, for tests that look at it; NULL when none. A test's hook (empty: none)
// runs as each drag starts, with the drag current, before it is tracked.
QDrag* PlatformCurrentDrag();
void PlatformSetDragStartHook(std::function<void()> hook);
// For tests: a loop (empty: the platform's) that tracks each drag in place of the platform's
// and tells whether it was dropped. The drag is then the loop's to free, as it is a platform's.
void PlatformSetDragLoop(std::function<bool(QDrag*)> loop);
