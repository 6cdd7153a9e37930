// Applies a multi-file patch that rebuilds about 200 MB of files with the
// tarnwell executable, and prints the whole run's time (test pass and apply
// pass) beside `cp -r` of the new files, plus the applier's peak memory.
//   apply_bench [TOTAL_MB] [FILES]
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "delta/patch_writer.h"
#include "delta/streams.h"

namespace {

using tw::Bytes;
using Clock = std::chrono::steady_clock;

void Write(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

int Sh(const std::string& cmd) { return std::system(cmd.c_str()); }

// Runs a command and returns its wall time.
double Timed(const std::string& cmd) {
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "apply_bench: '%s' failed\n", cmd.c_str());
    std::exit(1);
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  long total_mb = argc > 1 ? std::atol(argv[1]) : 200;
  int files = argc > 2 ? std::atoi(argv[2]) : 20;
  const size_t size = static_cast<size_t>(total_mb) * 1000000 / static_cast<size_t>(files);
  char tmpl[] = "/tmp/tarnwell-apply-bench-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  mkdir((dir + "/app").c_str(), 0755);
  mkdir((dir + "/new").c_str(), 0755);
  mkdir((dir + "/temp").c_str(), 0755);

  std::mt19937 rng(1);
  tw::PatchContents patch;
  patch.BackupFolderName = "backup";
  size_t patch_bytes = 0;
  for (int f = 0; f < files; ++f) {
    Bytes old_data(size);
    for (auto& b : old_data) b = static_cast<unsigned char>(rng() % 64);
    // New version: every 64 KiB region keeps its bytes except 100 changed
    // ones, as a rebuilt program would look.
    Bytes new_data = old_data;
    std::vector<tw::DeltaOp> program;
    tw::SourceVersion v;
    v.SourceSize = static_cast<int32_t>(size);
    v.SourceCrc = tw::ChecksumBytes(old_data.data(), old_data.size());
    v.InsertBlockSize = 100;
    v.FixupPeriod = 0;
    size_t pos = 0;
    bool first = true;
    for (size_t edit = 65536; edit + 100 < size; edit += 65536) {
      Bytes changed(100);
      for (auto& b : changed) b = static_cast<unsigned char>(rng());
      std::copy(changed.begin(), changed.end(), new_data.begin() + static_cast<long>(edit));
      program.push_back(tw::CopyOp(static_cast<int32_t>(edit - pos), first ? 0 : 100));
      program.push_back(tw::StoredInsertOp(changed, 100));
      pos = edit + 100;
      first = false;
    }
    program.push_back(tw::CopyOp(static_cast<int32_t>(size - pos), first ? 0 : 100));
    tw::PatchedEntry e;
    e.EntryName = "file" + std::to_string(f) + ".bin";
    e.NewSize = static_cast<int32_t>(size);
    e.NewCrc = tw::ChecksumBytes(new_data.data(), new_data.size());
    tw::VersionBlock block;
    block.Record = v;
    std::string error;
    if (!tw::EncodeProgram(v, static_cast<int64_t>(size), program, &block.Streams, &error)) {
      std::fprintf(stderr, "apply_bench: %s\n", error.c_str());
      return 1;
    }
    for (const auto& s : block.Streams.Stream) patch_bytes += s.size();
    e.Versions.push_back(std::move(block));
    patch.Entries.push_back(std::move(e));
    Write(dir + "/app/" + "file" + std::to_string(f) + ".bin", old_data);
    Write(dir + "/new/" + "file" + std::to_string(f) + ".bin", new_data);
  }
  std::string error;
  if (!tw::WritePatchFile(patch, dir + "/patch.bin", "", &error)) {
    std::fprintf(stderr, "apply_bench: %s\n", error.c_str());
    return 1;
  }
  Sh("sync");
  double copy = Timed("cp -r '" + dir + "/new' '" + dir + "/copy'");
  // GNU time measures the applier alone: a child forked from this process
  // would count the pages it shares with us until it execs.
  bool have_time = access("/usr/bin/time", X_OK) == 0;
  std::string peak_file = dir + "/peak";
  double run = Timed((have_time ? "/usr/bin/time -f %M -o '" + peak_file + "' " : std::string()) +
                     "env TMPDIR='" + dir + "/temp' '" TARNWELL_BIN "' '" + dir + "/patch.bin' '" +
                     dir + "/app' >/dev/null");
  long peak_kb = -1;
  if (have_time) std::ifstream(peak_file) >> peak_kb;
  int same = Sh("cmp -s '" + dir + "/new/file0.bin' '" + dir + "/app/file0.bin'");
  std::printf("files: %d x %.1f MB = %.0f MB, patch streams %.1f KB\n", files, size / 1e6,
              files * size / 1e6, patch_bytes / 1e3);
  std::printf("cp -r of the new files:   %7.2f s\n", copy);
  std::printf("tarnwell whole run:       %7.2f s  (%.2f x the copy; test pass + apply pass)\n", run,
              run / copy);
  if (peak_kb >= 0) {
    std::printf("tarnwell peak memory:     %7.1f MB\n", peak_kb / 1024.0);
  } else {
    std::printf("tarnwell peak memory:     n/a (needs /usr/bin/time)\n");
  }
  std::printf("result matches new files: %s\n", same == 0 ? "yes" : "NO");
  if (!std::getenv("APPLY_BENCH_KEEP")) Sh("rm -rf '" + dir + "'");
  else std::printf("kept %s\n", dir.c_str());
  return same == 0 ? 0 : 1;
}
