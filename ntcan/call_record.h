// call_record.h - every call of the nine NTCAN functions, for tests to look at.
#ifndef NTCAN_CALL_RECORD_H
#define NTCAN_CALL_RECORD_H

#include <deque>
#include <string>
#include <vector>

#include "ntcan_sim.h"

namespace ntcan_driver {

// Keeps the most recent calls (a long-running demo must not grow without bound).
// Not thread-safe: used under the driver lock.
class CallRecord {
 public:
  static constexpr std::size_t kKeep = 100000;

  void add(ntcan_sim::Call call);
  std::vector<ntcan_sim::Call> all() const;
  std::vector<ntcan_sim::Call> of(const std::string& op) const;
  void clear() { calls_.clear(); }

 private:
  std::deque<ntcan_sim::Call> calls_;
};

}  // namespace ntcan_driver

#endif  // NTCAN_CALL_RECORD_H
