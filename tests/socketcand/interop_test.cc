// A client we did not write: python-can's socketcand interface and a node of the library
// exchange data frames through the simulated gateway.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "support/korvel_fixture.h"

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr int kToPython = 300;  // enough for many of the client's 1,024-byte reads

// Prints "ready" once on the bus, sends three frames, then prints every frame it receives
// ("ID#DATA", upper-case hex) until it has `count` or 20 s passed.
constexpr const char* kScript = R"(
import sys, time
import can
host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
bus = can.Bus(interface='socketcand', host=host, port=port, channel='can0')
print('ready', flush=True)
bus.send(can.Message(arbitration_id=0x181, data=[1, 2, 0xAB], is_extended_id=False))
bus.send(can.Message(arbitration_id=0x1ABCDEF0, data=[0xFF], is_extended_id=True))
bus.send(can.Message(arbitration_id=0x181, data=[], is_extended_id=False))
got = 0
deadline = time.monotonic() + 20
while got < count and time.monotonic() < deadline:
    m = bus.recv(1)
    if m is not None:
        print('%03X#%s' % (m.arbitration_id, bytes(m.data).hex().upper()), flush=True)
        got += 1
bus.shutdown()
)";

class PythonCan : public KorvelTest {
 protected:
  void TearDown() override {
    KorvelTest::TearDown();
    ntcan_test::reset();  // no handle outlives the gateway
    sim_.reset();
  }
  std::unique_ptr<gateway_sim::GatewaySim> sim_;
};

std::string line_of(FILE* f) {
  char buf[256];
  if (!std::fgets(buf, sizeof buf, f)) return std::string();
  std::string s(buf);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

}  // namespace

TEST_F(PythonCan, ExchangesDataFramesWithANodeOfTheLibrary) {
  if (std::system((std::string(kPython) + " -c 'import can' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << kPython << " cannot import can: install the Debian package python3-can";
  }
  sim_ = std::make_unique<gateway_sim::GatewaySim>(test_gateway());
  std::string error;
  ASSERT_TRUE(sim_->start(error)) << error;
  configure_driver(dir_, "0 socketcand 127.0.0.1 " + std::to_string(sim_->can_port()) + " can0\n");

  D_can& n = node("PEER", {1, 7, 0, 0});
  ASSERT_EQ(n.init(0x181), 0);
  ASSERT_EQ(n.AddIdent(0x1ABCDEF0 | NTCAN_20B_BASE), 0);
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));

  std::ofstream(dir_ + "/peer.py") << kScript;
  const std::string cmd = std::string(kPython) + " " + dir_ + "/peer.py 127.0.0.1 " +
                          std::to_string(sim_->can_port()) + " " + std::to_string(kToPython);
  FILE* py = popen(cmd.c_str(), "r");
  ASSERT_NE(py, nullptr);
  ASSERT_EQ(line_of(py), "ready");

  // From python-can to the node: unpadded identifiers and lower-case bytes on the wire.
  std::vector<std::string> got;
  for (int reads = 0; got.size() < 3 && reads < 20; ++reads) {
    CMSG buf[8];
    int len = 8;
    if (n.can_read(buf, &len) != NTCAN_SUCCESS) continue;
    for (int i = 0; i < len; ++i) got.push_back(canbus::to_string(buf[i]));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"181#0102AB", "1ABCDEF0#FF", "181#"}));

  // From the node to python-can: every length, far more bytes than one of its reads.
  std::vector<std::string> expected;
  for (int i = 0; i < kToPython; ++i) {
    unsigned char data[8];
    const int len = i % 9;
    for (int k = 0; k < len; ++k) data[k] = static_cast<unsigned char>(i * 8 + k);
    ASSERT_EQ(n.can_write(0x201 + i % 3, len, data), NTCAN_SUCCESS);
    char text[40];
    int at = std::snprintf(text, sizeof text, "%03X#", 0x201 + i % 3);
    for (int k = 0; k < len; ++k)
      at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%02X", data[k]);
    expected.push_back(text);
  }
  std::vector<std::string> received;
  for (std::string l; !(l = line_of(py)).empty();) received.push_back(l);
  EXPECT_EQ(pclose(py), 0);
  EXPECT_EQ(received, expected);
}
