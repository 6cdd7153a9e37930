#include "platform/file.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <random>

#include "platform/os.h"
#include "tests/test_util.h"

namespace tw {

std::string NativePath(const std::string& path);

namespace {

class FileTest : public TempDirTest {};

// Buffered reads and writes, in any mix, must behave like an unbuffered file.
TEST_F(FileTest, RandomMixOfOperationsMatchesAModel) {
  std::mt19937 rng(7);
  File f;
  ASSERT_TRUE(f.Create(CorePath("m")));
  Bytes model;
  int64_t pos = 0;
  for (int step = 0; step < 4000; ++step) {
    int op = rng() % 4;
    if (op == 0) {
      int64_t n = rng() % 3 == 0 ? rng() % 200000 : rng() % 300;
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
    } else {
      ASSERT_EQ(f.Size(), static_cast<int64_t>(model.size()));
    }
    ASSERT_EQ(f.Tell(), pos);
  }
  ASSERT_TRUE(f.Close());
  EXPECT_EQ(ReadFileBytes(Path("m")), model);
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
