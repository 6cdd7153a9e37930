// Applying patches to real folders: the test and apply passes, version
// chains, backups, included files, and the run that settles the target.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>

#include "apply/apply_entries.h"
#include "apply/file_ops.h"
#include "apply/run_patch.h"
#include "container/body.h"
#include "container/patch_loader.h"
#include "delta/streams.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "tests/patch_builder.h"
#include "tests/test_util.h"
#include "state/front_end.h"

namespace tw {
namespace {

class ApplyTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(mkdir(Path("app").c_str(), 0755), 0);
    patch_.BackupFolderName = "backup";
    SetTarget(CorePath("app"));
  }
  void SetTarget(const std::string& path) { g_run.TargetPath = g_run.TargetBase = path; }
  void Save() {
    std::string error;
    ASSERT_TRUE(WritePatchFile(patch_, CorePath("patch.bin"), "", &error)) << error;
    g_run.PatchFilePath = CorePath("patch.bin");
  }
  // Loads the patch and runs one pass.
  bool Pass(bool test, bool quiet) {
    Save();
    LoadPatch();
    return ApplyEntries(test, quiet);
  }
  // A whole run; returns the raised text, or "" when it succeeded.
  std::string Run() {
    Save();
    try {
      RunPatch();
    } catch (const PatchError& e) {
      return e.text();
    } catch (const RunStopped&) {
      return "stopped";
    }
    return "";
  }
  std::string App(const std::string& name) const { return Path("app/" + name); }
  std::string Line(int index) {
    std::string s = MessageText(index);
    return s.substr(s[0] == '\x01' ? 1 : 0);
  }
  // The temp folder must be empty after a pass but for the body copy and
  // the results a test pass keeps for the apply pass.
  void ExpectOnlyBodyCopyInTemp() {
    std::vector<std::string> names = TempLeftovers(temp_);
    EXPECT_LE(names.size(), 1u + g_run.KeptResults.size()) << (names.empty() ? "" : names[0]);
  }
  PatchContents patch_;
};

TEST_F(ApplyTest, AppliesAndKeepsBackupsThenFindsEverythingUpdated) {
  Bytes old_a = Pattern(5000, 1), new_a = old_a, old_b = Pattern(300, 2);
  new_a[2500] ^= 0xff;
  Bytes new_b = BytesOf("completely different");
  WriteFileBytes(App("a.exe"), old_a);
  ASSERT_EQ(mkdir(App("sub").c_str(), 0755), 0);
  WriteFileBytes(App("sub/b.dat"), old_b);
  patch_.Entries.push_back(MakePatchedEntry("a.exe", {old_a}, new_a));
  patch_.Entries.push_back(MakePatchedEntry("sub\\b.dat", {old_b}, new_b));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(ReadFileBytes(App("a.exe")), new_a);
  EXPECT_EQ(ReadFileBytes(App("sub/b.dat")), new_b);
  EXPECT_EQ(ReadFileBytes(App("backup/a.exe")), old_a);
  EXPECT_EQ(ReadFileBytes(App("backup/sub/b.dat")), old_b);
  g_run.EntryName = "a.exe";
  ASSERT_GE(g_fake.list.size(), 6u);
  // Test pass lines, then 24, then the apply lines completed by (ok), then 26.
  EXPECT_EQ(g_fake.list[1], MessageText(kMsgCheckingEntry) + Line(kMsgOk) + " ");
  EXPECT_EQ(g_fake.list.back(), Line(kMsgApplied).substr(2) + " ");
  EXPECT_NE(std::find(g_fake.list.begin(), g_fake.list.end(),
                      MessageText(kMsgUpdatingEntry) + Line(kMsgOk) + " "),
            g_fake.list.end());
  ExpectOnlyBodyCopyInTemp();
  // The new file carries the entry's time.
  struct stat st;
  ASSERT_EQ(stat(App("a.exe").c_str(), &st), 0);
  struct tm tm;
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year, 100);
  EXPECT_EQ(tm.tm_mday, 22);

  // A second run finds both files updated and changes nothing.
  g_fake.list.clear();
  SetTarget(CorePath("app"));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(ReadFileBytes(App("backup/a.exe")), old_a);
  EXPECT_NE(std::find(g_fake.list.begin(), g_fake.list.end(),
                      MessageText(kMsgUpdatingEntry) + Line(kMsgAlreadyUpdated) + " "),
            g_fake.list.end());
}

TEST_F(ApplyTest, DifferenceInsideExcludedRegionCountsAsUpdated) {
  Bytes new_a = Pattern(1000, 3), installed = new_a;
  installed[100] ^= 1;
  PatchedEntry e = MakePatchedEntry("a.exe", {Pattern(900, 4)}, new_a);
  e.EntryFlags = kEntryHasExcludedRegions;
  e.Excluded = {90, 20};
  e.NewCrc = ChecksumBytes(new_a.data(), new_a.size(), 90, 20);
  patch_.Entries.push_back(e);
  WriteFileBytes(App("a.exe"), installed);
  EXPECT_TRUE(Pass(false, false));
  EXPECT_EQ(ReadFileBytes(App("a.exe")), installed);
  EXPECT_FALSE(PathExists(App("backup")));
  EXPECT_EQ(g_fake.list.back(), MessageText(kMsgUpdatingEntry) + Line(kMsgAlreadyUpdated) + " ");
  // Outside the region the same change makes it a file to rebuild.
  installed = new_a;
  installed[500] ^= 1;
  WriteFileBytes(App("a.exe"), installed);
  g_fake.list.clear();
  EXPECT_FALSE(Pass(true, false));
  EXPECT_EQ(ReadFileBytes(App("a.exe")), installed);
}

TEST_F(ApplyTest, ChainStartsAtTheMatchingVersionAndCleansIntermediates) {
  Bytes v1 = Pattern(700, 1), v2 = Pattern(800, 2), v3 = Pattern(650, 3), v4 = Pattern(900, 4);
  patch_.Entries.push_back(MakePatchedEntry("f.bin", {v1, v2, v3}, v4));
  WriteFileBytes(App("f.bin"), v2);
  EXPECT_TRUE(Pass(true, true));
  ExpectOnlyBodyCopyInTemp();
  EXPECT_TRUE(ApplyEntries(false, false));
  EXPECT_EQ(ReadFileBytes(App("f.bin")), v4);
  EXPECT_EQ(ReadFileBytes(App("backup/f.bin")), v2);
  ExpectOnlyBodyCopyInTemp();
}

// Temp files made in the run's work folder.
int g_creates = 0;
int CountCreates(OsOp op, const std::string& path) {
  g_creates += op == OsOp::kCreate && path.rfind(g_run.WorkFolder + "\\TRW", 0) == 0;
  return 0;
}

// The apply pass puts in place what the test pass decoded and verified,
// without decoding again, as long as that result and the installed file it
// came from are untouched; otherwise it decodes again from what is there.
TEST_F(ApplyTest, TheApplyPassUsesTheTestPassResultsOnlyWhileNothingChanged) {
  const Bytes old_a = Pattern(4000, 1), old_b = Pattern(3000, 2);
  Bytes new_a = old_a, new_b = old_b;
  new_a[100] ^= 1;
  new_b[200] ^= 1;
  patch_.Entries.push_back(MakePatchedEntry("a", {old_a}, new_a));
  patch_.Entries.push_back(MakePatchedEntry("b", {old_b}, new_b));
  enum Change { kNothing, kResultRewritten, kSourceRewritten };
  for (Change change : {kNothing, kResultRewritten, kSourceRewritten}) {
    WriteFileBytes(App("a"), old_a);
    WriteFileBytes(App("b"), old_b);
    ASSERT_TRUE(Pass(true, true)) << change;
    ASSERT_EQ(g_run.KeptResults.size(), 2u) << change;
    if (change == kResultRewritten) {
      // Same size, other bytes: no longer what was verified.
      WriteFileBytes(Native(g_run.KeptResults[1].path), old_a);
    } else if (change == kSourceRewritten) {
      Bytes other = old_a;
      other[0] ^= 1;
      WriteFileBytes(App("a"), other);
    }
    g_creates = 0;
    SetOsFaultHook(CountCreates);
    bool applied = ApplyEntries(false, true);
    SetOsFaultHook(nullptr);
    if (change == kSourceRewritten) {
      // Checked again: the changed file is no version the patch knows, so
      // nothing is decoded and the pass stops there.
      EXPECT_FALSE(applied);
      EXPECT_NE(ReadFileBytes(App("a")), new_a);
      EXPECT_EQ(g_creates, 0);
      continue;
    }
    EXPECT_TRUE(applied) << change;
    EXPECT_EQ(ReadFileBytes(App("a")), new_a) << change;
    EXPECT_EQ(ReadFileBytes(App("b")), new_b) << change;
    // Kept results need no temp files; a decode makes at least its output.
    EXPECT_EQ(g_creates > 0, change != kNothing) << change;
    EXPECT_TRUE(g_run.KeptResults.empty());
    std::remove(App("backup/a").c_str());
    std::remove(App("backup/b").c_str());
  }
}

TEST_F(ApplyTest, MissingInstalledFileIsRebuiltFromTheBackupCopy) {
  Bytes old_a = Pattern(400, 5), new_a = Pattern(420, 6);
  patch_.Entries.push_back(MakePatchedEntry("a.exe", {old_a}, new_a));
  ASSERT_EQ(mkdir(App("backup").c_str(), 0755), 0);
  WriteFileBytes(App("backup/a.exe"), old_a);
  EXPECT_TRUE(Pass(false, false));
  EXPECT_EQ(ReadFileBytes(App("a.exe")), new_a);
  EXPECT_EQ(ReadFileBytes(App("backup/a.exe")), old_a);
}

TEST_F(ApplyTest, EntriesWithoutSourceStopOrWarn) {
  Bytes x = Pattern(100, 1), y = Pattern(100, 2), z = Pattern(100, 3);
  WriteFileBytes(App("x"), x);
  WriteFileBytes(App("z"), z);
  PatchedEntry opt = MakePatchedEntry("missing-optional", {y}, x);
  opt.EntryFlags = kEntryOptionalFile;
  patch_.Entries.push_back(MakePatchedEntry("x", {x}, y));
  patch_.Entries.push_back(opt);
  patch_.Entries.push_back(MakePatchedEntry("missing-required", {y}, z));
  patch_.Entries.push_back(MakePatchedEntry("z", {z}, x));
  EXPECT_FALSE(Pass(true, false));
  // The optional entry warns and the pass goes on; the required one stops it
  // and the last entry is never read.
  g_run.EntryName = "missing-optional";
  EXPECT_EQ(g_fake.list[1], MessageText(kMsgCheckingEntry) + Line(kMsgNoSourceOptional).substr(0, Line(kMsgNoSourceOptional).find('\r')) + " ");
  g_run.EntryName = "z";
  for (const std::string& line : g_fake.list) {
    EXPECT_EQ(line.find(MessageText(kMsgCheckingEntry)), std::string::npos);
  }
  EXPECT_EQ(ReadFileBytes(App("x")), x);
  EXPECT_FALSE(PathExists(App("backup")));
  // The full run refuses with message 17 and changes nothing.
  g_fake.list.clear();
  SetTarget(CorePath("app"));
  std::string text = Run();
  g_run.TargetPath = CorePath("app");
  EXPECT_EQ(text, MessageText(kMsgCannotUpdate));
  // The message names the target; the cause names the entry that stopped it.
  EXPECT_EQ(g_run.ErrorCause,
            CorePath("app") + "\\missing-required: not the installed version this patch updates");
  EXPECT_EQ(ListNames(Path("app")), (std::vector<std::string>{"x", "z"}));
  EXPECT_TRUE(TempLeftovers(temp_).empty());
}

TEST_F(ApplyTest, QuietPassReportsAWrongResultAsFalse) {
  Bytes old_a = Pattern(300, 1), new_a = Pattern(300, 2);
  PatchedEntry e = MakePatchedEntry("a", {old_a}, new_a);
  e.NewCrc ^= 1;
  patch_.Entries.push_back(e);
  WriteFileBytes(App("a"), old_a);
  EXPECT_FALSE(Pass(true, true));
  EXPECT_TRUE(g_fake.list.empty());
  ExpectOnlyBodyCopyInTemp();
  try {
    ApplyEntries(true, false);
    FAIL();
  } catch (const PatchError& e) {
    EXPECT_EQ(e.text(), MessageText(kMsgChecksumWrong));
  }
  EXPECT_EQ(ReadFileBytes(App("a")), old_a);
  EXPECT_TRUE(TempLeftovers(temp_).empty());
}

TEST_F(ApplyTest, IncludedFilesAreSkippedInTestAndWrittenWithTheirTime) {
  Bytes old_a = Pattern(200, 1), new_a = Pattern(210, 2);
  WriteFileBytes(App("a"), old_a);
  WriteFileText(App("readme.txt"), "old readme");
  patch_.Entries.push_back(IncludedEntry{"readme.txt", 0x28762980, BytesOf("new readme")});
  patch_.Entries.push_back(IncludedEntry{"docs\\deep\\new.txt", 0x3C210000, BytesOf("n")});
  patch_.Entries.push_back(MakePatchedEntry("a", {old_a}, new_a));
  EXPECT_TRUE(Pass(true, false));
  EXPECT_EQ(g_fake.list.size(), 3u);
  EXPECT_EQ(ReadFileBytes(App("a")), old_a);
  EXPECT_EQ(ReadFileBytes(App("readme.txt")), BytesOf("old readme"));
  EXPECT_TRUE(ApplyEntries(false, false));
  EXPECT_EQ(ReadFileBytes(App("readme.txt")), BytesOf("new readme"));
  EXPECT_EQ(ReadFileBytes(App("backup/readme.txt")), BytesOf("old readme"));
  EXPECT_EQ(ReadFileBytes(App("docs/deep/new.txt")), BytesOf("n"));
  EXPECT_EQ(ReadFileBytes(App("a")), new_a);
  struct stat st;
  ASSERT_EQ(stat(App("docs/deep/new.txt").c_str(), &st), 0);
  struct tm tm;
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2010);
  EXPECT_EQ(tm.tm_mon + 1, 1);
  EXPECT_EQ(tm.tm_mday, 1);
}

// Who may read, write and run a file, and who owns it, survive its
// replacement: the new file keeps the installed one's rights (the owner where
// the run may give it, setuid and the like only together with the owner), a
// file made from another takes that one's, and a brand-new file may be run
// when it is a program, as far as the file-creation mask lets. The staged
// file has them before it takes the name, and is private while written. Each
// round puts the results in place another way: moved from the temp folder or
// copied from another volume, with owners given or refused.
class RightsTest : public ApplyTest {
 protected:
  static int Hook(OsOp op, const std::string& path) {
    size_t staged = path.find(".TRW");
    if (staged == std::string::npos) {
      if (op == OsOp::kRename && other_volume_ && path.find("\\TRW") != std::string::npos) {
        return EXDEV;
      }
      return 0;
    }
    struct stat st;
    if ((op == OsOp::kWrite || op == OsOp::kRename) && stat(Native(path).c_str(), &st) == 0) {
      if (op == OsOp::kWrite && (st.st_mode & 077) != 0) written_open_ = true;
      if (op == OsOp::kRename) at_rename_.push_back(st.st_mode & 07777);
    }
    return op == OsOp::kSetOwner && refuse_owner_ ? EPERM : 0;
  }
  void TearDown() override {
    SetOsFaultHook(nullptr);
    umask(old_mask_);
    ApplyTest::TearDown();
  }
  static inline bool other_volume_ = false, refuse_owner_ = false, written_open_ = false;
  // The modes staged files had as they were renamed into place.
  static inline std::vector<mode_t> at_rename_;
  mode_t old_mask_ = umask(027);
};

TEST_F(RightsTest, FilesKeepTheirRightsAndNewProgramsMayRun) {
  const bool root = geteuid() == 0;
  // Tests run as root; elsewhere every owner is the runner's.
  const uid_t other = root ? 1000 : geteuid();
  const gid_t other_group = root ? 1000 : getegid();
  const Bytes elf = ReadFileBytes("/bin/true");
  const struct {
    const char* name;
    mode_t mode;
    bool others;   // owned by the other user
    bool patched;  // else replaced by an included file, or the source of renamed.bin
  } cases[] = {
      {"tool", 0755, false, true},        {"private.cfg", 0600, false, true},
      {"owned.dat", 0640, true, true},    {"suid", 04755, true, true},
      {"conf.txt", 0604, true, false},    {"old-name.bin", 0700, true, false},
  };
  for (bool moved : {true, false}) {
    for (bool owners : {true, false}) {
      SCOPED_TRACE(std::string(moved ? "moved" : "copied") + (owners ? "" : ", owners refused"));
      other_volume_ = !moved;
      refuse_owner_ = !owners;
      written_open_ = false;
      at_rename_.clear();
      std::string folder = std::string("r") + (moved ? "m" : "c") + (owners ? "o" : "r");
      ASSERT_EQ(mkdir(Path(folder).c_str(), 0755), 0);
      patch_.Entries.clear();
      for (const auto& c : cases) {
        std::string path = Path(folder + "/" + c.name);
        WriteFileBytes(path, Pattern(3000, c.mode));
        if (c.others && root) {
          ASSERT_EQ(chown(path.c_str(), other, other_group), 0);
        }
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        if (!c.patched) continue;
        patch_.Entries.push_back(MakePatchedEntry(c.name, {Pattern(3000, c.mode)}, Pattern(90, 7)));
      }
      PatchedEntry renamed = MakePatchedEntry("renamed.bin", {Pattern(3000, 0700)}, Pattern(80, 8));
      renamed.Versions[0].VersionName = "old-name.bin";
      patch_.Entries.push_back(renamed);
      patch_.Entries.push_back(IncludedEntry{"conf.txt", 0x28762980, BytesOf("new conf")});
      patch_.Entries.push_back(IncludedEntry{"bin\\new-elf", 0x28762980, elf});
      patch_.Entries.push_back(IncludedEntry{"new-script", 0x28762980, BytesOf("#!/bin/sh\n")});
      patch_.Entries.push_back(IncludedEntry{"new-text", 0x28762980, BytesOf("# no script\n")});
      SetTarget(CorePath(folder));
      SetOsFaultHook(Hook);
      ASSERT_EQ(Run(), "");
      SetOsFaultHook(nullptr);
      EXPECT_FALSE(written_open_);

      // put: the run put the file there under a staged name.
      std::vector<mode_t> put_modes;
      auto expect = [&](const std::string& name, mode_t mode, bool theirs, bool put) {
        SCOPED_TRACE(name);
        struct stat st;
        ASSERT_EQ(lstat(Path(folder + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(st.st_uid, theirs ? other : geteuid());
        EXPECT_EQ(st.st_gid, theirs ? other_group : getegid());
        if (put) put_modes.push_back(mode);
      };
      for (const auto& c : cases) {
        // The source of renamed.bin stays as it was.
        bool put = std::string(c.name) != "old-name.bin";
        bool kept = c.others && (owners || !root || !put);
        expect(c.name, kept || !put ? c.mode : c.mode & 0777, kept, put);
        if (put) expect(std::string("backup/") + c.name, c.mode, c.others, false);
      }
      expect("renamed.bin", 0700, owners || !root, true);
      expect("bin/new-elf", 0750, false, true);
      expect("new-script", 0750, false, true);
      expect("new-text", 0640, false, true);
      // Each staged file had its final mode before it took its place.
      std::sort(put_modes.begin(), put_modes.end());
      std::sort(at_rename_.begin(), at_rename_.end());
      EXPECT_EQ(at_rename_, put_modes);
    }
  }
}

// A file with other names is replaced by a new file under its name; the
// other names keep the old file, its bytes, rights and time.
TEST_F(ApplyTest, ReplacingAFileLeavesItsOtherNamesAlone) {
  Bytes old_a = Pattern(2000, 1), new_a = Pattern(2100, 2);
  WriteFileBytes(App("a"), old_a);
  ASSERT_EQ(chmod(App("a").c_str(), 0750), 0);
  ASSERT_EQ(link(App("a").c_str(), Path("a-link").c_str()), 0);
  // An included file that is installed already, byte for byte, only gets
  // its time, but not through its other name.
  WriteFileText(App("same.txt"), "same");
  ASSERT_EQ(link(App("same.txt").c_str(), Path("same-link").c_str()), 0);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, App("same.txt").c_str(), times, 0), 0);
  patch_.Entries.push_back(MakePatchedEntry("a", {old_a}, new_a));
  patch_.Entries.push_back(IncludedEntry{"same.txt", 0x3C210000, BytesOf("same")});
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(ReadFileBytes(App("a")), new_a);
  EXPECT_EQ(ReadFileBytes(Path("a-link")), old_a);
  struct stat st;
  ASSERT_EQ(stat(Path("a-link").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  ASSERT_EQ(stat(Path("same-link").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  ASSERT_EQ(stat(App("same.txt").c_str(), &st), 0);
  struct tm tm;
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2010);
  EXPECT_EQ(ReadFileText(App("same.txt")), "same");
  EXPECT_FALSE(PathExists(App("backup/same.txt")));
}

// An ELF file is a program when one of its program headers (type 3) names
// an interpreter; a script when it starts with "#!".
TEST_F(ApplyTest, ProgramsAreToldByTheirHeaders) {
  // A 64-bit little-endian or a 32-bit big-endian image with these headers.
  auto elf = [](bool wide, std::vector<uint32_t> types) {
    size_t header = wide ? 64 : 52, entry = wide ? 56 : 32;
    Bytes b(header + entry * types.size() + 8, 0);
    auto put = [&](size_t at, uint64_t v, int n) {
      for (int i = 0; i < n; ++i) b[at + (wide ? i : n - 1 - i)] = static_cast<uint8_t>(v >> 8 * i);
    };
    b[0] = 0x7f, b[1] = 'E', b[2] = 'L', b[3] = 'F', b[4] = wide ? 2 : 1, b[5] = wide ? 1 : 2;
    put(wide ? 32 : 28, header, wide ? 8 : 4);
    put(wide ? 54 : 42, entry, 2);
    put(wide ? 56 : 44, types.size(), 2);
    for (size_t k = 0; k < types.size(); ++k) put(header + k * entry, types[k], 4);
    return b;
  };
  Bytes cut = elf(true, {1, 1, 3});
  cut.resize(cut.size() - 20);
  const std::pair<Bytes, bool> cases[] = {
      {ReadFileBytes("/bin/true"), true}, {elf(true, {1, 3}), true}, {elf(false, {3}), true},
      {elf(true, {1, 6, 2}), false},      {elf(false, {}), false},   {cut, false},
      {BytesOf("#!/bin/sh\n"), true},     {BytesOf("# !"), false},   {BytesOf("\x7f" "ELF"), false},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    WriteFileBytes(Path("f"), cases[k].first);
    File f;
    ASSERT_TRUE(f.OpenRead(CorePath("f")));
    EXPECT_EQ(LooksLikeProgram(f), cases[k].second) << "case " << k;
  }
}

TEST_F(ApplyTest, FolderChainCreatesOnlyFolders) {
  CreateFolderChain(CorePath("a/b\\x.dat"));
  EXPECT_TRUE(PathExists(Path("a/b")));
  EXPECT_FALSE(PathExists(Path("a/b/x.dat")));
}

// In code page 950 功 is A5 5C and 許 B3 5C: their second byte divides nothing.
TEST(FoldersLeadingToTest, SplitsOnlyAtSeparatorsOfTheirOwn) {
  auto big5 = [](unsigned char b) { return b >= 0x81 && b <= 0xFE; };
  using List = std::vector<std::string>;
  EXPECT_EQ(FoldersLeadingTo("T\\\xB8\xEA\xAE\xC6\\\xA5\x5C\xAF\xE0.dat", big5),
            (List{"T", "T\\\xB8\xEA\xAE\xC6"}));
  EXPECT_EQ(FoldersLeadingTo("T\\\xB3\xC6\xA5\xF7\xA5\x5C\\\xB3\x5C\xA5\x69\\x.txt", big5),
            (List{"T", "T\\\xB3\xC6\xA5\xF7\xA5\x5C",
                  "T\\\xB3\xC6\xA5\xF7\xA5\x5C\\\xB3\x5C\xA5\x69"}));
  EXPECT_EQ(FoldersLeadingTo("\xA5\x5C", big5), List{});
  // Byte-wise, "/" becomes "\" and a leading separator names no folder.
  EXPECT_EQ(FoldersLeadingTo("\\a/b\\x"), (List{"\\a", "\\a\\b"}));
  EXPECT_EQ(FoldersLeadingTo("\xA5\x5C"), List{"\xA5"});
}

TEST_F(ApplyTest, EmptyBackupNameReplacesInPlaceWithoutLosingTheFile) {
  patch_.BackupFolderName = "";
  Bytes old_a = Pattern(500, 1), new_a = Pattern(510, 9);
  WriteFileBytes(App("a"), old_a);
  patch_.Entries.push_back(MakePatchedEntry("a", {old_a}, new_a));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(ReadFileBytes(App("a")), new_a);
  EXPECT_EQ(ListNames(Path("app")), std::vector<std::string>{"a"});
}

TEST_F(ApplyTest, SingleFileModeReplacesTheTargetFile) {
  patch_.HeaderMode = 1;
  Bytes old_a = Pattern(600, 1), new_a = Pattern(640, 2);
  WriteFileBytes(App("prog.exe"), old_a);
  PatchedEntry e = MakePatchedEntry("", {old_a}, new_a);
  patch_.Entries.push_back(e);
  SetTarget(CorePath("app\\prog.exe"));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(ReadFileBytes(App("prog.exe")), new_a);
  EXPECT_EQ(ListNames(Path("app")), std::vector<std::string>{"prog.exe"});
  // Message 21 names the target; the test pass announced nothing.
  EXPECT_EQ(std::count(g_fake.list.begin(), g_fake.list.end(),
                       MessageText(kMsgUpdatingEntry) + Line(kMsgOk) + " "),
            1);
}

TEST_F(ApplyTest, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
  for (const char* name : {"..\\evil", "a\\..\\..\\evil", "\\abs", "/abs", "C:evil", "\\\\srv\\x",
                           "\\\\?\\C:\\x", "f:stream", "CON", "nul.txt", "dots.", "space "}) {
    patch_.Entries.clear();
    Bytes old_a = Pattern(100, 1);
    WriteFileBytes(App("a"), old_a);
    patch_.Entries.push_back(MakePatchedEntry("a", {old_a}, Pattern(100, 2)));
    patch_.Entries.push_back(IncludedEntry{name, 0, BytesOf("x")});
    SetTarget(CorePath("app"));
    std::string text = Run();
    EXPECT_EQ(text, MessageText(kMsgPatchDamaged)) << name;
    EXPECT_EQ(ReadFileBytes(App("a")), old_a) << name;
    EXPECT_EQ(ListNames(Path("app")), std::vector<std::string>{"a"}) << name;
    EXPECT_EQ(ListNames(dir_), (std::vector<std::string>{"app", "patch.bin", "temp"})) << name;
  }
  // A backup folder outside the target is refused the same way.
  patch_.Entries.clear();
  patch_.BackupFolderName = "..\\outside";
  SetTarget(CorePath("app"));
  EXPECT_EQ(Run(), MessageText(kMsgPatchDamaged));
}

TEST_F(ApplyTest, NamedFileStandsForItsFolder) {
  Bytes old_a = Pattern(100, 1), new_a = Pattern(120, 2);
  WriteFileBytes(App("a"), old_a);
  patch_.Entries.push_back(MakePatchedEntry("a", {old_a}, new_a));
  SetTarget(CorePath("app\\a"));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(g_run.TargetPath, CorePath("app\\"));
  EXPECT_EQ(ReadFileBytes(App("a")), new_a);
}

// The disk refuses: the staged new file cannot be written, or cannot be
// renamed into place. Either way every installed file stays usable (its old
// version in place or in the backup folder) and the next run finishes.
class FaultTest : public ApplyTest {
 protected:
  // The temp folder is on another volume (the result cannot move), and the
  // copy beside the installed file runs out of space.
  static int FailStagedWrites(OsOp op, const std::string& path) {
    if (op == OsOp::kRename && path.find("\\TRW") != std::string::npos) return EXDEV;
    return op == OsOp::kWrite && path.find(".TRW") != std::string::npos ? ENOSPC : 0;
  }
  // The second staged file (a's: b comes first) is refused its place.
  static inline int staged_renames_ = 0;
  static int FailRenameIntoPlace(OsOp op, const std::string& path) {
    if (op != OsOp::kRename || path.find("\\.TRW") == std::string::npos) return 0;
    return ++staged_renames_ == 2 ? EACCES : 0;
  }
  void TearDown() override {
    SetOsFaultHook(nullptr);
    ApplyTest::TearDown();
  }
  void Prepare() {
    staged_renames_ = 0;
    old_a_ = Pattern(200000, 1);
    new_a_ = old_a_;
    new_a_[1000] ^= 1;
    WriteFileBytes(App("a"), old_a_);
    WriteFileBytes(App("b"), Pattern(100, 3));
    patch_.Entries.push_back(MakePatchedEntry("b", {Pattern(100, 3)}, Pattern(90, 4)));
    patch_.Entries.push_back(MakePatchedEntry("a", {old_a_}, new_a_));
  }
  Bytes old_a_, new_a_;
};

TEST_F(FaultTest, FailedWriteOfTheNewFileKeepsTheInstalledOne) {
  Prepare();
  SetOsFaultHook(FailStagedWrites);
  EXPECT_EQ(Run(), MessageText(kMsgReplaceFailed));
  SetOsFaultHook(nullptr);
  // The cause is the disk's refusal of the file being written.
  EXPECT_NE(g_run.ErrorCause.find(".TRW"), std::string::npos) << g_run.ErrorCause;
  EXPECT_NE(g_run.ErrorCause.find(OsErrorText(ENOSPC)), std::string::npos) << g_run.ErrorCause;
  EXPECT_EQ(ReadFileBytes(App("a")), old_a_);
  EXPECT_EQ(ListNames(Path("app")), (std::vector<std::string>{"a", "b"}));
  SetTarget(CorePath("app"));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(ReadFileBytes(App("a")), new_a_);
  EXPECT_EQ(ReadFileBytes(App("b")), Pattern(90, 4));
}

TEST_F(FaultTest, FailedRenameLeavesTheOldFileInTheBackupAndTheNextRunFinishes) {
  Prepare();
  SetOsFaultHook(FailRenameIntoPlace);
  EXPECT_EQ(Run(), MessageText(kMsgReplaceFailed));
  SetOsFaultHook(nullptr);
  // The first entry is done; the second's old file waits in the backup folder.
  EXPECT_EQ(ReadFileBytes(App("b")), Pattern(90, 4));
  EXPECT_FALSE(PathExists(App("a")));
  EXPECT_EQ(ReadFileBytes(App("backup/a")), old_a_);
  SetTarget(CorePath("app"));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(ReadFileBytes(App("a")), new_a_);
  EXPECT_EQ(ReadFileBytes(App("backup/a")), old_a_);
}

// A new file that cannot be given the installed one's rights would change
// who may run or read it: the run fails as if the file could not be written.
TEST_F(FaultTest, RefusedRightsKeepTheInstalledFile) {
  Prepare();
  SetOsFaultHook([](OsOp op, const std::string& path) {
    // The first staged file is refused its rights.
    static int staged = 0;
    return op == OsOp::kSetMode && path.find(".TRW") != std::string::npos && staged++ == 0 ? EPERM
                                                                                           : 0;
  });
  EXPECT_EQ(Run(), MessageText(kMsgReplaceFailed));
  SetOsFaultHook(nullptr);
  EXPECT_EQ(ReadFileBytes(App("a")), old_a_);
  // The refusal came before the backup: nothing staged or moved stays.
  EXPECT_EQ(ListNames(Path("app")), (std::vector<std::string>{"a", "b"}));
}

// Whoever may write in the target folder could put another file under a
// staged name just before it takes its place: that file is never reported
// as the verified new one, whether the result moved there or was copied.
TEST_F(FaultTest, AFileSwappedInUnderAStagedNameIsNoSuccess) {
  static bool copied;
  for (bool copy : {false, true}) {
    SCOPED_TRACE(copy ? "copied" : "moved");
    copied = copy;
    patch_.Entries.clear();
    std::remove(App("backup/a").c_str());
    std::remove(App("backup/b").c_str());
    Prepare();
    SetTarget(CorePath("app"));
    SetOsFaultHook([](OsOp op, const std::string& path) {
      if (op == OsOp::kRename && copied && path.find("\\TRW") != std::string::npos) return EXDEV;
      if (op == OsOp::kRename && path.find("\\.TRW") != std::string::npos) {
        // Kept under another name, so that its number is not handed on.
        std::string native = Native(path);
        std::rename(native.c_str(), (native + ".kept").c_str());
        WriteFileText(native, "not what was verified");
      }
      return 0;
    });
    EXPECT_EQ(Run(), MessageText(kMsgReplaceFailed));
    SetOsFaultHook(nullptr);
    EXPECT_NE(g_run.ErrorCause.find("another file took the new file's place"), std::string::npos)
        << g_run.ErrorCause;
    // The replaced file is kept all the same.
    EXPECT_EQ(ReadFileBytes(App("backup/b")), Pattern(100, 3));
  }
}

class SearchTest : public ApplyTest {
 protected:
  void SetUp() override {
    ApplyTest::SetUp();
    // Two folders that fit, one that does not, and a stray file.
    old_ = Pattern(300, 1);
    new_ = Pattern(310, 2);
    for (const char* d : {"app/a1", "app/a2", "app/b"}) {
      ASSERT_EQ(mkdir(Path(d).c_str(), 0755), 0);
    }
    WriteFileBytes(App("a1/f"), old_);
    WriteFileBytes(App("a2/f"), old_);
    WriteFileBytes(App("b/f"), Pattern(300, 7));
    WriteFileText(App("stray"), "x");
    patch_.Entries.push_back(MakePatchedEntry("f", {old_}, new_));
    g_run.SearchNeeded = true;
    SetTarget(CorePath("app"));
  }
  Bytes old_, new_;
};

TEST_F(SearchTest, FirstFittingFolderIsAskedAboutAndNoSkipsToTheNext) {
  g_fake.answers = {kAnswerNo, kAnswerYes};
  EXPECT_EQ(Run(), "");
  ASSERT_EQ(g_fake.boxes.size(), 2u);
  EXPECT_NE(g_fake.boxes[0].text.find("a1"), std::string::npos);
  EXPECT_NE(g_fake.boxes[1].text.find("a2"), std::string::npos);
  EXPECT_EQ(g_fake.boxes[1].caption, NativeText(kQuestionCaption));
  EXPECT_EQ(ReadFileBytes(App("a1/f")), old_);
  EXPECT_EQ(ReadFileBytes(App("a2/f")), new_);
  EXPECT_EQ(g_run.TargetPath, CorePath("app\\a2"));
  // No test pass with messages: 33, 24, the apply line, 26.
  g_run.EntryName = "f";
  for (const std::string& line : g_fake.list) {
    EXPECT_EQ(line.find(MessageText(kMsgCheckingEntry)), std::string::npos);
  }
  EXPECT_EQ(g_fake.list.size(), 7u);  // 33, 24 (three lines), 21 + (ok), 26 (two lines)
}

TEST_F(SearchTest, EveryCandidateDeclinedRestoresTheTargetAndRaises16) {
  std::string text = Run();
  EXPECT_EQ(text, MessageText(kMsgNoTargetFound));
  EXPECT_EQ(g_run.TargetPath, CorePath("app"));
  EXPECT_EQ(g_fake.boxes.size(), 2u);
  EXPECT_EQ(ReadFileBytes(App("a1/f")), old_);
}

// A stop asked for before the apply pass ends the run at its next step with
// nothing changed and no further question; once the apply pass has begun,
// it completes.
TEST_F(SearchTest, StopBeforeTheApplyPassChangesNothing) {
  struct Case {
    const char* what;
    bool search;
    void (*on_pump)();
    bool applied;
  };
  static int pumps;
  const Case cases[] = {
      {"during the search", true, [] { g_run.CancelRequested = true; }, false},
      {"during the test pass", false,
       [] { g_run.CancelRequested = ++pumps > 3 && !g_run.ApplyPassBegun; }, false},
      {"once the apply pass began", false,
       [] { g_run.CancelRequested = g_run.ApplyPassBegun; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetRunState();
    WriteFileBytes(App("a1/f"), old_);
    std::remove(Native(CorePath("app\\a1\\backup\\f")).c_str());
    g_run.SearchNeeded = c.search;
    SetTarget(CorePath(c.search ? "app" : "app\\a1"));
    pumps = 0;
    g_fake = FakeUi();
    g_fake.answers = {kAnswerYes, kAnswerYes};
    g_fake.on_pump = c.on_pump;
    EXPECT_EQ(Run(), c.applied ? "" : "stopped");
    EXPECT_TRUE(g_fake.boxes.empty());
    EXPECT_EQ(ReadFileBytes(App("a1/f")), c.applied ? new_ : old_);
    EXPECT_EQ(PathExists(App("a1/backup/f")), c.applied);
    EXPECT_EQ(ReadFileBytes(App("a2/f")), old_);
    CloseWorkFolder();
    EXPECT_EQ(TempLeftovers(temp_), std::vector<std::string>{});
  }
}

TEST_F(SearchTest, FittingTargetNeedsNoQuestion) {
  SetTarget(CorePath("app\\a1"));
  EXPECT_EQ(Run(), "");
  EXPECT_TRUE(g_fake.boxes.empty());
  EXPECT_EQ(ReadFileBytes(App("a1/f")), new_);
}

TEST_F(SearchTest, CurrentFolderIsTheFirstCandidate) {
  ASSERT_EQ(chdir(Path("app/a2").c_str()), 0);
  SetTarget(".");
  g_fake.answers = {kAnswerYes};
  EXPECT_EQ(Run(), "");
  ASSERT_EQ(chdir("/"), 0);
  ASSERT_EQ(g_fake.boxes.size(), 1u);
  EXPECT_NE(g_fake.boxes[0].text.find(NativeText(kCurrentFolderWords)), std::string::npos);
  EXPECT_EQ(ReadFileBytes(App("a2/f")), new_);
}

TEST_F(SearchTest, SingleFileSearchProposesFilesNotFolders) {
  patch_.Entries.clear();
  patch_.HeaderMode = 0;
  patch_.Entries.push_back(MakePatchedEntry("", {old_}, new_));
  WriteFileBytes(App("z.bin"), old_);
  g_fake.answers = {kAnswerYes};
  EXPECT_EQ(Run(), "");
  ASSERT_EQ(g_fake.boxes.size(), 1u);
  EXPECT_NE(g_fake.boxes[0].text.find("z.bin"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(App("z.bin")), new_);
  EXPECT_EQ(ReadFileBytes(App("a1/f")), old_);
}

}  // namespace
}  // namespace tw
