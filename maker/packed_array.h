// Numbers packed in as many bits as the largest needs. The differ's two
// indexes of positions are most of the maker's memory on a large file, and a
// position in a file of 24 MB needs 25 bits, not 32.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/os.h"

namespace tw {

// The fewest bits (1 to 32) that hold largest.
inline int BitsFor(uint64_t largest) {
  int bits = 1;
  while (bits < 32 && (largest >> bits) != 0) ++bits;
  return bits;
}

class PackedArray {
 public:
  PackedArray() = default;
  PackedArray(const PackedArray&) = delete;
  PackedArray& operator=(const PackedArray&) = delete;
  ~PackedArray() { std::free(words_); }

  // n zeros of the given width.
  void Assign(size_t n, int width) {
    Take(static_cast<uint64_t*>(std::calloc(WordsFor(n, width), sizeof(uint64_t))), width);
    words_bytes_ = WordsFor(n, width) * sizeof(uint64_t);
  }

  // Takes over values, n 32-bit numbers below 2^width in a block from
  // malloc with room for n + 2 (packing writes whole words of eight bytes),
  // and packs them where they are: the sorted suffixes are packed without a
  // second array beside them. The block is shrunk to fit.
  void Adopt(uint32_t* values, size_t n, int width) {
    // Packed word k is written once it is full, that is after value
    // 64 * (k + 1) / width >= 2k + 2 has been read: the two values that
    // shared its eight bytes have been read by then.
    unsigned char* bytes = reinterpret_cast<unsigned char*>(values);
    const size_t words = WordsFor(n, width);
    const uint64_t mask = width == 32 ? 0xFFFFFFFFull : (uint64_t{1} << width) - 1;
    uint64_t word = 0;
    int filled = 0;  // bits of word in use
    size_t out = 0;  // words written
    for (size_t i = 0; i < n; ++i) {
      uint32_t v32;
      std::memcpy(&v32, bytes + 4 * i, 4);
      const uint64_t v = v32 & mask;
      word |= v << filled;
      filled += width;
      if (filled >= 64) {
        std::memcpy(bytes + 8 * out++, &word, 8);
        filled -= 64;
        word = filled > 0 ? v >> (width - filled) : 0;
      }
    }
    if (filled > 0) std::memcpy(bytes + 8 * out++, &word, 8);
    // The packed words never need more room than the values had, but the
    // last word may reach past their end.
    const size_t keep = words * sizeof(uint64_t);
    void* shrunk = std::realloc(values, std::max<size_t>(keep, 1));
    if (!shrunk) {
      std::free(values);
      throw std::bad_alloc();
    }
    Take(static_cast<uint64_t*>(shrunk), width);
    words_bytes_ = keep;
    const size_t used = out * sizeof(uint64_t);
    if (keep > used) std::memset(reinterpret_cast<unsigned char*>(words_) + used, 0, keep - used);
  }

  uint32_t Get(size_t i) const {
    const size_t bit = i * static_cast<size_t>(width_);
    uint64_t lo, hi;
    std::memcpy(&lo, words_ + bit / 64, 8);
    std::memcpy(&hi, words_ + bit / 64 + 1, 8);
    const unsigned off = bit % 64;
    const uint64_t v = off == 0 ? lo : (lo >> off) | (hi << (64 - off));
    return static_cast<uint32_t>(v & mask_);
  }

  void Set(size_t i, uint32_t v) { SetIn(reinterpret_cast<unsigned char*>(words_), i, v); }

  // Asks for the pages of the array at once: a large array written all
  // over takes a fault per page otherwise.
  void Prepare() { OsPrepareMemory(words_, words_bytes_); }

  // Asks the cache for value i ahead of a Get or Set.
  void Prefetch(size_t i) const {
    __builtin_prefetch(reinterpret_cast<const unsigned char*>(words_) +
                       i * static_cast<size_t>(width_) / 8);
  }

  // Bytes of words enough for n values, with one more word so that a read
  // of two words never runs off the end.
  static size_t WordsFor(size_t n, int width) {
    return (n * static_cast<size_t>(width) + 63) / 64 + 1;
  }

 private:
  void Take(uint64_t* words, int width) {
    if (!words) throw std::bad_alloc();
    std::free(words_);
    words_ = words;
    width_ = width;
    mask_ = width == 32 ? 0xFFFFFFFFull : (uint64_t{1} << width) - 1;
  }
  void SetIn(unsigned char* bytes, size_t i, uint32_t v) const {
    const size_t bit = i * static_cast<size_t>(width_);
    const size_t at = bit / 8;
    const unsigned off = bit % 8;
    // At most 32 + 7 bits: five bytes.
    uint64_t w = 0;
    std::memcpy(&w, bytes + at, 5);
    w = (w & ~(mask_ << off)) | ((uint64_t{v} & mask_) << off);
    std::memcpy(bytes + at, &w, 5);
  }

  uint64_t* words_ = nullptr;
  size_t words_bytes_ = 0;  // as assigned
  int width_ = 32;
  uint64_t mask_ = 0xFFFFFFFFull;
};

}  // namespace tw
