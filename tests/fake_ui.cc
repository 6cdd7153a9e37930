#include "tests/fake_ui.h"

#include "state/run_state.h"
#include "state/front_end.h"

namespace tw {

FakeUi g_fake;

void PumpPendingMessages() {
  ++g_fake.pumps;
  if (g_fake.on_pump) g_fake.on_pump();
}
void ShowTargetText(const std::string& text) {
  g_fake.target_texts.push_back(text.size() >= 2 && text.compare(0, 2, ".\\") == 0 ? text.substr(2)
                                                                                   : text);
  PumpPendingMessages();
}
void ShowDescription(const char* text) { g_fake.descriptions.push_back(text); }
void ProgressAdd(const std::string& line) { g_fake.list.push_back(line); }
void ProgressDelete(int index) {
  if (index >= 0 && index < static_cast<int>(g_fake.list.size())) {
    g_fake.list.erase(g_fake.list.begin() + index);
  }
}
void ProgressSetTop(int index) { g_fake.top_index = index; }
void ProgressReset() { g_fake.list.clear(); }
int ShowMessageBox(bool owned, const std::string& text, const std::string& caption,
                   unsigned type) {
  g_fake.boxes.push_back({owned, text, caption, type});
  int answer = kAnswerOk;
  if ((type & 0x0f) == kBoxYesNo) answer = kAnswerNo;
  if (!g_fake.answers.empty()) {
    answer = g_fake.answers.front();
    g_fake.answers.pop_front();
  }
  return answer;
}
bool CreateMainWindow() { return true; }
void ShowMainWindow() {}
void UnregisterMainWindowClass() {}
void SetBusyState(uint8_t state) { g_run.BusyState = state; }
void LockAfterSuccess() { g_fake.locked = true; }
void DestroyMainWindow() { g_fake.destroyed = true; }
int RunMessageLoop() { return 0; }

}  // namespace tw
