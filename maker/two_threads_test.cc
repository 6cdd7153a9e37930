#include "maker/two_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tw {
namespace {

// Every task runs once, never more than two at a time, however many there
// are; a task that throws comes back to the caller once the other thread
// has stopped, and the tasks not yet begun are left alone.
TEST(TwoThreadsTest, EachTaskOnceAndAFailureComesBack) {
  for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{7}}) {
    std::vector<std::atomic<int>> runs(count);
    std::atomic<int> inside{0}, most{0};
    RunOnTwoThreads(count, [&](size_t i) {
      const int now = ++inside;
      for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ++runs[i];
      --inside;
    });
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i], 1) << count << " tasks, task " << i;
    EXPECT_LE(most, 2) << count;
  }
  std::atomic<int> started{0}, running{0};
  EXPECT_THROW(RunOnTwoThreads(50,
                               [&](size_t i) {
                                 ++started;
                                 ++running;
                                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                 --running;
                                 if (i == 3) throw std::runtime_error("task 3");
                               }),
               std::runtime_error);
  EXPECT_EQ(running, 0);
  EXPECT_LT(started, 10);
}

}  // namespace
}  // namespace tw
