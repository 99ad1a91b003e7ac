// device_host.h - the simulated devices of one bus and the frames they still owe it.
//
// A host feeds every frame that crosses its bus to its devices (never to the one that sent
// it), keeps what they answer late until it falls due, and asks them for what they send on
// their own. The simulated nets, the gateway simulator and the SocketCAN device simulator each
// run one host per bus and only say where a frame goes outside the devices.
//
// Not thread-safe: its user calls it under the lock that guards the bus.
#ifndef SIMDEV_DEVICE_HOST_H
#define SIMDEV_DEVICE_HOST_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "ntcan.h"
#include "simdev/device.h"

namespace simdev {

// A frame on its way across the bus, with the node that sent it (a device, or whatever the
// host's user puts there: a port, a client), so that the sender does not hear it back. Null:
// nobody the host knows.
struct BusFrame {
  CMSG frame;
  const void* sender;
};

class DeviceHost {
 public:
  // At most this many frames cross in one run(); devices that keep answering each other
  // cannot loop for ever, the rest waits for the next run.
  static constexpr int kFramesPerRun = 10000;

  // Adds the device once (a second attach of the same device does nothing).
  void attach(std::shared_ptr<Device> device);
  // Removes the device and the frames it still had waiting.
  void detach(const std::shared_ptr<Device>& device);
  // Drops every frame still waiting (the bus lost them); the devices stay.
  void drop_waiting();
  // No devices, nothing waiting.
  void clear();

  const std::vector<std::shared_ptr<Device>>& devices() const { return devices_; }
  // Nothing to do: no device and no frame waiting.
  bool idle() const { return devices_.empty() && waiting_.empty(); }

  // Appends to out what is due by now: late answers whose time came, in order, then what the
  // devices send on their own.
  void due(std::int64_t now, std::deque<BusFrame>& out);
  // When the host next has something to send unasked (a late answer, a heartbeat); -1: not
  // before the next frame on the bus.
  std::int64_t next_due() const;

  // Lets the frames in work, and everything the devices answer at once, cross the bus in
  // order. Each frame is handed to deliver (as it is on the wire, with its sender) before the
  // devices hear it. Returns how many frames crossed; past kFramesPerRun the rest waits, due
  // at now. work is empty afterwards.
  using Deliver = std::function<void(const CMSG& frame, const void* sender)>;
  std::uint64_t run(std::deque<BusFrame>& work, std::int64_t now, const Deliver& deliver);

 private:
  // Frames the device put into out: due now into work, later ones wait.
  void keep(std::vector<TimedFrame>& out, const Device* from, std::int64_t now,
            std::deque<BusFrame>& work);

  std::vector<std::shared_ptr<Device>> devices_;
  std::multimap<std::int64_t, BusFrame> waiting_;  // by due time; equal times keep their order
  std::vector<TimedFrame> out_;                    // scratch, kept to spare allocations
};

}  // namespace simdev

#endif  // SIMDEV_DEVICE_HOST_H
