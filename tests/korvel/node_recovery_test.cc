// A line closed and re-opened by its supervision thread: the nodes that shared the old line
// handle follow the new one, and no node uses a closed handle.
#include <gtest/gtest.h>

#include "simdev/canopen_device.h"
#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;
constexpr int64_t kSecond = 1000000000LL;

using NodeRecovery = KorvelTest;

}  // namespace

TEST_F(NodeRecovery, NodesFollowTheLineHandleThroughAnOutage) {
  auto dev5 = std::make_shared<simdev::canopen::Device>(5);
  auto dev6 = std::make_shared<simdev::canopen::Device>(6);
  ntcan_sim::attach(0, dev5);
  ntcan_sim::attach(0, dev6);
  D_can& master = node("M", {1, 5, 0, 0});
  D_can& passive = node("P", {1, 5, 1, 0});
  D_can& other = node("O", {1, 6, 0, 0});
  ASSERT_EQ(master.init(0x705), 0);
  ASSERT_EQ(passive.init(0x705), 0);
  ASSERT_EQ(other.init(0x706), 0);
  canline* line = master.line();
  const NTCAN_HANDLE old_line = line->handle();
  const NTCAN_HANDLE own = other.handle();
  EXPECT_EQ(passive.handle(), old_line);

  ASSERT_TRUE(clock_->wait_for_sleepers(1));
  clock_->advance(60 * kSecond);
  step();
  ntcan_test::set_net_down(0, true);
  step();
  step();
  ASSERT_EQ(line->handle(), -1);
  EXPECT_FALSE(ntcan_test::is_open(old_line));
  ntcan_test::clear_calls();
  EXPECT_EQ(master.start_node(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(passive.rtr(), NTCAN_INVALID_HANDLE);
  EXPECT_TRUE(ntcan_test::calls().empty());  // nodes skip the driver while the line is down

  ntcan_test::set_net_down(0, false);
  step();  // the 15 s pause after the close
  step();  // re-open
  const NTCAN_HANDLE new_line = line->handle();
  ASSERT_GT(new_line, 0);
  ASSERT_NE(new_line, old_line);
  EXPECT_EQ(master.handle(), new_line);
  EXPECT_EQ(passive.handle(), new_line);
  EXPECT_EQ(other.handle(), own);

  // Everything works again on the new handle, the guarding answer included.
  EXPECT_EQ(master.start_node(), 0);
  EXPECT_EQ(other.start_node(), 0);
  EXPECT_EQ(passive.rtr(), 0);
  can_looping();
  CMSG batch[100];
  int len = 0;
  ASSERT_EQ(master.can_array(batch, &len), 0);
  EXPECT_EQ(Peer::alive(master)->check_alive(5, batch, &len), 100);
  EXPECT_EQ(read_text(master, ".CONDITION"), "Operational");
  EXPECT_EQ(Peer::alive(passive)->value(), Peer::alive(master)->value());  // one shared alive value

  for (const auto& c : ntcan_test::calls()) {
    EXPECT_NE(c.result, NTCAN_INVALID_HANDLE) << c.op << " on " << c.handle;
    EXPECT_NE(c.handle, old_line) << c.op;
  }
  auto sends = ntcan_test::calls("canSend");
  ASSERT_EQ(sends.size(), 3u);
  EXPECT_EQ(sends[0].handle, new_line);
  EXPECT_EQ(sends[1].handle, own);
  EXPECT_EQ(sends[2].handle, new_line);

  ntcan_test::clear_calls();
  EXPECT_EQ(master.can_close(), 0);  // the line handle stays with the line
  EXPECT_TRUE(ntcan_test::calls("canClose").empty());
}

TEST_F(NodeRecovery, FirstNodeWhoseOpenFailedWorksOnceTheLineIsUp) {
  ntcan_test::fail_open(0, NTCAN_SOCK_CONN_TIMEOUT, 1);
  D_can& n = node("N", {1, 5, 0, 0});
  EXPECT_EQ(n.init(0x705), NTCAN_SOCK_CONN_TIMEOUT);
  ASSERT_TRUE(clock_->wait_for_sleepers(1));
  clock_->advance(60 * kSecond);
  step();  // the thread re-opens the line
  ASSERT_GT(n.line()->handle(), 0);
  EXPECT_EQ(n.handle(), n.line()->handle());
  EXPECT_EQ(n.init(0x705), 0);  // started again: enables its identifier on the line handle
  EXPECT_EQ(n.start_node(), 0);
}
