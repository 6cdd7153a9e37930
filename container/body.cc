#include "container/body.h"

#include <algorithm>

#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"

namespace tw {
namespace {

// Each failed creation takes a fresh name; a temp folder that cannot be
// written gives up after this many attempts instead of looping for ever.
constexpr int kCreateAttempts = 16;

}  // namespace

std::string DecimalText(int64_t value) { return std::to_string(value); }

void InitTempFolder() {
  g_run.TempFolder = OsTempFolder();
  if (!g_run.TempFolder.empty() && g_run.TempFolder.back() != '\\') g_run.TempFolder += '\\';
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
