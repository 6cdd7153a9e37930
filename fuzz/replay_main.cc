// Replays inputs through a fuzz target without libFuzzer: every file named
// on the command line, and every file below each folder named, goes to
// LLVMFuzzerTestOneInput once. A property that fails aborts the process, so
// the corpus and every past crash run in each normal build and under the
// sanitizers. A folder that does not exist counts as empty.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Collect(const std::string& path, std::vector<std::string>* files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    files->push_back(path);
    return;
  }
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != ".." && n[0] != '.') names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) Collect(path + "/" + n, files);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) Collect(argv[i], &files);
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fprintf(stderr, "%s (%zu bytes)\n", f.c_str(), data.size());
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  printf("replayed %zu inputs\n", files.size());
  // No inputs at all means the corpus was not made: that is a failure.
  return files.empty() ? 1 : 0;
}
