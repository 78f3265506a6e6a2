// An unbounded many-to-one channel. A send never blocks and hands the message
// back once the receiving end is gone; a receive waits for a message and
// reports the channel closed once every sending end is gone and none is left.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace morvane::concurrency {

namespace detail {
template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;  // only the receiver waits on it
  std::deque<T> messages;
  std::size_t senders = 1;
  bool receiver_alive = true;
};
}  // namespace detail

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { close(); }

  // Queues the message; hands it back when the receiver is gone. Safe to call
  // from many threads on one Sender.
  std::optional<T> send(T message) const {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return std::optional<T>(std::move(message));
      state_->messages.push_back(std::move(message));
    }
    state_->ready.notify_one();
    return std::nullopt;
  }

  // Drops this sending end; the last one to go closes the channel.
  void close() {
    if (!state_) return;
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->ready.notify_one();
    state_.reset();
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Receiver() { close(); }

  // The next message, waiting as long as it takes; nothing once the channel is
  // closed and empty.
  std::optional<T> receive() {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait(lock, [&] { return !state_->messages.empty() || state_->senders == 0; });
    if (state_->messages.empty()) return std::nullopt;
    std::optional<T> message(std::move(state_->messages.front()));
    state_->messages.pop_front();
    return message;
  }

  // Drops the receiving end: later sends fail, and the messages still queued
  // are dropped (outside the lock, so their buffers are not freed under it).
  void close() {
    if (!state_) return;
    std::deque<T> left;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      left.swap(state_->messages);
    }
    state_.reset();
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

// A new channel with one sending end; copy the Sender for more.
template <class T>
std::pair<Sender<T>, Receiver<T>> channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace morvane::concurrency
