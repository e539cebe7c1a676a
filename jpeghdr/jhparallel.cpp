// Splitting the encoder's per-pixel passes over threads. Every band is work on rows that no
// other band touches; nothing in a band can raise a libjpeg error, so no long jump ever leaves
// a thread.
#include <thread>
#include <vector>

#include "jpeghdr/jhprivate.h"

int jh_thread_count(const jpeghdr_compress_struct* jh) {
  const int n = jh->threads;
  return n < 1 ? 1 : (n > JH_MAX_THREADS ? JH_MAX_THREADS : n);
}

void jh_parallel_bands(int parts, int h, JHBandFunc fn, void* ctx) {
  if (parts > h) parts = h;
  if (parts <= 1) {
    if (h > 0) fn(ctx, 0, h, 0);
    return;
  }
  auto bandStart = [&](int p) { return static_cast<int>(static_cast<int64_t>(h) * p / parts); };
  std::vector<std::thread> pool;
  pool.reserve(static_cast<size_t>(parts - 1));
  int p = 1;
  try {
    for (; p < parts; p++) pool.emplace_back(fn, ctx, bandStart(p), bandStart(p + 1), p);
  } catch (...) {
    // No more threads (or memory for one) to be had: the calling thread does the bands left.
  }
  for (int q = p; q < parts; q++) fn(ctx, bandStart(q), bandStart(q + 1), q);
  fn(ctx, 0, bandStart(1), 0);
  for (std::thread& t : pool) t.join();
}

JHBackground::JHBackground() : thread_(nullptr) {}

JHBackground::~JHBackground() {
  join();
}

bool JHBackground::start(int parts, int h, JHBandFunc fn, void* ctx) {
  join();
  try {
    thread_ = new std::thread(jh_parallel_bands, parts, h, fn, ctx);
    return true;
  } catch (...) {
    thread_ = nullptr;
    return false;
  }
}

void JHBackground::join() {
  if (thread_ == nullptr) return;
  thread_->join();
  delete thread_;
  thread_ = nullptr;
}
