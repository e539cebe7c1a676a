// The program's file dialog: a folder listed by the bytes of its entries' names, each shown as
// names are shown everywhere (support/bytetext.h), run modal inside a wait of the platform's
// loop. Qt's own dialog lists folders through a model that decodes names as UTF-8, which gives
// every byte that is no text the same U+FFFD: names of such bytes merged into one entry or were
// left out, and a name typed or proposed came back with U+FFFD in its place.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractListModel>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "platform/ppriv.h"
#include "platform/pqt.h"
#include "support/bytetext.h"
#include "support/futil.h"

using namespace plat;

namespace {

// Where the next dialog without a folder of its own opens: where the last one was accepted,
// at first the user's home folder.
std::string& LastFolder() {
  static std::string folder;
  return folder;
}

QPointer<QDialog>& Current() {
  static QPointer<QDialog> d;
  return d;
}

QString Q(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A name or path as the dialog shows it, and the bytes a shown text stands for.
QString Shown(const std::string& bytes) {
  return Q(ShownName(bytes));
}
std::string Bytes(const QString& shown) {
  const QByteArray u = shown.toUtf8();
  return ShownBytes(std::string_view(u.constData(), static_cast<size_t>(u.size())));
}

std::string Home() {
  const char* h = getenv("HOME");
  return h != nullptr && h[0] == '/' ? h : "/";
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// An absolute path without empty, "." and ".." parts (".." taken by its name, as typed).
std::string Clean(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    const std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The order of names in the list, whatever the locale: letter case aside (ASCII), runs of
// digits by their value, then by bytes.
bool Before(const std::string& a, const std::string& b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t ie = i, je = j;
      while (ie < a.size() && digit(a[ie])) ++ie;
      while (je < b.size() && digit(b[je])) ++je;
      size_t iz = i, jz = j;
      while (iz + 1 < ie && a[iz] == '0') ++iz;
      while (jz + 1 < je && b[jz] == '0') ++jz;
      if (ie - iz != je - jz) return ie - iz < je - jz;
      const int c = a.compare(iz, ie - iz, b, jz, je - jz);
      if (c != 0) return c < 0;
      i = ie;
      j = je;
      continue;
    }
    const unsigned char x = static_cast<unsigned char>(lower(a[i]));
    const unsigned char y = static_cast<unsigned char>(lower(b[j]));
    if (x != y) return x < y;
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return j < b.size();
  return a < b;
}

struct Entry {
  std::string name;  // bytes
  bool folder;
  QString shown;
};

bool EntryBefore(const Entry& a, const Entry& b) {
  if (a.folder != b.folder) return a.folder;
  return Before(a.name, b.name);
}

// The entries of one folder, shown each as its name shows; a new folder's row may be edited
// (its new name is asked of the dialog).
class EntryModel : public QAbstractListModel {
 public:
  explicit EntryModel(QObject* parent) : QAbstractListModel(parent) {}

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows.size());
  }
  QVariant data(const QModelIndex& i, int role) const override {
    if (!i.isValid() || i.row() >= static_cast<int>(rows.size())) return QVariant();
    const Entry& e = rows[static_cast<size_t>(i.row())];
    if (role == Qt::DisplayRole || role == Qt::EditRole) return e.shown;
    if (role == Qt::DecorationRole)
      return QApplication::style()->standardIcon(e.folder ? QStyle::SP_DirIcon
                                                          : QStyle::SP_FileIcon);
    if (role == Qt::UserRole) return QByteArray(e.name.data(), static_cast<int>(e.name.size()));
    return QVariant();
  }
  Qt::ItemFlags flags(const QModelIndex& i) const override {
    Qt::ItemFlags f = QAbstractListModel::flags(i);
    if (i.isValid() && i.row() == editable) f |= Qt::ItemIsEditable;
    return f;
  }
  bool setData(const QModelIndex& i, const QVariant& v, int role) override {
    if (role != Qt::EditRole || !i.isValid() || i.row() != editable || !rename) return false;
    return rename(rows[static_cast<size_t>(i.row())].name, v.toString());
  }

  void Clear() {
    beginResetModel();
    rows.clear();
    editable = -1;
    endResetModel();
  }
  // The row the entry takes.
  int Add(Entry e) {
    const auto at = std::upper_bound(rows.begin(), rows.end(), e, EntryBefore);
    const int row = static_cast<int>(at - rows.begin());
    beginInsertRows(QModelIndex(), row, row);
    rows.insert(at, std::move(e));
    endInsertRows();
    if (editable >= row) ++editable;
    return row;
  }
  int Find(const std::string& name) const {
    for (size_t k = 0; k < rows.size(); ++k)
      if (rows[k].name == name) return static_cast<int>(k);
    return -1;
  }

  std::vector<Entry> rows;
  int editable = -1;
  std::function<bool(const std::string& name, const QString& shown)> rename;
};

}  // namespace

struct PFileDialog::Impl {
  PFileDialog* q;
  Mode mode;
  std::function<bool(const std::string&)> show;
  std::function<std::string(const std::string&)> refuse;
  std::function<std::string(int, const std::string&)> formatChanged;
  bool confirmReplace = true;
  int format = 0;
  std::string dir;
  std::vector<std::string> chosen;
  std::deque<std::string> pending;  // names still to be looked at
  EntryModel* model = nullptr;
  QListView* list = nullptr;
  QComboBox* lookIn = nullptr;
  QLineEdit* name = nullptr;
  QComboBox* types = nullptr;
  QLabel* note = nullptr;
  QTimer* looker = nullptr;
  unsigned serial = 0;  // of the listing: a filter that lets events in may see another begin

  // Says why a choice is refused, in the dialog (a name in it shown as names are).
  void Refuse(const std::string& why) {
    note->setText(Q(ShownText(why)));
    note->show();
    QApplication::beep();
  }

  void List(const std::string& path) {
    ++serial;
    looker->stop();
    pending.clear();
    model->Clear();
    note->hide();
    dir = path;
    lookIn->blockSignals(true);
    lookIn->clear();
    for (std::string p = path;; p = ParentOf(p)) {
      lookIn->addItem(Shown(p), QByteArray(p.data(), static_cast<int>(p.size())));
      if (p == "/") break;
    }
    lookIn->setCurrentIndex(0);
    lookIn->blockSignals(false);
    DIR* d = opendir(path.c_str());
    if (d == nullptr) {
      note->setText(QStringLiteral("This folder cannot be read: ") + Q(strerror(errno)));
      note->show();
      return;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);  // hidden names stay hidden
    closedir(d);
    std::sort(names.begin(), names.end(), Before);
    pending.assign(names.begin(), names.end());
    Look();
  }

  // Looks at the waiting entries for a moment, then lets events in.
  void Look() {
    QElapsedTimer spent;
    spent.start();
    while (!pending.empty() && spent.elapsed() < 15) {
      const std::string n = pending.front();
      pending.pop_front();
      const std::string path = Join(dir, n);
      const bool folder = IsFolder(path);
      if (!folder && mode == kFolder) continue;
      if (!folder && mode == kOpen && show) {
        const unsigned listing = serial;
        const auto filter = show;  // kept whole should the dialog end meanwhile
        const bool shown = filter(path);
        if (listing != serial) return;
        if (!shown) continue;
      }
      model->Add(Entry{n, folder, Shown(n)});
    }
    if (!pending.empty()) looker->start(0);
  }

  // The entry picked in the list, NULL when none.
  const Entry* Picked() const {
    const QModelIndex i = list->currentIndex();
    if (!i.isValid() || !list->selectionModel()->isSelected(i)) return nullptr;
    return &model->rows[static_cast<size_t>(i.row())];
  }

  // The path the typed text names: absolute, from the home folder ("~"), or in the folder.
  std::string Typed() const {
    const std::string t = Bytes(name->text());
    if (t.empty()) return std::string();
    if (t[0] == '/') return Clean(t);
    if (t == "~" || t.rfind("~/", 0) == 0) return Clean(Home() + t.substr(1));
    return Clean(Join(dir, t));
  }

  void Choose(const std::string& path) {
    chosen = {path};
    // The next dialog opens where this one's choice lies: the folder listed, when chosen
    // itself, else the folder holding the choice (typed there from elsewhere, too).
    LastFolder() = path == dir ? dir : ParentOf(path);
    q->QDialog::accept();
  }

  // A new folder in the one listed, its name then edited in place.
  void NewFolder() {
    std::string n = "New Folder";
    for (int k = 2; Exists(Join(dir, n)) && k < 1000; ++k) n = "New Folder " + std::to_string(k);
    if (mkdir(Join(dir, n).c_str(), 0777) != 0) {
      Refuse("Cannot make a folder here: " + std::string(strerror(errno)));
      return;
    }
    pending.erase(std::remove(pending.begin(), pending.end(), n), pending.end());
    if (model->Find(n) < 0) model->Add(Entry{n, true, Shown(n)});
    model->editable = model->Find(n);
    const QModelIndex i = model->index(model->editable, 0);
    list->setCurrentIndex(i);
    list->edit(i);
  }

  bool RenameNew(const std::string& old, const QString& shown) {
    const std::string n = Bytes(shown);
    if (n == old) return true;
    if (n.empty() || n.find('/') != std::string::npos || n == "." || n == "..") {
      Refuse("A folder's name cannot be empty or hold '/'");
      return false;
    }
    // Whatever has the name, or comes to have it meanwhile (a folder another user makes in a
    // folder both may write), is never replaced. A file system without a rename that never
    // replaces takes no second name of a folder either: there the folder is renamed once the
    // name is found free, which can replace no more than an empty folder made meanwhile.
    const std::string from = Join(dir, old), to = Join(dir, n);
    int err = PrenameNoReplace(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (err == EPERM) err = Exists(to) ? EEXIST : rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (err == EEXIST || err == ENOTEMPTY) {
      Refuse("'" + n + "' already exists");
      return false;
    }
    if (err != 0) {
      Refuse("Cannot rename the folder: " + std::string(strerror(err)));
      return false;
    }
    const int row = model->Find(old);
    model->rows[static_cast<size_t>(row)].name = n;
    model->rows[static_cast<size_t>(row)].shown = Shown(n);
    Q_EMIT model->dataChanged(model->index(row, 0), model->index(row, 0));
    return true;
  }
};

PFileDialog::PFileDialog(QWidget* parent, Mode mode, const PFileDialogSetup& setup)
    : QDialog(parent), d_(new Impl) {
  Impl& d = *d_;
  d.q = this;
  d.mode = mode;
  d.show = setup.show;
  d.refuse = setup.refuse;
  d.formatChanged = setup.formatChanged;
  d.confirmReplace = setup.confirmReplace;
  setObjectName("PlatformFileDialog");
  setWindowTitle(Q(setup.title));
  setSizeGripEnabled(true);
  resize(640, 440);

  auto* grid = new QGridLayout(this);
  d.lookIn = new QComboBox(this);
  d.lookIn->setObjectName("lookInCombo");
  d.lookIn->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  auto* up = new QToolButton(this);
  up->setObjectName("toParentButton");
  up->setIcon(style()->standardIcon(QStyle::SP_FileDialogToParent));
  up->setToolTip(QStringLiteral("Parent folder"));
  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QStringLiteral("Look in:"), this));
  top->addWidget(d.lookIn, 1);
  top->addWidget(up);
  if (mode != kOpen) {
    auto* fresh = new QToolButton(this);
    fresh->setObjectName("newFolderButton");
    fresh->setIcon(style()->standardIcon(QStyle::SP_FileDialogNewFolder));
    fresh->setToolTip(QStringLiteral("New folder"));
    top->addWidget(fresh);
    connect(fresh, &QToolButton::clicked, this, [this] { d_->NewFolder(); });
  }
  grid->addLayout(top, 0, 0, 1, 2);

  d.model = new EntryModel(this);
  d.model->rename = [this](const std::string& old, const QString& shown) {
    return d_->RenameNew(old, shown);
  };
  d.list = new QListView(this);
  d.list->setObjectName("fileList");
  d.list->setModel(d.model);
  d.list->setSelectionMode(QAbstractItemView::SingleSelection);
  d.list->setEditTriggers(QAbstractItemView::EditKeyPressed);
  d.list->setUniformItemSizes(true);
  grid->addWidget(d.list, 1, 0, 1, 2);

  d.name = new QLineEdit(this);
  d.name->setObjectName("fileNameEdit");
  grid->addWidget(
      new QLabel(mode == kFolder ? QStringLiteral("Folder:") : QStringLiteral("File name:"), this),
      2, 0);
  grid->addWidget(d.name, 2, 1);
  d.types = new QComboBox(this);
  d.types->setObjectName("fileTypeCombo");
  if (mode == kSave && !setup.formats.empty()) {
    for (const std::string& f : setup.formats) d.types->addItem(Q(f));
    d.format = setup.format >= 0 && setup.format < d.types->count() ? setup.format : 0;
    d.types->setCurrentIndex(d.format);
    grid->addWidget(new QLabel(QStringLiteral("Format:"), this), 3, 0);
    grid->addWidget(d.types, 3, 1);
  } else {
    d.types->hide();
  }
  if (!setup.message.empty()) {
    auto* label = new QLabel(Q(ShownText(setup.message)), this);
    label->setObjectName("PlatformFileDialogMessage");
    label->setTextFormat(Qt::PlainText);  // it may name a file
    label->setWordWrap(true);
    grid->addWidget(label, 4, 0, 1, 2);
  }
  d.note = new QLabel(this);
  d.note->setObjectName("PlatformFileDialogRefusal");
  d.note->setTextFormat(Qt::PlainText);  // it may name a file
  d.note->setWordWrap(true);
  d.note->hide();
  grid->addWidget(d.note, 5, 0, 1, 2);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
  buttons->setObjectName("buttonBox");
  const QString label = !setup.button.empty() ? Q(setup.button)
                        : mode == kSave       ? QStringLiteral("Save")
                        : mode == kOpen       ? QStringLiteral("Open")
                                              : QStringLiteral("Choose");
  QPushButton* ok = buttons->addButton(label, QDialogButtonBox::AcceptRole);
  ok->setDefault(true);
  grid->addWidget(buttons, 6, 0, 1, 2);
  connect(buttons, &QDialogButtonBox::accepted, this, &PFileDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  d.looker = new QTimer(this);
  d.looker->setSingleShot(true);
  connect(d.looker, &QTimer::timeout, this, [this] { d_->Look(); });
  connect(up, &QToolButton::clicked, this, [this] { SetDirectory(ParentOf(d_->dir)); });
  connect(d.lookIn, &QComboBox::activated, this, [this](int k) {
    const QByteArray p = d_->lookIn->itemData(k).toByteArray();
    SetDirectory(std::string(p.constData(), static_cast<size_t>(p.size())));
  });
  // A file picked puts its name in the field; so does a folder, but for a file to save,
  // whose proposed name stays.
  connect(d.list->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& i) {
            if (!i.isValid()) return;
            const Entry& e = d_->model->rows[static_cast<size_t>(i.row())];
            if (e.folder && d_->mode == kSave) return;
            d_->name->setText(e.shown);
          });
  // A folder opened goes in; a file opened is the choice.
  connect(d.list, &QListView::activated, this, [this](const QModelIndex& i) {
    if (!i.isValid()) return;
    const Entry& e = d_->model->rows[static_cast<size_t>(i.row())];
    if (e.folder) {
      SetDirectory(Join(d_->dir, e.name));
      if (d_->mode != kSave) d_->name->clear();
    } else {
      d_->name->setText(e.shown);
      this->accept();
    }
  });
  connect(d.types, &QComboBox::currentIndexChanged, this, [this](int k) {
    if (k < 0 || k == d_->format) return;
    d_->format = k;
    if (!d_->formatChanged) return;
    const std::string n = d_->formatChanged(k, Bytes(d_->name->text()));
    d_->name->setText(Shown(n));
  });

  std::string start = setup.directory;
  if (start.empty() || !IsFolder(start)) start = LastFolder();
  if (start.empty() || !IsFolder(start)) start = Home();
  d.List(Clean(start));
  if (mode == kSave && !setup.fileName.empty()) {
    d.name->setText(Shown(setup.fileName));
    // The stem is selected, ready to be typed over; the suffix stays.
    const QString t = d.name->text();
    const qsizetype dot = t.lastIndexOf('.');
    d.name->setSelection(0, dot > 0 ? dot : t.size());
  }
  d.name->setFocus();
}

PFileDialog::~PFileDialog() {
  delete d_;
}

PFileDialog::Mode PFileDialog::GetMode() const {
  return d_->mode;
}

const std::string& PFileDialog::Directory() const {
  return d_->dir;
}

bool PFileDialog::SetDirectory(const std::string& path) {
  if (path.empty() || path[0] != '/' || !IsFolder(path)) return false;
  d_->List(Clean(path));
  return true;
}

void PFileDialog::SelectFile(const std::string& path) {
  std::string n = path;
  if (!path.empty() && path[0] == '/') {
    const std::string p = Clean(path);
    if (p != "/" && ParentOf(p) != d_->dir) SetDirectory(ParentOf(p));
    n = p == "/" ? p : p.substr(p.rfind('/') + 1);
  }
  d_->name->setText(Shown(n));
  const int row = d_->model->Find(n);
  if (row >= 0) {
    d_->list->selectionModel()->blockSignals(true);
    d_->list->setCurrentIndex(d_->model->index(row, 0));
    d_->list->selectionModel()->blockSignals(false);
  }
}

std::vector<std::string> PFileDialog::Entries() const {
  std::vector<std::string> out;
  for (const Entry& e : d_->model->rows) out.push_back(e.name);
  return out;
}

bool PFileDialog::Listed() const {
  return d_->pending.empty();
}

const std::vector<std::string>& PFileDialog::Chosen() const {
  return d_->chosen;
}

int PFileDialog::Format() const {
  return d_->format;
}

void PFileDialog::Stop() {
  d_->looker->stop();
  d_->pending.clear();
  d_->show = nullptr;
  d_->refuse = nullptr;
  d_->formatChanged = nullptr;
}

void PFileDialog::accept() {
  Impl& d = *d_;
  d.note->hide();
  std::string path = d.Typed();
  if (path.empty()) {
    if (const Entry* e = d.Picked())
      path = Join(d.dir, e->name);
    else if (d.mode == kFolder)
      path = d.dir;
    else
      return QApplication::beep();
  }
  const std::string leaf = path.substr(path.rfind('/') + 1);
  if (d.mode == kFolder) {
    if (!IsFolder(path)) return d.Refuse("'" + leaf + "' is no folder");
    return d.Choose(path);
  }
  if (IsFolder(path)) {
    // A folder named is gone into; a file's name proposed stays.
    SetDirectory(path);
    if (d.mode != kSave) d.name->clear();
    return;
  }
  if (d.mode == kOpen) {
    if (!Exists(path)) return d.Refuse("'" + leaf + "' is not there");
    if (d.refuse) {
      const auto check = d.refuse;  // kept whole should the dialog end meanwhile
      const std::string why = check(path);
      if (!why.empty()) return d.Refuse(why);
    }
    return d.Choose(path);
  }
  if (!IsFolder(ParentOf(path)))
    return d.Refuse("The folder '" + ParentOf(path) + "' is not there");
  if (d.confirmReplace && Exists(path)) {
    QMessageBox box(QMessageBox::Warning, windowTitle(),
                    Q(ShownText("'" + leaf + "' already exists.\nDo you want to replace it?")),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setTextFormat(Qt::PlainText);  // it names a file
    if (box.exec() != QMessageBox::Yes) return;
  }
  d.Choose(path);
}

namespace {

// Shows the dialog modal and waits in the platform's loop until it closes.
int Run(PFileDialog* d, std::vector<std::string>* chosen, int* format) {
  if (chosen) chosen->clear();
  if (Quitting()) {
    delete d;
    return kFileDialogFailed;
  }
  const bool accepted = RunModalDialog(d, &Current());
  if (accepted && chosen) *chosen = d->Chosen();
  if (format) *format = d->Format();
  QObject::disconnect(d, nullptr, nullptr, nullptr);
  d->Stop();
  d->deleteLater();
  return accepted ? kFileDialogChosen : kFileDialogCancelled;
}

// A dialog over the window in front: never over a hidden one (a dialog just closed and on its
// way out, which would take this one with it while it is still asking).
PFileDialog* Make(PFileDialog::Mode mode, const PFileDialogSetup& dlg) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return nullptr;
  QWidget* front = QApplication::activeWindow();
  if (front != nullptr && !front->isVisible()) front = nullptr;
  auto* d = new PFileDialog(front, mode, dlg);
  d->setAttribute(Qt::WA_DeleteOnClose, false);
  return d;
}

}  // namespace

int PlatformChooseFolder(const PFileDialogSetup& dlg, std::vector<std::string>* chosen) {
  PFileDialog* d = Make(PFileDialog::kFolder, dlg);
  return d ? Run(d, chosen, nullptr) : kFileDialogFailed;
}

int PlatformOpenFile(const PFileDialogSetup& dlg, std::vector<std::string>* chosen) {
  PFileDialog* d = Make(PFileDialog::kOpen, dlg);
  return d ? Run(d, chosen, nullptr) : kFileDialogFailed;
}

int PlatformSaveFile(const PFileDialogSetup& dlg, std::vector<std::string>* chosen, int* format) {
  PFileDialog* d = Make(PFileDialog::kSave, dlg);
  if (d == nullptr) {
    if (format) *format = dlg.format;
    return kFileDialogFailed;
  }
  return Run(d, chosen, format);
}

PFileDialog* PlatformFileDialog() {
  return dynamic_cast<PFileDialog*>(Current().data());
}
