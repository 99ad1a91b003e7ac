// transport.h - what the handle layer needs from a CAN network: one Port per open handle.
//
// The nine NTCAN functions keep handles and their identifier bookkeeping; a transport moves
// frames. Each handle has an Inbox (inbox.h), its receive queue, which the port fills: a
// frame that arrives on a net is matched once against the identifiers the net's handles
// enabled and put only into the inboxes that want it (see id_index.h), in arrival order, so a
// frame costs the same whatever the number of handles on its net and a queue never holds a
// frame its handle did not enable. Frames one handle sends reach the other handles of the
// process on the same net that enabled them, as they would from another node.
// Which transport serves a net is decided per net (transport_for_net.h).
#ifndef NTCAN_TRANSPORT_H
#define NTCAN_TRANSPORT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "inbox.h"
#include "ntcan.h"

namespace ntcan_driver {

// One handle's connection to its net. Every method may be called from several threads at
// once; wait() in particular runs while other calls go on.
class Port {
 public:
  virtual ~Port() = default;
  // Puts the frames on the bus in order; sent counts those that went out. Returns a status.
  virtual int send(const CMSG* frames, int count, int& sent) = 0;
  // Brings the inbox up to date before a read: a transport that reads on demand reads now, a
  // simulated bus lets due device frames cross. Returns the transport's status: a connection
  // that was lost fails here (and is re-established when that is due).
  virtual int refresh() = 0;
  // A flag that is true while refresh() would do nothing but return NTCAN_SUCCESS (no device
  // frames due, a connection that is up); the handle layer then skips the call. Null: always
  // call refresh().
  virtual const std::atomic<bool>* quiet_flag() const { return nullptr; }
  // Returns once the inbox has frames, wake() or close() was called, or the time-out passed.
  virtual void wait(std::chrono::nanoseconds timeout) = 0;
  // Fills the controller fields the transport knows (hardware, firmware, driver, boardid).
  virtual int status(CAN_IF_STATUS& st) = 0;
  virtual int set_baudrate(std::uint32_t code) = 0;
  // Makes a wait() in progress (or the next one) return at once.
  virtual void wake() = 0;
  // Stops reception for good: nothing reaches the inbox any more and a wait() in progress
  // returns. Called once before destruction.
  virtual void close() = 0;
  // The handle enabled (or disabled) an identifier: frames with it reach the inbox from now
  // on (or no longer). The handle layer calls it once per change, never for an identifier
  // already in that state.
  virtual void id_enabled(std::int32_t id, bool enabled) = 0;
  // This port writes its net's bus trace from now on (see TraceDuty in bus_trace.h): every
  // frame it receives and every frame it sends. Transports whose bus writes the trace
  // itself ignore it.
  virtual void set_tracing(bool on) { (void)on; }
};

class Transport {
 public:
  virtual ~Transport() = default;
  // A new port on net that fills inbox (which outlives the port); on failure null and status
  // says why.
  virtual std::unique_ptr<Port> open(int net, Inbox& inbox, int& status) = 0;
};

}  // namespace ntcan_driver

#endif  // NTCAN_TRANSPORT_H
