// The maker on POSIX systems: names are UTF-8 bytes already, iconv knows the
// Windows code pages, and the core opens the same paths we do.
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
  std::error_code ec;
  return fs::exists(path, ec);
}

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::string FileNameOf(const std::string& path) { return fs::path(path).filename().string(); }

bool ListReleaseFiles(const std::string& root, std::map<std::string, std::string>* files,
                      std::string* error) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    (*files)[fs::relative(it->path(), root).generic_string()] = it->path().string();
  }
  if (ec) *error = "cannot read the folder " + root + ": " + ec.message();
  return !ec;
}

bool ReadWholeFile(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  out->resize(static_cast<size_t>(in.tellg()));
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
