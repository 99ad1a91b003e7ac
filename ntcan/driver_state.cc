// driver_state.cc
#include "driver_state.h"

namespace ntcan_driver {

DriverState& driver_state() {
  static DriverState* state = new DriverState;
  return *state;
}

}  // namespace ntcan_driver
