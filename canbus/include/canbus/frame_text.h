// frame_text.h - CAN frames in can-utils notation, for tests, traces and tools.
//
//   "605#4008100000000000"  data frame (standard identifier: exactly three hex digits)
//   "605#"                  no data
//   "705#R"                 remote request (len NTCAN_RTR)
//   "705#R1"                remote request for 1 byte (len NTCAN_RTR | 1)
//   "1ABCDEF0#11"           extended identifier (exactly eight hex digits: id | NTCAN_20B_BASE)
#ifndef CANBUS_FRAME_TEXT_H
#define CANBUS_FRAME_TEXT_H

#include <initializer_list>
#include <string>
#include <vector>

#include "ntcan.h"

namespace canbus {

// Throws std::invalid_argument on bad text.
CMSG frame(const std::string& text);
std::vector<CMSG> frames(std::initializer_list<const char*> texts);
// The inverse of frame(): upper-case hex, "#R" for remote requests.
std::string to_string(const CMSG& m);
std::string to_string(const std::vector<CMSG>& ms);  // one frame per line

}  // namespace canbus

#endif  // CANBUS_FRAME_TEXT_H
