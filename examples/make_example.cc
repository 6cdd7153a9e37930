// Lays out a small "installed application" and a patch for it, for the
// README's first command: make_example FOLDER [APPLIER]
//   FOLDER/app/          version 1.0 of a made-up game
//   FOLDER/patch.bin     the patch to 1.1
//   FOLDER/update-1.1    a copy of APPLIER carrying the same patch
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "delta/patch_writer.h"
#include "delta/streams.h"

namespace {

using tw::Bytes;

void Write(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Something that looks like a program: code-like runs and tables.
Bytes FakeProgram(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i % 64 < 48 ? rng() % 32 : i);
  return b;
}

// One version turning old into new: keep the common head and tail, store the
// middle (the patch maker finds far better programs; this one is enough here).
tw::VersionBlock Version(const Bytes& old_data, const Bytes& new_data) {
  size_t head = 0, tail = 0;
  while (head < old_data.size() && head < new_data.size() && old_data[head] == new_data[head]) ++head;
  while (tail < old_data.size() - head && tail < new_data.size() - head &&
         old_data[old_data.size() - 1 - tail] == new_data[new_data.size() - 1 - tail]) {
    ++tail;
  }
  tw::VersionBlock v;
  v.Record.SourceSize = static_cast<int32_t>(old_data.size());
  v.Record.SourceCrc = tw::ChecksumBytes(old_data.data(), old_data.size());
  v.Record.InsertBlockSize = 200;
  std::vector<tw::DeltaOp> program;
  if (head > 0) program.push_back(tw::CopyOp(static_cast<int32_t>(head), 0));
  Bytes middle(old_data.size() == 0 ? new_data.begin() : new_data.begin() + static_cast<long>(head),
               new_data.end() - static_cast<long>(tail));
  if (!middle.empty()) program.push_back(tw::StoredInsertOp(middle, 200));
  if (tail > 0) {
    program.push_back(tw::CopyOp(static_cast<int32_t>(tail),
                                 static_cast<int32_t>(old_data.size() - tail - head)));
  }
  std::string error;
  if (!tw::EncodeProgram(v.Record, static_cast<int64_t>(new_data.size()), program, &v.Streams,
                         &error)) {
    std::fprintf(stderr, "make_example: %s\n", error.c_str());
    std::exit(1);
  }
  return v;
}

tw::PatchedEntry Entry(const std::string& name, const Bytes& old_data, const Bytes& new_data) {
  tw::PatchedEntry e;
  e.EntryName = name;
  e.NewSize = static_cast<int32_t>(new_data.size());
  e.NewCrc = tw::ChecksumBytes(new_data.data(), new_data.size());
  e.NewFileTime = 0x5B870000;  // 7 December 2025, midnight
  e.Versions.push_back(Version(old_data, new_data));
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_example FOLDER [APPLIER]\n");
    return 1;
  }
  std::string dir = argv[1];
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/app").c_str(), 0755);
  mkdir((dir + "/app/data").c_str(), 0755);

  Bytes game10 = FakeProgram(300000, 1), game11 = game10;
  for (size_t i = 120000; i < 120400; ++i) game11[i] ^= 0x5a;  // a fixed routine
  game11.insert(game11.begin() + 250000, 5000, 0x90);           // and a new one
  Bytes levels10 = FakeProgram(50000, 2), levels11 = levels10;
  levels11.resize(56000, 7);
  Bytes readme10 = Text("Demo Game 1.0\r\n"), readme11 = Text("Demo Game 1.1\r\nNew: level 9.\r\n");
  Write(dir + "/app/game.exe", game10);
  Write(dir + "/app/data/levels.dat", levels10);
  Write(dir + "/app/readme.txt", readme10);

  tw::PatchContents patch;
  // The author's text in the Windows code page (Big5 here); the patch keeps
  // it in the OEM form the applier turns back.
  patch.Description = tw::OemFromAnsi(
      "Demo Game 1.1 \xa7\xf3\xb7\x73\xb5\x7b\xa6\xa1\r\n"  // "更新程式"
      "Fixes the save routine and adds level 9.");
  patch.BackupFolderName = "backup-1.0";
  patch.Entries.push_back(Entry("game.exe", game10, game11));
  patch.Entries.push_back(Entry("data\\levels.dat", levels10, levels11));
  patch.Entries.push_back(Entry("readme.txt", readme10, readme11));
  patch.Entries.push_back(tw::IncludedEntry{"data\\level9.dat", 0x5B870000, FakeProgram(8000, 9)});
  std::string error;
  if (!tw::WritePatchFile(patch, dir + "/patch.bin", "", &error) ||
      (argc > 2 && !tw::WritePatchFile(patch, dir + "/update-1.1", argv[2], &error))) {
    std::fprintf(stderr, "make_example: %s\n", error.c_str());
    return 1;
  }
  if (argc > 2) chmod((dir + "/update-1.1").c_str(), 0755);
  std::printf("made %s/app (version 1.0) and %s/patch.bin\n", dir.c_str(), dir.c_str());
  return 0;
}
