// The file entries that follow the body strings.
#pragma once

#include <string>

#include "platform/names.h"

namespace tw {

// Reads the next entry's header, names and version records into g_run.Entry
// (and EntryName), moving past the version streams without reading them.
// Returns kEntryEnd, kEntryPatched or kEntryIncluded; raises message 0 for an
// unknown kind, a short body or sizes that cannot be right.
int ReadNextEntry();

// True when a name from a patch could leave the target folder or name
// something other than a plain file below it. lead tells the double-byte
// characters of the name's code page (names.h).
bool IsUnsafeName(const std::string& name, LeadByteRule lead = OsIsLeadByte);

}  // namespace tw
