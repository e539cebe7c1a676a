// The print session over a QPrinter: its page format, Qt's page setup and print dialogs run
// inside a wait of the platform's loop, and documents painted to a printer or a PDF file.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPageSetupDialog>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>
#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "platform/ppriv.h"
#include "platform/pqt.h"
#include "support/bytetext.h"
#include "support/replacefile.h"
#include "support/futil.h"

using namespace plat;

namespace {

QPointer<QDialog>& Current() {
  static QPointer<QDialog> d;
  return d;
}

bool HaveWidgets() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

int& OpenDocuments() {
  static int n = 0;
  return n;
}

// A PDF file's path goes through Qt's text as names are shown (support/bytetext.h) and comes
// back as the bytes it stands for: Qt's text cannot hold a byte that is no part of a character.
QString PathShown(const std::string& path) {
  const std::string shown = ShownName(path);
  return QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
}
std::string PathOf(const QString& shown) {
  const QByteArray u = shown.toUtf8();
  std::string path = ShownBytes(std::string_view(u.constData(), static_cast<size_t>(u.size())));
  if (!path.empty() && path[0] != '/') {
    const char* home = getenv("HOME");
    path = std::string(home != nullptr ? home : "") + "/" + path;
  }
  return path;
}

// Whether printing to the file at path may go on: not a folder, in a folder that is there and
// may be written, and when it exists the user agrees to replace it. Asked in words over w.
bool MayPrintTo(QWidget* w, const std::string& path) {
  auto say = [w](const std::string& text) {
    QMessageBox box(QMessageBox::Warning, w->windowTitle(), QString::fromUtf8(ShownText(text)),
                    QMessageBox::Ok, w);
    box.setTextFormat(Qt::PlainText);  // it names a file
    box.exec();
    return false;
  };
  const std::string name = path.substr(path.rfind('/') + 1), folder = PfolderOf(path);
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return say("'" + name + "' is a folder.\nPlease choose a different file name.");
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return say("The folder '" + folder + "' is not there.\nPlease choose a different file name.");
  const bool exists = lstat(path.c_str(), &st) == 0;
  if (access(exists ? path.c_str() : folder.c_str(), W_OK) != 0)
    return say("'" + name + "' cannot be written: " + strerror(errno) +
               ".\nPlease choose a different file name.");
  if (!exists) return true;
  QMessageBox box(
      QMessageBox::Question, w->windowTitle(),
      QString::fromUtf8(ShownText("'" + name + "' already exists.\nDo you want to replace it?")),
      QMessageBox::Yes | QMessageBox::No, w);
  box.setDefaultButton(QMessageBox::No);
  box.setTextFormat(Qt::PlainText);
  return box.exec() == QMessageBox::Yes;
}

// The print dialog's PDF file, chosen through the program's file dialog and checked by its
// bytes: Qt's own browsing lists a folder as text, and its own check looks at the file its text
// names, which for a name of other bytes is another file. Qt's check of everything else stays.
void FileByBytes(QPrintDialog* d) {
  auto* file = d->findChild<QLineEdit*>("filename");
  auto* browse = d->findChild<QToolButton*>("fileBrowser");
  QDialogButtonBox* buttons = nullptr;
  for (QDialogButtonBox* b : d->findChildren<QDialogButtonBox*>())
    if (b->button(QDialogButtonBox::Ok) != nullptr) buttons = b;
  if (file == nullptr || browse == nullptr || buttons == nullptr ||
      d->metaObject()->indexOfMethod("_q_checkFields()") < 0)
    return;
  QObject::disconnect(browse, &QAbstractButton::clicked, nullptr, nullptr);
  QObject::connect(browse, &QAbstractButton::clicked, d, [file] {
    const std::string path = PathOf(file->text());
    PFileDialogSetup setup;
    setup.title = "Print To File";
    setup.directory = PfolderOf(path);
    setup.fileName = path.substr(path.rfind('/') + 1);
    setup.confirmReplace = false;  // asked as the print dialog is accepted
    std::vector<std::string> chosen;
    if (PlatformSaveFile(setup, &chosen, nullptr) == kFileDialogChosen && chosen.size() == 1)
      file->setText(PathShown(chosen[0]));
  });
  QObject::disconnect(buttons, &QDialogButtonBox::accepted, nullptr, nullptr);
  QObject::connect(buttons, &QDialogButtonBox::accepted, d, [d, file] {
    if (file->isEnabled() && !MayPrintTo(d, PathOf(file->text()))) return;
    // Qt's check of the rest, without its look at the file: its text is no path for it.
    const bool on = file->isEnabled();
    file->setEnabled(false);
    QMetaObject::invokeMethod(d, "_q_checkFields", Qt::DirectConnection);
    file->setEnabled(on);
  });
}

// Page setup for a PDF file, which Qt's own dialog does not serve: the paper size and the
// orientation, given to the printer when accepted. 1 when accepted, 0 when cancelled.
int PdfPageSetup(QPrinter* printer) {
  QDialog d(QApplication::activeWindow());
  d.setObjectName("PlatformPageSetupDialog");
  d.setWindowTitle(QStringLiteral("Page Setup"));
  const QPageLayout layout = printer->pageLayout();
  auto* paper = new QComboBox;
  paper->setObjectName("paper");
  static const QPageSize::PageSizeId kSizes[] = {
      QPageSize::A3,     QPageSize::A4,    QPageSize::A5,        QPageSize::B5,
      QPageSize::Letter, QPageSize::Legal, QPageSize::Executive, QPageSize::Tabloid};
  for (QPageSize::PageSizeId id : kSizes) paper->addItem(QPageSize::name(id), static_cast<int>(id));
  int at = paper->findData(static_cast<int>(layout.pageSize().id()));
  if (at < 0) {  // a size of its own stays offered as it is
    paper->addItem(layout.pageSize().name(), -1);
    at = paper->count() - 1;
  }
  paper->setCurrentIndex(at);
  auto* portrait = new QRadioButton(QStringLiteral("Portrait"));
  portrait->setObjectName("portrait");
  auto* landscape = new QRadioButton(QStringLiteral("Landscape"));
  landscape->setObjectName("landscape");
  (layout.orientation() == QPageLayout::Landscape ? landscape : portrait)->setChecked(true);
  auto* turns = new QHBoxLayout;
  turns->addWidget(portrait);
  turns->addWidget(landscape);
  turns->addStretch();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
  auto* form = new QFormLayout(&d);
  form->addRow(QStringLiteral("Paper:"), paper);
  form->addRow(QStringLiteral("Orientation:"), turns);
  form->addRow(buttons);
  if (!RunModalDialog(&d, &Current()) || Quitting()) return 0;
  const int id = paper->currentData().toInt();
  if (id >= 0) printer->setPageSize(QPageSize(static_cast<QPageSize::PageSizeId>(id)));
  printer->setPageOrientation(landscape->isChecked() ? QPageLayout::Landscape
                                                     : QPageLayout::Portrait);
  return 1;
}

}  // namespace

struct PPrintSession::Impl {
  QPrinter printer{QPrinter::HighResolution};
  std::vector<int> resolutions;       // set by tests; empty: the printer's
  bool open = false;                  // a document is open
  std::unique_ptr<QPainter> painter;  // from the document's first page on
  int pages = 0;
  bool aborted = false;
  std::string target, temp;  // a PDF file's name and the file written meanwhile
  int fd = -1;               // the file written, open while Qt writes it through /proc/self/fd
  struct stat made = {};     // the file written, as it was made
  std::string failure;       // why the last document's file was not put in place

  // Whether the temporary name still names the file written: in a folder others may write,
  // another user can rename it away and leave anything there.
  bool TempIsOurs() const { return PtempHolds(temp, made); }
  // The temporary file goes and the printer names the user's file again.
  void Discard() {
    if (TempIsOurs()) unlink(temp.c_str());
    Restore();
  }
  void Restore() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (!target.empty()) printer.setOutputFileName(PathShown(target));
    temp.clear();
    target.clear();
  }
  // Says why the file at target was not written, and drops the temporary file.
  int Fail(const std::string& why) {
    failure = "Cannot write the PDF file '" + target + "': " + why;
    Discard();
    return kPrintError;
  }
};

PPrintSession::PPrintSession() : d_(new Impl) {
  // Pages are painted in paper coordinates; the margins say where the printable part lies.
  d_->printer.setFullPage(true);
}

PPrintSession::~PPrintSession() {
  if (InDocument()) {
    Abort();
    EndDocument();
  }
  delete d_;
}

QPrinter* PPrintSession::Printer() const {
  return &d_->printer;
}

bool PPrintSession::IsLandscape() const {
  return d_->printer.pageLayout().orientation() == QPageLayout::Landscape;
}

void PPrintSession::SetLandscape(bool landscape) {
  if (InDocument()) return;
  d_->printer.setPageOrientation(landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
}

std::vector<int> PPrintSession::Resolutions() const {
  if (!d_->resolutions.empty()) return d_->resolutions;
  // Qt tells a PDF file's resolution as 72 only, though the file takes any.
  if (d_->printer.outputFormat() == QPrinter::PdfFormat) return {72, 150, 300, 600, 1200};
  std::vector<int> r;
  for (int dpi : d_->printer.supportedResolutions())
    if (dpi > 0) r.push_back(dpi);
  if (r.empty()) r.push_back(d_->printer.resolution());
  return r;
}

void PPrintSession::SetResolutions(const std::vector<int>& dpi) {
  d_->resolutions = dpi;
}

int PPrintSession::Resolution() const {
  return d_->printer.resolution();
}

bool PPrintSession::SetResolution(int dpi) {
  if (dpi <= 0 || dpi > 9600 || InDocument()) return false;
  d_->printer.setResolution(dpi);
  return d_->printer.resolution() == dpi;
}

PPrintRect PPrintSession::PaperRect() const {
  const QPageLayout pl = d_->printer.pageLayout();
  const QRectF full = pl.fullRect(QPageLayout::Point);
  const double k = Resolution() / 72.0;
  return {0, 0, full.width() * k, full.height() * k};
}

PPrintRect PPrintSession::PageRect() const {
  const QPageLayout pl = d_->printer.pageLayout();
  const QRectF full = pl.fullRect(QPageLayout::Point);
  const QMarginsF m = pl.margins(QPageLayout::Point);
  const double k = Resolution() / 72.0;
  PPrintRect r = {m.left() * k, m.top() * k, (full.width() - m.right()) * k,
                  (full.height() - m.bottom()) * k};
  if (r.right < r.left) r.right = r.left;
  if (r.bottom < r.top) r.bottom = r.top;
  return r;
}

void PPrintSession::SetOutputFile(const std::string& path) {
  if (InDocument()) return;
  d_->printer.setOutputFileName(path.empty() ? QString() : PathShown(path));
  if (!path.empty()) d_->printer.setOutputFormat(QPrinter::PdfFormat);
}

std::string PPrintSession::OutputFile() const {
  const QString name = d_->printer.outputFileName();
  return name.isEmpty() ? std::string() : PathOf(name);
}

int PPrintSession::PageSetupDialog() {
  if (!HaveWidgets() || InDocument() || Quitting()) return -1;
  if (d_->printer.outputFormat() != QPrinter::NativeFormat) return PdfPageSetup(&d_->printer);
  QPageSetupDialog d(&d_->printer, QApplication::activeWindow());
  d.setObjectName("PlatformPageSetupDialog");
  // Qt hands the choices to the printer only from its own modal loop; a quit meanwhile is a
  // cancel.
  QTimer quit;
  QObject::connect(&quit, &QTimer::timeout, &d, [&d] {
    if (Quitting()) d.reject();
  });
  quit.start(50);
  QPointer<QDialog> saved = Current();
  Current() = &d;
  KeepAboveProgram(&d);
  const int r = d.exec();
  Current() = saved;
  return r == QDialog::Accepted && !Quitting() ? 1 : 0;
}

int PPrintSession::PrintDialog(PPrintSettings* s) {
  if (s == nullptr || !HaveWidgets() || InDocument()) return -1;
  if (s->maxPage < s->minPage) s->maxPage = s->minPage;
  // The job's name (a file's name) shows as names show; Qt proposes a PDF file's name from it.
  if (!s->jobName.empty()) d_->printer.setDocName(PathShown(s->jobName));
  d_->printer.setPrintRange(QPrinter::AllPages);
  QPrintDialog d(&d_->printer, QApplication::activeWindow());
  d.setObjectName("PlatformPrintDialog");
  d.setOption(QAbstractPrintDialog::PrintToFile, true);
  d.setOption(QAbstractPrintDialog::PrintPageRange, true);
  d.setOption(QAbstractPrintDialog::PrintCollateCopies, false);
  d.setMinMax(s->minPage, s->maxPage);
  FileByBytes(&d);
  const int r = Quitting() ? -1 : RunModalDialog(&d, &Current()) ? 1 : 0;
  if (r != 1) return r;
  if (d_->printer.printRange() == QPrinter::PageRange && d_->printer.fromPage() > 0) {
    s->firstPage = d_->printer.fromPage();
    s->lastPage = d_->printer.toPage() > 0 ? d_->printer.toPage() : s->maxPage;
  } else {
    s->firstPage = s->minPage;
    s->lastPage = s->maxPage;
  }
  return 1;
}

bool PPrintSession::InDocument() const {
  return d_->open;
}

int PPrintSession::PagesBegun() const {
  return d_->pages;
}

std::string PPrintSession::FileFailure() const {
  return d_->failure;
}

int PPrintSession::BeginDocument(const PPrintSettings& s) {
  if (InDocument()) return kPrintError;
  Impl& d = *d_;
  d.aborted = false;
  d.pages = 0;
  d.failure.clear();
  if (!s.jobName.empty()) d.printer.setDocName(PathShown(s.jobName));
  if (d.printer.outputFormat() == QPrinter::PdfFormat) {
    // The file is written under a name of its own in the same folder, and renamed when whole.
    const std::string target = OutputFile();
    struct stat st;
    if (target.empty() || (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
      return kPrintError;
    // Qt chooses the PDF format by the name's suffix.
    std::string temp;
    const int fd = PtempBeside(target.c_str(), &temp, -1, ".pdf", &d.made);
    if (fd < 0) return kPrintError;
    d.target = target;
    d.temp = temp;
    d.fd = fd;
    // Qt opens its file again by name when the first page begins, following a link and
    // truncating what it finds; by then another user who may write in the folder could have
    // put a link at the temporary name. Qt is given the file made here instead: /proc/self/fd/N
    // opened again is this very file whatever stands at its name, whose bytes need not be text.
    d.printer.setOutputFileName(QStringLiteral("/proc/self/fd/") + QString::number(fd));
  }
  // The printer is opened with the first page, so that a document without pages sends nothing.
  d.open = true;
  ++OpenDocuments();
  return 0;
}

QPainter* PPrintSession::BeginPage(int* err) {
  int e = 0;
  QPainter* p = nullptr;
  Impl& d = *d_;
  if (!InDocument()) {
    e = kPrintError;
  } else if (d.aborted) {
    e = kPrintCancel;
  } else if (d.pages == 0 && !d.painter) {
    // A page layout set since (page setup, tests) may have brought the margins' origin back.
    d.printer.setFullPage(true);
    d.painter.reset(new QPainter);
    if (!d.painter->begin(&d.printer)) {
      d.painter.reset();
      e = kPrintError;
    }
  } else if (!d.printer.newPage()) {
    e = kPrintError;
  }
  if (e == 0 && d.painter) {
    d.pages++;
    p = d.painter.get();
    p->save();
    p->resetTransform();
    p->setPen(Qt::black);
    p->setBrush(Qt::NoBrush);
  }
  if (err != nullptr) *err = e;
  return p;
}

int PPrintSession::EndPage() {
  if (!InDocument() || !d_->painter) return kPrintError;
  d_->painter->restore();
  if (d_->aborted) return kPrintCancel;
  return d_->printer.printerState() == QPrinter::Error ? kPrintError : 0;
}

void PPrintSession::Abort() {
  if (!InDocument() || d_->aborted) return;
  d_->aborted = true;
  // Qt cannot take back what a printer was already sent; a PDF file is never put in place.
  if (d_->painter) d_->printer.abort();
}

int PPrintSession::EndDocument() {
  if (!InDocument()) return kPrintError;
  Impl& d = *d_;
  d.open = false;
  --OpenDocuments();
  bool failed = false;
  if (d.painter) {
    failed = !d.painter->end() || d.printer.printerState() == QPrinter::Error;
    d.painter.reset();
  }
  if (d.aborted || d.pages == 0 || failed) {
    d.Discard();
    return d.aborted ? kPrintCancel : failed ? kPrintError : 0;
  }
  if (!d.temp.empty()) {
    // What Qt wrote reaches the disk before the name does; the file is synced through the
    // descriptor it was made with, never opened again by a name another may have changed. The
    // descriptor stays open while the name is checked and renamed, as every writer's does: held,
    // the file keeps its identity, which a file another user put at the name cannot share.
    if (fsync(d.fd) != 0) return d.Fail(std::string("cannot sync it: ") + strerror(errno));
    if (!d.TempIsOurs())
      return d.Fail("its temporary file '" + d.temp + "' was replaced while it was written");
    if (!PrenameTemp(d.temp, d.target.c_str(), &d.made))
      return d.Fail(std::string("cannot rename it into place: ") + strerror(errno));
    d.temp.clear();
  }
  d.Restore();
  return 0;
}

QDialog* PlatformPrintDialog() {
  return Current().data();
}

bool PrintDocumentOpen() {
  return OpenDocuments() > 0;
}
