// Text fitted into a width: cut between characters, ending with an ellipsis; and drawn so. Text
// broken for a word-wrapped label of a width.
#include <QPainter>
#include <QTextBoundaryFinder>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/ppriv.h"
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

namespace {

// The fitted text as the part kept and the ellipsis (empty when the text was not cut).
void Fit(const QFontMetricsF& fm, const char* utf8, int maxChars, qreal width, QString* head,
         QString* tail) {
  head->clear();
  tail->clear();
  if (utf8 == nullptr) return;
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
  if (!cut && fm.horizontalAdvance(s) <= width) {
    *head = s;
    return;
  }
  // The places where the text may be cut: after each whole character, up to the whole text when
  // it was cut already. A candidate is measured with its ellipsis as one line, as a label draws
  // it (shaping, fallback fonts and right-to-left runs all change the width of a prefix), and
  // as two pieces, as PdrawFittedText draws it, so the result is always one whose measured width
  // fits either way.
  std::vector<qsizetype> ends;
  QTextBoundaryFinder bf(QTextBoundaryFinder::Grapheme, s);
  for (qsizetype at = bf.toNextBoundary(); at > 0; at = bf.toNextBoundary())
    if (at < s.size() || cut) ends.push_back(at);
  const qreal dots = fm.horizontalAdvance(ellipsis);
  const auto fits = [&](size_t i) {
    const QString part = s.left(ends[i]);
    return fm.horizontalAdvance(part + ellipsis) <= width &&
           fm.horizontalAdvance(part) + dots <= width;
  };
  // Widths mostly grow with the length: halve towards the longest that fits, keeping only
  // lengths that were measured to fit.
  size_t lo = 0, hi = ends.size() + 1;  // ends[lo - 1] fits (or lo is 0), ends[hi - 1] does not
  while (hi - lo > 1) {
    const size_t mid = (lo + hi) / 2;
    if (fits(mid - 1))
      lo = mid;
    else
      hi = mid;
  }
  if (lo > 0) *head = s.left(ends[lo - 1]);  // (else not even one character fits)
  *tail = ellipsis;
}

}  // namespace

QString PfitText(const QFontMetricsF& fm, const char* utf8, int maxChars, qreal width) {
  QString head, tail;
  Fit(fm, utf8, maxChars, width, &head, &tail);
  return head + tail;
}

void PdrawFittedText(QPainter* p, const QRectF& box, const char* utf8, int maxChars) {
  const QFontMetricsF fm(p->fontMetrics());  // the font on the painter's device
  QString head, tail;
  Fit(fm, utf8, maxChars, box.width(), &head, &tail);
  if (tail.isEmpty()) {
    p->drawText(box, Qt::AlignHCenter | Qt::AlignTop, head);
    return;
  }
  const qreal wh = fm.horizontalAdvance(head), wt = fm.horizontalAdvance(tail);
  const qreal x = box.left() + (box.width() - wh - wt) / 2;
  // The ellipsis ends the line as a paragraph of the painter's direction ends it.
  const bool rtl = p->layoutDirection() == Qt::RightToLeft;
  const qreal xh = rtl ? x + wt : x, xt = rtl ? x : x + wh;
  const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip;
  p->drawText(QRectF(xh, box.top(), wh, box.height()), flags, head);
  p->drawText(QRectF(xt, box.top(), wt, box.height()), flags, tail);
}

namespace plat {

QString BreakableText(const QFontMetricsF& fm, const QString& text, qreal width) {
  const QChar mark(0x200B);  // a zero-width space: a line may break there
  const auto fits = [&](const QString& part) {
    return std::ceil(fm.horizontalAdvance(part)) <= width;
  };
  // Each piece between two places where a line may break, measured without the spaces that end
  // it (a line ends there).
  QString out;
  QTextBoundaryFinder lines(QTextBoundaryFinder::Line, text);
  qsizetype from = 0;
  for (qsizetype at = lines.toNextBoundary(); at > 0; from = at, at = lines.toNextBoundary()) {
    qsizetype end = at;
    while (end > from && text[end - 1].isSpace()) --end;
    const QString body = text.mid(from, end - from), tail = text.mid(end, at - end);
    if (fits(body)) {
      out += body + tail;
      continue;
    }
    // No line holds it whole: it breaks after its path separators, and a part between them
    // that is still too wide between any two of its characters. Such a part starts a line of
    // its own, so that it breaks no more often than it must.
    for (qsizetype p = 0; p < body.size();) {
      qsizetype q = body.indexOf(QLatin1Char('/'), p);
      q = q < 0 ? body.size() : q + 1;
      const QString part = body.mid(p, q - p);
      const bool whole = fits(part);
      if (!whole && !out.isEmpty() && !out.endsWith(QLatin1Char('\n')))
        out += QLatin1Char('\n');
      else if (p > 0)
        out += mark;
      if (whole) {
        out += part;
      } else {
        QTextBoundaryFinder chars(QTextBoundaryFinder::Grapheme, part);
        qsizetype c = 0;
        for (qsizetype d = chars.toNextBoundary(); d > 0; c = d, d = chars.toNextBoundary())
          out += (c > 0 ? QString(mark) : QString()) + part.mid(c, d - c);
      }
      p = q;
    }
    out += tail;
  }
  return out;
}

}  // namespace plat
