// Walking names a character at a time. On Windows names and paths are bytes
// in the system ANSI code page, where the second byte of a double-byte
// character may be 0x5C, the byte of "\", or a letter (in code page 950 功 is
// A5 5C, and trail bytes run 0x40-0x7E and 0xA1-0xFE). Whatever splits a name
// at its separators, looks at its last character or folds its case goes
// through these, so that such a byte is never taken for a character of its own.
// The lead-byte rule is a parameter so that tests can feed a code page of
// their own; by default it is the platform's (os.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/os.h"

namespace tw {

using LeadByteRule = bool (*)(unsigned char byte);

// Index just past the character that starts at text[i] (i < text.size()). A
// lead byte that ends the text stands alone, as Windows takes it.
size_t NextCharIndex(const std::string& text, size_t i, LeadByteRule lead = OsIsLeadByte);

// Index of the last "\" that is a character of its own, or npos.
size_t LastBackslash(const std::string& text, LeadByteRule lead = OsIsLeadByte);

// True when text ends in a "\" of its own, not in a double-byte character
// whose second byte is 0x5C.
bool EndsWithBackslash(const std::string& text, LeadByteRule lead = OsIsLeadByte);

// The parts of name between its separators ("\" or "/"), in order, empty ones
// included: "a\\b\\" gives "a", "", "b", "".
std::vector<std::string> SplitName(const std::string& name, LeadByteRule lead = OsIsLeadByte);

// text with the ASCII letters that are characters of their own in upper
// case; the bytes of double-byte characters stay as they are.
std::string AsciiUpper(const std::string& text, LeadByteRule lead = OsIsLeadByte);

}  // namespace tw
