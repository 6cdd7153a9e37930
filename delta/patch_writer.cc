#include "delta/patch_writer.h"

#include <algorithm>
#include <limits>

#include "container/body.h"
#include "container/patch_loader.h"
#include "messages/catalogue.h"
#include "platform/file.h"

namespace tw {
namespace {

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

// Appends bits and numbers to the five streams in the order the decoder takes
// them. Bit streams are filled from the lowest bit of each byte; the unused
// high bits of a stream's last byte stay 0.
struct StreamSink {
  VersionStreams* out;
  int64_t range;
  int used[kStreamCount] = {};  // bits taken of the last byte of a bit stream

  void Bit(int stream, bool bit) {
    Bytes& s = out->Stream[stream];
    if (used[stream] == 0) s.push_back(0);
    if (bit) s.back() |= static_cast<unsigned char>(1u << used[stream]);
    used[stream] = (used[stream] + 1) % 8;
  }

  // A sign bit and the fewest magnitude bytes that ReadNumber accepts.
  bool Number(int64_t e) {
    const int widest = range > 0xFFFFFF ? 4 : range > 0xFFFF ? 3 : range > 0xFF ? 2 : 1;
    // Four bytes fill a signed 32-bit magnitude, so its top bit is unusable.
    const uint64_t limit = widest == 4 ? 0x7FFFFFFF : (uint64_t{1} << (8 * widest)) - 1;
    const uint64_t m = e < 0 ? -static_cast<uint64_t>(e) : static_cast<uint64_t>(e);
    if (m > limit) return false;
    const int width = m > 0xFFFFFF ? 4 : m > 0xFFFF ? 3 : m > 0xFF ? 2 : 1;
    Bit(kSignBitStream, e < 0);
    if (widest > 1) Bit(kSignBitStream, width > 1);
    if (widest > 2 && width > 1) Bit(kModeBitStream, width > 2);
    if (widest > 3 && width > 2) Bit(kModeBitStream, width > 3);
    for (int i = width - 1; i >= 0; --i)
      out->Stream[kNumberStream].push_back((m >> (8 * i)) & 0xFF);
    return true;
  }
};

void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

void PutU8(Bytes* out, uint32_t v) { out->push_back(v & 0xFF); }
void PutU16(Bytes* out, uint32_t v) {
  PutU8(out, v);
  PutU8(out, v >> 8);
}
void PutU32(Bytes* out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}
void PutRegion(Bytes* out, const ExcludedRegion& r) {
  PutU32(out, static_cast<uint32_t>(r.offset));
  PutU32(out, static_cast<uint32_t>(r.length));
}
bool PutShortString(Bytes* out, const std::string& s, std::string* error) {
  if (s.size() > 255) return Fail(error, "name longer than 255 bytes: " + s);
  PutU8(out, static_cast<uint32_t>(s.size()));
  out->insert(out->end(), s.begin(), s.end());
  return true;
}

bool PutPatched(Bytes* body, const PatchedEntry& e, bool multi, std::string* error) {
  if (e.Versions.size() > 0xFFFF) return Fail(error, "too many versions");
  const bool regions = e.EntryFlags & kEntryHasExcludedRegions;
  if (multi) PutU8(body, kEntryPatched);
  PutU32(body, e.NewCrc);
  PutU32(body, static_cast<uint32_t>(e.NewSize));
  PutU32(body, e.NewFileTime);
  PutU16(body, static_cast<uint32_t>(e.Versions.size()));
  PutU16(body, e.EntryFlags);
  if (regions) PutRegion(body, e.Excluded);
  if (multi && !PutShortString(body, e.EntryName, error)) return false;
  for (const VersionBlock& v : e.Versions) {
    if (multi && !PutShortString(body, v.VersionName, error)) return false;
    PutU32(body, v.Record.SourceCrc);
    PutU32(body, static_cast<uint32_t>(v.Record.SourceSize));
    for (const Bytes& s : v.Streams.Stream) PutU32(body, static_cast<uint32_t>(s.size()));
    PutU16(body, v.Record.FixupPeriod);
    PutU8(body, v.Record.VersionFlags);
    PutU8(body, v.Record.InsertBlockSize);
    if (regions) PutRegion(body, v.Excluded);
    for (const Bytes& s : v.Streams.Stream) Append(body, s);
  }
  return true;
}

bool PutIncluded(Bytes* body, const IncludedEntry& e, std::string* error) {
  PutU8(body, kEntryIncluded);
  if (!PutShortString(body, e.EntryName, error)) return false;
  PutU32(body, static_cast<uint32_t>(e.Data.size()));
  PutU32(body, e.IncludedFileTime);
  Append(body, e.Data);
  return true;
}

}  // namespace

DeltaOp CopyOp(int32_t length, int32_t offset, Bytes fixups) {
  DeltaOp op;
  op.kind = DeltaOp::kCopy;
  op.length = length;
  op.offset = offset;
  op.data = std::move(fixups);
  return op;
}

DeltaOp InsertOp(Bytes data, std::vector<bool> modes) {
  DeltaOp op;
  op.kind = DeltaOp::kInsert;
  op.data = std::move(data);
  op.modes = std::move(modes);
  return op;
}

DeltaOp StoredInsertOp(Bytes data, int block_size) {
  size_t blocks = InsertBlocks(static_cast<int64_t>(data.size()), block_size).size();
  return InsertOp(std::move(data), std::vector<bool>(blocks, true));
}

DeltaOp CountSlotOp() { return DeltaOp(); }

std::vector<int> InsertBlocks(int64_t n, int block_size) {
  std::vector<int> sizes;
  if (block_size <= 0) return sizes;
  for (int64_t k = 0; k < n; k += block_size) {
    const int64_t remaining = n - k;
    if (remaining >= block_size && remaining < 2 * block_size) {
      sizes.push_back(static_cast<int>(remaining));
      break;
    }
    sizes.push_back(static_cast<int>(std::min<int64_t>(remaining, block_size)));
  }
  return sizes;
}

int64_t AddressRangeFor(int64_t source_size, int64_t new_size, uint8_t version_flags) {
  if (version_flags & kVersionRangeIsSum) return source_size + new_size;
  return std::max(source_size, new_size);
}

ProgramEncoder::ProgramEncoder(const SourceVersion& version, int64_t new_size,
                               VersionStreams* out)
    : version_(version),
      out_(out),
      range_(AddressRangeFor(version.SourceSize, new_size, version.VersionFlags)) {}

bool ProgramEncoder::Add(const DeltaOp& op, std::string* error) {
  StreamSink sink{out_, range_};
  std::copy(used_, used_ + kStreamCount, sink.used);
  const std::string where = "instruction " + std::to_string(index_++) + ": ";
  switch (op.kind) {
    case DeltaOp::kCountSlot:
      sink.Number(0);
      --countdown_;
      break;
    case DeltaOp::kCopy: {
      if (op.length <= 0) return Fail(error, where + "copy of no bytes");
      if (!sink.Number(op.length) || !sink.Number(op.offset)) {
        return Fail(error, where + "number too wide for the address range");
      }
      if (countdown_ == 0) {
        if (op.data.size() > 255) return Fail(error, where + "more than 255 fix-up bytes");
        fixup_count_ = op.data.size();
        out_->Stream[kNumberStream].push_back(static_cast<unsigned char>(fixup_count_));
        countdown_ = version_.FixupPeriod;
      }
      --countdown_;
      if (op.data.size() != fixup_count_) {
        return Fail(error, where + "fix-up bytes differ from the count in force (" +
                               std::to_string(fixup_count_) + ")");
      }
      Append(&out_->Stream[kFixupStream], op.data);
      break;
    }
    case DeltaOp::kInsert: {
      const std::vector<int> blocks = InsertBlocks(op.data.size(), version_.InsertBlockSize);
      if (blocks.empty()) return Fail(error, where + "empty insert or block size 0");
      if (blocks.size() != op.modes.size()) return Fail(error, where + "one mode per block");
      if (!sink.Number(-static_cast<int64_t>(op.data.size()))) {
        return Fail(error, where + "number too wide for the address range");
      }
      Append(&out_->Stream[kInsertStream], op.data);
      for (bool stored : op.modes) sink.Bit(kModeBitStream, stored);
      break;
    }
  }
  std::copy(sink.used, sink.used + kStreamCount, used_);
  return true;
}

bool EncodeProgram(const SourceVersion& version, int64_t new_size,
                   const std::vector<DeltaOp>& program, VersionStreams* out, std::string* error) {
  *out = VersionStreams();
  ProgramEncoder encoder(version, new_size, out);
  for (const DeltaOp& op : program) {
    if (!encoder.Add(op, error)) return false;
  }
  return true;
}

bool ModelStep(DecodeModel* m, const DeltaOp& op, int* message) {
  auto fail = [&](int msg) {
    if (message) *message = msg;
    return false;
  };
  const Bytes& src = m->source;
  const int64_t source_size = static_cast<int64_t>(src.size());
  const bool add_fixups = !(m->version.VersionFlags & kVersionPlainFixups);
  // The instruction's bytes are gathered apart and written only when it has
  // succeeded, so that a failing one leaves the model as it was.
  const int64_t base = m->written;
  Bytes& pending = m->pending;
  pending.clear();
  auto out_size = [&] { return base + static_cast<int64_t>(pending.size()); };
  auto out_at = [&](int64_t i) { return i < base ? m->OutputAt(i) : pending[i - base]; };
  // Adds the n reference bytes at `at` to data; the file they come from is
  // chosen by the start of the last copy alone. Returns -1 or the message.
  auto add_reference = [&](int64_t last_pos, int64_t at, unsigned char* data, int64_t n) -> int {
    if (last_pos < source_size) {
      if (at < 0 || at + n > source_size) return kMsgReadSourceFailed;
      for (int64_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(data[i] + src[at + i]);
      return -1;
    }
    at -= source_size;
    if (at < 0 || at + n > out_size()) return kMsgPatchDamaged;
    for (int64_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(data[i] + out_at(at + i));
    return -1;
  };

  int64_t countdown = m->FixupCountdown;
  int64_t pos = 0, len = 0;
  size_t fixups = 0;
  switch (op.kind) {
    case DeltaOp::kCountSlot:
      --m->FixupCountdown;
      return true;

    case DeltaOp::kCopy: {
      if (op.length <= 0) return fail(-1);
      pos = m->Cursor() + op.offset;
      len = op.length;
      fixups = static_cast<size_t>(m->FixupCount);
      if (countdown == 0) {
        if (op.data.size() > 255) return fail(-1);
        fixups = op.data.size();
        countdown = m->version.FixupPeriod;
      }
      --countdown;
      if (op.data.size() != fixups) return fail(-1);

      if (pos < source_size) {
        if (pos < 0 || pos + len > source_size) return fail(kMsgWriteOutputFailed);
        pending.assign(src.begin() + pos, src.begin() + pos + len);
      } else {
        // Copies from the output move in pieces of 1,000 bytes, each read in
        // full before it is written: a piece may not reach its own bytes.
        const int64_t from = pos - source_size;
        if (std::min<int64_t>(len, 1000) > base - from) return fail(kMsgWriteOutputFailed);
        pending.reserve(static_cast<size_t>(len) + fixups);
        for (int64_t i = 0; i < len; ++i) pending.push_back(out_at(from + i));
      }
      unsigned char reference[255] = {};
      if (int msg = add_reference(pos, pos + len, reference, static_cast<int64_t>(fixups));
          msg >= 0) {
        return fail(msg);
      }
      for (size_t i = 0; i < fixups; ++i) {
        pending.push_back(static_cast<unsigned char>(op.data[i] + (add_fixups ? reference[i] : 0)));
      }
      break;
    }

    case DeltaOp::kInsert: {
      const std::vector<int> blocks = InsertBlocks(op.data.size(), m->version.InsertBlockSize);
      if (blocks.empty() || blocks.size() != op.modes.size()) return fail(-1);
      // Block by block: a block's reference may take in the blocks before it.
      int64_t k = 0;
      unsigned char block[2 * 255];
      for (size_t j = 0; j < blocks.size(); ++j) {
        const int size = blocks[j];
        std::copy(op.data.begin() + k, op.data.begin() + k + size, block);
        if (!op.modes[j]) {
          const int64_t q = m->Cursor() + k + m->FixupCount;
          if (int msg = add_reference(m->LastCopyPos, q, block, size); msg >= 0) return fail(msg);
        }
        pending.insert(pending.end(), block, block + size);
        k += size;
      }
      break;
    }
  }

  const int64_t n = static_cast<int64_t>(pending.size());
  if (m->expected) {
    const Bytes& want = *m->expected;
    if (base + n > static_cast<int64_t>(want.size()) ||
        !std::equal(pending.begin(), pending.end(), want.begin() + base)) {
      return fail(kModelDiffers);
    }
  } else {
    Append(&m->output, pending);
  }
  m->written = base + n;
  if (op.kind == DeltaOp::kCopy) {
    m->LastCopyPos = pos;
    m->LastCopyLen = len;
    m->FixupCount = static_cast<int>(fixups);
    m->FixupCountdown = countdown;
  }
  return true;
}

bool ModelRun(const SourceVersion& version, const Bytes& source,
              const std::vector<DeltaOp>& program, Bytes* output, int* message) {
  DecodeModel model(version, source);
  bool ok = true;
  for (const DeltaOp& op : program) {
    if (!(ok = ModelStep(&model, op, message))) break;
  }
  *output = std::move(model.output);
  return ok;
}

bool WritePatch(const PatchContents& patch, Bytes* out, std::string* error) {
  const bool multi = patch.HeaderMode == 2;
  if (patch.Description.size() > 0xFFFF) return Fail(error, "description too long");
  if (!multi &&
      (patch.Entries.size() != 1 || !std::holds_alternative<PatchedEntry>(patch.Entries[0]))) {
    return Fail(error, "single-file mode holds exactly one patched entry");
  }
  Bytes body(patch.Description.begin(), patch.Description.end());
  if (!PutShortString(&body, patch.BackupFolderName, error)) return false;
  if (patch.HeaderFlags & kFlagHasRegistryLocation) {
    if (!PutShortString(&body, patch.RegistryKeyPath, error) ||
        !PutShortString(&body, patch.RegistryValueName, error)) {
      return false;
    }
  }
  for (const auto& entry : patch.Entries) {
    bool ok = std::holds_alternative<PatchedEntry>(entry)
                  ? PutPatched(&body, std::get<PatchedEntry>(entry), multi, error)
                  : PutIncluded(&body, std::get<IncludedEntry>(entry), error);
    if (!ok) return false;
  }
  if (multi) PutU8(&body, kEntryEnd);

  // Positions inside a patch are signed 32-bit.
  const uint64_t container = kHeaderSize + body.size() + kTrailerSize;
  if (container > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    return Fail(error, "patch larger than 2 GiB");
  }
  out->reserve(out->size() + container);
  PutU32(out, kPatchMagic);
  PutU32(out, patch.FormatVersion);
  PutU8(out, patch.HeaderMode);
  PutU8(out, patch.HeaderFlags);
  out->insert(out->end(), 64, 0);
  PutU16(out, static_cast<uint32_t>(patch.Description.size()));
  Append(out, body);
  PutU32(out, static_cast<uint32_t>(container));
  PutU32(out, kPatchMagic);
  return true;
}

bool WritePatchFile(const PatchContents& patch, const std::string& path,
                    const std::string& prefix_path, std::string* error) {
  Bytes out;
  if (!prefix_path.empty()) {
    File prefix;
    int64_t size = prefix.OpenRead(prefix_path) ? prefix.Size() : -1;
    if (size >= 0) out.resize(static_cast<size_t>(size));
    if (size < 0 || !ReadChunked(prefix, out.data(), size)) {
      ClearIoError();
      return Fail(error, "cannot read " + prefix_path);
    }
    prefix.Close();
  }
  if (!WritePatch(patch, &out, error)) return false;
  File file;
  bool ok = file.Create(path) && WriteChunked(file, out.data(), static_cast<int64_t>(out.size()));
  ok = file.Close() && ok;
  ClearIoError();
  return ok || Fail(error, "cannot write " + path);
}

std::string OemFromAnsi(const std::string& ansi) {
  unsigned char inverse[256];
  for (int i = 0; i < 256; ++i) inverse[kOemToAnsiTable[i]] = static_cast<unsigned char>(i);
  std::string oem = ansi;
  for (char& c : oem) c = static_cast<char>(inverse[static_cast<unsigned char>(c)]);
  return oem;
}

}  // namespace tw
