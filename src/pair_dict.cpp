#include "pair_dict.hpp"

#include "result_dict.hpp"

namespace tallyfold {

PyObject* build_pair_dict(PairOut&& rows, std::optional<std::uint32_t> n_transactions) {
  ResultDict dict;
  if (!dict.ok() || !dict.set("item_A", adopt_vector(std::move(rows.item_A))) ||
      !dict.set("item_B", adopt_vector(std::move(rows.item_B))) ||
      !dict.set("instances", adopt_vector(std::move(rows.instances))) ||
      !dict.set("support", adopt_vector(std::move(rows.support))) ||
      !dict.set("confidence", adopt_vector(std::move(rows.confidence))) ||
      !dict.set("lift", adopt_vector(std::move(rows.lift))) ||
      !dict.set("conviction", adopt_vector(std::move(rows.conviction))) ||
      !dict.set("leverage", adopt_vector(std::move(rows.leverage))) ||
      !dict.set("cosine", adopt_vector(std::move(rows.cosine))) ||
      !dict.set("jaccard", adopt_vector(std::move(rows.jaccard))))
    return nullptr;
  if (n_transactions && !dict.set("n_transactions", PyLong_FromUnsignedLong(*n_transactions)))
    return nullptr;
  return dict.release();
}

}  // namespace tallyfold
