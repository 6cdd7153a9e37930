#include "apply/file_ops.h"

#include <algorithm>

#include "container/body.h"
#include "delta/streams.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"

namespace tw {
namespace {

// A free name beside path, so that a new file is written on the same volume
// and renamed over the old one: no half-written file ever carries the
// installed name.
std::string NameBeside(const std::string& path) {
  for (int n = 0;; ++n) {
    std::string name = path + ".TRW" + DecimalText(n) + ".tmp";
    if (!OsFileExists(name)) return name;
  }
}

[[noreturn]] void FailStaged(File& file, const std::string& staged, int message) {
  file.Close();
  DeleteFileQuietly(staged);
  ClearIoError();
  RaiseError(message);
}

}  // namespace

void DeleteFileQuietly(const std::string& path) {
  OsDeleteFile(path);
  ClearIoError();
}

void CreateFolderChain(const std::string& path) {
  std::string prefix;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!prefix.empty()) OsCreateFolder(prefix);
      prefix += '\\';
    } else {
      prefix += c;
    }
  }
  ClearIoError();
}

void SetFileTimeFromDos(File& file, uint32_t stamp) {
  file.SetTimeFromDos(stamp);
  ClearIoError();
}

void MoveToBackup(const std::string& path) {
  if (!OsFileExists(path)) return;
  // Without a backup folder the backup path would name the file itself.
  if (g_run.BackupFolderName.empty()) return;
  std::string backup = g_run.TargetBase + "\\" + g_run.BackupFolderName + "\\" + g_run.EntryName;
  CreateFolderChain(backup);
  DeleteFileQuietly(backup);
  if (!OsRenameFile(path, backup)) RaiseError(kMsgBackupFailed);
}

std::string StageCopy(const std::string& source, const std::string& destination,
                      uint32_t stamp, bool may_move) {
  CreateFolderChain(destination);
  std::string staged = NameBeside(destination);
  // A verified temp result on the same volume simply moves; the copy below is
  // for other volumes and for files that must stay where they are.
  if (may_move && OsRenameFile(source, staged)) {
    OsSetFileTimeDosAt(staged, stamp);
    ClearIoError();
    return staged;
  }
  File in;
  if (!in.OpenRead(source)) {
    ClearIoError();
    RaiseError(kMsgTempOpenFailed);
  }
  int64_t n = in.Size();
  ClearIoError();
  File out;
  if (!out.Create(staged)) {
    ClearIoError();
    RaiseError(kMsgReplaceFailed);
  }
  unsigned char buf[65536];
  for (int64_t remaining = n; remaining > 0;) {
    int64_t piece = std::min<int64_t>(remaining, sizeof buf);
    if (!ReadChunked(in, buf, piece) || !WriteChunked(out, buf, piece)) {
      FailStaged(out, staged, kMsgReplaceFailed);
    }
    remaining -= piece;
  }
  SetFileTimeFromDos(out, stamp);
  // Buffered data reach the disk at the close: its failure is a failed copy.
  if (!out.Close()) FailStaged(out, staged, kMsgReplaceFailed);
  return staged;
}

void PutInPlace(const std::string& staged, const std::string& destination) {
  if (!OsReplaceFile(staged, destination)) {
    DeleteFileQuietly(staged);
    RaiseError(kMsgReplaceFailed);
  }
}

void CopyFileWithTime(const std::string& source, const std::string& destination) {
  PutInPlace(StageCopy(source, destination, g_run.Entry.NewFileTime, false), destination);
}

void WriteIncludedFile(bool test) {
  ClearIoError();
  unsigned char header[8];
  ReadBodyBytes(header, sizeof header);
  auto length = static_cast<int32_t>(header[0] | (header[1] << 8) | (header[2] << 16) |
                                     (static_cast<uint32_t>(header[3]) << 24));
  uint32_t stamp = header[4] | (header[5] << 8) | (header[6] << 16) |
                   (static_cast<uint32_t>(header[7]) << 24);
  if (length < 0) RaisePatchDamaged();
  if (test) {
    g_run.BodyTempFile.SeekRelative(length);
    return;
  }
  const std::string& path = g_run.Entry.IncludedPath;
  CreateFolderChain(path);
  std::string staged = NameBeside(path);
  File out;
  if (!out.Create(staged)) {
    ClearIoError();
    RaiseError(kMsgWriteIncludedFailed);
  }
  unsigned char buf[4096];
  for (int64_t remaining = length; remaining > 0;) {
    int64_t piece = std::min<int64_t>(remaining, sizeof buf);
    try {
      ReadBodyBytes(buf, piece);
    } catch (const PatchError&) {
      out.Close();
      DeleteFileQuietly(staged);
      throw;
    }
    if (!WriteChunked(out, buf, piece)) FailStaged(out, staged, kMsgWriteIncludedFailed);
    remaining -= piece;
  }
  SetFileTimeFromDos(out, stamp);
  if (!out.Close()) FailStaged(out, staged, kMsgWriteIncludedFailed);
  try {
    MoveToBackup(path);
  } catch (const PatchError&) {
    DeleteFileQuietly(staged);
    throw;
  }
  if (!OsReplaceFile(staged, path)) {
    DeleteFileQuietly(staged);
    RaiseError(kMsgWriteIncludedFailed);
  }
}

}  // namespace tw
