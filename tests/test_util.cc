#include "tests/test_util.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <new>

#include "state/run_state.h"

namespace tw {

void WriteFileBytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void WriteFileText(const std::string& path, const std::string& text) {
  WriteFileBytes(path, Bytes(text.begin(), text.end()));
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::string& path) {
  Bytes b = ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void PutU16(Bytes* out, uint32_t v) {
  out->push_back(v & 0xff);
  out->push_back((v >> 8) & 0xff);
}

void PutU32(Bytes* out, uint32_t v) {
  PutU16(out, v & 0xffff);
  PutU16(out, v >> 16);
}

Bytes MakeCarrier(const Bytes& body, uint8_t mode, uint8_t flags, uint16_t description_length,
                  uint32_t version, const Bytes& prefix) {
  Bytes out = prefix;
  PutU32(&out, kPatchMagic);
  PutU32(&out, version);
  out.push_back(mode);
  out.push_back(flags);
  out.insert(out.end(), 64, 0);
  PutU16(&out, description_length);
  out.insert(out.end(), body.begin(), body.end());
  PutU32(&out, static_cast<uint32_t>(kHeaderSize + body.size() + kTrailerSize));
  PutU32(&out, kPatchMagic);
  return out;
}

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 31 + seed * 7) ^ (i >> 5));
  return b;
}

std::string Native(std::string core_path) {
  std::replace(core_path.begin(), core_path.end(), '\\', '/');
  return core_path;
}

std::vector<std::string> TempLeftovers(const std::string& temp) {
  std::vector<std::string> out;
  for (const std::string& name : ListNames(temp)) {
    struct stat st;
    if (name.rfind("tarnwell-", 0) != 0 || stat((temp + "/" + name).c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
      out.push_back(name);
      continue;
    }
    for (const std::string& inner : ListNames(temp + "/" + name)) {
      if (inner != "lock" && inner != "staged") out.push_back(name + "/" + inner);
    }
  }
  return out;
}

void ResetRunState() {
  g_run.~RunState();
  new (&g_run) RunState();
  g_fake = FakeUi();
}

void TempDirTest::SetUp() {
  ResetRunState();
  char tmpl[] = "/tmp/tarnwell-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  temp_ = dir_ + "/temp";
  ASSERT_EQ(mkdir(temp_.c_str(), 0755), 0);
  g_run.TempFolder = temp_ + "\\";
  // A run looks the temp folder up again; keep it inside the test's folder.
  setenv("TMPDIR", temp_.c_str(), 1);
}

void TempDirTest::TearDown() {
  ResetRunState();
  std::string cmd = "rm -rf '" + dir_ + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
}

}  // namespace tw
