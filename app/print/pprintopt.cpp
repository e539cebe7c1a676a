// Print options: their defaults, the options dialog, the caption's estimated height and the
// caption drawn under a printed image.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/print/pforms.h"
#include "app/print/pprint.h"
#include "catalog/pdbformat.h"
#include "platform/pcontrol.h"
#include "support/bytetext.h"
#include "support/cnumber.h"
#include "tonemap/tonemap.h"

namespace {

// Inches per caption line by heightIndex.
constexpr float kLineHeights[] = {0.075f, 0.10f, 0.13f, 0.18f, 0.24f, 0.32f, 0.42f, 0.56f, 0.75f};
constexpr int kNHeights = sizeof kLineHeights / sizeof kLineHeights[0];

// Longest texts the caption takes from the album and the date formatter.
constexpr int kCaptionBytes = 8192;
// At most this many keywords and comments are shown.
constexpr int kMaxListed = 32;

// Label words are bold italic.
constexpr int kLabel = 3;
constexpr int kItalic = 1;

bool ReadLong(const DBField& f, long* v) {
  return f.GetDT() == DBDTint && f.Get(v, 1) == 1;
}

bool ReadNumber(const DBField& f, double* v) {
  long l;
  float x;
  if (ReadLong(f, &l)) {
    *v = static_cast<double>(l);
    return true;
  }
  if (f.GetDT() == DBDTfloat && f.Get(&x, 1) == 1 && std::isfinite(x)) {
    *v = x;
    return true;
  }
  return false;
}

const char* FirstString(const DBField& f) {
  const char* s = nullptr;
  return f.Get(&s, 1) == 1 && s != nullptr && s[0] != 0 ? s : nullptr;
}

// Characters (not bytes) of a UTF-8 text.
size_t Chars(const char* s) {
  size_t n = 0;
  for (; *s; s++) n += (static_cast<unsigned char>(*s) & 0xC0) != 0x80;
  return n;
}

bool IsUserField(const DBRecord& r, int i) {
  const DBFDetails* d = r.GetFieldDetails(i);
  return d != nullptr && (d->flags & 0x2200) == 0x2000 && r[i].GetNV() > 0;
}

// The record's caption in the main window's album; NULL when none.
const char* AlbumCaption(const DBRecord& rec, std::vector<char>* buf) {
  if (gMain == nullptr) return nullptr;
  buf->assign(kCaptionBytes, 0);
  const char* c = gMain->GetCaption(buf->data(), kCaptionBytes, &rec);
  return c != nullptr && c[0] != 0 ? c : nullptr;
}

// The page's printable width in inches; 0 without a session.
double PageWidthInches() {
  PPrintSession* s = PprintSession();
  if (s == nullptr || s->Resolution() <= 0) return 0;
  PPrintRect r;
  getAdjustedPageRect(&r);
  return (r.right - r.left) / s->Resolution();
}

// Lines a wrapped text of n characters takes at cw inches a character on w inches.
int Wrapped(size_t n, double cw, double w) {
  if (!(w > 0)) return 1;
  const double extra = std::floor(static_cast<double>(n) * cw / w);
  return 1 + (extra < 1e6 ? static_cast<int>(extra) : 1000000);
}

ControlRef PrintControl(OSType sig, SInt32 id) {
  return PcontrolOf(gPrintWindow, sig, id);
}

// Puts the values of a field as words, each but the last followed directly by "," and a space.
void PutList(QTextForm* tf, const DBField& f, int most) {
  const int n = std::min(f.GetNV(), most);
  for (int i = 0; i < n; i++) {
    tf->PutWord(ShownName(f.GetString(i)).c_str(), 0, false);
    if (i < n - 1) tf->PutWord(",", 0, true);
  }
}

}  // namespace

void PrintOptions::SetDefaults() {
  bestOrientation = true;
  fitToPage = true;
  autoCrop = false;
  heightIndex = 4;
  captionFlags = 0;
  tmFlags = 0;
  if (!(PEMDefault & PEMauto)) tmFlags |= TMF_LINEAR;
  if (PEMDefault & PEMhuman) tmFlags |= TMF_HCONTRAST | TMF_MESOPIC;
}

float PrintOptions::LineHeight() const {
  const int i = heightIndex < 0 ? 0 : heightIndex >= kNHeights ? kNHeights - 1 : heightIndex;
  return kLineHeights[i];
}

int PrintOptions::NLines() const {
  int n = 0;
  for (unsigned f = static_cast<unsigned>(captionFlags); f != 0; f &= f - 1) n++;
  return n != 0 ? n + 4 : 0;
}

int PrintOptions::NLines(const DBRecord& rec) const {
  const double w = PageWidthInches();
  const double cw = 0.4 * LineHeight();
  const int cf = captionFlags;
  auto nv = [&](PDBFieldID id) { return PDBgetField(rec, id).GetNV(); };
  int n = 0;
  if (cf & PCFfile) n++;
  if (cf & PCFtitle) n += nv(PDBFtitle);
  if (cf & PCFcapdate) n += nv(PDBFcapdate);
  if (cf & PCFsubject) n += nv(PDBFsubject);
  if (cf & PCFowner) n += nv(PDBFowner);
  if (cf & PCFformat) n += nv(PDBFformat);
  if (cf & PCFalbum) {
    std::vector<char> buf;
    if (const char* c = AlbumCaption(rec, &buf)) n += Wrapped(Chars(c), cw, w);
  }
  if ((cf & PCFkeywords) && nv(PDBFkeyword) > 0) n++;
  if (cf & PCFcomments) {
    const DBField& c = PDBgetField(rec, PDBFcomment);
    for (int i = 0; i < c.GetNV(); i++) n += Wrapped(Chars(c.GetString(i)) + 8, cw, w);
  }
  if (cf & PCFsize) n++;
  if (cf & PCFlength) n++;
  if ((cf & PCFsource) && nv(PDBFmake) > 0 && nv(PDBFmodel) > 0) n++;
  if ((cf & PCFexposure) && nv(PDBFexptime) > 0 && nv(PDBFaperture) > 0) n++;
  if (cf & PCFposition) {
    n += nv(PDBFgmtdate) > 0;
    n += nv(PDBFlatitude) > 0 && nv(PDBFlongitude) > 0;
    n += nv(PDBFbearing) > 0;
  }
  if (cf & PCFuser)
    for (int i = 0; i < rec.GetNFields(); i++) n += IsUserField(rec, i);
  return n != 0 ? n + 1 : 0;
}

bool PrintOptions::Dialog(int disa, int xfer) {
  ControlRef size = PrintControl(kCmdPrint, 128);
  if (size != nullptr) {
    if (disa & 1)
      DisableControl(size);
    else
      EnableControl(size);
  }
  xfer &= ~disa;
  if ((xfer & 1) && size != nullptr) SetControlValue(size, heightIndex);
  // Whether each option is in force, by option bit.
  const int cf = captionFlags;
  const bool on[14] = {false,
                       bestOrientation,
                       fitToPage,
                       autoCrop,
                       !(tmFlags & TMF_LINEAR),
                       (tmFlags & (TMF_HCONTRAST | TMF_MESOPIC)) == (TMF_HCONTRAST | TMF_MESOPIC),
                       (cf & PCFfile) != 0,
                       (cf & PCFtitle) != 0,
                       (cf & PCFcapdate) != 0,
                       (cf & PCFalbum) != 0,
                       (cf & (PCFsubject | PCFowner | PCFkeywords | PCFcomments | PCFuser)) != 0,
                       (cf & (PCFsize | PCFformat | PCFlength)) != 0,
                       (cf & (PCFsource | PCFexposure | PCFposition)) != 0,
                       (cf & PCFuser) != 0};
  int setM = disa, clrM = disa;
  for (int b = 1; b <= 13; b++)
    if (xfer & (1 << b)) (on[b] ? setM : clrM) |= 1 << b;
  const int res = optionsDialog(gPrintWindow, setM, clrM, true);
  if (res < 0) return false;
  if (!(disa & 1) && size != nullptr) heightIndex = GetControlValue(size);
  auto flag = [&](int& word, int bits, int b) {
    if (disa & (1 << b)) return;
    if (res & (1 << b))
      word |= bits;
    else
      word &= ~bits;
  };
  auto option = [&](bool& o, int b) {
    if (!(disa & (1 << b))) o = (res & (1 << b)) != 0;
  };
  option(bestOrientation, 1);
  option(fitToPage, 2);
  option(autoCrop, 3);
  if (!(disa & (1 << 4))) {
    // On is automatic exposure, which the linear mapping is not.
    if (res & (1 << 4))
      tmFlags &= ~TMF_LINEAR;
    else
      tmFlags |= TMF_LINEAR;
  }
  flag(tmFlags, TMF_HCONTRAST | TMF_MESOPIC, 5);
  flag(captionFlags, PCFfile, 6);
  flag(captionFlags, PCFtitle, 7);
  flag(captionFlags, PCFcapdate, 8);
  flag(captionFlags, PCFalbum, 9);
  flag(captionFlags, PCFsubject | PCFowner | PCFkeywords | PCFcomments | PCFuser, 10);
  flag(captionFlags, PCFsize | PCFformat | PCFlength, 11);
  flag(captionFlags, PCFsource | PCFexposure | PCFposition, 12);
  flag(captionFlags, PCFuser, 13);
  return true;
}

bool PrintOptions::RenderCaption(const DBRecord& rec, QTextForm* tf) const {
  PPrintSession* s = PprintSession();
  if (tf == nullptr || s == nullptr) return false;
  const float h = LineHeight() * s->Resolution();
  tf->SetFontSize(h / tf->lineScale);
  tf->SetLineHeight(h);
  const int cf = captionFlags;
  std::vector<char> buf(kCaptionBytes);
  char small[32];
  auto field = [&](PDBFieldID id) -> const DBField& { return PDBgetField(rec, id); };
  auto label = [&](const char* text) { tf->PutWord(text, kLabel, true); };
  // Each line: its justification, its words, and its end; false when the form is full.
  auto line = [&](TextJustFlags j, const auto& words) {
    if (!tf->SetJustify(j)) return false;
    words();
    return tf->EndLine(false);
  };
  auto fmt = [&](DBFormatFunc f, int len, PDBFieldID id) -> const char* {
    const char* t = f(buf.data(), len, field(id));
    return t != nullptr && t[0] != 0 ? t : nullptr;
  };

  // Texts of the record print as they show on the screen: the file's name, a name in a text
  // and a value of any bytes apart from every other (support/bytetext.h).
  auto text = [&](const char* v, int flags) { tf->PutText(ShownText(v).c_str(), flags); };
  auto word = [&](const char* v) { tf->PutWord(ShownName(v).c_str(), 0, true); };
  const char* t;
  if ((cf & PCFfile) && (t = FirstString(field(PDBFfile))) != nullptr &&
      !line(TJFright, [&] { tf->PutText(ShownName(t).c_str(), kItalic); }))
    return false;
  if ((cf & PCFtitle) && (t = FirstString(field(PDBFtitle))) != nullptr &&
      !line(TJFcenter, [&] { text(t, kLabel); }))
    return false;
  if (cf & PCFalbum) {
    std::vector<char> cbuf;
    if ((t = AlbumCaption(rec, &cbuf)) != nullptr && !line(TJFfull, [&] { text(t, 0); }))
      return false;
  }
  if ((cf & PCFcapdate) && (t = fmt(PDBformatDate, kCaptionBytes, PDBFcapdate)) != nullptr &&
      !line(TJFleft, [&] {
        label("Captured");
        tf->PutWord(t, 0, true);
      }))
    return false;
  if ((cf & PCFsubject) && (t = FirstString(field(PDBFsubject))) != nullptr && !line(TJFleft, [&] {
        label("Subject");
        text(t, 0);
      }))
    return false;
  if ((cf & PCFowner) && (t = FirstString(field(PDBFowner))) != nullptr && !line(TJFleft, [&] {
        label("Owner");
        text(t, 0);
      }))
    return false;
  if ((cf & PCFkeywords) && field(PDBFkeyword).GetNV() > 0 && !line(TJFleft, [&] {
        label("Keywords");
        PutList(tf, field(PDBFkeyword), kMaxListed);
      }))
    return false;
  if (cf & PCFcomments) {
    const DBField& c = field(PDBFcomment);
    for (int i = 0; i < c.GetNV() && i < kMaxListed; i++) {
      const char* comment = c.GetString(i);
      if (!line(TJFleft, [&] {
            label("Comment");
            text(comment, 0);
          }))
        return false;
    }
  }
  long w, ht;
  if ((cf & PCFsize) && ReadLong(field(PDBFxsize), &w) && ReadLong(field(PDBFysize), &ht) &&
      !line(TJFleft, [&] {
        label("Size");
        tf->PutWord(w, 0, false);
        tf->PutWord("x", 0, false);
        tf->PutWord(ht, 0, true);
        tf->PutWord("pixels", 0, true);
      }))
    return false;
  if ((cf & PCFformat) && (t = FirstString(field(PDBFformat))) != nullptr && !line(TJFleft, [&] {
        label("Format");
        word(t);
      }))
    return false;
  long nbytes;
  if ((cf & PCFlength) && ReadLong(field(PDBFnbytes), &nbytes) && !line(TJFleft, [&] {
        label("Length");
        tf->PutWord(nbytes, 0, true);
        tf->PutWord("bytes", 0, true);
      }))
    return false;
  const char *make, *model;
  if ((cf & PCFsource) && (make = FirstString(field(PDBFmake))) != nullptr &&
      (model = FirstString(field(PDBFmodel))) != nullptr && !line(TJFleft, [&] {
        label("Source");
        word(make);
        word(model);
      }))
    return false;
  if ((cf & PCFexposure) && field(PDBFexptime).GetNV() > 0 && field(PDBFaperture).GetNV() > 0 &&
      !line(TJFleft, [&] {
        label("Exposure");
        char ex[12], ap[8];
        if (PDBformatExposure(ex, sizeof ex, field(PDBFexptime)) != nullptr)
          tf->PutWord(ex, 0, true);
        tf->PutWord("@", 0, true);
        if (PDBformatAperture(ap, sizeof ap, field(PDBFaperture)) != nullptr)
          tf->PutWord(ap, 0, false);
        double asa;
        if (ReadNumber(field(PDBFasa), &asa)) *tf << ", ASA " << asa;
        char fl[10], wb[16];
        if (PDBformatFlash(fl, sizeof fl, field(PDBFflash)) != nullptr && fl[0])
          *tf << ", Flash " << fl;
        if (PDBformatWhiteBal(wb, sizeof wb, field(PDBFwhitebal)) != nullptr && wb[0])
          *tf << ", White balance " << wb;
      }))
    return false;
  if (cf & PCFposition) {
    if ((t = fmt(PDBformatDate, kCaptionBytes, PDBFgmtdate)) != nullptr && !line(TJFleft, [&] {
          label("GMT");
          tf->PutWord(t, 0, true);
        }))
      return false;
    double lat, lon, alt, bearing;
    if (ReadNumber(field(PDBFlatitude), &lat) && ReadNumber(field(PDBFlongitude), &lon) &&
        !line(TJFleft, [&] {
          label("GPS");
          // Zero is south and west, written without a sign.
          Csnprintf(small, sizeof small, lat > 0 ? "%.6f deg. N" : "%.6f deg. S",
                    lat > 0 ? lat : 0.0 - lat);
          *tf << small << " latitude ";
          Csnprintf(small, sizeof small, lon > 0 ? "%.6f deg. E" : "%.6f deg. W",
                    lon > 0 ? lon : 0.0 - lon);
          *tf << small << " longitude ";
          if (ReadNumber(field(PDBFaltitude), &alt)) *tf << alt << " meters altitude ";
        }))
      return false;
    if (ReadNumber(field(PDBFbearing), &bearing) && !line(TJFleft, [&] {
          label("Sight bearing");
          *tf << bearing << " degrees East of North";
        }))
      return false;
  }
  if (cf & PCFuser) {
    for (int i = 0; i < rec.GetNFields(); i++) {
      if (!IsUserField(rec, i)) continue;
      const char* name = rec.GetFieldName(i);
      if (!line(TJFleft, [&] {
            tf->PutWord(ShownName(name != nullptr ? name : "").c_str(), kItalic, true);
            PutList(tf, rec[i], rec[i].GetNV());
          }))
        return false;
    }
  }
  return true;
}
