// One pass over the patch's entries: test (decode and verify only) or apply.
#pragma once

namespace tw {

// True when every entry was usable, already updated, or optional without a
// source; false when the pass stopped early. quiet logs nothing and turns a
// wrong result checksum into false instead of message 11.
bool ApplyEntries(bool test, bool quiet);

}  // namespace tw
