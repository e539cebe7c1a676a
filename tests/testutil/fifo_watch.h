// A FIFO that the code under test must not wait on: should a reader still wait on it after a
// bound (half a minute, far beyond a call that does not wait), a writer opens it to end the
// wait, and so every wait that follows until the call returns; Waited() says so. The test's
// verdict is whether a reader waited, not how long. The path is read only then, so it may be
// learnt while the call runs.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace testutil {

class FifoWatch {
 public:
  explicit FifoWatch(const std::string& path)
      : path_(path), thread_([this, done = done_.get_future()] {
          if (done.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return;
          do {
            const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            waited_ = true;  // only a waiting reader lets a writer open it at once
            close(fd);
          } while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready);
        }) {}
  ~FifoWatch() { Done(); }
  FifoWatch(const FifoWatch&) = delete;
  FifoWatch& operator=(const FifoWatch&) = delete;

  // The call under test has returned; true when a reader waited on the FIFO.
  bool Waited() {
    Done();
    return waited_;
  }

 private:
  void Done() {
    if (!thread_.joinable()) return;
    done_.set_value();
    thread_.join();
  }
  const std::string& path_;
  std::promise<void> done_;
  bool waited_ = false;
  std::thread thread_;
};

}  // namespace testutil
