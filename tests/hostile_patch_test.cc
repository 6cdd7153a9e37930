// Damaged and hostile patches against a real folder: every truncation and
// every single-byte change of the structure of valid patches of each shape
// ends in success or a catalogue message, never in a crash or a hang, and
// never leaves the target folder in a state that neither the old files nor a
// successful apply explain. Names that would reach outside the target, or
// name one file twice, are refused before anything is written.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "apply/file_ops.h"
#include "apply/run_patch.h"
#include "container/body.h"
#include "container/entries.h"
#include "container/patch_loader.h"
#include "delta/decoder.h"
#include "delta/streams.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "tests/folder_state.h"
#include "tests/patch_builder.h"
#include "tests/test_util.h"

namespace tw {
namespace {

Bytes Filler(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 29 + seed * 13) ^ (i >> 4));
  return b;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

bool IsCatalogueText(const std::string& text) { return IsKnownErrorText(text); }

// The target of the run under way, in the core's spelling, for fault hooks.
std::string g_target;

// A scratch tree on a memory file system where there is one: root/temp is
// the run's temp folder, root/box holds the target folder and a sibling.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    struct stat st;
    std::string base = stat("/dev/shm", &st) == 0 && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/tarnwell-hostile-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    ASSERT_EQ(mkdir((root_ + "/temp").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/box").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Target().c_str(), 0755), 0);
    WriteFileBytes(root_ + "/box/sibling.txt", Filler(40, 9));
    g_run.TempFolder = root_ + "/temp\\";
    setenv("TMPDIR", (root_ + "/temp").c_str(), 1);
  }
  void TearDown() override {
    SetOsFaultHook(nullptr);
    OsSetConfinementRoot("");
    ResetRunState();
    RemovePath(root_);
  }
  std::string Target() const { return root_ + "/box/target"; }
  std::string Core(const std::string& posix) const {
    std::string p = posix;
    for (char& c : p) {
      if (c == '/') c = '\\';
    }
    return p;
  }
  // Everything beside the target folder and the temp folder.
  FolderState Surroundings() const {
    FolderState s = ReadFolderState(root_);
    for (auto it = s.begin(); it != s.end();) {
      bool inner = it->first.rfind("box/target", 0) == 0 || it->first.rfind("temp", 0) == 0 ||
                   it->first == "carrier.bin";
      it = inner ? s.erase(it) : std::next(it);
    }
    return s;
  }
  // Lays out `installed`, runs the carrier on it and returns the raised text
  // ("" for success).
  std::string RunOn(const Bytes& carrier, const FolderState& installed, bool single_file) {
    LayOutFolderState(Target(), installed);
    for (const std::string& n : ListNames(root_ + "/temp")) RemovePath(root_ + "/temp/" + n);
    WriteFileBytes(root_ + "/carrier.bin", carrier);
    ResetRunState();
    g_run.TempFolder = root_ + "/temp\\";
    g_run.PatchFilePath = Core(root_ + "/carrier.bin");
    g_run.TargetPath = g_run.TargetBase = Core(Target()) + (single_file ? "\\a.exe" : "");
    std::string text;
    try {
      RunPatch();
    } catch (const PatchError& e) {
      text = e.text();
      if (!IsCatalogueText(text)) text = "not a catalogue message: " + text;
    }
    g_run.Carrier.Close();
    g_run.BodyTempFile.Close();
    // As a run ends in the program.
    ReleaseTarget();
    CloseWorkFolder();
    return text;
  }
  std::string root_;
};

// The installed application the shapes patch.
FolderState Installed() {
  return {{"a.exe", "f:" + Str(Filler(600, 1))},
          {"sub", "d"},
          {"sub/b.dat", "f:" + Str(Filler(300, 2))},
          {"readme.txt", "f:old readme"}};
}

Bytes NewA() {
  Bytes b = Filler(600, 1);
  for (size_t i = 200; i < 230; ++i) b[i] ^= 0x3c;
  return b;
}

struct Shape {
  const char* name;
  PatchContents patch;
  bool single_file = false;
};

std::vector<Shape> Shapes() {
  const Bytes old_a = Filler(600, 1), old_b = Filler(300, 2);
  Bytes new_b = old_b;
  new_b.resize(280);
  PatchContents base;
  base.BackupFolderName = "bak";
  base.Description = "desc";
  std::vector<Shape> shapes;

  Shape multi{"multi-file", base};
  multi.patch.Entries.push_back(MakePatchedEntry("a.exe", {old_a}, NewA()));
  multi.patch.Entries.push_back(MakePatchedEntry("sub\\b.dat", {old_b}, new_b));
  multi.patch.Entries.push_back(IncludedEntry{"readme.txt", 0x28762980, BytesOf("new readme")});
  shapes.push_back(multi);

  Shape single{"single-file", base, true};
  single.patch.HeaderMode = 1;
  single.patch.Entries.push_back(MakePatchedEntry("", {old_a}, NewA()));
  shapes.push_back(single);

  Shape chain{"version chain", base};
  PatchedEntry c = MakePatchedEntry("a.exe", {Filler(90, 5), old_a, Filler(120, 6)}, NewA());
  c.Versions[0].VersionName = "old.exe";
  chain.patch.Entries.push_back(c);
  shapes.push_back(chain);

  Shape excluded{"excluded regions", base};
  PatchedEntry x;
  x.EntryName = "sub\\b.dat";
  x.EntryFlags = kEntryHasExcludedRegions;
  x.Excluded = {10, 4};
  x.NewSize = static_cast<int32_t>(new_b.size());
  x.NewCrc = ChecksumBytes(new_b.data(), new_b.size(), 10, 4);
  x.Versions.push_back(MakeVersionBlock(old_b, new_b, "", {5, 3}));
  excluded.patch.Entries.push_back(x);
  shapes.push_back(excluded);

  Shape registry{"registry and optional", base};
  registry.patch.HeaderFlags = kFlagHasRegistryLocation;
  registry.patch.RegistryKeyPath = "SOFTWARE\\T";
  registry.patch.RegistryValueName = "Dir";
  PatchedEntry opt = MakePatchedEntry("gone.dll", {Filler(50, 7)}, Filler(60, 8));
  opt.EntryFlags = kEntryOptionalFile;
  registry.patch.Entries.push_back(opt);
  PatchedEntry none;
  none.EntryName = "readme.txt";
  none.NewSize = 10;
  none.NewCrc = ChecksumBytes("old readme", 10);
  registry.patch.Entries.push_back(none);
  registry.patch.Entries.push_back(MakePatchedEntry("sub\\b.dat", {old_b}, new_b));
  shapes.push_back(registry);
  return shapes;
}

// Carrier offsets of bytes that are data rather than structure: the streams
// of every version and the bytes of included files.
std::vector<bool> DataBytes(const std::string& carrier_path, size_t size) {
  std::vector<bool> data(size, false);
  LoadPatch();
  const int64_t body_at = kHeaderSize;  // no prefix: the header starts the carrier
  for (;;) {
    int kind = ReadNextEntry();
    if (kind == kEntryEnd) break;
    if (kind == kEntryPatched) {
      const FileEntry& e = g_run.Entry;
      for (int k = 1; k <= e.VersionCount; ++k) {
        int64_t n = 0;
        for (int i = 0; i < kStreamCount; ++i) n += e.Version[k].StreamLength[i];
        for (int64_t i = 0; i < n; ++i) data[body_at + e.StreamStart[k] + i] = true;
      }
    } else {
      int64_t at = g_run.BodyTempFile.Tell() + 8;
      unsigned char header[8];
      ReadBodyBytes(header, 8);
      int64_t n = header[0] | (header[1] << 8) | (header[2] << 16);
      for (int64_t i = 0; i < n; ++i) data[body_at + at + i] = true;
      g_run.BodyTempFile.SeekRelative(n);
    }
    if (!g_run.MultiFileMode) break;
  }
  (void)carrier_path;
  g_run.BodyTempFile.Close();
  return data;
}

class SweepTest : public ScratchTest {
 protected:
  // Checks one outcome against the two states that may exist afterwards.
  void ExpectClean(const std::string& text, const std::string& what) {
    ++cases_;
    if (!text.empty()) ++refused_;
    ASSERT_EQ(text.find("not a catalogue message"), std::string::npos) << what << ": " << text;
    FolderState after = ReadFolderState(Target());
    std::multiset<std::string> allowed = FileContents(before_), now = FileContents(after);
    for (const std::string& c : FileContents(success_)) allowed.insert(c);
    for (const std::string& c : now) {
      ASSERT_TRUE(allowed.count(c)) << what << ": a file holds what neither state has";
    }
    // An old file may leave its place only for the backup folder, unless a
    // successful apply drops it too (single-file mode keeps no backup).
    for (const std::string& c : FileContents(before_)) {
      if (FileContents(success_).count(c)) {
        ASSERT_TRUE(now.count(c)) << what << ": an old file was lost";
      }
    }
    ASSERT_EQ(Surroundings(), surroundings_) << what << ": a file outside the target changed";
  }

  void Sweep(const Shape& shape) {
    Bytes carrier;
    ASSERT_TRUE(WritePatch(shape.patch, &carrier));
    before_ = Installed();
    surroundings_ = Surroundings();
    ASSERT_EQ(RunOn(carrier, before_, shape.single_file), "") << shape.name;
    success_ = ReadFolderState(Target());
    ASSERT_NE(success_, before_);
    std::vector<bool> data = DataBytes(root_ + "/carrier.bin", carrier.size());
    const std::string name = shape.name;

    // Every prefix of the carrier file.
    for (size_t n = 0; n < carrier.size(); ++n) {
      Bytes cut(carrier.begin(), carrier.begin() + static_cast<long>(n));
      ExpectClean(RunOn(cut, before_, shape.single_file), name + " prefix " + std::to_string(n));
    }
    // Every shorter body inside an intact header and trailer.
    const size_t body = carrier.size() - kHeaderSize - kTrailerSize;
    for (size_t n = 0; n < body; ++n) {
      Bytes cut(carrier.begin(), carrier.begin() + static_cast<long>(kHeaderSize + n));
      PutU32(&cut, static_cast<uint32_t>(kHeaderSize + n + kTrailerSize));
      PutU32(&cut, kPatchMagic);
      ExpectClean(RunOn(cut, before_, shape.single_file), name + " body " + std::to_string(n));
    }
    // Every structure byte changed to a few values.
    for (size_t i = 0; i < carrier.size(); ++i) {
      if (data[i]) continue;
      const unsigned char b = carrier[i];
      for (unsigned char v : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(b + 1),
                              static_cast<uint8_t>(b ^ 0x80)}) {
        if (v == b) continue;
        Bytes changed = carrier;
        changed[i] = v;
        auto start = std::chrono::steady_clock::now();
        ExpectClean(RunOn(changed, before_, shape.single_file),
                    name + " byte " + std::to_string(i) + " = " + std::to_string(v));
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
            << name << " byte " << i << " = " << int{v} << " takes too long";
      }
    }
  }
  FolderState before_, success_, surroundings_;
  int cases_ = 0, refused_ = 0;
};

TEST_F(SweepTest, TruncationsAndByteChangesOfEveryShapeEndCleanly) {
  for (const Shape& shape : Shapes()) {
    int cases = cases_;
    Sweep(shape);
    if (HasFatalFailure()) return;
    EXPECT_GT(cases_ - cases, 500) << shape.name;
  }
  // Most damage is noticed; a few changes (a description byte, a time) are harmless.
  EXPECT_GT(refused_, cases_ * 7 / 10);
  RecordProperty("cases", cases_);
}

// Two entries that name one file on Windows are refused before any change.
class NameClashTest : public ScratchTest {};

TEST_F(NameClashTest, EntriesNamingOneFileApplyInOrderAndTheBackupKeepsTheOriginal) {
  const Bytes old_a = Filler(600, 1);
  struct Case {
    const char* first;
    const char* second;
    bool patched_first;
    const char* file;  // where both land, in the installed spelling
  } cases[] = {
      {"a.exe", "A.EXE", true, "a.exe"},
      {"sub\\b.dat", "SUB/B.dat", false, "sub/b.dat"},
      {"README.txt", "readme.TXT", false, "readme.txt"},
      {"a.exe", "a.exe", true, "a.exe"},
      {"sub\\b.dat", "sub\\\\b.dat", false, "sub/b.dat"},
  };
  for (const Case& c : cases) {
    PatchContents patch;
    patch.BackupFolderName = "bak";
    if (c.patched_first) {
      patch.Entries.push_back(MakePatchedEntry(c.first, {old_a}, NewA()));
    } else {
      patch.Entries.push_back(IncludedEntry{c.first, 0, BytesOf("first")});
    }
    patch.Entries.push_back(IncludedEntry{c.second, 0, BytesOf("second")});
    Bytes carrier;
    ASSERT_TRUE(WritePatch(patch, &carrier));
    EXPECT_EQ(RunOn(carrier, Installed(), false), "") << c.first << " / " << c.second;
    FolderState want = Installed();
    want["bak"] = "d";
    if (std::string(c.file).find('/') != std::string::npos) want["bak/sub"] = "d";
    want["bak/" + std::string(c.file)] = want[c.file];
    want[c.file] = "f:second";
    EXPECT_EQ(ReadFolderState(Target()), want) << c.first << " / " << c.second;
  }
}

TEST_F(NameClashTest, AnEntryMatchingSeveralFilesIgnoringCaseIsRefusedUnchanged) {
  FolderState installed = Installed();
  installed["README.TXT"] = "f:another file";
  PatchContents patch;
  patch.BackupFolderName = "bak";
  patch.Entries.push_back(MakePatchedEntry("a.exe", {Filler(600, 1)}, NewA()));
  patch.Entries.push_back(IncludedEntry{"Readme.txt", 0, BytesOf("new readme")});
  Bytes carrier;
  ASSERT_TRUE(WritePatch(patch, &carrier));
  std::string text = RunOn(carrier, installed, false);
  EXPECT_NE(text.find("Readme.txt"), std::string::npos) << text;
  EXPECT_EQ(ReadFolderState(Target()), installed);
}

TEST_F(NameClashTest, TheBackupFolderNeverMixesWithTheApplication) {
  struct Case {
    const char* backup;
    const char* entry;
    const char* installed_file;  // a file of the application, or ""
  } cases[] = {
      {"bak", "bak\\a.cfg", ""},   // an entry inside the backup folder
      {"bak", "BAK", ""},           // an entry where the folder must be
      {"bak", "x.txt", "bak"},      // an installed file where it must be
      {"Bak\\old", "bak/OLD/x.txt", ""},
  };
  for (const Case& c : cases) {
    FolderState installed = Installed();
    if (*c.installed_file) installed[c.installed_file] = "f:the application's own";
    PatchContents patch;
    patch.BackupFolderName = c.backup;
    patch.Entries.push_back(MakePatchedEntry("a.exe", {Filler(600, 1)}, NewA()));
    patch.Entries.push_back(IncludedEntry{c.entry, 0, BytesOf("new")});
    Bytes carrier;
    ASSERT_TRUE(WritePatch(patch, &carrier));
    std::string text = RunOn(carrier, installed, false);
    EXPECT_NE(text, "") << c.backup << " / " << c.entry;
    EXPECT_EQ(ReadFolderState(Target()), installed) << c.backup << " / " << c.entry;
  }
  // A trailing separator names the same folder.
  PatchContents patch;
  patch.BackupFolderName = "bak\\";
  patch.Entries.push_back(MakePatchedEntry("a.exe", {Filler(600, 1)}, NewA()));
  Bytes carrier;
  ASSERT_TRUE(WritePatch(patch, &carrier));
  EXPECT_EQ(RunOn(carrier, Installed(), false), "");
  EXPECT_EQ(ReadFolderState(Target())["bak/a.exe"], "f:" + Str(Filler(600, 1)));
}

TEST(DeviceNameTest, DevicesAreReadAsWindowsReadsThem) {
  for (const char* name : {"con .txt", "sub\\NUL  .log", "COM0", "lpt0.dat", "aux.tar.gz", "CONIN$"}) {
    EXPECT_TRUE(IsUnsafeName(name)) << name;
  }
  for (const char* name : {"console.txt", "com10", "nul-device.txt", "my con.txt", "LPT"}) {
    EXPECT_FALSE(IsUnsafeName(name)) << name;
  }
}

// In code page 950 the second byte of 功 (A5 5C) is "\" and that of 可
// (A5 69) is "i": neither separates nor folds. Under a byte-wise reading the
// first names would end in a separator or hold a device.
TEST(DeviceNameTest, DoubleByteCharactersAreReadWhole) {
  auto big5 = [](unsigned char b) { return b >= 0x81 && b <= 0xFE; };
  for (const char* name : {"\xB8\xEA\xAE\xC6\\\xA5\x5C\xAF\xE0.dat",  // 資料\功能.dat
                           "\xB3\xC6\xA5\xF7\xA5\x5C",                  // 備份功
                           "\xA5\x5C" "CON.txt",                       // 功CON.txt
                           "\xA5\x5C" "aux",                           // 功aux
                           "\xB3\x5C\xA5\x69\\\xBB\xA1\xA9\xFA.txt"}) {  // 許可\說明.txt
    EXPECT_FALSE(IsUnsafeName(name, big5)) << name;
  }
  EXPECT_TRUE(IsUnsafeName("\xB3\xC6\xA5\xF7\xA5\x5C"));
  EXPECT_TRUE(IsUnsafeName("\xA5\x5C" "CON.txt"));
  // A separator of its own after the character still counts.
  for (const char* name : {"\xA5\x5C\\CON", "\xA5\x5C\\", "\xA5\x5C\\..\\..\\x",
                           "\xA5\x5C.", "\xA5\x5C\\nul.txt"}) {
    EXPECT_TRUE(IsUnsafeName(name, big5)) << name;
  }
}

// Links inside the target folder never carry a write outside it.
class LinkTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    ASSERT_EQ(mkdir((root_ + "/box/outside").c_str(), 0755), 0);
    WriteFileBytes(root_ + "/box/outside/b.dat", Filler(300, 2));
    WriteFileText(root_ + "/box/outside/secret.txt", "secret");
  }
  FolderState WithLinks() {
    FolderState s = Installed();
    s["link"] = "l:../outside";
    s["secret-link.txt"] = "l:../outside/secret.txt";
    return s;
  }
  std::string Apply(const PatchContents& patch) {
    Bytes carrier;
    EXPECT_TRUE(WritePatch(patch, &carrier));
    outside_ = ReadFolderState(root_ + "/box/outside");
    return RunOn(carrier, WithLinks(), false);
  }
  void ExpectOutsideUnchanged(const std::string& what) {
    EXPECT_EQ(ReadFolderState(root_ + "/box/outside"), outside_) << what;
  }
  FolderState outside_;
};

TEST_F(LinkTest, WritesThroughALinkedFolderAreRefused) {
  PatchContents included;
  included.BackupFolderName = "bak";
  included.Entries.push_back(IncludedEntry{"link\\evil.txt", 0, BytesOf("escaped")});
  std::string text = Apply(included);
  EXPECT_EQ(text, MessageText(kMsgWriteIncludedFailed));
  ExpectOutsideUnchanged("included file");

  // The old file is read through the link, but the new one may not be
  // written there, nor the old one moved away from there.
  Bytes old_b = Filler(300, 2), new_b = Filler(310, 3);
  PatchContents patched;
  patched.BackupFolderName = "bak";
  patched.Entries.push_back(MakePatchedEntry("link\\b.dat", {old_b}, new_b));
  text = Apply(patched);
  EXPECT_EQ(text, MessageText(kMsgReplaceFailed));
  ExpectOutsideUnchanged("patched file");

  // A backup folder that is a link is refused as well.
  PatchContents backup;
  backup.BackupFolderName = "link";
  backup.Entries.push_back(MakePatchedEntry("a.exe", {Filler(600, 1)}, NewA()));
  text = Apply(backup);
  EXPECT_EQ(text, MessageText(kMsgBackupFailed));
  ExpectOutsideUnchanged("backup folder");
  EXPECT_EQ(ReadFileBytes(Target() + "/a.exe"), Filler(600, 1));
}

TEST_F(LinkTest, ALinkedFileIsReplacedNotWrittenThrough) {
  PatchContents patch;
  patch.BackupFolderName = "bak";
  patch.Entries.push_back(IncludedEntry{"secret-link.txt", 0, BytesOf("new text")});
  EXPECT_EQ(Apply(patch), "");
  ExpectOutsideUnchanged("linked file");
  EXPECT_EQ(ReadFileText(Target() + "/secret-link.txt"), "new text");
  // The link itself is what went into the backup folder.
  EXPECT_EQ(ReadFolderState(Target())["bak/secret-link.txt"], "l:../outside/secret.txt");
}

TEST_F(LinkTest, ALinkPlantedUnderTheStagingNameIsNotFollowed) {
  // The new file is written beside the old one under a name that a local
  // attacker can predict; a dangling link there must not create its target.
  FolderState installed = Installed();
  installed["a.exe.TRW0.tmp"] = "l:../outside/planted";
  // A user's file under a name like a staging name is no leftover of a run.
  installed["a.exe.trw0.TMP"] = "f:the user's own";
  PatchContents patch;
  patch.BackupFolderName = "bak";
  patch.Entries.push_back(MakePatchedEntry("a.exe", {Filler(600, 1)}, NewA()));
  Bytes carrier;
  ASSERT_TRUE(WritePatch(patch, &carrier));
  outside_ = ReadFolderState(root_ + "/box/outside");
  // Staging names are no longer predictable; the link is neither followed
  // nor removed (it is not the run's).
  std::string text = RunOn(carrier, installed, false);
  EXPECT_EQ(text, "");
  ExpectOutsideUnchanged("planted link");
  EXPECT_EQ(ReadFileBytes(Target() + "/a.exe"), NewA());
  EXPECT_EQ(ReadFolderState(Target())["a.exe.TRW0.tmp"], "l:../outside/planted");
  EXPECT_EQ(ReadFolderState(Target())["a.exe.trw0.TMP"], "f:the user's own");
}

// Each change below the target goes down from the target itself: neither a
// linked folder nor a ".." step takes it anywhere else, and a name spelled in
// another case still finds its file.
TEST_F(LinkTest, ChangesBelowTheTargetNeverStepOutOfIt) {
  LayOutFolderState(Target(), WithLinks());
  const std::string t = Core(Target());
  OsSetConfinementRoot(t);
  const FolderState surroundings = Surroundings();
  auto create = [](const std::string& path) {
    int err = 0;
    OsFile f = OsCreate(path, &err);
    return f != kNoOsFile && OsClose(f, &err);
  };
  const struct {
    const char* what;
    std::function<bool()> change;
    bool done;
  } cases[] = {
      {"delete by a parent step", [&] { return OsDeleteFile(t + "\\sub\\..\\..\\sibling.txt"); },
       false},
      {"new folder by a parent step", [&] { return OsCreateFolder(t + "\\..\\made"); }, false},
      {"rename out by a parent step",
       [&] { return OsRenameFile(t + "\\readme.txt", t + "\\..\\outside\\readme.txt"); }, false},
      {"new file in a linked folder", [&] { return create(t + "\\link\\new.txt"); }, false},
      {"time in a linked folder",
       [&] { return OsSetFileTimeDosAt(t + "\\link\\secret.txt", 0x5A210000); }, false},
      {"delete in a linked folder", [&] { return OsDeleteFile(t + "\\link\\secret.txt"); }, false},
      {"rename onto an existing file",
       [&] { return OsRenameFile(t + "\\readme.txt", t + "\\a.exe"); }, false},
      {"delete spelled in another case", [&] { return OsDeleteFile(t + "\\SUB\\B.DAT"); }, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.change(), c.done) << c.what;
    EXPECT_EQ(Surroundings(), surroundings) << c.what;
  }
  FolderState expected = WithLinks();
  expected.erase("sub/b.dat");
  EXPECT_EQ(ReadFolderState(Target()), expected);
  EXPECT_TRUE(OsConfinementRefuses(t + "\\link\\x"));
  EXPECT_FALSE(OsConfinementRefuses(t + "\\sub\\x"));
}

TEST_F(ScratchTest, DecodingStopsAtTheStatedSize) {
  // A few stream bytes that copy the output onto itself ask for 150 KB; the
  // entry says the file has 1,000 bytes.
  const Bytes old_a = Filler(600, 1);
  SourceVersion v;
  v.SourceSize = 600;
  v.SourceCrc = ChecksumBytes(old_a.data(), old_a.size());
  v.InsertBlockSize = 200;
  v.FixupPeriod = 0;
  std::vector<DeltaOp> program = {CopyOp(600, 0), CopyOp(600, -600), CopyOp(30000, 0)};
  for (int i = 0; i < 4; ++i) program.push_back(CopyOp(30000, -30000));
  VersionBlock block{"", v, {}, {}};
  ASSERT_TRUE(EncodeProgram(v, 1000, program, &block.Streams));
  PatchedEntry e;
  e.EntryName = "a.exe";
  e.NewSize = 1000;
  e.NewCrc = 0;
  e.Versions.push_back(block);
  PatchContents patch;
  patch.BackupFolderName = "bak";
  patch.Entries.push_back(e);
  Bytes carrier;
  ASSERT_TRUE(WritePatch(patch, &carrier));
  std::string text = RunOn(carrier, Installed(), false);
  EXPECT_EQ(text, MessageText(kMsgPatchDamaged));
  for (const std::string& n : TempLeftovers(root_ + "/temp")) {
    struct stat st;
    ASSERT_EQ(stat((root_ + "/temp/" + n).c_str(), &st), 0);
    EXPECT_LE(st.st_size, 1000) << n;
  }
  EXPECT_EQ(ReadFolderState(Target()), Installed());
}

// A temp volume too small for what the run writes there: the run stops
// before it writes a byte of it, instead of filling the disk. The first
// question is about the body copy, the second about a decoded file and its
// streams.
int g_free_asked = 0;
int g_full_from = 0;
int g_writes_after_full = 0;
int FullTempVolume(OsOp op, const std::string&) {
  if (op == OsOp::kFreeSpace && ++g_free_asked >= g_full_from) return ENOSPC;
  if (g_free_asked >= g_full_from && (op == OsOp::kCreate || op == OsOp::kWrite)) {
    ++g_writes_after_full;
  }
  return 0;
}

TEST_F(ScratchTest, WhatTheTempVolumeCannotHoldIsRefusedUnwritten) {
  PatchContents patch;
  patch.BackupFolderName = "bak";
  patch.Entries.push_back(MakePatchedEntry("a.exe", {Filler(600, 1)}, NewA()));
  Bytes carrier;
  ASSERT_TRUE(WritePatch(patch, &carrier));
  const struct {
    int full_from;
    int message;
  } kCases[] = {{1, kMsgBodyBufferFailed}, {2, kMsgWriteOutputFailed}};
  for (const auto& c : kCases) {
    g_free_asked = g_writes_after_full = 0;
    g_full_from = c.full_from;
    SetOsFaultHook(FullTempVolume);
    std::string text = RunOn(carrier, Installed(), false);
    SetOsFaultHook(nullptr);
    EXPECT_GE(g_free_asked, c.full_from);
    EXPECT_EQ(text, MessageText(c.message)) << c.full_from;
    EXPECT_EQ(g_writes_after_full, 0) << c.full_from;
    EXPECT_EQ(ListNames(root_ + "/temp"), std::vector<std::string>{}) << c.full_from;
    EXPECT_EQ(ReadFolderState(Target()), Installed()) << c.full_from;
  }
}

// What the apply pass needs and can be known beforehand is checked by the
// test pass: a run that could not finish stops before anything changes and
// names the cause. Every case has a first entry that nothing stands in the
// way of, so that stopping only in the apply pass would leave it replaced.
TEST_F(LinkTest, WhatTheApplyPassWouldMeetStopsTheRunBeforeAnyChange) {
  const std::string long_name = std::string(250, 'L') + ".dat";  // 254 bytes
  const std::string longest = std::string(251, 'M') + ".txt";    // 255 bytes
  std::string big5_long;
  for (int i = 0; i < 100; ++i) big5_long += "\xB8\xEA";  // 資
  big5_long += ".txt";
  const Bytes old_b = Filler(300, 2), new_b = Filler(310, 3);
  struct Case {
    const char* what;
    FolderState extra;    // laid out beside Installed()
    std::variant<PatchedEntry, IncludedEntry> entry;  // the second entry
    OsFaultHook hook;
    int message;          // -1: the run must succeed
    std::string cause;    // what the cause must mention
  } cases[] = {
      {"linked sub-folder", {{"link", "l:../outside"}},
       IncludedEntry{"link\\new.txt", 0, BytesOf("new")}, nullptr, kMsgWriteIncludedFailed,
       "link: folder is a symbolic link"},
      // An immutable file cannot be moved into the backup folder.
      {"immutable file", {}, MakePatchedEntry("sub\\b.dat", {old_b}, new_b),
       [](OsOp op, const std::string& path) {
         return (op == OsOp::kInspect || op == OsOp::kRename) && path == g_target + "\\sub\\b.dat"
                    ? EPERM
                    : 0;
       },
       kMsgBackupFailed, "sub\\b.dat: the file cannot be moved or replaced: " + OsErrorText(EPERM)},
      {"folder on a read-only volume", {}, MakePatchedEntry("sub\\b.dat", {old_b}, new_b),
       [](OsOp op, const std::string& path) {
         bool in_sub = path == g_target + "\\sub" || path.rfind(g_target + "\\sub\\", 0) == 0;
         return in_sub && (op == OsOp::kInspect || op == OsOp::kCreate) ? EROFS : 0;
       },
       kMsgReplaceFailed, "sub: the folder takes no new files: " + OsErrorText(EROFS)},
      {"no room on the target volume", {},
       IncludedEntry{"readme.txt", 0, BytesOf("new readme")},
       [](OsOp op, const std::string& path) {
         return op == OsOp::kFreeSpace && path.rfind(g_target, 0) == 0 ? ENOSPC : 0;
       },
       kMsgWriteIncludedFailed, "bytes on the target volume holding"},
      {"file where a folder is needed", {{"cfg", "f:a file"}},
       IncludedEntry{"cfg\\x.ini", 0, BytesOf("new")}, nullptr, kMsgWriteIncludedFailed,
       "cfg: a file stands where the patch needs a folder"},
      {"folder where a file is needed", {{"data", "d"}, {"data/keep.txt", "f:kept"}},
       IncludedEntry{"data", 0, BytesOf("new")}, nullptr, kMsgWriteIncludedFailed,
       "data: a folder stands where the patch puts a file"},
      {"name of 254 bytes", {{long_name, "f:" + Str(old_b)}},
       MakePatchedEntry(long_name, {old_b}, new_b), nullptr, -1, ""},
      {"name of 255 bytes", {{longest, "f:old"}}, IncludedEntry{longest, 0, BytesOf("new")},
       nullptr, -1, ""},
      // 204 bytes in the patch's Big5, 304 once shown in UTF-8.
      {"name too long once converted", {}, IncludedEntry{big5_long, 0, BytesOf("new")}, nullptr,
       kMsgWriteIncludedFailed, ": the name is 304 bytes; the file system takes at most 255"},
  };
  for (const Case& c : cases) {
    PatchContents patch;
    patch.BackupFolderName = "bak";
    patch.Entries.push_back(MakePatchedEntry("a.exe", {Filler(600, 1)}, NewA()));
    patch.Entries.push_back(c.entry);
    Bytes carrier;
    ASSERT_TRUE(WritePatch(patch, &carrier));
    FolderState installed = Installed();
    installed.insert(c.extra.begin(), c.extra.end());
    g_target = Core(Target());
    outside_ = ReadFolderState(root_ + "/box/outside");
    SetOsFaultHook(c.hook);
    std::string text = RunOn(carrier, installed, false);
    SetOsFaultHook(nullptr);
    ExpectOutsideUnchanged(c.what);
    EXPECT_EQ(ListNames(root_ + "/temp"), std::vector<std::string>{}) << c.what;
    if (c.message < 0) {
      EXPECT_EQ(text, "") << c.what << ": " << g_run.ErrorCause;
      FolderState s = ReadFolderState(Target());
      EXPECT_EQ(s["a.exe"], "f:" + Str(NewA())) << c.what;
      for (const auto& [name, content] : c.extra) {
        EXPECT_NE(s[name], content) << c.what << ": " << name << " was not updated";
        EXPECT_EQ(s["bak/" + name], content) << c.what << ": " << name << " has no backup";
      }
      continue;
    }
    EXPECT_EQ(text, MessageText(c.message)) << c.what;
    // All files as they were: nothing replaced, no backup folder, nothing staged.
    EXPECT_EQ(ReadFolderState(Target()), installed) << c.what;
    EXPECT_NE(g_run.ErrorCause.find(c.cause), std::string::npos)
        << c.what << ": " << g_run.ErrorCause;
  }
}

}  // namespace
}  // namespace tw
