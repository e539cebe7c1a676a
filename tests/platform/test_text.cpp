// Text fitted into a width: the captions of the browser, index sheets and the status line.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QTextBoundaryFinder>
#include <random>
#include <string>
#include <vector>

#include "platform/pqt.h"

namespace {

const QString kEllipsis(QChar(0x2026));

// The characters (letters with their marks) of a text.
QStringList Characters(const QString& s) {
  QStringList out;
  QTextBoundaryFinder bf(QTextBoundaryFinder::Grapheme, s);
  qsizetype from = 0;
  for (qsizetype at = bf.toNextBoundary(); at > 0; at = bf.toNextBoundary()) {
    out << s.mid(from, at - from);
    from = at;
  }
  return out;
}

TEST(FitText, CaptionsOfWideCharactersAndAccents) {
  const QFontMetricsF fm(QApplication::font());
  const std::string jp = "\u65e5\u672c\u8a9e\u306e\u5199\u771f.JPG";
  std::string e20;
  for (int i = 0; i < 20; ++i) e20 += "\u00e9";
  // Twenty characters where sixteen may stand: fifteen and the ellipsis.
  QString fit = PfitText(fm, e20.c_str(), 16, 10000);
  EXPECT_EQ(fit, QString(15, QChar(0xe9)) + kEllipsis);
  // The wide name in a narrower cell: cut by width, never inside a character.
  const qreal narrow = fm.horizontalAdvance(QString::fromStdString(jp)) * 0.6;
  fit = PfitText(fm, jp.c_str(), 16, narrow);
  EXPECT_TRUE(fit.endsWith(kEllipsis)) << fit.toStdString();
  EXPECT_LE(fm.horizontalAdvance(fit), narrow);
  EXPECT_FALSE(fit.contains(QChar(0xFFFD)));
  EXPECT_TRUE(QString::fromStdString(jp).startsWith(fit.chopped(1))) << fit.toStdString();
  // A name whose bytes were cut inside its last character counts as cut.
  fit = PfitText(fm, jp.substr(0, 7).c_str(), 0, 10000);
  EXPECT_EQ(fit, QString::fromStdString(jp.substr(0, 6)) + kEllipsis);
  // Decomposed accents stay on their letters.
  std::string dec;
  for (int i = 0; i < 20; ++i) dec += "e\u0301";
  fit = PfitText(fm, dec.c_str(), 16, 10000);
  EXPECT_EQ(Characters(fit).size(), 16);
  EXPECT_EQ(fit.chopped(1), QString::fromStdString(dec).left(30));
  // What fits is left as it is.
  EXPECT_EQ(PfitText(fm, "IMG_0001.JPG", 16, 10000), "IMG_0001.JPG");
}

// Random texts of many scripts, limits and widths: the result is the text itself when it fits,
// else whole characters of its start and the ellipsis, within the width whenever one character
// and the ellipsis fit.
TEST(FitText, RandomTextsKeepWholeCharactersWithinTheWidth) {
  const QFontMetricsF fm(QApplication::font());
  const std::vector<std::string> pieces = {"a",
                                           "Z",
                                           "7",
                                           " ",
                                           "\u00e9",
                                           "e\u0301",
                                           "\u00df",
                                           "\u65e5",
                                           "\u5199",
                                           "\u0416",
                                           "\u05d0",
                                           "\U0001F600",
                                           "\U0001F44D\U0001F3FD",
                                           "-",
                                           "."};
  std::mt19937 rng(51);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    for (int n = static_cast<int>(rng() % 40); n > 0; --n) text += pieces[rng() % pieces.size()];
    const int chars = static_cast<int>(rng() % 30);
    const qreal width = 10 + rng() % 300;
    const QString whole = QString::fromStdString(text),
                  fit = PfitText(fm, text.c_str(), chars, width);
    const QStringList all = Characters(whole);
    const bool fits = (chars == 0 || all.size() <= chars) && fm.horizontalAdvance(whole) <= width;
    if (fits) {
      EXPECT_EQ(fit, whole);
      continue;
    }
    ASSERT_TRUE(fit.endsWith(kEllipsis)) << text;
    const QStringList kept = Characters(fit.chopped(1));
    ASSERT_LE(kept.size(), all.size());
    for (qsizetype i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i], all[i]) << text;
    if (chars > 0) {
      EXPECT_LE(kept.size() + 1, chars) << text;
    }
    if (fm.horizontalAdvance(all.value(0) + kEllipsis) <= width) {
      EXPECT_LE(fm.horizontalAdvance(fit), width) << text;
    }
  }
}

}  // namespace
