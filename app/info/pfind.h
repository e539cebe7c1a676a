// The search window: one or two field clauses (a field, a verb, one or two values typed as
// text) joined by "and" or "or", searched among the main window's displayed records (the
// matches become the selection) or in the whole open catalogue (the matches become the
// display). Clauses the catalogue can answer run as its own search (DBSearch selectors); a
// "contains" clause, or a search without a catalogue, is matched record by record here.
//
// Verbs: 1 equals, 2 between, 3 contains. Conjunctions: 1 the first clause alone, 2 and, 3 or.
// Number fields take only numbers: a clause of another text is an invalid search.
#pragma once

#include "app/core/pwindows.h"

class PFindWindow : public IFindWindow {
 public:
  explicit PFindWindow(IBNibRef nib);
  ~PFindWindow() override;
  using PWindowHandlerBase::CreateWindow;
  WindowPtr CreateWindow(IBNibRef nib) override;

  bool Find(IMainWindow* mw) override;
  // Fills the field popups from the search schema, then Update.
  void Init();
  // Reads the popups: the clauses' fields and descriptions, what shows and what is enabled.
  void Update();
  // Reads the clauses into the query; false when they make no search.
  bool SetQuery();
  bool MatchQuery(const DBRecord& rec) const;
  bool SearchDisplay();
  bool SearchCatalog();
  // Per-record callback of the catalogue walk: appends a match to the display (1), pumping
  // events every 501 records.
  static int check_rec(const DBRecord& rec, void* window);
  // Writes every distinct value of field fid (of the search schema) in the open catalogue and
  // the display, sorted by bytes, to "lumerin_list<fid>.txt" in the private temporary folder
  // and opens it with the desktop's opener. Nothing is written when no record fills the field.
  void List(int fid) const;

  OSStatus HandleCommand(EventRef event);
  OSStatus HandleCommandUpdate(EventRef event);

  // The schema searched: the open catalogue's, else the photo schema.
  const DBFieldInfo* SearchSchema() const;
  bool SelfMatching() const { return myMatch; }

  ControlRef sel1Control = nullptr;
  int fid1 = -1;
  ControlRef sel1Text = nullptr;
  ControlRef verb1Control = nullptr;
  ControlRef value1aTextField = nullptr;
  PControlDrawer* conj1TextD = nullptr;
  PControlDrawer* value1bTextFieldD = nullptr;
  ControlRef list1Button = nullptr;
  ControlRef conjControl = nullptr;
  ControlRef sel2Control = nullptr;
  int fid2 = -1;
  ControlRef sel2Text = nullptr;
  ControlRef verb2Control = nullptr;
  ControlRef value2aTextField = nullptr;
  PControlDrawer* conj2TextD = nullptr;
  PControlDrawer* value2bTextFieldD = nullptr;
  ControlRef list2Button = nullptr;
  ControlRef browserButton = nullptr;
  ControlRef catalogButton = nullptr;
  IMainWindow* mainWindow = nullptr;
  bool myMatch = true;
  char val1a[4096] = "";
  char val1b[256] = "";
  char val2a[4096] = "";
  char val2b[256] = "";
  int verb1 = 1;
  int conj = 1;
  int verb2 = 0;

 private:
  // One clause as matched record after record.
  struct Clause {
    int fid = -1;  // of the search schema; -1 for none
    int verb = 0;
    const char* a = nullptr;
    const char* b = nullptr;
    // The clause's field in the schema of the last record met (looked up once per schema).
    mutable const DBFieldInfo* schema = nullptr;
    mutable int rfid = -1;
    void Prepare(int f, int v, const char* ta, const char* tb);
    bool Test(const DBRecord& rec, const DBFieldInfo* from) const;
  };
  Clause c1, c2;
  // The search schema of the last query, taken once: asking the catalogue walks its pages.
  const DBFieldInfo* querySchema = &PDBFInfo;
  long walked = 0;  // records the catalogue walk has seen since it last pumped events
};

// Whether a value of fld passes verb with the texts a and b (b for between only), the values
// tried from the last to the first: between takes both ends in either order (numbers by value,
// text in natural order without case), contains finds a in a value's text without case (an
// empty a in every value), equals compares floats within a relative 1e-6 (absolute near 0)
// and anything else as text without case. A field without values never passes.
bool testMatch(const DBField& fld, int verb, const char* a, const char* b);
