#include "platform/worker.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tw {
namespace {

struct Step {
  std::vector<int>* seen;
  int value;
  std::thread::id ran_on;
};

void Note(void* arg) {
  auto* step = static_cast<Step*>(arg);
  step->seen->push_back(step->value);
  step->ran_on = std::this_thread::get_id();
}

// Each piece of work runs after the one before, on another thread, and all
// of it is seen once Wait returns; a worker that was finished starts again
// (each decode ends its writer's thread and the next starts one).
TEST(WorkerTest, WorkRunsInTurnBesideTheCallerAndCanStartAgain) {
  Worker worker;
  worker.Wait();  // nothing started: returns at once
  for (int round = 0; round < 3; ++round) {
    std::vector<int> seen;
    std::vector<Step> steps(200);
    std::vector<int> expected;
    for (int i = 0; i < 200; ++i) {
      steps[static_cast<size_t>(i)] = Step{&seen, i, {}};
      worker.Start(Note, &steps[static_cast<size_t>(i)]);
      expected.push_back(i);
    }
    worker.Wait();
    EXPECT_EQ(seen, expected) << round;
    EXPECT_NE(steps.back().ran_on, std::this_thread::get_id()) << round;
    worker.Finish();
  }
  worker.Finish();  // a second time does nothing
}

}  // namespace
}  // namespace tw
