#include "apply/preflight.h"

#include <map>
#include <vector>

#include "apply/file_ops.h"
#include "container/body.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"

namespace tw {
namespace {

// Besides the files' own bytes, a volume gives room to the records of new
// files and folders; a little more than asked keeps a nearly full volume
// from failing half-way.
constexpr int64_t kRoomMargin = 1 << 20;

struct VolumeNeed {
  std::string folder;  // an existing folder on the volume, to ask its free space
  int64_t bytes = 0;
  int message = 0;        // what the apply pass raises when the volume runs out
  std::string entry;      // the entry that message names
};

// By OsVolumeOf: what the apply pass will stage there.
std::map<std::string, VolumeNeed> g_needs;

bool BelowTarget(const std::string& folder) { return folder.size() > g_run.TargetBase.size(); }

// A change at path would pass through a link that the confinement refuses;
// the cause names the link.
void CheckNoLink(const std::string& path, int message) {
  if (!OsConfinementRefuses(path)) return;
  std::string link = path;
  for (const std::string& folder : FoldersLeadingTo(path)) {
    if (BelowTarget(folder) && OsConfinementRefuses(folder + "\\x")) {
      link = folder;
      break;
    }
  }
  RaiseErrorBecause(message, link + ": folder is a symbolic link leading outside the target");
}

// Refuses something other than a folder where path needs one, and a folder
// where path puts its file. Returns the deepest existing folder holding path:
// the one that will take the new entries.
std::string CheckShape(const std::string& path, int message) {
  std::string existing = ".";
  for (const std::string& folder : FoldersLeadingTo(path)) {
    OsKind kind = OsKindOf(folder);
    if (kind == OsKind::kFolder) {
      existing = folder;
      continue;
    }
    // Above the target: a drive designation, a server's name.
    if (!BelowTarget(folder)) continue;
    if (kind != OsKind::kNone) {
      RaiseErrorBecause(message, folder + ": a file stands where the patch needs a folder");
    }
    break;
  }
  if (OsKindOf(path) == OsKind::kFolder) {
    RaiseErrorBecause(message, path + ": a folder stands where the patch puts a file");
  }
  return existing;
}

// A name longer than the file system takes cannot be created: found now,
// not half-way through the apply pass. folder is the deepest that exists.
void CheckNameLengths(const std::string& path, const std::string& folder, int message) {
  size_t max = OsNameMax(folder);
  if (max == 0) return;
  std::vector<std::string> steps = FoldersLeadingTo(path);
  steps.push_back(path);
  for (const std::string& step : steps) {
    if (!BelowTarget(step)) continue;
    size_t cut = LastBackslash(step);
    size_t length = step.size() - (cut == std::string::npos ? 0 : cut + 1);
    if (length > max) {
      RaiseErrorBecause(message, step + ": the name is " + DecimalText(static_cast<int64_t>(length)) +
                                     " bytes; the file system takes at most " +
                                     DecimalText(static_cast<int64_t>(max)));
    }
  }
}

void CheckFolderTakesFiles(const std::string& folder, int message) {
  if (int code = OsChangeRefusal(folder)) {
    RaiseErrorBecause(message, folder + ": the folder takes no new files: " + OsErrorText(code));
  }
}

void CheckFileMovable(const std::string& path, int message, const char* what) {
  if (OsKindOf(path) != OsKind::kFile) return;
  if (int code = OsChangeRefusal(path)) {
    RaiseErrorBecause(message, path + ": " + what + ": " + OsErrorText(code));
  }
}

void Need(const std::string& folder, int64_t bytes, int message) {
  VolumeNeed& need = g_needs[OsVolumeOf(folder)];
  if (need.folder.empty()) {
    need.folder = folder;
    need.message = message;
    need.entry = g_run.EntryName;
  }
  need.bytes += bytes;
}

}  // namespace

void PreflightBegin() { g_needs.clear(); }

void PreflightEntry(const std::string& destination, int64_t new_bytes,
                    const std::string& from_temp, bool backed_up, int message) {
  CheckNoLink(destination, message);
  std::string folder = CheckShape(destination, message);
  CheckNameLengths(destination, folder, message);
  CheckFolderTakesFiles(folder, message);
  bool exists = OsKindOf(destination) == OsKind::kFile;
  bool backup = backed_up && exists && g_run.MultiFileMode && !g_run.BackupFolderName.empty();
  CheckFileMovable(destination, backup ? kMsgBackupFailed : message,
                   "the file cannot be moved or replaced");
  if (backup) {
    std::string kept = ResolvedPath(
        g_run.TargetBase, g_run.BackupFolderName + "\\" + g_run.Entry.ResolvedName, nullptr);
    CheckNoLink(kept, kMsgBackupFailed);
    std::string kept_folder = CheckShape(kept, kMsgBackupFailed);
    CheckNameLengths(kept, kept_folder, kMsgBackupFailed);
    CheckFolderTakesFiles(kept_folder, kMsgBackupFailed);
    CheckFileMovable(kept, kMsgBackupFailed, "an older backup that cannot be replaced");
  }
  // A verified temp result on the same volume is moved there, not copied;
  // so is the backup, which keeps to the target's volume.
  if (from_temp.empty() || OsVolumeOf(from_temp) != OsVolumeOf(folder)) {
    Need(folder, new_bytes, message);
  }
}

void PreflightEnd() {
  for (const auto& [volume, need] : g_needs) {
    if (need.bytes <= 0) continue;
    int64_t free_bytes = OsFreeSpace(need.folder);
    int64_t wanted = need.bytes + need.bytes / 64 + kRoomMargin;
    if (free_bytes >= 0 && wanted > free_bytes) {
      g_run.EntryName = need.entry;
      RaiseErrorBecause(need.message, "needs " + DecimalText(wanted) +
                                          " bytes on the target volume holding " + need.folder +
                                          ", " + DecimalText(free_bytes) + " free");
    }
  }
  g_needs.clear();
}

}  // namespace tw
