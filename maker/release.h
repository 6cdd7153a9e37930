// What the patch maker needs from the system beyond the core's file layer:
// release folders whose names may be in any language, text in a patch's code
// page, and file times. One implementation per system (release_posix.cc,
// release_win32.cc), chosen by the build.
//
// The maker's own paths and names are UTF-8 everywhere. The core's file layer
// takes paths in its own form (on Windows the ANSI code page, which cannot
// hold every name), so paths handed to it go through CorePathOf.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "delta/patch_writer.h"  // Bytes

namespace tw {

// The program's arguments as UTF-8 (on Windows read from the wide command
// line, since the ANSI one loses names of other languages). Also makes
// stdout and stderr carry UTF-8 bytes unchanged.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Whether anything has that name, a link that leads nowhere included.
bool Exists(const std::string& path);
bool IsFolder(const std::string& path);
// The last component of a path.
std::string FileNameOf(const std::string& path);

// Regular files below root by relative name ("/" separators, UTF-8), each
// with its path. Links and other entries that are neither files nor folders
// go to *others instead, by name: "" for a link to a file inside the release
// (its content is read through the link, so it is in *files too), otherwise
// why it cannot be part of a release. Linked folders are not followed. False,
// with *error naming the folder, when a folder cannot be read or a name cannot
// be turned into UTF-8.
bool ListReleaseFiles(const std::string& root, std::map<std::string, std::string>* files,
                      std::map<std::string, std::string>* others, std::string* error);

// Why a file or folder cannot be read, in the system's words; "" when it can.
std::string ReadProblem(const std::string& path);
// Size in bytes; -1 when unknown.
int64_t FileSize(const std::string& path);
// Whether path names the folder itself or something below it, after making
// both absolute and resolving links where the system can.
bool IsSameOrInside(const std::string& path, const std::string& folder);
// The last component of the absolute form of a path ("." and "dir/" name
// their folder); empty when there is none (a root).
std::string BaseNameOf(const std::string& path);
// A new empty file beside path (path + a unique suffix), created so that it
// never replaces anything; its path, or "" with *error saying why.
std::string NewScratchFile(const std::string& path, std::string* error);
// Renames from to to; with replace false it fails, rather than replace, when
// to exists. *error says why in the system's words.
bool Publish(const std::string& from, const std::string& to, bool replace, std::string* error);

bool ReadWholeFile(const std::string& path, Bytes* out);
bool WriteWholeFile(const std::string& path, const Bytes& data);
// Last-write time in seconds since 1970 (UTC); 0 when unknown.
int64_t ModifiedTime(const std::string& path);
// Moves a file over another, across volumes too.
bool MoveOver(const std::string& from, const std::string& to);
void RemoveFile(const std::string& path);
// A new empty folder of this process's own for work files; empty on failure.
std::string NewWorkFolder();
void RemoveFolder(const std::string& path);
// Lets the owner run a self-contained patch; nothing to do on Windows.
void MakeExecutable(const std::string& path);
// Whether standard error is a terminal (or console), where a line can be
// redrawn in place.
bool StderrIsTerminal();

// The path in the form the core's file layer opens; empty when that form
// cannot name the file (the caller then hands the core a copy).
std::string CorePathOf(const std::string& path);
// And back: the UTF-8 path of a path the core made.
std::string PathFromCore(const std::string& core_path);

// UTF-8 text in a Windows code page; false when the code page cannot write
// every character of it (no best-fit substitutes) or is unknown.
bool ToCodePage(const std::string& utf8, int code_page, std::string* out);
// A name or text as the core hands it over after reading a patch, as UTF-8.
std::string Utf8FromCore(const std::string& text, int code_page);
// Tells the core which code page the patch's names and texts are in.
void UsePatchCodePage(int code_page);

// A case-insensitive key for a relative UTF-8 name, as Windows compares
// names: two names with the same key are one file there.
std::string NameKey(const std::string& utf8_name);

// The DOS date-time (date high, time low) of a moment, in local time; dates
// before 1980 become 1 January 1980.
uint32_t DosTimeOf(int64_t unix_seconds);

}  // namespace tw
