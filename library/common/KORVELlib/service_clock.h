// service_clock.h - waiting on the clock of the CANopen services (korvel::monotonic_ms in
// D_korvel.h): until a moment of that clock, or until something else happens first.
#ifndef KORVEL_SERVICE_CLOCK_H
#define KORVEL_SERVICE_CLOCK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "D_korvel.h"

namespace korvel {

// True while a host installed a millisecond source of its own: then a moment of the clock
// cannot be turned into one of the steady clock, and waits look again every millisecond.
bool custom_millisecond_source();

// Waits on cv (lock held on entry and return) until the service clock reaches until_ms or done()
// holds; returns done(). A wake-up of cv re-checks done().
template <typename Done>
bool wait_until_ms(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   std::int64_t until_ms, Done done) {
  for (;;) {
    if (done()) return true;
    const std::int64_t now = monotonic_ms();
    if (now >= until_ms) return false;
    const auto left = custom_millisecond_source() ? std::chrono::milliseconds(1)
                                                  : std::chrono::milliseconds(until_ms - now);
    cv.wait_for(lock, left);
  }
}

}  // namespace korvel

#endif  // KORVEL_SERVICE_CLOCK_H
