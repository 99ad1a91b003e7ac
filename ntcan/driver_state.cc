// driver_state.cc
#include "driver_state.h"

#include <cstdlib>

namespace ntcan_driver {

DriverState& driver_state() {
  static DriverState* state = [] {
    auto* d = new DriverState;
    // A diagnostic switch for people chasing a fault with a debugger: NTCAN_RECORD=1 keeps
    // the call record and the bus logs from the first call on.
    const char* rec = std::getenv("NTCAN_RECORD");
    if (rec != nullptr && *rec != '\0' && *rec != '0') {
      d->hooks.keep_records(true);
    }
    return d;
  }();
  return *state;
}

}  // namespace ntcan_driver
