// A call cancelled while its row lookup is built stops there. The hashing stage of a
// cancelled call returns with rows unhashed, and indexing many rows under one hash makes
// every insert probe past all the rows before it: Ctrl-C would have waited for that.
#include <cstdint>
#include <numeric>
#include <vector>

#include <tbb/task_group.h>

#include "check.hpp"
#include "common/cancel.hpp"
#include "common/row_lookup.hpp"

using namespace tallyfold;

int main() {
  constexpr std::size_t kRows = 30000;
  std::vector<std::uint32_t> items(kRows);
  std::iota(items.begin(), items.end(), 0u);
  std::vector<std::int64_t> offsets(kRows + 1);
  std::iota(offsets.begin(), offsets.end(), std::int64_t{0});
  const ItemsetCsrView rows{items, offsets};

  const RowLookup lookup(rows);
  const std::uint32_t probe[] = {1234};
  CHECK(lookup.find(probe) == std::optional<std::size_t>(1234));

  tbb::task_group_context context;
  tbb::task_group group(context);
  bool stopped = false;
  group.run_and_wait([&] {
    context.cancel_group_execution();
    try {
      const RowLookup cancelled(rows);
    } catch (const Cancelled&) {
      stopped = true;
    }
  });
  CHECK(stopped);
  return check_failures() == 0 ? 0 : 1;
}
