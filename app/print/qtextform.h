// The text form's back end for a page painted through a QPainter: faces of one base font
// chosen by the form's font flags (bit 0 italic, bit 1 bold), words measured with the font's
// metrics on the painter's device and drawn as text with their baselines where the form puts
// them. Font sizes are in the device's pixels (page units): a size s is a point size of
// s x 72 / the device's resolution.
#pragma once

#include <string>

#include "platform/pqt.h"
#include "support/textform.h"

class QTextForm : public TextForm {
 public:
  // A form over the painter of a page (the painter stays the caller's); fn is the base font,
  // "Times" when null. The rectangle is still empty: the caller sets it with SetRect.
  explicit QTextForm(QPainter* painter, const char* fn = nullptr);
  // Draws the pending line.
  ~QTextForm() override;

  // A new base font (at most 127 bytes), its plain face selected; false (and the font kept)
  // for a null or longer name, or when the pending line cannot be ended.
  bool SetBaseFont(const char* fn);
  // Selects the face of bits 0 and 1 of flgs; returns them.
  int ChangeFFlags(int flgs) override;
  // Ends the pending line (false and nothing changed when that fails), then takes the size.
  bool SetFontSize(float s);
  float GetFontSize() const override { return fontSize; }
  float GetWordWidth(const char* word) const override;
  // The word cut between characters to at most width page units in the current face, ending
  // with an ellipsis when cut.
  std::string FitWord(const char* word, float width) const;
  bool RenderWord(const char* word, float x, float y) override;

  QPainter* GetContext() const { return ctx; }
  const char* GetBaseFont() const { return fontBase; }

 private:
  void ApplyFont();

  QPainter* ctx;
  char fontBase[128];
  float fontSize;
  int fflags;  // the face selected; -1 none yet
  QFont font;
  QFontMetricsF metrics;
  double dpi;  // the device's resolution
};
