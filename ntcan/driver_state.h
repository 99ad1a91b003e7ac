// driver_state.h - the driver's process-wide state.
#ifndef NTCAN_DRIVER_STATE_H
#define NTCAN_DRIVER_STATE_H

#include <cstdint>

#include "handles.h"
#include "ntcan/nets.h"
#include "test_hooks.h"

namespace ntcan_driver {

// The driver's own numbers in canStatus (the transport fills in the controller's).
constexpr std::uint16_t kDllVersion = 0x0100;

struct DriverState {
  HandleTable handles;  // locks itself
  TestHooks hooks;      // locks itself
};

// Created on first use and never destroyed: detached threads of the library may call the
// driver at any time, even while the process exits.
DriverState& driver_state();

inline bool valid_net(int net) { return net >= 0 && net < kNets; }

}  // namespace ntcan_driver

#endif  // NTCAN_DRIVER_STATE_H
