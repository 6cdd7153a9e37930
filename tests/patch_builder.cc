#include "tests/patch_builder.h"

#include <algorithm>
#include <stdexcept>

#include "delta/streams.h"

namespace tw {

Bytes BytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

VersionBlock MakeVersionBlock(const Bytes& old_data, const Bytes& new_data,
                              const std::string& version_name, ExcludedRegion source_excluded) {
  size_t head = 0;
  while (head < old_data.size() && head < new_data.size() && old_data[head] == new_data[head]) {
    ++head;
  }
  size_t tail = 0;
  while (tail < old_data.size() - head && tail < new_data.size() - head &&
         old_data[old_data.size() - 1 - tail] == new_data[new_data.size() - 1 - tail]) {
    ++tail;
  }
  VersionBlock block;
  block.VersionName = version_name;
  block.Excluded = source_excluded;
  SourceVersion& v = block.Record;
  v.SourceSize = static_cast<int32_t>(old_data.size());
  v.SourceCrc = ChecksumBytes(old_data.data(), old_data.size(), source_excluded.offset,
                              source_excluded.length);
  v.FixupPeriod = 0;  // one count byte (0) at the first copy serves them all
  v.VersionFlags = kVersionRangeIsSum;
  v.InsertBlockSize = 200;
  std::vector<DeltaOp> program;
  int64_t cursor = 0;
  if (head > 0) {
    program.push_back(CopyOp(static_cast<int32_t>(head), 0));
    cursor = static_cast<int64_t>(head);
  }
  Bytes middle(new_data.begin() + static_cast<long>(head), new_data.end() - static_cast<long>(tail));
  if (!middle.empty()) program.push_back(StoredInsertOp(middle, v.InsertBlockSize));
  if (tail > 0) {
    int64_t from = static_cast<int64_t>(old_data.size() - tail);
    program.push_back(CopyOp(static_cast<int32_t>(tail), static_cast<int32_t>(from - cursor)));
  }
  std::string error;
  if (!EncodeProgram(v, static_cast<int64_t>(new_data.size()), program, &block.Streams, &error)) {
    throw std::runtime_error("cannot encode test program: " + error);
  }
  return block;
}

PatchedEntry MakePatchedEntry(const std::string& name, const std::vector<Bytes>& olds,
                              const Bytes& new_data, uint32_t time) {
  PatchedEntry e;
  e.EntryName = name;
  e.NewSize = static_cast<int32_t>(new_data.size());
  e.NewCrc = ChecksumBytes(new_data.data(), new_data.size());
  e.NewFileTime = time;
  for (size_t k = 0; k < olds.size(); ++k) {
    const Bytes& next = k + 1 < olds.size() ? olds[k + 1] : new_data;
    e.Versions.push_back(MakeVersionBlock(olds[k], next));
  }
  return e;
}

}  // namespace tw
