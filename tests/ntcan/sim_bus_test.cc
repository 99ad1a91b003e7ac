// Devices on a simulated net: what they see, what they send, when it arrives; the trace file.
#include <unistd.h>

#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "sim_fixture.h"

namespace {

// Answers every frame with id+1 and the same data, `delay_ns` late; records what it saw.
class Echo : public simdev::Device {
 public:
  explicit Echo(std::int64_t delay_ns = 0) : delay_ns_(delay_ns) {}
  void on_frame(const CMSG& in, std::int64_t now, std::vector<simdev::TimedFrame>& out) override {
    std::lock_guard<std::mutex> lock(mx_);
    seen_.push_back(in);
    CMSG m = in;
    m.id = (in.id + 1) & 0x7FF;
    out.push_back({m, now + delay_ns_});
  }
  void poll(std::int64_t now, std::vector<simdev::TimedFrame>& out) override {
    std::lock_guard<std::mutex> lock(mx_);
    for (const CMSG& m : spontaneous_) out.push_back({m, now});
    spontaneous_.clear();
  }
  void say(const char* text) {
    std::lock_guard<std::mutex> lock(mx_);
    spontaneous_.push_back(canbus::frame(text));
  }
  std::string seen() const {
    std::lock_guard<std::mutex> lock(mx_);
    return canbus::to_string(seen_);
  }

 private:
  mutable std::mutex mx_;
  std::int64_t delay_ns_;
  std::vector<CMSG> seen_;
  std::vector<CMSG> spontaneous_;
};

// Hears everything, says nothing.
class Listener : public simdev::Device {
 public:
  void on_frame(const CMSG& in, std::int64_t, std::vector<simdev::TimedFrame>&) override {
    std::lock_guard<std::mutex> lock(mx_);
    seen_.push_back(in);
  }
  std::string seen() const {
    std::lock_guard<std::mutex> lock(mx_);
    return canbus::to_string(seen_);
  }

 private:
  mutable std::mutex mx_;
  std::vector<CMSG> seen_;
};

// The frame of a candump log line "(1700000000.000100) can3 605#40..." on the given net;
// empty if the line has another form.
std::string traced_frame(const std::string& line, int net) {
  std::size_t close = line.find(") ");
  if (line.empty() || line[0] != '(' || close == std::string::npos) return "";
  std::string stamp = line.substr(1, close - 1);
  std::size_t dot = stamp.find('.');
  if (dot == std::string::npos || dot < 10 || stamp.size() - dot - 1 != 6) return "";
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    if (i != dot && !std::isdigit(static_cast<unsigned char>(stamp[i]))) return "";
  }
  std::string iface = "can" + std::to_string(net) + " ";
  if (line.compare(close + 2, iface.size(), iface) != 0) return "";
  return line.substr(close + 2 + iface.size());
}

}  // namespace

class SimBusDevices : public SimTest {};

TEST_F(SimBusDevices, DevicesHearEverythingAndAnswerToHandles) {
  auto echo = std::make_shared<Echo>();
  auto listener = std::make_shared<Listener>();
  ntcan_sim::attach(0, echo);
  ntcan_sim::attach(0, listener);
  NTCAN_HANDLE h = open(0, {0x101, 0x201});

  send(h, {"100#01"});
  ntcan_sim::inject(0, canbus::frame("200#02"));

  EXPECT_EQ(echo->seen(), "100#01\n200#02\n") << "not its own answers";
  EXPECT_EQ(listener->seen(), "100#01\n101#01\n200#02\n201#02\n");
  EXPECT_EQ(take(h), "101#01\n201#02\n");
  EXPECT_EQ(log(0), "100#01\n101#01\n200#02\n201#02\n");
}

TEST_F(SimBusDevices, DetachedDeviceHearsNothing) {
  auto echo = std::make_shared<Echo>();
  ntcan_sim::attach(0, echo);
  ntcan_sim::attach(0, echo);  // once is enough
  ntcan_sim::inject(0, canbus::frame("100#01"));
  ntcan_sim::detach(0, echo);
  ntcan_sim::inject(0, canbus::frame("100#02"));
  EXPECT_EQ(echo->seen(), "100#01\n");
  EXPECT_EQ(log(0), "100#01\n101#01\n100#02\n");
}

TEST_F(SimBusDevices, DevicesAnsweringEachOtherDoNotRecurseForever) {
  ntcan_sim::attach(0, std::make_shared<Echo>());
  ntcan_sim::attach(0, std::make_shared<Echo>());
  NTCAN_HANDLE h = open(0);
  send(h, {"000#01"});
  std::size_t after_send = ntcan_sim::bus_log(0).size();
  EXPECT_GT(after_send, 2u);
  take(h);  // the next activity carries on where the last one stopped
  EXPECT_GT(ntcan_sim::bus_log(0).size(), after_send);
}

TEST_F(SimBusDevices, DelayedFramesWaitForTheTimeSource) {
  ManualClock clock;
  ntcan_sim::attach(0, std::make_shared<Echo>(5000));
  NTCAN_HANDLE h = open(0, {0x101});
  send(h, {"100#01"});
  EXPECT_EQ(take(h), "");
  clock.advance(4999);
  EXPECT_EQ(take(h), "");
  clock.advance(1);
  EXPECT_EQ(take(h), "101#01\n");
  EXPECT_EQ(log(0), "100#01\n101#01\n");
}

TEST_F(SimBusDevices, WaitingReaderWakesForDelayedFrame) {
  ntcan_sim::attach(0, std::make_shared<Echo>(2000000));  // 2 ms on the steady clock
  NTCAN_HANDLE h = open(0, {0x101}, 8, kLongerThanTheTestTimeout);
  send(h, {"100#01"});
  CMSG m{};
  std::int32_t n = 1;
  ASSERT_EQ(canRead(h, &m, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(canbus::to_string(m), "101#01");
}

TEST_F(SimBusDevices, WaitingReaderSeesDelayedFrameUnderManualClock) {
  ManualClock clock;
  ntcan_sim::attach(0, std::make_shared<Echo>(1000));
  NTCAN_HANDLE h = open(0, {0x101}, 8, kLongerThanTheTestTimeout);
  send(h, {"100#01"});
  CMSG m{};
  int status = -1;
  std::thread reader([&] {
    std::int32_t n = 1;
    status = canRead(h, &m, &n, nullptr);
  });
  clock.advance(1000);
  reader.join();
  EXPECT_EQ(status, NTCAN_SUCCESS);
  EXPECT_EQ(canbus::to_string(m), "101#01");
}

TEST_F(SimBusDevices, SpontaneousFramesGoOutAtTheNextActivity) {
  auto echo = std::make_shared<Echo>();
  ntcan_sim::attach(0, echo);
  NTCAN_HANDLE h = open(0, {0x085});
  echo->say("085#0000");
  EXPECT_EQ(log(0), "");
  EXPECT_EQ(take(h), "085#0000\n");
  EXPECT_EQ(log(0), "085#0000\n");
}

// Holds the first frame it hears until released: the net it sits on is busy meanwhile.
class Stuck : public simdev::Device {
 public:
  void on_frame(const CMSG&, std::int64_t, std::vector<simdev::TimedFrame>&) override {
    std::unique_lock<std::mutex> lock(mx_);
    if (done_) return;
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return released_; });
    done_ = true;
  }
  void wait_entered() {
    std::unique_lock<std::mutex> lock(mx_);
    cv_.wait(lock, [this] { return entered_; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mx_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mx_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool released_ = false;
  bool done_ = false;
};

// With one lock for all nets the calls on net 1 would wait for the stuck device on net 0
// for ever (the test would hang).
TEST_F(SimBusDevices, ABusyNetDoesNotHoldUpAnother) {
  auto stuck = std::make_shared<Stuck>();
  ntcan_sim::attach(0, stuck);
  NTCAN_HANDLE busy = open(0);
  NTCAN_HANDLE other = open(1, {0x181});
  NTCAN_HANDLE peer = open(1, {0x181});
  std::thread sender([&] { send(busy, {"000#0100"}); });
  stuck->wait_entered();

  send(peer, {"181#05"});
  ntcan_sim::inject(1, canbus::frame("181#7F"));
  EXPECT_EQ(take(other), "181#05\n181#7F\n");
  EXPECT_EQ(log(1), "181#05\n181#7F\n");

  stuck->release();
  sender.join();
  EXPECT_EQ(log(0), "000#0100\n");
}

TEST(BusTrace, WritesCandumpLines) {
  char path[] = "/tmp/ntcan_trace_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  setenv("NTCAN_TRACE", path, 1);
  ntcan_test::reset();

  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(3, 0, 8, 8, 0, 0, &h), NTCAN_SUCCESS);
  std::vector<CMSG> msgs = canbus::frames({"605#4008100000000000", "705#R", "1ABCDEF0#11", "000#"});
  std::int32_t n = 4;
  ASSERT_EQ(canSend(h, msgs.data(), &n), NTCAN_SUCCESS);

  unsetenv("NTCAN_TRACE");
  ntcan_test::reset();
  ntcan_sim::inject(3, canbus::frame("123#01"));  // no longer traced

  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::remove(path);

  ASSERT_EQ(lines.size(), 4u);
  const char* expected[] = {"605#4008100000000000", "705#R", "1ABCDEF0#11", "000#"};
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(traced_frame(lines[i], 3), expected[i]) << lines[i];
}
