// How the differ works, in four steps:
//
// 1. Anchors. The new file is walked along its current alignment (the place
//    in the old file, or in the output already written, that its bytes line
//    up with). Wherever a run of matching bytes ends, the longest match is
//    looked up (suffix array of the old file, hash of the output so far); a
//    new alignment is taken only when its match is clearly longer than what
//    the current one still matches around its few changed bytes. Each switch
//    is an anchor.
// 2. Coding. A cheapest-path search over the new file, priced in the bits of
//    the stream format: copies that continue the current alignment, return
//    to the one before, or take up an anchor nearby; the fix-up bytes after
//    each copy cover the changed bytes of relocated code; insert runs cover
//    the rest. The fix-up count is chosen per group of copies (one count
//    byte per group), so the search also carries the decoder's countdown.
// 3. Building: the path becomes DeltaOps; fix-ups and insert blocks become
//    differences to the reference bytes where that leaves mostly zeros.
// 4. Checking: the program is encoded and run through the decoder's model.
#include "maker/differ.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "delta/streams.h"
#include "maker/packed_array.h"
#include "maker/suffix_array.h"
#include "maker/two_threads.h"
#include "platform/os.h"

namespace tw {
namespace {

using u8 = unsigned char;

// The options' progress report over the steps of one version. Each step has
// a share of the whole and a count of units (bytes of the new file, mostly);
// the steps report the units they finish in chunks, so that a report costs
// nothing beside the work, and the meter tells the author only when the
// whole has moved on by a visible amount.
class Meter {
 public:
  explicit Meter(const std::function<void(double)>& report) : report_(report) {}

  // Ends the step in hand and starts one with this share and count of units.
  void Step(double share, int64_t units) {
    std::lock_guard<std::mutex> lock(mutex_);
    base_ += share_;
    share_ = share;
    units_ = std::max<int64_t>(1, units);
    done_ = 0;
    TellLocked(base_);
  }
  // More units for the step in hand (a second search); the whole seems to
  // stand still until the step has caught up with what was told.
  void MoreUnits(int64_t units) {
    std::lock_guard<std::mutex> lock(mutex_);
    units_ += units;
  }
  void Add(int64_t units) {
    if (!report_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = std::min(units_, done_ + units);
    TellLocked(base_ + share_ * static_cast<double>(done_) / static_cast<double>(units_));
  }
  void Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    told_ = -1;
    TellLocked(1.0);
  }
  // Units worth a call to Add: about a thousandth of a step.
  static int64_t Chunk(int64_t units) { return std::max<int64_t>(1 << 16, units / 1024); }

 private:
  void TellLocked(double done) {
    if (!report_ || done < told_ + 0.002) return;
    told_ = std::min(done, 1.0);
    report_(told_);
  }

  const std::function<void(double)>& report_;
  std::mutex mutex_;
  double base_ = 0, share_ = 0, told_ = 0;
  int64_t units_ = 1, done_ = 0;
};

// Bytes in common at the start of a and b, at most n.
int64_t CommonLength(const u8* a, const u8* b, int64_t n) {
  int64_t i = 0;
  while (i + 8 <= n) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + (__builtin_ctzll(x ^ y) >> 3);
    i += 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The first k < n with a[k] == b[k], or n.
int64_t NextMatch(const u8* a, const u8* b, int64_t n) {
  int64_t i = 0;
  while (i + 8 <= n) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    const uint64_t d = x ^ y;
    // The lowest flagged byte is the lowest zero byte of d.
    const uint64_t zero = (d - 0x0101010101010101ull) & ~d & 0x8080808080808080ull;
    if (zero) return i + (__builtin_ctzll(zero) >> 3);
    i += 8;
  }
  while (i < n && a[i] != b[i]) ++i;
  return i;
}

int ZeroCount(const u8* p, int64_t n) {
  int z = 0;
  for (int64_t i = 0; i < n; ++i) z += p[i] == 0;
  return z;
}

// ---------------------------------------------------------------------------
// Prices: how many bits a number takes in the streams, by the width rule.

struct NumberWidth {
  int widest = 1;
  int64_t limit = 0xFF;

  explicit NumberWidth(int64_t range) {
    widest = range > 0xFFFFFF ? 4 : range > 0xFFFF ? 3 : range > 0xFF ? 2 : 1;
    // Four bytes fill a signed 32-bit magnitude, so its top bit is unusable.
    limit = widest == 4 ? 0x7FFFFFFF : (int64_t{1} << (8 * widest)) - 1;
  }
  bool Fits(int64_t v) const { return (v < 0 ? -v : v) <= limit; }
  int Bits(int64_t v) const {
    const uint64_t m = v < 0 ? -static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    const int w = m > 0xFFFFFF ? 4 : m > 0xFFFF ? 3 : m > 0xFF ? 2 : 1;
    return 8 * w + 1 + (widest > 1) + (widest > 2 && w > 1) + (widest > 3 && w > 2);
  }
};

// ---------------------------------------------------------------------------
// The combined space the decoder copies from: the old file, then the new file
// as far as it has been written.

struct Space {
  const u8* old;
  int64_t old_size;
  const u8* nw;
  int64_t new_size;

  u8 At(int64_t p) const { return p < old_size ? old[p] : nw[p - old_size]; }
};

// The new byte i lines up with the combined position i + delta. An alignment
// lies wholly in the old file or wholly in the output: the decoder picks the
// file by where a copy starts.
struct Alignment {
  int64_t delta = 0;
  bool output = false;
};

bool SameAlignment(const Alignment& a, const Alignment& b) {
  return a.delta == b.delta && a.output == b.output;
}

// The bytes an alignment puts beside new[lo, hi): Ref(j) for j in that range.
struct View {
  const u8* base;
  int64_t offset;
  int64_t lo, hi;
  const u8* Ref(int64_t j) const { return base + (j + offset); }
};

View ViewOf(const Space& s, const Alignment& a) {
  if (!a.output) {
    return View{s.old, a.delta, std::max<int64_t>(0, -a.delta),
                std::min(s.new_size, s.old_size - a.delta)};
  }
  return View{s.nw, a.delta - s.old_size, std::max<int64_t>(0, s.old_size - a.delta), s.new_size};
}

// How far the bytes of new[i...] equal their aligned counterparts, at most n.
int64_t RunLength(const Space& s, const Alignment& a, int64_t i, int64_t n) {
  const View v = ViewOf(s, a);
  if (i < v.lo || i >= v.hi) return 0;
  return CommonLength(v.Ref(i), s.nw + i, std::min(n, v.hi - i));
}

// Matching bytes among the next n under the alignment.
int64_t MatchCount(const Space& s, const Alignment& a, int64_t i, int64_t n) {
  n = std::min(n, s.new_size - i);
  int64_t count = 0;
  for (int64_t k = 0; k < n;) {
    const int64_t r = RunLength(s, a, i + k, n - k);
    count += r;
    k += r + 1;
  }
  return count;
}

// ---------------------------------------------------------------------------
// Longest matches in the old file, by binary search in its suffix array.

class SuffixIndex {
 public:
  SuffixIndex(const u8* text, int64_t n) : t_(text), n_(n), bucket_(kBuckets + 1, 0) {
    {
      // Two values to spare: packing writes whole words of eight bytes.
      const size_t size = static_cast<size_t>(n);
      uint32_t* sorted = static_cast<uint32_t*>(std::malloc((size + 2) * sizeof(uint32_t)));
      if (!sorted) throw std::bad_alloc();
      OsPrepareMemory(sorted, (size + 2) * sizeof(uint32_t));
      try {
        SortSuffixes(t_, static_cast<int32_t>(n_), reinterpret_cast<int32_t*>(sorted));
      } catch (...) {
        std::free(sorted);
        throw;
      }
      sa_.Adopt(sorted, size, BitsFor(n_ > 0 ? static_cast<uint64_t>(n_ - 1) : 0));
    }
    // Where the suffixes with each first two bytes start; the one-byte
    // suffix sorts before its first byte's buckets and belongs to none.
    for (int64_t i = 0; i + 1 < n_; ++i) ++bucket_[(t_[i] << 8 | t_[i + 1]) + 1];
    if (n_ > 0) ++bucket_[t_[n_ - 1] << 8];
    for (int k = 0; k < kBuckets; ++k) bucket_[k + 1] += bucket_[k];
  }

  // Length of the longest prefix of q[0, m) found in the text, when it is
  // at least two bytes; *pos where.
  int64_t Longest(const u8* q, int64_t m, int64_t* pos) const {
    *pos = 0;
    if (m < 2 || n_ == 0) return 0;
    const int key = q[0] << 8 | q[1];
    const int64_t first = bucket_[key] + (key == (t_[n_ - 1] << 8) ? 1 : 0);
    const int64_t last = bucket_[key + 1];
    if (first >= last) return 0;
    // Every suffix between the bounds shares min(llcp, rlcp) bytes with q.
    int64_t lo = first, hi = last, llcp = 2, rlcp = 2;
    while (lo < hi) {
      const int64_t mid = lo + (hi - lo) / 2;
      const int64_t s = sa_.Get(mid);
      const int64_t avail = std::min(n_ - s, m);
      // A suffix shorter than the bytes known in common ends inside them.
      const int64_t k = std::min({llcp, rlcp, avail});
      const int64_t l = k + CommonLength(t_ + s + k, q + k, avail - k);
      const bool less = l == avail ? n_ - s < m : t_[s + l] < q[l];
      if (less) {
        lo = mid + 1;
        llcp = l;
      } else {
        hi = mid;
        rlcp = l;
      }
    }
    int64_t best = 0;
    if (lo > first) {
      best = llcp;
      *pos = sa_.Get(lo - 1);
    }
    if (lo < last && rlcp > best) {
      best = rlcp;
      *pos = sa_.Get(lo);
    }
    return best;
  }

 private:
  static constexpr int kBuckets = 1 << 16;
  const u8* t_;
  int64_t n_;
  PackedArray sa_;
  std::vector<int32_t> bucket_;
};

// The old file's index; a large file's as two halves, sorted at once. A
// match that reaches the end of the first half goes on in the second.
class OldIndex {
 public:
  OldIndex(const Bytes& old, int64_t split_above)
      : t_(old.data()), n_(static_cast<int64_t>(old.size())) {
    if (n_ <= split_above || n_ < 2) {
      parts_[0] = std::make_unique<SuffixIndex>(t_, n_);
      return;
    }
    cut_ = n_ / 2;
    RunOnTwoThreads(2, [&](size_t k) {
      parts_[k] = k == 0 ? std::make_unique<SuffixIndex>(t_, cut_)
                         : std::make_unique<SuffixIndex>(t_ + cut_, n_ - cut_);
    });
  }

  // Length of the longest prefix of q[0, m) found in the old file, when it
  // is at least two bytes; *pos where (in the first half on a tie).
  int64_t Longest(const u8* q, int64_t m, int64_t* pos) const {
    *pos = 0;
    int64_t best = 0;
    for (int k = 0; k < 2 && parts_[k]; ++k) {
      const int64_t base = k == 0 ? 0 : cut_;
      int64_t p = 0;
      int64_t len = parts_[k]->Longest(q, m, &p);
      p += base;
      if (k == 0 && parts_[1] && len > 0 && p + len == cut_) {
        len += CommonLength(t_ + cut_, q + len, std::min(m - len, n_ - cut_));
      }
      if (len > best) {
        best = len;
        *pos = p;
      }
    }
    return best;
  }

 private:
  const u8* t_;
  int64_t n_;
  int64_t cut_ = 0;
  std::unique_ptr<SuffixIndex> parts_[2];
};

// Earlier stretches of the new file, by a hash of their first eight bytes:
// the most recent position with each hash.
class OutputIndex {
 public:
  // For lookups below `end`.
  OutputIndex(const Space& s, int64_t end) : s_(s) {
    // A slot for every 16 positions or so: a fuller table found the odd
    // longer match, at two to four times the memory. Small files get
    // plenty, which costs nothing that shows.
    int bits = 18;
    while (bits < 22 && (int64_t{1} << bits) < end / 16) ++bits;
    shift_ = 64 - bits;
    head_.Assign(size_t{1} << bits, BitsFor(static_cast<uint64_t>(std::max<int64_t>(s.new_size, 0))));
    head_.Prepare();
  }

  // A match of new[i...] that starts before i; positions below i are entered
  // first. Its length, and *from where it starts.
  int64_t Longest(int64_t i, int64_t* from) {
    if (i + 8 > s_.new_size) return 0;
    // Every position lands somewhere else in a table far larger than the
    // cache: the slots of the positions a little ahead are fetched early.
    const int64_t last = std::min(i, s_.new_size - 7);
    for (; entered_ < last; ++entered_) {
      if (entered_ + kAhead < last) head_.Prefetch(Hash(entered_ + kAhead));
      head_.Set(Hash(entered_), static_cast<uint32_t>(entered_ + 1));
    }
    const uint32_t h = head_.Get(Hash(i));
    if (h == 0) return 0;
    *from = h - 1;
    return CommonLength(s_.nw + *from, s_.nw + i, s_.new_size - i);
  }

 private:
  size_t Hash(int64_t i) const {
    uint64_t x;
    std::memcpy(&x, s_.nw + i, 8);
    return static_cast<size_t>((x * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  static constexpr int64_t kAhead = 16;
  const Space& s_;
  int shift_;
  PackedArray head_;  // position + 1, or 0
  int64_t entered_ = 0;
};

// ---------------------------------------------------------------------------
// Anchors: where the new file starts to follow a new alignment. An anchor
// holds for the stretch up to the next one.

// Sixteen bytes, not 32: a large file has hundreds of thousands, and they are
// held beside both indexes. Positions fit in 31 bits (the format's limit on
// both files together) and so does an alignment's distance either way.
class Anchor {
 public:
  Anchor(int64_t start, int64_t length, Alignment align)
      : start_(static_cast<int32_t>(start)),
        length_(static_cast<int32_t>(length)),
        delta_(static_cast<int32_t>(align.delta)),
        output_(align.output) {}
  int64_t start() const { return start_; }
  int64_t length() const { return length_; }  // bytes that follow it from start, about
  Alignment align() const { return Alignment{delta_, output_}; }

 private:
  int32_t start_;
  int32_t length_;
  int32_t delta_;
  bool output_;
};
static_assert(sizeof(Anchor) == 16);

struct ScanParams {
  int64_t min_match = 8;   // shortest match worth a far copy
  int64_t margin = 5;      // a new alignment must beat the current by this
  int64_t recheck = 0;     // bytes between lookups while the alignment holds
  int64_t long_run = 256;  // a run this long is followed without a lookup
};

// The anchors that start in new[begin, end), in order, as a walk that
// starts at begin finds them; output before begin counts as written.
std::vector<Anchor> FindAnchors(const Space& s, const OldIndex& old_index, const ScanParams& params,
                                int64_t begin, int64_t end, Meter* meter) {
  std::vector<Anchor> anchors;
  const int64_t chunk = Meter::Chunk(s.new_size);
  int64_t told = begin;
  OutputIndex output_index(s, end);
  const int64_t n = s.new_size;
  bool have = false;
  Alignment cur;
  int64_t last_check = std::numeric_limits<int64_t>::min() / 2;
  for (int64_t i = begin; i < end;) {
    if (i - told >= chunk) {
      meter->Add(i - told);
      told = i;
    }
    const int64_t run = have ? RunLength(s, cur, i, n - i) : 0;
    if (run >= params.long_run) {
      i += run;
      continue;
    }
    const bool healthy = have && MatchCount(s, cur, i, 32) >= 16;
    if (healthy && i - last_check < params.recheck) {
      i += run + 1;
      continue;
    }
    last_check = i;
    // The longest match, in the old file or else in the output so far.
    int64_t pos = 0, from = 0;
    const int64_t cap = std::min<int64_t>(n - i, 4096);
    int64_t len = s.old_size > 0 ? old_index.Longest(s.nw + i, cap, &pos) : 0;
    Alignment found{pos - i, false};
    if (len == cap) len += RunLength(s, found, i + len, n - i - len);
    const int64_t self = output_index.Longest(i, &from);
    if (self > len + 2) {
      len = self;
      found = Alignment{s.old_size + from - i, true};
    }
    // The current alignment may still match most of that stretch, around a
    // few changed bytes: then it stays. Finding it again after a stretch it
    // did not follow is news too: copies there are far from the last ones.
    const int64_t kept = have ? MatchCount(s, cur, i, len) : 0;
    const bool same = have && SameAlignment(found, cur);
    if (len >= params.min_match && (same ? !healthy : len > kept + params.margin)) {
      // The new alignment may hold, more right than wrong, for a while
      // before the match: the anchor starts there.
      int64_t back = 0;
      const View v = ViewOf(s, found);
      const int64_t floor = std::max(v.lo, anchors.empty() ? begin : anchors.back().start() + 1);
      for (int64_t k = 1, score = 0, best = 0; i - k >= floor && k <= 4096; ++k) {
        score += *v.Ref(i - k) == s.nw[i - k] ? 1 : -1;
        if (score > best) {
          best = score;
          back = k;
        }
        if (score < best - 32) break;
      }
      anchors.push_back(Anchor{i - back, len + back, found});
      cur = found;
      have = true;
      // A copy from the output may reach its own bytes only by whole pieces
      // of 1,000: a repeat with a shorter period doubles its distance copy
      // by copy until that is reached.
      if (found.output) {
        const int64_t period = s.old_size - found.delta;
        for (int64_t at = i + period, d = 2 * period; period < 1000 && at < i + len; d *= 2) {
          const Alignment far{found.delta - (d - period), true};
          anchors.push_back(Anchor{at, d >= 1000 ? i + len - at : std::min(d, i + len - at), far});
          cur = far;
          if (d >= 1000) break;
          at += d;
        }
      }
      i += len;
      continue;
    }
    i += healthy || run > 0 ? run + 1 : 1;
  }
  // A match that runs on past the end leaves anchors there; the walk from
  // the end finds its own.
  while (!anchors.empty() && anchors.back().start() >= end) anchors.pop_back();
  meter->Add(end - told);
  return anchors;
}

// ---------------------------------------------------------------------------
// Coding.

struct Layout {
  // Copies per count byte; 0: one count byte for the whole version.
  uint16_t period = 0;
  // With period 0: the fix-up count of every copy (the search is much
  // quicker with it fixed); -1 leaves it to the search.
  int fixups = -1;
  uint8_t flags = 0;  // kVersionRangeIsSum or 0
};

constexpr int kBlockSize = 255;  // fewest mode bits

struct PlanOp {
  int32_t start = 0;   // first new byte the op writes
  int32_t length = 0;  // copy: bytes copied (fix-up bytes follow); insert: run length
  int32_t delta = 0;   // copy: combined position = start + delta
  int16_t fixups = 0;
  uint8_t slots = 0;  // copy: count slots before it
  bool copy = false;
};

// Ops in order; a deque, so that building the program from it can give its
// memory back as it goes.
using Plan = std::deque<PlanOp>;

// The decoder's state between instructions, as far as prices depend on it,
// and the alignments a path has used last.
struct State {
  int64_t cursor = 0;     // reference cursor (combined)
  int32_t fixups = 0;     // fix-up count in force
  int32_t countdown = 0;  // copies until the next count byte
  bool has_align = false, has_rep = false;
  Alignment align, rep;
};

// Nodes waiting to be expanded, nearest first, a few per position. Almost
// every node lies a little ahead of the one in hand, so those sit in a ring
// indexed by position; the few far ones in a map. Each entry keeps the cost
// and class of its node: a new path is weighed against the waiting ones
// without a visit to the nodes themselves, which lie all over memory.
class Frontier {
 public:
  static constexpr int kPerPosition = 4;

  struct Slot {
    int64_t pos = -1;
    int count = 0;
    int32_t index[kPerPosition];
    int32_t cls[kPerPosition];
    int64_t cost[kPerPosition];
  };

  Frontier() : ring_(kRing) {}

  bool Empty() const { return ring_count_ == 0 && far_.empty(); }

  // The nodes waiting at pos, or nullptr when there are none.
  Slot* At(int64_t pos) {
    if (pos < base_ + kRing) {
      Slot& s = ring_[pos & (kRing - 1)];
      if (s.pos == pos) return &s;
    }
    if (far_.empty() || pos < far_.begin()->first) return nullptr;
    auto it = far_.find(pos);
    return it == far_.end() ? nullptr : &it->second;
  }

  // pos is never below the last position taken, and At(pos) is not full.
  void Add(int64_t pos, int32_t index, int cls, int64_t cost) {
    Slot* s;
    if (pos < base_ + kRing) {
      s = &ring_[pos & (kRing - 1)];
      if (s->pos != pos) {
        s->pos = pos;
        s->count = 0;
        ++ring_count_;
      }
    } else {
      s = &far_[pos];
      s->pos = pos;
    }
    s->index[s->count] = index;
    s->cls[s->count] = cls;
    s->cost[s->count] = cost;
    ++s->count;
  }

  int32_t TakeFirst() {
    const int64_t far_first =
        far_.empty() ? std::numeric_limits<int64_t>::max() : far_.begin()->first;
    for (; ring_count_ > 0 && base_ < far_first; ++base_) {
      Slot& s = ring_[base_ & (kRing - 1)];
      if (s.pos != base_) continue;
      const int32_t index = s.index[--s.count];
      if (s.count == 0) {
        s.pos = -1;
        --ring_count_;
      }
      return index;
    }
    base_ = far_first;
    auto it = far_.begin();
    const int32_t index = it->second.index[--it->second.count];
    if (it->second.count == 0) far_.erase(it);
    return index;
  }

  template <typename F>
  void ForEach(F f) {
    if (ring_count_ > 0) {
      for (Slot& s : ring_) {
        if (s.pos < 0) continue;
        for (int k = 0; k < s.count; ++k) f(s.index[k]);
      }
    }
    for (auto& [pos, slot] : far_)
      for (int k = 0; k < slot.count; ++k) f(slot.index[k]);
  }

 private:
  static constexpr int64_t kRing = 1 << 14;
  std::vector<Slot> ring_;
  std::map<int64_t, Slot> far_;
  int64_t base_ = 0;
  int64_t ring_count_ = 0;
};

class Coder {
 public:
  // Codes new[begin, s.new_size), with the reference cursor at `cursor`
  // before: s may end before the new file does, and range is the address
  // range of the whole version.
  Coder(const Space& s, int64_t begin, int64_t cursor, int64_t range,
        const std::vector<Anchor>& anchors, const Layout& layout, int lookahead, Meter* meter)
      : s_(s),
        begin_(begin),
        cursor_(cursor),
        anchors_(anchors),
        layout_(layout),
        width_(range),
        lookahead_(std::min(lookahead, kWindows)),
        // Room for the search to keep paths apart, in proportion to the file.
        collect_at_(std::clamp<size_t>((s.new_size - begin) / 32, kCollectAt, 16 * kCollectAt)),
        meter_(meter),
        chunk_(Meter::Chunk(s.new_size - begin)),
        told_pos_(begin) {}

  // The cheapest ops for the part, appended to *plan; returns their bits.
  // The part starts as the version does: no copy yet, a count byte due.
  int64_t Code(Plan* plan);
  // Whether some copy was passed over for an offset too wide for the range.
  bool OutOfRange() const { return out_of_range_; }
  // Copies left in the last group when the part ends.
  int EndCountdown() const { return end_countdown_; }

 private:
  // A State in half the room: positions and deltas fit 32 bits, as both
  // files together stay below 2 GB. The search writes millions of nodes
  // all over memory; their size is much of its time.
  class PackedState {
   public:
    PackedState() = default;
    explicit PackedState(const State& st)
        : cursor_(static_cast<int32_t>(st.cursor)),
          countdown_(st.countdown),
          align_(static_cast<int32_t>(st.align.delta)),
          rep_(static_cast<int32_t>(st.rep.delta)),
          fixups_(static_cast<int16_t>(st.fixups)),
          flags_(static_cast<uint8_t>(st.has_align | st.has_rep << 1 | st.align.output << 2 |
                                      st.rep.output << 3)) {}
    State Unpack() const {
      State st;
      st.cursor = cursor_;
      st.fixups = fixups_;
      st.countdown = countdown_;
      st.has_align = flags_ & 1;
      st.has_rep = flags_ & 2;
      st.align = Alignment{align_, (flags_ & 4) != 0};
      st.rep = Alignment{rep_, (flags_ & 8) != 0};
      return st;
    }
    int fixups() const { return fixups_; }
    int64_t align_delta() const { return align_; }

   private:
    int32_t cursor_ = 0, countdown_ = 0, align_ = 0, rep_ = 0;
    int16_t fixups_ = 0;
    uint8_t flags_ = 0;
  };
  struct Node {
    int64_t cost = 0;  // bits from the start
    int32_t pos = 0;   // new position after the copy and its fix-up bytes
    int32_t parent = -1;
    int32_t copy_start = 0, copy_len = 0;
    PackedState state;
    uint8_t slots = 0;
  };
  // Paths at one position compete only with paths that leave the same
  // choice of fix-up count to the next copy.
  static int Class(const State& st) { return st.countdown == 0 ? 256 : st.fixups; }

  // Where copies under an alignment may start, with the fix-up counts that
  // reach from the end of the run there over mismatches to a later run.
  static constexpr int kWindows = 4;
  struct Start {
    int64_t j = 0, run = 0;
    int windows = 0;
    int window[kWindows];
  };
  struct StartList {
    Alignment align;
    int64_t from = 0, to = 0;
    std::vector<Start> starts;
  };

  int64_t InsertBits(int64_t n) const {
    const int64_t blocks = std::max<int64_t>(1, n / kBlockSize);
    return width_.Bits(-n) + 8 * n + blocks;
  }
  // The longest copy at new position j such that its bytes and the f
  // reference bytes after them can be read; -1 when there is none.
  int64_t CopyRoom(const Alignment& a, int64_t j, int64_t f) const;
  // The runs of matching bytes under one alignment. Nodes at nearby
  // positions look at the same stretch under the same few alignments, so the
  // runs found there are kept until the search has passed them.
  class RunList {
   public:
    void Reset(const Space& s, const Alignment& a, int64_t at);
    // Forgets the runs that end at or before pos.
    void DropBefore(int64_t pos);
    // Whether a search from q, once the runs before pos are dropped, can
    // go on from what is known.
    bool Serves(int64_t pos, int64_t q) const {
      q = std::max(q, v_.lo);
      return q >= std::max(lo_, pos) && q <= done_ + kGap;
    }
    // Further ahead of what is known, a search starts afresh: the gap would
    // be scanned for nothing.
    static constexpr int64_t kGap = 4096;
    // The first matching byte in [q, end), with the bytes that match from
    // there and the index of their run; false when there is none.
    bool Next(int64_t q, int64_t end, int64_t* j, int64_t* run, size_t* at = nullptr);

    struct Span {
      int64_t start, end;
      // The windows after the run's end, once they are known (-1: not yet).
      int windows = -1;
      int window[kWindows];
    };
    Span& at(size_t i) { return runs_[i]; }

   private:
    // The first run from index head_ on that ends after q.
    size_t Find(int64_t q);

    Alignment align_;
    View v_{};
    const u8* nw_ = nullptr;
    // Every run that meets [lo_, done_) is in runs_ from head_ on, in order.
    int64_t lo_ = 0, done_ = 0;
    std::vector<Span> runs_;
    size_t head_ = 0;
    size_t hint_ = 0;  // where the last search ended: the next is mostly near
  };
  // The list for a, to be searched from `from` on, with the runs before
  // `at` dropped.
  RunList& RunsFor(const Alignment& a, int64_t at, int64_t from);
  // The windows of a copy that ends at m.
  void Windows(RunList& runs, int64_t m, Start* st);
  // The starts in [from, to), found once for all the nodes at e.
  const std::vector<Start>& StartsFor(int64_t e, const Alignment& a, int64_t from, int64_t to);
  // A path from node `from`: `slots` count slots, an insert run up to j, a
  // copy of c bytes at j under a and f fix-up bytes. Kept where it is the
  // cheapest of its class to reach its end.
  void Relax(int32_t from, const Alignment& a, int64_t j, int64_t c, int f, int slots);
  // Copies at a start with each fix-up count the decoder state allows.
  void CopiesAt(int32_t from, const Alignment& a, const Start& start);
  void CopiesFrom(int32_t from, const Alignment& a, int64_t scan_from, int64_t scan_end);
  void Expand(int32_t index);
  void Emit(int32_t last, int64_t tail_end, Plan* plan);
  // Drops the nodes no waiting path goes through, and emits the part that
  // all of them share.
  void Collect(Plan* plan);

  static constexpr int64_t kWindow = 128;   // reach of the alignments in use
  static constexpr int64_t kRegion = 4096;  // reach of the anchor in force
  static constexpr int64_t kBeam = 64;      // bits a path may lag the lead
  static constexpr size_t kCollectAt = 1 << 12;

  const Space& s_;
  int64_t begin_, cursor_;
  const std::vector<Anchor>& anchors_;
  Layout layout_;
  NumberWidth width_;
  int lookahead_;
  size_t collect_at_;

  static constexpr int kRunLists = 12;
  RunList run_lists_[kRunLists];
  // Which list holds which alignment, and when it was last asked for (0:
  // never), apart from the lists: every lookup reads all of them.
  Alignment run_keys_[kRunLists];
  uint64_t run_used_[kRunLists] = {};
  uint64_t run_clock_ = 0;
  static constexpr size_t kKeptLists = 4;
  std::vector<StartList> cache_;
  size_t cache_used_ = 0;
  int64_t cache_pos_ = -1;

  std::vector<Node> nodes_;
  // A copy of the node in hand, which every path made from it reads: its
  // place in nodes_ moves as nodes_ grows.
  Node expanding_;
  State expanding_state_;
  Frontier frontier_;
  size_t next_anchor_ = 0;  // first anchor that starts after the node in hand
  int candidates_ = 0;      // copies found for the node in hand
  int64_t best_end_cost_ = 0;
  int32_t best_end_ = -1;
  // The cheapest node made so far that lies furthest ahead.
  int64_t lead_pos_ = 0, lead_cost_ = 0;
  bool out_of_range_ = false;
  int end_countdown_ = 0;
  Meter* meter_;
  int64_t chunk_;
  int64_t told_pos_;  // lead position last reported to the meter
};

int64_t Coder::CopyRoom(const Alignment& a, int64_t j, int64_t f) const {
  int64_t room = s_.new_size - j - f;
  const int64_t p = j + a.delta;
  if (!a.output) {
    if (p < 0 || p >= s_.old_size) return -1;
    room = std::min(room, s_.old_size - p - f);
  } else {
    // Pieces of 1,000 bytes are read before they are written, and the
    // reference bytes after the copy must already be there.
    const int64_t dist = j - (p - s_.old_size);
    if (p < s_.old_size || dist <= 0 || f > dist) return -1;
    if (dist < 1000) room = std::min(room, dist);
  }
  return room;
}

void Coder::RunList::Reset(const Space& s, const Alignment& a, int64_t at) {
  align_ = a;
  v_ = ViewOf(s, a);
  nw_ = s.nw;
  // Nothing before the view can be compared: its aligned bytes lie outside
  // the file they would come from.
  lo_ = done_ = std::max(at, v_.lo);
  runs_.clear();
  head_ = hint_ = 0;
}

void Coder::RunList::DropBefore(int64_t pos) {
  while (head_ < runs_.size() && runs_[head_].end <= pos) ++head_;
  if (head_ > 1024 && head_ * 2 > runs_.size()) {
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(head_));
    hint_ -= std::min(hint_, head_);
    head_ = 0;
  }
  hint_ = std::max(hint_, head_);
  lo_ = std::max(lo_, pos);
  done_ = std::max(done_, lo_);
}

size_t Coder::RunList::Find(int64_t q) {
  // Gallop from the hint towards q, then search the bracket found.
  size_t lo = head_, hi = runs_.size();
  size_t i = std::min(std::max(hint_, head_), hi);
  if (i < hi && runs_[i].end <= q) {
    for (size_t step = 1; i + step < hi; step *= 2) {
      if (runs_[i + step].end > q) {
        hi = i + step;
        break;
      }
      lo = i + step;
    }
    lo = std::max(lo, i + 1);
  } else {
    hi = i;
    for (size_t step = 1; step <= i - head_; step *= 2) {
      if (runs_[i - step].end <= q) {
        lo = i - step + 1;
        break;
      }
      hi = i - step;
    }
  }
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (runs_[mid].end <= q) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return hint_ = lo;
}

bool Coder::RunList::Next(int64_t q, int64_t end, int64_t* j, int64_t* run, size_t* at) {
  end = std::min(end, v_.hi);
  q = std::max(q, v_.lo);
  if (q >= end) return false;
  if (q < lo_ || q > done_ + kGap) {
    lo_ = done_ = q;
    runs_.clear();
    head_ = hint_ = 0;
  }
  size_t i = Find(q);
  while (i == runs_.size()) {
    if (done_ >= end) return false;
    const int64_t k = done_ + NextMatch(nw_ + done_, v_.Ref(done_), end - done_);
    if (k >= end) {
      done_ = end;
      return false;
    }
    const int64_t r = CommonLength(nw_ + k, v_.Ref(k), v_.hi - k);
    runs_.push_back(Span{k, k + r, -1, {}});
    // The byte after a run differs, or lies outside the view.
    done_ = k + r + 1;
    if (k + r <= q) ++i;
  }
  hint_ = i;
  *j = std::max(q, runs_[i].start);
  if (*j >= end) return false;
  *run = runs_[i].end - *j;
  if (at) *at = i;
  return true;
}

void Coder::Windows(RunList& runs, int64_t m, Start* st) {
  int64_t q = m + 1, r = 0;
  while (st->windows < lookahead_ && runs.Next(q, m + 256, &q, &r)) {
    if (r >= 2 || q + r == s_.new_size) st->window[st->windows++] = static_cast<int>(q - m);
    q += r;
  }
}

Coder::RunList& Coder::RunsFor(const Alignment& a, int64_t at, int64_t from) {
  // One alignment may be wanted in two places at once (the stretch in hand
  // and an anchor further on that returns to it): each has a list.
  int oldest = 0;
  for (int k = 0; k < kRunLists; ++k) {
    if (run_used_[k] != 0 && SameAlignment(run_keys_[k], a) && run_lists_[k].Serves(at, from)) {
      run_used_[k] = ++run_clock_;
      run_lists_[k].DropBefore(at);
      return run_lists_[k];
    }
    if (run_used_[k] < run_used_[oldest]) oldest = k;
  }
  run_keys_[oldest] = a;
  run_used_[oldest] = ++run_clock_;
  run_lists_[oldest].Reset(s_, a, at);
  return run_lists_[oldest];
}

const std::vector<Coder::Start>& Coder::StartsFor(int64_t e, const Alignment& a, int64_t from,
                                                  int64_t to) {
  if (cache_pos_ != e) {
    cache_pos_ = e;
    // A list that begins after e holds no start at e, so nothing in it
    // depends on e: the nodes up to an anchor far ahead all look there.
    // A few are kept: every lookup reads all of them.
    size_t kept = 0, skip = 0;
    for (size_t k = 0; k < cache_used_; ++k) skip += cache_[k].from > e;
    skip = skip > kKeptLists ? skip - kKeptLists : 0;
    for (size_t k = 0; k < cache_used_; ++k) {
      if (cache_[k].from <= e || (skip > 0 && skip--)) continue;
      if (k != kept) std::swap(cache_[k], cache_[kept]);
      ++kept;
    }
    cache_used_ = kept;
  }
  for (size_t k = 0; k < cache_used_; ++k) {
    const StartList& l = cache_[k];
    if (l.from == from && l.to == to && SameAlignment(l.align, a)) return l.starts;
  }
  if (cache_used_ == cache_.size()) cache_.emplace_back();
  StartList& l = cache_[cache_used_++];
  l.align = a;
  l.from = from;
  l.to = to;
  l.starts.clear();
  RunList& runs = RunsFor(a, e, from);
  int64_t j = from, run = 0;
  size_t at = 0;
  while (static_cast<int>(l.starts.size()) < lookahead_ && runs.Next(j, to, &j, &run, &at)) {
    // A copy of one byte pays only where no insert run is needed before it.
    if (j == e || run >= 2) {
      Start st;
      st.j = j;
      st.run = run;
      const int64_t room = CopyRoom(a, j, 0);
      if (room < run) {
        Windows(runs, j + room, &st);
      } else if (runs.at(at).windows >= 0) {
        // The windows depend only on where the run ends: every node before
        // it would find the same.
        const RunList::Span& span = runs.at(at);
        st.windows = span.windows;
        std::copy(span.window, span.window + span.windows, st.window);
      } else {
        Windows(runs, j + run, &st);
        RunList::Span& span = runs.at(at);  // Windows may have moved the runs
        span.windows = st.windows;
        std::copy(st.window, st.window + st.windows, span.window);
      }
      l.starts.push_back(st);
    }
    j += run;
  }
  return l.starts;
}

void Coder::Relax(int32_t from_index, const Alignment& a, int64_t j, int64_t c, int f, int slots) {
  if (c < 1) return;
  ++candidates_;
  const Node& from = expanding_;
  const State& st = expanding_state_;
  const int64_t offset = j + a.delta - st.cursor;
  if (!width_.Fits(offset)) {
    out_of_range_ = true;
    return;
  }
  const int64_t countdown = st.countdown - slots;
  const bool count_byte = countdown == 0;
  int64_t cost = from.cost + width_.Bits(c) + width_.Bits(offset) + 8 * f + (count_byte ? 8 : 0) +
                 slots * width_.Bits(0);
  if (j > from.pos) cost += InsertBits(j - from.pos);
  const int64_t pos = j + c + f;
  const int32_t countdown_after = static_cast<int32_t>((count_byte ? layout_.period : countdown) - 1);
  const int cls = countdown_after == 0 ? 256 : f;

  // The cheapest path of each class is kept, and a few classes at most.
  Frontier::Slot* waiting = frontier_.At(pos);
  int32_t* slot_index = nullptr;
  int64_t* slot_cost = nullptr;
  if (waiting) {
    int worst = -1;
    for (int k = 0; k < waiting->count; ++k) {
      if (waiting->cls[k] == cls) {
        if (waiting->cost[k] <= cost) return;
        worst = k;
        break;
      }
      if (worst < 0 || waiting->cost[k] > waiting->cost[worst]) worst = k;
    }
    if (waiting->cls[worst] != cls) {
      if (waiting->count < Frontier::kPerPosition) {
        worst = -1;
      } else if (waiting->cost[worst] <= cost) {
        return;
      }
    }
    if (worst >= 0) {
      slot_index = &waiting->index[worst];
      slot_cost = &waiting->cost[worst];
    }
  }

  Node n;
  n.pos = static_cast<int32_t>(pos);
  n.cost = cost;
  n.parent = from_index;
  n.copy_start = static_cast<int32_t>(j);
  n.copy_len = static_cast<int32_t>(c);
  n.slots = static_cast<uint8_t>(slots);
  State ns;
  ns.cursor = j + c + a.delta;
  ns.fixups = f;
  ns.countdown = countdown_after;
  ns.has_align = true;
  ns.align = a;
  if (st.has_align && !SameAlignment(st.align, a)) {
    ns.has_rep = true;
    ns.rep = st.align;
  } else {
    ns.has_rep = st.has_rep;
    ns.rep = st.rep;
  }
  n.state = PackedState(ns);

  if (slot_index) {
    // Its class (or, at a full position, the worst) is replaced in place.
    nodes_[*slot_index] = n;
    *slot_cost = cost;
    waiting->cls[slot_index - waiting->index] = cls;
    return;
  }
  nodes_.push_back(n);
  frontier_.Add(pos, static_cast<int32_t>(nodes_.size() - 1), cls, cost);
  if (cost < lead_cost_) {
    lead_cost_ = cost;
    lead_pos_ = pos;
  }
}

void Coder::CopiesAt(int32_t from, const Alignment& a, const Start& start) {
  const State& st = expanding_state_;
  const int64_t j = start.j, run = start.run;
  if (st.countdown != 0) {
    // Inside a group of copies: the fix-up count is fixed.
    const int f = st.fixups;
    Relax(from, a, j, std::min(run, CopyRoom(a, j, f)), f, 0);
    // A group may be closed early by count slots.
    if (layout_.period < 2 || st.countdown < 0 || st.countdown > 2) return;
  }
  const int slots = std::max(st.countdown, 0);
  if (layout_.fixups >= 0) {
    Relax(from, a, j, std::min(run, CopyRoom(a, j, layout_.fixups)), layout_.fixups, slots);
    return;
  }
  // A count byte is due: any fix-up count, here one that reaches over the
  // next mismatches to one of the next runs, or a small one that later
  // copies of the group may want, or one that ends the file.
  const int64_t c = std::min(run, CopyRoom(a, j, 0));
  if (c < 1) return;
  const bool grouped = layout_.period != 1;
  if (!grouped) Relax(from, a, j, c, 0, slots);
  if (grouped) {
    for (int f = 1; f <= 3; ++f) Relax(from, a, j, std::min(run, CopyRoom(a, j, f)), f, slots);
  }
  for (int k = 0; k < start.windows; ++k) {
    const int f = start.window[k];
    if (!grouped || f > 3) Relax(from, a, j, std::min(run, CopyRoom(a, j, f)), f, slots);
  }
  const int64_t rest = s_.new_size - (j + c);
  if (rest > 0 && rest <= 255) {
    Relax(from, a, j, std::min(run, CopyRoom(a, j, rest)), static_cast<int>(rest), slots);
  }
}

// Copies under alignment a that start at the first few runs of matching
// bytes in [scan_from, scan_end).
void Coder::CopiesFrom(int32_t from, const Alignment& a, int64_t scan_from, int64_t scan_end) {
  const std::vector<Start>& starts = StartsFor(expanding_.pos, a, scan_from, scan_end);
  for (size_t k = 0; k < starts.size(); ++k) CopiesAt(from, a, starts[k]);
}

void Coder::Expand(int32_t index) {
  expanding_ = nodes_[index];
  expanding_state_ = expanding_.state.Unpack();
  const Node& node = expanding_;
  const State& st = expanding_state_;
  const int64_t e = node.pos, n = s_.new_size;
  candidates_ = 0;

  // Ending here: the rest is one insert run.
  const int64_t end_cost = node.cost + (e < n ? InsertBits(n - e) : 0);
  if (best_end_ < 0 || end_cost < best_end_cost_) {
    best_end_cost_ = end_cost;
    best_end_ = index;
  }
  if (e >= n) return;

  // Alignments tried so far and how far they were scanned.
  struct Tried {
    Alignment align;
    int64_t end;
  } tried[4];
  int count = 0;
  auto scan = [&](const Alignment& a, int64_t from, int64_t to) {
    for (int k = 0; k < count; ++k) {
      if (!SameAlignment(tried[k].align, a)) continue;
      if (tried[k].end >= to) return;
      from = std::max(from, tried[k].end);
      tried[k].end = to;
      CopiesFrom(index, a, from, to);
      return;
    }
    if (count < 4) tried[count++] = Tried{a, to};
    CopiesFrom(index, a, from, to);
  };
  if (st.has_align) scan(st.align, e, e + kWindow);
  if (st.has_rep) scan(st.rep, e, e + kWindow);
  while (next_anchor_ < anchors_.size() && anchors_[next_anchor_].start() <= e) ++next_anchor_;
  if (next_anchor_ > 0) {
    const int64_t region_end =
        next_anchor_ < anchors_.size() ? anchors_[next_anchor_].start() : s_.new_size;
    scan(anchors_[next_anchor_ - 1].align(), e,
         std::max(e + kWindow, std::min(region_end, e + kRegion)));
  }
  // The next anchors: as many as it takes to find a copy, so that no path
  // has to end in an insert up to the end of the file.
  for (size_t k = next_anchor_; k < anchors_.size() && k < next_anchor_ + 64; ++k) {
    const Anchor& next = anchors_[k];
    scan(next.align(), std::max(e, next.start() - 64), next.start() + next.length());
    if (candidates_ > 0) break;
  }
}

void Coder::Emit(int32_t last, int64_t tail_end, Plan* plan) {
  std::vector<int32_t> path;
  for (int32_t i = last; i >= 0 && nodes_[i].parent >= 0; i = nodes_[i].parent) path.push_back(i);
  std::reverse(path.begin(), path.end());
  for (int32_t i : path) {
    const Node& n = nodes_[i];
    const int64_t from = nodes_[n.parent].pos;
    if (n.copy_start > from) {
      plan->push_back(
          {static_cast<int32_t>(from), static_cast<int32_t>(n.copy_start - from), 0, 0, 0, false});
    }
    plan->push_back({n.copy_start, n.copy_len, static_cast<int32_t>(n.state.align_delta()),
                     static_cast<int16_t>(n.state.fixups()), n.slots, true});
  }
  const int64_t pos = nodes_[last].pos;
  if (tail_end > pos) {
    plan->push_back(
        {static_cast<int32_t>(pos), static_cast<int32_t>(tail_end - pos), 0, 0, 0, false});
  }
}

void Coder::Collect(Plan* plan) {
  const int32_t size = static_cast<int32_t>(nodes_.size());
  std::vector<int32_t> live;
  frontier_.ForEach([&](int32_t i) { live.push_back(i); });
  if (best_end_ >= 0) live.push_back(best_end_);
  // Marks: -1 unused, -2 on a live path; later the new index.
  std::vector<int32_t> mark(size, -1);
  std::vector<int32_t> children(size, 0), only_child(size, -1);
  std::vector<char> is_live(size, 0);
  int32_t root = -1;
  for (int32_t l : live) {
    is_live[l] = 1;
    for (int32_t i = l; i >= 0 && mark[i] == -1; i = nodes_[i].parent) {
      mark[i] = -2;
      if (nodes_[i].parent < 0) {
        root = i;
      } else {
        ++children[nodes_[i].parent];
        only_child[nodes_[i].parent] = i;
      }
    }
  }
  // The deepest node that every live path passes through.
  int32_t top = root;
  while (!is_live[top] && children[top] == 1) top = only_child[top];
  if (top != root) {
    Emit(top, nodes_[top].pos, plan);
    for (int32_t i = nodes_[top].parent; i >= 0; i = nodes_[i].parent) mark[i] = -1;
    nodes_[top].parent = -1;
  }
  int32_t next = 0;
  for (int32_t i = 0; i < size; ++i) {
    if (mark[i] == -2) mark[i] = next++;
  }
  for (int32_t i = 0; i < size; ++i) {
    if (mark[i] < 0) continue;
    Node n = nodes_[i];
    if (n.parent >= 0) n.parent = mark[n.parent];
    nodes_[mark[i]] = n;
  }
  nodes_.resize(next);
  frontier_.ForEach([&](int32_t& i) { i = mark[i]; });
  if (best_end_ >= 0) best_end_ = mark[best_end_];
  collect_at_ = std::max(collect_at_, 2 * nodes_.size());
}

int64_t Coder::Code(Plan* plan) {
  const int64_t n = s_.new_size;
  // Room for the nodes up to a collection and the few that the last
  // expansion adds past it, taken at the start: grown by doubling, the
  // vector ended at twice that, and both copies were held while it moved.
  // A search whose live paths move the collection on grows it as before.
  nodes_.reserve(collect_at_ + collect_at_ / 8);
  OsPrepareMemory(nodes_.data(), nodes_.capacity() * sizeof(Node));
  Node root;
  root.pos = static_cast<int32_t>(begin_);
  State start;
  start.cursor = cursor_;
  root.state = PackedState(start);
  nodes_.assign(1, root);
  lead_pos_ = begin_;
  frontier_.Add(begin_, 0, Class(State()), 0);
  while (!frontier_.Empty()) {
    const int32_t index = frontier_.TakeFirst();
    const Node& node = nodes_[index];
    if (best_end_ >= 0 && node.cost >= best_end_cost_) continue;
    // A path that costs clearly more than one that has got further is
    // given up.
    if (node.pos > lead_pos_) {
      lead_pos_ = node.pos;
      lead_cost_ = node.cost;
      if (lead_pos_ - told_pos_ >= chunk_) {
        meter_->Add(lead_pos_ - told_pos_);
        told_pos_ = lead_pos_;
      }
    } else if (node.cost > lead_cost_ + kBeam) {
      continue;
    }
    // When every path goes through this node and it can end no worse than
    // anything seen so far, the path up to it is settled: emit it.
    if (frontier_.Empty() && node.parent >= 0 &&
        node.cost + InsertBits(n - node.pos) <= best_end_cost_) {
      Emit(index, node.pos, plan);
      Node root = node;
      root.parent = -1;
      nodes_.assign(1, root);
      best_end_ = -1;
      Expand(0);
      continue;
    }
    Expand(index);
    if (nodes_.size() >= collect_at_) Collect(plan);
  }
  Emit(best_end_, n, plan);
  end_countdown_ = nodes_[best_end_].state.Unpack().countdown;
  meter_->Add(n - told_pos_);
  return best_end_cost_;
}

// ---------------------------------------------------------------------------
// From the plan to the decoder's instructions.

// An insert block is added to its reference bytes when that leaves many
// zeros: compressors of the patch then see runs of zeros instead of the
// bytes themselves. Fewer zeros than this share are better left stored.
constexpr int kAddedZeroPercent = 40;

// Hands the instructions to `take` one by one, never holding the program
// whole: on large files it would outweigh both files. Empties the plan as it
// goes.
template <typename Take>
void BuildProgram(const Space& s, Plan* plan, bool plain_fixups, Take take) {
  int64_t cursor = 0, last_pos = 0;
  int fixups = 0;
  Bytes diff;
  while (!plan->empty()) {
    const PlanOp op = plan->front();
    plan->pop_front();
    if (op.copy) {
      for (int k = 0; k < op.slots; ++k) take(CountSlotOp());
      const int64_t p = op.start + op.delta;
      Bytes fix(static_cast<size_t>(op.fixups));
      for (int k = 0; k < op.fixups; ++k) {
        const int64_t at = op.start + op.length + k;
        fix[k] = static_cast<u8>(s.nw[at] - (plain_fixups ? 0 : s.At(p + op.length + k)));
      }
      take(CopyOp(op.length, static_cast<int32_t>(p - cursor), std::move(fix)));
      cursor = p + op.length;
      last_pos = p;
      fixups = op.fixups;
      continue;
    }
    // Inserts in a row are one run: they take their reference from the same
    // cursor, and one run spends one number.
    const int64_t start = op.start;
    int64_t n = op.length;
    while (!plan->empty() && !plan->front().copy) {
      n += plan->front().length;
      plan->pop_front();
    }
    Bytes data(s.nw + start, s.nw + start + n);
    std::vector<bool> modes;
    int64_t k = 0;
    for (int size : InsertBlocks(n, kBlockSize)) {
      // Reference bytes come from the file the last copy started in.
      const int64_t q = cursor + k + fixups;
      const bool readable = last_pos < s.old_size
                                ? q >= 0 && q + size <= s.old_size
                                : q >= s.old_size && q - s.old_size + size <= start + k;
      bool stored = true;
      if (readable) {
        diff.resize(size);
        for (int b = 0; b < size; ++b) diff[b] = static_cast<u8>(data[k + b] - s.At(q + b));
        const int zeros = ZeroCount(diff.data(), size);
        if (zeros > ZeroCount(data.data() + k, size) && zeros * 100 >= kAddedZeroPercent * size) {
          std::copy(diff.begin(), diff.end(), data.begin() + k);
          stored = false;
        }
      }
      modes.push_back(stored);
      k += size;
    }
    take(InsertOp(std::move(data), std::move(modes)));
  }
}

// Fix-up bytes as differences or as they are: the same size either way, so
// the form with more zero bytes is kept for whatever compresses the patch.
bool PreferPlainFixups(const Space& s, const Plan& plan) {
  int64_t added = 0, plain = 0;
  for (const PlanOp& op : plan) {
    if (!op.copy) continue;
    const int64_t p = op.start + op.delta + op.length;
    for (int k = 0; k < op.fixups; ++k) {
      const u8 b = s.nw[op.start + op.length + k];
      added += static_cast<u8>(b - s.At(p + k)) == 0;
      plain += b == 0;
    }
  }
  return plain > added;
}

struct Candidate {
  Layout layout;
  size_t index = 0;  // in the list of layouts tried
  int64_t bits = std::numeric_limits<int64_t>::max();
  bool out_of_range = false;
  Plan plan;
};

// Where a layout's coding is cut into pieces, coded two at a time: a piece
// starts as a version does, with a count byte due, so count slots before
// its first copy close the last group of the piece before, a few bytes at
// each seam. A layout with one count byte for the whole version cannot be
// cut. Cuts lie at anchors, evenly among them: the coder's work goes more
// with the anchors than with the bytes, and four pieces even out what two
// would not. None: only the end of the file.
std::vector<int64_t> CutsOf(const Space& s, const std::vector<Anchor>& anchors,
                            const Layout& layout, int64_t split_above) {
  constexpr size_t kPieces = 4;
  std::vector<int64_t> cuts;
  if (s.new_size > split_above && layout.period != 0 && anchors.size() >= 2 * kPieces) {
    for (size_t k = 1; k < kPieces; ++k) {
      cuts.push_back(anchors[k * anchors.size() / kPieces].start());
    }
  }
  cuts.push_back(s.new_size);
  return cuts;
}

Candidate CodeLayout(const Space& s, const std::vector<Anchor>& anchors, const Layout& layout,
                     size_t index, const std::vector<int64_t>& cuts, int lookahead, Meter* meter) {
  const int64_t range = AddressRangeFor(s.old_size, s.new_size, layout.flags);
  const NumberWidth width(range);
  Candidate c;
  c.layout = layout;
  c.index = index;
  if (cuts.size() > 1) {
    struct Piece {
      int64_t begin = 0;
      // Where the piece takes the cursor to be: where the anchor at its
      // start puts it, as the piece before most likely ends there.
      int64_t cursor = 0;
      Space space{};
      Plan plan;
      int64_t bits = 0;
      bool out_of_range = false;
      int end_countdown = 0;
    };
    std::vector<Piece> pieces(cuts.size());
    for (size_t k = 0; k < cuts.size(); ++k) {
      Piece& piece = pieces[k];
      piece.begin = k == 0 ? 0 : cuts[k - 1];
      piece.space = Space{s.old, s.old_size, s.nw, cuts[k]};
      if (k > 0) {
        auto at = std::lower_bound(anchors.begin(), anchors.end(), piece.begin,
                                   [](const Anchor& a, int64_t pos) { return a.start() < pos; });
        piece.cursor = piece.begin + at->align().delta;
      }
    }
    RunOnTwoThreads(pieces.size(), [&](size_t k) {
      Piece& piece = pieces[k];
      Coder coder(piece.space, piece.begin, piece.cursor, range, anchors, layout, lookahead, meter);
      piece.bits = coder.Code(&piece.plan);
      piece.out_of_range = coder.OutOfRange();
      piece.end_countdown = coder.EndCountdown();
    });
    // Where each piece really finds the cursor and the countdown, and what
    // that makes of its first copy.
    bool fits = true;
    int64_t cursor = 0, bits = 0;
    int slots = 0;
    for (Piece& piece : pieces) {
      bits += piece.bits;
      c.out_of_range = c.out_of_range || piece.out_of_range;
      auto first = std::find_if(piece.plan.begin(), piece.plan.end(),
                                [](const PlanOp& op) { return op.copy; });
      if (first == piece.plan.end()) continue;
      const int64_t p = first->start + first->delta;
      fits = fits && width.Fits(p - cursor);
      bits += width.Bits(p - cursor) - width.Bits(p - piece.cursor) + slots * width.Bits(0);
      first->slots = static_cast<uint8_t>(first->slots + slots);
      auto last = std::find_if(piece.plan.rbegin(), piece.plan.rend(),
                               [](const PlanOp& op) { return op.copy; });
      cursor = last->start + last->delta + last->length;
      slots = std::max(piece.end_countdown, 0);
    }
    if (fits) {
      c.bits = bits;
      for (Piece& piece : pieces) {
        for (Plan& rest = piece.plan; !rest.empty(); rest.pop_front()) {
          c.plan.push_back(rest.front());
        }
      }
      return c;
    }
    // Too far for the range: the file is coded whole after all.
    c.out_of_range = false;
    meter->MoreUnits(s.new_size);
  }
  Coder coder(s, 0, 0, range, anchors, layout, lookahead, meter);
  c.bits = coder.Code(&c.plan);
  c.out_of_range = coder.OutOfRange();
  return c;
}

// Codes the layouts and keeps the cheapest; of equally cheap ones the first
// in the list, whichever thread finished first, so that every build and
// machine writes the same patch. Layouts are coded two at a time, or one
// after the other when each is cut in pieces.
Candidate BestOf(const Space& s, const std::vector<Anchor>& anchors,
                 const std::vector<Layout>& layouts, int lookahead, int64_t split_above,
                 Meter* meter) {
  Candidate best;
  std::mutex mutex;
  auto keep = [&](Candidate c) {
    std::lock_guard<std::mutex> lock(mutex);
    if (c.bits < best.bits || (c.bits == best.bits && c.index < best.index)) best = std::move(c);
  };
  std::vector<std::vector<int64_t>> cuts;
  bool cut = false;
  for (const Layout& l : layouts) {
    cuts.push_back(CutsOf(s, anchors, l, split_above));
    cut = cut || cuts.back().size() > 1;
  }
  auto code = [&](size_t i) {
    keep(CodeLayout(s, anchors, layouts[i], i, cuts[i], lookahead, meter));
  };
  if (cut) {
    for (size_t i = 0; i < layouts.size(); ++i) code(i);
  } else {
    RunOnTwoThreads(layouts.size(), code);
  }
  return best;
}

// Shares of the steps in the time of a version, as measured on a 24 MB
// program at the default effort on two cores: sorting the old file 18 %,
// finding anchors 28 %, coding 50 %, building and checking the program the
// rest.
constexpr double kSortShare = 0.18, kAnchorShare = 0.28, kCodeShare = 0.50;

}  // namespace

VersionBlock MakeVersion(const Bytes& old_data, const Bytes& new_data,
                         ExcludedRegion source_excluded, const DiffOptions& options) {
  return MakeVersion(
      old_data, [&]() -> const Bytes& { return new_data; }, source_excluded, options);
}

VersionBlock MakeVersion(const Bytes& old_data, const std::function<const Bytes&()>& load_new,
                         ExcludedRegion source_excluded, const DiffOptions& options) {
  auto too_large = [] { return std::length_error("files too large for the patch format"); };
  if (old_data.size() > 0x7FFFFFFF) throw too_large();
  const int effort = std::clamp(options.effort, 0, 3);

  // The sort of the old file reports only its end.
  Meter meter(options.progress);
  meter.Step(kSortShare, 1);
  auto index = std::make_unique<OldIndex>(old_data, options.split_above);
  const Bytes& new_data = load_new();
  if (old_data.size() + new_data.size() > 0x7FFFFFFF) throw too_large();
  const Space s{old_data.data(), static_cast<int64_t>(old_data.size()), new_data.data(),
                static_cast<int64_t>(new_data.size())};
  std::vector<Anchor> anchors;
  {
    meter.Step(kAnchorShare, s.new_size);
    ScanParams params;
    if (effort == 0) params.recheck = 64;
    // Large files in two halves at once: the walk through the second half
    // starts without an alignment, the output before it already indexed.
    if (s.new_size > options.split_above) {
      std::vector<Anchor> halves[2];
      const int64_t half = s.new_size / 2;
      RunOnTwoThreads(2, [&](size_t h) {
        halves[h] = h == 0 ? FindAnchors(s, *index, params, 0, half, &meter)
                           : FindAnchors(s, *index, params, half, s.new_size, &meter);
      });
      anchors = std::move(halves[0]);
      anchors.insert(anchors.end(), halves[1].begin(), halves[1].end());
    } else {
      anchors = FindAnchors(s, *index, params, 0, s.new_size, &meter);
    }
    index.reset();
  }

  // Fix-up counts chosen per group of about 64 copies beat one count for the
  // whole version or one per copy on every file measured.
  std::vector<Layout> layouts;
  int lookahead = 3;
  switch (effort) {
    case 0:
      layouts = {Layout{0, 2, 0}};
      lookahead = 1;
      break;
    case 1:
      layouts = {Layout{64, -1, 0}};
      lookahead = 2;
      break;
    case 2:
      layouts = {Layout{64, -1, 0}};
      break;
    default:
      layouts = {Layout{64, -1, 0}, Layout{32, -1, 0}, Layout{128, -1, 0}};
      lookahead = 4;
      break;
  }
  meter.Step(kCodeShare, s.new_size * static_cast<int64_t>(layouts.size()));
  Candidate best = BestOf(s, anchors, layouts, lookahead, options.split_above, &meter);
  // The address range as a sum lets copies from the output reach further,
  // but may widen every number. On large files it has never paid for the
  // second search.
  if (best.out_of_range && (effort == 3 || s.new_size <= (1 << 20))) {
    Layout sum = best.layout;
    sum.flags = kVersionRangeIsSum;
    meter.MoreUnits(s.new_size);
    Candidate c = BestOf(s, anchors, {sum}, lookahead, options.split_above, &meter);
    if (c.bits < best.bits) best = std::move(c);
  }

  VersionBlock block;
  block.Excluded = source_excluded;
  SourceVersion& v = block.Record;
  v.SourceCrc = ChecksumBytes(old_data.data(), old_data.size(), source_excluded.offset,
                              source_excluded.length);
  v.SourceSize = static_cast<int32_t>(old_data.size());
  v.FixupPeriod = best.layout.period;
  v.VersionFlags = best.layout.flags;
  if (PreferPlainFixups(s, best.plan)) v.VersionFlags |= kVersionPlainFixups;
  v.InsertBlockSize = kBlockSize;

  meter.Step(1 - kSortShare - kAnchorShare - kCodeShare, 1);
  std::vector<Anchor>().swap(anchors);
  // Each instruction is encoded and run through the decoder's model, which
  // compares what it writes with the new file as it goes.
  ProgramEncoder encoder(v, s.new_size, &block.Streams);
  DecodeModel model(v, old_data, new_data);
  BuildProgram(s, &best.plan, v.VersionFlags & kVersionPlainFixups, [&](const DeltaOp& op) {
    std::string why;
    if (!encoder.Add(op, &why)) {
      throw std::logic_error("differ made a program that cannot be encoded: " + why);
    }
    if (!ModelStep(&model, op)) {
      throw std::logic_error("differ made a program that does not rebuild the new file");
    }
  });
  if (model.written != s.new_size) {
    throw std::logic_error("differ made a program that does not rebuild the new file");
  }
  for (int i = 0; i < kStreamCount; ++i) {
    v.StreamLength[i] = static_cast<int32_t>(block.Streams.Stream[i].size());
  }
  meter.Finish();
  return block;
}

}  // namespace tw
