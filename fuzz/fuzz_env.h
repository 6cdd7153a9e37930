// What the fuzz targets share: one scratch folder per process, a fresh run
// state for every input, the small installed application that the whole-run
// target patches, and folder snapshots to prove that nothing else changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tw::fuzz {

using Bytes = std::vector<unsigned char>;

// A folder below the system temp folder, made on first use and removed at
// exit. POSIX form, without a trailing "/".
const std::string& ScratchDir();
// The same path the way the core writes it.
std::string CoreForm(const std::string& posix_path);

// A fresh RunState whose TempFolder (and TMPDIR) is ScratchDir()/temp, emptied.
void ResetRun();

void WriteFile(const std::string& path, const void* data, size_t size);
void WriteFile(const std::string& path, const Bytes& data);
Bytes ReadFile(const std::string& path);
void MakeFolder(const std::string& path);
void RemoveTree(const std::string& path);
// Removes what a folder holds, keeping the folder.
void EmptyFolder(const std::string& path);

// Relative path -> what is there: "d" for a folder, "l:" + target for a
// symbolic link (not followed), "f:" + bytes for a file.
using Snapshot = std::map<std::string, std::string>;
Snapshot TakeSnapshot(const std::string& folder);

// The installed application of the whole-run target, old versions: relative
// POSIX names and contents. The folder also holds a symbolic link "link" to
// a folder outside it.
std::vector<std::pair<std::string, Bytes>> InstalledFiles();
// The new version of each installed file that the seed patches produce.
Bytes NewVersionOf(const std::string& name);

// Deterministic filler bytes.
Bytes Pattern(size_t n, unsigned seed);

// Stops the process with a message when a property does not hold, so that
// both libFuzzer and the replay driver report it as a crash.
[[noreturn]] void Fail(const std::string& what);
inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// True when text is a catalogue message as expanded in the current run state,
// or the literal refusal of a compressed body.
bool IsCatalogueText(const std::string& text);

}  // namespace tw::fuzz
