#include "maker/differ.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "container/entries.h"
#include "container/patch_loader.h"
#include "delta/decoder.h"
#include "delta/streams.h"
#include "messages/messages.h"
#include "state/run_state.h"
#include "tests/test_util.h"

namespace tw {
namespace {

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  int64_t In(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(Next() % (hi - lo + 1)); }
};

Bytes RandomBytes(size_t n, uint64_t seed) {
  Rng rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng.Next() >> 24);
  return b;
}

// Something like machine code, twice: instructions from a small repertoire,
// many of them with a 32-bit address after them. In the second copy, linked
// again after the code grew, every address into the upper part is larger
// by `growth`.
// Returns how many addresses moved.
size_t CodeLike(size_t n, uint64_t seed, uint32_t growth, Bytes* old_code, Bytes* new_code) {
  Rng rng(seed);
  size_t moved_count = 0;
  static const unsigned char kOps[][3] = {{0x48, 0x89, 0xe5}, {0x48, 0x8b, 0x05},
                                          {0xe8, 0x90, 0x90}, {0x0f, 0x1f, 0x44},
                                          {0x41, 0x57, 0x41}, {0x48, 0x83, 0xec}};
  while (old_code->size() < n) {
    const auto& op = kOps[rng.In(0, 5)];
    old_code->insert(old_code->end(), op, op + 3);
    new_code->insert(new_code->end(), op, op + 3);
    if (rng.In(0, 2) == 0) {
      const uint32_t address = static_cast<uint32_t>(0x400000 + rng.In(0, 0x200000));
      const uint32_t moved = address >= 0x480000 ? address + growth : address;
      moved_count += moved != address;
      for (int k = 0; k < 4; ++k) {
        old_code->push_back(static_cast<unsigned char>(address >> (8 * k)));
        new_code->push_back(static_cast<unsigned char>(moved >> (8 * k)));
      }
    }
  }
  return moved_count;
}

size_t StreamBytes(const VersionBlock& v) {
  size_t n = 0;
  for (const Bytes& s : v.Streams.Stream) n += s.size();
  return n;
}

class DifferTest : public TempDirTest {
 protected:
  // Makes a version, checks its record, stores it as the only version of a
  // patch and decodes it with the applier's decoder against old_data.
  VersionBlock RoundTrip(const Bytes& old_data, const Bytes& new_data, DiffOptions options = {},
                         ExcludedRegion excluded = {}) {
    VersionBlock block = MakeVersion(old_data, new_data, excluded, options);
    const SourceVersion& v = block.Record;
    EXPECT_EQ(v.SourceSize, static_cast<int32_t>(old_data.size()));
    EXPECT_EQ(v.SourceCrc,
              ChecksumBytes(old_data.data(), old_data.size(), excluded.offset, excluded.length));
    EXPECT_GT(v.InsertBlockSize, 0);
    for (int i = 0; i < kStreamCount; ++i) {
      EXPECT_EQ(v.StreamLength[i], static_cast<int32_t>(block.Streams.Stream[i].size()));
    }
    EXPECT_EQ(Decode(block, old_data, new_data.size(), excluded), new_data);
    return block;
  }

  Bytes Decode(const VersionBlock& block, const Bytes& source, size_t new_size,
               ExcludedRegion excluded) {
    PatchedEntry entry;
    entry.EntryName = "file.bin";
    entry.NewSize = static_cast<int32_t>(new_size);
    entry.Versions.push_back(block);
    PatchContents patch;
    patch.Entries.push_back(entry);
    std::string why;
    EXPECT_TRUE(WritePatchFile(patch, CorePath("patch.bin"), "", &why)) << why;
    g_run.PatchFilePath = CorePath("patch.bin");
    WriteFileBytes(Path("source.bin"), source);
    DecodeRequest r;
    std::string out_path;
    try {
      LoadPatch();
      EXPECT_EQ(ReadNextEntry(), kEntryPatched);
      r.version = &g_run.Entry.Version[1];
      r.body_position = g_run.Entry.StreamStart[1];
      r.source_path = CorePath("source.bin");
      r.verify_source = true;
      r.new_size = static_cast<int64_t>(new_size);
      r.source_excluded = excluded;
      EXPECT_TRUE(DecodeVersion(r, &out_path));
    } catch (const PatchError& e) {
      ADD_FAILURE() << e.text();
      return {};
    }
    std::replace(out_path.begin(), out_path.end(), '\\', '/');
    return ReadFileBytes(out_path);
  }
};

TEST_F(DifferTest, EmptyFiles) {
  const Bytes some = RandomBytes(3000, 1);
  EXPECT_EQ(StreamBytes(RoundTrip({}, {})), 0u);
  RoundTrip({}, some);
  // Nothing to write: no instruction at all.
  EXPECT_EQ(StreamBytes(RoundTrip(some, {})), 0u);
  // Files of a byte or two, asked to be worked on in pieces.
  DiffOptions pieces;
  pieces.split_above = 0;
  for (const Bytes& tiny : {Bytes{7}, Bytes{7, 7}, Bytes{1, 2}}) {
    RoundTrip(tiny, some, pieces);
    RoundTrip(some, tiny, pieces);
    RoundTrip(tiny, tiny, pieces);
  }
}

TEST_F(DifferTest, IdenticalFilesCostAFewBytes) {
  for (size_t n : {1, 7, 300, 70000, 1 << 20}) {
    const Bytes data = RandomBytes(n, n);
    EXPECT_LE(StreamBytes(RoundTrip(data, data)), 16u) << n;
  }
}

TEST_F(DifferTest, EditsInsertionsDeletionsAndMovedBlocks) {
  const Bytes old_data = RandomBytes(200000, 2);
  Rng rng(3);
  Bytes edited = old_data;
  for (int i = 0; i < 200; ++i) edited[rng.In(0, edited.size() - 1)] ^= 0x5a;
  Bytes inserted = old_data;
  for (int i = 0; i < 40; ++i) {
    const Bytes more = RandomBytes(rng.In(1, 300), 100 + i);
    inserted.insert(inserted.begin() + rng.In(0, inserted.size()), more.begin(), more.end());
  }
  Bytes deleted = old_data;
  for (int i = 0; i < 40; ++i) {
    const int64_t at = rng.In(0, deleted.size() - 400);
    deleted.erase(deleted.begin() + at, deleted.begin() + at + rng.In(1, 400));
  }
  // Eight blocks in another order, one of them twice.
  Bytes moved;
  for (int b : {5, 2, 7, 0, 3, 3, 6, 1, 4}) {
    moved.insert(moved.end(), old_data.begin() + b * 25000, old_data.begin() + (b + 1) * 25000);
  }
  for (const Bytes* new_data : {&edited, &inserted, &deleted, &moved}) {
    // Random bytes do not compress: what the patch holds is the edits.
    EXPECT_LT(StreamBytes(RoundTrip(old_data, *new_data)), new_data->size() / 8);
  }
}

TEST_F(DifferTest, RelocatedCodeIsCheapForEveryEffortWholeOrInPieces) {
  Bytes old_code, new_code, added, unused;
  const size_t moved = CodeLike(300000, 4, 0x1230, &old_code, &new_code);
  CodeLike(2000, 5, 0, &added, &unused);
  new_code.insert(new_code.begin() + 150000, added.begin(), added.end());
  // Late in the new file, a stretch of its start again: the second half
  // copies it from the output that the first half writes.
  new_code.insert(new_code.end() - 1000, new_code.begin() + 1000, new_code.begin() + 9000);
  ASSERT_GT(moved, 10000u);
  size_t whole[4] = {};
  for (int run = 0; run < 8; ++run) {
    const int effort = run % 4;
    const bool pieces = run >= 4;
    DiffOptions options;
    options.effort = effort;
    if (pieces) options.split_above = 1000;
    // The progress of every effort, some of which code on two threads.
    std::vector<double> told;
    std::atomic<int> inside{0};
    options.progress = [&](double done) {
      EXPECT_EQ(inside++, 0) << "two reports at once";
      told.push_back(done);
      --inside;
    };
    // A moved address costs a copy and its fix-up bytes: a few bytes, not
    // the instructions around it.
    const size_t size = StreamBytes(RoundTrip(old_code, new_code, options));
    EXPECT_LT(size, 5 * moved + added.size()) << effort;
    // The seams cost a few bytes, not the stretches around them.
    if (pieces) {
      EXPECT_LT(size, whole[effort] + 300) << effort;
    } else {
      whole[effort] = size;
    }
    ASSERT_GE(told.size(), 3u) << effort;
    EXPECT_LE(told.size(), 600u) << effort;
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end())) << effort;
    EXPECT_GE(told.front(), 0.0) << effort;
    EXPECT_EQ(told.back(), 1.0) << effort;
  }
}

TEST_F(DifferTest, RepeatsWithinTheNewFileAreCopiedFromTheOutput) {
  const Bytes block = RandomBytes(4000, 6);
  Bytes repeated;
  for (int i = 0; i < 16; ++i) repeated.insert(repeated.end(), block.begin(), block.end());
  // No old file to copy from; then one too short to hold the block.
  EXPECT_LT(StreamBytes(RoundTrip({}, repeated)), 2 * block.size());
  EXPECT_LT(StreamBytes(RoundTrip(RandomBytes(100, 7), repeated)), 2 * block.size());
  // Short periods: the copies overlap the bytes they write.
  Bytes pattern;
  for (int i = 0; i < 5000; ++i) pattern.push_back(static_cast<unsigned char>("abcde"[i % 5]));
  EXPECT_LT(StreamBytes(RoundTrip(RandomBytes(64, 8), pattern)), 200u);
  // In pieces, where one piece ends far back in the old file and the next
  // starts copying from the output: the offset between them does not fit
  // the numbers of a 60 KB version.
  const Bytes old_data = RandomBytes(60000, 9);
  Bytes far = RandomBytes(30000, 10);
  auto old_piece = [&](int k) {
    far.insert(far.end(), old_data.begin() + 1500 * k, old_data.begin() + 1500 * k + 800);
    const Bytes filler = RandomBytes(200, 20 + k);
    far.insert(far.end(), filler.begin(), filler.end());
  };
  for (int k = 0; k < 6; ++k) old_piece(k);
  far.insert(far.end(), far.begin() + 20000, far.begin() + 28000);
  far.insert(far.end(), far.begin() + 5000, far.begin() + 6000);
  DiffOptions options;
  options.split_above = 1000;
  EXPECT_LT(StreamBytes(RoundTrip(old_data, far, options)), 30000u + 2000);
}

TEST_F(DifferTest, EveryWidthOfNumbers) {
  // Address ranges up to 255, 65,535, 16,777,215 and beyond.
  const int64_t kBandTop[] = {255, 65535, 16777215, 0x7FFFFFFF};
  const size_t kSizes[] = {180, 40000, 3000000, 17000000};
  for (int band = 0; band < 4; ++band) {
    const size_t n = kSizes[band];
    const Bytes old_data = RandomBytes(n, n + 9);
    Bytes new_data = old_data;
    Rng rng(n);
    for (int i = 0; i < 20; ++i) new_data[rng.In(0, n - 1)] += 1;
    const Bytes more = RandomBytes(std::min<size_t>(n / 10, 3000) + 30, n + 10);
    new_data.insert(new_data.begin() + n / 2, more.begin(), more.end());
    DiffOptions options;
    options.effort = n > 1000000 ? 0 : 2;
    const VersionBlock block = RoundTrip(old_data, new_data, options);
    const int64_t range =
        AddressRangeFor(block.Record.SourceSize, new_data.size(), block.Record.VersionFlags);
    EXPECT_LE(range, kBandTop[band]);
    if (band > 0) {
      EXPECT_GT(range, kBandTop[band - 1]);
    }
  }
}

// Small pairs of every kind, where the edges of the format lie close
// together: ends of files, the source boundary, short repeats; whole and in
// pieces.
TEST_F(DifferTest, ManySmallPairs) {
  Rng rng(12);
  for (int round = 0; round < 150; ++round) {
    const size_t n = static_cast<size_t>(rng.In(0, round < 50 ? 300 : 5000));
    Bytes old_data = RandomBytes(n, round);
    if (round % 3 == 1) {
      for (auto& c : old_data) c &= 0x03;  // few distinct bytes: many short matches
    } else if (round % 3 == 2 && n > 0) {
      for (size_t i = 0; i < n; ++i) old_data[i] = old_data[i % (1 + round % 7)];
    }
    Bytes new_data = old_data;
    for (int e = rng.In(0, 12); e > 0; --e) {
      const size_t at = static_cast<size_t>(rng.In(0, new_data.size()));
      switch (rng.In(0, 3)) {
        case 0:
          if (at < new_data.size()) new_data[at] += static_cast<unsigned char>(rng.In(1, 9));
          break;
        case 1: {
          const Bytes more = RandomBytes(rng.In(1, 40), round * 31 + e);
          new_data.insert(new_data.begin() + at, more.begin(), more.end());
          break;
        }
        case 2:
          new_data.erase(new_data.begin() + at,
                         new_data.begin() + std::min(new_data.size(), at + rng.In(1, 50)));
          break;
        default: {
          // A piece of the new file again, as far as it goes.
          const size_t from = static_cast<size_t>(rng.In(0, at));
          const Bytes piece(new_data.begin() + from,
                            new_data.begin() + std::min(new_data.size(), from + rng.In(1, 3000)));
          new_data.insert(new_data.begin() + at, piece.begin(), piece.end());
        }
      }
    }
    DiffOptions options;
    options.effort = round % 4;
    // Every other round in pieces, however small the files.
    if (round % 8 >= 4) options.split_above = 0;
    RoundTrip(old_data, new_data, options);
    if (HasFailure()) {
      ADD_FAILURE() << "round " << round;
      return;
    }
  }
}

TEST_F(DifferTest, ExcludedRegionIsLeftOutOfTheSourceChecksum) {
  const Bytes old_data = RandomBytes(50000, 11);
  Bytes new_data = old_data;
  new_data[100] = 1;
  const ExcludedRegion excluded{1000, 64};
  const VersionBlock block = RoundTrip(old_data, new_data, {}, excluded);
  EXPECT_NE(block.Record.SourceCrc, ChecksumBytes(old_data.data(), old_data.size()));
  EXPECT_EQ(block.Excluded.offset, excluded.offset);
  EXPECT_EQ(block.Excluded.length, excluded.length);
}

}  // namespace
}  // namespace tw
