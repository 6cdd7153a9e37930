// Temporary names and the readers of the patch body copy.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace tw {

// TempFolder := the system temp folder, ending in "\".
void InitTempFolder();

// The first TempFolder + "TRW" + n + ".tmp" (n = 0, 1, ...) that names no file.
std::string MakeTempFileName();
// Creates a fresh temporary file under a name from MakeTempFileName, trying a
// bounded number of times; raises message 9 when the temp folder refuses.
void CreateTempFile(File& file, std::string* path);

// Exactly count bytes from the body copy, or message 0.
void ReadBodyBytes(void* dst, int64_t count);
// A length byte and that many bytes, raw (in the patch's code page).
std::string ReadBodyString();

// Decimal text of a signed value, as the messages show numbers.
std::string DecimalText(int64_t value);

}  // namespace tw
