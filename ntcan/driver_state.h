// driver_state.h - the driver's process-wide state and the one lock that guards it.
#ifndef NTCAN_DRIVER_STATE_H
#define NTCAN_DRIVER_STATE_H

#include <array>
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
  // Taken by every driver call; never held while waiting for frames. Taken before any
  // transport's own lock, never after.
  std::mutex mx;
  HandleTable handles;
  std::array<NetFaults, kNets> faults;
  std::array<std::uint32_t, kNets> baudrate{};  // 0: never set
  CallRecord calls;
};

// Created on first use and never destroyed: detached threads of the library may call the
// driver at any time, even while the process exits.
DriverState& driver_state();

inline bool valid_net(int net) { return net >= 0 && net < kNets; }

}  // namespace ntcan_driver

#endif  // NTCAN_DRIVER_STATE_H
