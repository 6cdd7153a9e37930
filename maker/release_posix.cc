// The maker on POSIX systems: names are UTF-8 bytes already, iconv knows the
// Windows code pages, and the core opens the same paths we do.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "maker/release.h"
#include "platform/os.h"

namespace tw {
namespace fs = std::filesystem;

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

bool Exists(const std::string& path) {
  // A link that leads nowhere is something too: the output may not replace it.
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::string FileNameOf(const std::string& path) { return fs::path(path).filename().string(); }

namespace {

// Whether a (canonical) path lies in a (canonical) folder or is it.
bool Below(const fs::path& path, const fs::path& folder) {
  auto p = path.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (f->empty() && std::next(f) == folder.end()) break;  // "dir/" ends in an empty part
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

}  // namespace

bool ListReleaseFiles(const std::string& root, std::map<std::string, std::string>* files,
                      std::map<std::string, std::string>* others, std::string* error) {
  std::error_code ec;
  const fs::path real_root = fs::canonical(root, ec);
  if (ec) {
    *error = "cannot read the folder " + root + ": " + ec.message();
    return false;
  }
  // Names relative to the folder as given: fs::relative would resolve links.
  fs::path base = fs::path(root).lexically_normal();
  if (!base.has_filename() && base.has_parent_path()) base = base.parent_path();
  for (fs::recursive_directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().lexically_relative(base).generic_string();
    std::error_code sec;
    const fs::file_status own = it->symlink_status(sec);
    if (fs::is_directory(own) || sec) continue;
    if (fs::is_regular_file(own)) {
      (*files)[name] = it->path().string();
      continue;
    }
    if (!fs::is_symlink(own)) {
      (*others)[name] = "is neither a file nor a folder";
      continue;
    }
    const fs::file_status target = it->status(sec);
    const fs::path real = fs::canonical(it->path(), sec);
    if (sec || !fs::exists(target)) {
      (*others)[name] = "is a link that leads nowhere";
    } else if (fs::is_directory(target)) {
      (*others)[name] = "is a link to a folder";
    } else if (!fs::is_regular_file(target) || !Below(real, real_root)) {
      (*others)[name] = "is a link to " + real.string() + ", outside the release";
    } else {
      (*others)[name] = "";
      (*files)[name] = it->path().string();
    }
  }
  if (ec) *error = "cannot read the folder " + root + ": " + ec.message();
  return !ec;
}

std::string ReadProblem(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) {
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return std::strerror(errno);
    closedir(d);
    return "";
  }
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  return "";
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool IsSameOrInside(const std::string& path, const std::string& folder) {
  std::error_code ec1, ec2;
  const fs::path p = fs::weakly_canonical(fs::absolute(path), ec1);
  const fs::path f = fs::weakly_canonical(fs::absolute(folder), ec2);
  return !ec1 && !ec2 && Below(p, f);
}

std::string BaseNameOf(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path), ec);
  if (ec) p = fs::absolute(path).lexically_normal();
  std::string s = p.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return fs::path(s).filename().string();
}

std::string NewScratchFile(const std::string& path, std::string* error) {
  std::string name = path + ".tarnwell-make-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = "cannot create " + name + ": " + std::strerror(errno);
    return "";
  }
  // mkstemp makes it private; the patch is for handing out, so as any new file.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  return name;
}

bool Publish(const std::string& from, const std::string& to, bool replace, std::string* error) {
  if (replace) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    *error = std::strerror(errno);
    return false;
  }
  // A hard link is made only where nothing is: no window in which a file
  // that appeared meanwhile would be replaced.
  if (link(from.c_str(), to.c_str()) == 0) {
    std::remove(from.c_str());
    return true;
  }
  const int e = errno;
  if (e == EEXIST || (e != EPERM && e != ENOTSUP && e != EMLINK)) {
    *error = std::strerror(e);
    return false;
  }
  // File systems without hard links: check, then rename.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    *error = std::strerror(EEXIST);
    return false;
  }
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

bool ReadWholeFile(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const size_t size = static_cast<size_t>(in.tellg());
  // A page fault for every 4 KB of a large file costs more than reading
  // it: the pages are asked for in one call.
  out->clear();
  out->reserve(size);
  OsPrepareMemory(out->data(), size);
  out->resize(size);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(out->size()));
  return static_cast<bool>(in) || out->empty();
}

bool WriteWholeFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  return static_cast<bool>(out);
}

int64_t ModifiedTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : 0;
}

bool MoveOver(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  // The work folder may be on another file system than the output.
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) return false;
  std::remove(from.c_str());
  return true;
}

void RemoveFile(const std::string& path) { std::remove(path.c_str()); }

std::string NewWorkFolder() {
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "tarnwell-make-XXXXXX").string();
  if (ec || mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}

void RemoveFolder(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

void MakeExecutable(const std::string& path) { chmod(path.c_str(), 0755); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::string CorePathOf(const std::string& path) { return path; }

std::string PathFromCore(const std::string& core_path) {
  std::string path = core_path;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool ToCodePage(const std::string& utf8, int code_page, std::string* out) {
  std::string name = "CP" + std::to_string(code_page);
  iconv_t cd = iconv_open(name.c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::vector<char> in(utf8.begin(), utf8.end());
  std::vector<char> buf(utf8.size() * 2 + 16);
  char* src = in.data();
  size_t left = in.size();
  char* dst = buf.data();
  size_t room = buf.size();
  bool ok = iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1) && left == 0;
  iconv_close(cd);
  if (ok) out->assign(buf.data(), static_cast<size_t>(dst - buf.data()));
  return ok;
}

// The core converts names and texts to UTF-8 as it reads them.
std::string Utf8FromCore(const std::string& text, int) { return text; }

void UsePatchCodePage(int code_page) {
  setenv("TARNWELL_CODEPAGE", std::to_string(code_page).c_str(), 1);
}

std::string NameKey(const std::string& utf8_name) { return OsNameKey(utf8_name); }

uint32_t DosTimeOf(int64_t unix_seconds) {
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm tm;
  localtime_r(&t, &tm);
  if (tm.tm_year < 80) return (0u << 25) | (1u << 21) | (1u << 16);
  return (static_cast<uint32_t>(tm.tm_year - 80) << 25) |
         (static_cast<uint32_t>(tm.tm_mon + 1) << 21) | (static_cast<uint32_t>(tm.tm_mday) << 16) |
         (static_cast<uint32_t>(tm.tm_hour) << 11) | (static_cast<uint32_t>(tm.tm_min) << 5) |
         static_cast<uint32_t>(tm.tm_sec / 2);
}

}  // namespace tw
