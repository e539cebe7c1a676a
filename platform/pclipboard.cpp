// The system clipboard over QClipboard, as UTF-8 text with a generation count.
#include "platform/pclipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace {

uint64_t generation = 0;

// The clipboard, watched for changes from its first use on.
QClipboard* Board() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return nullptr;
  static QClipboard* board = nullptr;
  if (board == nullptr) {
    board = QGuiApplication::clipboard();
    if (board != nullptr) QObject::connect(board, &QClipboard::dataChanged, [] { ++generation; });
  }
  return board;
}

}  // namespace

bool ClipboardPutText(const std::string& utf8) {
  QClipboard* board = Board();
  if (board == nullptr) return false;
  const uint64_t before = generation;
  board->setText(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
  // Platforms that tell of the change later still give the new content a generation of its own.
  if (generation == before) ++generation;
  return true;
}

bool ClipboardGetText(std::string* utf8) {
  utf8->clear();
  QClipboard* board = Board();
  if (board == nullptr) return false;
  const QMimeData* data = board->mimeData();
  if (data == nullptr || !data->hasText()) return false;
  const QByteArray bytes = data->text().toUtf8();
  utf8->assign(bytes.constData(), static_cast<size_t>(bytes.size()));
  return true;
}

uint64_t ClipboardGeneration() {
  Board();
  return generation;
}
