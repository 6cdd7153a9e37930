#include "container/patch_loader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "container/body.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "tests/test_util.h"

namespace tw {
namespace {

class LoadPatchTest : public TempDirTest {
 protected:
  // Writes the carrier and loads it; returns the raised text, or "" on success.
  std::string Load(const Bytes& carrier) {
    WriteFileBytes(Path("patch.bin"), carrier);
    g_run.PatchFilePath = CorePath("patch.bin");
    try {
      LoadPatch();
    } catch (const PatchError& e) {
      return e.text();
    }
    return "";
  }
  // The message raised for index, with the run state as it is now.
  std::string Expected(int index) {
    g_run.PatchFilePath = CorePath("patch.bin");
    return MessageText(index);
  }
};

TEST_F(LoadPatchTest, SmallestMultiFileCarrierLoads) {
  Bytes carrier = MakeCarrier({0x00, 0x00});
  ASSERT_EQ(carrier.size(), 86u);
  EXPECT_EQ(Load(carrier), "");
  EXPECT_TRUE(g_run.MultiFileMode);
  EXPECT_EQ(g_run.PatchBodyStart, 1);
  EXPECT_EQ(g_run.BackupFolderName, "");
  EXPECT_EQ(g_run.ShownCarrierSize, 86);
  EXPECT_TRUE(g_run.BodyTempOpen);
  // The body copy holds the body and the trailer.
  EXPECT_EQ(ReadFileBytes(Native(g_run.BodyTempPath)).size(), 2u + 8u);
}

TEST_F(LoadPatchTest, SampleLayoutGivesBodyStart75) {
  Bytes body(68, 'd');
  body.push_back(6);
  for (char c : std::string("backup")) body.push_back(c);
  body.resize(7690 - 84, 0);  // entries would follow; their bytes do not matter here
  Bytes carrier = MakeCarrier(body, 2, 0, 68, 190, Bytes(1000, 0x90));
  Bytes tail(carrier.end() - 8, carrier.end());
  EXPECT_EQ(tail[0] | (tail[1] << 8), 7690);
  EXPECT_EQ(Load(carrier), "");
  EXPECT_EQ(g_run.PatchBodyStart, 75);
  EXPECT_EQ(g_run.BackupFolderName, "backup");
}

TEST_F(LoadPatchTest, FailuresRaiseTheirMessages) {
  g_run.PatchFilePath = CorePath("missing.bin");
  try {
    LoadPatch();
    FAIL();
  } catch (const PatchError& e) {
    EXPECT_EQ(e.text(), MessageText(kMsgCarrierOpenFailed));
    EXPECT_NE(e.text().find("missing.bin"), std::string::npos);
  }
  // Too short for a trailer.
  EXPECT_EQ(Load({0x43, 0x84, 0x7f}), Expected(kMsgCarrierUnreadable));
  // Ends in the magic but the length points before the start of the file.
  Bytes too_long = {1, 2, 3, 4, 0xff, 0x00, 0x00, 0x00, 0x43, 0x84, 0x7f, 0x3e};
  EXPECT_EQ(Load(too_long), Expected(kMsgCarrierUnreadable));
  // The length leaves fewer than 76 bytes for the header.
  Bytes short_header(40, 0);
  PutU32(&short_header, 48);
  PutU32(&short_header, kPatchMagic);
  EXPECT_EQ(Load(short_header), Expected(kMsgCarrierUnreadable));
  // Wrong trailer magic, then wrong header magic.
  Bytes carrier = MakeCarrier({0, 0});
  carrier.back() = 0x3f;
  EXPECT_EQ(Load(carrier), Expected(kMsgNotAPatch));
  carrier = MakeCarrier({0, 0});
  carrier[0] = 0;
  EXPECT_EQ(Load(carrier), Expected(kMsgNotAPatch));
  // A body too short for its strings is damaged.
  EXPECT_EQ(Load(MakeCarrier({0x20, 'a'})), Expected(kMsgPatchDamaged));
  EXPECT_EQ(Load(MakeCarrier({}, 2, 0, 20)), Expected(kMsgPatchDamaged));
  // No failed load leaves a body copy behind.
  EXPECT_TRUE(TempLeftovers(temp_).empty());
  EXPECT_FALSE(g_run.BodyTempOpen);
  EXPECT_EQ(g_run.ShownCarrierSize, 0);
}

TEST_F(LoadPatchTest, FormatVersionIsCheckedAfterTheBodyStrings) {
  std::string text = Load(MakeCarrier({0, 0}, 2, 0, 0, 191));
  EXPECT_NE(text.find("format-191"), std::string::npos) << text;
  EXPECT_EQ(g_run.TargetPath, "191");
  EXPECT_EQ(Load(MakeCarrier({0, 0}, 2, 0, 0, 0xffffffffu)).find("format--1") != std::string::npos,
            true);
  // Compression is refused first, and a short body fails before the version.
  EXPECT_EQ(Load(MakeCarrier({0, 0}, 2, kFlagCompressedBody, 0, 191)),
            NativeText(kCompressedBodyText));
  EXPECT_EQ(Load(MakeCarrier({}, 2, 0, 0, 191)), Expected(kMsgPatchDamaged));
  EXPECT_TRUE(TempLeftovers(temp_).empty());
}

TEST_F(LoadPatchTest, RegistryLocationAndModes) {
  Bytes body = {2, 'b', 'k', 3, 'S', '\\', 'K', 1, 'V', 0};
  EXPECT_EQ(Load(MakeCarrier(body, 2, kFlagHasRegistryLocation)), "");
  EXPECT_EQ(g_run.BackupFolderName, "bk");
  EXPECT_EQ(g_run.RegistryKeyPath, "S\\K");
  EXPECT_EQ(g_run.RegistryValueName, "V");
  EXPECT_EQ(g_run.PatchBodyStart, 9);
  for (uint8_t mode : {0, 1, 3}) {
    EXPECT_EQ(Load(MakeCarrier({0, 0}, mode)), "");
    EXPECT_FALSE(g_run.MultiFileMode) << int(mode);
    EXPECT_EQ(g_run.RegistryKeyPath, "");
  }
}

TEST_F(LoadPatchTest, DescriptionIsConvertedAndShownOncePerCarrierSize) {
  // 0x81 is u-umlaut in code page 437 and 0xFC in 1252; 0 and 1 break lines;
  // the mark "#%" ends the text.
  std::string d = std::string("Hi\x81") + '\0' + "x\x01y#%zz";
  Bytes body(d.begin(), d.end());
  body.push_back(0);
  body.push_back(0);
  EXPECT_EQ(Load(MakeCarrier(body, 2, 0, static_cast<uint16_t>(d.size()))), "");
  ASSERT_EQ(g_fake.descriptions.size(), 1u);
  EXPECT_EQ(g_fake.descriptions[0], "Hi\xfc\x01x\x01y");
  // The same carrier again: the box is left alone.
  EXPECT_EQ(Load(MakeCarrier(body, 2, 0, static_cast<uint16_t>(d.size()))), "");
  EXPECT_EQ(g_fake.descriptions.size(), 1u);
  // A last byte "#" is shown converted.
  Bytes body2 = {'a', '#', 0, 0};
  EXPECT_EQ(Load(MakeCarrier(body2, 2, 0, 2)), "");
  ASSERT_EQ(g_fake.descriptions.size(), 2u);
  EXPECT_EQ(g_fake.descriptions[1], "a#");
}

TEST_F(LoadPatchTest, LongDescriptionIsCutToTheBuffer) {
  Bytes body(3000, 'q');
  body.push_back(0);
  body.push_back(0);
  EXPECT_EQ(Load(MakeCarrier(body, 2, 0, 3000)), "");
  ASSERT_EQ(g_fake.descriptions.size(), 1u);
  EXPECT_EQ(g_fake.descriptions[0], std::string(kDescriptionCapacity, 'q'));
  EXPECT_EQ(g_run.PatchBodyStart, 3001);
}

TEST_F(LoadPatchTest, OemTableIsAPermutationWithTheKnownPoints) {
  std::set<int> seen(std::begin(kOemToAnsiTable), std::end(kOemToAnsiTable));
  EXPECT_EQ(seen.size(), 256u);
  EXPECT_EQ(kOemToAnsiTable[0x14], 0xB6);
  EXPECT_EQ(kOemToAnsiTable[0x15], 0xA7);
  EXPECT_EQ(kOemToAnsiTable[0x80], 0xC7);
  EXPECT_EQ(kOemToAnsiTable[0x9F], 0x9F);
  EXPECT_EQ(kOemToAnsiTable[0xE2], 0x83);
  EXPECT_EQ(kOemToAnsiTable[0x41], 0x41);
}

TEST_F(LoadPatchTest, TempFilesLiveInTheRunsOwnFolderAndOnlyTheNewestCopyStays) {
  // What others keep in the temp folder, under the names a run uses, or in a
  // folder that looks like a run's but is a live one, stays untouched.
  WriteFileText(temp_ + "/TRW0.tmp", "x");
  // What any local user may put in a shared temp folder does not stop a run.
  ASSERT_EQ(mkdir((temp_ + "/TRW1.tmp").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/nonexistent/target", (temp_ + "/TRW2.tmp").c_str()), 0);
  std::string other;
  OsFile other_lock = kNoOsFile;
  ASSERT_TRUE(OsCreateWorkFolder(g_run.TempFolder, "tarnwell-", &other, &other_lock));
  WriteFileText(Native(other) + "/TRW0.tmp", "y");
  EXPECT_EQ(Load(MakeCarrier({0, 0})), "");
  ASSERT_NE(g_run.WorkFolder, other);
  EXPECT_EQ(g_run.BodyTempPath, g_run.WorkFolder + "\\TRW0.tmp");
  // A second load replaces the copy instead of adding one.
  EXPECT_EQ(Load(MakeCarrier({0, 0})), "");
  std::string mine = g_run.WorkFolder.substr(g_run.TempFolder.size());
  std::string theirs = other.substr(g_run.TempFolder.size());
  std::vector<std::string> expected = {"TRW0.tmp", "TRW1.tmp", "TRW2.tmp", mine + "/TRW1.tmp",
                                       theirs + "/TRW0.tmp"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(TempLeftovers(temp_), expected);
  // The run's folder is private to its user.
  struct stat st;
  ASSERT_EQ(stat(Native(g_run.WorkFolder).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  CloseWorkFolder();
  EXPECT_EQ(TempLeftovers(temp_),
            (std::vector<std::string>{"TRW0.tmp", "TRW1.tmp", "TRW2.tmp", theirs + "/TRW0.tmp"}));
  int err = 0;
  OsClose(other_lock, &err);
}

// A run loads the patch the window has just loaded: the copy is made once
// while carrier and copy stay as they were, and afresh after either changes.
TEST_F(LoadPatchTest, AnUnchangedCarrierIsCopiedOnce) {
  auto carrier_with_backup = [](char name) {
    return MakeCarrier({1, static_cast<unsigned char>(name), 0});
  };
  WriteFileBytes(Path("patch.bin"), carrier_with_backup('a'));
  g_run.PatchFilePath = CorePath("patch.bin");
  // A carrier written a moment ago could change again unseen: no reuse yet.
  LoadPatch();
  const std::string first = g_run.BodyTempPath;
  LoadPatch();
  EXPECT_NE(g_run.BodyTempPath, first);
  // Once it has settled, the copy serves every load after it.
  sleep(3);
  LoadPatch();
  const std::string settled = g_run.BodyTempPath;
  LoadPatch();
  EXPECT_EQ(g_run.BodyTempPath, settled);
  EXPECT_EQ(g_run.BackupFolderName, "a");
  // A carrier written since, even at its old size, is copied again.
  WriteFileBytes(Path("patch.bin"), carrier_with_backup('b'));
  LoadPatch();
  EXPECT_NE(g_run.BodyTempPath, settled);
  EXPECT_EQ(g_run.BackupFolderName, "b");
  // So is one whose copy was changed.
  sleep(3);
  LoadPatch();
  const std::string again = g_run.BodyTempPath;
  WriteFileText(Native(again), "changed");
  LoadPatch();
  EXPECT_NE(g_run.BodyTempPath, again);
  EXPECT_EQ(g_run.BackupFolderName, "b");
  EXPECT_EQ(TempLeftovers(temp_).size(), 1u);
}

TEST_F(LoadPatchTest, TheFolderOfARunThatDiedIsClearedByTheNext) {
  std::string dead;
  OsFile lock = kNoOsFile;
  ASSERT_TRUE(OsCreateWorkFolder(g_run.TempFolder, "tarnwell-", &dead, &lock));
  WriteFileText(Native(dead) + "/TRW3.tmp", "left by a killed run");
  int err = 0;
  OsClose(lock, &err);  // as its process ending would
  // Not a run's folder, though named like one: a link to elsewhere.
  ASSERT_EQ(mkdir(Path("elsewhere").c_str(), 0755), 0);
  WriteFileText(Path("elsewhere/TRW0.tmp"), "z");
  ASSERT_EQ(symlink(Path("elsewhere").c_str(), (temp_ + "/tarnwell-link").c_str()), 0);
  EXPECT_EQ(Load(MakeCarrier({0, 0})), "");
  EXPECT_FALSE(PathExists(Native(dead)));
  EXPECT_EQ(ReadFileText(Path("elsewhere/TRW0.tmp")), "z");
  CloseWorkFolder();
  EXPECT_EQ(ListNames(temp_), std::vector<std::string>{"tarnwell-link"});
}

TEST_F(LoadPatchTest, UnwritableTempFolderEndsWithMessage9) {
  g_run.TempFolder = CorePath("no-such-folder\\");
  EXPECT_EQ(Load(MakeCarrier({0, 0})), Expected(kMsgTempOpenFailed));
}

TEST_F(LoadPatchTest, ChunkedTransfersReportFailuresAndPendingSeekErrors) {
  WriteFileText(Path("f"), "abcdef");
  File f;
  ASSERT_TRUE(f.OpenRead(CorePath("f")));
  char buf[10];
  EXPECT_TRUE(ReadChunked(f, buf, 6));
  f.Seek(0);
  EXPECT_FALSE(ReadChunked(f, buf, 7));  // short
  EXPECT_TRUE(ReadChunked(f, buf, 0));   // the failure was cleared
  f.Seek(-1);
  EXPECT_FALSE(ReadChunked(f, buf, 0));  // a failed seek shows at the next transfer
  f.Seek(-1);
  EXPECT_FALSE(WriteChunked(f, buf, 0));
  EXPECT_FALSE(WriteChunked(f, "x", 1));  // read-only file
  // A large transfer crosses the 60,000-byte pieces in order.
  Bytes big(150001);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
  File g;
  ASSERT_TRUE(g.Create(CorePath("g")));
  EXPECT_TRUE(WriteChunked(g, big.data(), static_cast<int64_t>(big.size())));
  g.Seek(0);
  Bytes back(big.size());
  EXPECT_TRUE(ReadChunked(g, back.data(), static_cast<int64_t>(back.size())));
  EXPECT_EQ(back, big);
}

}  // namespace
}  // namespace tw
