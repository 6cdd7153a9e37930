// tarnwell: the console applier. The Windows program's command line
//   tarnwell PATCHFILE [TARGET]     or, for a copy that carries its patch,
//   tarnwell [TARGET]
// plus the long options a Linux user expects, anywhere on the line until "--".
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "app/applier_mark.h"
#include "app/startup.h"
#include "app/version.h"
#include "state/run_state.h"
#include "ui/console/console.h"

namespace tw {
[[gnu::used]] extern const char kApplierMark[] = TW_APPLIER_MARK_HEAD TW_APPLIER_MARK_TAIL;
}  // namespace tw

namespace {

const char kOptionsHelp[] =
    "\n"
    "Without TARGET, or when the patch does not fit TARGET, the folder and the\n"
    "folders directly in it are searched, and each one the patch fits is offered\n"
    "with a question (y/n on standard input).\n"
    "\n"
    "  --check    only test: list what applying would do to each file, change\n"
    "             nothing (exit code 0: the patch would apply, 2: it would not)\n"
    "  --yes      answer Yes to every question without reading standard input\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "  --         end of options: a later argument starting with -- is a name\n"
    "  -h         the usage in Chinese, as the Windows program shows it (exit code 1)\n"
    "\n"
    "Progress goes to standard output, errors and questions to standard error.\n"
    "Exit codes: 0 the patch was applied (or is already), 1 a command-line\n"
    "problem, 2 the run ended with an error, 130 stopped on request with nothing\n"
    "changed, 255 the patch could not be loaded.\n";

std::string BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

void PrintHelp(const std::string& program) {
  // A copy that carries its patch takes the target alone.
  tw::DetectSelfContained();
  const bool carried = tw::g_run.SelfContained;
  std::printf("Usage: %s [OPTION]... %s[TARGET]\n"
              "Applies the patch %s to the application in TARGET\n"
              "(a folder, or the file of a single-file patch; default: the current folder).\n",
              program.c_str(), carried ? "" : "PATCHFILE ",
              carried ? "this program carries" : "in PATCHFILE");
  std::fputs(kOptionsHelp, stdout);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // A run opens file after file, each with buffers of a few hundred KB to a
  // few MB. Served by mmap, every one came as fresh pages the kernel had to
  // fault in and zero, which cost more than patching a small file; from the
  // heap, the pages of the last file serve the next.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif
  tw::ConsoleInit();
  std::string program = tw::EscapeControls(BaseName(argv[0]));
  bool help = false, version = false, yes = false, check = false, options_ended = false;
  std::vector<const char*> arguments;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_ended || std::strncmp(arg, "--", 2) != 0) {
      arguments.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      options_ended = true;
    } else if (std::strcmp(arg, "--help") == 0) {
      help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      version = true;
    } else if (std::strcmp(arg, "--yes") == 0) {
      yes = true;
    } else if (std::strcmp(arg, "--check") == 0) {
      check = true;
    } else {
      std::fprintf(stderr, "%s: unknown option %s (see %s --help)\n", program.c_str(),
                   tw::EscapeControls(arg).c_str(), program.c_str());
      return 1;
    }
  }
  if (help) {
    PrintHelp(program);
    return 0;
  }
  if (version) {
    std::puts("tarnwell " TW_VERSION_TEXT);
    return 0;
  }
  if (yes) tw::ConsoleAnswerYes();
  tw::g_run.CheckOnly = check;

  // The start-up code parses one command line, as Windows hands it over; each
  // argument is quoted so that spaces in paths stay inside it. The core works
  // with "\" as the separator (the platform layer turns it back into "/").
  std::string command_line;
  arguments.insert(arguments.begin(), argv[0]);
  for (const char* arg : arguments) {
    if (!command_line.empty()) command_line += ' ';
    command_line += '"';
    for (const char* p = arg; *p != '\0'; ++p) {
      if (*p != '"') command_line += *p == '/' ? '\\' : *p;
    }
    command_line += '"';
  }
  int code = tw::ProgramMain(command_line);
  tw::ConsoleFinish();
  return code;
}
