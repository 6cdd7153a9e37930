#include "state/run_state.h"

namespace tw {

RunState g_run;

RunState::~RunState() {
  // A lock outliving its state would keep the next run (or test) out.
  int err = 0;
  if (StagedRecord != kNoOsFile) OsClose(StagedRecord, &err);
  if (WorkFolderLock != kNoOsFile) OsClose(WorkFolderLock, &err);
  if (TargetLock != kNoOsFile) OsClose(TargetLock, &err);
}

}  // namespace tw
