// Decoding speed beside plain file copying on the same machine and run.
// A 64 MiB source, a new file made mostly of copied runs with small edits,
// written as a patch and decoded by DecodeVersion. Prints figures only.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "container/entries.h"
#include "container/patch_loader.h"
#include "delta/decoder.h"
#include "delta/patch_writer.h"
#include "delta/streams.h"
#include "messages/messages.h"
#include "state/run_state.h"

namespace fs = std::filesystem;
using namespace tw;

namespace {

constexpr int64_t kSourceSize = 64 << 20;

struct XorShift {
  uint64_t s = 0x9E3779B97F4A7C15ull;
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  int64_t In(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(Next() % (hi - lo + 1)); }
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void WriteAll(const std::string& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Copies, inserts of a few bytes and small skips, until the source is used up.
std::vector<DeltaOp> PlanEdits(const SourceVersion& v, const Bytes& source, Bytes* expected) {
  XorShift rng;
  DecodeModel model(v, source);
  std::vector<DeltaOp> program;
  auto add = [&](DeltaOp op) {
    if (ModelStep(&model, op)) program.push_back(std::move(op));
  };
  int64_t pos = 0;
  while (pos < kSourceSize - 300000) {
    const int64_t len = rng.In(16 << 10, 256 << 10);
    Bytes fixups(model.CountByteDue() ? 2 : model.FixupCount);
    for (auto& b : fixups) b = static_cast<unsigned char>(rng.Next());
    add(CopyOp(static_cast<int32_t>(len), static_cast<int32_t>(pos - model.Cursor()), fixups));
    pos += len + static_cast<int64_t>(fixups.size());
    if (rng.In(0, 1)) {
      Bytes data(rng.In(1, 64));
      for (auto& b : data) b = static_cast<unsigned char>(rng.Next());
      add(StoredInsertOp(data, v.InsertBlockSize));
    }
    pos += rng.In(0, 32);  // a few bytes dropped
  }
  // The last fix-ups pair with source bytes, so they must not run off its end.
  const int64_t last_fixups = model.CountByteDue() ? 0 : model.FixupCount;
  add(CopyOp(static_cast<int32_t>(kSourceSize - pos - last_fixups),
             static_cast<int32_t>(pos - model.Cursor()), Bytes(last_fixups, 0)));
  *expected = std::move(model.output);
  return program;
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/tarnwell-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 0;
  const std::string dir = tmpl;
  g_run.TempFolder = dir + "\\";
  try {
    XorShift rng;
    Bytes source(kSourceSize);
    // Random-ish: short repeated phrases among noise, like program data.
    for (int64_t i = 0; i < kSourceSize; i += 8) {
      uint64_t x = rng.Next();
      if ((x & 7) == 0) x = 0x0000000090909090ull;
      std::memcpy(&source[i], &x, 8);
    }
    WriteAll(dir + "/source.bin", source);

    SourceVersion v;
    v.SourceSize = static_cast<int32_t>(kSourceSize);
    v.SourceCrc = ChecksumBytes(source.data(), source.size());
    v.FixupPeriod = 190;
    v.InsertBlockSize = 20;
    Bytes expected;
    std::vector<DeltaOp> program = PlanEdits(v, source, &expected);
    PatchedEntry entry;
    entry.EntryName = "new.bin";
    entry.NewSize = static_cast<int32_t>(expected.size());
    entry.NewCrc = ChecksumBytes(expected.data(), expected.size());
    entry.Versions.push_back({"source.bin", v, {}, {}});
    std::string why;
    if (!EncodeProgram(v, entry.NewSize, program, &entry.Versions[0].Streams, &why)) {
      std::printf("could not encode: %s\n", why.c_str());
      return 0;
    }
    PatchContents patch;
    patch.Entries.push_back(entry);
    WritePatchFile(patch, dir + "\\patch.bin");
    g_run.PatchFilePath = dir + "\\patch.bin";
    LoadPatch();
    ReadNextEntry();

    DecodeRequest r;
    r.version = &g_run.Entry.Version[1];
    r.body_position = g_run.Entry.StreamStart[1];
    r.source_path = dir + "\\source.bin";
    r.new_size = entry.NewSize;
    std::string out_path;
    auto t = std::chrono::steady_clock::now();
    DecodeVersion(r, &out_path);
    const double decode = Seconds(t);

    t = std::chrono::steady_clock::now();
    File out;
    out.OpenRead(out_path);
    const uint32_t crc = ChecksumFile(out, 0, 0);
    const double checksum = Seconds(t);
    out.Close();

    t = std::chrono::steady_clock::now();
    fs::copy_file(dir + "/source.bin", dir + "/copy1.bin");
    const double copy_file = Seconds(t);

    t = std::chrono::steady_clock::now();
    {
      std::ifstream in(dir + "/source.bin", std::ios::binary);
      std::ofstream o(dir + "/copy2.bin", std::ios::binary);
      std::vector<char> buf(1 << 16);
      while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
        o.write(buf.data(), in.gcount());
      }
    }
    const double copy_loop = Seconds(t);

    const double mb = static_cast<double>(expected.size()) / 1e6;
    std::printf("new file %.1f MB from %zu instructions, patch %zu bytes, output %s\n", mb,
                program.size(), static_cast<size_t>(fs::file_size(dir + "/patch.bin")),
                crc == entry.NewCrc ? "verified" : "DIFFERS");
    std::printf("DecodeVersion      %8.3f s  %8.1f MB/s\n", decode, mb / decode);
    std::printf("copy_file          %8.3f s  %8.1f MB/s\n", copy_file,
                kSourceSize / 1e6 / copy_file);
    std::printf("read/write 64 KiB  %8.3f s  %8.1f MB/s\n", copy_loop,
                kSourceSize / 1e6 / copy_loop);
    std::printf("ChecksumFile       %8.3f s  %8.2f GB/s\n", checksum, mb / 1e3 / checksum);
  } catch (const PatchError& e) {
    std::printf("raised: %s\n", e.what());
  }
  // The run state outlives main; leave it holding no open files.
  g_run.Carrier.Close();
  g_run.BodyTempFile.Close();
  fs::remove_all(dir);
  return 0;
}
