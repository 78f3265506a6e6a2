#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "morvane/concurrency/thread_pool.hpp"
#include "support/checks.hpp"

using namespace morvane;
using concurrency::ThreadPool;
using test::make_pool;

namespace {

std::string current_thread_name() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

}  // namespace

TEST(PoolBuild, NoPoolBelowTwoThreads) {
  for (std::uint64_t threads : {0, 1}) {
    auto pool = concurrency::thread_pool(threads);
    ASSERT_TRUE(pool.has_value());
    EXPECT_EQ(*pool, nullptr);
  }
}

TEST(PoolBuild, ExactlyNNamedThreadsRunningTogether) {
  auto pool = make_pool(3);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->size(), 3u);

  std::mutex mutex;
  std::vector<std::string> names(3);
  std::set<std::thread::id> ids;
  // Every thread waits here for all the others: the broadcast only returns if
  // all three run at the same time.
  std::latch all_there(3);
  EXPECT_TRUE(pool->broadcast([&](std::size_t k) {
    all_there.arrive_and_wait();
    std::lock_guard lock(mutex);
    names.at(k) = current_thread_name();
    ids.insert(std::this_thread::get_id());
  }));
  EXPECT_EQ(names, (std::vector<std::string>{"morvane-0", "morvane-1", "morvane-2"}));
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u) << "the calling thread is not a member";
}

// g++ announces its sanitizers with __SANITIZE_*__, clang 16 only through __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define POOL_TEST_SANITIZED
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(POOL_TEST_SANITIZED)
TEST(PoolBuild, ThreadThatCannotStartGivesInvalidConfiguration) {
  // In a child process whose address space leaves room for a couple of thread
  // stacks only, a pool of 64 threads cannot be built. (Sanitizers reserve
  // vast address ranges of their own, so the limit cannot be used there.)
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (24u << 20);
    const rlimit limit{room, room};
    setrlimit(RLIMIT_AS, &limit);
    auto pool = concurrency::thread_pool(64);  // returns only once the started threads are joined
    const std::string text = pool ? "built a pool" : pool.error().display();
    if (write(pipe_fds[1], text.data(), text.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[256];
  for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(text, "invalid configuration: Resource temporarily unavailable (os error 11)");
}
#endif

TEST(PoolChunks, EachChunkOnceOnThePool) {
  auto pool = make_pool(4);
  constexpr std::size_t n = 1000;
  std::vector<std::atomic<int>> runs(n);
  // Uneven work, so chunks finish out of order.
  pool->for_each_chunk(n, [&](std::size_t i) {
    runs[i].fetch_add(1);
    volatile std::uint64_t spin = 0;
    for (std::size_t k = 0; k < (i % 7) * 1000; ++k) spin = spin + k;
  });
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i].load(), 1) << "chunk " << i;
  EXPECT_EQ(pool->chunks_run(), n);
  pool->for_each_chunk(0, [](std::size_t) { FAIL(); });
  EXPECT_EQ(pool->chunks_run(), n);
}

TEST(PoolBroadcast, FaultIsReportedAfterAllReturnedAndPoolStaysUsable) {
  auto pool = make_pool(4);
  std::atomic<int> finished{0};
  EXPECT_FALSE(pool->broadcast([&](std::size_t k) {
    if (k == 1) throw std::runtime_error("worker fault");
    finished.fetch_add(1);
  }));
  EXPECT_EQ(finished.load(), 3);

  // A fault of one job does not leak into the next.
  std::atomic<int> ran{0};
  EXPECT_TRUE(pool->broadcast([&](std::size_t) { ran.fetch_add(1); }));
  EXPECT_EQ(ran.load(), 4);

  // Every thread throwing, even something that is not an exception class.
  EXPECT_FALSE(pool->broadcast([](std::size_t) { throw 7; }));

  // for_each_chunk hands the first fault to its caller.
  EXPECT_THROW(pool->for_each_chunk(100, [](std::size_t i) {
    if (i == 42) throw std::length_error("chunk fault");
  }), std::length_error);
  std::atomic<int> after{0};
  pool->for_each_chunk(3, [&](std::size_t) { after.fetch_add(1); });
  EXPECT_EQ(after.load(), 3);
}
