#include "apply/run_patch.h"

#include "apply/apply_entries.h"
#include "container/body.h"
#include "container/patch_loader.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/names.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "state/front_end.h"

namespace tw {
namespace {

// Folders the patch fitted that the user turned down, in this run's search.
int g_declined = 0;

bool AskAbout() {
  if (AskUser(kMsgTargetFoundQuestion, NativeText(kQuestionCaption), kBoxYesNo)) return true;
  ++g_declined;
  return false;
}

void SettleTargetShape() {
  if (!g_run.MultiFileMode) {
    if (!OsFileExists(g_run.TargetPath)) g_run.SearchNeeded = true;
    return;
  }
  // A file chosen or named stands for its folder.
  if (OsFileExists(g_run.TargetPath) && g_run.TargetPath == g_run.TargetBase) {
    size_t cut = LastBackslash(g_run.TargetPath);
    g_run.TargetPath = cut == std::string::npos ? "." : g_run.TargetPath.substr(0, cut + 1);
    g_run.TargetBase = g_run.TargetPath;
  }
}

}  // namespace

// folder is taken by value: the search rewrites TargetPath, which callers
// pass in.
bool SearchTarget(std::string folder, int depth) {
  ShowTargetText(folder);
  if (depth == 0) {
    g_run.TargetPath = g_run.TargetBase = folder;
    if (ApplyEntries(true, true) && AskAbout()) return true;
  }
  std::vector<FolderEntry> entries;
  if (!OsListFolder(folder, &entries)) return false;
  for (const FolderEntry& entry : entries) {
    StopIfAsked();
    if (entry.name == "." || entry.name == "..") continue;
    g_run.TargetPath = g_run.TargetBase = folder + entry.name;
    bool candidate = g_run.MultiFileMode == entry.is_folder;
    if (candidate && ApplyEntries(true, true) && AskAbout()) return true;
  }
  return false;
}

void RunPatch() {
  g_run.ErrorCause.clear();
  g_declined = 0;
  InitTempFolder();
  LoadPatch();
  if (!g_run.RegistryKeyPath.empty()) {
    std::string folder;
    if (OsReadRegistryValue(g_run.RegistryKeyPath, g_run.RegistryValueName, &folder)) {
      g_run.TargetPath = folder;
    }
  }
  SettleTargetShape();
  if (g_run.CheckOnly) LogMessage(kMsgTestModeOn);
  LogMessage(kMsgCheckingTarget);
  if (g_run.SearchNeeded && (g_run.TargetPath == "." || !ApplyEntries(true, true))) {
    std::string remembered = g_run.TargetPath;
    if (!EndsWithBackslash(g_run.TargetPath)) g_run.TargetPath += '\\';
    if (!SearchTarget(g_run.TargetPath, 0)) {
      g_run.TargetPath = remembered;
      RaiseErrorBecause(kMsgNoTargetFound,
                        g_declined > 0
                            ? "answered No to every folder the patch fits"
                            : "no folder searched holds the installed version this patch updates");
    }
  }
  ShowTargetText(g_run.TargetPath);
  // The search judged its candidates quietly; a check still owes the list
  // of what each entry would become, so it tests the target found once more.
  if ((!g_run.SearchNeeded || g_run.CheckOnly) && !ApplyEntries(true, false)) {
    RaiseError(kMsgCannotUpdate);
  }
  if (g_run.CheckOnly) {
    LogMessage(kMsgCanApply);
    g_run.Carrier.Close();
    return;
  }
  LogMessage(kMsgTestPassed);
  StopIfAsked();
  g_run.ApplyPassBegun = true;
  // The test has just passed on the same entries, so a false here means a
  // source vanished or changed in between; that is no success.
  if (!ApplyEntries(false, false)) RaiseError(kMsgCannotUpdate);
  LogMessage(kMsgApplied);
  g_run.Carrier.Close();
}

}  // namespace tw
