#include "support/dmhold.h"

#include <cerrno>

DMessageHold* DMessageHold::keeping = nullptr;

DMessageHold::DMessageHold(Mode mode, uint32_t keptClasses) : mode_(mode), classes_(keptClasses) {
  switch (mode_) {
    case quiet:
      call_ = dmessage_call;
      last_ = dmessage_last_class;
      dmessage_call = [](unsigned, const char*, const char*, int) -> uint32_t { return ~0u; };
      break;
    case unseen:
      last_ = dmessage_last_class;
      break;
    case noAlert:
      alert_ = dmessage_alert;
      last_ = dmessage_last_class;
      dmessage_alert = nullptr;
      break;
    case kept:
      call_ = dmessage_call;
      outer_ = keeping;
      keeping = this;
      dmessage_call = Keep;
      break;
    case alertOnce:
      alert_ = HoldAlerts();
      active_ = alert_ != nullptr;
      break;
  }
}

void DMessageHold::End() {
  if (!active_) return;
  switch (mode_) {
    case quiet:
      dmessage_call = call_;
      dmessage_last_class = last_;
      break;
    case noAlert:
      dmessage_alert = alert_;
      dmessage_last_class = last_;
      break;
    case kept:
      // Only the innermost keeping hold can end: the messages of an outer one wait for it.
      if (keeping != this) return;
      dmessage_call = call_;
      keeping = outer_;
      for (const Kept& m : kept_) dmessage_errno(m.cls, m.syserr, m.text.c_str(), m.file, m.line);
      kept_.clear();
      break;
    case alertOnce:
      LetAlerts(alert_);
      break;
    case unseen:
      dmessage_last_class = last_;
      break;
  }
  active_ = false;
}

uint32_t DMessageHold::Keep(unsigned cls, const char* text, const char* file, int line) {
  DMessageHold* h = keeping;
  if (h == nullptr) return 0;
  if (h->classes_ & Class(cls)) {
    h->kept_.push_back({cls, text, file, line, errno});  // errno: the message's system error
    return ~0u;                                          // nothing is done with it now
  }
  return h->call_ != nullptr ? h->call_(cls, text, file, line) : 0;
}

DMalertHook DMessageHold::HoldAlerts() {
  const DMalertHook hook = dmessage_alert;
  if (hook == nullptr) return nullptr;
  dmessage_alert = nullptr;
  dmessage_last_class = DMCnerr;
  return hook;
}

void DMessageHold::LetAlerts(DMalertHook hook) {
  const unsigned c = dmessage_last_class;
  constexpr uint32_t kTold = DMArecord | DMAalert;
  if (hook != nullptr && c < DMCnerr && (dmessage_class_flags[c] & kTold) == kTold &&
      dmessage_record[c] != nullptr && hook(dmessage_record[c]) != 0)
    dmessage_class_done[c] |= DMAalert;
  dmessage_alert = hook;
}
