#include "container/body.h"

#include <algorithm>

#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/names.h"
#include "platform/os.h"
#include "state/run_state.h"

namespace tw {
namespace {

constexpr int64_t kPieceSize = 60000;
// Each failed creation takes a fresh name; a temp folder that cannot be
// written gives up after this many attempts instead of looping for ever.
constexpr int kCreateAttempts = 16;

}  // namespace

bool ReadChunked(File& file, void* dst, int64_t count) {
  auto* out = static_cast<unsigned char*>(dst);
  for (int64_t remaining = count; remaining > 0;) {
    int64_t piece = std::min(remaining, kPieceSize);
    file.Read(out + (count - remaining), piece);
    remaining -= piece;
  }
  return TakeIoError() == 0;
}

bool WriteChunked(File& file, const void* src, int64_t count) {
  const auto* in = static_cast<const unsigned char*>(src);
  for (int64_t remaining = count; remaining > 0;) {
    int64_t piece = std::min(remaining, kPieceSize);
    file.Write(in + (count - remaining), piece);
    remaining -= piece;
  }
  return TakeIoError() == 0;
}

std::string DecimalText(int64_t value) { return std::to_string(value); }

void InitTempFolder() {
  g_run.TempFolder = OsTempFolder();
  if (!g_run.TempFolder.empty() && !EndsWithBackslash(g_run.TempFolder)) g_run.TempFolder += '\\';
}

std::string MakeTempFileName() {
  for (int64_t n = 0;; ++n) {
    std::string name = g_run.TempFolder + "TRW" + DecimalText(n) + ".tmp";
    if (!OsFileExists(name)) return name;
  }
}

void CreateTempFile(File& file, std::string* path) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    *path = MakeTempFileName();
    if (file.Create(*path)) return;
  }
  ClearIoError();
  RaiseError(kMsgTempOpenFailed);
}

void ReadBodyBytes(void* dst, int64_t count) {
  if (!ReadChunked(g_run.BodyTempFile, dst, count)) RaisePatchDamaged();
}

std::string ReadBodyString() {
  unsigned char len = 0;
  ReadBodyBytes(&len, 1);
  std::string s(len, '\0');
  ReadBodyBytes(s.data(), len);
  return s;
}

}  // namespace tw
