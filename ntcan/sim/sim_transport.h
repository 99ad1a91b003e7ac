// sim_transport.h - the in-process simulated CAN buses, the first transport of the driver.
//
// A frame crossing a net is logged, traced, queued to the handles of the net that enabled its
// identifier (but the one that sent it; the net's index finds them) and fed to every attached
// device (the net's device host). Device output due later waits in the host
// and is released by the next activity on its net (any port call, an injection, a reader's
// wake-up); a reader waiting on the net wakes up for it.
//
// Each net has a lock of its own: calls on different nets never wait for each other.
#ifndef NTCAN_SIM_TRANSPORT_H
#define NTCAN_SIM_TRANSPORT_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "bus_trace.h"
#include "id_index.h"
#include "ntcan/nets.h"
#include "simdev/device.h"
#include "simdev/device_host.h"
#include "transport.h"

namespace ntcan_driver {

class SimPort;

class SimTransport final : public Transport {
 public:
  SimTransport();

  std::unique_ptr<Port> open(int net, Inbox& inbox, int& status) override;

  // A frame from a node that is not a handle: reaches the net's handles that enabled it and
  // every device of the net.
  void inject(int net, const CMSG& m);
  void attach(int net, std::shared_ptr<simdev::Device> device);
  void detach(int net, const std::shared_ptr<simdev::Device>& device);
  // Frames that crossed the net while records were kept (ntcan_test::keep_records).
  std::vector<CMSG> log(int net);
  void clear_log();
  // Detaches every device, drops pending frames and logs.
  void reset();

  static constexpr std::size_t kLogFrames = 100000;

 private:
  friend class SimPort;

  struct alignas(64) Net {
    int number = 0;
    std::mutex mx;  // guards everything below, and the ports' own state
    IdIndex index;  // the handles' inboxes by the identifiers they enabled
    simdev::DeviceHost devices;
    // No device on the net, so nothing falls due: a poll skips the net's lock. Read without mx.
    std::atomic<bool> quiet{true};
    std::deque<CMSG> log;
    std::condition_variable
        cv;  // a port of the net may have frames, or the devices' next due time changed
    std::deque<simdev::BusFrame> work;  // scratch of send, inject and activity
  };

  Net& net(int number) { return nets_[static_cast<std::size_t>(number)]; }

  // All below run with the net's mx held.
  // Releases due device frames and asks the devices for spontaneous ones.
  void activity(Net& n);
  // Lets the frames in n.work (a port's: sender is the port; injected: none) and everything
  // they provoke cross the net.
  void run(Net& n, std::int64_t now);
  // One frame (as on the wire) crosses: logged, traced, queued to the handles that enabled it
  // but its sender (the sending port's inbox, a device, or null).
  void cross(Net& n, const CMSG& m, const void* sender);

  std::array<Net, kNets> nets_;
};

// The one simulated bus system of the process (never destroyed).
SimTransport& sim_transport();

}  // namespace ntcan_driver

#endif  // NTCAN_SIM_TRANSPORT_H
