// Record tables written and read, and the check that keeps records with their image files.
#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <chrono>

#include "app/core/papp.h"
#include "app/core/pidle.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pcommands.h"
#include "app/core/pfiles.h"
#include "app/core/pdialogs.h"
#include "app/export/pexpriv.h"
#include "app/export/psafefile.h"
#include "app/export/ptrader.h"
#include "catalog/pcontext.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "db/dbfile.h"
#include "display/pdispimg.h"
#include "platform/pmounts.h"
#include "platform/pwindow.h"
#include "support/pfilestream.h"
#include "support/pstrings.h"

namespace {

// Writes the names line of the schema and the chosen records (in display order) to path;
// the number written, -1 after a message.
int WriteTable(const char* fname, const DBRecordList& disp, const ABitMap& chosen) {
  const int n = PcountChosen(chosen);
  // The chosen records share their fields with the display: the table goes out in large
  // writes with no copy of a record.
  DBRecordList out(disp.GetFieldInfo());
  if (out.Resize(n) != n) {
    DMESSAGE(DMCmemory, "Out of memory writing '%s'", fname);
    return -1;
  }
  int k = 0;
  for (int i = 0; i < disp.GetSize() && k < n; i++)
    if (chosen.Check(i)) out[k++].Link(const_cast<DBRecord*>(&disp.Get(i)));
  PSafeFile f(fname);
  if (!f.IsOpen()) {
    DMESSAGE(DMCresource, "Cannot open file '%s' for writing", fname);
    return -1;
  }
  out.Write(&f.Stream(), '\t');
  if (!f.Commit()) {
    DMESSAGE(DMCsystem, "Error writing file '%s'", fname);
    return -1;
  }
  return n;
}

void HideProgress() {
  if (gProgressWindow != nullptr && IsWindowVisible(gProgressWindow)) HideWindow(gProgressWindow);
}

}  // namespace

PContext* PexchangeContext(void* ctx) {
  if (ctx != nullptr) return static_cast<PContext*>(ctx);
  return gMain != nullptr ? &gMain->bc : nullptr;
}

OSType PconfirmAgain(const char* msg, const char* cbut, OSType dfb) {
  for (;;) {
    const OSType r = confirmDialog(msg, cbut, dfb);
    if (r != 0) return r;
  }
}

bool PchooseRecords(PContextState* st, ABitMap* chosen, const char* msg, const char* cbut) {
  const int n = st->rdisp.GetSize();
  chosen->NewBitMap(static_cast<unsigned long>(n), false);
  int nsel = 0;
  for (int i = 0; st->NextSelected(&i) && i < n; i++) {
    chosen->Set(static_cast<unsigned long>(i));
    nsel++;
  }
  if (nsel == 1 && n > 1 && msg != nullptr) {
    const OSType r = PconfirmAgain(msg, cbut, kResponseOK);
    if (r == kResponseCancel) return false;
    if (r == kResponseCustom) nsel = 0;
  }
  if (nsel == 0) chosen->NewBitMap(static_cast<unsigned long>(n), true);
  return true;
}

int PcountChosen(const ABitMap& chosen) {
  return static_cast<int>(chosen.SumTotal());
}

void PechoExported(int count, int total, bool stopped) {
  if (gMain == nullptr) return;
  if (!stopped) {
    gMain->EchoAction("Exported", count);
    return;
  }
  char text[96];
  snprintf(text, sizeof text, "Stopped: exported %d of %d records", count, total);
  gMain->ShowMessage(text, false);
  DMESSAGE(DMCinfo, "%s", text);
}

int saveRecords(const char* fname, void* ctx) {
  PContext* pc = PexchangeContext(ctx);
  if (pc == nullptr || pc->rdisp.GetSize() == 0 || fname == nullptr) return 0;
  ABitMap chosen;
  if (!PchooseRecords(pc, &chosen, "Export 1 record?", "Export All")) return 0;
  const int n = WriteTable(fname, pc->rdisp, chosen);
  if (n < 0) return -1;
  DMESSAGE(DMCinfo, "Records written to '%s'", fname);
  if (gMain) gMain->EchoAction("Saved", n);
  return n;
}

int saveCatalog(const char* fname, void* ctx) {
  PContext* pc = PexchangeContext(ctx);
  if (pc == nullptr || !pc->Ready() || fname == nullptr) return 0;
  const int total = pc->pdb.TotalRecords();
  if (total <= 0) return 0;
  PSafeFile f(fname);
  if (!f.IsOpen()) {
    DMESSAGE(DMCresource, "Cannot open file '%s' for writing", fname);
    return -1;
  }
  pc->pdb.WriteSorted(&f.Stream(), '\t');
  if (!f.Commit()) {
    DMESSAGE(DMCsystem, "Error writing file '%s'", fname);
    return -1;
  }
  DMESSAGE(DMCinfo, "Saved catalog to '%s' (%d records)", fname, total);
  if (gMain) gMain->EchoAction("Saved", total);
  return total;
}

void importRecords(const char* fpath) {
  char buf[1024];
  if (fpath == nullptr) {
    fpath = openDialog(buf, sizeof buf, "Text File or Catalog", kDocAny, kDocAny);
    if (fpath == nullptr) return;
  }
  PContext* pc = PexchangeContext(nullptr);
  if (pc == nullptr) return;
  const char* suffix = PgetSuffix(fpath);
  const bool catalog = suffix != nullptr && strcmp_nc(suffix, "qdb") == 0 && strlen(suffix) == 3;
  // Opened once, without waiting, and read only when a regular file (a FIFO or a device would
  // hold the program up).
  PFileStream fs;
  if (!fs.Open(fpath, O_RDONLY)) {
    tellCannotRead(fpath, errno);
    return;
  }
  PBusyGuard busy;
  int n = 0;
  if (catalog) {
    // Read as the catalogue's last complete sync left it, whoever else has it open.
    PDBHeader header;
    const DBFile file(fpath);
    DBAccess db(&header, &fs, &file, true);
    if (!db.Ready()) return;
    header.CopyFormat(&PDBFInfo);
    if (gMain && !gMain->LoadingRecords(&header)) return;
    checkEvents(0);
    n = PreadCatalogRecords(&db, pc);
  } else {
    // Text in UTF-16 would read as one column of nothing: it is refused, the display kept.
    char head[512];
    fs.read(head, sizeof head);
    const size_t got = static_cast<size_t>(fs.gcount());
    fs.clear();
    fs.seekg(0);
    if (PisUTF16Text(head, got)) {
      DMESSAGE(DMCdata, "No records read from '%s': it is UTF-16 text", fpath);
      return;
    }
    if (gMain && !gMain->LoadingRecords(nullptr)) return;
    checkEvents(0);
    n = PreadRecordTable(&fs, pc);
    selectRecordsForUpdate(pc);
  }
  fs.close();
  snprintf(pc->rsrc, sizeof pc->rsrc, "*EX");
  checkRecords(!catalog, nullptr);
  pc->album[0] = '\0';
  if (gMain) gMain->LoadedRecords(0);
  // Rows the display cannot keep (without a file name, say) are dropped as it takes them.
  if (n > 0 && pc->rdisp.GetSize() > 0)
    DMESSAGE(DMCinfo, "Read %d records from '%s'", n, fpath);
  else
    DMESSAGE(DMCdata, "No records read from '%s'", fpath);
}

PCheckResult checkRecords(bool force, PContext* ctx) {
  if (ctx == nullptr) ctx = PexchangeContext(nullptr);
  if (ctx == nullptr || ctx->rdisp.GetSize() == 0) return {};
  const bool writeBack = strcmp(ctx->rsrc, "*DB") == 0 && !ctx->ReadOnly();
  DBRecordList& disp = ctx->rdisp;
  const int ndisp = disp.GetSize();
  int count = ctx->TotalSelected();
  const bool all = count == 0;
  if (all) {
    count = ndisp;
    force = false;
  }
  PBusyGuard busy;
  const bool progress = count >= 100;
  if (progress) reportProgress("Verifying files...", 0);
  bool gaveUp = false;  // a file's question cancelled, or Stop

  // The records to check share their fields with the display, so each change shows at once;
  // they are walked by folder, then name.
  const DBFieldInfo* fi = disp.GetFieldInfo();
  DBRecordList recs(fi);
  if (recs.Resize(count) != count) {
    HideProgress();
    DMESSAGE(DMCmemory, "Out of memory verifying files");
    return {};
  }
  int k = 0;
  for (int i = 0; i < ndisp && k < count; i++)
    if (all || ctx->IsSelected(i)) recs[k++].Link(&disp[i]);
  recs.Resize(k);
  count = k;
  if (fi != nullptr) {
    const int loc = fi->XlateID(&PDBFInfo, PDBFlocation);
    const int file = fi->XlateID(&PDBFInfo, PDBFfile);
    recs.sord.Clear();
    if (file >= 0) recs.sord.PushSort(file, false);
    if (loc >= 0) recs.sord.PushSort(loc, false);
    recs.Sort();
  }

  DBRecordList olds(fi), news(fi);
  bool changed = false;
  DBRecord before;
  char path[1024];
  int lastPct = 0;
  auto lastPump = std::chrono::steady_clock::now();
  bool stopped = false;  // by the progress window's Stop, or a quit
  int i = 0;
  for (; i < count; i++) {
    DBRecord& r = recs[i];
    // A file in place needs no copy and no question; a row without a file name has no file
    // to look for (the display drops it as it takes it), nor has one whose File names no file
    // (a path, say): it is kept as it is, and the commands that act on files leave it alone.
    const bool named = PnamesFile(r);
    PLocateFileRes res = named ? PlocateFile(path, sizeof path, r) : PLFRok;
    if (named && (res != PLFRok || force)) {
      before = r;
      gConfirmResponse = kResponseOK;  // the answer read below is this file's question's
      res = PlocateFile(path, sizeof path, &r, locateImage);
      if (res == PLFRfail) {
        gaveUp = gConfirmResponse == kResponseCancel;
        if (gaveUp) break;
      } else {
        if (res != PLFRchanged && force) {
          if (_ImgReader* ir = PopenImageD(r, true)) {
            if (ir->errCode == IREnone) PgrokImage(&r, ir);
            if (ir->ri && ir->ri->Close) ir->ri->Close(ir);
            res = PLFRchanged;
          }
        }
        if (res != PLFRok) {
          if (res == PLFRchanged) {
            if (gImager != nullptr)
              if (PImageRing* open = gImager->MatchImage(before)) {
                open->Reload();
                if (open == gImager->GetCurrentIR()) gImager->Redraw();
              }
            PthumbManager().DeleteThumbnail(before);
          }
          changed = true;
          if (writeBack && r != before) {
            olds.NewRecord() = before;
            news.NewRecord() = r;
          }
        }
      }
    }
    if (progress) {
      // The window stays live: progress whenever the percentage moves or a tenth of a second
      // went by.
      const int pct = static_cast<int>(100LL * (i + 1) / count);
      const auto now = std::chrono::steady_clock::now();
      if (pct != lastPct || now - lastPump > std::chrono::milliseconds(100)) {
        lastPct = pct;
        lastPump = now;
        stopped = gaveUp = !reportProgress(nullptr, pct);
        if (gaveUp) break;
      }
    }
  }
  HideProgress();
  if (stopped) {
    // The command that asked for the check goes no further: the check says where it stopped.
    char text[96];
    snprintf(text, sizeof text, "Stopped verifying files: %d of %d checked", i + 1, count);
    if (gMain != nullptr) gMain->ShowMessage(text, false);
    DMESSAGE(DMCinfo, "%s", text);
  }
  if (olds.GetSize() > 0 || news.GetSize() > 0) {
    ctx->Checkpoint(nullptr, nullptr);
    ctx->pdb.DeleteRecordList(olds);
    ctx->pdb.AddRecordList(news);
    ctx->Reconcile();
    // The files found elsewhere are known there on disk before the command goes on.
    if (gMain != nullptr && ctx == &gMain->bc) PsyncWhole();
  }
  PCheckResult r;
  r.changed = changed;
  r.cancelled = gaveUp;
  return r;
}

bool locateImage(char* path, int len, DBRecord* rec) {
  if (path == nullptr || len <= 0 || rec == nullptr) return false;
  HideProgress();
  char loc[257] = "";
  if (const char* l = PDBgetField(*rec, PDBFlocation).GetString(0))
    snprintf(loc, sizeof loc, "%.256s", l);
  std::string volume, name, rest;
  bool absent = false;
  if (SplitVolumePath(loc, &volume, &name, &rest)) {
    absent = true;
    for (const std::string& v : MountedVolumes())
      if (v == volume) absent = false;
  }
  if (absent) {
    std::string msg = "Remount volume '" + name + "'";
    if (!rest.empty()) msg += " with directory '" + rest + "'";
    OSType r;
    while ((r = confirmDialog(msg.c_str(), "Search", kResponseOK)) == 0) {
      // A volume came while the question was up: perhaps the one the file is on.
      if (gVolumeInserted && PlocateFile(path, len, *rec) != PLFRfail) return true;
    }
    if (r == kResponseCancel) return false;
    if (r == kResponseOK && PlocateFile(path, len, *rec) != PLFRfail) return true;
  }
  return chooseImage(path, len, rec);
}
