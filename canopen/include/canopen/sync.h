// canopen/sync.h - the SYNC object (CiA 301): the frame a SYNC producer sends (COB-ID in
// 0x1005, default 0x080) and its optional counter (overflow value in 0x1019).
#ifndef KORVEL_CANOPEN_SYNC_H
#define KORVEL_CANOPEN_SYNC_H

#include <cstdint>

#include "canopen/cob_id.h"
#include "canopen/frame.h"

namespace korvel {
namespace canopen {

// Synchronous counter overflow value (0x1019): 0 no counter, 2..240 the SYNC carries one byte
// counting 1..that value; 1 and 241..255 are reserved.
constexpr std::uint8_t kSyncCounterOff = 0;
constexpr std::uint8_t kSyncCounterMin = 2;
constexpr std::uint8_t kSyncCounterMax = 240;
constexpr bool valid_sync_overflow(std::uint8_t v) {
  return v == kSyncCounterOff || (v >= kSyncCounterMin && v <= kSyncCounterMax);
}

// A SYNC: no data, or one byte with counter (1 .. overflow) when counter is not 0.
constexpr Frame sync_frame(std::uint8_t counter, int cob_id = kSyncId) {
  Frame f;
  f.cob_id = cob_id;
  f.len = counter == 0 ? 0 : 1;
  f.data[0] = counter;
  return f;
}

// The counter of the SYNC after one that carried `counter` (0 for the first): 1 after the
// overflow value; always 0 without a counter.
constexpr std::uint8_t next_sync_counter(std::uint8_t counter, std::uint8_t overflow) {
  if (overflow == kSyncCounterOff) return 0;
  return counter >= overflow ? 1 : static_cast<std::uint8_t>(counter + 1);
}

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_SYNC_H
