// Names of driver status codes, as every driver-failure log line ends.
#include <gtest/gtest.h>

#include "D_korvel.h"

TEST(StatusNames, KnownCodesGiveTheirNameAndEightHexDigits) {
  EXPECT_EQ(can_error_str(0), "NTCAN_SUCCESS(0x00000000)");
  EXPECT_EQ(can_error_str(0x105), "NTCAN_CONTR_OFF_BUS(0x00000105)");
  EXPECT_EQ(can_error_str(0x4d), "NTCAN_INVALID_HANDLE(0x0000004d)");
  EXPECT_EQ(can_error_str(0x180), "NTCAN_SOCK_CONN_TIMEOUT(0x00000180)");
  EXPECT_EQ(can_error_str(0x182), "NTCAN_SOCK_HOST_NOT_FOUND(0x00000182)");
  EXPECT_EQ(can_error_str(0xc), "NTCAN_INSUFFICIENT_RESOURCES(0x0000000c)");
}

TEST(StatusNames, UnknownCodesKeepTheirValue) {
  EXPECT_EQ(can_error_str(0x103), "NTCAN_UNKNOWN(0x00000103)");
  EXPECT_EQ(can_error_str(0xffffffffUL), "NTCAN_UNKNOWN(0xffffffff)");
  // A negative status widened with its sign prints all sixteen digits.
  EXPECT_EQ(can_error_str(static_cast<unsigned long>(-1L)), "NTCAN_UNKNOWN(0xffffffffffffffff)");
}
