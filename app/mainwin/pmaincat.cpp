// The main window's catalogue operations: opening and closing catalogues and the recent list,
// the bracket around every load of displayed records, adding records with the subject and
// new-field questions, duplicating, reorienting, album captions, undo and redo.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/records/psetfield.h"
#include "app/records/precfile.h"
#include "app/core/pdialogs.h"
#include "app/core/pappstate.h"
#include "app/core/pidle.h"
#include "app/mainwin/pmainw.h"
#include "catalog/pfieldset.h"
#include "catalog/plock.h"
#include "platform/pcontrol.h"
#include "platform/pwindow.h"
#include "support/bytetext.h"
#include "toolkit/pcommand.h"

namespace {

constexpr int kMaxAlbums = 128;

// Asks until the dialog answers; a dialog that cannot be shown answers Cancel.
OSType Ask(const char* text, const char* custom, OSType dfb) {
  OSType r = 0;
  for (int tries = 0; r == 0 && tries < 100; ++tries) r = confirmDialog(text, custom, dfb);
  return r == 0 ? kResponseCancel : r;
}

}  // namespace

bool PMainWindow::Editing(const char* what) const {
  if (browser == nullptr || !browser->ChangeOpen()) return false;
  DMESSAGE(DMCwarning, "Cannot %s while '%s' is being changed", what, browser->changeName);
  return true;
}

// ---- Opening and closing

bool PMainWindow::OpenCatalog(const char* path) {
  if (GetWindow() == nullptr || path == nullptr) return false;
  if (Editing("open a catalog")) return false;
  const std::string p = path;  // path may be a value of the recent list, which changes below
  // Another catalogue closes this one: its changes are saved first, or given up when asked.
  // When it cannot be closed (its changes cannot be written, told) it stays open as it was.
  if (bc.dbname[0] != '\0' && !bc.ReadOnly() && bc.LockPath()[0] != '\0') {
    char lock[PContext::kPathLen];
    const bool same = PlockName(lock, sizeof lock, p.c_str()) && strcmp(lock, bc.LockPath()) == 0;
    if (!same) {
      const PsaveChoice choice = PsaveCatalogFirst(&bc, "Close Without Saving", "close it");
      if (choice == PsaveChoice::back) return false;
      DMESSAGE(DMCinfo, "Closing catalog '%s'", bc.dbname);
      // As Close Catalog's: a wait for another copy of the program keeps the windows painted.
      PWorkProgress work("Closing catalog...");
      if (!PcloseCatalog(&bc, choice)) return false;
    }
  }
  if (gInfo && browser && gInfo->GetBrowser() == browser) gInfo->Close();
  PWorkProgress work("Opening catalog...");
  SetUndoable(false);
  repeatSetting(PDBFend, nullptr);
  // What the open finds is logged as it goes; the user is told its outcome once: why a
  // catalogue opened read-only, or the failure's own message.
  AlertsHeld held;
  bool ok = bc.OpenDB(p.c_str(), false);
  // The catalogue open could not be written (its sync or close failed, told): it stays open.
  if (!ok && bc.IsOpen()) {
    held.End();
    PidleSyncFailed();
    return false;
  }
  const bool cut = (!ok || bc.ReadOnly()) && PContext::CutShortAtCreation(p.c_str(), bc.fileSystem);
  if (cut || (ok && bc.ReadOnly())) dmessage_last_class = DMCnerr;  // told below instead
  held.End();
  bool asked = false;
  if (cut) {
    char q[PContext::kPathLen + 160];
    snprintf(q, sizeof q,
             "Catalog '%s' was cut short while it was being created and holds no records. "
             "Create it again?",
             p.c_str());
    asked = true;
    if (Ask(q, nullptr, kResponseOK) == kResponseOK) {
      // Opened read-only, it has nothing to write; made again, nothing of it is kept.
      bc.CloseDB(PCloseChanges::saveOrDrop);
      ok = bc.RecreateDB(p.c_str()) && bc.OpenDB(p.c_str(), false);
    }
  }
  if (ok && bc.ReadOnly() && !asked) {
    bool damage = false;
    const std::string why = bc.ReadOnlyWhy(&damage);
    // The reason is told whole: no system error goes with it.
    if (!why.empty())
      DMESSAGE_ERRNO(damage ? DMCdata : DMCresource, DMnoSystemError,
                     "Catalog '%s' opened read-only: %s", p.c_str(), why.c_str());
  }
  if (ok) {
    ValidCatalog(p.c_str());
    return true;
  }
  InvalidCatalog();
  return false;
}

void PMainWindow::ValidCatalog(const char* path) {
  WindowRef w = GetWindow();
  if (w == nullptr || path == nullptr) return;
  if (gInfo && browser && gInfo->GetBrowser() == browser) gInfo->Close();
  const bool ro = bc.ReadOnly();
  if (ro)
    DisableControl(Control(138));
  else
    EnableControl(Control(138));
  enableMenuCommand(kCmdAddToCatalog, !ro);
  unsavedShown = false;
  ShowTitle();
  UpdateSelectors();
  if (browser) browser->Redisplay();
  Show(1);
  SelectWindow(w);
  if (gImager && browser && gImager->GetBrowser() == browser) gImager->Reconcile();

  DBHeaderLink* recent = gPrefLink != nullptr ? gPrefLink->FindVar("RecentCatalog") : nullptr;
  if (recent == nullptr) {
    DMESSAGE(DMCparameter, "Missing link to recent catalog list!");
    return;
  }
  const int count = bc.pdb.TotalRecords();
  char msg[64];
  // A catalogue with a damaged block shows the records of its sound blocks, read-only; one
  // with a block that cannot be written has no count to show.
  if (count < 0)
    snprintf(msg, sizeof msg, "Damaged catalog");
  else if (bc.pdb.DamagedBlocks() > 0)
    snprintf(msg, sizeof msg, "Damaged catalog (%d records)", count);
  else
    snprintf(msg, sizeof msg, "%d record catalog", count);
  const char* first = recent->GetSVal(0);
  if (first != nullptr && strcmp(first, path) == 0) {
    DMESSAGE(DMCinfo, "Reopened catalog '%s'", path);
    ShowMessage(msg, false);
    return;
  }
  const std::string p = path;  // it may be one of the list's own values
  const int at = recent->FindSVal(p.c_str());
  if (at > 0)
    recent->DeleteSVal(at);
  else if (at < 0 && recent->NSet() > 5)
    recent->DeleteSVal(recent->NSet() - 1);
  recent->InsertSVal(p.c_str(), 0);
  bc.album[0] = '\0';
  ShowMode(nullptr);
  if (count == 0 && bc.pdb.DamagedBlocks() == 0) {
    DMESSAGE(DMCinfo, "Opened new catalog '%s'", p.c_str());
    ShowMessage("Empty catalog", false);
  } else {
    DMESSAGE(DMCinfo, "Opened catalog '%s'", p.c_str());
    ShowMessage(msg, false);
  }
}

void PMainWindow::ShowUnsaved(bool unsaved) {
  if (unsaved == unsavedShown) return;
  unsavedShown = unsaved;
  ShowTitle();
}

void PMainWindow::ShowTitle() const {
  WindowRef w = GetWindow();
  if (w == nullptr || !bc.IsOpen()) return;
  // The catalogue's name as names are shown, whatever its bytes.
  const std::string title = ShownName(bc.dbname) + (bc.ReadOnly()  ? " (Read-Only)"
                                                    : unsavedShown ? " (Not Saved)"
                                                                   : "");
  SetWindowTitle(w, title.c_str());
}

void PMainWindow::InvalidCatalog() {
  WindowRef w = GetWindow();
  if (w == nullptr) return;
  DisableControl(Control(138));
  enableMenuCommand(kCmdAddToCatalog, false);
  unsavedShown = false;
  SetWindowTitle(w, gName);
  UpdateSelectors();
  if (browser) browser->Redisplay();
  bc.album[0] = '\0';
  ShowMode(nullptr);
  ShowMessage("No catalog", false);
}

void PMainWindow::CloseCatalog() {
  if (bc.dbname[0] == '\0') return;
  if (Editing("close the catalog")) return;
  const PsaveChoice choice = PsaveCatalogFirst(&bc, "Close Without Saving", "close it");
  if (choice == PsaveChoice::back) return;
  if (gInfo && browser && gInfo->GetBrowser() == browser) gInfo->Close();
  PWorkProgress work("Closing catalog...");
  PWorkProgress::Step(-1);
  repeatSetting(PDBFend, nullptr);
  if (bc.ReadOnly()) bc.phd.SetChangedFlag(false);
  DMESSAGE(DMCinfo, "Closing catalog '%s'", bc.dbname);
  // A close that cannot write its changes (told) keeps the catalogue open with its undo steps.
  if (!PcloseCatalog(&bc, choice)) return;
  SetUndoable(false);
  InvalidCatalog();
}

// ---- The loading bracket

bool PMainWindow::LoadingRecords(const DBFieldInfo* schema) {
  if (!DMASSERT_AS(wdrawer != nullptr, "wdrawer != NULL")) return false;
  if (Editing("load records")) return false;
  if (gInfo && browser && gInfo->GetBrowser() == browser) gInfo->Close();
  bc.Clear(schema);
  if (browser) browser->Redisplay();
  idleImprovements(0);
  Show(1);
  ShowMessage("Scanning...", true);
  return true;
}

void PMainWindow::LoadedRecords(int nfound) {
  if (GetWindow() == nullptr) return;
  bc.Reconcile();
  PWorkProgress::Step(-1);
  const bool fromDB = strcmp(bc.rsrc, "*DB") == 0;
  if (bc.rsrc[0] != '*') {
    SelectFolder(bc.rsrc, false);
    if (selector) selector->Select(1);
  }
  if (bc.album[0] != '\0')
    SortAlbum();
  else if (fromDB)
    SortDBOrder();
  else
    SortRecords(0, -1);
  const int n = bc.rdisp.GetSize();
  char msg[96];
  if (fromDB)
    snprintf(msg, sizeof msg, "%d/%d records", n, nfound >= 1 ? nfound : bc.pdb.TotalRecords());
  else if (nfound > 0)
    snprintf(msg, sizeof msg, "%d/%d files", n, nfound);
  else
    snprintf(msg, sizeof msg, "%d records", n);
  if (!fromDB && bc.TotalCommon() > 0) {
    const size_t used = strlen(msg);
    snprintf(msg + used, sizeof msg - used, " (%d in DB)", bc.TotalCommon());
  }
  Show(1);
  ShowMessage(msg, false);
  ShowMode(bc.album);
  SelectWindow(GetWindow());
}

// ---- Adding records

int PMainWindow::AddRecords() {
  const int nd = bc.rdisp.GetSize();
  // The Add button and item are greyed meanwhile; a click that comes anyway says why.
  if (!bc.Ready() || bc.ReadOnly() || nd == 0) {
    ShowMessage(!bc.Ready()     ? "No catalog"
                : bc.ReadOnly() ? "Catalog is read-only"
                                : "No records to add",
                false);
    return 0;
  }
  if (Editing("add records")) return 0;
  if (strcmp(bc.rsrc, "*DB") == 0) {  // the catalogue's own records: nothing to add
    ShowMessage("No records changed", false);
    return 0;
  }
  ABitMap sel(bc.rsel);
  if (sel.Length() != static_cast<uint32_t>(nd) || sel.SumTotal() == 0)
    sel.NewBitMap(static_cast<uint32_t>(nd), true);
  const int counted = static_cast<int>(sel.SumTotal());
  std::vector<int> lacking;
  for (uint32_t i = 0; sel.Find(&i, true); i++)
    if (!PDBgetField(bc.rdisp.Get(static_cast<int>(i)), PDBFsubject).IsSet())
      lacking.push_back(static_cast<int>(i));
  if (!lacking.empty()) {
    char subject[257] = "";
    if (bc.rsrc[0] != '*' && bc.rsrc[0] != '\0') {
      std::string folder = bc.rsrc;
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      const size_t slash = folder.rfind('/');
      snprintf(subject, sizeof subject, "%s",
               (slash == std::string::npos ? folder : folder.substr(slash + 1)).c_str());
    }
    char prompt[96];
    const int nl = static_cast<int>(lacking.size());
    if (nl < counted)
      snprintf(prompt, sizeof prompt, "Enter subject for %d of %d images", nl, counted);
    else if (nl > 1)
      snprintf(prompt, sizeof prompt, "Enter subject for %d images", nl);
    else
      snprintf(prompt, sizeof prompt, "Enter subject for image");
    if (getInput(subject, sizeof subject, prompt) != kResponseOK || subject[0] == '\0') {
      ShowMessage("Add cancelled", false);
      return -1;
    }
    if (const char* near = typoMatch(subject, bc.subjSet)) {
      const std::string existing = near;
      char text[700];
      snprintf(text, sizeof text, "You entered '%s' -- use existing subject '%s' instead?", subject,
               existing.c_str());
      const OSType r = Ask(text, "No", kResponseOK);
      if (r == kResponseCancel) {
        ShowMessage("Add cancelled", false);
        return -1;
      }
      if (r == kResponseOK) snprintf(subject, sizeof subject, "%s", existing.c_str());
    }
    for (int i : lacking) PDBsetString(&bc.rdisp[i], PDBFsubject, subject);
  }
  if (!CheckNewFields(&sel)) return -1;
  int merged = 0;
  const int n = bc.AddRecords(&merged);
  if (n < 0) {
    // A catalogue that cannot be written says why when it is closed (and may stay open).
    if (!bc.LastError().empty())
      DMESSAGE(DMCinfo, "Cannot add records to catalog '%s'", bc.dbname);
    else
      DMESSAGE(DMCdata, "Database error in catalog '%s'", bc.dbname);
    CloseCatalog();
    return -1;
  }
  if (n == 0) {
    ShowMessage("No records changed", false);
    return 0;
  }
  if (bc.rdisp.GetFieldInfo() == &bc.phd && bc.TotalCommon() == bc.rdisp.GetSize())
    snprintf(bc.rsrc, sizeof bc.rsrc, "*DB");
  UpdateSelectors();
  if (browser) browser->Redisplay();
  // Records of files already catalogued were merged into their catalogued records, not added.
  if (merged == 0) {
    EchoAction("Added", n);
  } else if (merged == n) {
    EchoAction("Merged", n);
  } else {
    const std::string text = "Added " + std::to_string(n - merged) +
                             (n - merged == 1 ? " record" : " records") + ", merged " +
                             std::to_string(merged);
    ShowMessage(text.c_str(), false);
    DMESSAGE(DMCinfo, "%s", text.c_str());
  }
  SetUndoable(true);
  return n;
}

bool PMainWindow::CheckNewFields(const ABitMap* sel) {
  const DBFieldInfo* ds = bc.rdisp.GetFieldInfo();
  if (!bc.Ready() || ds == nullptr) return false;
  const int nf = ds->GetNFields();
  int map[DB_MAXFIELDS];
  bc.phd.MapIDs(map, ds);
  bool all = true;
  for (int j = 0; j < nf; ++j) all = all && map[j] >= 0;
  if (all) return true;
  if (sel == nullptr) sel = &bc.rsel;
  const int nd = bc.rdisp.GetSize();
  bool mark[DB_MAXFIELDS] = {};
  for (int j = nf; j-- > 0;) {
    if (map[j] >= 0) continue;
    for (uint32_t i = 0; sel->Find(&i, true) && i < static_cast<uint32_t>(nd); i++)
      if (bc.rdisp.Get(static_cast<int>(i))[j].IsSet()) {
        mark[j] = true;
        break;
      }
  }
  for (int j = 0; j < nf; ++j) {
    if (!mark[j]) continue;
    char text[300];
    snprintf(text, sizeof text, "Add new catalog field '%s' (%s)?", ds->GetName(j),
             ds->GetDetails(j)->descrip);
    const OSType r = Ask(text, "Discard", 0);
    if (r == kResponseCancel) return false;
    if (r == kResponseCustom) mark[j] = false;
  }
  bool added = false;
  for (int j = 0; j < nf; ++j) {
    if (!mark[j]) continue;
    if (bc.phd.Field(ds->GetName(j), ds->GetDetails(j)) < 0) {
      DMESSAGE(DMCresource, "Cannot add catalog field '%s'", ds->GetName(j));
      return false;
    }
    DMESSAGE(DMCinfo, "Added catalog field '%s'", ds->GetName(j));
    added = true;
  }
  if (added) bc.phd.SetChangedFlag(true);
  return true;
}

// ---- Duplicating and reorienting

bool PMainWindow::CanDuplicate() const {
  return browser != nullptr && strcmp(bc.rsrc, "*DB") == 0 && !bc.Unique() &&
         bc.TotalSelected() > 0;
}

int PMainWindow::DuplicateRecords() {
  if (!CanDuplicate() || Editing("duplicate records")) return 0;
  for (int i = bc.rdisp.GetSize(); i-- > 0;) {
    DBRecord& r = bc.rdisp[i];
    if (!bc.IsSelected(i)) {
      r.Init();
      continue;
    }
    char title[260];
    const char* t = PDBgetString(r, PDBFtitle);
    if (t == nullptr || *t == '\0') t = PDBgetString(r, PDBFfile);
    snprintf(title, sizeof title, "Copy of %.248s", t ? t : "");
    DBRecord copy(r);  // a record of its own: the catalogue's stays as it is
    PDBsetString(&copy, PDBFtitle, title);
    for (PDBFieldID f : {PDBFalbum, PDBFposition, PDBFcaption}) {
      const int id = PDBid(copy, f);
      if (id >= 0) copy.ClearField(id);
    }
    r.Init();
    r.Take(&copy);
  }
  bc.rdisp.Compact(false);
  bc.SelectNone();
  bc.album[0] = '\0';
  ShowMode(nullptr);
  snprintf(bc.rsrc, sizeof bc.rsrc, "*EX");
  bc.Reconcile();
  SortDBOrder();
  if (browser) browser->SelectAll();
  if (gInfo) gInfo->UpdateFields();
  return bc.rdisp.GetSize();
}

void PMainWindow::Reorient(unsigned long code) {
  if (browser == nullptr || bc.TotalSelected() == 0) return;
  if (!browser->NewChange("Reorient")) return;
  int sum = 0;
  for (int i = 0; bc.NextSelected(&i); ++i)
    if (DBRecord* r = browser->ChangeRecord(i)) sum += reorientRecord(r, static_cast<OSType>(code));
  if (sum == 0) {
    browser->NoChange();
    return;
  }
  const int n = browser->CompleteChange();
  if (n < 1)
    NoChange();
  else
    EchoAction("Reoriented", n);
  if (gInfo) gInfo->UpdateFields();
  if (gImager && gImager->GetBrowser() == browser) gImager->Redraw();
}

// ---- Captions in the album shown

int PMainWindow::AlbumIndex(const DBRecord* rec) const {
  if (rec == nullptr || bc.album[0] == '\0') return -1;
  const DBField& albums = PDBgetField(*rec, PDBFalbum);
  const int n = albums.GetNV() < kMaxAlbums ? albums.GetNV() : kMaxAlbums;
  for (int i = n; i-- > 0;) {
    const char* a = static_cast<const char*>(albums.GetPointer(i));
    if (albums.GetDT() == DBDTstring && a != nullptr && strcmp(a, bc.album) == 0) return i;
  }
  return -1;
}

bool PMainWindow::CanCaption(const DBRecord* rec) const {
  if (rec == nullptr) rec = loneRecord(const_cast<PContext*>(&bc));
  return AlbumIndex(rec) >= 0;
}

char* PMainWindow::GetCaption(char* buf, int len, const DBRecord* rec) const {
  if (buf == nullptr || len < 1) return nullptr;
  if (rec == nullptr) rec = loneRecord(const_cast<PContext*>(&bc));
  const int i = AlbumIndex(rec);
  if (i < 0) return nullptr;
  const DBField& caps = PDBgetField(*rec, PDBFcaption);
  if (i >= caps.GetNV() || caps.GetDT() != DBDTstring) return nullptr;
  const char* c = static_cast<const char*>(caps.GetPointer(i));
  snprintf(buf, static_cast<size_t>(len), "%s", c ? c : "");
  return buf;
}

bool PMainWindow::SetCaption(const char* text) {
  DBRecord* lone = loneRecord(&bc);
  if (lone == nullptr || browser == nullptr) return false;
  const int ai = AlbumIndex(lone);
  if (ai < 0) return false;
  const int index = static_cast<int>(lone - bc.rdisp.Array());
  if (!browser->NewChange("Caption")) return false;
  DBRecord* r = browser->ChangeRecord(index);
  if (r == nullptr) {
    browser->NoChange();
    return false;
  }
  const DBField& field = PDBgetField(*r, PDBFcaption);
  std::vector<std::string> caps;
  for (int k = 0; k < field.GetNV() && k < kMaxAlbums; ++k) {
    const char* c =
        field.GetDT() == DBDTstring ? static_cast<const char*>(field.GetPointer(k)) : nullptr;
    caps.push_back(c ? c : "");
  }
  if (static_cast<int>(caps.size()) <= ai) caps.resize(static_cast<size_t>(ai) + 1);
  std::string caption;
  if (text == nullptr) {
    std::vector<char> buf(8193);
    snprintf(buf.data(), buf.size(), "%s", caps[static_cast<size_t>(ai)].c_str());
    char prompt[320];
    snprintf(prompt, sizeof prompt, "Enter caption in album '%s'", bc.album);
    if (getInput(buf.data(), static_cast<int>(buf.size()), prompt) != kResponseOK ||
        caps[static_cast<size_t>(ai)] == buf.data()) {
      browser->NoChange();
      return false;
    }
    caption = buf.data();
  } else {
    caption = text;
  }
  caps[static_cast<size_t>(ai)] = caption;
  std::vector<const char*> ptrs;
  for (const std::string& c : caps) ptrs.push_back(c.c_str());
  PDBsetStrings(r, PDBFcaption, ptrs.data(), static_cast<int>(ptrs.size()));
  if (browser->CompleteChange() > 0)
    EchoAction(caption.empty() ? "Uncaptioned" : "Captioned", 1);
  else
    NoChange();
  if (gInfo) gInfo->UpdateFields();
  return true;
}

// ---- Undo and redo

const char* PMainWindow::NoChange() const {
  const char* msg = bc.Ready() && !bc.ReadOnly() && strcmp(bc.rsrc, "*DB") != 0
                        ? "Click 'Add' to affect Catalog"
                        : "No records changed";
  ShowMessage(msg, false);
  return msg;
}

bool PMainWindow::Undo() {
  if (!bc.Ready() || Editing("undo")) return false;
  const char* n = bc.pdb.UndoName();
  const std::string name = n ? n : "";
  PWorkProgress work("Undoing...");
  if (!bc.Undo()) return false;
  if (!name.empty()) {
    const std::string msg = "Undid " + name;
    ShowMessage(msg.c_str(), false);
    DMESSAGE(DMCinfo, "%s", msg.c_str());
  }
  SetUndoable(true);
  UpdateSelectors();
  if (browser) browser->Redisplay();
  ShowMode(bc.album);
  if (gImager && browser && gImager->GetBrowser() == browser) gImager->Reconcile();
  if (gInfo && browser && gInfo->GetBrowser() == browser) gInfo->Close();
  return true;
}

bool PMainWindow::Redo() {
  if (!bc.Ready() || Editing("redo")) return false;
  const char* n = bc.pdb.RedoName();
  const std::string name = n ? n : "";
  PWorkProgress work("Redoing...");
  if (!bc.Redo()) return false;
  if (!name.empty()) {
    const std::string msg = "Redid " + name;
    ShowMessage(msg.c_str(), false);
    DMESSAGE(DMCinfo, "%s", msg.c_str());
  }
  SetUndoable(true);
  UpdateSelectors();
  SortRecords(0, -1);
  ShowMode(bc.album);
  if (gImager && browser && gImager->GetBrowser() == browser) gImager->Reconcile();
  if (gInfo && browser && gInfo->GetBrowser() == browser) gInfo->Close();
  return true;
}
