// Eclat's item queue: every item is handed out exactly once, heaviest first on one worker,
// and never two heavy items at once however many workers take from it; a floor on the heavy
// weight lets the items under it run side by side.
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "check.hpp"
#include "eclat/item_queue.hpp"

using tallyfold::eclat::ItemQueue;

namespace {

// Weights 400, 300, 120 (heavy: a quarter of 400 or more), then 90 down to 1.
std::vector<std::size_t> weights() {
  std::vector<std::size_t> w = {400, 300, 120};
  for (std::size_t x = 90; x >= 1; --x) w.push_back(x);
  return w;
}

}  // namespace

int main() {
  const std::vector<std::size_t> w = weights();

  {  // One worker takes the items in their order.
    ItemQueue queue(w);
    std::size_t expected = 0;
    for (auto k = queue.take(); k; k = queue.take(*k)) CHECK(*k == expected++);
    CHECK(expected == w.size());
  }

  {  // A second worker may not start a heavy item beside one: it takes the lightest left,
     // and stops once only heavy items remain.
    ItemQueue queue(w);
    const auto a = queue.take();
    CHECK(a == std::optional<std::size_t>(0));
    CHECK(queue.take() == std::optional<std::size_t>(w.size() - 1));
    CHECK(queue.take(w.size() - 1) == std::optional<std::size_t>(w.size() - 2));
    const auto b = queue.take(*a);  // the heavy item is done: the next heavy one is free
    CHECK(b == std::optional<std::size_t>(1));
    std::optional<std::size_t> k = queue.take(w.size() - 2);
    while (k && !queue.heavy(*k)) k = queue.take(*k);  // the light items, lightest first
    CHECK(!k);  // item 2 is heavy and item 1 still runs: this worker stops
    CHECK(queue.take(*b) == std::optional<std::size_t>(2));
  }

  {  // With a floor of 200, only the first two items are heavy: a second worker starts item
     // 2 beside item 0, and waits for item 0 only at item 1.
    ItemQueue queue(w, 200);
    CHECK(queue.heavy(1) && !queue.heavy(2));
    CHECK(queue.take() == std::optional<std::size_t>(0));
    CHECK(queue.take() == std::optional<std::size_t>(w.size() - 1));
    ItemQueue side_by_side({400, 150, 120, 90}, 200);
    CHECK(side_by_side.take() == std::optional<std::size_t>(0));
    CHECK(side_by_side.take() == std::optional<std::size_t>(1));
    CHECK(side_by_side.take() == std::optional<std::size_t>(2));
  }

  {  // Many workers at once: each item once, at most one heavy item at a time.
    ItemQueue queue(w);
    std::vector<std::atomic<int>> taken(w.size());
    std::atomic<int> heavy_now{0}, most_heavy{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
      workers.emplace_back([&] {
        for (auto k = queue.take(); k; k = queue.take(*k)) {
          taken[*k].fetch_add(1);
          if (queue.heavy(*k)) {
            const int now = heavy_now.fetch_add(1) + 1;
            int seen = most_heavy.load();
            while (now > seen && !most_heavy.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::yield();
            heavy_now.fetch_sub(1);
          }
        }
      });
    for (auto& worker : workers) worker.join();
    bool each_once = true;
    for (const auto& count : taken) each_once = each_once && count.load() == 1;
    CHECK(each_once);
    CHECK(most_heavy.load() == 1);
  }
  return check_failures() == 0 ? 0 : 1;
}
