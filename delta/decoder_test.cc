#include "delta/decoder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "container/entries.h"
#include "container/patch_loader.h"
#include "delta/patch_writer.h"
#include "delta/streams.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "tests/test_util.h"

namespace tw {
namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string PosixPath(std::string p) {
  std::replace(p.begin(), p.end(), '\\', '/');
  return p;
}

SourceVersion Version(const Bytes& source, uint16_t period, uint8_t flags, uint8_t block) {
  SourceVersion v;
  v.SourceCrc = ChecksumBytes(source.data(), source.size());
  v.SourceSize = static_cast<int32_t>(source.size());
  v.FixupPeriod = period;
  v.VersionFlags = flags;
  v.InsertBlockSize = block;
  return v;
}

struct Outcome {
  bool result = false;
  std::string error;  // the raised text; empty when nothing was raised
  Bytes output;
};

class DecoderTest : public TempDirTest {
 protected:
  // Stores the streams as the only version of a one-entry patch and loads it,
  // leaving the entry in g_run.Entry.
  void LoadStreams(const SourceVersion& v, const VersionStreams& streams) {
    PatchedEntry entry;
    entry.EntryName = "file.bin";
    entry.Versions.push_back({"", v, {}, streams});
    PatchContents patch;
    patch.Entries.push_back(entry);
    ASSERT_TRUE(WritePatchFile(patch, CorePath("patch.bin")));
    g_run.PatchFilePath = CorePath("patch.bin");
    LoadPatch();
    ASSERT_EQ(ReadNextEntry(), kEntryPatched);
  }

  DecodeRequest Request(int64_t new_size) {
    DecodeRequest r;
    r.version = &g_run.Entry.Version[1];
    r.body_position = g_run.Entry.StreamStart[1];
    r.source_path = CorePath("source.bin");
    r.new_size = new_size;
    return r;
  }

  Outcome Decode(const DecodeRequest& r) {
    Outcome o;
    std::string out_path;
    try {
      o.result = DecodeVersion(r, &out_path);
    } catch (const PatchError& e) {
      o.error = e.text();
      return o;
    }
    if (o.result) o.output = ReadFileBytes(PosixPath(out_path));
    return o;
  }

  // Encodes the program, decodes it against source, and checks that the
  // decoder did what the model says.
  Outcome Run(const Bytes& source, const SourceVersion& v, const std::vector<DeltaOp>& program,
              int64_t new_size = 0) {
    VersionStreams streams;
    std::string why;
    EXPECT_TRUE(EncodeProgram(v, new_size, program, &streams, &why)) << why;
    LoadStreams(v, streams);
    WriteFileBytes(Path("source.bin"), source);
    Outcome o = Decode(Request(new_size));
    Bytes expected;
    int message = -1;
    if (ModelRun(v, source, program, &expected, &message)) {
      EXPECT_EQ(o.error, "");
      EXPECT_EQ(o.output, expected);
    } else {
      EXPECT_GE(message, 0);
      EXPECT_EQ(o.error, MessageText(message));
    }
    return o;
  }

  std::string Fails(int message) { return MessageText(message); }
};

const Bytes kTen = Text("ABCDEFGHIJ");

TEST_F(DecoderTest, WorkedExampleByteForByte) {
  SourceVersion v = Version(kTen, 2, kVersionRangeIsSum, 4);
  EXPECT_EQ(v.SourceCrc, 0xCDE192FAu);
  std::vector<DeltaOp> program = {CopyOp(4, 0, {0x20}), InsertOp({0x20, 0x20, 0x20}, {false}),
                                  CopyOp(5, 6, {0x01})};
  VersionStreams s;
  ASSERT_TRUE(EncodeProgram(v, 14, program, &s));
  EXPECT_EQ(s.Stream[kNumberStream], (Bytes{0x04, 0x00, 0x01, 0x03, 0x05, 0x06}));
  EXPECT_EQ(s.Stream[kModeBitStream], (Bytes{0x00}));
  EXPECT_EQ(s.Stream[kSignBitStream], (Bytes{0x04}));
  EXPECT_EQ(s.Stream[kInsertStream], (Bytes{0x20, 0x20, 0x20}));
  EXPECT_EQ(s.Stream[kFixupStream], (Bytes{0x20, 0x01}));

  LoadStreams(v, s);
  WriteFileBytes(Path("source.bin"), kTen);
  DecodeRequest r = Request(14);
  r.verify_source = r.source_optional = true;
  Outcome o = Decode(r);
  EXPECT_TRUE(o.result) << o.error;
  EXPECT_EQ(o.output, Text("ABCDefghABCDeg"));
  EXPECT_EQ(ChecksumBytes(o.output.data(), o.output.size()), 0xA7D64C3Eu);
}

TEST_F(DecoderTest, CopiesAtTheSourceBoundary) {
  SourceVersion v = Version(kTen, 0, 0, 4);
  // Position 10 is the first byte of the output.
  EXPECT_EQ(Run(kTen, v, {CopyOp(4, 0), CopyOp(3, 6)}).output, Text("ABCDABC"));
  // Starting inside the source and running past its end.
  EXPECT_EQ(Run(kTen, v, {CopyOp(4, 0), CopyOp(3, 5)}).error, Fails(kMsgWriteOutputFailed));
  // Ending exactly at the end is fine until a fix-up needs the byte after it,
  // which is still looked for in the source, whatever the fix-up mode.
  EXPECT_EQ(Run(kTen, v, {CopyOp(4, 6)}).output, Text("GHIJ"));
  for (uint8_t flags : {0, int{kVersionPlainFixups}}) {
    EXPECT_EQ(Run(kTen, Version(kTen, 0, flags, 4), {CopyOp(4, 6, {1})}).error,
              Fails(kMsgReadSourceFailed));
  }
}

TEST_F(DecoderTest, CopiesFromTheOutputMoveInWholePieces) {
  SourceVersion v = Version(kTen, 0, 0, 4);
  EXPECT_EQ(Run(kTen, v, {CopyOp(5, 0), CopyOp(5, 5)}).output, Text("ABCDEABCDE"));
  EXPECT_EQ(Run(kTen, v, {CopyOp(5, 0), CopyOp(6, 5)}).error, Fails(kMsgWriteOutputFailed));

  // Past 1,000 bytes a copy may overlap its own bytes by whole pieces only.
  Bytes source(1000);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i * 7 + i / 13);
  SourceVersion big = Version(source, 0, 0, 4);
  Bytes repeated;
  for (int i = 0; i < 3; ++i) repeated.insert(repeated.end(), source.begin(), source.end());
  repeated.insert(repeated.end(), source.begin(), source.begin() + 500);
  EXPECT_EQ(Run(source, big, {CopyOp(1000, 0), CopyOp(2500, 0)}).output, repeated);
  EXPECT_EQ(Run(source, big, {CopyOp(1000, 0), CopyOp(999, 1)}).output.size(), 1999u);
  EXPECT_EQ(Run(source, big, {CopyOp(1000, 0), CopyOp(1000, 1)}).error,
            Fails(kMsgWriteOutputFailed));
  EXPECT_EQ(Run(source, big, {CopyOp(600, 0), CopyOp(1200, 400)}).error,
            Fails(kMsgWriteOutputFailed));
}

TEST_F(DecoderTest, InsertRunsAreCutIntoBlocksWithOneModeBitEach) {
  EXPECT_EQ(InsertBlocks(45, 20), (std::vector<int>{20, 25}));
  EXPECT_EQ(InsertBlocks(40, 20), (std::vector<int>{20, 20}));
  EXPECT_EQ(InsertBlocks(20, 20), (std::vector<int>{20}));
  EXPECT_EQ(InsertBlocks(15, 20), (std::vector<int>{15}));
  EXPECT_EQ(InsertBlocks(509, 255), (std::vector<int>{509}));

  Bytes source(100);
  for (int i = 0; i < 100; ++i) source[i] = static_cast<unsigned char>(i);
  // Before any copy the cursor is 0, so added blocks take the source bytes at
  // their own offset in the run, and every run starts there again.
  auto run = [](int n, unsigned char fill) { return Bytes(n, fill); };
  std::vector<DeltaOp> program = {InsertOp(run(45, 1), {true, false}),
                                  InsertOp(run(40, 2), {false, true}),
                                  InsertOp(run(20, 3), {false}), InsertOp(run(15, 4), {true})};
  Bytes expected = run(20, 1);
  for (int i = 20; i < 45; ++i) expected.push_back(static_cast<unsigned char>(i + 1));
  for (int i = 0; i < 20; ++i) expected.push_back(static_cast<unsigned char>(i + 2));
  for (int i = 0; i < 20; ++i) expected.push_back(2);
  for (int i = 0; i < 20; ++i) expected.push_back(static_cast<unsigned char>(i + 3));
  for (int i = 0; i < 15; ++i) expected.push_back(4);
  EXPECT_EQ(Run(source, Version(source, 0, 0, 20), program).output, expected);
}

TEST_F(DecoderTest, FixupModes) {
  // The fix-up after "AB" pairs with C; the insert after it with D and E.
  std::vector<DeltaOp> program = {CopyOp(2, 0, {0x20}), InsertOp({0x20, 0x20}, {false})};
  EXPECT_EQ(Run(kTen, Version(kTen, 5, 0, 4), program).output, Text("ABcde"));
  EXPECT_EQ(Run(kTen, Version(kTen, 5, kVersionPlainFixups, 4), program).output, Text("AB de"));
}

TEST_F(DecoderTest, CountBytesFollowTheCountdown) {
  // With period 1 a count slot sends the countdown below 0: no count byte is
  // read again and the count in force stays.
  std::vector<DeltaOp> negative = {CopyOp(1, 0, {1}), CountSlotOp(), CopyOp(1, 0, {2}),
                                   CopyOp(1, 0, {3})};
  EXPECT_EQ(Run(kTen, Version(kTen, 1, 0, 4), negative).output, Text("ACBECG"));
  // Period 0: the first copy reads the only count byte.
  std::vector<DeltaOp> zero = {CopyOp(1, 0, {1}), CopyOp(1, 0, {2}), CopyOp(1, 0, {3})};
  EXPECT_EQ(Run(kTen, Version(kTen, 0, 0, 4), zero).output, Text("ACBECG"));
  // Slots can also bring the next count byte forward.
  std::vector<DeltaOp> early = {CopyOp(1, 0, {1}), CountSlotOp(), CountSlotOp(), CopyOp(1, 0)};
  EXPECT_EQ(Run(kTen, Version(kTen, 3, 0, 4), early).output, Text("ACB"));

  VersionStreams s;
  ASSERT_TRUE(EncodeProgram(Version(kTen, 1, 0, 4), 0, negative, &s));
  EXPECT_EQ(s.Stream[kNumberStream].size(), 8u);  // seven numbers and one count byte
  // A copy whose program gives the wrong number of fix-up bytes is refused.
  EXPECT_FALSE(EncodeProgram(Version(kTen, 2, 0, 4), 0, {CopyOp(1, 0, {1}), CopyOp(1, 0)}, &s));
}

// The bound on the output meets a copy wherever it falls: inside the copied
// bytes, inside the fix-up bytes after them, or just past them.
TEST_F(DecoderTest, TheOutputBoundStopsACopyAndItsFixups) {
  const SourceVersion v = Version(kTen, 0, 0, 4);
  const std::vector<DeltaOp> program = {CopyOp(2, 0, {0, 0}), CopyOp(3, 2, {1, 1})};
  VersionStreams streams;
  ASSERT_TRUE(EncodeProgram(v, 0, program, &streams));
  LoadStreams(v, streams);
  WriteFileBytes(Path("source.bin"), kTen);
  // AB and the two bytes after it, then EFG and the two after it (HI) raised
  // by one.
  const Bytes whole = Text("ABCDEFGIJ");
  for (int64_t bound : {-1, 9, 10, 8, 6, 3, 1}) {
    DecodeRequest r = Request(0);
    r.max_output = bound;
    const Outcome o = Decode(r);
    if (bound < 0 || bound >= 9) {
      EXPECT_EQ(o.error, "") << bound;
      EXPECT_EQ(o.output, whole) << bound;
    } else {
      EXPECT_EQ(o.error, Fails(kMsgPatchDamaged)) << bound;
    }
    ReleaseEngineFiles();
    g_run.BodyTempFile.Seek(g_run.Entry.StreamStart[1]);
  }
}

TEST_F(DecoderTest, ReferencesPastTheEnd) {
  SourceVersion v = Version(kTen, 0, 0, 8);
  EXPECT_EQ(Run(kTen, v, {CopyOp(6, 0), InsertOp({0, 0, 0, 0}, {false})}).output,
            Text("ABCDEFGHIJ"));
  EXPECT_EQ(Run(kTen, v, {CopyOp(6, 0), InsertOp(Bytes(5, 0), {false})}).error,
            Fails(kMsgReadSourceFailed));
  // After a copy from the output, references are read from the output.
  std::vector<DeltaOp> program = {CopyOp(4, 0), CopyOp(2, 6), InsertOp(Bytes(4, 0), {false})};
  EXPECT_EQ(Run(kTen, v, program).output, Text("ABCDABCDAB"));
  program.back() = InsertOp(Bytes(5, 0), {false});
  EXPECT_EQ(Run(kTen, v, program).error, Fails(kMsgPatchDamaged));
  // A fix-up reference may run past the output's end as well.
  EXPECT_EQ(Run(kTen, v, {CopyOp(4, 0, {1, 1}), CopyOp(1, 11, {0, 0})}).error,
            Fails(kMsgPatchDamaged));
}

TEST_F(DecoderTest, DegenerateStreams) {
  // An empty program gives an empty file.
  Outcome empty = Run(kTen, Version(kTen, 0, 0, 4), {});
  EXPECT_TRUE(empty.result);
  EXPECT_TRUE(empty.output.empty());

  // Block size 0: the run makes no progress and eats mode bits until there are
  // none. The writer will not produce it.
  SourceVersion zero = Version(kTen, 0, 0, 0);
  VersionStreams s;
  EXPECT_FALSE(EncodeProgram(zero, 0, {InsertOp({1}, {true})}, &s));
  s.Stream[kNumberStream] = {0x03};
  s.Stream[kSignBitStream] = {0x01};
  s.Stream[kModeBitStream] = {0xFF, 0xFF};
  LoadStreams(zero, s);
  WriteFileBytes(Path("source.bin"), kTen);
  EXPECT_EQ(Decode(Request(0)).error, Fails(kMsgPatchDamaged));

  // A count byte that is due but missing.
  ASSERT_TRUE(EncodeProgram(Version(kTen, 0, 0, 4), 0, {CopyOp(1, 0)}, &s));
  s.Stream[kNumberStream].pop_back();
  LoadStreams(Version(kTen, 0, 0, 4), s);
  EXPECT_EQ(Decode(Request(0)).error, Fails(kMsgPatchDamaged));
}

TEST_F(DecoderTest, SourceIsCheckedAndMayBeMissing) {
  SourceVersion v = Version(kTen, 0, 0, 4);
  v.SourceCrc = ChecksumBytes(kTen.data(), kTen.size(), 3, 2);
  VersionStreams s;
  ASSERT_TRUE(EncodeProgram(v, 0, {CopyOp(10, 0)}, &s));
  LoadStreams(v, s);
  const std::vector<std::string> before = TempLeftovers(temp_);
  DecodeRequest r = Request(0);
  r.verify_source = r.source_optional = true;
  r.source_excluded = {3, 2};

  Bytes changed = kTen;
  changed[4] = 'x';  // inside the excluded region
  WriteFileBytes(Path("source.bin"), changed);
  EXPECT_EQ(Decode(r).output, changed);
  changed[5] = 'x';  // outside it
  WriteFileBytes(Path("source.bin"), changed);
  EXPECT_FALSE(Decode(r).result);
  WriteFileBytes(Path("source.bin"), Text("ABCDEFGHIJK"));
  EXPECT_FALSE(Decode(r).result);
  std::remove(Path("source.bin").c_str());
  Outcome missing = Decode(r);
  EXPECT_FALSE(missing.result);
  EXPECT_EQ(missing.error, "");
  // One output file was made, by the decode that succeeded; the others made none.
  EXPECT_EQ(TempLeftovers(temp_).size(), before.size() + 1);

  g_run.TargetPath = "target";
  r.source_optional = false;
  EXPECT_EQ(Decode(r).error, Fails(kMsgOpenSourceFailed));
}

TEST_F(DecoderTest, FailuresLeaveOnlyThePartialOutput) {
  Run(kTen, Version(kTen, 0, 0, 4), {CopyOp(4, 0), CopyOp(3, 5)});
  EXPECT_EQ(TempLeftovers(temp_).size(), 1u);

  // The body ends inside the streams: refused before any is read.
  VersionStreams s;
  s.Stream[kInsertStream] = Bytes(600, 1);
  LoadStreams(Version(kTen, 0, 0, 4), s);
  SourceVersion longer = g_run.Entry.Version[1];
  longer.StreamLength[kFixupStream] = 5000;
  DecodeRequest r = Request(0);
  r.version = &longer;
  EXPECT_EQ(Decode(r).error, Fails(kMsgPatchDamaged));
  EXPECT_EQ(TempLeftovers(temp_).size(), 2u);
}

// Only the output is written while decoding: write number g_refused_write
// (from 1; 0 for every one) is refused.
int g_refused_write = 0;
int g_writes = 0;
int RefuseOutputWrites(OsOp op, const std::string&) {
  if (op != OsOp::kWrite) return 0;
  ++g_writes;
  return g_refused_write == 0 || g_writes == g_refused_write ? ENOSPC : 0;
}

// The output is written in large blocks and read back from memory; a disk
// that fills up under a long copy out of the output is still a failed write.
TEST_F(DecoderTest, AFullDiskUnderACopyFromTheOutputIsAFailedWrite) {
  Bytes source(1000);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i * 5 + 1);
  SourceVersion v = Version(source, 0, 0, 4);
  const int64_t new_size = 3'000'000;
  VersionStreams streams;
  ASSERT_TRUE(EncodeProgram(v, new_size, {CopyOp(1000, 0), CopyOp(2'999'000, 0)}, &streams));
  LoadStreams(v, streams);
  WriteFileBytes(Path("source.bin"), source);
  Outcome whole = Decode(Request(new_size));
  ASSERT_EQ(whole.error, "");
  ASSERT_EQ(whole.output.size(), static_cast<size_t>(new_size));
  for (size_t i = 0; i < whole.output.size(); ++i) ASSERT_EQ(whole.output[i], source[i % 1000]);

  // Every write refused, and each one alone: the first two blocks are
  // written beside the decoder, the last one after it.
  for (int refused : {0, 1, 2, 3}) {
    LoadStreams(v, streams);  // a failure takes the body copy with it
    g_refused_write = refused;
    g_writes = 0;
    SetOsFaultHook(RefuseOutputWrites);
    Outcome full = Decode(Request(new_size));
    SetOsFaultHook(nullptr);
    EXPECT_EQ(full.error, Fails(kMsgWriteOutputFailed)) << refused;
    EXPECT_GE(g_writes, refused) << refused;
  }
}

// Random valid programs, and a few that end in an instruction the decoder
// refuses, must decode exactly as the model says.
struct Random {
  std::mt19937 gen{20240611};
  int64_t In(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(gen); }
  bool Chance(int percent) { return In(0, 99) < percent; }
  Bytes Data(int64_t n) {
    Bytes b(static_cast<size_t>(n));
    for (auto& c : b) c = static_cast<unsigned char>(In(0, 255));
    return b;
  }
};

int64_t MaxMagnitude(int64_t range) {
  return range > 0xFFFFFF ? 0x7FFFFFFF : range > 0xFFFF ? 0xFFFFFF : range > 0xFF ? 0xFFFF : 0xFF;
}

DeltaOp RandomOp(Random& rng, const DecodeModel& m, int64_t limit, bool wild) {
  const int64_t source = static_cast<int64_t>(m.source.size());
  const int64_t out = static_cast<int64_t>(m.output.size());
  const int kind = static_cast<int>(rng.In(0, 9));
  if (kind == 0) return CountSlotOp();
  if (kind <= 3) {
    const int block = m.version.InsertBlockSize;
    int64_t n = std::min(limit, rng.In(1, rng.Chance(20) ? 3 * block + 5 : block + 2));
    std::vector<bool> modes;
    for (size_t i = InsertBlocks(n, block).size(); i > 0; --i) modes.push_back(rng.Chance(50));
    return InsertOp(rng.Data(n), modes);
  }
  const int64_t fixups =
      m.CountByteDue() ? (rng.Chance(5) ? rng.In(0, 255) : rng.In(0, 3)) : m.FixupCount;
  int64_t pos, len;
  if (wild) {
    pos = rng.In(-3, source + out + 3);
    len = rng.In(1, 40);
  } else if (source > 0 && (kind <= 6 || out == 0)) {
    len = rng.In(1, std::min<int64_t>(source, 400));
    pos = rng.In(0, source - len);
  } else if (out > 0) {
    const int64_t from = rng.In(0, out - 1);
    const int64_t d = out - from;
    len = rng.In(1, d < 1000 ? d : 3 * d);
    pos = source + from;
  } else {
    return CountSlotOp();
  }
  const int64_t offset = pos - m.Cursor();
  if (len > limit || std::abs(offset) > limit) return CountSlotOp();
  return CopyOp(static_cast<int32_t>(len), static_cast<int32_t>(offset), rng.Data(fixups));
}

TEST_F(DecoderTest, RandomProgramsDecodeAsTheModelSays) {
  Random rng;
  const int64_t kBandLow[] = {0, 256, 65536, 16777216};
  const int64_t kBandHigh[] = {255, 65535, 16777215, 1 << 30};
  int bands[4] = {}, plain = 0, wide_numbers = 0;
  int failures[3] = {};  // by message: damaged, write, read source
  for (int round = 0; round < 2500; ++round) {
    const int64_t size = rng.Chance(3)    ? rng.In(65536, 140000)
                         : rng.Chance(40) ? rng.In(0, 255)
                                          : rng.In(256, 4000);
    const Bytes source = rng.Data(size);
    const uint16_t periods[] = {0, 1, 2, 5, 190};
    SourceVersion v = Version(source, periods[rng.In(0, 4)], static_cast<uint8_t>(rng.In(0, 3)),
                              static_cast<uint8_t>(rng.Chance(10) ? 255 : rng.In(1, 40)));
    // Pick the address range first, then a new size that gives it.
    int band = static_cast<int>(rng.In(0, 3));
    while (kBandHigh[band] < size) ++band;
    const int64_t range = rng.In(std::max(kBandLow[band], size), kBandHigh[band]);
    const int64_t new_size = (v.VersionFlags & kVersionRangeIsSum) ? range - size : range;
    ASSERT_EQ(AddressRangeFor(size, new_size, v.VersionFlags), range);

    DecodeModel model(v, source);
    std::vector<DeltaOp> program;
    for (int64_t n = rng.In(0, 30); n > 0; --n) {
      for (int attempt = 0; attempt < 4; ++attempt) {
        DeltaOp op = RandomOp(rng, model, MaxMagnitude(range), false);
        if (ModelStep(&model, op)) {
          program.push_back(op);
          break;
        }
      }
    }
    int expected_message = -1;
    if (rng.Chance(15)) {
      for (int attempt = 0; attempt < 20 && expected_message < 0; ++attempt) {
        DeltaOp op = RandomOp(rng, model, MaxMagnitude(range), true);
        int message = -1;
        if (ModelStep(&model, op, &message)) {
          program.push_back(op);
        } else if (message >= 0) {
          program.push_back(op);
          expected_message = message;
        }
      }
    }

    VersionStreams streams;
    std::string why;
    ASSERT_TRUE(EncodeProgram(v, new_size, program, &streams, &why)) << why;
    LoadStreams(v, streams);
    WriteFileBytes(Path("source.bin"), source);
    DecodeRequest r = Request(new_size);
    r.verify_source = rng.Chance(50);
    Outcome o = Decode(r);
    if (expected_message < 0) {
      ASSERT_EQ(o.error, "") << "round " << round;
      ASSERT_EQ(o.output, model.output) << "round " << round;
    } else {
      ASSERT_EQ(o.error, MessageText(expected_message)) << "round " << round;
      ++failures[expected_message];
    }

    ++bands[band];
    plain += (v.VersionFlags & kVersionPlainFixups) != 0;
    for (const DeltaOp& op : program) wide_numbers += std::abs(int64_t{op.offset}) > 0xFFFF;
    g_run.BodyTempFile.Close();
    g_run.BodyTempOpen = false;
    for (const std::string& name : TempLeftovers(temp_)) std::remove((temp_ + "/" + name).c_str());
  }
  for (int count : bands) EXPECT_GT(count, 100);
  EXPECT_GT(plain, 500);
  for (int count : failures) EXPECT_GT(count, 5);
  EXPECT_GT(wide_numbers, 10);
}

// Streams beyond a window and output beyond a block, copied from near and
// far, decoded with the streams in memory and through windows over the body
// copy: the same bytes and checksum.
TEST_F(DecoderTest, StreamsInMemoryAndInFilesDecodeAlike) {
  Bytes source(200'000);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i * 31 + i / 7);
  SourceVersion v = Version(source, 3, 0, 16);
  std::vector<DeltaOp> program;
  int64_t next = 0;     // where the last copy ended
  int64_t written = 0;  // at least this much output, fix-ups aside
  for (int i = 0; i < 110'000; ++i) {
    if (i % 9 == 4) {
      program.push_back(InsertOp(Bytes(20, static_cast<unsigned char>(i)), {i % 2 == 0}));
      written += 20;
      continue;
    }
    int32_t length = 1 + i % 37;
    int64_t at = (static_cast<int64_t>(i) * 7919) % 190'000;
    if (i % 50 == 25 && written > 100'000) {
      // Copies of the output: just behind, inside the output block, and
      // from its start, which lies in the block passed on to be written
      // and then behind both once the output is large.
      const int64_t back = i % 150 == 25 ? 60 : i % 150 == 75 ? 5'000 : written - 10;
      length = 20;
      at = static_cast<int64_t>(source.size()) + written - back;
    }
    program.push_back(
        CopyOp(length, static_cast<int32_t>(at - next), Bytes{static_cast<unsigned char>(i), 1}));
    next = at + length;
    written += length;
  }
  VersionStreams streams;
  ASSERT_TRUE(EncodeProgram(v, 0, program, &streams));
  ASSERT_GT(streams.Stream[kNumberStream].size(), static_cast<size_t>(kStreamWindow));
  WriteFileBytes(Path("source.bin"), source);
  LoadStreams(v, streams);
  for (bool cut : {false}) {
    SourceVersion version = g_run.Entry.Version[1];
    if (cut) version.StreamLength[kNumberStream] -= 3;
    Outcome seen[2];
    OutputChecksum sums[2];
    for (int files = 0; files < 2; ++files) {
      g_stream_memory_budget = files ? 0 : int64_t{1} << 40;
      DecodeRequest r = Request(0);
      r.version = &version;
      r.output_checksum = &sums[files];
      seen[files] = Decode(r);
      ReleaseEngineFiles();  // as the run does after a failure
    }
    g_stream_memory_budget = kStreamMemoryBudget;
    EXPECT_EQ(seen[0].error, seen[1].error) << cut;
    EXPECT_EQ(seen[0].output, seen[1].output) << cut;
    if (cut) {
      EXPECT_EQ(seen[1].error, Fails(kMsgPatchDamaged));
      continue;
    }
    Bytes expected;
    int message = -1;
    ASSERT_TRUE(ModelRun(v, source, program, &expected, &message));
    EXPECT_EQ(seen[1].output, expected);
    ASSERT_GT(expected.size(), static_cast<size_t>(2 * kOutputBlock));
    for (const OutputChecksum& sum : sums) {
      EXPECT_TRUE(sum.complete);
      EXPECT_EQ(sum.value, ChecksumBytes(expected.data(), expected.size()));
    }
  }
}

}  // namespace
}  // namespace tw
