// Fault switches per net, with their call counts, and a net going down and up.
#include "sim_fixture.h"

class Faults : public SimTest {
 protected:
  static int try_open(int net) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    return canOpen(net, 0, 16, 16, 100, 0, &h);
  }
};

TEST_F(Faults, OpenFailsTheGivenNumberOfTimes) {
  ntcan_test::fail_open(2, NTCAN_INVALID_HARDWARE, 2);
  EXPECT_EQ(try_open(2), NTCAN_INVALID_HARDWARE);
  EXPECT_EQ(try_open(1), NTCAN_SUCCESS) << "other nets are not affected";
  EXPECT_EQ(try_open(2), NTCAN_INVALID_HARDWARE);
  EXPECT_EQ(try_open(2), NTCAN_SUCCESS);
  EXPECT_EQ(ntcan_test::open_handles(2), 1);
}

TEST_F(Faults, ForeverLastsUntilCleared) {
  ntcan_test::fail_open(0, NTCAN_NET_NOT_FOUND);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(try_open(0), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(ntcan_test::open_handles(0), 0);
  ntcan_test::clear_faults(0);
  EXPECT_EQ(try_open(0), NTCAN_SUCCESS);
}

TEST_F(Faults, BaudrateIsRecordedOnlyWhenItSucceeds) {
  NTCAN_HANDLE h = open(3);
  EXPECT_EQ(ntcan_test::baudrate(3), 0u);
  ntcan_test::fail_baudrate(3, NTCAN_CONTR_BUSY, 1);
  EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_125), NTCAN_CONTR_BUSY);
  EXPECT_EQ(ntcan_test::baudrate(3), 0u);
  EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_125), NTCAN_SUCCESS);
  EXPECT_EQ(ntcan_test::baudrate(3), static_cast<std::uint32_t>(NTCAN_BAUD_125));
  EXPECT_EQ(ntcan_test::baudrate(4), 0u);
}

TEST_F(Faults, StatusReportsBoardstatusAndFails) {
  NTCAN_HANDLE h = open(0);
  CAN_IF_STATUS st;
  ASSERT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
  EXPECT_EQ(st.boardstatus, 0u);
  EXPECT_NE(st.hardware, 0);
  EXPECT_NE(st.firmware, 0);
  EXPECT_NE(st.driver, 0);
  EXPECT_NE(st.dll, 0);

  ntcan_test::set_boardstatus(0, 0x40);
  ASSERT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
  EXPECT_EQ(st.boardstatus, 0x40u);

  ntcan_test::fail_status(0, NTCAN_CONTR_OFF_BUS, 1);
  EXPECT_EQ(canStatus(h, &st), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
}

TEST_F(Faults, FailedCloseStillReleasesTheHandle) {
  NTCAN_HANDLE h = open(0);
  ntcan_test::fail_close(0, NTCAN_INVALID_DRIVER, 1);
  EXPECT_EQ(canClose(h), NTCAN_INVALID_DRIVER);
  EXPECT_FALSE(ntcan_test::is_open(h));
  EXPECT_EQ(ntcan_test::open_handles(0), 0);
  EXPECT_EQ(canClose(h), NTCAN_INVALID_HANDLE);
}

TEST_F(Faults, NetDownFailsIoAndLosesFramesUntilItIsBack) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x181}, 8, 1);
  NTCAN_HANDLE elsewhere = open(1, {0x181});
  send(tx, {"181#01"});

  ntcan_test::set_net_down(0, true, NTCAN_SOCK_HOST_NOT_FOUND);
  EXPECT_EQ(try_open(0), NTCAN_SOCK_HOST_NOT_FOUND);
  EXPECT_EQ(try_open(1), NTCAN_SUCCESS);

  CMSG m = canbus::frame("181#02");
  CAN_IF_STATUS st;
  std::int32_t n = 1;
  EXPECT_EQ(canSend(tx, &m, &n), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(n, 0);
  n = 1;
  EXPECT_EQ(canRead(rx, &m, &n, nullptr), NTCAN_SOCK_CMD_TIMEOUT);
  n = 1;
  EXPECT_EQ(canTake(rx, &m, &n), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canStatus(rx, &st), NTCAN_SOCK_CMD_TIMEOUT);
  ntcan_sim::inject(0, canbus::frame("181#03"));
  ntcan_sim::inject(1, canbus::frame("181#04"));
  EXPECT_EQ(take(elsewhere), "181#04\n");

  ntcan_test::set_net_down(0, false);
  EXPECT_TRUE(ntcan_test::is_open(rx));
  EXPECT_EQ(take(rx), "") << "181#01 went down with the net, 181#03 never arrived";
  send(tx, {"181#05"});
  EXPECT_EQ(take(rx), "181#05\n");
  EXPECT_EQ(canStatus(rx, &st), NTCAN_SUCCESS);
  EXPECT_EQ(log(0), "181#01\n181#05\n");
}
