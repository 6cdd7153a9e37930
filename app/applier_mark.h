// Every applier program carries this text, so that the maker can tell an
// applier from any other program before it appends a patch to one. The maker
// holds the two halves apart, so that it is not taken for an applier itself.
#pragma once

#define TW_APPLIER_MARK_HEAD "tarnwell applier: "
#define TW_APPLIER_MARK_TAIL "a patch appended to this program is applied by it"
