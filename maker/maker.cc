#include "maker/maker.h"

#include <fnmatch.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "container/body.h"
#include "container/entries.h"
#include "app/startup.h"
#include "container/patch_loader.h"
#include "delta/decoder.h"
#include "delta/streams.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"

namespace tw {
namespace fs = std::filesystem;
namespace {

// One file of the new release and where its versions come from.
struct Plan {
  std::string name;                  // relative, "/" separated, UTF-8
  std::string stored;                // as the patch stores it: "\" separated, code page
  std::string new_path;              // the new file
  std::vector<std::string> sources;  // distinct old contents, in chain order
  bool included = false;
  ExcludedRegion region;
  bool optional = false;
};

bool ReadAll(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  out->resize(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(out->size()));
  return static_cast<bool>(in) || out->empty();
}

Bytes MustRead(const std::string& path) {
  Bytes b;
  if (!ReadAll(path, &b)) throw std::runtime_error("cannot read " + path);
  return b;
}

// Regular files below root, by relative name with "/" separators.
std::map<std::string, std::string> ListFiles(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    files[fs::relative(e.path(), root).generic_string()] = e.path().string();
  }
  return files;
}

std::string Backslashed(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

bool Matches(const std::string& pattern, const std::string& name) {
  std::string p = pattern;
  std::replace(p.begin(), p.end(), '\\', '/');
  return fnmatch(p.c_str(), name.c_str(), 0) == 0;
}

std::string Size(int64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

int64_t Mtime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : 0;
}

// The chain a user of any old release can start from: each distinct old
// content once (its last occurrence), none equal to the new file.
std::vector<std::string> ChainSources(const std::vector<std::string>& candidates,
                                      const Bytes& new_data) {
  std::vector<std::string> chain;
  std::vector<Bytes> contents;
  for (const std::string& path : candidates) {
    Bytes data = MustRead(path);
    if (data == new_data) continue;
    for (size_t i = 0; i < contents.size(); ++i) {
      if (contents[i] == data) {
        contents.erase(contents.begin() + static_cast<long>(i));
        chain.erase(chain.begin() + static_cast<long>(i));
        break;
      }
    }
    contents.push_back(std::move(data));
    chain.push_back(path);
  }
  return chain;
}

// The core names files with "\\"; this side of the tool reads them directly.
std::string PosixPath(std::string core_path) {
  std::replace(core_path.begin(), core_path.end(), '\\', '/');
  return core_path;
}

void Say(const MakeOptions& o, const char* fmt, const std::string& a = "",
         const std::string& b = "", const std::string& c = "") {
  if (!o.quiet) std::fprintf(stderr, fmt, a.c_str(), b.c_str(), c.c_str());
}

// Decodes every version of the written patch with the applier's own decoder
// and compares the results with the real files.
bool Verify(const std::string& patch_path, const std::vector<Plan>& plans, bool multi,
            std::string* why) {
  std::string temp = patch_path + ".d";
  fs::create_directories(temp);
  g_run.PatchFilePath = patch_path;
  g_run.TempFolder = temp + "\\";
  g_run.TargetPath = g_run.TargetBase = ".";
  bool ok = true;
  try {
    LoadPatch();
    g_run.BodyTempFile.Seek(g_run.PatchBodyStart);
    size_t index = 0;
    for (;;) {
      int kind = ReadNextEntry();
      if (kind == kEntryEnd) break;
      while (index < plans.size() && plans[index].sources.empty() && !plans[index].included) {
        ++index;
      }
      if (index >= plans.size()) throw std::runtime_error("more entries than planned");
      const Plan& plan = plans[index++];
      if (kind == kEntryIncluded) {
        unsigned char header[8];
        ReadBodyBytes(header, 8);
        uint32_t len = header[0] | (header[1] << 8) | (header[2] << 16) |
                       (static_cast<uint32_t>(header[3]) << 24);
        g_run.BodyTempFile.SeekRelative(len);
        continue;
      }
      const FileEntry& e = g_run.Entry;
      if (e.VersionCount != plan.sources.size()) throw std::runtime_error("version count differs");
      for (int k = 1; k <= e.VersionCount; ++k) {
        DecodeRequest req;
        req.version = &e.Version[k];
        req.body_position = e.StreamStart[k];
        req.source_path = plan.sources[k - 1];
        req.verify_source = true;
        req.new_size = k < e.VersionCount ? e.Version[k + 1].SourceSize : e.NewSize;
        req.source_excluded = e.VersionExcluded[k];
        std::string out;
        if (!DecodeVersion(req, &out)) {
          throw std::runtime_error(plan.name + ": version " + std::to_string(k) +
                                   " does not accept its own source");
        }
        Bytes got = MustRead(PosixPath(out));
        OsDeleteFile(out);
        const std::string& expected_path =
            k < e.VersionCount ? plan.sources[k] : plan.new_path;
        if (got != MustRead(expected_path)) {
          throw std::runtime_error(plan.name + ": version " + std::to_string(k) +
                                   " does not rebuild " + expected_path);
        }
      }
      if (!multi) break;
    }
  } catch (const PatchError& e) {
    *why = "the applier refuses the patch: " + e.text();
    ok = false;
  } catch (const std::exception& e) {
    *why = e.what();
    ok = false;
  }
  ErrorCleanup();
  g_run.Carrier.Close();
  DeleteBodyCopy();
  fs::remove_all(temp);
  return ok;
}

}  // namespace

bool ToCodePage(const std::string& utf8, int code_page, std::string* out) {
  std::string name = "CP" + std::to_string(code_page);
  iconv_t cd = iconv_open(name.c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::vector<char> in(utf8.begin(), utf8.end());
  std::vector<char> buf(utf8.size() * 2 + 16);
  char* src = in.data();
  size_t left = in.size();
  char* dst = buf.data();
  size_t room = buf.size();
  bool ok = iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1) && left == 0;
  iconv_close(cd);
  if (ok) out->assign(buf.data(), static_cast<size_t>(dst - buf.data()));
  return ok;
}

uint32_t DosTimeOf(int64_t unix_seconds) {
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm tm;
  localtime_r(&t, &tm);
  // DOS dates start in 1980.
  if (tm.tm_year < 80) return (0u << 25) | (1u << 21) | (1u << 16);
  return (static_cast<uint32_t>(tm.tm_year - 80) << 25) | (static_cast<uint32_t>(tm.tm_mon + 1) << 21) |
         (static_cast<uint32_t>(tm.tm_mday) << 16) | (static_cast<uint32_t>(tm.tm_hour) << 11) |
         (static_cast<uint32_t>(tm.tm_min) << 5) | static_cast<uint32_t>(tm.tm_sec / 2);
}

int MakePatch(const MakeOptions& o) {
  setenv("TARNWELL_CODEPAGE", std::to_string(o.code_page).c_str(), 1);
  std::error_code ec;
  bool multi = fs::is_directory(o.new_path, ec);
  for (const std::string& old : o.olds) {
    if (fs::is_directory(old, ec) != multi || !fs::exists(old, ec)) {
      std::fprintf(stderr, "tarnwell-make: %s: OLD and NEW must all be folders or all be files\n",
                   old.c_str());
      return 2;
    }
  }
  if (!fs::exists(o.new_path, ec)) {
    std::fprintf(stderr, "tarnwell-make: %s does not exist\n", o.new_path.c_str());
    return 2;
  }
  try {
    std::vector<Plan> plans;
    if (multi) {
      std::map<std::string, std::string> new_files = ListFiles(o.new_path);
      std::vector<std::map<std::string, std::string>> old_files;
      for (const std::string& old : o.olds) old_files.push_back(ListFiles(old));
      // Names are checked before any work is done, with the applier's own
      // rules, so that a patch it would refuse is never made.
      std::set<std::string> keys;
      for (const auto& [name, path] : new_files) {
        Plan plan;
        plan.name = name;
        if (IsUnsafeName(Backslashed(name)) ||
            !ToCodePage(Backslashed(name), o.code_page, &plan.stored)) {
          std::fprintf(stderr,
                       "tarnwell-make: %s: the applier would refuse this name (or code page %d "
                       "cannot write it)\n",
                       name.c_str(), o.code_page);
          return 2;
        }
        if (!keys.insert(OsNameKey(Backslashed(name))).second) {
          std::fprintf(stderr,
                       "tarnwell-make: %s: another file differs only in case; Windows would see "
                       "one file\n",
                       name.c_str());
          return 2;
        }
        plan.new_path = path;
        std::vector<std::string> candidates;
        for (const auto& files : old_files) {
          auto it = files.find(name);
          if (it != files.end()) candidates.push_back(it->second);
        }
        // A release that lacks the file needs it whole: the patch cannot
        // rebuild a file from nothing.
        plan.included = candidates.size() < old_files.size();
        if (!plan.included) plan.sources = ChainSources(candidates, MustRead(path));
        plans.push_back(plan);
      }
      std::set<std::string> gone;
      for (const auto& files : old_files) {
        for (const auto& entry : files) {
          if (!new_files.count(entry.first)) gone.insert(entry.first);
        }
      }
      for (const std::string& name : gone) {
        Say(o, "warning: %s is not in the new release, but a patch cannot delete files\n", name);
      }
    } else {
      Plan plan;
      plan.name = fs::path(o.new_path).filename().string();
      plan.new_path = o.new_path;
      plan.sources = ChainSources(o.olds, MustRead(o.new_path));
      plans.push_back(plan);
    }
    for (Plan& plan : plans) {
      for (const std::string& pattern : o.optional) plan.optional |= Matches(pattern, plan.name);
      for (const auto& ex : o.excludes) {
        if (Matches(ex.pattern, plan.name)) plan.region = {ex.offset, ex.length};
      }
    }

    PatchContents patch;
    patch.HeaderMode = multi ? 2 : 1;
    std::string description;
    if (!ToCodePage(o.description, o.code_page, &description)) {
      std::fprintf(stderr, "tarnwell-make: the description cannot be written in code page %d\n",
                   o.code_page);
      return 2;
    }
    if (description.find("#%") != std::string::npos) {
      Say(o, "warning: the applier shows the description only up to its \"#%%\"\n");
    }
    if (description.size() > kDescriptionCapacity) {
      Say(o, "warning: the applier shows only the first 1,000 bytes of the description\n");
    }
    patch.Description = OemFromAnsi(description);
    if (!ToCodePage(o.backup_folder, o.code_page, &patch.BackupFolderName) ||
        (!o.backup_folder.empty() && IsUnsafeName(Backslashed(o.backup_folder)))) {
      std::fprintf(stderr, "tarnwell-make: unusable backup folder name '%s'\n",
                   o.backup_folder.c_str());
      return 2;
    }
    patch.BackupFolderName = Backslashed(patch.BackupFolderName);
    if (!o.registry_key.empty()) {
      patch.HeaderFlags |= kFlagHasRegistryLocation;
      if (!ToCodePage(o.registry_key, o.code_page, &patch.RegistryKeyPath) ||
          !ToCodePage(o.registry_value, o.code_page, &patch.RegistryValueName)) {
        std::fprintf(stderr, "tarnwell-make: the registry location cannot be written in code page %d\n",
                     o.code_page);
        return 2;
      }
    }

    int64_t total_new = 0, total_patch = 0;
    size_t number = 0, changed = 0;
    for (const Plan& plan : plans) {
      ++number;
      std::string counter = "[" + std::to_string(number) + "/" + std::to_string(plans.size()) + "] ";
      Bytes new_data = MustRead(plan.new_path);
      if (plan.included) {
        IncludedEntry included;
        included.EntryName = plan.stored;
        included.IncludedFileTime = DosTimeOf(Mtime(plan.new_path));
        included.Data = new_data;
        patch.Entries.emplace_back(std::move(included));
        total_new += static_cast<int64_t>(new_data.size());
        total_patch += static_cast<int64_t>(new_data.size());
        Say(o, "%s%s: included whole, %s bytes (new, or missing from an old release)\n", counter, plan.name,
            Size(static_cast<int64_t>(new_data.size())));
        ++changed;
        continue;
      }
      if (plan.sources.empty()) {
        if (!o.quiet && plans.size() <= 50) Say(o, "%s%s: unchanged\n", counter, plan.name);
        continue;
      }
      if (plan.sources.size() > kMaxVersions) {
        std::fprintf(stderr, "tarnwell-make: %s has more than %d old versions\n", plan.name.c_str(),
                     kMaxVersions);
        return 2;
      }
      PatchedEntry entry;
      entry.EntryName = plan.stored;
      entry.NewSize = static_cast<int32_t>(new_data.size());
      entry.NewFileTime = DosTimeOf(Mtime(plan.new_path));
      entry.Excluded = plan.region;
      entry.NewCrc = ChecksumBytes(new_data.data(), new_data.size(), plan.region.offset,
                                   plan.region.length);
      if (plan.region.length != 0) entry.EntryFlags |= kEntryHasExcludedRegions;
      if (plan.optional) entry.EntryFlags |= kEntryOptionalFile;
      int64_t entry_bytes = 0, old_size = 0;
      for (size_t k = 0; k < plan.sources.size(); ++k) {
        Bytes from = MustRead(plan.sources[k]);
        old_size = static_cast<int64_t>(from.size());
        Bytes to = k + 1 < plan.sources.size() ? MustRead(plan.sources[k + 1]) : new_data;
        VersionBlock block = MakeVersion(from, to, plan.region, o.diff);
        block.Excluded = plan.region;
        for (const Bytes& s : block.Streams.Stream) entry_bytes += static_cast<int64_t>(s.size());
        entry.Versions.push_back(std::move(block));
      }
      total_new += static_cast<int64_t>(new_data.size());
      total_patch += entry_bytes;
      ++changed;
      std::string sizes = Size(old_size) + " -> " + Size(static_cast<int64_t>(new_data.size())) +
                          " bytes";
      Say(o, "%s%s: %s", counter, plan.name, sizes);
      Say(o, ", patch %s bytes%s\n", Size(entry_bytes),
          plan.sources.size() > 1 ? " (" + std::to_string(plan.sources.size()) + " versions)" : "");
      patch.Entries.emplace_back(std::move(entry));
    }
    if (!multi && patch.Entries.empty()) {
      std::fprintf(stderr, "tarnwell-make: the new file equals every old one; nothing to patch\n");
      return 2;
    }

    std::string temp = o.output + ".tarnwell-make.tmp";
    std::string error;
    if (!WritePatchFile(patch, temp, "", &error)) {
      std::fprintf(stderr, "tarnwell-make: cannot write %s: %s\n", temp.c_str(), error.c_str());
      return 2;
    }
    Say(o, "verifying with the applier's decoder...\n");
    std::string why;
    bool verified = Verify(temp, plans, multi, &why);
    std::remove(temp.c_str());
    if (!verified) {
      std::fprintf(stderr, "tarnwell-make: the patch would not rebuild the new files, so it was not "
                           "written: %s\n", why.c_str());
      return 2;
    }
    if (!WritePatchFile(patch, temp, o.applier, &error) || std::rename(temp.c_str(), o.output.c_str()) != 0) {
      std::remove(temp.c_str());
      std::fprintf(stderr, "tarnwell-make: cannot write %s %s\n", o.output.c_str(), error.c_str());
      return 2;
    }
    if (!o.applier.empty()) chmod(o.output.c_str(), 0755);
    if (!o.quiet) {
      std::fprintf(stderr, "wrote %s: %zu files changed, %s bytes of new files, %s bytes of patch data\n",
                   o.output.c_str(), changed, Size(total_new).c_str(), Size(total_patch).c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarnwell-make: %s\n", e.what());
    return 2;
  }
  return 0;
}

int ListPatch(const std::string& path, int code_page) {
  setenv("TARNWELL_CODEPAGE", std::to_string(code_page).c_str(), 1);
  std::string temp = fs::temp_directory_path().string() + "/tarnwell-list-" + std::to_string(getpid());
  fs::create_directories(temp);
  g_run.PatchFilePath = path;
  g_run.TempFolder = temp + "\\";
  g_run.TargetPath = g_run.TargetBase = ".";
  int code = 0;
  try {
    LoadPatch();
    const PatchHeader& h = g_run.Header;
    std::printf("%s: format %u, %s patch, %lld bytes of container\n", path.c_str(), h.FormatVersion,
                g_run.MultiFileMode ? "multi-file" : "single-file",
                static_cast<long long>(g_run.Carrier.Size() - g_run.Carrier.Tell() + kHeaderSize));
    std::string description;
    for (const char* p = g_run.DescriptionText; *p != '\0'; ++p) description += *p == 1 ? '\n' : *p;
    std::printf("description:\n%s\n", NativeFromPatchText(description).c_str());
    std::printf("backup folder: %s\n", g_run.BackupFolderName.c_str());
    if (h.HeaderFlags & kFlagHasRegistryLocation) {
      std::printf("registry: HKEY_LOCAL_MACHINE\\%s, value \"%s\"\n", g_run.RegistryKeyPath.c_str(),
                  g_run.RegistryValueName.c_str());
    }
    g_run.BodyTempFile.Seek(g_run.PatchBodyStart);
    for (;;) {
      int kind = ReadNextEntry();
      if (kind == kEntryEnd) break;
      if (kind == kEntryIncluded) {
        unsigned char header[8];
        ReadBodyBytes(header, 8);
        uint32_t len = header[0] | (header[1] << 8) | (header[2] << 16) |
                       (static_cast<uint32_t>(header[3]) << 24);
        uint32_t time = header[4] | (header[5] << 8) | (header[6] << 16) |
                        (static_cast<uint32_t>(header[7]) << 24);
        std::printf("included %s: %u bytes, time %08X\n", g_run.EntryName.c_str(), len, time);
        g_run.BodyTempFile.SeekRelative(len);
        continue;
      }
      const FileEntry& e = g_run.Entry;
      std::printf("patched %s: new size %d, checksum %08X, time %08X%s%s\n",
                  g_run.MultiFileMode ? g_run.EntryName.c_str() : "(the target file)", e.NewSize,
                  e.NewCrc, e.NewFileTime, e.OptionalFile ? ", optional" : "",
                  e.Excluded.length ? (", excluded " + std::to_string(e.Excluded.offset) + "+" +
                                       std::to_string(e.Excluded.length))
                                          .c_str()
                                    : "");
      for (int k = 1; k <= e.VersionCount; ++k) {
        const SourceVersion& v = e.Version[k];
        int64_t streams = 0;
        for (int32_t len : v.StreamLength) streams += len;
        std::printf("  version %d from %s: size %d, checksum %08X, streams %lld bytes (%d %d %d %d "
                    "%d), fix-up period %u, flags %u, block %u\n",
                    k, g_run.MultiFileMode ? e.VersionName[k].c_str() : "the target", v.SourceSize,
                    v.SourceCrc, static_cast<long long>(streams), v.StreamLength[0],
                    v.StreamLength[1], v.StreamLength[2], v.StreamLength[3], v.StreamLength[4],
                    v.FixupPeriod, v.VersionFlags, v.InsertBlockSize);
      }
      if (!g_run.MultiFileMode) break;
    }
  } catch (const PatchError& e) {
    std::fprintf(stderr, "tarnwell-make: %s\n", e.text().c_str());
    code = 2;
  }
  ErrorCleanup();
  g_run.Carrier.Close();
  DeleteBodyCopy();
  fs::remove_all(temp);
  return code;
}

}  // namespace tw
