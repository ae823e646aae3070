#include "package/median.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "packet/error.hpp"

namespace morvane {

namespace {

// The rank of a NaN input: it enters no window.
constexpr std::uint32_t kNoRank = std::numeric_limits<std::uint32_t>::max();

// Order-preserving unsigned keys of floating-point values: a < b implies key(a) < key(b), and
// equal non-zero values have equal keys (-0.0 and +0.0 get neighbouring keys: their median is the
// same number either way). NaN never gets a key, so the all-ones pattern (a NaN's) marks a free
// hash slot.
template <class T>
struct Keys;

template <>
struct Keys<float> {
  using Key = std::uint32_t;
  static constexpr Key kFree = 0xFFFFFFFFu;
  static Key of(float v) noexcept {
    const Key bits = std::bit_cast<Key>(v);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
  }
  static float value(Key k) noexcept {
    return std::bit_cast<float>((k & 0x80000000u) ? (k ^ 0x80000000u) : ~k);
  }
  // Fibonacci hashing: the high bits of the product mix every bit of the key, and quantised
  // samples differ in their low mantissa bits.
  static std::size_t slot(Key k, unsigned bits) noexcept {
    return static_cast<std::size_t>((k * 0x9E3779B1u) >> (32 - bits));
  }
};

template <>
struct Keys<double> {
  using Key = std::uint64_t;
  static constexpr Key kFree = ~Key{0};
  static Key of(double v) noexcept {
    const Key bits = std::bit_cast<Key>(v);
    return (bits >> 63) ? ~bits : (bits | (Key{1} << 63));
  }
  static double value(Key k) noexcept {
    return std::bit_cast<double>((k >> 63) ? (k ^ (Key{1} << 63)) : ~k);
  }
  static std::size_t slot(Key k, unsigned bits) noexcept {
    return static_cast<std::size_t>((k * 0x9E3779B97F4A7C15ull) >> (64 - bits));
  }
};

// The distinct keys of one piece with ids in order of first appearance: open addressing with
// linear probing, kept at most a quarter full so that a probe rarely goes past its first slot.
// Owns its slots; reused from piece to piece.
template <class T>
class DistinctKeys {
 public:
  using Key = typename Keys<T>::Key;

  // Empties the table, keeping its size from the last piece (pieces of one signal hold
  // similar numbers of levels).
  void reset() {
    if (slots_.empty()) slots_.assign(std::size_t{1} << bits_, Slot{Keys<T>::kFree, 0});
    else std::fill(slots_.begin(), slots_.end(), Slot{Keys<T>::kFree, 0});
    count_ = 0;
  }

  std::uint32_t id_of(Key key) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = Keys<T>::slot(key, bits_);
    // The table is never full, so the probe meets the key or a free slot.
    for (;;) {
      const Slot& slot = slots_[s];
      if (slot.key == key) return slot.id;
      if (slot.key == Keys<T>::kFree) break;
      s = (s + 1) & mask;
    }
    const std::uint32_t id = count_++;
    slots_[s] = Slot{key, id};
    if (std::size_t{count_} * 4 > slots_.size()) grow();
    return id;
  }

  std::uint32_t count() const noexcept { return count_; }

  // Replaces `out` with (key, id) of every distinct key, in slot order.
  void collect(std::vector<std::pair<Key, std::uint32_t>>& out) const {
    out.clear();
    out.reserve(count_);
    for (const Slot& slot : slots_) {
      if (slot.key != Keys<T>::kFree) out.emplace_back(slot.key, slot.id);
    }
  }

 private:
  struct Slot {
    Key key;
    std::uint32_t id;
  };

  void grow() {
    std::vector<Slot> old(std::size_t{1} << (bits_ + 1), Slot{Keys<T>::kFree, 0});
    old.swap(slots_);
    ++bits_;
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.key == Keys<T>::kFree) continue;
      std::size_t s = Keys<T>::slot(slot.key, bits_);
      while (slots_[s].key != Keys<T>::kFree) s = (s + 1) & mask;
      slots_[s] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::uint32_t count_ = 0;
  unsigned bits_ = 12;
};

// Layers of counts a piece's histogram may need: 64^4 levels, more than a piece can hold (its
// inputs number at most kMedianPiece + kMaxMedianWindow).
constexpr std::size_t kMaxLayers = 4;
static_assert(kMedianPiece + kMaxMedianWindow <= (std::size_t{1} << 24));

// The layers a histogram of `levels` levels needs: one, then one more for each factor of 64.
std::size_t layers_for(std::size_t levels) noexcept {
  std::size_t depth = 1;
  for (std::size_t size = levels; size > 64; size = (size + 63) / 64) ++depth;
  return depth;
}

// The window's histogram over a piece's levels, with the counts of groups of 64 levels, of
// groups of 64 groups, and so on up to a layer of at most 64 entries: a step of the window
// updates one count per layer, and the occupied level next to the median is found by scanning
// at most 64 entries per layer. Owns its counts; reused from piece to piece.
class LayeredCounts {
 public:
  // Zero counts for `levels` levels in `depth` layers (at least layers_for(levels); a layer
  // beyond those has one entry).
  void reset(std::size_t levels, std::size_t depth) {
    if (depth < layers_for(levels) || depth > kMaxLayers) {
      throw ReaderError::message("rolling median: too many levels");
    }
    depth_ = depth;
    std::size_t size = levels == 0 ? 1 : levels;
    std::size_t total = 0;
    for (std::size_t l = 0; l < depth_; ++l) {
      offset_[l] = total;
      size_[l] = size;
      total += size;
      size = (size + 63) / 64;
    }
    counts_.assign(total, 0);
  }

  std::uint32_t at(std::size_t level) const noexcept { return counts_[level]; }
  std::size_t depth() const noexcept { return depth_; }
  std::uint32_t* layer(std::size_t l) noexcept { return counts_.data() + offset_[l]; }

  void add(std::size_t level) noexcept {
    for (std::size_t l = 0; l < depth_; ++l, level >>= 6) ++counts_[offset_[l] + level];
  }
  void remove(std::size_t level) noexcept {
    for (std::size_t l = 0; l < depth_; ++l, level >>= 6) --counts_[offset_[l] + level];
  }

  // The smallest occupied level above `level`. Throws when there is none (never, while the
  // median's invariant holds).
  std::size_t above(std::size_t level) const {
    std::size_t l = 0;
    std::size_t p = level + 1;  // the first candidate at layer l
    for (;;) {
      const std::size_t end = std::min((p | 63) + 1, size_[l]);
      const std::uint32_t* c = counts_.data() + offset_[l];
      while (p < end && c[p] == 0) ++p;
      if (p < end) break;
      if (++l == depth_) throw ReaderError::message("rolling median: no level above");
      p = ((p - 1) >> 6) + 1;  // the group after the one just scanned
    }
    while (l > 0) {  // the first occupied entry of the group below
      --l;
      const std::uint32_t* c = counts_.data() + offset_[l];
      std::size_t q = p << 6;
      const std::size_t end = std::min(q + 64, size_[l]);
      while (q < end && c[q] == 0) ++q;
      if (q == end) throw ReaderError::message("rolling median: inconsistent counts");
      p = q;
    }
    return p;
  }

  // The largest occupied level below `level`; throws when there is none.
  std::size_t below(std::size_t level) const {
    std::size_t l = 0;
    std::size_t p = level;  // candidates at layer l lie below p
    for (;;) {
      const std::size_t start = (p == 0 ? 0 : (p - 1) & ~std::size_t{63});
      const std::uint32_t* c = counts_.data() + offset_[l];
      while (p > start && c[p - 1] == 0) --p;
      if (p > start) {
        --p;
        break;
      }
      if (++l == depth_ || p == 0) throw ReaderError::message("rolling median: no level below");
      p >>= 6;  // groups before the one just scanned
    }
    while (l > 0) {  // the last occupied entry of the group below
      --l;
      const std::uint32_t* c = counts_.data() + offset_[l];
      const std::size_t first = p << 6;
      std::size_t q = std::min(first + 64, size_[l]);
      while (q > first && c[q - 1] == 0) --q;
      if (q == first) throw ReaderError::message("rolling median: inconsistent counts");
      p = q - 1;
    }
    return p;
  }

 private:
  std::vector<std::uint32_t> counts_;
  std::size_t offset_[kMaxLayers] = {};
  std::size_t size_[kMaxLayers] = {};
  std::size_t depth_ = 0;
};

// One piece: outputs [a, b) of every signal, from inputs [lo, hi) (the outputs' windows clipped
// to their stretch). Positions only; owns nothing.
struct Piece {
  std::size_t a, b;
  std::size_t lo, hi;
};

// Everything one signal of a piece needs; owned, and the allocations kept from piece to piece.
template <class T>
struct Workspace {
  using Key = typename Keys<T>::Key;
  DistinctKeys<T> distinct;
  std::vector<std::pair<Key, std::uint32_t>> sorted;
  std::vector<std::uint32_t> rank_of_id;
  // per input of the piece: its id, replaced by its rank when it enters the window
  std::vector<std::uint32_t> ranks;
  std::vector<double> level_value;  // the value of each rank
  LayeredCounts counts;
};

// Gives each input of the piece its id among the distinct values (by first appearance) and each
// id its rank among them in order; returns the number of distinct values.
template <class T>
std::uint32_t rank_levels(const T* x, const Piece& p, Workspace<T>& ws) {
  const std::size_t n_in = p.hi - p.lo;
  ws.distinct.reset();
  ws.ranks.resize(n_in);
  std::uint32_t* ranks = ws.ranks.data();
  for (std::size_t j = 0; j < n_in; ++j) {
    const T v = x[p.lo + j];
    ranks[j] = std::isnan(v) ? kNoRank : ws.distinct.id_of(Keys<T>::of(v));
  }
  const std::uint32_t levels = ws.distinct.count();
  ws.distinct.collect(ws.sorted);
  std::sort(ws.sorted.begin(), ws.sorted.end());
  ws.rank_of_id.resize(levels);
  ws.level_value.resize(levels);
  for (std::uint32_t r = 0; r < levels; ++r) {
    ws.rank_of_id[ws.sorted[r].second] = r;
    ws.level_value[r] = static_cast<double>(Keys<T>::value(ws.sorted[r].first));
  }
  return levels;
}

// The median of the window [l, r) of one signal of a piece as it slides, in piece positions. `n`
// values are in it (NaN left out), `below` of them under level `m`; after fix(), while n > 0,
// below <= k < below + count(m) for k = (n - 1) / 2, the lower middle's place. Borrows the
// workspace's arrays.
struct Slider {
  std::uint32_t* ranks;
  const std::uint32_t* rank_of_id;
  const double* value;
  LayeredCounts* counts;
  std::size_t l = 0, r = 0;
  std::size_t n = 0, below = 0, m = 0;

  void insert_to(std::size_t to) {
    for (; r < to; ++r) {
      const std::uint32_t id = ranks[r];
      if (id == kNoRank) continue;
      const std::uint32_t q = rank_of_id[id];
      ranks[r] = q;
      if (n == 0) {
        m = q;
        below = 0;
      }
      below += q < m;
      counts->add(q);
      ++n;
    }
  }

  void remove_to(std::size_t to) {
    for (; l < to; ++l) {
      const std::uint32_t q = ranks[l];
      if (q == kNoRank) continue;
      below -= q < m;
      counts->remove(q);
      --n;
    }
  }

  void fix(std::size_t k) {
    while (below > k) {
      m = counts->below(m);
      below -= counts->at(m);
    }
    while (below + counts->at(m) <= k) {
      below += counts->at(m);
      m = counts->above(m);
    }
  }

  double median() {
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t k = (n - 1) / 2;
    fix(k);
    const double lower = value[m];
    if (n & 1) return lower;
    // the upper middle shares the level or sits on the next occupied one
    const double upper = below + counts->at(m) > k + 1 ? lower : value[counts->above(m)];
    return (lower + upper) / 2.0;
  }
};

// `steps` steps of a full window: at each, the value at r enters and the value at l leaves. The
// state lives in locals that the compiler keeps in registers, the count at the median's level
// among them, so that no step waits for its own stores to reach a load. A NaN entering or leaving
// takes the general moves for that step.
template <std::size_t Depth>
void slide_full(Slider& sl, std::size_t steps, double* out) {
  std::uint32_t* layer[Depth];
  for (std::size_t d = 0; d < Depth; ++d) layer[d] = sl.counts->layer(d);
  std::uint32_t* const ranks = sl.ranks;
  const std::uint32_t* const rank_of_id = sl.rank_of_id;
  const double* const value = sl.value;
  std::size_t l = sl.l, r = sl.r, below = sl.below, m = sl.m, n = sl.n;
  std::size_t at_m = sl.counts->at(m);
  for (std::size_t j = 0; j < steps; ++j) {
    const std::uint32_t id = ranks[r];
    const std::uint32_t gone = ranks[l];
    if (id == kNoRank || gone == kNoRank || n == 0) [[unlikely]] {
      sl.l = l, sl.r = r, sl.below = below, sl.m = m;
      sl.insert_to(r + 1);
      sl.remove_to(l + 1);
      out[j] = sl.median();
      l = sl.l, r = sl.r, below = sl.below, m = sl.m, n = sl.n;
      at_m = sl.counts->at(m);
      continue;
    }
    const std::uint32_t in = rank_of_id[id];
    ranks[r] = in;
    ++r;
    ++l;
    // which side of the median a value falls is a coin toss the branch predictor cannot
    // learn: count it as a number, not a branch
    below = below + static_cast<std::size_t>(in < m) - static_cast<std::size_t>(gone < m);
    at_m = at_m + static_cast<std::size_t>(in == m) - static_cast<std::size_t>(gone == m);
    ++layer[0][in];
    --layer[0][gone];
    // a group's count changes only when the two values lie in different groups; skipping the
    // add and the subtract then spares a chain of stores to one address from step to step
    for (std::size_t d = 1; d < Depth; ++d) {
      const std::size_t gi = in >> (6 * d), go = gone >> (6 * d);
      if (gi == go) break;
      ++layer[d][gi];
      --layer[d][go];
    }
    const std::size_t k = (n - 1) / 2;
    if (below > k || below + at_m <= k) [[unlikely]] {
      sl.below = below, sl.m = m;
      sl.fix(k);
      below = sl.below, m = sl.m;
      at_m = layer[0][m];
    }
    const double lower = value[m];
    if (n & 1) {
      out[j] = lower;
    } else {
      // the upper middle shares the level or sits on the next occupied one
      out[j] = (lower + (below + at_m > k + 1 ? lower : value[sl.counts->above(m)])) / 2.0;
    }
  }
  sl.l = l, sl.r = r, sl.below = below, sl.m = m, sl.n = n;
}

// The outputs of one piece of one signal; out receives output p.a first.
template <class T>
void median_piece(const T* x, const Piece& p, std::size_t before, std::size_t after, double* out,
                  Workspace<T>& ws) {
  const std::uint32_t levels = rank_levels(x, p, ws);
  const std::size_t depth = layers_for(levels);
  ws.counts.reset(levels, depth);
  Slider sl{ws.ranks.data(), ws.rank_of_id.data(), ws.level_value.data(), &ws.counts};

  // Output i's window is [i - before, i + after] clipped to [lo, hi). Where neither clip
  // applies to it nor to output i - 1, one value enters and one leaves.
  auto general = [&](std::size_t i) {
    sl.insert_to(std::min(p.hi, i + after + 1) - p.lo);
    sl.remove_to(std::max(p.lo, i >= before ? i - before : 0) - p.lo);
    out[i - p.a] = sl.median();
  };
  const std::size_t full_begin = std::max(p.a + 1, p.lo + before + 1);
  const std::size_t full_end = std::min(p.b, p.hi >= after ? p.hi - after : 0);
  std::size_t i = p.a;
  for (; i < p.b && i < full_begin; ++i) general(i);
  if (i < full_end) {
    double* o = out + (i - p.a);
    const std::size_t steps = full_end - i;
    switch (depth) {
      case 1: slide_full<1>(sl, steps, o); break;
      case 2: slide_full<2>(sl, steps, o); break;
      case 3: slide_full<3>(sl, steps, o); break;
      default: slide_full<4>(sl, steps, o); break;
    }
    i = full_end;
  }
  for (; i < p.b; ++i) general(i);
}

std::vector<Piece> plan_pieces(const MedianRequest& q, std::size_t length, std::size_t before,
                               std::size_t after) {
  std::vector<Piece> pieces;
  auto add_stretch = [&](std::size_t s0, std::size_t s1) {
    const std::size_t a0 = std::max(s0, q.begin);
    const std::size_t b0 = std::min(s1, q.end);
    for (std::size_t a = a0; a < b0; a += kMedianPiece) {
      const std::size_t b = a + std::min(kMedianPiece, b0 - a);
      const std::size_t lo = std::max(s0, a >= before ? a - before : 0);
      // b <= length and after < kMaxMedianWindow, so the sum cannot wrap
      const std::size_t hi = std::min(s1, b + after);
      pieces.push_back(Piece{a, b, lo, hi});
    }
  };
  if (q.stretches.empty()) {
    add_stretch(0, length);
  } else {
    for (std::size_t i = 0; i + 1 < q.stretches.size(); ++i) {
      const auto s0 = static_cast<std::size_t>(q.stretches[i]);
      const auto s1 = static_cast<std::size_t>(q.stretches[i + 1]);
      if (s1 > q.begin && s0 < q.end) add_stretch(s0, s1);
    }
  }
  return pieces;
}

template <class T>
void run(std::span<const MedianSignal<T>> signals, const MedianRequest& q) {
  if (signals.empty()) return;
  const std::size_t length = signals[0].values.size();
  for (const MedianSignal<T>& s : signals) {
    if (s.values.size() != length) throw ReaderError::message("all signals must have one length");
  }
  check_median_request(q, length);
  const std::size_t before = q.window / 2;
  const std::size_t after = q.window - 1 - before;
  const std::vector<Piece> pieces = plan_pieces(q, length, before, after);
  // a task: one piece of one signal
  const std::size_t tasks = pieces.size() * signals.size();

  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_lock;
  auto work = [&]() noexcept {
    try {
      Workspace<T> ws;
      for (;;) {
        if (failed.load(std::memory_order_relaxed)) return;
        const std::size_t t = next.fetch_add(1, std::memory_order_relaxed);
        if (t >= tasks) return;
        const Piece& p = pieces[t / signals.size()];
        const MedianSignal<T>& s = signals[t % signals.size()];
        median_piece(s.values.data(), p, before, after, s.out + (p.a - q.begin), ws);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> hold(error_lock);
      if (!error) error = std::current_exception();
      failed = true;
    }
  };

  const std::size_t wanted = std::min<std::size_t>(std::max(q.threads, 1u), tasks);
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < wanted; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the ones running share the pieces
    }
  }
  work();
  for (std::thread& t : helpers) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace

void check_median_request(const MedianRequest& q, std::size_t length) {
  if (q.window == 0) throw ReaderError::message("window must be at least 1 sample");
  if (q.window > kMaxMedianWindow) {
    throw ReaderError::message("window must be at most " + std::to_string(kMaxMedianWindow) +
                               " samples");
  }
  if (q.begin > q.end || q.end > length) {
    throw ReaderError::message("begin and end must satisfy 0 <= begin <= end <= " +
                               std::to_string(length));
  }
  if (q.stretches.empty()) return;
  const std::size_t last = q.stretches.size() - 1;
  if (q.stretches.size() < 2 || q.stretches[0] != 0 ||
      static_cast<std::uint64_t>(q.stretches[last]) != length) {
    throw ReaderError::message("stretches must run from 0 to the input's length (" +
                               std::to_string(length) + ")");
  }
  for (std::size_t i = 0; i < last; ++i) {
    if (q.stretches[i + 1] < q.stretches[i]) {
      throw ReaderError::message("stretches must not decrease");
    }
  }
}

void rolling_median(std::span<const MedianSignal<float>> signals, const MedianRequest& request) {
  run<float>(signals, request);
}

void rolling_median(std::span<const MedianSignal<double>> signals, const MedianRequest& request) {
  run<double>(signals, request);
}

}  // namespace morvane
