// The container loader and the entry reader on raw carrier bytes: whatever the
// bytes, loading and walking the entries ends in success or a catalogue
// message, and nothing read from a patch is stored past its bounds.
#include <cstring>

#include "apply/file_ops.h"
#include "container/entries.h"
#include "container/patch_loader.h"
#include "fuzz/fuzz_env.h"
#include "messages/messages.h"
#include "state/run_state.h"

using namespace tw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetRun();
  const std::string carrier = fuzz::ScratchDir() + "/carrier.bin";
  fuzz::WriteFile(carrier, data, size);
  g_run.PatchFilePath = fuzz::CoreForm(carrier);
  g_run.TargetPath = g_run.TargetBase = fuzz::CoreForm(fuzz::ScratchDir() + "/target");
  try {
    LoadPatch();
    fuzz::Check(strlen(g_run.DescriptionText) <= kDescriptionCapacity, "description bound");
    fuzz::Check(g_run.PatchBodyStart >= 0, "body start");
    int64_t body_end = g_run.BodyTempFile.Size() - kTrailerSize;
    // Every entry takes at least one body byte, so this bound is never the
    // one that stops a walk.
    for (int64_t n = 0; n <= body_end + 1; ++n) {
      int kind = ReadNextEntry();
      fuzz::Check(kind == kEntryEnd || kind == kEntryPatched || kind == kEntryIncluded,
                  "entry kind");
      if (kind == kEntryEnd) break;
      if (g_run.MultiFileMode) fuzz::Check(!IsUnsafeName(g_run.EntryName), "unsafe entry name");
      if (kind == kEntryPatched) {
        const FileEntry& e = g_run.Entry;
        fuzz::Check(e.VersionCount <= kMaxVersions, "version count");
        for (int k = 1; k <= e.VersionCount; ++k) {
          int64_t total = 0;
          for (int i = 0; i < kStreamCount; ++i) total += e.Version[k].StreamLength[i];
          fuzz::Check(e.StreamStart[k] >= 0 && e.StreamStart[k] + total <= body_end,
                      "streams outside the body");
          if (g_run.MultiFileMode) {
            fuzz::Check(!IsUnsafeName(e.VersionName[k]), "unsafe version name");
          }
        }
      } else {
        WriteIncludedFile(true);
      }
      if (!g_run.MultiFileMode) break;
    }
  } catch (const PatchError& e) {
    fuzz::Check(fuzz::IsCatalogueText(e.text()), "raised text is no catalogue message");
  }
  g_run.BodyTempFile.Close();
  g_run.Carrier.Close();
  return 0;
}
