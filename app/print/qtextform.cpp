// The text form over a page's QPainter.
#include "app/print/qtextform.h"

#include <cmath>
#include <cstring>

namespace {

// The smallest point size a font takes; a form of size 0 measures and draws nothing.
constexpr double kLeastPoints = 0.01;

}  // namespace

QTextForm::QTextForm(QPainter* painter, const char* fn)
    : ctx(painter), fontSize(12), fflags(-1), metrics(QFont()), dpi(72) {
  strcpy(fontBase, "Times");
  if (ctx != nullptr && ctx->device() != nullptr && ctx->device()->logicalDpiY() > 0)
    dpi = ctx->device()->logicalDpiY();
  if (!SetBaseFont(fn != nullptr ? fn : "Times")) ChangeFFlags(0);
}

QTextForm::~QTextForm() {
  EndLine(false);
}

bool QTextForm::SetBaseFont(const char* fn) {
  if (fn == nullptr || strlen(fn) > sizeof fontBase - 1) return false;
  if (!EndLine(false)) return false;
  strcpy(fontBase, fn);
  fflags = -1;
  ChangeFFlags(0);
  return true;
}

void QTextForm::ApplyFont() {
  font = QFont(QString::fromUtf8(fontBase));
  font.setPointSizeF(std::max(kLeastPoints, fontSize * 72.0 / dpi));
  font.setItalic((fflags & 1) != 0);
  font.setWeight((fflags & 2) != 0 ? QFont::Bold : QFont::Normal);
  QPaintDevice* dev = ctx != nullptr ? ctx->device() : nullptr;
  metrics = dev != nullptr ? QFontMetricsF(font, dev) : QFontMetricsF(font);
  if (ctx != nullptr && ctx->isActive()) ctx->setFont(font);
}

int QTextForm::ChangeFFlags(int flgs) {
  flgs &= 3;
  if (flgs != fflags) {
    fflags = flgs;
    ApplyFont();
  }
  return fflags;
}

bool QTextForm::SetFontSize(float s) {
  if (!EndLine(false)) return false;
  fontSize = std::isfinite(s) && s > 0 ? s : 0;
  if (fflags < 0) fflags = 0;
  ApplyFont();
  return true;
}

float QTextForm::GetWordWidth(const char* word) const {
  if (word == nullptr || word[0] == 0 || !(fontSize > 0)) return 0;
  return static_cast<float>(metrics.horizontalAdvance(QString::fromUtf8(word)));
}

std::string QTextForm::FitWord(const char* word, float width) const {
  if (word == nullptr || word[0] == 0 || !(fontSize > 0)) return "";
  return PfitText(metrics, word, 0, width).toStdString();
}

bool QTextForm::RenderWord(const char* word, float x, float y) {
  if (word == nullptr || word[0] == 0 || !(fontSize > 0)) return true;
  if (ctx != nullptr && ctx->isActive()) {
    ctx->setFont(font);
    ctx->drawText(QPointF(x, y), QString::fromUtf8(word));
  }
  return true;
}
