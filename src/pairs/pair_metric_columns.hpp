#pragma once
// The seven metrics of a run of pairs that share their anchor, written column-wise. The run
// is the unit of the pair engine's output: an anchor's partners and counts come out of the
// counter together, so A's count and support are fixed over the run and only B's support is
// looked up per row.

#include <cstddef>
#include <cstdint>

namespace tallyfold {

// Where a run's rows go: one pointer per metric column, at the run's first row.
struct MetricColumns {
  double* support;
  double* confidence;
  double* lift;
  double* conviction;
  double* leverage;
  double* cosine;
  double* jaccard;
};

// Row k gets pair_metrics(co[k], n, count_a, support_a, item_support[partners[k]]), bit for
// bit: the vector path performs the same correctly rounded operations in the same order (no
// fused multiply-add, no reciprocals), four rows at a time where the CPU has AVX2.
void anchor_metric_columns(std::size_t rows, const std::uint32_t* co,
                           const std::uint32_t* partners, const double* item_support, double n,
                           double count_a, double support_a, MetricColumns out);

}  // namespace tallyfold
