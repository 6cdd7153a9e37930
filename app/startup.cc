#include "app/startup.h"

#include <cstdlib>
#include <cstring>

#include "apply/file_ops.h"
#include "apply/run_patch.h"
#include "container/body.h"
#include "container/patch_loader.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "state/front_end.h"

namespace tw {

void DetectSelfContained() {
  g_run.SelfContained = false;
  std::string own = OsModulePath();
  File self;
  if (own.empty() || !self.OpenRead(own)) {
    ClearIoError();
    return;
  }
  unsigned char magic[4];
  self.Seek(self.Size() - 4);
  bool read = self.Read(magic, 4);
  self.Close();
  ClearIoError();
  if (!read) return;
  uint32_t value = magic[0] | (magic[1] << 8) | (magic[2] << 16) |
                   (static_cast<uint32_t>(magic[3]) << 24);
  if (value == kPatchMagic) {
    g_run.PatchFilePath = own;
    g_run.SelfContained = true;
  }
}

bool ParseCommandLine(const std::string& command_line) {
  g_run.TargetPath = ".";
  int position = g_run.SelfContained ? 1 : 0;
  bool in_quotes = false;
  std::string token;
  std::string text = command_line + " ";
  for (char c : text) {
    if (c == '"') {
      in_quotes = !in_quotes;
    } else if (c == ' ' && !in_quotes) {
      if (token.empty()) continue;
      if (token == "-h") return false;
      if (position == 1 && !g_run.SelfContained) {
        g_run.PatchFilePath = token;
      } else if (position == 2) {
        g_run.TargetPath = token;
      } else if (position >= 3) {
        return false;
      }
      ++position;
      token.clear();
    } else {
      token += c;
    }
  }
  g_run.TargetBase = g_run.TargetPath;
  return !g_run.PatchFilePath.empty();
}

void ShowUsageAndExit() {
  ShowMessageBox(false, MessageText(kMsgUsage), NativeText(kUsageCaption), kBoxOk);
  std::exit(1);
}

bool LoadPatchAtStartup() {
  try {
    LoadPatch();
  } catch (const PatchError& e) {
    ShowMessageBox(true, e.text() + " ", NativeText(kLoadErrorCaption), kBoxOk);
    return false;
  }
  return true;
}

void StartRun() {
  if (g_run.TargetPath.empty()) g_run.TargetPath = ".\\";
  try {
    SetBusyState(2);
    ProgressReset();
    g_run.LogLineCount = 0;
    g_run.ApplyPassBegun = g_run.Stopped = false;
    g_run.TargetBase = g_run.TargetPath;
    RunPatch();
    LockAfterSuccess();
  } catch (const PatchError& e) {
    ReportError(e.text());
  } catch (const RunStopped&) {
    g_run.Stopped = true;
  }
  // However the run ended, its temp files and its hold on the target go.
  ReleaseTarget();
  CloseWorkFolder();
  SetBusyState(0);
  if (g_run.ExitAfterStop) DestroyMainWindow();
}

int ProgramMain(const std::string& command_line) {
  DetectSelfContained();
  InitTempFolder();
  if (!ParseCommandLine(command_line)) ShowUsageAndExit();
  bool created = CreateMainWindow();
  if (!created || !LoadPatchAtStartup()) {
    UnregisterMainWindowClass();
    g_run.Carrier.Close();
    DeleteBodyCopy();
    CloseWorkFolder();
    return 255;
  }
  ShowMainWindow();
  g_run.SearchNeeded = true;
  StartRun();
  g_run.SearchNeeded = false;
  g_run.Carrier.Close();
  int code = RunMessageLoop();
  g_run.Carrier.Close();
  DeleteBodyCopy();
  CloseWorkFolder();
  return code;
}

}  // namespace tw
