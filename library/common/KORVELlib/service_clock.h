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

// Longest single wait on the steady clock: a moment far ahead (up to the largest int64, "no
// end") is waited for in slices of this, since the standard wait_for overflows on a duration
// that large and would then return at once, over and over.
constexpr std::int64_t kLongestWaitSliceMs = 60 * 60 * 1000;

// Waits on cv (lock held on entry and return) until the service clock reaches until_ms or done()
// holds; returns done(). A wake-up of cv re-checks done().
template <typename Done>
bool wait_until_ms(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   std::int64_t until_ms, Done done) {
  for (;;) {
    if (done()) return true;
    const bool custom = custom_millisecond_source();
    const std::int64_t now = monotonic_ms();
    if (now >= until_ms) return false;
    // now < until_ms, so the difference fits an unsigned 64-bit number whatever the readings.
    const std::uint64_t ahead =
        static_cast<std::uint64_t>(until_ms) - static_cast<std::uint64_t>(now);
    const std::uint64_t longest = static_cast<std::uint64_t>(kLongestWaitSliceMs);
    const std::int64_t left =
        custom ? 1 : static_cast<std::int64_t>(ahead < longest ? ahead : longest);
    cv.wait_for(lock, std::chrono::milliseconds(left));
  }
}

}  // namespace korvel

#endif  // KORVEL_SERVICE_CLOCK_H
