// canopen_codes.h - the library's own internal codes, for its source files only. The CANopen
// protocol's numbers come from the canopen component ("canopen/....h"), the library's public
// results and receive capacity from D_korvel.h.
#ifndef KORVEL_CANOPEN_CODES_H
#define KORVEL_CANOPEN_CODES_H

#include "D_korvel.h"
#include "ntcan.h"

namespace korvel {

static_assert(kNoUsableLine == NTCAN_INVALID_HANDLE,
              "no usable line is reported as the driver's status for a bad handle");

// Alive value a node shows until its device's first state byte arrives (low four bits 15, as
// of the pre-operational state 0x7F: "Preoperational").
constexpr int kAliveUnknown = 15;

// Internal to the SDO steps: this step finished the transfer (never returned to callers).
constexpr int kComplete = 0x12345678;

}  // namespace korvel

#endif  // KORVEL_CANOPEN_CODES_H
