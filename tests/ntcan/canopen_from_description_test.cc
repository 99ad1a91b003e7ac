// A simulated device made from a device description file written here: it answers SDO with
// the file's values, refuses what the file's access types and PDOMapping flags forbid, sends
// the PDOs the file sets, and reports what it could not take.
#include "simdev/canopen_from_description.h"

#include <gtest/gtest.h>

#include "canbus/frame_text.h"

namespace co = korvel::canopen;

namespace {

// One section of a VAR (or subobject), named after its section.
std::string var(const std::string& section, const char* type, const char* access, const char* value,
                int mapping = 0) {
  return "[" + section + "]\nParameterName=" + section + "\nObjectType=0x7\nDataType=" + type +
         "\nAccessType=" + access + "\nDefaultValue=" + value +
         "\nPDOMapping=" + std::to_string(mapping) + "\n";
}
std::string record(const std::string& section, int subs) {
  return "[" + section + "]\nParameterName=" + section +
         "\nObjectType=0x9\nSubNumber=" + std::to_string(subs) + "\n";
}

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
  // TPDO 1 carries 0x6000; TPDO 5 is beyond the device's four.
  const std::string text =
      "[OptionalObjects]\nSupportedObjects=6\n1=0x1008\n2=0x1800\n3=0x1804\n4=0x1A00\n5=0x2000\n"
      "6=0x6000\n[ManufacturerObjects]\nSupportedObjects=1\n1=0x2001\n" +
      var("1008", "0x0009", "const", "Pump") + record("1800", 1) +
      var("1800sub1", "0x0007", "rw", "$NODEID+0x180") + record("1804", 1) +
      var("1804sub1", "0x0007", "rw", "0x80000480") + record("1A00", 2) +
      var("1A00sub0", "0x0005", "rw", "1") + var("1A00sub1", "0x0007", "rw", "0x60000010") +
      var("2000", "0x0006", "rw", "0x1234") + var("2001", "0x0007", "ro", "$NODEID+0x100") +
      var("6000", "0x0003", "ro", "-2", 1);
  const auto file = co::DeviceDescription::parse(text, "t.eds");
  ASSERT_TRUE(file.ok()) << (file.problems().empty() ? "" : co::to_string(file.problems()[0]));
  const auto problems = simdev::canopen::configure(dev, file);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(co::to_string(problems[0]).rfind("t.eds:", 0), 0u);
  EXPECT_NE(problems[0].line, 0u);
  EXPECT_NE(problems[0].text.find("TPDO5 not taken: 0x06020000"), std::string::npos);

  EXPECT_EQ(feed("605#4008100000000000"), "585#4308100050756D70\n") << "text as its bytes";
  EXPECT_EQ(feed("605#4000200000000000"), "585#4B00200034120000\n") << "UNSIGNED16";
  EXPECT_EQ(feed("605#4001200000000000"), "585#4301200005010000\n") << "$NODEID+0x100";
  EXPECT_EQ(feed("605#4000600000000000"), "585#4B006000FEFF0000\n") << "INTEGER16 -2";
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
