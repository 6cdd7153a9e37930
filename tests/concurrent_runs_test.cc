// Several tarnwell processes at once, as users start them: on one folder (one
// run may go on, the others stop and change nothing) and on separate copies
// sharing the temp folder (each completes with its own files only).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/folder_state.h"
#include "tests/patch_builder.h"
#include "tests/test_util.h"

namespace tw {
namespace {

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct Exit {
  int code = -1;
  std::string err;
};

class ConcurrentRunsTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    PatchContents patch;
    patch.BackupFolderName = "old";
    // Files large enough that runs overlap in time.
    for (int i = 0; i < 6; ++i) {
      Bytes old_data = Pattern(150000 + 1000 * i, i), new_data = old_data;
      for (size_t k = 1000; k < new_data.size(); k += 997) new_data[k] ^= 0x5A;
      std::string name = "f" + std::to_string(i) + ".dat";
      old_[name] = "f:" + Str(old_data);
      new_[name] = "f:" + Str(new_data);
      patch.Entries.push_back(MakePatchedEntry(name, {old_data}, new_data));
    }
    std::string error;
    ASSERT_TRUE(WritePatchFile(patch, Path("patch.bin"), "", &error)) << error;
  }

  // Starts tarnwell PATCH FOLDER with its own output files; returns its pid.
  pid_t Start(const std::string& folder, int n) {
    pid_t pid = fork();
    if (pid == 0) {
      int in = open("/dev/null", O_RDONLY);
      int err = open(Path("err" + std::to_string(n)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int out = open("/dev/null", O_WRONLY);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      setenv("TMPDIR", temp_.c_str(), 1);
      execl(TARNWELL_BIN, TARNWELL_BIN, Path("patch.bin").c_str(), folder.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }

  // Waits for every run, at most 60 s in all: a run that hangs fails the test
  // rather than the whole suite.
  std::vector<Exit> Wait(const std::vector<pid_t>& pids) {
    std::vector<Exit> exits(pids.size());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (size_t i = 0; i < pids.size(); ++i) {
      int status = 0;
      while (waitpid(pids[i], &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(pids[i], SIGKILL);
          waitpid(pids[i], &status, 0);
          ADD_FAILURE() << "run " << i << " hangs";
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      exits[i].code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      exits[i].err = ReadFileText(Path("err" + std::to_string(i)));
    }
    return exits;
  }

  FolderState old_, new_;
};

TEST_F(ConcurrentRunsTest, RunsOnOneFolderNeverLoseAFile) {
  const std::string app = Path("app");
  for (int runs : {2, 4}) {
    int completed = 0, stopped = 0;
    for (int round = 0; round < 50; ++round) {
      const std::string what = std::to_string(runs) + " runs, round " + std::to_string(round);
      LayOutFolderState(app, old_);
      std::vector<pid_t> pids;
      for (int i = 0; i < runs; ++i) pids.push_back(Start(app, i));
      std::vector<Exit> exits = Wait(pids);
      FolderState after = ReadFolderState(app);
      bool any_success = false;
      for (const Exit& e : exits) {
        ASSERT_TRUE(e.code == 0 || e.code == 2) << what << ": exit " << e.code << "\n" << e.err;
        any_success |= e.code == 0;
        // A run that stopped says why: another run has the folder.
        if (e.code == 2) {
          EXPECT_NE(e.err.find("另一個更新程式正在更新這個資料夾"), std::string::npos)
              << what << "\n" << e.err;
          ++stopped;
        } else {
          ++completed;
        }
      }
      for (const auto& [name, data] : old_) {
        EXPECT_TRUE(after[name] == data || after[name] == new_[name]) << what << ": " << name;
        // A backup is the old file, never a newer one put over it.
        if (after.count("old/" + name)) {
          EXPECT_EQ(after["old/" + name], data) << what << ": " << name;
        }
        if (any_success) {
          EXPECT_EQ(after[name], new_[name]) << what << ": " << name;
          EXPECT_EQ(after["old/" + name], data) << what << ": backup of " << name;
        }
      }
      for (const auto& [name, _] : after) {
        EXPECT_EQ(name.find(".TRW"), std::string::npos) << what << ": staged file left: " << name;
      }
      EXPECT_EQ(ListNames(temp_), std::vector<std::string>{}) << what;
      if (HasFailure()) return;
    }
    // Every round has a run that completes; the rest either stopped at once
    // or came late and found everything updated.
    EXPECT_GE(completed, 50) << runs;
    // Four runs started together do meet: the lock is what kept them apart.
    if (runs == 4) {
      EXPECT_GT(stopped, 0);
    }
    RecordProperty("stopped_with_" + std::to_string(runs), stopped);
  }
}

TEST_F(ConcurrentRunsTest, RunsOnSeparateCopiesShareTheTempFolder) {
  for (int round = 0; round < 50; ++round) {
    const int runs = round % 2 == 0 ? 2 : 4;
    const std::string what = "round " + std::to_string(round);
    std::vector<pid_t> pids;
    for (int i = 0; i < runs; ++i) {
      LayOutFolderState(Path("copy" + std::to_string(i)), old_);
    }
    for (int i = 0; i < runs; ++i) pids.push_back(Start(Path("copy" + std::to_string(i)), i));
    std::vector<Exit> exits = Wait(pids);
    for (int i = 0; i < runs; ++i) {
      ASSERT_EQ(exits[i].code, 0) << what << ", copy " << i << "\n" << exits[i].err;
      FolderState after = ReadFolderState(Path("copy" + std::to_string(i)));
      for (const auto& [name, data] : old_) {
        EXPECT_EQ(after[name], new_[name]) << what << ", copy " << i << ": " << name;
        EXPECT_EQ(after["old/" + name], data) << what << ", copy " << i << ": backup of " << name;
      }
    }
    EXPECT_EQ(ListNames(temp_), std::vector<std::string>{}) << what;
    if (HasFailure()) return;
  }
}

// A named pipe is no file: under an entry's name, or given as the patch, it
// is refused at once instead of waiting for a writer that never comes.
TEST_F(ConcurrentRunsTest, NamedPipesNeverHangARun) {
  const std::string app = Path("app");
  FolderState installed = old_;
  installed.erase("f0.dat");
  LayOutFolderState(app, installed);
  ASSERT_EQ(mkfifo((app + "/f0.dat").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(Path("pipe.bin").c_str(), 0644), 0);
  std::vector<pid_t> pids = {Start(app, 0)};
  std::vector<Exit> exits = Wait(pids);
  EXPECT_EQ(exits[0].code, 2) << exits[0].err;
  for (const auto& [name, data] : installed) {
    EXPECT_EQ("f:" + Str(ReadFileBytes(app + "/" + name)), data) << name;
  }
  struct stat st;
  ASSERT_EQ(lstat((app + "/f0.dat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(ListNames(app + "/old"), std::vector<std::string>{});

  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execl(TARNWELL_BIN, TARNWELL_BIN, Path("pipe.bin").c_str(), app.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  exits = Wait({pid});
  EXPECT_EQ(exits[0].code, 255);
}

// What killed runs left in the shared temp folder goes with the next run;
// folders that only look like a run's by name are left as they are, even
// when old and without a lock.
TEST_F(ConcurrentRunsTest, OnlyAbandonedWorkFoldersAreRemoved) {
  struct Folder {
    std::string name;
    std::vector<std::string> files;
    std::vector<std::string> folders;
    bool removed;
  };
  const std::vector<Folder> cases = {
      {"tarnwell-Ab12cd", {"TRW0.tmp", "TRW17.tmp", "staged"}, {}, true},
      {"tarnwell-0000aaaa1111bbbb", {"lock.new"}, {}, true},
      {"tarnwell-empty1", {}, {}, true},
      {"tarnwell-wine64", {"system.reg", "user.reg"}, {"drive_c"}, false},
      {"tarnwell-notes1", {"TRW1.tmp", "notes.txt"}, {}, false},
      {"tarnwell-sub123", {"TRW1.tmp"}, {"TRW2.tmp"}, false},
      {"tarnwell-x", {"TRW1.tmp"}, {}, false},
      {"tarnwell-faults-abc123", {"TRW1.tmp"}, {}, false},
  };
  for (const Folder& f : cases) {
    const std::string folder = temp_ + "/" + f.name;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << f.name;
    for (const std::string& file : f.files) WriteFileText(folder + "/" + file, "x");
    for (const std::string& sub : f.folders) ASSERT_EQ(mkdir((folder + "/" + sub).c_str(), 0700), 0);
    struct timespec old_times[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, folder.c_str(), old_times, 0), 0);
  }
  LayOutFolderState(Path("app"), old_);
  std::vector<Exit> exits = Wait({Start(Path("app"), 0)});
  ASSERT_EQ(exits[0].code, 0) << exits[0].err;
  for (const Folder& f : cases) {
    const std::string folder = temp_ + "/" + f.name;
    if (f.removed) {
      EXPECT_FALSE(PathExists(folder)) << f.name;
      continue;
    }
    std::vector<std::string> expected = f.files;
    expected.insert(expected.end(), f.folders.begin(), f.folders.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListNames(folder), expected) << f.name;
  }
}

}  // namespace
}  // namespace tw
