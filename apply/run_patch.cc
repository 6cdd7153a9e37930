#include "apply/run_patch.h"

#include "container/body.h"
#include "container/patch_loader.h"

namespace tw {

void RunPatch() {
  InitTempFolder();
  LoadPatch();
}

}  // namespace tw
