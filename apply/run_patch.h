// One complete run: reload the patch, settle the target, test, apply.
#pragma once

namespace tw {

void RunPatch();

}  // namespace tw
