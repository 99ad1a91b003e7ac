// Names of the driver's status codes.
#include <cstdio>
#include <string>

#include "D_korvel.h"
#include "ntcan.h"

namespace {

// Marks the table's last row.
constexpr unsigned long kUnknown = 0xffffffffUL;

struct ERR2STR {
  unsigned long ntstatus;
  const char* str;
};

// One row per status: its value from ntcan.h and its name as written there.
#define KORVEL_STATUS_ROW(status) \
  { static_cast<unsigned long>(status), #status }

// Searched in this order; the last row ends the table and names every unknown code.
const ERR2STR err2str[] = {
    KORVEL_STATUS_ROW(NTCAN_SUCCESS),
    KORVEL_STATUS_ROW(NTCAN_RX_TIMEOUT),
    KORVEL_STATUS_ROW(NTCAN_TX_TIMEOUT),
    KORVEL_STATUS_ROW(NTCAN_TX_ERROR),
    KORVEL_STATUS_ROW(NTCAN_CONTR_OFF_BUS),
    KORVEL_STATUS_ROW(NTCAN_CONTR_BUSY),
    KORVEL_STATUS_ROW(NTCAN_CONTR_WARN),
    KORVEL_STATUS_ROW(NTCAN_NO_ID_ENABLED),
    KORVEL_STATUS_ROW(NTCAN_ID_ALREADY_ENABLED),
    KORVEL_STATUS_ROW(NTCAN_ID_NOT_ENABLED),
    KORVEL_STATUS_ROW(NTCAN_INVALID_FIRMWARE),
    KORVEL_STATUS_ROW(NTCAN_MESSAGE_LOST),
    KORVEL_STATUS_ROW(NTCAN_INVALID_PARAMETER),
    KORVEL_STATUS_ROW(NTCAN_INVALID_HANDLE),
    KORVEL_STATUS_ROW(NTCAN_NET_NOT_FOUND),
    KORVEL_STATUS_ROW(NTCAN_INVALID_HARDWARE),
    KORVEL_STATUS_ROW(NTCAN_PENDING_WRITE),
    KORVEL_STATUS_ROW(NTCAN_PENDING_READ),
    KORVEL_STATUS_ROW(NTCAN_INVALID_DRIVER),
    KORVEL_STATUS_ROW(NTCAN_OPERATION_ABORTED),
    KORVEL_STATUS_ROW(NTCAN_WRONG_DEVICE_STATE),
    KORVEL_STATUS_ROW(NTCAN_INSUFFICIENT_RESOURCES),
    KORVEL_STATUS_ROW(NTCAN_SOCK_CONN_TIMEOUT),
    KORVEL_STATUS_ROW(NTCAN_SOCK_CMD_TIMEOUT),
    KORVEL_STATUS_ROW(NTCAN_SOCK_HOST_NOT_FOUND),
    {kUnknown, "NTCAN_UNKNOWN"},
};

#undef KORVEL_STATUS_ROW

}  // namespace

std::string can_error_str(unsigned long ntstatus) {
  const ERR2STR* row = err2str;
  while (row->ntstatus != ntstatus && row->ntstatus != kUnknown) ++row;
  char code[32];
  std::snprintf(code, sizeof code, "(0x%08lx)", ntstatus);
  return std::string(row->str) + code;
}
