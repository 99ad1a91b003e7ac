// A node's description file: the setting kept in the configuration file, a DCF written into the
// device frame by frame (also by a device that refuses an entry), names from the file, and a
// file with problems that leaves the node as it is without one.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "support/korvel_fixture.h"
#include "support/scripted_device.h"

namespace {

std::atomic<std::int64_t> g_ms{1000};
std::int64_t virtual_ms() { return g_ms.load(); }

// One VAR section of a description file.
std::string var(const std::string& head, const std::string& name, const char* type,
                const std::string& access, const std::string& more) {
  return "[" + head + "]\nParameterName=" + name + "\nObjectType=0x7\nDataType=" + type +
         "\nAccessType=" + access + "\n" + more + "\n";
}

// A DCF of node 5: TPDO1 moved to 0x285, event-driven every 100 ms, with the motor's speed
// (UNSIGNED16) and temperature (INTEGER16).
std::string dcf() {
  return "[DeviceComissioning]\nNodeID=5\n[OptionalObjects]\nSupportedObjects=4\n1=0x1800\n"
         "2=0x1A00\n3=0x6000\n4=0x6001\n"
         "[1800]\nParameterName=TPDO1 communication\nObjectType=0x9\nSubNumber=4\n" +
         var("1800sub0", "Highest sub-index supported", "0x0005", "const", "DefaultValue=5") +
         var("1800sub1", "COB-ID", "0x0007", "rw",
             "DefaultValue=$NODEID+0x180\nParameterValue=$NODEID+0x280") +
         var("1800sub2", "Transmission type", "0x0005", "rw", "ParameterValue=254") +
         var("1800sub5", "Event timer", "0x0006", "rw", "ParameterValue=100") +
         "[1A00]\nParameterName=TPDO1 mapping\nObjectType=0x9\nSubNumber=3\n" +
         var("1A00sub0", "Number of mapped objects", "0x0005", "rw", "ParameterValue=2") +
         var("1A00sub1", "Mapped object 1", "0x0007", "rw", "ParameterValue=0x60000010") +
         var("1A00sub2", "Mapped object 2", "0x0007", "rw", "ParameterValue=0x60010010") +
         var("6000", "Motor speed", "0x0006", "ro", "PDOMapping=1") +
         var("6001", "Motor temperature", "0x0003", "ro", "PDOMapping=1");
}

class DeviceFile : public KorvelTest {
 protected:
  void SetUp() override {
    KorvelTest::SetUp();
    korvel::set_millisecond_source(virtual_ms);
    dev_ = std::make_shared<ScriptedDevice>();
    ntcan_sim::attach(0, dev_);
  }
  // Node DEV (line 1, node-ID 5) from a configuration file that names `file` beside it; started,
  // and the worker through with it.
  D_can& start(const std::string& file) {
    write_file("loc.conf", "DEV: \t1  5  0  0\nDEV.DEVICE_FILE: " + file + "\n");
    D_can& n = node("DEV", {});
    loc_.set_config_file(dir_ + "/loc.conf");
    EXPECT_EQ(loc_.load_config(), 0);
    EXPECT_EQ(n.init(0x705), 0);
    EXPECT_EQ(n.AddIdent(0x285), 0);
    while (n.process_data_pending()) std::this_thread::yield();
    return n;
  }
  // The downloads of the DCF's TPDO1 in order, each confirmed, up to (without) the one that
  // `refused` names, which the device aborts with 0x06040041.
  void script_configuration(const std::string& refused = "") {
    for (const char* w :
         {"2300180185020080", "2F001A0000000000", "23001A0110000060", "23001A0210000160",
          "2F001A0002000000", "2F001802FE000000", "2B00180564000000", "2300180185020000"}) {
      const std::string head = std::string(w).substr(2, 6);
      if (refused == w) {
        dev_->on(std::string("605#") + w, {"585#80" + head + "41000406"});
        return;
      }
      dev_->on(std::string("605#") + w, {"585#60" + head + "00000000"});
    }
  }
  // The uploads of the read-back: TPDO1 (only its COB-ID when the device left it disabled), the
  // other PDOs not valid; then the NMT start.
  void script_read_back(bool tpdo1_valid) {
    dev_->on("605#4000180100000000",
             {tpdo1_valid ? "585#4300180185020000" : "585#4300180185020080"});
    if (tpdo1_valid) {
      dev_->on("605#4000180200000000", {"585#4F001802FE000000"})
          .on("605#4000180500000000", {"585#4B00180564000000"})
          .on("605#40001A0000000000", {"585#4F001A0002000000"})
          .on("605#40001A0100000000", {"585#43001A0110000060"})
          .on("605#40001A0200000000", {"585#43001A0210000160"});
    }
    for (const char* pdo : {"0118", "0218", "0318", "0014", "0114", "0214", "0314"})
      dev_->on(std::string("605#40") + pdo + "0100000000",
               {std::string("585#43") + pdo + "0100000080"});
    dev_->on("000#0105", {});
  }
  // The device boots again and takes the whole configuration; returns once the worker is
  // through with the node.
  void boot_with_whole_configuration(D_can& n) {
    script_configuration();
    script_read_back(true);
    ntcan_sim::inject(0, canbus::frame("705#00"));
    can_looping();
    while (n.process_data_pending()) std::this_thread::yield();
  }
  std::string value(D_can& n, int index, int sub) {
    D_fct* p = n.process_property(index, sub);
    EqData out;
    if (p) p->get(nullptr, nullptr, &out, nullptr);
    return p ? p->basename() + "=" + out.get_string() : "none";
  }
  std::shared_ptr<ScriptedDevice> dev_;
};

TEST_F(DeviceFile, DcfIsWrittenInOrderReadBackAndTheDeviceStartedWithNamesFromTheFile) {
  write_file("dev.dcf", dcf());
  script_configuration();
  script_read_back(true);
  D_can& n = start("dev.dcf");
  EXPECT_TRUE(dev_->done() && dev_->unexpected().empty());
  EXPECT_TRUE(log_.contains("DEV: 1 PDO of " + dir_ + "/dev.dcf written"));

  ntcan_sim::inject(0, canbus::frame("285#3412FEFF"));
  can_looping();
  EXPECT_EQ(value(n, 0x6000, 0), "DEV.MOTOR_SPEED=4660");
  EXPECT_EQ(value(n, 0x6001, 0), "DEV.MOTOR_TEMPERATURE=-2");  // INTEGER16 from the file
  int index = 0, sub = -1;
  EXPECT_EQ(n.find_object("motor_Temperature", &index, &sub), korvel::kOk);
  EXPECT_EQ(index, 0x6001);
  EXPECT_EQ(sub, 0);
  EXPECT_EQ(n.find_object("TPDO1_MAPPING", &index, &sub), korvel::kFailed);  // a whole record

  // The setting goes back into the configuration file as it was given.
  ASSERT_EQ(loc_.save_config(), 0);
  std::ifstream in(dir_ + "/loc.conf");
  const std::string conf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(conf.find("DEV.DEVICE_FILE: dev.dcf\n"), std::string::npos) << conf;
}

TEST_F(DeviceFile, RefusedEntryIsLoggedByNameShownInTheConditionAndTheDeviceMappingKept) {
  write_file("dev.dcf", dcf());
  script_configuration("23001A0210000160");
  script_read_back(false);
  D_can& n = start("dev.dcf");
  EXPECT_TRUE(dev_->done() && dev_->unexpected().empty());
  EXPECT_TRUE(
      log_.contains("DEV: TPDO1 0x1A00 sub 2 (0x60010010 MOTOR_TEMPERATURE) refused: "
                    "0x06040041 object cannot be mapped to the PDO"));
  EXPECT_TRUE(log_.contains("DEV: process data of 0 transmit and 0 receive PDOs"));
  EXPECT_EQ(n.process_property(0x6000, 0), nullptr);
  // The note stays beside the state the device reports.
  KorvelTestPeer::alive(n)->set_value(5);
  EXPECT_EQ(read_text(n, ".CONDITION"), "Operational; configuration: 1 write refused");

  // The device boots again and takes the whole configuration: the note goes.
  boot_with_whole_configuration(n);
  EXPECT_TRUE(dev_->done());
  EXPECT_EQ(read_text(n, ".CONDITION"), "Operational");
}

TEST_F(DeviceFile, FileWithProblemsIsNotUsedAndTheNodeRunsAsWithoutOne) {
  write_file("bad.eds", "[DeviceInfo]\nno key here\n");
  D_can& n = start("bad.eds");
  EXPECT_TRUE(log_.contains("DEV: " + dir_ + "/bad.eds:2: "));
  EXPECT_TRUE(dev_->unexpected().empty());  // nothing sent: no SDO, no NMT start
  KorvelTestPeer::alive(n)->set_value(5);
  EXPECT_EQ(read_text(n, ".CONDITION"), "Operational; description file not used: 1 problem");

  // Mended on disk, the file is read again at the next boot-up and configures the device.
  write_file("bad.eds", dcf());
  boot_with_whole_configuration(n);
  EXPECT_TRUE(dev_->done());
  EXPECT_EQ(read_text(n, ".CONDITION"), "Operational");
}

}  // namespace
