// bus_trace.h - the bus trace for people: every frame the driver's nets carry, appended to the
// file named by NTCAN_TRACE in candump's log format "(1700000000.000100) can0 605#40081000",
// time-stamped with the wall clock, so that a live line can be watched with `tail -f`.
//
// Every transport writes to it. The simulated bus writes each frame that crosses a net. On a
// socketcand or SocketCAN net one port writes for the whole net (TraceDuty: the oldest open
// port), since every port sees the same bus: it writes the frames it receives and those it
// sends itself, and so each frame once.
#ifndef NTCAN_BUS_TRACE_H
#define NTCAN_BUS_TRACE_H

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ntcan.h"

namespace ntcan_driver {

class Port;

// Thread-safe.
class BusTrace {
 public:
  // (Re)reads NTCAN_TRACE: traces to that file from now on, or nowhere if it is unset/empty.
  void open_from_environment();
  bool on() const { return on_.load(std::memory_order_relaxed); }
  // Stamped with the wall clock now, or with the time (µs since the epoch) the frame arrived.
  void write(int net, const CMSG& m);
  void write(long long wall_us, int net, const CMSG& m);

 private:
  std::mutex mx_;
  std::FILE* file_ = nullptr;
  std::atomic<bool> on_{false};
};

// The process's trace, opened from the environment on first use (never destroyed).
BusTrace& bus_trace();

// One trace line without its newline; wall-clock time in µs since the epoch.
std::string trace_line(long long wall_us, int net, const CMSG& m);

// Which port of a net writes the trace: the oldest open one, and only while the trace is on
// (the duty makes a port hear the whole bus). A port joins when it opens and leaves when it
// closes (without holding its own lock); the duty passes on by Port::set_tracing. The trace
// changes only while no port is open (ntcan_sim::reset closes every handle first). Thread-safe.
class TraceDuty {
 public:
  void join(Port* p);
  void leave(Port* p);

 private:
  std::mutex mx_;  // taken before a port's own lock, never after
  std::vector<Port*> ports_;
};

}  // namespace ntcan_driver

#endif  // NTCAN_BUS_TRACE_H
