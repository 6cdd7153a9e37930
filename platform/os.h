// The operating system below the core: one header, one implementation per platform
// (os_posix.cc, os_win32.cc), chosen by the build. Paths arrive in the core's form,
// with "\" as the separator; each implementation maps them to what its file system
// takes. Nothing here raises: failures come back as false or as an error code that
// the caller parks as the pending I/O error (see file.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw {

using OsFile = intptr_t;
constexpr OsFile kNoOsFile = -1;

// Opens an existing file read-only, shared for reading and writing with other
// processes. On failure returns kNoOsFile and stores a nonzero code in *err.
OsFile OsOpenRead(const std::string& path, int* err);

// Creates a file (truncating an existing one) open for reading and writing.
OsFile OsCreate(const std::string& path, int* err);

// Creates a file that must not exist yet, never through a link, open for
// reading and writing, readable by this user alone until it is given other
// rights. What a run writes for itself (temp and staged files) is made this
// way, so that it never truncates or writes into a file that someone else
// put under that name, and no one reads a private file's successor while it
// is being written.
OsFile OsCreateNew(const std::string& path, int* err);

// Reads up to n bytes at offset pos without using or moving a shared file
// position; *got receives the count, which falls short of n only at the end
// of the file. Returns false on an OS failure (the end of file is not one).
bool OsReadAt(OsFile f, int64_t pos, void* dst, size_t n, size_t* got, int* err);

// One destination of a read into several places.
struct OsPiece {
  void* data;
  size_t size;
};
// Reads at pos into the pieces in order, as far as one read goes (a regular
// file gives less than asked only at its end): one call where the system
// has one. *got is the number of bytes read.
bool OsReadAtPieces(OsFile f, int64_t pos, const OsPiece* pieces, int count, size_t* got,
                    int* err);

// Writes all n bytes at offset pos or fails.
bool OsWriteAt(OsFile f, int64_t pos, const void* src, size_t n, int* err);

// Copies up to n bytes from `from` at from_pos to `to` at to_pos inside the
// system, without a pass through this program's memory, where it can.
// *copied receives how far it got; short of n without a failure when `from`
// ended or the system cannot copy between these files (the caller moves the
// rest itself). On a failure, *reading tells which file failed.
bool OsCopyAt(OsFile from, int64_t from_pos, OsFile to, int64_t to_pos, int64_t n,
              int64_t* copied, int* err, bool* reading);

// Asks the system to start writing [pos, pos + n) of the file to the disk
// and returns without waiting; only advice, so nothing to report.
void OsStartWriteback(OsFile f, int64_t pos, int64_t n);

// Asks the system to back [p, p + n) of this program's memory with pages
// now, in one call, rather than one fault per page on first touch; only
// advice, so nothing to report.
void OsPrepareMemory(void* p, size_t n);

// Size of the open file, or -1 with *err set.
int64_t OsSize(OsFile f, int* err);
// Closes the handle; false when the OS reports a failure (for example a
// delayed write error).
bool OsClose(OsFile f, int* err);

// Sets the last-write time from a DOS date (high 16 bits) and time (low 16
// bits), taken as local time. False when the stamp does not convert or the OS
// refuses.
bool OsSetFileTimeDos(OsFile f, uint32_t dos_date_time);

// The same for a closed file, by its path.
bool OsSetFileTimeDosAt(const std::string& path, uint32_t dos_date_time);

// What a file that takes another's place keeps of it: its permission bits
// and its owner, where the system has them. The core only carries it from
// one file to the next.
struct OsFileRights {
  // False: nothing known, the file keeps what the system gave it.
  bool known = false;
  // With owner_known clear the file keeps the owner it was made with.
  bool owner_known = false;
  uint32_t mode = 0;
  uint32_t owner = 0;
  uint32_t group = 0;
};

// The rights of the regular file at path, not through a final link (a link
// says nothing of the file it stands for). False when there is no such file
// or the system keeps no rights.
bool OsFileRightsOf(const std::string& path, OsFileRights* rights);

// The rights of a brand-new file: a program may be run (by those the process's
// file-creation mask allows), anything else only read and written.
OsFileRights OsNewFileRights(bool program);

// Gives an open file of this run the rights, before it takes another file's
// name: the owner and group as far as this run may set them, the permission
// bits, and setuid, setgid and sticky only when both owner and group are the
// ones asked for (otherwise a file would be setuid to a user who never made
// it so). False when the permission bits could not be set; a refused owner
// is no failure.
bool OsGiveFileRights(OsFile f, const OsFileRights& rights);

// The same for a closed file of this run, by its path: only a regular file
// of this process's user with no other name, never through a link, so that
// nothing put under the name meanwhile gets the rights.
bool OsGiveFileRightsAt(const std::string& path, const OsFileRights& rights);

// True when the file at path has names besides this one (hard links): what
// is written or re-timed there in place changes them too.
bool OsHasOtherNames(const std::string& path);

bool OsDeleteFile(const std::string& path);
// Moves a file; fails when the destination exists.
bool OsRenameFile(const std::string& from, const std::string& to);
// Moves a file over an existing one in one step, so that the destination is
// always either the old or the new file.
bool OsReplaceFile(const std::string& from, const std::string& to);
bool OsCreateFolder(const std::string& path);
// True only for an existing file; a folder does not count.
bool OsFileExists(const std::string& path);
// relative (a name below base, with "\" or "/" between its parts) as the
// file system spells what exists: each part that exists is taken in the
// spelling of its folder's entry, the first part that does not and all
// after it as given; doubled separators are dropped. Where the file system
// tells case apart, a part that matches several entries ignoring case makes
// the answer false: no single file is meant.
bool OsResolveName(const std::string& base, const std::string& relative, std::string* resolved);

// A text that changes whenever the file at path is replaced or written:
// size, times and (where the system has one) file number. Empty when there
// is no such file.
std::string OsFileIdentity(const std::string& path);
// True when the file at path was last written (or, where the system tells,
// changed in any way) at least `seconds` ago: a write from now on will show
// in its identity, which a write within the same clock tick might not.
bool OsSettledFor(const std::string& path, int seconds);
// Which file this is, whatever its name, times or rights: its volume and
// file number. Empty when unknown. A final link is not followed.
std::string OsFileNumber(const std::string& path);
// The longest name, in bytes, that the file system holding folder takes for
// an entry in it; 0 when it sets no limit worth checking in bytes.
size_t OsNameMax(const std::string& folder);
std::string OsFileNumberOf(OsFile f);

// True when anything at all has the name: file, folder, link (even one
// that leads nowhere), pipe.
bool OsNameTaken(const std::string& path);

struct FolderEntry {
  std::string name;
  bool is_folder;
};
// Lists the entries of a folder (given with or without a trailing "\"),
// including "." and ".." where the platform reports them, in the platform's
// order. False when the folder cannot be listed.
bool OsListFolder(const std::string& folder, std::vector<FolderEntry>* entries);

// The system temporary folder as the platform reports it (may lack the
// trailing "\"); empty when there is none.
std::string OsTempFolder();
// Full path of the running program's own file.
std::string OsModulePath();
// Reads a value below HKEY_LOCAL_MACHINE. On platforms without a registry it
// finds nothing.
bool OsReadRegistryValue(const std::string& key, const std::string& value_name, std::string* out);

// Confinement: while a root is set, the operations that change the file
// system (create, delete, rename, create folder, set a time by path) refuse a
// path below the root that passes through a symbolic link (or a junction) on
// its way down, and a new file is never created through a link, so that no
// link inside the target folder carries a write outside it. The run sets the
// root to its TargetBase; an empty root confines nothing.
void OsSetConfinementRoot(const std::string& root);

// A run's own work folder: created inside parent under prefix followed by an
// unpredictable part, readable only by this user, and locked for as long as
// *lock stays open (OsClose releases it). Files in it are the run's alone.
// False when parent refuses.
bool OsCreateWorkFolder(const std::string& parent, const std::string& prefix, std::string* path,
                        OsFile* lock);
// True when folder is a work folder whose run has ended without removing it
// (its lock is free, or it never got one and is old); its lock is then held
// in *lock (kNoOsFile when it had none) until the caller has emptied it.
bool OsClaimAbandonedWorkFolder(const std::string& folder, OsFile* lock);
// Removes an empty folder.
bool OsRemoveFolder(const std::string& path);

// One run per folder: takes a lock that every run on folder takes, for as
// long as *lock stays open (OsClose releases it). False with *busy set when
// another process holds it, false with *busy clear when the lock cannot be
// taken at all (the folder is missing, say).
bool OsLockFolder(const std::string& folder, OsFile* lock, bool* busy);

// Bytes this user may still write on the volume holding folder; -1 when the
// system cannot tell.
int64_t OsFreeSpace(const std::string& folder);
// A text naming the volume that holds path, or its nearest existing folder
// when path does not exist: equal for two paths on one volume.
std::string OsVolumeOf(const std::string& path);

enum class OsKind { kNone, kFile, kFolder, kOther };
// What is at path, links followed; a link that leads nowhere is kOther.
OsKind OsKindOf(const std::string& path);

// What a change at path would run into that the system can tell without
// changing anything: 0 when nothing, otherwise the error code the change
// would fail with. For a file: a flag that forbids renaming or deleting it
// (immutable, append-only) or another process holding it open against that.
// For a folder: that entries may not be made or removed in it (its flags, a
// read-only volume, this user's rights). Nothing at path is no refusal.
int OsChangeRefusal(const std::string& path);

// True when the confinement (OsSetConfinementRoot) refuses changes at path.
bool OsConfinementRefuses(const std::string& path);

// The system's code for why the last failing call of this layer failed, and
// the system's own text for a code of this layer.
int OsLastError();
std::string OsErrorText(int code);

// The form under which the file system tells names apart: two relative names
// with the same key name one file. Windows ignores case and reads "/" and a
// doubled separator as "\". Both layers key names as Windows would, so that a
// patch Windows would refuse is refused everywhere (though the POSIX look-up
// of an existing file ignores ASCII case only).
std::string OsNameKey(const std::string& name);

// Fault injection for tests: while a hook is set, every file operation asks it
// first, and a nonzero answer fails the operation with that error code, as if
// the disk had refused. Production code never sets one.
// A hook answering ENOSPC to kFreeSpace makes the volume look full; any other
// error makes its free space unknown. An answer to kInspect is what
// OsChangeRefusal reports, as for an immutable file.
enum class OsOp {
  kOpenRead,
  kCreate,
  kRead,
  kWrite,
  kClose,
  kDelete,
  kRename,
  kCreateFolder,
  kFreeSpace,
  kInspect,
  kSetOwner,
  kSetMode
};
using OsFaultHook = int (*)(OsOp op, const std::string& path);
void SetOsFaultHook(OsFaultHook hook);

// Text conversion for the build's own display encoding: the Windows build works
// in the system ANSI code page and passes bytes through; the console build
// speaks UTF-8.
std::string NativeFromBig5(const std::string& big5);
// Names and texts inside a patch, in the patch author's ANSI code page.
std::string NativeFromPatchText(const std::string& bytes);

// True when byte starts a double-byte character of the code page names are
// kept in: the system ANSI code page on Windows. The console build keeps names
// in UTF-8, where no byte of a multi-byte character is an ASCII one, so there
// every byte can be looked at on its own. names.h walks names with it.
bool OsIsLeadByte(unsigned char byte);

}  // namespace tw
