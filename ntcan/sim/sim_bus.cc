// sim_bus.cc - in-process CAN nets: ports, devices, pending device frames, bus log and trace.
#include "sim_bus.h"

#include <algorithm>
#include <cstring>

#include "can_frame.h"
#include "driver_state.h"
#include "sim_clock.h"

namespace ntcan_driver {
namespace {

// What canStatus reports for a simulated controller.
constexpr std::uint16_t kSimHardware = 0x0110;
constexpr std::uint16_t kSimFirmware = 0x0201;
constexpr std::uint16_t kSimDriver = 0x0305;
constexpr char kSimBoardId[] = "SIM-CAN";

// With a test's own time source a due time says nothing about when to wake: look again this often.
constexpr std::chrono::milliseconds kCustomClockRecheck{1};

}  // namespace

class SimPort final : public Port {
 public:
  SimPort(SimBus& bus, int net) : bus_(bus), net_(net) {}
  ~SimPort() override { close(); }

  int send(const CMSG* frames, int count, int& sent) override {
    std::lock_guard<std::mutex> lock(bus_.mx_);
    sent = 0;
    if (closed_) return NTCAN_INVALID_HANDLE;
    bus_.activity(net_);
    const std::int64_t now = ntcan_sim::now();
    for (int i = 0; i < count; ++i) {
      bus_.transmit(net_, SimBus::Outgoing{frames[i], this, nullptr}, now);
      ++sent;
    }
    return NTCAN_SUCCESS;
  }

  int take(std::vector<CMSG>& out, std::uint64_t& lost) override {
    std::lock_guard<std::mutex> lock(bus_.mx_);
    if (!closed_) bus_.activity(net_);
    if (out.empty()) {
      out.swap(inbox_);  // the two buffers change places: no copy, no allocation
    } else {
      out.insert(out.end(), inbox_.begin(), inbox_.end());
    }
    inbox_.clear();
    lost = lost_;
    lost_ = 0;
    return NTCAN_SUCCESS;
  }

  void wait(std::chrono::nanoseconds timeout) override {
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + timeout;
    std::unique_lock<std::mutex> lock(bus_.mx_);
    SimBus::Net& n = bus_.nets_[static_cast<std::size_t>(net_)];
    for (;;) {
      if (!closed_) bus_.activity(net_);
      if (!inbox_.empty() || closed_ || woken_) {
        woken_ = false;
        return;
      }
      const auto now = Steady::now();
      if (now >= deadline) return;
      auto until = deadline;
      if (!n.pending.empty()) {
        Steady::time_point next =
            custom_time_source()
                ? now + kCustomClockRecheck
                : Steady::time_point(std::chrono::duration_cast<Steady::duration>(
                      std::chrono::nanoseconds(n.pending.begin()->first)));
        until = std::min(until, next);
      }
      n.cv.wait_until(lock, until);
    }
  }

  int status(CAN_IF_STATUS& st) override {
    std::lock_guard<std::mutex> lock(bus_.mx_);
    if (!closed_) bus_.activity(net_);
    st.hardware = kSimHardware;
    st.firmware = kSimFirmware;
    st.driver = kSimDriver;
    std::memset(st.boardid, 0, sizeof st.boardid);
    std::memcpy(st.boardid, kSimBoardId, sizeof kSimBoardId);
    return NTCAN_SUCCESS;
  }

  int set_baudrate(std::uint32_t code) override {
    (void)code;  // a simulated net runs at any rate
    return NTCAN_SUCCESS;
  }

  void wake() override {
    std::lock_guard<std::mutex> lock(bus_.mx_);
    woken_ = true;
    bus_.nets_[static_cast<std::size_t>(net_)].cv.notify_all();
  }

  void close() override {
    std::lock_guard<std::mutex> lock(bus_.mx_);
    if (closed_) return;
    closed_ = true;
    inbox_.clear();
    SimBus::Net& n = bus_.nets_[static_cast<std::size_t>(net_)];
    n.ports.erase(std::remove(n.ports.begin(), n.ports.end(), this), n.ports.end());
    n.cv.notify_all();
  }

  // With the bus lock held.
  void deliver(const CMSG& m) {
    if (inbox_.size() >= SimBus::kPortFrames) {
      ++lost_;
    } else {
      inbox_.push_back(m);
    }
  }

 private:
  SimBus& bus_;
  const int net_;
  std::vector<CMSG> inbox_;
  std::uint64_t lost_ = 0;
  bool closed_ = false;
  bool woken_ = false;
};

SimBus::SimBus() : keep_log_(record_from_environment()) { trace_.open_from_environment(); }

std::unique_ptr<Port> SimBus::open(int net, int& status) {
  auto port = std::make_unique<SimPort>(*this, net);
  std::lock_guard<std::mutex> lock(mx_);
  nets_[static_cast<std::size_t>(net)].ports.push_back(port.get());
  status = NTCAN_SUCCESS;
  return port;
}

void SimBus::inject(int net, const CMSG& m) {
  std::lock_guard<std::mutex> lock(mx_);
  activity(net);
  transmit(net, Outgoing{m, nullptr, nullptr}, ntcan_sim::now());
}

void SimBus::attach(int net, std::shared_ptr<ntcan_sim::Device> device) {
  std::lock_guard<std::mutex> lock(mx_);
  auto& devices = nets_[static_cast<std::size_t>(net)].devices;
  if (std::find(devices.begin(), devices.end(), device) == devices.end()) devices.push_back(std::move(device));
}

void SimBus::detach(int net, const std::shared_ptr<ntcan_sim::Device>& device) {
  std::lock_guard<std::mutex> lock(mx_);
  Net& n = nets_[static_cast<std::size_t>(net)];
  n.devices.erase(std::remove(n.devices.begin(), n.devices.end(), device), n.devices.end());
  for (auto it = n.pending.begin(); it != n.pending.end();) {
    it = it->second.device == device.get() ? n.pending.erase(it) : std::next(it);
  }
}

std::vector<CMSG> SimBus::log(int net) const {
  std::lock_guard<std::mutex> lock(mx_);
  const auto& l = nets_[static_cast<std::size_t>(net)].log;
  return std::vector<CMSG>(l.begin(), l.end());
}

void SimBus::clear_log() {
  std::lock_guard<std::mutex> lock(mx_);
  for (Net& n : nets_) n.log.clear();
}

void SimBus::reset() {
  std::lock_guard<std::mutex> lock(mx_);
  for (Net& n : nets_) {
    n.devices.clear();
    n.pending.clear();
    n.log.clear();
  }
  trace_.open_from_environment();
}

void SimBus::activity(int net) {
  Net& n = nets_[static_cast<std::size_t>(net)];
  if (n.devices.empty() && n.pending.empty()) return;
  const std::int64_t now = ntcan_sim::now();
  WorkQueue& work = work_;
  work.clear();
  while (!n.pending.empty() && n.pending.begin()->first <= now) {
    work.push_back(Outgoing{n.pending.begin()->second.frame, nullptr, n.pending.begin()->second.device});
    n.pending.erase(n.pending.begin());
  }
  const std::size_t pending_before = n.pending.size();
  std::vector<ntcan_sim::TimedFrame>& out = device_out_;
  for (auto& d : n.devices) {
    out.clear();
    d->poll(now, out);
    schedule(n, out, d.get(), now, work);
  }
  if (n.pending.size() != pending_before) n.cv.notify_all();  // readers may wake earlier now
  run(net, work, now);
}

void SimBus::transmit(int net, const Outgoing& first, std::int64_t now) {
  work_.clear();
  work_.push_back(first);
  run(net, work_, now);
}

void SimBus::schedule(Net& n, std::vector<ntcan_sim::TimedFrame>& out, const ntcan_sim::Device* from,
                      std::int64_t now, WorkQueue& work) {
  for (const auto& tf : out) {
    if (!valid_frame(tf.frame)) continue;  // a device bug must not reach the handles
    if (tf.due_ns <= now) {
      work.push_back(Outgoing{tf.frame, nullptr, from});
    } else {
      n.pending.emplace(tf.due_ns, Pending{tf.frame, from});
    }
  }
}

void SimBus::run(int net, WorkQueue& work, std::int64_t now) {
  if (work.empty()) return;
  Net& n = nets_[static_cast<std::size_t>(net)];
  int budget = kFramesPerActivity;
  // In order of arrival; cross() appends what each frame provokes.
  for (std::size_t next = 0; next < work.size(); ++next) {
    if (budget-- == 0) {
      for (std::size_t i = next; i < work.size(); ++i) n.pending.emplace(now, Pending{work[i].frame, work[i].device});
      break;
    }
    const Outgoing o = work[next];
    cross(net, o, now, work);
  }
  work.clear();
  n.cv.notify_all();
}

void SimBus::cross(int net, const Outgoing& o, std::int64_t now, WorkQueue& work) {
  Net& n = nets_[static_cast<std::size_t>(net)];
  const CMSG m = on_wire(o.frame);
  if (keep_log_.load(std::memory_order_relaxed)) {
    n.log.push_back(m);
    if (n.log.size() > kLogFrames) n.log.pop_front();
  }
  trace_.write(net, m);
  for (SimPort* p : n.ports) {
    if (p != o.port) p->deliver(m);
  }
  std::vector<ntcan_sim::TimedFrame>& out = device_out_;
  for (auto& d : n.devices) {
    if (d.get() == o.device) continue;
    out.clear();
    d->on_frame(m, now, out);
    schedule(n, out, d.get(), now, work);
  }
}

SimBus& sim_bus() {
  static SimBus* bus = new SimBus;  // never destroyed: detached threads may still use it
  return *bus;
}

}  // namespace ntcan_driver
