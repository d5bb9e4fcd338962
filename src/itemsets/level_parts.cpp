#include "itemsets/level_parts.hpp"

#include <algorithm>
#include <array>

#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "common/large_page_vector.hpp"
#include "common/parallel.hpp"
#include "common/row_order.hpp"
#include "common/spare_capacity.hpp"
#include "common/tuning.hpp"
#include "common/uninit_vector.hpp"

namespace tallyfold {

ItemsetTable join_level_parts(std::size_t width, std::vector<LevelPart>& parts) {
  if (parts.size() == 1)
    return ItemsetTable::from_distinct_rows(width, std::move(parts[0].items),
                                            std::move(parts[0].counts));
  std::size_t total = 0;
  for (LevelPart& part : parts) {
    drop_spare_capacity(part.items);
    drop_spare_capacity(part.counts);
    total += part.counts.size();
  }
  std::vector<std::uint32_t> items, counts;
  items.reserve(total * width);
  counts.reserve(total);
  for (LevelPart& part : parts) {
    throw_if_cancelled();
    items.insert(items.end(), part.items.begin(), part.items.end());
    counts.insert(counts.end(), part.counts.begin(), part.counts.end());
    part = LevelPart{};
  }
  return ItemsetTable::from_distinct_rows(width, std::move(items), std::move(counts));
}

namespace {

// Each part's rows as one word each, sorted: the row's items, most significant first, above
// the row's count where the count fits beside them, otherwise above its number within the
// part (the count is then read from the part).
struct PackedPart {
  UninitVector<std::uint64_t> words;
  std::size_t next = 0;  // first word not yet merged
};

// Packs the part chunk by chunk, freeing each chunk once packed (its counts too when they go
// into the words), so the part's rows and their words are never all held at once.
void pack_sorted(RowChunks& part, unsigned item_bits, unsigned low_bits, bool counts_packed,
                 PackedPart& out) {
  out.words.resize(part.size());
  for (std::size_t c = 0; c < part.chunks(); ++c) {
    const std::size_t end = std::min(part.size(), (c + 1) * RowChunks::kChunkRows);
    for (std::size_t r = c * RowChunks::kChunkRows; r < end; ++r)
      out.words[r] = (packed_row(part.row(r), item_bits) << low_bits) |
                     (counts_packed ? part.count(r) : r);
    part.release_chunk(c, counts_packed);
  }
  // Sorted by the items' bits, the words are in the rows' lexicographic order.
  radix_sort_bits(out.words, low_bits, static_cast<unsigned>(low_bits + item_bits * part.width()));
}

// Rows too wide to pack: the parts copied back to back into one table and sorted there.
ItemsetTable sorted_copy(std::size_t width, std::size_t total, std::vector<RowChunks>& parts) {
  std::vector<std::uint32_t> items, counts;
  items.reserve(total * width);
  counts.reserve(total);
  for (RowChunks& part : parts) {
    throw_if_cancelled();
    for (std::size_t r = 0; r < part.size(); ++r) {
      const auto row = part.row(r);
      items.insert(items.end(), row.begin(), row.end());
      counts.push_back(part.count(r));
    }
    part = RowChunks(width);
  }
  return ItemsetTable::from_distinct_rows(width, std::move(items), std::move(counts))
      .in_lexicographic_order();
}

}  // namespace

ItemsetTable join_chunks_in_order(std::uint32_t item_space, std::vector<RowChunks>& parts) {
  const std::size_t width = parts.empty() ? 0 : parts[0].width();
  std::size_t total = 0, largest = 1;
  std::uint32_t highest_count = 0;
  for (const RowChunks& part : parts) {
    total += part.size();
    largest = std::max(largest, part.size());
    for (std::size_t r = 0; r < part.size(); ++r) highest_count = std::max(highest_count, part.count(r));
  }
  const unsigned item_bits = bits_to_hold(item_space);
  const unsigned count_bits = bits_to_hold(highest_count), row_bits = bits_to_hold(largest - 1);
  const bool counts_packed = width * item_bits + count_bits <= 64;
  const unsigned low_bits = counts_packed ? count_bits : row_bits;
  if (width == 0 || width * item_bits + low_bits > 64) return sorted_copy(width, total, parts);
  std::vector<PackedPart> packed(parts.size());
  tbb::parallel_for(std::size_t{0}, parts.size(), [&](std::size_t p) {
    pack_sorted(parts[p], item_bits, low_bits, counts_packed, packed[p]);
  });
  throw_if_cancelled();
  const std::uint64_t low_mask = (std::uint64_t{1} << low_bits) - 1;
  std::vector<std::uint32_t> items, counts;
  if (counts_packed) {
    // Every word holds its whole row: the parts' words are merged into one sorted run (rows
    // are distinct, so whole words order as their items do), then decoded range by range on
    // the pool straight into the columns.
    UninitVector<std::uint64_t> merged = std::move(packed[0].words);
    for (std::size_t p = 1; p < packed.size(); ++p) {
      throw_if_cancelled();
      UninitVector<std::uint64_t> joined(merged.size() + packed[p].words.size());
      std::merge(merged.begin(), merged.end(), packed[p].words.begin(), packed[p].words.end(),
                 joined.begin());
      merged = std::move(joined);
      UninitVector<std::uint64_t>().swap(packed[p].words);
    }
    reserve_on_large_pages(items, total * width);
    reserve_on_large_pages(counts, total);
    items.resize(total * width);
    counts.resize(total);
    for_each_range(pass_chunks(total, tuning::kParallelIndexMinRows, tuning::kIndexChunkMinRows),
                   [&](std::size_t, IndexRange range) {
                     std::uint32_t* const row_out = items.data();
                     std::uint32_t* const count_out = counts.data();
                     const std::uint64_t* const words = merged.data();
                     for_each_step(range.begin, range.end, [&](std::size_t r) {
                       unpack_row(words[r] >> low_bits, item_bits, width, row_out + r * width);
                       count_out[r] = static_cast<std::uint32_t>(words[r] & low_mask);
                     });
                   });
    throw_if_cancelled();
    return ItemsetTable::from_sorted_distinct_rows(width, std::move(items), std::move(counts));
  }
  // Words that hold a row's number within its part: merged one row at a time, each row's
  // count read from the part it came from. Filled by appending: sized up front, the columns
  // would be zeroed only to be overwritten.
  // Large levels: 2 MiB pages take one fault each where 4 KiB pages take 512.
  reserve_on_large_pages(items, total * width);
  reserve_on_large_pages(counts, total);
  std::array<std::uint32_t, 64> row{};
  for (std::size_t taken = 0; taken < total; ++taken) {
    throw_if_cancelled_every(taken);
    std::size_t best = 0;
    std::uint64_t best_word = ~std::uint64_t{0};
    for (std::size_t p = 0; p < packed.size(); ++p)
      if (packed[p].next < packed[p].words.size() &&
          (packed[p].words[packed[p].next] >> low_bits) <= (best_word >> low_bits)) {
        best = p;
        best_word = packed[p].words[packed[p].next];
      }
    ++packed[best].next;
    unpack_row(best_word >> low_bits, item_bits, width, row.data());
    for (std::size_t i = 0; i < width; ++i) items.push_back(row[i]);  // no memmove call per row
    counts.push_back(parts[best].count(best_word & low_mask));
  }
  return ItemsetTable::from_sorted_distinct_rows(width, std::move(items), std::move(counts));
}

}  // namespace tallyfold
