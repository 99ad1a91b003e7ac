// driver_clock.h - the driver's own time: monotonic ns, the steady clock unless a test
// installed a source of its own (ntcan_test::set_time_source). Due times of the simulated
// devices and the socketcand reconnect pause count on it.
#ifndef NTCAN_DRIVER_CLOCK_H
#define NTCAN_DRIVER_CLOCK_H

#include <cstdint>

namespace ntcan_driver {

std::int64_t clock_now();
// True while a test's own time source is installed instead of the steady clock; then a due
// time cannot be turned into a moment to wake up at.
bool custom_time_source();

}  // namespace ntcan_driver

#endif  // NTCAN_DRIVER_CLOCK_H
