// Work split in tasks that may run side by side: the maker has two cores
// to use on most machines.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tw {

// Runs the tasks on two threads where there are two, each task once.
// A task that throws (memory runs out) stops the others from taking more,
// and the first exception is thrown again here.
template <typename Task>
void RunOnTwoThreads(size_t count, const Task& task) {
  std::atomic<size_t> next{0};
  std::exception_ptr error;
  std::mutex mutex;
  auto work = [&] {
    for (size_t i; (i = next++) < count;) {
      try {
        task(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) error = std::current_exception();
        next = count;
      }
    }
  };
  const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  const size_t threads = std::min<size_t>({count, 2, hardware});
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no thread to be had: the caller's does it all
    }
  }
  work();
  for (std::thread& t : helpers) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace tw
