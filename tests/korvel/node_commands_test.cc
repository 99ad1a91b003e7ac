// NMT commands of a node and its command properties, against a simulated device.
#include <gtest/gtest.h>

#include "simdev/canopen_device.h"
#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;

class NodeCommands : public KorvelTest {
 protected:
  void write(D_fct* prop, int v) {
    EqData in;
    in.set(v);
    prop->set(nullptr, &in, nullptr, &loc_);
  }
};

}  // namespace

TEST_F(NodeCommands, CommandPropertiesSendOneFramePerWrite) {
  auto device = std::make_shared<simdev::canopen::Device>(5);
  ntcan_sim::attach(0, device);
  D_can& n = node("N", {1, 5, 0, 0});
  ASSERT_EQ(n.init(0x705), 0);

  write(Peer::start(n), 1);
  EXPECT_EQ(device->state(), simdev::canopen::NmtState::kOperational);
  write(Peer::start(n), 1);
  write(Peer::stop(n), 0);
  EXPECT_EQ(device->state(), simdev::canopen::NmtState::kStopped);
  write(Peer::reset(n), 5);
  EXPECT_EQ(Peer::reset(n)->value(), 5);
  EXPECT_EQ(device->state(), simdev::canopen::NmtState::kPreOperational);
  EXPECT_EQ(sent_frames(),
            (std::vector<std::string>{"000#0105", "000#0105", "000#0205", "000#8105"}));
  EXPECT_EQ(n.modinit(), 0);
  EXPECT_EQ(sent_frames().back(), "000#0105");
}

TEST_F(NodeCommands, OnlyTheLowByteOfTheNodeIdIsSent) {
  D_can& wide = node("W", {1, 0x105, 0, 0});
  D_can& all = node("ALL", {1, 0, 0, 0});
  ASSERT_EQ(wide.init(0), 0);
  ASSERT_EQ(all.init(0), 0);
  EXPECT_EQ(wide.stop_node(), 0);
  EXPECT_EQ(all.reset_node(), 0);
  EXPECT_EQ(sent_frames(), (std::vector<std::string>{"000#0205", "000#8100"}));
}

TEST_F(NodeCommands, WriteOnAClosedLineIsStoredButNotSent) {
  D_can& n = node("N", {1, 5, 0, 0});
  write(Peer::start(n), 3);
  EXPECT_EQ(Peer::start(n)->value(), 3);
  EXPECT_TRUE(ntcan_test::calls().empty());
}

TEST_F(NodeCommands, CommandsAndMasterFlagIgnoreTheConfiguration) {
  write_file("loc.conf", "N: \t1  5  0  0\nN.START:\t7\nN.ACTIVE:\t1\nN.BAUDRATE:\t3\n");
  D_can& n = node("N", {});
  loc_.set_config_file(dir_ + "/loc.conf");
  ASSERT_EQ(loc_.load_config(), 0);
  EXPECT_EQ(Peer::start(n)->value(), 0);
  EXPECT_EQ(read_int(n, ".ACTIVE"), 0);
  EXPECT_EQ(read_int(n, ".BAUDRATE"), 3);
  EXPECT_EQ(n.value()->i2_data, 5);
}
