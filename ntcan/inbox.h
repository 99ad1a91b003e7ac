// inbox.h - the receiving end of one handle: its bounded queue, filled by the transport as
// frames arrive and emptied by canRead and canTake.
//
// Transports put only frames the handle enabled (they match each frame once, on arrival;
// see id_index.h). Any thread may put, take, wait or wake; a put wakes a reader waiting in
// wait_for() only when there is one, so a frame nobody waits for costs no system call.
#ifndef NTCAN_INBOX_H
#define NTCAN_INBOX_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "ntcan.h"
#include "rx_queue.h"

namespace ntcan_driver {

// The most frames a handle's queue holds, whatever queue size canOpen asked for; what
// arrives past a full queue counts as lost (msg_lost of the next frame the handle takes).
// A handle that is only status-checked therefore never holds more than this.
constexpr std::size_t kMaxQueueFrames = 65536;

class Inbox {
 public:
  // Room for `frames` frames (canOpen's rxqueuesize), at most kMaxQueueFrames.
  explicit Inbox(std::size_t frames);
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // A frame the handle enabled arrived; dropped and counted once the queue is full or the
  // handle closed.
  void put(const CMSG& m);
  // Frames the transport lost before they could be matched (e.g. a socket's overflow).
  void lose(std::uint64_t n);

  // Moves up to max frames into out; returns how many. An empty queue is seen without its
  // lock.
  int take(CMSG* out, int max);
  std::size_t size() const;
  // Without the lock: no frame queued as of a moment ago.
  bool empty() const { return queued_.load(std::memory_order_acquire) == 0; }
  // Frames the queue's storage has room for now (it grows and shrinks with need).
  std::size_t allocated() const;
  // Empties the queue and forgets its loss count.
  void clear();

  // Returns once frames are queued, wake() or close() was called, or the time-out passed.
  void wait_for(std::chrono::nanoseconds timeout);
  // Frames queued, or a wake-up pending (consumed by this call).
  bool ready();
  // Makes a wait in progress (or the next one) return at once.
  void wake();
  // No frame is taken in any more; a wait in progress returns, and every later one at once.
  void close();
  bool closed() const;

 private:
  void count() {
    queued_.store(static_cast<std::uint32_t>(queue_.size()), std::memory_order_release);
  }

  // What a take reads first; the condition variable last (only waits use it).
  std::atomic<std::uint32_t> queued_{0};  // queue_.size(), written under mx_
  mutable std::mutex mx_;
  RxQueue queue_;
  int waiters_ = 0;
  bool woken_ = false;
  bool closed_ = false;
  std::condition_variable cv_;
};

}  // namespace ntcan_driver

#endif  // NTCAN_INBOX_H
