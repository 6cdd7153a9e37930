// Whole-folder states for tests that break things on purpose: what a folder
// holds (files, folders, links, not followed), and laying a state out again.
#pragma once

#include <map>
#include <set>
#include <string>

namespace tw {

// Relative POSIX path -> "f:" + bytes, "d", or "l:" + link target.
using FolderState = std::map<std::string, std::string>;

FolderState ReadFolderState(const std::string& folder);
// Empties folder and lays state out in it; throws std::runtime_error when
// the folder does not end up holding exactly that.
void LayOutFolderState(const std::string& folder, const FolderState& state);
// Removes a file, link or folder tree.
void RemovePath(const std::string& path);
// The file contents of a state (without the "f:" mark).
std::multiset<std::string> FileContents(const FolderState& state);

}  // namespace tw
