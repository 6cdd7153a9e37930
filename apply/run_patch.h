// One complete run: reload the patch, settle the target, test, apply.
#pragma once

#include <string>

namespace tw {

// Returns normally when the patch was applied (or everything was already up
// to date); otherwise raises the message that ended the run.
void RunPatch();
// Proposes folder (ending in "\") and, in order, its entries to a quiet test
// pass and asks about the first that fits. True when the user accepted one;
// it is then in TargetPath and TargetBase.
bool SearchTarget(std::string folder, int depth);

}  // namespace tw
