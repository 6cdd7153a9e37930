// The main window of tarnwell.exe and the hooks the core calls. Everything runs
// on one thread: long work keeps the window alive by pumping the messages that
// are already waiting, so every handler that could start work or destroy the
// window first looks at BusyState.
#include <windows.h>
#include <commdlg.h>

#include <cstdlib>
#include <string>

#include "app/startup.h"
#include "messages/catalogue.h"
#include "platform/names.h"
#include "state/run_state.h"
#include "state/front_end.h"

namespace tw {
namespace {

const char kClassName[] = "Kestrin GUI";
// The pages behind the two links.
const char kLinkWhatIsAPatch[] = "https://tarnwell.example/what-is-a-patch";
const char kLinkMakeYourOwn[] = "https://tarnwell.example/make-your-own";
constexpr COLORREF kLinkBlue = 0xEE0000;

HINSTANCE g_instance = nullptr;
HWND g_main = nullptr;
HWND g_exit_button = nullptr;
HWND g_apply_button = nullptr;
HWND g_browse_button = nullptr;
HWND g_target_edit = nullptr;
HWND g_description_box = nullptr;
HWND g_progress_log = nullptr;

void SetControlText(HWND control, const std::string& text) {
  std::string shown = text.size() >= 2 && text.compare(0, 2, ".\\") == 0 ? text.substr(2) : text;
  SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(shown.c_str()));
  PumpPendingMessages();
}

std::string GetControlText(HWND control) {
  char buf[998];
  LRESULT n = SendMessageA(control, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf));
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// Width in pixels of text in the system font in which the labels are drawn.
int TextWidth(const char* text) {
  HDC dc = GetDC(g_main);
  SIZE size{};
  GetTextExtentPointA(dc, text, static_cast<int>(strlen(text)), &size);
  ReleaseDC(g_main, dc);
  return size.cx;
}

HWND Control(HWND parent, const char* cls, const char* text, DWORD ex_style, DWORD style, int x,
             int y, int w, int h) {
  return CreateWindowExA(ex_style, cls, text, style, x, y, w, h, parent, nullptr, g_instance,
                         nullptr);
}

void CreateControls(HWND hwnd) {
  g_main = hwnd;
  g_exit_button = Control(hwnd, "BUTTON", "", 0, 0x50000300, 519, 342, 65, 25);
  g_apply_button = Control(hwnd, "BUTTON", kApplyButtonText, 0, 0x50000300, 449, 342, 65, 25);
  g_browse_button = Control(hwnd, "BUTTON", kBrowseButtonText, 0, 0x50000300, 519, 160, 65, 25);
  int label = TextWidth(kTargetLabel);
  g_target_edit = Control(hwnd, "EDIT", "", WS_EX_CLIENTEDGE, 0x50000000, 25 + label, 160,
                          475 - label, 25);
  g_description_box = Control(hwnd, "EDIT", "", WS_EX_CLIENTEDGE, 0x50200804, 10, 25, 575, 125);
  g_progress_log = Control(hwnd, "LISTBOX", "", WS_EX_CLIENTEDGE, 0x50304000, 9, 215, 575, 125);
  SendMessageA(g_description_box, WM_SETFONT,
               reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), TRUE);
  SetBusyState(0);
}

void Label(HDC dc, int x, int y, const char* text) {
  TextOutA(dc, x, y, text, static_cast<int>(strlen(text)));
}

void Paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  // The class has no background brush, so the window erases its own.
  if (ps.fErase) FillRect(dc, &ps.rcPaint, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  SetBkMode(dc, TRANSPARENT);
  Label(dc, 15, 164, kTargetLabel);
  Label(dc, 15, 4, kDescriptionLabel);
  Label(dc, 15, 195, kProgressLabel);
  Label(dc, 10, 347, kLinksLabel);
  SetTextColor(dc, kLinkBlue);
  Label(dc, 57, 347, kLink1Text);
  Label(dc, 57, 347, "_____________");
  Label(dc, 175, 347, kLink2Text);
  Label(dc, 175, 347, "___________________");
  EndPaint(hwnd, &ps);
}

void BrowseForTarget() {
  std::string initial = GetControlText(g_target_edit);
  if (EndsWithBackslash(initial)) initial += '.';
  char file[250] = {};
  // A longer name than the dialog's buffer is cut, never written past it.
  initial.copy(file, sizeof file - 1);
  OPENFILENAMEA ofn = {};
#ifdef _WIN64
  // 64-bit Windows knows only the structure of its own layout, whose
  // pointers are 8 bytes wide.
  ofn.lStructSize = sizeof ofn;
#else
  ofn.lStructSize = 76;  // the size every 32-bit Windows version accepts
#endif
  ofn.hwndOwner = g_main;
  ofn.hInstance = g_instance;
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file;
  ofn.lpstrTitle = kBrowseTitle;
  ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  if (GetOpenFileNameA(&ofn)) {
    g_run.TargetPath = file;
    SetControlText(g_target_edit, file);
  }
  SetBusyState(0);
}

void Command(HWND control) {
  if (g_run.BusyState != 0) return;
  if (control == g_exit_button) {
    DestroyWindow(g_main);
  } else if (control == g_browse_button) {
    BrowseForTarget();
  } else if (control == g_apply_button) {
    g_run.TargetPath = GetControlText(g_target_edit);
    if (!g_run.TargetPath.empty()) StartRun();
  }
}

// "C:\..." or "\\server\...": a path that no search completes.
bool IsFullPath(const std::string& path) {
  return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
         path.compare(0, 2, "\\\\") == 0;
}

// The command interpreter named by %ComSpec%, or else the system folder's own.
// A bare name would be looked for in the current folder and the program's
// folder first, where a downloaded file could stand in for it.
std::string CommandInterpreter() {
  char buf[MAX_PATH + 1];
  DWORD n = GetEnvironmentVariableA("ComSpec", buf, sizeof buf);
  if (n > 0 && n < sizeof buf && IsFullPath(std::string(buf, n))) return std::string(buf, n);
  n = GetSystemDirectoryA(buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return std::string();
  std::string folder(buf, n);
  if (!EndsWithBackslash(folder)) folder += '\\';
  return folder + "cmd.exe";
}

// "start" is a command of the interpreter, not a program WinExec could run,
// so the interpreter is started to run it. The empty title keeps start from
// taking a quoted address for one. Hidden, and a failure shows nothing.
void OpenLink(const char* address) {
  std::string interpreter = CommandInterpreter();
  if (interpreter.empty()) return;
  std::string command = "\"" + interpreter + "\" /c start \"\" " + address;
  WinExec(command.c_str(), SW_HIDE);
}

void Click(LPARAM lparam) {
  unsigned x = LOWORD(lparam), y = HIWORD(lparam);
  if (y < 349 || y > 361) return;
  if (x >= 16 && x <= 173) {
    OpenLink(kLinkWhatIsAPatch);
  } else if (x >= 174 && x <= 238) {
    OpenLink(kLinkMakeYourOwn);
  }
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_CREATE:
      CreateControls(hwnd);
      return 0;
    case WM_PAINT:
      Paint(hwnd);
      return 0;
    case WM_CLOSE:
      if (g_run.BusyState == 0) {
        DestroyWindow(hwnd);
      } else if (MessageBoxA(hwnd, kCloseQuestionText, kCloseQuestionCaption,
                             MB_YESNO | MB_ICONEXCLAMATION) == IDYES) {
        g_run.CancelRequested = g_run.ExitAfterStop = true;
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_SETCURSOR:
      SetCursor(LoadCursorA(nullptr, g_run.BusyState == 0 ? IDC_ARROW : IDC_WAIT));
      return 0;
    case WM_SYSCHAR:
      if (g_run.BusyState == 0) {
        HWND button = wparam == 'e' ? g_exit_button
                      : wparam == 'b' ? g_browse_button
                      : wparam == 'a' ? g_apply_button
                                      : nullptr;
        if (button) SendMessageA(hwnd, WM_COMMAND, 0, reinterpret_cast<LPARAM>(button));
      }
      return 0;
    case WM_COMMAND:
      Command(reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_LBUTTONDOWN:
      Click(lparam);
      return 0;
    default:
      return DefWindowProcA(hwnd, msg, wparam, lparam);
  }
}

}  // namespace

bool CreateMainWindow() {
  g_instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = g_instance;
  wc.hIcon = LoadIconA(g_instance, "PATCHICON");
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.lpszClassName = kClassName;
  if (!RegisterClassExA(&wc)) {
    MessageBoxA(nullptr, "Windows class failure", kClassFailureCaption, MB_ICONERROR);
    std::exit(255);
  }
  int x = (GetSystemMetrics(SM_CXFULLSCREEN) - 600) / 2;
  int y = (GetSystemMetrics(SM_CYFULLSCREEN) - 405) / 2;
  HWND hwnd = CreateWindowExA(0, kClassName, kWindowTitle, 0x00C80000, x, y, 600, 405, nullptr,
                              nullptr, g_instance, nullptr);
  return hwnd != nullptr;
}

void ShowMainWindow() {
  ShowWindow(g_main, SW_SHOWNORMAL);
  UpdateWindow(g_main);
}

void UnregisterMainWindowClass() { UnregisterClassA(kClassName, g_instance); }

void PumpPendingMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // The message loop must still see it, or the program would never end.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

int RunMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}

void ShowTargetText(const std::string& text) { SetControlText(g_target_edit, text); }

void ShowDescription(const char* text) {
  // Every byte 1 becomes CR CR LF, a line break in the multi-line box; the
  // expanded text is bounded by the box's buffer.
  std::string shown;
  for (const char* p = text; *p != '\0' && shown.size() < 2003; ++p) {
    if (*p == '\x01') {
      if (shown.size() + 3 > 2003) break;
      shown += "\r\r\n";
    } else {
      shown += *p;
    }
  }
  SendMessageA(g_description_box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(shown.c_str()));
}

void ProgressAdd(const std::string& line) {
  SendMessageA(g_progress_log, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}
void ProgressDelete(int index) { SendMessageA(g_progress_log, LB_DELETESTRING, index, 0); }
void ProgressSetTop(int index) { SendMessageA(g_progress_log, LB_SETTOPINDEX, index, 0); }
void ProgressReset() { SendMessageA(g_progress_log, LB_RESETCONTENT, 0, 0); }

int ShowMessageBox(bool owned, const std::string& text, const std::string& caption,
                   unsigned type) {
  return MessageBoxA(owned ? g_main : nullptr, text.c_str(), caption.c_str(), type);
}

void SetBusyState(uint8_t state) {
  g_run.BusyState = state;
  if (state == 0) {
    SetControlText(g_exit_button, kExitButtonText);
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
  } else if (state == 2) {
    SetControlText(g_exit_button, kExitButtonText);
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
  }
}

void LockAfterSuccess() {
  ShowWindow(g_apply_button, SW_HIDE);
  EnableWindow(g_browse_button, FALSE);
  EnableWindow(g_target_edit, FALSE);
}

void DestroyMainWindow() { DestroyWindow(g_main); }

}  // namespace tw
