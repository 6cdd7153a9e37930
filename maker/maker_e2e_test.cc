// tarnwell-make and tarnwell together, as a patch author and a user would run
// them: make a patch from release folders, apply it, compare.
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <random>

#include "maker/maker.h"
#include "tests/patch_builder.h"
#include "tests/test_util.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class MakerTest : public TempDirTest {
 protected:
  int Sh(const std::string& cmd, std::string* err = nullptr) {
    std::string full = "cd '" + dir_ + "' && TMPDIR='" + temp_ + "' " + cmd + " >'" +
                       Path("out.txt") + "' 2>'" + Path("err.txt") + "' </dev/null";
    int status = system(full.c_str());
    if (err) *err = ReadFileText(Path("err.txt")) + ReadFileText(Path("out.txt"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Make(const std::string& args, std::string* err = nullptr) {
    return Sh(std::string("'") + TARNWELL_MAKE_BIN + "' " + args, err);
  }
  int Apply(const std::string& args, std::string* err = nullptr) {
    return Sh(std::string("'") + TARNWELL_BIN + "' " + args, err);
  }
  void Put(const std::string& name, const Bytes& data) {
    fs::create_directories(fs::path(Path(name)).parent_path());
    WriteFileBytes(Path(name), data);
  }
  // Files of a folder, by relative name, without the backup folder.
  std::map<std::string, Bytes> Tree(const std::string& folder, const std::string& skip = "") {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::recursive_directory_iterator(Path(folder))) {
      std::string rel = fs::relative(e.path(), Path(folder)).generic_string();
      if (!skip.empty() && rel.rfind(skip, 0) == 0) continue;
      if (e.is_regular_file()) files[rel] = ReadFileBytes(e.path().string());
    }
    return files;
  }
  void Copy(const std::string& from, const std::string& to) {
    fs::copy(Path(from), Path(to), fs::copy_options::recursive);
  }
};

// Program-like data: code runs and tables of pointers into the file.
Bytes Binary(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i % 97 < 60 ? rng() % 16 : rng());
  return b;
}

// The kinds of change a new release brings.
Bytes Edit(std::mt19937& rng, Bytes b) {
  for (int e = 0; e < 6; ++e) {
    size_t at = rng() % (b.size() + 1);
    switch (rng() % 4) {
      case 0:  // a few bytes changed
        for (size_t i = at; i < std::min(b.size(), at + 20); ++i) b[i] ^= 0x11;
        break;
      case 1: {  // inserted block
        Bytes ins = Binary(rng, 1 + rng() % 3000);
        b.insert(b.begin() + static_cast<long>(at), ins.begin(), ins.end());
        break;
      }
      case 2:  // deleted block
        b.erase(b.begin() + static_cast<long>(at),
                b.begin() + static_cast<long>(std::min(b.size(), at + rng() % 2000)));
        break;
      default: {  // a block moved elsewhere
        size_t len = std::min<size_t>(b.size() - std::min(at, b.size()), 1 + rng() % 4000);
        Bytes moved(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + len));
        b.erase(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + len));
        size_t to = rng() % (b.size() + 1);
        b.insert(b.begin() + static_cast<long>(to), moved.begin(), moved.end());
      }
    }
  }
  return b;
}

TEST_F(MakerTest, RoundTripsOfRandomReleasesWithChainsFromEveryOldRelease) {
  std::mt19937 rng(11);
  // Three releases: v1 -> v2 -> v3, with changed, unchanged, new and gone files.
  std::vector<std::string> names = {"app.exe", "lib/core.dll", "data/levels.dat", "readme.txt",
                                    "same.bin"};
  for (const auto& n : names) Put("v1/" + n, Binary(rng, 2000 + rng() % 60000));
  Put("v1/gone.txt", BytesOf("removed in v2"));
  for (const auto& n : names) Put("v2/" + n, n == "same.bin" ? ReadFileBytes(Path("v1/" + n))
                                                              : Edit(rng, ReadFileBytes(Path("v1/" + n))));
  Put("v2/lib/new-in-v2.dll", Binary(rng, 5000));
  Copy("v2", "v3");
  Put("v3/app.exe", Edit(rng, ReadFileBytes(Path("v2/app.exe"))));
  // readme goes back to its v1 content: the chain must still work.
  Put("v3/readme.txt", Edit(rng, ReadFileBytes(Path("v1/readme.txt"))));
  Put("v3/docs/manual.txt", BytesOf("brand new"));

  std::string err;
  ASSERT_EQ(Make("-d 'Upgrade to v3' v1 v2 v3 -o patch.bin", &err), 0) << err;
  EXPECT_NE(err.find("gone.txt"), std::string::npos) << err;  // the warning
  // Backups are kept in a folder named after the oldest release, so that the
  // next update's backups do not overwrite them.
  EXPECT_NE(err.find("backups of replaced files: in the folder backup-v1"), std::string::npos)
      << err;
  for (std::string from : {"v1", "v2"}) {
    Copy(from, "user-" + from);
    ASSERT_EQ(Apply("patch.bin user-" + from, &err), 0) << from << "\n" << err;
    std::map<std::string, Bytes> got = Tree("user-" + from, "backup");
    got.erase("gone.txt");  // a patch cannot delete files
    EXPECT_EQ(got, Tree("v3")) << from;
    EXPECT_EQ(ReadFileBytes(Path("user-" + from + "/backup-v1/app.exe")),
              ReadFileBytes(Path(from + "/app.exe")));
  }
  // --list shows the entries, versions and the included files.
  ASSERT_EQ(Make("--list patch.bin", &err), 0) << err;
  EXPECT_NE(err.find("patched app.exe"), std::string::npos) << err;
  EXPECT_NE(err.find("version 2"), std::string::npos) << err;
  EXPECT_NE(err.find("included docs\\manual.txt"), std::string::npos) << err;
  EXPECT_NE(err.find("Upgrade to v3"), std::string::npos) << err;
}

TEST_F(MakerTest, SingleFilesSelfContainedAndBig5Names) {
  std::mt19937 rng(5);
  Bytes old_data = Binary(rng, 100000);
  Put("old/prog.exe", old_data);
  Put("new/prog.exe", Edit(rng, old_data));
  std::string err;
  ASSERT_EQ(Make("old/prog.exe new/prog.exe -o single.bin", &err), 0) << err;
  Put("user/prog.exe", old_data);
  ASSERT_EQ(Apply("single.bin user/prog.exe", &err), 0) << err;
  EXPECT_EQ(ReadFileBytes(Path("user/prog.exe")), ReadFileBytes(Path("new/prog.exe")));

  // Names in code page 950 and a copy of the applier carrying the patch.
  Put("r1/資料/說明.txt", BytesOf("第一版"));
  Put("r2/資料/說明.txt", BytesOf("第二版 with more text"));
  ASSERT_EQ(Make(std::string("-d '中文說明' --self-contained '") + TARNWELL_BIN +
                     "' r1 r2 -o update",
                 &err),
            0)
      << err;
  Copy("r1", "installed");
  ASSERT_EQ(Sh("./update installed", &err), 0) << err;
  EXPECT_EQ(ReadFileText(Path("installed/資料/說明.txt")), "第二版 with more text");
  EXPECT_NE(err.find("中文說明"), std::string::npos) << err;
}

TEST_F(MakerTest, RefusesWhatTheApplierWouldRefuse) {
  Put("a/CON.txt", BytesOf("1"));
  Put("b/CON.txt", BytesOf("2"));
  std::string err;
  EXPECT_EQ(Make("a b -o p.bin", &err), 2);
  EXPECT_FALSE(PathExists(Path("p.bin")));
  Put("c/x.txt", BytesOf("1"));
  Put("d/x.txt", BytesOf("2"));
  Put("d/X.TXT", BytesOf("3"));
  EXPECT_EQ(Make("c d -o p.bin", &err), 2);
  EXPECT_NE(err.find("case"), std::string::npos) << err;
  // Windows folds Greek and full-width letters as well.
  Put("e/σ.txt", BytesOf("1"));
  Put("e/Σ.txt", BytesOf("2"));
  EXPECT_EQ(Make("c e -o p.bin", &err), 2);
  EXPECT_NE(err.find("case"), std::string::npos) << err;
  // A name that code page 950 cannot hold is named in the refusal.
  Put("f/שלום.txt", BytesOf("1"));
  EXPECT_EQ(Make("c f -o p.bin", &err), 2);
  EXPECT_NE(err.find("שלום.txt: the applier would refuse"), std::string::npos) << err;
  EXPECT_EQ(Make("-c 1255 c f -o p.bin -q", &err), 0) << err;
  std::remove(Path("p.bin").c_str());
  EXPECT_EQ(Make("-b ../out c c -o p.bin", &err), 2);
  // A release with files of its own where the backup folder goes.
  Put("g/x.txt", BytesOf("1"));
  Put("g/Backup/config.ini", BytesOf("app"));
  Put("h/x.txt", BytesOf("2"));
  Put("h/Backup/config.ini", BytesOf("app"));
  EXPECT_EQ(Make("-b backup g h -o p.bin", &err), 2);
  EXPECT_NE(err.find("--backup-folder"), std::string::npos) << err;
  Put("g/backup-g/x.txt", BytesOf("1"));
  EXPECT_EQ(Make("g h -o p.bin", &err), 2);
  EXPECT_NE(err.find("'backup-g' goes"), std::string::npos) << err;
  std::remove(Path("g/backup-g/x.txt").c_str());
  EXPECT_EQ(Make("-b saved g h -o p.bin -q", &err), 0) << err;
  std::remove(Path("p.bin").c_str());
  EXPECT_EQ(Make("c", &err), 1);
  EXPECT_FALSE(PathExists(Path("p.bin")));
}

// The Windows maker has no fnmatch; our matcher must agree with it, so that
// --optional and --exclude pick the same files on every system.
TEST(MatchesPatternTest, AgreesWithFnmatch) {
  const char* patterns[] = {"*",      "*.dat",  "data/*", "data/*.dat", "?",        "??.txt",
                            "a*b*c",  "*x",     "[abc]*", "[!abc]*",    "[^abc]*",  "[a-c]?",
                            "[]x]*",  "[x-]*",  "[",      "a[",         "[ab",      "[!]x]*",
                            "[a-]*",  "*[",     "說明*",  "**/*.exe",   "*.*",      ""};
  const char* names[] = {"", "a", "b.txt", "ab.txt", "abc", "aXbYc", "data/levels.dat",
                         "data/sub/x.dat", "data", "x", "]x", "-", "[", "a[", "[ab",
                         "說明.txt", "bin/game.exe", "game.exe", "dat"};
  for (const char* p : patterns) {
    for (const char* n : names) {
      EXPECT_EQ(MatchesPattern(p, n), fnmatch(p, n, 0) == 0) << "'" << p << "' on '" << n << "'";
    }
  }
  // Patterns may be written with Windows separators.
  EXPECT_TRUE(MatchesPattern("data\\*.dat", "data/levels.dat"));
}

}  // namespace
}  // namespace tw
