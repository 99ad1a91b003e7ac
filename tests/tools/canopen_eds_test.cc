// korvel_canopen_eds: the report of a sound and of a faulty file, and the exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "canopen_eds/eds_report.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int status = 0;
  std::string out;
  std::string err;
};

std::string read_all(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  return text;
}

Result run(std::vector<std::string> args) {
  args.insert(args.begin(), "korvel_canopen_eds");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Result r;
  r.status = canopen_eds::run(static_cast<int>(argv.size()), argv.data(), "9.9", out, err);
  r.out = read_all(out);
  r.err = read_all(err);
  return r;
}

std::string write(const std::string& name, const std::string& text) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

const char kDcf[] = R"([DeviceInfo]
VendorName=Pumps & Co
ProductName=P1
[DeviceComissioning]
NodeID=5
[OptionalObjects]
SupportedObjects=4
1=0x1800
2=0x1A00
3=0x6000
4=0x6001
[1800]
ParameterName=TPDO1 communication
ObjectType=0x9
[1800sub1]
ParameterName=COB-ID
DataType=0x0007
AccessType=rw
DefaultValue=$NODEID+0x180
[1800sub5]
ParameterName=Event timer
DataType=0x0006
AccessType=rw
ParameterValue=250
[1A00]
ParameterName=TPDO1 mapping
ObjectType=0x9
[1A00sub0]
ParameterName=Number of entries
DataType=0x0005
AccessType=rw
DefaultValue=2
[1A00sub1]
ParameterName=Entry 1
DataType=0x0007
AccessType=rw
DefaultValue=0x60000010
[1A00sub2]
ParameterName=Entry 2
DataType=0x0007
AccessType=rw
DefaultValue=0x60010020
[6000]
ParameterName=Speed
DataType=0x0006
AccessType=ro
PDOMapping=1
DefaultValue=1500
[6001]
ParameterName=Power
DataType=0x0007
AccessType=ro
PDOMapping=1
)";

TEST(CanopenEds, PrintsObjectsAndPdosOfASoundFileAndExitsZero) {
  const Result r = run({"--node-id", "7", write("good.dcf", kDcf)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(r.out, HasSubstr("  vendor:   Pumps & Co (0x00000000)\n"));
  EXPECT_THAT(r.out, HasSubstr("  commissioning: node-ID 5,"));
  EXPECT_THAT(r.out,
              HasSubstr("\n  0x6000  0    Speed                SPEED                UNSIGNED16"
                        "  ro      yes  1500\n"));
  EXPECT_THAT(r.out,
              HasSubstr("\n  TPDO1  0x187   255   250 ms       DCF     0x6000sub0 SPEED 16 bits\n"
                        "                                            0x6001sub0 POWER 32 bits\n"));
}

TEST(CanopenEds, ReportsProblemsWithTheirLinesAndExitsOne) {
  std::string bad = kDcf;
  bad.replace(bad.find("0x60010020"), 10, "0x60010030");
  const Result r = run({write("good.dcf", kDcf), write("bad.eds", bad), "/nonexistent.eds"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("bad.eds:42: TPDO1 entry 2 (0x6001sub0, 48 bits) does not match "
                               "the size of Power, UNSIGNED32 of 32 bits\n"));
  EXPECT_THAT(r.err, HasSubstr("/nonexistent.eds: cannot be read"));
  EXPECT_THAT(r.err, Not(HasSubstr("good.dcf")));
}

TEST(CanopenEds, FollowsTheCommandLineConventions) {
  EXPECT_EQ(run({"--version"}).out, "korvel_canopen_eds 9.9\n");
  EXPECT_THAT(run({"--help"}).out, HasSubstr("Usage: korvel_canopen_eds"));
  EXPECT_EQ(run({}).status, 2);
  EXPECT_EQ(run({"--node-id", "128", "x.eds"}).status, 2);
  EXPECT_EQ(run({"--bogus", "x.eds"}).status, 2);
}

}  // namespace
