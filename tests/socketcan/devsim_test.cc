// korvel_canopen_devsim without a socket: its device list, and its devices in their host
// answering frames in order and on time.
#include "canopen_devsim/devsim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "canbus/frame_text.h"
#include "simdev/device_host.h"
#include "support/scripted_device.h"

TEST(DevsimDevices, CommandLineAndFileNameTheDevices) {
  const devsim::Options o = devsim::parse_options({"-i", "can1", "5:Pump:HW-2:", "0x10", "-v"});
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
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"0"},
                                             {"5x"},
                                             {"5:a:b:c:d"},
                                             {"5", "5:again"},
                                             {"-i"},
                                             {"--bogus", "5"},
                                             {"-f", "/nonexistent/devs"},
                                             {"--eds", "5"},
                                             {"--eds", "5:/nonexistent/pump.eds"}}) {
    EXPECT_NE(devsim::parse_options(args).error, "") << (args.empty() ? "(none)" : args[0]);
  }
  EXPECT_TRUE(devsim::parse_options({"--help"}).help);
}

// The host as korvel_canopen_devsim runs it: frames from the interface have no sender and only
// reach the devices; what a device sends goes out on the interface and reaches the others.
class DevsimHost : public ::testing::Test {
 protected:
  void add(const std::vector<devsim::DeviceSpec>& specs) {
    for (auto& d : devsim::make_devices(specs)) {
      devices.push_back(d);
      host.attach(d);
    }
  }
  void from_interface(const char* text, std::int64_t now) {
    std::deque<simdev::BusFrame> work{simdev::BusFrame{canbus::frame(text), nullptr}};
    host.run(work, now, deliver);
  }
  void tick(std::int64_t now) {
    std::deque<simdev::BusFrame> work;
    host.due(now, work);
    host.run(work, now, deliver);
  }
  // What went out on the interface since the last look.
  std::vector<std::string> sent() { return std::move(sent_); }

  simdev::DeviceHost host;
  std::vector<std::shared_ptr<simdev::canopen::Device>> devices;
  std::vector<std::string> sent_;
  const simdev::DeviceHost::Deliver deliver = [this](const CMSG& m, const void* sender) {
    if (sender != nullptr) sent_.push_back(canbus::to_string(m));
  };
};

TEST_F(DevsimHost, DevicesBootAnswerNmtGuardingAndSdoInOrder) {
  add({{5, "Pump", "HW-2", "SW-3"}, {6, "devsim node 6", "HW-1.0", "SW-1.0"}});
  for (auto& d : devices) d->boot();
  tick(1000);
  EXPECT_EQ(sent(), (std::vector<std::string>{"705#00", "706#00"}));

  from_interface("000#0105", 2000);  // start node 5 only
  from_interface("705#R1", 2000);
  from_interface("706#R1", 2000);
  from_interface("605#4008100000000000", 2000);
  from_interface("185#0102", 2000);  // traffic for nobody
  EXPECT_EQ(sent(), (std::vector<std::string>{"705#05", "706#7F", "585#4308100050756D70"}));
  EXPECT_EQ(host.next_due(), -1);
}

TEST_F(DevsimHost, LateRepliesWaitUntilTheyAreDue) {
  add({{5, "A", "H", "S"}});
  devices[0]->delay_replies(5000);
  from_interface("705#R1", 1000);
  EXPECT_EQ(host.next_due(), 6000);
  tick(5999);
  EXPECT_TRUE(sent().empty());
  tick(6000);
  EXPECT_EQ(sent(), (std::vector<std::string>{"705#7F"}));
}

TEST_F(DevsimHost, DevicesHearEachOtherAsOnABus) {
  add({{5, "A", "H", "S"}});
  auto listener = std::make_shared<ScriptedDevice>();
  listener->on("705#00", {"100#AA"});  // answers node 5's boot-up
  host.attach(listener);
  devices[0]->boot();
  tick(1000);
  EXPECT_EQ(sent(), (std::vector<std::string>{"705#00", "100#AA"}));
  EXPECT_TRUE(listener->done());
  from_interface("100#AA", 2000);
  EXPECT_EQ(listener->unexpected(), (std::vector<std::string>{"100#AA"}))
      << "frames from the interface reach every device";
  EXPECT_TRUE(sent().empty());
}

TEST_F(DevsimHost, DeviceFromADescriptionFileHasItsObjects) {
  const std::string path = ::testing::TempDir() + "devsim_test_pump.eds";
  std::ofstream(path) << "[OptionalObjects]\nSupportedObjects=1\n1=0x1008\n"
                         "[1008]\nParameterName=Name\nObjectType=0x7\nDataType=0x0009\n"
                         "AccessType=const\nDefaultValue=Pump\n";
  const devsim::Options o = devsim::parse_options({"--eds", "7:" + path});
  ASSERT_EQ(o.error, "");
  ASSERT_EQ(o.devices.size(), 1u);
  EXPECT_EQ(o.devices[0].name, "Pump");
  add(o.devices);
  from_interface("607#4008100000000000", 1000);
  EXPECT_EQ(sent(), (std::vector<std::string>{"587#4308100050756D70"}));
  std::remove(path.c_str());
}
