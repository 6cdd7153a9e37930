// What the core asks of the program around it: the window of tarnwell.exe,
// the console of tarnwell, a window-less stand-in for tools, a recording fake
// in tests. The core calls these; each front-end in ui/ provides them.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

// Message box types and answers, with the Windows values.
constexpr unsigned kBoxOk = 0x00;
constexpr unsigned kBoxYesNo = 0x04;
constexpr unsigned kBoxIconQuestion = 0x20;
constexpr int kAnswerOk = 1;
constexpr int kAnswerCancel = 2;
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

// Dispatches the window messages already waiting; never waits.
void PumpPendingMessages();
// Text of the target box; a leading ".\" is not shown. Pumps messages.
void ShowTargetText(const std::string& text);
// The converted description, up to its zero byte; byte 1 is a line break.
void ShowDescription(const char* text);

// The progress list.
void ProgressAdd(const std::string& line);
void ProgressDelete(int index);
void ProgressSetTop(int index);
void ProgressReset();

// A message box owned by the main window (owned = true) or by nobody.
int ShowMessageBox(bool owned, const std::string& text, const std::string& caption,
                   unsigned type);

// Window life and state, used by start-up and by StartRun.
bool CreateMainWindow();
void ShowMainWindow();
void UnregisterMainWindowClass();
void SetBusyState(uint8_t state);
// After a successful run only the exit button stays usable.
void LockAfterSuccess();
void DestroyMainWindow();
// Runs until the window is gone; returns the process exit code.
int RunMessageLoop();

}  // namespace tw
