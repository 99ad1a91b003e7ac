// The record of driver calls the library's tests rely on.
#include "sim_fixture.h"

class CallRecord : public SimTest {};

TEST_F(CallRecord, RecordsEachCallWithArgumentsFramesAndResult) {
  NTCAN_HANDLE tx = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(2, 0, 10, 20, 30, 40, &tx), NTCAN_SUCCESS);
  NTCAN_HANDLE rx = open(2, {0x605});
  EXPECT_EQ(canIdAdd(rx, 0x605), NTCAN_ID_ALREADY_ENABLED);
  send(tx, {"605#4008100000000000"});
  CMSG buf[4];
  std::int32_t n = 4;
  ASSERT_EQ(canTake(rx, buf, &n), NTCAN_SUCCESS);
  ASSERT_EQ(canClose(tx), NTCAN_SUCCESS);

  auto calls = ntcan_test::calls();
  ASSERT_EQ(calls.size(), 7u);

  EXPECT_EQ(calls[0].op, "canOpen");
  EXPECT_EQ(calls[0].handle, tx);
  EXPECT_EQ(calls[0].net, 2);
  EXPECT_EQ(calls[0].args, (std::vector<long>{2, 0, 10, 20, 30, 40}));
  EXPECT_EQ(calls[0].result, NTCAN_SUCCESS);

  EXPECT_EQ(calls[2].op, "canIdAdd");
  EXPECT_EQ(calls[2].handle, rx);
  EXPECT_EQ(calls[2].args, (std::vector<long>{0x605}));
  EXPECT_EQ(calls[3].op, "canIdAdd");
  EXPECT_EQ(calls[3].result, NTCAN_ID_ALREADY_ENABLED);

  EXPECT_EQ(calls[4].op, "canSend");
  EXPECT_EQ(calls[4].args, (std::vector<long>{1}));
  EXPECT_EQ(canbus::to_string(calls[4].frames), "605#4008100000000000\n");

  EXPECT_EQ(calls[5].op, "canTake");
  EXPECT_EQ(calls[5].args, (std::vector<long>{4}));
  EXPECT_EQ(canbus::to_string(calls[5].frames), "605#4008100000000000\n");

  EXPECT_EQ(calls[6].op, "canClose");
  EXPECT_EQ(calls[6].net, 2);
}

TEST_F(CallRecord, FailedCallsAreRecordedToo) {
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  EXPECT_EQ(canOpen(0, 0, 1, 0, 0, 0, &h), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canClose(999), NTCAN_INVALID_HANDLE);
  CMSG m{};
  std::int32_t n = 1;
  NTCAN_HANDLE rx = open(0, {}, 8, 1);
  EXPECT_EQ(canRead(rx, &m, &n, nullptr), NTCAN_RX_TIMEOUT);

  auto open_calls = ntcan_test::calls("canOpen");
  ASSERT_EQ(open_calls.size(), 2u);
  EXPECT_EQ(open_calls[0].handle, -1);
  EXPECT_EQ(open_calls[0].result, NTCAN_INVALID_PARAMETER);

  auto close_calls = ntcan_test::calls("canClose");
  ASSERT_EQ(close_calls.size(), 1u);
  EXPECT_EQ(close_calls[0].net, -1);
  EXPECT_EQ(close_calls[0].result, NTCAN_INVALID_HANDLE);

  auto reads = ntcan_test::calls("canRead");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].result, NTCAN_RX_TIMEOUT);
  EXPECT_TRUE(reads[0].frames.empty());

  ntcan_test::clear_calls();
  EXPECT_TRUE(ntcan_test::calls().empty());
}
