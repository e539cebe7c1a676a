// Splitting the encoder's per-pixel passes over threads. Every piece is work on rows that no
// other piece touches; nothing in a piece can raise a libjpeg error, so no long jump ever
// leaves a thread.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "jpegglue/jpegglue.h"
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

bool jh_told(jpeghdr_compress_struct* jh, float done) {
  return jh->progress == nullptr || jh->progress(jh->progress_data, done);
}

void jh_tell(jpeghdr_compress_struct* jh, float done) {
  if (!jh_told(jh, done)) jh_error(reinterpret_cast<j_common_ptr>(&jh->cinfo), JGLUE_STOPPED);
}

namespace {

// Units first .. of a told step, as fn sees them: whole-range numbers.
struct Step {
  JHBandFunc fn;
  void* ctx;
  int first;
};

void stepBand(void* ctx, int y0, int y1, int part) {
  const Step* s = static_cast<const Step*>(ctx);
  s->fn(s->ctx, s->first + y0, s->first + y1, part);
}

}  // namespace

bool jh_told_bands(jpeghdr_compress_struct* jh, int parts, int h, int64_t unitPixels, JHBandFunc fn,
                   void* ctx, float from, float to) {
  if (jh == nullptr || jh->progress == nullptr) {
    jh_parallel_bands(parts, h, fn, ctx);
    return true;
  }
  const int64_t per = unitPixels > 0 ? unitPixels : 1;
  const int step =
      static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(h, JH_STEP_PIXELS / per)));
  for (int y0 = 0; y0 < h; y0 += step) {
    const int n = std::min(step, h - y0);
    Step s{fn, ctx, y0};
    jh_parallel_bands(parts, n, stepBand, &s);
    if (!jh_told(jh, from + (to - from) * static_cast<float>(y0 + n) / static_cast<float>(h)))
      return false;
  }
  return true;
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
