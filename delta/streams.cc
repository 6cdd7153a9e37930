#include "delta/streams.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "container/body.h"
#include "messages/messages.h"
#include "state/run_state.h"

namespace tw {

EngineCounters g_engine;
int64_t g_stream_memory_budget = kStreamMemoryBudget;

namespace {

std::unique_ptr<unsigned char[]> g_stream_memory;

// Slicing-by-8 tables: eight bytes per step keep the checksum far from being
// the slow part of a run.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

CrcTables MakeTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
  }
  return t;
}

const CrcTables kCrc = MakeTables();

uint32_t ChecksumTable(uint32_t reg, const unsigned char* p, size_t n) {
  while (n >= 8) {
    uint32_t lo = reg ^ (p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
    uint32_t hi = p[4] | (p[5] << 8) | (p[6] << 16) | (static_cast<uint32_t>(p[7]) << 24);
    reg = kCrc[7][lo & 0xff] ^ kCrc[6][(lo >> 8) & 0xff] ^ kCrc[5][(lo >> 16) & 0xff] ^
          kCrc[4][lo >> 24] ^ kCrc[3][hi & 0xff] ^ kCrc[2][(hi >> 8) & 0xff] ^
          kCrc[1][(hi >> 16) & 0xff] ^ kCrc[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) reg = kCrc[0][(reg ^ *p++) & 0xff] ^ (reg >> 8);
  return reg;
}

#if defined(__x86_64__) || defined(__i386__)
#define TW_FOLDING __attribute__((target("pclmul,sse4.1")))

TW_FOLDING inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Carries x 512 bits (k1k2) or 128 bits (k3k4) further and adds next.
TW_FOLDING inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Carry-less multiplication folds 64 bytes per step, several times faster
// than any table; every x86 processor of the last decade has it. The
// constants are the reflected CRC-32 folding constants (x^n mod P for the
// fold distances) and the Barrett pair for the final reduction.
TW_FOLDING uint32_t ChecksumFolded(uint32_t reg, const unsigned char* buf, size_t len) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  __m128i x1 = _mm_xor_si128(Load(buf), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x2 = Load(buf + 16), x3 = Load(buf + 32), x4 = Load(buf + 48);
  buf += 64;
  len -= 64;
  while (len >= 64) {
    x1 = Fold(x1, k1k2, Load(buf));
    x2 = Fold(x2, k1k2, Load(buf + 16));
    x3 = Fold(x3, k1k2, Load(buf + 32));
    x4 = Fold(x4, k1k2, Load(buf + 48));
    buf += 64;
    len -= 64;
  }
  x1 = Fold(x1, k3k4, x2);
  x1 = Fold(x1, k3k4, x3);
  x1 = Fold(x1, k3k4, x4);
  while (len >= 16) {
    x1 = Fold(x1, k3k4, Load(buf));
    buf += 16;
    len -= 16;
  }
  // 128 bits to 64, then Barrett reduction to 32.
  __m128i x2b = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
  __m128i x2c = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask);
  x1 = _mm_clmulepi64_si128(x1, k5k0, 0x00);
  x1 = _mm_xor_si128(x1, x2c);
  __m128i t = _mm_and_si128(x1, mask);
  t = _mm_clmulepi64_si128(t, poly, 0x10);
  t = _mm_and_si128(t, mask);
  t = _mm_clmulepi64_si128(t, poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

const bool kHasFolding = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

}  // namespace

int ModeBitReader() {
  return NextBitInMemory(kModeBitStream, &g_engine.ModeBits, &g_engine.ModeBitCount);
}

int SignBitReader() {
  return NextBitInMemory(kSignBitStream, &g_engine.SignBits, &g_engine.SignBitCount);
}

void LoadStreams(const int32_t (&length)[kStreamCount]) {
  ReleaseStreamMemory();
  int64_t total = 0;
  for (int32_t n : length) total += std::max<int32_t>(n, 0);
  const int64_t start = g_run.BodyTempFile.Tell();
  const int64_t body_size = g_run.BodyTempFile.Size();
  ClearIoError();
  if (body_size < 0 || total > body_size - start) RaisePatchDamaged();
  const bool whole = total <= g_stream_memory_budget;
  g_stream_memory.reset(new unsigned char[static_cast<size_t>(
      whole ? std::max<int64_t>(total, 1) : kStreamCount * kStreamWindow)]);
  unsigned char* at = g_stream_memory.get();
  int64_t pos = start;
  for (int i = 0; i < kStreamCount; ++i) {
    const int64_t n = std::max<int32_t>(length[i], 0);
    if (whole) {
      if (n > 0) ReadBodyBytes(at, n);
      g_engine.StreamNext[i] = at;
      at += n;
      g_engine.StreamEnd[i] = at;
      g_engine.StreamLeft[i] = 0;
    } else {
      // Filled on first use: a stream the program never reaches costs nothing.
      g_engine.StreamNext[i] = g_engine.StreamEnd[i] = at + i * kStreamWindow;
      g_engine.StreamPos[i] = pos;
      g_engine.StreamLeft[i] = n;
    }
    pos += n;
  }
  // Whoever reads the body on finds it after the streams, as after reading them.
  g_run.BodyTempFile.Seek(pos);
  g_engine.StreamsInMemory = true;
}

bool RefillStream(int i, int64_t n) {
  int64_t have = g_engine.StreamEnd[i] - g_engine.StreamNext[i];
  if (n > kStreamWindow || n > have + g_engine.StreamLeft[i]) return false;
  unsigned char* window = g_stream_memory.get() + i * kStreamWindow;
  std::memmove(window, g_engine.StreamNext[i], static_cast<size_t>(have));
  int64_t more = std::min(kStreamWindow - have, g_engine.StreamLeft[i]);
  if (!g_run.BodyTempFile.ReadThrough(g_engine.StreamPos[i], window + have, more)) {
    ClearIoError();
    return false;
  }
  g_engine.StreamPos[i] += more;
  g_engine.StreamLeft[i] -= more;
  g_engine.StreamNext[i] = window;
  g_engine.StreamEnd[i] = window + have + more;
  return true;
}

void ReleaseStreamMemory() {
  g_engine.StreamsInMemory = false;
  for (int i = 0; i < kStreamCount; ++i) {
    g_engine.StreamNext[i] = g_engine.StreamEnd[i] = nullptr;
    g_engine.StreamLeft[i] = 0;
  }
  g_stream_memory.reset();
}

namespace {

// Output bytes [start, start + n) folded into reg, skipping `skip`.
uint32_t FoldOutput(uint32_t reg, const ExcludedRegion& skip, const unsigned char* data,
                    int64_t start, int64_t n) {
  const int64_t end = start + n;
  if (skip.length == 0) return ChecksumUpdate(reg, data, static_cast<size_t>(n));
  // Fold what lies before the region and what lies after it.
  const int64_t a = skip.offset, b = static_cast<int64_t>(skip.offset) + skip.length;
  int64_t head_end = std::min(end, a);
  if (head_end > start) reg = ChecksumUpdate(reg, data, static_cast<size_t>(head_end - start));
  int64_t tail_start = std::max(start, b);
  if (end > tail_start) {
    reg = ChecksumUpdate(reg, data + (tail_start - start), static_cast<size_t>(end - tail_start));
  }
  return reg;
}

alignas(64) unsigned char g_blocks[2][kOutputBlock];
bool g_block_ready[2];

// A block is filled from its first byte to its last, one fault per page
// unless the pages are asked for at once; the second block only once an
// output needs it.
unsigned char* ReadyBlock(int which) {
  if (!g_block_ready[which]) {
    OsPrepareMemory(g_blocks[which], kOutputBlock);
    g_block_ready[which] = true;
  }
  return g_blocks[which];
}

// The block passed on last, bytes [start, start + length) of the output.
struct PassedBlock {
  const unsigned char* data = nullptr;
  int64_t start = 0;
  int64_t length = 0;
  // The register before the block; once written, with the block folded in.
  uint32_t crc = 0;
  ExcludedRegion skip;
  // False for good once a write has failed.
  bool ok = true;
};
PassedBlock g_passed;
bool g_writing = false;  // OutputWriter has g_passed

void WritePassed(void*) {
  g_passed.crc =
      FoldOutput(g_passed.crc, g_passed.skip, g_passed.data, g_passed.start, g_passed.length);
  // Nothing may leave the writer's thread; no memory for the file's buffer
  // is a failed write like any other.
  bool ok = false;
  try {
    ok = g_run.OutputFile.Write(g_passed.data, g_passed.length);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  g_passed.ok = TakeIoError() == 0 && ok;
}

// Waits for the block passed on to be written; false when a write failed.
bool PassedWritten() {
  if (g_writing) {
    g_run.OutputWriter.Wait();
    g_writing = false;
    g_engine.OutputCrc = g_passed.crc;
  }
  return g_passed.ok;
}

}  // namespace

unsigned char* g_block = g_blocks[0];

void ResetOutput() {
  g_run.OutputWriter.Finish();
  g_writing = false;
  g_passed = PassedBlock();
  g_block = ReadyBlock(0);
  g_engine.OutputEnd = g_engine.BlockLength = 0;
}

bool PassBlockOn() {
  if (g_engine.BlockLength == 0) return true;
  // Also reports an error a seek left pending, as every chunked transfer does.
  if (!PassedWritten() || TakeIoError() != 0) return false;
  g_passed = PassedBlock{
      g_block, BlockStart(), g_engine.BlockLength, g_engine.OutputCrc, g_engine.OutputExcluded,
      true};
  g_writing = true;
  g_run.OutputWriter.Start(WritePassed, nullptr);
  g_block = ReadyBlock(g_block == g_blocks[0] ? 1 : 0);
  g_engine.BlockLength = 0;
  return true;
}

bool FlushOutput() {
  bool ok = PassedWritten();
  if (g_engine.BlockLength == 0) return ok;
  g_engine.OutputCrc = FoldOutput(g_engine.OutputCrc, g_engine.OutputExcluded, g_block,
                                  BlockStart(), g_engine.BlockLength);
  ok = g_run.OutputFile.Write(g_block, g_engine.BlockLength) && ok;
  // Also reports an error a seek left pending, as every chunked transfer does.
  ok = TakeIoError() == 0 && ok;
  g_engine.BlockLength = 0;
  return ok;
}

bool OutputWriteFailed() {
  PassedWritten();
  return g_run.OutputFile.WriteFailed();
}

bool ReadOutput(int64_t pos, unsigned char* dst, int64_t n) {
  if (n <= 0) return true;
  if (pos < 0 || n > g_engine.OutputEnd - pos) return false;
  // The block passed on last is still in memory, just behind this one.
  const bool passed_behind =
      g_passed.data != nullptr && g_passed.start + g_passed.length == BlockStart();
  const int64_t in_memory = passed_behind ? g_passed.start : BlockStart();
  if (pos < in_memory) {
    // Written out already; the file still holds its recent bytes in memory.
    if (!PassedWritten()) return false;
    int64_t head = std::min(n, in_memory - pos);
    if (!ReadChunkedAt(g_run.OutputFile, pos, dst, head)) return false;
    dst += head;
    pos += head;
    n -= head;
  }
  if (n > 0 && pos < BlockStart()) {
    int64_t part = std::min(n, BlockStart() - pos);
    std::memcpy(dst, g_passed.data + (pos - g_passed.start), static_cast<size_t>(part));
    dst += part;
    pos += part;
    n -= part;
  }
  if (n > 0) std::memcpy(dst, g_block + (pos - BlockStart()), static_cast<size_t>(n));
  return true;
}

bool CopyRange(int64_t p, int64_t n) {
  // Pieces of at most 1000 bytes: a copy out of the output may overlap its
  // own destination, and reads each piece only once the one before it is
  // written, so the piece size decides which overlapping copies succeed.
  constexpr int64_t kPiece = 1000;
  if (p < g_engine.SourceSize) {
    g_run.SourceFile.Seek(p);
    while (n > 0) {
      int64_t piece = std::min(n, kPiece);
      unsigned char* to = OutputSpace(piece);
      if (to == nullptr || !ReadChunked(g_run.SourceFile, to, piece)) return false;
      Appended(piece);
      n -= piece;
    }
    return true;
  }
  for (int64_t q = p - g_engine.SourceSize; n > 0;) {
    int64_t piece = std::min(n, kPiece);
    if (piece > g_engine.OutputEnd - q) return false;  // not written yet
    unsigned char* to = OutputSpace(piece);
    if (to == nullptr) return false;
    if (q >= BlockStart()) {
      // Both ends in the block; the piece read ends where the write begins.
      std::memcpy(to, g_block + (q - BlockStart()), static_cast<size_t>(piece));
    } else if (!ReadOutput(q, to, piece)) {
      return false;
    }
    Appended(piece);
    n -= piece;
    q += piece;
  }
  return true;
}

uint32_t ChecksumUpdate(uint32_t reg, const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
#if defined(__x86_64__) || defined(__i386__)
  if (kHasFolding && n >= 64) {
    size_t folded = n & ~static_cast<size_t>(15);
    reg = ChecksumFolded(reg, p, folded);
    p += folded;
    n -= folded;
  }
#endif
  return ChecksumTable(reg, p, n);
}

uint32_t ChecksumRange(File& file, int64_t start, int64_t end, uint32_t reg, bool* complete) {
  // Larger pieces than the classic 501 bytes: the bytes folded in and their
  // order are the same, with fewer calls. They go from the system straight
  // into this buffer, not through the file's window: a whole file is read
  // once, and a second copy of it would cost as much as the checksum.
  // A file that keeps blocks has the first of them filled on the way.
  const int64_t size = std::clamp<int64_t>(end - start, 1, 256 * 1024);
  std::unique_ptr<unsigned char[]> into;
  for (int64_t pos = start; pos < end;) {
    int64_t piece = std::min<int64_t>(end - pos, size);
    if (const unsigned char* kept = file.ReadIntoKept(pos, piece)) {
      reg = ChecksumUpdate(reg, kept, static_cast<size_t>(piece));
      pos += piece;
      continue;
    }
    if (!into) into.reset(new unsigned char[static_cast<size_t>(size)]);
    if (!file.ReadThrough(pos, into.get(), piece)) {
      ClearIoError();
      if (complete) *complete = false;
      return reg;
    }
    reg = ChecksumUpdate(reg, into.get(), static_cast<size_t>(piece));
    pos += piece;
  }
  file.Seek(std::max(start, end));
  ClearIoError();
  return reg;
}

uint32_t ChecksumFile(File& file, int64_t offset, int64_t length, bool* complete) {
  int64_t size = file.Size();
  if (size < 0) {
    ClearIoError();
    if (complete) *complete = false;
    return 0xFFFFFFFFu;
  }
  if (length == 0) return ChecksumRange(file, 0, size, 0xFFFFFFFFu, complete);
  uint32_t r = ChecksumRange(file, 0, offset, 0xFFFFFFFFu, complete);
  return ChecksumRange(file, offset + length, size, r, complete);
}

bool ChecksumMatches(File& file, const ExcludedRegion& region, uint32_t expected) {
  bool complete = true;
  uint32_t value = ChecksumFile(file, region.offset, region.length, &complete);
  return ChecksumAccepts(value, complete, expected);
}

bool ChecksumAccepts(uint32_t value, bool complete, uint32_t expected) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  // A fuzzer cannot forge checksums; let every mutated patch get past them so
  // that the code behind each comparison is reached.
  (void)value;
  (void)expected;
  return complete;
#else
  return complete && value == expected;
#endif
}

uint32_t ChecksumBytes(const void* data, size_t n, int64_t offset, int64_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  auto size = static_cast<int64_t>(n);
  if (length == 0) return ChecksumUpdate(0xFFFFFFFFu, p, n);
  int64_t head = std::min(offset, size);
  uint32_t r = ChecksumUpdate(0xFFFFFFFFu, p, static_cast<size_t>(head));
  int64_t tail = offset + length;
  if (tail < size) r = ChecksumUpdate(r, p + tail, static_cast<size_t>(size - tail));
  return r;
}

}  // namespace tw
