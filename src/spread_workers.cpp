#include "spread_workers.hpp"

#include <sched.h>

namespace tallyfold {

void SpreadWorkers::on_scheduler_entry(bool /*is_worker*/) {
  const int slot = tbb::this_task_arena::current_thread_index();
  if (slot < 0) return;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  // pid 0: this thread. A mask wider than cpu_set_t fails here and leaves the worker as it is.
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  const int n_allowed = CPU_COUNT(&allowed);
  if (n_allowed < 2) return;
  int rank = slot % n_allowed, target = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE && target < 0; ++cpu)
    if (CPU_ISSET(cpu, &allowed) && rank-- == 0) target = cpu;
  if (target < 0 || sched_getcpu() == target) return;
  // Leaving the current CPU out of the mask moves the thread now; the mask it had is then
  // given back, so this places the worker without pinning it.
  cpu_set_t only;
  CPU_ZERO(&only);
  CPU_SET(target, &only);
  if (sched_setaffinity(0, sizeof only, &only) == 0) sched_setaffinity(0, sizeof allowed, &allowed);
}

}  // namespace tallyfold
