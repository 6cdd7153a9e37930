// Induced sorting (Nong, Zhang and Chan, "Two efficient algorithms for linear
// time suffix array construction"), without a sentinel: the end of the text
// sorts before every symbol, which is what the shorter-suffix-first order
// needs. The LMS substrings are sorted by one induction pass, named, and when
// two names coincide the reduced text is sorted recursively.
#include "maker/suffix_array.h"

#include <algorithm>
#include <vector>

namespace tw {
namespace {

// s[0, n) holds symbols in [0, upper]; sa receives the order.
template <typename Symbol>
void Sais(const Symbol* s, int32_t n, int32_t upper, int32_t* sa) {
  if (n == 0) return;
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  if (n == 2) {
    const bool first_smaller = s[0] < s[1];
    sa[0] = first_smaller ? 0 : 1;
    sa[1] = first_smaller ? 1 : 0;
    return;
  }
  // S-type (true): the suffix is smaller than the one after it. The last
  // suffix is L-type, being larger than the empty end.
  std::vector<bool> stype(n, false);
  for (int32_t i = n - 2; i >= 0; --i) {
    stype[i] = s[i] == s[i + 1] ? stype[i + 1] : s[i] < s[i + 1];
  }
  // Bucket starts: start_l[c] where symbol c's bucket begins (its L-type
  // suffixes come first), start_s[c] where its S-type suffixes begin.
  std::vector<int32_t> start_l(upper + 2, 0), start_s(upper + 2, 0);
  for (int32_t i = 0; i < n; ++i) {
    if (!stype[i]) {
      ++start_s[s[i]];
    } else {
      ++start_l[s[i] + 1];
    }
  }
  for (int32_t c = 0; c <= upper; ++c) {
    start_s[c] += start_l[c];
    start_l[c + 1] += start_s[c];
  }
  auto is_lms = [&](int32_t i) { return i > 0 && stype[i] && !stype[i - 1]; };

  std::vector<int32_t> next(upper + 2);
  // Places the given LMS suffixes in their buckets, in the given order, then
  // induces every L-type suffix from left to right and every S-type suffix
  // from right to left.
  auto induce = [&](const std::vector<int32_t>& lms) {
    std::fill(sa, sa + n, -1);
    std::copy(start_s.begin(), start_s.end(), next.begin());
    for (int32_t p : lms) sa[next[s[p]]++] = p;
    std::copy(start_l.begin(), start_l.end(), next.begin());
    sa[next[s[n - 1]]++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
      const int32_t p = sa[i];
      if (p >= 1 && !stype[p - 1]) sa[next[s[p - 1]]++] = p - 1;
    }
    std::copy(start_l.begin(), start_l.end(), next.begin());
    for (int32_t i = n - 1; i >= 0; --i) {
      const int32_t p = sa[i];
      if (p >= 1 && stype[p - 1]) sa[--next[s[p - 1] + 1]] = p - 1;
    }
  };

  std::vector<int32_t> lms;
  std::vector<int32_t> lms_index(n, -1);
  for (int32_t i = 1; i < n; ++i) {
    if (is_lms(i)) {
      lms_index[i] = static_cast<int32_t>(lms.size());
      lms.push_back(i);
    }
  }
  const int32_t m = static_cast<int32_t>(lms.size());
  induce(lms);
  if (m == 0) return;

  // The LMS suffixes now stand in the order of their LMS substrings (from
  // one LMS position to the next). Equal substrings get equal names.
  std::vector<int32_t> sorted;
  sorted.reserve(m);
  for (int32_t i = 0; i < n; ++i) {
    if (lms_index[sa[i]] >= 0) sorted.push_back(sa[i]);
  }
  std::vector<int32_t> reduced(m);
  int32_t name = 0;
  reduced[lms_index[sorted[0]]] = 0;
  for (int32_t k = 1; k < m; ++k) {
    int32_t a = sorted[k - 1], b = sorted[k];
    const int32_t end_a = lms_index[a] + 1 < m ? lms[lms_index[a] + 1] : n;
    const int32_t end_b = lms_index[b] + 1 < m ? lms[lms_index[b] + 1] : n;
    bool same = end_a - a == end_b - b;
    if (same) {
      while (a < end_a && s[a] == s[b]) {
        ++a;
        ++b;
      }
      // A substring that runs into the end of the text equals no other.
      same = a < n && s[a] == s[b];
    }
    if (!same) ++name;
    reduced[lms_index[sorted[k]]] = name;
  }
  // When every name differs, the substrings already order the suffixes;
  // otherwise the reduced text is sorted to order them.
  if (name + 1 < m) {
    std::vector<int32_t> reduced_sa(m);
    Sais(reduced.data(), m, name, reduced_sa.data());
    for (int32_t k = 0; k < m; ++k) sorted[k] = lms[reduced_sa[k]];
  }
  induce(sorted);
}

}  // namespace

void BuildSuffixArray(const unsigned char* text, int32_t n, int32_t* sa) { Sais(text, n, 255, sa); }

}  // namespace tw
