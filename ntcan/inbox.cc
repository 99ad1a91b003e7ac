// inbox.cc - a handle's receive queue, shared by its transport and its readers.
#include "inbox.h"

#include <algorithm>

namespace ntcan_driver {

Inbox::Inbox(std::size_t frames) : queue_(std::min(frames, kMaxQueueFrames)) {}

void Inbox::put(const CMSG& m) {
  std::lock_guard<std::mutex> lock(mx_);
  if (closed_ || !queue_.push(m)) return;
  count();
  if (waiters_ > 0) cv_.notify_all();
}

void Inbox::lose(std::uint64_t n) {
  std::lock_guard<std::mutex> lock(mx_);
  if (!closed_) queue_.count_lost(n);
}

int Inbox::take(CMSG* out, int max) {
  if (empty()) return 0;
  std::lock_guard<std::mutex> lock(mx_);
  const int n = queue_.take(out, max);
  count();
  return n;
}

std::size_t Inbox::size() const {
  std::lock_guard<std::mutex> lock(mx_);
  return queue_.size();
}

std::size_t Inbox::allocated() const {
  std::lock_guard<std::mutex> lock(mx_);
  return queue_.allocated();
}

void Inbox::clear() {
  std::lock_guard<std::mutex> lock(mx_);
  queue_.clear();
  count();
}

void Inbox::wait_for(std::chrono::nanoseconds timeout) {
  std::unique_lock<std::mutex> lock(mx_);
  ++waiters_;
  cv_.wait_for(lock, timeout, [this] { return queue_.size() > 0 || woken_ || closed_; });
  --waiters_;
  woken_ = false;
}

bool Inbox::ready() {
  std::lock_guard<std::mutex> lock(mx_);
  const bool r = queue_.size() > 0 || woken_ || closed_;
  woken_ = false;
  return r;
}

void Inbox::wake() {
  std::lock_guard<std::mutex> lock(mx_);
  woken_ = true;
  cv_.notify_all();
}

void Inbox::close() {
  std::lock_guard<std::mutex> lock(mx_);
  closed_ = true;
  queue_.clear();
  count();
  cv_.notify_all();
}

bool Inbox::closed() const {
  std::lock_guard<std::mutex> lock(mx_);
  return closed_;
}

}  // namespace ntcan_driver
