// The simulated gateway as a client sees it: handshake and frames byte by byte, the reset form
// over HTTP, and its configuration file.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "gateway_fixture.h"

namespace {

class Gateway : public ::testing::Test {
 protected:
  void start(gateway_sim::Config cfg) {
    sim_ = std::make_unique<gateway_sim::GatewaySim>(cfg);
    std::string error;
    ASSERT_TRUE(sim_->start(error)) << error;
  }
  std::unique_ptr<RawClient> raw_client(const std::string& bus = "can0") {
    auto c = std::make_unique<RawClient>("127.0.0.1", sim_->can_port());
    EXPECT_TRUE(c->connected());
    EXPECT_EQ(c->read_once(), "< hi >");
    c->write("< open " + bus + " >");
    EXPECT_EQ(c->read_once(), "< ok >");
    c->write("< rawmode >");
    EXPECT_EQ(c->read_once(), "< ok >");
    return c;
  }
  std::string http(const std::string& request) {
    RawClient c("127.0.0.1", sim_->http_port());
    EXPECT_TRUE(c.connected());
    c.write(request);
    return c.read_to_end();
  }
  static std::string post(const std::string& path, const std::string& auth, const std::string& body = "FWUpdReset=1") {
    return "POST " + path + " HTTP/1.1\r\nHost: gw\r\n" + (auth.empty() ? "" : "Authorization: " + auth + "\r\n") +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  }
  static std::string status_line(const std::string& response) { return response.substr(0, response.find("\r\n")); }

  std::unique_ptr<gateway_sim::GatewaySim> sim_;
};

// base64("vexiladm:rqx8mulfo") and base64("vexiladm:wrong")
constexpr const char* kGoodAuth = "Basic dmV4aWxhZG06cnF4OG11bGZv";
constexpr const char* kBadAuth = "Basic dmV4aWxhZG06d3Jvbmc=";

}  // namespace

TEST_F(Gateway, EachHandshakeReplyArrivesAloneAndFramesComeWithALeadingBlank) {
  start(test_gateway());
  auto a = raw_client();
  auto b = raw_client();
  ASSERT_TRUE(sim_->wait_clients("can0", 2, kSafetyNet));
  // Unpadded, lower case, one-digit bytes, as other clients write them; two messages glued.
  a->write("< send 5 3 a 0b C >< send 1abcdef0 0 >");
  const std::string got = b->read_until("  >");
  // "< frame 005 S.U 0A0B0C >< frame 1ABCDEF0 S.U  >", each after a blank
  ASSERT_EQ(got.rfind(" < frame 005 ", 0), 0u) << got;
  EXPECT_NE(got.find(" 0A0B0C > < frame 1ABCDEF0 "), std::string::npos) << got;
  EXPECT_EQ(got.substr(got.size() - 3), "  >") << got;
  a->write("< echo >");
  EXPECT_EQ(a->read_once(), "< echo >");  // nothing of its own frames came back before it
}

TEST_F(Gateway, ADevicesLateAnswerReachesEveryClientAndNotTheSendersOwnFrame) {
  start(test_gateway());
  sim_->device("can0", 5)->delay_replies(2000000);  // 2 ms: the loop must wake up for it
  auto a = raw_client();
  auto b = raw_client();
  ASSERT_TRUE(sim_->wait_clients("can0", 2, kSafetyNet));
  a->write("< send 605 8 40 00 10 00 00 00 00 00 >");  // device type, expedited
  const std::string seen_by_b = b->read_until(" 4300100000000000 >");
  EXPECT_NE(seen_by_b.find("< frame 605 "), std::string::npos) << seen_by_b;
  EXPECT_NE(seen_by_b.find("< frame 585 "), std::string::npos) << seen_by_b;
  const std::string seen_by_a = a->read_until(" 4300100000000000 >");
  EXPECT_EQ(seen_by_a.find("< frame 605 "), std::string::npos) << seen_by_a;
  EXPECT_EQ(seen_by_a.rfind(" < frame 585 ", 0), 0u) << seen_by_a;
  EXPECT_EQ(sim_->frames("can0"), 2u);
}

TEST_F(Gateway, UnknownBusIsRefusedAndTheConnectionCloses) {
  start(test_gateway());
  RawClient c("127.0.0.1", sim_->can_port());
  EXPECT_EQ(c.read_once(), "< hi >");
  c.write("< open can9 >");
  EXPECT_EQ(c.read_to_end(), "< error could not open bus >");
}

TEST_F(Gateway, MalformedSendsAreDroppedAndTheNextOnesPass) {
  start(test_gateway());
  auto a = raw_client();
  auto b = raw_client();
  ASSERT_TRUE(sim_->wait_clients("can0", 2, kSafetyNet));
  a->write("< send 800 1 00 >< send 123 2 01 >< send 123 1 0g >garbage< send 123 1 7 >");
  const std::string got = b->read_until(" 07 >");
  EXPECT_EQ(got.find("< frame", 2), std::string::npos) << "only one frame expected: " << got;
  EXPECT_EQ(sim_->frames("can0"), 1u);
}

TEST_F(Gateway, ResetFormWantsTheAdministratorAndRebootsTheGateway) {
  gateway_sim::Config cfg = test_gateway();
  cfg.http_port = 0;
  start(cfg);
  const std::string none = http(post("/Forms/Firmware", ""));
  EXPECT_EQ(status_line(none), "HTTP/1.1 401 Unauthorized");
  EXPECT_NE(none.find("\r\nWWW-Authenticate: Basic realm=\"gateway\"\r\n"), std::string::npos) << none;
  EXPECT_EQ(status_line(http(post("/Forms/Firmware", kBadAuth))), "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(status_line(http(post("/Forms/Other", kGoodAuth))), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(status_line(http(post("/Forms/Firmware", kGoodAuth, "FWUpdReset=0"))), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(sim_->resets(), 0);
  EXPECT_EQ(sim_->form_requests(), 3);

  auto client = raw_client();
  EXPECT_EQ(status_line(http(post("/Forms/Firmware", kGoodAuth))), "HTTP/1.1 200 OK");
  EXPECT_EQ(sim_->resets(), 1);
  EXPECT_EQ(client->read_to_end(), "");  // dropped by the reboot
  RawClient refused("127.0.0.1", sim_->can_port());
  EXPECT_FALSE(refused.connected());
  ASSERT_TRUE(sim_->wait_serving(kSafetyNet));
  raw_client();
}

TEST_F(Gateway, DownDropsClientsAndRefusesConnectsUntilUp) {
  start(test_gateway());
  auto client = raw_client();
  sim_->set_down(true);
  EXPECT_EQ(client->read_to_end(), "");
  RawClient refused("127.0.0.1", sim_->can_port());
  EXPECT_FALSE(refused.connected());
  sim_->set_down(false);
  ASSERT_TRUE(sim_->wait_serving(kSafetyNet));
  raw_client();
}

TEST(GatewayConfig, BusesDevicesAndOptions) {
  std::istringstream in(
      "# two buses\n"
      "bus can0\n"
      "bus can1   # the second\n"
      "device can1 5 \"Maker # name\" \"HW1\" \"SW 1\"\n"
      "remote-frames off\n"
      "reboot-ms 250\n");
  gateway_sim::Config cfg;
  std::string error;
  ASSERT_TRUE(gateway_sim::parse_config(in, cfg, error)) << error;
  EXPECT_EQ(cfg.buses, (std::vector<std::string>{"can0", "can1"}));
  ASSERT_EQ(cfg.devices.size(), 1u);
  EXPECT_EQ(cfg.devices[0].bus, "can1");
  EXPECT_EQ(cfg.devices[0].node, 5);
  EXPECT_EQ(cfg.devices[0].name, "Maker # name");
  EXPECT_EQ(cfg.devices[0].sw, "SW 1");
  EXPECT_FALSE(cfg.remote_frames);
  EXPECT_EQ(cfg.reboot_time.count(), 250);

  for (const char* bad : {"device can0 5 \"a\" \"b\" \"c\"\n", "bus can0\ndevice can0 128 \"a\" \"b\" \"c\"\n",
                          "bus can0\ndevice can0 5 \"a \"b\" \"c\"\n", "bus\n", "remote-frames maybe\n"}) {
    std::istringstream b(bad);
    gateway_sim::Config c;
    EXPECT_FALSE(gateway_sim::parse_config(b, c, error)) << bad;
  }
  std::istringstream b("bus can0\n\nfrobnicate\n");
  gateway_sim::Config c;
  EXPECT_FALSE(gateway_sim::parse_config(b, c, error));
  EXPECT_EQ(error.rfind("line 3:", 0), 0u) << error;
}
