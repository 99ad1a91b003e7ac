// Bad arguments and unknown handles give statuses, never a crash.
#include "sim_fixture.h"

class Arguments : public SimTest {};

TEST_F(Arguments, OpenChecksItsArguments) {
  NTCAN_HANDLE h = 77;
  EXPECT_EQ(canOpen(0, 0, 16, 16, 100, 100, nullptr), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canOpen(0, 0, 16, 0, 100, 100, &h), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(h, NTCAN_NO_HANDLE);
  for (int net : {-1, 256, 1000}) {
    h = 77;
    EXPECT_EQ(canOpen(net, 0, 16, 16, 100, 100, &h), NTCAN_NET_NOT_FOUND) << net;
    EXPECT_EQ(h, NTCAN_NO_HANDLE);
  }
  EXPECT_EQ(canOpen(255, 0, 16, 1, 100, 100, &h), NTCAN_SUCCESS);
  EXPECT_EQ(ntcan_test::net_of(h), 255);
}

TEST_F(Arguments, HandlesArePositiveAndNeverReused) {
  NTCAN_HANDLE first = open(0);
  EXPECT_GT(first, 0);
  EXPECT_EQ(canClose(first), NTCAN_SUCCESS);
  NTCAN_HANDLE second = open(0);
  EXPECT_GT(second, first);
  ntcan_test::reset();
  EXPECT_GT(open(0), second) << "not even after reset";
}

TEST_F(Arguments, UnknownAndStaleHandlesAreRefusedEverywhere) {
  NTCAN_HANDLE stale = open(0);
  ASSERT_EQ(canClose(stale), NTCAN_SUCCESS);
  EXPECT_FALSE(ntcan_test::is_open(stale));
  EXPECT_EQ(ntcan_test::net_of(stale), -1);

  for (NTCAN_HANDLE h : {stale, NTCAN_HANDLE{0}, NTCAN_NO_HANDLE, NTCAN_HANDLE{123456}}) {
    CMSG m = canbus::frame("123#01");
    CAN_IF_STATUS st;
    std::int32_t n = 1;
    EXPECT_EQ(canClose(h), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_125), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canIdAdd(h, 0x123), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canIdDelete(h, 0x123), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canSend(h, &m, &n), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(n, 0);
    n = 1;
    EXPECT_EQ(canRead(h, &m, &n, nullptr), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(n, 0);
    n = 1;
    EXPECT_EQ(canTake(h, &m, &n), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(canStatus(h, &st), NTCAN_INVALID_HANDLE);
  }
  EXPECT_EQ(log(0), "") << "nothing went out on a dead handle";
}

TEST_F(Arguments, NullPointersAndCountsBelowOneAreInvalid) {
  NTCAN_HANDLE h = open(0, {0x100});
  CMSG m = canbus::frame("100#01");
  std::int32_t n = 1;
  std::int32_t zero = 0;
  std::int32_t negative = -3;

  EXPECT_EQ(canSend(h, nullptr, &n), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canSend(h, &m, nullptr), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canSend(h, &m, &zero), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canSend(h, &m, &negative), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(negative, 0);

  n = 1;
  EXPECT_EQ(canRead(h, nullptr, &n, nullptr), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canRead(h, &m, nullptr, nullptr), NTCAN_INVALID_PARAMETER);
  zero = 0;
  EXPECT_EQ(canRead(h, &m, &zero, nullptr), NTCAN_INVALID_PARAMETER);
  n = 1;
  EXPECT_EQ(canTake(h, nullptr, &n), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canTake(h, &m, nullptr), NTCAN_INVALID_PARAMETER);
  negative = -1;
  EXPECT_EQ(canTake(h, &m, &negative), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canStatus(h, nullptr), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(log(0), "");
}

TEST_F(Arguments, SendRefusesTheWholeBatchIfOneFrameIsBad) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x100});
  std::vector<CMSG> batch = canbus::frames({"100#01", "100#02"});

  batch[1].len = 9;
  std::int32_t n = 2;
  EXPECT_EQ(canSend(tx, batch.data(), &n), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n, 0);

  batch[1] = canbus::frame("100#02");
  batch[1].id = 0x800;  // neither an 11-bit id nor flagged as 29-bit
  n = 2;
  EXPECT_EQ(canSend(tx, batch.data(), &n), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(log(0), "");
  EXPECT_EQ(take(rx), "");
}

TEST_F(Arguments, BytesBeyondTheLengthDoNotTravel) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x100, 0x101});
  std::vector<CMSG> batch = canbus::frames({"100#01", "101#R2"});
  batch[0].data[5] = 0xEE;
  batch[0].msg_lost = 9;
  batch[1].data[0] = 0xEE;
  std::int32_t n = 2;
  ASSERT_EQ(canSend(tx, batch.data(), &n), NTCAN_SUCCESS);
  std::vector<CMSG> got = take_frames(rx);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data[5], 0);
  EXPECT_EQ(got[0].msg_lost, 0);
  EXPECT_EQ(got[1].data[0], 0);
}
