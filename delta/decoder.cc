#include "delta/decoder.h"

#include <algorithm>
#include <cstring>

#include "container/body.h"
#include "delta/streams.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/front_end.h"

namespace tw {
namespace {

struct DecoderState {
  int64_t last_copy_pos = 0;
  int64_t last_copy_len = 0;
  int fixup_count = 0;
  int64_t fixup_countdown = 0;
  bool add_fixups = true;
};

// Reference bytes come from wherever the last copy started, even when the
// bytes asked for lie beyond that file's end (the read then comes up short).
void ReadReference(const DecoderState& s, int64_t pos, unsigned char* buf, int64_t n) {
  if (s.last_copy_pos < g_engine.SourceSize) {
    g_run.SourceFile.Seek(pos);
    if (!ReadChunked(g_run.SourceFile, buf, n)) RaiseReadSourceFailed();
    return;
  }
  if (ReadOutput(pos - g_engine.SourceSize, buf, n)) return;
  // The output is read back from where it was written: when writing it
  // failed (a full disk), that is what went wrong.
  if (OutputWriteFailed()) RaiseWriteOutputFailed();
  RaisePatchDamaged();
}

// What the version is going to produce is known; output beyond it can only
// come from a damaged or hostile patch.
void CheckRoom(int64_t n) {
  if (g_engine.OutputLimit >= 0 && n > g_engine.OutputLimit - g_engine.OutputEnd) {
    RaisePatchDamaged();
  }
}

// Room for n more output bytes, within what the version may produce.
unsigned char* OutputRoom(int64_t n) {
  CheckRoom(n);
  unsigned char* to = OutputSpace(n);
  if (to == nullptr) RaiseWriteOutputFailed();
  return to;
}

// Stream bytes added to the reference bytes already at `to` (or taking their
// place), straight into the output block.
[[gnu::always_inline]] inline void AddStreamBytes(int stream, unsigned char* to, int64_t n,
                                                  bool add) {
  const unsigned char* p = StreamBytes(stream, n);
  if (p == nullptr) RaiseReadPatchFailed();
  if (add) {
    for (int64_t i = 0; i < n; ++i) to[i] = static_cast<unsigned char>(to[i] + p[i]);
  } else {
    std::memcpy(to, p, static_cast<size_t>(n));
  }
  Appended(n);
}

// Most copies are a few dozen bytes of the source, and a block in memory
// (most often the one the last copy read from) holds them and the fix-up
// bytes' reference after them: one move into the output block does both.
// The same holds for a copy of output still in the output block, clear of
// where it is written. Anything else (the bytes not in memory, a range past
// the source's end or over its own destination, a full output block, a bound
// reached) goes the long way, which meets each of those where it always has;
// nothing is done here before that is known.
inline bool CopyInMemory(const DecoderState& s, int64_t position, int64_t length) {
  const int64_t total = length + s.fixup_count;
  if (position < 0 || total > kOutputBlock - g_engine.BlockLength ||
      (g_engine.OutputLimit >= 0 && total > g_engine.OutputLimit - g_engine.OutputEnd) ||
      IoErrorPending()) {
    return false;
  }
  unsigned char* to = g_block + g_engine.BlockLength;
  if (position < g_engine.SourceSize) {
    if (total > g_engine.SourceSize - position) return false;
    // The long way seeks for itself when this comes to nothing.
    g_run.SourceFile.Seek(position);
    if (!g_run.SourceFile.ReadBuffered(to, total) && !g_run.SourceFile.ReadKept(to, total)) {
      return false;
    }
  } else {
    const int64_t q = position - g_engine.SourceSize;
    if (q < BlockStart() || total > g_engine.OutputEnd - q) return false;
    std::memcpy(to, g_block + (q - BlockStart()), static_cast<size_t>(total));
  }
  Appended(length);
  if (s.fixup_count > 0) AddStreamBytes(kFixupStream, to + length, s.fixup_count, s.add_fixups);
  return true;
}

void Copy(DecoderState& s, const SourceVersion& v, int64_t length) {
  int64_t offset = ReadNumber();
  int64_t position = s.last_copy_pos + offset + s.last_copy_len;
  if (s.fixup_countdown == 0) {
    unsigned char count = 0;
    if (!ReadStream(kNumberStream, &count, 1)) RaisePatchDamaged();
    s.fixup_count = count;
    --g_engine.NumbersLeft;
    s.fixup_countdown = v.FixupPeriod;
  }
  --s.fixup_countdown;
  s.last_copy_len = length;
  s.last_copy_pos = position;
  if (CopyInMemory(s, position, length)) return;
  CheckRoom(length);
  if (!CopyRange(position, length)) RaiseWriteOutputFailed();
  if (s.fixup_count == 0) return;
  // The bytes after the copied ones, changed by the fix-up bytes; the
  // reference lies behind the output's end, so it never meets its room.
  // Plain fix-ups replace them, but those bytes must still be there to read.
  unsigned char* to = OutputRoom(s.fixup_count);
  ReadReference(s, s.last_copy_pos + s.last_copy_len, to, s.fixup_count);
  AddStreamBytes(kFixupStream, to, s.fixup_count, s.add_fixups);
}

void Insert(DecoderState& s, const SourceVersion& v, int64_t n) {
  const int64_t block = v.InsertBlockSize;
  for (int64_t k = 0; k < n;) {
    int64_t remaining = n - k;
    // A tail shorter than a block joins the last full block.
    bool last = block <= remaining && remaining < 2 * block;
    int64_t size = last ? remaining : std::min(block, remaining);
    unsigned char* to = OutputRoom(size);
    const unsigned char* p = StreamBytes(kInsertStream, size);
    if (p == nullptr) RaiseReadPatchFailed();
    if (ModeBitReader() == 0) {
      ReadReference(s, s.last_copy_pos + s.last_copy_len + k + s.fixup_count, to, size);
      for (int64_t i = 0; i < size; ++i) to[i] = static_cast<unsigned char>(to[i] + p[i]);
    } else {
      std::memcpy(to, p, static_cast<size_t>(size));
    }
    Appended(size);
    if (last) break;
    k += block;
  }
}

void RunInstructions(const SourceVersion& v) {
  DecoderState s;
  s.add_fixups = (v.VersionFlags & kVersionPlainFixups) == 0;
  // The window stays responsive and a stop is seen within microseconds at
  // one look every few hundred instructions; a look at each (a system call
  // on Windows) would cost more than the instruction.
  constexpr unsigned kLookEvery = 256;
  unsigned until_look = 0;
  while (g_engine.NumbersLeft > 0) {
    if (until_look-- == 0) {
      PumpPendingMessages();
      StopIfAsked();
      until_look = kLookEvery - 1;
    }
    int64_t e = ReadNumber();
    if (e == 0) {
      --s.fixup_countdown;
    } else if (e > 0) {
      Copy(s, v, e);
    } else {
      Insert(s, v, -e);
    }
  }
}

}  // namespace

bool DecodeVersion(const DecodeRequest& r, std::string* output_path) {
  const SourceVersion& v = *r.version;
  ClearIoError();
  if (!g_run.SourceFile.OpenRead(r.source_path)) {
    ClearIoError();
    if (!r.source_optional) RaiseErrorBecause(kMsgOpenSourceFailed, g_run.SourceFile.LastFailure());
    ReleaseEngineFiles();
    return false;
  }
  g_run.SourceOpen = true;
  g_engine.SourceSize = g_run.SourceFile.Size();
  // Copies land all over the source; kept blocks spare a read for each, and
  // the check of the whole source fills the first of them.
  g_run.SourceFile.KeepBlocks(kSourceBlockBudget);
  if (r.verify_source &&
      (v.SourceSize != g_engine.SourceSize ||
       !(r.source_crc_known ? ChecksumAccepts(r.source_crc, true, v.SourceCrc)
                            : ChecksumMatches(g_run.SourceFile, r.source_excluded, v.SourceCrc)))) {
    ReleaseEngineFiles();
    return false;
  }
  g_engine.AddressRange = (v.VersionFlags & kVersionRangeIsSum)
                              ? g_engine.SourceSize + r.new_size
                              : std::max<int64_t>(g_engine.SourceSize, r.new_size);
  g_engine.NumbersLeft = v.StreamLength[kNumberStream];
  ResetOutput();
  g_engine.OutputLimit = r.max_output;
  g_engine.OutputCrc = 0xFFFFFFFFu;
  g_engine.OutputExcluded = r.output_excluded;

  // A few bytes of delta can ask for up to 2 GB of output: a temp volume that
  // cannot hold the stated size is refused before anything is written,
  // rather than filled up for every other program until the write fails.
  int64_t needed = r.new_size;
  int64_t free_bytes = OsFreeSpace(g_run.TempFolder);
  if (free_bytes >= 0 && needed > free_bytes) {
    ReleaseEngineFiles();
    RaiseErrorBecause(kMsgWriteOutputFailed, "needs " + DecimalText(needed) +
                                                 " bytes in the temp folder " + g_run.TempFolder +
                                                 ", " + DecimalText(free_bytes) + " free");
  }

  std::string out_path;
  CreateTempFile(g_run.OutputFile, &out_path);
  g_run.OutputOpen = true;
  // The result is what goes in place when it checks out.
  g_run.OutputFile.WriteBackEarly();

  g_run.BodyTempFile.Seek(r.body_position);
  LoadStreams(v.StreamLength);
  g_engine.ModeBitCount = g_engine.SignBitCount = 0;
  RunInstructions(v);
  ReleaseStreamMemory();

  // Buffered output reaches the disk here; a failure is a failed write.
  if (!FlushOutput()) {
    ClearIoError();
    RaiseWriteOutputFailed();
  }
  g_run.OutputOpen = false;
  if (!g_run.OutputFile.Close()) {
    ClearIoError();
    RaiseWriteOutputFailed();
  }
  ReleaseEngineFiles();
  *output_path = out_path;
  if (r.output_checksum != nullptr) {
    // A region that starts beyond the end leaves no checksum of the file.
    r.output_checksum->complete =
        g_engine.OutputExcluded.length == 0 || g_engine.OutputExcluded.offset <= g_engine.OutputEnd;
    r.output_checksum->value = g_engine.OutputCrc;
  }
  return true;
}

}  // namespace tw
