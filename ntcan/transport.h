// transport.h - what the handle layer needs from a CAN network: one Port per open handle.
//
// The nine NTCAN functions keep handles, identifier filters and receive queues themselves, so
// a transport only moves frames: everything it receives goes to every port of the net
// unfiltered, and filtering and queue overflow look the same whatever carries the frames.
// Which transport serves a net is decided per net (transport_for_net).
#ifndef NTCAN_TRANSPORT_H
#define NTCAN_TRANSPORT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "nets.h"
#include "ntcan.h"

namespace ntcan_driver {

// Frames a port keeps for a handle that is not read, on every transport; what arrives past
// this counts as lost (msg_lost of the next frame the handle takes). A handle that is only
// status-checked therefore never holds more than this.
constexpr std::size_t kPortFrames = 65536;

// One handle's connection to its net. Every method may be called from several threads at
// once; wait() in particular runs without the driver lock while other calls go on.
class Port {
 public:
  virtual ~Port() = default;
  // Puts the frames on the bus in order; sent counts those that went out. Returns a status.
  virtual int send(const CMSG* frames, int count, int& sent) = 0;
  // Moves the frames received since the last call into out, without waiting. lost counts
  // frames the port itself had to drop since then.
  virtual int take(std::vector<CMSG>& out, std::uint64_t& lost) = 0;
  // Returns once take() has frames, wake() or close() was called, or the time-out passed.
  // Waiting and taking are separate so that frames are only ever taken under the driver
  // lock, in order, even when one thread waits and another takes.
  virtual void wait(std::chrono::nanoseconds timeout) = 0;
  // Fills the controller fields the transport knows (hardware, firmware, driver, boardid).
  virtual int status(CAN_IF_STATUS& st) = 0;
  virtual int set_baudrate(std::uint32_t code) = 0;
  // Makes a wait() in progress (or the next one) return at once.
  virtual void wake() = 0;
  // Stops reception for good; a wait() in progress returns. Called once before destruction.
  virtual void close() = 0;
  // The handle enabled (or disabled) an identifier; a transport that can filter before the
  // frames reach user space follows the handle's filter. The handle layer filters regardless.
  virtual void id_enabled(std::int32_t id, bool enabled) {
    (void)id;
    (void)enabled;
  }
  // This port writes its net's bus trace from now on (see TraceDuty in bus_trace.h): every
  // frame it receives and every frame it sends. Transports whose bus writes the trace
  // itself ignore it.
  virtual void set_tracing(bool on) { (void)on; }
};

class Transport {
 public:
  virtual ~Transport() = default;
  // A new port on net; on failure null and status says why.
  virtual std::unique_ptr<Port> open(int net, int& status) = 0;
};

// The transport that serves net (0..255): the one its entry in the driver configuration
// names, the simulated in-process bus for nets without one.
Transport& transport_for_net(int net);

}  // namespace ntcan_driver

#endif  // NTCAN_TRANSPORT_H
