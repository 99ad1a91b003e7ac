// Every kind of node on a gateway line works again after each of many gateway outages: the
// line's first node, its passive twin, a second master with a handle of its own (which
// reconnects by itself), and that master's passive twin; and no call is made on a closed handle.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "gateway_fixture.h"
#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;
constexpr int kOutages = 100;

class GatewayOutage : public KorvelTest {
 protected:
  void TearDown() override {
    KorvelTest::TearDown();
    ntcan_test::reset();  // no handle outlives the gateway
    sim_.reset();
  }

  // Steps the supervision thread until done(); false if it takes more than max_steps.
  bool step_until(const std::function<bool()>& done, int max_steps) {
    for (int i = 0; i < max_steps && !done(); ++i) step();
    return done();
  }

  // Waits until the driver has seen the connection of handle h go: a read returns then.
  static int read_until_lost(NTCAN_HANDLE h) {
    int r = NTCAN_RX_TIMEOUT;
    for (int tries = 0; tries < 20 && (r == NTCAN_RX_TIMEOUT || r == NTCAN_SUCCESS); ++tries) {
      CMSG m[8];
      int32_t n = 8;
      r = canRead(h, m, &n, nullptr);
    }
    return r;
  }

  // The node asks its device for the guarding answer and reads it from its own handle.
  static std::string guard(D_can& n) {
    if (n.rtr() != 0) return "rtr failed";
    CMSG m[1];
    int len = 1;
    const int r = n.can_read(m, &len);
    if (r != NTCAN_SUCCESS || len != 1) return "read returned " + std::to_string(r);
    return canbus::to_string(m[0]).substr(0, 4);
  }

  std::unique_ptr<gateway_sim::GatewaySim> sim_;
};

}  // namespace

TEST_F(GatewayOutage, EveryKindOfNodeWorksAfterEachOfAHundredOutages) {
  gateway_sim::Config cfg = test_gateway();
  cfg.devices.push_back({"can0", 6, "Second device", "HW-6", "SW-6"});
  cfg.log = false;
  sim_ = std::make_unique<gateway_sim::GatewaySim>(cfg);
  std::string error;
  ASSERT_TRUE(sim_->start(error)) << error;
  configure_driver(dir_, "0 socketcand 127.0.0.1 " + std::to_string(sim_->can_port()) + " can0\n");
  write_file("DENY-wget-reset", "");  // an outage here never calls for a reset; be sure

  const FourKinds nodes = start_four_kinds(5, 6);
  ASSERT_FALSE(HasFailure());
  canline* line = nodes.first.line();
  const NTCAN_HANDLE own = nodes.second.handle();
  ASSERT_NE(own, line->handle());
  ASSERT_EQ(nodes.second_twin.handle(), own);
  ASSERT_TRUE(clock_->wait_for_sleepers(1));
  clock_->advance(60LL * 1000000000LL);
  step();
  auto dev5 = sim_->device("can0", 5);
  auto dev6 = sim_->device("can0", 6);

  for (int outage = 1; outage <= kOutages; ++outage) {
    SCOPED_TRACE("outage " + std::to_string(outage));
    sim_->set_down(true);
    ASSERT_EQ(read_until_lost(line->handle()), NTCAN_SOCK_CMD_TIMEOUT);
    ASSERT_EQ(read_until_lost(own), NTCAN_SOCK_CMD_TIMEOUT);
    ASSERT_TRUE(step_until([&] { return line->handle() == -1; }, 3));
    sim_->set_down(false);
    ASSERT_TRUE(sim_->wait_serving(kSafetyNet));
    ASSERT_TRUE(step_until([&] { return line->handle() > 0; }, 4));
    EXPECT_EQ(nodes.first.handle(), line->handle());
    const int commands5 = dev5->nmt_commands();
    const int commands6 = dev6->nmt_commands();
    // The second master's own handle is the same one, connected again.
    expect_four_kinds_work(nodes, own, [](D_can& n) { return guard(n); });
    // The guarding answers came after the NMT frames, so the devices have them by now.
    EXPECT_EQ(dev5->nmt_commands(), commands5 + 1);
    EXPECT_EQ(dev6->nmt_commands(), commands6 + 1);
    if (HasFailure()) break;
  }

  EXPECT_GE(expect_no_call_on_a_closed_handle(), static_cast<std::size_t>(kOutages));
}
