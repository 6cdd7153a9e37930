#include "state/run_state.h"

namespace tw {

RunState g_run;

}  // namespace tw
