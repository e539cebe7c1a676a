// The program's entry.
#include "app/shell/pshell.h"

#include <QApplication>
#include <memory>

#include "app/core/papp.h"
#include "app/core/pcommands.h"
#include "app/core/pforms.h"
#include "app/export/ptrader.h"
#include "app/image/pforms.h"
#include "app/image/pimagewin.h"
#include "app/info/pfind.h"
#include "app/info/pforms.h"
#include "app/info/pinfo.h"
#include "app/mainwin/pforms.h"
#include "app/mainwin/pmainw.h"
#include "app/print/pprint.h"
#include "platform/pdocuments.h"
#include "platform/pmounts.h"
#include "platform/psignals.h"
#include "platform/ptempfile.h"

void PregisterInterface(const char* nib, const char* omit) {
  PregisterCoreForms(nib, omit);
  PregisterMainWindowForm(nib, omit);
  PregisterInfoForms(nib, omit);
  PregisterImageForm(nib, omit);
}

void PinstallWindowFactories() {
  PWindowFactories f;
  f.main = [](IBNibRef nib) -> IMainWindow* { return new PMainWindow(nib); };
  f.info = [](IBNibRef nib) -> IInfoWindow* { return new PInfoWindow(nib); };
  f.find = [](IBNibRef nib) -> IFindWindow* { return new PFindWindow(nib); };
  f.image = [](IBNibRef nib, IBrowser* b) -> IImageWindow* { return new PImageWindow(nib, b); };
  PsetWindowFactories(f);
  PPrintHooks print;
  print.pageSetup = pageSetup;
  print.closePrintSession = closePrintSession;
  PsetPrintHooks(print);
  PinstallRecordExchange();
}

int LumerinMain(int argc, char** argv, void (*started)()) {
  std::unique_ptr<QApplication> app;
  if (QCoreApplication::instance() == nullptr) app.reset(new QApplication(argc, argv));
  QApplication::setApplicationName("Lumerin");
  QApplication::setDesktopFileName("lumerin");
  TakeCommandLineDocuments(argc, argv);
  WatchQuitSignals(PquitOnSignal);
  StartVolumeWatch();
  PregisterInterface("main");
  PinstallWindowFactories();
  if (started) started();
  const int status = Prun();
  StopVolumeWatch();
  StopQuitSignals();
  RemoveTempFiles();
  return status;
}
