#include "classic/tid_sets.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "common/cpu_features.hpp"
#include "common/tuning.hpp"

#ifdef TALLYFOLD_X86_VECTORS
#include <immintrin.h>
#endif

namespace tallyfold {

namespace {

#ifdef TALLYFOLD_X86_VECTORS
// The merge sixteen entries at a time: a block of a is compared with a block of b in every
// rotation of b's lanes (each lane of a meets each of b once), the matches are stored packed,
// and the block with the smaller last entry moves on (both when equal). A scalar merge waits
// on each comparison before its next load, about seven cycles an entry; this takes about one.
// Lists are strictly ascending, so a match is met once, and the matches come out ascending.
// Runs while both lists have a whole block left; returns the positions reached, and adds the
// matches to `n` (writing them to `out` unless it is null).
struct MergeStop {
  std::size_t i, j;
};

TALLYFOLD_AVX512_TARGET MergeStop vector_merge(const std::uint32_t* a, std::size_t na,
                                              const std::uint32_t* b, std::size_t nb,
                                              std::uint32_t* out, std::size_t& n) {
  const __m512i rotate = _mm512_set_epi32(0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  std::size_t i = 0, j = 0;
  while (i + 16 <= na && j + 16 <= nb) {
    const __m512i va = _mm512_loadu_si512(a + i);
    __m512i vb = _mm512_loadu_si512(b + j);
    __mmask16 match = _mm512_cmpeq_epi32_mask(va, vb);
    for (int r = 1; r < 16; ++r) {
      vb = _mm512_permutexvar_epi32(rotate, vb);
      match = static_cast<__mmask16>(match | _mm512_cmpeq_epi32_mask(va, vb));
    }
    if (out != nullptr) _mm512_mask_compressstoreu_epi32(out + n, match, va);
    n += static_cast<std::size_t>(__builtin_popcount(match));
    const std::uint32_t a_last = a[i + 15], b_last = b[j + 15];
    i += a_last <= b_last ? 16 : 0;
    j += b_last <= a_last ? 16 : 0;
  }
  return {i, j};
}
#endif

// The merge's vector part, where the CPU has one and both lists a block: the positions from
// which the scalar merge goes on, the matches so far added to `n`. The block that did not
// move on last was compared in part: its entries up to the other list's last passed entry
// are settled, so the positions are moved past them. Then every match counted lies behind
// both positions (n <= min(i, j), as the scalar merge assumes) and nothing ahead was counted.
MergeStop merge_blocks(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                       std::uint32_t* out, std::size_t& n) {
#ifdef TALLYFOLD_X86_VECTORS
  if (cpu::kAvx512) {
    auto [i, j] = vector_merge(a.data(), a.size(), b.data(), b.size(), out, n);
    if (i > 0)
      while (j < b.size() && b[j] <= a[i - 1]) ++j;
    if (j > 0)
      while (i < a.size() && a[i] <= b[j - 1]) ++i;
    return {i, j};
  }
#endif
  return {0, 0};
}

// First position at or after `from` whose value is >= x: doubling steps, then a binary search
// inside the last step. Cheap when successive probes land close together.
std::size_t gallop(std::span<const std::uint32_t> list, std::size_t from, std::uint32_t x) {
  std::size_t step = 1, hi = from;
  while (hi < list.size() && list[hi] < x) {
    from = hi + 1;
    hi += step;
    step <<= 1;
  }
  hi = std::min(hi, list.size());
  return static_cast<std::size_t>(
      std::lower_bound(list.begin() + static_cast<std::ptrdiff_t>(from),
                       list.begin() + static_cast<std::ptrdiff_t>(hi), x) -
      list.begin());
}

bool gallops(std::size_t shorter, std::size_t longer) {
  return shorter * tuning::kGallopLengthRatio < longer;
}

}  // namespace

std::size_t intersect_lists(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                            std::uint32_t* out) {
  if (a.size() > b.size()) std::swap(a, b);
  std::size_t n = 0;
  if (gallops(a.size(), b.size())) {
    std::size_t j = 0;
    for (std::uint32_t x : a) {
      j = gallop(b, j, x);
      if (j == b.size()) break;
      if (b[j] == x) out[n++] = x;
    }
    return n;
  }
  // Branch-free merge: which side advances is data, not control flow, so unpredictable
  // interleavings cost no mispredictions. The speculative write lands at n <= min(i, j),
  // inside the room `out` has.
  auto [i, j] = merge_blocks(a, b, out, n);
  while (i < a.size() && j < b.size()) {
    const std::uint32_t x = a[i], y = b[j];
    out[n] = x;
    n += x == y;
    i += x <= y;
    j += y <= x;
  }
  return n;
}

std::uint32_t intersect_count(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                              std::uint32_t min_count) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.size() < min_count) return 0;
  std::uint32_t n = 0;
  if (gallops(a.size(), b.size())) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (n + (a.size() - i) < min_count) return n;
      j = gallop(b, j, a[i]);
      if (j == b.size()) break;
      n += b[j] == a[i];
    }
    return n;
  }
  // Long lists take the vector merge first; it does not give up early, which only costs
  // time where the count falls short.
  std::size_t matched = 0;
  auto [i, j] = merge_blocks(a, b, nullptr, matched);
  n = static_cast<std::uint32_t>(matched);
  while (i < a.size() && j < b.size()) {
    if (n + std::min(a.size() - i, b.size() - j) < min_count) return n;
    const std::uint32_t x = a[i], y = b[j];
    n += x == y;
    i += x <= y;
    j += y <= x;
  }
  return n;
}

double intersect_cost(std::size_t a, std::size_t b) {
  const double shorter = static_cast<double>(std::min(a, b));
  const double longer = static_cast<double>(std::max(a, b));
  if (gallops(std::min(a, b), std::max(a, b)))
    return shorter * (1.0 + std::log2(longer / shorter)) * tuning::kGallopProbeCost;
  return a + b;
}

}  // namespace tallyfold
