// The console front-end: the window's texts and choices in a terminal.
// The progress list goes to standard output, one list line per output line;
// message boxes go to standard error; a question reads standard input.
// Ctrl-C plays the part of the window's close box.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "state/front_end.h"
#include "ui/console/console.h"

namespace tw {
namespace {

// A stop asked for before anything changed; 130 is what shells report for
// a program that Ctrl-C ended.
constexpr int kExitStopped = 130;

volatile sig_atomic_t g_interrupted = 0;
bool g_stdout_tty = false;
bool g_stdin_tty = false;
// Off a terminal a line is held back until the next one arrives, so that a
// line the log takes back to complete is printed once, in its final form.
bool g_has_pending = false;
std::string g_pending;
bool g_last_run_succeeded = false;
bool g_answer_yes = false;
// The progress list as it stands, as shown; an error box compares itself
// with its end.
std::vector<std::string> g_shown_lines;

// SIGTERM and SIGHUP ask for no answer: whoever sends them means it, and
// the terminal may be gone. They end the run as a Yes to the close question
// does, so that it finishes cleanly and takes its temp files with it.
volatile sig_atomic_t g_terminated = 0;

void OnInterrupt(int) { g_interrupted = 1; }
void OnTerminate(int) {
  g_terminated = 1;
  g_interrupted = 1;
}

// Windows line breaks become plain ones for the terminal, and the core's "\"
// separators the "/" that the user typed (main turned them around). Names in
// the text come from the patch or the disk and are escaped like the rest.
std::string ForTerminal(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += '\n';
    } else {
      out += text[i] == '\\' ? '/' : text[i];
    }
  }
  return EscapeControls(out);
}

std::string WithoutTrailingBlanks(std::string line) {
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// True when standard output and standard error lead to one place (a
// terminal, or one file or pipe for both): there a box that repeats the list
// lines just written would show the same error twice in a row.
bool OneOutputForBoth() {
  static const bool same = [] {
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
           out.st_dev == err.st_dev && out.st_ino == err.st_ino;
  }();
  return same;
}

// Whether the box text is exactly what the progress list ends with.
bool RepeatsListEnd(const std::string& shown) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = shown.find('\n', start);
    lines.push_back(WithoutTrailingBlanks(shown.substr(start, end - start)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (lines.size() > g_shown_lines.size()) return false;
  size_t offset = g_shown_lines.size() - lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (WithoutTrailingBlanks(g_shown_lines[offset + i]) != lines[i]) return false;
  }
  return true;
}

void FlushPending() {
  if (!g_has_pending) return;
  std::fputs(g_pending.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  g_has_pending = false;
}

// Reads one answer line; "y" or "yes" in any case is Yes, anything else No.
// Ctrl-C while the question waits answers No to that question only (the
// read is not restarted after a signal), while SIGTERM and SIGHUP still
// stop the run at its next step.
bool ReadYes() {
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    if (g_interrupted && !g_terminated) {
      g_interrupted = 0;
      std::cin.clear();
      std::fputc('\n', stderr);
    }
    return false;
  }
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return answer == "y" || answer == "yes";
}

void AskToStop() {
  g_interrupted = 0;
  bool yes = true;
  if (g_stdin_tty && !g_terminated) {
    FlushPending();
    std::fprintf(stderr, "\n[%s]\n%s%s", NativeText(kCloseQuestionCaption).c_str(),
                 NativeText(kCloseQuestionText).c_str(), CatalogueText(32).c_str());
    std::fflush(stderr);
    yes = ReadYes();
  }
  if (yes) g_run.CancelRequested = g_run.ExitAfterStop = true;
}

}  // namespace

std::string EscapeControls(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == '\n' || c == '\t') {
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
      // U+0080..U+009F: a terminal takes U+009B for the start of a command.
      out += "\\u00";
      out += kHex[next >> 4];
      out += kHex[next & 15];
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Standard input is then no source of answers: the close question takes the
// answer it gets without a terminal, Yes, and the search question is answered
// Yes below.
void ConsoleAnswerYes() {
  g_answer_yes = true;
  g_stdin_tty = false;
}

void ConsoleInit() {
  g_stdout_tty = isatty(STDOUT_FILENO) != 0;
  g_stdin_tty = isatty(STDIN_FILENO) != 0;
  struct sigaction sa = {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = OnTerminate;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  // A reader that goes away (| head) must not end a run half-way: what
  // cannot be shown is dropped, and the run completes or stops cleanly.
  signal(SIGPIPE, SIG_IGN);
}

void ConsoleFinish() { FlushPending(); }

void PumpPendingMessages() {
  if (!g_interrupted) return;
  if (g_run.BusyState == 0) {
    // An idle program closes at once, as the window would.
    FlushPending();
    std::exit(g_last_run_succeeded ? 0 : 2);
  }
  AskToStop();
}

void ShowTargetText(const std::string&) { PumpPendingMessages(); }

void ShowDescription(const char* text) {
  std::string raw;
  for (const char* p = text; *p != '\0'; ++p) raw += *p == '\x01' ? '\n' : *p;
  std::string converted = NativeFromPatchText(raw), shown;
  for (size_t i = 0; i < converted.size(); ++i) {
    if (converted[i] != '\r' || i + 1 >= converted.size() || converted[i + 1] != '\n') {
      shown += converted[i];
    }
  }
  shown = EscapeControls(shown);
  if (shown.empty()) return;
  std::fputs(shown.c_str(), stdout);
  if (shown.back() != '\n') std::fputc('\n', stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void ProgressAdd(const std::string& text) {
  FlushPending();
  std::string line = ForTerminal(text);
  g_shown_lines.push_back(line);
  if (g_stdout_tty) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  } else {
    g_pending = line;
    g_has_pending = true;
  }
}

void ProgressDelete(int) {
  if (!g_shown_lines.empty()) g_shown_lines.pop_back();
  if (g_stdout_tty) {
    std::fputs("\x1b[1A\r\x1b[2K", stdout);
    std::fflush(stdout);
  } else {
    g_has_pending = false;
  }
}

void ProgressSetTop(int) {}

void ProgressReset() {
  FlushPending();
  g_shown_lines.clear();
}

int ShowMessageBox(bool, const std::string& text, const std::string& caption, unsigned type) {
  FlushPending();
  std::string body = ForTerminal(text);
  bool question = (type & 0x0f) == kBoxYesNo;
  if (!question) {
    if (!OneOutputForBoth() || !RepeatsListEnd(body)) {
      std::fprintf(stderr, "[%s]\n%s\n", caption.c_str(), body.c_str());
    }
    // The catalogue text says what failed; this line says why, even where
    // the text itself was just shown as the list's last line.
    if (!g_run.ErrorCause.empty()) {
      std::fprintf(stderr, "Cause: %s\n", ForTerminal(g_run.ErrorCause).c_str());
    }
    return kAnswerOk;
  }
  std::fprintf(stderr, "[%s]\n%s", caption.c_str(), body.c_str());
  std::fputs(CatalogueText(32).c_str(), stderr);
  if (g_answer_yes) {
    std::fputs("y\n", stderr);
    std::fflush(stderr);
    return kAnswerYes;
  }
  std::fflush(stderr);
  bool yes = ReadYes();
  if (!g_stdin_tty) std::fputs(yes ? "y\n" : "n\n", stderr);
  return yes ? kAnswerYes : kAnswerNo;
}

bool CreateMainWindow() { return true; }
void ShowMainWindow() {}
void UnregisterMainWindowClass() {}
void SetBusyState(uint8_t state) {
  g_run.BusyState = state;
  PumpPendingMessages();
}
void LockAfterSuccess() { g_last_run_succeeded = true; }
void DestroyMainWindow() {}
int RunMessageLoop() {
  FlushPending();
  if (g_run.Stopped) {
    std::fputs("stopped on request; nothing was changed\n", stderr);
    return kExitStopped;
  }
  return g_last_run_succeeded ? 0 : 2;
}

}  // namespace tw
