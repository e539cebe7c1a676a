#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/cnumber.h"
#include "support/textform.h"

namespace {

int Chars(const std::string& w) {
  int n = 0;
  for (unsigned char c : w) n += (c & 0xC0) != 0x80;
  return n;
}

bool ValidUtf8(const std::string& w) {
  for (size_t i = 0; i < w.size();) {
    const unsigned char c = w[i];
    const size_t n = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (n == 0 || i + n > w.size()) return false;
    for (size_t k = 1; k < n; k++)
      if ((static_cast<unsigned char>(w[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

struct Drawn {
  std::string word;
  float x, y;
  int face;
};

// Every character advances 5 units, whatever the size and face; the log outlives the form.
class FixedForm : public TextForm {
 public:
  explicit FixedForm(std::vector<Drawn>* log, float size = 10) : log_(log), size_(size) {}
  ~FixedForm() override = default;
  int ChangeFFlags(int f) override { return face_ = f & 3; }
  float GetWordWidth(const char* w) const override { return 5.0f * Chars(w); }
  bool RenderWord(const char* w, float x, float y) override {
    log_->push_back({w, x, y, face_});
    return true;
  }
  float GetFontSize() const override { return size_; }

 private:
  std::vector<Drawn>* log_;
  float size_;
  int face_ = 0;
};

// The words in reading order (lines are drawn right to left).
std::vector<Drawn> Ordered(std::vector<Drawn> d) {
  std::stable_sort(d.begin(), d.end(), [](const Drawn& a, const Drawn& b) {
    return a.y < b.y || (a.y == b.y && a.x < b.x);
  });
  return d;
}

// "word@x,y" in reading order, apart by blanks.
std::string Layout(const std::vector<Drawn>& d) {
  std::string s;
  char buf[64];
  for (const Drawn& w : Ordered(d)) {
    const double x = std::round(w.x * 100.0) / 100.0 + 0.0;  // no rounding noise, no -0
    Csnprintf(buf, sizeof(buf), "%s%s@%g,%g", s.empty() ? "" : " ", w.word.c_str(), x, w.y);
    s += buf;
  }
  return s;
}

std::string Lay(const char* text, TFRect r, TextJustFlags j = TJFleft, float maxAdj = 2.2f) {
  std::vector<Drawn> log;
  FixedForm f(&log);
  f.SetRect(r);
  f.maxAdj = maxAdj;
  f.SetJustify(j);
  f << text;
  f.EndLine(false);
  return Layout(log);
}

TEST(TextForm, PlacesWordsSpacesAndLines) {
  std::vector<Drawn> log;
  FixedForm f(&log);
  f.SetRect({0, 100, 0, 100});
  EXPECT_FLOAT_EQ(f.GetLineHeight(), 12.5f);
  f << "ab  cd\tef";
  EXPECT_TRUE(f.EndLine(false));
  EXPECT_EQ(Layout(log), "ab@0,10 cd@16.6,10 ef@39.8,10");  // two blanks, a tab of four

  EXPECT_EQ(Lay("x\r\ny\n\nz\n", {0, 100, 0, 100}), "x@0,10 y@0,22.5 z@0,47.5");
  EXPECT_EQ(Lay("ab cd   ", {0, 100, 0, 50}, TJFright), "ab@76.7,10 cd@90,10");
  EXPECT_EQ(Lay("ab cd \t", {0, 100, 0, 50}, TJFcenter), "ab@38.35,10 cd@51.65,10");
  EXPECT_EQ(Lay("ab cd ef", {0, 40, 0, 50}, TJFfull), "ab@0,10 cd@15,10 ef@30,10");
  EXPECT_EQ(Lay("ab cd  ", {0, 100, 0, 50}, TJFfull), "ab@0,10 cd@13.3,10");  // past 2.2
  EXPECT_EQ(Lay("ab cd", {0, 100, 0, 50}, TJFfull, 0.5f), "ab@0,10 cd@90,10");
  // A run longer than the line holds (34 / 3.3: 10 characters) is cut and wrapped.
  EXPECT_EQ(Lay("abcdefghijklmnopqrstuvwxy", {0, 34, 0, 100}),
            "abcdefghij@0,10 klmnopqrst@0,22.5 uvwxy@0,35");

  // A number and the word glued to it stay together past the right edge.
  log.clear();
  f.SetRect({0, 40, 0, 100});
  f << "Size " << 123.0 << "mm x";
  f.PutWord("b", 3, false);
  f.EndLine(false);
  EXPECT_EQ(Layout(log), "Size@0,10 123@23.3,10 mm@38.3,10 x@0,22.5 b@5,22.5");
  EXPECT_EQ(log[log.size() - 2].face, 3);  // drawn right to left, each in its own face
  EXPECT_EQ(log.back().face, 0);
}

TEST(TextForm, RefusesEverythingOnceFull) {
  std::vector<Drawn> log;
  {
    FixedForm f(&log);
    f.SetRect({0, 12, 0, 25});  // two lines of one word
    EXPECT_FALSE(f.PutText("a b c", 0));
    EXPECT_EQ(Layout(log), "a@0,10 b@0,22.5");  // c would start at the bottom edge
    EXPECT_FALSE(f.PutWord("d", 0, true));
    EXPECT_FALSE(f.PutText("", 0));
    EXPECT_FALSE(f.PutChar('e', 0));
    EXPECT_FALSE(f.PutSpace());
    EXPECT_FALSE(f.PutChar('\n', 0));
    f.SetRect({0, 100, 0, 25});
    EXPECT_TRUE(f.PutText("c\nd\n", 0));  // ends exactly at the bottom
    EXPECT_FALSE(f.PutText("e", 0));
    f.SetRect({0, 100, 0, 20});
    EXPECT_TRUE(f.PutText("c\nd", 0));
    EXPECT_FALSE(f.SetJustify(TJFright));  // d is drawn, its top above the bottom
    EXPECT_FALSE(f.SetLineSpacing(2));
    EXPECT_EQ(f.justify, TJFleft);
    EXPECT_EQ(f.lineSpacing, 1.0f);
    f.SetRect({0, 100, 0, 100});  // a new block goes on
    EXPECT_TRUE(f.PutText("pending", 0));
    EXPECT_TRUE(f.SetLineHeight(20));
    EXPECT_FLOAT_EQ(f.GetLineHeight(), 20);
    EXPECT_TRUE(f.PutText("left", 0));
  }
  EXPECT_EQ(log.size(), 7u);  // the base form drops its last line unseen
}

TEST(TextForm, CutsRunsWithinBoundsAndCharacters) {
  std::vector<Drawn> log;
  FixedForm thin(&log);
  thin.SetRect({0, 1, 0, 100});  // narrower than a space: one character a piece
  thin << "ab€\n";
  EXPECT_EQ(Layout(log), "a@0,10 b@0,22.5 €@0,35");

  // Bytes 10 and 1023 fall inside characters.
  const std::string run =
      std::string(8, 'x') + "é€𝄞" + std::string(1011, 'y') + "𝄞é" + std::string(1000, 'y');
  for (float size : {0.0f, 10.0f}) {  // size 0: no space width, 1023 characters a piece
    for (float width : {34.0f, 1e6f}) {
      log.clear();
      FixedForm f(&log, size);
      f.SetRect({0, width, 0, 1e6});
      EXPECT_TRUE(f.PutText(run.c_str(), 0));
      f.EndLine(false);
      const int longest = size == 0 || width > 4000 ? 1023 : 10;
      std::string joined;
      for (const Drawn& d : Ordered(log)) {
        EXPECT_TRUE(ValidUtf8(d.word)) << d.word;
        EXPECT_LE(Chars(d.word), longest);
        joined += d.word;
      }
      EXPECT_EQ(Chars(Ordered(log).front().word), longest);
      EXPECT_EQ(joined, run);
    }
  }
  {
    FixedForm glued(&log);  // a line of a million glued characters is freed without recursion
    glued.SetRect({0, 10, 0, 100});
    for (int i = 0; i < 1000000; i++) glued.PutChar('x', 0);
  }
  FixedForm none(&log, 0);
  EXPECT_TRUE(none.SetLineHeight(5));  // nothing to scale by: the spacing stays
  EXPECT_EQ(none.lineSpacing, 1.0f);
  none.SetRect({0, 10, 5, 5});
  EXPECT_FALSE(none.PutText("\n", 0));  // full, though a line takes no room
}

// Random texts, glued words ("+" ends a word that takes no space), rectangles and
// justifications: the words come out in order, lines lie apart and inside the rectangle, words
// overrun only when alone or glued, and nothing follows the first refusal.
TEST(TextForm, ModelOverRandomTexts) {
  static const char* kChars[] = {"a", "m", "z", "é", "€", "𝄞"};
  static const char* kSeps[] = {" ", "  ", "\t", "\n", "\r\n", "\n\n", " \n"};
  std::mt19937 rng(7);
  auto pick = [&](int n) { return static_cast<int>(rng() % n); };
  const float eps = 0.01f;
  for (int iter = 0; iter < 400; iter++) {
    std::vector<Drawn> log;
    FixedForm f(&log, 6.0f + pick(3) * 4);
    const float left = pick(100) - 50.0f, top = pick(100) - 50.0f;
    const TFRect r = {left, left + 1 + pick(200), top, top + pick(150)};
    f.SetRect(r);
    f.maxAdj = pick(2) ? 2.2f : 0.5f;
    f.SetJustify(static_cast<TextJustFlags>(pick(4)));
    std::string expect;
    bool refused = false;
    size_t drawnAtRefusal = 0;
    for (int op = pick(20); op >= 0; op--) {
      std::string text;
      for (int w = 1 + pick(6); w > 0; w--) {
        for (int c = 1 + pick(pick(2) ? 4 : 40); c > 0; c--) text += kChars[pick(6)];
        text += kSeps[pick(7)];
      }
      bool ok;
      if (pick(4) == 0) {
        text = std::string(1 + pick(4), 'g') + "+";
        ok = f.PutWord(text.c_str(), 0, false);
      } else {
        ok = f.PutText(text.c_str(), 0);
      }
      for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') expect += c;
      EXPECT_TRUE(!refused || !ok);
      if (!ok && !refused) drawnAtRefusal = log.size();
      refused |= !ok;
    }
    f.EndLine(false);
    EXPECT_TRUE(!refused || log.size() == drawnAtRefusal);

    const float w = r.right - r.left, s = f.spaceScale * f.GetFontSize();
    std::string joined;
    float lastY = 0;
    for (size_t i = 0, end; i < log.size(); i = end) {
      for (end = i; end < log.size() && log[end].y == log[i].y;) end++;
      std::vector<Drawn> line(log.rbegin() + (log.size() - end), log.rbegin() + (log.size() - i));
      const float y = line[0].y, x0 = line[0].x, lines = (y - lastY) / f.GetLineHeight();
      EXPECT_GE(y - f.GetFontSize(), r.top - eps);
      EXPECT_LT(y - f.GetFontSize(), r.bottom);
      EXPECT_TRUE(i == 0 || (lines > 1 - eps && std::fabs(lines - std::round(lines)) < eps));
      lastY = y;
      float xEnd = x0;
      for (size_t k = 0; k < line.size(); k++) {
        const Drawn& d = line[k];
        const bool glued = k > 0 && line[k - 1].word.back() == '+';
        joined += d.word;
        EXPECT_TRUE(ValidUtf8(d.word));
        EXPECT_TRUE(d.word.back() == '+' || Chars(d.word) * s <= std::max(w, s) + eps);
        EXPECT_TRUE(glued ? std::fabs(d.x - xEnd) < eps : k == 0 || d.x - xEnd > s - eps);
        xEnd = d.x + 5.0f * Chars(d.word);
        EXPECT_TRUE(k == 0 || glued || xEnd - x0 <= w + eps);  // not alone, not glued: inside
      }
      EXPECT_TRUE(line.back().word.back() != '+' || end == log.size());  // never separated
      EXPECT_TRUE(xEnd - x0 > w + eps || (x0 > r.left - eps && xEnd < r.right + eps));
      EXPECT_TRUE(!(f.justify & TJFleft) || std::fabs(x0 - r.left) < eps);
      EXPECT_TRUE(f.justify != TJFcenter || std::fabs((x0 - r.left) - (r.right - xEnd)) < eps);
      EXPECT_TRUE(f.justify != TJFright || xEnd - x0 > w || std::fabs(xEnd - r.right) < eps);
    }
    EXPECT_EQ(refused ? expect.substr(0, joined.size()) : expect, joined);
    if (HasFailure()) {
      ADD_FAILURE() << "iteration " << iter;
      break;
    }
  }
}

}  // namespace
