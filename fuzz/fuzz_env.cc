#include "fuzz/fuzz_env.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>

#include "messages/catalogue.h"
#include "messages/messages.h"
#include "state/run_state.h"
#include "tests/folder_state.h"

namespace tw::fuzz {
namespace {

std::string* g_scratch = nullptr;

void RemoveScratch() {
  if (g_scratch != nullptr) RemoveTree(*g_scratch);
}

}  // namespace

const std::string& ScratchDir() {
  if (g_scratch == nullptr) {
    const char* tmp = getenv("TMPDIR");
    std::string base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    std::string tmpl = base + "/tarnwell-fuzz-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) Fail("cannot make the scratch folder");
    g_scratch = new std::string(tmpl);
    MakeFolder(*g_scratch + "/temp");
    atexit(RemoveScratch);
  }
  return *g_scratch;
}

std::string CoreForm(const std::string& posix_path) {
  std::string p = posix_path;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
}

void ResetRun() {
  const std::string temp = ScratchDir() + "/temp";
  g_run.~RunState();
  new (&g_run) RunState();
  EmptyFolder(temp);
  g_run.TempFolder = CoreForm(temp) + "\\";
  setenv("TMPDIR", temp.c_str(), 1);
}

void WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) Fail("cannot write " + path);
  if (size > 0 && fwrite(data, 1, size, f) != size) Fail("short write to " + path);
  fclose(f);
}

void WriteFile(const std::string& path, const Bytes& data) {
  WriteFile(path, data.data(), data.size());
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void MakeFolder(const std::string& path) { mkdir(path.c_str(), 0755); }

void RemoveTree(const std::string& path) { RemovePath(path); }

void EmptyFolder(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  for (const std::string& n : names) RemoveTree(path + "/" + n);
}

Snapshot TakeSnapshot(const std::string& folder) { return ReadFolderState(folder); }

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    b[i] = static_cast<unsigned char>((i * 31 + seed * 7) ^ (i >> 5) ^ (i * seed >> 9));
  }
  return b;
}

std::vector<std::pair<std::string, Bytes>> InstalledFiles() {
  const std::string text = "old readme\r\n";
  Bytes readme(text.begin(), text.end());
  return {{"a.exe", Pattern(3000, 1)}, {"sub/b.dat", Pattern(700, 2)}, {"readme.txt", readme}};
}

Bytes NewVersionOf(const std::string& name) {
  Bytes old;
  for (const auto& [n, data] : InstalledFiles()) {
    if (n == name) old = data;
  }
  Bytes b = old;
  if (name == "a.exe") {
    for (size_t i = 1000; i < 1100; ++i) b[i] ^= 0x5a;
    b.insert(b.begin() + 2000, 40, 0x11);
  } else if (name == "sub/b.dat") {
    b.resize(600);
    b.push_back(0x42);
  } else {
    std::string t = "new readme\r\n";
    b.assign(t.begin(), t.end());
  }
  return b;
}

void Fail(const std::string& what) {
  fprintf(stderr, "fuzz property violated: %s\n", what.c_str());
  abort();
}

bool IsCatalogueText(const std::string& text) { return IsKnownErrorText(text); }

}  // namespace tw::fuzz
