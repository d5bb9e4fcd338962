#pragma once
// Tuning constants shared by the engines, gathered so that each carries its reason.

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tallyfold::tuning {

// Parallel stages cut their work into this many chunks per pool thread: enough that work
// stealing evens out anchors of very different cost, few enough that per-chunk partial
// results stay cheap to combine.
inline constexpr std::size_t kChunksPerThread = 16;

// Per-item tables (offsets, counts, one dense counter per worker) are sized by the largest
// item id. When that id exceeds twice the number of rows plus this slack, most of the id
// space is unused (an input has at most one distinct item per row), so items are renumbered
// densely and the tables shrink to the items that occur. Below it the caller's ids are used
// as they are: the tables cost at most a few words per row and renumbering would only add a
// sort.
inline constexpr std::uint64_t kSparseItemSpaceSlack = 4096;

// Below this many reduced transactions the anchor collection of a level stays on the calling
// thread: waking the pool costs more than the subset matching saves.
inline constexpr std::size_t kParallelTransactionMin = 10'000;

// From this many level items on, the extension masks' neighbor rows (one pair-set lookup per
// pair of items) are filled on the pool; below it they are a fraction of a millisecond.
inline constexpr std::size_t kParallelMaskItemsMin = 256;

// Below this many anchors the extension step of a level stays on the calling thread,
// unless together they cost kParallelAnchorCostMin steps of about 10 ns (a transaction read,
// or eight bitset words ANDed): a few hundred anchors over 10^5 transactions each are tens
// of milliseconds of work.
inline constexpr std::size_t kParallelAnchorMin = 500;
inline constexpr std::uint64_t kParallelAnchorCostMin = std::uint64_t{1} << 15;

// Up to this many candidates the classic counter counts on the calling thread, unless their
// estimated cost is worth waking the pool for (worth_sharing).
inline constexpr std::size_t kSequentialCandidateLimit = 500;

// Eclat weighs two ways of counting the extensions of an itemset: reading its transactions'
// projected rows (one unit per row entry read) or AND-popcounting bitsets (this many units per
// 64-bit word). The ratio decides the layout of every group of extensions.
inline constexpr double kEclatDeliveryCost = 1.0;
inline constexpr double kEclatAndWordCost = 0.25;
// Gathering the rows of a top-level item costs this many units per entry: a scattered read,
// a count and a translation to columns.
inline constexpr double kEclatGatherCost = 3.0;

}  // namespace tallyfold::tuning

namespace tallyfold::tuning {

// Above this many transactions a level of fixed-width transaction bitsets (N/8 bytes per
// itemset) outgrows the lists it would replace, whatever the density.
inline constexpr std::uint32_t kBitsetMaxTransactions = 1u << 16;

// Classic counter: a list more than this many times longer than the other is searched by
// galloping from each element of the shorter one instead of merged with it. On retail,
// T10I4D100K and synthetic baskets (levels 4 and 5) ratios of 4, 16 and 64 ran within a few
// percent of each other; 64 was 15% slower on retail.
inline constexpr std::size_t kGallopLengthRatio = 16;

// Classic counter: costs of one step of each counting strategy, in steps of a list merge;
// the counter picks per run of candidates the strategy with the lowest estimated total.
// A scanned transaction item was measured at 0.5, 1, 2 and 4 merge steps on the same data:
// 0.5 to 2 are within 5% of each other, 4 is 5-10% slower throughout.
inline constexpr double kGallopProbeCost = 2.0;  // a probe of the longer list
inline constexpr double kScanStepCost = 1.0;     // one item of a transaction scanned
// A transaction's row fetched for a walk, in scanned items: the rows a run lists lie scattered
// over the index. For planning the pool's ranges only (classic's RunCounter::estimate).
inline constexpr double kRowFetchCost = 8.0;

}  // namespace tallyfold::tuning

namespace tallyfold::tuning {

// Baseline level counter on dense data: the walk over an anchor's transactions is estimated
// at this many units per transaction on top of half its frequent items (the start search,
// the prefetched row load), an intersection of transaction bitsets at kLevelAndWordCost
// units per 64-bit word; the level runs on bitsets when their estimate is the lower. On
// mushroom (count 1625, levels 3-6) and chess (count 1918, levels 3-4) the estimates differ by
// 50-100x in favour of the bitsets, and the pipeline went from 52x and 14x pyfim's time to
// about 1x; on groceries (count 10) they favour the walk by 10-30x, and forcing the bitsets
// there was still slower than pyfim. Any value between 0.1 and 2 makes the same choices.
inline constexpr double kWalkTransactionCost = 2.0;
inline constexpr double kLevelAndWordCost = 0.5;
// Entries of an item's transaction list walked in the time of one word of a bitset AND: an
// anchor's transactions come from bitsets where the level's items hold, on average, more than
// this many entries per bitset word.
inline constexpr double kListPerAndWord = 0.5;
// Projected entries (a top-level item's transactions, cut to its frequent partners) from
// which Eclat splits the item's subtree between workers.
inline constexpr std::size_t kEclatSplitMinEntries = std::size_t{1} << 15;
// Eclat mines at most one heavy top-level item at a time (see ItemQueue); an item held by
// fewer than one in this many transactions is not heavy. Retail's heavy items (a quarter of
// its most common one or more) are in 14 % of the transactions or more, and two of their
// projections at once took the call 1.08-1.13 times over its memory bound.
inline constexpr std::size_t kEclatHeavyItemShareInverse = 8;
// Items of the frequent set beyond which the baseline does not build per-item bitsets (their
// pair table grows with the square of this).
inline constexpr std::size_t kLevelBitsetMaxItems = 4096;

}  // namespace tallyfold::tuning

namespace tallyfold::tuning {

// Pair engine and shared index. Buffers of at least this many bytes are 2 MiB aligned and
// advised for transparent huge pages. Writing 574 MB from two threads on the development VM
// took 0.75 s with 4 KiB faults and 0.12 s with huge pages (one thread: 0.50 s and 0.11 s).
// A buffer shorter than one huge page has nothing to advise.
inline constexpr std::size_t kLargePageMinBytes = std::size_t{2} << 20;

// Pair engine: below this many index entries (transaction items after de-duplication) the
// pairs are counted on the calling thread. Groceries (43k entries, 1.8 ms of work) took
// 2.2 ms on one thread and 3.2-4.0 ms on two when the pool had gone to sleep between calls,
// the wake-up costing more than the second thread saves.
inline constexpr std::size_t kPairPoolMinEntries = 65536;

// Index build: from this many transactions on, rows are sorted and de-duplicated on the pool.
// On 1e7 generated rows (1e6 transactions of about ten unsorted items) this step took 97 ms
// on the calling thread; below ~10^4 rows a pass takes well under a millisecond.
inline constexpr std::size_t kParallelDedupMinRows = 16384;

// Index build: the de-duplicated chunks move to the front on the pool when the values they
// set aside for it (see pack_chunks_to_front) are at most 1 / this of the values that move,
// else on one thread. The values set aside are freed before the index's other direction, as
// large as all the values, is allocated: they do not raise the call's peak.
inline constexpr std::size_t kPackSetAsideShareInverse = 16;

}  // namespace tallyfold::tuning

namespace tallyfold::tuning {

// Sibling groups (sparse levels with prefix anchors): a group of up to this many siblings is
// counted in one pass over its prefix's transactions into a side x side table of cells
// (256 KiB per worker at most); a larger group one sibling at a time over the sibling's own
// transactions.
inline constexpr std::size_t kSiblingMatrixMaxSide = 256;

// The sibling walk of the memo counters that count every sibling above an anchor: in a group
// of more siblings than kWideSiblingGroup, an anchor with more siblings above it than
// kSparseSiblingsPerEntry times the entries of its set has only the siblings its walk meets
// counted and read, the group being marked once, instead of marking and reading every
// sibling above it (sparse data, where a common item pairs with thousands of others that
// each anchor meets a few of).
inline constexpr std::size_t kWideSiblingGroup = 64;
inline constexpr std::size_t kSparseSiblingsPerEntry = 4;

// Passes over rows (in the index build: copying and checking the caller's ids, finding where
// transactions start, counting and scattering the item side; in the level output: decoding
// the merged rows) run on the pool from this many rows on, in chunks of at least
// kIndexChunkMinRows rows. A pass runs at 1-2 cycles a row,
// and within a call the other worker is already up: chess (118 k rows), whose passes ran on
// one thread below 2^17, took 0.51 -> 0.38 ms through Eclat at count 2557 with them shared.
inline constexpr std::size_t kParallelIndexMinRows = std::size_t{1} << 16;

// Below this many index entries the items' Roaring bitmaps are made on the calling thread. On
// the pool each worker's heap kept some of them, and what the level allocated afterwards
// landed above them: Groceries (43,367 entries) through the Roaring counter at count 10,
// k 6 peaked 10-30 KiB higher, where making them all takes about 50 microseconds.
inline constexpr std::size_t kParallelItemBitmapsMinTids = std::size_t{1} << 18;

// Passes that look every transaction id up in a table (whether the transactions' ids are
// distinct) take a cache miss per id, ten times a plain pass's cost: they run on the pool
// from this many ids on, in chunks of at least a quarter of it.
inline constexpr std::size_t kParallelIdLookupMin = std::size_t{1} << 14;

// Transactions cut to a level's items are written on the pool from this many index rows on.
// Between levels the pool is awake; groceries' 43,000 rows took 0.12 ms on one thread.
inline constexpr std::size_t kParallelReduceMinRows = std::size_t{1} << 15;

// Passes over transactions (cutting them to a level's items, closing up rows) go in chunks
// of at least this many transactions. In chunks of 2^14, T10I4D100K's 100,000 transactions
// made six chunks for two threads, and in a fifth of such a pass one thread worked alone.
inline constexpr std::size_t kTransactionChunkMin = 2048;

// A level whose cut would keep at least this share of the index's items reads the index's
// transactions whole instead (where the reader allows it): a memo level reads each
// transaction by its index and skips unmarked items, so the few extra items cost less than
// a copy that takes nearly as much memory as the index's side (on T10I4D100K at count 50,
// level 4 keeps 99 % of its 4 MB; on retail at count 45, level 3 keeps 75 %, and reading
// the whole rows costs it 2-5 % more time).
inline constexpr double kWholeTransactionsShare = 0.6;

// The index's transactions are cut to the frequent pairs' items (for the levels above them)
// only where the cut drops more than 3 % of their entries.
inline constexpr double kUncutIndexShare = 0.97;

// The memo levels on sparse data are counted depth first from the pairs only when no pair
// weighs more than this share of them all (see depth_first_balances): groceries' heaviest
// pair weighs 1.7 %, T10I4D100K's 0.4 %, retail's 6-9 %, where two cores ran at 0.78-0.87
// efficiency depth first against 0.89-0.91 level by level.
inline constexpr double kDepthFirstMaxPairShare = 0.03;
inline constexpr std::size_t kIndexChunkMinRows = std::size_t{1} << 15;

// Frequent pairs on transaction bitsets: one AND-and-popcount of a word costs well under a
// quarter of a counter increment of the transaction scan (a dependent add). Mushroom at
// 0.001 (891k words against 2.1M increments): pairs stage and index 2.9 -> 1.7 ms; chess at
// 0.05: 2.2 -> 1.1 ms.
inline constexpr std::uint64_t kPairWordsPerIncrement = 4;

// Frequent pairs of at most this many frequent items are counted in a table of counters per
// worker (2 MiB each at most) when the bitsets do not pay off. T10I4D100K at count 100 (870
// frequent items, 1.5 MB a table): index and pairs 43-56 -> 17-21 ms on one CPU, and the
// cut copy of the transactions the scan needs is not made.
inline constexpr std::size_t kPairTableMaxItems = 1024;

// Classic counter on bitsets: a run's extensions are counted by testing the bits of its
// transactions one by one, instead of ANDing every word, when its transactions times this
// cost are fewer than the words. A bit test reads a scattered word, an AND streams eight
// words per step: on groceries (count 10, 154 words) tests below 1/16 of the words paid,
// while tests up to one per word made the call 30% slower (level 3's runs of ~40 transactions).
inline constexpr double kClassicBitTestCost = 16.0;

// Classic counter on bitsets: a segment's shared transactions are listed once, and each run's
// found by testing them against its last item, when they times this cost are fewer than the
// words; otherwise each run's are one AND of the shared bitset with its last item's.
inline constexpr double kClassicSharedFilterCost = 8.0;

// Most (run, extension) counters of one segment that the classic counter counts in one walk
// over the segment's transactions (256 KiB, well inside a core's L2 cache); a larger segment
// projects its transactions per run and walks each run's.
inline constexpr std::size_t kClassicPairTableMax = std::size_t{1} << 16;

// A range of the classic counter's runs is cut inside a segment only once it has grown to this
// many times its share of the level; below, it ends where the next segment starts.
// Synthetic 10^6 rows, count 206, k 5 (two CPUs, best ms / efficiency): cut anywhere
// 37.2 / 0.85, at 4 times the share 30.1 / 0.92. Never cut inside a segment, T10I4D100K at
// count 50, k 6 lost balance: 0.91 against 0.99 at 4 times.
inline constexpr double kClassicSegmentSplit = 4.0;

// Largest bitset of one item's transactions that the classic counter keeps per thread to pair
// that item with others by bit tests (see SharedLists): about half a core's L2 cache.
inline constexpr std::size_t kClassicMarkBytesMax = std::size_t{1} << 20;

}  // namespace tallyfold::tuning

namespace tallyfold::tuning {

// Memo counters on bitsets: each partial level's sets fill blocks that double from the first
// size to the largest. With fixed 1 MiB blocks every one of the pool's parts took a block, and
// reused freed memory made the unused rest resident: chess at count 1918, k_max 6, peaked at
// 11-13 MiB; with blocks growing from 16 KiB the same call peaked at 9.5-9.7 MiB. Freeing a
// spent level goes block by block, so the largest block bounds what a late reader holds.
inline constexpr std::size_t kMemoFirstBlockBytes = std::size_t{16} << 10;
inline constexpr std::size_t kMemoBlockBytes = std::size_t{1} << 20;

}  // namespace tallyfold::tuning

namespace tallyfold::tuning {

// Memo pipelines on sparse data: the most transactions (256 KiB) a worker lists at once for
// a run of a pair group's sets, and for one anchor's chosen siblings before it counts them
// first instead. On retail at count 45, k_max 4 (item 39 pairs with hundreds of items in
// about a million transactions) whole groups and anchors listed at once peaked at 20.7 MiB
// against the plain pipeline's 15.3; at 1 MiB a list, 19.8.
inline constexpr std::size_t kListedWords = std::size_t{1} << 16;
// On small data the same budget would let each worker's lists outgrow a good share of the
// index (groceries: 43,000 rows, 9,800 transactions, lists of 64 Ki words per worker took the
// memo pipelines' peak past twice the index): it shrinks to an eighth of the index's rows,
// but not below this many words.
inline constexpr std::size_t kListedWordsLeast = std::size_t{1} << 12;
inline constexpr std::size_t listed_words(std::size_t index_rows) {
  return std::max(kListedWordsLeast, std::min(kListedWords, index_rows / 8));
}

// Eclat: every transaction is cut to its frequent items, as ranks, on the pool from this many
// transactions on, in ranges of at least the second figure. The old thresholds (16384 and
// 4096, derived from the index's) left groceries (9835 transactions) and chess (3196) on the
// calling thread; split, the best of 40 interleaved calls on two CPUs went 2.93 -> 2.86 ms on
// groceries (count 10, k_max 6) and 1.96 -> 1.86 ms on mushroom (count 1625, k_max 6).
inline constexpr std::size_t kEclatParallelRankMinTransactions = 2048;
inline constexpr std::size_t kEclatRankChunkMinTransactions = 1024;

// Eclat on a CPU with vector popcounts: the weight of one AND-popcount word against one
// delivered row entry inside a subtree (kEclatAndWordCost stays the scalar kernel's, and the
// choice between ANDing and gathering the pairs). Process CPU time of one call, best of 30, one
// CPU, for 0.25 / 0.0625 / 0.03125: groceries (count 10) k_max 6 4.77 / 3.40 / - ms, k_max 5
// 4.82 / 3.44 / 3.34; T10I4D100K count 50 k_max 4 77.1 / 65.5 / -, count 100 k_max 5
// 57.0 / 51.6 / 53.7; mushroom, retail and chess within 3% except chess count 1918 k_max 6
// (4.14 -> 4.41).
inline constexpr double kEclatVectorAndWordCost = 0.0625;
// ... and a group whose bitsets take more than kEclatBitsetFreeBytes is held as bitsets only
// while they take at most kEclatBitsetMaxMemoryRatio times the bytes of its position lists.
// With the cheaper words alone, retail (count 45, k_max 5) held the pairs of its heaviest
// items as bitsets of 50,675 transactions per column and peaked at 20.4 MB (15.9 MB before).
// The ratio alone at 4 brought that back to 16.7 MB but took groceries (count 10, k_max 6)
// from 3.4 back to 4.6 ms: its small deep groups are sparse yet cheapest as bitsets.
inline constexpr std::size_t kEclatBitsetFreeBytes = std::size_t{64} << 10;
inline constexpr double kEclatBitsetMaxMemoryRatio = 4;

}  // namespace tallyfold::tuning
