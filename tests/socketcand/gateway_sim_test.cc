// The simulated gateway as a client sees it: handshake and frames byte by byte, the reset form
// over HTTP, and its configuration file.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "gateway_fixture.h"

namespace {

class Gateway : public ::testing::Test {
 protected:
  void start(gateway_sim::Config cfg) {
    sim_ = std::make_unique<gateway_sim::GatewaySim>(cfg);
    std::string error;
    ASSERT_TRUE(sim_->start(error)) << error;
  }
  std::unique_ptr<RawClient> raw_client(const std::string& bus = "can0", int receive_buffer = 0) {
    auto c = std::make_unique<RawClient>("127.0.0.1", sim_->can_port(), receive_buffer);
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
  static std::string post(const std::string& path, const std::string& auth,
                          const std::string& body = "FWUpdReset=1") {
    return "POST " + path + " HTTP/1.1\r\nHost: gw\r\n" +
           (auth.empty() ? "" : "Authorization: " + auth + "\r\n") +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  static std::string status_line(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
  }

  std::unique_ptr<gateway_sim::GatewaySim> sim_;
};

// Leaves no descriptor free in this process, the gateway's included; returns the limit to
// put back.
rlimit use_up_descriptors() {
  rlimit saved{};
  EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest_free = ::dup(0);
  ::close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  return saved;
}

bool connect_to(int fd, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// What a connection that waited for the gateway to accept it got first.
std::string greeting(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, kSafetyNetMs) != 1) return "(nothing)";
  char hi[16] = {};
  return ::recv(fd, hi, sizeof hi - 1, 0) > 0 ? hi : "(closed)";
}

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

TEST_F(Gateway, MalformedSendsAreAnsweredWithAnErrorAndTheNextOnesPass) {
  start(test_gateway());
  auto a = raw_client();
  auto b = raw_client();
  ASSERT_TRUE(sim_->wait_clients("can0", 2, kSafetyNet));
  a->write("< send 800 1 00 >< send 123 2 01 >< send 123 1 0g >garbage< send 123 1 7 >< bogus >");
  const std::string got = b->read_until(" 07 >");
  EXPECT_EQ(got.find("< frame", 2), std::string::npos) << "only one frame expected: " << got;
  EXPECT_EQ(sim_->frames("can0"), 1u);
  EXPECT_EQ(a->read_until("< error unknown command >"),
            "< error malformed frame >< error malformed frame >< error malformed frame >< error "
            "unknown command >");
}

TEST_F(Gateway, ResetFormWantsTheAdministratorAndRebootsTheGateway) {
  gateway_sim::Config cfg = test_gateway();
  cfg.http_port = 0;
  start(cfg);
  const std::string none = http(post("/Forms/Firmware", ""));
  EXPECT_EQ(status_line(none), "HTTP/1.1 401 Unauthorized");
  EXPECT_NE(none.find("\r\nWWW-Authenticate: Basic realm=\"gateway\"\r\n"), std::string::npos)
      << none;
  EXPECT_EQ(status_line(http(post("/Forms/Firmware", kBadAuth))), "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(status_line(http(post("/Forms/Other", kGoodAuth))), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(status_line(http(post("/Forms/Firmware", kGoodAuth, "FWUpdReset=0"))),
            "HTTP/1.1 400 Bad Request");
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

// Hostile peers: one that floods requests without reading, one that never says a word, and
// connections beyond the descriptor limit. None of them may stall the gateway for the others
// or make it spin.
TEST_F(Gateway, AClientThatFloodsWithoutReadingIsHeldBackAndLosesNothing) {
  gateway_sim::Config cfg = test_gateway();
  cfg.client_backlog = 64 * 1024;
  start(cfg);
  // A small, fixed receive buffer: loopback receive buffers may otherwise grow to tens of
  // MiB and take every answer, and the gateway would never need to hold the flooder back.
  auto flooder = raw_client("can0", 16 * 1024);
  auto a = raw_client();
  auto b = raw_client();
  ASSERT_TRUE(sim_->wait_clients("can0", 3, kSafetyNet));

  // Far more echo requests than the gateway and the kernel hold for a client that does not
  // read (the gateway's send buffer grows to 4 MiB at most here): the writer blocks until the
  // flooder reads below.
  constexpr std::size_t kEchoes = 1u << 20;  // 8 MiB of requests
  std::thread writer([&] {
    const std::string echoes = [] {
      std::string s;
      for (int i = 0; i < 4096; ++i) s += "< echo >";
      return s;
    }();
    for (std::size_t sent = 0; sent < kEchoes; sent += 4096) flooder->write(echoes);
  });
  EXPECT_TRUE(sim_->wait_held_back(1, kSafetyNet))
      << "the gateway reads a client that does not read its answers";

  a->write("< send 123 1 07 >");  // the others are served meanwhile
  EXPECT_NE(b->read_until(" 07 >").find("< frame 123 "), std::string::npos);

  // The flooder catches up: every request gets its answer.
  std::size_t answered = 0;
  std::string tail;
  while (answered < kEchoes) {
    const std::string part = flooder->read_once();
    if (part.empty()) break;
    tail += part;
    for (std::size_t at; (at = tail.find("< echo >")) != std::string::npos;) {
      ++answered;
      tail.erase(0, at + 8);
    }
  }
  writer.join();
  EXPECT_EQ(answered, kEchoes);
}

TEST_F(Gateway, AClientThatSaysNothingIsClosedAfterTheIdleTime) {
  gateway_sim::Config cfg = test_gateway();
  cfg.idle_time = std::chrono::milliseconds(50);
  start(cfg);
  auto quiet = raw_client();
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));
  EXPECT_EQ(quiet->read_to_end(), "") << "closed, nothing more said";
  EXPECT_TRUE(sim_->wait_clients("can0", 0, kSafetyNet));
  RawClient stalled("127.0.0.1", sim_->can_port());  // never even opens a bus
  EXPECT_EQ(stalled.read_to_end(), "< hi >");
}

TEST_F(Gateway, AtTheDescriptorLimitAcceptingWaitsInsteadOfSpinning) {
  gateway_sim::Config cfg = test_gateway();
  cfg.idle_time = std::chrono::milliseconds(300);
  start(cfg);
  auto idle = raw_client();  // closed for idleness later, which frees a descriptor
  const int waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(waiting, 0);

  const rlimit saved = use_up_descriptors();
  ASSERT_TRUE(connect_to(waiting, sim_->can_port())) << std::strerror(errno);
  EXPECT_TRUE(sim_->wait_accept_failures(1, kSafetyNet));
  EXPECT_EQ(idle->read_to_end(), "");  // the gateway closed it: a descriptor is free
  EXPECT_EQ(greeting(waiting), "< hi >");
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ::close(waiting);
  // About one attempt per pause while the idle client had time left; a loop that spins
  // tries thousands of times.
  EXPECT_LE(sim_->accept_failures(), 20u);
}

// The same for the reset form's service: HTTP connections that never complete a request, idle
// for good, must not hold the last descriptors and keep socketcand clients and resets out.
TEST_F(Gateway, SilentHttpConnectionsAreClosedAfterTheIdleTimeAndFreeTheirDescriptors) {
  gateway_sim::Config cfg = test_gateway();
  cfg.http_port = 0;
  cfg.idle_time = std::chrono::milliseconds(300);
  start(cfg);
  RawClient silent("127.0.0.1", sim_->http_port());
  RawClient partial("127.0.0.1", sim_->http_port());
  partial.write("POST /Forms/Firmware HTTP/1.1\r\nHost: gw\r\n");
  // Connections are accepted in order: once a later one is answered, both were taken.
  EXPECT_EQ(status_line(http(post("/Forms/Firmware", kBadAuth))), "HTTP/1.1 401 Unauthorized");
  const int waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(waiting, 0);
  const rlimit saved = use_up_descriptors();
  ASSERT_TRUE(connect_to(waiting, sim_->can_port())) << std::strerror(errno);
  EXPECT_TRUE(silent.closed_by_peer());
  EXPECT_TRUE(partial.closed_by_peer());
  EXPECT_EQ(greeting(waiting), "< hi >");
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ::close(waiting);
  EXPECT_EQ(sim_->form_requests(), 1);
}

// What tests of the driver count on: connections as accepted, raw-mode clients per bus now
// and since the start.
TEST_F(Gateway, CountsConnectionsAndRawModeClientsPerBus) {
  start(test_gateway());
  auto a = raw_client();
  raw_client();  // gone again at once
  RawClient no_bus("127.0.0.1", sim_->can_port());
  EXPECT_EQ(no_bus.read_once(), "< hi >");
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));
  EXPECT_EQ(sim_->connections(), 3u);
  EXPECT_EQ(sim_->raw_clients("can0"), 1);
  EXPECT_EQ(sim_->raw_opens("can0"), 2u);
  EXPECT_EQ(sim_->raw_opens("can9"), 0u);
}

TEST(GatewayConfig, BusesDevicesAndOptions) {
  std::istringstream in(
      "# two buses\n"
      "bus can0\n"
      "bus can1   # the second\n"
      "device can1 5 \"Maker # name\" \"HW1\" \"SW 1\"\n"
      "remote-frames off\n"
      "reboot-ms 250\n"
      "idle-ms 5000\n");
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
  EXPECT_EQ(cfg.idle_time.count(), 5000);

  for (const char* bad :
       {"device can0 5 \"a\" \"b\" \"c\"\n", "bus can0\ndevice can0 128 \"a\" \"b\" \"c\"\n",
        "bus can0\ndevice can0 5 \"a \"b\" \"c\"\n", "bus\n", "remote-frames maybe\n",
        "idle-ms -1\n"}) {
    std::istringstream b(bad);
    gateway_sim::Config c;
    EXPECT_FALSE(gateway_sim::parse_config(b, c, error)) << bad;
  }
  std::istringstream b("bus can0\n\nfrobnicate\n");
  gateway_sim::Config c;
  EXPECT_FALSE(gateway_sim::parse_config(b, c, error));
  EXPECT_EQ(error.rfind("line 3:", 0), 0u) << error;
}
