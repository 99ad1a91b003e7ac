// sim_bus.h - the in-process simulated CAN buses, the first transport of the driver.
//
// A frame crossing a net is logged, traced, put into every other port of the net and fed to
// every attached device. Device output due later waits as pending and is released by the
// next activity on its net (any port call, an injection, a reader's wake-up).
#ifndef NTCAN_SIM_BUS_H
#define NTCAN_SIM_BUS_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "bus_trace.h"
#include "ntcan_sim.h"
#include "transport.h"

namespace ntcan_driver {

class SimPort;

class SimBus final : public Transport {
 public:
  SimBus();

  std::unique_ptr<Port> open(int net, int& status) override;

  // A frame from a node that is not a handle: reaches every port and device of the net.
  void inject(int net, const CMSG& m);
  void attach(int net, std::shared_ptr<ntcan_sim::Device> device);
  void detach(int net, const std::shared_ptr<ntcan_sim::Device>& device);
  std::vector<CMSG> log(int net) const;
  void clear_log();
  // Whether frames crossing a net go into its log (a test control, off by default).
  void keep_log(bool on) { keep_log_ = on; }
  // Detaches every device, drops pending frames and logs, re-reads NTCAN_TRACE.
  void reset();

  // At most this many frames cross a net per activity; the rest stay pending for the next
  // one, so devices that keep answering each other cannot loop for ever.
  static constexpr int kFramesPerActivity = 10000;
  static constexpr std::size_t kLogFrames = 100000;
  // A port that is never read keeps at most this many frames, then counts the rest as lost.
  static constexpr std::size_t kPortFrames = 65536;

 private:
  friend class SimPort;

  // A frame about to cross, with the node it comes from (neither: injected).
  struct Outgoing {
    CMSG frame;
    const SimPort* port;
    const ntcan_sim::Device* device;
  };
  // Frames to cross in order; a vector reused from call to call.
  using WorkQueue = std::vector<Outgoing>;
  struct Pending {
    CMSG frame;
    const ntcan_sim::Device* device;
  };
  struct Net {
    std::vector<SimPort*> ports;
    std::vector<std::shared_ptr<ntcan_sim::Device>> devices;
    std::multimap<std::int64_t, Pending> pending;  // by due time, equal times in order
    std::deque<CMSG> log;
    std::condition_variable cv;  // a port of the net may have frames, or pending changed
  };

  // All below run with mx_ held.
  // Releases due device frames and asks the devices for spontaneous ones.
  void activity(int net);
  // Lets the frame and everything it provokes cross the net.
  void transmit(int net, const Outgoing& first, std::int64_t now);
  void schedule(Net& n, std::vector<ntcan_sim::TimedFrame>& out, const ntcan_sim::Device* from,
                std::int64_t now, WorkQueue& work);
  void cross(int net, const Outgoing& o, std::int64_t now, WorkQueue& work);
  void run(int net, WorkQueue& work, std::int64_t now);

  mutable std::mutex mx_;
  std::array<Net, ntcan_sim::kNets> nets_;
  std::atomic<bool> keep_log_;
  // Scratch space of activity() and transmit(), kept so that bus traffic allocates nothing
  // once it has reached its usual size.
  WorkQueue work_;
  std::vector<ntcan_sim::TimedFrame> device_out_;
  BusTrace trace_;
};

// The one simulated bus system of the process (never destroyed).
SimBus& sim_bus();

}  // namespace ntcan_driver

#endif  // NTCAN_SIM_BUS_H
