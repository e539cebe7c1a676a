// Reading a large picture a slice at a time on the main thread. The library's picture reads
// call PworkSlice between slices (support/pwork.h); while a PSliceRead is in scope each slice
// (at most every kSliceSeconds of the platform clock, or the pace PsetWorkPace set) pumps the
// events that wait, so that the windows keep painting and answering.
//
// With a message the read is the user's own (opening a picture, saving one): once it has run
// kWorkProgressAfter seconds the Progress window shows the message and how far it has come,
// and its Stop ends the read. Without one the read is part of other work: it stops when that
// work's Stop is pressed (the work holds the busy guard), or at a quit; or it is idle work
// (a thumbnail), which only a quit stops. goOn, when given, is asked at every slice: false
// ends the read too (what it was for has gone).
#pragma once

class PSliceRead {
 public:
  explicit PSliceRead(const char* msg, bool (*goOn)(void*) = nullptr, void* data = nullptr);
  ~PSliceRead();
  PSliceRead(const PSliceRead&) = delete;
  PSliceRead& operator=(const PSliceRead&) = delete;

  // The read was ended by a Stop, a quit or goOn.
  bool Stopped() const { return stopped_; }

 private:
  static bool Hook(double done);
  // One slice: pumps (when pump) and asks every condition, the outer reads' too.
  bool Slice(double done, bool pump);

  char msg_[160];
  bool own_;  // shows its own Progress window
  bool (*goOn_)(void*);
  void* data_;
  double start_;
  double lastPump_ = -1;
  bool shown_ = false;
  bool stopped_ = false;
  bool (*prevHook_)(double);
  PSliceRead* outer_;
};

// While one is in scope, the reads inside a longer work that shows its Progress window move
// its bar from `from` to `to` percent as they go (the part of one picture in an export or a
// print of several).
class PSliceSpan {
 public:
  PSliceSpan(int from, int to);
  ~PSliceSpan();
  PSliceSpan(const PSliceSpan&) = delete;
  PSliceSpan& operator=(const PSliceSpan&) = delete;

 private:
  int from_, to_;
};
