// File dialogs over Qt's own QFileDialog, run modal inside a wait of the platform's loop.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSortFilterProxyModel>
#include <memory>
#include <unordered_map>

#include "platform/ppriv.h"
#include "platform/pqt.h"

using namespace plat;

namespace {

// Where the next dialog without a folder of its own opens: where the last one was accepted,
// at first the user's home folder.
QString& LastFolder() {
  static QString folder;
  return folder;
}

QPointer<QDialog>& Current() {
  static QPointer<QDialog> d;
  return d;
}

// Lists folders and the files the dialog's filter accepts; each file is asked about once.
class FilterProxy : public QSortFilterProxyModel {
 public:
  explicit FilterProxy(std::function<bool(const std::string&)> show) : show_(std::move(show)) {}
  // The dialog has ended: its caller's filter (which may refer to the caller's locals) is
  // asked no more, though the folder model may still deliver rows until the dialog goes.
  void Stop() { show_ = nullptr; }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    auto* fs = qobject_cast<QFileSystemModel*>(sourceModel());
    if (fs == nullptr) return true;
    const QModelIndex i = fs->index(row, 0, parent);
    if (fs->isDir(i)) return true;
    if (!show_) return false;
    const QString path = fs->filePath(i);
    auto it = seen_.find(path);
    if (it != seen_.end()) return it->second;
    const bool ok = show_(path.toStdString());
    seen_.emplace(path, ok);
    return ok;
  }

 private:
  std::function<bool(const std::string&)> show_;
  mutable std::unordered_map<QString, bool> seen_;
};

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// A file dialog that asks its caller about the file accepted and stays open, saying why, when
// the caller refuses it.
class CheckedDialog : public QFileDialog {
 public:
  CheckedDialog(QWidget* parent, std::function<std::string(const std::string&)> refuse)
      : QFileDialog(parent), refuse_(std::move(refuse)) {}
  // The dialog has ended: the caller's check (which may refer to the caller's locals) is asked
  // no more.
  void Stop() { refuse_ = nullptr; }

  void accept() override {
    if (refuse_ && fileMode() == QFileDialog::ExistingFile) {
      const QStringList files = selectedFiles();
      const QFileInfo fi(files.size() == 1 ? files[0] : QString());
      if (fi.isFile()) {
        const std::string why = refuse_(files[0].toStdString());
        if (!why.empty()) {
          Refusal()->setText(Q(why));
          Refusal()->show();
          QApplication::beep();
          return;
        }
      }
    }
    QFileDialog::accept();
  }

 private:
  QLabel* Refusal() {
    if (note_ == nullptr) {
      note_ = new QLabel(this);
      note_->setObjectName("PlatformFileDialogRefusal");
      note_->setTextFormat(Qt::PlainText);  // it may name a file
      note_->setWordWrap(true);
      if (auto* grid = qobject_cast<QGridLayout*>(layout()))
        grid->addWidget(note_, grid->rowCount(), 0, 1, grid->columnCount());
    }
    return note_;
  }

  std::function<std::string(const std::string&)> refuse_;
  QLabel* note_ = nullptr;
};

// A dialog with the description's title, message, button and starting folder, over the window
// in front: never over a hidden one (a dialog just closed and on its way out, which would take
// this one with it while it is still asking).
QFileDialog* Make(const PFileDialogSpec& dlg) {
  QWidget* front = QApplication::activeWindow();
  if (front != nullptr && !front->isVisible()) front = nullptr;
  auto* d = dlg.refuse ? new CheckedDialog(front, dlg.refuse) : new QFileDialog(front);
  d->setObjectName("PlatformFileDialog");
  d->setOption(QFileDialog::DontUseNativeDialog, true);
  d->setAttribute(Qt::WA_DeleteOnClose, false);
  if (!dlg.title.empty()) d->setWindowTitle(Q(dlg.title));
  if (!dlg.button.empty()) d->setLabelText(QFileDialog::Accept, Q(dlg.button));
  if (!dlg.directory.empty())
    d->setDirectory(Q(dlg.directory));
  else
    d->setDirectory(LastFolder().isEmpty() ? QDir::homePath() : LastFolder());
  if (!dlg.message.empty()) {
    if (auto* grid = qobject_cast<QGridLayout*>(d->layout())) {
      auto* label = new QLabel(Q(dlg.message), d);
      label->setObjectName("PlatformFileDialogMessage");
      label->setTextFormat(Qt::PlainText);  // it may name a file
      label->setWordWrap(true);
      grid->addWidget(label, grid->rowCount(), 0, 1, grid->columnCount());
    }
  }
  return d;
}

// Shows the dialog modal and waits in the platform's loop until it closes.
int Run(QFileDialog* d, std::vector<std::string>* chosen) {
  if (chosen) chosen->clear();
  if (Quitting()) {
    delete d;
    return kFileDialogFailed;
  }
  const bool accepted = RunModalDialog(d, &Current());
  if (accepted && chosen)
    for (const QString& f : d->selectedFiles()) chosen->push_back(f.toStdString());
  if (accepted) LastFolder() = d->directory().absolutePath();
  QObject::disconnect(d, nullptr, nullptr, nullptr);
  if (auto* proxy = dynamic_cast<FilterProxy*>(d->proxyModel())) proxy->Stop();
  if (auto* checked = dynamic_cast<CheckedDialog*>(d)) checked->Stop();
  d->deleteLater();
  return accepted ? kFileDialogChosen : kFileDialogCancelled;
}

}  // namespace

int PlatformChooseFolder(const PFileDialogSpec& dlg, std::vector<std::string>* chosen) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
    return kFileDialogFailed;
  QFileDialog* d = Make(dlg);
  d->setFileMode(QFileDialog::Directory);
  d->setOption(QFileDialog::ShowDirsOnly, true);
  d->setAcceptMode(QFileDialog::AcceptOpen);
  return Run(d, chosen);
}

int PlatformOpenFile(const PFileDialogSpec& dlg, std::vector<std::string>* chosen) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
    return kFileDialogFailed;
  QFileDialog* d = Make(dlg);
  d->setFileMode(QFileDialog::ExistingFile);
  d->setAcceptMode(QFileDialog::AcceptOpen);
  if (dlg.show) d->setProxyModel(new FilterProxy(dlg.show));
  return Run(d, chosen);
}

int PlatformSaveFile(const PFileDialogSpec& dlg, std::vector<std::string>* chosen, int* format) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
    return kFileDialogFailed;
  QFileDialog* d = Make(dlg);
  d->setFileMode(QFileDialog::AnyFile);
  d->setAcceptMode(QFileDialog::AcceptSave);
  d->setOption(QFileDialog::DontConfirmOverwrite, !dlg.confirmReplace);
  int chosenFormat = dlg.format;
  if (!dlg.formats.empty()) {
    QStringList filters;
    for (const std::string& f : dlg.formats) filters << Q(f);
    d->setNameFilters(filters);
    if (dlg.format >= 0 && dlg.format < filters.size()) d->selectNameFilter(filters[dlg.format]);
    // The dialog puts the new filter's suffix on the name itself before it tells of the choice;
    // the callback gets the name as it was typed, taken when the choice begins.
    auto typedName = std::make_shared<QString>();
    auto* edit = d->findChild<QLineEdit*>("fileNameEdit");
    if (auto* combo = d->findChild<QComboBox*>("fileTypeCombo"))
      QObject::connect(combo, &QComboBox::currentIndexChanged, d, [edit, typedName](int) {
        if (edit) *typedName = edit->text();
      });
    QObject::connect(d, &QFileDialog::filterSelected, d,
                     [edit, &dlg, &chosenFormat, filters, typedName](const QString& filter) {
                       const int i = static_cast<int>(filters.indexOf(filter));
                       if (i < 0 || i == chosenFormat) return;
                       chosenFormat = i;
                       if (!dlg.formatChanged) return;
                       std::string typed = dlg.fileName;
                       if (!typedName->isNull())
                         typed = typedName->toStdString();
                       else if (edit)
                         typed = edit->text().toStdString();
                       const std::string name = dlg.formatChanged(i, typed);
                       if (edit) edit->setText(Q(name));
                       *typedName = QString();
                     });
  }
  if (!dlg.fileName.empty()) d->selectFile(Q(dlg.fileName));
  const int r = Run(d, chosen);
  if (format) *format = chosenFormat;
  return r;
}

QFileDialog* PlatformFileDialog() {
  return qobject_cast<QFileDialog*>(Current().data());
}
