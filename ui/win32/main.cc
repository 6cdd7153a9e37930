// tarnwell.exe: the Windows patch applier.
#include <windows.h>

#include "app/applier_mark.h"
#include "app/startup.h"

namespace tw {
[[gnu::used]] extern const char kApplierMark[] = TW_APPLIER_MARK_HEAD TW_APPLIER_MARK_TAIL;
}  // namespace tw

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return tw::ProgramMain(GetCommandLineA());
}
