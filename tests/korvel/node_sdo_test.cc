// SDO upload of the identity strings, frame by frame against simulated and scripted devices.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "simdev/canopen_device.h"
#include "support/korvel_fixture.h"
#include "support/scripted_device.h"

namespace {

using Peer = KorvelTestPeer;
constexpr int64_t kMs = 1000000LL;

class NodeSdo : public KorvelTest {
 protected:
  void SetUp() override {
    KorvelTest::SetUp();
    clock_->set_query_step(kMs);  // each VEXILtime() lets one millisecond pass
  }
  // Node 5 on line 1, receiving its SDO replies.
  D_can& sdo_node() {
    D_can& n = node("DEV", {1, 5, 0, 0});
    EXPECT_EQ(n.init(0x585), 0);
    return n;
  }
  std::shared_ptr<simdev::canopen::Device> device(const std::string& name) {
    auto d = std::make_shared<simdev::canopen::Device>(5);
    d->set_identity(name, "HW-1.0", "SW-2.3.4");
    ntcan_sim::attach(0, d);
    return d;
  }
  std::shared_ptr<ScriptedDevice> script() {
    auto d = std::make_shared<ScriptedDevice>();
    ntcan_sim::attach(0, d);
    return d;
  }
  std::vector<std::string> bus() {
    std::vector<std::string> out;
    for (const CMSG& m : ntcan_sim::bus_log(0)) out.push_back(canbus::to_string(m));
    return out;
  }
};

}  // namespace

TEST_F(NodeSdo, ExpeditedReplyWithSizeIndicated) {
  D_can& n = sdo_node();
  device("A");
  EXPECT_EQ(n.get_manufacture(), 0);
  EXPECT_EQ(read_text(n, ".MANU"), "A");
  EXPECT_EQ(bus(), (std::vector<std::string>{"605#4008100000000000", "585#4F08100041000000"}));
}

TEST_F(NodeSdo, ExpeditedReplyWithoutSizeCopiesFourBytes) {
  D_can& n = sdo_node();
  script()->on("605#4009100000000000", {"585#4209100048573132"});
  EXPECT_EQ(n.get_hwversion(), 0);
  EXPECT_EQ(read_text(n, ".HWVER"), "HW12");
}

TEST_F(NodeSdo, SegmentedReadOfTenCharacters) {
  D_can& n = sdo_node();
  device("0123456789");
  EXPECT_EQ(n.get_manufacture(), 0);
  EXPECT_EQ(read_text(n, ".MANU"), "0123456789");
  EXPECT_EQ(bus(), (std::vector<std::string>{"605#4008100000000000", "585#410810000A000000",
                                             "605#6000000000000000", "585#0030313233343536",
                                             "605#7000000000000000", "585#1937383900000000"}));
}

TEST_F(NodeSdo, NamesUpToSixtyThreeCharactersFitLongerOnesAreAborted) {
  D_can& n = sdo_node();
  auto dev = device("");
  for (size_t len : {1, 4, 5, 7, 8, 14, 63}) {
    std::string name;
    for (size_t i = 0; i < len; ++i) name += static_cast<char>('a' + i % 26);
    dev->set_text(0x1008, 0, name);
    EXPECT_EQ(n.get_manufacture(), 0) << len;
    EXPECT_EQ(read_text(n, ".MANU"), name);
  }
  for (size_t len : {64, 200}) {
    dev->set_text(0x1008, 0, std::string(len, 'x'));
    ntcan_sim::clear_bus_log();
    EXPECT_EQ(n.get_manufacture(), -1) << len;
    EXPECT_EQ(read_text(n, ".MANU"), "error");
    EXPECT_EQ(bus().back(), "605#8008100005000405");  // abort: out of memory
  }
  EXPECT_EQ(log_.with_heading("segSdoRead").size(), 2u);
}

TEST_F(NodeSdo, ObjectLongerThanItsAnnouncedSizeIsStoppedAtTheBuffer) {
  D_can& n = sdo_node();
  // Announces nothing, then keeps sending segments.
  auto s = script();
  s->on("605#4008100000000000", {"585#4008100000000000"});
  for (int i = 0; i < 3; ++i) {
    s->on(i % 2 ? "605#7000000000000000" : "605#6000000000000000",
          {i % 2 ? "585#1041414141414141" : "585#0041414141414141"});
  }
  s->on("605#8008100005000405", {});
  char buffer[20];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(n.segSdoRead(5, 0x1008, 0, buffer, 16), -1);
  EXPECT_EQ(std::string(buffer), std::string(14, 'A'));  // two segments, ended inside the 16 bytes
  EXPECT_EQ(buffer[16], '#');
  EXPECT_TRUE(s->unexpected().empty());
}

TEST_F(NodeSdo, WrongToggleEndsTheReadWithoutALogLine) {
  D_can& n = sdo_node();
  auto dev = device("0123456789ABCDEF");
  dev->wrong_toggle_next_segment();
  testing::internal::CaptureStdout();
  EXPECT_EQ(n.get_manufacture(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "--Error: bad toggle bit in segmented transfer sequence.\n");
  EXPECT_TRUE(log_.with_heading("segSdoRead").empty());
  EXPECT_EQ(read_text(n, ".MANU"), "error");
}

TEST_F(NodeSdo, AbortsCountOnlyForTheRunningObject) {
  D_can& n = sdo_node();
  ASSERT_EQ(n.AddIdent(0x7FF), 0);
  script()
      ->on("605#4008100000000000", {"585#8009100000000206", "585#4F08100058000000"})
      .on("605#400A100000000000", {"7FF#800A100000000206"});
  EXPECT_EQ(n.get_manufacture(), 0);
  EXPECT_EQ(read_text(n, ".MANU"), "X");
  testing::internal::CaptureStdout();
  EXPECT_EQ(n.get_swversion(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Segmented transfer aborted with code 0x6020000\n");
  EXPECT_EQ(read_text(n, ".SWVER"), "error");
  EXPECT_EQ(log_.with_heading("segSdoRead")[0].text,
            "--Error: initUploadResponse failed with error -1");
}

TEST_F(NodeSdo, RepliesNamingAnotherObjectAreLeftToTheirClient) {
  // A reply to an earlier transfer of the library (the worker's read of 0x1800/1) still in the
  // node's buffer is not taken for the identity string.
  D_can& n = sdo_node();
  script()->on("605#4008100000000000", {"585#4300180185010000", "585#4F08100058000000"});
  EXPECT_EQ(n.get_manufacture(), 0);
  EXPECT_EQ(read_text(n, ".MANU"), "X");
}

TEST_F(NodeSdo, SilentDeviceTimesOutAfterTwoToThreeSeconds) {
  D_can& n = sdo_node();
  device("quiet")->mute(true);
  const std::time_t start = VEXILtime();
  EXPECT_EQ(n.get_manufacture(), -1);
  const std::time_t waited = VEXILtime() - start;
  EXPECT_GE(waited, 2);
  EXPECT_LE(waited, 3);
  EXPECT_EQ(read_text(n, ".MANU"), "error");
  EXPECT_EQ(log_.with_heading("segSdoRead")[0].text,
            "--Error: initUploadResponse failed with error -1");
}

TEST_F(NodeSdo, DelayedReplyWithinTheWaitIsAccepted) {
  D_can& n = sdo_node();
  device("late")->delay_replies(1500 * kMs);
  EXPECT_EQ(n.get_manufacture(), 0);
  EXPECT_EQ(read_text(n, ".MANU"), "late");
}

TEST_F(NodeSdo, ClosedLineFailsAtOnce) {
  D_can& n = sdo_node();
  n.line()->can_close();
  EXPECT_EQ(n.get_hwversion(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(read_text(n, ".HWVER"), "error");
  EXPECT_EQ(log_.with_heading("segSdoRead")[0].text,
            "--Error: initiateUpload failed with error 77");
}

TEST_F(NodeSdo, SoftwareVersionPausesFirstAndReadsItsObject) {
  D_can& n = sdo_node();
  device("NAME");
  const auto before = clock_->now();
  EXPECT_EQ(n.get_swversion(), 0);
  EXPECT_GE(clock_->now() - before, 100 * kMs);
  EXPECT_EQ(read_text(n, ".SWVER"), "SW-2.3.4");
}

TEST_F(NodeSdo, TextIsCutAtTheFirstNonPrintableCharacter) {
  D_can& n = sdo_node();
  auto dev = device("");
  dev->set_bytes(0x1008, 0, {'A', 'B', 'C', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(n.get_manufacture(), 0);
  EXPECT_EQ(read_text(n, ".MANU"), "ABC");
  dev->set_bytes(0x1008, 0, {'A', 'B', 0x01, 'C', 'D', 'E'});
  EXPECT_EQ(n.get_manufacture(), 0);
  EXPECT_EQ(read_text(n, ".MANU"), "AB");

  char empty[] = "";
  char tab[] = "a\tb";
  EXPECT_EQ(D_can::check_ascii(empty), 0);
  EXPECT_EQ(D_can::check_ascii(tab), -1);
  EXPECT_STREQ(tab, "a");
  EXPECT_EQ(D_can::check_ascii(nullptr), -1);
}

// Random replies from the bus: whatever arrives, the client stays inside its frames and buffer.
TEST_F(NodeSdo, RandomRepliesNeverBreakTheClient) {
  D_can& n = sdo_node();
  std::mt19937 rng(20261208);
  class Noise : public simdev::Device {
   public:
    explicit Noise(std::mt19937& r) : rng_(r) {}
    void on_frame(const CMSG& in, std::int64_t now, std::vector<simdev::TimedFrame>& out) override {
      if (in.id != 0x605) return;
      const int replies = static_cast<int>(rng_() % 3);
      for (int i = 0; i < replies; ++i) {
        CMSG m{};
        m.id = (rng_() % 4) ? 0x585 : static_cast<int32_t>(rng_() % 0x800);
        m.len = static_cast<uint8_t>(rng_() % 20);
        for (auto& b : m.data) b = static_cast<uint8_t>(rng_());
        if (rng_() % 2)
          m.data[0] = static_cast<uint8_t>((rng_() % 2 ? 0x40 : 0x00) | (m.data[0] & 0x1F));
        if (rng_() % 3 == 0) m.data[0] = in.data[0] == 0x40 ? 0x41 : (in.data[0] & 0x10);
        out.push_back({m, now});
      }
    }
    std::mt19937& rng_;
  };
  ntcan_sim::attach(0, std::make_shared<Noise>(rng));
  for (int i = 0; i < 150; ++i) {
    char buffer[64];
    const int r = n.segSdoRead(5, 0x1008, 0, buffer, 1 + rng() % 64);
    EXPECT_TRUE(r == 0 || r == -1) << r;
    if (r == 0) {
      EXPECT_LT(std::strlen(buffer), 64u);
    }
  }
}
