// The byte and bit layer under the decoder: the streams, the two bit readers,
// signed numbers, copies of the combined source-and-output space and the file
// checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "messages/messages.h"
#include "platform/file.h"
#include "state/run_state.h"

namespace tw {

// Counters of the engine, reset for every version decoded.
struct EngineCounters {
  int64_t SourceSize = 0;  // boundary of the combined space
  int64_t AddressRange = 0;
  int64_t NumbersLeft = 0;
  int64_t OutputEnd = 0;     // bytes of output; they are only ever appended
  int64_t BlockLength = 0;   // of them, how many wait in the output block
  int64_t OutputLimit = -1;  // OutputEnd may not pass this; -1: no bound
  // Checksum register of the output written to OutputFile, skipping
  // OutputExcluded; once the block is flushed it equals the file's checksum.
  uint32_t OutputCrc = 0xFFFFFFFFu;
  ExcludedRegion OutputExcluded;
  uint8_t ModeBits = 0;
  int ModeBitCount = 0;
  uint8_t SignBits = 0;
  int SignBitCount = 0;
  // Stream i is read from [StreamNext[i], StreamEnd[i]) in memory, then
  // StreamLeft[i] more bytes of the body copy from StreamPos[i] on, a window
  // at a time. StreamsInMemory is false while no version's streams are set.
  bool StreamsInMemory = false;
  const unsigned char* StreamNext[kStreamCount] = {};
  const unsigned char* StreamEnd[kStreamCount] = {};
  int64_t StreamPos[kStreamCount] = {};
  int64_t StreamLeft[kStreamCount] = {};
};
extern EngineCounters g_engine;

constexpr int64_t kStreamWindow = 64 * 1024;
// A version whose streams together fit in the windows' room has them read
// into memory at once; larger ones are read from the body copy through a
// window each, so memory stays fixed. Holding larger streams whole costs
// more than reading them a window at a time: each page of memory touched
// for the first time is a fault, and those come to more than the reads.
constexpr int64_t kStreamMemoryBudget = kStreamCount * kStreamWindow;
// What the source may keep in memory of its blocks.
constexpr int64_t kSourceBlockBudget = 4 << 20;
// The budget in force; tests change it to reach either way.
extern int64_t g_stream_memory_budget;
// Sets up the five streams of the given lengths, which start at the body's
// current position, points g_engine at them and leaves the body's position
// after them. Raises message 0 when the body ends inside them.
void LoadStreams(const int32_t (&length)[kStreamCount]);
// Returns their memory; no stream is set afterwards.
void ReleaseStreamMemory();
// Brings at least n <= kStreamWindow bytes of stream i into its window; false
// when the stream has fewer left or the body copy fails.
bool RefillStream(int i, int64_t n);

// The next n <= kStreamWindow bytes of stream i, read in place: valid until
// the next read of that stream. nullptr when it has fewer left (or the body
// copy fails).
inline const unsigned char* StreamBytes(int i, int64_t n) {
  if (!g_engine.StreamsInMemory || n < 0) return nullptr;
  if (n > g_engine.StreamEnd[i] - g_engine.StreamNext[i] && !RefillStream(i, n)) return nullptr;
  const unsigned char* p = g_engine.StreamNext[i];
  g_engine.StreamNext[i] += n;
  return p;
}
// The same, copied to dst; false when the stream has fewer left.
inline bool ReadStream(int i, unsigned char* dst, int64_t n) {
  const unsigned char* p = StreamBytes(i, n);
  if (p == nullptr) return false;
  if (n > 0) std::memcpy(dst, p, static_cast<size_t>(n));
  return true;
}

int ModeBitReader();
int SignBitReader();

// The next bit of a bit stream, lowest first in each byte.
inline int NextBitInMemory(int stream, uint8_t* byte, int* counter) {
  if (*counter == 0) {
    if (g_engine.StreamNext[stream] == g_engine.StreamEnd[stream] && !RefillStream(stream, 1)) {
      RaisePatchDamaged();
    }
    *byte = *g_engine.StreamNext[stream]++;
  }
  int bit = (*byte >> *counter) & 1;
  *counter = (*counter + 1) & 7;
  return bit;
}

// A sign bit and a magnitude of 1 to 4 bytes, as wide as AddressRange allows.
// Read for every instruction: worth its place in each caller.
[[gnu::always_inline]] inline int32_t ReadNumber() {
  // Every way of running out is message 0, so the first one raises it.
  const unsigned char*& next = g_engine.StreamNext[kNumberStream];
  auto next_byte = [&]() -> int64_t {
    --g_engine.NumbersLeft;
    if (next == g_engine.StreamEnd[kNumberStream] && !RefillStream(kNumberStream, 1)) {
      RaisePatchDamaged();
    }
    return *next++;
  };
  const int64_t range = g_engine.AddressRange;
  int sign = NextBitInMemory(kSignBitStream, &g_engine.SignBits, &g_engine.SignBitCount);
  int64_t magnitude = next_byte();
  if (range > 255 && NextBitInMemory(kSignBitStream, &g_engine.SignBits, &g_engine.SignBitCount)) {
    magnitude = (magnitude << 8) | next_byte();
    if (range > 65535 &&
        NextBitInMemory(kModeBitStream, &g_engine.ModeBits, &g_engine.ModeBitCount)) {
      magnitude = (magnitude << 8) | next_byte();
      if (range > 16777215 &&
          NextBitInMemory(kModeBitStream, &g_engine.ModeBits, &g_engine.ModeBitCount)) {
        magnitude = (magnitude << 8) | next_byte();
      }
    }
  }
  // The magnitude lives in 32 bits: four bytes above 0x7F wrap, as they
  // always have for this format.
  auto value = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
  return sign ? static_cast<int32_t>(0u - static_cast<uint32_t>(value)) : value;
}
// Output is gathered in a block of kOutputBlock bytes and goes to OutputFile,
// and into OutputCrc, a block at a time: per piece, both cost far more than
// the piece itself. OutputEnd counts the bytes gathered too. A block this
// large goes to the system straight from here, not through the file's own
// buffer, which keeps only its tail for reads just behind.
// A full block is passed on to g_run.OutputWriter, which folds and writes it
// while the next one is gathered in the other block; until then OutputCrc
// and OutputFile are the writer's, and the block passed on stays readable.
constexpr int64_t kOutputBlock = 1024 * 1024;
// Starts a new output at offset 0 with nothing gathered.
void ResetOutput();
// Passes the block on and starts the other; false when a write of an
// earlier block failed.
bool PassBlockOn();
// Writes out what is gathered, once the block passed on is written; false
// when either write fails. Due before OutputFile is closed.
bool FlushOutput();
// True once a write of output has failed; waits for the writer to know.
bool OutputWriteFailed();
// Output bytes [OutputEnd - BlockLength, OutputEnd), not yet written to
// OutputFile nor folded into OutputCrc.
extern unsigned char* g_block;
inline int64_t BlockStart() { return g_engine.OutputEnd - g_engine.BlockLength; }
// Room for n <= kOutputBlock more bytes at the end of the block, passing a
// full block on first; nullptr when a write has failed. What is put there
// counts as output once Appended(n) says so.
inline unsigned char* OutputSpace(int64_t n) {
  if (n > kOutputBlock - g_engine.BlockLength && !PassBlockOn()) return nullptr;
  return g_block + g_engine.BlockLength;
}
inline void Appended(int64_t n) {
  g_engine.BlockLength += n;
  g_engine.OutputEnd += n;
}
// Reads output bytes [pos, pos + n); false unless all of them were written.
bool ReadOutput(int64_t pos, unsigned char* dst, int64_t n);
// Appends [p, p + n) of the combined space to the output.
bool CopyRange(int64_t p, int64_t n);

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
