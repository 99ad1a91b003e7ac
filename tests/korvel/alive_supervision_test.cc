// Lost-device supervision on the virtual service clock: heartbeats and guarding answers keep a node
// alive, silence marks it lost once, the next state frame brings it back.
#include <gtest/gtest.h>

#include "simdev/canopen_device.h"
#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;
constexpr int64_t kMs = 1000000LL;
constexpr const char* kHeading = "D_can::supervise_alive";

class AliveSupervision : public KorvelTest {
 protected:
  void SetUp() override {
    KorvelTest::SetUp();
    n_ = &node("PUMP1 cooling pump", {1, 5, 0, 0});
    ASSERT_EQ(n_->init(0x705), 0);
  }
  // One server period: the batch is taken, then `ms` of framework time pass.
  void period(int ms = 500) {
    can_looping();
    clock_->advance(ms * kMs);
  }
  void heartbeat(const char* text = "705#05") { ntcan_sim::inject(0, canbus::frame(text)); }
  // Periods of silence until the node is lost; the silence in ms since the batch of the period
  // before, which took the last state frame (0: never lost within 10 s).
  int silence_until_lost() {
    for (int waited = 0; waited <= 10000; waited += 500) {
      can_looping();
      if (n_->is_lost()) return waited + 500;
      clock_->advance(500 * kMs);
    }
    return 0;
  }
  std::string condition(D_can& n) { return Peer::condition(n)->value(); }
  int lines(const std::string& fragment) {
    int count = 0;
    for (const auto& l : log_.with_heading(kHeading))
      count += l.text.find(fragment) != std::string::npos;
    return count;
  }
  D_can* n_ = nullptr;
};

}  // namespace

TEST_F(AliveSupervision, HeartbeatsKeepTheNodeSilenceLosesItOnceAndTheNextBeatBringsItBack) {
  ASSERT_EQ(n_->supervise_alive(1500), 0);
  for (int i = 0; i < 10; ++i) {
    heartbeat();
    period();
  }
  EXPECT_FALSE(n_->is_lost());
  EXPECT_TRUE(log_.with_heading(kHeading).empty());

  const int silence = silence_until_lost();
  // At the first batch that comes the supervision time after the one that took the last
  // frame: the frame came before that batch, so the silence was surely longer.
  EXPECT_EQ(silence, 1500);
  EXPECT_EQ(condition(*n_), D_can::kLostText);
  EXPECT_EQ(*Peer::alive_ptr(*n_), D_can::kLostAlive);
  EXPECT_FALSE(Peer::alive(*n_)->isalive());
  for (int i = 0; i < 6; ++i) period();
  EXPECT_EQ(lines("PUMP1: lost, no state frame for more than 1500 ms"), 1);

  heartbeat("705#05");
  can_looping();
  EXPECT_FALSE(n_->is_lost());
  EXPECT_EQ(condition(*n_), "Operational");
  EXPECT_EQ(*Peer::alive_ptr(*n_), 5);
  EXPECT_TRUE(Peer::alive(*n_)->isalive());
  for (int i = 0; i < 3; ++i) {
    heartbeat();
    period();
  }
  EXPECT_EQ(lines("PUMP1: back, state 0x05 (Operational)"), 1);
  EXPECT_EQ(log_.with_heading(kHeading).size(), 2u);

  // A second silence is a second loss.
  EXPECT_EQ(silence_until_lost(), 1500);
  EXPECT_EQ(lines("lost"), 2);
}

TEST_F(AliveSupervision, GuardingAnswersCountAsStateFrames) {
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  ntcan_sim::attach(0, dev);
  ASSERT_EQ(n_->supervise_alive(1000), 0);
  auto guard_period = [&] {
    n_->rtr();  // the answer is in the next batch
    period();
  };
  for (int i = 0; i < 8; ++i) guard_period();
  EXPECT_FALSE(n_->is_lost());

  dev->mute(true);
  bool lost = false;
  for (int i = 0; i < 12 && !lost; ++i) {
    guard_period();
    lost = n_->is_lost();
  }
  ASSERT_TRUE(lost);
  EXPECT_EQ(condition(*n_), D_can::kLostText);

  dev->mute(false);
  guard_period();
  can_looping();
  EXPECT_FALSE(n_->is_lost());
  EXPECT_EQ(condition(*n_), "Preoperational");  // the device's own state, toggle bit and all
  EXPECT_EQ(*Peer::alive_ptr(*n_) & 0x7F, 0x7F);
  EXPECT_EQ(lines("back"), 1);
}

TEST_F(AliveSupervision, UnsupervisedNodesAndOtherFramesChangeNothing) {
  EXPECT_EQ(n_->supervise_alive(-1), -1);
  for (int i = 0; i < 20; ++i) period();
  EXPECT_EQ(condition(*n_), "Preoperational");
  EXPECT_FALSE(n_->is_lost());

  ASSERT_EQ(n_->supervise_alive(1000), 0);
  ASSERT_EQ(n_->AddIdent(0x706), 0);
  ASSERT_EQ(n_->AddIdent(0x185), 0);
  for (int i = 0; i < 10; ++i) {
    // Another device's heartbeat, a two-byte frame, a remote request: none is this device's state.
    heartbeat("706#05");
    heartbeat("705#0505");
    heartbeat("185#05");
    period();
  }
  EXPECT_TRUE(n_->is_lost());

  ASSERT_EQ(n_->supervise_alive(0), 0);  // switched off: no more judgement, texts stay
  EXPECT_FALSE(n_->is_lost());
  heartbeat();
  period();
  EXPECT_EQ(condition(*n_), D_can::kLostText);
  EXPECT_EQ(lines("back"), 0);
  EXPECT_EQ(lines("lost"), 1);
}

TEST_F(AliveSupervision, BootUpBringsBackAndPassiveNodesFollowTheirMastersBatches) {
  D_can& view = node("VIEW of the pump", {1, 5, 0, 0});
  ASSERT_EQ(view.init(0x705), 0);  // passive: shares the master's buffer
  ASSERT_EQ(view.supervise_alive(1000), 0);
  for (int i = 0; i < 8; ++i) period();
  EXPECT_TRUE(view.is_lost());
  EXPECT_FALSE(n_->is_lost());  // only the node that asked is supervised
  EXPECT_EQ(condition(view), D_can::kLostText);

  heartbeat("705#00");  // boot-up
  can_looping();
  EXPECT_FALSE(view.is_lost());
  EXPECT_EQ(condition(view), "default Error");  // as D_Alive shows a boot-up byte
  EXPECT_EQ(lines("VIEW: back, state 0x00 (default Error)"), 1);
}

// A watch judges the batches of the buffer its node shares at the time: none while a passive
// node has let go of its master's, the master's again once it has started anew.
TEST_F(AliveSupervision, WatchesFollowTheBufferTheirNodeSharesNow) {
  D_can& view = node("VIEW", {1, 5, 0, 0});
  D_can& other = node("OTHER", {1, 6, 0, 0});
  ASSERT_EQ(view.init(0x705), 0);  // passive on the pump
  ASSERT_EQ(other.init(0x706), 0);
  ASSERT_EQ(other.supervise_alive(60000), 0);
  ASSERT_EQ(view.supervise_alive(1000), 0);
  ASSERT_EQ(other.supervise_alive(0), 0);  // the watch before VIEW's goes
  EXPECT_EQ(view.can_close(), 0);
  for (int i = 0; i < 8; ++i) period();
  EXPECT_FALSE(view.is_lost());
  ASSERT_EQ(view.init(0x705), 0);
  period();
  EXPECT_TRUE(view.is_lost());
  heartbeat();
  can_looping();
  EXPECT_FALSE(view.is_lost());
  EXPECT_FALSE(other.is_lost());
  EXPECT_EQ(lines("VIEW: back"), 1);
}

TEST_F(AliveSupervision, ADestroyedNodeLeavesNoSupervisionBehind) {
  D_can& other = node("OTHER", {1, 6, 0, 0});
  ASSERT_EQ(other.init(0x706), 0);
  ASSERT_EQ(other.supervise_alive(1000), 0);
  nodes_.pop_back();  // destroys OTHER
  for (int i = 0; i < 8; ++i) period();
  EXPECT_TRUE(log_.with_heading(kHeading).empty());
}

TEST_F(AliveSupervision, HeartbeatProducerSetByDownloadIsSupervisedLostAndBack) {
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  ntcan_sim::attach(0, dev);
  const unsigned char ms500[2] = {0xF4, 0x01};
  ASSERT_EQ(n_->sdo_write(0x1017, 0, ms500, 2), 0);  // producer time 500 ms
  ASSERT_EQ(n_->supervise_alive(1500), 0);
  ntcan_sim::clear_bus_log();
  for (int i = 0; i < 10; ++i) period(250);
  EXPECT_FALSE(n_->is_lost());
  int beats = 0;
  for (const CMSG& m : ntcan_sim::bus_log(0)) beats += canbus::to_string(m) == "705#7F";
  EXPECT_GE(beats, 4);  // 2.5 s at one beat per 500 ms

  dev->mute(true);
  const int silence = silence_until_lost();
  EXPECT_GE(silence, 1500);  // the last beat came 0 or 250 ms before the last period began
  EXPECT_LE(silence, 2000);
  dev->mute(false);
  for (int i = 0; i < 3 && n_->is_lost(); ++i) period(250);
  EXPECT_FALSE(n_->is_lost());
  EXPECT_EQ(condition(*n_), "Preoperational");
  EXPECT_EQ(lines("back, state 0x7F (Preoperational)"), 1);
}
