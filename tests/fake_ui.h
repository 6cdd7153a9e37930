// A recording stand-in for the window, for the unit tests.
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace tw {

struct FakeBox {
  bool owned;
  std::string text;
  std::string caption;
  unsigned type;
};

struct FakeUi {
  std::vector<std::string> list;  // the progress list's entries
  std::vector<FakeBox> boxes;
  std::deque<int> answers;  // answers for the next boxes; empty = No / OK
  std::vector<std::string> descriptions;
  std::vector<std::string> target_texts;
  int top_index = -1;
  bool locked = false;
  bool destroyed = false;
  int pumps = 0;
  // Runs at a pump, to act as the user would while work goes on.
  void (*on_pump)() = nullptr;
};

extern FakeUi g_fake;

}  // namespace tw
