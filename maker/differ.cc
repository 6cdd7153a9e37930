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
// Segmentation: the new file cut into stretches, each an approximate match of
// the old file at one alignment followed by bytes that match nothing. The
// scan takes a new alignment only where its match is clearly longer than what
// the current alignment still matches, then stretches both neighbours over
// mismatching bytes as long as they stay more right than wrong.

struct Segment {
  int64_t start = 0;    // first new byte
  int64_t aligned = 0;  // new bytes that follow the alignment
  int64_t end = 0;      // the next segment's start
  Alignment align;
};

std::vector<Segment> FindSegments(const Space& s, const SuffixIndex& index, int64_t threshold) {
  const int64_t n = s.new_size, o = s.old_size;
  const u8* nw = s.nw;
  const u8* old = s.old;
  auto same = [&](int64_t i, int64_t p) { return p >= 0 && p < o && old[p] == nw[i]; };

  std::vector<Segment> out;
  int64_t scan = 0, len = 0, pos = 0;
  int64_t last_scan = 0, last_pos = 0, last_offset = 0;
  while (scan < n) {
    int64_t old_score = 0;
    int64_t scsc = scan += len;
    for (; scan < n; ++scan) {
      len = o > 0 ? index.Longest(nw + scan, n - scan, &pos) : 0;
      for (; scsc < scan + len; ++scsc) old_score += same(scsc, scsc + last_offset);
      if ((len == old_score && len != 0) || len > old_score + threshold) break;
      old_score -= same(scan, scan + last_offset);
    }
    if (len == old_score && scan != n) continue;

    // Forward from the last match: the length with the best balance of
    // matching over mismatching bytes.
    int64_t len_f = 0;
    for (int64_t i = 0, score = 0, best = 0; last_scan + i < scan && last_pos + i < o;) {
      score += old[last_pos + i] == nw[last_scan + i] ? 1 : -1;
      ++i;
      if (score > best) {
        best = score;
        len_f = i;
      }
    }
    // Backward from the new match.
    int64_t len_b = 0;
    if (scan < n) {
      for (int64_t i = 1, score = 0, best = 0; scan >= last_scan + i && pos >= i; ++i) {
        score += old[pos - i] == nw[scan - i] ? 1 : -1;
        if (score > best) {
          best = score;
          len_b = i;
        }
      }
    }
    // Where the two overlap, split at the point that keeps the most matches.
    if (last_scan + len_f > scan - len_b) {
      const int64_t overlap = (last_scan + len_f) - (scan - len_b);
      int64_t score = 0, best = 0, keep = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        score += same(last_scan + len_f - overlap + i, last_pos + len_f - overlap + i);
        score -= same(scan - len_b + i, pos - len_b + i);
        if (score > best) {
          best = score;
          keep = i + 1;
        }
      }
      len_f += keep - overlap;
      len_b -= keep;
    }
    Segment seg;
    seg.start = last_scan;
    seg.aligned = len_f;
    seg.end = scan - len_b;
    seg.align.delta = last_pos - last_scan;
    if (seg.end > seg.start) out.push_back(seg);
    last_scan = scan - len_b;
    last_pos = pos - len_b;
    last_offset = pos - scan;
  }
  if (out.empty() && n > 0) out.push_back(Segment{0, 0, n, {}});
  // The segments must tile the new file.
  out.front().start = 0;
  for (size_t i = 0; i + 1 < out.size(); ++i) out[i].end = out[i + 1].start;
  out.back().end = n;
  return out;
}

// ---------------------------------------------------------------------------
// Encoding the segments: a cheapest-path search per segment over the places
// where a copy (with its fix-up bytes) may end, priced in the bits of this
// exact stream format.

struct Layout {
  uint16_t period = 0;  // 0: one count byte for the version; 1: one per copy
  int fixups = 0;       // with period 0: the fix-up bytes after every copy
  uint8_t flags = 0;    // kVersionRangeIsSum or 0
  uint8_t block = 255;
};

struct PlanOp {
  bool copy = false;
  int64_t start = 0;   // first new byte the op writes
  int64_t length = 0;  // copy: bytes copied (fix-up bytes follow); insert: run length
  int64_t delta = 0;   // copy: combined position = start + delta
  int fixups = 0;
};

// The decoder's state between instructions, as far as prices depend on it.
struct Cursor {
  int64_t pos = 0;       // reference cursor (combined)
  int64_t last_pos = 0;  // start of the last copy (combined)
  int fixups = 0;
  bool copied = false;
  bool after_insert = false;
};

class SegmentCoder {
 public:
  SegmentCoder(const Space& s, const Layout& layout, int lookahead)
      : s_(s),
        layout_(layout),
        width_(layout.flags & kVersionRangeIsSum ? s.old_size + s.new_size
                                                 : std::max(s.old_size, s.new_size)),
        lookahead_(lookahead) {}

  // Appends the cheapest ops for the segment to *plan; returns their bits.
  int64_t Code(const Segment& seg, Cursor* cur, std::vector<PlanOp>* plan);

 private:
  struct Node {
    int64_t pos = 0;   // new position after the copy and its fix-up bytes
    int64_t cost = 0;  // bits since the segment start
    int32_t parent = -1;
    int64_t copy_start = 0, copy_len = 0;
    int fixups = 0;
  };

  int64_t InsertBits(int64_t n, bool merged) const {
    const int64_t blocks = std::max<int64_t>(1, n / layout_.block);
    return (merged ? 0 : width_.Bits(-n)) + 8 * n + blocks;
  }
  Cursor CursorAt(const Node& node) const;
  // The longest copy at new position j such that its bytes and the f
  // reference bytes after them can be read; -1 when there is none.
  int64_t CopyRoom(int64_t j, int64_t f) const;
  void Relax(const Node& from, int32_t from_index, int64_t j, int64_t c, int f);
  void Expand(int32_t index);
  void Emit(int32_t last, int64_t tail_end, std::vector<PlanOp>* plan);

  const Space& s_;
  Layout layout_;
  NumberWidth width_;
  int lookahead_;

  // Per segment.
  Segment seg_;
  Cursor root_cursor_;
  std::vector<Node> nodes_;
  std::map<int64_t, int32_t> frontier_;
  int64_t best_end_cost_ = 0;
  int32_t best_end_ = -1;
};

Cursor SegmentCoder::CursorAt(const Node& node) const {
  if (node.parent < 0) return root_cursor_;
  Cursor c;
  c.pos = node.copy_start + node.copy_len + seg_.align.delta;
  c.last_pos = node.copy_start + seg_.align.delta;
  c.fixups = node.fixups;
  c.copied = true;
  return c;
}

int64_t SegmentCoder::CopyRoom(int64_t j, int64_t f) const {
  int64_t room = seg_.end - j - f;
  const int64_t p = j + seg_.align.delta;
  if (!seg_.align.output) {
    if (p < 0) return -1;
    room = std::min(room, s_.old_size - p - f);
  } else {
    // Pieces of 1,000 bytes are read before they are written, and the
    // reference bytes after the copy must already be there.
    const int64_t dist = j - (p - s_.old_size);
    if (f > dist) return -1;
    if (dist < 1000) room = std::min(room, dist);
  }
  return room;
}

void SegmentCoder::Relax(const Node& from, int32_t from_index, int64_t j, int64_t c, int f) {
  if (c < 1) return;
  const Cursor cur = CursorAt(from);
  const int64_t offset = j + seg_.align.delta - cur.pos;
  if (!width_.Fits(offset)) return;
  const bool count_byte = layout_.period == 1 || !cur.copied;
  int64_t cost = from.cost + width_.Bits(c) + width_.Bits(offset) + 8 * f + (count_byte ? 8 : 0);
  if (j > from.pos) cost += InsertBits(j - from.pos, from.parent < 0 && cur.after_insert);
  const int64_t pos = j + c + f;
  auto it = frontier_.find(pos);
  if (it != frontier_.end() && nodes_[it->second].cost <= cost) return;
  Node n;
  n.pos = pos;
  n.cost = cost;
  n.parent = from_index;
  n.copy_start = j;
  n.copy_len = c;
  n.fixups = f;
  if (it != frontier_.end()) {
    nodes_[it->second] = n;
  } else {
    nodes_.push_back(n);
    frontier_.emplace(pos, static_cast<int32_t>(nodes_.size() - 1));
  }
}

void SegmentCoder::Expand(int32_t index) {
  const Node node = nodes_[index];
  const Cursor cur = CursorAt(node);
  const int64_t e = node.pos, end = seg_.end;
  const int64_t aligned_end = seg_.start + seg_.aligned;

  // Ending the segment here: the rest is one insert run.
  const int64_t end_cost =
      node.cost + (e < end ? InsertBits(end - e, node.parent < 0 && cur.after_insert) : 0);
  if (best_end_ < 0 || end_cost < best_end_cost_) {
    best_end_cost_ = end_cost;
    best_end_ = index;
  }
  if (e >= aligned_end) return;

  // Copies may start here or at the next few runs of matching bytes.
  const int fixed = layout_.fixups;
  int starts = 0;
  for (int64_t j = e; j < aligned_end && starts < lookahead_;) {
    const int64_t run = RunLength(s_, seg_.align, j, end - j);
    if (run == 0) {
      ++j;
      continue;
    }
    if (j == e || run >= 2) {
      ++starts;
      if (layout_.period != 1) {
        const int64_t room = CopyRoom(j, fixed);
        Relax(node, index, j, std::min(run, room), fixed);
      } else {
        const int64_t c = std::min(run, CopyRoom(j, 0));
        if (c >= 1) {
          Relax(node, index, j, c, 0);
          // Fix-up windows that reach over the next mismatches to a run.
          const int64_t m = j + c;
          int windows = 0;
          for (int64_t q = m + 1; q < end && q - m <= 255 && windows < lookahead_;) {
            const int64_t r = RunLength(s_, seg_.align, q, end - q);
            if (r == 0) {
              ++q;
              continue;
            }
            if (r >= 2 || q + r == end) {
              if (CopyRoom(j, q - m) >= c) {
                Relax(node, index, j, c, static_cast<int>(q - m));
                ++windows;
              }
            }
            q += r;
          }
          if (end - m <= 255 && end > m && CopyRoom(j, end - m) >= c) {
            Relax(node, index, j, c, static_cast<int>(end - m));
          }
        }
      }
    }
    j += run;
  }
}

void SegmentCoder::Emit(int32_t last, int64_t tail_end, std::vector<PlanOp>* plan) {
  std::vector<int32_t> path;
  for (int32_t i = last; i >= 0 && nodes_[i].parent >= 0; i = nodes_[i].parent) path.push_back(i);
  std::reverse(path.begin(), path.end());
  for (int32_t i : path) {
    const Node& n = nodes_[i];
    const int64_t from = nodes_[n.parent].pos;
    if (n.copy_start > from) plan->push_back({false, from, n.copy_start - from, 0, 0});
    plan->push_back({true, n.copy_start, n.copy_len, seg_.align.delta, n.fixups});
  }
  const int64_t pos = nodes_[last].pos;
  if (tail_end > pos) plan->push_back({false, pos, tail_end - pos, 0, 0});
}

int64_t SegmentCoder::Code(const Segment& seg, Cursor* cur, std::vector<PlanOp>* plan) {
  seg_ = seg;
  root_cursor_ = *cur;
  nodes_.assign(1, Node{seg.start, 0, -1, 0, 0, 0});
  frontier_.clear();
  frontier_.emplace(seg.start, 0);
  best_end_ = -1;
  best_end_cost_ = 0;
  while (!frontier_.empty()) {
    const int32_t index = frontier_.begin()->second;
    frontier_.erase(frontier_.begin());
    const Node& node = nodes_[index];
    if (best_end_ >= 0 && node.cost >= best_end_cost_) continue;
    // When every path goes through this node and it can end no worse than
    // anything seen so far, the path up to it is settled: emit it.
    if (frontier_.empty() && node.parent >= 0 &&
        node.cost + InsertBits(seg.end - node.pos, false) <= best_end_cost_) {
      Emit(index, node.pos, plan);
      Node root = node;
      root_cursor_ = CursorAt(node);
      root.parent = -1;
      nodes_.assign(1, root);
      best_end_ = -1;
      Expand(0);
      continue;
    }
    Expand(index);
  }
  const Node& last = nodes_[best_end_];
  Cursor out = CursorAt(last);
  out.after_insert = last.pos < seg.end || (last.parent < 0 && cur->after_insert);
  Emit(best_end_, seg.end, plan);
  *cur = out;
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
  Cursor cur;
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

Candidate CodeAll(const Space& s, const std::vector<Segment>& segments, const Layout& layout,
                  int lookahead) {
  Candidate c;
  c.layout = layout;
  c.bits = 0;
  SegmentCoder coder(s, layout, lookahead);
  Cursor cur;
  for (const Segment& seg : segments) c.bits += coder.Code(seg, &cur, &c.plan);
  return c;
}

}  // namespace

VersionBlock MakeVersion(const Bytes& old_data, const Bytes& new_data,
                         ExcludedRegion source_excluded, const DiffOptions& options) {
  if (old_data.size() > 0x7FFFFFFF || new_data.size() > 0x7FFFFFFF ||
      old_data.size() + new_data.size() > 0x7FFFFFFF) {
    throw std::length_error("files too large for the patch format");
  }
  const int effort = std::clamp(options.effort, 0, 3);
  const Space s{old_data.data(), static_cast<int64_t>(old_data.size()), new_data.data(),
                static_cast<int64_t>(new_data.size())};

  std::vector<Segment> segments;
  auto T0 = std::chrono::steady_clock::now();
  auto lap = [&](const char* what) { if (getenv("TW_STATS")) fprintf(stderr, "%s %.2f\n", what, std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count()); };
  {
    SuffixIndex index(old_data);
    lap("sa");
    segments = FindSegments(s, index, 8);
    lap("seg");
  }

  std::vector<Layout> layouts;
  const int lookahead = effort == 0 ? 1 : effort == 1 ? 2 : effort == 2 ? 3 : 5;
  layouts.push_back(Layout{1, 0, 0, 255});
  const int max_fixed = effort == 0 ? 2 : effort == 1 ? 4 : 8;
  for (int f = 0; f <= max_fixed; ++f) layouts.push_back(Layout{0, f, 0, 255});

  Candidate best;
  for (const Layout& layout : layouts) {
    Candidate c = CodeAll(s, segments, layout, lookahead);
    if (getenv("TW_STATS")) fprintf(stderr, "layout P%d F%d: %ld bytes\n", layout.period, layout.fixups, c.bits/8);
    if (c.bits < best.bits) best = std::move(c);
  }

  lap("dp");
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

  if (getenv("TW_STATS")) {
    int64_t fh[17] = {}, copies = 0, len2 = 0, ins = 0, insb = 0, offbig = 0, cost = 0;
    Cursor cc;
    for (const PlanOp& op : best.plan) {
      if (op.copy) { copies++; fh[std::min(op.fixups,16)]++; len2 += op.length > 255;
        int64_t off = op.start + op.delta - cc.pos; offbig += off > 255 || off < -255;
        cc.pos = op.start + op.delta + op.length; }
      else { ins++; insb += op.length; }
    }
    for (const PlanOp& op : best.plan) if (op.copy) for (int k = 0; k < op.fixups; ++k) cost += s.nw[op.start+op.length+k] == s.At(op.start+op.delta+op.length+k);
    fprintf(stderr, "zero-diff fixup bytes %ld\n", cost);
    fprintf(stderr, "segments %zu copies %ld len>255 %ld offbig %ld inserts %ld bytes %ld\nF:", segments.size(), copies, len2, offbig, ins, insb);
    for (int i = 0; i < 17; ++i) fprintf(stderr, " %ld", fh[i]);
    fprintf(stderr, "\n");
  }
  const std::vector<DeltaOp> program =
      BuildProgram(s, best.plan, best.layout, v.VersionFlags & kVersionPlainFixups);
  std::string why;
  if (!EncodeProgram(v, s.new_size, program, &block.Streams, &why)) {
    throw std::logic_error("differ made a program that cannot be encoded: " + why);
  }
  Bytes rebuilt;
  int message = -1;
  if (!ModelRun(v, old_data, program, &rebuilt, &message) || rebuilt != new_data) {
    throw std::logic_error("differ made a program that does not rebuild the new file");
  }
  for (int i = 0; i < kStreamCount; ++i) {
    v.StreamLength[i] = static_cast<int32_t>(block.Streams.Stream[i].size());
  }
  return block;
}

}  // namespace tw
