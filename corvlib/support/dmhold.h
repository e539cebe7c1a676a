// Holding back what messages do, for a while: a probe whose failures are no errors, a step
// whose reports its caller tells again in its own words, reports kept until it is known whether
// they matter, alerts kept to the end of a task, a warning the status line need not show. A
// hold gives back at its end the hook it took.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/dmessage.h"

class DMessageHold {
 public:
  enum Mode {
    // Nothing is done with a message (neither recorded, logged, printed nor alerted), and the
    // most severe class so far stays as it was.
    quiet,
    // Recorded, logged and printed as ever, but no alert: the caller tells the user once. Nor
    // are they among the problems the user has yet to see: at the end the most severe class is
    // again what it was at the start, so that a hold of alerts around this one (alertOnce) does
    // not alert them at its end, nor the status line blink them.
    noAlert,
    // The messages of the kept classes wait, nothing done with them yet, the others go on as
    // ever; at the end they are told as they came, with their system errors, unless dropped.
    kept,
    // No alert meanwhile, the most severe class starting afresh; at the end the most severe
    // message of the time is alerted once (HoldAlerts, LetAlerts). Without an alert hook
    // (alerts are held back already) it holds nothing.
    alertOnce,
    // Recorded, logged and printed as ever, but not among the problems since the last one the
    // user saw: at the end the most severe class is again what it was at the start (a warning
    // of a loss that is only speed, which the status line need not show).
    unseen,
  };
  // The bit of a class in the kept classes.
  static constexpr uint32_t Class(unsigned cls) { return 1u << cls; }

  explicit DMessageHold(Mode mode, uint32_t keptClasses = 0);
  ~DMessageHold() { End(); }
  DMessageHold(const DMessageHold&) = delete;
  DMessageHold& operator=(const DMessageHold&) = delete;

  // Whether it holds anything back.
  bool Holding() const { return active_; }
  // The messages kept so far are told no more.
  void Drop() { kept_.clear(); }
  // Ends the hold now, as its end of scope would.
  void End();

  // The alerts of alertOnce, for a hold that spans calls. HoldAlerts takes the alert hook away
  // and starts the most severe class afresh; it returns the hook (null when there was none:
  // then it does nothing). LetAlerts gives hook back as the alert hook, first alerting through
  // it the most severe message since, when its class records and alerts.
  static DMalertHook HoldAlerts();
  static void LetAlerts(DMalertHook hook);

 private:
  struct Kept {
    unsigned cls;
    std::string text;
    const char* file;
    int line;
    int syserr;
  };
  static uint32_t Keep(unsigned cls, const char* text, const char* file, int line);

  Mode mode_;
  uint32_t classes_;
  bool active_ = true;
  DMcallHook call_ = nullptr;    // the call hook it stands in for
  DMalertHook alert_ = nullptr;  // the alert hook it took away
  unsigned last_ = DMCnerr;      // the most severe class when it began
  DMessageHold* outer_ = nullptr;
  std::vector<Kept> kept_;
  static DMessageHold* keeping;  // the innermost hold in kept mode
};
