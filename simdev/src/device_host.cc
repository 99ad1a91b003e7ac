// device_host.cc - feeding devices, keeping their late answers, and running a bus's frames.
#include "simdev/device_host.h"

#include <algorithm>

#include "canbus/can_frame.h"

namespace simdev {

void DeviceHost::attach(std::shared_ptr<Device> device) {
  if (std::find(devices_.begin(), devices_.end(), device) == devices_.end())
    devices_.push_back(std::move(device));
}

void DeviceHost::detach(const std::shared_ptr<Device>& device) {
  devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    it = it->second.sender == device.get() ? waiting_.erase(it) : std::next(it);
  }
}

void DeviceHost::drop_waiting() { waiting_.clear(); }

void DeviceHost::clear() {
  devices_.clear();
  waiting_.clear();
}

void DeviceHost::due(std::int64_t now, std::deque<BusFrame>& out) {
  while (!waiting_.empty() && waiting_.begin()->first <= now) {
    out.push_back(waiting_.begin()->second);
    waiting_.erase(waiting_.begin());
  }
  for (auto& d : devices_) {
    out_.clear();
    d->poll(now, out_);
    keep(out_, d.get(), now, out);
  }
}

std::int64_t DeviceHost::next_due() const {
  std::int64_t next = waiting_.empty() ? -1 : waiting_.begin()->first;
  for (const auto& d : devices_) {
    const std::int64_t t = d->wake_at();
    if (t >= 0 && (next < 0 || t < next)) next = t;
  }
  return next;
}

void DeviceHost::keep(std::vector<TimedFrame>& out, const Device* from, std::int64_t now,
                      std::deque<BusFrame>& work) {
  for (const TimedFrame& tf : out) {
    if (!canbus::valid_frame(tf.frame)) continue;  // a device's bug must not reach the bus
    if (tf.due_ns <= now) {
      work.push_back(BusFrame{tf.frame, from});
    } else {
      waiting_.emplace(tf.due_ns, BusFrame{tf.frame, from});
    }
  }
}

std::uint64_t DeviceHost::run(std::deque<BusFrame>& work, std::int64_t now,
                              const Deliver& deliver) {
  std::uint64_t crossed = 0;
  while (!work.empty()) {
    if (crossed == static_cast<std::uint64_t>(kFramesPerRun)) {
      for (const BusFrame& f : work) waiting_.emplace(now, f);
      work.clear();
      break;
    }
    const BusFrame f{canbus::on_wire(work.front().frame), work.front().sender};
    work.pop_front();
    ++crossed;
    deliver(f.frame, f.sender);
    for (auto& d : devices_) {
      if (d.get() == f.sender) continue;
      out_.clear();
      d->on_frame(f.frame, now, out_);
      keep(out_, d.get(), now, work);
    }
  }
  return crossed;
}

}  // namespace simdev
