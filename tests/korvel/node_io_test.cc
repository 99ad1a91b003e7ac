// Frame primitives of a node: send, receive, request and poll, fill and batch, remote requests.
#include <gtest/gtest.h>

#include <thread>

#include "simdev/canopen_device.h"
#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;

// Answers every data frame on 0x600 + 5 from identifier 0x123 with the request's bytes 1 to 3.
class EchoFromElsewhere : public simdev::Device {
 public:
  void on_frame(const CMSG& in, std::int64_t now, std::vector<simdev::TimedFrame>& out) override {
    if (in.id != 0x605) return;
    CMSG r = canbus::frame("123#4300000001020304");
    for (int j = 1; j <= 3; ++j) r.data[j] = in.data[j];
    out.push_back({canbus::frame("124#11"), now});  // unrelated traffic first
    out.push_back({r, now});
  }
};

class NodeIo : public KorvelTest {
 protected:
  D_can& started(IIII id, int ident) {
    D_can& n = node("N" + std::to_string(id.i2_data), id);
    EXPECT_EQ(n.init(ident), 0);
    return n;
  }
};

}  // namespace

TEST_F(NodeIo, WriteSendsOneFrameAndRefusesBadLengths) {
  D_can& n = started({1, 5, 0, 0}, 0);
  unsigned char data[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(n.can_write(0x205, 3, data), 0);
  EXPECT_EQ(n.can_write(0x205, 9, data), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n.can_write(0x205, -1, data), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(sent_frames(), std::vector<std::string>{"205#010203"});
  EXPECT_EQ(ntcan_test::calls("canSend")[0].args, std::vector<long>{1});
}

TEST_F(NodeIo, NothingReachesTheDriverWithoutAUsableLine) {
  D_can& idle = node("IDLE", {1, 5, 0, 0});
  unsigned char data[8] = {};
  CMSG buf[4];
  int len = 4;
  EXPECT_EQ(idle.can_write(0x205, 1, data), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(idle.can_get(buf, &len), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(len, -1);
  len = 4;
  EXPECT_EQ(idle.can_read(buf, &len), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(len, -1);
  int id = 0x705;
  EXPECT_EQ(idle.rtr(&id), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(idle.start_node(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(idle.can_fill(), -1);  // no buffer before init(int)
  EXPECT_EQ(idle.can_array(buf, &len), -1);
  EXPECT_TRUE(ntcan_test::calls().empty());
}

TEST_F(NodeIo, FillAndArrayHandOutTheLastBatch) {
  D_can& n = started({1, 5, 0, 0}, 0x185);
  for (const char* f : {"185#01", "185#0203", "186#FF"}) ntcan_sim::inject(0, canbus::frame(f));
  EXPECT_EQ(can_looping(), 0);
  CMSG batch[100];
  int len = 0;
  EXPECT_EQ(n.can_array(batch, &len), 0);
  ASSERT_EQ(len, 2);
  EXPECT_EQ(canbus::to_string(batch[1]), "185#0203");
  len = 0;
  EXPECT_EQ(n.can_array(batch, &len), 0);  // the same batch again
  EXPECT_EQ(len, 2);
  EXPECT_EQ(ntcan_test::calls("canTake").back().args, std::vector<long>{100});
}

namespace {

// A node that looks at each batch as soon as it is taken: its can_fill, called by can_looping
// under the polling lock, hands the batch out again through can_array.
class InspectingNode : public D_can {
 public:
  using D_can::D_can;
  ~InspectingNode() override { unregister_node(); }
  int can_fill() override {
    const int r = D_can::can_fill();
    CMSG batch[100];
    int len = 0;
    seen_status.push_back(can_array(batch, &len));
    for (int i = 0; i < len; ++i) seen.push_back(canbus::to_string(batch[i]));
    return r;
  }
  std::vector<int> seen_status;
  std::vector<std::string> seen;
};

}  // namespace

TEST_F(NodeIo, DerivedFillMayReadItsBatchUnderThePollingLock) {
  InspectingNode n("INSPECT", &loc_);
  Peer::ident(n) = {1, 5, 0, 0};
  ASSERT_EQ(n.init(0x185), 0);
  for (const char* f : {"185#01", "185#0203"}) ntcan_sim::inject(0, canbus::frame(f));
  EXPECT_EQ(can_looping(),
            0);  // returns: the fill's can_array does not wait for the lock it runs under
  EXPECT_EQ(n.seen_status, std::vector<int>{0});
  EXPECT_EQ(n.seen, (std::vector<std::string>{"185#01", "185#0203"}));

  // The lock is free again for other threads and for the next loop.
  std::thread other([&] {
    CMSG batch[100];
    int len = 0;
    EXPECT_EQ(n.can_array(batch, &len), 0);
    EXPECT_EQ(len, 2);
  });
  other.join();
  EXPECT_EQ(can_looping(), 0);
  EXPECT_EQ(n.seen_status, (std::vector<int>{0, 0}));
  EXPECT_EQ(n.seen.size(), 2u);  // the second batch was empty
}

TEST_F(NodeIo, FillOnAClosedLineLeavesNoBatch) {
  D_can& n = started({1, 5, 0, 0}, 0x185);
  n.line()->can_close();
  EXPECT_EQ(n.can_fill(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(*Peer::rxmsg_len(n), -1);
  EXPECT_EQ(*Peer::can_ret(n), NTCAN_INVALID_HANDLE);
  CMSG batch[100];
  int len = 7;
  EXPECT_EQ(n.can_array(batch, &len), -1);
  EXPECT_EQ(len, 7);
}

TEST_F(NodeIo, ArrayAfterAFailedFillOnAUsableLineIsEmpty) {
  D_can& n = started({1, 5, 0, 0}, 0x185);
  *Peer::rxmsg_len(n) = -1;
  *Peer::can_ret(n) = NTCAN_INVALID_HANDLE;
  CMSG batch[100];
  int len = 7;
  EXPECT_EQ(n.can_array(batch, &len), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(len, 0);
}

TEST_F(NodeIo, WaitingReadTimesOutWithTheDriversStatus) {
  D_can& n = started({1, 5, 0, 0}, 0x185);
  ntcan_sim::inject(0, canbus::frame("185#AA"));
  CMSG buf[4];
  int len = 4;
  EXPECT_EQ(n.can_read(buf, &len), 0);
  EXPECT_EQ(len, 1);
  EXPECT_EQ(ntcan_test::calls("canRead").back().args, std::vector<long>{4});
  len = 4;
  EXPECT_EQ(n.can_get(buf, &len), 0);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(n.can_return(), 0);
}

TEST_F(NodeIo, PollAcceptsAReplyFromAnotherIdentifierByItsMultiplexer) {
  D_can& n = started({1, 5, 0, 0}, 0x123);
  n.AddIdent(0x124);
  ntcan_sim::attach(0, std::make_shared<EchoFromElsewhere>());
  int ident = 0x605;
  int length = 8;
  unsigned char data[8] = {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
  EXPECT_EQ(n.can_poll(&ident, &length, data), 0);
  EXPECT_EQ(ident, 0x123);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(data[0], 0x43);
  EXPECT_EQ(data[2], 0x10);
  EXPECT_EQ(data[7], 0x04);
  EXPECT_EQ(n.can_return(), 0);
}

TEST_F(NodeIo, PollGivesUpAfterFiftyPolls) {
  D_can& n = started({1, 5, 0, 0}, 0x585);
  int ident = 0x605;
  int length = 8;
  unsigned char data[8] = {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
  EXPECT_EQ(n.can_poll(&ident, &length, data), 32);
  EXPECT_EQ(n.can_return(), 32);
  EXPECT_EQ(ntcan_test::calls("canTake").size(), 50u);
  EXPECT_EQ(ntcan_test::calls("canTake")[0].args, std::vector<long>{10});
}

TEST_F(NodeIo, PollThatCannotSendLeavesTheLastStatus) {
  D_can& n = started({1, 5, 0, 0}, 0x585);
  *Peer::can_ret(n) = 1234;
  ntcan_test::set_net_down(0, true);
  int ident = 0x605;
  int length = 8;
  unsigned char data[8] = {};
  EXPECT_EQ(n.can_poll(&ident, &length, data), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(n.can_return(), 1234);
  length = 9;
  EXPECT_EQ(n.can_poll(&ident, &length, data), NTCAN_INVALID_PARAMETER);
}

TEST_F(NodeIo, RemoteRequestsCarryTheirLengthAndNoData) {
  D_can& n = started({1, 5, 0, 0}, 0);
  int ident = 0x285;
  EXPECT_EQ(n.rtr(&ident), 0);
  EXPECT_EQ(n.rtr(&ident, 8), 0);
  EXPECT_EQ(n.rtr(&ident, 9), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n.rtr(), 0);
  auto sends = ntcan_test::calls("canSend");
  ASSERT_EQ(sends.size(), 3u);
  EXPECT_EQ(sends[0].frames[0].len, 0x10);
  EXPECT_EQ(sends[1].frames[0].len, 0x18);
  EXPECT_EQ(sends[2].frames[0].id, 0x705);
  EXPECT_EQ(sends[2].frames[0].len, 0x10);
}

TEST_F(NodeIo, SdoReadRequestBytes) {
  D_can& n = started({1, 5, 0, 0}, 0);
  EXPECT_EQ(n.can_SDO(0x1008, 0), 0);
  EXPECT_EQ(n.can_SDO(0x2345, 7), 0);
  EXPECT_EQ(sent_frames(),
            (std::vector<std::string>{"605#4008100000000000", "605#4045230700000000"}));
}
