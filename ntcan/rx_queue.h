// rx_queue.h - a handle's receive queue of fixed capacity. A full queue keeps what it holds
// and counts what it loses; the next frame taken reports the count in msg_lost.
#ifndef NTCAN_RX_QUEUE_H
#define NTCAN_RX_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntcan.h"

namespace ntcan_driver {

// A ring of the queue's capacity, allocated at once up to kReserved frames; a larger queue
// grows (doubling) as frames arrive and never shrinks. So pushing and taking allocate nothing
// for the queue sizes servers use, and a handle opened with a huge one costs nothing unused.
class RxQueue {
 public:
  static constexpr std::size_t kReserved = 1024;

  explicit RxQueue(std::size_t capacity)
      : ring_(capacity < kReserved ? capacity : kReserved), capacity_(capacity) {}

  void push(const CMSG& m);
  void count_lost(std::uint64_t n) { lost_ += n; }
  // Moves up to max frames into out; returns how many.
  int take(CMSG* out, int max);
  std::size_t size() const { return size_; }
  // Forgets the frames and the loss count.
  void clear();

 private:
  std::vector<CMSG> ring_;
  std::size_t head_ = 0;  // oldest frame
  std::size_t size_ = 0;
  std::size_t capacity_;
  std::uint64_t lost_ = 0;
};

}  // namespace ntcan_driver

#endif  // NTCAN_RX_QUEUE_H
