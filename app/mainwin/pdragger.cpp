// Drag and drop of the browser pane.
#include "app/mainwin/pdragger.h"

#include <sys/stat.h>

#include <cstring>

#include "app/core/papp.h"
#include "app/core/pcommands.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/core/pfolder.h"
#include "app/mainwin/psettings.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "image/pireader.h"
#include "support/dmessage.h"
#include "thumbs/pthumb.h"
#include "toolkit/pdrawer.h"

HFSlist gDragFiles;

namespace {

constexpr OSStatus kNotHandled = -9874, kBadDragFlavor = -1852, kCantGetFlavor = -1854;

DragRef myDrag = nullptr;      // the drag this program started, while it lasts
DragRef activeDrag = nullptr;  // the accepted drag over the browser
bool dragInstalled = false;
bool positioning = false;  // dragPosition's pause lets events in: no second one meanwhile

int Edge(const IBrowser* bp) {
  const int d = bp->ThumbDenom();
  return PBigThumbWidth / (d > 0 ? d : 8);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HasSuffix(const std::string& path, const char* suffix) {
  const size_t slash = path.rfind('/'), dot = path.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
         path.compare(dot + 1, std::string::npos, suffix) == 0;
}

void TellNoFiles() {
  if (gMain) gMain->ShowMessage("None of the dragged files can be found", false);
}

// Whether the file of some record of the list can be found.
bool AnyFileLeft(const HFSlist& list) {
  char found[1024];
  for (int i = 0; const DBRecord* r = list.GetRecord(i); ++i)
    if (PlocateFile(found, sizeof found, *r) != PLFRfail) return true;
  return false;
}

}  // namespace

void DragRecords(EventRef, IBrowser* bp) {
  PContext* ctx = bp ? bp->GetContext() : nullptr;
  IMainWindow* mw = bp ? bp->GetMainWindow() : nullptr;
  if (!dragInstalled || ctx == nullptr || mw == nullptr || ctx->TotalSelected() == 0) return;
  if (myDrag != nullptr) return;  // one drag at a time
  gDragFiles.Init(ctx);
  const int n = gDragFiles.recs.GetSize();
  // The files are handed out only when a receiver asks; one found now is enough to offer
  // them. A drag none of whose files is left offers nothing to other programs (told at once),
  // and can still move its records within the pane.
  const bool files = AnyFileLeft(gDragFiles);
  // The records whose File names no file are dragged without a file: the status line says so.
  PLeftRecords left("Drag");
  for (int i = 0; const DBRecord* r = gDragFiles.GetRecord(i); ++i) left.Named(*r);
  if (left.Count() > 0 && gMain != nullptr)
    gMain->ShowMessage(left.Text().c_str(), false);
  else if (!files)
    TellNoFiles();
  myDrag = NewDrag(
      files ? n : 0,
      [](int k, std::string* path) { return myFileSender(k, &gDragFiles, path) == noErr; },
      TellNoFiles);
  const int edge = Edge(bp);
  TrackDrag(myDrag, mw->GetWindow(), PdragOutline(edge, n), QPoint(edge / 2, edge / 2));
  myDrag = nullptr;
}

void HFSlist::Init(PContextState* ctx) {
  hfs_list.clear();
  hfs_max = hfs_used = 0;
  // The photo schema lives as long as the program: a copy in it outlives any catalogue.
  recs.Init(&PDBFInfo);
  if (ctx == nullptr) return;
  if (ctx->TotalSelected() == 0) {
    for (int i = 0; i < ctx->rdisp.GetSize(); ++i) recs.NewRecord() = ctx->rdisp.Get(i);
  } else {
    for (int i = 0; ctx->NextSelected(&i); ++i) recs.NewRecord() = ctx->rdisp.Get(i);
  }
  hfs_max = recs.GetSize();
  if (hfs_max > 0) hfs_list.resize(static_cast<size_t>(hfs_max));
}

std::string* HFSlist::AllocHFS() {
  if (hfs_used >= hfs_max) return nullptr;
  return &hfs_list[static_cast<size_t>(hfs_used++)];
}

const DBRecord* HFSlist::GetRecord(int i) const {
  if (i < 0 || i >= recs.GetSize()) return nullptr;
  return &recs.Get(i);
}

QImage PdragOutline(int edge, int n) {
  if (edge < 4) edge = 4;
  const int behind = (n < 10 ? n : 10) - 1, side = edge + 3 * (behind > 0 ? behind : 0);
  QImage img(side, side, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setPen(QPen(QColor(0, 0, 0), 1));
  p.setBrush(Qt::NoBrush);
  for (int k = behind; k >= 1; --k) p.drawRect(3 * k, 3 * k, edge - 1, edge - 1);
  // The front square hides what lies under it.
  p.setCompositionMode(QPainter::CompositionMode_Clear);
  p.fillRect(0, 0, edge, edge, Qt::transparent);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  p.drawRect(0, 0, edge - 1, edge - 1);
  p.end();
  return img;
}

OSStatus myFileSender(int itemRef, HFSlist* list, std::string* path) {
  if (list == nullptr || path == nullptr) return kBadDragFlavor;
  const DBRecord* r = list->GetRecord(itemRef);
  std::string* slot = list->AllocHFS();
  if (r == nullptr || slot == nullptr) return kCantGetFlavor;
  char found[1024];
  if (PlocateFile(found, sizeof found, *r) == PLFRfail) return kCantGetFlavor;
  *slot = found;
  *path = found;
  return noErr;
}

bool dragUsable(DragRef dref) {
  return dref != nullptr && (dref == myDrag || DragOffersFiles(dref));
}

void waitabit() {
  checkEvents(0.1);
}

void dragPosition(IBrowser* bp, DragRef dref) {
  if (bp == nullptr || positioning) return;
  bp->ClearInsertion();
  Point pt;
  if (GetDragMouse(dref, &pt) != noErr) return;
  const PDrawer* pane = dynamic_cast<const PDrawer*>(bp);
  if (pane != nullptr) {
    // A list row in the table, a quarter of a cell in the grid.
    const int margin = bp->ThumbDenom() > 0 ? Edge(bp) / 4 : 16;
    if (pt.v < pane->extent.top + margin) {
      bp->ScrollDown(-1);
      pt.v = static_cast<short>(pane->extent.top + 1);
    } else if (pt.v > pane->extent.bottom - margin) {
      bp->ScrollDown(1);
      pt.v = static_cast<short>(pane->extent.bottom - 2);
    }
  }
  bp->InsertionPoint(pt);
  positioning = true;
  waitabit();
  positioning = false;
}

OSStatus myDragTracker(SInt16 message, WindowRef, void* userData, DragRef theDrag) {
  IBrowser* bp = static_cast<IBrowser*>(userData);
  switch (message) {
    case kDragTrackingEnterWindow:
      if (dragUsable(theDrag)) {
        activeDrag = theDrag;
        if (theDrag != myDrag) bp->Highlight(true);
      } else {
        activeDrag = nullptr;
      }
      return noErr;
    case kDragTrackingInWindow:
      if (theDrag != activeDrag || activeDrag == nullptr) return kNotHandled;
      if (theDrag == myDrag) dragPosition(bp, theDrag);
      return noErr;
    case kDragTrackingLeaveWindow:
      if (theDrag != activeDrag || activeDrag == nullptr) return kNotHandled;
      if (theDrag != myDrag)
        bp->Highlight(false);
      else
        bp->ClearInsertion();
      activeDrag = nullptr;
      return noErr;
    default:
      return kNotHandled;
  }
}

OSStatus myDragReceiver(WindowRef, void* userData, DragRef dref) {
  IBrowser* bp = static_cast<IBrowser*>(userData);
  if (dref != activeDrag || activeDrag == nullptr) return kNotHandled;
  activeDrag = nullptr;
  bp->Highlight(false);
  if (gMain == nullptr || bp != gMain->GetBrowser()) return userCanceledErr;
  PContext* ctx = bp->GetContext();
  if (ctx == nullptr) return userCanceledErr;
  if (dref == myDrag) {
    // Reordering: the records before the mark that move with the block do not count.
    const int at = bp->InsertionPoint();
    if (at >= 0) {
      int before = 0;
      for (int i = 0; i < at; ++i) before += ctx->IsSelected(i) ? 1 : 0;
      bp->ClearInsertion();
      setPosition(at - before);
    }
    return noErr;
  }
  std::vector<std::string> paths;
  if (!GetDragFiles(dref, &paths)) return userCanceledErr;
  const size_t n = paths.size();
  bool loading = false;
  int count = 0;
  for (const std::string& path : paths) {
    if (path.empty() || path.size() >= 1024) continue;
    if (IsFolder(path)) {
      if (n == 1) {
        loadFolder(path.c_str(), true, nullptr);
        return noErr;
      }
      continue;  // among other items a folder is left alone
    }
    if (HasSuffix(path, "qdb") || HasSuffix(path, "txt")) {
      if (n == 1) {
        PimportRecordFile(path.c_str());
        return noErr;
      }
      continue;
    }
    if (!loading) {
      if (!gMain->LoadingRecords(nullptr)) return userCanceledErr;
      loading = true;
      checkEvents(0);
    }
    // A dropped file opens whatever its name; one that does not is told, with its reason.
    _ImgReader* ir = PopenImageAny(path.c_str(), 0);
    if (ir == nullptr) continue;
    if (ir->errCode == ImgReadErr{}) {
      DBRecord& r = ctx->rdisp.NewRecord();
      PgrokImage(&r, ir);
      ++count;
    }
    ir->ri->Close(ir);
  }
  if (loading) {
    snprintf(ctx->rsrc, sizeof ctx->rsrc, "%s", "*EX");
    ctx->album[0] = '\0';
    gMain->LoadedRecords(count);
  }
  return noErr;
}

bool PInstallDragger(IBrowser* bp) {
  if (bp == nullptr && gMain != nullptr) bp = gMain->GetBrowser();
  IMainWindow* mw = bp ? bp->GetMainWindow() : nullptr;
  WindowRef w = mw ? mw->GetWindow() : nullptr;
  if (w == nullptr) return false;
  if (InstallTrackingHandler(myDragTracker, w, bp) != noErr ||
      InstallReceiveHandler(myDragReceiver, w, bp) != noErr)
    return false;
  dragInstalled = true;
  return true;
}
