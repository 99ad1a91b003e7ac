// sim_clock.h - the time of the simulated buses and their devices: the steady clock in ns, or
// a source a test (or a demo on virtual time) installed.
#ifndef NTCAN_SIM_CLOCK_H
#define NTCAN_SIM_CLOCK_H

#include <cstdint>
#include <functional>

namespace ntcan_sim {

// Monotonic time in ns used for delayed device replies; null restores the steady clock.
using TimeSource = std::function<std::int64_t()>;
void set_time_source(TimeSource source);
std::int64_t now();

}  // namespace ntcan_sim

namespace ntcan_driver {

// True while a test's own time source is installed instead of the steady clock; then a due
// time cannot be turned into a moment to wake up at.
bool custom_time_source();

}  // namespace ntcan_driver

#endif  // NTCAN_SIM_CLOCK_H
