// The maker on Windows: release folders and arguments are read through the
// wide (UTF-16) API, so that names in any language arrive intact whatever
// the system's ANSI code page; they are turned into the patch's code page
// only when stored.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "maker/release.h"

namespace tw {
namespace {

std::wstring Wide(const std::string& text, UINT code_page = CP_UTF8) {
  if (text.empty()) return L"";
  int n = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
  return w;
}

// Text in a code page, or false when some character has no exact form in it.
bool Narrow(const std::wstring& text, UINT code_page, std::string* out) {
  out->clear();
  if (text.empty()) return true;
  // UTF-8 and UTF-7 refuse the flag and the default-character report.
  const bool unicode = code_page == CP_UTF8 || code_page == CP_UTF7;
  const DWORD flags = unicode ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* used = unicode ? nullptr : &used_default;
  const int len = static_cast<int>(text.size());
  int n = WideCharToMultiByte(code_page, flags, text.data(), len, nullptr, 0, nullptr, used);
  if (n <= 0 || used_default) return false;
  out->resize(static_cast<size_t>(n));
  n = WideCharToMultiByte(code_page, flags, text.data(), len, out->data(), n, nullptr, used);
  return n > 0 && !used_default;
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  Narrow(text, CP_UTF8, &out);
  return out;
}

std::wstring Backslashed(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  return GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, data) != 0;
}

// The system's words for an error code, without the line break it ends in.
std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring w = n > 0 && text != nullptr ? std::wstring(text, n) : L"";
  if (text != nullptr) LocalFree(text);
  while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ' ||
                        w.back() == L'.')) {
    w.pop_back();
  }
  return w.empty() ? "error " + std::to_string(code) : Utf8(w);
}

// The absolute form of a path, "\" separated, without a trailing separator
// (but for a drive's root).
std::wstring FullWide(const std::string& path) {
  const std::wstring wide = Backslashed(Wide(path));
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full;
}

// The path a linked file finally leads to, absolute; empty when it leads nowhere.
std::wstring FinalPath(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return L"";
  wchar_t buf[32768];
  const DWORD n = GetFinalPathNameByHandleW(h, buf, 32768, FILE_NAME_NORMALIZED);
  CloseHandle(h);
  if (n == 0 || n >= 32768) return L"";
  std::wstring out(buf, n);
  if (out.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + out.substr(7);
  if (out.compare(0, 4, L"\\\\?\\") == 0) return out.substr(4);
  return out;
}

std::wstring Upper(std::wstring s) {
  if (!s.empty()) {
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, s.data(), static_cast<int>(s.size()), s.data(),
                 static_cast<int>(s.size()));
  }
  return s;
}

bool BelowWide(const std::wstring& path, const std::wstring& folder) {
  std::wstring p = Upper(path), f = Upper(folder);
  while (!f.empty() && f.back() == L'\\') f.pop_back();
  return p == f || (p.size() > f.size() && p.compare(0, f.size(), f) == 0 && p[f.size()] == L'\\');
}

// Files below folder (a wide path without a trailing separator), named
// relative to the root by prefix; real_root is where the release really is.
bool ListBelow(const std::wstring& folder, const std::string& prefix, const std::wstring& real_root,
               std::map<std::string, std::string>* files, std::map<std::string, std::string>* others,
               std::string* error) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot read the folder " + Utf8(folder) + ": " + SystemMessage(GetLastError());
    return false;
  }
  bool ok = true;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::string utf8 = Utf8(name);
    const std::wstring path = folder + L"\\" + name;
    // Other reparse points (deduplicated or cloud files) hold their data
    // where they are, as plain files and folders do.
    const bool linked = (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                        (fd.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                         fd.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A linked folder is not followed: it may lead outside the release, or
      // back into it for ever.
      if (linked) {
        (*others)[prefix + utf8] = "is a link to a folder";
      } else {
        ok = ListBelow(path, prefix + utf8 + "/", real_root, files, others, error);
      }
    } else if (linked) {
      const std::wstring real = FinalPath(path);
      if (real.empty()) {
        (*others)[prefix + utf8] = "is a link that leads nowhere";
      } else if (!BelowWide(real, real_root)) {
        (*others)[prefix + utf8] = "is a link to " + Utf8(real) + ", outside the release";
      } else {
        (*others)[prefix + utf8] = "";
        (*files)[prefix + utf8] = Utf8(path);
      }
    } else {
      (*files)[prefix + utf8] = Utf8(path);
    }
  } while (ok && FindNextFileW(h, &fd));
  FindClose(h);
  return ok;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  // UTF-8 out, byte for byte, as the other builds write it: no "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
  return args;
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& path) {
  const DWORD a = GetFileAttributesW(Wide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ListReleaseFiles(const std::string& root, std::map<std::string, std::string>* files,
                      std::map<std::string, std::string>* others, std::string* error) {
  std::wstring folder = Backslashed(Wide(root));
  while (folder.size() > 1 && folder.back() == L'\\' && folder[folder.size() - 2] != L':') {
    folder.pop_back();
  }
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  std::wstring real_root = FinalPath(folder);
  if (real_root.empty()) real_root = FullWide(Utf8(folder));
  return ListBelow(folder, "", real_root, files, others, error);
}

std::string ReadProblem(const std::string& path) {
  const std::wstring wide = Backslashed(Wide(path));
  const DWORD a = GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return SystemMessage(GetLastError());
  if (a & FILE_ATTRIBUTE_DIRECTORY) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((wide + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return SystemMessage(GetLastError());
    FindClose(h);
    return "";
  }
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return SystemMessage(GetLastError());
  CloseHandle(h);
  return "";
}

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return -1;
  return static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool IsSameOrInside(const std::string& path, const std::string& folder) {
  std::wstring f = FinalPath(Backslashed(Wide(folder)));
  if (f.empty()) f = FullWide(folder);
  std::wstring p = FullWide(path);
  // The path itself may not exist yet; its folder does.
  const size_t slash = p.find_last_of(L'\\');
  std::wstring parent = slash == std::wstring::npos ? L"" : FinalPath(p.substr(0, slash));
  if (!parent.empty()) p = parent + p.substr(slash);
  return BelowWide(p, f) || BelowWide(FullWide(path), FullWide(folder));
}

std::string BaseNameOf(const std::string& path) {
  const std::wstring full = FullWide(path);
  const size_t slash = full.find_last_of(L"\\:");
  return Utf8(slash == std::wstring::npos ? full : full.substr(slash + 1));
}

std::string NewScratchFile(const std::string& path, std::string* error) {
  for (unsigned k = 0; k < 1000; ++k) {
    const std::string name = path + ".tarnwell-make-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(k);
    HANDLE h = CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return name;
    }
    const DWORD e = GetLastError();
    if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) {
      *error = "cannot create " + name + ": " + SystemMessage(e);
      return "";
    }
  }
  *error = "cannot create a new file beside " + path;
  return "";
}

bool Publish(const std::string& from, const std::string& to, bool replace, std::string* error) {
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
    return true;
  }
  *error = SystemMessage(GetLastError());
  return false;
}

bool ReadWholeFile(const std::string& path, Bytes* out) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(h, &size) && size.QuadPart < 0x7FFFFFFF;
  if (ok) out->resize(static_cast<size_t>(size.QuadPart));
  for (size_t done = 0; ok && done < out->size();) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(out->size() - done, 1 << 24));
    ok = ReadFile(h, out->data() + done, want, &got, nullptr) && got > 0;
    done += got;
  }
  CloseHandle(h);
  return ok;
}

bool WriteWholeFile(const std::string& path, const Bytes& data) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < data.size();) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1 << 24));
    ok = WriteFile(h, data.data() + done, want, &put, nullptr) && put == want;
    done += put;
  }
  return CloseHandle(h) && ok;
}

int64_t ModifiedTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return 0;
  const int64_t ticks = static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 |
                        data.ftLastWriteTime.dwLowDateTime;
  // FILETIME counts 100 ns from 1601; whole seconds, as stat gives them.
  const int64_t since_1601 = ticks / 10000000;
  return since_1601 - 11644473600;
}

bool MoveOver(const std::string& from, const std::string& to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

void RemoveFile(const std::string& path) { DeleteFileW(Wide(path).c_str()); }

std::string NewWorkFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) return "";
  for (unsigned k = 0; k < 1000; ++k) {
    const std::wstring folder = std::wstring(temp) + L"tarnwell-make-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(k);
    if (CreateDirectoryW(folder.c_str(), nullptr)) return Utf8(folder);
    if (GetLastError() != ERROR_ALREADY_EXISTS) return "";
  }
  return "";
}

void RemoveFolder(const std::string& path) {
  const std::wstring folder = Backslashed(Wide(path));
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = folder + L"\\" + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveFolder(Utf8(child));
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(folder.c_str());
}

void MakeExecutable(const std::string&) {}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::string CorePathOf(const std::string& path) {
  const std::wstring wide = Backslashed(Wide(path));
  std::string ansi;
  if (Narrow(wide, CP_ACP, &ansi)) return ansi;
  // The short (8.3) form of an existing path is often plain ASCII.
  wchar_t buf[MAX_PATH];
  const DWORD n = GetShortPathNameW(wide.c_str(), buf, MAX_PATH);
  if (n > 0 && n < MAX_PATH && Narrow(std::wstring(buf, n), CP_ACP, &ansi)) return ansi;
  return "";
}

std::string PathFromCore(const std::string& core_path) { return Utf8(Wide(core_path, CP_ACP)); }

bool ToCodePage(const std::string& utf8, int code_page, std::string* out) {
  // Text that is not UTF-8 would turn into U+FFFD and be stored as "?".
  if (!utf8.empty() && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                           static_cast<int>(utf8.size()), nullptr, 0) == 0) {
    return false;
  }
  return Narrow(Wide(utf8), static_cast<UINT>(code_page), out);
}

// The core hands patch bytes over unchanged.
std::string Utf8FromCore(const std::string& text, int code_page) {
  return Utf8(Wide(text, static_cast<UINT>(code_page)));
}

// The core passes the patch's bytes through; nothing to tell it.
void UsePatchCodePage(int) {}

std::string NameKey(const std::string& utf8_name) {
  std::wstring key = Backslashed(Wide(utf8_name));
  if (!key.empty()) {
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, key.data(), static_cast<int>(key.size()),
                 key.data(), static_cast<int>(key.size()));
  }
  return Utf8(key);
}

uint32_t DosTimeOf(int64_t unix_seconds) {
  const int64_t ticks = (unix_seconds + 11644473600) * 10000000;
  FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc, local;
  // The zone's rules at that moment, daylight saving included, as localtime
  // applies them (FileTimeToLocalFileTime would apply today's).
  if (unix_seconds < 0 || !FileTimeToSystemTime(&ft, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) || local.wYear < 1980) {
    return (1u << 21) | (1u << 16);
  }
  return (static_cast<uint32_t>(local.wYear - 1980) << 25) |
         (static_cast<uint32_t>(local.wMonth) << 21) | (static_cast<uint32_t>(local.wDay) << 16) |
         (static_cast<uint32_t>(local.wHour) << 11) | (static_cast<uint32_t>(local.wMinute) << 5) |
         static_cast<uint32_t>(local.wSecond / 2);
}

}  // namespace tw
