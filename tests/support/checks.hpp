// GoogleTest checks shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "morvane/concurrency/thread_pool.hpp"
#include "morvane/error.hpp"

namespace morvane::test {

// Succeeds when `r` failed with exactly the decode error `kind` at `bit`;
// otherwise says what happened instead.
template <class T>
testing::AssertionResult fails_with(const Result<T>& r, std::uint64_t bit, DecodeError kind) {
  const Error want = Error::decode(bit, kind);
  if (r) return testing::AssertionFailure() << "succeeded; expected " << want.display();
  if (r.error() == want) return testing::AssertionSuccess();
  return testing::AssertionFailure() << r.error().display() << "; expected " << want.display();
}

// The pool of `threads` threads (none below 2); a pool that does not start
// fails the calling test.
inline std::unique_ptr<concurrency::ThreadPool> make_pool(std::uint64_t threads) {
  auto pool = concurrency::thread_pool(threads);
  EXPECT_TRUE(pool.has_value());
  return pool ? std::move(*pool) : nullptr;
}

}  // namespace morvane::test
