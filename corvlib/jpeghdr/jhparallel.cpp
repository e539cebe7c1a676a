// Splitting the encoder's per-pixel passes over threads. Every piece is work on rows that no
// other piece touches; nothing in a piece can raise a libjpeg error, so no long jump ever
// leaves a thread.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "jpeghdr/jhprivate.h"

int jh_thread_count(const jpeghdr_compress_struct* jh) {
  const int n = jh->threads;
  return n < 1 ? 1 : (n > JH_MAX_THREADS ? JH_MAX_THREADS : n);
}

namespace {

// The rows of one call, handed out in small pieces: a thread that runs slower (its processor
// shared with other work) takes fewer of them.
struct Pieces {
  JHBandFunc fn;
  void* ctx;
  int h, size, count;
  std::atomic<int> next{0};
};

void takePieces(Pieces* ps, int part) {
  for (int k; (k = ps->next.fetch_add(1, std::memory_order_relaxed)) < ps->count;) {
    const int y0 = k * ps->size;
    ps->fn(ps->ctx, y0, std::min(ps->h, y0 + ps->size), part);
  }
}

}  // namespace

void jh_parallel_bands(int parts, int h, JHBandFunc fn, void* ctx) {
  if (parts > h) parts = h;
  if (parts <= 1) {
    if (h > 0) fn(ctx, 0, h, 0);
    return;
  }
  Pieces ps;
  ps.fn = fn;
  ps.ctx = ctx;
  ps.h = h;
  ps.size = std::max(1, h / (8 * parts));
  ps.count = (h + ps.size - 1) / ps.size;
  std::vector<std::thread> pool;
  pool.reserve(static_cast<size_t>(parts - 1));
  try {
    for (int p = 1; p < parts; p++) pool.emplace_back(takePieces, &ps, p);
  } catch (...) {
    // No more threads (or memory for one) to be had: those started and this one do the rest.
  }
  takePieces(&ps, 0);
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
