// An open file descriptor that closes itself: owned by one object, moved and
// never copied, so no descriptor is closed twice. One thread at a time.
#pragma once

#include <expected>

#include "morvane/io_error.hpp"

namespace morvane {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int release();
  // Closes the descriptor, if any; errors are ignored.
  void reset();
  // Closes the descriptor and reports the error close gives: network and
  // quota-limited file systems may report a failed write only here.
  std::expected<void, IoError> close();

 private:
  int fd_ = -1;
};

}  // namespace morvane
