#pragma once
// Keeps the pool's workers on CPUs of their own. A worker woken after the machine sat idle
// can be placed on the CPU of the thread that woke it, even with another CPU idle (virtual
// machines' schedulers pack wakeups onto CPUs that are already running, sparing a halted
// one), and the load balancer may take several milliseconds to part them: a short call then
// runs on one CPU. Each worker that joins the pool's arena moves to the CPU its slot names,
// the slot-th one it may run on, and is free again at once: the scheduler may move it
// afterwards as it likes.

#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

namespace tallyfold {

class SpreadWorkers : public tbb::task_scheduler_observer {
 public:
  explicit SpreadWorkers(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
    observe(true);
  }
  ~SpreadWorkers() override { observe(false); }

  void on_scheduler_entry(bool is_worker) override;
};

}  // namespace tallyfold
