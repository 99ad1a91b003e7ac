// call_record.cc - bounded record of driver calls.
#include "call_record.h"

namespace ntcan_driver {

void CallRecord::add(ntcan_sim::Call call) {
  calls_.push_back(std::move(call));
  if (calls_.size() > kKeep) calls_.pop_front();
}

std::vector<ntcan_sim::Call> CallRecord::all() const { return {calls_.begin(), calls_.end()}; }

std::vector<ntcan_sim::Call> CallRecord::of(const std::string& op) const {
  std::vector<ntcan_sim::Call> out;
  for (const auto& c : calls_) {
    if (c.op == op) out.push_back(c);
  }
  return out;
}

}  // namespace ntcan_driver
