// rx_queue.cc - bounded receive queue with loss count.
#include "rx_queue.h"

#include <algorithm>

namespace ntcan_driver {

void RxQueue::push(const CMSG& m) {
  if (frames_.size() >= capacity_) {
    ++lost_;
    return;
  }
  frames_.push_back(m);
  frames_.back().msg_lost = 0;
}

int RxQueue::take(CMSG* out, int max) {
  int n = 0;
  while (n < max && !frames_.empty()) {
    out[n] = frames_.front();
    frames_.pop_front();
    if (lost_ > 0) {
      out[n].msg_lost = static_cast<std::uint8_t>(std::min<std::uint64_t>(lost_, 255));
      lost_ = 0;
    }
    ++n;
  }
  return n;
}

void RxQueue::clear() {
  frames_.clear();
  lost_ = 0;
}

}  // namespace ntcan_driver
