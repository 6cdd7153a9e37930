// The window hooks for tools that use the core without any window: nothing is
// shown, no question is asked (every answer is No).
#include "state/run_state.h"
#include "state/front_end.h"

namespace tw {

void PumpPendingMessages() {}
void ShowTargetText(const std::string&) {}
void ShowDescription(const char*) {}
void ProgressAdd(const std::string&) {}
void ProgressDelete(int) {}
void ProgressSetTop(int) {}
void ProgressReset() {}
int ShowMessageBox(bool, const std::string&, const std::string&, unsigned type) {
  return (type & 0x0f) == kBoxYesNo ? kAnswerNo : kAnswerOk;
}
bool CreateMainWindow() { return true; }
void ShowMainWindow() {}
void UnregisterMainWindowClass() {}
void SetBusyState(uint8_t state) { g_run.BusyState = state; }
void LockAfterSuccess() {}
void DestroyMainWindow() {}
int RunMessageLoop() { return 0; }

}  // namespace tw
