// Test helpers of the record database: a catcher of reported messages.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/dmessage.h"

// Collects every message reported while it lives and keeps them off standard error (and keeps
// assertion messages from ending the test program).
class MessageLog {
 public:
  MessageLog() : prev_(dmessage_call), prevLog_(current_) {
    current_ = this;
    dmessage_call = &Hook;
  }
  ~MessageLog() {
    dmessage_call = prev_;
    current_ = prevLog_;
  }
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;

  bool Has(const std::string& text) const {
    for (const auto& e : entries)
      if (e.second == text) return true;
    return false;
  }
  bool Has(unsigned cls, const std::string& text) const {
    for (const auto& e : entries)
      if (e.first == cls && e.second == text) return true;
    return false;
  }
  size_t Count() const { return entries.size(); }
  void Clear() { entries.clear(); }

  std::vector<std::pair<unsigned, std::string>> entries;

 private:
  static uint32_t Hook(unsigned cls, const char* text, const char*, int) {
    if (current_ != nullptr) current_->entries.emplace_back(cls, text);
    return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
  }
  uint32_t (*prev_)(unsigned, const char*, const char*, int);
  MessageLog* prevLog_;
  static inline MessageLog* current_ = nullptr;
};
