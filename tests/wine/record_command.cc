// Stands in for the command interpreter: appends the command line it was
// started with, as one line, to a file named after itself plus ".txt"
// (record_command.exe writes record_command.exe.txt), and does nothing else.
#include <windows.h>

int main() {
  char own[MAX_PATH + 8];
  DWORD n = GetModuleFileNameA(nullptr, own, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  lstrcpyA(own + n, ".txt");
  // Appended in one write, so that two of us started at once keep whole lines.
  HANDLE log = CreateFileA(own, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return 1;
  static char line[32768];
  int length = lstrlenA(GetCommandLineA());
  if (length > static_cast<int>(sizeof line) - 1) length = sizeof line - 1;
  CopyMemory(line, GetCommandLineA(), length);
  line[length] = '\n';
  DWORD written = 0;
  bool ok = WriteFile(log, line, length + 1, &written, nullptr) && written == DWORD(length + 1);
  CloseHandle(log);
  return ok ? 0 : 1;
}
