// sim_transport.cc - in-process CAN nets: ports, their devices, bus log and trace.
#include "sim_transport.h"

#include <algorithm>
#include <cstring>

#include "canbus/can_frame.h"
#include "driver_clock.h"
#include "driver_state.h"

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

// Aligned to a cache line: ports polled by different threads share no line.
class alignas(64) SimPort final : public Port {
 public:
  SimPort(SimTransport& bus, SimTransport::Net& net, Inbox& inbox)
      : bus_(bus), net_(net), inbox_(inbox) {}
  ~SimPort() override { close(); }

  int send(const CMSG* frames, int count, int& sent) override {
    std::lock_guard<std::mutex> lock(net_.mx);
    sent = 0;
    if (closed_) return NTCAN_INVALID_HANDLE;
    bus_.activity(net_);
    const std::int64_t now = clock_now();
    for (int i = 0; i < count; ++i) {
      // The sender is the port's inbox: the frame reaches every handle but this one.
      net_.work.push_back(simdev::BusFrame{frames[i], &inbox_});
      bus_.run(net_, now);
      ++sent;
    }
    return NTCAN_SUCCESS;
  }

  const std::atomic<bool>* quiet_flag() const override { return &net_.quiet; }

  int refresh() override {
    if (net_.quiet.load(std::memory_order_acquire)) return NTCAN_SUCCESS;
    std::lock_guard<std::mutex> lock(net_.mx);
    if (!closed_) bus_.activity(net_);
    return NTCAN_SUCCESS;
  }

  void wait(std::chrono::nanoseconds timeout) override {
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + timeout;
    std::unique_lock<std::mutex> lock(net_.mx);
    SimTransport::Net& n = net_;
    for (;;) {
      if (!closed_) bus_.activity(net_);
      if (closed_ || inbox_.ready()) return;
      const auto now = Steady::now();
      if (now >= deadline) return;
      auto until = deadline;
      const std::int64_t next_due = n.devices.next_due();
      if (next_due >= 0) {
        Steady::time_point next =
            custom_time_source() ? now + kCustomClockRecheck
                                 : Steady::time_point(std::chrono::duration_cast<Steady::duration>(
                                       std::chrono::nanoseconds(next_due)));
        until = std::min(until, next);
      }
      n.cv.wait_until(lock, until);
    }
  }

  int status(CAN_IF_STATUS& st) override {
    std::lock_guard<std::mutex> lock(net_.mx);
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
    inbox_.wake();
    std::lock_guard<std::mutex> lock(net_.mx);
    net_.cv.notify_all();  // a reader of this net waits on the net's condition
  }

  void close() override {
    std::lock_guard<std::mutex> lock(net_.mx);
    if (closed_) return;
    closed_ = true;
    for (std::int32_t id : ids_) net_.index.remove(id, &inbox_);
    ids_.clear();
    net_.cv.notify_all();
  }

  void id_enabled(std::int32_t id, bool enabled) override {
    std::lock_guard<std::mutex> lock(net_.mx);
    if (closed_) return;
    if (enabled) {
      net_.index.add(id, &inbox_);
      ids_.push_back(id);
    } else {
      net_.index.remove(id, &inbox_);
      ids_.erase(std::remove(ids_.begin(), ids_.end(), id), ids_.end());
    }
  }

 private:
  SimTransport& bus_;
  SimTransport::Net& net_;
  Inbox& inbox_;
  std::vector<std::int32_t> ids_;  // what this port put into the net's index
  bool closed_ = false;
};

SimTransport::SimTransport() {
  for (int i = 0; i < kNets; ++i) net(i).number = i;
}

std::unique_ptr<Port> SimTransport::open(int number, Inbox& inbox, int& status) {
  status = NTCAN_SUCCESS;
  return std::make_unique<SimPort>(*this, net(number), inbox);
}

void SimTransport::inject(int number, const CMSG& m) {
  Net& n = net(number);
  std::lock_guard<std::mutex> lock(n.mx);
  activity(n);
  n.work.push_back(simdev::BusFrame{m, nullptr});
  run(n, clock_now());
}

void SimTransport::attach(int number, std::shared_ptr<simdev::Device> device) {
  Net& n = net(number);
  std::lock_guard<std::mutex> lock(n.mx);
  n.devices.attach(std::move(device));
  n.quiet.store(n.devices.idle(), std::memory_order_release);
  n.cv.notify_all();  // it may want to speak before anything else happens
}

void SimTransport::detach(int number, const std::shared_ptr<simdev::Device>& device) {
  Net& n = net(number);
  std::lock_guard<std::mutex> lock(n.mx);
  n.devices.detach(device);
  n.quiet.store(n.devices.idle(), std::memory_order_release);
}

std::vector<CMSG> SimTransport::log(int number) {
  Net& n = net(number);
  std::lock_guard<std::mutex> lock(n.mx);
  return std::vector<CMSG>(n.log.begin(), n.log.end());
}

void SimTransport::clear_log() {
  for (Net& n : nets_) {
    std::lock_guard<std::mutex> lock(n.mx);
    n.log.clear();
  }
}

void SimTransport::reset() {
  for (Net& n : nets_) {
    std::lock_guard<std::mutex> lock(n.mx);
    n.devices.clear();
    n.quiet.store(true, std::memory_order_release);
    n.log.clear();
  }
}

void SimTransport::activity(Net& n) {
  if (n.devices.idle()) return;
  const std::int64_t now = clock_now();
  const std::int64_t next_before = n.devices.next_due();
  n.devices.due(now, n.work);
  if (n.devices.next_due() != next_before) n.cv.notify_all();  // readers may wake earlier now
  run(n, now);
}

void SimTransport::run(Net& n, std::int64_t now) {
  std::deque<simdev::BusFrame>& work = n.work;
  if (work.empty()) return;
  if (n.devices.idle()) {
    // Only ports on the net: the frames cross as they are, nothing answers them.
    for (const simdev::BusFrame& f : work) cross(n, canbus::on_wire(f.frame), f.sender);
    work.clear();  // (popping nothing, the scratch queue keeps its storage)
  } else {
    // One pointer captured: the callback fits std::function's own space, no allocation.
    struct Crossing {
      SimTransport* bus;
      Net* net;
    } c{this, &n};
    n.devices.run(work, now,
                  [&c](const CMSG& m, const void* sender) { c.bus->cross(*c.net, m, sender); });
  }
  n.cv.notify_all();
}

void SimTransport::cross(Net& n, const CMSG& m, const void* sender) {
  if (driver_state().hooks.recording()) {
    n.log.push_back(m);
    if (n.log.size() > kLogFrames) n.log.pop_front();
  }
  bus_trace().write(n.number, m);
  n.index.deliver(m, sender);
}

SimTransport& sim_transport() {
  static SimTransport* bus =
      new SimTransport;  // never destroyed: detached threads may still use it
  return *bus;
}

}  // namespace ntcan_driver
