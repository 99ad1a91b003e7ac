// Process data of the CANopen component: mapped values in the bits of PDOs (frames in can-utils
// notation), the mapping rules, process values as numbers, and SYNC with its counter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "canbus/frame_text.h"
#include "canopen/data_type.h"
#include "canopen/pdo.h"
#include "canopen/sync.h"

namespace co = korvel::canopen;
using co::MapEntry;
using co::MappingProblem;
using Kind = co::ValueType::Kind;

namespace {

co::PdoLayout layout_of(const std::vector<MapEntry>& entries,
                        const std::vector<co::ValueType>& types = {}) {
  co::PdoLayout l;
  EXPECT_EQ(co::PdoLayout::make(entries, types, l), MappingProblem::kNone);
  return l;
}

// The PDO a layout packs from raw values, in notation on identifier 0x181.
std::string packed(const co::PdoLayout& l, const std::vector<std::uint64_t>& raw) {
  CMSG m{};
  m.id = 0x181;
  m.len = static_cast<std::uint8_t>(l.pack(raw.data(), m.data));
  return canbus::to_string(m);
}

std::vector<std::uint64_t> unpacked(const co::PdoLayout& l, const std::string& frame) {
  const CMSG m = canbus::frame(frame);
  std::vector<std::uint64_t> raw(l.slots().size(), 0xDEAD);
  EXPECT_TRUE(l.unpack(m.data, m.len, raw.data())) << frame;
  return raw;
}

std::string text(const co::Frame& f) {
  CMSG m{};
  m.id = f.cob_id;
  m.len = f.len;
  std::memcpy(m.data, f.data.data(), f.len);
  return canbus::to_string(m);
}

}  // namespace

// A BOOLEAN, a 3-bit field, a signed 12-bit field across bytes 0-1, an UNSIGNED16 and a REAL32:
// 64 bits, each least significant bit first.
TEST(PdoLayout, MixedMappingUnpacksBitExactAndPacksBack) {
  const co::PdoLayout l = layout_of(
      {{0x6000, 1, 1}, {0x6000, 2, 3}, {0x6000, 3, 12}, {0x6000, 4, 16}, {0x6000, 5, 32}},
      {{Kind::kBoolean, 1}, {Kind::kUnsigned, 3}, {Kind::kSigned, 12}, {}, {Kind::kReal, 32}});
  ASSERT_EQ(l.bits(), 64u);
  EXPECT_EQ(l.slots()[2].offset, 4u);
  EXPECT_EQ(l.slots()[3].type, (co::ValueType{Kind::kUnsigned, 16})) << "type of its length";

  const std::string pdo = "181#DBFF34120000C03F";
  const std::vector<std::uint64_t> raw = unpacked(l, pdo);
  EXPECT_EQ(raw, (std::vector<std::uint64_t>{1, 5, 0xFFD, 0x1234, 0x3FC00000}));
  const auto& s = l.slots();
  EXPECT_EQ(co::to_int64(s[0].type, raw[0]), 1);
  EXPECT_EQ(co::to_int64(s[1].type, raw[1]), 5);
  EXPECT_EQ(co::to_int64(s[2].type, raw[2]), -3);
  EXPECT_EQ(co::to_double(s[2].type, raw[2]), -3.0);
  EXPECT_EQ(co::to_int64(s[3].type, raw[3]), 0x1234);
  EXPECT_EQ(co::to_double(s[4].type, raw[4]), 1.5);
  EXPECT_EQ(packed(l, raw), pdo);
}

TEST(PdoLayout, SixtyFourBitTypesAndDummyEntries) {
  const co::PdoLayout i64 = layout_of({{0x6001, 0, 64}}, {{Kind::kSigned, 64}});
  const std::uint64_t minus_two = unpacked(i64, "181#FEFFFFFFFFFFFFFF")[0];
  EXPECT_EQ(co::to_int64(i64.slots()[0].type, minus_two), -2);
  const co::PdoLayout r64 = layout_of({{0x6002, 0, 64}}, {{Kind::kReal, 64}});
  EXPECT_EQ(co::to_double(r64.slots()[0].type, unpacked(r64, "181#000000000000D0BF")[0]), -0.25);
  EXPECT_EQ(packed(r64, {0x3FF0000000000000}), "181#000000000000F03F");  // 1.0

  // A dummy UNSIGNED8 keeps byte 1 free; what it carries is read but belongs to no object.
  const co::PdoLayout d = layout_of({{0x2000, 1, 8}, {0x0005, 0, 8}, {0x2000, 2, 8}});
  EXPECT_TRUE(d.slots()[1].entry.dummy());
  EXPECT_FALSE(d.slots()[0].entry.dummy());
  EXPECT_EQ(unpacked(d, "181#11FF22"), (std::vector<std::uint64_t>{0x11, 0xFF, 0x22}));
  EXPECT_EQ(packed(d, {0x11, 0, 0x22}), "181#110022");
  // A REAL of another length reads as the unsigned number of its bits.
  EXPECT_EQ(layout_of({{0x2000, 3, 16}}, {{Kind::kReal, 16}}).slots()[0].type,
            (co::ValueType{Kind::kUnsigned, 16}));
}

TEST(PdoLayout, ShortPdoIsRefusedLongerOneUnpacks) {
  const co::PdoLayout l = layout_of({{0x2000, 1, 4}, {0x2000, 2, 8}});  // 12 bits: 2 bytes
  ASSERT_EQ(l.bytes(), 2u);
  std::vector<std::uint64_t> raw{7, 7};
  const CMSG one = canbus::frame("181#AB");
  EXPECT_FALSE(l.unpack(one.data, one.len, raw.data()));
  EXPECT_EQ(raw, (std::vector<std::uint64_t>{7, 7})) << "nothing written";
  EXPECT_FALSE(l.unpack(nullptr, 0, raw.data()));
  EXPECT_EQ(unpacked(l, "181#ABCDEF0102030405"), (std::vector<std::uint64_t>{0xB, 0xDA}));
  EXPECT_EQ(packed(l, {0xFB, 0x1DA}), "181#AB0D") << "values cut to their slots";
  // No write past the eighth byte, whatever a caller asks.
  std::uint8_t b[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0x55};
  co::put_bits(b, 60, 16, ~std::uint64_t{0});
  EXPECT_EQ(b[7], 0xF0);
  EXPECT_EQ(b[8], 0x55);
  EXPECT_EQ(co::get_bits(b, 8, 0, 200), 0xF000000000000000u);
}

TEST(PdoMapping, EntriesAndTheProblemsThatRefuseThem) {
  EXPECT_EQ(co::decode_map_entry(0x60000108), (MapEntry{0x6000, 1, 8}));
  EXPECT_EQ(co::encode_map_entry({0x2001, 0x12, 32}), 0x20011220u);

  const std::vector<MapEntry> full(64, MapEntry{0x2000, 1, 1});
  EXPECT_EQ(co::check_mapping(full), MappingProblem::kNone);
  std::vector<MapEntry> many = full;
  many.push_back({0x2000, 1, 1});
  EXPECT_EQ(co::check_mapping(many), MappingProblem::kTooManyEntries);
  EXPECT_EQ(co::check_mapping({{0x2000, 1, 32}, {0x2000, 2, 32}, {0x2000, 3, 1}}),
            MappingProblem::kTooLong);
  EXPECT_EQ(co::check_mapping({{0x2000, 1, 0}}), MappingProblem::kZeroLength);
  EXPECT_EQ(co::check_mapping({{0x2000, 1, 8}, {0, 0, 8}}), MappingProblem::kIndexZero);
  EXPECT_STREQ(co::mapping_problem_text(MappingProblem::kTooLong), "more than 64 bits in all");

  co::PdoLayout kept = layout_of({{0x2000, 1, 8}});
  EXPECT_EQ(co::PdoLayout::make({{0x2000, 1, 200}}, {}, kept), MappingProblem::kTooLong);
  EXPECT_EQ(kept.bits(), 8u) << "a refused mapping leaves the layout";
}

TEST(ProcessValue, NumbersAreClampedToTheirTypes) {
  std::uint64_t raw = 1;
  EXPECT_TRUE(co::from_double({Kind::kUnsigned, 8}, 300, raw));
  EXPECT_EQ(raw, 0xFFu);
  EXPECT_TRUE(co::from_double({Kind::kUnsigned, 8}, -1, raw));
  EXPECT_EQ(raw, 0u);
  EXPECT_TRUE(co::from_double({Kind::kSigned, 12}, 5000, raw));
  EXPECT_EQ(raw, 0x7FFu);
  EXPECT_TRUE(co::from_double({Kind::kSigned, 12}, -2.6, raw));
  EXPECT_EQ(raw, 0xFFDu);
  EXPECT_TRUE(co::from_double({Kind::kSigned, 64}, 1e300, raw));
  EXPECT_EQ(raw, 0x7FFFFFFFFFFFFFFFu);
  EXPECT_TRUE(co::from_double({Kind::kReal, 32}, 1e300, raw));
  EXPECT_EQ(raw, 0x7F800000u) << "too large for a float: infinite";
  EXPECT_FALSE(co::from_double({Kind::kUnsigned, 8}, std::nan(""), raw));
  EXPECT_EQ(co::from_int64({Kind::kSigned, 8}, -200), 0x80u);
  EXPECT_EQ(co::from_int64({Kind::kUnsigned, 16}, 70000), 0xFFFFu);
  EXPECT_EQ(co::from_int64({Kind::kBoolean, 1}, -5), 1u);

  // A REAL read as an integer: NaN and values beyond int64 are defined.
  EXPECT_EQ(co::to_int64({Kind::kReal, 64}, 0x7FF8000000000000), 0);
  EXPECT_EQ(co::to_int64({Kind::kReal, 64}, 0x7FF0000000000000),
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(co::to_int64({Kind::kReal, 32}, 0xC0200000), -2) << "-2.5 toward zero";

  co::ValueType t;
  EXPECT_FALSE(co::value_type_of(co::DataType::kVisibleString, t));
  ASSERT_TRUE(co::value_type_of(co::DataType::kInteger24, t));
  EXPECT_EQ(t, (co::ValueType{Kind::kSigned, 24}));
  EXPECT_STREQ(co::value_type_name({Kind::kSigned, 12}), "INTEGER12");
  EXPECT_STREQ(co::data_type_name(0x0011), "REAL64");
  EXPECT_EQ(co::default_value_type(1), (co::ValueType{Kind::kBoolean, 1}));
}

TEST(Sync, FramesAndCounterOverflow) {
  EXPECT_EQ(text(co::sync_frame(0)), "080#");
  EXPECT_EQ(text(co::sync_frame(3)), "080#03");
  std::vector<int> counters;
  std::uint8_t c = 0;
  for (int i = 0; i < 5; ++i) counters.push_back(c = co::next_sync_counter(c, 3));
  EXPECT_EQ(counters, (std::vector<int>{1, 2, 3, 1, 2}));
  EXPECT_EQ(co::next_sync_counter(240, 240), 1);
  EXPECT_EQ(co::next_sync_counter(5, co::kSyncCounterOff), 0);
  EXPECT_TRUE(co::valid_sync_overflow(240));
  EXPECT_FALSE(co::valid_sync_overflow(1));
  EXPECT_FALSE(co::valid_sync_overflow(241));
}
