#include "platform/worker.h"

#include <system_error>

namespace tw {

void Worker::Start(void (*fn)(void*), void* arg) {
  Wait();
  if (!thread_.joinable()) {
    quit_ = false;
    try {
      thread_ = std::thread([this] { Loop(); });
    } catch (const std::system_error&) {
      fn(arg);  // no second thread: the work is done all the same
      return;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fn_ = fn;
    arg_ = arg;
    busy_ = true;
  }
  changed_.notify_all();
}

void Worker::Wait() {
  if (!thread_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
}

void Worker::Finish() {
  if (!thread_.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Worker::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || quit_; });
    if (busy_) {
      lock.unlock();
      fn_(arg_);
      lock.lock();
      busy_ = false;
      changed_.notify_all();
    } else {
      return;
    }
  }
}

}  // namespace tw
