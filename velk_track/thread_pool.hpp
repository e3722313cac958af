// A small fixed pool of worker threads for the per-frame pipeline. The calling thread takes part
// in every parallel loop, so a pool of size 1 runs everything inline on the caller.
//
// Determinism: parallel_for only hands out indices; every task writes its own outputs, and the
// callers combine them in index order. The results therefore do not depend on the pool size or on
// which thread ran which index.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velk_track {

class ThreadPool {
 public:
  // `threads` <= 0 means one per hardware thread of the machine.
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()) + 1; }

  // Runs task(i) for i in [0, count) and returns when all have finished. Not reentrant: a task
  // must not call parallel_for of the same pool. When tasks throw, every index still runs and the
  // exception of the lowest index is rethrown here, as a plain loop would have thrown it.
  void parallel_for(size_t count, const std::function<void(size_t)>& task);

 private:
  void work_loop();
  void run_tasks(std::unique_lock<std::mutex>& lock);
  template <class Ready>
  static void spin_until(Ready ready);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  const std::function<void(size_t)>* task_ = nullptr;
  size_t count_ = 0;
  size_t next_ = 0;       // next index to hand out
  size_t finished_ = 0;   // indices completed
  size_t generation_ = 0;
  // Copies of generation_ and finished_ that a spinning thread may read without the mutex.
  std::atomic<size_t> published_generation_{0}, published_finished_{0};
  bool stop_ = false;
  std::exception_ptr error_;
  size_t error_index_ = 0;
};

}  // namespace velk_track
