// The texts of the SDO abort codes: the one table of their meanings.
#include "canopen/sdo_abort.h"

#include <cstdio>

namespace korvel {
namespace canopen {
namespace {

struct AbortName {
  SdoAbort code;
  const char* text;
};

constexpr AbortName kAbortNames[] = {
    {SdoAbort::kToggleNotAlternated, "toggle bit not alternated"},
    {SdoAbort::kTimedOut, "SDO protocol timed out"},
    {SdoAbort::kBadCommand, "command specifier not valid or unknown"},
    {SdoAbort::kInvalidBlockSize, "invalid block size"},
    {SdoAbort::kInvalidSequenceNumber, "invalid sequence number"},
    {SdoAbort::kCrcError, "CRC error"},
    {SdoAbort::kOutOfMemory, "out of memory"},
    {SdoAbort::kUnsupportedAccess, "unsupported access to an object"},
    {SdoAbort::kWriteOnly, "attempt to read a write-only object"},
    {SdoAbort::kReadOnly, "attempt to write a read-only object"},
    {SdoAbort::kNoObject, "object does not exist"},
    {SdoAbort::kNotMappable, "object cannot be mapped to the PDO"},
    {SdoAbort::kPdoLengthExceeded, "PDO length exceeded"},
    {SdoAbort::kParameterIncompatible, "general parameter incompatibility"},
    {SdoAbort::kInternalIncompatible, "general internal incompatibility in the device"},
    {SdoAbort::kHardwareError, "access failed due to a hardware error"},
    {SdoAbort::kLengthMismatch, "data type does not match, length does not match"},
    {SdoAbort::kLengthTooHigh, "data type does not match, length too high"},
    {SdoAbort::kLengthTooLow, "data type does not match, length too low"},
    {SdoAbort::kNoSubindex, "subindex does not exist"},
    {SdoAbort::kInvalidValue, "value range of parameter exceeded"},
    {SdoAbort::kValueTooHigh, "value of parameter written too high"},
    {SdoAbort::kValueTooLow, "value of parameter written too low"},
    {SdoAbort::kMaxBelowMin, "maximum value is less than minimum value"},
    {SdoAbort::kResourceNotAvailable, "resource not available"},
    {SdoAbort::kGeneral, "general error"},
    {SdoAbort::kCannotStore, "data cannot be transferred or stored"},
    {SdoAbort::kCannotStoreLocalControl,
     "data cannot be transferred or stored because of local control"},
    {SdoAbort::kCannotStoreDeviceState,
     "data cannot be transferred or stored in the present device state"},
    {SdoAbort::kNoObjectDictionary, "no object dictionary"},
    {SdoAbort::kNoData, "no data available"},
};

}  // namespace

const char* sdo_abort_meaning(std::uint32_t code) {
  for (const AbortName& a : kAbortNames) {
    if (code_of(a.code) == code) return a.text;
  }
  return nullptr;
}

std::string sdo_abort_text(std::uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  const char* meaning = sdo_abort_meaning(code);
  return std::string(hex) + " " + (meaning ? meaning : "unknown abort code");
}

}  // namespace canopen
}  // namespace korvel
