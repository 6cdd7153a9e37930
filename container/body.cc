#include "container/body.h"

#include <algorithm>
#include <vector>

#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/names.h"
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
  if (!g_run.TempFolder.empty() && !EndsWithBackslash(g_run.TempFolder)) g_run.TempFolder += '\\';
}

namespace {

constexpr char kWorkFolderPrefix[] = "tarnwell-";

// The names a run gives the files in its work folder: its lock (and the lock
// before it is held), the staged record and the numbered temp files.
bool IsWorkFileName(const std::string& name) {
  if (name == "lock" || name == "lock.new" || name == "staged") return true;
  if (name.size() < 8 || name.compare(0, 3, "TRW") != 0 ||
      name.compare(name.size() - 4, 4, ".tmp") != 0) {
    return false;
  }
  return std::all_of(name.begin() + 3, name.end() - 4,
                     [](char c) { return c >= '0' && c <= '9'; });
}

// The prefix followed by what the platform's unique part is made of.
bool IsWorkFolderName(const std::string& name) {
  constexpr size_t prefix = sizeof kWorkFolderPrefix - 1;
  if (name.size() < prefix + 6 || name.size() > prefix + 16 ||
      name.compare(0, prefix, kWorkFolderPrefix) != 0) {
    return false;
  }
  return std::all_of(name.begin() + prefix, name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

// A folder that merely looks like a work folder by name (another program's,
// a user's) may hold anything: it is ours to empty only when everything in
// it is a file a run makes.
bool HoldsOnlyWorkFiles(const std::string& folder) {
  std::vector<FolderEntry> entries;
  if (!OsListFolder(folder, &entries)) return false;
  return std::all_of(entries.begin(), entries.end(),
                     [](const FolderEntry& e) {
                       return e.name == "." || e.name == ".." ||
                              (!e.is_folder && IsWorkFileName(e.name));
                     });
}

// Deletes the run's files in folder but the lock.
void EmptyWorkFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  if (!OsListFolder(folder, &entries)) return;
  for (const FolderEntry& e : entries) {
    if (!e.is_folder && e.name != "lock" && IsWorkFileName(e.name)) {
      OsDeleteFile(folder + "\\" + e.name);
    }
  }
}

// The record of the files a run staged beside installed ones: "+" and the
// path when it made one, "-" and the path once it was renamed into place or
// deleted, each ended by a zero byte. A run that was killed left those with
// no "-"; only they are deleted, whatever their names look like.
constexpr char kStagedRecord[] = "\\staged";

void RemoveStagedLeftovers(const std::string& folder) {
  File record;
  if (!record.OpenRead(folder + kStagedRecord)) {
    ClearIoError();
    return;
  }
  int64_t size = record.Size();
  std::string text(static_cast<size_t>(std::max<int64_t>(size, 0)), '\0');
  bool read = size > 0 && record.Read(text.data(), size);
  record.Close();
  ClearIoError();
  if (!read) return;
  std::vector<std::string> made;
  for (size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
    std::string path = text.substr(start + 1, end - start - 1);
    if (text[start] == '+') {
      made.push_back(path);
    } else {
      made.erase(std::remove(made.begin(), made.end(), path), made.end());
    }
  }
  for (const std::string& path : made) OsDeleteFile(path);
}

void RemoveWorkFolder(const std::string& folder, OsFile lock) {
  EmptyWorkFolder(folder);
  int err = 0;
  if (lock != kNoOsFile) OsClose(lock, &err);
  OsDeleteFile(folder + "\\lock");
  OsRemoveFolder(folder);
}

// Work folders of runs that were killed, or lost their machine, would stay
// for ever: whatever a later run can claim goes.
void RemoveAbandonedWorkFolders() {
  std::vector<FolderEntry> entries;
  if (!OsListFolder(g_run.TempFolder, &entries)) return;
  for (const FolderEntry& e : entries) {
    if (!e.is_folder || !IsWorkFolderName(e.name)) continue;
    std::string folder = g_run.TempFolder + e.name;
    if (!HoldsOnlyWorkFiles(folder)) continue;
    OsFile lock = kNoOsFile;
    if (!OsClaimAbandonedWorkFolder(folder, &lock)) continue;
    RemoveStagedLeftovers(folder);
    RemoveWorkFolder(folder, lock);
  }
}

void OpenWorkFolder() {
  if (!g_run.WorkFolder.empty()) return;
  RemoveAbandonedWorkFolders();
  ClearIoError();
  if (!OsCreateWorkFolder(g_run.TempFolder, kWorkFolderPrefix, &g_run.WorkFolder,
                          &g_run.WorkFolderLock)) {
    g_run.WorkFolder.clear();
    RaiseErrorBecause(kMsgTempOpenFailed, FileCause(g_run.TempFolder, OsLastError()));
  }
  g_run.TempFilesMade = 0;
}

}  // namespace

std::string RunToken() {
  OpenWorkFolder();
  return g_run.WorkFolder.substr(g_run.WorkFolder.size() - 6);
}

void NoteStagedFile(const std::string& path, bool made) {
  OpenWorkFolder();
  int err = 0;
  if (g_run.StagedRecord == kNoOsFile) {
    g_run.StagedRecord = OsCreateNew(g_run.WorkFolder + kStagedRecord, &err);
    g_run.StagedRecordEnd = 0;
  }
  std::string line = (made ? "+" : "-") + path + '\0';
  // Unbuffered, so that the record is with the system before the file it
  // names is: a killed run leaves nothing unrecorded behind.
  if (g_run.StagedRecord != kNoOsFile &&
      OsWriteAt(g_run.StagedRecord, g_run.StagedRecordEnd, line.data(), line.size(), &err)) {
    g_run.StagedRecordEnd += static_cast<int64_t>(line.size());
  }
}

std::string MakeTempFileName() {
  OpenWorkFolder();
  return g_run.WorkFolder + "\\TRW" + DecimalText(g_run.TempFilesMade++) + ".tmp";
}

void CreateTempFile(File& file, std::string* path) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    *path = MakeTempFileName();
    if (file.CreateNew(*path)) return;
  }
  ClearIoError();
  RaiseErrorBecause(kMsgTempOpenFailed, file.LastFailure());
}

void CloseWorkFolder() {
  if (g_run.WorkFolder.empty()) return;
  // Nothing in the folder may stay open while it goes.
  if (g_run.BodyTempOpen) g_run.BodyTempFile.Close();
  g_run.BodyTempOpen = false;
  g_run.BodyTempPath.clear();
  int err = 0;
  if (g_run.StagedRecord != kNoOsFile) OsClose(g_run.StagedRecord, &err);
  g_run.StagedRecord = kNoOsFile;
  RemoveWorkFolder(g_run.WorkFolder, g_run.WorkFolderLock);
  g_run.KeptResults.clear();
  g_run.WorkFolder.clear();
  g_run.WorkFolderLock = kNoOsFile;
  ClearIoError();
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
