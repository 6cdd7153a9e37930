// Builds small real patches for the application tests: each version is a
// plain program (copy the common head, insert the middle, copy the common
// tail), enough to rebuild any file from any other.
#pragma once

#include <string>
#include <vector>

#include "delta/patch_writer.h"

namespace tw {

// One source version turning old_data into new_data.
VersionBlock MakeVersionBlock(const Bytes& old_data, const Bytes& new_data,
                              const std::string& version_name = "",
                              ExcludedRegion source_excluded = {});

// A patched entry whose versions start from each of olds (oldest first) and
// chain to new_data: version k turns olds[k] into olds[k + 1].
PatchedEntry MakePatchedEntry(const std::string& name, const std::vector<Bytes>& olds,
                              const Bytes& new_data, uint32_t time = 0x28762980);

Bytes BytesOf(const std::string& s);

}  // namespace tw
