// rx_queue.h - a handle's receive ring of bounded capacity. A full ring keeps what it holds
// and counts what it loses; the next frame taken reports the count in msg_lost. Not
// thread-safe: the handle's Inbox guards it.
#ifndef NTCAN_RX_QUEUE_H
#define NTCAN_RX_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntcan.h"

namespace ntcan_driver {

// Storage follows need: a ring starts with room for at most kReserved frames, doubles while
// frames pile up (never past the capacity) and goes back to kReserved once a reader has taken
// it empty again. So the queue sizes servers use allocate once, a handle opened with a huge
// queue costs nothing while it is read in time, and the memory of a stalled reader comes back
// after its next take.
class RxQueue {
 public:
  static constexpr std::size_t kReserved = 128;

  explicit RxQueue(std::size_t capacity)
      : ring_(capacity < kReserved ? capacity : kReserved), capacity_(capacity) {}

  // False when the ring was full (the frame is counted as lost).
  bool push(const CMSG& m);
  void count_lost(std::uint64_t n) { lost_ += n; }
  // Moves up to max frames into out; returns how many.
  int take(CMSG* out, int max);
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  // Frames the storage has room for now.
  std::size_t allocated() const { return ring_.size(); }
  // Forgets the frames and the loss count, and gives back grown storage.
  void clear();

 private:
  void grow();
  void shrink_if_grown();

  std::vector<CMSG> ring_;
  std::size_t head_ = 0;  // oldest frame
  std::size_t size_ = 0;
  std::size_t capacity_;
  std::uint64_t lost_ = 0;
};

}  // namespace ntcan_driver

#endif  // NTCAN_RX_QUEUE_H
