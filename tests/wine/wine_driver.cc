// Drives a Win32 GUI program under Wine the way a user would, from another
// process and through window messages only: starts it, waits for its windows,
// reports what they show, clicks, types, closes and checks the exit code.
//
//   wine_driver.exe [--timeout MS] [--cd DIR] [--shots DIR] [--script FILE]
//                   [--env NAME=VALUE]... PROGRAM [ARG...] [-- STEP...]
//
// --cd sets the program's working folder. --shots names a folder shared with
// a screenshot taker (see "shot"). --env sets a variable in the program's
// environment (Unix variables of the same name may be overridden by Wine's
// registry on the way in; this one is handed over as it is).
//
// Steps (from FILE, one per line, '#' starts a comment, 'single quotes' group
// words; then from after --). "The window" is the one the last box/window
// step found:
//   box             wait for a dialog box (class #32770) of the program, print it
//   window [CLASS]  wait for any (or a CLASS) enabled top-level window, print it
//   show            print the window again
//   until TEXT      print the window again every 100 ms until TEXT is in it
//   expect TEXT     fail unless TEXT is in what the window printed last
//   absent TEXT     fail if TEXT is in what the window printed last
//   press ID        click button ID of a dialog (IDOK=1 IDCANCEL=2 IDYES=6 IDNO=7)
//   command ID      post WM_COMMAND ID to the window, as a menu item does
//   click CLASS N   click (BM_CLICK) the Nth CLASS control of the window
//   clickat X Y     press and release the left mouse button at client point
//                   X Y of the window itself (WM_LBUTTONDOWN, WM_LBUTTONUP)
//   type CLASS N T  set the text of the Nth CLASS control to T (WM_SETTEXT)
//   close           post WM_CLOSE to the window, as its close box does
//   closefast CLASS wait for a CLASS window and post WM_CLOSE the moment it
//                   shows, for a run that starts with it and must still be going
//   alt CHAR        post WM_SYSCHAR CHAR (Alt+CHAR) to the window
//   measure TEXT    print the width of TEXT in the window's default font
//   shot NAME       create NAME.request in the --shots folder, wait until it is gone
//   pause MS        sleep
//   exit CODE|any   wait for the program to end and check its exit code
// N counts the window's own controls of that class from 1 in creation order.
//
// Output is UTF-8 with '\n' line ends, one fact per line, so tests can grep
// (CR and LF inside texts are written as \r and \n):
//   window CLASS                  a window found or printed again
//   caption "…" big5=hex          its title
//   rect X Y W H                  its outer rectangle on the screen
//   client X Y W H                its client area, the origin on the screen
//   style STYLE EXSTYLE           its styles, in hex
//   control CLASS ID N X Y W H shown|hidden enabled|disabled STYLE EXSTYLE "…" big5=hex
//                                 each own control, position in client coordinates
//   itemheight CLASS N H          the line height of a list box
//   item CLASS N INDEX "…" big5=hex   each line of a list box / combo box
//   screen W H S                  SM_CXFULLSCREEN, SM_CYFULLSCREEN, SM_CYHSCROLL
//   width W "…"                   from measure
//   retry …                       Wine lost the program at start-up; started again
// "big5=" holds the text in code page 950, i.e. the bytes the program itself
// handled through the ANSI API. Exit status: 0 all steps passed, 1 a step
// failed (the program is then killed), 2 bad usage.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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
HWND g_window = nullptr;   // the window the steps act on
std::string g_printed;     // what printing it gave last
std::set<HWND> g_pressed;  // dialogs already answered; they may linger a moment
std::wstring g_shots;      // folder of screenshot requests

std::string Convert(const std::wstring& w, UINT code_page) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(code_page, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(code_page, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// "text" big5=hex. The hex is the exact check: a Big5 text that went through
// the wrong code page still looks plausible once printed as UTF-8.
std::string Quoted(const std::wstring& text) {
  std::string out = "\"";
  for (char c : Convert(text, CP_UTF8)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  out += "\" big5=";
  char hex[3];
  for (unsigned char c : Convert(text, 950)) {
    std::snprintf(hex, sizeof hex, "%02x", c);
    out += hex;
  }
  return out;
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

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

// The window's own controls (not theirs) in creation order: Wine, like
// Windows, links each new child below its older siblings.
std::vector<HWND> Controls(HWND parent) {
  std::vector<HWND> out;
  for (HWND w = GetWindow(parent, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) out.push_back(w);
  return out;
}

HWND Control(const std::string& cls, int n) {
  if (!g_window || !IsWindow(g_window)) throw Failure("no window to act on");
  int seen = 0;
  for (HWND w : Controls(g_window)) {
    if (lstrcmpiA(ClassOf(w).c_str(), cls.c_str()) == 0 && ++seen == n) return w;
  }
  throw Failure("the window has no " + cls + " number " + std::to_string(n));
}

std::string Items(HWND w, const std::string& cls, int n) {
  UINT count_msg, len_msg, text_msg;
  if (lstrcmpiA(cls.c_str(), "ListBox") == 0) {
    count_msg = LB_GETCOUNT, len_msg = LB_GETTEXTLEN, text_msg = LB_GETTEXT;
  } else if (lstrcmpiA(cls.c_str(), "ComboBox") == 0) {
    count_msg = CB_GETCOUNT, len_msg = CB_GETLBTEXTLEN, text_msg = CB_GETLBTEXT;
  } else {
    return {};
  }
  std::string out;
  if (count_msg == LB_GETCOUNT) {
    out += Line("itemheight %s %d %ld\n", cls.c_str(), n,
                static_cast<long>(Ask(w, LB_GETITEMHEIGHT, 0, 0)));
  }
  LRESULT count = Ask(w, count_msg, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring text(Ask(w, len_msg, i, 0) + 1, L'\0');
    LRESULT got = Ask(w, text_msg, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(got < 0 ? 0 : got);
    out += Line("item %s %d %ld ", cls.c_str(), n, static_cast<long>(i)) + Quoted(text) + "\n";
  }
  return out;
}

std::string Describe(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  RECT client{};
  GetClientRect(window, &client);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  std::string out = "window " + ClassOf(window) + "\ncaption " + Quoted(WindowText(window)) + "\n";
  out +=
      Line("rect %ld %ld %ld %ld\nclient %ld %ld %ld %ld\nstyle 0x%08lx 0x%08lx\n", r.left, r.top,
           r.right - r.left, r.bottom - r.top, origin.x, origin.y, client.right, client.bottom,
           GetWindowLongW(window, GWL_STYLE), GetWindowLongW(window, GWL_EXSTYLE));
  std::map<std::string, int> numbers;
  for (HWND w : Controls(window)) {
    std::string cls = ClassOf(w);
    int n = ++numbers[cls];
    RECT c{};
    GetWindowRect(w, &c);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&c), 2);
    out +=
        Line("control %s %d %d %ld %ld %ld %ld %s %s 0x%08lx 0x%08lx ", cls.c_str(),
             GetDlgCtrlID(w), n, c.left, c.top, c.right - c.left, c.bottom - c.top,
             IsWindowVisible(w) ? "shown" : "hidden", IsWindowEnabled(w) ? "enabled" : "disabled",
             GetWindowLongW(w, GWL_STYLE), GetWindowLongW(w, GWL_EXSTYLE)) +
        Quoted(WindowText(w)) + "\n";
    out += Items(w, cls, n);
  }
  return out;
}

void Print() {
  if (!g_window || !IsWindow(g_window)) throw Failure("the window is gone");
  g_printed = Describe(g_window);
  std::fputs(g_printed.c_str(), stdout);
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

void ThrowIfEnded(const char* instead) {
  if (WaitForSingleObject(g_child.hProcess, 0) != WAIT_OBJECT_0) return;
  DWORD code = 0;
  GetExitCodeProcess(g_child.hProcess, &code);
  throw Failure("program ended with code " + std::to_string(code) + " instead of " + instead);
}

// Sets g_window to the first window of the class (any with nullptr) to show,
// looking every poll_ms.
void FindWindowOf(const char* cls, DWORD poll_ms) {
  Search s{cls, nullptr};
  for (DWORD start = GetTickCount(); GetTickCount() - start < g_timeout_ms; Sleep(poll_ms)) {
    EnumWindows(MatchTop, reinterpret_cast<LPARAM>(&s));
    if (s.found) break;
    ThrowIfEnded("showing a window");
  }
  if (!s.found) throw Failure("no window within " + std::to_string(g_timeout_ms) + " ms");
  g_window = s.found;
}

void WaitWindow(const char* cls) {
  FindWindowOf(cls, 50);
  // Controls are filled in after the window appears; give them a moment.
  Sleep(200);
  Print();
}

void Until(const std::string& text) {
  for (DWORD start = GetTickCount();; Sleep(100)) {
    ThrowIfEnded("showing the text");
    if (!g_window || !IsWindow(g_window)) throw Failure("the window is gone");
    g_printed = Describe(g_window);
    if (g_printed.find(text) != std::string::npos) break;
    if (GetTickCount() - start >= g_timeout_ms) {
      std::fputs(g_printed.c_str(), stdout);
      throw Failure("no '" + text + "' within " + std::to_string(g_timeout_ms) + " ms");
    }
  }
  std::fputs(g_printed.c_str(), stdout);
}

void Expect(const std::string& text, bool present) {
  if ((g_printed.find(text) != std::string::npos) != present)
    throw Failure(std::string(present ? "missing" : "unexpected") + " '" + text + "'");
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

// A user can neither click nor type into a control that is hidden or greyed.
HWND UsableControl(const std::string& cls, int n) {
  HWND w = Control(cls, n);
  if (!IsWindowVisible(w) || !IsWindowEnabled(w))
    throw Failure(cls + " number " + std::to_string(n) + " is disabled or hidden");
  return w;
}

// Posted, not sent: the click may start work that runs for long or opens a
// modal box, and the driver must be free to watch it.
void Click(const std::string& cls, int n) { PostMessageW(UsableControl(cls, n), BM_CLICK, 0, 0); }

// Where a window paints something clickable itself, such as a link.
void ClickAt(int x, int y) {
  if (!g_window || !IsWindow(g_window)) throw Failure("no window to click in");
  LPARAM at = MAKELPARAM(x, y);
  PostMessageW(g_window, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(g_window, WM_LBUTTONUP, 0, at);
}

void Type(const std::string& cls, int n, const std::string& text) {
  std::wstring w = Widen(text);
  if (!Ask(UsableControl(cls, n), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w.c_str())))
    throw Failure("the control refused the text");
}

void PostToWindow(UINT msg, WPARAM wp, LPARAM lp) {
  if (!g_window || !IsWindow(g_window)) throw Failure("no window to send to");
  PostMessageW(g_window, msg, wp, lp);
}

void Measure(const std::string& text) {
  if (!g_window || !IsWindow(g_window)) throw Failure("no window to measure in");
  std::wstring w = Widen(text);
  HDC dc = GetDC(g_window);
  SIZE size{};
  GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
  ReleaseDC(g_window, dc);
  std::printf("width %ld %s\n", size.cx, Quoted(w).c_str());
}

void Shot(const std::string& name) {
  if (g_shots.empty()) throw Failure("shot needs --shots");
  std::wstring request = g_shots + L"\\" + Widen(name) + L".request";
  HANDLE h = CreateFileW(request.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw Failure("cannot create " + Convert(request, CP_UTF8));
  CloseHandle(h);
  for (DWORD start = GetTickCount(); GetFileAttributesW(request.c_str()) != INVALID_FILE_ATTRIBUTES;
       Sleep(50)) {
    if (GetTickCount() - start >= g_timeout_ms) throw Failure("no screenshot taken of " + name);
  }
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

// How many arguments each step takes; "window" takes its class only when one
// follows.
const std::map<std::string, int> kSteps = {
    {"box", 0},     {"window", 1},  {"show", 0},  {"until", 1}, {"expect", 1}, {"absent", 1},
    {"press", 1},   {"command", 1}, {"click", 2}, {"type", 3},  {"close", 0},  {"alt", 1},
    {"measure", 1}, {"shot", 1},    {"pause", 1}, {"exit", 1},  {"clickat", 2},
    {"closefast", 1}};

int Number(const std::string& word) {
  char* end = nullptr;
  long v = std::strtol(word.c_str(), &end, 0);
  if (word.empty() || *end) throw Failure("not a number: '" + word + "'");
  return static_cast<int>(v);
}

void RunSteps(const std::vector<std::string>& words) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& step = words[i];
    auto known = kSteps.find(step);
    if (known == kSteps.end()) throw Failure("unknown step '" + step + "'");
    size_t takes = known->second;
    if (step == "window" && (i + 1 >= words.size() || kSteps.count(words[i + 1]))) takes = 0;
    if (i + takes >= words.size()) throw Failure("step '" + step + "' needs more arguments");
    std::vector<std::string> arg(words.begin() + i + 1, words.begin() + i + 1 + takes);
    i += takes;
    std::string shown = step;
    for (const std::string& a : arg) shown += " " + a;
    std::printf("step %s\n", shown.c_str());
    std::fflush(stdout);
    if (step == "box") {
      WaitWindow("#32770");
    } else if (step == "window") {
      WaitWindow(takes ? arg[0].c_str() : nullptr);
    } else if (step == "show") {
      Print();
    } else if (step == "until") {
      Until(arg[0]);
    } else if (step == "expect" || step == "absent") {
      Expect(arg[0], step == "expect");
    } else if (step == "press" || step == "command") {
      Press(Number(arg[0]), step == "press");
    } else if (step == "click") {
      Click(arg[0], Number(arg[1]));
    } else if (step == "clickat") {
      ClickAt(Number(arg[0]), Number(arg[1]));
    } else if (step == "type") {
      Type(arg[0], Number(arg[1]), arg[2]);
    } else if (step == "close") {
      PostToWindow(WM_CLOSE, 0, 0);
    } else if (step == "closefast") {
      // A run of the program starts as its window shows and handles the
      // message at its first look at the queue, however fast it is.
      FindWindowOf(arg[0].c_str(), 1);
      PostToWindow(WM_CLOSE, 0, 0);
    } else if (step == "alt") {
      if (arg[0].size() != 1) throw Failure("alt takes one character");
      // Bit 29: the Alt key is down.
      PostToWindow(WM_SYSCHAR, static_cast<unsigned char>(arg[0][0]), 0x20000001);
    } else if (step == "measure") {
      Measure(arg[0]);
    } else if (step == "shot") {
      Shot(arg[0]);
    } else if (step == "pause") {
      Sleep(Number(arg[0]));
    } else {
      WaitExit(arg[0]);
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
  auto to_dos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_dos_file_name")));
  if (!to_dos) return path;
  WCHAR* dos = to_dos(Convert(path, CP_UTF8).c_str());
  if (!dos) return path;
  std::wstring out = dos;
  HeapFree(GetProcessHeap(), 0, dos);
  return out;
}

// Words of a script line; 'single quotes' group words (double quotes stay
// literal, since texts to look for often hold them).
std::vector<std::string> ReadScript(const std::wstring& path) {
  FILE* f = _wfopen(DosPath(path).c_str(), L"rb");
  if (!f) throw Failure("cannot open script " + Convert(path, CP_UTF8));
  std::vector<std::string> words;
  char line[2048];
  while (std::fgets(line, sizeof line, f)) {
    std::string word;
    bool quoted = false, any = false;
    for (const char* p = line; *p; ++p) {
      if (*p == '\'') {
        quoted = !quoted;
        any = true;
      } else if (!quoted && (*p == '#' || std::strchr(" \t\r\n", *p))) {
        if (any) words.push_back(word);
        word.clear();
        any = false;
        if (*p == '#') break;
      } else {
        word += *p;
        any = true;
      }
    }
    if (any) words.push_back(word);
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
  std::wstring command_line, folder;
  size_t i = 0;
  try {
    for (; i < args.size() && args[i].rfind(L"--", 0) == 0 && args[i] != L"--"; i += 2) {
      if (i + 1 >= args.size()) throw Failure("option needs a value");
      if (args[i] == L"--timeout") {
        g_timeout_ms = static_cast<DWORD>(std::wcstoul(args[i + 1].c_str(), nullptr, 10));
      } else if (args[i] == L"--cd") {
        folder = DosPath(args[i + 1]);
      } else if (args[i] == L"--shots") {
        g_shots = DosPath(args[i + 1]);
      } else if (args[i] == L"--script") {
        steps = ReadScript(args[i + 1]);
      } else if (args[i] == L"--env") {
        size_t eq = args[i + 1].find(L'=');
        if (eq == 0 || eq == std::wstring::npos) throw Failure("--env needs NAME=VALUE");
        // The child inherits the driver's environment.
        SetEnvironmentVariableW(args[i + 1].substr(0, eq).c_str(),
                                args[i + 1].substr(eq + 1).c_str());
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
                 "wine_driver: %s\nusage: wine_driver.exe [--timeout MS] [--cd DIR] [--shots DIR] "
                 "[--script FILE] [--env NAME=VALUE]... PROGRAM [ARG...] [-- STEP...]\n",
                 e.what());
    return 2;
  }

  std::printf("run %s\n", Convert(command_line, CP_UTF8).c_str());
  std::printf("screen %d %d %d\n", GetSystemMetrics(SM_CXFULLSCREEN),
              GetSystemMetrics(SM_CYFULLSCREEN), GetSystemMetrics(SM_CYHSCROLL));
  std::fflush(stdout);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // Now and then Wine loses a new process in its own start-up, while another
  // Wine program runs, and reports ERROR_INTERNAL_ERROR: the process ended
  // before Wine handed it over, before the program's own code ran, so
  // starting it again is safe and says nothing of the program.
  for (int tries = 1;; ++tries) {
    if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &g_child))
      break;
    DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || tries == 3) {
      std::printf("FAIL cannot start program (error %lu)\n", error);
      return 1;
    }
    std::printf("retry Wine lost the program at start-up\n");
    std::fflush(stdout);
    Sleep(500);
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
