#include "delta/streams.h"

#include <algorithm>
#include <cstdint>
#include <random>

#include "container/body.h"
#include "container/patch_loader.h"
#include "delta/patch_writer.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "state/run_state.h"
#include "tests/test_util.h"

namespace tw {
namespace {

// One bit at a time, sharing nothing with the table-driven code.
uint32_t BitwiseRegister(const Bytes& data, size_t from = 0, size_t to = SIZE_MAX,
                         uint32_t reg = 0xFFFFFFFFu) {
  for (size_t i = from; i < std::min(to, data.size()); ++i) {
    reg ^= data[i];
    for (int k = 0; k < 8; ++k) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return reg;
}

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(gen());
  return b;
}

class StreamsTest : public TempDirTest {
 protected:
  void TearDown() override {
    for (File& f : g_run.StreamFile) f.Close();
    g_run.SourceFile.Close();
    g_run.OutputFile.Close();
    TempDirTest::TearDown();
  }
  File& OpenFile(File& file, const std::string& name, const Bytes& data) {
    WriteFileBytes(Path(name), data);
    EXPECT_TRUE(file.OpenRead(CorePath(name)));
    return file;
  }
  void StartNumbers(int64_t range, const Bytes& numbers, const Bytes& sign, const Bytes& mode) {
    OpenFile(g_run.StreamFile[kNumberStream], "numbers", numbers);
    OpenFile(g_run.StreamFile[kSignBitStream], "sign", sign);
    OpenFile(g_run.StreamFile[kModeBitStream], "mode", mode);
    g_engine = EngineCounters();
    g_engine.AddressRange = range;
    g_engine.NumbersLeft = static_cast<int64_t>(numbers.size());
  }
  // The text raised by f, or "" when it returns.
  template <typename F>
  std::string Raised(F f) {
    try {
      f();
    } catch (const PatchError& e) {
      return e.text();
    }
    return "";
  }
};

TEST_F(StreamsTest, ChecksumsOfKnownTexts) {
  const std::string texts[] = {"abc", "123456789", ""};
  const uint32_t sums[] = {0xCADBBE3Du, 0x340BC6D9u, 0xFFFFFFFFu};
  for (int i = 0; i < 3; ++i) {
    Bytes data(texts[i].begin(), texts[i].end());
    EXPECT_EQ(ChecksumBytes(data.data(), data.size()), sums[i]);
    File f;
    EXPECT_EQ(ChecksumFile(OpenFile(f, "t" + std::to_string(i), data), 0, 0), sums[i]);
  }
}

TEST_F(StreamsTest, ChecksumsAgreeWithBitwiseArithmetic) {
  // Every length up to a few words, and files longer than a read piece.
  for (size_t n : {0, 1, 7, 8, 9, 15, 16, 17, 63, 501, 16384, 16385, 50000}) {
    Bytes data = RandomBytes(n, static_cast<unsigned>(n));
    EXPECT_EQ(ChecksumBytes(data.data(), n), BitwiseRegister(data)) << n;
    EXPECT_EQ(ChecksumUpdate(0x12345678u, data.data(), n),
              BitwiseRegister(data, 0, SIZE_MAX, 0x12345678u))
        << n;
    File f;
    EXPECT_EQ(ChecksumFile(OpenFile(f, "data", data), 0, 0), BitwiseRegister(data)) << n;
  }
}

TEST_F(StreamsTest, ExcludedRegions) {
  const Bytes data = RandomBytes(20000, 7);
  File f;
  OpenFile(f, "data", data);
  struct Case {
    int64_t offset, length;
    uint32_t expected;
  } cases[] = {
      {0, 0, BitwiseRegister(data)},
      {100, 50, BitwiseRegister(data, 150, SIZE_MAX, BitwiseRegister(data, 0, 100))},
      {0, 17000, BitwiseRegister(data, 17000)},
      {19000, 1000, BitwiseRegister(data, 0, 19000)},  // exactly the tail
      {19000, 5000, BitwiseRegister(data, 0, 19000)},  // past the end
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChecksumFile(f, c.offset, c.length), c.expected) << c.offset;
    EXPECT_EQ(ChecksumBytes(data.data(), data.size(), c.offset, c.length), c.expected);
    EXPECT_TRUE(ChecksumMatches(f, {static_cast<int32_t>(c.offset), static_cast<int32_t>(c.length)},
                                c.expected));
    EXPECT_FALSE(ChecksumMatches(
        f, {static_cast<int32_t>(c.offset), static_cast<int32_t>(c.length)}, c.expected ^ 1));
  }
  // A region that starts past the end belongs to a longer file: whatever the
  // sum comes to, this file must not pass for one.
  const ExcludedRegion beyond = {20010, 4};
  bool complete = true;
  const uint32_t value = ChecksumFile(f, beyond.offset, beyond.length, &complete);
  EXPECT_FALSE(complete);
  Bytes padded = data;
  padded.resize(beyond.offset, 0);
  for (uint32_t candidate :
       {value, BitwiseRegister(data), BitwiseRegister(padded),
        ChecksumBytes(data.data(), data.size(), beyond.offset, beyond.length)}) {
    EXPECT_FALSE(ChecksumMatches(f, beyond, candidate));
  }
}

TEST_F(StreamsTest, BitsAreTakenLowestFirst) {
  for (int stream : {kModeBitStream, kSignBitStream}) {
    g_engine = EngineCounters();
    OpenFile(g_run.StreamFile[stream], "bits", {0x05, 0x80});
    auto next = stream == kModeBitStream ? ModeBitReader : SignBitReader;
    std::vector<int> bits;
    for (int i = 0; i < 16; ++i) bits.push_back(next());
    EXPECT_EQ(bits, (std::vector<int>{1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(Raised(next), MessageText(kMsgPatchDamaged));
  }
}

TEST_F(StreamsTest, NumberWidthsFollowTheAddressRange) {
  // Up to 255: one byte and a sign bit; no other bit is taken, so an empty
  // ModeBitStream does no harm.
  StartNumbers(200, {0x07, 0xFF}, {0x01}, {});
  EXPECT_EQ(ReadNumber(), -7);
  EXPECT_EQ(g_engine.NumbersLeft, 1);
  EXPECT_EQ(ReadNumber(), 255);
  // 300: two bytes at most, never a ModeBitStream bit.
  StartNumbers(300, {0x01, 0x02, 0x05}, {0x02}, {});
  EXPECT_EQ(ReadNumber(), 258);
  EXPECT_EQ(ReadNumber(), 5);
  // 70,000: the 3rd-byte bit comes from ModeBitStream.
  StartNumbers(70000, {0x01, 0x02, 0x03}, {0x02}, {0x01});
  EXPECT_EQ(ReadNumber(), 66051);
  EXPECT_EQ(g_engine.NumbersLeft, 0);
  StartNumbers(70000, {0x01, 0x02, 0x03}, {0x02}, {0x00});
  EXPECT_EQ(ReadNumber(), 258);
  EXPECT_EQ(g_engine.NumbersLeft, 1);
  // A missing byte is a damaged patch.
  StartNumbers(300, {0x01}, {0x02}, {});
  EXPECT_EQ(Raised(ReadNumber), MessageText(kMsgPatchDamaged));
}

TEST_F(StreamsTest, WrittenNumbersReadBackAtTheSmallestWidth) {
  const int64_t ranges[] = {200, 300, 70000, 20000000};
  const int64_t limits[] = {0xFF, 0xFFFF, 0xFFFFFF, 0x7FFFFFFF};
  const int64_t magnitudes[] = {0,       1,        0xFF,      0x100,      0xFFFF,
                                0x10000, 0xFFFFFF, 0x1000000, 0x7FFFFFFF, 0x80000000};
  for (int band = 0; band < 4; ++band) {
    for (int64_t m : magnitudes) {
      for (int64_t value : {m, -m}) {
        SourceVersion v;
        v.SourceSize = static_cast<int32_t>(ranges[band]);
        VersionStreams s;
        // A copy of one byte carries the value as its offset, then a count byte.
        DeltaOp op = CopyOp(1, 0);
        op.offset = static_cast<int32_t>(value);
        bool fits = m <= limits[band];
        ASSERT_EQ(EncodeProgram(v, 0, {op}, &s), fits) << ranges[band] << " " << value;
        if (!fits) continue;
        const size_t width = m > 0xFFFFFF ? 4 : m > 0xFFFF ? 3 : m > 0xFF ? 2 : 1;
        EXPECT_EQ(s.Stream[kNumberStream].size(), 1 + width + 1);
        StartNumbers(ranges[band], s.Stream[kNumberStream], s.Stream[kSignBitStream],
                     s.Stream[kModeBitStream]);
        EXPECT_EQ(ReadNumber(), 1);
        EXPECT_EQ(ReadNumber(), value);
        EXPECT_EQ(g_engine.NumbersLeft, 1);
        // Every byte of the bit streams was needed.
        EXPECT_EQ(g_run.StreamFile[kSignBitStream].Tell(),
                  static_cast<int64_t>(s.Stream[kSignBitStream].size()));
        EXPECT_EQ(g_run.StreamFile[kModeBitStream].Tell(),
                  static_cast<int64_t>(s.Stream[kModeBitStream].size()));
      }
    }
  }
}

TEST_F(StreamsTest, CopyRangeAcrossTheSourceBoundary) {
  OpenFile(g_run.SourceFile, "source", {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'});
  ASSERT_TRUE(g_run.OutputFile.Create(CorePath("output")));
  g_engine = EngineCounters();
  g_engine.SourceSize = 10;
  EXPECT_TRUE(CopyRange(7, 3));
  EXPECT_TRUE(CopyRange(10, 3));  // the output's first byte
  EXPECT_TRUE(CopyRange(11, 0));
  EXPECT_TRUE(CopyRange(12, 4));  // reads up to the last byte written
  EXPECT_FALSE(CopyRange(9, 2));
  EXPECT_FALSE(CopyRange(20, 5));
  ASSERT_TRUE(FlushOutput());
  ASSERT_TRUE(g_run.OutputFile.Close());
  EXPECT_EQ(ReadFileBytes(Path("output")),
            Bytes({'H', 'I', 'J', 'H', 'I', 'J', 'J', 'H', 'I', 'J'}));
}

TEST_F(StreamsTest, ExtractStream) {
  Bytes body = RandomBytes(1300, 3);
  body[0] = 0;  // empty backup name; the stream bytes follow
  WriteFileBytes(Path("patch.bin"), MakeCarrier(body));
  g_run.PatchFilePath = CorePath("patch.bin");
  LoadPatch();
  ASSERT_TRUE(ExtractStream(0, g_run.StreamFile[0], CorePath("empty")));
  EXPECT_TRUE(PathExists(Path("empty")));
  EXPECT_EQ(ReadFileBytes(Path("empty")).size(), 0u);
  ASSERT_TRUE(ExtractStream(1200, g_run.StreamFile[1], CorePath("s1")));
  EXPECT_EQ(ReadFileBytes(Path("s1")), Bytes(body.begin() + 1, body.begin() + 1201));
  unsigned char first = 0;
  EXPECT_TRUE(ReadChunked(g_run.StreamFile[1], &first, 1));  // reopened for reading
  EXPECT_EQ(first, body[1]);
  EXPECT_EQ(Raised([this] { ExtractStream(200, g_run.StreamFile[2], CorePath("s2")); }),
            MessageText(kMsgPatchDamaged));
}

}  // namespace
}  // namespace tw
