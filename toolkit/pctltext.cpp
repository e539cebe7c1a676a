// Control text as UTF-8, edit focus, and waiting for the mouse button's release.
#include <cstring>
#include <string>
#include <vector>

#include "toolkit/pastring.h"
#include "toolkit/pctltext.h"
#include "platform/pevent.h"
#include "support/bytetext.h"

bool PutControlText(ControlRef cntl, const char* txt) {
  if (cntl == nullptr || txt == nullptr) return false;
  size_t n = std::strlen(txt);
  if (n > 0xFFFFFFF0u) return false;
  // Text only shown (a label, a button's title) may name a file of any bytes: it shows it in
  // the form a person reads names in, apart from every other name. An edit text would store
  // that form back, so it takes UTF-8 only, as it is.
  std::string shown;
  const ControlKind kind = GetControlKind(cntl);
  if (kind == kControlKindStaticText || kind == kControlKindPushButton ||
      kind == kControlKindCheckBox) {
    if (!ShownAsIs(std::string_view(txt, n), kShownText)) {
      shown = ShownText(std::string_view(txt, n));
      txt = shown.c_str();
      n = shown.size();
    }
  } else if (!validUTF8(txt, n)) {
    return false;
  }
  if (SetControlData(cntl, kControlEntireControl, kControlEditTextCFStringTag,
                     static_cast<UInt32>(n), txt) != noErr)
    return false;
  Draw1Control(cntl);
  return true;
}

void ClearControlText(ControlRef cntl) {
  if (cntl == nullptr) return;
  if (SetControlData(cntl, kControlEntireControl, kControlEditTextCFStringTag, 0, "") == noErr)
    Draw1Control(cntl);
}

namespace {

bool IsSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Trims white space and turns control characters and broken bytes into '?', keeping whole
// multi-byte characters; works in place (the result is never longer).
void CleanUTF8(char* s) {
  size_t n = std::strlen(s), a = 0;
  while (a < n && IsSpace(static_cast<unsigned char>(s[a]))) ++a;
  while (n > a && IsSpace(static_cast<unsigned char>(s[n - 1]))) --n;
  size_t o = 0;
  for (size_t i = a; i < n;) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = utf8CharLength(s + i, n - i);
    bool control = len == 1
                       ? (c < 0x20 || c == 0x7F)
                       : (len == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0);
    if (len == 0 || control) {
      s[o++] = '?';
      i += len == 0 ? 1 : len;
    } else {
      std::memmove(s + o, s + i, len);
      o += len;
      i += len;
    }
  }
  s[o] = '\0';
}

}  // namespace

char* GetControlText(ControlRef cntl, char* txt, int len, bool anyChar) {
  if (cntl == nullptr || txt == nullptr || len < 2) return nullptr;
  UInt32 size = 0;
  if (GetControlDataSize(cntl, kControlEntireControl, kControlEditTextCFStringTag, &size) !=
          noErr ||
      size > static_cast<UInt32>(len - 1))
    return nullptr;
  UInt32 got = 0;
  if (GetControlData(cntl, kControlEntireControl, kControlEditTextCFStringTag,
                     static_cast<UInt32>(len - 1), txt, &got) != noErr ||
      got != size)
    return nullptr;
  txt[size] = '\0';
  if (!anyChar) CleanUTF8(txt);
  return txt;
}

void EditControlText(WindowRef w, ControlRef cntl) {
  ControlEditTextSelectionRec sel{0, 32767};
  SetControlData(cntl, kControlEditTextPart, kControlEditTextSelectionTag, sizeof sel, &sel);
  SetKeyboardFocus(w, cntl, kControlEditTextPart);
}

void waitMouseRelease(double maxwait) {
  static const EventTypeSpec mouseUp = {kEventClassMouse, kEventMouseUp};
  EventRef ev = nullptr;
  if (ReceiveNextEvent(1, &mouseUp, maxwait, true, &ev) == noErr && ev != nullptr) ReleaseEvent(ev);
}
