// Finding and loading the patch container at the end of a carrier file.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

// Code page 437 to code page 1252, one-to-one.
extern const unsigned char kOemToAnsiTable[256];

// Opens the carrier at PatchFilePath, checks trailer and header, copies the body
// into a fresh temp file and reads the description, backup folder name and
// registry location. Every failure raises its message.
void LoadPatch();
// Deletes the body copy that the last load left in the temp folder.
void DeleteBodyCopy();
// Copies the rest of the carrier (body and trailer) into BodyTempFile.
void CopyPatchBody();
// Turns the raw description bytes into display bytes: the mark "#%" ends the
// text, every other byte goes through the table and a 0 becomes the line-break
// byte 1. Never writes past kDescriptionCapacity.
void ConvertDescription(const std::string& raw, char* out);

}  // namespace tw
