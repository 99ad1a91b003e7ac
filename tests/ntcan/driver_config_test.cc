// The driver configuration: which transport serves a net, and what a configuration that cannot
// be trusted does (the nets it names are refused, never silently simulated; other nets are
// untouched; the log names the file and line).
#include "driver_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "ntcan.h"
#include "ntcan/sim_bus.h"
#include "ntcan/test_controls.h"

namespace {

using ntcan_driver::DriverConfig;
using ntcan_driver::NetConfig;
using Kind = NetConfig::Kind;

DriverConfig parse(const std::string& text) {
  std::istringstream in(text);
  return ntcan_driver::parse_driver_config(in, "nets.conf");
}

Kind kind_of(const DriverConfig& c, int net) {
  const NetConfig* n = c.find(net);
  return n ? n->kind : Kind::kSim;
}

}  // namespace

TEST(DriverConfigFile, AMalformedLineRefusesItsNetAndNoOther) {
  const DriverConfig c = parse(
      "# net transport arguments\n"
      "0 socketcand 192.0.2.10 29536 can0\n"
      "1 socketcand 192.0.2.10 notaport can0   # port mistyped\n"
      "2 socketcan vcan0\n"
      "3 sockecan vcan1\n"
      "\n"
      "4 sim extra\n");
  EXPECT_EQ(kind_of(c, 0), Kind::kSocketcand);
  EXPECT_EQ(kind_of(c, 1), Kind::kRefused);
  EXPECT_EQ(kind_of(c, 2), Kind::kSocketcan);
  EXPECT_EQ(kind_of(c, 3), Kind::kRefused);
  EXPECT_EQ(kind_of(c, 4), Kind::kRefused);
  EXPECT_EQ(c.find(5), nullptr);  // not named: simulated
  EXPECT_EQ(c.find(1)->refusal, "nets.conf:3: port must be a number from 1 to 65535: 'notaport'");
  EXPECT_EQ(c.find(3)->refusal,
            "nets.conf:5: unknown transport 'sockecan' (sim, socketcand or socketcan)");
  EXPECT_EQ(c.find(4)->refusal, "nets.conf:7: sim takes no arguments");
  ASSERT_EQ(c.errors.size(), 3u);
  EXPECT_EQ(c.errors[0],
            "nets.conf:3: port must be a number from 1 to 65535: 'notaport' (net 1 is not opened)");
}

TEST(DriverConfigFile, ABadLineForANetWinsOverItsGoodLinesWhereverItStands) {
  const DriverConfig c = parse(
      "0 socketcan can0\n"
      "0 socketcan can1 can2\n"
      "1 socketcan can1 can2\n"
      "1 socketcan can1\n"
      "2 socketcan can0\n"
      "2 socketcan can3\n");
  EXPECT_EQ(kind_of(c, 0), Kind::kRefused);
  EXPECT_EQ(kind_of(c, 1), Kind::kRefused);
  ASSERT_EQ(kind_of(c, 2), Kind::kSocketcan);
  EXPECT_EQ(c.find(2)->ifname, "can3");  // of good lines, the later one counts
}

TEST(DriverConfigFile, ALineWithoutAReadableNetRefusesEveryNetWithoutAGoodLine) {
  const DriverConfig c = parse(
      "O socketcan can0   # a letter O\n"
      "1 socketcan can1\n"
      "300 sim\n");
  EXPECT_TRUE(c.refuse_unlisted);
  EXPECT_EQ(kind_of(c, 1), Kind::kSocketcan);
  for (int net : {0, 2, 255}) {
    SCOPED_TRACE(net);
    ASSERT_EQ(kind_of(c, net), Kind::kRefused);
    EXPECT_EQ(c.find(net)->refusal,
              "nets.conf:1: net must be a number from 0 to 255: 'O'");  // the first reason
  }
  EXPECT_EQ(c.errors.size(), 2u);
}

// Through the nine functions, with the configuration of the process: NTCAN_CONFIG is read
// again for each case, and what the driver writes to standard error is captured.
class DriverConfigLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvel-config-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ntcan_test::reset();
  }
  void TearDown() override {
    ntcan_test::reset();
    unsetenv("NTCAN_CONFIG");
    ::testing::internal::CaptureStderr();
    ntcan_driver::reload_driver_config();
    ::testing::internal::GetCapturedStderr();
    std::remove((dir_ + "/nets.conf").c_str());
    rmdir(dir_.c_str());
  }

  // Loads the configuration (nullptr: NTCAN_CONFIG unset); returns what the driver said.
  std::string load(const char* path) {
    if (path) {
      setenv("NTCAN_CONFIG", path, 1);
    } else {
      unsetenv("NTCAN_CONFIG");
    }
    ::testing::internal::CaptureStderr();
    ntcan_driver::reload_driver_config();
    ntcan_driver::driver_config();
    return ::testing::internal::GetCapturedStderr();
  }

  std::string write_config(const std::string& text) {
    const std::string path = dir_ + "/nets.conf";
    std::ofstream(path) << text;
    return path;
  }

  // canOpen's status on net; a handle that opened is closed again.
  static int open_status(int net) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    const int status = canOpen(net, 0, 16, 16, 100, 0, &h);
    if (status == NTCAN_SUCCESS) {
      EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
    } else {
      EXPECT_EQ(h, NTCAN_NO_HANDLE);
    }
    return status;
  }

  std::string dir_;
};

TEST_F(DriverConfigLoad, WithoutAFileEveryNetIsSimulatedAndTheDriverSaysSoOnce) {
  const std::string said = load(nullptr);
  EXPECT_EQ(said, "ntcan: NTCAN_CONFIG is not set: every net is a simulated in-process CAN bus\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(open_status(0), NTCAN_SUCCESS);
  EXPECT_EQ(open_status(255), NTCAN_SUCCESS);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // once, not per call
  EXPECT_TRUE(ntcan_sim::simulated(0));
}

TEST_F(DriverConfigLoad, AMalformedLineFailsCanOpenOnItsNetWithTheFileAndLineInTheLog) {
  const std::string path = write_config("0 sim\n1 socketcand 127.0.0.1 notaport can0\n");
  const std::string said = load(path.c_str());
  EXPECT_NE(said.find(path + ":2: port must be a number"), std::string::npos) << said;

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(open_status(1), ntcan_driver::kRefusedStatus);
  EXPECT_EQ(open_status(1), NTCAN_INVALID_DRIVER);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("ntcan: canOpen on net 1 refused: " + path + ":2: "), std::string::npos)
      << log;
  EXPECT_FALSE(ntcan_sim::simulated(1));
  // The nets around it are as they would be without the bad line.
  EXPECT_EQ(open_status(0), NTCAN_SUCCESS);
  EXPECT_EQ(open_status(2), NTCAN_SUCCESS);
  EXPECT_TRUE(ntcan_sim::simulated(2));
}

TEST_F(DriverConfigLoad, AnUnreadableFileOpensNoNet) {
  const std::string path = dir_ + "/missing.conf";
  const std::string said = load(path.c_str());
  EXPECT_NE(
      said.find(
          path +
          ": cannot read the driver configuration (No such file or directory): no net is opened"),
      std::string::npos)
      << said;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(open_status(0), ntcan_driver::kRefusedStatus);
  EXPECT_EQ(open_status(17), ntcan_driver::kRefusedStatus);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("refused: " + path + ": cannot read"),
            std::string::npos);
  EXPECT_FALSE(ntcan_sim::simulated(0));
}
