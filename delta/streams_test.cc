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
    g_engine = EngineCounters();
    g_run.SourceFile.Close();
    g_run.OutputFile.Close();
    TempDirTest::TearDown();
  }
  File& OpenFile(File& file, const std::string& name, const Bytes& data) {
    WriteFileBytes(Path(name), data);
    EXPECT_TRUE(file.OpenRead(CorePath(name)));
    return file;
  }
  // Points stream i at a copy of data, all of it in memory.
  void SetStream(int i, const Bytes& data) {
    streams_[i] = data;
    g_engine.StreamNext[i] = streams_[i].data();
    g_engine.StreamEnd[i] = streams_[i].data() + streams_[i].size();
    g_engine.StreamsInMemory = true;
  }
  // Bytes of stream i taken so far.
  int64_t Taken(int i) const { return g_engine.StreamNext[i] - streams_[i].data(); }
  void StartNumbers(int64_t range, const Bytes& numbers, const Bytes& sign, const Bytes& mode) {
    g_engine = EngineCounters();
    SetStream(kNumberStream, numbers);
    SetStream(kSignBitStream, sign);
    SetStream(kModeBitStream, mode);
    g_engine.AddressRange = range;
    g_engine.NumbersLeft = static_cast<int64_t>(numbers.size());
  }
  Bytes streams_[kStreamCount];
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
  // Every length up to a few words, and files around and past a read piece
  // (4 KB for small ranges, 256 KB for larger ones).
  for (size_t n : {0, 1, 7, 8, 9, 15, 16, 17, 63, 501, 4096, 4097, 16385, 50000, 262145, 600001}) {
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
    SetStream(stream, {0x05, 0x80});
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
        EXPECT_EQ(Taken(kSignBitStream), static_cast<int64_t>(s.Stream[kSignBitStream].size()));
        EXPECT_EQ(Taken(kModeBitStream), static_cast<int64_t>(s.Stream[kModeBitStream].size()));
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

// Streams too large for memory are read from the body copy through windows;
// a tiny budget makes every stream take that path.
TEST_F(StreamsTest, StreamsComeFromTheBodyThroughWindows) {
  Bytes body = RandomBytes(3 * kStreamWindow, 3);
  body[0] = 0;  // empty backup name; the stream bytes follow
  WriteFileBytes(Path("patch.bin"), MakeCarrier(body));
  g_run.PatchFilePath = CorePath("patch.bin");
  const int32_t lengths[kStreamCount] = {0, 5, static_cast<int32_t>(2 * kStreamWindow + 7), 1,
                                         1000};
  for (int64_t budget : {kStreamMemoryBudget, int64_t{0}}) {
    g_stream_memory_budget = budget;
    LoadPatch();
    LoadStreams(lengths);
    EXPECT_EQ(g_run.BodyTempFile.Tell(), 1 + 2 * kStreamWindow + 7 + 5 + 1 + 1000);
    // Taken out of order and in pieces that straddle the windows' ends.
    for (int i : {2, 4, 1, 3, 0}) {
      int64_t at = 1;
      for (int k = 0; k < i; ++k) at += lengths[k];
      Bytes got;
      for (int64_t left = lengths[i]; left > 0;) {
        unsigned char piece[513];
        int64_t n = std::min<int64_t>(left, 513);
        ASSERT_TRUE(ReadStream(i, piece, n)) << i;
        got.insert(got.end(), piece, piece + n);
        left -= n;
      }
      unsigned char extra = 0;
      EXPECT_FALSE(ReadStream(i, &extra, 1)) << i;
      EXPECT_EQ(got, Bytes(body.begin() + at, body.begin() + at + lengths[i])) << i;
    }
    ReleaseStreamMemory();
    // Streams that run past the end of the copy (body and trailer) are a
    // damaged patch, found before any is read.
    LoadPatch();
    const int32_t too_long[kStreamCount] = {0, 0, 0, 0, static_cast<int32_t>(body.size() + 8)};
    EXPECT_EQ(Raised([&] { LoadStreams(too_long); }), MessageText(kMsgPatchDamaged));
  }
  g_stream_memory_budget = kStreamMemoryBudget;
}

}  // namespace
}  // namespace tw
