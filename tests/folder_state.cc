#include "tests/folder_state.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <iterator>
#include <vector>

namespace tw {
namespace {

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

void ReadInto(const std::string& root, const std::string& rel, FolderState* out) {
  for (const std::string& n : Names(rel.empty() ? root : root + "/" + rel)) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    std::string full = root + "/" + r;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char buf[4096];
      ssize_t len = readlink(full.c_str(), buf, sizeof buf);
      (*out)[r] = "l:" + std::string(buf, len > 0 ? static_cast<size_t>(len) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      (*out)[r] = "d";
      ReadInto(root, r, out);
    } else {
      std::ifstream in(full, std::ios::binary);
      (*out)[r] = "f:" + std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
}

}  // namespace

FolderState ReadFolderState(const std::string& folder) {
  FolderState s;
  ReadInto(folder, "", &s);
  return s;
}

void RemovePath(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& n : Names(path)) RemovePath(path + "/" + n);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void LayOutFolderState(const std::string& folder, const FolderState& state) {
  for (const std::string& n : Names(folder)) RemovePath(folder + "/" + n);
  mkdir(folder.c_str(), 0755);
  // Map order puts every folder before what it holds.
  for (const auto& [rel, what] : state) {
    std::string full = folder + "/" + rel;
    bool ok;
    if (what == "d") {
      ok = mkdir(full.c_str(), 0755) == 0;
    } else if (what.compare(0, 2, "l:") == 0) {
      ok = symlink(what.c_str() + 2, full.c_str()) == 0;
    } else {
      std::ofstream out(full, std::ios::binary | std::ios::trunc);
      out.write(what.data() + 2, static_cast<std::streamsize>(what.size() - 2));
      out.close();
      ok = static_cast<bool>(out);
    }
    // A test that starts from a state it did not get would blame the
    // program for what the machine did.
    if (!ok) throw std::runtime_error("cannot lay out " + full + ": " + std::strerror(errno));
  }
  if (ReadFolderState(folder) != state) throw std::runtime_error("cannot lay out " + folder);
}

std::multiset<std::string> FileContents(const FolderState& state) {
  std::multiset<std::string> contents;
  for (const auto& [rel, what] : state) {
    if (what.compare(0, 2, "f:") == 0) contents.insert(what.substr(2));
  }
  return contents;
}

}  // namespace tw
