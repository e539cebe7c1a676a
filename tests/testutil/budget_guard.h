// Sets the object cache's memory budget for the length of a scope and restores the budget
// that was in force before, so that a test's tiny or unlimited budget never leaks into the
// next test.
#pragma once

#include <cstdint>

#include "support/cache.h"

class BudgetGuard {
 public:
  BudgetGuard() : old_(CacheObject::tab.memoryBudget) {}
  explicit BudgetGuard(uint64_t bytes) : BudgetGuard() { Set(bytes); }
  ~BudgetGuard() { CacheObject::tab.memoryBudget = old_; }
  BudgetGuard(const BudgetGuard&) = delete;
  BudgetGuard& operator=(const BudgetGuard&) = delete;

  void Set(uint64_t bytes) { CacheObject::tab.memoryBudget = bytes; }

 private:
  uint64_t old_;
};
