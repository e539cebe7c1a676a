// Waiting on the platform's event loop.
//
// The waits run the platform's event loop: a wait for one event (-1) runs it until a quit or a
// short turn has passed, so a dialog's wait sees its window hidden by the handler that ran; a
// timed wait runs it for its time. The application loop waits for the quit event that
// PquitEventLoop posts; every wait in progress ends with it.
#include "app/core/pseam.h"

#include <cstring>
#include <string>

#include "platform/pdocuments.h"
#include "platform/pevent.h"
#include "platform/pwindow.h"

namespace {

const EventTypeSpec kQuit{FourCC("lumr"), FourCC("quit")};
bool quitting = false;
int loopDepth = 0;

}  // namespace

int PwaitEvents(double maxwait) {
  if (quitting) return 0;
  if (maxwait == 0) {
    RunPendingEvents();
    return quitting ? 0 : 1;
  }
  EventRef ev = nullptr;
  ReceiveNextEvent(1, &kQuit, maxwait < 0 ? 0.01 : maxwait, false, &ev);
  return quitting ? 0 : 1;
}

void PrunEventLoop() {
  PclearQuit();
  ++loopDepth;
  PostOpenDocuments();
  while (!quitting) {
    EventRef ev = nullptr;
    if (ReceiveNextEvent(1, &kQuit, 3600.0, true, &ev) == noErr) {
      ReleaseEvent(ev);
      break;
    }
  }
  --loopDepth;
  quitting = false;
}

void PquitEventLoop() {
  if (quitting) return;
  quitting = true;
  EventRef ev = nullptr;
  if (CreateEvent(kQuit.eventClass, kQuit.eventKind, GetCurrentEventTime(), &ev) == noErr) {
    PostEventToQueue(GetMainEventQueue(), ev, nullptr);
    ReleaseEvent(ev);
  }
}

bool PquitRequested() {
  return quitting;
}

void PclearQuit() {
  quitting = false;
  EventRef ev = nullptr;
  while (ReceiveNextEvent(1, &kQuit, 0, true, &ev) == noErr) ReleaseEvent(ev);
}

void PdrawCentredText(const Rect* box, const char* text) {
  if (box == nullptr || text == nullptr) return;
  // Lines of about 7 pixels a character, stacked about the middle of the box.
  int lines = 1;
  for (const char* p = text; *p; ++p) lines += *p == '\n';
  const int lineHeight = 18;
  int v = (box->top + box->bottom) / 2 - lines * lineHeight / 2 + 13;
  const char* p = text;
  while (true) {
    const char* e = strchr(p, '\n');
    std::string line(p, e ? static_cast<size_t>(e - p) : strlen(p));
    int width = static_cast<int>(line.size()) * 7;
    MoveTo(static_cast<short>((box->left + box->right - width) / 2), static_cast<short>(v));
    DrawUTF8Text(line.c_str());
    v += lineHeight;
    if (e == nullptr) break;
    p = e + 1;
  }
}
