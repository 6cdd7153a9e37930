// tarnwell-make and tarnwell together, as a patch author and a user would run
// them: make a patch from release folders, apply it, compare.
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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

// Files that moved or were renamed between releases are made from their old
// copies, not sent whole; an old file that its own entry replaces serves
// through the backup folder, and without one it serves no other file.
TEST_F(MakerTest, MovedAndRenamedFilesAreMadeFromTheirOldCopies) {
  std::mt19937 rng(5);
  Put("v1/bin/tool", Binary(rng, 60000));
  Put("v1/bin/keep", Binary(rng, 40000));
  Put("v1/lib/libold.so.1", Binary(rng, 50000));
  Put("v1/data/x.dat", Binary(rng, 30000));
  Put("v2/usr/bin/tool", Edit(rng, ReadFileBytes(Path("v1/bin/tool"))));
  Put("v2/usr/bin/keep", ReadFileBytes(Path("v1/bin/keep")));
  Put("v2/lib/libnew.so.2", Edit(rng, ReadFileBytes(Path("v1/lib/libold.so.1"))));
  Put("v2/data/x.dat", Edit(rng, ReadFileBytes(Path("v1/data/x.dat"))));
  Put("v2/extra/x.dat", Edit(rng, ReadFileBytes(Path("v1/data/x.dat"))));
  Put("v2/fresh.bin", Binary(rng, 20000));
  struct Case {
    const char* backup_option;
    std::vector<std::string> made_from;
    bool extra_whole;
  };
  const Case cases[] = {
      {"", {"bin/tool", "bin/keep", "lib/libold.so.1", "data/x.dat"}, false},
      {"--backup-folder ''", {"bin/tool", "bin/keep", "lib/libold.so.1"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.backup_option);
    std::string err;
    ASSERT_EQ(Make(std::string(c.backup_option) + " v1 v2 -o patch.bin --force", &err), 0) << err;
    for (const std::string& from : c.made_from) {
      EXPECT_NE(err.find("made from " + from), std::string::npos) << from << "\n" << err;
    }
    EXPECT_EQ(err.find("extra/x.dat: included whole") != std::string::npos, c.extra_whole) << err;
    EXPECT_NE(err.find("fresh.bin: included whole"), std::string::npos) << err;
    // Moved files travel as deltas: far less than their whole size.
    const int64_t whole = 60000 + 40000 + 50000 + 30000 + 30000 + 20000;
    EXPECT_LT(static_cast<int64_t>(ReadFileBytes(Path("patch.bin")).size()), whole / 2);
    fs::remove_all(Path("user"));
    Copy("v1", "user");
    ASSERT_EQ(Apply("patch.bin user", &err), 0) << err;
    std::map<std::string, Bytes> got = Tree("user", "backup");
    // A patch cannot delete files: the old names stay beside the new ones.
    for (const char* old : {"bin/tool", "bin/keep", "lib/libold.so.1"}) {
      EXPECT_EQ(got[old], ReadFileBytes(Path(std::string("v1/") + old))) << old;
      got.erase(old);
    }
    EXPECT_EQ(got, Tree("v2"));
  }
}

TEST_F(MakerTest, SingleFilesSelfContainedAndBig5Names) {
  std::mt19937 rng(5);
  Bytes old_data = Binary(rng, 100000);
  Put("old/prog.exe", old_data);
  Put("new/prog.exe", Edit(rng, old_data));
  std::string err;
  ASSERT_EQ(Make("old/prog.exe new/prog.exe -o single.bin", &err), 0) << err;
  EXPECT_NE(err.find("in the folder backup-old\n"), std::string::npos) << err;
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

// Everything the command line can get wrong is refused before any comparing,
// with the file and the reason named, and leaves nothing behind: no output,
// no scratch file, nothing replaced.
TEST_F(MakerTest, RefusesBadCommandLinesBeforeAnyWork) {
  Put("v1/app.exe", BytesOf("one"));
  Put("v2/app.exe", BytesOf("two"));
  Put("single/old.exe", BytesOf("one"));
  Put("single/new.exe", BytesOf("two"));
  Put("taken.bin", BytesOf("keep me"));
  Put("taken.bin.tarnwell-make.tmp", BytesOf("a user's file"));
  fs::create_directories(Path("folder"));
  Put("notours.exe", BytesOf("MZ\x90 some other program"));
  fs::copy_file(TARNWELL_BIN, Path("applier"));
  Put("withlink/app.exe", BytesOf("two"));
  fs::create_symlink("/etc/hostname", Path("withlink/outside"));
  Put("withdead/app.exe", BytesOf("two"));
  fs::create_symlink("nothing-here", Path("withdead/dead"));
  Put("withfolderlink/app.exe", BytesOf("two"));
  fs::create_symlink(Path("v1"), Path("withfolderlink/linked"));
  Put("backslash/app.exe", BytesOf("two"));
  Put("backslash/a\\b.txt", BytesOf("x"));
  Put("huge/app.exe", BytesOf("two"));
  { std::ofstream(Path("huge/big.dat")); }
  fs::resize_file(Path("huge/big.dat"), 0x80000000ull);  // sparse: no disk used
  fs::create_symlink("nothing-here", Path("dangling"));
  std::string err;
  ASSERT_EQ(Make("-q -s applier v1 v2 -o carrier", &err), 0) << err;

  struct Case {
    std::string args;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"missing v2 -o p.bin", {"missing: cannot read it: No such file or directory"}},
      {"v1 missing -o p.bin", {"missing: cannot read it: No such file or directory"}},
      {"v1 single/new.exe -o p.bin", {"v1: OLD and NEW must all be folders or all be files"}},
      {"v1 v2 -o v2/p.bin", {"v2/p.bin: the output would be inside v2"}},
      {"v1 v2 -o v1/sub/p.bin", {"inside v1"}},
      {"single/old.exe single/new.exe -o single/old.exe", {"would replace single/old.exe"}},
      {"v1 v2 -o folder", {"folder: the output is a folder"}},
      {"v1 v2 -o taken.bin", {"taken.bin: exists; --force replaces it"}},
      {"v1 v2 -o dangling", {"dangling: exists; --force replaces it"}},
      {"v1 v2 -o nowhere/p.bin", {"cannot create nowhere/p.bin", "No such file or directory"}},
      {"-s applier v1 v2 -o applier", {"would replace applier"}},
      {"-s notours.exe v1 v2 -o p.bin", {"notours.exe: is not a tarnwell applier program"}},
      {"-s /bin/ls v1 v2 -o p.bin", {"/bin/ls: is not a tarnwell applier program"}},
      {std::string("-s '") + TARNWELL_MAKE_BIN + "' v1 v2 -o p.bin", {"not a tarnwell applier"}},
      {"-s carrier v1 v2 -o p.bin", {"carrier: already carries a patch"}},
      {"-s missing v1 v2 -o p.bin", {"missing: cannot read it"}},
      {"--description-file missing v1 v2 -o p.bin", {"missing: cannot read it"}},
      {"v1 withlink -o p.bin", {"withlink/outside is a link to /etc/hostname, outside the release"}},
      {"v1 withdead -o p.bin", {"withdead/dead is a link that leads nowhere"}},
      {"v1 withfolderlink -o p.bin", {"withfolderlink/linked is a link to a folder"}},
      {"v1 backslash -o p.bin", {"backslash/a\\b.txt", "folder path"}},
      {"v1 huge -o p.bin", {"huge/big.dat: 2147483648 bytes", "2,147,483,647"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Make(c.args, &err), 2) << c.args << "\n" << err;
    for (const std::string& text : c.said) {
      EXPECT_NE(err.find(text), std::string::npos) << c.args << "\n" << err;
    }
    EXPECT_FALSE(PathExists(Path("p.bin"))) << c.args;
    EXPECT_EQ(ReadFileText(Path("taken.bin")), "keep me") << c.args;
    EXPECT_EQ(ReadFileText(Path("taken.bin.tarnwell-make.tmp")), "a user's file") << c.args;
    for (const auto& e : fs::recursive_directory_iterator(dir_)) {
      EXPECT_EQ(e.path().filename().string().find(".tarnwell-make-"), std::string::npos)
          << c.args << ": " << e.path();
    }
  }
  // What was refused for a reason the author can lift works once lifted.
  EXPECT_EQ(Make("-q --force v1 v2 -o taken.bin", &err), 0) << err;
  EXPECT_NE(ReadFileText(Path("taken.bin")), "keep me");
  EXPECT_EQ(ReadFileText(Path("taken.bin.tarnwell-make.tmp")), "a user's file");
  EXPECT_EQ(Make("-q --skip outside v1 withlink -o p.bin", &err), 0) << err;
  EXPECT_EQ(Make("-q --skip 'big.*' --force v1 huge -o p.bin", &err), 0) << err;
  ASSERT_EQ(Make("--list p.bin", &err), 0) << err;
  EXPECT_EQ(err.find("big.dat"), std::string::npos) << err;
}

// Warnings the author must see reach the terminal even with -q; progress
// does not.
TEST_F(MakerTest, WarnsEvenWhenQuiet) {
  Put("v1/app.exe", BytesOf("one"));
  Put("v1/data/level.dat", BytesOf("level"));
  Put("v2/app.exe", BytesOf("two"));
  Put("v2/data/level.dat", BytesOf("level"));
  fs::create_symlink("data/level.dat", Path("v2/level-link.dat"));
  Copy("v1", "v1-copy");
  // v2 older than v1: the arguments the wrong way round, most likely.
  Put("old/app.exe", BytesOf("old"));
  Put("new/app.exe", BytesOf("new"));
  fs::last_write_time(Path("new/app.exe"),
                      fs::last_write_time(Path("old/app.exe")) - std::chrono::hours(48));
  // A file large enough to show its progress.
  std::mt19937 rng(3);
  Put("big1/big.bin", Binary(rng, 5 << 20));
  Put("big2/big.bin", Edit(rng, ReadFileBytes(Path("big1/big.bin"))));
  std::vector<std::string> tenths;
  for (int p = 10; p <= 100; p += 10) tenths.push_back("[1/1] big.bin: " + std::to_string(p) + "%\n");
  struct Case {
    std::string args;
    std::vector<std::string> said;  // in this order
    bool quiet = true;
  };
  const Case cases[] = {
      {"v1 v2 -o p.bin", {"v2/level-link.dat is a link; the patch stores the file it leads to"}},
      {"v1 v1 -o p.bin", {"v1 and v1 are the same folder", "no file changed"}},
      {"v1 ./v1/ -o p.bin", {"are the same folder"}},
      {"v1 v1-copy -o p.bin", {"no file changed"}},
      {"new old -o p.bin", {}},
      {"old new -o p.bin", {"new looks older than the old release"}},
      {"-c 1252 v1 v2 -o p.bin", {"TARNWELL_CODEPAGE=1252"}},
      {"-d \"$(head -c 1200 /dev/zero | tr '\\0' x)\" v1 v2 -o p.bin", {"1,000"}},
      {"big1 big2 -o p.bin", {}},
      // Not a terminal here: a line at every tenth, each once, then the file's summary.
      {"big1 big2 -o p.bin", tenths, false},
  };
  std::string err;
  for (const Case& c : cases) {
    std::remove(Path("p.bin").c_str());
    EXPECT_EQ(Make((c.quiet ? "-q " : "") + c.args, &err), 0) << c.args << "\n" << err;
    size_t at = 0;
    for (const std::string& text : c.said) {
      at = err.find(text, at);
      ASSERT_NE(at, std::string::npos) << c.args << ": " << text << "\n" << err;
      at += text.size();
    }
    if (c.said.empty()) {
      EXPECT_EQ(err, "") << c.args;
    } else if (!c.quiet) {
      // Each tenth once, then the summary.
      size_t lines = 0;
      for (size_t i = 0; (i = err.find("[1/1] big.bin: ", i)) != std::string::npos; ++i) ++lines;
      EXPECT_EQ(lines, tenths.size() + 1) << err;
      EXPECT_NE(err.find("[1/1] big.bin: 5,", at), std::string::npos) << err;
    }
  }
  // The link's content travels: a user gets the file it led to.
  std::remove(Path("p.bin").c_str());
  ASSERT_EQ(Make("-q v1 v2 -o p.bin", &err), 0) << err;
  Copy("v1", "user");
  ASSERT_EQ(Apply("p.bin user", &err), 0) << err;
  EXPECT_EQ(ReadFileText(Path("user/level-link.dat")), "level");
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
