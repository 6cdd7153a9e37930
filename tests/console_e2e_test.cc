// Runs the tarnwell executable as a user would, on real folders.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <fstream>
#include <sstream>

#include "delta/patch_writer.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "tests/patch_builder.h"
#include "tests/test_util.h"

namespace tw {
namespace {

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}

// The catalogue text as the console shows it: UTF-8, "/" separators.
std::string Shown(int index) {
  std::string s = MessageText(index);
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') continue;
    if (s[i] != '\x01') out += s[i];
  }
  return out;
}

class ConsoleTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(mkdir(Path("app").c_str(), 0755), 0);
    patch_.BackupFolderName = "old";
    patch_.Description = "Example patch";
  }
  Result Tarnwell(const std::string& args, const std::string& input = "",
                  const std::string& program = TARNWELL_BIN, const std::string& cwd = "") {
    WriteFileText(Path("stdin"), input);
    std::string cmd = (cwd.empty() ? "" : "cd '" + cwd + "' && ") + "TMPDIR='" + temp_ + "' '" +
                      program + "' " + args + " <'" + Path("stdin") + "' >'" + Path("stdout") +
                      "' 2>'" + Path("stderr") + "'";
    int status = system(cmd.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadText(Path("stdout"));
    r.err = ReadText(Path("stderr"));
    return r;
  }
  void Save(const std::string& prefix = "") {
    std::string error;
    ASSERT_TRUE(WritePatchFile(patch_, Path("patch.bin"), prefix, &error)) << error;
  }
  void StopSearchWith(int sig);
  PatchContents patch_;
};

TEST_F(ConsoleTest, CommandLineProblemsShowTheUsage) {
  Result r = Tarnwell("-h");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("用法: Patchname [舊檔案]"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("命令列的使用方法"), std::string::npos);
  EXPECT_EQ(Tarnwell("").code, 1);
  EXPECT_EQ(Tarnwell("a b c").code, 1);
}

TEST_F(ConsoleTest, FilesThatAreNoPatchEndWith255) {
  WriteFileText(Path("notapatch.bin"), "just some text, no patch here");
  Result r = Tarnwell("'" + Path("notapatch.bin") + "'");
  EXPECT_EQ(r.code, 255);
  EXPECT_NE(r.err.find("無法被讀取，或者並非更新程式"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("notapatch.bin"), std::string::npos);
  EXPECT_NE(r.err.find("更新有錯誤"), std::string::npos);

  patch_.FormatVersion = 191;
  Save();
  r = Tarnwell("'" + Path("patch.bin") + "'");
  EXPECT_EQ(r.code, 255);
  EXPECT_NE(r.err.find("format-191"), std::string::npos) << r.err;

  patch_.HeaderFlags = kFlagCompressedBody;
  Save();
  r = Tarnwell("'" + Path("patch.bin") + "'");
  EXPECT_EQ(r.code, 255);
  EXPECT_NE(r.err.find("不支援內部壓縮的功能"), std::string::npos) << r.err;
  EXPECT_TRUE(ListNames(temp_).empty());
}

TEST_F(ConsoleTest, AppliesThenFindsEverythingUpdated) {
  Bytes old_a = BytesOf(std::string(3000, 'a') + "version 1" + std::string(3000, 'z'));
  Bytes new_a = BytesOf(std::string(3000, 'a') + "version 2!" + std::string(3000, 'z'));
  WriteFileBytes(Path("app/prog.exe"), old_a);
  ASSERT_EQ(chmod(Path("app/prog.exe").c_str(), 0750), 0);
  WriteFileText(Path("app/keep.txt"), "untouched");
  patch_.Entries.push_back(MakePatchedEntry("prog.exe", {old_a}, new_a));
  patch_.Entries.push_back(IncludedEntry{"docs\\new.txt", 0x28762980, BytesOf("hello")});
  patch_.Entries.push_back(IncludedEntry{"run.sh", 0x28762980, BytesOf("#!/bin/sh\n")});
  Save();
  Result r = Tarnwell("'" + Path("patch.bin") + "' '" + Path("app") + "'");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(ReadFileBytes(Path("app/prog.exe")), new_a);
  EXPECT_EQ(ReadFileBytes(Path("app/old/prog.exe")), old_a);
  EXPECT_EQ(ReadFileText(Path("app/docs/new.txt")), "hello");
  // The program stays one; a new script becomes one, a new text does not.
  mode_t mask = umask(022);
  umask(mask);
  auto mode = [this](const std::string& name) {
    struct stat st;
    return stat(Path(name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  };
  EXPECT_EQ(mode("app/prog.exe"), 0750u);
  EXPECT_EQ(mode("app/old/prog.exe"), 0750u);
  EXPECT_EQ(mode("app/run.sh"), 0755u & ~mask);
  EXPECT_EQ(mode("app/docs/new.txt"), 0644u & ~mask);
  EXPECT_EQ(ReadFileText(Path("app/keep.txt")), "untouched");
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 8u) << r.out;
  EXPECT_EQ(lines[0], "Example patch");
  g_run.TargetPath = Path("app");
  g_run.EntryName = "prog.exe";
  // Every list line carries one trailing blank.
  EXPECT_EQ(lines[2], Lines(Shown(kMsgCheckingTarget))[0] + " ");
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      Shown(kMsgUpdatingEntry) + Shown(kMsgOk) + " "),
            lines.end())
      << r.out;
  EXPECT_EQ(lines.back(), Lines(Shown(kMsgApplied)).back() + " ");
  // Only the body copy of the run is gone; nothing else was left in temp.
  EXPECT_TRUE(ListNames(temp_).empty());

  // Again: already updated, nothing changes, success.
  r = Tarnwell("'" + Path("patch.bin") + "' '" + Path("app") + "'");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(Shown(kMsgUpdatingEntry) + Shown(kMsgAlreadyUpdated)), std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFileBytes(Path("app/old/prog.exe")), old_a);
}

TEST_F(ConsoleTest, SelfContainedCopySearchesAndAsks) {
  Bytes old_a = BytesOf("old contents of the program"), new_a = BytesOf("new contents!");
  WriteFileBytes(Path("app/prog.exe"), old_a);
  patch_.Entries.push_back(MakePatchedEntry("prog.exe", {old_a}, new_a));
  Save(TARNWELL_BIN);
  chmod(Path("patch.bin").c_str(), 0755);
  // No answer means No: the search ends with message 16 and exit code 2.
  Result r = Tarnwell("", "", Path("patch.bin"), Path("app"));
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("找到準備更新的目標"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(Path("app/prog.exe")), old_a);
  r = Tarnwell("", "Yes\n", Path("patch.bin"), Path("app"));
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("目前的這個資料夾"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(Path("app/prog.exe")), new_a);
  // A self-contained copy takes one argument, the target; two are too many.
  EXPECT_EQ(Tarnwell("a b", "", Path("patch.bin")).code, 1);
}

// Ctrl-C plays the window's close box: without a terminal it counts as Yes,
// so the folder search stops at its next step and the run ends; SIGTERM and
// SIGHUP do the same without asking. The run's temp files go with it.
TEST_F(ConsoleTest, InterruptStopsTheSearch) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    StopSearchWith(sig);
    EXPECT_EQ(ListNames(temp_), std::vector<std::string>{});
  }
}

void ConsoleTest::StopSearchWith(int sig) {
  Bytes old_a = BytesOf("old contents"), new_a = BytesOf("new contents");
  std::string cmd = "rm -rf '" + Path("app") + "' && mkdir '" + Path("app") + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  patch_.Entries.clear();
  for (int i = 0; i < 6; ++i) {
    std::string folder = "app/d" + std::to_string(i);
    ASSERT_EQ(mkdir(Path(folder).c_str(), 0755), 0);
    WriteFileBytes(Path(folder + "/prog.exe"), old_a);
  }
  patch_.Entries.push_back(MakePatchedEntry("prog.exe", {old_a}, new_a));
  Save();
  std::remove(Path("stderr").c_str());  // the previous run's question
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], 0);
    close(input[1]);
    freopen(Path("stdout").c_str(), "w", stdout);
    freopen(Path("stderr").c_str(), "w", stderr);
    if (chdir(Path("app").c_str()) != 0) _exit(99);
    setenv("TMPDIR", temp_.c_str(), 1);
    execl(TARNWELL_BIN, TARNWELL_BIN, Path("patch.bin").c_str(), static_cast<char*>(nullptr));
    _exit(98);
  }
  close(input[0]);
  // The program now waits for the answer to its first question.
  for (int i = 0; i < 200 && ReadText(Path("stderr")).find("(y/n)") == std::string::npos; ++i) {
    usleep(50000);
  }
  kill(pid, sig);
  close(input[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::string err = ReadText(Path("stderr"));
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), 2) << err;
  size_t questions = 0;
  for (size_t at = err.find("(y/n)"); at != std::string::npos; at = err.find("(y/n)", at + 1)) {
    ++questions;
  }
  EXPECT_GE(questions, 1u);
  EXPECT_LE(questions, 2u) << err;  // not all six candidates
  EXPECT_NE(err.find(Lines(Shown(kMsgNoTargetFound))[1]), std::string::npos) << err;
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(ReadFileBytes(Path("app/d" + std::to_string(i) + "/prog.exe")), old_a);
  }
}

TEST_F(ConsoleTest, UnsafeNameIsRefusedWithNothingWritten) {
  Bytes old_a = BytesOf("old"), new_a = BytesOf("new");
  WriteFileBytes(Path("app/prog.exe"), old_a);
  patch_.Entries.push_back(MakePatchedEntry("prog.exe", {old_a}, new_a));
  patch_.Entries.push_back(IncludedEntry{"..\\escaped.txt", 0, BytesOf("x")});
  Save();
  Result r = Tarnwell("'" + Path("patch.bin") + "' '" + Path("app") + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(Shown(kMsgPatchDamaged)), std::string::npos) << r.err;
  EXPECT_EQ(ListNames(dir_), (std::vector<std::string>{"app", "patch.bin", "stderr", "stdin",
                                                        "stdout", "temp"}));
  EXPECT_EQ(ListNames(Path("app")), std::vector<std::string>{"prog.exe"});
  EXPECT_EQ(ReadFileBytes(Path("app/prog.exe")), old_a);
  EXPECT_TRUE(ListNames(temp_).empty());
}

TEST_F(ConsoleTest, PatchThatDoesNotFitFailsWithExitCode2) {
  WriteFileText(Path("app/prog.exe"), "something else");
  patch_.Entries.push_back(MakePatchedEntry("prog.exe", {BytesOf("old")}, BytesOf("new")));
  Save();
  Result r = Tarnwell("'" + Path("patch.bin") + "' '" + Path("app") + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(Lines(Shown(kMsgNoTargetFound))[1]), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileText(Path("app/prog.exe")), "something else");
}

}  // namespace
}  // namespace tw
