#include "apply/file_ops.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "container/body.h"
#include "delta/streams.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"

namespace tw {
namespace {

// Creates the new file beside path, so that it is written on the same
// volume and renamed over the old one: no half-written file ever carries the
// installed name. The name carries the run's unpredictable token and is
// created exclusively: an existing file (the application's own, another
// run's) is never truncated or deleted. It is recorded before it is made, so
// that a run killed at any point leaves nothing that the next run does not
// know to delete. It is short whatever the installed name, so that a name
// near the file system's limit can still be staged.
std::string CreateBeside(const std::string& path, File& out) {
  // The folder as path spells it: "/" is never the second byte of a
  // double-byte character, "\" may be.
  size_t cut = LastBackslash(path), slash = path.rfind('/');
  if (slash != std::string::npos && (cut == std::string::npos || slash > cut)) cut = slash;
  std::string prefix = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
  for (int n = 0; n < 100; ++n) {
    std::string name = prefix + ".TRW" + RunToken() + DecimalText(n) + ".tmp";
    NoteStagedFile(name, true);
    if (out.CreateNew(name)) return name;
    NoteStagedFile(name, false);
    if (!OsNameTaken(name)) break;  // the folder refuses new files
    ClearIoError();
  }
  ClearIoError();
  return std::string();
}

// True when the file at path holds exactly the length bytes at the body's
// current position, which is then moved past them; otherwise the position
// stays. Rewriting such a file would only push the older file that the
// backup folder keeps out of it.
bool AlreadyInstalled(const std::string& path, int64_t length) {
  File f;
  bool same = f.OpenRead(path) && f.Size() == length;
  const int64_t start = g_run.BodyTempFile.Tell();
  unsigned char want[4096], have[4096];
  for (int64_t done = 0; same && done < length;) {
    int64_t piece = std::min<int64_t>(length - done, sizeof want);
    ReadBodyBytes(want, piece);
    same = ReadChunked(f, have, piece) && std::memcmp(want, have, static_cast<size_t>(piece)) == 0;
    done += piece;
  }
  f.Close();
  ClearIoError();
  g_run.BodyTempFile.Seek(same ? start + length : start);
  return same;
}

uint64_t LittleOrBig(const unsigned char* p, int size, bool big) {
  uint64_t v = 0;
  for (int i = 0; i < size; ++i) v |= static_cast<uint64_t>(p[big ? size - 1 - i : i]) << (8 * i);
  return v;
}

[[noreturn]] void FailStaged(File& file, const std::string& staged, int message) {
  file.Close();
  DropStaged(staged);
  ClearIoError();
  RaiseErrorBecause(message, file.LastFailure());
}

}  // namespace

bool LooksLikeProgram(File& file) {
  constexpr uint32_t kProgramInterpreter = 3;
  // A header table beyond this is no program a loader would run.
  constexpr int64_t kMaxTable = 1 << 20;
  unsigned char h[64] = {};
  int64_t size = file.Size();
  bool program = false;
  if (size >= 2 && ReadChunkedAt(file, 0, h, std::min<int64_t>(size, sizeof h))) {
    const unsigned char magic[] = {0x7f, 'E', 'L', 'F'};
    bool elf = size >= 52 && std::memcmp(h, magic, sizeof magic) == 0 &&
               (h[4] == 1 || h[4] == 2) && (h[5] == 1 || h[5] == 2);
    program = h[0] == '#' && h[1] == '!';
    if (elf && (h[4] == 1 || size >= 64)) {
      bool wide = h[4] == 2, big = h[5] == 2;
      uint64_t table = wide ? LittleOrBig(h + 32, 8, big) : LittleOrBig(h + 28, 4, big);
      uint64_t entry = LittleOrBig(h + (wide ? 54 : 42), 2, big);
      uint64_t count = LittleOrBig(h + (wide ? 56 : 44), 2, big);
      uint64_t bytes = entry * count;
      if (entry >= 4 && bytes <= kMaxTable && table <= static_cast<uint64_t>(size) &&
          bytes <= static_cast<uint64_t>(size) - table) {
        std::vector<unsigned char> headers(static_cast<size_t>(bytes));
        if (ReadChunkedAt(file, static_cast<int64_t>(table), headers.data(),
                          static_cast<int64_t>(bytes))) {
          for (uint64_t k = 0; k < count && !program; ++k) {
            program = LittleOrBig(&headers[k * entry], 4, big) == kProgramInterpreter;
          }
        }
      }
    }
  }
  ClearIoError();
  return program;
}

OsFileRights RightsToKeep(const std::string& path, const std::string& made_from) {
  OsFileRights rights;
  if (!OsFileRightsOf(path, &rights) && !made_from.empty()) OsFileRightsOf(made_from, &rights);
  return rights;
}

void DeleteFileQuietly(const std::string& path) {
  OsDeleteFile(path);
  ClearIoError();
}

void DropStaged(const std::string& staged) {
  DeleteFileQuietly(staged);
  NoteStagedFile(staged, false);
}

std::vector<std::string> FoldersLeadingTo(const std::string& path, LeadByteRule lead) {
  std::vector<std::string> parts = SplitName(path, lead);
  std::vector<std::string> folders;
  std::string prefix;
  for (size_t k = 0; k + 1 < parts.size(); ++k) {
    prefix += parts[k];
    // A leading separator (the root of the drive) names no folder.
    if (!prefix.empty()) folders.push_back(prefix);
    prefix += '\\';
  }
  return folders;
}

void CreateFolderChain(const std::string& path) {
  for (const std::string& folder : FoldersLeadingTo(path)) OsCreateFolder(folder);
  ClearIoError();
}

void ReleaseTarget() {
  int err = 0;
  if (g_run.TargetLock != kNoOsFile) OsClose(g_run.TargetLock, &err);
  g_run.TargetLock = kNoOsFile;
  g_run.LockedTarget.clear();
}

void HoldTarget() {
  std::string folder = g_run.TargetBase;
  if (!g_run.MultiFileMode) {
    // A "/" is never the second byte of a double-byte character; a "\" may be.
    size_t cut = LastBackslash(folder), slash = folder.rfind('/');
    if (slash != std::string::npos && (cut == std::string::npos || slash > cut)) cut = slash;
    folder = cut == std::string::npos ? "." : folder.substr(0, cut + 1);
  }
  if (g_run.TargetLock != kNoOsFile && folder == g_run.LockedTarget) return;
  ReleaseTarget();
  bool busy = false;
  // A folder that cannot be locked for another reason (it does not exist)
  // has nothing to protect: the pass finds no file in it.
  if (!OsLockFolder(folder, &g_run.TargetLock, &busy)) {
    g_run.TargetLock = kNoOsFile;
    ClearIoError();
    if (busy) RaiseErrorTextBecause(NativeText(kTargetBusyText), "another run is updating " + folder);
    return;
  }
  g_run.LockedTarget = folder;
}

void SetFileTimeFromDos(File& file, uint32_t stamp) {
  file.SetTimeFromDos(stamp);
  ClearIoError();
}

std::string ResolvedPath(const std::string& base, const std::string& name, std::string* relative) {
  std::string resolved;
  if (!OsResolveName(base, name, &resolved)) {
    RaiseErrorTextBecause(ExpandMessage(NativeText(kAmbiguousNameText)),
                          "several files in " + base + " match " + name + " ignoring case");
  }
  if (relative != nullptr) *relative = resolved;
  return base + "\\" + resolved;
}

void MoveToBackup(const std::string& path) {
  if (!OsFileExists(path)) return;
  // Without a backup folder the backup path would name the file itself.
  if (g_run.BackupFolderName.empty()) return;
  // The file there now is this pass's own new one: the backup already holds
  // what was installed.
  if (g_run.ReplacedThisPass.count(OsNameKey(path))) return;
  std::string backup = ResolvedPath(g_run.TargetBase,
                                    g_run.BackupFolderName + "\\" + g_run.Entry.ResolvedName,
                                    nullptr);
  CreateFolderChain(backup);
  DeleteFileQuietly(backup);
  if (!OsRenameFile(path, backup)) {
    RaiseErrorBecause(kMsgBackupFailed, "moving " + path + " into the backup folder: " +
                                            OsErrorText(OsLastError()));
  }
}

namespace {

// Writes n bytes, fetched piece by piece, into a new file beside destination
// and gives it the stamp as its time and the rights; returns the new file's
// name. The file is private to this run until it is complete and has its
// rights. Nothing is left behind when it fails: a fetch that fails, a write
// the disk refuses or rights it cannot take raise message, a fetch that
// raises has its own message.
// The file each staged name was made as: what Replace must find in place
// after its rename. A staged name is ours, but the folder it sits in may
// not be: whoever can write there could put another file under that name.
std::map<std::string, std::string> g_staged_numbers;

template <typename Fetch>
std::string Stage(const std::string& destination, int64_t n, uint32_t stamp, OsFileRights rights,
                  int message, Fetch fetch) {
  CreateFolderChain(destination);
  File out;
  std::string staged = CreateBeside(destination, out);
  if (staged.empty()) {
    ClearIoError();
    RaiseErrorBecause(message, out.LastFailure());
  }
  out.WriteBackEarly();
  unsigned char buf[65536];
  for (int64_t remaining = n; remaining > 0;) {
    int64_t piece = std::min<int64_t>(remaining, sizeof buf);
    bool fetched;
    try {
      fetched = fetch(buf, piece);
    } catch (const PatchError&) {
      out.Close();
      DropStaged(staged);
      throw;
    }
    if (!fetched || !WriteChunked(out, buf, piece)) FailStaged(out, staged, message);
    remaining -= piece;
  }
  if (!rights.known) rights = OsNewFileRights(LooksLikeProgram(out));
  SetFileTimeFromDos(out, stamp);
  if (!out.GiveRights(rights)) FailStaged(out, staged, message);
  std::string number = out.Number();
  // Buffered data reach the disk at the close: its failure is a failed write.
  if (!out.Close()) FailStaged(out, staged, message);
  g_staged_numbers[staged] = number;
  return staged;
}

void Replace(const std::string& staged, const std::string& destination, int message) {
  if (!OsReplaceFile(staged, destination)) {
    int code = OsLastError();
    DropStaged(staged);
    RaiseErrorBecause(message, "putting the new file in place of " + destination + ": " +
                                   OsErrorText(code));
  }
  NoteStagedFile(staged, false);
  auto made = g_staged_numbers.find(staged);
  std::string expected = made == g_staged_numbers.end() ? std::string() : made->second;
  if (made != g_staged_numbers.end()) g_staged_numbers.erase(made);
  // What now has the name must be the file this run wrote and checked; the
  // replaced one is in the backup folder either way.
  if (!expected.empty() && OsFileNumber(destination) != expected) {
    RaiseErrorBecause(message, destination + ": another file took the new file's place while "
                                             "it was put there");
  }
  g_run.ReplacedThisPass.insert(OsNameKey(destination));
}

}  // namespace

std::string StageCopy(const std::string& source, const std::string& destination,
                      uint32_t stamp, const OsFileRights& rights, bool may_move) {
  // A verified temp result on the same volume simply moves; the copy is for
  // other volumes and for files that must stay where they are.
  if (may_move) {
    CreateFolderChain(destination);
    // The name is taken by an empty file first, so that the move never
    // lands on something another process put there meanwhile.
    File placeholder;
    std::string staged = CreateBeside(destination, placeholder);
    placeholder.Close();
    if (!staged.empty() && OsReplaceFile(source, staged)) {
      // Taken here, not in the private folder: a move to another volume
      // (another drive letter, to Windows) gives the file a new number.
      g_staged_numbers[staged] = OsFileNumber(staged);
      OsSetFileTimeDosAt(staged, stamp);
      OsFileRights given = rights;
      if (!given.known) {
        File moved;
        given = OsNewFileRights(moved.OpenRead(staged) && LooksLikeProgram(moved));
      }
      // The source is gone now: no copy can stand in for it.
      if (!OsGiveFileRightsAt(staged, given)) {
        DropStaged(staged);
        ClearIoError();
        RaiseError(kMsgReplaceFailed);
      }
      ClearIoError();
      return staged;
    }
    if (!staged.empty()) DropStaged(staged);
    ClearIoError();
  }
  File in;
  if (!in.OpenRead(source)) {
    ClearIoError();
    RaiseErrorBecause(kMsgTempOpenFailed, in.LastFailure());
  }
  int64_t n = in.Size();
  ClearIoError();
  return Stage(destination, n, stamp, rights, kMsgReplaceFailed,
               [&in](unsigned char* buf, int64_t piece) { return ReadChunked(in, buf, piece); });
}

void PutInPlace(const std::string& staged, const std::string& destination) {
  Replace(staged, destination, kMsgReplaceFailed);
}

void CopyFileWithTime(const std::string& source, const std::string& destination) {
  PutInPlace(StageCopy(source, destination, g_run.Entry.NewFileTime,
                       RightsToKeep(destination, std::string()), false),
             destination);
}

int64_t WriteIncludedFile(bool test) {
  ClearIoError();
  unsigned char header[8];
  ReadBodyBytes(header, sizeof header);
  auto length = static_cast<int32_t>(header[0] | (header[1] << 8) | (header[2] << 16) |
                                     (static_cast<uint32_t>(header[3]) << 24));
  uint32_t stamp = header[4] | (header[5] << 8) | (header[6] << 16) |
                   (static_cast<uint32_t>(header[7]) << 24);
  // The body copy ends with the trailer: data running into it would come
  // out as a file whose end is the trailer's bytes. Both passes check, so
  // the test pass refuses such a patch before anything is written.
  int64_t body_end = g_run.BodyTempFile.Size() - kTrailerSize;
  if (length < 0 || length > body_end - g_run.BodyTempFile.Tell()) RaisePatchDamaged();
  if (test) {
    g_run.BodyTempFile.SeekRelative(length);
    return length;
  }
  const std::string& path = g_run.Entry.IncludedPath;
  const int64_t start = g_run.BodyTempFile.Tell();
  const OsFileRights rights = RightsToKeep(path, std::string());
  auto from_body = [](unsigned char* buf, int64_t piece) {
    ReadBodyBytes(buf, piece);
    return true;
  };
  if (AlreadyInstalled(path, length)) {
    if (!OsHasOtherNames(path)) {
      OsSetFileTimeDosAt(path, stamp);
      return length;
    }
    // Its other names share its time: a new copy takes this name with the
    // stamp, the others keep the file and its time as they were. Nothing is
    // lost, so the backup keeps what it holds.
    g_run.BodyTempFile.Seek(start);
    Replace(Stage(path, length, stamp, rights, kMsgWriteIncludedFailed, from_body), path,
            kMsgWriteIncludedFailed);
    return length;
  }
  std::string staged = Stage(path, length, stamp, rights, kMsgWriteIncludedFailed, from_body);
  try {
    MoveToBackup(path);
  } catch (const PatchError&) {
    DropStaged(staged);
    throw;
  }
  Replace(staged, path, kMsgWriteIncludedFailed);
  return length;
}

}  // namespace tw
