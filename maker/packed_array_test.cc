#include "maker/packed_array.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace tw {
namespace {

TEST(PackedArrayTest, BitsForTheLargestValue) {
  const struct {
    uint64_t largest;
    int bits;
  } cases[] = {{0, 1}, {1, 1}, {2, 2}, {255, 8}, {256, 9}, {24'109'199, 25}, {0xFFFFFFFF, 32}};
  for (const auto& c : cases) EXPECT_EQ(BitsFor(c.largest), c.bits) << c.largest;
}

// Values packed in place and values set one by one read back unchanged at
// every width, including those that straddle two words, and a value set
// leaves its neighbours alone; asking for the pages keeps them all.
TEST(PackedArrayTest, ValuesReadBackAtEveryWidth) {
  std::mt19937 gen(7);
  for (int width : {1, 3, 7, 8, 13, 25, 31, 32}) {
    for (size_t n : {size_t{1}, size_t{2}, size_t{3}, size_t{63}, size_t{64}, size_t{65},
                     size_t{1000}, size_t{100000}}) {
      SCOPED_TRACE("width " + std::to_string(width) + ", n " + std::to_string(n));
      const uint64_t limit = width == 32 ? 0xFFFFFFFFull : (uint64_t{1} << width) - 1;
      std::uniform_int_distribution<uint64_t> value(0, limit);
      std::vector<uint32_t> want(n);
      for (auto& v : want) v = static_cast<uint32_t>(value(gen));
      want[n - 1] = static_cast<uint32_t>(limit);  // all ones at the very end

      auto* block = static_cast<uint32_t*>(std::malloc((n + 2) * sizeof(uint32_t)));
      ASSERT_NE(block, nullptr);
      std::copy(want.begin(), want.end(), block);
      PackedArray adopted;
      adopted.Adopt(block, n, width);
      adopted.Prepare();
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(adopted.Get(i), want[i]) << i;

      PackedArray set;
      set.Assign(n, width);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(set.Get(i), 0u) << i;
      // Out of order, and each slot written twice.
      for (size_t i = 0; i < n; ++i) set.Set((i * 11) % n, static_cast<uint32_t>(limit));
      for (size_t k = 0; k < n; ++k) {
        const size_t i = (k * 11 + 3) % n;  // 11 is prime to every n here
        set.Set(i, want[i]);
      }
      set.Prepare();
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(set.Get(i), want[i]) << i;
    }
  }
}

}  // namespace
}  // namespace tw
