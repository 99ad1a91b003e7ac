// ntcan_sim.h - control of our NTCAN driver's simulated buses, for tests and demos: devices
// on nets, injected traffic, the bus log, fault switches and the call record.
// The plug-in library never includes this header; it sees the driver only through ntcan.h.
// Frame notation lives in frame/frame_text.h, the device interface in sim/device.h and the
// simulated time in sim/sim_clock.h; this header brings them along.
//
// Every net (0..255) is an in-process CAN bus unless configured otherwise. A frame sent on a
// handle reaches every other handle of the same net that enabled its identifier, and every
// device attached to that net; frames the devices send reach the handles the same way.
//
// Names in the driver, one scheme: every namespace starts with ntcan_.
//   ntcan_driver                 internals (handles, queues, transports); a transport's own
//                                pure helpers in ntcan_driver::<transport> (socketcand, socketcan)
//   ntcan_sim                    what tests, tools and demos use: simulated nets, devices, clock
//   ntcan_sim::canopen           the simulated CANopen device (canopen::protocol: its constants)
//   ntcan_frame                  frames and their can-utils notation
// A transport class is named <Kind>Transport and its handle's connection <Kind>Port, in
// <kind>_transport.{h,cc}: SimTransport/SimPort, SocketcandTransport/SocketcandPort,
// SocketcanTransport/SocketcanPort, RefusedTransport.
#ifndef NTCAN_SIM_H
#define NTCAN_SIM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame_text.h"
#include "nets.h"
#include "ntcan.h"
#include "sim/device.h"
#include "sim/sim_clock.h"

namespace ntcan_sim {

using ntcan_driver::kNets;
constexpr int kForever = -1;

// ------------------------------------------------------------ can-utils notation
using ntcan_frame::frame;
using ntcan_frame::frames;
using ntcan_frame::to_string;

// ------------------------------------------------------------ whole driver
// Closes every handle, detaches every device, clears faults, records and logs, re-reads
// NTCAN_TRACE and restores the steady clock (set_time_source, now: sim/sim_clock.h).
void reset();

// ------------------------------------------------------------ test controls
// The call record and the bus logs are kept only while switched on: by a test, or for a
// whole process by NTCAN_RECORD=1 in its environment (a diagnostic aid). While off, driver
// calls record nothing. reset() leaves the switch as it is.
void keep_records(bool on);

// ------------------------------------------------------------ faults, per net
// The next `times` calls (kForever: until cleared) fail with `status`.
void fail_open(int net, int status, int times = kForever);
void fail_baudrate(int net, int status, int times = kForever);
void fail_status(int net, int status, int times = kForever);
// The handle is released all the same.
void fail_close(int net, int status, int times = kForever);
// boardstatus that canStatus reports for the net.
void set_boardstatus(int net, std::uint32_t boardstatus);
// The whole net goes down: canOpen fails with open_status; canSend, canRead, canTake and
// canStatus on its handles fail with NTCAN_SOCK_CMD_TIMEOUT; frames are lost. Coming back
// up restores all of it (handles opened before stay valid).
void set_net_down(int net, bool down, int open_status = NTCAN_SOCK_CONN_TIMEOUT);
void clear_faults(int net);

// ------------------------------------------------------------ traffic
// A frame from another node on the bus: delivered to handles and devices of the net.
void inject(int net, const CMSG& m);
// Every frame that crossed the net (sent by handles or devices, or injected), in order, while
// records are kept (keep_records).
std::vector<CMSG> bus_log(int net);
void clear_bus_log();
int open_handles(int net);
bool is_open(NTCAN_HANDLE h);
// Net of an open handle, -1 otherwise.
int net_of(NTCAN_HANDLE h);
// Frames waiting in a handle's receive queue.
int queued(NTCAN_HANDLE h);
// Last baud-rate code set on the net (0: none).
std::uint32_t baudrate(int net);
// True when the net is served by the in-process simulated bus (not listed in the driver
// configuration, or listed as sim): only there do attached devices and injected frames
// reach the handles. False for every other transport and for numbers that are no net.
bool simulated(int net);

// ------------------------------------------------------------ call record
// Kept while keep_records(true) is in force; the most recent 100,000 calls.
struct Call {
  std::string op;            // "canOpen", "canSend", ...
  NTCAN_HANDLE handle;       // -1 for canOpen before it succeeds
  int net;                   // -1 when the handle is unknown
  std::vector<long> args;    // canOpen: net, flags, tx, rx, txtout, rxtout; canSetBaudrate: code;
                             // canIdAdd/Delete: id; canSend/Read/Take: count in
  std::vector<CMSG> frames;  // frames sent or received
  int result;
};
std::vector<Call> calls();
std::vector<Call> calls(const std::string& op);
void clear_calls();

// ------------------------------------------------------------ devices (sim/device.h)
void attach(int net, std::shared_ptr<Device> device);
void detach(int net, const std::shared_ptr<Device>& device);

}  // namespace ntcan_sim

#endif  // NTCAN_SIM_H
