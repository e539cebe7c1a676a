// Helpers of the saving tests: the save dialog and the questions answered as a user would,
// pictures written at test time, outside tools run and their output read.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "apptest.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "formats/jpegio.h"
#include "formats/stdformats.h"

namespace savetest {

// Runs f on the next file dialog once it shows.
inline void OnSaveDialog(std::function<void(PFileDialog*)> f) {
  auto* t = new QTimer(QCoreApplication::instance());  // freed with the application at the latest
  QObject::connect(t, &QTimer::timeout, [=] {
    PFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible()) return;
    t->stop();
    t->deleteLater();
    f(d);
  });
  t->start(5);
}

// Grabs window w to build/shots/<name>.png.
inline void Shot(WindowRef w, const char* name) {
  QDir().mkpath(LUMERIN_SHOTS);
  PlatformFrameWidget(w)->grab().save(QString(LUMERIN_SHOTS "/") + name + ".png");
}

inline QLineEdit* NameEdit(PFileDialog* d) {
  return d->findChild<QLineEdit*>("fileNameEdit");
}

// The formats the dialog offers, in its list's order.
inline QStringList Formats(PFileDialog* d) {
  QStringList out;
  if (auto* combo = d->findChild<QComboBox*>("fileTypeCombo"))
    for (int k = 0; k < combo->count(); ++k) out << combo->itemText(k);
  return out;
}

// Picks format k of the dialog's list as a user does: the list's choice, then its activation.
inline void PickFormat(PFileDialog* d, int k) {
  auto* combo = d->findChild<QComboBox*>("fileTypeCombo");
  combo->setCurrentIndex(k);
  Q_EMIT combo->activated(k);
  Q_EMIT combo->textActivated(combo->itemText(k));
}

// Answers Yes to the dialog's question whether to replace an existing file, for as long as the
// dialog is up; *text (when given) receives the question.
inline void AnswerReplace(PFileDialog* d, std::shared_ptr<std::string> text = nullptr) {
  auto* t = new QTimer(d);  // goes with the dialog should it outlive the test
  QObject::connect(t, &QTimer::timeout, [t, d, text] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w))
        if (box->isVisible() && box->button(QMessageBox::Yes)) {
          if (text) *text = box->text().toStdString();
          box->button(QMessageBox::Yes)->click();
        }
    if (!d->isVisible()) t->stop();
  });
  t->start(5);
}

// Chooses path in the dialog and presses Save; the question whether to replace an existing
// file is answered Yes.
inline void Accept(PFileDialog* d, const std::string& path) {
  ChooseFile(d, path);
  AnswerReplace(d);
  QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
}

// Answers the next confirmation questions, one button each (129 OK, 130 Cancel, 131 the custom
// one); texts (when given) receive the questions. A question counts as new once the window was
// hidden or asks something else.
inline void Answer(std::vector<int> buttons, std::vector<std::string>* texts = nullptr) {
  auto* t = new QTimer(QCoreApplication::instance());  // freed with the application at the latest
  auto next = std::make_shared<size_t>(0);
  auto last = std::make_shared<std::string>();
  auto tries = std::make_shared<int>(0);
  QObject::connect(t, &QTimer::timeout, [=] {
    if (*next >= buttons.size() || ++*tries > 2000) {
      t->stop();
      t->deleteLater();
      return;
    }
    if (!IsWindowVisible(gConfirmWindow)) {
      last->clear();
      return;
    }
    const std::string text = TextOf(gConfirmWindow, "cfrm", 128);
    if (text == *last) return;
    *last = text;
    if (texts) texts->push_back(text);
    if (auto* b = qobject_cast<QAbstractButton*>(WidgetOf(gConfirmWindow, "cfrm", buttons[*next])))
      QTest::mouseClick(b, Qt::LeftButton);
    ++*next;
  });
  t->start(5);
}

inline std::string Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline bool HaveTool(const char* name) {
  return !QStandardPaths::findExecutable(name).isEmpty();
}

// The standard output of a tool (and its exit status in *status).
inline std::string RunTool(const char* program, const QStringList& args, int* status = nullptr) {
  QProcess p;
  p.start(program, args);
  p.waitForFinished(60000);
  if (status) *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  return p.readAllStandardOutput().toStdString();
}

// An 8-bit sRGB picture of w x h with gentle gradients and detail (for JPEG qualities).
inline _ImgStruct Picture(int w, int h) {
  _ImgStruct im = {w, h, &ICS_sRGB, 0, nullptr, nullptr};
  PnewImage(&im, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = im.img + static_cast<size_t>(y) * im.rowsize + 3 * x;
      p[0] = static_cast<uint8_t>(x * 255 / w);
      p[1] = static_cast<uint8_t>(y * 255 / h);
      p[2] = static_cast<uint8_t>(((x / 3) ^ (y / 5)) & 1 ? 180 + (x % 50) : 60);
    }
  return im;
}

// Writes im as a JPEG of the quality given.
inline bool WriteJPEG(const std::string& path, const _ImgStruct& im, int quality) {
  _ImgWriteBuf wb;
  PsetWriteBuf(&wb, &im);
  wb.info.quality = quality;
  wb.info.flags |= IIFquality;
  return IWInterfaceJPEG.WriteImage(path.c_str(), &wb) > 0;
}

// A photo record of a file, as folder loading makes it.
inline DBRecord RecordOf(const std::string& path) {
  DBRecord r;
  PgrokFile(&r, path.c_str());
  return r;
}

// Whether the record's length and content hash are those of its file at path.
inline bool HashMatches(const DBRecord& r, const std::string& path) {
  long hash = 0, n = 0, rh = -1, rn = -1;
  return PhashFile(&hash, &n, path.c_str()) && PDBgetInt(r, PDBFhashval, &rh) &&
         PDBgetInt(r, PDBFnbytes, &rn) && rh == hash && rn == n;
}

}  // namespace savetest
