// Names of the driver's status codes.
#include <cstdio>
#include <string>

#include "D_korvel.h"

namespace {

struct ERR2STR {
  unsigned long ntstatus;
  const char* str;
};

// Searched in this order; the last row ends the table and names every unknown code.
const ERR2STR err2str[] = {
    {0x0, "NTCAN_SUCCESS"},
    {0x101, "NTCAN_RX_TIMEOUT"},
    {0x102, "NTCAN_TX_TIMEOUT"},
    {0x104, "NTCAN_TX_ERROR"},
    {0x105, "NTCAN_CONTR_OFF_BUS"},
    {0x106, "NTCAN_CONTR_BUSY"},
    {0x107, "NTCAN_CONTR_WARN"},
    {0x109, "NTCAN_NO_ID_ENABLED"},
    {0x10a, "NTCAN_ID_ALREADY_ENABLED"},
    {0x10b, "NTCAN_ID_NOT_ENABLED"},
    {0x10d, "NTCAN_INVALID_FIRMWARE"},
    {0x10e, "NTCAN_MESSAGE_LOST"},
    {0x16, "NTCAN_INVALID_PARAMETER"},
    {0x4d, "NTCAN_INVALID_HANDLE"},
    {0x13, "NTCAN_NET_NOT_FOUND"},
    {0x10f, "NTCAN_INVALID_HARDWARE"},
    {0x110, "NTCAN_PENDING_WRITE"},
    {0x111, "NTCAN_PENDING_READ"},
    {0x112, "NTCAN_INVALID_DRIVER"},
    {0x4, "NTCAN_OPERATION_ABORTED"},
    {0x113, "NTCAN_WRONG_DEVICE_STATE"},
    {0xc, "NTCAN_INSUFFICIENT_RESOURCES"},
    {0x180, "NTCAN_SOCK_CONN_TIMEOUT"},
    {0x181, "NTCAN_SOCK_CMD_TIMEOUT"},
    {0x182, "NTCAN_SOCK_HOST_NOT_FOUND"},
    {0xffffffff, "NTCAN_UNKNOWN"},
};

}  // namespace

std::string can_error_str(unsigned long ntstatus) {
  const ERR2STR* row = err2str;
  while (row->ntstatus != ntstatus && row->ntstatus != 0xffffffffUL) ++row;
  char code[32];
  std::snprintf(code, sizeof code, "(0x%08lx)", ntstatus);
  return std::string(row->str) + code;
}
