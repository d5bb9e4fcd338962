// The bitset memo's storage: sets stay intact across blocks, joins, dropped rooms and reuse
// after clear(), and freeing spent sets block by block never takes a set still to be read
// (under the sanitizer build a freed block read here is reported, not silently passed).
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "check.hpp"
#include "itemsets/bitset_memo.hpp"

using namespace tallyfold;

namespace {

constexpr std::size_t kWords = 100;  // 800-byte sets: the first 16 KiB block holds 20

// A set whose every word names its row, so a set read from the wrong room shows.
void commit_row(BitsetMemo& memo, std::uint32_t row, std::size_t used = kWords) {
  std::uint64_t* room = memo.scratch_bits();
  std::fill(room, room + used, 0x9E3779B97F4A7C15ull * (row + 1));
  const std::uint32_t items[2] = {row, row + 1};
  memo.commit(items, row, used);
}

bool intact(const BitsetMemo& memo, std::size_t r, std::size_t used = kWords) {
  const std::uint64_t* bits = memo.bits(r);
  if (bits == nullptr) return false;
  const std::uint64_t want = 0x9E3779B97F4A7C15ull * (memo.row(r)[0] + 1);
  return std::all_of(bits, bits + used, [&](std::uint64_t w) { return w == want; });
}

// Sibling groups of `sizes` over rows in order (one group after another).
MemoSiblings groups_of(const std::vector<std::uint32_t>& sizes) {
  MemoSiblings g;
  for (std::uint32_t size : sizes) {
    const auto end = static_cast<std::uint32_t>(g.order.size() + size);
    for (std::uint32_t i = 0; i < size; ++i) {
      g.order.push_back(static_cast<std::uint32_t>(g.order.size()));
      g.group_end.push_back(end);
    }
  }
  return g;
}

}  // namespace

int main() {
  {  // Many blocks, growing; a dropped last set gives its room to the next row.
    BitsetMemo memo(2, kWords);
    for (std::uint32_t r = 0; r < 500; ++r) {
      commit_row(memo, r);
      if (r % 7 == 6) memo.drop_last_set();
    }
    bool all = true;
    for (std::size_t r = 0; r < memo.size(); ++r)
      all = all && (r % 7 == 6 ? memo.bits(r) == nullptr : intact(memo, r));
    CHECK(memo.size() == 500 && all);
  }
  {  // Parts joined in order keep their rows and sets; a counts-only memo has no sets.
    std::vector<BitsetMemo> parts;
    for (std::uint32_t p = 0; p < 3; ++p) {
      parts.emplace_back(2, kWords);
      for (std::uint32_t r = 0; r < 60; ++r) commit_row(parts.back(), p * 60 + r);
    }
    BitsetMemo joined = join_parts(parts, 2, kWords);
    bool all = joined.size() == 180;
    for (std::size_t r = 0; r < joined.size(); ++r)
      all = all && joined.row(r)[0] == r && intact(joined, r);
    CHECK(all);
    BitsetMemo counts(2, 0);
    CHECK(counts.scratch_bits() == nullptr);
    const std::uint32_t items[2] = {1, 2};
    counts.commit(items, 5);
    CHECK(counts.size() == 1 && counts.bits(0) == nullptr && counts.count(0) == 5);
  }
  {  // Refilled after clear(), the memo holds only the new rows, each intact.
    BitsetMemo memo(2, kWords);
    for (std::uint32_t round = 0; round < 3; ++round) {
      memo.clear();
      for (std::uint32_t r = 0; r < 50 + 20 * round; ++r) commit_row(memo, round * 1000 + r);
      bool all = memo.size() == 50 + 20 * round;
      for (std::size_t r = 0; r < memo.size(); ++r) all = all && intact(memo, r);
      CHECK(all);
    }
  }
  {  // Boundaries move forward to group starts; no range is empty or split a group.
    const MemoSiblings g = groups_of({3, 1, 5, 2, 4});
    const std::vector<IndexRange> ranges =
        whole_groups({{0, 2}, {2, 4}, {4, 6}, {6, 10}, {10, 15}}, g);
    std::vector<std::pair<std::size_t, std::size_t>> got;
    for (const IndexRange& r : ranges) got.emplace_back(r.begin, r.end);
    const std::vector<std::pair<std::size_t, std::size_t>> want{{0, 3}, {3, 4}, {4, 9}, {9, 11}, {11, 15}};
    CHECK(got == want);
  }
  {  // Spending groups on two threads: every set not yet spent stays readable until its
     // group is done, though the blocks around it are freed meanwhile.
    std::mt19937 rng(5);
    std::vector<std::uint32_t> sizes;
    std::uint32_t rows = 0;
    while (rows < 2000) {
      sizes.push_back(1 + rng() % 9);
      rows += sizes.back();
    }
    const MemoSiblings g = groups_of(sizes);
    std::vector<BitsetMemo> parts;
    for (std::uint32_t p = 0; p < 4; ++p) parts.emplace_back(2, kWords);
    for (std::uint32_t r = 0; r < rows; ++r) commit_row(parts[r * 4 / rows], r);
    BitsetMemo memo = join_parts(parts, 2, kWords);
    SpentSets spent(memo);
    const std::vector<IndexRange> halves = whole_groups({{0, rows / 2}, {rows / 2, rows}}, g);
    std::vector<int> ok(halves.size(), 1);
    std::vector<std::thread> threads;
    for (std::size_t h = 0; h < halves.size(); ++h)
      threads.emplace_back([&, h] {
        for (std::size_t i = halves[h].begin; i < halves[h].end; ++i) {
          for (std::size_t j = i; j < g.group_end[i]; ++j)
            if (!intact(memo, g.order[j])) ok[h] = 0;
          spend_group_ending_at(&spent, g, i);
        }
      });
    for (std::thread& t : threads) t.join();
    bool gone = true;
    for (std::size_t r = 0; r < rows; ++r) gone = gone && memo.bits(r) == nullptr;
    CHECK(std::all_of(ok.begin(), ok.end(), [](int v) { return v == 1; }));
    CHECK(gone && memo.size() == rows && memo.count(rows - 1) == rows - 1);
  }
  return check_failures() == 0 ? 0 : 1;
}
