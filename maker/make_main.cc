// tarnwell-make: makes patches that tarnwell and tarnwell.exe apply.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "maker/maker.h"
#include "maker/release.h"

namespace {

const char kUsage[] =
    "usage: tarnwell-make [options] OLD [OLD2 ...] NEW -o OUTPUT\n"
    "       tarnwell-make --list PATCH\n"
    "\n"
    "OLD and NEW are release folders (a multi-file patch) or single files (a\n"
    "single-file patch). Several OLD releases, oldest first, let users of any of\n"
    "them update. Files only in NEW are included whole; unchanged files are left\n"
    "out. The patch is decoded and compared with NEW before it is written.\n"
    "Warnings (NEW older than OLD, nothing changed, links, a code page other\n"
    "than 950) are shown even with -q.\n"
    "\n"
    "  -o, --output FILE          the patch to write (never inside a release)\n"
    "  -f, --force                replace OUTPUT if it exists\n"
    "  -s, --self-contained APP   write a copy of the applier APP (tarnwell, tarnwell.exe,\n"
    "                             tarnwell64.exe; without a patch) with the patch appended\n"
    "  -d, --description TEXT     text shown to the user (UTF-8)\n"
    "      --description-file F   the same, read from a file\n"
    "  -b, --backup-folder NAME   folder in the target for replaced files (default\n"
    "                             backup-OLD, OLD the first old release's folder name;\n"
    "                             empty: replace in place without backups)\n"
    "      --registry KEY         key below HKEY_LOCAL_MACHINE naming the installed folder\n"
    "      --registry-value NAME  its value (default: the key's default value)\n"
    "  -c, --codepage N           Windows code page of names and description (default 950;\n"
    "                             the Linux applier needs TARNWELL_CODEPAGE=N for others)\n"
    "      --optional PATTERN     files that may be missing on the user's side (* and ?)\n"
    "      --skip PATTERN         files left out of the patch (* and ?; repeatable)\n"
    "      --exclude PATTERN:OFFSET:LENGTH\n"
    "                             bytes that checksums skip (volatile data in the file)\n"
    "      --effort N             0 fast ... 3 smallest (default 2)\n"
    "      --list PATCH           print what a patch holds\n"
    "  -q, --quiet                no progress\n"
    "  -h, --help                 this text\n"
    "      --version              the version\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "tarnwell-make: %s\n", problem);
  std::fputs(kUsage, problem ? stderr : stdout);
  return problem ? 1 : 0;
}

bool ParseInt(const std::string& text, long long low, long long high, long long* out) {
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** raw_argv) {
  // getopt wants mutable C strings; these live as long as main.
  std::vector<std::string> args = tw::Utf8Arguments(argc, raw_argv);
  std::vector<char*> argv_storage;
  for (std::string& a : args) argv_storage.push_back(a.data());
  argv_storage.push_back(nullptr);
  argc = static_cast<int>(args.size());
  char** argv = argv_storage.data();
  enum { kDescriptionFile = 256, kRegistry, kRegistryValue, kOptional, kExclude, kEffort, kList,
         kVersion, kSkip };
  static const option kOptions[] = {
      {"output", required_argument, nullptr, 'o'},
      {"force", no_argument, nullptr, 'f'},
      {"skip", required_argument, nullptr, kSkip},
      {"self-contained", required_argument, nullptr, 's'},
      {"description", required_argument, nullptr, 'd'},
      {"description-file", required_argument, nullptr, kDescriptionFile},
      {"backup-folder", required_argument, nullptr, 'b'},
      {"registry", required_argument, nullptr, kRegistry},
      {"registry-value", required_argument, nullptr, kRegistryValue},
      {"codepage", required_argument, nullptr, 'c'},
      {"optional", required_argument, nullptr, kOptional},
      {"exclude", required_argument, nullptr, kExclude},
      {"effort", required_argument, nullptr, kEffort},
      {"list", required_argument, nullptr, kList},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  tw::MakeOptions o;
  std::string list;
  long long n = 0;
  for (int c; (c = getopt_long(argc, argv, "o:fs:d:b:c:qh", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'o': o.output = optarg; break;
      case 'f': o.force = true; break;
      case kSkip: o.skip.push_back(optarg); break;
      case 's': o.applier = optarg; break;
      case 'd': o.description = optarg; break;
      case kDescriptionFile: {
        tw::Bytes text;
        const std::string problem = tw::ReadProblem(optarg);
        if (!problem.empty() || !tw::ReadWholeFile(optarg, &text)) {
          std::fprintf(stderr, "tarnwell-make: %s: cannot read it: %s\n", optarg,
                       problem.empty() ? "read error" : problem.c_str());
          return 2;
        }
        o.description.assign(text.begin(), text.end());
        break;
      }
      case 'b': o.backup_folder = optarg; break;
      case kRegistry: o.registry_key = optarg; break;
      case kRegistryValue: o.registry_value = optarg; break;
      case 'c':
        if (!ParseInt(optarg, 1, 65535, &n)) return Usage("--codepage takes a number");
        o.code_page = static_cast<int>(n);
        break;
      case kOptional: o.optional.push_back(optarg); break;
      case kExclude: {
        std::string arg = optarg;
        size_t b = arg.rfind(':'), a = b == std::string::npos ? b : arg.rfind(':', b - 1);
        long long offset = 0, length = 0;
        if (a == std::string::npos || !ParseInt(arg.substr(a + 1, b - a - 1), 0, 0x7fffffff, &offset) ||
            !ParseInt(arg.substr(b + 1), 1, 0x7fffffff, &length)) {
          return Usage("--exclude takes PATTERN:OFFSET:LENGTH");
        }
        o.excludes.push_back({arg.substr(0, a), static_cast<int32_t>(offset),
                              static_cast<int32_t>(length)});
        break;
      }
      case kEffort:
        if (!ParseInt(optarg, 0, 3, &n)) return Usage("--effort takes 0 to 3");
        o.diff.effort = static_cast<int>(n);
        break;
      case kList: list = optarg; break;
      case 'q': o.quiet = true; break;
      case 'h': return Usage(nullptr);
      case kVersion: std::puts("tarnwell-make 1.0 (patch format 190)"); return 0;
      default: return Usage("unknown option");
    }
  }
  if (!list.empty()) return tw::ListPatch(list, o.code_page);
  int rest = argc - optind;
  if (rest < 2) return Usage("give at least one OLD and the NEW release");
  if (o.output.empty()) return Usage("give the output file with -o");
  for (int i = optind; i < argc - 1; ++i) o.olds.push_back(argv[i]);
  o.new_path = argv[argc - 1];
  return tw::MakePatch(o);
}
