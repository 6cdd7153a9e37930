// Several tarnwell processes at once, as users start them: on one folder (one
// run may go on, the others stop and change nothing) and on separate copies
// sharing the temp folder (each completes with its own files only). Links in
// or on the way to the target, present from the start or swapped in while a
// run goes on, never carry its writes out of the target.
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

  // Starts tarnwell PATCH FOLDER with its own output files, in the folder
  // open as cwd when there is one; returns its pid.
  pid_t Start(const std::string& folder, int n, const std::string& patch = "patch.bin",
              int cwd = -1) {
    pid_t pid = fork();
    if (pid == 0) {
      if (cwd >= 0 && fchdir(cwd) != 0) _exit(126);
      int in = open("/dev/null", O_RDONLY);
      int err = open(Path("err" + std::to_string(n)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int out = open("/dev/null", O_WRONLY);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      setenv("TMPDIR", temp_.c_str(), 1);
      execl(TARNWELL_BIN, TARNWELL_BIN, Path(patch).c_str(), folder.c_str(),
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

// The target the run was given is what the system takes it to be, and the
// folders below it are reached without following a link, whatever the length
// of the working folder the run starts in.
TEST_F(ConcurrentRunsTest, LinksBelowTheTargetNeverLeadARunOutside) {
  const Bytes old_a = Pattern(3000, 1), old_x = Pattern(2000, 2);
  Bytes new_a = old_a, new_x = old_x;
  new_a[100] ^= 1;
  new_x[200] ^= 1;
  PatchContents patch;
  patch.BackupFolderName = "old";
  patch.Entries.push_back(MakePatchedEntry("a.txt", {old_a}, new_a));
  patch.Entries.push_back(MakePatchedEntry("data\\x", {old_x}, new_x));
  std::string error;
  ASSERT_TRUE(WritePatchFile(patch, Path("links.bin"), "", &error)) << error;

  // A working folder longer than the system's longest path: the run is
  // started there with a relative target, laid out there by descriptor.
  const std::string deep_name(250, 'd');
  int deep = open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(mkdirat(deep, deep_name.c_str(), 0755), 0);
    int next = openat(deep, deep_name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    close(deep);
    deep = next;
    ASSERT_GE(deep, 0);
  }
  const std::string old_x_text = "f:" + Str(old_x);
  const FolderState outside = {{"outside", "d"}, {"outside/x", old_x_text}};
  struct Case {
    const char* what;
    bool deep;           // started in the deep folder, everything laid out there
    const char* target;  // as given to the run, relative to its working folder
    FolderState layout;  // besides outside
    int exit;
    FolderState changed;  // what a run that completes changes
  } cases[] = {
      {"deep working folder, linked sub-folder", true, "app",
       {{"app", "d"}, {"app/a.txt", "f:" + Str(old_a)}, {"app/data", "l:../outside"}}, 2, {}},
      {"shortcut/.. with a linked sub-folder", false, "shortcut/../app",
       {{"real", "d"}, {"real/inner", "d"}, {"shortcut", "l:real/inner"}, {"real/app", "d"},
        {"real/app/a.txt", "f:" + Str(old_a)}, {"real/app/data", "l:../../outside"}},
       2, {}},
      // Taken as text, the target would be w/app, which a link leads to.
      {"shortcut/.. names the folder the system finds", false, "shortcut/../app",
       {{"real", "d"}, {"real/inner", "d"}, {"shortcut", "l:real/inner"}, {"real/app", "d"},
        {"real/app/a.txt", "f:" + Str(old_a)}, {"real/app/data", "d"},
        {"real/app/data/x", old_x_text}, {"app", "l:outside"}},
       0, {{"real/app/a.txt", "f:" + Str(new_a)}, {"real/app/data/x", "f:" + Str(new_x)}}},
  };
  const std::string work = Path("w");
  for (const Case& c : cases) {
    FolderState layout = c.layout;
    layout.insert(outside.begin(), outside.end());
    LayOutFolderState(work, layout);
    int cwd = open(work.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(cwd, 0);
    std::vector<std::string> tops = ListNames(work);
    if (c.deep) {
      for (const std::string& n : tops) ASSERT_EQ(renameat(cwd, n.c_str(), deep, n.c_str()), 0);
    }
    std::vector<Exit> exits = Wait({Start(c.target, 0, "links.bin", c.deep ? deep : cwd)});
    if (c.deep) {
      for (const std::string& n : tops) ASSERT_EQ(renameat(deep, n.c_str(), cwd, n.c_str()), 0);
    }
    close(cwd);
    EXPECT_EQ(exits[0].code, c.exit) << c.what << "\n" << exits[0].err;
    // Stopped by the link, before the first file was changed.
    if (c.exit != 0) {
      EXPECT_NE(exits[0].err.find("symbolic link"), std::string::npos)
          << c.what << "\n" << exits[0].err;
    }
    FolderState after = ReadFolderState(work);
    for (const auto& [name, content] : layout) {
      auto changed = c.changed.find(name);
      // Contents are long; the name says enough.
      EXPECT_TRUE(after[name] == (changed == c.changed.end() ? content : changed->second))
          << c.what << ": " << name;
    }
    for (const auto& [name, _] : after) {
      EXPECT_TRUE(layout.count(name) || name.rfind("real/app/", 0) == 0)
          << c.what << ": written outside the target: " << name;
    }
  }
  close(deep);
}

// A local user swaps a folder of the target for a link to a folder outside
// and back, as fast as the system lets them, while runs go on: no run ever
// writes outside, whichever state each of its steps meets.
TEST_F(ConcurrentRunsTest, AFolderSwappedForALinkMidRunIsNeverFollowed) {
  const Bytes old_f = Pattern(20000, 3);
  Bytes new_f = old_f;
  for (size_t k = 0; k < new_f.size(); k += 501) new_f[k] ^= 0x33;
  PatchContents patch;
  patch.BackupFolderName = "old";
  patch.Entries.push_back(MakePatchedEntry("sub\\f.dat", {old_f}, new_f));
  patch.Entries.push_back(IncludedEntry{"sub\\new.txt", 0, BytesOf("new")});
  std::string error;
  ASSERT_TRUE(WritePatchFile(patch, Path("swap.bin"), "", &error)) << error;
  const FolderState installed = {{"sub", "d"}, {"sub/f.dat", "f:" + Str(old_f)}};
  // What a link followed would find: the very file the patch updates.
  const FolderState outside = {{"f.dat", "f:" + Str(old_f)}};
  LayOutFolderState(Path("outside"), outside);
  ASSERT_EQ(symlink(Path("outside").c_str(), Path("swap").c_str()), 0);
  const std::string app = Path("app"), sub = Path("app/sub");
  auto swap = [&] {
    return renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, Path("swap").c_str(), RENAME_EXCHANGE);
  };
  int completed = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 150; ++round) {
    LayOutFolderState(app, installed);
    pid_t swapper = fork();
    if (swapper == 0) {
      for (;;) swap();
    }
    std::vector<Exit> exits = Wait({Start(app, 0, "swap.bin")});
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    struct stat st;
    if (lstat(sub.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      ASSERT_EQ(swap(), 0);
    }
    ASSERT_TRUE(exits[0].code == 0 || exits[0].code == 2)
        << "round " << round << ": exit " << exits[0].code << "\n" << exits[0].err;
    completed += exits[0].code == 0;
    ASSERT_EQ(ReadFolderState(Path("outside")), outside) << "round " << round;
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(15)) break;
  }
  RecordProperty("completed", completed);
}

}  // namespace
}  // namespace tw
