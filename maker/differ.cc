#include "maker/differ.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "delta/streams.h"

namespace tw {
namespace {

using u8 = unsigned char;

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

// ---------------------------------------------------------------------------
// How many bits a number takes in the streams, from the width rule.

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
  if (n <= 0) return 0;
  const int64_t p = i + a.delta;
  if (!a.output) {
    if (p < 0 || p >= s.old_size) return 0;
    n = std::min(n, s.old_size - p);
    return CommonLength(s.old + p, s.nw + i, n);
  }
  const int64_t q = p - s.old_size;
  if (q < 0 || q >= i) return 0;
  return CommonLength(s.nw + q, s.nw + i, n);
}

// ---------------------------------------------------------------------------
// Longest matches in the old file, by binary search in its suffix array.

class SuffixIndex {
 public:
  explicit SuffixIndex(const Bytes& text) : t_(text.data()), n_(static_cast<int64_t>(text.size())) {
    sa_.resize(text.size());
    if (n_ > 0 && divsufsort(t_, sa_.data(), static_cast<saidx_t>(n_)) != 0) {
      throw std::runtime_error("suffix sorting failed");
    }
  }

  // Length of the longest prefix of q[0, m) found in the text; *pos where.
  int64_t Longest(const u8* q, int64_t m, int64_t* pos) const {
    int64_t lo = 0, hi = n_, llcp = 0, rlcp = 0;
    while (lo < hi) {
      const int64_t mid = lo + (hi - lo) / 2;
      const int64_t s = sa_[mid];
      const int64_t avail = std::min(n_ - s, m);
      const int64_t k = std::min(llcp, rlcp);
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
    *pos = 0;
    if (lo > 0) {
      best = llcp;
      *pos = sa_[lo - 1];
    }
    if (lo < n_ && rlcp > best) {
      best = rlcp;
      *pos = sa_[lo];
    }
    return best;
  }

  void Release() { std::vector<saidx_t>().swap(sa_); }

 private:
  const u8* t_;
  int64_t n_;
  std::vector<saidx_t> sa_;
};

// ---------------------------------------------------------------------------
// Earlier stretches of the new file, by a hash of their first eight bytes:
// the most recent position with each hash.

class OutputIndex {
 public:
  explicit OutputIndex(const Space& s) : s_(s) {
    int bits = 10;
    while (bits < 22 && (int64_t{1} << bits) < s.new_size / 2) ++bits;
    shift_ = 64 - bits;
    head_.assign(size_t{1} << bits, 0);
  }

  // Longest match of new[i...] that starts before i, among the candidates
  // the table holds; positions below i are entered first.
  int64_t Longest(int64_t i, int64_t* from) {
    if (i + 8 > s_.new_size) return 0;
    for (; entered_ < i && entered_ + 8 <= s_.new_size; ++entered_) {
      head_[Hash(entered_)] = static_cast<uint32_t>(entered_ + 1);
    }
    const uint32_t h = head_[Hash(i)];
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

  const Space& s_;
  int shift_;
  std::vector<uint32_t> head_;
  int64_t entered_ = 0;
};

// ---------------------------------------------------------------------------
// Anchors: where the new file starts to follow a new alignment. A scan walks
// the new file along its current alignment while that stays mostly right,
// looking up the longest match (old file or output so far) only where it
// goes wrong, now and then, and through bytes that match nothing. An anchor
// holds for the stretch up to the next one.

bool Trace();
int64_t Knob(const char* name, int64_t fallback);

struct Anchor {
  int64_t start = 0;
  int64_t length = 0;  // exact match at start
  Alignment align;
};

struct ScanParams {
  int64_t min_match = 8;    // shortest match worth a far copy
  int64_t margin = 4;       // a new alignment must beat the current by this
  int64_t recheck = 64;     // how often a healthy alignment is checked anyway
  int64_t max_stride = 8;   // steps through unmatched bytes
};

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

std::vector<Anchor> FindAnchors(const Space& s, const SuffixIndex& old_index,
                                const ScanParams& params) {
  std::vector<Anchor> anchors;
  OutputIndex output_index(s);
  const int64_t n = s.new_size;
  bool have = false;
  Alignment cur;
  int64_t last_check = std::numeric_limits<int64_t>::min() / 2;
  int64_t stride = 1;
  for (int64_t i = 0; i < n;) {
    const int64_t run = have ? RunLength(s, cur, i, n - i) : 0;
    if (run >= 64) {
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
    if (len >= params.min_match && len > run + params.margin &&
        !(have && found.delta == cur.delta && found.output == cur.output)) {
      anchors.push_back(Anchor{i, len, found});
      cur = found;
      have = true;
      stride = 1;
      i += len;
      continue;
    }
    if (healthy || run > 0) {
      stride = 1;
      i += run + 1;
      continue;
    }
    // Nothing here: step on, faster the longer nothing is found.
    i += stride;
    stride = std::min(stride + 1, params.max_stride);
  }
  return anchors;
}

// ---------------------------------------------------------------------------
// Encoding: a cheapest-path search over the places where a copy (with its
// fix-up bytes) may end, priced in the bits of this exact stream format.
// Paths are kept one per position; at each, copies may continue the current
// alignment, return to the one before it, or take up the anchors nearby.

struct Layout {
  uint16_t period = 0;  // 0: one count byte for the version; 1: one per copy
  int fixups = 0;       // with period 0: the fix-up bytes after every copy
  uint8_t flags = 0;    // kVersionRangeIsSum or 0
  uint8_t block = 255;
};

struct PlanOp {
  int32_t start = 0;   // first new byte the op writes
  int32_t length = 0;  // copy: bytes copied (fix-up bytes follow); insert: run length
  int32_t delta = 0;   // copy: combined position = start + delta
  int16_t fixups = 0;
  bool copy = false;
};

// The decoder's state between instructions, as far as prices depend on it,
// and the alignments a path has used last.
struct State {
  int64_t cursor = 0;    // reference cursor (combined)
  int64_t last_pos = 0;  // start of the last copy (combined)
  int fixups = 0;
  bool copied = false;
  bool after_insert = false;
  bool has_align = false, has_rep = false;
  Alignment align, rep;
};

bool SameAlignment(const Alignment& a, const Alignment& b) {
  return a.delta == b.delta && a.output == b.output;
}

class Coder {
 public:
  Coder(const Space& s, const std::vector<Anchor>& anchors, const Layout& layout, int lookahead)
      : s_(s),
        anchors_(anchors),
        layout_(layout),
        width_(layout.flags & kVersionRangeIsSum ? s.old_size + s.new_size
                                                 : std::max(s.old_size, s.new_size)),
        lookahead_(lookahead) {}

  // The cheapest ops for the whole new file; returns their bits.
  int64_t Code(std::vector<PlanOp>* plan);

 private:
  struct Node {
    int64_t pos = 0;   // new position after the copy and its fix-up bytes
    int64_t cost = 0;  // bits from the start
    int32_t parent = -1;
    int32_t copy_start = 0, copy_len = 0;
    State state;
  };

  int64_t InsertBits(int64_t n, bool merged) const {
    const int64_t blocks = std::max<int64_t>(1, n / layout_.block);
    return (merged ? 0 : width_.Bits(-n)) + 8 * n + blocks;
  }
  int64_t CopyRoom(const Alignment& a, int64_t j, int64_t f) const;
  void Relax(int32_t from, const Alignment& a, int64_t j, int64_t c, int f);
  void CopiesFrom(int32_t from, const Alignment& a, int64_t scan_from, int64_t scan_end);
  void Expand(int32_t index);
  // The run of matching bytes from j; long runs are remembered, since every
  // node before one finds it again.
  int64_t Run(const Alignment& a, const View& v, int64_t j);
  void Emit(int32_t last, int64_t tail_end, std::vector<PlanOp>* plan);

  const Space& s_;
  const std::vector<Anchor>& anchors_;
  Layout layout_;
  NumberWidth width_;
  int lookahead_;

  struct KnownRun {
    Alignment align;
    int64_t start = 0, end = 0;
  };
  KnownRun known_[4];
  int next_known_ = 0;
  std::vector<Node> nodes_;
  std::map<int64_t, int32_t> frontier_;
  size_t next_anchor_ = 0;
  int candidates_ = 0;  // copies found for the node in hand
  int64_t far_penalty_ = Knob("TW_FAR", 0);  // first anchor that starts after the node in hand
  int64_t best_end_cost_ = 0;
  int32_t best_end_ = -1;
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

void Coder::Relax(int32_t from_index, const Alignment& a, int64_t j, int64_t c, int f) {
  if (c < 1) return;
  ++candidates_;
  const Node& from = nodes_[from_index];
  const State& st = from.state;
  const int64_t offset = j + a.delta - st.cursor;
  if (!width_.Fits(offset)) return;
  const bool count_byte = layout_.period == 1 || !st.copied;
  int64_t cost = from.cost + width_.Bits(c) + width_.Bits(offset) + 8 * f + (count_byte ? 8 : 0);
  if (offset > 255 || offset < -255) cost += far_penalty_;
  if (j > from.pos) cost += InsertBits(j - from.pos, st.after_insert);
  const int64_t pos = j + c + f;
  auto it = frontier_.find(pos);
  if (it != frontier_.end() && nodes_[it->second].cost <= cost) return;
  Node n;
  n.pos = pos;
  n.cost = cost;
  n.parent = from_index;
  n.copy_start = static_cast<int32_t>(j);
  n.copy_len = static_cast<int32_t>(c);
  State& ns = n.state;
  ns.cursor = j + c + a.delta;
  ns.last_pos = j + a.delta;
  ns.fixups = f;
  ns.copied = true;
  ns.has_align = true;
  ns.align = a;
  if (st.has_align && !SameAlignment(st.align, a)) {
    ns.has_rep = true;
    ns.rep = st.align;
  } else {
    ns.has_rep = st.has_rep;
    ns.rep = st.rep;
  }
  if (it != frontier_.end()) {
    nodes_[it->second] = n;
  } else {
    nodes_.push_back(n);
    frontier_.emplace(pos, static_cast<int32_t>(nodes_.size() - 1));
  }
}

int64_t Coder::Run(const Alignment& a, const View& v, int64_t j) {
  for (const KnownRun& k : known_) {
    if (j >= k.start && j < k.end && SameAlignment(k.align, a)) return k.end - j;
  }
  const int64_t run = CommonLength(s_.nw + j, v.Ref(j), v.hi - j);
  if (run >= 64) {
    known_[next_known_] = KnownRun{a, j, j + run};
    next_known_ = (next_known_ + 1) % 4;
  }
  return run;
}

// Copies under alignment a that start at the first few runs of matching
// bytes in [scan_from, scan_end).
void Coder::CopiesFrom(int32_t from, const Alignment& a, int64_t scan_from, int64_t scan_end) {
  const int64_t e = nodes_[from].pos;
  const View v = ViewOf(s_, a);
  const u8* nw = s_.nw;
  int64_t j = std::max(scan_from, v.lo);
  scan_end = std::min(scan_end, v.hi);
  for (int starts = 0; j < scan_end && starts < lookahead_;) {
    j += NextMatch(nw + j, v.Ref(j), scan_end - j);
    if (j >= scan_end) break;
    const int64_t run = Run(a, v, j);
    if (j == e || run >= 2) {
      ++starts;
      if (layout_.period != 1) {
        const int f = layout_.fixups;
        Relax(from, a, j, std::min(run, CopyRoom(a, j, f)), f);
      } else {
        const int64_t c = std::min(run, CopyRoom(a, j, 0));
        if (c >= 1) {
          Relax(from, a, j, c, 0);
          // Fix-up windows that reach over the next mismatches to a run.
          const int64_t m = j + c;
          const int64_t reach = std::min(m + 256, v.hi);
          int windows = 0;
          for (int64_t q = m + 1; q < reach && windows < lookahead_;) {
            q += NextMatch(nw + q, v.Ref(q), reach - q);
            if (q >= reach) break;
            const int64_t r = Run(a, v, q);
            if ((r >= 2 || q + r == s_.new_size) && CopyRoom(a, j, q - m) >= c) {
              Relax(from, a, j, c, static_cast<int>(q - m));
              ++windows;
            }
            q += r;
          }
          const int64_t rest = s_.new_size - m;
          if (rest > 0 && rest <= 255 && CopyRoom(a, j, rest) >= c) {
            Relax(from, a, j, c, static_cast<int>(rest));
          }
        }
      }
    }
    j += run;
  }
}

void Coder::Expand(int32_t index) {
  const Node node = nodes_[index];
  const State& st = node.state;
  const int64_t e = node.pos, n = s_.new_size;
  candidates_ = 0;

  // Ending here: the rest is one insert run.
  const int64_t end_cost = node.cost + (e < n ? InsertBits(n - e, st.after_insert) : 0);
  if (best_end_ < 0 || end_cost < best_end_cost_) {
    best_end_cost_ = end_cost;
    best_end_ = index;
  }
  if (e >= n) return;

  // Alignments tried so far and how far they were scanned.
  constexpr int64_t kWindow = 128;
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
  while (next_anchor_ < anchors_.size() && anchors_[next_anchor_].start <= e) ++next_anchor_;
  // The anchor in force here, and the next ones: as many as it takes to find
  // a copy, so that no path ends in an insert to the end of the file.
  if (next_anchor_ > 0) scan(anchors_[next_anchor_ - 1].align, e, e + kWindow);
  for (size_t k = next_anchor_; k < anchors_.size() && k < next_anchor_ + 8; ++k) {
    const Anchor& next = anchors_[k];
    scan(next.align, std::max(e, next.start - 64), next.start + next.length);
    if (candidates_ > 0) break;
  }
}

void Coder::Emit(int32_t last, int64_t tail_end, std::vector<PlanOp>* plan) {
  std::vector<int32_t> path;
  for (int32_t i = last; i >= 0 && nodes_[i].parent >= 0; i = nodes_[i].parent) path.push_back(i);
  std::reverse(path.begin(), path.end());
  for (int32_t i : path) {
    const Node& n = nodes_[i];
    const int64_t from = nodes_[n.parent].pos;
    if (n.copy_start > from) {
      plan->push_back({static_cast<int32_t>(from), static_cast<int32_t>(n.copy_start - from), 0,
                       0, false});
    }
    plan->push_back({n.copy_start, n.copy_len, static_cast<int32_t>(n.state.align.delta),
                     static_cast<int16_t>(n.state.fixups), true});
  }
  const int64_t pos = nodes_[last].pos;
  if (tail_end > pos) {
    plan->push_back(
        {static_cast<int32_t>(pos), static_cast<int32_t>(tail_end - pos), 0, 0, false});
  }
}

int64_t Coder::Code(std::vector<PlanOp>* plan) {
  const int64_t n = s_.new_size;
  nodes_.assign(1, Node());
  frontier_.clear();
  frontier_.emplace(0, 0);
  best_end_ = -1;
  best_end_cost_ = 0;
  next_anchor_ = 0;
  while (!frontier_.empty()) {
    const int32_t index = frontier_.begin()->second;
    frontier_.erase(frontier_.begin());
    const Node& node = nodes_[index];
    if (best_end_ >= 0 && node.cost >= best_end_cost_) continue;
    // When every path goes through this node and it can end no worse than
    // anything seen so far, the path up to it is settled: emit it.
    if (frontier_.empty() && node.parent >= 0 &&
        node.cost + InsertBits(n - node.pos, false) <= best_end_cost_) {
      Emit(index, node.pos, plan);
      Node root = node;
      root.parent = -1;
      nodes_.assign(1, root);
      best_end_ = -1;
      Expand(0);
      continue;
    }
    Expand(index);
  }
  Emit(best_end_, n, plan);
  return best_end_cost_;
}

// ---------------------------------------------------------------------------
// From the plan to the decoder's instructions.

int ZeroCount(const u8* p, int64_t n) {
  int z = 0;
  for (int64_t i = 0; i < n; ++i) z += p[i] == 0;
  return z;
}

std::vector<DeltaOp> BuildProgram(const Space& s, const std::vector<PlanOp>& plan,
                                  const Layout& layout, bool plain_fixups) {
  std::vector<DeltaOp> program;
  program.reserve(plan.size());
  struct {
    int64_t pos = 0, last_pos = 0;
    int fixups = 0;
  } cur;
  for (size_t i = 0; i < plan.size(); ++i) {
    const PlanOp& op = plan[i];
    if (op.copy) {
      const int64_t p = op.start + op.delta;
      Bytes fix(static_cast<size_t>(op.fixups));
      for (int k = 0; k < op.fixups; ++k) {
        const int64_t at = op.start + op.length + k;
        fix[k] = static_cast<u8>(s.nw[at] - (plain_fixups ? 0 : s.At(p + op.length + k)));
      }
      program.push_back(CopyOp(static_cast<int32_t>(op.length), static_cast<int32_t>(p - cur.pos),
                               std::move(fix)));
      cur.pos = p + op.length;
      cur.last_pos = p;
      cur.fixups = op.fixups;
      continue;
    }
    // Inserts in a row are one run: they take their reference from the same
    // cursor, and one run spends one number.
    const int64_t start = op.start;
    int64_t n = op.length;
    while (i + 1 < plan.size() && !plan[i + 1].copy) n += plan[++i].length;
    Bytes data(s.nw + start, s.nw + start + n);
    std::vector<bool> modes;
    int64_t k = 0;
    for (int size : InsertBlocks(n, layout.block)) {
      // Reference bytes come from the file the last copy started in.
      const int64_t q = cur.pos + k + cur.fixups;
      bool readable;
      if (cur.last_pos < s.old_size) {
        readable = q >= 0 && q + size <= s.old_size;
      } else {
        readable = q >= s.old_size && q - s.old_size + size <= start + k;
      }
      bool stored = true;
      if (readable) {
        Bytes diff(size);
        for (int b = 0; b < size; ++b) diff[b] = static_cast<u8>(data[k + b] - s.At(q + b));
        if (ZeroCount(diff.data(), size) > ZeroCount(data.data() + k, size)) {
          std::copy(diff.begin(), diff.end(), data.begin() + k);
          stored = false;
        }
      }
      modes.push_back(stored);
      k += size;
    }
    program.push_back(InsertOp(std::move(data), std::move(modes)));
  }
  return program;
}

// Fix-up bytes as differences or as they are: the same size either way, so
// the form with more zero bytes is kept for whatever compresses the patch.
bool PreferPlainFixups(const Space& s, const std::vector<PlanOp>& plan) {
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
  int64_t bits = std::numeric_limits<int64_t>::max();
  std::vector<PlanOp> plan;
};

bool Trace() {
  static const bool on = std::getenv("TW_STATS") != nullptr;
  return on;
}

int64_t Knob(const char* name, int64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::atoll(v) : fallback;
}

}  // namespace

VersionBlock MakeVersion(const Bytes& old_data, const Bytes& new_data,
                         ExcludedRegion source_excluded, const DiffOptions& options) {
  if (old_data.size() + new_data.size() > 0x7FFFFFFF) {
    throw std::length_error("files too large for the patch format");
  }
  const int effort = std::clamp(options.effort, 0, 3);
  const Space s{old_data.data(), static_cast<int64_t>(old_data.size()), new_data.data(),
                static_cast<int64_t>(new_data.size())};
  const auto t0 = std::chrono::steady_clock::now();
  auto lap = [&](const char* what) {
    if (Trace()) {
      std::fprintf(stderr, "%s %.2f\n", what,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
  };

  std::vector<Anchor> anchors;
  {
    SuffixIndex index(old_data);
    lap("suffix array");
    ScanParams params;
    params.min_match = Knob("TW_MIN", params.min_match);
    params.margin = Knob("TW_MARGIN", params.margin);
    params.recheck = Knob("TW_RECHECK", params.recheck);
    params.max_stride = Knob("TW_STRIDE", params.max_stride);
    anchors = FindAnchors(s, index, params);
    lap("anchors");
  }

  std::vector<Layout> layouts;
  const int lookahead = static_cast<int>(Knob("TW_LA", effort == 0 ? 1 : effort == 1 ? 2 : 3));
  layouts.push_back(Layout{1, 0, 0, 255});
  const int max_fixed = effort == 0 ? 2 : effort == 1 ? 4 : 8;
  for (int f = 0; f <= max_fixed; ++f) layouts.push_back(Layout{0, f, 0, 255});

  Candidate best;
  for (const Layout& layout : layouts) {
    Candidate c;
    c.layout = layout;
    c.bits = Coder(s, anchors, layout, lookahead).Code(&c.plan);
    if (Trace()) std::fprintf(stderr, "P%d F%d: %ld\n", layout.period, layout.fixups, c.bits / 8);
    if (c.bits < best.bits) best = std::move(c);
  }
  lap("coding");
  if (Trace()) {
    int64_t copies = 0, far = 0, out = 0, inserted = 0, fixups = 0;
    int64_t cursor = 0;
    for (const PlanOp& op : best.plan) {
      if (!op.copy) {
        inserted += op.length;
        continue;
      }
      ++copies;
      fixups += op.fixups;
      const int64_t off = op.start + op.delta - cursor;
      far += off > 255 || off < -255;
      out += op.start + op.delta >= s.old_size;
      cursor = op.start + op.delta + op.length;
    }
    std::fprintf(stderr, "anchors %zu copies %ld far %ld output %ld fixups %ld inserted %ld\n",
                 anchors.size(), copies, far, out, fixups, inserted);
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
  v.InsertBlockSize = best.layout.block;

  std::vector<DeltaOp> program =
      BuildProgram(s, best.plan, best.layout, v.VersionFlags & kVersionPlainFixups);
  std::vector<PlanOp>().swap(best.plan);
  std::string why;
  if (!EncodeProgram(v, s.new_size, program, &block.Streams, &why)) {
    throw std::logic_error("differ made a program that cannot be encoded: " + why);
  }
  Bytes rebuilt;
  if (!ModelRun(v, old_data, program, &rebuilt) || rebuilt != new_data) {
    throw std::logic_error("differ made a program that does not rebuild the new file");
  }
  for (int i = 0; i < kStreamCount; ++i) {
    v.StreamLength[i] = static_cast<int32_t>(block.Streams.Stream[i].size());
  }
  lap("encoding");
  return block;
}

}  // namespace tw
