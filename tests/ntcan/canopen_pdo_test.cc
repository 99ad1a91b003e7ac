// Process data of the simulated CiA 301 device, frame by frame: its PDO objects over SDO,
// transmit PDOs on change, by event timer and after SYNC, receive PDOs into its objects.
#include "sim_fixture.h"
#include "simdev/canopen_device.h"

using simdev::canopen::DataType;
using simdev::canopen::NmtState;

namespace {
constexpr std::int64_t kMs = 1000000;
}

class CanopenPdo : public ::testing::Test {
 protected:
  CanopenPdo() {
    dev.set_value(0x6000, 1, DataType::kUnsigned8, 0x21);
    dev.set_number(0x6401, 1, DataType::kInteger16, -2);
    dev.set_value(0x6200, 1, DataType::kUnsigned8, 0);
    dev.set_value(0x6411, 1, DataType::kInteger16, 0);
    dev.set_u32(0x2000, 0, 0, simdev::canopen::Access::kReadWrite);  // not mappable
  }

  // The frames the device sends in answer, one per line.
  std::string feed(const char* text) {
    std::vector<simdev::TimedFrame> out;
    dev.on_frame(canbus::frame(text), now, out);
    return frames(out);
  }
  std::string poll() {
    std::vector<simdev::TimedFrame> out;
    dev.poll(now, out);
    return frames(out);
  }
  static std::string frames(const std::vector<simdev::TimedFrame>& out) {
    std::vector<CMSG> f;
    for (const auto& tf : out) f.push_back(tf.frame);
    return canbus::to_string(f);
  }

  simdev::canopen::Device dev{5};
  std::int64_t now = 1000;
};

TEST_F(CanopenPdo, MappingIsReconfiguredInTheCia301Order) {
  ASSERT_EQ(dev.set_tpdo(1, {{0x6000, 1, 8}}), 0u);
  EXPECT_EQ(feed("605#40001A0000000000"), "585#4F001A0001000000\n");
  EXPECT_EQ(feed("605#40001A0100000000"), "585#43001A0108010060\n");
  EXPECT_EQ(feed("605#4000180100000000"), "585#4300180185010000\n");
  EXPECT_EQ(feed("605#2300180185010080"), "585#6000180100000000\n") << "disable";
  EXPECT_EQ(feed("605#2F001A0000000000"), "585#60001A0000000000\n") << "count 0";
  EXPECT_EQ(feed("605#23001A0110010164"), "585#60001A0100000000\n") << "6401.1, 16 bits";
  EXPECT_EQ(feed("605#23001A0208010060"), "585#60001A0200000000\n") << "6000.1, 8 bits";
  EXPECT_EQ(feed("605#2F001A0002000000"), "585#60001A0000000000\n") << "count 2";
  EXPECT_EQ(feed("605#2300180185010000"), "585#6000180100000000\n") << "enable";
  EXPECT_EQ(poll(), "") << "pre-operational: no PDOs";
  feed("000#0105");
  EXPECT_EQ(poll(), "185#FEFF21\n") << "event-driven TPDOs go out on start";
}

TEST_F(CanopenPdo, WritesTheStateOrTheMappingForbidsAreAborted) {
  ASSERT_EQ(dev.set_tpdo(1, {{0x6000, 1, 8}}), 0u);
  EXPECT_EQ(feed("605#2F001A0000000000"), "585#80001A0022000008\n") << "PDO still valid";
  EXPECT_EQ(feed("605#2300180186010000"), "585#8000180130000906\n") << "new COB-ID while valid";
  EXPECT_EQ(feed("605#2B001803E8030000"), "585#8000180322000008\n") << "inhibit time while valid";
  EXPECT_EQ(feed("605#2F001802FC000000"), "585#8000180230000906\n") << "remote only: not served";
  feed("605#2300180185010080");
  EXPECT_EQ(feed("605#23001A0110010164"), "585#80001A0122000008\n") << "count is not 0";
  feed("605#2F001A0000000000");
  const std::pair<const char*, const char*> refused[] = {
      {"605#23001A0120000020", "585#80001A0041000406"},  // 0x2000: not mappable
      {"605#23001A0110010060", "585#80001A0041000406"},  // 6000.1 is 8 bits, not 16
      {"605#23001A0108010070", "585#80001A0041000406"},  // no object 0x7000
      {"605#23001A0108070060", "585#80001A0011000906"},  // 0x6000 has no subindex 7
  };
  for (const auto& r : refused) {
    EXPECT_EQ(feed(r.first), "585#60001A0100000000\n") << "entries are checked with the count";
    EXPECT_EQ(feed("605#2F001A0001000000"), std::string(r.second) + "\n") << r.first;
  }
  for (const char* sub : {"605#23001A0110010164", "605#23001A0210010164", "605#23001A0310010164",
                          "605#23001A0410010164", "605#23001A0510010164"})
    feed(sub);
  EXPECT_EQ(feed("605#2F001A0005000000"), "585#80001A0042000406\n") << "80 bits";
  EXPECT_EQ(feed("605#2F001A0041000000"), "585#80001A0042000406\n") << "65 entries";
  EXPECT_EQ(feed("605#40001A4100000000"), "585#80001A4111000906\n") << "no subindex 65";
  EXPECT_EQ(feed("605#40001A0000000000"), "585#4F001A0000000000\n") << "count stays 0";
  // The owner's own configuration is held to the same rules.
  EXPECT_EQ(dev.set_rpdo(1, {{0x2000, 0, 32}}), 0x06040041u);
}

TEST_F(CanopenPdo, EventDrivenTpdoOnChangeAndByEventTimer) {
  ASSERT_EQ(dev.set_tpdo(1, {{0x6401, 1, 16}}, 255, 100), 0u);
  feed("000#0105");
  EXPECT_EQ(poll(), "185#FEFF\n");
  EXPECT_EQ(dev.wake_at(), now + 100 * kMs);
  ASSERT_TRUE(dev.set_process_number(0x6401, 1, 7));
  EXPECT_EQ(dev.wake_at(), now) << "a change goes out at once";
  EXPECT_EQ(poll(), "185#0700\n");
  dev.set_process_value(0x6401, 1, 7);
  EXPECT_EQ(poll(), "") << "the same value is no change";
  now += 100 * kMs - 1;
  EXPECT_EQ(poll(), "");
  now += 1;
  EXPECT_EQ(poll(), "185#0700\n") << "event timer";
  EXPECT_EQ(dev.wake_at(), now + 100 * kMs);

  dev.stop_transmit_pdos(true);
  dev.set_process_value(0x6401, 1, 8);
  now += 500 * kMs;
  EXPECT_EQ(poll(), "");
  EXPECT_EQ(dev.wake_at(), -1) << "nothing to do while stopped";
  dev.stop_transmit_pdos(false);
  EXPECT_EQ(poll(), "185#0800\n");
  feed("000#8005");
  dev.set_process_value(0x6401, 1, 9);
  EXPECT_EQ(poll(), "") << "pre-operational";
}

TEST_F(CanopenPdo, SynchronousTpdosAfterSync) {
  ASSERT_EQ(dev.set_tpdo(2, {{0x6000, 1, 8}}, 2), 0u);   // every 2nd SYNC
  ASSERT_EQ(dev.set_tpdo(3, {{0x6401, 1, 16}}, 0), 0u);  // at a SYNC after a change
  EXPECT_EQ(feed("080#"), "") << "pre-operational";
  feed("000#0105");
  EXPECT_EQ(poll(), "");
  EXPECT_EQ(feed("080#"), "");
  EXPECT_EQ(feed("080#01"), "285#21\n") << "with or without counter";
  dev.set_process_value(0x6401, 1, 3);
  EXPECT_EQ(poll(), "") << "waits for the SYNC";
  EXPECT_EQ(feed("080#02"), "385#0300\n");
  EXPECT_EQ(feed("080#03"), "285#21\n");
  EXPECT_EQ(feed("080#"), "");
}

TEST_F(CanopenPdo, RpdosWriteTheirObjects) {
  ASSERT_EQ(dev.set_rpdo(1, {{0x6200, 1, 8}, {0x0005, 0, 8}, {0x6411, 1, 16}}), 0u);
  ASSERT_EQ(dev.set_rpdo(2, {{0x6411, 1, 16}}, 1), 0u);  // synchronous
  ASSERT_EQ(dev.set_tpdo(1, {{0x6200, 1, 8}}), 0u);
  EXPECT_EQ(feed("205#55AA3412"), "");
  EXPECT_EQ(dev.process_value(0x6200, 1), 0u) << "pre-operational";
  feed("000#0105");
  poll();
  EXPECT_EQ(feed("205#55AA3412"), "");
  EXPECT_EQ(dev.process_value(0x6200, 1), 0x55u);
  EXPECT_EQ(dev.process_value(0x6411, 1), 0x1234u);
  EXPECT_EQ(poll(), "185#55\n") << "a TPDO carrying the object sends the change";
  EXPECT_EQ(feed("205#66AA"), "085#1082000000000000\n") << "too short: EMCY 0x8210";
  EXPECT_EQ(dev.process_value(0x6200, 1), 0x55u);
  feed("205#7700010200000000");
  EXPECT_EQ(dev.process_value(0x6411, 1), 0x0201u) << "longer is fine";
  feed("305#0500");
  EXPECT_EQ(dev.process_value(0x6411, 1), 0x0201u) << "synchronous: at the next SYNC";
  feed("080#");
  EXPECT_EQ(dev.process_value(0x6411, 1), 5u);
}

TEST_F(CanopenPdo, NmtResetsRestorePowerOnSettings) {
  ASSERT_EQ(dev.set_tpdo(1, {{0x6000, 1, 8}}), 0u);
  feed("605#2300180185010080");
  feed("605#2F001A0000000000");
  dev.set_process_value(0x6000, 1, 0x42);
  EXPECT_EQ(feed("000#8205"), "705#00\n");
  EXPECT_EQ(feed("605#4000180100000000"), "585#4300180185010000\n");
  EXPECT_EQ(feed("605#40001A0000000000"), "585#4F001A0001000000\n");
  EXPECT_EQ(dev.process_value(0x6000, 1), 0x42u) << "reset communication keeps the value";
  EXPECT_EQ(feed("000#8105"), "705#00\n");
  EXPECT_EQ(dev.process_value(0x6000, 1), 0x21u);
  feed("000#0105");
  EXPECT_EQ(poll(), "185#21\n");
}

TEST_F(SimTest, EventTimerTpdoReachesTheMasterOnTheVirtualClock) {
  ManualClock clock;
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->set_value(0x6000, 1, DataType::kUnsigned8, 1);
  ASSERT_EQ(dev->set_tpdo(1, {{0x6000, 1, 8}}, 254, 10), 0u);
  ntcan_sim::attach(0, dev);
  NTCAN_HANDLE h = open(0, {0x185});
  send(h, {"000#0105"});
  EXPECT_EQ(take(h), "185#01\n");
  clock.advance(10 * kMs - 1);
  EXPECT_EQ(take(h), "");
  clock.advance(1);
  EXPECT_EQ(take(h), "185#01\n");
}
