// The byte and bit layer under the decoder: the two bit readers, signed
// numbers, copies of the combined source-and-output space, stream extraction
// and the file checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "state/run_state.h"

namespace tw {

// Counters of the engine, reset for every version decoded.
struct EngineCounters {
  int64_t SourceSize = 0;  // boundary of the combined space
  int64_t AddressRange = 0;
  int64_t NumbersLeft = 0;
  int64_t OutputEnd = 0;  // bytes written to OutputFile; writes always append
  int64_t OutputLimit = -1;  // OutputEnd may not pass this; -1: no bound
  // Checksum register of the output as it is written, skipping OutputExcluded;
  // the output is only ever appended to, so this equals the file's checksum.
  uint32_t OutputCrc = 0xFFFFFFFFu;
  ExcludedRegion OutputExcluded;
  uint8_t ModeBits = 0;
  int ModeBitCount = 0;
  uint8_t SignBits = 0;
  int SignBitCount = 0;
};
extern EngineCounters g_engine;

int ModeBitReader();
int SignBitReader();
// A sign bit and a magnitude of 1 to 4 bytes, as wide as AddressRange allows.
int32_t ReadNumber();
// Accounts for n bytes just appended to OutputFile: moves OutputEnd and folds
// them into OutputCrc.
void NoteOutput(const unsigned char* data, int64_t n);
// Appends [p, p + n) of the combined space to OutputFile.
bool CopyRange(int64_t p, int64_t n);
// Copies n bytes at the body's current position into a new file at path,
// reopened for reading; false when the file cannot be created or written.
bool ExtractStream(int64_t n, File& file, const std::string& path);

// Checksum register arithmetic: the reflected CRC-32 table, no final inversion.
uint32_t ChecksumUpdate(uint32_t reg, const void* data, size_t n);
// A piece that cannot be read in full clears *complete (when given): the
// value is then no checksum of the file, and ChecksumMatches never accepts it.
uint32_t ChecksumRange(File& file, int64_t start, int64_t end, uint32_t reg,
                       bool* complete = nullptr);
uint32_t ChecksumFile(File& file, int64_t offset, int64_t length, bool* complete = nullptr);
bool ChecksumMatches(File& file, const ExcludedRegion& region, uint32_t expected);
// The comparison itself, for a checksum computed some other way.
bool ChecksumAccepts(uint32_t value, bool complete, uint32_t expected);
// The checksum of bytes in memory, with the same excluded-region rule.
uint32_t ChecksumBytes(const void* data, size_t n, int64_t offset = 0, int64_t length = 0);

}  // namespace tw
