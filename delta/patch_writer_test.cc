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
