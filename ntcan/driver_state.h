// driver_state.h - the driver's process-wide state.
#ifndef NTCAN_DRIVER_STATE_H
#define NTCAN_DRIVER_STATE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "call_record.h"
#include "faults.h"
#include "handles.h"
#include "transport.h"

namespace ntcan_driver {

// The driver's own numbers in canStatus (the transport fills in the controller's).
constexpr std::uint16_t kDllVersion = 0x0100;

struct DriverState {
  HandleTable handles;  // locks itself

  // The test controls (fault switches, the call record) and the baud rates set. A leaf lock:
  // nothing else is taken while it is held, and it is never held during transport I/O.
  std::mutex mx;
  std::array<NetFaults, kNets> faults;
  std::array<std::uint32_t, kNets> baudrate{};  // 0: never set
  CallRecord calls;

  // Off unless a test (or NTCAN_RECORD in the environment) switches them on: a production
  // call then neither takes mx nor allocates for them.
  std::atomic<bool> faults_armed{false};  // a fault switch was set since the last reset
  std::atomic<bool> recording{false};     // calls go into the record, frames into the bus log
};

// Created on first use and never destroyed: detached threads of the library may call the
// driver at any time, even while the process exits.
DriverState& driver_state();

inline bool valid_net(int net) { return net >= 0 && net < kNets; }

}  // namespace ntcan_driver

#endif  // NTCAN_DRIVER_STATE_H
