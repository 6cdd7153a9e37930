// Writes the seed corpus of every fuzz target with the patch writer:
//   make_fuzz_seeds OUTDIR  ->  OUTDIR/{container,decoder,run,name}/...
// The carriers are valid patches of every shape (multi-file, single-file,
// included files, version chains, excluded regions, registry strings) built
// against the installed application that the whole-run target lays out, so
// that mutations start from inputs that reach the apply pass.
#include <cstdio>
#include <string>
#include <vector>

#include "delta/patch_writer.h"
#include "delta/streams.h"
#include "fuzz/fuzz_env.h"
#include "tests/patch_builder.h"

using namespace tw;
using fuzz::Bytes;

namespace {

Bytes Old(const std::string& name) {
  for (const auto& [n, data] : fuzz::InstalledFiles()) {
    if (n == name) return data;
  }
  fuzz::Fail("no installed file " + name);
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

PatchedEntry Entry(const std::string& core_name, const std::string& posix_name) {
  return MakePatchedEntry(core_name, {Old(posix_name)}, fuzz::NewVersionOf(posix_name));
}

std::vector<std::pair<std::string, PatchContents>> Carriers() {
  std::vector<std::pair<std::string, PatchContents>> out;
  auto add = [&](const std::string& name, PatchContents p) { out.emplace_back(name, std::move(p)); };
  PatchContents base;
  base.BackupFolderName = "backup";
  base.Description = OemFromAnsi("Seed patch\r\nsecond line #% hidden");

  PatchContents multi = base;
  multi.Entries.push_back(Entry("a.exe", "a.exe"));
  multi.Entries.push_back(Entry("sub\\b.dat", "sub/b.dat"));
  multi.Entries.push_back(IncludedEntry{"readme.txt", 0x28762980, fuzz::NewVersionOf("readme.txt")});
  add("multi", multi);

  PatchContents single = base;
  single.HeaderMode = 1;
  single.Entries.push_back(Entry("", "a.exe"));
  add("single", single);

  PatchContents excluded = base;
  {
    Bytes old_a = Old("a.exe"), new_a = fuzz::NewVersionOf("a.exe");
    PatchedEntry e;
    e.EntryName = "a.exe";
    e.EntryFlags = kEntryHasExcludedRegions;
    e.Excluded = {10, 4};
    e.NewSize = static_cast<int32_t>(new_a.size());
    e.NewCrc = ChecksumBytes(new_a.data(), new_a.size(), 10, 4);
    e.NewFileTime = 0x3C210000;
    e.Versions.push_back(MakeVersionBlock(old_a, new_a, "", {20, 8}));
    excluded.Entries.push_back(e);
  }
  add("excluded", excluded);

  PatchContents chain = base;
  {
    Bytes v1 = fuzz::Pattern(500, 5), v2 = Old("a.exe"), v3 = fuzz::Pattern(2500, 6);
    PatchedEntry e = MakePatchedEntry("a.exe", {v1, v2, v3}, fuzz::NewVersionOf("a.exe"));
    e.Versions[0].VersionName = "old.exe";
    chain.Entries.push_back(e);
  }
  add("chain", chain);

  PatchContents registry = base;
  registry.HeaderFlags = kFlagHasRegistryLocation;
  registry.RegistryKeyPath = "SOFTWARE\\Seed\\App";
  registry.RegistryValueName = "InstallDir";
  registry.Entries.push_back(Entry("sub\\b.dat", "sub/b.dat"));
  add("registry", registry);

  PatchContents optional = base;
  {
    PatchedEntry missing = MakePatchedEntry("missing.dll", {fuzz::Pattern(90, 7)}, fuzz::Pattern(95, 8));
    missing.EntryFlags = kEntryOptionalFile;
    optional.Entries.push_back(missing);
    PatchedEntry none;
    none.EntryName = "readme.txt";
    Bytes r = Old("readme.txt");
    none.NewSize = static_cast<int32_t>(r.size());
    none.NewCrc = ChecksumBytes(r.data(), r.size());
    optional.Entries.push_back(none);
    optional.Entries.push_back(Entry("a.exe", "a.exe"));
  }
  add("optional", optional);

  PatchContents included = base;
  included.Entries.push_back(IncludedEntry{"docs\\deep\\new.txt", 0x3C210000, Text("nested")});
  included.Entries.push_back(IncludedEntry{"empty.txt", 0, {}});
  add("included", included);

  // Names that must be refused: through the link out of the target folder,
  // and two names for one file on Windows.
  PatchContents link = base;
  link.Entries.push_back(IncludedEntry{"link\\evil.txt", 0, Text("escaped")});
  add("through-link", link);
  PatchContents cases = base;
  cases.Entries.push_back(IncludedEntry{"README.TXT", 0, Text("upper")});
  cases.Entries.push_back(IncludedEntry{"readme.txt", 0, Text("lower")});
  add("case-twins", cases);

  PatchContents nobackup = multi;
  nobackup.BackupFolderName = "";
  add("no-backup", nobackup);

  PatchContents empty;
  add("empty", empty);
  return out;
}

struct DecoderSeed {
  std::string name;
  Bytes source;
  SourceVersion v;
  int64_t new_size;
  uint8_t control;  // verify and optional bits, as the target reads them
  std::vector<DeltaOp> program;
};

std::vector<DecoderSeed> DecoderSeeds() {
  std::vector<DecoderSeed> out;
  auto version = [](const Bytes& src, uint16_t period, uint8_t flags, uint8_t block) {
    SourceVersion v;
    v.SourceSize = static_cast<int32_t>(src.size());
    v.SourceCrc = ChecksumBytes(src.data(), src.size());
    v.FixupPeriod = period;
    v.VersionFlags = flags;
    v.InsertBlockSize = block;
    return v;
  };
  Bytes ten = Text("ABCDEFGHIJ");
  out.push_back({"worked-example", ten, version(ten, 2, kVersionRangeIsSum, 4), 14, 0,
                 {CopyOp(4, 0, {0x20}), InsertOp({0x20, 0x20, 0x20}, {false}),
                  CopyOp(5, 6, {0x01})}});
  Bytes src = fuzz::Pattern(3000, 1);
  out.push_back({"modes-and-fixups", src, version(src, 1, kVersionRangeIsSum, 16), 3100, 4,
                 {CopyOp(1000, 0, {1, 2}), InsertOp(Bytes(40, 7), {true, false}),
                  CopyOp(500, 100, {3, 4}), CountSlotOp(), CopyOp(300, -200, {5, 5}),
                  CopyOp(200, 1200, {6, 6})}});
  out.push_back({"plain-fixups", src, version(src, 3, kVersionPlainFixups, 5), 2000, 8,
                 {CopyOp(700, 10, {9, 9, 9}), CountSlotOp(), InsertOp(Bytes(12, 1), {false, true}),
                  CopyOp(50, 5, {1, 1, 1}), CopyOp(80, 3001, {2, 2, 2})}});
  Bytes big = fuzz::Pattern(4000, 2);
  out.push_back({"three-byte-numbers", big, version(big, 0, 0, 200), 70000, 0,
                 {CopyOp(4000, 0, {}), CopyOp(3000, 0, {}), StoredInsertOp(Bytes(300, 4), 200)}});
  out.push_back({"four-byte-numbers", big, version(big, 190, 0, 255), 20000000, 4,
                 {CopyOp(3999, 1, {}), InsertOp(Bytes(600, 5), {false, true})}});
  out.push_back({"empty-program", ten, version(ten, 0, 0, 1), 0, 0, {}});
  Bytes none;
  out.push_back({"empty-source", none, version(none, 0, kVersionRangeIsSum, 3), 300, 0,
                 {StoredInsertOp(Bytes(9, 'x'), 3), CopyOp(6, 0, {})}});
  return out;
}

Bytes DecoderInput(const DecoderSeed& s) {
  VersionStreams streams;
  std::string why;
  if (!EncodeProgram(s.v, s.new_size, s.program, &streams, &why)) fuzz::Fail(s.name + ": " + why);
  Bytes in;
  auto put16 = [&](uint32_t v) {
    in.push_back(v & 0xff);
    in.push_back((v >> 8) & 0xff);
  };
  in.push_back(static_cast<unsigned char>(s.v.VersionFlags | s.control));
  in.push_back(s.v.InsertBlockSize);
  put16(s.v.FixupPeriod);
  put16(static_cast<uint32_t>(s.v.SourceSize));
  put16(static_cast<uint32_t>(s.new_size & 0xffff));
  put16(static_cast<uint32_t>(s.new_size >> 16));
  for (const Bytes& stream : streams.Stream) put16(static_cast<uint32_t>(stream.size()));
  in.insert(in.end(), s.source.begin(), s.source.end());
  for (const Bytes& stream : streams.Stream) in.insert(in.end(), stream.begin(), stream.end());
  return in;
}

const char* const kNames[] = {
    "a.exe", "sub\\b.dat", "deep/er\\x.txt", "..\\evil", "a\\..\\..\\evil", "\\abs", "C:x",
    "\\\\srv\\share", "\\\\?\\C:\\x", "f:stream", "CON", "nul.txt", "COM1.log", "LPT9",
    "dots.", "space ", "\xa4\xa4\xa4\xe5\\\xb3\x5c.txt", "ok name (1).txt", "tab\tname",
};

void Save(const std::string& path, const Bytes& data) { fuzz::WriteFile(path, data); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_fuzz_seeds OUTDIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  fuzz::MakeFolder(dir);
  for (const char* t : {"container", "decoder", "run", "name"}) fuzz::MakeFolder(dir + "/" + t);
  int count = 0;
  for (const auto& [name, patch] : Carriers()) {
    Bytes carrier;
    std::string why;
    if (!WritePatch(patch, &carrier, &why)) fuzz::Fail(name + ": " + why);
    Save(dir + "/container/" + name, carrier);
    Save(dir + "/run/" + name, carrier);
    count += 2;
    // A self-contained program carries its patch after the program's bytes.
    if (name == "multi") {
      Bytes prefixed = Text("MZ fake program bytes");
      prefixed.insert(prefixed.end(), carrier.begin(), carrier.end());
      Save(dir + "/container/multi-prefixed", prefixed);
      ++count;
    }
  }
  for (const DecoderSeed& s : DecoderSeeds()) {
    Save(dir + "/decoder/" + s.name, DecoderInput(s));
    ++count;
  }
  int n = 0;
  for (const char* name : kNames) {
    Save(dir + "/name/" + std::to_string(n++), Text(name));
    ++count;
  }
  printf("%d seeds in %s\n", count, dir.c_str());
  return 0;
}
