#include "platform/file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <random>

#include "platform/os.h"
#include "tests/test_util.h"

namespace tw {

std::string NativePath(const std::string& path);

namespace {

class FileTest : public TempDirTest {};

// Buffered reads and writes, and copies from another file, in any mix, must
// behave like an unbuffered file.
TEST_F(FileTest, RandomMixOfOperationsMatchesAModel) {
  std::mt19937 rng(7);
  Bytes source(400000);
  for (auto& b : source) b = rng();
  WriteFileBytes(Path("src"), source);
  File src;
  ASSERT_TRUE(src.OpenRead(CorePath("src")));
  File f;
  ASSERT_TRUE(f.Create(CorePath("m")));
  Bytes model;
  int64_t pos = 0;
  for (int step = 0; step < 4000; ++step) {
    int op = rng() % 6;
    if (op == 5) {
      // Past the source's end the copy stops short, and the source says why.
      int64_t from = rng() % (source.size() + 10);
      int64_t n = rng() % 3 == 0 ? rng() % 300000 : rng() % 2000;
      bool ok = f.CopyFrom(src, from, n);
      ASSERT_EQ(ok, from + n <= static_cast<int64_t>(source.size())) << step;
      ASSERT_EQ(src.LastFailure().empty(), ok) << step;
      ASSERT_FALSE(f.WriteFailed()) << step;
      ClearIoError();
      int64_t got = f.Tell() - pos;
      ASSERT_EQ(got, ok ? n : std::max<int64_t>(0, static_cast<int64_t>(source.size()) - from));
      if (pos + got > static_cast<int64_t>(model.size())) model.resize(pos + got);
      std::copy(source.begin() + from, source.begin() + from + got, model.begin() + pos);
      pos += got;
      if (!ok) {
        ASSERT_TRUE(src.OpenRead(CorePath("src")));
      }
    } else if (op == 0) {
      int64_t n = rng() % 3 == 0 ? rng() % 400000 : rng() % 300;
      Bytes data(n);
      for (auto& b : data) b = rng();
      ASSERT_TRUE(f.Write(data.data(), n));
      if (pos + n > static_cast<int64_t>(model.size())) model.resize(pos + n);
      std::copy(data.begin(), data.end(), model.begin() + pos);
      pos += n;
    } else if (op == 1) {
      int64_t n = rng() % 3 == 0 ? rng() % 150000 : rng() % 500;
      Bytes data(n);
      bool ok = f.Read(data.data(), n);
      int64_t avail = static_cast<int64_t>(model.size()) - pos;
      ASSERT_EQ(ok, n <= avail) << step;
      ClearIoError();
      if (ok) {
        ASSERT_TRUE(std::equal(data.begin(), data.end(), model.begin() + pos)) << step;
        pos += n;
      } else {
        pos = f.Tell();  // a short read moves as far as it got
      }
    } else if (op == 2) {
      pos = model.empty() ? 0 : rng() % (model.size() + 10);
      f.Seek(pos);
    } else if (op == 3) {
      ASSERT_EQ(f.Size(), static_cast<int64_t>(model.size()));
    } else {
      // Reading back behind (or past) the position leaves it in place.
      int64_t at = model.empty() ? 0 : rng() % (model.size() + 10);
      int64_t n = rng() % 3 == 0 ? rng() % 300000 : rng() % 1200;
      Bytes data(n);
      bool ok = f.ReadAt(at, data.data(), n);
      ClearIoError();
      ASSERT_EQ(ok, n == 0 || at + n <= static_cast<int64_t>(model.size())) << step;
      if (ok) {
        ASSERT_TRUE(std::equal(data.begin(), data.end(), model.begin() + at)) << step;
      }
    }
    ASSERT_EQ(f.Tell(), pos);
  }
  ASSERT_TRUE(f.Close());
  EXPECT_EQ(ReadFileBytes(Path("m")), model);
}

// Counts the transfers that reach the OS; fails writes while disk_full is set.
struct OsCalls {
  static inline int reads = 0, writes = 0;
  static inline bool disk_full = false;
  static int Hook(OsOp op, const std::string&) {
    if (op == OsOp::kRead) ++reads;
    if (op == OsOp::kWrite) {
      ++writes;
      if (disk_full) return ENOSPC;
    }
    return 0;
  }
  OsCalls() {
    reads = writes = 0;
    disk_full = false;
    SetOsFaultHook(Hook);
  }
  ~OsCalls() { SetOsFaultHook(nullptr); }
};

// The access patterns of the decoder: small pieces, reads just behind the
// write position, short steps back, jumps. Each must cost far fewer OS
// transfers than requests, and give the right bytes.
TEST_F(FileTest, SmallRequestsAreServedFromTheBuffers) {
  constexpr int64_t kSize = 3 * 1024 * 1024;
  Bytes model(kSize);
  for (int64_t i = 0; i < kSize; ++i) model[i] = static_cast<unsigned char>(i * 131 + (i >> 11));
  File out;
  ASSERT_TRUE(out.Create(CorePath("out")));
  {
    OsCalls calls;
    unsigned char back[150];
    for (int64_t at = 0; at < kSize; at += 100) {
      ASSERT_TRUE(WriteChunked(out, model.data() + at, std::min<int64_t>(100, kSize - at)));
      // A fix-up or a self-copy reading what was written just before.
      int64_t from = std::max<int64_t>(0, out.Tell() - 1000);
      int64_t n = std::min<int64_t>(sizeof back, out.Tell() - from);
      ASSERT_TRUE(ReadChunkedAt(out, from, back, n)) << at;
      ASSERT_TRUE(std::equal(back, back + n, model.begin() + from)) << at;
    }
    EXPECT_EQ(calls.reads, 0);
    EXPECT_LE(calls.writes, kSize / (File::kWriteBuffer - File::kKeptOutput) + 1);
  }
  ASSERT_TRUE(out.Close());

  File in;
  ASSERT_TRUE(in.OpenRead(CorePath("out")));
  OsCalls calls;
  // Byte by byte, stepping back now and then.
  unsigned char b = 0;
  for (int64_t i = 0; i < kSize; ++i) {
    if (i % 5000 == 4999) in.Seek(in.Tell() - 3000);
    ASSERT_TRUE(ReadChunked(in, &b, 1));
    ASSERT_EQ(b, model[in.Tell() - 1]) << i;
  }
  EXPECT_LE(calls.reads, kSize / File::kReadWindow + 8);
  // Jumps cost at most one transfer each, and a small one.
  std::mt19937 rng(3);
  int before = calls.reads;
  for (int k = 0; k < 200; ++k) {
    int64_t at = rng() % (kSize - 300);
    unsigned char piece[300];
    in.Seek(at);
    ASSERT_TRUE(ReadChunked(in, piece, sizeof piece));
    ASSERT_TRUE(std::equal(piece, piece + sizeof piece, model.begin() + at)) << at;
  }
  EXPECT_LE(calls.reads - before, 200 * 2);
  // Past the end is still a short read.
  in.Seek(kSize - 1);
  unsigned char two[2];
  EXPECT_FALSE(ReadChunked(in, two, 2));
}

// A delta's source is read all over and revisited: kept blocks give the
// right bytes, read each block of a working set that fits once, and give up
// the least used ones when it does not fit.
TEST_F(FileTest, KeptBlocksServeASourceReadAllOver) {
  constexpr int64_t kSize = 40 * File::kBlock + 123;
  Bytes model(kSize);
  for (int64_t i = 0; i < kSize; ++i) model[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
  WriteFileBytes(Path("src"), model);
  File in;
  ASSERT_TRUE(in.OpenRead(CorePath("src")));
  in.KeepBlocks(8 * File::kBlock);
  OsCalls calls;
  std::mt19937 rng(5);
  auto read_at = [&](int64_t at, int64_t n) {
    Bytes piece(n);
    in.Seek(at);
    bool ok = ReadChunked(in, piece.data(), n);
    EXPECT_TRUE(ok && std::equal(piece.begin(), piece.end(), model.begin() + at)) << at << "+" << n;
  };
  // Four regions, visited in turn: a working set of 8 blocks fits.
  for (int round = 0; round < 50; ++round) {
    for (int64_t region : {0, 10, 20, 30}) {
      int64_t at = region * File::kBlock + rng() % (2 * File::kBlock - 600);
      read_at(at, 1 + rng() % 600);
    }
  }
  EXPECT_LE(calls.reads, 8);
  // Pieces across block ends, up to the last byte, over the whole file: more
  // blocks than are kept.
  for (int64_t at = File::kBlock - 300; at + 1000 <= kSize; at += 5 * File::kBlock) {
    read_at(at, 1000);
  }
  read_at(kSize - 17, 17);
  const int reads = calls.reads;
  read_at(35 * File::kBlock + 5, 40);  // read in just before: still there
  EXPECT_EQ(calls.reads, reads);
  // Past the end is a short read, as it is without kept blocks.
  unsigned char two[2];
  in.Seek(kSize - 1);
  EXPECT_FALSE(ReadChunked(in, two, 2));
  // A read the OS refuses fails and keeps nothing that could stand in for it.
  SetOsFaultHook([](OsOp op, const std::string&) { return op == OsOp::kRead ? EIO : 0; });
  in.Seek(15 * File::kBlock + 3);
  EXPECT_FALSE(ReadChunked(in, two, 2));
  SetOsFaultHook(nullptr);
  read_at(15 * File::kBlock + 3, 2);
  // Walking on through the file reads several blocks a call, each one
  // right, and with a cache of two blocks one at a time.
  for (int64_t budget : {8 * File::kBlock, 2 * File::kBlock}) {
    ASSERT_TRUE(in.Close());
    ASSERT_TRUE(in.OpenRead(CorePath("src")));
    in.KeepBlocks(budget);
    OsCalls counted;
    for (int64_t at = 0; at < kSize; at += 1000) read_at(at, std::min<int64_t>(1000, kSize - at));
    const int walk = OsCalls::reads;
    if (budget > 2 * File::kBlock) {
      EXPECT_LE(walk, 13) << "41 blocks, 4 a call after the first two";
    } else {
      EXPECT_EQ(walk, 41);
    }
    // A jump back and another walk: nothing read ahead stands for other bytes.
    for (int64_t at = 3 * File::kBlock + 11; at < 12 * File::kBlock; at += 777) read_at(at, 900);
  }
  ASSERT_TRUE(in.Close());
}

// Asking for pages ahead is advice: whatever the range, aligned or not, the
// bytes in it and around it stay as they were.
TEST_F(FileTest, PreparedMemoryKeepsItsBytes) {
  std::vector<unsigned char> memory(5 * 4096 + 300);
  for (size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<unsigned char>(i * 13 + 1);
  const std::vector<unsigned char> before = memory;
  for (auto [from, n] :
       {std::pair<size_t, size_t>{0, memory.size()}, {100, 4000}, {3, 3 * 4096 + 7}}) {
    OsPrepareMemory(memory.data() + from, n);
    EXPECT_EQ(memory, before) << from << "+" << n;
  }
}

// A refused write surfaces at the transfer that reaches the OS, is remembered
// for Close() after its code was taken, and a read that can no longer be
// served after it says that a write failed.
TEST_F(FileTest, ARefusedBufferedWriteIsReported) {
  File f;
  ASSERT_TRUE(f.Create(CorePath("full")));
  OsCalls calls;
  OsCalls::disk_full = true;
  Bytes piece(1000, 'x');
  ASSERT_TRUE(WriteChunked(f, piece.data(), 1000));  // buffered, not yet refused
  EXPECT_FALSE(f.WriteFailed());
  bool refused = false;
  for (int i = 0; i < 2000 && !refused; ++i) refused = !WriteChunked(f, piece.data(), 1000);
  EXPECT_TRUE(refused);
  EXPECT_TRUE(f.WriteFailed());
  unsigned char b;
  EXPECT_FALSE(ReadChunkedAt(f, 0, &b, 1));
  EXPECT_FALSE(f.Close());

  // Refused only when Close() flushes.
  File g;
  ASSERT_TRUE(g.Create(CorePath("full2")));
  ASSERT_TRUE(WriteChunked(g, piece.data(), 1000));
  ClearIoError();
  EXPECT_FALSE(g.Close());
  EXPECT_NE(TakeIoError(), 0);
}

TEST_F(FileTest, NegativeSeekFailsAndStays) {
  File f;
  ASSERT_TRUE(f.Create(CorePath("n")));
  ASSERT_TRUE(f.Write("abc", 3));
  f.Seek(-5);
  EXPECT_NE(TakeIoError(), 0);
  EXPECT_EQ(TakeIoError(), 0);
  EXPECT_EQ(f.Tell(), 3);
}

TEST_F(FileTest, OpeningAFolderOrMissingFileFails) {
  File f;
  EXPECT_FALSE(f.OpenRead(CorePath("temp")));
  EXPECT_NE(TakeIoError(), 0);
  EXPECT_FALSE(f.OpenRead(CorePath("none")));
  EXPECT_NE(TakeIoError(), 0);
  EXPECT_FALSE(OsFileExists(CorePath("temp")));
}

TEST_F(FileTest, BackslashPathsFindComponentsIgnoringCase) {
  ASSERT_TRUE(OsCreateFolder(CorePath("Data")));
  ASSERT_TRUE(OsCreateFolder(CorePath("Data\\Sub")));
  WriteFileText(Path("Data/Sub/File.DAT"), "hello");
  File f;
  ASSERT_TRUE(f.OpenRead(CorePath("data\\SUB\\file.dat")));
  char buf[5];
  EXPECT_TRUE(f.Read(buf, 5));
  EXPECT_TRUE(OsFileExists(CorePath("DATA\\sub\\FILE.dat")));
  // A new file lands in the existing folder, keeping its own name's case.
  File g;
  ASSERT_TRUE(g.Create(CorePath("data\\sub\\New.txt")));
  g.Close();
  EXPECT_TRUE(PathExists(Path("Data/Sub/New.txt")));
  EXPECT_EQ(NativePath(CorePath("data\\")), Path("Data/"));
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(OsListFolder(CorePath("data\\"), &entries));
  bool saw_sub = false;
  for (const auto& e : entries) saw_sub |= e.name == "Sub" && e.is_folder;
  EXPECT_TRUE(saw_sub);
}

TEST_F(FileTest, RenameRefusesToReplaceButReplaceDoes) {
  WriteFileText(Path("a"), "a");
  WriteFileText(Path("b"), "b");
  EXPECT_FALSE(OsRenameFile(CorePath("a"), CorePath("b")));
  EXPECT_TRUE(OsReplaceFile(CorePath("a"), CorePath("b")));
  EXPECT_EQ(ReadFileBytes(Path("b")), Bytes{'a'});
  EXPECT_FALSE(PathExists(Path("a")));
}

TEST_F(FileTest, DosTimeBecomesLastWriteTime) {
  File f;
  ASSERT_TRUE(f.Create(CorePath("t")));
  ASSERT_TRUE(f.Write("x", 1));
  // 22 March 2000, 05:12:00 local time.
  EXPECT_TRUE(f.SetTimeFromDos(0x28762980));
  f.Close();
  struct stat st;
  ASSERT_EQ(stat(Path("t").c_str(), &st), 0);
  struct tm tm;
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year, 100);
  EXPECT_EQ(tm.tm_mon, 2);
  EXPECT_EQ(tm.tm_mday, 22);
  EXPECT_EQ(tm.tm_hour, 5);
  EXPECT_EQ(tm.tm_min, 12);
  File g;
  ASSERT_TRUE(g.Create(CorePath("u")));
  EXPECT_FALSE(g.SetTimeFromDos(0x00000000));  // day 0 does not convert
}

}  // namespace
}  // namespace tw
