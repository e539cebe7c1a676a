// Collects every message the library reports while it lives, keeping them off standard error
// and keeping assertion and memory messages from ending the test program. The class's last
// message is still recorded, so tests may read dmessage_record as well.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/dmessage.h"

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
  int CountClass(unsigned cls) const {
    int n = 0;
    for (const auto& e : entries) n += e.first == cls;
    return n;
  }
  void Clear() { entries.clear(); }
  // Every message as "class: text" lines, for failure output.
  std::string All() const {
    std::string s;
    for (const auto& e : entries)
      s += std::string(dmessage_class_name[e.first]) + ": " + e.second + "\n";
    return s;
  }

  std::vector<std::pair<unsigned, std::string>> entries;
  // Runs at each message as it comes, for a test that acts at a moment a message marks.
  std::function<void(const std::string& text)> then;
  // The alert hook shows what alerts (else nothing is alerted): a test of what the user sees.
  bool alerts = false;

 private:
  static uint32_t Hook(unsigned cls, const char* text, const char*, int) {
    if (current_ != nullptr) current_->entries.emplace_back(cls, text);
    if (current_ != nullptr && current_->then) current_->then(text);
    const bool alerts = current_ != nullptr && current_->alerts;
    return DMAlog | DMAstderr | (alerts ? 0u : uint32_t{DMAalert}) | DMAexit | DMAabort;
  }
  uint32_t (*prev_)(unsigned, const char*, const char*, int);
  MessageLog* prevLog_;
  static inline MessageLog* current_ = nullptr;
};
