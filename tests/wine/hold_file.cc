// Holds a file open the way a running program holds its own executable:
// others may read it, but nobody may write, rename or delete it.
//   hold_file.exe FILE FLAG
// Creates FLAG once the file is held, and lets go when FLAG is deleted.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  HANDLE flag = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (flag == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(flag);
  // A minute at most, so that a test that fails never leaves it behind.
  for (int i = 0; i < 600 && GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
  CloseHandle(held);
  return 0;
}
