#include <divsufsort.h>

#include <stdexcept>

#include "maker/suffix_array.h"

namespace tw {

void SortSuffixes(const unsigned char* text, int32_t n, int32_t* sa) {
  if (n > 0 && divsufsort(text, sa, n) != 0) throw std::runtime_error("suffix sorting failed");
}

}  // namespace tw
