// The device host by itself: who hears which frame, late answers, the budget of a run, and
// what a host owes its bus. Its three users (simulated nets, gateway simulator, SocketCAN
// device simulator) have tests of their own next to them.
#include "simdev/device_host.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "canbus/frame_text.h"
#include "simdev/canopen_device.h"
#include "support/scripted_device.h"

namespace {

using canbus::frame;
using simdev::BusFrame;
using simdev::DeviceHost;

// Answers every frame it hears with its own frame: two of them chatter for ever.
class Chatterbox : public simdev::Device {
 public:
  explicit Chatterbox(const char* says) : says_(frame(says)) {}
  void on_frame(const CMSG&, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) override {
    out.push_back({says_, now_ns});
  }

 private:
  CMSG says_;
};

// Sends what it is told to at its next poll, and names a time it wants to be polled at.
class Speaker : public simdev::Device {
 public:
  void on_frame(const CMSG&, std::int64_t, std::vector<simdev::TimedFrame>&) override {}
  void poll(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) override {
    for (const CMSG& m : next_) out.push_back({m, now_ns});
    next_.clear();
  }
  std::int64_t wake_at() const override { return wake_at_; }

  std::vector<CMSG> next_;
  std::int64_t wake_at_ = -1;
};

// Runs the frames through the host; what crossed, one per line, with "<" after frames whose
// sender was `mine`.
struct Bus {
  DeviceHost host;
  const int mine = 0;
  std::string crossed;

  void run(std::deque<BusFrame> work, std::int64_t now) {
    host.run(work, now, [this](const CMSG& m, const void* sender) {
      crossed += canbus::to_string(m) + (sender == &mine ? "<" : "") + "\n";
    });
  }
  void send(const char* text, std::int64_t now) { run({BusFrame{frame(text), &mine}}, now); }
  void tick(std::int64_t now) {
    std::deque<BusFrame> work;
    host.due(now, work);
    run(std::move(work), now);
  }
};

}  // namespace

TEST(DeviceHost, FramesCrossInOrderAndNoSenderHearsItsOwn) {
  Bus bus;
  auto a = std::make_shared<ScriptedDevice>();
  auto b = std::make_shared<ScriptedDevice>();
  a->on("100#01", {"101#02"});
  b->on("101#02", {"102#03", "103#04"});
  bus.host.attach(a);
  bus.host.attach(b);
  bus.host.attach(a);  // once only
  bus.send("100#01", 1000);
  EXPECT_EQ(bus.crossed, "100#01<\n101#02\n102#03\n103#04\n");
  EXPECT_TRUE(a->done());
  EXPECT_TRUE(b->done());
  EXPECT_EQ(a->unexpected(), (std::vector<std::string>{"102#03", "103#04"}))
      << "a heard its own 101";
  EXPECT_EQ(b->unexpected(), (std::vector<std::string>{"100#01"})) << "b heard its own 102 or 103";
}

TEST(DeviceHost, LateAnswersWaitForTheirTimeAndDetachTakesThemAlong) {
  Bus bus;
  auto slow = std::make_shared<simdev::canopen::Device>(5);
  auto other = std::make_shared<simdev::canopen::Device>(6);
  slow->delay_replies(5000);
  other->delay_replies(9000);
  bus.host.attach(slow);
  bus.host.attach(other);
  EXPECT_EQ(bus.host.next_due(), -1);
  bus.send("705#R1", 1000);
  bus.send("706#R1", 1000);
  EXPECT_EQ(bus.crossed, "705#R1<\n706#R1<\n");
  EXPECT_EQ(bus.host.next_due(), 6000);
  bus.tick(5999);
  EXPECT_EQ(bus.crossed, "705#R1<\n706#R1<\n");
  bus.tick(6000);
  EXPECT_EQ(bus.crossed, "705#R1<\n706#R1<\n705#7F\n");
  EXPECT_EQ(bus.host.next_due(), 10000);

  bus.host.detach(other);
  EXPECT_EQ(bus.host.next_due(), -1) << "a detached device's late answer still waits";
  EXPECT_TRUE(bus.host.devices().size() == 1 && !bus.host.idle());
  bus.host.detach(slow);
  EXPECT_TRUE(bus.host.idle());
}

TEST(DeviceHost, DroppedFramesNeverComeAndDevicesStay) {
  Bus bus;
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->delay_replies(100);
  bus.host.attach(dev);
  bus.send("705#R1", 1000);
  bus.host.drop_waiting();
  bus.tick(2000);
  EXPECT_EQ(bus.crossed, "705#R1<\n");
  bus.send("705#R1", 3000);
  bus.tick(3100);
  EXPECT_EQ(bus.crossed, "705#R1<\n705#R1<\n705#FF\n")
      << "the guarding toggle went on: the first answer was lost";
  bus.host.clear();
  EXPECT_TRUE(bus.host.idle());
}

TEST(DeviceHost, EndlessChatterStopsAtTheBudgetAndGoesOnAtTheNextRun) {
  Bus bus;
  bus.host.attach(std::make_shared<Chatterbox>("201#"));
  bus.host.attach(std::make_shared<Chatterbox>("202#"));
  std::deque<BusFrame> work{BusFrame{frame("200#"), nullptr}};
  std::uint64_t crossed = bus.host.run(work, 1000, [](const CMSG&, const void*) {});
  EXPECT_EQ(crossed, static_cast<std::uint64_t>(DeviceHost::kFramesPerRun));
  EXPECT_TRUE(work.empty());
  EXPECT_EQ(bus.host.next_due(), 1000) << "the rest waits, due at once";
  std::deque<BusFrame> next;
  bus.host.due(1000, next);
  EXPECT_FALSE(next.empty());
  crossed = bus.host.run(next, 1000, [](const CMSG&, const void*) {});
  EXPECT_EQ(crossed, static_cast<std::uint64_t>(DeviceHost::kFramesPerRun));
}

TEST(DeviceHost, SpontaneousFramesComeAfterDueOnesAndBadFramesNeverCross) {
  Bus bus;
  auto speaker = std::make_shared<Speaker>();
  auto late = std::make_shared<simdev::canopen::Device>(5);
  late->delay_replies(10);
  bus.host.attach(late);
  bus.host.attach(speaker);
  bus.send("705#R1", 1000);
  CMSG too_long = frame("180#01");
  too_long.len = 9;
  speaker->next_ = {frame("181#01"), too_long, frame("182#02")};
  speaker->next_[0].id = 0x800;  // not an 11-bit identifier without the extended flag
  bus.tick(1010);
  EXPECT_EQ(bus.crossed, "705#R1<\n705#7F\n182#02\n");

  EXPECT_EQ(bus.host.next_due(), -1);
  speaker->wake_at_ = 7000;
  EXPECT_EQ(bus.host.next_due(), 7000) << "a device that wants to speak on its own";
}
