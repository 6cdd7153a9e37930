// The whole run (reload, test pass, apply pass) on raw carriers against a
// small installed application. After every input nothing outside the target
// folder may have changed: not its siblings, not the folder that a symbolic
// link inside it points to, not the carrier.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <set>

#include "apply/run_patch.h"
#include "fuzz/fuzz_env.h"
#include "messages/messages.h"
#include "state/run_state.h"

using namespace tw;

namespace {

std::string Box() { return fuzz::ScratchDir() + "/box"; }
std::string Target() { return Box() + "/target"; }

void LayOutTarget() {
  fuzz::RemoveTree(Target());
  fuzz::MakeFolder(Target());
  fuzz::MakeFolder(Target() + "/sub");
  for (const auto& [name, data] : fuzz::InstalledFiles()) fuzz::WriteFile(Target() + "/" + name, data);
  if (symlink("../outside", (Target() + "/link").c_str()) != 0) fuzz::Fail("cannot make the link");
}

// Everything below the scratch folder but the target folder and the temp folder.
fuzz::Snapshot Surroundings() {
  fuzz::Snapshot all = fuzz::TakeSnapshot(fuzz::ScratchDir()), kept;
  for (auto& [path, what] : all) {
    if (path.rfind("box/target/", 0) == 0 || path.rfind("temp/", 0) == 0) continue;
    kept[path] = what;
  }
  return kept;
}

// The header's mode byte, found as the loader finds it; 2 when there is none.
int HeaderMode(const uint8_t* data, size_t size) {
  if (size < 8) return 2;
  uint32_t length = data[size - 8] | (data[size - 7] << 8) | (data[size - 6] << 16) |
                    (static_cast<uint32_t>(data[size - 5]) << 24);
  if (length > size || length < 9) return 2;
  return data[size - length + 8];
}

void SetUpOnce() {
  // A hostile patch may state a new file of 2 GB; the file-size limit turns
  // such a decode into a failed write within milliseconds.
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {8 << 20, 8 << 20};
  setrlimit(RLIMIT_FSIZE, &limit);
  fuzz::MakeFolder(Box());
  fuzz::MakeFolder(Box() + "/outside");
  fuzz::WriteFile(Box() + "/outside/secret.txt", fuzz::Pattern(50, 9));
  fuzz::WriteFile(Box() + "/sibling.txt", fuzz::Pattern(60, 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool kReady = (SetUpOnce(), true);
  (void)kReady;
  fuzz::ResetRun();
  LayOutTarget();
  const std::string carrier = fuzz::ScratchDir() + "/carrier.bin";
  fuzz::WriteFile(carrier, data, size);
  const fuzz::Snapshot before = Surroundings();
  const fuzz::Snapshot installed = fuzz::TakeSnapshot(Target());

  g_run.PatchFilePath = fuzz::CoreForm(carrier);
  std::string target = fuzz::CoreForm(Target());
  if (HeaderMode(data, size) != 2) target += "\\a.exe";
  g_run.TargetPath = g_run.TargetBase = target;
  try {
    RunPatch();
  } catch (const PatchError& e) {
    fuzz::Check(fuzz::IsCatalogueText(e.text()), "raised text is no catalogue message");
  }
  g_run.Carrier.Close();
  g_run.BodyTempFile.Close();
  if (Surroundings() != before) fuzz::Fail("a file outside the target folder changed");
  // With a backup folder, a replaced file moves there: whatever the patch
  // does, no installed file's bytes may vanish from the target folder.
  if (g_run.MultiFileMode && !g_run.BackupFolderName.empty()) {
    std::multiset<std::string> now;
    for (const auto& [path, what] : fuzz::TakeSnapshot(Target())) now.insert(what);
    for (const auto& [path, what] : installed) {
      if (what.rfind("f:", 0) == 0 && now.count(what) == 0) fuzz::Fail("installed file lost: " + path);
    }
  }
  return 0;
}
