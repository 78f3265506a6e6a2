// A pool of N named threads that wait for jobs. A job runs one function once
// on every pool thread at the same time (a broadcast); the loop over chunk
// numbers is a broadcast whose threads pull chunk numbers from a shared
// counter. The engine starts one pool per decode call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "morvane/error.hpp"

namespace morvane::concurrency {

// The most threads one pool holds; larger requests get this many.
inline constexpr std::uint64_t kMaxPoolThreads = 65535;

class ThreadPool {
 public:
  // Starts exactly `threads` threads (2 to kMaxPoolThreads), named
  // "morvane-0" .. "morvane-{threads-1}". A thread that cannot be started
  // gives thread_start_error; the threads already started are joined first.
  static Result<std::unique_ptr<ThreadPool>> start(std::size_t threads);

  // Starts more threads, up to `threads` in all (at most kMaxPoolThreads),
  // named on from the last; the same errors as start. Not while a job runs.
  Result<void> grow_to(std::size_t threads);

  // Wakes every thread with the stop request and joins them all.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t size() const { return threads_.size(); }

  // Runs f(k) once on every pool thread k at the same time and waits for all
  // of them. Returns false when f threw on any thread (after all returned).
  // Jobs from several callers run one after the other. Must not be called
  // from a pool thread (it would wait for itself).
  bool broadcast(const std::function<void(std::size_t)>& f) const;

  // Runs f(i) for i in [0, n) on the pool threads, each number once; the
  // calling thread waits. When f throws, the remaining chunks are skipped and
  // the first exception is rethrown here after every thread has returned.
  template <class F>
  void for_each_chunk(std::size_t n, F&& f) const {
    if (n == 0) return;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::exception_ptr first_fault;
    std::mutex fault_mutex;
    broadcast([&](std::size_t) {
      for (std::size_t i; !stop.load(std::memory_order_relaxed) &&
                          (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) {
        try {
          f(i);
        } catch (...) {
          stop.store(true, std::memory_order_relaxed);
          std::lock_guard lock(fault_mutex);
          if (!first_fault) first_fault = std::current_exception();
        }
      }
    });
    chunks_run_.fetch_add(n, std::memory_order_relaxed);
    if (first_fault) std::rethrow_exception(first_fault);
  }

  // How many chunk numbers for_each_chunk has been given so far (a statistic for
  // tests and benchmarks).
  std::uint64_t chunks_run() const { return chunks_run_.load(std::memory_order_relaxed); }

 private:
  ThreadPool() = default;
  // Thread k: runs every job after the one numbered `seen`.
  void worker(std::size_t k, std::uint64_t seen);

  std::vector<std::thread> threads_;
  mutable std::mutex submit_;  // one job at a time
  mutable std::mutex mutex_;   // guards the fields below
  mutable std::condition_variable job_ready_;
  mutable std::condition_variable job_done_;
  mutable const std::function<void(std::size_t)>* job_ = nullptr;
  mutable std::uint64_t generation_ = 0;  // grows by one per job
  mutable std::size_t running_ = 0;       // threads still inside the current job
  mutable bool faulted_ = false;          // the current job threw on some thread
  bool stopping_ = false;
  mutable std::atomic<std::uint64_t> chunks_run_{0};
};

// The error of a thread that could not be started: InvalidConfiguration with
// the system's text and number, "Resource temporarily unavailable (os error 11)".
Error thread_start_error(const std::system_error& error);

// The pool of one decode call: no pool (nullptr) below 2 threads, otherwise
// exactly `threads` threads (at most kMaxPoolThreads).
Result<std::unique_ptr<ThreadPool>> thread_pool(std::uint64_t threads);

}  // namespace morvane::concurrency
