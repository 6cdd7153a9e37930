#include "container/entries.h"

#include "container/body.h"
#include "container/patch_loader.h"
#include "delta/patch_writer.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "state/run_state.h"
#include "tests/test_util.h"

namespace tw {
namespace {

VersionBlock Block(const std::string& name, int32_t source_size, std::vector<int> lengths = {}) {
  VersionBlock b;
  b.VersionName = name;
  b.Record.SourceCrc = 0xA0000000u + source_size;
  b.Record.SourceSize = source_size;
  for (size_t i = 0; i < lengths.size(); ++i) {
    b.Streams.Stream[i].assign(lengths[i], static_cast<unsigned char>(i + 1));
  }
  return b;
}

class EntriesTest : public TempDirTest {
 protected:
  // Writes the patch, loads it and returns the raw carrier.
  Bytes Load(const PatchContents& patch) {
    Bytes carrier;
    std::string why;
    EXPECT_TRUE(WritePatch(patch, &carrier, &why)) << why;
    LoadCarrier(carrier);
    return carrier;
  }
  void LoadCarrier(const Bytes& carrier) {
    WriteFileBytes(Path("patch.bin"), carrier);
    g_run.PatchFilePath = CorePath("patch.bin");
    g_run.TargetPath = g_run.TargetBase = "T";
    LoadPatch();
  }
  // Reads entries to the end; returns the raised text or "" after kind 0.
  std::string ReadAll(int* entries = nullptr) {
    try {
      for (int n = 0;; ++n) {
        if (ReadNextEntry() == kEntryEnd) {
          if (entries) *entries = n;
          return "";
        }
      }
    } catch (const PatchError& e) {
      return e.text();
    }
  }
  int64_t Position() { return g_run.BodyTempFile.Tell(); }
};

TEST_F(EntriesTest, SamplePatchFigures) {
  PatchContents patch;
  patch.Description = std::string(68, 'd');
  patch.BackupFolderName = "backup";
  PatchedEntry e;
  e.NewCrc = 0x1234ABCD;
  e.NewSize = 659968;
  e.NewFileTime = 0x28762980;
  e.EntryName = "GAMEDATA.EXE";
  e.Versions.push_back(Block("GAMEDATA.OLD", 659968, {1325, 62, 288, 4640, 1140}));
  e.Versions[0].Record.FixupPeriod = 190;
  e.Versions[0].Record.VersionFlags = 2;
  e.Versions[0].Record.InsertBlockSize = 20;
  patch.Entries.push_back(e);
  Bytes carrier = Load(patch);
  EXPECT_EQ(carrier.size(), 7690u);
  EXPECT_EQ(g_run.PatchBodyStart, 75);

  ASSERT_EQ(ReadNextEntry(), kEntryPatched);
  const FileEntry& f = g_run.Entry;
  EXPECT_EQ(f.NewCrc, 0x1234ABCDu);
  EXPECT_EQ(f.NewSize, 659968);
  EXPECT_EQ(f.NewFileTime, 0x28762980u);
  EXPECT_EQ(f.VersionCount, 1);
  EXPECT_EQ(f.EntryFlags, 0);
  EXPECT_FALSE(f.OptionalFile);
  EXPECT_EQ(g_run.EntryName, "GAMEDATA.EXE");
  EXPECT_EQ(f.InstalledPath, "T\\GAMEDATA.EXE");
  EXPECT_EQ(f.VersionName[1], "GAMEDATA.OLD");
  const SourceVersion& v = f.Version[1];
  EXPECT_EQ(v.SourceCrc, 0xA0000000u + 659968);
  EXPECT_EQ(v.SourceSize, 659968);
  const int32_t lengths[] = {1325, 62, 288, 4640, 1140};
  for (int i = 0; i < kStreamCount; ++i) EXPECT_EQ(v.StreamLength[i], lengths[i]);
  EXPECT_EQ(v.FixupPeriod, 190);
  EXPECT_EQ(v.VersionFlags, 2);
  EXPECT_EQ(v.InsertBlockSize, 20);
  EXPECT_EQ(f.StreamStart[1], 150);
  EXPECT_EQ(Position(), 7605);
  EXPECT_EQ(ReadNextEntry(), kEntryEnd);
  EXPECT_EQ(Position(), 7606);
  // The streams are stored in order, where StreamStart says.
  EXPECT_EQ(carrier[kHeaderSize + 150], 1);
  EXPECT_EQ(carrier[kHeaderSize + 150 + 1325], 2);
  EXPECT_EQ(carrier[kHeaderSize + 7604], 5);
}

TEST_F(EntriesTest, VersionlessPatchedEntryThenIncludedFile) {
  PatchContents patch;
  PatchedEntry e;
  e.EntryName = "a.dat";
  e.EntryFlags = kEntryOptionalFile;
  patch.Entries.push_back(e);
  patch.Entries.push_back(IncludedEntry{"sub\\new.txt", 0x28762980, {'h', 'i', '!'}});
  Load(patch);

  ASSERT_EQ(ReadNextEntry(), kEntryPatched);
  EXPECT_EQ(g_run.Entry.VersionCount, 0);
  EXPECT_TRUE(g_run.Entry.OptionalFile);
  EXPECT_EQ(Position(), g_run.PatchBodyStart + 1 + 16 + 1 + 5);

  ASSERT_EQ(ReadNextEntry(), kEntryIncluded);
  EXPECT_EQ(g_run.EntryName, "sub\\new.txt");
  EXPECT_EQ(g_run.Entry.IncludedPath, "T\\sub\\new.txt");
  unsigned char head[11];
  ReadBodyBytes(head, sizeof head);
  EXPECT_EQ(head[0], 3);
  EXPECT_EQ(head[4] | head[5] << 8 | head[6] << 16 | head[7] << 24, 0x28762980);
  EXPECT_EQ(std::string(head + 8, head + 11), "hi!");
  EXPECT_EQ(ReadNextEntry(), kEntryEnd);
}

TEST_F(EntriesTest, ExcludedRegionsAndVersionNames) {
  PatchContents patch;
  patch.HeaderFlags = kFlagHasRegistryLocation;
  patch.RegistryKeyPath = "Software\\Maker";
  patch.RegistryValueName = "Path";
  PatchedEntry e;
  e.EntryName = "b.exe";
  e.EntryFlags = kEntryHasExcludedRegions;
  e.Excluded = {7, 9};
  e.Versions.push_back(Block("", 100, {3, 0, 1, 0, 2}));
  e.Versions.push_back(Block("old\\b.exe", 200, {0, 0, 0, 4, 0}));
  e.Versions[0].Excluded = {1, 2};
  e.Versions[1].Excluded = {3, 4};
  patch.Entries.push_back(e);
  Load(patch);
  EXPECT_EQ(g_run.RegistryValueName, "Path");

  ASSERT_EQ(ReadNextEntry(), kEntryPatched);
  const FileEntry& f = g_run.Entry;
  EXPECT_EQ(f.Excluded.offset, 7);
  EXPECT_EQ(f.Excluded.length, 9);
  EXPECT_EQ(f.VersionName[1], "b.exe");  // empty stands for the entry's name
  EXPECT_EQ(f.VersionName[2], "old\\b.exe");
  EXPECT_EQ(f.VersionExcluded[1].offset, 1);
  EXPECT_EQ(f.VersionExcluded[2].length, 4);
  EXPECT_EQ(f.Version[2].SourceSize, 200);
  // Fixed part, entry region, name; then name, record and region per version.
  const int32_t first = g_run.PatchBodyStart + 1 + 16 + 8 + 6 + 1 + 32 + 8;
  EXPECT_EQ(f.StreamStart[1], first);
  EXPECT_EQ(f.StreamStart[2], first + 6 + 10 + 32 + 8);
  EXPECT_EQ(ReadNextEntry(), kEntryEnd);
}

TEST_F(EntriesTest, SingleFileBodyHasNoKindsOrNames) {
  PatchContents patch;
  patch.HeaderMode = 1;
  PatchedEntry e;
  e.NewCrc = 0x12345600;  // its first byte 0 is not an end mark here
  e.NewSize = 42;
  e.Versions.push_back(Block("ignored", 41, {1, 1, 1, 1, 1}));
  patch.Entries.push_back(e);
  Bytes carrier = Load(patch);
  EXPECT_EQ(carrier.size(), size_t{kHeaderSize} + 1 + 16 + 32 + 5 + kTrailerSize);
  EXPECT_FALSE(g_run.MultiFileMode);

  ASSERT_EQ(ReadNextEntry(), kEntryPatched);
  EXPECT_EQ(g_run.Entry.NewCrc, 0x12345600u);
  EXPECT_EQ(g_run.Entry.NewSize, 42);
  EXPECT_EQ(g_run.EntryName, "T");
  EXPECT_EQ(g_run.Entry.InstalledPath, "T");
  EXPECT_EQ(g_run.Entry.StreamStart[1], 1 + 16 + 32);

  // The writer keeps to one patched entry in this mode.
  patch.Entries.push_back(e);
  Bytes out;
  EXPECT_FALSE(WritePatch(patch, &out));
  patch.Entries = {IncludedEntry{"x", 0, {}}};
  EXPECT_FALSE(WritePatch(patch, &out));
  EXPECT_TRUE(out.empty());
}

TEST_F(EntriesTest, DamagedEntriesAreRefused) {
  const std::string damaged = MessageText(kMsgPatchDamaged);
  // An unknown kind.
  LoadCarrier(MakeCarrier({0, 3}));
  EXPECT_EQ(ReadAll(), damaged);

  // Twenty versions fit the run state; twenty-one do not.
  PatchContents patch;
  PatchedEntry e;
  e.EntryName = "many";
  for (int i = 0; i < kMaxVersions; ++i) e.Versions.push_back(Block("", i, {1, 0, 0, 0, 0}));
  patch.Entries = {e};
  Load(patch);
  int entries = 0;
  EXPECT_EQ(ReadAll(&entries), "");
  EXPECT_EQ(entries, 1);
  EXPECT_EQ(g_run.Entry.VersionCount, kMaxVersions);
  e.Versions.push_back(Block("", 99, {1, 0, 0, 0, 0}));
  patch.Entries = {e};
  Load(patch);
  EXPECT_EQ(ReadAll(), damaged);

  // Stream lengths that run past the body: body start 1, kind, fixed part,
  // name "a", empty version name, then the record with its fifth length.
  patch.Entries = {PatchedEntry{0, 0, 0, 0, {}, "a", {Block("", 5, {2, 1, 1, 3, 4})}}};
  Bytes carrier = Load(patch);
  EXPECT_EQ(ReadAll(), "");
  const size_t at = kHeaderSize + 1 + 1 + 16 + 2 + 1 + 8 + 16;
  ASSERT_EQ(carrier[at], 4);
  carrier[at] = 200;
  LoadCarrier(carrier);
  EXPECT_EQ(ReadAll(), damaged);

  // A body that ends inside the fixed part.
  LoadCarrier(MakeCarrier({0, 1, 0, 0, 0}));
  EXPECT_EQ(ReadAll(), damaged);
}

TEST_F(EntriesTest, WriterRefusesWhatTheFieldsCannotHold) {
  PatchContents patch;
  Bytes out;
  patch.BackupFolderName = std::string(256, 'b');
  EXPECT_FALSE(WritePatch(patch, &out));
  patch.BackupFolderName = "b";
  patch.Description = std::string(65536, 'd');
  EXPECT_FALSE(WritePatch(patch, &out));
  patch.Description = "d";
  patch.Entries = {IncludedEntry{std::string(300, 'n'), 0, {}}};
  EXPECT_FALSE(WritePatch(patch, &out));
  EXPECT_TRUE(out.empty());
}

TEST_F(EntriesTest, PrefixAndDescriptionText) {
  // A self-contained patch: the container after a copy of the applier.
  WriteFileBytes(Path("applier"), Bytes(5000, 0x90));
  PatchContents patch;
  const std::string ansi = "Caf\xe9 \xfc\xe8r";
  patch.Description = OemFromAnsi(ansi);
  ASSERT_TRUE(WritePatchFile(patch, CorePath("self.exe"), CorePath("applier")));
  EXPECT_EQ(ReadFileBytes(Path("self.exe")).size(), 5000u + 76 + ansi.size() + 2 + 8);
  g_run.PatchFilePath = CorePath("self.exe");
  LoadPatch();
  EXPECT_EQ(std::string(g_run.DescriptionText), ansi);
  EXPECT_EQ(ReadAll(), "");
  EXPECT_FALSE(WritePatchFile(patch, CorePath("out.exe"), CorePath("missing")));
  EXPECT_FALSE(PathExists(Path("out.exe")));
}

}  // namespace
}  // namespace tw
