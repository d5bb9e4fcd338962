// The pool helpers: partial results come back in range order whatever the thread count,
// and a fault raised on a worker reaches the waiting thread as the same Panic.
#include <atomic>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/panic.hpp"
#include "common/parallel.hpp"

using namespace tallyfold;

int main() {
  const auto ranges = balanced_ranges(1000, 37, [](std::size_t i) { return i % 7; });
  std::size_t covered = 0;
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    CHECK(ranges[r].begin == covered && ranges[r].end > ranges[r].begin);
    covered = ranges[r].end;
  }
  CHECK(covered == 1000);

  auto parts = map_ranges<std::vector<std::size_t>>(
      ranges, [](IndexRange r, std::vector<std::size_t>& out) {
        for (std::size_t i = r.begin; i < r.end; ++i) out.push_back(i);
      });
  std::vector<std::size_t> joined;
  for (auto& p : parts) joined.insert(joined.end(), p.begin(), p.end());
  bool in_order = joined.size() == 1000;
  for (std::size_t i = 0; in_order && i < joined.size(); ++i) in_order = joined[i] == i;
  CHECK(in_order);

  std::string message;
  try {
    map_ranges<int>(ranges, [](IndexRange r, int&) {
      if (r.begin <= 500 && 500 < r.end) panic_index_out_of_bounds(3, 500);
    });
  } catch (const Panic& fault) {
    message = fault.what();
  }
  CHECK(message == "index out of bounds: the len is 3 but the index is 500");
  return check_failures() == 0 ? 0 : 1;
}
