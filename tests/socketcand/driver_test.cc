// The driver on gateway nets, against the simulated gateway in this process.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "canbus/frame_text.h"
#include "gateway_fixture.h"
#include "ntcan.h"
#include "ntcan/sim_bus.h"
#include "ntcan/test_controls.h"
#include "support/allocation_count.h"
#include "support/driver_calls.h"
#include "support/fake_gateway.h"

namespace {

// Nets of the driver configuration written for each test.
constexpr int kGateway = 0;
constexpr int kUnknownBus = 1;
constexpr int kUnknownHost = 2;
constexpr int kRefused = 3;

class GatewayNet : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/socketcand-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    unsetenv("NTCAN_CONFIG");  // every net simulated until start() configures the gateway nets
    ntcan_test::reload_config();
    ntcan_test::reset();
  }
  void TearDown() override {
    ntcan_test::reset();  // closes every handle before the gateway goes
    sim_.reset();
    if (refusing_fd_ >= 0) ::close(refusing_fd_);
    (void)!std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  void start(gateway_sim::Config cfg = test_gateway()) {
    sim_ = std::make_unique<gateway_sim::GatewaySim>(cfg);
    std::string error;
    ASSERT_TRUE(sim_->start(error)) << error;
    // A port with a socket bound but not listening: connects to it are refused.
    refusing_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(refusing_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(refusing_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string port = std::to_string(sim_->can_port());
    // "no-such-host..invalid" has an empty label: the resolver rejects it without asking a
    // name server, so the test sends nothing beyond this machine.
    configure_driver(
        dir_, "0 socketcand 127.0.0.1 " + port + " can0\n" + "1 socketcand 127.0.0.1 " + port +
                  " nosuchbus\n" + "2 socketcand no-such-host..invalid " + port + " can0\n" +
                  "3 socketcand 127.0.0.1 " + std::to_string(ntohs(a.sin_port)) + " can0\n");
  }

  static NTCAN_HANDLE open(std::initializer_list<std::int32_t> ids,
                           int rx_timeout_ms = kSafetyNetMs) {
    return open_handle(kGateway, ids, 100, rx_timeout_ms);
  }
  static void send(NTCAN_HANDLE h, std::initializer_list<const char*> texts) {
    send_frames(h, texts);
  }
  static std::vector<std::string> read(NTCAN_HANDLE h, std::size_t count) {
    return read_texts(h, count);
  }

  static int take_status(NTCAN_HANDLE h, std::int32_t& n) {
    CMSG buf[16];
    n = 16;
    return canTake(h, buf, &n);
  }

  std::string dir_;
  std::unique_ptr<gateway_sim::GatewaySim> sim_;
  int refusing_fd_ = -1;
};

using Strings = std::vector<std::string>;

// Entries of a /proc/self folder: open descriptors, or threads.
int entries(const char* folder) {
  DIR* d = opendir(folder);
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

}  // namespace

TEST_F(GatewayNet, FramesReachTheOtherHandlesThroughTheirFilters) {
  start();
  const NTCAN_HANDLE a = open({0x124});
  const NTCAN_HANDLE b = open({0x123, 0x1ABCDEF0 | NTCAN_20B_BASE, 0x585});
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));  // one connection for the net
  send(a, {"124#AA", "123#0102030405060708", "125#", "1ABCDEF0#FF", "123#"});
  EXPECT_EQ(read(b, 3), (Strings{"123#0102030405060708", "1ABCDEF0#FF", "123#"}));
  // The device answers an SDO read; its reply goes to every connection.
  send(b, {"605#4008100000000000"});
  EXPECT_EQ(read(b, 1), (Strings{"585#410810000E000000"}));
  // The sender never gets its own frames back; 0x124 was only ever sent by a.
  send(b, {"124#BB"});
  EXPECT_EQ(read(a, 1), (Strings{"124#BB"}));
  std::int32_t n = 0;
  EXPECT_EQ(take_status(b, n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(canClose(a), NTCAN_SUCCESS);
  EXPECT_EQ(canClose(b), NTCAN_SUCCESS);
}

TEST_F(GatewayNet, ManyFramesInOneCallArriveInOrder) {
  start();
  const NTCAN_HANDLE a = open({});
  const NTCAN_HANDLE b = open({0x100, 0x101, 0x102, 0x103});
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));  // one connection for the net
  std::vector<CMSG> batch;
  Strings expected;
  for (int i = 0; i < 90; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "%03X#%02X", 0x100 + i % 4, i);
    batch.push_back(canbus::frame(text));
    expected.push_back(text);
  }
  std::int32_t n = static_cast<std::int32_t>(batch.size());
  ASSERT_EQ(canSend(a, batch.data(), &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 90);
  EXPECT_EQ(read(b, expected.size()), expected);
}

TEST_F(GatewayNet, RemoteFramesCrossAndTheDeviceAnswersGuarding) {
  start();
  const NTCAN_HANDLE a = open({0x705});
  const NTCAN_HANDLE b = open({0x705});
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));  // one connection for the net
  send(a, {"705#R1"});
  EXPECT_EQ(read(b, 2), (Strings{"705#R1", "705#7F"}));  // the request, then the answer
  EXPECT_EQ(read(a, 1), (Strings{"705#7F"}));
  send(a, {"705#R1", "123#01"});  // once known to work, remote frames go out with the rest
  EXPECT_EQ(read(b, 2), (Strings{"705#R1", "705#FF"}));
}

TEST_F(GatewayNet, RemoteFramesFailClearlyOnAGatewayWithoutThem) {
  gateway_sim::Config cfg = test_gateway();
  cfg.remote_frames = false;
  start(cfg);
  const NTCAN_HANDLE a = open({0x705});
  const NTCAN_HANDLE b = open({0x705, 0x123});
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));  // one connection for the net
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<CMSG> msgs = canbus::frames({"123#01", "705#R1", "123#02"});
    std::int32_t n = 3;
    EXPECT_EQ(canSend(a, msgs.data(), &n), NTCAN_TX_ERROR);
    EXPECT_EQ(n, 1);  // the frame before the remote one went out, nothing after it
  }
  send(a, {"123#03"});
  // Nothing remote and no stand-in data frame on 0x705 reached the bus.
  EXPECT_EQ(read(b, 3), (Strings{"123#01", "123#01", "123#03"}));
}

TEST_F(GatewayNet, OpenFailuresSayWhy) {
  start();
  NTCAN_HANDLE h = 7;
  EXPECT_EQ(canOpen(kRefused, 0, 10, 100, 1000, 1000, &h), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(h, NTCAN_NO_HANDLE);
  EXPECT_EQ(canOpen(kUnknownHost, 0, 10, 100, 1000, 1000, &h), NTCAN_SOCK_HOST_NOT_FOUND);
  EXPECT_EQ(canOpen(kUnknownBus, 0, 10, 100, 1000, 1000, &h), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(ntcan_test::open_handles(kGateway) + ntcan_test::open_handles(kUnknownBus), 0);
  sim_->set_down(true);
  EXPECT_EQ(canOpen(kGateway, 0, 10, 100, 1000, 1000, &h), NTCAN_SOCK_CONN_TIMEOUT);
  sim_->set_down(false);
  ASSERT_TRUE(sim_->wait_serving(kSafetyNet));
  EXPECT_EQ(canOpen(kGateway, 0, 10, 100, 1000, 1000, &h), NTCAN_SUCCESS);
  EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_125), NTCAN_SUCCESS);
}

TEST_F(GatewayNet, ALostConnectionFailsEveryCallUntilClosed) {
  start();
  const NTCAN_HANDLE h = open({0x123});
  CAN_IF_STATUS st{};
  ASSERT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<const char*>(st.boardid), "socketcand");
  sim_->set_down(true);
  // The read waits until the connection is seen to be gone.
  CMSG m[4];
  std::int32_t n = 4;
  EXPECT_EQ(canRead(h, m, &n, nullptr), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(take_status(h, n), NTCAN_SOCK_CMD_TIMEOUT);
  n = 1;
  m[0] = canbus::frame("123#01");
  EXPECT_EQ(canSend(h, m, &n), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canStatus(h, &st), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_125), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canClose(h), NTCAN_SUCCESS);

  sim_->set_down(false);
  ASSERT_TRUE(sim_->wait_serving(kSafetyNet));
  const NTCAN_HANDLE again = open({0x123});
  const NTCAN_HANDLE other = open({});
  send(other, {"123#02"});
  EXPECT_EQ(read(again, 1), (Strings{"123#02"}));
  EXPECT_EQ(canStatus(again, &st), NTCAN_SUCCESS);
}

TEST_F(GatewayNet, CloseWakesAReaderAndLeavesNoConnection) {
  start();
  const int fds = entries("/proc/self/fd");
  const int threads = entries("/proc/self/task");
  const NTCAN_HANDLE h = open({0x123});
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));
  int result = -1;
  std::thread reader([&] {
    CMSG m[4];
    std::int32_t n = 4;
    result = canRead(h, m, &n, nullptr);  // waits far longer than the test may take
  });
  // Closing while the read is waiting (or before it starts: then it finds no handle).
  EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
  reader.join();
  EXPECT_TRUE(result == NTCAN_OPERATION_ABORTED || result == NTCAN_INVALID_HANDLE) << result;
  ASSERT_TRUE(sim_->wait_clients("can0", 0, kSafetyNet));
  // The port's reader thread and socket are gone (and the simulator's end of it).
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
}

// However many handles a net has (a node's, a passive twin's, an SDO transfer's per device),
// the process holds one connection to the gateway for it, and one reader thread.
TEST_F(GatewayNet, AllHandlesOfANetShareOneConnectionAndOneThread) {
  start();
  const int fds = entries("/proc/self/fd");
  const int threads = entries("/proc/self/task");
  std::vector<NTCAN_HANDLE> handles;
  for (int id = 1; id <= 40; ++id) handles.push_back(open({0x700 + id, 0x580 + id}));
  EXPECT_EQ(entries("/proc/self/fd"), fds + 2);  // ours, and the simulator's end of it
  EXPECT_EQ(entries("/proc/self/task"), threads + 1);
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));
  // Every handle still gets what it enabled, the device's answers included.
  send(handles[0], {"705#R1", "605#4008100000000000"});
  EXPECT_EQ(read(handles[4], 3), (Strings{"705#R1", "705#7F", "585#410810000E000000"}));
  send(handles[0], {"705#05"});
  EXPECT_EQ(read(handles[4], 1), (Strings{"705#05"}));
  for (NTCAN_HANDLE h : handles) EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
  ASSERT_TRUE(sim_->wait_clients("can0", 0, kSafetyNet));
  EXPECT_EQ(entries("/proc/self/fd"), fds);
}

TEST_F(GatewayNet, TakeNeverWaits) {
  start();
  const NTCAN_HANDLE a = open({});
  const NTCAN_HANDLE b = open({0x123});
  std::int32_t n = 0;
  EXPECT_EQ(take_status(b, n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 0);
  send(a, {"123#01"});
  EXPECT_EQ(read(b, 1), (Strings{"123#01"}));
}

TEST_F(GatewayNet, OnlyNetsLeftToTheSimulatedBusCountAsSimulated) {
  EXPECT_TRUE(ntcan_sim::simulated(kGateway));  // no configuration yet
  start();
  EXPECT_FALSE(ntcan_sim::simulated(kGateway));
  EXPECT_FALSE(ntcan_sim::simulated(kRefused));
  EXPECT_TRUE(ntcan_sim::simulated(4));  // not listed
  EXPECT_FALSE(ntcan_sim::simulated(-1));
  EXPECT_FALSE(ntcan_sim::simulated(ntcan_sim::kNets));
}

// A gateway that steers by hand, on net kFake, and a clock the test moves.
class SteeredGateway : public GatewayNet {
 protected:
  static constexpr int kFake = 5;
  static constexpr int kHealthy = 6;  // a simulated net beside it
  static constexpr std::int64_t kSecond = 1000000000;

  void SetUp() override {
    GatewayNet::SetUp();
    ASSERT_TRUE(gw_.ok());
    configure_driver(dir_, std::to_string(kFake) + " socketcand 127.0.0.1 " +
                               std::to_string(gw_.port()) + " can0\n");
    ntcan_test::set_time_source([this] { return now_.load(); });
  }

  static NTCAN_HANDLE open_on(int net, std::initializer_list<std::int32_t> ids) {
    return open_handle(net, ids, 100, kSafetyNetMs);
  }

  FakeGateway gw_;
  std::atomic<std::int64_t> now_{kSecond};
};

TEST_F(SteeredGateway, AHungGatewayDelaysNoCallOnAnotherNet) {
  const NTCAN_HANDLE tx = open_on(kHealthy, {});
  const NTCAN_HANDLE rx = open_on(kHealthy, {0x181});
  gw_.set_mode(FakeGateway::Mode::kSilent);
  int hung_open = -1;
  NTCAN_HANDLE hung = NTCAN_NO_HANDLE;
  std::thread opener([&] { hung_open = canOpen(kFake, 0, 10, 100, 1000, 1000, &hung); });
  ASSERT_TRUE(gw_.wait_connections(1, kSafetyNet));  // the open now waits for a greeting

  // Every kind of call on the healthy net, while that open is in progress.
  send(tx, {"181#01"});
  CMSG m[4];
  std::int32_t n = 4;
  ASSERT_EQ(canTake(rx, m, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 1);
  CAN_IF_STATUS st;
  EXPECT_EQ(canStatus(rx, &st), NTCAN_SUCCESS);
  const NTCAN_HANDLE more = open_on(kHealthy, {0x181});
  EXPECT_EQ(canClose(more), NTCAN_SUCCESS);

  // Only now does the gateway answer: the open can only succeed if it was still waiting,
  // that is if none of the calls above waited for it.
  gw_.set_mode(FakeGateway::Mode::kServe);
  opener.join();
  EXPECT_EQ(hung_open, NTCAN_SUCCESS);
  EXPECT_EQ(canClose(hung), NTCAN_SUCCESS);
}

TEST_F(SteeredGateway, ALostConnectionComesBackByItselfAtMostOnceASecond) {
  const NTCAN_HANDLE h = open_on(kFake, {0x123});
  ASSERT_TRUE(gw_.wait_connections(1, kSafetyNet));
  gw_.broadcast(canbus::frame("123#01"));
  gw_.broadcast(canbus::frame("123#02"));
  gw_.set_mode(FakeGateway::Mode::kHangUp);
  gw_.drop_connections();

  // Reads fail once the loss is seen (before that they may still hand out the two frames);
  // the first failing one tries to connect again at once, in vain.
  CMSG m[4];
  std::int32_t n = 4;
  int delivered = 0;
  int r = NTCAN_SUCCESS;
  while ((r = canRead(h, m, &n, nullptr)) == NTCAN_SUCCESS) {
    delivered += n;
    n = 4;
  }
  EXPECT_EQ(r, NTCAN_SOCK_CMD_TIMEOUT);
  // The attempt reached the gateway, though the driver may have given up on it (its greeting
  // time-out) before the gateway's thread took the connection: wait for that, not for luck.
  EXPECT_TRUE(gw_.wait_connections(2, kSafetyNet));
  gw_.set_mode(FakeGateway::Mode::kServe);
  n = 1;
  m[0] = canbus::frame("123#03");
  EXPECT_EQ(canSend(h, m, &n), NTCAN_SOCK_CMD_TIMEOUT);
  n = 4;
  EXPECT_EQ(take_status(h, n), NTCAN_SOCK_CMD_TIMEOUT);
  CAN_IF_STATUS st;
  EXPECT_EQ(canStatus(h, &st), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(gw_.connections(), 2) << "no second attempt within the second";

  now_ += kSecond;
  EXPECT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
  EXPECT_EQ(gw_.connections(), 3);
  // Same handle, same filter; the frames the old connection still held count as lost.
  gw_.broadcast(canbus::frame("124#FF"));
  gw_.broadcast(canbus::frame("123#04"));
  n = 4;
  ASSERT_EQ(canRead(h, m, &n, nullptr), NTCAN_SUCCESS);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(canbus::to_string(m[0]), "123#04");
  EXPECT_EQ(m[0].msg_lost, 2 - delivered);
  send(h, {"123#05"});
  EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
}

// A gateway that greets and then drops every connection gets one attempt a second, not one
// per call, whether the attempts before succeeded or not.
TEST_F(SteeredGateway, AGatewayThatDropsEveryConnectionGetsOneAttemptASecond) {
  gw_.set_mode(FakeGateway::Mode::kServeThenDrop);
  const NTCAN_HANDLE h = open_on(kFake, {0x123});
  auto lost = [&] {
    // A read returns once the loss is seen (at once if it was seen before).
    CMSG m[4];
    std::int32_t n = 4;
    EXPECT_EQ(canRead(h, m, &n, nullptr), NTCAN_SOCK_CMD_TIMEOUT);
  };
  lost();
  // A call every 20 ms for 3.5 s.
  for (int i = 0; i < 175; ++i) {
    CMSG m[4];
    std::int32_t n = 4;
    canTake(h, m, &n);
    now_ += kSecond / 50;
  }
  EXPECT_LE(gw_.connections(), 1 + 4) << "canOpen's connection and one attempt per second";
  lost();
  const int after = gw_.connections();
  now_ += kSecond;
  CAN_IF_STATUS st;
  canStatus(h, &st);
  EXPECT_EQ(gw_.connections(), after + 1) << "and the attempts go on";
  EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
}

TEST_F(SteeredGateway, GatewayTextReachesTheLogEscapedAndBounded) {
  gw_.refuse_remote_frames("bad\n(1700000000.000000) ntcan: forged line\x1b[2J" +
                           std::string(180, 'x'));
  const NTCAN_HANDLE h = open_on(kFake, {});
  testing::internal::CaptureStderr();
  CMSG m = canbus::frame("705#R1");
  std::int32_t n = 1;
  EXPECT_EQ(canSend(h, &m, &n), NTCAN_TX_ERROR);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("bad\\n(1700000000.000000) ntcan: forged line\\x1b[2Jxxx"), std::string::npos)
      << err;
  EXPECT_EQ(err.find('\x1b'), std::string::npos);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_LT(err.size(), 240u) << err;  // the gateway sent about 230 characters
}

// The trace file, one line per frame: "(seconds.micros) canN frame".
struct TraceLine {
  double time;
  std::string net;
  std::string frame;
};
static std::vector<TraceLine> read_trace(const std::string& path) {
  std::vector<TraceLine> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string stamp;
    TraceLine t;
    words >> stamp >> t.net >> t.frame;
    t.time = stamp.size() > 2 ? std::stod(stamp.substr(1, stamp.size() - 2)) : 0;
    out.push_back(t);
  }
  return out;
}

static double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST_F(GatewayNet, TheTraceHasEveryFrameOnceWithWallClockTime) {
  const std::string path = dir_ + "/trace.log";
  setenv("NTCAN_TRACE", path.c_str(), 1);
  start();
  ntcan_test::reset();  // reads NTCAN_TRACE again
  const double before = wall_seconds();
  const NTCAN_HANDLE a = open({0x123, 0x585});
  const NTCAN_HANDLE b = open({0x585});
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));  // one connection for the net
  send(b, {"123#01"});  // b's own frame: a, the older port, writes it as it receives it
  EXPECT_EQ(read(a, 1), (Strings{"123#01"}));
  send(a, {"605#4008100000000000"});  // the device answers both
  EXPECT_EQ(read(a, 1), (Strings{"585#410810000E000000"}));
  EXPECT_EQ(read(b, 1), (Strings{"585#410810000E000000"}));
  // Once a is closed, b writes the trace.
  EXPECT_EQ(canClose(a), NTCAN_SUCCESS);
  send(b, {"123#02"});
  const double after = wall_seconds();
  unsetenv("NTCAN_TRACE");
  ntcan_test::reset();

  const auto lines = read_trace(path);
  Strings frames;
  for (const auto& l : lines) {
    frames.push_back(l.frame);
    EXPECT_EQ(l.net, "can0");
    EXPECT_GE(l.time, before - 1);
    EXPECT_LE(l.time, after + 1);
  }
  EXPECT_EQ(frames, (Strings{"123#01", "605#4008100000000000", "585#410810000E000000", "123#02"}));
}

TEST_F(GatewayNet, SendTakeAndStatusAllocateNothingOnceWarm) {
  start();
  const NTCAN_HANDLE a = open({});
  const NTCAN_HANDLE b = open({0x123});
  ASSERT_TRUE(sim_->wait_clients("can0", 1, kSafetyNet));  // one connection for the net
  CMSG out = canbus::frame("123#0102030405060708");
  CMSG in[16];
  CAN_IF_STATUS st;
  auto round = [&] {
    std::int32_t n = 1;
    ASSERT_EQ(canSend(a, &out, &n), NTCAN_SUCCESS);
    n = 16;
    ASSERT_EQ(canTake(b, in, &n), NTCAN_SUCCESS);
    ASSERT_EQ(canStatus(a, &st), NTCAN_SUCCESS);
  };
  for (int i = 0; i < 10; ++i) round();  // buffers reach their working size
  const long before = korvel_test::allocations_by_this_thread();
  for (int i = 0; i < 500; ++i) round();
  EXPECT_EQ(korvel_test::allocations_by_this_thread() - before, 0);
}
