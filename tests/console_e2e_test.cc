// Runs the tarnwell executable as a user would, on real folders.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <fstream>
#include <sstream>

#include "app/version.h"
#include "delta/patch_writer.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "tests/folder_state.h"
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
                      "' 2>" + (merge_output_ ? "&1" : "'" + Path("stderr") + "'");
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
  // Starts a search over six fitting folders, sends sig at the first
  // question, and leaves what came of it in stop_.
  void StopSearchWith(int sig);
  struct {
    int code = -1;
    size_t questions = 0;
    std::string err;
  } stop_;
  PatchContents patch_;
  // Standard error into standard output, as on one terminal.
  bool merge_output_ = false;
};

size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

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
  // --yes answers Yes without reading what standard input holds.
  struct Case {
    const char* args;
    const char* input;
    int code;
    const char* answer;  // as it shows after the question
  } cases[] = {
      {"", "", 2, " (y/n) n\n"},
      {"", "Yes\n", 0, " (y/n) y\n"},
      {"--yes", "n\n", 0, " (y/n) y\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.args) + " input " + c.input);
    WriteFileBytes(Path("app/prog.exe"), old_a);
    RemovePath(Path("app/old"));
    Result r = Tarnwell(c.args, c.input, Path("patch.bin"), Path("app"));
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_NE(r.err.find("找到準備更新的目標"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("目前的這個資料夾 "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.answer), std::string::npos) << r.err;
    EXPECT_EQ(ReadFileBytes(Path("app/prog.exe")), c.code == 0 ? new_a : old_a);
  }
  // A self-contained copy takes one argument, the target; two are too many.
  EXPECT_EQ(Tarnwell("a b", "", Path("patch.bin")).code, 1);
}

// Signals while the search waits for an answer: Ctrl-C answers that question
// No and the search goes on; SIGTERM and SIGHUP stop the run at its next
// step with nothing changed and the stopped exit code. The run's temp files
// go in every case.
TEST_F(ConsoleTest, SignalAtTheSearchQuestion) {
  struct Case {
    int sig;
    int code;
    bool more_questions;
  };
  for (const Case& c : {Case{SIGINT, 2, true}, Case{SIGTERM, 130, false}, Case{SIGHUP, 130, false}}) {
    SCOPED_TRACE(c.sig);
    StopSearchWith(c.sig);
    EXPECT_EQ(stop_.code, c.code) << stop_.err;
    EXPECT_EQ(stop_.questions > 1, c.more_questions) << stop_.err;
    EXPECT_EQ(stop_.err.find(Lines(Shown(kMsgNoTargetFound))[1]) != std::string::npos,
              c.code == 2) << stop_.err;
    EXPECT_EQ(ListNames(temp_), std::vector<std::string>{});
  }
}

// Without a terminal Ctrl-C stops at once: before the apply pass nothing
// changes (exit 130); a signal that comes later lets the pass complete. A
// reader that goes away (| head) never ends a run half-way.
TEST_F(ConsoleTest, StoppingNeverLeavesHalfAnUpdate) {
  std::vector<Bytes> olds, news;
  for (int i = 0; i < 4; ++i) {
    olds.push_back(Pattern(3000000, 10 + i));
    news.push_back(olds.back());
    for (size_t k = 0; k < news.back().size(); k += 4099) news.back()[k] ^= 0x33;
    std::string name = "f" + std::to_string(i) + ".bin";
    patch_.Entries.push_back(MakePatchedEntry(name, {olds.back()}, news.back()));
  }
  Save();
  auto lay_out = [&] {
    std::string cmd = "rm -rf '" + Path("app") + "' && mkdir '" + Path("app") + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    for (int i = 0; i < 4; ++i) WriteFileBytes(Path("app/f" + std::to_string(i) + ".bin"), olds[i]);
  };
  auto expect_whole = [&](bool updated, const std::string& err) {
    for (int i = 0; i < 4; ++i) {
      std::string name = "f" + std::to_string(i) + ".bin";
      EXPECT_EQ(ReadFileBytes(Path("app/" + name)) == news[i], updated) << name << err;
      EXPECT_EQ(PathExists(Path("app/old/" + name)), updated) << name;
    }
    EXPECT_EQ(ListNames(temp_), std::vector<std::string>{});
  };
  int stopped = 0;
  for (int round = 0; round < 3; ++round) {
    lay_out();
    pid_t pid = fork();
    if (pid == 0) {
      freopen("/dev/null", "r", stdin);
      freopen(Path("stdout").c_str(), "w", stdout);
      freopen(Path("stderr").c_str(), "w", stderr);
      setenv("TMPDIR", temp_.c_str(), 1);
      execl(TARNWELL_BIN, TARNWELL_BIN, Path("patch.bin").c_str(), Path("app").c_str(),
            static_cast<char*>(nullptr));
      _exit(98);
    }
    // Once its work folder is there, the program has its handlers.
    for (int i = 0; i < 1000 && ListNames(temp_).empty(); ++i) usleep(10000);
    usleep(20000 * round);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string err = ReadText(Path("stderr"));
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    ASSERT_TRUE(code == 0 || code == 130) << code << err;
    stopped += code == 130;
    expect_whole(code == 0, err);
  }
  EXPECT_GT(stopped, 0);

  lay_out();
  std::string cmd = "set -o pipefail; TMPDIR='" + temp_ + "' '" + TARNWELL_BIN + "' '" +
                    Path("patch.bin") + "' '" + Path("app") + "' </dev/null 2>/dev/null | head -c 1 >/dev/null";
  int status = system(("bash -c \"" + cmd + "\"").c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  expect_whole(true, "");
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
  // Then no answer at all: the signal, not the end of input, ends the wait.
  usleep(200000);
  close(input[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  stop_.err = ReadText(Path("stderr"));
  stop_.code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  stop_.questions = 0;
  for (size_t at = stop_.err.find("(y/n)"); at != std::string::npos;
       at = stop_.err.find("(y/n)", at + 1)) {
    ++stop_.questions;
  }
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
  std::string error_line = Lines(Shown(kMsgNoTargetFound))[1];
  EXPECT_EQ(Count(r.out, error_line), 1u) << r.out;
  EXPECT_NE(r.err.find(error_line), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nCause: no folder searched holds the installed version"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFileText(Path("app/prog.exe")), "something else");

  // Where both streams are one, the error box does not repeat the list.
  merge_output_ = true;
  r = Tarnwell("'" + Path("patch.bin") + "' '" + Path("app") + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(Count(r.out, error_line), 1u) << r.out;
  merge_output_ = false;

  // A patch that fits but could not be finished names what stands in the way.
  WriteFileText(Path("app/prog.exe"), "old");
  ASSERT_EQ(mkdir(Path("app/data").c_str(), 0755), 0);
  patch_.Entries.push_back(IncludedEntry{"data", 0, BytesOf("a file")});
  Save();
  r = Tarnwell("'" + Path("patch.bin") + "' '" + Path("app") + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("\nCause: " + Path("app") + "/data: a folder stands where"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFileText(Path("app/prog.exe")), "old") << r.err << r.out;
}

// The options answer before any patch is read, and a copy that carries its
// patch takes them as options too, not as its target.
TEST_F(ConsoleTest, OptionsAnswerWithoutTouchingAnything) {
  Bytes old_a = BytesOf("old contents"), new_a = BytesOf("new contents");
  WriteFileBytes(Path("app/prog.exe"), old_a);
  patch_.Entries.push_back(MakePatchedEntry("prog.exe", {old_a}, new_a));
  Save(TARNWELL_BIN);
  chmod(Path("patch.bin").c_str(), 0755);
  const std::string patch = "'" + Path("patch.bin") + "'", copy = Path("patch.bin");
  const std::string version = "tarnwell " TW_VERSION_TEXT "\n";
  struct Case {
    const char* name;
    std::string program, args;
    int code;
    std::string out;  // how standard output starts
    std::string err;  // a piece of standard error; empty: nothing there
  } cases[] = {
      {"help", TARNWELL_BIN, "--help", 0, "Usage: tarnwell [OPTION]... PATCHFILE [TARGET]\n", ""},
      {"help after the arguments", TARNWELL_BIN, patch + " . --help", 0, "Usage: tarnwell ", ""},
      {"version", TARNWELL_BIN, "--version", 0, version, ""},
      {"help of a copy", copy, "--help", 0, "Usage: patch.bin [OPTION]... [TARGET]\n", ""},
      {"version of a copy", copy, "--yes --version", 0, version, ""},
      {"unknown option", TARNWELL_BIN, patch + " --frobnicate", 1, "",
       "tarnwell: unknown option --frobnicate (see tarnwell --help)\n"},
      {"unknown option of a copy", copy, "--help --force", 1, "", "unknown option --force"},
  };
  FolderState before = ReadFolderState(Path("app"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result r = Tarnwell(c.args, "y\n", c.program, Path("app"));
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.out;
    if (c.out == version || c.out.empty()) {
      EXPECT_EQ(r.out, c.out);
    }
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(ReadFolderState(Path("app")), before);
    EXPECT_TRUE(ListNames(temp_).empty());
  }
}

// After "--" every argument is a name, one that looks like an option too.
TEST_F(ConsoleTest, DoubleDashEndsTheOptions) {
  Bytes old_a = BytesOf("old contents"), new_a = BytesOf("new contents");
  patch_.Entries.push_back(MakePatchedEntry("prog.exe", {old_a}, new_a));
  Save();
  ASSERT_EQ(std::rename(Path("patch.bin").c_str(), Path("--help").c_str()), 0);
  struct Case {
    const char* args;
    int code;
    bool applied;
  } cases[] = {
      {"-- --help app --check", 1, false},  // three arguments
      {"--check -- --help app", 0, false},
      {"-- --help app", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    WriteFileBytes(Path("app/prog.exe"), old_a);
    Result r = Tarnwell(c.args, "", TARNWELL_BIN, dir_);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_EQ(ReadFileBytes(Path("app/prog.exe")), c.applied ? new_a : old_a);
  }
}

// --check runs the test pass alone and lists what applying would make of each
// entry; neither the target nor the temp folder keeps a trace of it.
TEST_F(ConsoleTest, CheckListsEachFileAndChangesNothing) {
  Bytes old_a = BytesOf("old contents of the program"), new_a = BytesOf("new contents!");
  Bytes old_b = Pattern(5000, 1), new_b = Pattern(5200, 2);
  struct Case {
    const char* name;
    uint8_t mode;
    Bytes prog, lib;   // installed before the check
    bool self_contained;
    const char* args;  // after the patch file
    int code;
    // Entries and the outcome listed for each; -1: the entry has no line.
    std::vector<std::pair<std::string, int>> listed;
  } cases[] = {
      {"updates one, the other is new already", 2, old_a, new_b, false, "app", 0,
       {{"prog.exe", kMsgOk}, {"lib.dll", kMsgAlreadyUpdated}}},
      {"a source is missing", 2, BytesOf("something else"), old_b, false, "app", 2,
       {{"prog.exe", -1}}},
      {"single file", 1, old_a, {}, false, "app/prog.exe", 0, {{"app/prog.exe", kMsgOk}}},
      {"a copy searches, --yes takes the folder", 2, old_a, old_b, true, "", 0,
       {{"prog.exe", kMsgOk}, {"lib.dll", kMsgOk}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemovePath(Path("app"));
    ASSERT_EQ(mkdir(Path("app").c_str(), 0755), 0);
    WriteFileBytes(Path("app/prog.exe"), c.prog);
    if (!c.lib.empty()) WriteFileBytes(Path("app/lib.dll"), c.lib);
    patch_.HeaderMode = c.mode;
    patch_.Entries.clear();
    patch_.Entries.push_back(MakePatchedEntry("prog.exe", {old_a}, new_a));
    if (c.mode == 2) {
      patch_.Entries.push_back(MakePatchedEntry("lib.dll", {old_b}, new_b));
      patch_.Entries.push_back(IncludedEntry{"docs\\new.txt", 0x28762980, BytesOf("hello")});
    }
    Save(c.self_contained ? TARNWELL_BIN : "");
    chmod(Path("patch.bin").c_str(), 0755);
    FolderState before = ReadFolderState(Path("app"));
    Result r = c.self_contained
                   ? Tarnwell("--check --yes", "", Path("patch.bin"), Path("app"))
                   : Tarnwell("--check '" + Path("patch.bin") + "' " + c.args, "", TARNWELL_BIN,
                              dir_);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_EQ(ReadFolderState(Path("app")), before);
    EXPECT_TRUE(ListNames(temp_).empty());
    std::vector<std::string> lines = Lines(r.out);
    auto shows = [&](const std::string& line) {
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(shows(Lines(Shown(kMsgTestModeOn))[0] + " ")) << r.out;
    for (const auto& [entry, outcome] : c.listed) {
      g_run.EntryName = entry;
      if (outcome >= 0) {
        EXPECT_TRUE(shows(Shown(kMsgCheckingEntry) + Shown(outcome) + " ")) << entry << r.out;
      }
    }
    g_run.EntryName = "docs\\new.txt";
    EXPECT_EQ(shows(Shown(kMsgWritingIncluded) + " "), c.mode == 2 && c.code == 0) << r.out;
    g_run.TargetPath = c.self_contained ? "." : c.args;
    EXPECT_EQ(shows(Lines(Shown(kMsgCanApply))[1] + " "), c.code == 0) << r.out;
    EXPECT_FALSE(shows(Lines(Shown(kMsgTestPassed))[1] + " ")) << r.out;
  }
}

// What a patch or the disk says reaches the terminal escaped: an ESC [8m in
// the description would hide all later output, the error included.
TEST_F(ConsoleTest, ControlBytesAreShownEscaped) {
  Bytes old_a = BytesOf("old contents"), new_a = BytesOf("new contents");
  const std::string target = "t\x1b[2J";
  ASSERT_EQ(mkdir(Path(target).c_str(), 0755), 0);
  WriteFileBytes(Path(target + "/prog.exe"), old_a);
  patch_.Description = OemFromAnsi(
      "Title\x1b[8m\r\nbell\x07 del\x7f cr\rx c1\x80 tab\there \xa4\xa4\xa4\xe5\r\n");
  patch_.Entries.push_back(MakePatchedEntry("prog.exe", {old_a}, new_a));
  patch_.Entries.push_back(IncludedEntry{"new\x80.txt", 0x28762980, BytesOf("x")});
  Save();
  std::string args = "'" + Path("patch.bin") + "' '" + Path(target) + "'";
  for (const char* installed : {"old contents", "something else"}) {
    SCOPED_TRACE(installed);
    WriteFileText(Path(target + "/prog.exe"), installed);
    Result r = Tarnwell(args);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0], "Title\\x1b[8m");
    EXPECT_EQ(lines[1], "bell\\x07 del\\x7f cr\\x0dx c1\\u0080 tab\there 中文");
    EXPECT_NE(r.out.find("t\\x1b[2J"), std::string::npos) << r.out;
    for (const char* raw : {"\x1b", "\x07", "\x7f", "\r", "\xc2\x80", "\xc2\x9b"}) {
      EXPECT_EQ(r.out.find(raw), std::string::npos) << r.out;
      EXPECT_EQ(r.err.find(raw), std::string::npos) << r.err;
    }
    if (r.code == 0) {
      EXPECT_NE(r.out.find("new\\u0080.txt"), std::string::npos) << r.out;
    } else {
      EXPECT_NE(r.err.find(Lines(Shown(kMsgNoTargetFound))[1]), std::string::npos) << r.err;
    }
  }
}

}  // namespace
}  // namespace tw
