// The small file operations of applying a patch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/names.h"

namespace tw {

// Deletes a file when it can; never fails and leaves no I/O error pending.
void DeleteFileQuietly(const std::string& path);
// The folders named before each "\" or "/" of path, outermost first, with
// "\" as their separator; a "\" inside a double-byte character of lead's code
// page separates nothing.
std::vector<std::string> FoldersLeadingTo(const std::string& path,
                                          LeadByteRule lead = OsIsLeadByte);
// Creates the folders leading to path; silent on failure.
void CreateFolderChain(const std::string& path);
// Deletes a file the run staged beside an installed one, and records that.
void DropStaged(const std::string& staged);
// base + "\" + name, spelt as the file system holds what exists (see
// OsResolveName), the part below base also in *relative when asked; raises
// the ambiguity text when several files match ignoring case.
std::string ResolvedPath(const std::string& base, const std::string& name, std::string* relative);
// One run per target: takes the lock on the folder that TargetBase is or
// lies in (moving it from the folder held before), or raises the busy text
// when another run holds it. Held until ReleaseTarget.
void HoldTarget();
void ReleaseTarget();
void SetFileTimeFromDos(File& file, uint32_t stamp);
// Moves the file at path to TargetBase\BackupFolderName\EntryName, replacing
// an older backup of that name; message 31 when the move fails. Nothing to
// do when no file is there, or when the patch names no backup folder.
void MoveToBackup(const std::string& path);
// True when the file is a program: an ELF file that names a program
// interpreter, or a script that starts with "#!".
bool LooksLikeProgram(File& file);
// The rights that a file put at path keeps: those of the file there now, or
// else those of the file it was made from; unknown when neither is there.
OsFileRights RightsToKeep(const std::string& path, const std::string& made_from);
// Puts source into a new file beside destination, checking every piece, and
// gives it the stamp as its time and the rights (unknown rights: those of a
// brand-new file, by what it holds); returns the new file's name. With
// may_move the source (a temp file of ours) is moved there when the volume
// allows. Message 9 when the source cannot be opened, 10 when the copy fails.
std::string StageCopy(const std::string& source, const std::string& destination,
                      uint32_t stamp, const OsFileRights& rights, bool may_move);
// Puts a staged file in place of destination in one step; message 10 when
// that fails (the staged file is then removed).
void PutInPlace(const std::string& staged, const std::string& destination);
// StageCopy and PutInPlace in one, for a file that needs no backup; the copy
// keeps the rights of the file it replaces.
void CopyFileWithTime(const std::string& source, const std::string& destination);
// Reads the included file's data header and skips its data (test) or writes
// the file, keeping the replaced one in the backup folder; returns the data's
// length.
int64_t WriteIncludedFile(bool test);

}  // namespace tw
