// Ranges of sibling anchors that know what preparing a group costs: they cover every anchor
// once and in order, a run of light groups with heavy preparations is spread over several
// ranges, and a group whose preparation outweighs its anchors is not cut into ranges of one
// anchor each (every piece would prepare it again).
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "itemsets/sibling_groups.hpp"

using namespace tallyfold;

namespace {

// Groups of the given sizes, anchors numbered in order.
SiblingGroups groups_of(const std::vector<std::uint32_t>& sizes) {
  SiblingGroups groups;
  std::uint32_t at = 0;
  for (std::uint32_t size : sizes) {
    groups.starts.push_back(at);
    for (std::uint32_t i = 0; i < size; ++i) groups.rows.push_back(at + i);
    at += size;
  }
  groups.starts.push_back(at);
  return groups;
}

bool covers_in_order(const std::vector<IndexRange>& ranges, std::size_t n) {
  std::size_t covered = 0;
  for (const IndexRange& r : ranges) {
    if (r.begin != covered || r.end <= r.begin) return false;
    covered = r.end;
  }
  return covered == n;
}

// Ranges that begin inside a group.
std::size_t cuts_inside(const SiblingGroups& groups, const std::vector<IndexRange>& ranges) {
  std::size_t cuts = 0;
  for (const IndexRange& r : ranges) {
    bool at_start = false;
    for (std::uint32_t s : groups.starts) at_start = at_start || s == r.begin;
    cuts += !at_start;
  }
  return cuts;
}

}  // namespace

int main() {
  {  // Without setup costs the anchors' own costs decide, as for plain balanced ranges.
    const SiblingGroups groups = groups_of({10, 10, 10, 10});
    const auto ranges = ranges_with_group_setup(
        groups, 4, [](std::size_t) { return 9.0; }, [](std::size_t) { return 0.0; });
    CHECK(covers_in_order(ranges, 40));
    CHECK(ranges.size() == 4);
  }

  {  // Forty light groups of two anchors whose preparations cost far more than their anchors:
     // counted by anchors alone they would fill one range; with their setups they spread.
    const SiblingGroups groups = groups_of(std::vector<std::uint32_t>(40, 2));
    const auto ranges = ranges_with_group_setup(
        groups, 8, [](std::size_t) { return 1.0; }, [](std::size_t) { return 100.0; });
    CHECK(covers_in_order(ranges, 80));
    CHECK(ranges.size() >= 6);
    CHECK(cuts_inside(groups, ranges) == 0);  // cutting one would only prepare it twice
  }

  {  // One group of 100 anchors costing 10 each, whose preparation (500) outweighs a range:
     // pieces are cut only once their anchors cost the setup again, so at most 1000 / 500.
    const SiblingGroups groups = groups_of({100});
    const auto ranges = ranges_with_group_setup(
        groups, 16, [](std::size_t) { return 9.0; }, [](std::size_t) { return 500.0; });
    CHECK(covers_in_order(ranges, 100));
    CHECK(ranges.size() >= 2 && ranges.size() <= 2);
  }

  {  // A group whose anchors outweigh its setup by far is still spread over many ranges.
    const SiblingGroups groups = groups_of({1000});
    const auto ranges = ranges_with_group_setup(
        groups, 16, [](std::size_t) { return 99.0; }, [](std::size_t) { return 50.0; });
    CHECK(covers_in_order(ranges, 1000));
    CHECK(ranges.size() >= 12);
  }

  {  // No anchors, no ranges.
    const SiblingGroups groups = groups_of({});
    CHECK(ranges_with_group_setup(
              groups, 4, [](std::size_t) { return 1.0; }, [](std::size_t) { return 1.0; })
              .empty());
  }
  return check_failures() == 0 ? 0 : 1;
}
