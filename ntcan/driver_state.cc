// driver_state.cc
#include "driver_state.h"

#include <cstdlib>

namespace ntcan_driver {

bool record_from_environment() {
  const char* rec = std::getenv("NTCAN_RECORD");
  return rec != nullptr && *rec != '\0' && *rec != '0';
}

DriverState& driver_state() {
  static DriverState* state = [] {
    auto* d = new DriverState;
    d->recording = record_from_environment();
    return d;
  }();
  return *state;
}

}  // namespace ntcan_driver
