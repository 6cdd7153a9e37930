#include "apply/apply_entries.h"


#include "apply/file_ops.h"
#include "apply/preflight.h"
#include "container/entries.h"
#include "delta/decoder.h"
#include "delta/streams.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "state/front_end.h"

namespace tw {
namespace {

// What one read of a file told about it: its size and its checksum with the
// entry's excluded region skipped (when the size made it worth taking).
struct FileFacts {
  bool opened = false;
  int64_t size = -1;
  bool summed = false;
  bool complete = false;
  uint32_t crc = 0;
};

FileFacts Examine(const std::string& path) {
  FileFacts facts;
  File f;
  if (f.OpenRead(path)) {
    facts.opened = true;
    facts.size = f.Size();
    // The checksum only for a file that has the new file's size.
    if (facts.size == g_run.Entry.NewSize) {
      facts.complete = true;
      facts.crc = ChecksumFile(f, g_run.Entry.Excluded.offset, g_run.Entry.Excluded.length,
                               &facts.complete);
      facts.summed = true;
    }
  }
  f.Close();
  ClearIoError();
  return facts;
}

bool IsNewFile(const FileFacts& facts) {
  return facts.summed && ChecksumAccepts(facts.crc, facts.complete, g_run.Entry.NewCrc);
}

std::string UnderTarget(const std::string& name) {
  return g_run.MultiFileMode ? ResolvedPath(g_run.TargetPath, name, nullptr) : g_run.TargetPath;
}

// A release folder that holds the backup folder's name for files of its
// own would have them overwritten by backups, or its backups refused: such a
// patch is refused before anything changes. (The loader has already dropped
// a trailing separator from the name.)
void CheckBackupFolderApart(bool whole_target) {
  if (!g_run.MultiFileMode || g_run.BackupFolderName.empty()) return;
  const std::string& folder = g_run.BackupFolderName;
  bool clash = false;
  if (whole_target) {
    clash = OsFileExists(g_run.TargetBase + "\\" + folder);
  } else {
    std::string key = OsNameKey(folder) + "\\";
    std::string entry = OsNameKey(g_run.EntryName);
    clash = entry.compare(0, key.size(), key) == 0 || entry + "\\" == key;
  }
  if (clash) {
    RaiseErrorTextBecause(ExpandMessage(NativeText(kBackupFolderClashText)),
                          "the backup folder " + folder + " would mix with the application's files");
  }
}

// Runs the version chain from the first version whose source is present and
// matches; returns false when none is. *result names the final output and
// *result_crc holds its checksum as the decoder wrote it. installed is what
// the already-updated test learnt of the installed file.
bool DecodeChain(const FileFacts& installed, std::string* result, OutputChecksum* result_crc,
                 std::string* first_source) {
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
    if (k == e.VersionCount) {
      req.output_checksum = result_crc;
      req.output_excluded = e.Excluded;
    }
    // The installed file was just summed with the same region: no need to
    // read it again to know whether it is this version's source.
    if (!have && installed.summed && installed.complete && req.source_path == e.InstalledPath &&
        req.source_excluded.offset == e.Excluded.offset &&
        req.source_excluded.length == e.Excluded.length) {
      req.source_crc_known = true;
      req.source_crc = installed.crc;
    }
    std::string out;
    bool ok = DecodeVersion(req, &out);
    if (!ok && g_run.MultiFileMode) {
      req.source_crc_known = false;
      req.source_path = g_run.TargetPath + "\\" + g_run.BackupFolderName + "\\" + e.VersionName[k];
      ok = DecodeVersion(req, &out);
    }
    if (!ok) continue;
    if (!have) *first_source = req.source_path;
    if (have) DeleteFileQuietly(input);
    input = out;
    have = true;
  }
  *result = input;
  return have;
}

void DropKeptResults() {
  for (const auto& kept : g_run.KeptResults) DeleteFileQuietly(kept.second.path);
  g_run.KeptResults.clear();
}

// Everything this entry's decoding may write to the temp volume.
int64_t DecodingNeeds(const FileEntry& e) {
  int64_t total = e.NewSize;
  for (int k = 1; k <= e.VersionCount; ++k) {
    total += e.Version[k].SourceSize;
    for (int i = 0; i < kStreamCount; ++i) total += e.Version[k].StreamLength[i];
  }
  return total;
}

// The test pass's result for this entry, when both it and the installed file
// it came from are still exactly as they were: then it is what was verified.
bool TakeKeptResult(std::string* result, OutputChecksum* crc, std::string* source) {
  auto it = g_run.KeptResults.find(g_run.EntryOrdinal);
  if (it == g_run.KeptResults.end()) return false;
  KeptResult kept = it->second;
  g_run.KeptResults.erase(it);
  if (OsFileIdentity(kept.path) != kept.identity ||
      OsFileIdentity(kept.source) != kept.source_identity) {
    DeleteFileQuietly(kept.path);
    return false;
  }
  *result = kept.path;
  *source = kept.source;
  crc->value = kept.crc;
  crc->complete = kept.crc_complete;
  return true;
}

void KeepResult(const std::string& result, const OutputChecksum& crc, const std::string& source) {
  KeptResult kept{result, OsFileIdentity(result), source, OsFileIdentity(source), crc.value,
                  crc.complete};
  if (kept.identity.empty() || kept.source_identity.empty()) {
    DeleteFileQuietly(result);
    return;
  }
  g_run.KeptResults[g_run.EntryOrdinal] = kept;
}

// False stops the pass.
bool ApplyPatchedEntry(bool test, bool quiet) {
  const FileEntry& e = g_run.Entry;
  bool multi = g_run.MultiFileMode;
  // A check lists the one file of a single-file patch too: it is all the
  // user asked about.
  bool list_tested = multi || g_run.CheckOnly;
  if (!quiet) {
    if (!test) {
      LogMessage(kMsgUpdatingEntry);
    } else if (list_tested) {
      LogMessage(kMsgCheckingEntry);
    }
  }
  bool announce_outcome = !quiet && (!test || list_tested);
  FileFacts installed = Examine(e.InstalledPath);
  if (IsNewFile(installed)) {
    if (announce_outcome) LogMessage(kMsgAlreadyUpdated);
    return true;
  }
  std::string result = UnderTarget(g_run.EntryName);
  // Where the result goes is usually the installed file itself, just read and
  // found not new: reading it again would cost a whole pass over the file.
  bool ready_new = result != e.InstalledPath && IsNewFile(Examine(result));
  OutputChecksum decoded;
  std::string source;
  bool kept = !test && !ready_new && TakeKeptResult(&result, &decoded, &source);
  // Results kept for later give way when this entry needs their room.
  int64_t free_bytes = OsFreeSpace(g_run.TempFolder);
  if (!ready_new && !kept && !g_run.KeptResults.empty() && free_bytes >= 0 &&
      free_bytes < DecodingNeeds(e)) {
    DropKeptResults();
  }
  if (!ready_new && !kept && !DecodeChain(installed, &result, &decoded, &source)) {
    if (e.OptionalFile) {
      if (!quiet) LogMessage(kMsgNoSourceOptional);
      return true;
    }
    if (!quiet && list_tested) LogMessage(kMsgNoSourceRequired);
    g_run.ErrorCause = e.InstalledPath + ": not the installed version this patch updates";
    return false;
  }
  {
    // A decoded result was summed as it was written; a ready new file was
    // summed above.
    bool good = ready_new || ChecksumAccepts(decoded.value, decoded.complete, e.NewCrc);
    if (!good) {
      // A wrong result is of no use to anyone; do not leave it in the temp folder.
      if (!ready_new) DeleteFileQuietly(result);
      g_run.ErrorCause = e.InstalledPath + ": the rebuilt file's checksum is not the patch's";
      if (quiet) return false;
      RaiseError(kMsgChecksumWrong);
    }
  }
  if (test && result != e.InstalledPath) {
    PreflightEntry(e.InstalledPath, e.NewSize, ready_new ? std::string() : result,
                   multi && !ready_new, kMsgReplaceFailed);
  }
  if (!test && result != e.InstalledPath) {
    // The new file keeps what the installed one allowed, and who owned it;
    // in place of a missing one, what the file it was made from allowed.
    OsFileRights rights = RightsToKeep(e.InstalledPath, ready_new ? result : source);
    // The new file is complete beside the installed one before the installed
    // one is touched, and then takes its place in one rename.
    std::string staged;
    try {
      staged = StageCopy(result, e.InstalledPath, e.NewFileTime, rights, !ready_new);
      if (multi && !ready_new) MoveToBackup(e.InstalledPath);
    } catch (const PatchError&) {
      if (!staged.empty()) DropStaged(staged);
      if (!ready_new) DeleteFileQuietly(result);
      throw;
    }
    PutInPlace(staged, e.InstalledPath);
  }
  if (test && !ready_new) {
    KeepResult(result, decoded, source);
  } else if (!ready_new) {
    DeleteFileQuietly(result);
  }
  if (announce_outcome) LogMessage(kMsgOk);
  return true;
}

}  // namespace

bool ApplyEntries(bool test, bool quiet) {
  // Whatever a pass writes goes below the target; links inside it do not lead out.
  OsSetConfinementRoot(g_run.TargetBase);
  HoldTarget();
  g_run.ErrorCause.clear();
  // The test pass also makes sure the apply pass can do all it will need to,
  // so that a run stops before changing anything rather than half-way.
  if (test) PreflightBegin();
  g_run.BodyTempFile.Seek(g_run.PatchBodyStart);
  // Entries are taken in order, two that name one file too (a maker may
  // write one for each old release); a file this pass has already replaced
  // is not backed up again, so the backup keeps the original.
  g_run.ReplacedThisPass.clear();
  // Each test pass decodes afresh (it may be at another target); the apply
  // pass uses what the last one kept.
  if (test) DropKeptResults();
  CheckBackupFolderApart(true);
  g_run.EntryOrdinal = 0;
  for (;;) {
    PumpPendingMessages();
    StopIfAsked();
    int kind = ReadNextEntry();
    if (kind == kEntryEnd) break;
    ++g_run.EntryOrdinal;
    if (g_run.MultiFileMode) {
      CheckBackupFolderApart(false);
      // One spelling, the installed one, for the source, the backup and the
      // new file: looked up once, and refused when several files match.
      std::string& path = kind == kEntryPatched ? g_run.Entry.InstalledPath
                                                : g_run.Entry.IncludedPath;
      path = ResolvedPath(g_run.TargetBase, g_run.EntryName, &g_run.Entry.ResolvedName);
    }
    if (kind == kEntryPatched) {
      if (!ApplyPatchedEntry(test, quiet)) {
        // No apply pass follows a test that stopped.
        if (test) DropKeptResults();
        return false;
      }
    } else {
      // To a check, what matters is that the file would be written.
      if (!quiet) {
        LogMessage(test && !g_run.CheckOnly ? kMsgSkippingIncluded : kMsgWritingIncluded);
      }
      int64_t length = WriteIncludedFile(test);
      if (test) {
        PreflightEntry(g_run.Entry.IncludedPath, length, std::string(), true,
                       kMsgWriteIncludedFailed);
      }
    }
    if (!g_run.MultiFileMode) break;
  }
  if (test) PreflightEnd();
  return true;
}

}  // namespace tw
