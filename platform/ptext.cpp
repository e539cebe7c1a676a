// Text fitted into a width: cut between characters, ending with an ellipsis.
#include <QTextBoundaryFinder>
#include <cstring>

#include "platform/pqt.h"

namespace {

// The length of utf8's bytes without an incomplete character at their end.
size_t WholeCharacters(const char* s, size_t n) {
  size_t lead = n;
  for (int back = 0; back < 4 && lead > 0; ++back) {
    const unsigned char c = static_cast<unsigned char>(s[lead - 1]);
    --lead;
    if ((c & 0xC0) != 0x80) {
      const size_t need = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      return lead + need <= n ? n : lead;
    }
  }
  return n;
}

}  // namespace

QString PfitText(const QFontMetricsF& fm, const char* utf8, int maxChars, qreal width) {
  if (utf8 == nullptr) return QString();
  const size_t n = std::strlen(utf8);
  const size_t whole = WholeCharacters(utf8, n);
  bool cut = whole < n;
  QString s = QString::fromUtf8(utf8, static_cast<qsizetype>(whole));
  if (maxChars > 0) {
    // Characters as the reader sees them: a letter with its marks is one. A text of more keeps
    // maxChars - 1 of them and the ellipsis.
    QTextBoundaryFinder bf(QTextBoundaryFinder::Grapheme, s);
    int count = 0;
    qsizetype keep = 0;
    for (qsizetype at = bf.toNextBoundary(); at > 0; at = bf.toNextBoundary()) {
      if (++count > maxChars) {
        s.truncate(keep);
        cut = true;
        break;
      }
      if (count < maxChars) keep = at;
    }
  }
  const QString ellipsis =
      fm.inFont(QChar(0x2026)) ? QString(QChar(0x2026)) : QStringLiteral("...");
  if (cut) s += ellipsis;
  if (fm.horizontalAdvance(s) <= width) return s;
  // Qt's elision cuts between characters too and ends with the same ellipsis.
  const QString e = fm.elidedText(s, Qt::ElideRight, width);
  return e.endsWith(ellipsis) ? e : ellipsis;  // (not even one character fits)
}
