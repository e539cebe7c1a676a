// The system clipboard over QClipboard, as text of any bytes with a generation count.
#include "platform/pclipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include "support/bytetext.h"

namespace {

// The exact bytes of text that is not UTF-8, beside the text every program reads.
const char kBytesType[] = "application/x-lumerin-bytes";

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

bool ClipboardPutText(const std::string& text) {
  QClipboard* board = Board();
  if (board == nullptr) return false;
  const uint64_t before = generation;
  auto* data = new QMimeData;
  data->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  if (!ValidUtf8(text))
    data->setData(QLatin1String(kBytesType),
                  QByteArray(text.data(), static_cast<qsizetype>(text.size())));
  board->setMimeData(data);  // the clipboard owns it
  // Platforms that tell of the change later still give the new content a generation of its own.
  if (generation == before) ++generation;
  return true;
}

bool ClipboardGetText(std::string* text) {
  text->clear();
  QClipboard* board = Board();
  if (board == nullptr) return false;
  const QMimeData* data = board->mimeData();
  if (data == nullptr) return false;
  if (data->hasFormat(QLatin1String(kBytesType))) {
    const QByteArray bytes = data->data(QLatin1String(kBytesType));
    text->assign(bytes.constData(), static_cast<size_t>(bytes.size()));
    return true;
  }
  if (!data->hasText()) return false;
  const QByteArray bytes = data->text().toUtf8();
  text->assign(bytes.constData(), static_cast<size_t>(bytes.size()));
  return true;
}

uint64_t ClipboardGeneration() {
  Board();
  return generation;
}
