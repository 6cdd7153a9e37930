// tarnwell.exe: the Windows patch applier.
#include <windows.h>

#include "app/startup.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return tw::ProgramMain(GetCommandLineA());
}
