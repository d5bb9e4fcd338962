#include "pairs/pair_metric_columns.hpp"

#include <cstring>
#include <limits>

#include "pairs/pair_metrics.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TALLYFOLD_HAS_AVX2_PATH 1
#endif

namespace tallyfold {

namespace {

void scalar_rows(std::size_t begin, std::size_t end, const std::uint32_t* co,
                 const std::uint32_t* partners, const double* item_support, double n,
                 double count_a, double support_a, const MetricColumns& out) {
  for (std::size_t k = begin; k < end; ++k) {
    const PairMetrics m = pair_metrics(static_cast<double>(co[k]), n, count_a, support_a,
                                       item_support[partners[k]]);
    out.support[k] = m.support;
    out.confidence[k] = m.confidence;
    out.lift[k] = m.lift;
    out.conviction[k] = m.conviction;
    out.leverage[k] = m.leverage;
    out.cosine[k] = m.cosine;
    out.jaccard[k] = m.jaccard;
  }
}

#ifdef TALLYFOLD_HAS_AVX2_PATH
// pair_metrics on four rows per step. Every operation is the scalar one lane-wise: division
// and square root are correctly rounded in both, the selects reproduce the branches (the
// quotients they discard may be infinite or NaN, which raises nothing: FP traps are masked),
// and the attribute enables AVX2 without FMA, so no multiply and add can be fused.
__attribute__((target("avx2"))) void avx2_rows(std::size_t rows, const std::uint32_t* co,
                                               const std::uint32_t* partners,
                                               const double* item_support, double n,
                                               double count_a, double support_a,
                                               MetricColumns out) {
  // Local copies: stores through the column pointers could otherwise alias the struct and
  // force a reload of every pointer per step.
  double* __restrict support_out = out.support;
  double* __restrict confidence_out = out.confidence;
  double* __restrict lift_out = out.lift;
  double* __restrict conviction_out = out.conviction;
  double* __restrict leverage_out = out.leverage;
  double* __restrict cosine_out = out.cosine;
  double* __restrict jaccard_out = out.jaccard;
  const __m256d vn = _mm256_set1_pd(n);
  const __m256d vcount_a = _mm256_set1_pd(count_a);
  const __m256d vsupport_a = _mm256_set1_pd(support_a);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  const __m256d nan = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
  // Counts are unsigned 32-bit: flipping the top bit makes them signed for the conversion,
  // adding 2^31 back is exact.
  const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000u));
  const __m256d two_31 = _mm256_set1_pd(2147483648.0);
  std::size_t k = 0;
  for (; k + 4 <= rows; k += 4) {
    __m128i raw;
    std::memcpy(&raw, co + k, sizeof raw);
    const __m256d c = _mm256_add_pd(_mm256_cvtepi32_pd(_mm_xor_si128(raw, sign)), two_31);
    const __m256d sb = _mm256_setr_pd(item_support[partners[k]], item_support[partners[k + 1]],
                                      item_support[partners[k + 2]],
                                      item_support[partners[k + 3]]);
    const __m256d support = _mm256_div_pd(c, vn);
    const __m256d confidence = _mm256_div_pd(c, vcount_a);
    const __m256d lift = _mm256_blendv_pd(inf, _mm256_div_pd(confidence, sb),
                                          _mm256_cmp_pd(sb, zero, _CMP_GT_OQ));
    const __m256d ratio =
        _mm256_div_pd(_mm256_sub_pd(one, sb), _mm256_sub_pd(one, confidence));
    const __m256d certain = _mm256_blendv_pd(ratio, inf, _mm256_cmp_pd(confidence, one, _CMP_GE_OQ));
    const __m256d conviction =
        _mm256_blendv_pd(certain, nan, _mm256_cmp_pd(sb, one, _CMP_GE_OQ));
    const __m256d product = _mm256_mul_pd(vsupport_a, sb);
    const __m256d leverage = _mm256_sub_pd(support, product);
    const __m256d cosine = _mm256_div_pd(support, _mm256_sqrt_pd(product));
    const __m256d jaccard =
        _mm256_div_pd(support, _mm256_sub_pd(_mm256_add_pd(vsupport_a, sb), support));
    _mm256_storeu_pd(support_out + k, support);
    _mm256_storeu_pd(confidence_out + k, confidence);
    _mm256_storeu_pd(lift_out + k, lift);
    _mm256_storeu_pd(conviction_out + k, conviction);
    _mm256_storeu_pd(leverage_out + k, leverage);
    _mm256_storeu_pd(cosine_out + k, cosine);
    _mm256_storeu_pd(jaccard_out + k, jaccard);
  }
  scalar_rows(k, rows, co, partners, item_support, n, count_a, support_a, out);
}

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

void anchor_metric_columns(std::size_t rows, const std::uint32_t* co,
                           const std::uint32_t* partners, const double* item_support, double n,
                           double count_a, double support_a, MetricColumns out) {
#ifdef TALLYFOLD_HAS_AVX2_PATH
  if (cpu_has_avx2()) {
    avx2_rows(rows, co, partners, item_support, n, count_a, support_a, out);
    return;
  }
#endif
  scalar_rows(0, rows, co, partners, item_support, n, count_a, support_a, out);
}

}  // namespace tallyfold
