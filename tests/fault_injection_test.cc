// A multi-file apply on a disk that refuses, or in a process that is killed:
// every file operation k of the run fails in turn (ENOSPC, EIO, EACCES), and
// separately the process dies right after operation k. After each, every
// installed file is its old version (in place or in the backup folder) or its
// verified new one, and running the patch again completes the update with
// the old versions in the backup folder.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "apply/file_ops.h"
#include "apply/run_patch.h"
#include "container/body.h"
#include "delta/streams.h"
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
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 37 + seed * 11) ^ (i >> 6));
  return b;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The operation to break, counted from 1; 0 counts without breaking.
int g_fail_at = 0;
int g_error = 0;
int g_count = 0;
bool g_kill = false;

int Hook(OsOp, const std::string&) {
  ++g_count;
  if (g_kill && g_count == g_fail_at + 1) _exit(0);  // dies after operation g_fail_at
  return !g_kill && g_count == g_fail_at ? g_error : 0;
}

struct FileVersions {
  std::string name;  // relative POSIX name
  std::string old_data;  // empty: the file is new
  std::string new_data;
};

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    struct stat st;
    std::string base =
        stat("/dev/shm", &st) == 0 && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/tarnwell-faults-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    ASSERT_EQ(mkdir((root_ + "/temp").c_str(), 0755), 0);
    setenv("TMPDIR", (root_ + "/temp").c_str(), 1);

    Bytes old_a = Filler(70000, 1), new_a = old_a;
    for (size_t i = 40000; i < 40100; ++i) new_a[i] ^= 0x55;
    Bytes old_b = Filler(3000, 2), new_b = Filler(2800, 3);
    files_ = {{"app.exe", Str(old_a), Str(new_a)},
              {"lib/core.dll", Str(old_b), Str(new_b)},
              {"readme.txt", "old readme", "new readme"},
              {"docs/new.txt", "", "brand new"}};
    PatchContents patch;
    patch.BackupFolderName = "bak";
    patch.Entries.push_back(MakePatchedEntry("app.exe", {old_a}, new_a));
    patch.Entries.push_back(MakePatchedEntry("lib\\core.dll", {old_b}, new_b));
    patch.Entries.push_back(IncludedEntry{"readme.txt", 0x28762980, BytesOf("new readme")});
    patch.Entries.push_back(IncludedEntry{"docs\\new.txt", 0x28762980, BytesOf("brand new")});
    ASSERT_TRUE(WritePatchFile(patch, Core(root_ + "/patch.bin")));
    installed_ = {{"lib", "d"}};
    for (const FileVersions& f : files_) {
      if (!f.old_data.empty()) installed_[f.name] = "f:" + f.old_data;
    }
  }
  void TearDown() override {
    g_stream_memory_budget = kStreamMemoryBudget;
    SetOsFaultHook(nullptr);
    ResetRunState();
    RemovePath(root_);
  }
  static std::string Core(std::string p) {
    for (char& c : p) {
      if (c == '/') c = '\\';
    }
    return p;
  }
  std::string Target() const { return root_ + "/app"; }
  void Fresh() {
    LayOutFolderState(Target(), installed_);
    for (const std::string& n : ListNames(root_ + "/temp")) RemovePath(root_ + "/temp/" + n);
  }
  // One run; returns the raised text or "".
  std::string Run() {
    ResetRunState();
    g_run.PatchFilePath = Core(root_ + "/patch.bin");
    g_run.TargetPath = g_run.TargetBase = Core(Target());
    std::string text;
    try {
      RunPatch();
    } catch (const PatchError& e) {
      text = e.text();
    }
    g_run.Carrier.Close();
    g_run.BodyTempFile.Close();
    // As a run ends in the program.
    ReleaseTarget();
    CloseWorkFolder();
    return text;
  }
  // Every installed file is old (in place, or in the backup folder when it
  // has left its place) or new.
  void ExpectUsable(const std::string& what) {
    FolderState s = ReadFolderState(Target());
    for (const FileVersions& f : files_) {
      auto it = s.find(f.name);
      if (it != s.end()) {
        EXPECT_TRUE(it->second == "f:" + f.old_data || it->second == "f:" + f.new_data)
            << what << ": " << f.name << " is neither old nor new";
      } else if (!f.old_data.empty()) {
        EXPECT_EQ(s["bak/" + f.name], "f:" + f.old_data) << what << ": " << f.name << " is lost";
      }
    }
  }
  // After a complete run: every file new, every old one in the backup folder.
  void ExpectUpdated(const std::string& what) {
    FolderState s = ReadFolderState(Target());
    for (const FileVersions& f : files_) {
      EXPECT_EQ(s[f.name], "f:" + f.new_data) << what << ": " << f.name;
      if (!f.old_data.empty()) {
        EXPECT_EQ(s["bak/" + f.name], "f:" + f.old_data) << what << ": backup of " << f.name;
      }
    }
    for (const auto& [name, _] : s) {
      EXPECT_EQ(name.find(".TRW"), std::string::npos) << what << ": staged file left: " << name;
    }
  }
  int CountOperations() {
    Fresh();
    g_fail_at = 0;
    g_kill = false;
    g_count = 0;
    SetOsFaultHook(Hook);
    EXPECT_EQ(Run(), "");
    SetOsFaultHook(nullptr);
    ExpectUpdated("clean run");
    return g_count;
  }
  std::string root_;
  std::vector<FileVersions> files_;
  FolderState installed_;
};

// With the streams in temp files, whose every operation can fail, rather
// than in memory, where none of them are made.
TEST_F(FaultInjectionTest, EveryFailingOperationLeavesUsableFilesAndTheNextRunFinishes) {
  g_stream_memory_budget = 0;
  const int w = CountOperations();
  ASSERT_GT(w, 50);
  int cases = 0, failed_runs = 0;
  for (int error : {ENOSPC, EIO, EACCES}) {
    for (int k = 1; k <= w; ++k) {
      const std::string what = "operation " + std::to_string(k) + " fails with " + std::to_string(error);
      Fresh();
      g_fail_at = k;
      g_error = error;
      g_kill = false;
      g_count = 0;
      SetOsFaultHook(Hook);
      std::string text = Run();
      SetOsFaultHook(nullptr);
      failed_runs += !text.empty();
      ExpectUsable(what);
      // A failure that ends the run leaves no half-written file beside the
      // installed ones.
      if (!text.empty()) {
        for (const auto& [name, _] : ReadFolderState(Target())) {
          EXPECT_EQ(name.find(".TRW"), std::string::npos) << what << ": staged file left: " << name;
        }
      }
      EXPECT_EQ(Run(), "") << what;
      ExpectUpdated(what + ", then a second run");
      ++cases;
      if (HasFailure()) return;
    }
  }
  RecordProperty("operations", w);
  RecordProperty("cases", cases);
  // Many operations matter: their failure ends the run. (The rest tidy up:
  // the temp files and the work folder of a run go at its end.)
  EXPECT_GT(failed_runs, cases / 3);
}

TEST_F(FaultInjectionTest, AKillAfterEveryOperationLeavesUsableFilesAndTheNextRunFinishes) {
  const int w = CountOperations();
  int cases = 0;
  for (int k = 1; k < w; ++k) {
    const std::string what = "killed after operation " + std::to_string(k);
    Fresh();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      g_fail_at = k;
      g_kill = true;
      g_count = 0;
      SetOsFaultHook(Hook);
      Run();
      _exit(3);  // not killed: the count was wrong
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << what;
    ExpectUsable(what);
    EXPECT_EQ(Run(), "") << what;
    ExpectUpdated(what + ", then a second run");
    // The second run cleared what the killed one left in the temp folder.
    EXPECT_EQ(ListNames(root_ + "/temp"), std::vector<std::string>{}) << what;
    ++cases;
    if (HasFailure()) return;
  }
  RecordProperty("cases", cases);
}

}  // namespace
}  // namespace tw
