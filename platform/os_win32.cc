// Win32 side of the platform layer: ANSI calls, paths passed through as they are.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/names.h"
#include "platform/os.h"

namespace tw {
namespace {

int LastErrorOr(DWORD fallback) {
  DWORD e = GetLastError();
  return static_cast<int>(e != 0 ? e : fallback);
}

HANDLE H(OsFile f) { return reinterpret_cast<HANDLE>(f); }

std::string g_root;  // full path of the confinement root; empty when none

std::string FullPath(const std::string& path) {
  char buf[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof buf, buf, nullptr);
  return n == 0 || n >= sizeof buf ? std::string() : std::string(buf, n);
}

bool IsLink(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// True when path lies below the root and one of its folders below the root
// is a reparse point (a symbolic link or a junction). The last component is
// not looked at: deleting or moving a link itself stays inside, and creation
// refuses a final link of its own accord.
bool LeavesRoot(const std::string& path) {
  if (g_root.empty()) return false;
  std::string full = FullPath(path);
  std::string root = g_root;
  if (EndsWithBackslash(root)) root.pop_back();
  if (full.size() <= root.size() + 1 || full[root.size()] != '\\' ||
      CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, full.data(),
                     static_cast<int>(root.size()), root.data(),
                     static_cast<int>(root.size())) != CSTR_EQUAL) {
    return false;
  }
  for (size_t i = root.size() + 1, next; i < full.size(); i = next) {
    next = NextCharIndex(full, i);
    if (next != i + 1 || full[i] != '\\') continue;
    if (IsLink(full.substr(0, i))) return true;
  }
  return false;
}

}  // namespace

std::string OsNameKey(const std::string& name) {
  // Upper case the way the file system compares, through the ANSI code page
  // (a trail byte of a double-byte character is no letter of its own).
  std::string upper = name;
  if (!upper.empty()) CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
  std::string key;
  for (size_t i = 0, next; i < upper.size(); i = next) {
    next = NextCharIndex(upper, i);
    if (next == i + 1 && (upper[i] == '/' || upper[i] == '\\')) {
      if (key.empty() || key.back() != '\\') key += '\\';
    } else {
      key.append(upper, i, next - i);
    }
  }
  return key;
}

void OsSetConfinementRoot(const std::string& root) {
  g_root = root.empty() ? std::string() : FullPath(root);
}

OsFile OsOpenRead(const std::string& path, int* err) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *err = LastErrorOr(ERROR_FILE_NOT_FOUND);
    return kNoOsFile;
  }
  return reinterpret_cast<OsFile>(h);
}

namespace {

// Never through a link: CREATE_ALWAYS would write wherever it points, out of
// the target folder or to where a link planted under a temporary file's
// name leads (CREATE_NEW fails on any existing name, a link included).
OsFile MakeFile(const std::string& path, DWORD disposition, DWORD fallback, int* err) {
  if (LeavesRoot(path) || IsLink(path)) {
    *err = ERROR_ACCESS_DENIED;
    return kNoOsFile;
  }
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *err = LastErrorOr(fallback);
    return kNoOsFile;
  }
  return reinterpret_cast<OsFile>(h);
}

}  // namespace

OsFile OsCreate(const std::string& path, int* err) {
  return MakeFile(path, CREATE_ALWAYS, ERROR_ACCESS_DENIED, err);
}

OsFile OsCreateNew(const std::string& path, int* err) {
  return MakeFile(path, CREATE_NEW, ERROR_FILE_EXISTS, err);
}

namespace {

OVERLAPPED At(int64_t pos) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(static_cast<uint64_t>(pos));
  o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(pos) >> 32);
  return o;
}

}  // namespace

// An offset in OVERLAPPED on a synchronous handle makes ReadFile and
// WriteFile positional: no SetFilePointerEx before each transfer.
bool OsReadAt(OsFile f, int64_t pos, void* dst, size_t n, size_t* got, int* err) {
  *got = 0;
  if (pos < 0) {
    *err = ERROR_NEGATIVE_SEEK;
    return false;
  }
  OVERLAPPED o = At(pos);
  DWORD r = 0;
  if (!ReadFile(H(f), dst, static_cast<DWORD>(n), &r, &o)) {
    DWORD code = GetLastError();
    if (code == ERROR_HANDLE_EOF) return true;
    *err = code != 0 ? static_cast<int>(code) : ERROR_READ_FAULT;
    return false;
  }
  *got = r;
  return true;
}

bool OsReadAtPieces(OsFile f, int64_t pos, const OsPiece* pieces, int count, size_t* got,
                    int* err) {
  *got = 0;
  if (count == 1) return OsReadAt(f, pos, pieces[0].data, pieces[0].size, got, err);
  // Scattered reads need unbuffered files; one read into a staging buffer
  // still saves the calls, which are what costs.
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += pieces[i].size;
  std::unique_ptr<unsigned char[]> staging(new unsigned char[total]);
  size_t read = 0;
  if (!OsReadAt(f, pos, staging.get(), total, &read, err)) return false;
  size_t at = 0;
  for (int i = 0; i < count && at < read; ++i) {
    size_t take = std::min(pieces[i].size, read - at);
    std::memcpy(pieces[i].data, staging.get() + at, take);
    at += take;
  }
  *got = read;
  return true;
}

bool OsWriteAt(OsFile f, int64_t pos, const void* src, size_t n, int* err) {
  if (pos < 0) {
    *err = ERROR_NEGATIVE_SEEK;
    return false;
  }
  const auto* in = static_cast<const char*>(src);
  size_t done = 0;
  while (done < n) {
    OVERLAPPED o = At(pos + static_cast<int64_t>(done));
    DWORD w = 0;
    if (!WriteFile(H(f), in + done, static_cast<DWORD>(n - done), &w, &o)) {
      *err = LastErrorOr(ERROR_WRITE_FAULT);
      return false;
    }
    if (w == 0) {
      *err = ERROR_DISK_FULL;
      return false;
    }
    done += w;
  }
  return true;
}

// Nothing copies part of one file into another inside the system here.
bool OsCopyAt(OsFile, int64_t, OsFile, int64_t, int64_t, int64_t* copied, int*, bool*) {
  *copied = 0;
  return true;
}

// Renaming over a file does not make Windows write the new one out first,
// so there is nothing to start early.
void OsStartWriteback(OsFile, int64_t, int64_t) {}

void OsPrepareMemory(void*, size_t) {}

int64_t OsSize(OsFile f, int* err) {
  LARGE_INTEGER li;
  if (!GetFileSizeEx(H(f), &li)) {
    *err = LastErrorOr(ERROR_READ_FAULT);
    return -1;
  }
  return li.QuadPart;
}

bool OsClose(OsFile f, int* err) {
  if (!CloseHandle(H(f))) {
    *err = LastErrorOr(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

bool OsSetFileTimeDos(OsFile f, uint32_t stamp) {
  FILETIME local, utc;
  if (!DosDateTimeToFileTime(static_cast<WORD>(stamp >> 16), static_cast<WORD>(stamp & 0xffff),
                             &local)) {
    return false;
  }
  if (!LocalFileTimeToFileTime(&local, &utc)) return false;
  return SetFileTime(H(f), nullptr, nullptr, &utc) != 0;
}

bool OsSetFileTimeDosAt(const std::string& path, uint32_t stamp) {
  if (LeavesRoot(path)) return false;
  // A link gets the time itself; its target may lie outside.
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = OsSetFileTimeDos(reinterpret_cast<OsFile>(h), stamp);
  CloseHandle(h);
  return ok;
}

// Windows keeps rights in access lists that a new file inherits from its
// folder; a replaced file's successor gets what the folder gives, as ever.
bool OsFileRightsOf(const std::string&, OsFileRights*) { return false; }

OsFileRights OsNewFileRights(bool) { return OsFileRights(); }

bool OsGiveFileRights(OsFile, const OsFileRights&) { return true; }

bool OsGiveFileRightsAt(const std::string&, const OsFileRights&) { return true; }

namespace {
std::string NumberText(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return std::string();
  char text[48];
  std::snprintf(text, sizeof text, "%lu:%lu:%lu", info.dwVolumeSerialNumber, info.nFileIndexHigh,
                info.nFileIndexLow);
  return text;
}
}  // namespace

// Windows counts a name's length in characters, which a double-byte name
// has fewer of than bytes: nothing to refuse by bytes alone.
size_t OsNameMax(const std::string&) { return 0; }

std::string OsFileNumber(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  std::string text = NumberText(h);
  CloseHandle(h);
  return text;
}

std::string OsFileNumberOf(OsFile f) { return NumberText(H(f)); }

bool OsHasOtherNames(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool more = GetFileInformationByHandle(h, &info) != 0 && info.nNumberOfLinks > 1;
  CloseHandle(h);
  return more;
}

bool OsDeleteFile(const std::string& path) {
  return !LeavesRoot(path) && DeleteFileA(path.c_str()) != 0;
}

bool OsRenameFile(const std::string& from, const std::string& to) {
  return !LeavesRoot(from) && !LeavesRoot(to) && MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool OsReplaceFile(const std::string& from, const std::string& to) {
  if (LeavesRoot(from) || LeavesRoot(to)) return false;
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool OsCreateFolder(const std::string& path) {
  return !LeavesRoot(path) && CreateDirectoryA(path.c_str(), nullptr) != 0;
}

namespace {

// A work folder without a lock file was left between its creation and its
// lock's; only one this old (in 100 ns units: an hour) is surely no live run's.
constexpr ULONGLONG kLocklessAge = 36000000000ULL;

// Held without sharing: nobody else can open it while its run lives, and
// Windows closes it when the run dies however it dies.
HANDLE OpenLock(const std::string& folder, DWORD disposition) {
  return CreateFileA((folder + "\\lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

ULONGLONG Ticks(const FILETIME& t) {
  return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

bool OsCreateWorkFolder(const std::string& parent, const std::string& prefix, std::string* path,
                        OsFile* lock) {
  std::string base = parent;
  if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
  LARGE_INTEGER counter;
  for (int attempt = 0; attempt < 100; ++attempt) {
    QueryPerformanceCounter(&counter);
    unsigned long long mix =
        static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ULL ^
        (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^ GetTickCount() ^
        static_cast<unsigned long long>(attempt);
    char part[17];
    for (int i = 0; i < 16; ++i) part[i] = "0123456789abcdef"[(mix >> (4 * i)) & 15];
    part[16] = '\0';
    std::string folder = base + prefix + part;
    if (!CreateDirectoryA(folder.c_str(), nullptr)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
      return false;
    }
    HANDLE h = OpenLock(folder, CREATE_NEW);
    if (h == INVALID_HANDLE_VALUE) {
      RemoveDirectoryA(folder.c_str());
      return false;
    }
    *path = folder;
    *lock = reinterpret_cast<OsFile>(h);
    return true;
  }
  return false;
}

bool OsClaimAbandonedWorkFolder(const std::string& folder, OsFile* lock) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(folder.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  HANDLE h = OpenLock(folder, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    *lock = kNoOsFile;
    return Ticks(now) - Ticks(data.ftLastWriteTime) > kLocklessAge;
  }
  *lock = reinterpret_cast<OsFile>(h);
  return true;
}

bool OsRemoveFolder(const std::string& path) {
  return !LeavesRoot(path) && RemoveDirectoryA(path.c_str()) != 0;
}

bool OsLockFolder(const std::string& folder, OsFile* lock, bool* busy) {
  *busy = false;
  std::string full = FullPath(folder);
  if (full.empty()) return false;
  while (full.size() > 3 && full.back() == '\\') full.pop_back();
  // Every spelling of the folder gives one name: the full path, upper-cased
  // as the file system compares, hashed into what a mutex name may hold.
  CharUpperBuffA(full.data(), static_cast<DWORD>(full.size()));
  unsigned long long h1 = 14695981039346656037ULL, h2 = 0x9E3779B97F4A7C15ULL;
  for (unsigned char c : full) {
    h1 = (h1 ^ c) * 1099511628211ULL;
    h2 = (h2 + c) * 0xC2B2AE3D27D4EB4FULL;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Local\\tarnwell-%08lx%08lx%08lx%08lx",
                static_cast<unsigned long>(h1 >> 32), static_cast<unsigned long>(h1),
                static_cast<unsigned long>(h2 >> 32), static_cast<unsigned long>(h2));
  HANDLE m = CreateMutexA(nullptr, FALSE, name);
  if (m == nullptr) return false;
  // A mutex whose holder died comes back abandoned: it is ours then.
  DWORD w = WaitForSingleObject(m, 0);
  if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
    CloseHandle(m);
    *busy = w == WAIT_TIMEOUT;
    return false;
  }
  *lock = reinterpret_cast<OsFile>(m);
  return true;
}

int64_t OsFreeSpace(const std::string& folder) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return -1;
  return available.QuadPart > static_cast<ULONGLONG>(INT64_MAX)
             ? INT64_MAX
             : static_cast<int64_t>(available.QuadPart);
}

std::string OsVolumeOf(const std::string& path) {
  char buf[MAX_PATH * 2];
  if (!GetVolumePathNameA(path.c_str(), buf, sizeof buf)) return std::string();
  return buf;
}

OsKind OsKindOf(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return OsKind::kNone;
  return (a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? OsKind::kFolder : OsKind::kFile;
}

int OsChangeRefusal(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return 0;
  // A file is moved away with the right to delete it, which another process
  // that holds it open without sharing that refuses; a folder takes the
  // staged file as a new entry.
  bool folder = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  HANDLE h = CreateFileA(path.c_str(), folder ? FILE_ADD_FILE : DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_ACCESS_DENIED);
  CloseHandle(h);
  return 0;
}

bool OsConfinementRefuses(const std::string& path) { return LeavesRoot(path); }

int OsLastError() { return static_cast<int>(GetLastError()); }

std::string OsErrorText(int code) {
  char buf[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
  std::string text(buf, n);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "system error " + std::to_string(code);
  return text;
}

bool OsFileExists(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool OsResolveName(const std::string& base, const std::string& relative, std::string* resolved) {
  resolved->clear();
  std::string folder = base;
  bool exists = true;
  for (std::string part : SplitName(relative)) {
    if (part.empty()) continue;
    if (exists) {
      // The name has no wildcards (they are refused in patches), so this
      // finds the one entry, in the spelling the folder holds.
      WIN32_FIND_DATAA fd;
      HANDLE h = FindFirstFileA((folder + "\\" + part).c_str(), &fd);
      exists = h != INVALID_HANDLE_VALUE;
      if (exists) {
        FindClose(h);
        part = fd.cFileName;
      }
      folder += "\\" + part;
    }
    if (!resolved->empty()) *resolved += '\\';
    *resolved += part;
  }
  return true;
}

std::string OsFileIdentity(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d) ||
      (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::string();
  }
  char text[96];
  std::snprintf(text, sizeof text, "%lu:%lu:%lu:%lu:%lu:%lu", d.nFileSizeHigh, d.nFileSizeLow,
                d.ftLastWriteTime.dwHighDateTime, d.ftLastWriteTime.dwLowDateTime,
                d.ftCreationTime.dwHighDateTime, d.ftCreationTime.dwLowDateTime);
  return text;
}

bool OsSettledFor(const std::string& path, int seconds) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // FILETIME counts 100-nanosecond ticks.
  return Ticks(now) > Ticks(d.ftLastWriteTime) &&
         Ticks(now) - Ticks(d.ftLastWriteTime) > static_cast<ULONGLONG>(seconds + 1) * 10000000u;
}

bool OsNameTaken(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool OsListFolder(const std::string& folder, std::vector<FolderEntry>* entries) {
  entries->clear();
  std::string pattern = folder;
  if (!pattern.empty() && !EndsWithBackslash(pattern) && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  do {
    entries->push_back({fd.cFileName, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return true;
}

std::string OsTempFolder() {
  char buf[MAX_PATH + 1];
  DWORD n = GetTempPathA(MAX_PATH, buf);
  if (n == 0 || n > MAX_PATH) return std::string();
  return std::string(buf, n);
}

std::string OsModulePath() {
  char buf[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return std::string(buf, n);
}

bool OsReadRegistryValue(const std::string& key, const std::string& value_name, std::string* out) {
  // Query access only: a user without administrator rights must still find
  // the installed application.
  HKEY hkey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &hkey) != ERROR_SUCCESS) {
    return false;
  }
  char buf[1001];
  DWORD size = sizeof buf;
  LONG r = RegQueryValueExA(hkey, value_name.c_str(), nullptr, nullptr,
                            reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(hkey);
  if (r != ERROR_SUCCESS) return false;
  size_t len = 0;
  while (len < size && buf[len] != '\0') ++len;
  out->assign(buf, len);
  return true;
}

// Fault injection runs in the POSIX tests; the Windows build only keeps the hook.
void SetOsFaultHook(OsFaultHook) {}

std::string NativeFromBig5(const std::string& big5) { return big5; }
std::string NativeFromPatchText(const std::string& bytes) { return bytes; }

bool OsIsLeadByte(unsigned char byte) { return IsDBCSLeadByteEx(CP_ACP, byte) != 0; }

}  // namespace tw
