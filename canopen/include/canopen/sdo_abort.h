// canopen/sdo_abort.h - SDO abort codes (CiA 301), sent by either side in an abort transfer
// frame, and their texts for operators.
#ifndef KORVEL_CANOPEN_SDO_ABORT_H
#define KORVEL_CANOPEN_SDO_ABORT_H

#include <cstdint>
#include <string>

namespace korvel {
namespace canopen {

enum class SdoAbort : std::uint32_t {
  kToggleNotAlternated = 0x05030000,
  kTimedOut = 0x05040000,
  kBadCommand = 0x05040001,  // client/server command specifier not valid or unknown
  kInvalidBlockSize = 0x05040002,
  kInvalidSequenceNumber = 0x05040003,
  kCrcError = 0x05040004,
  kOutOfMemory = 0x05040005,
  kUnsupportedAccess = 0x06010000,
  kWriteOnly = 0x06010001,  // attempt to read a write-only object
  kReadOnly = 0x06010002,   // attempt to write a read-only object
  kNoObject = 0x06020000,
  kNotMappable = 0x06040041,
  kPdoLengthExceeded = 0x06040042,
  kParameterIncompatible = 0x06040043,
  kInternalIncompatible = 0x06040047,
  kHardwareError = 0x06060000,
  kLengthMismatch = 0x06070010,
  kLengthTooHigh = 0x06070012,
  kLengthTooLow = 0x06070013,
  kNoSubindex = 0x06090011,
  kInvalidValue = 0x06090030,
  kValueTooHigh = 0x06090031,
  kValueTooLow = 0x06090032,
  kMaxBelowMin = 0x06090036,
  kResourceNotAvailable = 0x060A0023,
  kGeneral = 0x08000000,
  kCannotStore = 0x08000020,
  kCannotStoreLocalControl = 0x08000021,
  kCannotStoreDeviceState = 0x08000022,
  kNoObjectDictionary = 0x08000023,
  kNoData = 0x08000024,
};

constexpr std::uint32_t code_of(SdoAbort a) { return static_cast<std::uint32_t>(a); }

// The meaning of an abort code, e.g. "object does not exist"; null for a code not listed above
// (devices may send any 32-bit code).
const char* sdo_abort_meaning(std::uint32_t code);
// The code in 8 hex digits and its meaning: "0x06020000 object does not exist", or
// "0x12345678 unknown abort code".
std::string sdo_abort_text(std::uint32_t code);

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_SDO_ABORT_H
