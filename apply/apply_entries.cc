#include "apply/apply_entries.h"

#include <set>

#include "apply/file_ops.h"
#include "container/entries.h"
#include "delta/decoder.h"
#include "delta/streams.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "ui/hooks.h"

namespace tw {
namespace {

bool HasNewFile(const std::string& path) {
  File f;
  bool match = f.OpenRead(path) && f.Size() == g_run.Entry.NewSize &&
               ChecksumMatches(f, g_run.Entry.Excluded, g_run.Entry.NewCrc);
  f.Close();
  ClearIoError();
  return match;
}

std::string UnderTarget(const std::string& name) {
  return g_run.MultiFileMode ? g_run.TargetPath + "\\" + name : g_run.TargetPath;
}

// Runs the version chain from the first version whose source is present and
// matches; returns false when none is. *result names the final output.
bool DecodeChain(std::string* result) {
  const FileEntry& e = g_run.Entry;
  bool have = false;
  std::string input;
  for (int k = 1; k <= e.VersionCount; ++k) {
    DecodeRequest req;
    req.version = &e.Version[k];
    req.body_position = e.StreamStart[k];
    req.new_size = k < e.VersionCount ? e.Version[k + 1].SourceSize : e.NewSize;
    req.max_output = req.new_size;
    req.verify_source = req.source_optional = !have;
    req.source_excluded = e.VersionExcluded[k];
    req.source_path = have ? input : UnderTarget(e.VersionName[k]);
    std::string out;
    bool ok = DecodeVersion(req, &out);
    if (!ok && g_run.MultiFileMode) {
      req.source_path = g_run.TargetPath + "\\" + g_run.BackupFolderName + "\\" + e.VersionName[k];
      ok = DecodeVersion(req, &out);
    }
    if (!ok) continue;
    if (have) DeleteFileQuietly(input);
    input = out;
    have = true;
  }
  *result = input;
  return have;
}

// False stops the pass.
bool ApplyPatchedEntry(bool test, bool quiet) {
  const FileEntry& e = g_run.Entry;
  bool multi = g_run.MultiFileMode;
  if (!quiet) {
    if (!test) {
      LogMessage(kMsgUpdatingEntry);
    } else if (multi) {
      LogMessage(kMsgCheckingEntry);
    }
  }
  bool announce_outcome = !quiet && (!test || multi);
  if (HasNewFile(e.InstalledPath)) {
    if (announce_outcome) LogMessage(kMsgAlreadyUpdated);
    return true;
  }
  std::string result = UnderTarget(g_run.EntryName);
  bool ready_new = HasNewFile(result);
  if (!ready_new && !DecodeChain(&result)) {
    if (e.OptionalFile) {
      if (!quiet) LogMessage(kMsgNoSourceOptional);
      return true;
    }
    if (!quiet && multi) LogMessage(kMsgNoSourceRequired);
    return false;
  }
  {
    File check;
    bool good = check.OpenRead(result) && ChecksumMatches(check, e.Excluded, e.NewCrc);
    check.Close();
    ClearIoError();
    if (!good) {
      // A wrong result is of no use to anyone; do not leave it in the temp folder.
      if (!ready_new) DeleteFileQuietly(result);
      if (quiet) return false;
      RaiseError(kMsgChecksumWrong);
    }
  }
  if (!test && result != e.InstalledPath) {
    // The new file is complete beside the installed one before the installed
    // one is touched, and then takes its place in one rename.
    std::string staged;
    try {
      staged = StageCopy(result, e.InstalledPath, e.NewFileTime, !ready_new);
      if (multi && !ready_new) MoveToBackup(e.InstalledPath);
    } catch (const PatchError&) {
      if (!staged.empty()) DeleteFileQuietly(staged);
      if (!ready_new) DeleteFileQuietly(result);
      throw;
    }
    PutInPlace(staged, e.InstalledPath);
  }
  if (!ready_new) DeleteFileQuietly(result);
  if (announce_outcome) LogMessage(kMsgOk);
  return true;
}

}  // namespace

bool ApplyEntries(bool test, bool quiet) {
  // Whatever a pass writes goes below the target; links inside it do not lead out.
  OsSetConfinementRoot(g_run.TargetBase);
  g_run.BodyTempFile.Seek(g_run.PatchBodyStart);
  // Two entries that name one file (on Windows, names differing only in
  // case) would overwrite each other, the second taking the first's new file
  // for its old one. The test pass reads every entry before the apply pass
  // writes anything, so such a patch is refused before any change.
  std::set<std::string> names;
  for (;;) {
    PumpPendingMessages();
    int kind = ReadNextEntry();
    if (kind == kEntryEnd) break;
    if (g_run.MultiFileMode && !names.insert(OsNameKey(g_run.EntryName)).second) {
      RaisePatchDamaged();
    }
    if (kind == kEntryPatched) {
      if (!ApplyPatchedEntry(test, quiet)) return false;
    } else {
      if (!quiet) LogMessage(test ? kMsgSkippingIncluded : kMsgWritingIncluded);
      WriteIncludedFile(test);
    }
    if (!g_run.MultiFileMode) break;
  }
  return true;
}

}  // namespace tw
