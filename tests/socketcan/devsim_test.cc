// korvel_canopen_devsim without a socket: its device list, and its devices answering frames
// in order and on time.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "devsim.h"
#include "ntcan_sim.h"

namespace {

std::vector<std::string> texts(const std::vector<CMSG>& ms) {
  std::vector<std::string> out;
  for (const CMSG& m : ms) out.push_back(ntcan_sim::to_string(m));
  return out;
}

}  // namespace

TEST(DevsimDevices, CommandLineAndFileNameTheDevices) {
  const devsim::Options o =
      devsim::parse_options({"-i", "can1", "5:Pump:HW-2:", "0x10", "-v"});
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.ifname, "can1");
  EXPECT_TRUE(o.verbose);
  ASSERT_EQ(o.devices.size(), 2u);
  EXPECT_EQ(o.devices[0].node_id, 5);
  EXPECT_EQ(o.devices[0].name, "Pump");
  EXPECT_EQ(o.devices[0].hw, "HW-2");
  EXPECT_EQ(o.devices[0].sw, "SW-1.0");  // empty fields keep their default
  EXPECT_EQ(o.devices[1].node_id, 16);
  EXPECT_EQ(o.devices[1].name, "devsim node 16");

  std::istringstream file("# line 1 devices\n\n 7:Valve block 7:HW 1:SW 9  # trailing\n8\n");
  std::vector<devsim::DeviceSpec> ds;
  std::string error;
  ASSERT_TRUE(devsim::parse_device_file(file, "devs.txt", ds, error)) << error;
  ASSERT_EQ(ds.size(), 2u);
  EXPECT_EQ(ds[0].name, "Valve block 7");
  EXPECT_EQ(ds[0].sw, "SW 9");

  std::istringstream bad("5\n128:Too far\n");
  EXPECT_FALSE(devsim::parse_device_file(bad, "devs.txt", ds, error));
  EXPECT_EQ(error, "devs.txt:2: node-ID \"128\" is not 1..127");
}

TEST(DevsimDevices, BadCommandLinesAreRefused) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"0"}, {"5x"}, {"5:a:b:c:d"}, {"5", "5:again"}, {"-i"}, {"--bogus", "5"}, {"-f", "/nonexistent/devs"}}) {
    EXPECT_NE(devsim::parse_options(args).error, "") << (args.empty() ? "(none)" : args[0]);
  }
  EXPECT_TRUE(devsim::parse_options({"--help"}).help);
}

TEST(DevsimHost, DevicesBootAnswerNmtGuardingAndSdoInOrder) {
  devsim::DeviceHost host({{5, "Pump", "HW-2", "SW-3"}, {6, "devsim node 6", "HW-1.0", "SW-1.0"}});
  host.boot();
  host.poll(1000);
  EXPECT_EQ(texts(host.due(1000)), (std::vector<std::string>{"705#00", "706#00"}));

  host.on_frame(ntcan_sim::frame("000#0105"), 2000);  // start node 5 only
  host.on_frame(ntcan_sim::frame("705#R1"), 2000);
  host.on_frame(ntcan_sim::frame("706#R1"), 2000);
  host.on_frame(ntcan_sim::frame("605#4008100000000000"), 2000);
  host.on_frame(ntcan_sim::frame("185#0102"), 2000);  // traffic for nobody
  EXPECT_EQ(texts(host.due(2000)),
            (std::vector<std::string>{"705#05", "706#7F", "585#4308100050756D70"}));
  EXPECT_EQ(host.next_due(), -1);
}

TEST(DevsimHost, LateRepliesWaitUntilTheyAreDue) {
  devsim::DeviceHost host({{5, "A", "H", "S"}});
  host.devices()[0]->delay_replies(5000);
  host.on_frame(ntcan_sim::frame("705#R1"), 1000);
  EXPECT_EQ(host.next_due(), 6000);
  EXPECT_TRUE(host.due(5999).empty());
  EXPECT_EQ(texts(host.due(6000)), (std::vector<std::string>{"705#7F"}));
}
