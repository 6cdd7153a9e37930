// Writing patches: the encoder of a source version's five streams, an
// in-memory model of what the decoder makes of an instruction program, and the
// container around entries and versions. It is the exact inverse of
// ReadNextEntry, ReadNumber and DecodeVersion; the patch maker and the tests
// build on it.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "state/run_state.h"

namespace tw {

using Bytes = std::vector<unsigned char>;

// One instruction of a version's program.
struct DeltaOp {
  enum Kind : uint8_t { kCopy, kInsert, kCountSlot };
  Kind kind = kCountSlot;
  // Copy: length > 0, and the position relative to the reference cursor (the
  // end of the previous copy's range).
  int32_t length = 0;
  int32_t offset = 0;
  // Copy: the fix-up bytes as stored. When the copy is due a count byte, the
  // count byte is their number; otherwise there must be exactly FixupCount.
  // Insert: the run as stored in InsertStream.
  Bytes data;
  // Insert: one mode per block (InsertBlocks), true = stored as is, false =
  // added to reference bytes.
  std::vector<bool> modes;
};

DeltaOp CopyOp(int32_t length, int32_t offset, Bytes fixups = {});
DeltaOp InsertOp(Bytes data, std::vector<bool> modes);
// An insert whose blocks are all stored as is.
DeltaOp StoredInsertOp(Bytes data, int block_size);
DeltaOp CountSlotOp();

// Sizes of the blocks an insert run of n bytes is cut into: blocks of
// block_size, the short tail joining the last full block.
std::vector<int> InsertBlocks(int64_t n, int block_size);

// The width rule of numbers, from the sizes the decoder sees.
int64_t AddressRangeFor(int64_t source_size, int64_t new_size, uint8_t version_flags);

struct VersionStreams {
  Bytes Stream[kStreamCount];  // indexed by StreamIndex
};

// Encodes a program for `version` (SourceSize, FixupPeriod, VersionFlags and
// InsertBlockSize are used; new_size only sets AddressRange). Fails, with a
// reason in *error, on a number too wide for AddressRange, fix-up bytes that do
// not match the count in force, wrong block modes, or InsertBlockSize 0.
bool EncodeProgram(const SourceVersion& version, int64_t new_size,
                   const std::vector<DeltaOp>& program, VersionStreams* out,
                   std::string* error = nullptr);

// The same one instruction at a time, for programs too large to hold whole.
// `version` and `out` must outlive the encoder; *out starts empty.
class ProgramEncoder {
 public:
  ProgramEncoder(const SourceVersion& version, int64_t new_size, VersionStreams* out);
  // Appends op to the streams; false, with the reason in *error and the
  // streams then unusable, when it cannot be encoded.
  bool Add(const DeltaOp& op, std::string* error = nullptr);

 private:
  const SourceVersion& version_;
  VersionStreams* out_;
  int64_t range_;
  int used_[kStreamCount] = {};  // bits taken of the last byte of a bit stream
  int64_t countdown_ = 0;
  size_t fixup_count_ = 0;
  size_t index_ = 0;
};

// The decoder's state and output after the instructions applied so far,
// computed in memory. The source is the CombinedSpace below source.size();
// version and source must outlive the model.
//
// Given `expected`, the model checks instead of keeping: each byte written
// must equal the byte of expected at its place, and output stays empty
// (the output so far is the start of expected). A large file is then
// checked without a second copy of it. expected must outlive the model.
struct DecodeModel {
  DecodeModel(const SourceVersion& version, const Bytes& source)
      : version(version), source(source) {}
  DecodeModel(const SourceVersion& version, const Bytes& source, const Bytes& expected)
      : version(version), source(source), expected(&expected) {}
  const SourceVersion& version;
  const Bytes& source;
  const Bytes* expected = nullptr;
  Bytes output;
  int64_t written = 0;  // bytes of output, kept or checked
  int64_t LastCopyPos = 0;
  int64_t LastCopyLen = 0;
  int FixupCount = 0;
  int64_t FixupCountdown = 0;

  bool CountByteDue() const { return FixupCountdown == 0; }
  int64_t Cursor() const { return LastCopyPos + LastCopyLen; }
  // The output byte at i < written.
  unsigned char OutputAt(int64_t i) const {
    return expected ? (*expected)[static_cast<size_t>(i)] : output[static_cast<size_t>(i)];
  }
  Bytes pending;  // what the instruction in hand writes; scratch of ModelStep
};

// ModelStep's *message when the output departs from the model's expected
// bytes (no catalogue message has this number).
constexpr int kModelDiffers = -2;

// Applies one instruction. On false the model is unchanged and *message (if
// given) holds the catalogue message the decoder raises there, -1 when the
// instruction is malformed (it cannot be encoded at all), or kModelDiffers.
bool ModelStep(DecodeModel* model, const DeltaOp& op, int* message = nullptr);
// The whole program; *output holds what the decoder writes before any failure.
bool ModelRun(const SourceVersion& version, const Bytes& source,
              const std::vector<DeltaOp>& program, Bytes* output, int* message = nullptr);

// A source version as stored: StreamLength is taken from the streams.
struct VersionBlock {
  std::string VersionName;  // multi-file mode; empty stands for the entry's name
  SourceVersion Record;
  ExcludedRegion Excluded;  // stored only with kEntryHasExcludedRegions
  VersionStreams Streams;
};

struct PatchedEntry {
  uint32_t NewCrc = 0;
  int32_t NewSize = 0;
  uint32_t NewFileTime = 0;
  uint16_t EntryFlags = 0;
  ExcludedRegion Excluded;  // stored only with kEntryHasExcludedRegions
  std::string EntryName;    // multi-file mode only
  std::vector<VersionBlock> Versions;
};

struct IncludedEntry {
  std::string EntryName;
  uint32_t IncludedFileTime = 0;
  Bytes Data;
};

struct PatchContents {
  uint32_t FormatVersion = kPatchFormatVersion;
  uint8_t HeaderMode = 2;   // 2: multi-file; otherwise exactly one patched entry
  uint8_t HeaderFlags = 0;  // the registry strings are stored with kFlagHasRegistryLocation
  std::string Description;  // stored bytes (code page 437, see OemFromAnsi)
  std::string BackupFolderName;
  std::string RegistryKeyPath;
  std::string RegistryValueName;
  std::vector<std::variant<PatchedEntry, IncludedEntry>> Entries;
};

// Appends the container (header, body, trailer) to *out, which may already
// hold a prefix such as a copy of the applier. False, with *out unchanged, when
// a string or count does not fit its field or single-file mode is given other
// than one patched entry.
bool WritePatch(const PatchContents& patch, Bytes* out, std::string* error = nullptr);
// The same into a new file at path (core form), after the bytes of the file at
// prefix_path when that is not empty.
bool WritePatchFile(const PatchContents& patch, const std::string& path,
                    const std::string& prefix_path = "", std::string* error = nullptr);

// Author's ANSI text to the stored form that the loader's table turns back.
std::string OemFromAnsi(const std::string& ansi);

}  // namespace tw
