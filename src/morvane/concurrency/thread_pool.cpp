#include "morvane/concurrency/thread_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <string>
#include <system_error>

namespace morvane::concurrency {

Result<std::unique_ptr<ThreadPool>> ThreadPool::start(std::size_t threads) {
  // The constructor is private, so make_unique cannot reach it.
  std::unique_ptr<ThreadPool> pool(new ThreadPool());
  // On failure the destructor stops and joins the threads that did start.
  if (auto started = pool->grow_to(threads); !started) return fail(std::move(started.error()));
  return pool;
}

Result<void> ThreadPool::grow_to(std::size_t threads) {
  threads = std::min<std::size_t>(threads, kMaxPoolThreads);
  threads_.reserve(threads);
  // A thread joins from the next job on, however late it gets to run.
  const std::uint64_t joined = [&] {
    std::lock_guard lock(mutex_);
    return generation_;
  }();
  for (std::size_t k = threads_.size(); k < threads; ++k) {
    try {
      threads_.emplace_back([this, k, joined] { worker(k, joined); });
    } catch (const std::system_error& e) {
      return fail(thread_start_error(e));
    }
  }
  return {};
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  job_ready_.notify_all();
  for (auto& thread : threads_) thread.join();
}

bool ThreadPool::broadcast(const std::function<void(std::size_t)>& f) const {
  std::lock_guard submit(submit_);
  std::unique_lock lock(mutex_);
  job_ = &f;
  running_ = threads_.size();
  faulted_ = false;
  ++generation_;
  job_ready_.notify_all();
  job_done_.wait(lock, [this] { return running_ == 0; });
  job_ = nullptr;
  return !faulted_;
}

void ThreadPool::worker(std::size_t k, std::uint64_t seen) {
  // Named before the first job, so every job sees its thread's name.
  const std::string name = "morvane-" + std::to_string(k);
  pthread_setname_np(pthread_self(), name.c_str());

  std::unique_lock lock(mutex_);
  for (;;) {
    job_ready_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    // The destructor runs only between jobs, so a stop never cuts one short.
    if (stopping_) return;
    seen = generation_;
    const auto* job = job_;
    lock.unlock();
    bool ok = true;
    try {
      (*job)(k);
    } catch (...) {
      // A fault stays on this side of the thread boundary; the caller learns
      // of it from broadcast's result.
      ok = false;
    }
    lock.lock();
    if (!ok) faulted_ = true;
    if (--running_ == 0) job_done_.notify_all();
  }
}

Error thread_start_error(const std::system_error& error) {
  return Error::invalid_configuration(IoError::from_errno(error.code().value()).display());
}

Result<std::unique_ptr<ThreadPool>> thread_pool(std::uint64_t threads) {
  if (threads < 2) return std::unique_ptr<ThreadPool>();
  return ThreadPool::start(static_cast<std::size_t>(std::min(threads, kMaxPoolThreads)));
}

}  // namespace morvane::concurrency
