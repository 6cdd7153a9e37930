// Temporary names and the readers of the patch body copy.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace tw {

// TempFolder := the system temp folder, ending in "\".
void InitTempFolder();

// A run keeps its temporary files in a work folder of its own inside
// TempFolder, which no other process uses: made (with the folders of killed
// runs cleared away) on first need, and gone with everything in it after
// CloseWorkFolder. MakeTempFileName gives "TRW" + n + ".tmp" there, a new n
// each time; raises message 9 when the temp folder refuses.
std::string MakeTempFileName();
// Creates a new temporary file under a name from MakeTempFileName, never an
// existing one; raises message 9 when the temp folder refuses.
void CreateTempFile(File& file, std::string* path);
void CloseWorkFolder();
// Records that the run made (made = true) or has done with (false) a file
// outside its work folder, for a later run to delete should this one be
// killed in between.
void NoteStagedFile(const std::string& path, bool made);
// Six unpredictable characters of the run's own, for names it makes outside
// its work folder.
std::string RunToken();

// Exactly count bytes from the body copy, or message 0.
void ReadBodyBytes(void* dst, int64_t count);
// A length byte and that many bytes, raw (in the patch's code page).
std::string ReadBodyString();

// Decimal text of a signed value, as the messages show numbers.
std::string DecimalText(int64_t value);

}  // namespace tw
