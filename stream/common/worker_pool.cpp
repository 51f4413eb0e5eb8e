// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/worker_pool.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>

namespace kob {

unsigned threadsToUse(unsigned asked) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return asked == 0 ? cores : std::min(asked, cores);
}

WorkerPool::WorkerPool(unsigned helpers) : wanted(helpers) {}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  work.notify_all();
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

bool WorkerPool::ensureStarted() {
  if (wanted == 0) return false;
  const pid_t here = getpid();
  if (startedIn != here) {
    // After fork() the threads of the parent are not in this process: the
    // handles are let go without joining, and new threads start.
    for (std::thread& thread : threads) thread.detach();
    threads.clear();
    queue.clear();
    startedIn = here;
  }
  while (threads.size() < wanted) {
    try {
      threads.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
      break;  // as many as could start; the caller's thread does the rest
    }
  }
  return !threads.empty();
}

void WorkerPool::serve() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    work.wait(lock, [this] { return stopping || !queue.empty(); });
    if (stopping && queue.empty()) return;
    Task task = std::move(queue.front());
    queue.pop_front();
    lock.unlock();
    task.work();
    lock.lock();
    --task.batch->pending;
    done.notify_all();
  }
}

void WorkerPool::Batch::run(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.ensureStarted()) {
      ++pending;
      pool.queue.push_back({std::move(task), this});
      pool.work.notify_one();
      return;
    }
  }
  task();
}

void WorkerPool::Batch::wait() {
  std::unique_lock<std::mutex> lock(pool.mutex);
  pool.done.wait(lock, [this] { return pending == 0; });
}

}  // namespace kob
