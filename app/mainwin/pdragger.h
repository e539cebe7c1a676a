// Drag and drop of the browser pane: the selected thumbnails dragged out offer their image
// files, made only when a receiver asks for them; dragged within the pane they move to the
// insertion mark; files and folders dropped from elsewhere are loaded (or a record table
// imported).
#pragma once

#include <string>
#include <vector>

#include "app/core/pwindows.h"
#include "platform/pqt.h"

// The files one drag offers: a copy of the records dragged, taken as the drag starts (the
// browser may change before a receiver asks), and one entry (the path found) per record handed
// out so far.
class HFSlist {
 public:
  // Forgets the old records and entries; with a context, copies its selected records (all
  // displayed records when none is selected), in display order.
  void Init(PContextState* pc);
  // The next free entry, NULL when all are used.
  std::string* AllocHFS();
  // Record i of the copy; NULL past it.
  const DBRecord* GetRecord(int i) const;

  DBRecordList recs;
  std::vector<std::string> hfs_list;
  int hfs_max = 0;
  int hfs_used = 0;
};

extern HFSlist gDragFiles;

// Installs the tracking and receive handlers on the window of bp (NULL: the main window's
// browser); true on success.
bool PInstallDragger(IBrowser* bp);
// Starts a drag of the selected records of bp (nothing before the handlers are installed);
// returns when it was dropped or given up. The core reaches it as PDragRecords.
void DragRecords(EventRef event, IBrowser* bp);

OSStatus myDragTracker(SInt16 message, WindowRef window, void* userData, DragRef theDrag);
OSStatus myDragReceiver(WindowRef window, void* userData, DragRef dref);
// Gives the path of the list's record itemRef, located now; -1854 (the flavour is not
// available) when the record's file cannot be found.
OSStatus myFileSender(int itemRef, HFSlist* list, std::string* path);
bool dragUsable(DragRef dref);
// Shows the insertion mark at the drag's position, scrolling by a row near the pane's top or
// bottom, paced by waitabit.
void dragPosition(IBrowser* bp, DragRef dref);
// Lets 0.1 s pass with the windows live.
void waitabit();
// The outline a drag of n records shows: a frame of one cell (edge pixels) with up to nine
// more stacked behind it, each 3 pixels right and down of the one before.
QImage PdragOutline(int edge, int n);
