// For builds without libdivsufsort (the Windows cross-builds).
#include "maker/suffix_array.h"

namespace tw {

void SortSuffixes(const unsigned char* text, int32_t n, int32_t* sa) {
  BuildSuffixArray(text, n, sa);
}

}  // namespace tw
