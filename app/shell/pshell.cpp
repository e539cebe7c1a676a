// The program's entry.
#include "app/shell/pshell.h"

#include "app/core/papp.h"
#include "app/core/pforms.h"
#include "app/core/phooks.h"
#include "app/export/pforms.h"
#include "app/export/ptrader.h"
#include "app/hdrpano/pforms.h"
#include "app/image/pforms.h"
#include "app/image/pimagewin.h"
#include "app/info/pfind.h"
#include "app/info/pforms.h"
#include "app/info/pinfo.h"
#include "app/mainwin/pdragger.h"
#include "app/mainwin/pforms.h"
#include "app/mainwin/pmainw.h"
#include "app/prefs/pforms.h"
#include "app/prefs/pprefdialog.h"
#include "app/print/pforms.h"
#include "app/print/pprint.h"
#include "app/records/pforms.h"
#include "platform/pdocuments.h"
#include "platform/pmounts.h"
#include "platform/psignals.h"
#include "platform/pstart.h"
#include "platform/ptempfile.h"

void PregisterInterface(const char* nib, const char* omit) {
  PregisterCoreForms(nib, omit);
  PregisterMainWindowForm(nib, omit);
  PregisterInfoForms(nib, omit);
  PregisterImageForm(nib, omit);
  PregisterPrintForms(nib, omit);
  PregisterHdrPanoForms(nib, omit);
  PregisterExportForms(nib, omit);
  PregisterRecordForms(nib, omit);
  PregisterPrefForms(nib, omit);
}

void PregisterHooks() {
  PAppHooks h;
  h.makeMainWindow = [](IBNibRef nib) -> IMainWindow* { return new PMainWindow(nib); };
  h.makeInfoWindow = [](IBNibRef nib) -> IInfoWindow* { return new PInfoWindow(nib); };
  h.makeFindWindow = [](IBNibRef nib) -> IFindWindow* { return new PFindWindow(nib); };
  h.makeImageWindow = [](IBNibRef nib, IBrowser* b) -> IImageWindow* {
    return new PImageWindow(nib, b);
  };
  h.importRecords = importRecords;
  h.checkRecords = checkRecords;
  h.dragRecords = DragRecords;
  h.pageSetup = pageSetup;
  h.closePrintSession = closePrintSession;
  h.changePreferences = ChangePreferences;
  // The libraries' dialogs, made after the core's own in this order. Copied one by one into
  // room made once: a range insert of these small arrays, inlined, leads the optimiser to
  // warn of an overflow that cannot happen.
  const struct {
    const PDialogSlot* slots;
    int n;
  } parts[] = {{kPrefDialogs, kPrefDialogCount},     {kImageDialogs, kImageDialogCount},
               {kPrintDialogs, kPrintDialogCount},   {kHdrPanoDialogs, kHdrPanoDialogCount},
               {kRecordDialogs, kRecordDialogCount}, {kExportDialogs, kExportDialogCount},
               {kMainDialogs, kMainDialogCount}};
  size_t total = 0;
  for (const auto& part : parts) total += static_cast<size_t>(part.n);
  h.dialogs.reserve(total);
  for (const auto& part : parts)
    for (int i = 0; i < part.n; ++i) h.dialogs.push_back(part.slots[i]);
  PsetAppHooks(h);
}

int LumerinMain(int argc, char** argv, void (*started)()) {
  // Without a display nothing starts: one line says so, and the status is 1.
  if (!PstartPlatform(argc, argv, "lumerin", "Lumerin", "lumerin")) return 1;
  TakeCommandLineDocuments(argc, argv);
  WatchQuitSignals(PquitOnSignal);
  WatchDisplayLoss(PquitOnDisplayLoss);
  StartVolumeWatch();
  PregisterInterface("main");
  PregisterHooks();
  if (started) started();
  const int status = Prun();
  StopVolumeWatch();
  StopQuitSignals();
  WatchDisplayLoss(nullptr);
  RemoveTempFiles();
  PendPlatform();
  return status;
}
