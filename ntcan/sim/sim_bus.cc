// sim_bus.cc - in-process CAN nets: ports, their devices, bus log and trace.
#include "sim_bus.h"

#include <algorithm>
#include <cstring>

#include "can_frame.h"
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
    std::deque<ntcan_sim::BusFrame>& work = bus_.work_;
    for (int i = 0; i < count; ++i) {
      work.push_back(ntcan_sim::BusFrame{frames[i], this});
      bus_.run(net_, work, now);
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
      const std::int64_t next_due = n.devices.next_due();
      if (next_due >= 0) {
        Steady::time_point next =
            custom_time_source()
                ? now + kCustomClockRecheck
                : Steady::time_point(std::chrono::duration_cast<Steady::duration>(std::chrono::nanoseconds(next_due)));
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
    if (inbox_.size() >= kPortFrames) {
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

SimBus::SimBus() : keep_log_(false) {}

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
  work_.push_back(ntcan_sim::BusFrame{m, nullptr});
  run(net, work_, ntcan_sim::now());
}

void SimBus::attach(int net, std::shared_ptr<ntcan_sim::Device> device) {
  std::lock_guard<std::mutex> lock(mx_);
  Net& n = nets_[static_cast<std::size_t>(net)];
  n.devices.attach(std::move(device));
  n.cv.notify_all();  // it may want to speak before anything else happens
}

void SimBus::detach(int net, const std::shared_ptr<ntcan_sim::Device>& device) {
  std::lock_guard<std::mutex> lock(mx_);
  nets_[static_cast<std::size_t>(net)].devices.detach(device);
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
    n.log.clear();
  }
}

void SimBus::activity(int net) {
  Net& n = nets_[static_cast<std::size_t>(net)];
  if (n.devices.idle()) return;
  const std::int64_t now = ntcan_sim::now();
  const std::int64_t next_before = n.devices.next_due();
  n.devices.due(now, work_);
  if (n.devices.next_due() != next_before) n.cv.notify_all();  // readers may wake earlier now
  run(net, work_, now);
}

void SimBus::run(int net, std::deque<ntcan_sim::BusFrame>& work, std::int64_t now) {
  if (work.empty()) return;
  Net& n = nets_[static_cast<std::size_t>(net)];
  if (n.devices.idle()) {
    // Only ports on the net: the frames cross as they are, nothing answers them.
    for (const ntcan_sim::BusFrame& f : work) cross(net, ntcan_frame::on_wire(f.frame), f.sender);
    work.clear();  // (popping nothing, the scratch queue keeps its storage)
  } else {
    // One pointer captured: the callback fits std::function's own space, no allocation.
    struct Crossing {
      SimBus* bus;
      int net;
    } c{this, net};
    n.devices.run(work, now, [&c](const CMSG& m, const void* sender) { c.bus->cross(c.net, m, sender); });
  }
  n.cv.notify_all();
}

void SimBus::cross(int net, const CMSG& m, const void* sender) {
  Net& n = nets_[static_cast<std::size_t>(net)];
  if (keep_log_.load(std::memory_order_relaxed)) {
    n.log.push_back(m);
    if (n.log.size() > kLogFrames) n.log.pop_front();
  }
  bus_trace().write(net, m);
  for (SimPort* p : n.ports) {
    if (p != sender) p->deliver(m);
  }
}

SimBus& sim_bus() {
  static SimBus* bus = new SimBus;  // never destroyed: detached threads may still use it
  return *bus;
}

}  // namespace ntcan_driver
