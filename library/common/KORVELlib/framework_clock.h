// framework_clock.h - time-outs and silences measured on the framework clock (VEXILtime),
// which counts whole seconds.
#ifndef KORVEL_FRAMEWORK_CLOCK_H
#define KORVEL_FRAMEWORK_CLOCK_H

#include <ctime>

namespace korvel {

// True once more than ms have surely passed between two readings of the framework clock: a
// whole-second reading may lie up to a second behind the moment it was taken, so the gap
// counts one second less than it shows. Used for every wait of the SDO transfers and for the
// silence of a supervised device, so neither ends early.
inline bool surely_past(std::time_t since, std::time_t now, long ms) {
  return (static_cast<long>(now - since) - 1) * 1000 >= ms;
}

}  // namespace korvel

#endif  // KORVEL_FRAMEWORK_CLOCK_H
