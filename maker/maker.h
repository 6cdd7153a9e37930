// Building patches from release folders (or single files): which files changed,
// the version chains, included files, and the check that the finished patch
// really rebuilds every new file before it is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "delta/patch_writer.h"
#include "maker/differ.h"

namespace tw {

struct MakeOptions {
  std::vector<std::string> olds;  // oldest first
  std::string new_path;
  std::string output;
  std::string description;        // UTF-8
  // Unset: "backup-" and the first old release's name, so that backups of
  // successive updates do not overwrite each other. Empty: no backups.
  std::optional<std::string> backup_folder;
  std::string registry_key;       // below HKEY_LOCAL_MACHINE
  std::string registry_value;
  int code_page = 950;
  std::vector<std::string> optional;  // name patterns ("/" or "\" separators, * and ?)
  struct Exclude {
    std::string pattern;
    int32_t offset;
    int32_t length;
  };
  std::vector<Exclude> excludes;
  std::vector<std::string> skip;  // name patterns of files left out of the patch
  std::string applier;  // write a self-contained copy of this program
  DiffOptions diff;
  bool quiet = false;  // no progress; warnings are shown all the same
  bool force = false;  // replace an existing output
};

// Makes, verifies and writes the patch. Returns 0, or 2 after printing why it
// refused or failed (nothing is written then).
int MakePatch(const MakeOptions& options);

// Prints what a patch (or a self-contained program) holds. Returns 0, or 2.
int ListPatch(const std::string& path, int code_page);

// Whether a name ("/" separated) matches a shell pattern: "*" any run of
// characters, "/" included; "?" any one byte; "[...]" a set or range of bytes,
// "!" or "^" first negating it. The same on every system.
bool MatchesPattern(const std::string& pattern, const std::string& name);

}  // namespace tw
