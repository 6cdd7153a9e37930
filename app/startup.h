// Process start-up: is the program its own carrier, the command line, the
// temp folder, loading the patch at start-up, and StartRun, the one entry
// through which every run starts.
#pragma once

#include <string>

namespace tw {

// Runs the whole program on the given command line (the program's own name as
// its first token) and returns the process exit code.
int ProgramMain(const std::string& command_line);

void DetectSelfContained();
// False when the usage must be shown instead.
bool ParseCommandLine(const std::string& command_line);
[[noreturn]] void ShowUsageAndExit();
bool LoadPatchAtStartup();
void StartRun();

}  // namespace tw
