// Writes the patch files the Wine tests feed to tarnwell.exe:
//   make_fixtures FOLDER
//   FOLDER/notapatch.bin   plain text
//   FOLDER/v191.bin        a patch of format version 191
//   FOLDER/compressed.bin  a patch that says its body is compressed
#include <cstdio>
#include <fstream>
#include <string>

#include "delta/patch_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fixtures FOLDER\n");
    return 1;
  }
  std::string dir = argv[1];
  std::ofstream(dir + "/notapatch.bin") << "This file carries no patch at all.\r\n";
  tw::PatchContents patch;
  patch.BackupFolderName = "backup";
  patch.FormatVersion = 191;
  bool ok = tw::WritePatchFile(patch, dir + "/v191.bin");
  patch.FormatVersion = tw::kPatchFormatVersion;
  patch.HeaderFlags = tw::kFlagCompressedBody;
  ok = ok && tw::WritePatchFile(patch, dir + "/compressed.bin");
  if (!ok) {
    std::fprintf(stderr, "make_fixtures: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
