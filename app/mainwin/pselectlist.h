// The panes of the main window's selector tabs: a list with its own selection and an action
// called after clicks, the flat list over one of the catalogue's sorted string sets (subjects,
// albums, keywords, owners), and the tree lists (the timeline of years, months and events, and
// the folder tree).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/pfiles.h"
#include "support/abitmap.h"
#include "support/pstrings.h"
#include "toolkit/pdrawkinds.h"

class PSelectListDrawer;
// Called after a click the list took; final for a double click.
typedef void (*PSelectAction)(PSelectListDrawer* list, bool final);

class PSelectListDrawer : public PListDrawer {
 public:
  PSelectListDrawer();
  ~PSelectListDrawer() override;

  void Redraw() override;
  bool Click(Point pt, unsigned short mods, EventRef event) override;

  virtual int GetNItems() const = 0;
  virtual const char* GetItem(int i) const = 0;
  // Builds the list again from the items (the selection cleared, the scroll kept); 1 when a
  // list was made, 0 when there are no items or no room.
  virtual int Update();

  // Row i selected or not; 0 for a row outside the items.
  int Select(int i, bool on);
  void SelectAll(bool on);
  // The selected rows; NULL without items.
  const ABitMap* GetSelection();
  // The one selected row, -1 when none or several.
  int Solo() const;

  PSelectAction act = nullptr;
  void* userData = nullptr;
  bool singleServe = false;
  // The command whose gate the list's clicks pass (0: none). While the gate refuses it (work
  // holds the records, or a question waits), a click is taken and does nothing.
  UInt32 gateCommand = 0;

 protected:
  ABitMap lsel;
};

class PSetListDrawer : public PSelectListDrawer {
 public:
  explicit PSetListDrawer(const PStringSet* set = nullptr) : sref(set) {}
  void SetSet(const PStringSet* set) {
    sref = set;
    Update();
  }
  const PStringSet* GetSet() const { return sref; }
  int GetNItems() const override { return sref ? sref->GetSize() : 0; }
  // The set's string i as the list shows it (ShownName, support/bytetext.h).
  const char* GetItem(int i) const override;

 private:
  const PStringSet* sref;
  mutable std::string item_buf;
};

// A node of a selector tree. A node owns its first child and the siblings after it.
class PHFolder {
 public:
  // A node placed before sibling (its parent's child too, when sibling has a parent).
  explicit PHFolder(PHFolder* sibling);
  virtual ~PHFolder();
  PHFolder(const PHFolder&) = delete;
  PHFolder& operator=(const PHFolder&) = delete;

  virtual bool Valid() const { return true; }
  // The first child, built when first asked for; NULL when none.
  virtual PHFolder* GetChildren() = 0;
  virtual const char* GetName() const = 0;

  int GetDepth() const;
  // Opens (1 when it now shows children) or closes (0) the node.
  int Open(bool open);
  // The next visible node in pre-order, NULL at the end.
  PHFolder* NextFolder();
  // The node i visible steps after this one.
  PHFolder* GetFolder(int i);
  // Visible nodes from this one and the siblings after it.
  int GetListLength() const;
  // The children, detached and handed to the caller.
  PHFolder* ReleaseChildren();
  // Unlinks the node from its parent's children; the parent's first child afterwards.
  PHFolder* LeaveFamily();
  PHFolder* Parent() const { return parent; }
  PHFolder* Sibling() const { return sibling; }

  PHFolder* parent = nullptr;
  PHFolder* child = nullptr;
  PHFolder* sibling = nullptr;
  bool isOpen = false;
  bool hasChild = true;
  bool emphasize = false;
};

// A list of the visible nodes of a tree: two blanks per ancestor, 'v' for an open node, '>'
// for a closed one with children, then a blank, '*' for an emphasized node, and the name. A
// click on a node's disclosure mark opens or closes it; other clicks call the action.
class PHierListDrawer : public PSelectListDrawer {
 public:
  explicit PHierListDrawer(PHFolder* top = nullptr) : mainFolder(top) {}
  ~PHierListDrawer() override { delete mainFolder; }
  // Replaces the tree (the old one destroyed) and builds the list.
  int SetFolder(PHFolder* top);
  // The list again over the tree as it stands.
  int Update() override;
  int GetNItems() const override { return static_cast<int>(rows.size()); }
  const char* GetItem(int i) const override;
  PHFolder* GetFolder(int i) const {
    return i >= 0 && i < static_cast<int>(rows.size()) ? rows[static_cast<size_t>(i)] : nullptr;
  }
  PHFolder* GetTop() const { return mainFolder; }
  bool Click(Point pt, unsigned short mods, EventRef event) override;

 protected:
  PHFolder* mainFolder;

 private:
  std::vector<PHFolder*> rows;  // the visible nodes, as the list shows them
  mutable std::string path_buf;
};

class PTimeLink;
class PTimeline;
enum PTFResolution { PTFRyear = 0, PTFRmonth = 1, PTFRevent = 2 };

// The year (PTFRyear) or the month (PTFRmonth) of a capture-date text, 0 for an event or a
// text shorter than a date.
int PTFGetPeriod(const char* date, PTFResolution res);

// A year, month or event of the catalogue's timeline: the events from its start up to the next
// node's start (or its parent's end). Making the first node of a level makes the whole level.
class PTimelineFolder : public PHFolder {
 public:
  PTimelineFolder(const PTimeLink* start, PTimelineFolder* parent);
  bool Valid() const override;
  PHFolder* GetChildren() override;
  const char* GetName() const override;
  const PTimeLink* GetStart(PTFResolution* res) const {
    if (res) *res = tres;
    return start;
  }
  // The first event after the node's events, NULL at the very end.
  const PTimeLink* GetFinish() const;

 private:
  PTimelineFolder(const PTimeLink* start, PTimelineFolder* parent, bool first);
  PTFResolution tres = PTFRyear;
  const PTimeLink* start;
  const PTimeLink* end = nullptr;  // the parent's finish
  mutable std::string period_buf;
};

class PTimelineListDrawer : public PHierListDrawer {
 public:
  explicit PTimelineListDrawer(const PTimeline* tl = nullptr) : timeline(tl) {}
  void SetTimeline(const PTimeline* tl) {
    timeline = tl;
    Update();
  }
  const PTimeline* GetTimeline() const { return timeline; }
  // Builds the tree again, every node closed, then the list. While the timeline is the one
  // the tree was built from, unchanged since (its stamp the same), the years are kept and only
  // closed: the tree is the one a new build would make.
  int Update() override;

 private:
  const PTimeline* timeline;
  // What the tree was built from: the timeline, its stamp, the top of the tree made.
  const PTimeline* builtFrom = nullptr;
  uint64_t builtStamp = 0;
  const PHFolder* builtTop = nullptr;
};

struct PFileSpec;

// A folder of the folder tree. Made with a scan of its entries that stops as soon as it knows
// whether the folder holds an image that opens ('*') and a subfolder (a disclosure mark).
class PFileFolder : public PHFolder {
 public:
  PFileFolder(const char* path, const FSRef* ref, const char* name, PFileFolder* sibling);
  // Scans path afresh (name NULL: the path's last component); 0 when it cannot be read.
  int SetFolder(const char* path, const FSRef* ref, const char* name);
  bool Valid() const override { return !rname.empty(); }
  // The subfolders (at most 1024), listed and sorted the first time.
  PHFolder* GetChildren() override;
  const char* GetName() const override { return Valid() ? rname.c_str() : nullptr; }
  // The folder's path (its reference into ref when given); NULL when not valid.
  const char* GetPath(FSRef* ref) const;

  // Scan callbacks.
  static bool checkFile(const PFileSpec* fs, void* node);
  static bool checkFolder(const PFileSpec* fs, void* node);
  static bool addSubfolder(const PFileSpec* fs, void* list);
  // Names without regard to case, digit runs by their value.
  static bool folderCmp(const PFileFolder* a, const PFileFolder* b);

 private:
  FSRef dref;
  std::string rname;  // bytes as the file system gives them
  std::string dpath;
};

// The folder tree: the home folder, the root folder, then the mounted volumes.
class PFileListDrawer : public PHierListDrawer {
 public:
  PFileListDrawer();
  // Builds the tree of the roots again (nothing while a folder scan of the tree runs).
  int Update() override;
  // Opens the tree down to the folder path (and the folder itself with open) and selects its
  // row; 0 when path is not a folder or cannot be reached in the tree.
  int SelectFolder(const char* path, bool open);
  PFileFolder* GetFolder(int i) const {
    return static_cast<PFileFolder*>(PHierListDrawer::GetFolder(i));
  }

  // Folder scans of tree nodes in progress.
  static int researching;
};
