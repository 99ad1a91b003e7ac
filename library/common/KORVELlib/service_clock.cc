// service_clock.cc - monotonic milliseconds for the CANopen services, the steady clock unless a
// host installed a source of its own.
#include "service_clock.h"

#include <atomic>
#include <chrono>

#include "D_korvel.h"

namespace korvel {
namespace {

std::atomic<MillisecondSource> g_source{nullptr};

}  // namespace

void set_millisecond_source(MillisecondSource source) {
  g_source.store(source, std::memory_order_release);
}

bool custom_millisecond_source() { return g_source.load(std::memory_order_acquire) != nullptr; }

std::int64_t monotonic_ms() {
  if (const MillisecondSource s = g_source.load(std::memory_order_acquire)) return s();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace korvel
