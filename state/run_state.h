// The process-wide run state. The program is one thread working through plain
// procedures; every stage reads and writes the one RunState instance, g_run.
// (While a large file is decoded, OutputWriter writes its output beside it.)
// Field names follow the patch format's own names.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "platform/file.h"
#include "platform/worker.h"

namespace tw {

constexpr uint32_t kPatchMagic = 0x3E7F8443;
constexpr uint32_t kPatchFormatVersion = 190;
constexpr int kHeaderSize = 76;
constexpr int kTrailerSize = 8;
constexpr int kMaxVersions = 20;
constexpr int kStreamCount = 5;
constexpr int kDescriptionCapacity = 1000;

constexpr uint8_t kFlagCompressedBody = 0x01;
constexpr uint8_t kFlagHasRegistryLocation = 0x02;
constexpr uint16_t kEntryHasExcludedRegions = 0x01;
constexpr uint16_t kEntryOptionalFile = 0x02;
constexpr uint8_t kVersionRangeIsSum = 0x01;
constexpr uint8_t kVersionPlainFixups = 0x02;

enum EntryKind : int { kEntryEnd = 0, kEntryPatched = 1, kEntryIncluded = 2 };

enum StreamIndex : int {
  kNumberStream = 0,
  kModeBitStream = 1,
  kSignBitStream = 2,
  kInsertStream = 3,
  kFixupStream = 4,
};

struct PatchHeader {
  uint32_t Magic = 0;
  uint32_t FormatVersion = 0;
  uint8_t HeaderMode = 0;
  uint8_t HeaderFlags = 0;
  uint8_t Reserved[64] = {};
  uint16_t DescriptionLength = 0;
};

// A region that a checksum skips; length 0 means none.
struct ExcludedRegion {
  int32_t offset = 0;
  int32_t length = 0;
};

struct SourceVersion {
  uint32_t SourceCrc = 0;
  int32_t SourceSize = 0;
  int32_t StreamLength[kStreamCount] = {};
  uint16_t FixupPeriod = 0;
  uint8_t VersionFlags = 0;
  uint8_t InsertBlockSize = 0;
};

// The entry most recently read by ReadNextEntry.
struct FileEntry {
  uint32_t NewCrc = 0;
  int32_t NewSize = 0;
  uint32_t NewFileTime = 0;
  uint16_t VersionCount = 0;
  uint16_t EntryFlags = 0;
  ExcludedRegion Excluded;
  bool OptionalFile = false;
  std::string InstalledPath;
  std::string IncludedPath;
  // The entry's name below the target as the file system spells it.
  std::string ResolvedName;
  // Slots 1..VersionCount are used; slot 0 stays empty so that indexes read
  // as version numbers.
  std::string VersionName[kMaxVersions + 1];
  SourceVersion Version[kMaxVersions + 1];
  ExcludedRegion VersionExcluded[kMaxVersions + 1];
  int32_t StreamStart[kMaxVersions + 1] = {};
};

// A new file that a test pass decoded and verified, kept in the work folder
// so that the apply pass puts it in place instead of decoding it again.
struct KeptResult {
  std::string path;
  std::string identity;         // OsFileIdentity of path once verified
  std::string source;           // the installed file it was decoded from
  std::string source_identity;  // and that file's identity then
  uint32_t crc = 0;
  bool crc_complete = false;
};

struct RunState {
  RunState() = default;
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;
  ~RunState();

  bool SelfContained = false;
  std::string PatchFilePath;
  std::string TargetPath;
  std::string TargetBase;
  std::string EntryName;
  std::string TempFolder;
  bool MultiFileMode = false;
  bool SearchNeeded = false;
  std::string BackupFolderName;
  std::string RegistryKeyPath;
  std::string RegistryValueName;
  int32_t PatchBodyStart = 0;
  uint8_t BusyState = 0;
  bool CancelRequested = false;
  bool ExitAfterStop = false;
  // Set when the apply pass starts changing the target: a stop asked for
  // after that lets the pass complete.
  bool ApplyPassBegun = false;
  // The last run ended on the user's request with nothing changed.
  bool Stopped = false;
  // A run that only tells what it would do: the test pass, listed entry by
  // entry, and no apply pass. Only the console applier sets it.
  bool CheckOnly = false;

  // The loaded patch.
  PatchHeader Header;
  char DescriptionText[kDescriptionCapacity + 1] = {};
  int32_t ShownCarrierSize = 0;
  File Carrier;
  File BodyTempFile;
  bool BodyTempOpen = false;
  // Name of the newest body copy while it exists in the temp folder.
  std::string BodyTempPath;
  // The carrier the body copy was made from and the copy itself, as they
  // were when it was made (OsFileIdentity), and where the body began: a load
  // that finds all three unchanged reuses the copy.
  std::string BodyCarrierIdentity;
  std::string BodyCopyIdentity;
  int64_t BodyCarrierStart = -1;

  FileEntry Entry;

  // The run's own folder inside TempFolder while it exists, and its lock.
  std::string WorkFolder;
  OsFile WorkFolderLock = kNoOsFile;
  int64_t TempFilesMade = 0;
  // Its record of files staged beside installed ones.
  OsFile StagedRecord = kNoOsFile;
  int64_t StagedRecordEnd = 0;
  // Results of the last test pass by the entry's place in the pass (from 1),
  // and the place of the entry being worked on.
  std::map<int, KeptResult> KeptResults;
  int EntryOrdinal = 0;
  // Files the current pass has put in place (by OsNameKey of their path).
  std::set<std::string> ReplacedThisPass;
  // The folder this run alone works on, while it holds the lock.
  std::string LockedTarget;
  OsFile TargetLock = kNoOsFile;

  // Why the run's error was raised, in one plain-English line beside the
  // catalogue text (the file and the system's words, say); emptied when a
  // run starts.
  std::string ErrorCause;

  // The progress log.
  int32_t LogLineCount = 0;
  std::string LastLogLine;

  // The delta engine's files, reused for every version decoded.
  File SourceFile;
  File OutputFile;
  // Checks and writes a finished block of output while the next is decoded;
  // nothing else touches OutputFile while it works.
  Worker OutputWriter;
  bool SourceOpen = false;
  bool OutputOpen = false;
};

extern RunState g_run;

}  // namespace tw
