// tarnwell: the console applier. The same command line as the Windows program:
//   tarnwell PATCHFILE [TARGET]     or, for a copy that carries its patch,
//   tarnwell [TARGET]
#include <string>

#include "app/applier_mark.h"
#include "app/startup.h"

namespace tw {
void ConsoleInit();
void ConsoleFinish();
}  // namespace tw

namespace tw {
[[gnu::used]] extern const char kApplierMark[] = TW_APPLIER_MARK_HEAD TW_APPLIER_MARK_TAIL;
}  // namespace tw

int main(int argc, char** argv) {
  tw::ConsoleInit();
  // The start-up code parses one command line, as Windows hands it over; each
  // argument is quoted so that spaces in paths stay inside it. The core works
  // with "\" as the separator (the platform layer turns it back into "/").
  std::string command_line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) command_line += ' ';
    command_line += '"';
    for (const char* p = argv[i]; *p != '\0'; ++p) {
      if (*p != '"') command_line += *p == '/' ? '\\' : *p;
    }
    command_line += '"';
  }
  int code = tw::ProgramMain(command_line);
  tw::ConsoleFinish();
  return code;
}
