// Process data of a node: the mapping read by SDO (and again after a boot-up), properties updated
// from transmit PDOs, short PDOs, receive PDOs sent on a property write, SDO downloads of objects
// no PDO carries, SYNC with its counter and stale objects, on the virtual clocks.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/korvel_fixture.h"
#include "support/scripted_device.h"

namespace {

std::atomic<std::int64_t> g_ms{1000};
std::int64_t virtual_ms() { return g_ms.load(); }

class ProcessData : public KorvelTest {
 protected:
  void SetUp() override {
    KorvelTest::SetUp();
    korvel::set_millisecond_source(virtual_ms);
    n_ = &node("DEV", {1, 5, 0, 0});
    ASSERT_EQ(n_->init(0x705), 0);
    ASSERT_EQ(n_->AddIdent(0x185), 0);
  }
  void TearDown() override {
    if (n_->line()) n_->line()->stop_sync();
    korvel::set_millisecond_source(nullptr);
    KorvelTest::TearDown();
  }
  // No SDO request the script did not expect (the device also sees the PDOs and boot-ups).
  static void expect_script_kept(const ScriptedDevice& d) {
    EXPECT_TRUE(d.done());
    for (const std::string& f : d.unexpected()) EXPECT_NE(f.substr(0, 4), "605#") << f;
  }
  // The SDO uploads of the device's eight PDOs, as a device answers them: TPDO1 on 0x185
  // (event timer 100 ms) with a 16-bit value, a boolean and a 12-bit field; RPDO1 on 0x205
  // with one byte; RPDO2 aborted as absent; the others not valid.
  static void script_mapping(ScriptedDevice& d) {
    d.on("605#4000180100000000", {"585#4300180185010000"})
        .on("605#4000180200000000", {"585#4F001802FF000000"})
        .on("605#4000180500000000", {"585#4B00180564000000"})
        .on("605#40001A0000000000", {"585#4F001A0003000000"})
        .on("605#40001A0100000000", {"585#43001A0110010060"})
        .on("605#40001A0200000000", {"585#43001A0201020060"})
        .on("605#40001A0300000000", {"585#43001A030C000160"});
    for (const char* pdo : {"01", "02", "03"})
      d.on(std::string("605#40") + pdo + "180100000000",
           {std::string("585#43") + pdo + "18010000" + "0080"});
    d.on("605#4000140100000000", {"585#4300140105020000"})
        .on("605#4000140200000000", {"585#4F001402FF000000"})
        .on("605#4000160000000000", {"585#4F00160001000000"})
        .on("605#4000160100000000", {"585#4300160108010062"})
        .on("605#4001140100000000", {"585#8001140100000206"})
        .on("605#4002140100000000", {"585#4302140100000080"})
        .on("605#4003140100000000", {"585#4303140100000080"});
  }
  // Starts the reading (unless a boot-up did) and waits until the worker is through.
  void read_mapping(bool start = true) {
    if (start) {
      log_.clear();
      ASSERT_EQ(n_->init_process_data(), korvel::kOk);
    }
    ASSERT_TRUE(log_.wait_for("DEV: process data of 1 transmit and 1 receive PDOs"));
    while (n_->process_data_pending()) std::this_thread::yield();  // the worker lets go
  }
  std::string value(int index, int sub, int* error = nullptr) {
    D_fct* p = n_->process_property(index, sub);
    if (!p) return "none";
    EqData out;
    const int e = p->get(nullptr, nullptr, &out, nullptr);
    if (error) *error = e;
    return out.get_string();
  }
  static void deliver(const char* frame) {
    ntcan_sim::inject(0, canbus::frame(frame));
    can_looping();
  }
  static std::vector<std::string> sent_by_master() {
    std::vector<std::string> out;
    for (const auto& c : ntcan_test::calls()) {
      if (c.op == "canSend" && !c.frames.empty()) out.push_back(canbus::to_string(c.frames[0]));
    }
    return out;
  }
  // Sets a simple mapping in code: TPDO1 on 0x185 every 100 ms, RPDO1 on 0x205 with a byte
  // and a signed 16-bit value.
  void map_in_code() {
    ASSERT_EQ(n_->set_process_data(
                  {{0x185, 255, 100, {{0x6000, 1, 16}}}},
                  {{0x205, 255, 0, {{0x6200, 1, 8}, {0x6300, 1, 16, D_can::pd_kind::signed_int}}}}),
              korvel::kOk);
  }
  D_can* n_ = nullptr;
};

TEST_F(ProcessData, MappingReadBySdoGivesTypedPropertiesUpdatedBitExactFromTheTpdo) {
  auto dev = std::make_shared<ScriptedDevice>();
  script_mapping(*dev);
  ntcan_sim::attach(0, dev);
  read_mapping();
  expect_script_kept(*dev);
  EXPECT_TRUE(log_.contains("DEV: RPDO2 0x1401 sub 1: aborted, 0x06020000 object does not exist"));

  deliver("185#34127915");  // 0x1234, then 1, then 0xABC from bit 17
  EXPECT_EQ(value(0x6000, 1), "4660");
  EXPECT_EQ(value(0x6000, 2), "1");
  EXPECT_EQ(value(0x6001, 0), "2748");
  EXPECT_EQ(n_->process_property(0x6000, 1)->basename(), "DEV.6000SUB1");
  // The server's batch still has the frame.
  CMSG batch[100];
  int len = 0;
  ASSERT_EQ(n_->can_array(batch, &len), 0);
  ASSERT_EQ(len, 1);
  EXPECT_EQ(canbus::to_string(batch[0]), "185#34127915");

  // The device boots again: the mapping is read again.
  script_mapping(*dev);
  log_.clear();
  deliver("705#00");
  read_mapping(false);
  expect_script_kept(*dev);
}

TEST_F(ProcessData, ShortPdoUpdatesNothingIsCountedAndLoggedOncePerRun) {
  map_in_code();
  ASSERT_EQ(n_->name_object(0x6000, 1, "SPEED"), korvel::kFailed);  // the property exists already
  deliver("185#0201");
  EXPECT_EQ(value(0x6000, 1), "258");
  for (const char* f : {"185#FF", "185#", "185#FF"}) deliver(f);
  EXPECT_EQ(value(0x6000, 1), "258");
  EXPECT_EQ(n_->short_pdos(), 3u);
  EXPECT_EQ(log_.count("of 1 bytes, its mapping needs 2"), 1);
  deliver("185#030405");  // longer than the mapping is fine
  EXPECT_EQ(value(0x6000, 1), "1027");
  deliver("185#FF");
  EXPECT_EQ(log_.count("of 1 bytes, its mapping needs 2"), 2);
}

TEST_F(ProcessData, NamedObjectsAndAWriteThatSendsTheWholeRpdo) {
  ASSERT_EQ(n_->name_object(0x6300, 1, "TORQUE"), korvel::kOk);
  map_in_code();
  D_fct* torque = n_->process_property(0x6300, 1);
  ASSERT_NE(torque, nullptr);
  EXPECT_EQ(torque->basename(), "DEV.TORQUE");
  EqData in, out;
  in.set(-2);
  EXPECT_EQ(torque->set(nullptr, &in, &out, nullptr), 0);
  in.set_double(7.6);  // rounded into the byte
  EXPECT_EQ(n_->process_property(0x6200, 1)->set(nullptr, &in, &out, nullptr), 0);
  EXPECT_EQ(sent_by_master(), (std::vector<std::string>{"205#00FEFF", "205#08FEFF"}));
  EXPECT_EQ(value(0x6300, 1), "-2");
}

TEST_F(ProcessData, ObjectNoPdoCarriesIsDownloadedAndTheAbortReachesTheWriter) {
  map_in_code();
  ASSERT_EQ(n_->name_object(0x2000, 1, "LIMIT", 16), korvel::kOk);
  auto dev = std::make_shared<ScriptedDevice>();
  dev->on("605#2B00200134120000", {"585#6000200100000000"})
      .on("605#2B00200135120000", {"585#8000200102000106"});
  ntcan_sim::attach(0, dev);
  D_fct* limit = n_->process_property(0x2000, 1);
  ASSERT_NE(limit, nullptr);
  EqData in, out;
  in.set(0x1234);
  EXPECT_EQ(limit->set(nullptr, &in, &out, nullptr), korvel::kOk);
  EXPECT_EQ(value(0x2000, 1), "4660");
  in.set(0x1235);
  EXPECT_EQ(limit->set(nullptr, &in, &out, nullptr), korvel::kFailed);
  EXPECT_EQ(out.error(), korvel::kFailed);
  std::string error;
  EXPECT_EQ(n_->write_object(0x7000, 1, in, &error), korvel::kFailed);
  EXPECT_EQ(error, "no such object in the process data");
  EXPECT_TRUE(log_.contains("the device aborted: 0x06010002"));
  EXPECT_TRUE(dev->done());
}

TEST_F(ProcessData, SyncWithCounterOnTheVirtualClock) {
  ASSERT_EQ(n_->produce_sync(10, 1), NTCAN_INVALID_PARAMETER);  // 1 is a reserved overflow
  ASSERT_EQ(n_->produce_sync(10, 3), korvel::kOk);
  canline* line = n_->line();
  for (std::uint64_t k = 1; k <= 4; ++k) {
    g_ms += 10;
    while (line->syncs_sent() < k) std::this_thread::yield();
  }
  line->stop_sync();
  EXPECT_EQ(line->sync_period_ms(), 0);
  std::vector<std::string> syncs;
  for (const CMSG& m : ntcan_sim::bus_log(0)) {
    if (m.id == 0x080) syncs.push_back(canbus::to_string(m));
  }
  EXPECT_EQ(syncs, (std::vector<std::string>{"080#01", "080#02", "080#03", "080#01"}));
}

TEST_F(ProcessData, ObjectTurnsStaleAfterThreeMissedPeriodsAndFreshOnTheNextPdo) {
  map_in_code();
  deliver("185#0100");
  int error = -1;
  g_ms += 300;  // three event-timer periods: not yet
  can_looping();
  EXPECT_EQ(value(0x6000, 1, &error), "1");
  EXPECT_EQ(error, 0);
  g_ms += 1;
  can_looping();
  EXPECT_EQ(value(0x6000, 1, &error), "1");
  EXPECT_EQ(error, 110);
  EXPECT_EQ(n_->process_property(0x6000, 1)->d_error(), 110);
  deliver("185#0200");
  EXPECT_EQ(value(0x6000, 1, &error), "2");
  EXPECT_EQ(error, 0);
  // SYNC-driven: every 2nd SYNC of 10 ms, stale after 2 periods of 20 ms.
  ASSERT_EQ(n_->set_stale_periods(2), korvel::kOk);
  ASSERT_EQ(n_->set_process_data({{0x185, 2, 0, {{0x6000, 1, 16}}}}, {}), korvel::kOk);
  ASSERT_EQ(n_->line()->produce_sync(10), korvel::kOk);
  g_ms += 41;
  can_looping();
  EXPECT_EQ(n_->process_property(0x6000, 1)->d_error(), 110);
}

}  // namespace
