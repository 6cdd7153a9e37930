// Makes a single-file patch from two files with the differ, for the maker
// benchmark: diff_bench OLD NEW PATCH [EFFORT]. Prints the patch size and the
// time the differ took; the benchmark script measures memory around it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "delta/patch_writer.h"
#include "delta/streams.h"
#include "maker/differ.h"

using namespace tw;

namespace {

bool ReadAll(const char* path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: diff_bench OLD NEW PATCH [EFFORT]\n");
    return 2;
  }
  Bytes old_data, new_data;
  if (!ReadAll(argv[1], &old_data) || !ReadAll(argv[2], &new_data)) {
    std::fprintf(stderr, "diff_bench: cannot read the input files\n");
    return 2;
  }
  DiffOptions options;
  if (argc > 4) options.effort = std::atoi(argv[4]);

  const auto start = std::chrono::steady_clock::now();
  PatchedEntry entry;
  entry.NewSize = static_cast<int32_t>(new_data.size());
  entry.NewCrc = ChecksumBytes(new_data.data(), new_data.size());
  entry.Versions.push_back(MakeVersion(old_data, new_data, {}, options));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  PatchContents patch;
  patch.HeaderMode = 1;  // one file, named on the applier's command line
  patch.Entries.push_back(std::move(entry));
  std::string why;
  if (!WritePatchFile(patch, argv[3], "", &why)) {
    std::fprintf(stderr, "diff_bench: %s\n", why.c_str());
    return 2;
  }
  const SourceVersion& v = std::get<PatchedEntry>(patch.Entries[0]).Versions[0].Record;
  std::printf("streams %d %d %d %d %d  period %u flags %u block %u  %.2f s\n", v.StreamLength[0],
              v.StreamLength[1], v.StreamLength[2], v.StreamLength[3], v.StreamLength[4],
              v.FixupPeriod, v.VersionFlags, v.InsertBlockSize, seconds);
  return 0;
}
