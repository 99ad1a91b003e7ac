// rx_queue.cc - bounded receive ring with loss count.
#include "rx_queue.h"

#include <algorithm>

namespace ntcan_driver {

bool RxQueue::push(const CMSG& m) {
  if (size_ >= capacity_) {
    ++lost_;
    return false;
  }
  if (size_ == ring_.size()) grow();
  CMSG& slot = ring_[(head_ + size_) % ring_.size()];
  slot = m;
  slot.msg_lost = 0;
  ++size_;
  return true;
}

void RxQueue::grow() {
  std::vector<CMSG> bigger;
  bigger.reserve(std::min(capacity_, std::max(kReserved, ring_.size() * 2)));
  for (std::size_t i = 0; i < size_; ++i) bigger.push_back(ring_[(head_ + i) % ring_.size()]);
  bigger.resize(bigger.capacity());
  ring_.swap(bigger);
  head_ = 0;
}

void RxQueue::shrink_if_grown() {
  if (size_ != 0 || ring_.size() <= kReserved) return;
  std::vector<CMSG>(std::min(capacity_, kReserved)).swap(ring_);
  head_ = 0;
}

int RxQueue::take(CMSG* out, int max) {
  int n = 0;
  while (n < max && size_ > 0) {
    out[n] = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --size_;
    if (lost_ > 0) {
      out[n].msg_lost = static_cast<std::uint8_t>(std::min<std::uint64_t>(lost_, 255));
      lost_ = 0;
    }
    ++n;
  }
  shrink_if_grown();
  return n;
}

void RxQueue::clear() {
  head_ = 0;
  size_ = 0;
  lost_ = 0;
  shrink_if_grown();
}

}  // namespace ntcan_driver
