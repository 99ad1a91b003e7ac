// test_controls.h - what tests, tools and demos may do to our NTCAN driver beyond the nine
// functions, on every transport: reset it, make calls fail per net, take a net down, keep a
// record of the calls, look at open handles, run the driver on a clock of their own.
// The plug-in library never includes this header; it sees the driver only through ntcan.h.
// Nothing here costs a production call anything while it is not switched on.
#ifndef NTCAN_TEST_CONTROLS_H
#define NTCAN_TEST_CONTROLS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ntcan.h"

namespace ntcan_test {

constexpr int kForever = -1;

// ------------------------------------------------------------ whole driver
// Closes every handle, detaches every simulated device, clears faults, records and logs,
// re-reads NTCAN_TRACE and restores the steady clock.
void reset();
// Reads the driver configuration named by NTCAN_CONFIG again (for nets opened from now on).
void reload_config();

// ------------------------------------------------------------ records
// The call record and the simulated buses' logs are kept only while switched on: by a test,
// or for a whole process by NTCAN_RECORD=1 in its environment (a diagnostic aid). While off,
// driver calls record nothing. reset() leaves the switch as it is.
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

// ------------------------------------------------------------ handles
int open_handles(int net);
bool is_open(NTCAN_HANDLE h);
// Net of an open handle, -1 otherwise.
int net_of(NTCAN_HANDLE h);
// Frames waiting in a handle's receive queue.
int queued(NTCAN_HANDLE h);
// Last baud-rate code set on the net (0: none).
std::uint32_t baudrate(int net);

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

// ------------------------------------------------------------ clock
// The driver's time (delayed device replies on the simulated buses, reconnect pauses) in ns
// of a monotonic clock: the steady clock, or a source installed here (virtual time); null
// restores the steady clock.
using TimeSource = std::function<std::int64_t()>;
void set_time_source(TimeSource source);
std::int64_t now();

}  // namespace ntcan_test

#endif  // NTCAN_TEST_CONTROLS_H
