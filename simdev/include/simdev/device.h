// device.h - what a simulated node on a bus is: frames in, frames out (possibly late), and no
// knowledge of the bus that carries them. The simulated buses, the gateway simulator and the
// SocketCAN device simulator all host devices through this interface (see device_host.h).
#ifndef SIMDEV_DEVICE_H
#define SIMDEV_DEVICE_H

#include <cstdint>
#include <vector>

#include "ntcan.h"

namespace simdev {

struct TimedFrame {
  CMSG frame;
  std::int64_t due_ns;  // sent once the host's clock reaches it
};

class Device {
 public:
  virtual ~Device() = default;
  // A frame crossed the bus. Frames to send go into out.
  virtual void on_frame(const CMSG& in, std::int64_t now_ns, std::vector<TimedFrame>& out) = 0;
  // Frames the device sends on its own (emergencies, boot-up, heartbeats), asked for on every
  // bus activity and at the time wake_at() names.
  virtual void poll(std::int64_t now_ns, std::vector<TimedFrame>& out) {
    (void)now_ns;
    (void)out;
  }
  // When the device next has something to send on its own even if the bus stays quiet
  // (a heartbeat); -1 when it only speaks in answer or at bus activity.
  virtual std::int64_t wake_at() const { return -1; }
};

}  // namespace simdev

#endif  // SIMDEV_DEVICE_H
