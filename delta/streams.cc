#include "delta/streams.h"

#include <algorithm>
#include <array>

#include "container/body.h"
#include "messages/messages.h"
#include "state/run_state.h"

namespace tw {

EngineCounters g_engine;

namespace {

int NextBit(File& stream, uint8_t* byte, int* counter) {
  if (*counter == 0 && !ReadChunked(stream, byte, 1)) RaisePatchDamaged();
  int bit = (*byte >> *counter) & 1;
  *counter = (*counter + 1) & 7;
  return bit;
}

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

}  // namespace

int ModeBitReader() {
  return NextBit(g_run.StreamFile[kModeBitStream], &g_engine.ModeBits, &g_engine.ModeBitCount);
}

int SignBitReader() {
  return NextBit(g_run.StreamFile[kSignBitStream], &g_engine.SignBits, &g_engine.SignBitCount);
}

int32_t ReadNumber() {
  File& numbers = g_run.StreamFile[kNumberStream];
  bool failed = false;
  auto next_byte = [&]() -> int64_t {
    --g_engine.NumbersLeft;
    uint8_t b = 0;
    if (failed) return 0;
    if (!ReadChunked(numbers, &b, 1)) failed = true;
    return b;
  };
  int sign = SignBitReader();
  int64_t magnitude = next_byte();
  if (g_engine.AddressRange > 255 && SignBitReader()) {
    magnitude = (magnitude << 8) | next_byte();
    if (g_engine.AddressRange > 65535 && ModeBitReader()) {
      magnitude = (magnitude << 8) | next_byte();
      if (g_engine.AddressRange > 16777215 && ModeBitReader()) {
        magnitude = (magnitude << 8) | next_byte();
      }
    }
  }
  if (failed) RaisePatchDamaged();
  // The magnitude lives in 32 bits: four bytes above 0x7F wrap, as they
  // always have for this format.
  auto value = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
  return sign ? static_cast<int32_t>(0u - static_cast<uint32_t>(value)) : value;
}

bool CopyRange(int64_t p, int64_t n) {
  unsigned char buf[1000];
  File& out = g_run.OutputFile;
  if (p < g_engine.SourceSize) {
    g_run.SourceFile.Seek(p);
    while (n > 0) {
      int64_t piece = std::min<int64_t>(n, sizeof buf);
      if (!ReadChunked(g_run.SourceFile, buf, piece) || !WriteChunked(out, buf, piece)) {
        return false;
      }
      g_engine.OutputEnd += piece;
      n -= piece;
    }
    return true;
  }
  for (int64_t done = 0; n > 0;) {
    int64_t piece = std::min<int64_t>(n, sizeof buf);
    out.Seek(p - g_engine.SourceSize + done);
    bool read = ReadChunked(out, buf, piece);
    out.Seek(g_engine.OutputEnd);
    if (!read || !WriteChunked(out, buf, piece)) return false;
    g_engine.OutputEnd += piece;
    n -= piece;
    done += piece;
  }
  return true;
}

bool ExtractStream(int64_t n, File& file, const std::string& path) {
  if (!file.Create(path)) {
    ClearIoError();
    return false;
  }
  unsigned char buf[501];
  while (n > 0) {
    int64_t piece = std::min<int64_t>(n, sizeof buf);
    ReadBodyBytes(buf, piece);
    if (!WriteChunked(file, buf, piece)) return false;
    n -= piece;
  }
  if (!file.Close() || !file.OpenRead(path)) {
    ClearIoError();
    return false;
  }
  return true;
}

uint32_t ChecksumUpdate(uint32_t reg, const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
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

uint32_t ChecksumRange(File& file, int64_t start, int64_t end, uint32_t reg, bool* complete) {
  file.Seek(start);
  // Larger pieces than the classic 501 bytes: the bytes folded in and their
  // order are the same, with fewer calls.
  unsigned char buf[16384];
  for (int64_t pos = start; pos < end;) {
    int64_t piece = std::min<int64_t>(end - pos, sizeof buf);
    if (!ReadChunked(file, buf, piece)) {
      if (complete) *complete = false;
      return reg;
    }
    reg = ChecksumUpdate(reg, buf, static_cast<size_t>(piece));
    pos += piece;
  }
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
  return complete && value == expected;
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
