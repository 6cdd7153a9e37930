// Writes the patch files and installed applications the Wine tests feed to
// tarnwell.exe:
//   make_fixtures FOLDER
//   FOLDER/notapatch.bin   plain text
//   FOLDER/v191.bin        a patch of format version 191
//   FOLDER/compressed.bin  a patch that says its body is compressed
//   FOLDER/app-1.0/        a small application as installed (one name in Big5)
//   FOLDER/app-1.1/        the same after the update, for comparison
//   FOLDER/update.bin      the patch from app-1.0 to app-1.1
//   FOLDER/big-1.0/        one big file whose patch takes seconds to apply
//   FOLDER/big-1.1/        the same after the update
//   FOLDER/big.bin         its patch: one instruction pair every 96 bytes
//   FOLDER/names-1.0/, names-1.1/, names.bin   the same for names whose Big5
//                          bytes hold "\" as a trail byte, backup folder 備份功
//   FOLDER/app.new, big.new, names.new  the files an update leaves, one per line
//   FOLDER/app.replaced, big.replaced, names.replaced  the files it moves into
//                          the backup folder
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "delta/patch_writer.h"
#include "delta/streams.h"

namespace {

using tw::Bytes;
namespace fs = std::filesystem;

// Every name as it stands in the patch (Windows code page 950) and as the
// Linux side writes it (UTF-8): Wine turns the one into the other.
struct Name {
  std::string in_patch;
  std::string on_disk;
};
const Name kGame{"game.exe", "game.exe"};
const Name kLevels{"data\\levels.dat", "data/levels.dat"};
const Name kNotes{"\xbb\xa1\xa9\xfa.txt", "\xe8\xaa\xaa\xe6\x98\x8e.txt"};  // 說明.txt
const Name kLevel9{"data\\level9.dat", "data/level9.dat"};
const Name kBig{"big.dat", "big.dat"};
// The second byte of 功 (A5 5C) and of 許 (B3 5C) is the byte of "\".
const Name kFeatures{"\xb8\xea\xae\xc6\\\xa5\x5c\xaf\xe0.dat",
                     "\xe8\xb3\x87\xe6\x96\x99/\xe5\x8a\x9f\xe8\x83\xbd.dat"};  // 資料\功能.dat
const Name kLicence{"\xb3\x5c\xa5\x69\\\xbb\xa1\xa9\xfa.txt",
                    "\xe8\xa8\xb1\xe5\x8f\xaf/\xe8\xaa\xaa\xe6\x98\x8e.txt"};  // 許可\說明.txt
const Name kNoDevice{"\xa5\x5c" "CON.txt", "\xe5\x8a\x9f" "CON.txt"};  // 功CON.txt
const char kBigFiveBackup[] = "\xb3\xc6\xa5\xf7\xa5\x5c";                 // 備份功
constexpr uint32_t kNewTime = 0x5B870000;  // 7 December 2025, midnight

bool g_ok = true;

void Write(const fs::path& path, const Bytes& data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  g_ok = g_ok && out.good();
}

// Looks like a program: short-range values with regular tables in between.
Bytes FakeProgram(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i % 64 < 48 ? rng() % 32 : i);
  return b;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

tw::VersionBlock Encode(const Bytes& old_data, const Bytes& new_data,
                        const std::vector<tw::DeltaOp>& program) {
  tw::VersionBlock v;
  v.Record.SourceSize = static_cast<int32_t>(old_data.size());
  v.Record.SourceCrc = tw::ChecksumBytes(old_data.data(), old_data.size());
  v.Record.VersionFlags = tw::kVersionRangeIsSum;
  v.Record.InsertBlockSize = 200;
  std::string error;
  Bytes rebuilt;
  // A fixture that does not rebuild its own new file would make every test
  // that uses it fail for the wrong reason.
  if (!tw::EncodeProgram(v.Record, static_cast<int64_t>(new_data.size()), program, &v.Streams,
                         &error) ||
      !tw::ModelRun(v.Record, old_data, program, &rebuilt) || rebuilt != new_data) {
    std::fprintf(stderr, "make_fixtures: bad program: %s\n", error.c_str());
    g_ok = false;
  }
  return v;
}

// Keeps the common head and tail and stores the middle.
tw::VersionBlock HeadTailVersion(const Bytes& old_data, const Bytes& new_data) {
  size_t head = 0, tail = 0;
  while (head < old_data.size() && head < new_data.size() && old_data[head] == new_data[head]) {
    ++head;
  }
  while (tail < old_data.size() - head && tail < new_data.size() - head &&
         old_data[old_data.size() - 1 - tail] == new_data[new_data.size() - 1 - tail]) {
    ++tail;
  }
  std::vector<tw::DeltaOp> program;
  if (head > 0) program.push_back(tw::CopyOp(static_cast<int32_t>(head), 0));
  Bytes middle(new_data.begin() + static_cast<long>(head),
               new_data.end() - static_cast<long>(tail));
  if (!middle.empty()) program.push_back(tw::StoredInsertOp(middle, 200));
  if (tail > 0) {
    program.push_back(tw::CopyOp(static_cast<int32_t>(tail),
                                 static_cast<int32_t>(old_data.size() - tail - head)));
  }
  return Encode(old_data, new_data, program);
}

// new_data differs from old_data (same size) in the last byte of every
// stretch: a long program of short copies, so that applying it takes a while
// and the window is asked to stay responsive thousands of times.
tw::VersionBlock ManyStepsVersion(const Bytes& old_data, const Bytes& new_data, size_t stretch) {
  std::vector<tw::DeltaOp> program;
  for (size_t at = 0; at < new_data.size(); at += stretch) {
    size_t n = std::min(stretch, new_data.size() - at);
    // The first copy starts at the reference cursor; each later one skips the
    // byte that the insert before it replaced.
    if (n > 1) program.push_back(tw::CopyOp(static_cast<int32_t>(n - 1), at == 0 ? 0 : 1));
    program.push_back(tw::StoredInsertOp(Bytes{new_data[at + n - 1]}, 200));
  }
  return Encode(old_data, new_data, program);
}

tw::PatchedEntry Entry(const Name& name, const Bytes& new_data, tw::VersionBlock version) {
  tw::PatchedEntry e;
  e.EntryName = name.in_patch;
  e.NewSize = static_cast<int32_t>(new_data.size());
  e.NewCrc = tw::ChecksumBytes(new_data.data(), new_data.size());
  e.NewFileTime = kNewTime;
  e.Versions.push_back(std::move(version));
  return e;
}

void WritePatch(const tw::PatchContents& patch, const fs::path& path) {
  std::string error;
  if (!tw::WritePatchFile(patch, path.string(), "", &error)) {
    std::fprintf(stderr, "make_fixtures: %s: %s\n", path.c_str(), error.c_str());
    g_ok = false;
  }
}

// The files a test compares after a run, one per line, as on disk.
void WriteList(const fs::path& path, const std::vector<Name>& names) {
  std::ofstream out(path);
  for (const Name& n : names) out << n.on_disk << "\n";
}

void SmallApplication(const fs::path& dir) {
  Bytes game10 = FakeProgram(300000, 1), game11 = game10;
  for (size_t i = 120000; i < 120400; ++i) game11[i] ^= 0x5a;
  game11.insert(game11.begin() + 250000, 5000, 0x90);
  Bytes levels10 = FakeProgram(50000, 2), levels11 = levels10;
  levels11.resize(56000, 7);
  // Big5 text: "遊戲說明 1.0" and "遊戲說明 1.1".
  Bytes notes10 = Text("\xb9\x43\xc0\xb8\xbb\xa1\xa9\xfa 1.0\r\n");
  Bytes notes11 = Text("\xb9\x43\xc0\xb8\xbb\xa1\xa9\xfa 1.1\r\nNew: level 9.\r\n");
  Bytes level9 = FakeProgram(8000, 9);

  Write(dir / "app-1.0" / kGame.on_disk, game10);
  Write(dir / "app-1.0" / kLevels.on_disk, levels10);
  Write(dir / "app-1.0" / kNotes.on_disk, notes10);
  Write(dir / "app-1.1" / kGame.on_disk, game11);
  Write(dir / "app-1.1" / kLevels.on_disk, levels11);
  Write(dir / "app-1.1" / kNotes.on_disk, notes11);
  Write(dir / "app-1.1" / kLevel9.on_disk, level9);
  WriteList(dir / "app.replaced", {kGame, kLevels, kNotes});
  WriteList(dir / "app.new", {kGame, kLevels, kNotes, kLevel9});

  tw::PatchContents patch;
  // "Demo Game 1.1 更新程式", a line break (byte 1), then "遊戲說明".
  patch.Description = tw::OemFromAnsi(
      "Demo Game 1.1 \xa7\xf3\xb7\x73\xb5\x7b\xa6\xa1\x01"
      "\xb9\x43\xc0\xb8\xbb\xa1\xa9\xfa: fixes the save routine, adds level 9.");
  patch.BackupFolderName = "backup-1.0";
  patch.Entries.push_back(Entry(kGame, game11, HeadTailVersion(game10, game11)));
  patch.Entries.push_back(Entry(kLevels, levels11, HeadTailVersion(levels10, levels11)));
  patch.Entries.push_back(Entry(kNotes, notes11, HeadTailVersion(notes10, notes11)));
  patch.Entries.push_back(tw::IncludedEntry{kLevel9.in_patch, kNewTime, level9});
  WritePatch(patch, dir / "update.bin");
}

void BigApplication(const fs::path& dir) {
  // Big enough that a run is still going when the driver closes its window
  // the moment it shows, however fast a run gets.
  constexpr size_t kSize = 48 << 20;
  constexpr size_t kStretch = 96;
  Bytes old_data = FakeProgram(kSize, 3), new_data = old_data;
  for (size_t at = kStretch - 1; at < kSize; at += kStretch) new_data[at] ^= 0xff;
  Write(dir / "big-1.0" / kBig.on_disk, old_data);
  Write(dir / "big-1.1" / kBig.on_disk, new_data);
  WriteList(dir / "big.replaced", {kBig});
  WriteList(dir / "big.new", {kBig});
  tw::PatchContents patch;
  patch.Description = "A long patch.";
  patch.BackupFolderName = "backup";
  patch.Entries.push_back(Entry(kBig, new_data, ManyStepsVersion(old_data, new_data, kStretch)));
  WritePatch(patch, dir / "big.bin");
}

void BigFiveNames(const fs::path& dir) {
  Bytes features10 = FakeProgram(20000, 4), features11 = features10;
  for (size_t i = 5000; i < 5100; ++i) features11[i] ^= 0x33;
  Bytes licence10 = Text("\xbb\xa1\xa9\xfa 1.0\r\n"), licence11 = Text("\xbb\xa1\xa9\xfa 1.1\r\n");
  Bytes no_device = Text("no device\r\n");
  Write(dir / "names-1.0" / kFeatures.on_disk, features10);
  Write(dir / "names-1.0" / kLicence.on_disk, licence10);
  Write(dir / "names-1.1" / kFeatures.on_disk, features11);
  Write(dir / "names-1.1" / kLicence.on_disk, licence11);
  Write(dir / "names-1.1" / kNoDevice.on_disk, no_device);
  WriteList(dir / "names.replaced", {kFeatures, kLicence});
  WriteList(dir / "names.new", {kFeatures, kLicence, kNoDevice});
  tw::PatchContents patch;
  patch.Description = "Names in Big5.";
  patch.BackupFolderName = kBigFiveBackup;
  patch.Entries.push_back(
      Entry(kFeatures, features11, HeadTailVersion(features10, features11)));
  patch.Entries.push_back(Entry(kLicence, licence11, HeadTailVersion(licence10, licence11)));
  patch.Entries.push_back(tw::IncludedEntry{kNoDevice.in_patch, kNewTime, no_device});
  WritePatch(patch, dir / "names.bin");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fixtures FOLDER\n");
    return 1;
  }
  fs::path dir = argv[1];
  std::ofstream(dir / "notapatch.bin") << "This file carries no patch at all.\r\n";
  tw::PatchContents patch;
  patch.BackupFolderName = "backup";
  patch.FormatVersion = 191;
  WritePatch(patch, dir / "v191.bin");
  patch.FormatVersion = tw::kPatchFormatVersion;
  patch.HeaderFlags = tw::kFlagCompressedBody;
  WritePatch(patch, dir / "compressed.bin");
  // Greek alpha and Alpha in Big5 (the first one's trail byte is "\"): one
  // file to Windows, so the patch is refused before anything is written.
  tw::PatchContents clash;
  clash.BackupFolderName = "backup";
  clash.Entries.push_back(tw::IncludedEntry{"\xA3\x5C.txt", kNewTime, Text("alpha")});
  clash.Entries.push_back(tw::IncludedEntry{"\xA3\x44.txt", kNewTime, Text("Alpha")});
  WritePatch(clash, dir / "clash.bin");
  SmallApplication(dir);
  BigApplication(dir);
  BigFiveNames(dir);
  if (!g_ok) {
    std::fprintf(stderr, "make_fixtures: cannot write the fixtures into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
