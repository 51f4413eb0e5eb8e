// SPDX-License-Identifier: GPL-2.0-or-later
//
// Helper threads for work that splits into independent pieces (decoding
// chunks): started once, given tasks, each caller waiting for its own.
// Never more threads than cores, whatever is asked: more would only
// contend. A pool made before fork() is of no use in the child (its
// threads are not there); it notices and starts its threads afresh.

#ifndef KOB_COMMON_WORKER_POOL_H
#define KOB_COMMON_WORKER_POOL_H

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kob {

// The threads `asked` for (0: one per core), capped at the cores.
unsigned threadsToUse(unsigned asked);

class WorkerPool {
 public:
  // Up to `helpers` threads beside the callers'; 0 makes a pool that runs
  // every task on the caller's thread.
  explicit WorkerPool(unsigned helpers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  unsigned helpers() const { return wanted; }

  // A set of tasks a caller waits for together.
  class Batch {
   public:
    explicit Batch(WorkerPool& pool) : pool(pool) {}
    // Waits for the tasks still running: they may use what the caller
    // holds.
    ~Batch() { wait(); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Runs `task` on a helper, or on the calling thread when the pool has
    // none (or none could start).
    void run(std::function<void()> task);
    // Waits until every task run so far has ended.
    void wait();

   private:
    friend class WorkerPool;
    WorkerPool& pool;
    std::size_t pending = 0;  // guarded by pool.mutex
  };

 private:
  struct Task {
    std::function<void()> work;
    Batch* batch;
  };
  void serve();
  // Starts the threads, again in a child after fork(). Returns whether any
  // is there. Called with `mutex` held.
  bool ensureStarted();

  const unsigned wanted;
  std::mutex mutex;
  std::condition_variable work;   // a task is queued, or stop
  std::condition_variable done;   // a task ended
  std::deque<Task> queue;
  std::vector<std::thread> threads;
  pid_t startedIn = 0;
  bool stopping = false;
};

}  // namespace kob

#endif  // KOB_COMMON_WORKER_POOL_H
