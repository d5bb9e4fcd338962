#include "pairs/pair_out.hpp"

namespace tallyfold {

namespace {
template <class T, class Member>
void concat_column(PairOut& into, std::vector<PairOut>& parts, Member member, std::size_t rows) {
  std::vector<T>& column = into.*member;
  column.reserve(rows);
  for (PairOut& part : parts) {
    const std::vector<T>& src = part.*member;
    column.insert(column.end(), src.begin(), src.end());
    std::vector<T>().swap(part.*member);  // release each part's buffer as soon as it is copied
  }
}
}  // namespace

void PairOut::reserve(std::size_t rows) {
  item_A.reserve(rows);
  item_B.reserve(rows);
  instances.reserve(rows);
  for (auto* column : {&support, &confidence, &lift, &conviction, &leverage, &cosine, &jaccard})
    column->reserve(rows);
}

PairOut PairOut::concat(std::vector<PairOut>& parts) {
  if (parts.size() == 1) return std::move(parts[0]);
  std::size_t rows = 0;
  for (const PairOut& part : parts) rows += part.size();
  PairOut out;
  concat_column<std::uint32_t>(out, parts, &PairOut::item_A, rows);
  concat_column<std::uint32_t>(out, parts, &PairOut::item_B, rows);
  concat_column<std::uint64_t>(out, parts, &PairOut::instances, rows);
  for (auto member : {&PairOut::support, &PairOut::confidence, &PairOut::lift,
                      &PairOut::conviction, &PairOut::leverage, &PairOut::cosine,
                      &PairOut::jaccard})
    concat_column<double>(out, parts, member, rows);
  return out;
}

}  // namespace tallyfold
