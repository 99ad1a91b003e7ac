// sim_clock.h - the time source of the simulated buses (ntcan_sim::now / set_time_source).
#ifndef NTCAN_SIM_CLOCK_H
#define NTCAN_SIM_CLOCK_H

namespace ntcan_driver {

// True while a test's own time source is installed instead of the steady clock; then a due
// time cannot be turned into a moment to wake up at.
bool custom_time_source();

}  // namespace ntcan_driver

#endif  // NTCAN_SIM_CLOCK_H
