// What the apply pass will need of the target, checked by the test pass so
// that a run that cannot finish stops before it changes anything: every file
// it stages, renames and backs up can be, and the volumes hold the new files.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

// Starts the checks of a test pass.
void PreflightBegin();
// The apply pass will stage new_bytes beside destination (the current
// entry's installed or included file) and rename them over it, moving the
// file there into the backup folder first when backed_up; from_temp names a
// verified temp result that it may move there instead of copying. Raises
// message (31 for what the backup needs) with the cause when the apply pass
// could not do so.
void PreflightEntry(const std::string& destination, int64_t new_bytes,
                    const std::string& from_temp, bool backed_up, int message);
// After the last entry: raises when a volume lacks room for what is staged on it.
void PreflightEnd();

}  // namespace tw
