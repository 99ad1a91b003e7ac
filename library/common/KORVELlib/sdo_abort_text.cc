// Operator texts of the SDO abort codes (CiA 301): the one table of their meanings.
#include <cstdio>
#include <string>

#include "D_korvel.h"
#include "canopen_codes.h"

namespace {

struct AbortName {
  std::uint32_t code;
  const char* text;
};

constexpr AbortName kAbortNames[] = {
    {korvel::kSdoAbortToggle, "toggle bit not alternated"},
    {korvel::kSdoAbortTimeout, "SDO protocol timed out"},
    {0x05040001, "command specifier not valid or unknown"},
    {0x05040002, "invalid block size"},
    {0x05040003, "invalid sequence number"},
    {0x05040004, "CRC error"},
    {korvel::kSdoAbortOutOfMemory, "out of memory"},
    {0x06010000, "unsupported access to an object"},
    {0x06010001, "attempt to read a write-only object"},
    {0x06010002, "attempt to write a read-only object"},
    {0x06020000, "object does not exist"},
    {0x06040041, "object cannot be mapped to the PDO"},
    {0x06040042, "PDO length exceeded"},
    {0x06040043, "general parameter incompatibility"},
    {0x06040047, "general internal incompatibility in the device"},
    {0x06060000, "access failed due to a hardware error"},
    {0x06070010, "data type does not match, length does not match"},
    {0x06070012, "data type does not match, length too high"},
    {0x06070013, "data type does not match, length too low"},
    {0x06090011, "subindex does not exist"},
    {0x06090030, "value range of parameter exceeded"},
    {0x06090031, "value of parameter written too high"},
    {0x06090032, "value of parameter written too low"},
    {0x06090036, "maximum value is less than minimum value"},
    {0x060A0023, "resource not available"},
    {korvel::kSdoAbortGeneral, "general error"},
    {0x08000020, "data cannot be transferred or stored"},
    {0x08000021, "data cannot be transferred or stored because of local control"},
    {0x08000022, "data cannot be transferred or stored in the present device state"},
    {0x08000023, "no object dictionary"},
    {0x08000024, "no data available"},
};

}  // namespace

std::string D_can::sdo_abort_text(std::uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  for (const AbortName& a : kAbortNames) {
    if (a.code == code) return std::string(hex) + " " + a.text;
  }
  return std::string(hex) + " unknown abort code";
}
