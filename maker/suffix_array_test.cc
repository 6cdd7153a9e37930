#include "maker/suffix_array.h"

#include <divsufsort.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace tw {
namespace {

using Text = std::vector<unsigned char>;

uint64_t Step(uint64_t* s) {
  *s ^= *s << 13;
  *s ^= *s >> 7;
  *s ^= *s << 17;
  return *s;
}

Text Random(size_t n, int alphabet, uint64_t seed) {
  Text t(n);
  for (auto& c : t) c = static_cast<unsigned char>(Step(&seed) % alphabet);
  return t;
}

Text Repeat(const std::string& unit, size_t n) {
  Text t;
  while (t.size() < n) t.push_back(static_cast<unsigned char>(unit[t.size() % unit.size()]));
  return t;
}

// Fibonacci words nest repeats at every scale, so the reduced texts stay
// repetitive through many levels of recursion.
Text Fibonacci(size_t n) {
  std::string a = "b", b = "a";
  while (b.size() < n) {
    std::string c = b + a;
    a = std::move(b);
    b = std::move(c);
  }
  return Text(b.begin(), b.begin() + static_cast<long>(n));
}

// Something like a program: a few instruction patterns with addresses, text
// tables and zero padding, with stretches copied from earlier on.
Text ProgramLike(size_t n, uint64_t seed) {
  Text t;
  static const unsigned char kCode[][4] = {{0x55, 0x8b, 0xec, 0x83},
                                           {0xe8, 0, 0, 0},
                                           {0xff, 0x15, 0x40, 0x00},
                                           {0x90, 0x90, 0xc3, 0xcc}};
  while (t.size() < n) {
    switch (Step(&seed) % 5) {
      case 0:
      case 1: {
        const auto& op = kCode[Step(&seed) % 4];
        t.insert(t.end(), op, op + 4);
        const uint32_t address = 0x401000 + static_cast<uint32_t>(Step(&seed) % 0x4000);
        for (int k = 0; k < 4; ++k) t.push_back(static_cast<unsigned char>(address >> (8 * k)));
        break;
      }
      case 2:
        t.insert(t.end(), Step(&seed) % 64, 0);
        break;
      case 3: {
        static const char kText[] = "GetProcAddress\0LoadLibraryA\0kernel32.dll\0";
        t.insert(t.end(), kText, kText + sizeof kText);
        break;
      }
      default:
        if (t.size() > 64) {
          const size_t len = 8 + Step(&seed) % 56;
          const size_t from = Step(&seed) % (t.size() - len);
          for (size_t k = 0; k < len; ++k) t.push_back(t[from + k]);
        }
    }
  }
  t.resize(n);
  return t;
}

TEST(SuffixArrayTest, EqualsDivsufsort) {
  struct Case {
    std::string what;
    Text text;
  } cases[] = {
      {"empty", {}},
      {"one byte", {0x41}},
      {"two equal bytes", {7, 7}},
      {"two bytes, descending", {9, 3}},
      {"zero bytes", Text(1000, 0)},
      {"0xFF bytes", Text(777, 0xFF)},
      {"a run with a change at the end",
       [] {
         Text t(500, 'a');
         t.back() = 'b';
         return t;
       }()},
      {"a run with a smaller byte at the end",
       [] {
         Text t(500, 'b');
         t.back() = 'a';
         return t;
       }()},
      {"period 2", Repeat("ab", 1001)},
      {"period 3 ending mid-period", Repeat("abc", 1000)},
      {"mississippi", Repeat("mississippi", 11)},
      {"many mississippis", Repeat("mississippi", 50000)},
      {"fibonacci word", Fibonacci(100000)},
      {"random, two symbols", Random(5000, 2, 1)},
      {"random, four symbols", Random(100000, 4, 2)},
      {"random bytes", Random(200000, 256, 3)},
      {"program-like", ProgramLike(300000, 4)},
      {"program-like, small", ProgramLike(333, 5)},
  };
  for (const Case& c : cases) {
    const int32_t n = static_cast<int32_t>(c.text.size());
    std::vector<int32_t> ours(n), theirs(n);
    BuildSuffixArray(c.text.data(), n, ours.data());
    if (n > 0) {
      ASSERT_EQ(divsufsort(c.text.data(), theirs.data(), n), 0) << c.what;
    }
    EXPECT_EQ(ours, theirs) << c.what;
  }
}

// Every length from 0 to 64 over small alphabets, where the special cases
// of short texts and of texts without LMS positions live.
TEST(SuffixArrayTest, EqualsDivsufsortOnEveryShortText) {
  uint64_t seed = 11;
  for (int alphabet : {1, 2, 3, 256}) {
    for (int32_t n = 0; n <= 64; ++n) {
      for (int round = 0; round < 20; ++round) {
        const Text t = Random(n, alphabet, ++seed);
        std::vector<int32_t> ours(n), theirs(n);
        BuildSuffixArray(t.data(), n, ours.data());
        if (n > 0) divsufsort(t.data(), theirs.data(), n);
        ASSERT_EQ(ours, theirs) << "alphabet " << alphabet << ", length " << n;
      }
    }
  }
}

}  // namespace
}  // namespace tw
