// Drives a Win32 GUI program under Wine the way a user would: starts it,
// waits for its windows, reports what they show and clicks buttons.
//
//   wine_driver.exe [--timeout MS] [--script FILE] PROGRAM [ARG...] [-- STEP...]
//
// Steps (from FILE, one per line, '#' starts a comment, then from after --):
//   box            wait for a dialog box (class #32770) of the program, print it
//   window [CLASS] wait for any (or a CLASS) top-level window of the program
//   press ID       click button ID of the last window (IDOK=1 IDCANCEL=2 IDYES=6 IDNO=7)
//   command ID     send WM_COMMAND ID to the last window, as a menu item does
//   pause MS       sleep
//   exit CODE|any  wait for the program to end and check its exit code
//
// Output is UTF-8 with '\n' line ends, one fact per line, so tests can grep:
//   caption "…" big5=hex            the window title
//   control CLASS ID "…" big5=hex   every child window
//   item CLASS ID INDEX "…" big5=hex  every list box / combo box entry
// "big5=" holds the text in code page 950, i.e. the bytes the program itself
// handled through the ANSI API. Exit status: 0 all steps passed, 1 a step
// failed (the program is then killed), 2 bad usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

DWORD g_timeout_ms = 20000;
PROCESS_INFORMATION g_child{};
HWND g_window = nullptr;       // target of press/command
std::set<HWND> g_pressed;      // dialogs already answered; they may linger a moment

std::string Convert(const std::wstring& w, UINT code_page) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(code_page, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(code_page, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

// Prints "text" big5=hex. The hex is the exact check: a Big5 text that went
// through the wrong code page still looks plausible once printed as UTF-8.
void PrintText(const std::wstring& text) {
  std::string big5 = Convert(text, 950);
  std::printf("\"%s\" big5=", Convert(text, CP_UTF8).c_str());
  for (unsigned char c : big5) std::printf("%02x", c);
  std::printf("\n");
}

// The W forms are used throughout: with an A call on another process's list
// box, Wine returns the item's UTF-16 bytes cut at the ANSI length.
// The timeout keeps a hung program from hanging the driver too.
LRESULT Ask(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, 5000, &result))
    throw Failure("window stopped answering messages");
  return static_cast<LRESULT>(result);
}

std::wstring WindowText(HWND w) {
  std::wstring text(Ask(w, WM_GETTEXTLENGTH, 0, 0) + 1, L'\0');
  text.resize(Ask(w, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  return text;
}

std::string ClassOf(HWND w) {
  char name[256] = {};
  GetClassNameA(w, name, sizeof name);
  return name;
}

void PrintItems(HWND w, const std::string& cls) {
  UINT count_msg, len_msg, text_msg;
  if (lstrcmpiA(cls.c_str(), "ListBox") == 0) {
    count_msg = LB_GETCOUNT, len_msg = LB_GETTEXTLEN, text_msg = LB_GETTEXT;
  } else if (lstrcmpiA(cls.c_str(), "ComboBox") == 0) {
    count_msg = CB_GETCOUNT, len_msg = CB_GETLBTEXTLEN, text_msg = CB_GETLBTEXT;
  } else {
    return;
  }
  LRESULT count = Ask(w, count_msg, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring text(Ask(w, len_msg, i, 0) + 1, L'\0');
    LRESULT n = Ask(w, text_msg, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(n < 0 ? 0 : n);
    std::printf("item %s %d %ld ", cls.c_str(), GetDlgCtrlID(w), static_cast<long>(i));
    PrintText(text);
  }
}

BOOL CALLBACK PrintChild(HWND w, LPARAM) {
  std::string cls = ClassOf(w);
  std::printf("control %s %d ", cls.c_str(), GetDlgCtrlID(w));
  PrintText(WindowText(w));
  PrintItems(w, cls);
  return TRUE;
}

struct Search {
  const char* cls;  // nullptr: any class
  HWND found;
};

BOOL CALLBACK MatchTop(HWND w, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  // A modal dialog disables its owner, so requiring an enabled window picks
  // the one the user can act on.
  if (pid != g_child.dwProcessId || !IsWindowVisible(w) || !IsWindowEnabled(w) ||
      g_pressed.count(w) || (s->cls && lstrcmpiA(ClassOf(w).c_str(), s->cls) != 0))
    return TRUE;
  s->found = w;
  return FALSE;
}

void WaitWindow(const char* cls) {
  Search s{cls, nullptr};
  for (DWORD start = GetTickCount(); GetTickCount() - start < g_timeout_ms; Sleep(50)) {
    EnumWindows(MatchTop, reinterpret_cast<LPARAM>(&s));
    if (s.found) break;
    if (WaitForSingleObject(g_child.hProcess, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(g_child.hProcess, &code);
      throw Failure("program ended with code " + std::to_string(code) + " instead of showing a window");
    }
  }
  if (!s.found) throw Failure("no window within " + std::to_string(g_timeout_ms) + " ms");
  g_window = s.found;
  // Controls are filled in after the window appears; give them a moment.
  Sleep(200);
  std::printf("window %s\ncaption ", ClassOf(g_window).c_str());
  PrintText(WindowText(g_window));
  EnumChildWindows(g_window, PrintChild, 0);
}

void Press(int id, bool need_button) {
  if (!g_window || !IsWindow(g_window)) throw Failure("no window to send to");
  HWND button = GetDlgItem(g_window, id);
  if (need_button) {
    if (!button) throw Failure("window has no control " + std::to_string(id));
    // Posting WM_COMMAND bypasses the button itself, so a disabled button
    // would otherwise appear to work.
    if (!IsWindowEnabled(button) || !IsWindowVisible(button))
      throw Failure("control " + std::to_string(id) + " is disabled or hidden");
  }
  PostMessageW(g_window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               need_button ? reinterpret_cast<LPARAM>(button) : 0);
  if (ClassOf(g_window) == "#32770") g_pressed.insert(g_window);
}

void WaitExit(const std::string& expected) {
  if (WaitForSingleObject(g_child.hProcess, g_timeout_ms) != WAIT_OBJECT_0)
    throw Failure("program still running after " + std::to_string(g_timeout_ms) + " ms");
  DWORD code = 0;
  GetExitCodeProcess(g_child.hProcess, &code);
  std::printf("exit %lu\n", static_cast<unsigned long>(code));
  if (expected != "any" && std::to_string(code) != expected)
    throw Failure("exit code " + std::to_string(code) + ", expected " + expected);
}

bool IsStep(const std::string& word) {
  for (const char* name : {"box", "window", "press", "command", "pause", "exit"})
    if (word == name) return true;
  return false;
}

int Number(const std::string& word) {
  char* end = nullptr;
  long v = std::strtol(word.c_str(), &end, 0);
  if (word.empty() || *end) throw Failure("not a number: '" + word + "'");
  return static_cast<int>(v);
}

void RunSteps(const std::vector<std::string>& words) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& step = words[i];
    if (!IsStep(step)) throw Failure("unknown step '" + step + "'");
    bool takes_arg = step != "box" && (step != "window" || (i + 1 < words.size() && !IsStep(words[i + 1])));
    if (takes_arg && i + 1 >= words.size()) throw Failure("step '" + step + "' needs an argument");
    std::string arg = takes_arg ? words[++i] : "";
    std::printf("step %s%s%s\n", step.c_str(), takes_arg ? " " : "", arg.c_str());
    if (step == "box") {
      WaitWindow("#32770");
    } else if (step == "window") {
      WaitWindow(takes_arg ? arg.c_str() : nullptr);
    } else if (step == "press" || step == "command") {
      Press(Number(arg), step == "press");
    } else if (step == "pause") {
      Sleep(Number(arg));
    } else {
      WaitExit(arg);
    }
    std::fflush(stdout);
  }
}

// Quotes one argument so that the child's CommandLineToArgv/CRT sees it
// unchanged (backslashes only double in front of a quote).
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L'"';
}

// Wine hands Unix paths through unchanged, but Windows file APIs read
// "/tmp/x" as "C:\tmp\x"; Wine's own export maps it to the right drive.
std::wstring DosPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  using ToDos = WCHAR* (*)(const char*);
  auto to_dos = reinterpret_cast<ToDos>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_dos_file_name")));
  if (!to_dos) return path;
  WCHAR* dos = to_dos(Convert(path, CP_UTF8).c_str());
  if (!dos) return path;
  std::wstring out = dos;
  HeapFree(GetProcessHeap(), 0, dos);
  return out;
}

std::vector<std::string> ReadScript(const std::wstring& path) {
  FILE* f = _wfopen(DosPath(path).c_str(), L"rb");
  if (!f) throw Failure("cannot open script " + Convert(path, CP_UTF8));
  std::vector<std::string> words;
  char line[1024];
  while (std::fgets(line, sizeof line, f)) {
    if (char* hash = std::strchr(line, '#')) *hash = '\0';
    for (char* w = std::strtok(line, " \t\r\n"); w; w = std::strtok(nullptr, " \t\r\n"))
      words.push_back(w);
  }
  std::fclose(f);
  return words;
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);  // keep '\n', not "\r\n", for grep
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  LocalFree(argv);

  std::vector<std::string> steps;
  std::wstring command_line;
  size_t i = 0;
  try {
    for (; i < args.size() && args[i].rfind(L"--", 0) == 0 && args[i] != L"--"; i += 2) {
      if (i + 1 >= args.size()) throw Failure("option needs a value");
      if (args[i] == L"--timeout") {
        g_timeout_ms = static_cast<DWORD>(std::wcstoul(args[i + 1].c_str(), nullptr, 10));
      } else if (args[i] == L"--script") {
        steps = ReadScript(args[i + 1]);
      } else {
        throw Failure("unknown option " + Convert(args[i], CP_UTF8));
      }
    }
    if (i >= args.size() || args[i] == L"--") throw Failure("no program given");
    command_line = Quote(DosPath(args[i]));
    for (++i; i < args.size() && args[i] != L"--"; ++i) command_line += L" " + Quote(args[i]);
    for (++i; i < args.size(); ++i) steps.push_back(Convert(args[i], CP_UTF8));
  } catch (const Failure& e) {
    std::fprintf(stderr,
                 "wine_driver: %s\nusage: wine_driver.exe [--timeout MS] [--script FILE] PROGRAM "
                 "[ARG...] [-- STEP...]\n",
                 e.what());
    return 2;
  }

  std::printf("run %s\n", Convert(command_line, CP_UTF8).c_str());
  std::fflush(stdout);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &g_child)) {
    std::printf("FAIL cannot start program (error %lu)\n", GetLastError());
    return 1;
  }
  int status = 0;
  try {
    RunSteps(steps);
    std::printf("PASS\n");
  } catch (const Failure& e) {
    std::printf("FAIL %s\n", e.what());
    status = 1;
  }
  // A program left running would keep wineserver, and so the test, alive.
  if (WaitForSingleObject(g_child.hProcess, 0) != WAIT_OBJECT_0) {
    std::printf("killed program still running\n");
    TerminateProcess(g_child.hProcess, 255);
  }
  std::fflush(stdout);
  return status;
}
