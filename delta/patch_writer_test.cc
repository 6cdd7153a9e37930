#include "delta/patch_writer.h"

#include <gtest/gtest.h>

#include "container/patch_loader.h"
#include "messages/catalogue.h"

namespace tw {
namespace {

SourceVersion Version(int32_t source_size, uint16_t period, uint8_t block) {
  SourceVersion v;
  v.SourceSize = source_size;
  v.FixupPeriod = period;
  v.InsertBlockSize = block;
  return v;
}

TEST(PatchWriterTest, MalformedProgramsAreRefused) {
  const SourceVersion v = Version(10, 2, 4);
  struct Case {
    const char* what;
    std::vector<DeltaOp> program;
  } cases[] = {
      {"copy of nothing", {CopyOp(0, 0)}},
      {"empty insert", {InsertOp({}, {})}},
      {"a mode too few", {InsertOp(Bytes(9, 0), {true})}},
      {"a mode too many", {InsertOp(Bytes(3, 0), {true, true})}},
      {"count byte above 255", {CopyOp(1, 0, Bytes(256, 0))}},
      {"fix-ups beside the count in force", {CopyOp(1, 0, {1}), CopyOp(1, 0, {1, 2})}},
  };
  const Bytes source(10, 'x');
  for (const Case& c : cases) {
    VersionStreams s;
    std::string why;
    EXPECT_FALSE(EncodeProgram(v, 0, c.program, &s, &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
    Bytes out;
    int message = 0;
    EXPECT_FALSE(ModelRun(v, source, c.program, &out, &message)) << c.what;
    EXPECT_EQ(message, -1) << c.what;
  }
}

TEST(PatchWriterTest, NumbersMustFitTheAddressRange) {
  // The range comes from the sizes exactly as the decoder takes it.
  EXPECT_EQ(AddressRangeFor(100, 155, kVersionRangeIsSum), 255);
  EXPECT_EQ(AddressRangeFor(100, 156, kVersionRangeIsSum), 256);
  EXPECT_EQ(AddressRangeFor(100, 156, 0), 156);
  EXPECT_EQ(AddressRangeFor(300, 156, kVersionPlainFixups), 300);

  VersionStreams s;
  const SourceVersion v = Version(100, 0, 255);
  EXPECT_TRUE(EncodeProgram(v, 155, {CopyOp(255, -255)}, &s));
  EXPECT_FALSE(EncodeProgram(v, 155, {CopyOp(256, 0)}, &s));
  EXPECT_FALSE(EncodeProgram(v, 155, {CopyOp(1, -256)}, &s));
  EXPECT_FALSE(EncodeProgram(v, 155, {StoredInsertOp(Bytes(256, 0), 255)}, &s));
  // A little more room takes a second byte, and a second-byte bit per number.
  SourceVersion sum = v;
  sum.VersionFlags = kVersionRangeIsSum;
  EXPECT_TRUE(EncodeProgram(sum, 156, {CopyOp(256, -256)}, &s));
  EXPECT_EQ(s.Stream[kNumberStream], (Bytes{0x01, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(s.Stream[kSignBitStream], (Bytes{0x0E}));
  EXPECT_TRUE(s.Stream[kModeBitStream].empty());
}

TEST(PatchWriterTest, ModeBitsInterleaveInDecodingOrder) {
  // Above 16,777,215 a 3-byte number takes a 3rd-byte bit (1) and a 4th-byte
  // bit (0); insert blocks take theirs between numbers.
  const SourceVersion v = Version(1 << 25, 0, 2);
  VersionStreams s;
  ASSERT_TRUE(EncodeProgram(v, 0,
                            {InsertOp({1, 2, 3, 4, 5}, {false, true}), CopyOp(1, 0x10000),
                             InsertOp({6}, {false}), CopyOp(2, 0x1000000)},
                            &s));
  // Bits: 0 1 | 1 0 | 0 | 1 1, lowest first.
  EXPECT_EQ(s.Stream[kModeBitStream], (Bytes{0x66}));
  EXPECT_EQ(s.Stream[kInsertStream], (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(s.Stream[kNumberStream],
            (Bytes{0x05, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01, 0x02, 0x01, 0x00, 0x00, 0x00}));
}

TEST(PatchWriterTest, FailedModelStepChangesNothing) {
  const Bytes source = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'};
  const SourceVersion v = Version(10, 3, 4);
  DecodeModel m(v, source);
  ASSERT_TRUE(ModelStep(&m, CopyOp(4, 0, {0})));
  ASSERT_TRUE(ModelStep(&m, CountSlotOp()));
  const Bytes before = m.output;
  // The first block of four has its reference, the second runs past the source.
  int message = -1;
  EXPECT_FALSE(ModelStep(&m, InsertOp(Bytes(9, 0), {false, false}), &message));
  EXPECT_EQ(message, kMsgReadSourceFailed);
  EXPECT_FALSE(ModelStep(&m, CopyOp(7, 0, {0}), &message));
  EXPECT_EQ(message, kMsgWriteOutputFailed);
  EXPECT_EQ(m.output, before);
  EXPECT_EQ(m.Cursor(), 4);
  EXPECT_EQ(m.FixupCount, 1);
  EXPECT_EQ(m.FixupCountdown, 1);
  EXPECT_FALSE(m.CountByteDue());
  ASSERT_TRUE(ModelStep(&m, CopyOp(1, 0, {1})));
  EXPECT_TRUE(m.CountByteDue());
  EXPECT_EQ(m.output, Bytes({'A', 'B', 'C', 'D', 'E', 'E', 'G'}));
}

// A model that checks against the new file must accept exactly what a model
// that keeps the output writes, and refuse the instruction that writes the
// first wrong byte, wherever it is: copies from the output that overlap
// their own bytes, fix-up and insert references read from the output, and
// insert blocks whose reference takes in the blocks before them.
TEST(PatchWriterTest, CheckingModelAgreesWithKeepingModel) {
  const Bytes source = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'};
  const Bytes ones(12, 1);
  // Output grown by copies of itself past a piece of 1,000 bytes, then a
  // copy 1,000 bytes back that runs on over the bytes it writes.
  std::vector<DeltaOp> overlap = {CopyOp(10, 0)};
  int64_t size = 10, cursor = 10;
  for (; size < 1000; cursor = 10 + size, size *= 2) {
    overlap.push_back(CopyOp(static_cast<int32_t>(size), static_cast<int32_t>(10 - cursor)));
  }
  overlap.push_back(CopyOp(2500, static_cast<int32_t>(10 + size - 1000 - cursor)));
  struct Case {
    const char* what;
    SourceVersion v;
    std::vector<DeltaOp> program;
  } cases[] = {
      {"fix-ups and a stored insert", Version(10, 2, 4),
       {CopyOp(4, 0, {1, 2}), StoredInsertOp({'x', 'y', 'z'}, 4), CopyOp(3, 1, {7, 8})}},
      {"copy from the output over its own bytes", Version(10, 0, 4), overlap},
      {"fix-up reference in the output", Version(10, 2, 4),
       {CopyOp(5, 0, {3}), CopyOp(2, 5, {4})}},
      {"insert blocks added to the blocks before them", Version(10, 1, 4),
       {CopyOp(4, 0), CopyOp(1, 6), InsertOp(ones, {false, false, false})}},
      {"count slots between copies", Version(10, 3, 4),
       {CopyOp(2, 1, {9}), CountSlotOp(), CountSlotOp(), CopyOp(2, 3, {})}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes kept;
    ASSERT_TRUE(ModelRun(c.v, source, c.program, &kept));
    ASSERT_FALSE(kept.empty());
    DecodeModel checking(c.v, source, kept);
    for (const DeltaOp& op : c.program) ASSERT_TRUE(ModelStep(&checking, op));
    EXPECT_EQ(checking.written, static_cast<int64_t>(kept.size()));
    EXPECT_TRUE(checking.output.empty());

    for (size_t wrong = 0; wrong < kept.size(); ++wrong) {
      Bytes expected = kept;
      expected[wrong] ^= 0x40;
      DecodeModel m(c.v, source, expected);
      size_t step = 0;
      int message = 0;
      while (step < c.program.size() && ModelStep(&m, c.program[step], &message)) ++step;
      ASSERT_LT(step, c.program.size()) << "byte " << wrong;
      EXPECT_EQ(message, kModelDiffers);
      // The refused instruction is the one that writes the wrong byte, and
      // the model stays where it was before it.
      DecodeModel keep(c.v, source);
      for (size_t k = 0; k < step; ++k) ASSERT_TRUE(ModelStep(&keep, c.program[k]));
      EXPECT_EQ(m.written, keep.written);
      EXPECT_EQ(m.Cursor(), keep.Cursor());
      EXPECT_EQ(m.FixupCountdown, keep.FixupCountdown);
      ASSERT_TRUE(ModelStep(&keep, c.program[step]));
      EXPECT_LE(m.written, static_cast<int64_t>(wrong));
      EXPECT_GT(keep.written, static_cast<int64_t>(wrong));
    }
    // Longer than expected is wrong too.
    Bytes shorter(kept.begin(), kept.end() - 1);
    DecodeModel m(c.v, source, shorter);
    bool all = true;
    for (const DeltaOp& op : c.program) all = all && ModelStep(&m, op);
    EXPECT_FALSE(all);
  }
}

TEST(PatchWriterTest, DescriptionTextRoundTripsThroughTheTable) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string oem = OemFromAnsi(all);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(kOemToAnsiTable[static_cast<unsigned char>(oem[i])], i);
  }
}

}  // namespace
}  // namespace tw
