// DecodeVersion on raw streams and version records against a small source.
// Input: a 20-byte record (flags, block size, fix-up period, source size, new
// size, five stream lengths), the source bytes, then the streams. Sizes are
// capped so that every input decodes in milliseconds.
#include <sys/stat.h>

#include <algorithm>

#include "delta/decoder.h"
#include "fuzz/fuzz_env.h"
#include "messages/messages.h"
#include "state/run_state.h"

using namespace tw;

namespace {

constexpr size_t kRecordSize = 20;
constexpr int64_t kMaxSource = 4096;
constexpr int64_t kMaxOutput = 1 << 18;

uint32_t U16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t U32(const uint8_t* p) { return U16(p) | (U16(p + 2) << 16); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kRecordSize) return 0;
  fuzz::ResetRun();
  const uint8_t control = data[0];
  SourceVersion v;
  v.VersionFlags = control & 3;
  v.InsertBlockSize = data[1];
  v.FixupPeriod = static_cast<uint16_t>(U16(data + 2));
  v.SourceSize = static_cast<int32_t>(U16(data + 4) % (kMaxSource + 1));
  int64_t new_size = U32(data + 6) & 0x7fffffff;
  for (int i = 0; i < kStreamCount; ++i) {
    v.StreamLength[i] = static_cast<int32_t>(U16(data + 10 + 2 * i));
  }
  const uint8_t* rest = data + kRecordSize;
  size_t left = size - kRecordSize;
  size_t source_bytes = std::min<size_t>(left, static_cast<size_t>(v.SourceSize));
  fuzz::Bytes source(rest, rest + source_bytes);
  // A short input still gets a source of the stated size.
  fuzz::Bytes filler = fuzz::Pattern(static_cast<size_t>(v.SourceSize) - source_bytes, 3);
  source.insert(source.end(), filler.begin(), filler.end());
  rest += source_bytes;
  left -= source_bytes;

  const std::string dir = fuzz::ScratchDir();
  fuzz::WriteFile(dir + "/source.bin", source);
  fuzz::WriteFile(dir + "/body.bin", rest, left);
  // The streams are read from the body copy, as in a run.
  g_run.BodyTempPath = fuzz::CoreForm(dir + "/body.bin");
  if (!g_run.BodyTempFile.OpenRead(g_run.BodyTempPath)) fuzz::Fail("cannot open the body");
  g_run.BodyTempOpen = true;

  DecodeRequest r;
  r.version = &v;
  r.body_position = 0;
  r.source_path = fuzz::CoreForm(dir + "/source.bin");
  r.verify_source = (control & 4) != 0;
  r.source_optional = (control & 8) != 0;
  r.new_size = new_size;
  r.max_output = std::min(new_size, kMaxOutput);
  std::string out;
  try {
    if (DecodeVersion(r, &out)) {
      std::string posix = out;
      std::replace(posix.begin(), posix.end(), '\\', '/');
      struct stat st;
      fuzz::Check(stat(posix.c_str(), &st) == 0, "decoded output missing");
      fuzz::Check(st.st_size <= r.max_output, "output past its bound");
    }
  } catch (const PatchError& e) {
    fuzz::Check(fuzz::IsCatalogueText(e.text()), "raised text is no catalogue message");
  }
  fuzz::Check(!g_run.SourceOpen && !g_run.OutputOpen,
              "engine files left open");
  g_run.BodyTempFile.Close();
  return 0;
}
