#include "interruptible.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "common/cancel_relay.hpp"
#include "errors.hpp"
#include "spread_workers.hpp"

namespace tallyfold {

namespace {

// How long the waiting thread sleeps between two looks at the interpreter's signals: short
// enough that Ctrl-C is answered at once, long enough that the lock is hardly touched.
constexpr std::chrono::milliseconds kSignalPollInterval{50};

// The pool that runs the work. The calling thread only waits, so the arena reserves no slot
// for it and the process allows one worker per CPU, one more than the default: on two cores
// the work still runs on two threads. Created on first use, kept until the process ends.
class Pool {
 public:
  static Pool& instance() {
    static Pool* pool = new Pool(tbb::this_task_arena::max_concurrency());
    return *pool;
  }
  tbb::task_arena& arena() { return arena_; }

 private:
  explicit Pool(int threads)
      : workers_(tbb::global_control::max_allowed_parallelism,
                 static_cast<std::size_t>(threads) + 1),
        arena_(threads, 0), spread_(arena_) {}
  tbb::global_control workers_;
  tbb::task_arena arena_;
  SpreadWorkers spread_;
};

// One call's work as the waiting thread and the pool share it.
struct Job {
  explicit Job(const std::function<void()>& work) : work(work) {}
  const std::function<void()>& work;
  tbb::task_group_context context{tbb::task_group_context::isolated};
  std::exception_ptr error;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;

  // Runs on a pool thread. Isolation keeps this thread from picking up another call's work
  // while it waits for its own parallel stages, so a call never waits for an unrelated one.
  void run() {
    try {
      tbb::this_task_arena::isolate([&] {
        tbb::task_group group(context);
        group.run_and_wait([&] { work(); });
      });
    } catch (...) {
      error = std::current_exception();
    }
    // The waiting thread destroys the job once it sees `done`: notify under the mutex.
    std::lock_guard<std::mutex> hold(mutex);
    done = true;
    finished.notify_one();
  }
};

}  // namespace

void run_interruptible(InterpreterLock lock, const std::function<void()>& work) {
  run_interruptible(lock, work, WaitHook());
}

void run_interruptible(InterpreterLock lock, const std::function<void()>& work,
                       const WaitHook& on_wait) {
  Job job(work);
  Pool::instance().arena().enqueue([&job] { job.run(); });

  const bool release = lock == InterpreterLock::kReleased;
  PyThreadState* saved = release ? PyEval_SaveThread() : nullptr;
  bool interrupted = false;
  {
    std::unique_lock<std::mutex> hold(job.mutex);
    while (!job.finished.wait_for(hold, kSignalPollInterval, [&] { return job.done; })) {
      if (interrupted) continue;  // cancelled: wait for the work to stop
      hold.unlock();
      if (release) PyEval_RestoreThread(saved);
      // Runs the handlers of pending signals; acts only on the main thread.
      interrupted = PyErr_CheckSignals() < 0;
      if (!interrupted && on_wait) interrupted = !on_wait();
      if (release) saved = PyEval_SaveThread();
      if (interrupted) cancel_with_linked(job.context);
      hold.lock();
    }
  }
  if (release) PyEval_RestoreThread(saved);

  if (interrupted) throw PythonErrorSet();
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace tallyfold
