// The differ of the patch maker: finds how a new file is made of an old one
// and writes that as one source version's streams.
#pragma once

#include <cstdint>
#include <functional>

#include "delta/patch_writer.h"
#include "state/run_state.h"

namespace tw {

struct DiffOptions {
  // 0 is fastest; each step up searches harder and tries more stream layouts.
  int effort = 2;
  // Told now and then (a few hundred times a file at most) how much of the
  // work is done, from 0 to 1, never less than it was told before. Calls
  // come from one thread at a time, though not always the caller's. Large
  // files take seconds; this lets the author see that something happens.
  std::function<void(double done)> progress;
  // Files larger than this are sorted, searched and coded in pieces, two at
  // once: nearly twice as fast on two cores, for a few bytes more at each
  // seam. The patch depends on it, not on the machine's cores.
  int64_t split_above = int64_t{1} << 23;
};

// The smallest version block the differ finds that rebuilds new_data from
// old_data: the record (SourceCrc over old_data without source_excluded,
// SourceSize, FixupPeriod, VersionFlags, InsertBlockSize; StreamLength is
// left to the writer) and the five streams. The result has been decoded in
// memory and compared with new_data; a failure there throws std::logic_error,
// since it can only be a fault of the differ.
VersionBlock MakeVersion(const Bytes& old_data, const Bytes& new_data,
                         ExcludedRegion source_excluded = {}, const DiffOptions& options = {});

// The same for files too large to hold three times over: the old file is
// indexed first (its sort takes four bytes per byte for a while), and only
// then is load_new called for the new data, which must stay valid until
// MakeVersion returns.
VersionBlock MakeVersion(const Bytes& old_data, const std::function<const Bytes&()>& load_new,
                         ExcludedRegion source_excluded = {}, const DiffOptions& options = {});

}  // namespace tw
