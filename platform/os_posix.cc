// POSIX side of the platform layer. The core speaks Windows paths; here "\"
// becomes "/", and a path component that does not exist with its exact case is
// looked up case-insensitively, as Windows would find it (patches are made on
// Windows, and installed copies on Linux often differ in case).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <locale.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>
#if defined(__linux__)
#include <linux/fs.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/os.h"

namespace tw {
namespace {

int ErrnoOr(int fallback) { return errno != 0 ? errno : fallback; }

OsFaultHook g_fault_hook = nullptr;
// Paths of the open descriptors, for the fault hook's sake. Never destroyed:
// files still open at exit close after static destructors have run.
std::map<int, std::string>& FdPaths() {
  static auto* paths = new std::map<int, std::string>;
  return *paths;
}
// Output is written on a second thread while the decoder reads: the map and
// the test hook's own counters are reached from both.
std::mutex g_fd_paths_mutex;
std::mutex g_fault_mutex;

void NoteFdPath(int fd, const std::string& path) {
  std::lock_guard<std::mutex> lock(g_fd_paths_mutex);
  FdPaths()[fd] = path;
}

void ForgetFdPath(int fd) {
  std::lock_guard<std::mutex> lock(g_fd_paths_mutex);
  FdPaths().erase(fd);
}

// Nonzero when the test hook wants op to fail; errno is then set to it.
int Fault(OsOp op, const std::string& path) {
  if (g_fault_hook == nullptr) return 0;
  int code;
  {
    std::lock_guard<std::mutex> lock(g_fault_mutex);
    code = g_fault_hook(op, path);
  }
  if (code != 0) errno = code;
  return code;
}

int Fault(OsOp op, OsFile f) {
  if (g_fault_hook == nullptr) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_fd_paths_mutex);
    auto it = FdPaths().find(static_cast<int>(f));
    if (it != FdPaths().end()) path = it->second;
  }
  return Fault(op, path);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Finds the entry of an open listing whose name equals name ignoring ASCII
// case, and closes the listing.
bool FindInListing(DIR* listing, const std::string& name, std::string* found) {
  bool ok = false;
  while (struct dirent* e = readdir(listing)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      *found = e->d_name;
      ok = true;
      break;
    }
  }
  closedir(listing);
  return ok;
}

// Finds the entry of folder whose name equals name ignoring ASCII case.
bool FindIgnoringCase(const std::string& folder, const std::string& name, std::string* found) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  return dir != nullptr && FindInListing(dir, name, found);
}

}  // namespace

std::string NativePath(const std::string& path) {
  std::string p = path;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  if (p.empty() || Exists(p)) return p;
  std::string out;
  size_t i = 0;
  if (p[0] == '/') {
    out = "/";
    i = 1;
  }
  bool resolving = true;
  while (i <= p.size()) {
    size_t end = p.find('/', i);
    if (end == std::string::npos) end = p.size();
    std::string comp = p.substr(i, end - i);
    i = end + 1;
    if (comp.empty()) continue;
    std::string folder = out;
    if (!out.empty() && out.back() != '/') out += '/';
    if (resolving && comp != "." && comp != ".." && !Exists(out + comp)) {
      std::string found;
      if (FindIgnoringCase(folder, comp, &found)) {
        comp = found;
      } else {
        resolving = false;
      }
    }
    out += comp;
  }
  // Keep a trailing separator: "dir\" names the folder itself.
  if (p.size() > 1 && p.back() == '/' && (out.empty() || out.back() != '/')) out += '/';
  return out;
}

void SetOsFaultHook(OsFaultHook hook) { g_fault_hook = hook; }

namespace {

// The confinement root. It is opened once when set, so that what the system
// meant by its name then (links and ".." taken as the kernel takes them) is
// what every change below it reaches: changes go down from this descriptor,
// one component at a time, and never by the whole path, which a local user
// could re-point between a check and its use, and which may be too long for
// the system to take at all.
struct Root {
  bool set = false;
  std::string text;  // as the core spells it, tidied: how its paths begin
  std::string real;  // the absolute path the system found; empty when unknown
  int fd = -1;
  int open_error = 0;
};
Root g_root;

// native with empty and "." components dropped ("" for the working folder);
// ".." is kept, since only the system knows what it leads to.
std::string Tidy(const std::string& native) {
  std::string out = !native.empty() && native[0] == '/' ? "/" : "";
  size_t i = 0;
  while (i <= native.size()) {
    size_t end = native.find('/', i);
    if (end == std::string::npos) end = native.size();
    std::string comp = native.substr(i, end - i);
    i = end + 1;
    if (comp.empty() || comp == ".") continue;
    if (!out.empty() && out.back() != '/') out += '/';
    out += comp;
  }
  return out;
}

// The rest of native after root, or false when native does not lie below it.
bool After(const std::string& root, const std::string& native, std::string* rest) {
  if (root == "/") {
    if (native.size() < 2 || native[0] != '/') return false;
    *rest = native.substr(1);
  } else if (root.empty()) {
    if (native.empty() || native[0] == '/') return false;
    *rest = native;
  } else {
    if (native.size() <= root.size() + 1 || native.compare(0, root.size(), root) != 0 ||
        native[root.size()] != '/') {
      return false;
    }
    *rest = native.substr(root.size() + 1);
  }
  return true;
}

// The components of path (core form) below the root; false when it does not
// lie below the root or is the root itself.
bool BelowRoot(const std::string& path, std::vector<std::string>* parts) {
  if (!g_root.set) return false;
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  native = Tidy(native);
  std::string rest;
  if (!After(g_root.text, native, &rest) &&
      (g_root.real.empty() || !After(g_root.real, native, &rest))) {
    return false;
  }
  parts->clear();
  size_t i = 0;
  while (i <= rest.size()) {
    size_t end = rest.find('/', i);
    if (end == std::string::npos) end = rest.size();
    parts->push_back(rest.substr(i, end - i));
    i = end + 1;
  }
  return !parts->empty();
}

// The entry of the folder open as dir whose name equals name ignoring ASCII
// case, as NativePath finds one by path.
bool FindIgnoringCaseAt(int dir, const std::string& name, std::string* found) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    close(fd);
    return false;
  }
  return FindInListing(listing, name, found);
}

// Where a change at a path lands: a name in a folder. Outside the root the
// folder is the working folder and the name the whole path, as the system
// takes it; below the root, the folder was reached from the root without
// passing a link and stays open until the change is made.
class Place {
 public:
  Place() = default;
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
  ~Place() {
    if (owned_ >= 0) close(owned_);
  }

  // False with errno set when the change may not or cannot be made:
  // refused() tells a link or ".." on the way below the root from a folder
  // that is missing or unreadable.
  bool Find(const std::string& path) {
    std::vector<std::string> parts;
    if (!BelowRoot(path, &parts)) {
      name_ = NativePath(path);
      return true;
    }
    if (g_root.fd < 0) {
      errno = g_root.open_error;
      return false;
    }
    dir_ = g_root.fd;
    for (size_t i = 0; i < parts.size(); ++i) {
      std::string comp = parts[i];
      // The core never names ".." below the target; a path that does would
      // leave the folder the root descriptor holds.
      if (comp == "..") return Refuse();
      if (i + 1 == parts.size()) break;
      int next = openat(dir_, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      std::string found;
      if (next < 0 && errno == ENOENT && FindIgnoringCaseAt(dir_, comp, &found)) {
        comp = found;
        next = openat(dir_, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      if (next < 0) {
        int code = errno;
        struct stat st;
        if (fstatat(dir_, comp.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
          return Refuse();
        }
        errno = code;
        return false;
      }
      if (owned_ >= 0) close(owned_);
      owned_ = dir_ = next;
    }
    name_ = parts.back();
    struct stat st;
    std::string found;
    if (fstatat(dir_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
        FindIgnoringCaseAt(dir_, name_, &found)) {
      name_ = found;
    }
    return true;
  }

  int dir() const { return dir_; }
  const char* name() const { return name_.c_str(); }
  bool refused() const { return refused_; }

 private:
  bool Refuse() {
    refused_ = true;
    errno = ELOOP;
    return false;
  }

  int dir_ = AT_FDCWD;
  int owned_ = -1;
  std::string name_;
  bool refused_ = false;
};

}  // namespace

void OsSetConfinementRoot(const std::string& root) {
  if (g_root.fd >= 0) close(g_root.fd);
  g_root = Root();
  if (root.empty()) return;
  g_root.set = true;
  std::string text = root;
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  g_root.text = Tidy(text);
  g_root.fd = open(NativePath(root).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (g_root.fd < 0) {
    // Nothing below a missing folder is changed, however it appears later.
    g_root.open_error = ErrnoOr(ENOENT);
    return;
  }
  // The core may also spell a path below the root absolutely.
  char real[4096];
  std::string self = "/proc/self/fd/" + std::to_string(g_root.fd);
  ssize_t n = readlink(self.c_str(), real, sizeof real - 1);
  if (n > 0 && real[0] == '/') g_root.real = Tidy(std::string(real, static_cast<size_t>(n)));
}

OsFile OsOpenRead(const std::string& path, int* err) {
  if (int code = Fault(OsOp::kOpenRead, path)) {
    *err = code;
    return kNoOsFile;
  }
  errno = 0;
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never
  // come; only a regular file is read as a file.
  int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *err = ErrnoOr(ENOENT);
    return kNoOsFile;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return kNoOsFile;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  NoteFdPath(fd, path);
  return fd;
}

namespace {

// Never through a link: not out of the target folder, not to wherever a link
// planted under a temporary file's name points (O_EXCL refuses any link).
OsFile OpenNewFile(const std::string& path, int disposition, mode_t mode, int fallback, int* err) {
  if (int code = Fault(OsOp::kCreate, path)) {
    *err = code;
    return kNoOsFile;
  }
  Place place;
  if (!place.Find(path)) {
    *err = ErrnoOr(fallback);
    return kNoOsFile;
  }
  errno = 0;
  int fd = openat(place.dir(), place.name(),
                  O_RDWR | O_CREAT | disposition | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) {
    *err = ErrnoOr(fallback);
    return kNoOsFile;
  }
  NoteFdPath(fd, path);
  return fd;
}

}  // namespace

OsFile OsCreate(const std::string& path, int* err) {
  return OpenNewFile(path, O_TRUNC, 0644, EACCES, err);
}

OsFile OsCreateNew(const std::string& path, int* err) {
  return OpenNewFile(path, O_EXCL, 0600, EEXIST, err);
}

bool OsFileRightsOf(const std::string& path, OsFileRights* rights) {
  struct stat st;
  if (lstat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  rights->known = rights->owner_known = true;
  rights->mode = st.st_mode & 07777;
  rights->owner = st.st_uid;
  rights->group = st.st_gid;
  return true;
}

OsFileRights OsNewFileRights(bool program) {
  // The mask can only be read by setting it; one thread, so set it back.
  mode_t mask = umask(022);
  umask(mask);
  OsFileRights rights;
  rights.known = true;
  rights.mode = (program ? 0755u : 0644u) & ~static_cast<uint32_t>(mask);
  return rights;
}

bool OsGiveFileRights(OsFile f, const OsFileRights& rights) {
  if (!rights.known) return true;
  int fd = static_cast<int>(f);
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  bool owner_kept = false;
  if (rights.owner_known) {
    // Root may give the file its owner; anyone may give it a group they are
    // in. Changing the owner first: it would clear setuid and setgid.
    if (st.st_uid != rights.owner && Fault(OsOp::kSetOwner, f) == 0) {
      (void)!fchown(fd, rights.owner, rights.group);
    }
    if (fstat(fd, &st) == 0 && st.st_gid != rights.group && Fault(OsOp::kSetOwner, f) == 0) {
      (void)!fchown(fd, static_cast<uid_t>(-1), rights.group);
    }
    if (fstat(fd, &st) != 0) return false;
    owner_kept = st.st_uid == rights.owner && st.st_gid == rights.group;
  }
  mode_t mode = rights.mode & (owner_kept ? 07777u : 0777u);
  if (Fault(OsOp::kSetMode, f) != 0) return false;
  // A file system that keeps no modes (FAT) refuses the change but may show
  // the very bits asked for anyway.
  fchmod(fd, mode);
  return fstat(fd, &st) == 0 && (st.st_mode & 07777) == mode;
}

bool OsGiveFileRightsAt(const std::string& path, const OsFileRights& rights) {
  if (!rights.known) return true;
  Place place;
  if (!place.Find(path)) return false;
  int fd = openat(place.dir(), place.name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ours =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
  NoteFdPath(fd, path);
  bool ok = ours && OsGiveFileRights(fd, rights);
  ForgetFdPath(fd);
  close(fd);
  return ok;
}

bool OsHasOtherNames(const std::string& path) {
  struct stat st;
  return lstat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 1;
}

bool OsReadAt(OsFile f, int64_t pos, void* dst, size_t n, size_t* got, int* err) {
  const OsPiece piece{dst, n};
  return OsReadAtPieces(f, pos, &piece, 1, got, err);
}

bool OsReadAtPieces(OsFile f, int64_t pos, const OsPiece* pieces, int count, size_t* got,
                    int* err) {
  *got = 0;
  if (int code = Fault(OsOp::kRead, f)) {
    *err = code;
    return false;
  }
  struct iovec iov[16];
  if (count < 1 || count > 16) {
    *err = EINVAL;
    return false;
  }
  for (int i = 0; i < count; ++i) iov[i] = {pieces[i].data, pieces[i].size};
  // A regular file gives less than asked only at its end, so one call
  // answers; asking again there would only return nothing.
  for (;;) {
    ssize_t r = preadv(static_cast<int>(f), iov, count, static_cast<off_t>(pos));
    if (r >= 0) {
      *got = static_cast<size_t>(r);
      return true;
    }
    if (errno != EINTR) {
      *err = ErrnoOr(EIO);
      return false;
    }
  }
}

bool OsWriteAt(OsFile f, int64_t pos, const void* src, size_t n, int* err) {
  if (int code = Fault(OsOp::kWrite, f)) {
    *err = code;
    return false;
  }
  if (pos < 0) {
    *err = EINVAL;
    return false;
  }
  const auto* in = static_cast<const char*>(src);
  size_t done = 0;
  while (done < n) {
    ssize_t w = pwrite(static_cast<int>(f), in + done, n - done,
                       static_cast<off_t>(pos + static_cast<int64_t>(done)));
    if (w < 0) {
      if (errno == EINTR) continue;
      *err = ErrnoOr(EIO);
      return false;
    }
    if (w == 0) {
      *err = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

bool OsCopyAt(OsFile from, int64_t from_pos, OsFile to, int64_t to_pos, int64_t n, int64_t* copied,
              int* err, bool* reading) {
  *copied = 0;
  if (int code = Fault(OsOp::kRead, from)) {
    *err = code;
    *reading = true;
    return false;
  }
  if (int code = Fault(OsOp::kWrite, to)) {
    *err = code;
    *reading = false;
    return false;
  }
#if defined(__linux__)
  while (*copied < n) {
    loff_t in = from_pos + *copied, out = to_pos + *copied;
    ssize_t r = copy_file_range(static_cast<int>(from), &in, static_cast<int>(to), &out,
                                static_cast<size_t>(std::min<int64_t>(n - *copied, 1 << 30)), 0);
    if (r > 0) {
      *copied += r;
    } else if (r == 0 || errno != EINTR) {
      // The end of `from`, a pair of files the system cannot copy between
      // (other volumes on older kernels, some file systems), or a failure:
      // the caller's own transfers tell which, and report it.
      break;
    }
  }
#else
  (void)from_pos, (void)to_pos, (void)n;
#endif
  return true;
}

void OsStartWriteback(OsFile f, int64_t pos, int64_t n) {
  sync_file_range(static_cast<int>(f), static_cast<off_t>(pos), static_cast<off_t>(n),
                  SYNC_FILE_RANGE_WRITE);
}

void OsPrepareMemory(void* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)p, (void)n;
#endif
}

int64_t OsSize(OsFile f, int* err) {
  struct stat st;
  if (fstat(static_cast<int>(f), &st) != 0) {
    *err = ErrnoOr(EIO);
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool OsClose(OsFile f, int* err) {
  int fault = Fault(OsOp::kClose, f);
  ForgetFdPath(static_cast<int>(f));
  if (close(static_cast<int>(f)) != 0 || fault != 0) {
    *err = ErrnoOr(EIO);
    return false;
  }
  return true;
}

namespace {

// The DOS stamp as the two times futimens/utimensat take (access time kept).
bool DosTimes(uint32_t stamp, struct timespec times[2]) {
  unsigned date = stamp >> 16, time = stamp & 0xffff;
  struct tm tm = {};
  tm.tm_year = static_cast<int>((date >> 9) & 0x7f) + 80;
  tm.tm_mon = static_cast<int>((date >> 5) & 0x0f) - 1;
  tm.tm_mday = static_cast<int>(date & 0x1f);
  tm.tm_hour = static_cast<int>(time >> 11);
  tm.tm_min = static_cast<int>((time >> 5) & 0x3f);
  tm.tm_sec = static_cast<int>(time & 0x1f) * 2;
  // The same fields the Windows conversion refuses.
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 59) {
    return false;
  }
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t == static_cast<time_t>(-1)) return false;
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = t;
  times[1].tv_nsec = 0;
  return true;
}

}  // namespace

bool OsSetFileTimeDos(OsFile f, uint32_t stamp) {
  struct timespec times[2];
  return DosTimes(stamp, times) && futimens(static_cast<int>(f), times) == 0;
}

bool OsSetFileTimeDosAt(const std::string& path, uint32_t stamp) {
  struct timespec times[2];
  Place place;
  return place.Find(path) && DosTimes(stamp, times) &&
         utimensat(place.dir(), place.name(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool OsDeleteFile(const std::string& path) {
  if (Fault(OsOp::kDelete, path)) return false;
  Place place;
  // Without AT_REMOVEDIR a folder is refused in the same call.
  return place.Find(path) && unlinkat(place.dir(), place.name(), 0) == 0;
}

bool OsRenameFile(const std::string& from, const std::string& to) {
  if (Fault(OsOp::kRename, from)) return false;
  Place src, dst;
  if (!src.Find(from) || !dst.Find(to)) return false;
  // Windows' MoveFile refuses to replace an existing file; keep that, in the
  // rename itself where the file system can.
  if (renameat2(src.dir(), src.name(), dst.dir(), dst.name(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  struct stat st;
  if (fstatat(dst.dir(), dst.name(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return renameat(src.dir(), src.name(), dst.dir(), dst.name()) == 0;
}

bool OsReplaceFile(const std::string& from, const std::string& to) {
  if (Fault(OsOp::kRename, from)) return false;
  Place src, dst;
  return src.Find(from) && dst.Find(to) &&
         renameat(src.dir(), src.name(), dst.dir(), dst.name()) == 0;
}

bool OsCreateFolder(const std::string& path) {
  if (Fault(OsOp::kCreateFolder, path)) return false;
  Place place;
  return place.Find(path) && mkdirat(place.dir(), place.name(), 0755) == 0;
}

namespace {

constexpr char kLockName[] = "/lock";
// A work folder without a lock file was left between its creation and its
// lock's; only one this old is surely no live run's.
constexpr time_t kLocklessAge = 3600;

bool TryLock(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

bool OsCreateWorkFolder(const std::string& parent, const std::string& prefix, std::string* path,
                        OsFile* lock) {
  std::string native = NativePath(parent);
  if (!native.empty() && native.back() != '/') native += '/';
  std::string pattern = native + prefix + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return false;  // mode 0700
  std::string folder = buf.data();
  // The lock takes its name only once it is held: another run that finds a
  // lock file it can take knows its run is gone.
  std::string unheld = folder + kLockName + ".new";
  int fd = open(unheld.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 || !TryLock(fd) || rename(unheld.c_str(), (folder + kLockName).c_str()) != 0) {
    if (fd >= 0) close(fd);
    unlink(unheld.c_str());
    rmdir(folder.c_str());
    return false;
  }
  // In the caller's form of parent, so that paths built on it look alike.
  std::string core_parent = parent;
  if (!core_parent.empty() && core_parent.back() != '\\' && core_parent.back() != '/') {
    core_parent += '\\';
  }
  *path = core_parent + folder.substr(folder.rfind('/') + 1);
  *lock = fd;
  return true;
}

bool OsClaimAbandonedWorkFolder(const std::string& folder, OsFile* lock) {
  std::string native = NativePath(folder);
  struct stat st;
  // Only a real folder of this user: a link or another user's folder is not
  // ours to empty.
  if (lstat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    return false;
  }
  int fd = open((native + kLockName).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    *lock = kNoOsFile;
    return errno == ENOENT && time(nullptr) - st.st_mtime > kLocklessAge;
  }
  if (!TryLock(fd)) {
    close(fd);
    return false;
  }
  *lock = fd;
  return true;
}

bool OsRemoveFolder(const std::string& path) { return rmdir(NativePath(path).c_str()) == 0; }

bool OsLockFolder(const std::string& folder, OsFile* lock, bool* busy) {
  *busy = false;
  int fd = open(NativePath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  if (!TryLock(fd)) {
    *busy = errno == EWOULDBLOCK;
    close(fd);
    return false;
  }
  *lock = fd;
  return true;
}

int64_t OsFreeSpace(const std::string& folder) {
  if (int code = Fault(OsOp::kFreeSpace, folder)) return code == ENOSPC ? 0 : -1;
  struct statvfs vfs;
  if (statvfs(NativePath(folder).c_str(), &vfs) != 0) return -1;
  return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

std::string OsVolumeOf(const std::string& path) {
  // Walked up as given, not made absolute: the working folder may be longer
  // than any path the system would take.
  std::string native = NativePath(path);
  struct stat st;
  while (stat(native.c_str(), &st) != 0) {
    if (native == "/" || native == ".") return std::string();
    size_t slash = native.rfind('/');
    if (slash == std::string::npos) {
      native = ".";
    } else {
      native = slash == 0 ? "/" : native.substr(0, slash);
    }
  }
  return std::to_string(st.st_dev);
}

OsKind OsKindOf(const std::string& path) {
  std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Exists(native) ? OsKind::kOther : OsKind::kNone;
  if (S_ISDIR(st.st_mode)) return OsKind::kFolder;
  return S_ISREG(st.st_mode) ? OsKind::kFile : OsKind::kOther;
}

int OsChangeRefusal(const std::string& path) {
  if (int code = Fault(OsOp::kInspect, path)) return code;
  std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return 0;
  // The owner's rights do not stop root, but a read-only volume does.
  if (S_ISDIR(st.st_mode) && access(native.c_str(), W_OK | X_OK) != 0) return ErrnoOr(EACCES);
#if defined(FS_IOC_GETFLAGS)
  // Only regular files and folders: on a device the request could mean
  // something else.
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    int fd = open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      int flags = 0;
      bool known = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
      close(fd);
      // Neither may be renamed or deleted, nor have entries removed.
      if (known && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) return EPERM;
    }
  }
#endif
  return 0;
}

bool OsConfinementRefuses(const std::string& path) {
  Place place;
  return !place.Find(path) && place.refused();
}

int OsLastError() { return errno; }

std::string OsErrorText(int code) { return std::strerror(code); }

bool OsFileExists(const std::string& path) {
  struct stat st;
  return stat(NativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool OsResolveName(const std::string& base, const std::string& relative, std::string* resolved) {
  resolved->clear();
  std::string folder = NativePath(base);
  bool exists = true;
  size_t i = 0;
  while (i <= relative.size()) {
    size_t end = relative.find_first_of("\\/", i);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(i, end - i);
    i = end + 1;
    if (part.empty()) continue;
    if (exists) {
      std::vector<std::string> matches;
      if (DIR* dir = opendir(folder.empty() ? "." : folder.c_str())) {
        while (struct dirent* e = readdir(dir)) {
          if (strcasecmp(e->d_name, part.c_str()) == 0) matches.push_back(e->d_name);
        }
        closedir(dir);
      }
      if (matches.size() > 1) return false;
      exists = matches.size() == 1;
      if (exists) part = matches[0];
      folder += "/" + part;
    }
    if (!resolved->empty()) *resolved += '\\';
    *resolved += part;
  }
  return true;
}

std::string OsFileIdentity(const std::string& path) {
  struct stat st;
  if (stat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  // The change time moves on every write and cannot be set back by a user.
  return std::to_string(st.st_size) + ":" + std::to_string(st.st_dev) + ":" +
         std::to_string(st.st_ino) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
         std::to_string(st.st_ctim.tv_nsec);
}

bool OsSettledFor(const std::string& path, int seconds) {
  struct stat st;
  struct timespec now;
  if (stat(NativePath(path).c_str(), &st) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return false;
  }
  return now.tv_sec - st.st_ctim.tv_sec > seconds;
}

namespace {
std::string NumberText(const struct stat& st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}
}  // namespace

size_t OsNameMax(const std::string& folder) {
  long max = pathconf(NativePath(folder).c_str(), _PC_NAME_MAX);
  return max > 0 ? static_cast<size_t>(max) : 255;
}

std::string OsFileNumber(const std::string& path) {
  struct stat st;
  return lstat(NativePath(path).c_str(), &st) == 0 ? NumberText(st) : std::string();
}

std::string OsFileNumberOf(OsFile f) {
  struct stat st;
  return fstat(f, &st) == 0 ? NumberText(st) : std::string();
}

bool OsNameTaken(const std::string& path) { return Exists(NativePath(path)); }

bool OsListFolder(const std::string& folder, std::vector<FolderEntry>* entries) {
  entries->clear();
  std::string native = NativePath(folder);
  DIR* dir = opendir(native.empty() ? "." : native.c_str());
  if (dir == nullptr) return false;
  if (!native.empty() && native.back() != '/') native += '/';
  while (struct dirent* e = readdir(dir)) {
    FolderEntry entry{e->d_name, e->d_type == DT_DIR};
    // The listing tells most entries' kind; a link is judged by what it
    // leads to, and a file system that does not tell is asked.
    struct stat st;
    if ((e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) &&
        stat((native + e->d_name).c_str(), &st) == 0) {
      entry.is_folder = S_ISDIR(st.st_mode);
    }
    entries->push_back(entry);
  }
  closedir(dir);
  // In name order, as Windows lists a folder on NTFS, so that a search
  // proposes candidates in the same order everywhere.
  std::sort(entries->begin(), entries->end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return true;
}

std::string OsTempFolder() {
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  return dir;
}

std::string OsModulePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

bool OsReadRegistryValue(const std::string&, const std::string&, std::string*) { return false; }

namespace {

// Decodes in from the code page to code points with iconv. A byte the code
// page does not know becomes U+DC00 + byte rather than being lost, so that
// names stay distinct and the UTF-8 form can give the byte back.
std::u32string Decode(const char* from_code, const std::string& in) {
  // The converters live as long as the process.
  static auto* cache = new std::map<std::string, iconv_t>;
  auto it = cache->find(from_code);
  if (it == cache->end()) it = cache->emplace(from_code, iconv_open("UTF-32LE", from_code)).first;
  iconv_t cd = it->second;
  std::u32string out;
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (char c : in) {
      auto b = static_cast<unsigned char>(c);
      out += static_cast<char32_t>(b < 0x80 ? b : 0xDC00 + b);
    }
    return out;
  }
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::vector<char> inbuf(in.begin(), in.end());
  char* src = inbuf.data();
  size_t left = inbuf.size();
  unsigned char chunk[1024];
  while (left > 0) {
    char* dst = reinterpret_cast<char*>(chunk);
    size_t room = sizeof chunk;
    size_t r = iconv(cd, &src, &left, &dst, &room);
    for (unsigned char* q = chunk; q + 4 <= reinterpret_cast<unsigned char*>(dst); q += 4) {
      out +=
          static_cast<char32_t>(q[0] | q[1] << 8 | q[2] << 16 | static_cast<uint32_t>(q[3]) << 24);
    }
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      out += static_cast<char32_t>(0xDC00 + static_cast<unsigned char>(*src++));
      --left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}

std::string Utf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    if (c >= 0xDC00 && c <= 0xDCFF) {
      out += static_cast<char>(c - 0xDC00);
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Convert(const char* from_code, const std::string& in) {
  return Utf8(Decode(from_code, in));
}

// The code page of names and texts in patches: 950 unless the maker says
// otherwise for the patch it writes.
const char* PatchCodePage() {
  static const std::string code = [] {
    const char* cp = getenv("TARNWELL_CODEPAGE");
    std::string name = (cp != nullptr && *cp != '\0') ? cp : "950";
    if (name.find_first_not_of("0123456789") == std::string::npos) name = "CP" + name;
    return name;
  }();
  return code.c_str();
}

}  // namespace

std::string OsNameKey(const std::string& name) {
  // Names here are UTF-8 (converted from the patch's code page on reading).
  // Windows compares them upper-cased letter by letter through Unicode, so
  // Greek, Cyrillic and full-width letters fold too, not only ASCII.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  std::u32string key;
  for (char32_t c : Decode("UTF-8", name)) {
    if (c == '/') c = '\\';
    if (c == '\\' && !key.empty() && key.back() == '\\') continue;
    if (c >= 'a' && c <= 'z') {
      c -= 'a' - 'A';
    } else if (c >= 0x80 && (c < 0xDC00 || c > 0xDCFF) && unicode != nullptr) {
      c = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), unicode));
    }
    key += c;
  }
  return Utf8(key);
}

std::string NativeFromBig5(const std::string& big5) { return Convert("CP950", big5); }

std::string NativeFromPatchText(const std::string& bytes) {
  return Convert(PatchCodePage(), bytes);
}

bool OsIsLeadByte(unsigned char) { return false; }

}  // namespace tw
