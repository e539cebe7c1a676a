// Running text laid out into a rectangle. TextForm queues the words of the current line, breaks
// lines at spaces when the next word would not fit, justifies each finished line (left, right,
// centred or full) and hands every word with its position to a drawing back end. It knows
// nothing of fonts or devices: a subclass measures and draws words, selects faces by font flags
// and reports the font size.
//
// Coordinates are page units with y growing downwards: a rectangle's top is smaller than its
// bottom and each line lies below the previous one. Text is UTF-8; font flags are bit 0 italic,
// bit 1 bold, 0 the plain face.
//
// Every operation that returns bool returns false once the text no longer fits; callers stop
// putting text at the first false (or start a new block with SetRect).
#pragma once

struct TFRect {
  float left, right, top, bottom;
};

// Bit 0: lines start at the left edge (left and full); bit 1 alone: lines end at the right
// edge; neither: centred.
enum TextJustFlags { TJFcenter = 0, TJFleft = 1, TJFright = 2, TJFfull = 3 };

// One queued entry of the current line, in a list whose head is the newest (rightmost) entry.
// Deleting the head frees the whole line.
struct TFWordList {
  TFWordList* next = nullptr;  // the entry to the left, queued earlier
  const char* word = "";       // the entry's text: its own copy, or "" for a space entry
  int wflags = 0;              // font flags in force for the word
  float width = 0;             // drawn width; 0 for a space entry
  bool addspc = false;         // a space follows the word

  TFWordList() = default;
  TFWordList(const TFWordList&) = delete;
  TFWordList& operator=(const TFWordList&) = delete;
  ~TFWordList();

  // Replaces the text with a copy of w ("" for null or ""), clears addspc and sets width to the
  // text's length in characters, a placeholder the caller overwrites.
  void SetWord(const char* w);

 private:
  char* own = nullptr;  // the copy word points at; null for the empty text
};

class TextForm {
 public:
  // The longest piece PutText makes of a run without blanks, in characters.
  static constexpr int kMaxWordChars = 1023;

  float lwcur = 0;                 // width of the current line, with its newest word's space
  TFWordList* wordList = nullptr;  // the current line, newest word first
  TFRect orgn = {0, 0, 0, 0};      // the rectangle given to SetRect
  TFRect trgn = {0, 0, 0, 0};      // what remains: only its top moves, one line at a time
  float lineSpacing = 1.0f;
  float spaceScale = 0.33f;  // a space's width as a fraction of the font size
  float lineScale = 1.25f;   // the line advance at spacing 1 as a multiple of the font size
  float maxAdj = 2.2f;  // full justification widens a space at most this many times; < 1: no limit
  TextJustFlags justify = TJFleft;

  TextForm() = default;
  TextForm(const TextForm&) = delete;
  TextForm& operator=(const TextForm&) = delete;

  // Selects the face for the font flags and returns the flags now in force (here: none, 0).
  virtual int ChangeFFlags(int fflags);
  // The drawn width of a word in the current face and size.
  virtual float GetWordWidth(const char* word) const = 0;
  // Draws a word with its left end at x and its baseline at y; false stops the line.
  virtual bool RenderWord(const char* word, float x, float y) = 0;
  // Frees the queued words without drawing them: a back end that wants its last line drawn ends
  // it in its own destructor.
  virtual ~TextForm();
  // The current font size in page units.
  virtual float GetFontSize() const = 0;

  // Draws the pending line, then starts a new block in r.
  void SetRect(const TFRect& r);
  float GetLineHeight() const { return lineSpacing * lineScale * GetFontSize(); }
  // These end the pending line first and change nothing when that fails. SetLineHeight makes
  // the line advance h at the current font size (a font size of 0 keeps the spacing).
  bool SetLineSpacing(float s);
  bool SetLineHeight(float h);
  bool SetJustify(TextJustFlags j);

  // Queues a word; a null word, or an empty one without a space, does nothing. A word that
  // follows the previous one without a space is never separated from it.
  bool PutWord(const char* word, int fflags, bool addspc);
  bool PutWord(long n, int fflags, bool addspc);    // "%ld"
  bool PutWord(double v, int fflags, bool addspc);  // "%g"
  bool PutSpace() { return PutWord("", 0, true); }
  // A blank is a space, a line feed ends the line, any other byte is a word with no space.
  bool PutChar(char c, int fflags);
  // Running text: blanks and tabs (four spaces) separate words, a line feed, form feed or
  // carriage return (a CR LF pair once) ends a line, and a run longer than the line holds (by
  // the space width) is cut into pieces at character boundaries.
  bool PutText(const char* text, int fflags);
  // Justifies, draws and clears the current line; an empty line only advances when asked.
  bool EndLine(bool advance);

  TextForm& operator<<(const char* text) {
    PutText(text, 0);
    return *this;
  }
  TextForm& operator<<(double v) {
    PutWord(v, 0, false);
    return *this;
  }

 private:
  float Width() const { return orgn.right - orgn.left; }
  float SpaceWidth() const { return spaceScale * GetFontSize(); }
  bool Full() const { return !(trgn.top < trgn.bottom); }
  int LongestWord() const;
  void ClearLine();
};
