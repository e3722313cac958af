#include "velk_track/thread_pool.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

namespace velk_track {

namespace {
// A frame runs several parallel loops a few hundred microseconds apart. Waking a sleeping thread on
// another core costs tens of microseconds (more inside a virtual machine), so a thread that runs out
// of work first watches for the next loop (or the last task) this long before it sleeps.
constexpr auto kSpinBeforeSleeping = std::chrono::microseconds(200);
}  // namespace

template <class Ready>
void ThreadPool::spin_until(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
  for (int k = 0; !ready(); ++k) {
    if ((k & 63) == 63 && std::chrono::steady_clock::now() > until) return;
  }
}

ThreadPool::ThreadPool(int threads) {
  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { work_loop(); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  start_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void ThreadPool::run_tasks(std::unique_lock<std::mutex>& lock) {
  // The mutex is held on entry and exit and released around each task.
  while (task_ && next_ < count_) {
    const size_t i = next_++;
    const std::function<void(size_t)>* task = task_;
    lock.unlock();
    std::exception_ptr error;
    try {
      (*task)(i);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && (!error_ || i < error_index_)) {
      error_ = error;
      error_index_ = i;
    }
    published_finished_.store(++finished_, std::memory_order_release);
    if (finished_ == count_) done_.notify_all();
  }
}

void ThreadPool::work_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t seen = generation_;
  for (;;) {
    if (!stop_ && generation_ == seen) {
      lock.unlock();
      spin_until([&] { return published_generation_.load(std::memory_order_acquire) != seen; });
      lock.lock();
    }
    start_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    run_tasks(lock);
  }
}

void ThreadPool::parallel_for(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  if (workers_.empty() || count == 1) {
    for (size_t i = 0; i < count; ++i) task(i);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  task_ = &task;
  count_ = count;
  next_ = 0;
  finished_ = 0;
  error_ = nullptr;
  published_finished_.store(0, std::memory_order_relaxed);
  published_generation_.store(++generation_, std::memory_order_release);
  start_.notify_all();
  run_tasks(lock);
  if (finished_ != count_) {
    lock.unlock();
    spin_until([&] { return published_finished_.load(std::memory_order_acquire) == count; });
    lock.lock();
  }
  done_.wait(lock, [&] { return finished_ == count_; });
  task_ = nullptr;
  std::exception_ptr error = error_;
  error_ = nullptr;
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

}  // namespace velk_track
