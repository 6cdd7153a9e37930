// Rebuilds a new file from a source file and one source version's streams.
#pragma once

#include <cstdint>
#include <string>

#include "state/run_state.h"

namespace tw {

struct OutputChecksum {
  uint32_t value = 0;
  bool complete = false;
};

struct DecodeRequest {
  const SourceVersion* version = nullptr;
  int64_t body_position = 0;  // where the version's first stream starts
  std::string source_path;
  bool verify_source = false;   // check size and checksum before decoding
  bool source_optional = false; // a missing source gives false, not message 5
  int64_t new_size = 0;         // only sets the width of numbers
  // Output growing past this many bytes raises message 0: a few stream bytes
  // can otherwise ask for gigabytes. -1 sets no bound.
  int64_t max_output = -1;
  ExcludedRegion source_excluded;
  // The source's checksum (with source_excluded skipped) when the caller has
  // just read the same file; spares reading it a second time.
  bool source_crc_known = false;
  uint32_t source_crc = 0;
  // When given, receives the checksum of the output, output_excluded skipped,
  // as it was written: the caller need not read the output back to check it.
  OutputChecksum* output_checksum = nullptr;
  ExcludedRegion output_excluded;
};

// True with *output_path naming the finished temp file; false (nothing
// created) when the source is missing and optional, or does not match.
// Every other failure raises its message.
bool DecodeVersion(const DecodeRequest& request, std::string* output_path);

}  // namespace tw
