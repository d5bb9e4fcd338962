#include "allsizes/all_sizes.hpp"

#include "allsizes/algorithm_choice.hpp"
#include "allsizes/closed_maximal.hpp"
#include "allsizes/eclat_all_sizes.hpp"
#include "allsizes/levelwise_all_sizes.hpp"
#include "common/inverted_index.hpp"

namespace tallyfold {

std::optional<Algorithm> algorithm_by_name(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kAlgorithmNames); ++i)
    if (kAlgorithmNames[i] == name) return static_cast<Algorithm>(i);
  return std::nullopt;
}

std::optional<Target> target_by_name(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kTargetNames); ++i)
    if (kTargetNames[i] == name) return static_cast<Target>(i);
  return std::nullopt;
}

AllSizesResult mine_all_sizes(const AllSizesRequest& request) {
  // The working data alone may be past the memory limit: stop before building it.
  if (request.monitor != nullptr) request.monitor->check_base();
  const InvertedIndex index =
      build_inverted_index(request.txn_ids, request.item_ids, request.n_items);
  AllSizesResult result;
  result.n_transactions = index.n_transactions;
  const std::uint32_t min_count = request.min_count < 1 ? 1 : request.min_count;
  Algorithm algorithm = request.algorithm;
  if (algorithm == Algorithm::Auto) algorithm = kAutomaticAlgorithm;
  ItemsetCsr rows;
  if (algorithm == Algorithm::Eclat)
    rows = eclat_all_sizes(index, min_count, request.max_len, request.monitor);
  else if (algorithm == Algorithm::Classic)
    rows = classic_all_sizes(AllSizesRequest{request.txn_ids, request.item_ids, request.n_items,
                                             min_count, request.max_len, algorithm,
                                             request.target},
                             request.monitor);
  else
    rows = levelwise_all_sizes(index, algorithm, min_count, request.max_len, request.monitor);
  // The classic index keeps caller ids; the others may count on dense numbers, which keep id
  // order, so rows translate back in place without losing their lexicographic order.
  if (algorithm != Algorithm::Classic)
    index.numbering.to_caller_ids({rows.items.data(), rows.items.size()});
  result.itemsets = keep_target(std::move(rows), request.target);
  result.item_counts = index.item_counts;
  result.numbering = index.numbering;
  return result;
}

}  // namespace tallyfold
