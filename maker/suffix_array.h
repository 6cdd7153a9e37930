// Suffix arrays for the differ's longest-match search.
#pragma once

#include <cstdint>

namespace tw {

// Fills sa[0, n) with the start positions of the suffixes of text[0, n) in
// lexicographic order (a shorter suffix sorts before its extensions). Our own
// construction by induced sorting (SA-IS): linear time, about 2n more int32
// of scratch memory at the top level. n must stay below 2^31.
void BuildSuffixArray(const unsigned char* text, int32_t n, int32_t* sa);

// The construction the differ uses: libdivsufsort where the build found it
// (it is faster), BuildSuffixArray elsewhere. A suffix array is unique, so
// both give the same result.
void SortSuffixes(const unsigned char* text, int32_t n, int32_t* sa);

}  // namespace tw
