#include "maker/maker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <stdexcept>

#include "app/applier_mark.h"
#include "app/startup.h"
#include "container/body.h"
#include "container/entries.h"
#include "container/patch_loader.h"
#include "delta/decoder.h"
#include "delta/streams.h"
#include "maker/moved.h"
#include "maker/release.h"
#include "maker/two_threads.h"
#include "messages/messages.h"
#include "platform/os.h"
#include "state/run_state.h"

namespace tw {
namespace {

// One file of the new release and where its versions come from.
struct Plan {
  std::string name;                  // relative, "/" separated, UTF-8
  std::string stored;                // as the patch stores it: "\" separated, code page
  std::string new_path;              // the new file
  std::vector<std::string> sources;  // distinct old contents, in chain order
  // Per source: its name in its release ("/" separated), and the name the
  // version stores for it (empty: the entry's own name).
  std::vector<std::string> source_names;
  std::vector<std::string> version_names;
  bool included = false;
  ExcludedRegion region;
  bool optional = false;
};

Bytes MustRead(const std::string& path) {
  Bytes b;
  if (!ReadWholeFile(path, &b)) {
    const std::string problem = ReadProblem(path);
    throw std::runtime_error(path + ": cannot read it: " + (problem.empty() ? "read error" : problem));
  }
  return b;
}

// Sizes are stored as signed 32-bit numbers.
constexpr int64_t kMaxFileSize = 0x7FFFFFFF;

// The files of a release that go into the patch: links to files of the
// release are read through (with a warning), any other link is refused, and
// files matching a skip pattern are left out before anything else is asked
// of them.
std::map<std::string, std::string> ListFiles(const std::string& root,
                                             const std::vector<std::string>& skip) {
  std::map<std::string, std::string> files, others;
  std::string error, shown = root;
  while (shown.size() > 1 && (shown.back() == '/' || shown.back() == '\\')) shown.pop_back();
  if (!ListReleaseFiles(root, &files, &others, &error)) throw std::runtime_error(error);
  auto skipped = [&skip](const std::string& name) {
    for (const std::string& pattern : skip) {
      if (MatchesPattern(pattern, name)) return true;
    }
    return false;
  };
  for (auto it = files.begin(); it != files.end();) {
    it = skipped(it->first) ? files.erase(it) : std::next(it);
  }
  for (const auto& [name, why] : others) {
    if (skipped(name)) continue;
    if (!why.empty()) {
      throw std::runtime_error(shown + "/" + name + " " + why +
                               "; a patch holds files only (leave it out with --skip)");
    }
    std::fprintf(stderr, "warning: %s/%s is a link; the patch stores the file it leads to\n",
                 shown.c_str(), name.c_str());
  }
  for (const auto& [name, path] : files) {
    // A "\" in a name would be a folder separator on the user's side.
    if (name.find('\\') != std::string::npos) {
      throw std::runtime_error(path + ": a \"\\\" in a name would make it a folder path on "
                               "Windows; rename the file");
    }
    const std::string problem = ReadProblem(path);
    if (!problem.empty()) throw std::runtime_error(path + ": cannot read it: " + problem);
    const int64_t size = FileSize(path);
    if (size > kMaxFileSize) {
      throw std::runtime_error(path + ": " + std::to_string(size) +
                               " bytes; a patch holds files of at most 2,147,483,647 bytes");
    }
  }
  return files;
}

// Why a program cannot carry a patch; "" when it is a plain applier of ours.
std::string ApplierProblem(const std::string& path) {
  Bytes b;
  if (!ReadWholeFile(path, &b)) return "cannot read it";
  static const unsigned char kTrailer[] = {0x43, 0x84, 0x7F, 0x3E};
  if (b.size() >= 4 && std::equal(b.end() - 4, b.end(), kTrailer)) {
    return "already carries a patch; give the plain applier";
  }
  const bool program = (b.size() >= 2 && b[0] == 'M' && b[1] == 'Z') ||
                       (b.size() >= 4 && std::memcmp(b.data(), "\x7f" "ELF", 4) == 0);
  const std::string mark = std::string(TW_APPLIER_MARK_HEAD) + TW_APPLIER_MARK_TAIL;
  if (!program || std::search(b.begin(), b.end(), mark.begin(), mark.end()) == b.end()) {
    return "is not a tarnwell applier program (tarnwell, tarnwell.exe or tarnwell64.exe)";
  }
  return "";
}

// The newest last-write time among files.
int64_t Newest(const std::map<std::string, std::string>& files) {
  int64_t newest = 0;
  for (const auto& entry : files) newest = std::max(newest, ModifiedTime(entry.second));
  return newest;
}

// The path under which the core can open a file: its own, or else a copy in
// the work folder (on Windows, where the core's ANSI paths cannot name
// every file).
std::string CoreCopy(const std::string& path, const std::string& work, const std::string& name) {
  std::string core = CorePathOf(path);
  if (!core.empty()) return core;
  const std::string copy = work + "/" + name;
  core = CorePathOf(copy);
  if (core.empty() || !WriteWholeFile(copy, MustRead(path))) {
    throw std::runtime_error("cannot copy " + path + " to " + copy);
  }
  return core;
}

std::string Backslashed(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

// A shell pattern at p matches all of the name at s. A bracket expression
// without its "]" stands for a plain "[".
bool Glob(const char* p, const char* s) {
  for (;; ++p, ++s) {
    switch (*p) {
      case '\0':
        return *s == '\0';
      case '*':
        while (p[1] == '*') ++p;
        for (const char* rest = s;; ++rest) {
          if (Glob(p + 1, rest)) return true;
          if (*rest == '\0') return false;
        }
      case '?':
        if (*s == '\0') return false;
        break;
      case '[': {
        const char* q = p + 1;
        const bool negate = *q == '!' || *q == '^';
        if (negate) ++q;
        bool found = false;
        const unsigned char c = static_cast<unsigned char>(*s);
        // A "]" right after the opening is a member, not the end.
        for (bool first = true; *q != '\0' && (first || *q != ']'); first = false) {
          const unsigned char lo = static_cast<unsigned char>(*q);
          if (q[1] == '-' && q[2] != '\0' && q[2] != ']') {
            found |= c >= lo && c <= static_cast<unsigned char>(q[2]);
            q += 3;
          } else {
            found |= c == lo;
            ++q;
          }
        }
        if (*q != ']') {
          if (*s != '[') return false;
          break;
        }
        if (*s == '\0' || found == negate) return false;
        p = q;
        break;
      }
      default:
        if (*p != *s) return false;
    }
  }
}

std::string Size(int64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// Whether two files hold the same bytes. Files of different sizes differ,
// and most changed files change size: those are not read at all.
bool SameContents(const std::string& a, const std::string& b) {
  const int64_t size = FileSize(a);
  return size == FileSize(b) && MustRead(a) == MustRead(b);
}

// The chain a user of any old release can start from: each distinct old
// source once (its last occurrence), none that already is the new file.
// Sources are (path, name): one content at two names is two sources, since
// the applier looks for each at its own name; the new content at another
// name still has to be put at the entry's.
std::vector<std::pair<std::string, std::string>> ChainSources(
    const std::vector<std::pair<std::string, std::string>>& candidates, const std::string& name,
    const std::string& new_path) {
  std::vector<std::pair<std::string, std::string>> chain;
  for (const auto& candidate : candidates) {
    if (candidate.second == name && SameContents(candidate.first, new_path)) continue;
    for (size_t i = 0; i < chain.size(); ++i) {
      if (chain[i].second == candidate.second && SameContents(chain[i].first, candidate.first)) {
        chain.erase(chain.begin() + static_cast<long>(i));
        break;
      }
    }
    chain.push_back(candidate);
  }
  return chain;
}

// Progress of one large file on standard error: a bar redrawn in place on a
// terminal; elsewhere (a log, a build system) a line at every tenth, since
// carriage returns would pile up there. Shows a fraction of the work, from
// the differ's reports.
class FileProgress {
 public:
  FileProgress(std::string label, bool terminal) : label_(std::move(label)), terminal_(terminal) {}
  FileProgress(const FileProgress&) = delete;
  FileProgress& operator=(const FileProgress&) = delete;
  // Leaves the terminal's line empty for what is said next.
  ~FileProgress() {
    if (terminal_ && width_ > 0) std::fprintf(stderr, "\r%*s\r", width_, "");
  }

  void Show(double done) {
    const int percent = static_cast<int>(done * 100);
    if (terminal_) {
      if (percent == shown_) return;
      constexpr int kBar = 30;
      const int filled = percent * kBar / 100;
      const std::string bar = std::string(filled, '#') + std::string(kBar - filled, '.');
      width_ = std::max(width_, std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(),
                                             percent) - 1);
    } else {
      // Every tenth passed, even those a long copy leapt over, so that logs
      // read alike.
      if (percent / 10 == shown_ / 10) return;
      for (int tenth = std::max(shown_, 0) / 10 + 1; tenth <= percent / 10; ++tenth) {
        std::fprintf(stderr, "%s %d%%\n", label_.c_str(), tenth * 10);
      }
    }
    std::fflush(stderr);
    shown_ = percent;
  }

 private:
  std::string label_;
  bool terminal_;
  int shown_ = -1;  // percent last shown
  int width_ = 0;   // columns drawn on the terminal's line
};

// New files from this size on show their progress: smaller ones take well
// under a second.
constexpr size_t kProgressBytes = 4 << 20;

void Say(const MakeOptions& o, const char* fmt, const std::string& a = "",
         const std::string& b = "", const std::string& c = "") {
  if (!o.quiet) std::fprintf(stderr, fmt, a.c_str(), b.c_str(), c.c_str());
}

// The applier's message: in the Windows build its catalogue text is Big5.
std::string MessageOf(const PatchError& e) { return Utf8FromCore(e.text(), 950); }

// A work folder of our own, gone with everything in it at the end.
struct WorkFolder {
  std::string path = NewWorkFolder();
  ~WorkFolder() {
    if (!path.empty()) RemoveFolder(path);
  }
  // Whether the core can use it too.
  bool Usable() const { return !path.empty() && !CorePathOf(path).empty(); }
};

// Decodes every version of the written patch (core_patch, a path in the
// core's form) with the applier's own decoder and compares the results with
// the real files.
bool Verify(const std::string& core_patch, const std::string& work, const std::vector<Plan>& plans,
            bool multi, std::string* why) {
  const std::string temp = work + "/decoded";
  bool ok = true;
  try {
    if (!OsCreateFolder(CorePathOf(temp))) throw std::runtime_error("cannot create " + temp);
    g_run.PatchFilePath = core_patch;
    g_run.TempFolder = CorePathOf(temp) + "\\";
    g_run.TargetPath = g_run.TargetBase = ".";
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
        if (multi && k - 1 < static_cast<int>(plan.version_names.size())) {
          const std::string& named = plan.version_names[static_cast<size_t>(k - 1)];
          if (e.VersionName[k] != NativeFromPatchText(named.empty() ? plan.stored : named)) {
            throw std::runtime_error(plan.name + ": version " + std::to_string(k) +
                                     " names another source");
          }
        }
        DecodeRequest req;
        req.version = &e.Version[k];
        req.body_position = e.StreamStart[k];
        req.source_path = CoreCopy(plan.sources[k - 1], work, "source");
        req.verify_source = true;
        req.new_size = k < e.VersionCount ? e.Version[k + 1].SourceSize : e.NewSize;
        req.source_excluded = e.VersionExcluded[k];
        std::string out;
        if (!DecodeVersion(req, &out)) {
          throw std::runtime_error(plan.name + ": version " + std::to_string(k) +
                                   " does not accept its own source");
        }
        Bytes got = MustRead(PathFromCore(out));
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
    *why = "the applier refuses the patch: " + MessageOf(e);
    ok = false;
  } catch (const std::exception& e) {
    *why = e.what();
    ok = false;
  }
  ErrorCleanup();
  g_run.Carrier.Close();
  DeleteBodyCopy();
  RemoveFolder(temp);
  return ok;
}

}  // namespace

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  std::string p = pattern;
  std::replace(p.begin(), p.end(), '\\', '/');
  return Glob(p.c_str(), name.c_str());
}

namespace {

// A scratch file that is removed unless it was made the output.
struct Scratch {
  std::string path;
  ~Scratch() {
    if (!path.empty()) RemoveFile(path);
  }
};

int Refuse(const std::string& why) {
  std::fprintf(stderr, "tarnwell-make: %s\n", why.c_str());
  return 2;
}

// The backup folder named after the release it keeps: "backup-" and the
// first old release's folder (the folder holding it, for a single file).
std::string DefaultBackupFolder(const MakeOptions& o, bool multi, int code_page) {
  std::string base;
  if (multi) {
    base = BaseNameOf(o.olds[0]);
  } else {
    const size_t cut = o.olds[0].find_last_of("/\\");
    base = BaseNameOf(cut == std::string::npos ? "." : o.olds[0].substr(0, cut + 1));
  }
  const std::string name = "backup-" + base;
  std::string stored;
  if (base.empty() || IsUnsafeName(Backslashed(name)) || !ToCodePage(name, code_page, &stored)) {
    return "backup";
  }
  return name;
}

}  // namespace

int MakePatch(const MakeOptions& o) {
  UsePatchCodePage(o.code_page);
  // Everything that can be checked is checked before the work starts: a
  // refusal after minutes of comparing would waste the author's time.
  std::vector<std::string> inputs = o.olds;
  inputs.push_back(o.new_path);
  for (const std::string& input : inputs) {
    const std::string problem = ReadProblem(input);
    if (!problem.empty()) return Refuse(input + ": cannot read it: " + problem);
  }
  const bool multi = IsFolder(o.new_path);
  for (const std::string& old : o.olds) {
    if (IsFolder(old) != multi) {
      return Refuse(old + ": OLD and NEW must all be folders or all be files");
    }
  }
  if (!o.applier.empty()) {
    std::string problem = ReadProblem(o.applier);
    problem = problem.empty() ? ApplierProblem(o.applier) : "cannot read it: " + problem;
    if (!problem.empty()) return Refuse(o.applier + ": " + problem);
    inputs.push_back(o.applier);
  }
  if (IsFolder(o.output)) return Refuse(o.output + ": the output is a folder");
  for (const std::string& input : inputs) {
    if (IsSameOrInside(o.output, input)) {
      return Refuse(o.output + ": the output would " +
                    (IsFolder(input) ? "be inside " : "replace ") + input + ", an input");
    }
  }
  if (Exists(o.output) && !o.force) {
    return Refuse(o.output + ": exists; --force replaces it");
  }
  for (size_t i = 0; i < o.olds.size(); ++i) {
    for (size_t j = i + 1; j < inputs.size() && j <= o.olds.size(); ++j) {
      if (IsSameOrInside(inputs[i], inputs[j]) && IsSameOrInside(inputs[j], inputs[i])) {
        std::fprintf(stderr, "warning: %s and %s are the same %s\n", inputs[i].c_str(),
                     inputs[j].c_str(), multi ? "folder" : "file");
      }
    }
  }
  if (o.code_page != 950) {
    std::fprintf(stderr,
                 "warning: code page %d: the Linux applier reads this patch's names only with "
                 "TARNWELL_CODEPAGE=%d set\n",
                 o.code_page, o.code_page);
  }
  std::string description;
  if (!ToCodePage(o.description, o.code_page, &description)) {
    return Refuse("the description cannot be written in code page " + std::to_string(o.code_page));
  }
  if (description.find("#%") != std::string::npos) {
    std::fprintf(stderr, "warning: the applier shows the description only up to its \"#%%\"\n");
  }
  if (description.size() > kDescriptionCapacity) {
    std::fprintf(stderr,
                 "warning: the description is %zu bytes; the applier shows only the first "
                 "1,000\n",
                 description.size());
  }
  const std::string backup_folder =
      o.backup_folder ? *o.backup_folder : DefaultBackupFolder(o, multi, o.code_page);
  std::string stored_backup;
  if (!ToCodePage(backup_folder, o.code_page, &stored_backup) ||
      (!backup_folder.empty() && IsUnsafeName(Backslashed(backup_folder)))) {
    return Refuse("unusable backup folder name '" + backup_folder + "'");
  }
  Scratch scratch;
  try {
    std::vector<Plan> plans;
    std::map<std::string, std::string> new_files;
    std::vector<std::map<std::string, std::string>> old_files;
    if (multi) {
      new_files = ListFiles(o.new_path, o.skip);
      for (const std::string& old : o.olds) old_files.push_back(ListFiles(old, o.skip));
    } else {
      for (const std::string& input : inputs) {
        if (input != o.applier && FileSize(input) > kMaxFileSize) {
          return Refuse(input + ": " + std::to_string(FileSize(input)) +
                        " bytes; a patch holds files of at most 2,147,483,647 bytes");
        }
      }
    }
    // A NEW release older than the OLD ones is most often the arguments
    // the wrong way round.
    int64_t newest_old = 0;
    if (multi) {
      for (const auto& files : old_files) newest_old = std::max(newest_old, Newest(files));
    } else {
      for (const std::string& old : o.olds) newest_old = std::max(newest_old, ModifiedTime(old));
    }
    const int64_t newest_new = multi ? Newest(new_files) : ModifiedTime(o.new_path);
    if (newest_new != 0 && newest_new < newest_old) {
      std::fprintf(stderr,
                   "warning: %s looks older than the old release (its newest file is older); "
                   "is NEW last?\n",
                   o.new_path.c_str());
    }
    std::string error;
    scratch.path = NewScratchFile(o.output, &error);
    if (scratch.path.empty()) return Refuse(error);
    // The patch is written and checked in a work folder first; only a patch
    // that works reaches the scratch file, and only then the output.
    const WorkFolder work;
    if (!work.Usable()) return Refuse("cannot make a work folder in the temporary folder");
    if (multi) {
      // The applier refuses a patch whose backup folder holds files of the
      // application (its backups would overwrite them): say so now, with the
      // way out.
      if (!backup_folder.empty()) {
        std::string backup = NameKey(Backslashed(backup_folder));
        while (!backup.empty() && backup.back() == '\\') backup.pop_back();
        std::vector<const std::map<std::string, std::string>*> releases = {&new_files};
        for (const auto& files : old_files) releases.push_back(&files);
        for (const auto* files : releases) {
          for (const auto& entry : *files) {
            std::string key = NameKey(Backslashed(entry.first));
            if (key == backup || key.compare(0, backup.size() + 1, backup + "\\") == 0) {
              std::fprintf(stderr,
                           "tarnwell-make: %s: the release has files where the backup folder "
                           "'%s' goes; choose another with --backup-folder\n",
                           entry.first.c_str(), backup_folder.c_str());
              return 2;
            }
          }
        }
      }
      // A new file with no old file at its path is made from the old file
      // that helps most. An old file that its own entry replaces is found
      // again in the backup folder; without one it is no source.
      auto usable_source = [&](const std::string& old_name) {
        std::string stored;
        return (!backup_folder.empty() || !new_files.count(old_name)) &&
               !IsUnsafeName(Backslashed(old_name)) &&
               ToCodePage(Backslashed(old_name), o.code_page, &stored);
      };
      std::vector<MovedSourceFinder> finders;
      for (const auto& files : old_files) finders.emplace_back(files, usable_source, MustRead);
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
        if (!keys.insert(NameKey(Backslashed(name))).second) {
          std::fprintf(stderr,
                       "tarnwell-make: %s: another file differs only in case; Windows would see "
                       "one file\n",
                       name.c_str());
          return 2;
        }
        plan.new_path = path;
        plans.push_back(plan);
      }
      for (Plan& plan : plans) {
        std::vector<std::pair<std::string, std::string>> candidates;
        Bytes new_data;
        for (size_t r = 0; r < old_files.size() && !plan.included; ++r) {
          auto it = old_files[r].find(plan.name);
          if (it != old_files[r].end()) {
            candidates.emplace_back(it->second, plan.name);
            continue;
          }
          if (new_data.empty()) new_data = MustRead(plan.new_path);
          std::string from = finders[r].Find(plan.name, new_data);
          // A release with nothing to make the file from needs it whole.
          plan.included = from.empty();
          if (!from.empty()) candidates.emplace_back(old_files[r].at(from), from);
        }
        if (plan.included) continue;
        for (const auto& [source, source_name] :
             ChainSources(candidates, plan.name, plan.new_path)) {
          std::string stored;
          if (source_name != plan.name) ToCodePage(Backslashed(source_name), o.code_page, &stored);
          plan.sources.push_back(source);
          plan.source_names.push_back(source_name);
          plan.version_names.push_back(stored);
        }
      }
      std::set<std::string> gone;
      for (const auto& files : old_files) {
        for (const auto& entry : files) {
          if (!new_files.count(entry.first)) gone.insert(entry.first);
        }
      }
      for (const std::string& name : gone) {
        std::fprintf(stderr, "warning: %s is not in the new release, but a patch cannot delete files\n",
                     name.c_str());
      }
    } else {
      Plan plan;
      plan.name = FileNameOf(o.new_path);
      plan.new_path = o.new_path;
      std::vector<std::pair<std::string, std::string>> candidates;
      for (const std::string& old : o.olds) candidates.emplace_back(old, plan.name);
      for (const auto& source : ChainSources(candidates, plan.name, o.new_path)) {
        plan.sources.push_back(source.first);
      }
      plans.push_back(plan);
    }
    for (Plan& plan : plans) {
      for (const std::string& pattern : o.optional) {
        plan.optional |= MatchesPattern(pattern, plan.name);
      }
      for (const auto& ex : o.excludes) {
        if (MatchesPattern(ex.pattern, plan.name)) plan.region = {ex.offset, ex.length};
      }
    }

    PatchContents patch;
    patch.HeaderMode = multi ? 2 : 1;
    patch.Description = OemFromAnsi(description);
    patch.BackupFolderName = Backslashed(stored_backup);
    if (!o.registry_key.empty()) {
      patch.HeaderFlags |= kFlagHasRegistryLocation;
      if (!ToCodePage(o.registry_key, o.code_page, &patch.RegistryKeyPath) ||
          !ToCodePage(o.registry_value, o.code_page, &patch.RegistryValueName)) {
        std::fprintf(stderr, "tarnwell-make: the registry location cannot be written in code page %d\n",
                     o.code_page);
        return 2;
      }
    }

    // A patched file's entry is made apart from telling it, so that two
    // small files can be made at once.
    struct Made {
      PatchedEntry entry;
      int64_t entry_bytes = 0, old_size = 0;
    };
    auto counter_of = [&](size_t number) {
      return "[" + std::to_string(number) + "/" + std::to_string(plans.size()) + "] ";
    };
    auto make = [&](const Plan& plan, const std::string& counter) {
      Made made;
      PatchedEntry& entry = made.entry;
      // A patched file's new data is read only when its last version is
      // made, once the old file is indexed: see MakeVersion.
      Bytes new_data;
      bool new_read = false;
      auto read_new = [&]() -> const Bytes& {
        if (!new_read) new_data = MustRead(plan.new_path);
        new_read = true;
        return new_data;
      };
      entry.EntryName = plan.stored;
      entry.Excluded = plan.region;
      if (plan.region.length != 0) entry.EntryFlags |= kEntryHasExcludedRegions;
      if (plan.optional) entry.EntryFlags |= kEntryOptionalFile;
      for (size_t k = 0; k < plan.sources.size(); ++k) {
        Bytes from = MustRead(plan.sources[k]);
        made.old_size = static_cast<int64_t>(from.size());
        // The last version is made from new_data itself: a copy would add the
        // new file's size to the peak memory of large files.
        const bool last = k + 1 == plan.sources.size();
        Bytes next;
        auto read_to = [&]() -> const Bytes& {
          if (last) return read_new();
          next = MustRead(plan.sources[k + 1]);
          return next;
        };
        std::optional<FileProgress> progress;
        DiffOptions diff = o.diff;
        const int64_t to_size = FileSize(last ? plan.new_path : plan.sources[k + 1]);
        if (!o.quiet && to_size >= static_cast<int64_t>(kProgressBytes)) {
          std::string label = counter + plan.name;
          if (plan.sources.size() > 1) {
            label += " (" + std::to_string(k + 1) + "/" + std::to_string(plan.sources.size()) + ")";
          }
          progress.emplace(label + ":", StderrIsTerminal());
          diff.progress = [&progress](double done) { progress->Show(done); };
        }
        VersionBlock block = MakeVersion(from, read_to, plan.region, diff);
        progress.reset();
        block.Excluded = plan.region;
        if (k < plan.version_names.size()) block.VersionName = plan.version_names[k];
        for (const Bytes& s : block.Streams.Stream) {
          made.entry_bytes += static_cast<int64_t>(s.size());
        }
        entry.Versions.push_back(std::move(block));
      }
      read_new();
      entry.NewSize = static_cast<int32_t>(new_data.size());
      entry.NewCrc = ChecksumBytes(new_data.data(), new_data.size(), plan.region.offset,
                                   plan.region.length);
      return made;
    };
    // Two files are made at once when both are small (no progress of their
    // own) and together no larger than the largest old file, whose making
    // alone sets the peak memory, or than a megabyte: for files that small,
    // what the maker needs anyway outweighs what they add.
    // Each plan's files are measured once: the old bytes of a small plan,
    // or -1 for a plan that is made alone.
    int64_t largest_old = 1 << 20;
    std::vector<int64_t> small_old_bytes(plans.size(), -1);
    for (size_t i = 0; i < plans.size(); ++i) {
      const Plan& plan = plans[i];
      int64_t sum = 0, largest = FileSize(plan.new_path);
      for (const std::string& source : plan.sources) {
        const int64_t size = FileSize(source);
        sum += size;
        largest = std::max(largest, size);
        largest_old = std::max(largest_old, size);
      }
      if (!plan.included && !plan.sources.empty() && plan.sources.size() <= kMaxVersions &&
          largest < static_cast<int64_t>(kProgressBytes)) {
        small_old_bytes[i] = sum;
      }
    }

    int64_t total_new = 0, total_patch = 0;
    size_t changed = 0;
    auto tell = [&](const Plan& plan, const std::string& counter, Made made) {
      PatchedEntry& entry = made.entry;
      entry.NewFileTime = DosTimeOf(ModifiedTime(plan.new_path));
      total_new += entry.NewSize;
      total_patch += made.entry_bytes;
      ++changed;
      std::string sizes = Size(made.old_size) + " -> " + Size(entry.NewSize) + " bytes";
      Say(o, "%s%s: %s", counter, plan.name, sizes);
      std::string moved;
      for (const std::string& from : plan.source_names) {
        if (from != plan.name) moved += (moved.empty() ? ", made from " : " and ") + from;
      }
      Say(o, ", patch %s bytes%s", Size(made.entry_bytes),
          plan.sources.size() > 1 ? " (" + std::to_string(plan.sources.size()) + " versions)" : "");
      Say(o, "%s\n", moved);
      patch.Entries.emplace_back(std::move(entry));
    };
    for (size_t i = 0; i < plans.size(); ++i) {
      const Plan& plan = plans[i];
      const std::string counter = counter_of(i + 1);
      if (plan.included) {
        Bytes new_data = MustRead(plan.new_path);
        IncludedEntry included;
        included.EntryName = plan.stored;
        included.IncludedFileTime = DosTimeOf(ModifiedTime(plan.new_path));
        total_new += static_cast<int64_t>(new_data.size());
        total_patch += static_cast<int64_t>(new_data.size());
        Say(o, "%s%s: included whole, %s bytes (no old file to make it from)\n", counter, plan.name,
            Size(static_cast<int64_t>(new_data.size())));
        included.Data = std::move(new_data);
        patch.Entries.emplace_back(std::move(included));
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
      if (i + 1 < plans.size() && small_old_bytes[i] >= 0 && small_old_bytes[i + 1] >= 0 &&
          small_old_bytes[i] + small_old_bytes[i + 1] <= largest_old) {
        Made made[2];
        RunOnTwoThreads(2, [&](size_t k) { made[k] = make(plans[i + k], counter_of(i + k + 1)); });
        tell(plan, counter, std::move(made[0]));
        tell(plans[i + 1], counter_of(i + 2), std::move(made[1]));
        ++i;
        continue;
      }
      tell(plan, counter, make(plan, counter));
    }
    if (!multi && patch.Entries.empty()) {
      std::fprintf(stderr, "tarnwell-make: the new file equals every old one; nothing to patch\n");
      return 2;
    }
    if (patch.Entries.empty()) {
      std::fprintf(stderr, "warning: no file changed between the releases; the patch changes "
                           "nothing\n");
    }

    const std::string temp = work.path + "/patch";
    const std::string core_temp = CorePathOf(temp);
    if (!WritePatchFile(patch, core_temp, "", &error)) {
      std::fprintf(stderr, "tarnwell-make: cannot write %s: %s\n", temp.c_str(), error.c_str());
      return 2;
    }
    Say(o, "verifying with the applier's decoder...\n");
    std::string why;
    bool verified = Verify(core_temp, work.path, plans, multi, &why);
    RemoveFile(temp);
    if (!verified) {
      std::fprintf(stderr, "tarnwell-make: the patch would not rebuild the new files, so it was not "
                           "written: %s\n", why.c_str());
      return 2;
    }
    const std::string applier = o.applier.empty() ? "" : CoreCopy(o.applier, work.path, "applier");
    if (!WritePatchFile(patch, core_temp, applier, &error)) return Refuse(error);
    if (!MoveOver(temp, scratch.path)) return Refuse("cannot write " + scratch.path);
    if (!o.applier.empty()) MakeExecutable(scratch.path);
    if (!Publish(scratch.path, o.output, o.force, &error)) {
      return Refuse("cannot write " + o.output + ": " + error);
    }
    scratch.path.clear();
    if (!o.quiet) {
      std::fprintf(stderr, "wrote %s: %zu files changed, %s bytes of new files, %s bytes of patch data\n",
                   o.output.c_str(), changed, Size(total_new).c_str(), Size(total_patch).c_str());
      std::fprintf(stderr, "backups of replaced files: %s\n",
                   backup_folder.empty() ? "none" : ("in the folder " + backup_folder).c_str());
      if (o.code_page != 950) {
        std::fprintf(stderr, "code page %d: run the Linux applier with TARNWELL_CODEPAGE=%d\n",
                     o.code_page, o.code_page);
      }
    }
  } catch (const std::bad_alloc&) {
    // The sort of a large old file takes about four bytes per byte.
    std::fprintf(stderr,
                 "tarnwell-make: not enough memory (about 6 times the largest old file is "
                 "needed); nothing was written\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarnwell-make: %s\n", e.what());
    return 2;
  }
  return 0;
}

int ListPatch(const std::string& path, int code_page) {
  UsePatchCodePage(code_page);
  const WorkFolder work;
  if (!work.Usable()) {
    std::fprintf(stderr, "tarnwell-make: cannot make a work folder in the temporary folder\n");
    return 2;
  }
  g_run.TempFolder = CorePathOf(work.path) + "\\";
  g_run.TargetPath = g_run.TargetBase = ".";
  int code = 0;
  // Names and texts of the patch, for the terminal.
  auto text = [code_page](const std::string& core) { return Utf8FromCore(core, code_page); };
  try {
    g_run.PatchFilePath = CoreCopy(path, work.path, "patch");
    LoadPatch();
    const PatchHeader& h = g_run.Header;
    std::printf("%s: format %u, %s patch, %lld bytes of container\n", path.c_str(), h.FormatVersion,
                g_run.MultiFileMode ? "multi-file" : "single-file",
                static_cast<long long>(g_run.Carrier.Size() - g_run.Carrier.Tell() + kHeaderSize));
    std::string description;
    for (const char* p = g_run.DescriptionText; *p != '\0'; ++p) description += *p == 1 ? '\n' : *p;
    std::printf("description:\n%s\n", text(NativeFromPatchText(description)).c_str());
    std::printf("backup folder: %s\n", text(g_run.BackupFolderName).c_str());
    if (h.HeaderFlags & kFlagHasRegistryLocation) {
      std::printf("registry: HKEY_LOCAL_MACHINE\\%s, value \"%s\"\n",
                  text(g_run.RegistryKeyPath).c_str(), text(g_run.RegistryValueName).c_str());
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
        std::printf("included %s: %u bytes, time %08X\n", text(g_run.EntryName).c_str(), len, time);
        g_run.BodyTempFile.SeekRelative(len);
        continue;
      }
      const FileEntry& e = g_run.Entry;
      std::printf("patched %s: new size %d, checksum %08X, time %08X%s%s\n",
                  g_run.MultiFileMode ? text(g_run.EntryName).c_str() : "(the target file)",
                  e.NewSize,
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
                    k, g_run.MultiFileMode ? text(e.VersionName[k]).c_str() : "the target",
                    v.SourceSize,
                    v.SourceCrc, static_cast<long long>(streams), v.StreamLength[0],
                    v.StreamLength[1], v.StreamLength[2], v.StreamLength[3], v.StreamLength[4],
                    v.FixupPeriod, v.VersionFlags, v.InsertBlockSize);
      }
      if (!g_run.MultiFileMode) break;
    }
  } catch (const PatchError& e) {
    std::fprintf(stderr, "tarnwell-make: %s\n", MessageOf(e).c_str());
    code = 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarnwell-make: %s\n", e.what());
    code = 2;
  }
  ErrorCleanup();
  g_run.Carrier.Close();
  DeleteBodyCopy();
  return code;
}

}  // namespace tw
