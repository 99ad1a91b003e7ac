// EqData: conversions between value types and rows of multi-property answers.
#include "eq_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace {

TEST(EqDataConversions, IntegerViewsOfEveryType) {
  EqData d;
  EXPECT_EQ(d.length(), 0);
  EXPECT_EQ(d.get_int(0), 0);

  d.set(-17);
  EXPECT_EQ(d.type(), DATA_INT);
  EXPECT_EQ(d.length(), 1);
  EXPECT_EQ(d.get_int(0), -17);
  EXPECT_EQ(d.get_int(1), 0);
  EXPECT_EQ(d.get_iiii(), nullptr);

  IIII four{1, -2, 3, 400};
  d.set(&four);
  EXPECT_EQ(d.length(), 4);
  EXPECT_EQ(d.get_int(1), -2);
  EXPECT_EQ(d.get_int(3), 400);
  EXPECT_EQ(d.get_int(4), 0);
  EXPECT_EQ(d.get_int(-1), 0);
  ASSERT_NE(d.get_iiii(), nullptr);
  EXPECT_EQ(d.get_iiii()->i4_data, 400);

  d.set_long((std::int64_t{1} << 32) + 5);  // truncated to the low 32 bits
  EXPECT_EQ(d.type(), DATA_INT64);
  EXPECT_EQ(d.get_int(0), 5);
  EXPECT_EQ(d.get_long(0), (std::int64_t{1} << 32) + 5);
  d.set_long(-3);
  EXPECT_EQ(d.get_int(0), -3);

  d.set_long_array({7, -8, (std::int64_t{1} << 40) + 9});
  EXPECT_EQ(d.length(), 3);
  EXPECT_EQ(d.get_int(1), -8);
  EXPECT_EQ(d.get_int(2), 9);
  EXPECT_EQ(d.get_int(3), 0);
  EXPECT_EQ(d.get_string(), "7 -8 1099511627785");
}

TEST(EqDataConversions, TextIsReadAsStrtolDoes) {
  EqData d;
  d.set(std::string("  42abc"));
  EXPECT_EQ(d.type(), DATA_STRING);
  EXPECT_EQ(d.length(), 1);
  EXPECT_EQ(d.get_int(0), 42);
  d.set(std::string("-12"));
  EXPECT_EQ(d.get_int(0), -12);
  d.set(std::string("none"));
  EXPECT_EQ(d.get_int(0), 0);
  d.set(std::string("99999999999"));  // does not fit an int
  EXPECT_EQ(d.get_int(0), 0);
  EXPECT_EQ(d.get_long(0), 99999999999LL);
}

TEST(EqDataMulti, RowsGrowToTheHighestIndex) {
  EqData d;
  d.set(5);
  d.set(3, 1.5f, 2.5f, 1000, "B", 2);
  EXPECT_EQ(d.type(), DATA_MULTI);
  EXPECT_EQ(d.length(), 3);
  ASSERT_NE(d.get_row(0), nullptr);
  EXPECT_EQ(d.get_row(0)->name, "");
  EXPECT_EQ(d.get_row(2)->i, 3);
  EXPECT_EQ(d.get_row(2)->f2, 2.5f);
  EXPECT_EQ(d.get_row(2)->tm, 1000);
  EXPECT_EQ(d.get_row(3), nullptr);

  d.set(1, 0.0f, 0.0f, 0, "A", 0);   // fills a lower row, keeps the others
  d.set(9, 0.0f, 0.0f, 0, "X", -1);  // ignored
  EXPECT_EQ(d.length(), 3);
  EXPECT_EQ(d.get_row(0)->name, "A");
  EXPECT_EQ(d.get_row(2)->name, "B");

  d.set(8);
  EXPECT_EQ(d.get_row(0), nullptr);
  EXPECT_EQ(d.length(), 1);
}

TEST(EqDataConversions, FloatingAndUnsigned64BitValuesRoundClampAndReadBack) {
  EqData d;
  d.set_double(2.5);
  EXPECT_EQ(d.type(), DATA_DOUBLE);
  EXPECT_EQ(d.get_int(), 2);  // to the nearest, ties to even
  d.set_double(-1e300);
  EXPECT_EQ(d.get_long(), INT64_MIN);
  EXPECT_EQ(d.get_int(), INT32_MIN);
  EXPECT_EQ(d.get_ulong(), 0u);
  d.set_double(1e300);
  EXPECT_EQ(d.get_long(), INT64_MAX);
  EXPECT_EQ(d.get_ulong(), UINT64_MAX);
  d.set_double(std::nan(""));
  EXPECT_EQ(d.get_long(), 0);
  d.set_double(0.1);
  EXPECT_EQ(std::stod(d.get_string()), 0.1);  // the text reads back as the same value

  d.set_ulong(UINT64_MAX);
  EXPECT_EQ(d.type(), DATA_UINT64);
  EXPECT_EQ(d.get_string(), "18446744073709551615");
  EXPECT_EQ(d.get_long(), INT64_MAX);
  EXPECT_EQ(d.get_int(), -1);  // the low 32 bits, as other 64-bit values
  EXPECT_EQ(d.get_double(), 18446744073709551616.0);

  d.set(std::string("-5"));
  EXPECT_EQ(d.get_ulong(), 0u);  // no wrap-around of a negative text
  d.set(std::string("99999999999999999999"));
  EXPECT_EQ(d.get_ulong(), 0u);  // out of range
  d.set(std::string("1.5e3"));
  EXPECT_EQ(d.get_double(), 1500.0);
}

}  // namespace
