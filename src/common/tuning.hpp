#pragma once
// Tuning constants shared by the engines, gathered so that each carries its reason.

#include <cstddef>

namespace tallyfold::tuning {

// Parallel stages cut their work into this many chunks per pool thread: enough that work
// stealing evens out anchors of very different cost, few enough that per-chunk partial
// results stay cheap to combine.
inline constexpr std::size_t kChunksPerThread = 16;

// Below this many reduced transactions the anchor collection of a level stays on the calling
// thread: waking the pool costs more than the subset matching saves.
inline constexpr std::size_t kParallelTransactionMin = 10'000;

// Below this many anchors the extension step of a level stays on the calling thread.
inline constexpr std::size_t kParallelAnchorMin = 500;

// Up to this many candidates the classic counter counts on the calling thread.
inline constexpr std::size_t kSequentialCandidateLimit = 500;

// Classic counter: a list more than this many times longer than the other is searched by
// galloping from each element of the shorter one instead of merged with it.
inline constexpr std::size_t kGallopLengthRatio = 16;

// Classic counter: costs of one step of each counting strategy, in steps of a list merge.
// The counter picks per run of candidates the strategy with the lowest estimated total.
inline constexpr double kGallopProbeCost = 2.0;  // a probe of the longer list
inline constexpr double kScanStepCost = 1.0;     // one item of a transaction scanned
inline constexpr double kBitsetWordCost = 0.5;   // one 64-bit word ANDed and counted

}  // namespace tallyfold::tuning
