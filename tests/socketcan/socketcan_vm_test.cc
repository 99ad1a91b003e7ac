// The socketcan transport on a real kernel bus: vcan0 (or $SOCKETCAN_TEST_IF), set up by
// tools/vm/run-socketcan-tests.sh inside a virtual machine, or by hand:
//   ip link add dev vcan0 type vcan && ip link set vcan0 up
// Without SocketCAN or without the interface every case skips and says why. The cases that
// take the interface down and up need root (and `ip`); the end-to-end cases start
// korvel_canopen_devsim ($KORVEL_DEVSIM, or the one of this build).
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "canbus/can_raw_socket.h"
#include "canbus/frame_text.h"
#include "ntcan/test_controls.h"
#include "support/driver_calls.h"
#include "support/korvel_fixture.h"

extern char** environ;

namespace {

namespace sc = canbus::socketcan;

constexpr int kNet = 0;  // line 1 of the library
constexpr int kLongRead = 600000;
constexpr std::int64_t kSec =
    1000000000LL;  // a lost wake-up fails by the runner's time-out, not by luck

std::string ifname() {
  const char* e = std::getenv("SOCKETCAN_TEST_IF");
  return e && *e ? e : "vcan0";
}

// Empty when the interface is usable, else why not.
std::string unusable() {
  if (!sc::socketcan_available()) return "this kernel has no SocketCAN (modules can and can-raw)";
  const sc::RawSocket s = sc::open_raw_socket(ifname());
  if (s.fd < 0) {
    return ifname() + ": " + sc::text_of(s.condition) + " (ip link add dev " + ifname() +
           " type vcan && ip link set " + ifname() + " up)";
  }
  close(s.fd);
  return "";
}

#define REQUIRE_INTERFACE()                \
  do {                                     \
    const std::string why = unusable();    \
    if (!why.empty()) GTEST_SKIP() << why; \
  } while (0)

bool set_link(bool up) {
  const std::string cmd = "ip link set " + ifname() + (up ? " up" : " down") + " 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

// Points net 0 at the interface through a driver configuration file of the test's own.
class ConfiguredNet {
 public:
  ConfiguredNet() {
    char tmpl[] = "/tmp/socketcan-config-XXXXXX";
    const int fd = mkstemp(tmpl);
    path_ = tmpl;
    const std::string text = std::to_string(kNet) + " socketcan " + ifname() + "\n";
    if (fd >= 0) {
      (void)!write(fd, text.data(), text.size());
      close(fd);
    }
    setenv("NTCAN_CONFIG", path_.c_str(), 1);
    ntcan_test::reload_config();
  }
  ~ConfiguredNet() {
    unlink(path_.c_str());
    unsetenv("NTCAN_CONFIG");
    ntcan_test::reload_config();
  }

 private:
  std::string path_;
};

// A socket that sees every frame on the interface, to wait for a frame to cross the bus.
class BusMonitor {
 public:
  BusMonitor() {
    sc::RawSocketOptions o;
    o.receive_all = true;
    o.error_frames = false;
    fd_ = sc::open_raw_socket(ifname(), o).fd;
  }
  ~BusMonitor() {
    if (fd_ >= 0) close(fd_);
  }
  // Waits until a frame in can-utils notation crossed; false after timeout_ms without it.
  bool wait_for(const std::string& text, int timeout_ms = 20000) {
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return false;
      can_frame f;
      if (recv(fd_, &f, sizeof f, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof f)) continue;
      CMSG m;
      if (sc::from_kernel(f, m) && canbus::to_string(m) == text) return true;
    }
  }

 private:
  int fd_ = -1;
};

// korvel_canopen_devsim on the interface, running until the object goes.
class Devsim {
 public:
  explicit Devsim(const std::vector<std::string>& devices) {
    std::string bin;
    if (const char* e = std::getenv("KORVEL_DEVSIM")) bin = e;
    if (bin.empty()) bin = KORVEL_DEVSIM_BUILT;
    std::vector<std::string> args = {bin, "-i", ifname()};
    args.insert(args.end(), devices.begin(), devices.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    if (posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    // It prints "ready" once its devices listen; its boot-up frames follow.
    FILE* in = fdopen(out[0], "r");
    char line[256];
    while (pid_ > 0 && in && std::fgets(line, sizeof line, in)) {
      if (std::string(line) == "ready\n") {
        ready_ = true;
        break;
      }
    }
    out_ = in;
  }
  ~Devsim() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int st;
      waitpid(pid_, &st, 0);
    }
    if (out_) std::fclose(out_);
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  bool ready_ = false;
};

// ------------------------------------------------------------ the driver alone

class SocketcanDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_INTERFACE();
    ntcan_test::reset();
    config_ = std::make_unique<ConfiguredNet>();
  }
  void TearDown() override {
    ntcan_test::reset();
    config_.reset();
  }

  static NTCAN_HANDLE open(std::initializer_list<std::int32_t> ids = {}, int rx_queue = 100,
                           int rx_timeout_ms = 0) {
    const NTCAN_HANDLE h = open_handle(kNet, ids, rx_queue, rx_timeout_ms);
    EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_125), NTCAN_SUCCESS);
    return h;
  }
  static void send(NTCAN_HANDLE h, const std::vector<CMSG>& ms) { send_frames(h, ms); }
  static std::vector<std::string> read(NTCAN_HANDLE h, std::size_t count) {
    return read_texts(h, count);
  }
  static std::vector<std::string> take(NTCAN_HANDLE h) { return texts_of(take_frames(h)); }

  std::unique_ptr<ConfiguredNet> config_;
};

TEST_F(SocketcanDriver, FramesReachTheHandlesThatEnabledThemStandardExtendedAndRemoteApart) {
  const NTCAN_HANDLE a = open({0x123});
  const NTCAN_HANDLE b = open({0x123, 0x705, 0x000, NTCAN_20B_BASE | 0x1ABCDEF0}, 100, kLongRead);
  const NTCAN_HANDLE c = open({0x124, NTCAN_20B_BASE | 0x123}, 100, kLongRead);
  send(a, canbus::frames({"123#", "00000123#22", "124#AA", "123#0102030405060708", "705#R1",
                          "705#R", "1ABCDEF0#11", "1ABCDEF1#11", "000#0105", "00000705#R"}));
  EXPECT_EQ(read(b, 6), (std::vector<std::string>{"123#", "123#0102030405060708", "705#R1", "705#R",
                                                  "1ABCDEF0#11", "000#0105"}));
  EXPECT_EQ(read(c, 2), (std::vector<std::string>{"00000123#22", "124#AA"}));
  EXPECT_TRUE(take(a).empty());  // a handle does not hear its own frames
  // Every data length crosses intact.
  std::vector<CMSG> lengths;
  for (int len = 0; len <= 8; ++len) {
    CMSG m = canbus::frame("705#");
    m.len = static_cast<std::uint8_t>(len);
    for (int i = 0; i < len; ++i) m.data[i] = static_cast<std::uint8_t>(0xA0 + i);
    lengths.push_back(m);
  }
  send(c, lengths);
  EXPECT_EQ(read(b, 9),
            (std::vector<std::string>{"705#", "705#A0", "705#A0A1", "705#A0A1A2", "705#A0A1A2A3",
                                      "705#A0A1A2A3A4", "705#A0A1A2A3A4A5", "705#A0A1A2A3A4A5A6",
                                      "705#A0A1A2A3A4A5A6A7"}));
  EXPECT_EQ(canIdDelete(b, 0x705), NTCAN_SUCCESS);
  send(a, canbus::frames({"705#01", "123#02"}));
  EXPECT_EQ(read(b, 1), (std::vector<std::string>{"123#02"}));
}

TEST_F(SocketcanDriver, ReadsTimeOutTakesNeverWaitAndCloseEndsAWaitingRead) {
  const NTCAN_HANDLE quick = open({0x100}, 100, 20);
  expect_read_times_out_and_take_returns_none(quick);

  // A reader waiting when the frame is sent gets it.
  const NTCAN_HANDLE reader = open({0x100}, 100, kLongRead);
  std::vector<std::string> got;
  std::thread t([&] { got = read(reader, 1); });
  send(quick, canbus::frames({"100#AB"}));
  t.join();
  EXPECT_EQ(got, (std::vector<std::string>{"100#AB"}));

  // Closing the handle ends a read that would otherwise wait ten minutes.
  int result = NTCAN_SUCCESS;
  std::thread closer_waits([&] {
    CMSG r[1];
    std::int32_t len = 1;
    result = canRead(reader, r, &len, nullptr);
  });
  EXPECT_EQ(canClose(reader), NTCAN_SUCCESS);
  closer_waits.join();
  EXPECT_TRUE(result == NTCAN_OPERATION_ABORTED || result == NTCAN_INVALID_HANDLE)
      << std::hex << result;
}

TEST_F(SocketcanDriver, FramesTheKernelDropsAreCountedInMsgLostAndTheFilterKeepsOthersOut) {
  // The oldest port of the net first: without a trace it filters like any other.
  const NTCAN_HANDLE filtered = open({0x200}, 100000);
  const NTCAN_HANDLE sender = open();
  const NTCAN_HANDLE flooded = open({0x100}, 100000, kLongRead);
  constexpr int kFrames = 4000;
  std::vector<CMSG> burst;
  for (int i = 0; i < kFrames; ++i) {
    CMSG m = canbus::frame("100#0000");
    m.data[0] = static_cast<std::uint8_t>(i >> 8);
    m.data[1] = static_cast<std::uint8_t>(i);
    burst.push_back(m);
  }
  for (std::size_t i = 0; i < burst.size(); i += 100) {
    send(sender, std::vector<CMSG>(burst.begin() + static_cast<long>(i),
                                   burst.begin() + static_cast<long>(i) + 100));
  }
  send(sender, canbus::frames({"200#01"}));

  // The flooded handle's socket overflowed: fewer frames arrived, in order.
  const std::vector<CMSG> got = take_frames(flooded);
  ASSERT_FALSE(got.empty());
  EXPECT_LT(got.size(), static_cast<std::size_t>(kFrames));
  int last = -1;
  for (const CMSG& f : got) {
    const int seq = f.data[0] << 8 | f.data[1];
    EXPECT_GT(seq, last);
    last = seq;
  }
  // The kernel tells the count with the next frame the socket takes in.
  send(sender, canbus::frames({"100#FFFF"}));
  CMSG m[64];
  std::int32_t n = 1;
  ASSERT_EQ(canRead(flooded, m, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(canbus::to_string(m[0]), "100#FFFF");
  EXPECT_EQ(m[0].msg_lost, std::min<std::size_t>(kFrames - got.size(), 255));

  // The kernel kept the flood out of the other handles' sockets: nothing lost there.
  n = 64;
  ASSERT_EQ(canTake(filtered, m, &n), NTCAN_SUCCESS);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(canbus::to_string(m[0]), "200#01");
  EXPECT_EQ(m[0].msg_lost, 0);
}

TEST_F(SocketcanDriver, ADownInterfaceFailsEveryCallUntilItIsUpAgain) {
  const NTCAN_HANDLE a = open({0x300}, 100, 20);
  const NTCAN_HANDLE b = open({0x300}, 100, kLongRead);
  CAN_IF_STATUS st;
  ASSERT_EQ(canStatus(a, &st), NTCAN_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(st.boardid)), ifname());
  EXPECT_EQ(st.boardstatus, 0u);
  if (!set_link(false))
    GTEST_SKIP() << "cannot take " << ifname() << " down here (needs root and ip)";
  CMSG m = canbus::frame("300#01");
  std::int32_t n = 1;
  EXPECT_EQ(canSend(a, &m, &n), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(n, 0);
  n = 1;
  EXPECT_EQ(canTake(b, &m, &n), NTCAN_CONTR_OFF_BUS);
  n = 1;
  EXPECT_EQ(canRead(b, &m, &n, nullptr), NTCAN_CONTR_OFF_BUS);  // at once, not after ten minutes
  EXPECT_EQ(canStatus(a, &st), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(canSetBaudrate(a, NTCAN_BAUD_125), NTCAN_CONTR_OFF_BUS);
  NTCAN_HANDLE c = NTCAN_NO_HANDLE;
  EXPECT_EQ(canOpen(kNet, 0, 10, 100, 1000, 1000, &c), NTCAN_CONTR_OFF_BUS);
  ASSERT_TRUE(set_link(true));

  EXPECT_EQ(canStatus(a, &st), NTCAN_SUCCESS);
  send(a, canbus::frames({"300#02"}));
  EXPECT_EQ(read(b, 1), (std::vector<std::string>{"300#02"}));
}

TEST_F(SocketcanDriver, AHandleOnlyStatusCheckedKeepsABoundedBacklogAndCountsTheRestAsLost) {
  const NTCAN_HANDLE sender = open();
  const NTCAN_HANDLE watched = open({0x100}, 100000);
  // More than a port keeps, in batches small enough for the socket: every frame reaches the
  // port, whose status checks read them all to learn the controller state.
  constexpr int kFrames = 65536 + 4464;
  CAN_IF_STATUS st;
  std::vector<CMSG> batch(100, canbus::frame("100#00000000"));
  for (int i = 0; i < kFrames; i += 100) {
    for (int k = 0; k < 100; ++k) {
      const int seq = i + k;
      for (int b = 0; b < 4; ++b)
        batch[static_cast<std::size_t>(k)].data[b] = static_cast<std::uint8_t>(seq >> (24 - 8 * b));
    }
    send(sender, std::vector<CMSG>(batch.begin(), batch.begin() + std::min(100, kFrames - i)));
    ASSERT_EQ(canStatus(watched, &st), NTCAN_SUCCESS);
  }
  // The oldest frames were kept, up to the bound; the loss shows on the first one taken.
  const std::vector<CMSG> got = take_frames(watched);
  ASSERT_EQ(got.size(), 65536u);
  EXPECT_EQ(got.front().msg_lost, 255);  // 4,464 lost, capped
  auto seq_of = [](const CMSG& f) {
    return f.data[0] << 24 | f.data[1] << 16 | f.data[2] << 8 | f.data[3];
  };
  EXPECT_EQ(seq_of(got.front()), 0);
  EXPECT_EQ(seq_of(got.back()), 65535);
}

TEST_F(SocketcanDriver, TheTraceHasEveryFrameOnceWithTheKernelsTimeOfArrival) {
  char path[] = "/tmp/socketcan-trace-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("NTCAN_TRACE", path, 1);
  ntcan_test::reset();  // reads NTCAN_TRACE again
  const auto wall = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const double before = wall();
  const NTCAN_HANDLE a = open({0x300}, 100, kLongRead);  // the oldest port: it writes the trace
  const NTCAN_HANDLE b = open({0x301}, 100, kLongRead);
  send(b, canbus::frames({"300#01", "1ABCDEF0#02"}));  // b's frames: a hears them, unfiltered
  EXPECT_EQ(read(a, 1), (std::vector<std::string>{"300#01"}));
  send(a, canbus::frames({"301#03"}));
  EXPECT_EQ(read(b, 1), (std::vector<std::string>{"301#03"}));
  EXPECT_EQ(canClose(a), NTCAN_SUCCESS);  // b takes over
  send(b, canbus::frames({"302#04"}));
  const double after = wall();
  unsetenv("NTCAN_TRACE");
  ntcan_test::reset();

  std::ifstream in(path);
  std::vector<std::string> frames;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string stamp, net, frame;
    words >> stamp >> net >> frame;
    EXPECT_EQ(net, "can" + std::to_string(kNet)) << line;
    const double t = std::stod(stamp.substr(1, stamp.size() - 2));
    EXPECT_GE(t, before - 1) << line;
    EXPECT_LE(t, after + 1) << line;
    frames.push_back(frame);
  }
  unlink(path);
  EXPECT_EQ(frames, (std::vector<std::string>{"300#01", "1ABCDEF0#02", "301#03", "302#04"}));
}

// ------------------------------------------------------------ the library end to end

class SocketcanLine : public KorvelTest {
 protected:
  void SetUp() override {
    REQUIRE_INTERFACE();
    KorvelTest::SetUp();
    config_ = std::make_unique<ConfiguredNet>();
    // Each VEXILtime() of an SDO wait lets 100 us pass: a missing answer ends the wait after
    // 20000 looks instead of never.
    clock_->set_query_step(100000);
  }
  void TearDown() override {
    if (IsSkipped()) return;
    set_link(true);
    KorvelTest::TearDown();
    config_.reset();
  }

  // Sends the guarding request and returns the device's answer as the node's alive value
  // holds it (-1: none came). `answer` is the frame expected on the bus.
  int guard(D_can& n, BusMonitor& bus, const char* answer) {
    can_looping();  // whatever came before (a boot-up) is no answer
    if (n.rtr() != 0 || !bus.wait_for(answer)) return -1;
    // The monitor saw the answer cross; the line's socket is handed it by the same delivery,
    // at most a moment later on another processor.
    for (int tries = 0; tries < 100000; ++tries) {
      can_looping();
      CMSG batch[100];
      int len = 0;
      if (n.can_array(batch, &len) == 0) {
        for (int i = 0; i < len; ++i) {
          if (batch[i].id == 0x705 && batch[i].len == 1) {
            KorvelTestPeer::alive(n)->check_alive(5, batch, &len);
            return KorvelTestPeer::alive(n)->value();
          }
        }
      }
      sched_yield();
    }
    return -1;
  }

  std::unique_ptr<ConfiguredNet> config_;
};

TEST_F(SocketcanLine, NodeStartsStopsResetsAndReadsTheIdentityOfADeviceAcrossTheBus) {
  BusMonitor bus;
  Devsim devsim({"5:Pump station 5:HW-2.0:SW-3.1.4"});
  ASSERT_TRUE(devsim.ready());
  ASSERT_TRUE(bus.wait_for("705#00"));  // its boot-up
  D_can& n = node("PUMP", {1, 5, 0, 0});
  ASSERT_EQ(n.init(0x705), 0);
  ASSERT_EQ(n.AddIdent(0x585), 0);

  ASSERT_EQ(n.start_node(), 0);
  EXPECT_EQ(guard(n, bus, "705#05"), 0x05);
  ASSERT_EQ(n.stop_node(), 0);
  EXPECT_EQ(guard(n, bus, "705#84"), 0x84);
  ASSERT_EQ(n.reset_node(), 0);
  ASSERT_TRUE(bus.wait_for("705#00"));  // boot-up after the reset
  EXPECT_EQ(guard(n, bus, "705#7F"), 0x7F);

  EXPECT_EQ(n.get_manufacture(), 0);  // 14 characters: a segmented upload
  EXPECT_EQ(KorvelTestPeer::manu(n)->value(), "Pump station 5");
  EXPECT_EQ(n.get_hwversion(), 0);  // 6 characters: segmented as well
  EXPECT_EQ(KorvelTestPeer::hwver(n)->value(), "HW-2.0");
  EXPECT_EQ(n.get_swversion(), 0);
  EXPECT_EQ(KorvelTestPeer::swver(n)->value(), "SW-3.1.4");
  ASSERT_EQ(n.start_node(), 0);
  EXPECT_EQ(guard(n, bus, "705#85"), 0x85);
  EXPECT_EQ(KorvelTestPeer::condition(n)->value(), "Operational");
}

TEST_F(SocketcanLine, SupervisionReopensTheLineAfterTheInterfaceWasDownAndTheNodeWorksAgain) {
  BusMonitor bus;
  Devsim devsim({"5"});
  ASSERT_TRUE(devsim.ready());
  D_can& n = node("PUMP", {1, 5, 0, 0});
  ASSERT_EQ(n.init(0x705), 0);
  canline* line = n.line();
  const NTCAN_HANDLE old_line = line->handle();
  ASSERT_TRUE(clock_->wait_for_sleepers(1));
  clock_->advance(60 * kSec);
  step();
  ASSERT_EQ(line->handle(), old_line);

  if (!set_link(false))
    GTEST_SKIP() << "cannot take " << ifname() << " down here (needs root and ip)";
  step();
  step();
  EXPECT_EQ(line->handle(), -1);  // two failed checks: closed
  EXPECT_FALSE(ntcan_test::is_open(old_line));
  step();  // the 15 s pause
  step();  // a re-open attempt, refused while the interface is down
  EXPECT_EQ(line->handle(), -1);
  ASSERT_TRUE(set_link(true));
  for (int i = 0; i < 10 && line->handle() <= 0; ++i) step();
  const NTCAN_HANDLE new_line = line->handle();
  ASSERT_GT(new_line, 0);
  EXPECT_EQ(n.handle(), new_line);

  ntcan_test::clear_calls();
  ASSERT_EQ(n.start_node(), 0);
  EXPECT_EQ(guard(n, bus, "705#05") & 0x7F, 0x05);  // 0x705 enabled again on the new handle
  for (const auto& c : ntcan_test::calls()) {
    EXPECT_NE(c.result, NTCAN_INVALID_HANDLE) << c.op << " on " << c.handle;
    EXPECT_NE(c.handle, old_line) << c.op;
  }
}

// Reads what the node's handle holds, asks for the guarding answer and reads it: the first
// four characters of the frame ("705#"), or why there is none.
std::string guard_read(D_can& n) {
  CMSG m[100];
  int len = 100;
  while (n.can_get(m, &len) == 0 && len > 0) len = 100;
  if (n.rtr() != 0) return "rtr failed";
  len = 1;
  const int r = n.can_read(m, &len);
  if (r != NTCAN_SUCCESS || len != 1) return "read returned " + std::to_string(r);
  return canbus::to_string(m[0]).substr(0, 4);
}

TEST_F(SocketcanLine, EveryKindOfNodeWorksAfterEachTimeTheInterfaceWasDownAndUp) {
  Devsim devsim({"5", "6"});
  ASSERT_TRUE(devsim.ready());
  const FourKinds nodes = start_four_kinds(5, 6);
  ASSERT_FALSE(HasFailure());
  canline* line = nodes.first.line();
  const NTCAN_HANDLE own = nodes.second.handle();
  ASSERT_TRUE(clock_->wait_for_sleepers(1));
  clock_->advance(60 * kSec);
  step();

  for (int outage = 1; outage <= 10; ++outage) {
    SCOPED_TRACE("outage " + std::to_string(outage));
    if (!set_link(false))
      GTEST_SKIP() << "cannot take " << ifname() << " down here (needs root and ip)";
    for (int i = 0; i < 4 && line->handle() > 0; ++i) step();
    ASSERT_EQ(line->handle(), -1);
    ASSERT_TRUE(set_link(true));
    for (int i = 0; i < 10 && line->handle() <= 0; ++i) step();
    ASSERT_GT(line->handle(), 0);
    expect_four_kinds_work(nodes, own, [](D_can& n) { return guard_read(n); });
    if (HasFailure()) break;
  }
  expect_no_call_on_a_closed_handle();
}

}  // namespace
