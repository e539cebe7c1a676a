#include "support/textform.h"
#include "support/cnumber.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Bytes in the UTF-8 character that byte c starts: 1 for ASCII and for bytes that start no
// valid sequence, so that no character is longer than 4 bytes.
int Utf8Length(unsigned char c) {
  if (c >= 0xC0 && c < 0xE0) return 2;
  if (c >= 0xE0 && c < 0xF0) return 3;
  if (c >= 0xF0 && c < 0xF8) return 4;
  return 1;
}

}  // namespace

TFWordList::~TFWordList() {
  // The rest of the line goes first, one entry at a time, so that a long line cannot exhaust
  // the stack.
  while (next != nullptr) {
    TFWordList* e = next;
    next = e->next;
    e->next = nullptr;
    delete e;
  }
  delete[] own;
}

void TFWordList::SetWord(const char* w) {
  // The text is only ever freed through own, which holds nothing but copies made here.
  delete[] own;
  own = nullptr;
  word = "";
  addspc = false;
  if (w == nullptr || w[0] == 0) {
    width = 0;
    return;
  }
  const size_t len = strlen(w);
  own = new char[len + 1];
  memcpy(own, w, len + 1);
  word = own;
  size_t chars = 0;
  for (size_t i = 0; i < len; i++) chars += (static_cast<unsigned char>(w[i]) & 0xC0) != 0x80;
  width = static_cast<float>(chars);
}

TextForm::~TextForm() {
  ClearLine();
}

int TextForm::ChangeFFlags(int) {
  return 0;
}

void TextForm::ClearLine() {
  delete wordList;
  wordList = nullptr;
  lwcur = 0;
}

void TextForm::SetRect(const TFRect& r) {
  EndLine(false);
  orgn = r;
  trgn = r;
}

bool TextForm::SetLineSpacing(float s) {
  if (!EndLine(false)) return false;
  lineSpacing = s;
  return true;
}

bool TextForm::SetLineHeight(float h) {
  const float s = h / (lineScale * GetFontSize());
  if (!std::isfinite(s)) return EndLine(false);  // no font size to scale by
  return SetLineSpacing(s);
}

bool TextForm::SetJustify(TextJustFlags j) {
  if (!EndLine(false)) return false;
  justify = j;
  return true;
}

bool TextForm::PutWord(const char* word, int fflags, bool addspc) {
  if (Full()) return false;
  if (word == nullptr || (word[0] == 0 && !addspc)) return true;
  const float spc = addspc ? SpaceWidth() : 0.0f;
  TFWordList* e = new TFWordList;
  e->SetWord(word);
  if (word[0] != 0) {
    e->wflags = ChangeFFlags(fflags);
    e->width = GetWordWidth(word);
    if (wordList != nullptr && wordList->addspc && lwcur + e->width > Width()) {
      // The break may fill the form exactly; the word would then start below it.
      if (!EndLine(false) || Full()) {
        delete e;
        return false;
      }
    }
  }
  e->addspc = addspc;
  e->next = wordList;
  wordList = e;
  lwcur += e->width + spc;
  return true;
}

bool TextForm::PutWord(long n, int fflags, bool addspc) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%ld", n);
  return PutWord(buf, fflags, addspc);
}

bool TextForm::PutWord(double v, int fflags, bool addspc) {
  char buf[32];
  Csnprintf(buf, sizeof(buf), "%g", v);
  return PutWord(buf, fflags, addspc);
}

bool TextForm::PutChar(char c, int fflags) {
  if (c == ' ') return PutSpace();
  if (c == '\n') return EndLine(true);
  const char w[2] = {c, 0};
  return PutWord(w, fflags, false);
}

int TextForm::LongestWord() const {
  const float space = SpaceWidth();
  // Without a positive space width (a font size of 0) the width sets no bound.
  if (!(space > 0.0f)) return kMaxWordChars;
  const float n = std::floor(Width() / space);
  if (!(n >= 1.0f)) return 1;  // narrower than a space, or no width at all
  return n >= static_cast<float>(kMaxWordChars) ? kMaxWordChars : static_cast<int>(n);
}

bool TextForm::PutText(const char* text, int fflags) {
  if (text == nullptr) text = "";
  const int longest = LongestWord();
  // At most kMaxWordChars characters of at most 4 bytes each.
  char buf[4 * kMaxWordChars + 4];
  int nb = 0;    // bytes collected
  int nc = 0;    // characters collected
  int owed = 0;  // continuation bytes the last character still takes
  for (const char* p = text;; p++) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == 0 || c == ' ' || c == '\t') {
      buf[nb] = 0;
      if (!PutWord(buf, fflags, c != 0)) return false;
      if (c == 0) return true;
      if (c == '\t')
        for (int i = 0; i < 3; i++) PutSpace();
      nb = nc = owed = 0;
    } else if (c == '\r' && p[1] == '\n') {
      // the pair ends one line, at its line feed
    } else if (c == '\n' || c == '\f' || c == '\r') {
      if (nb > 0) {
        buf[nb] = 0;
        if (!PutWord(buf, fflags, false)) return false;
        nb = nc = owed = 0;
      }
      if (!EndLine(true)) return false;
      if (p[1] == 0) return true;
    } else if (owed > 0 && (c & 0xC0) == 0x80) {
      buf[nb++] = static_cast<char>(c);  // inside a character: never split here
      owed--;
    } else {
      if (nc >= longest) {
        buf[nb] = 0;
        if (!PutWord(buf, fflags, true)) return false;
        nb = nc = 0;
      }
      buf[nb++] = static_cast<char>(c);
      nc++;
      owed = Utf8Length(c) - 1;
    }
  }
}

bool TextForm::EndLine(bool advance) {
  float s = SpaceWidth();
  // Trailing spaces neither show nor count.
  while (wordList != nullptr && !(wordList->width > 0)) {
    TFWordList* e = wordList;
    wordList = e->next;
    e->next = nullptr;
    if (e->addspc) lwcur -= s;
    delete e;
  }
  if (wordList == nullptr) {
    lwcur = 0;
    if (advance) {
      if (Full()) return false;  // even when a line takes no room (font size 0)
      trgn.top += GetLineHeight();
    }
    return trgn.top <= trgn.bottom;
  }
  if (wordList->addspc) {
    wordList->addspc = false;
    lwcur -= s;
  }

  const float w = Width();
  if (justify == TJFfull && lwcur < w) {
    // Spaces widen only up to maxAdj times (any amount when maxAdj < 1); a line that would need
    // more, or has no space, stays at its natural width on the left. A line wider than the
    // rectangle (glued words) is never squeezed.
    int n = 0;
    for (const TFWordList* e = wordList; e != nullptr; e = e->next) n += e->addspc;
    if (n > 0) {
      const float s2 = s + (w - lwcur) / static_cast<float>(n);
      if (maxAdj < 1.0f || s2 <= s * maxAdj) {
        lwcur = w;
        s = s2;
      }
    }
  }

  const float y = trgn.top + GetFontSize();
  float x;
  if (justify & TJFleft)
    x = trgn.left + lwcur;
  else if (justify & TJFright)
    x = trgn.left + w;
  else
    x = trgn.left + (w + lwcur) * 0.5f;
  bool ok = true;
  for (const TFWordList* e = wordList; e != nullptr; e = e->next) {
    if (e->addspc) x -= s;
    if (e->width > 0) {
      x -= e->width;
      ChangeFFlags(e->wflags);
      if (!RenderWord(e->word, x, y)) {
        ok = false;
        break;
      }
    }
  }
  ClearLine();
  trgn.top += GetLineHeight();
  return ok && trgn.top <= trgn.bottom;
}
