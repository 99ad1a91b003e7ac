// A simulated device made from a device description file written here: it answers SDO with
// the file's values, refuses what the file's access types and PDOMapping flags forbid, sends
// the PDOs the file sets, and reports what it could not take.
#include "simdev/canopen_from_description.h"

#include <gtest/gtest.h>

#include "canbus/frame_text.h"

namespace co = korvel::canopen;

namespace {

// Sections of a small EDS; the object lists name every object section.
const char* const kObjects = R"([1008]
ParameterName=Manufacturer device name
ObjectType=0x7
DataType=0x0009
AccessType=const
DefaultValue=Pump

[1800]
ParameterName=TPDO communication parameter 1
ObjectType=0x9
SubNumber=3
[1800sub0]
ParameterName=Highest sub-index supported
DataType=0x0005
AccessType=const
DefaultValue=5
[1800sub1]
ParameterName=COB-ID
DataType=0x0007
AccessType=rw
DefaultValue=$NODEID+0x180
[1800sub5]
ParameterName=Event timer
DataType=0x0006
AccessType=rw
DefaultValue=100

[1A00]
ParameterName=TPDO mapping parameter 1
ObjectType=0x9
SubNumber=2
[1A00sub0]
ParameterName=Number of mapped objects
DataType=0x0005
AccessType=rw
DefaultValue=1
[1A00sub1]
ParameterName=Mapped object 1
DataType=0x0007
AccessType=rw
DefaultValue=0x60000010

[2000]
ParameterName=Limit
DataType=0x0006
AccessType=rw
DefaultValue=0x1234
PDOMapping=0

[2001]
ParameterName=Station
DataType=0x0007
AccessType=ro
DefaultValue=$NODEID+0x100

[6000]
ParameterName=Pressure
DataType=0x0003
AccessType=ro
DefaultValue=-2
PDOMapping=1
)";

const char* const kLists = R"([OptionalObjects]
SupportedObjects=4
1=0x1008
2=0x1800
3=0x1A00
4=0x6000
[ManufacturerObjects]
SupportedObjects=2
1=0x2000
2=0x2001
)";

class DeviceFromDescription : public ::testing::Test {
 protected:
  std::string feed(const char* text) {
    std::vector<simdev::TimedFrame> out;
    dev.on_frame(canbus::frame(text), 1000, out);
    dev.poll(1000, out);
    std::vector<CMSG> f;
    for (const auto& tf : out) f.push_back(tf.frame);
    return canbus::to_string(f);
  }

  simdev::canopen::Device dev{5};
};

}  // namespace

TEST_F(DeviceFromDescription, AnswersWithTheFilesValuesAndRefusesWhatItForbids) {
  const auto file = co::DeviceDescription::parse(std::string(kLists) + kObjects, "t.eds");
  ASSERT_TRUE(file.ok()) << (file.problems().empty() ? "" : co::to_string(file.problems()[0]));
  EXPECT_TRUE(simdev::canopen::configure(dev, file).empty());

  EXPECT_EQ(feed("605#4008100000000000"), "585#4308100050756D70\n") << "text as its bytes";
  EXPECT_EQ(feed("605#4000200000000000"), "585#4B00200034120000\n") << "UNSIGNED16";
  EXPECT_EQ(feed("605#4001200000000000"), "585#4301200005010000\n") << "$NODEID+0x100";
  EXPECT_EQ(feed("605#4000600000000000"), "585#4B006000FEFF0000\n") << "INTEGER16 -2";
  EXPECT_EQ(feed("605#4000180100000000"), "585#4300180185010000\n") << "COB-ID";
  EXPECT_EQ(feed("605#4000180500000000"), "585#4B00180564000000\n") << "event timer";

  EXPECT_EQ(feed("605#2B00200078560000"), "585#6000200000000000\n") << "rw";
  EXPECT_EQ(feed("605#2308100041424344"), "585#8008100002000106\n") << "const";
  EXPECT_EQ(feed("605#2B00600001000000"), "585#8000600002000106\n") << "ro";

  // The file's PDOMapping decides what a PDO may carry.
  feed("605#2300180185010080");
  feed("605#2F001A0000000000");
  EXPECT_EQ(feed("605#23001A0110000020"), "585#60001A0100000000\n");
  EXPECT_EQ(feed("605#2F001A0001000000"), "585#80001A0041000406\n") << "0x2000 PDOMapping=0";
  EXPECT_EQ(feed("605#23001A0110000060"), "585#60001A0100000000\n");
  EXPECT_EQ(feed("605#2F001A0001000000"), "585#60001A0000000000\n") << "0x6000 PDOMapping=1";
  feed("605#2300180185010000");
  EXPECT_EQ(feed("000#0105"), "185#FEFF\n") << "the file's PDO, sent on start";
}

TEST_F(DeviceFromDescription, ReportsWhatItCannotTakeWithTheFilesLines) {
  // TPDO 5 is beyond the device's four.
  const std::string extra = R"(
[1804]
ParameterName=TPDO communication parameter 5
ObjectType=0x9
SubNumber=1
[1804sub1]
ParameterName=COB-ID 5
DataType=0x0007
AccessType=rw
DefaultValue=0x80000480
)";
  const auto file =
      co::DeviceDescription::parse(std::string(kLists) + "5=0x1804\n" + kObjects + extra, "t.eds");
  const auto problems = simdev::canopen::configure(dev, file);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].file, "t.eds");
  EXPECT_NE(problems[0].line, 0u);
  EXPECT_NE(problems[0].text.find("TPDO5"), std::string::npos) << problems[0].text;
  EXPECT_NE(problems[0].text.find("0x06020000"), std::string::npos) << problems[0].text;
  EXPECT_EQ(feed("605#4000200000000000"), "585#4B00200034120000\n") << "the rest was taken";
}
