// bus_trace.h - the bus trace for people: every frame of the simulated nets, appended to the
// file named by NTCAN_TRACE in the candump log format "(1700000000.000100) can0 605#40081000".
#ifndef NTCAN_BUS_TRACE_H
#define NTCAN_BUS_TRACE_H

#include <cstdio>
#include <string>

#include "ntcan.h"

namespace ntcan_driver {

// Not thread-safe: the simulated bus calls it under its lock.
class BusTrace {
 public:
  // (Re)reads NTCAN_TRACE: traces to that file from now on, or nowhere if it is unset/empty.
  void open_from_environment();
  void write(int net, const CMSG& m);

 private:
  std::FILE* file_ = nullptr;
};

// One trace line without its newline; wall-clock time in µs since the epoch.
std::string trace_line(long long wall_us, int net, const CMSG& m);

}  // namespace ntcan_driver

#endif  // NTCAN_BUS_TRACE_H
