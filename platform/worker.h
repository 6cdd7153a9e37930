// A second thread for one piece of work at a time, beside the caller's own:
// a block of output is checked and written while the next one is decoded.
// The thread starts with the first piece of work and ends at Finish(), so
// that none outlives the job it serves (a process forked later has no
// thread it would wait for). Only the thread that starts the work waits for
// it; the work itself must not raise.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tw {

class Worker {
 public:
  Worker() = default;
  ~Worker() { Finish(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Waits for the work before, then runs fn(arg) on the second thread, or
  // here and now when no thread can be had.
  void Start(void (*fn)(void*), void* arg);
  // Returns once no work is running; everything the work wrote is then seen.
  void Wait();
  // Waits, then ends the thread.
  void Finish();

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  void (*fn_)(void*) = nullptr;
  void* arg_ = nullptr;
  bool busy_ = false;
  bool quit_ = false;
};

}  // namespace tw
