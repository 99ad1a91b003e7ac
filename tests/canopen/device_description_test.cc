// Reading EDS and DCF texts: syntax, numbers, objects, keys, PDO settings and the checks, each
// on a small file written here.
#include "canopen/device_description.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace korvel::canopen;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// "line: text" of each problem that is no warning.
std::vector<std::string> errors(const DeviceDescription& d) {
  std::vector<std::string> out;
  for (const Problem& p : d.problems()) {
    if (!p.warning) out.push_back(std::to_string(p.line) + ": " + p.text);
  }
  return out;
}

std::uint64_t bits(const ObjectEntry* e, DataType t, std::uint8_t node = 0) {
  std::uint64_t raw = 0;
  EXPECT_TRUE(e && value_bits(e->value(), t, node, raw));
  return raw;
}

// A device with a speed to send and a set-point to take; the PDO objects follow in each test.
const std::string kDevice = R"([DeviceInfo]
VendorName=Pumps & Co
VendorNumber=0x42
ProductName=P1
BaudRate_500=1
BaudRate_125=1
[6000]
ParameterName=Motor speed
DataType=0x0006
AccessType=ro
PDOMapping=1
[6001]
ParameterName=Set point
DataType=0x0003
AccessType=rww
PDOMapping=1
[6002]
ParameterName=Mode
DataType=0x0005
AccessType=rw
)";

TEST(DeviceDescription, ReadsSectionsAndKeysInAnyCaseWithCommentsCrLfAndNoFinalNewline) {
  auto d = DeviceDescription::parse(
      "; a comment\r\n[deviceinfo]\r\nvendorname = Acme ; trailing comment\r\n"
      "PRODUCTNUMBER=0x10\r\n\r\n[1000]\r\nparametername=Device type\r\nDATATYPE=7\r\n"
      "accesstype=RO\r\ndefaultvalue=0x191",
      "dev.eds");
  EXPECT_THAT(errors(d), ElementsAre());
  EXPECT_EQ(d.device_info().vendor_name, "Acme");
  EXPECT_EQ(d.device_info().product_number, 0x10u);
  const ObjectEntry* e = d.find(0x1000, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->name, "Device type");
  EXPECT_EQ(e->access, Access::kRo);
  EXPECT_EQ(e->default_value.text, "0x191");
  EXPECT_EQ(e->line, 6u);
  EXPECT_EQ(bits(e, DataType::kUnsigned32), 0x191u);

  auto bad = DeviceDescription::parse("x=1\n[DeviceInfo]\nnothing here\n[1000\n", "bad.eds");
  EXPECT_THAT(errors(bad), ElementsAre("1: key x outside of any section",
                                       "3: a line that is neither a section, a key=value nor a "
                                       "comment",
                                       "4: a section line that is not \"[name]\""));
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(to_string(bad.problems()[0]), "bad.eds:1: key x outside of any section");
}

TEST(DeviceDescription, ReadsNumbersInEveryNotationWithTheNodeIdAndChecksTheirRange) {
  auto d = DeviceDescription::parse(kDevice + R"([2000]
ParameterName=Values
ObjectType=0x9
SubNumber=9
[2000sub1]
ParameterName=Octal
DataType=0x0006
AccessType=rw
DefaultValue=010
[2000sub2]
ParameterName=Negative
DataType=0x0002
AccessType=rw
DefaultValue=-128
[2000sub3]
ParameterName=COB
DataType=0x0007
AccessType=rw
DefaultValue=$nodeid + 0x180
[2000sub4]
ParameterName=COB2
DataType=0x0007
AccessType=rw
DefaultValue=0x200+$NODEID
[2000sub5]
ParameterName=Gain
DataType=0x0008
AccessType=rw
DefaultValue=-1.5e1
HighLimit=100
[2000sub6]
ParameterName=Text
DataType=0x0009
AccessType=ro
DefaultValue= 0x12 and more
[2000sub7]
ParameterName=Pattern
DataType=0x0003
AccessType=rw
DefaultValue=0xFFFF
[2000sub8]
ParameterName=Too big
DataType=0x0005
AccessType=rw
DefaultValue=300
LowLimit=-1
[2000sub9]
ParameterName=Empty
DataType=0x0005
AccessType=rw
DefaultValue=
)",
                                    "n.eds");
  EXPECT_EQ(bits(d.find(0x2000, 1), DataType::kUnsigned16), 8u);
  EXPECT_EQ(bits(d.find(0x2000, 2), DataType::kInteger8), 0x80u);
  EXPECT_EQ(bits(d.find(0x2000, 3), DataType::kUnsigned32, 5), 0x185u);
  EXPECT_EQ(bits(d.find(0x2000, 4), DataType::kUnsigned32, 127), 0x27Fu);
  EXPECT_EQ(bits(d.find(0x2000, 5), DataType::kReal32), 0xC1700000u);  // -15.0f
  EXPECT_EQ(bits(d.find(0x2000, 7), DataType::kInteger16), 0xFFFFu);
  EXPECT_EQ(d.find(0x2000, 6)->value().kind, FileValue::Kind::kText);
  EXPECT_EQ(d.find(0x2000, 6)->value().text, "0x12 and more");
  EXPECT_FALSE(d.find(0x2000, 9)->default_value.given());
  std::uint64_t raw = 0;
  EXPECT_FALSE(value_bits(d.find(0x2000, 2)->value(), DataType::kUnsigned8, 0, raw));
  EXPECT_THAT(errors(d),
              ElementsAre("65: DefaultValue \"300\" of 0x2000sub8 is out of the range of UNSIGNED8",
                          "66: LowLimit \"-1\" of 0x2000sub8 is out of the range of UNSIGNED8"));
}

TEST(DeviceDescription, CompactSubObjectsShareTheTypeAndTakeNamesAndValuesFromTheirSections) {
  auto d = DeviceDescription::parse(R"([1003]
ParameterName=Error field
ObjectType=0x8
DataType=0x0007
AccessType=ro
DefaultValue=0
CompactSubObj=3
[1003Name]
NrOfEntries=1
2=Last but one
[1003Value]
NrOfEntries=1
3=0x1234
)",
                                    "c.dcf");
  EXPECT_THAT(errors(d), ElementsAre());
  ASSERT_EQ(d.objects().size(), 5u);
  EXPECT_TRUE(d.objects()[0].is_parent());
  EXPECT_EQ(d.objects()[0].sub_number, 3u);
  const ObjectEntry* sub0 = d.find(0x1003, 0);
  EXPECT_EQ(sub0->data_type, static_cast<std::uint16_t>(DataType::kUnsigned8));
  EXPECT_EQ(bits(sub0, DataType::kUnsigned8), 3u);
  EXPECT_EQ(d.find(0x1003, 1)->name, "Error field 1");
  EXPECT_EQ(d.find(0x1003, 2)->name, "Last but one");
  EXPECT_EQ(d.find(0x1003, 2)->access, Access::kRo);
  EXPECT_EQ(bits(d.find(0x1003, 1), DataType::kUnsigned32), 0u);
  EXPECT_EQ(bits(d.find(0x1003, 3), DataType::kUnsigned32), 0x1234u);
  EXPECT_TRUE(d.is_dcf());
}

TEST(DeviceDescription, KeysAreUniqueAndFoundInAnyCase) {
  auto d = DeviceDescription::parse(
      R"([1018]
ParameterName=Identity
ObjectType=0x9
[1018sub0]
ParameterName=Highest sub-index supported
DataType=0x0005
AccessType=ro
[1018sub1]
ParameterName=Vendor-ID
DataType=0x0007
AccessType=ro
[1019]
ParameterName=Other
ObjectType=0x9
[1019sub0]
ParameterName=Highest sub-index supported
DataType=0x0005
AccessType=ro
[2000]
ParameterName=Other highest sub index supported
DataType=0x0005
AccessType=ro
[2001]
ParameterName=Vendor ID
DataType=0x0005
AccessType=ro
)"
      "[2002]\nParameterName=Drehzahl \xC3\x9C (1/min)\nDataType=5\nAccessType=ro\n",
      "k.eds");
  EXPECT_EQ(d.find(0x1018, 0)->key, "IDENTITY_HIGHEST_SUB_INDEX_SUPPORTED");
  EXPECT_EQ(d.find(0x1019, 0)->key, "OTHER_HIGHEST_SUB_INDEX_SUPPORTED_1019SUB0");
  EXPECT_EQ(d.find(0x1018, 1)->key, "IDENTITY_VENDOR_ID");
  EXPECT_EQ(d.find(0x2001, 0)->key, "VENDOR_ID");
  EXPECT_EQ(d.find(0x2002, 0)->name, "Drehzahl \xC3\x9C (1/min)");
  EXPECT_EQ(d.find("drehzahl_1_min"), d.find(0x2002, 0));
  EXPECT_EQ(d.find("identity")->kind, ObjectKind::kRecord);
  EXPECT_EQ(d.find("no such"), nullptr);
}

const std::string kPdos = R"([1400]
ParameterName=RPDO1 communication
ObjectType=0x9
[1400sub1]
ParameterName=COB-ID
DataType=0x0007
AccessType=rw
DefaultValue=$NODEID+0x200
[1600]
ParameterName=RPDO1 mapping
ObjectType=0x9
[1600sub0]
ParameterName=Number
DataType=0x0005
AccessType=rw
DefaultValue=1
[1600sub1]
ParameterName=Entry 1
DataType=0x0007
AccessType=rw
DefaultValue=0x60010010
[1800]
ParameterName=TPDO1 communication
ObjectType=0x9
[1800sub1]
ParameterName=COB-ID
DataType=0x0007
AccessType=rw
DefaultValue=$NODEID+0x180
[1800sub2]
ParameterName=Transmission type
DataType=0x0005
AccessType=rw
DefaultValue=255
[1800sub5]
ParameterName=Event timer
DataType=0x0006
AccessType=rw
DefaultValue=0
ParameterValue=100
[1A00]
ParameterName=TPDO1 mapping
ObjectType=0x9
[1A00sub0]
ParameterName=Number
DataType=0x0005
AccessType=rw
DefaultValue=1
ParameterValue=2
[1A00sub1]
ParameterName=Entry 1
DataType=0x0007
AccessType=rw
DefaultValue=0x60000010
[1A00sub2]
ParameterName=Entry 2
DataType=0x0007
AccessType=rw
ParameterValue=0x00050008
)";

TEST(DeviceDescription, ADcfSetsPdosOverTheDefaultsForItsNodeId) {
  auto d = DeviceDescription::parse(
      kDevice + kPdos + "[DeviceComissioning]\nNodeID=0x0A\nBaudrate=500\nNodeName=pump\n",
      "p.dcf");
  EXPECT_THAT(errors(d), ElementsAre());
  EXPECT_TRUE(d.is_dcf());
  EXPECT_EQ(d.commissioning().node_id, 10u);
  EXPECT_EQ(d.commissioning().baudrate_kbit, 500u);
  EXPECT_EQ(d.commissioning().node_name, "pump");
  EXPECT_THAT(d.device_info().baud_rates_kbit, ElementsAre(125u, 500u));
  auto pdos = d.pdo_settings(0);
  ASSERT_EQ(pdos.size(), 2u);
  EXPECT_EQ(pdos[0].direction, PdoDirection::kReceive);
  EXPECT_EQ(pdos[0].communication.cob_id_entry, 0x20Au);
  EXPECT_FALSE(pdos[0].configured);
  EXPECT_THAT(pdos[0].entries, ElementsAre(MapEntry{0x6001, 0, 16}));
  EXPECT_EQ(pdos[1].communication.cob_id_entry, 0x18Au);
  EXPECT_EQ(pdos[1].communication.event_timer, 100u);
  EXPECT_TRUE(pdos[1].configured);
  EXPECT_THAT(pdos[1].entries, ElementsAre(MapEntry{0x6000, 0, 16}, MapEntry{5, 0, 8}));
  EXPECT_EQ(d.pdo_settings(3)[1].communication.cob_id_entry, 0x183u);
}

TEST(DeviceDescription, ReportsEveryFaultOfAMappingWithTheLineOfTheEntry) {
  std::string pdos = kPdos;
  // RPDO1 maps the speed (read-only); TPDO1 gets a dummy [DummyUsage] forbids, an object that is
  // not mappable, one that does not exist, one of the wrong length and one too many bits.
  pdos.replace(pdos.find("0x60010010"), 10, "0x60000010");
  pdos.replace(pdos.find("ParameterValue=2"), 16, "ParameterValue=6");
  pdos += R"([1A00sub3]
ParameterName=Entry 3
DataType=0x0007
AccessType=rw
DefaultValue=0x60020008
[1A00sub4]
ParameterName=Entry 4
DataType=0x0007
AccessType=rw
DefaultValue=0x70000008
[1A00sub5]
ParameterName=Entry 5
DataType=0x0007
AccessType=rw
DefaultValue=0x60010020
[1A00sub6]
ParameterName=Entry 6
DataType=0x0007
AccessType=rw
DefaultValue=0x00070020
[DummyUsage]
Dummy0005=0
Dummy0007=1
)";
  auto d = DeviceDescription::parse(kDevice + pdos, "m.eds");
  EXPECT_THAT(
      errors(d),
      ElementsAre(
          "41: RPDO1 entry 1 (0x6000sub0, 16 bits): a receive PDO cannot write Motor speed (ro)",
          "69: mapping of TPDO1 is 104 bits long, more than 64",
          "79: TPDO1 entry 2 (0x0005sub0, 8 bits) is a dummy entry [DummyUsage] does not allow",
          "84: TPDO1 entry 3 (0x6002sub0, 8 bits): Mode may not be mapped (PDOMapping is not 1)",
          "89: TPDO1 entry 4 (0x7000sub0, 8 bits) names an object the file does not have",
          "94: TPDO1 entry 5 (0x6001sub0, 32 bits) does not match the size of Set point, "
          "INTEGER16 of 16 bits"));
}

TEST(DeviceDescription, ReportsBrokenObjectsAndListsWithTheirLines) {
  auto d = DeviceDescription::parse(R"([MandatoryObjects]
SupportedObjects=2
1=0x1000
2=0x1001
[1000]
ParameterName=Device type
DataType=0x0040
AccessType=read
SubNumber=300
[2000]
ParameterName=Unlisted
DataType=0x0005
AccessType=ro
[0020]
ParameterName=PDO communication structure
ObjectType=0x6
[0020sub1]
ParameterName=COB-ID
DataType=0x0007
)",
                                    "o.eds");
  EXPECT_THAT(errors(d),
              ElementsAre("4: object 0x1001 is listed but has no section [1001]",
                          "7: DataType 0x0040 of [1000] is no basic data type",
                          "8: AccessType \"read\" is none of ro, wo, rw, rwr, rww, const",
                          "9: SubNumber 300 is out of range (at most 255)"));
  bool unlisted_warned = false;
  for (const Problem& p : d.problems()) unlisted_warned |= p.warning && p.line == 10;
  EXPECT_TRUE(unlisted_warned);
}

TEST(DeviceDescription, HostileTextYieldsProblemsNotFaults) {
  std::string text = "[DeviceInfo]\nVendorName=" + std::string(1 << 20, 'x') + "\n";
  text += std::string(
      "[10\0"
      "00]\nA\0=1\n",
      13);
  text += "[DeviceInfo]\nVendorName=second\n[1000]\nParameterName=A\nParameterName=B\n";
  text += "DataType=7\nAccessType=ro\n[1000sub1]\nParameterName=C\n";
  text +=
      "[2000]\nParameterName=R\nObjectType=9\n[2000sub1]\nParameterName=X\nDataType=5\n"
      "AccessType=ro\n[2000sub01]\nParameterName=Y\nDataType=5\nAccessType=ro\n";
  auto d = DeviceDescription::parse(text, "h.eds");
  EXPECT_EQ(d.device_info().vendor_name.size(), 1u << 20);
  EXPECT_EQ(d.find(0x1000, 0)->name, "A");
  EXPECT_THAT(errors(d),
              ElementsAre("5: section [DeviceInfo] given again (first at line 1)",
                          "9: key ParameterName given again in [1000] (first at line 8)",
                          "12: subobject [1000sub1] of an object that is no ARRAY or RECORD",
                          "21: 0x2000sub1 given twice (first at line 17)"));
  EXPECT_EQ(d.find(0x2000, 1)->name, "X");
  EXPECT_THAT(errors(DeviceDescription::load("/nonexistent/x.eds")),
              ElementsAre(HasSubstr("0: cannot be read")));
}

}  // namespace
