// The panes of the main window's selector tabs: a list with its own selection and an action
// called after clicks, and the flat list over one of the catalogue's sorted string sets
// (subjects, albums, keywords, owners).
#pragma once

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
  const char* GetItem(int i) const override { return sref ? (*sref)[i] : nullptr; }

 private:
  const PStringSet* sref;
};
