// Properties: base-class defaults, value buffer, data messages and the simple property types.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>

#include "vexil/vexil_host.h"

namespace {

std::uint32_t bits_of(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

TEST(PropertyBase, DefaultsAnswerNotSupportedAndDescribeThemselves) {
  EqFct loc("LOC");
  D_fct p("X.VALUE the value of x", &loc);
  EqData out;
  EXPECT_EQ(p.get(nullptr, nullptr, &out, &loc), ERR_NOT_SUPPORTED);
  EXPECT_EQ(out.error(), ERR_NOT_SUPPORTED);
  EXPECT_EQ(out.error_text(), get_error_string(ERR_NOT_SUPPORTED));
  EXPECT_STREQ(get_error_string(-12345), "unknown error");

  EXPECT_EQ(p.basename(), "X.VALUE");
  EXPECT_STREQ(p.comment(), "the value of x");
  D_fct bare("BARE", nullptr);
  EXPECT_STREQ(bare.comment(), "");
  EXPECT_EQ(bare.find_prop_name(), nullptr);

  std::ostringstream head;
  p.write(head);
  EXPECT_EQ(head.str(), "X.VALUE:");

  // The non-const data_type reaches a subclass's const override.
  D_iiii n("N", nullptr);
  D_fct& base = n;
  EXPECT_EQ(base.data_type(), DATA_IIII);
}

TEST(PropertyBase, MultiRowsCarryTheErrorMarker) {
  D_fct p("P", nullptr);
  EqData out;
  int index = 1;
  std::time_t stamp = 1234;
  p.get_multi(nullptr, nullptr, &out, &index, "P", &stamp);
  ASSERT_NE(out.get_row(1), nullptr);
  EXPECT_EQ(out.get_row(1)->i, 0);
  EXPECT_EQ(out.get_row(1)->tm, 1234);

  p.d_error(3);
  index = 2;
  p.get_multi(nullptr, nullptr, &out, &index, "P", &stamp);
  ASSERT_NE(out.get_row(2), nullptr);
  EXPECT_EQ(out.get_row(2)->i, 2147483647);
  EXPECT_EQ(bits_of(out.get_row(2)->f1), 0x7fc00000u);
  EXPECT_EQ(bits_of(out.get_row(2)->f2), 0x7fc00000u);
  EXPECT_EQ(out.get_row(2)->name, "P");
}

TEST(PropertyBase, ValueBufferSelectsByEventOrTimeAndDropsTheOldest) {
  D_fct p("P", nullptr);
  EqData in, out;
  in.set(1);
  EXPECT_EQ(p.set_buf_value(&in, 1, 10, 0), ERR_NO_BUFFER);
  EXPECT_EQ(p.get_buf_value(&out, 0, 0, 0), ERR_NO_BUFFER);

  p.set_nbuf(3);
  EXPECT_EQ(p.get_buf_value(&out, 0, 0, 0), ERR_NO_DATA);
  for (int k = 1; k <= 5; ++k) {
    in.set(k * 100);
    ASSERT_EQ(p.set_buf_value(&in, static_cast<vexil::EventId>(k), 10 + k, k), 0);
  }
  ASSERT_EQ(p.get_buf_value(&out, 0, 0, 0), 0);
  EXPECT_EQ(out.get_int(0), 500);
  ASSERT_EQ(p.get_buf_value(&out, 3, 0, 0), 0);
  EXPECT_EQ(out.get_int(0), 300);
  ASSERT_EQ(p.get_buf_value(&out, 0, 14, 4), 0);
  EXPECT_EQ(out.get_int(0), 400);
  EXPECT_EQ(p.get_buf_value(&out, 2, 0, 0), ERR_NO_DATA);  // dropped
  EXPECT_EQ(p.get_buf_value(&out, 0, 14, 5), ERR_NO_DATA);
}

TEST(PropertyBase, DataMessagesNeedSupportAndAHeader) {
  D_fct p("P", nullptr);
  dmsg_info info;
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(p.send_header(&info, 1), -1);
  p.dmsg_supported();
  EXPECT_EQ(p.send_data(bytes, 3, 0), -1);
  EXPECT_EQ(p.send_header(nullptr, 1), -1);
  EXPECT_EQ(p.send_header(&info, 2), 0);
  EXPECT_EQ(p.send_data(bytes, 3, 0), 0);
  EXPECT_EQ(p.send_data(bytes + 1, 2, 0), 0);
  EXPECT_EQ(info.headers, 2);
  EXPECT_EQ(info.data, (std::vector<std::uint8_t>{1, 2, 3, 2, 3}));
}

TEST(PropertyBase, StampsUseTheFrameworkClockAndChlogDefaultsApply) {
  vexil::VirtualClock& vc = vexil::VirtualClock::install();
  D_fct::set_default_chlog(2, true);
  D_fct p("P", nullptr);
  D_fct::set_default_chlog(0, false);
  D_fct q("Q", nullptr);
  EXPECT_EQ(p.chlog_level(), 2);
  EXPECT_TRUE(p.chlog_on());
  EXPECT_FALSE(q.chlog_on());
  const vexil::Timestamp t0 = vc.now();
  vc.advance(7);
  p.set_stamp(false);
  p.set_stamp(true);
  EXPECT_EQ(p.stamp(), t0 + 7);
  EXPECT_EQ(p.stamp_count(), 2);
}

TEST(SimpleProperties, IiiiTakesOnlyFourIntegers) {
  D_iiii p("P", nullptr);
  EqData in, out;
  IIII v{4, 3, 2, 1};
  in.set(&v);
  p.set(nullptr, &in, &out, nullptr);
  in.set(99);  // not IIII: ignored
  p.set(nullptr, &in, &out, nullptr);
  p.get(nullptr, nullptr, &out, nullptr);
  ASSERT_NE(out.get_iiii(), nullptr);
  EXPECT_EQ(out.get_iiii()->i1_data, 4);
  EXPECT_EQ(out.get_iiii()->i4_data, 1);
}

// The caller's 64-byte buffer sits between guard bytes that must never change.
TEST(SimpleProperties, StringNeverWritesPastA64ByteBuffer) {
  constexpr int kGuard = 16, kSize = 64;
  char mem[kGuard + kSize + kGuard];
  std::memset(mem, '#', sizeof mem);
  char* buf = mem + kGuard;
  D_string s("S", buf, kSize, nullptr);

  auto guards_intact = [&] {
    for (int k = 0; k < kGuard; ++k)
      if (mem[k] != '#' || mem[kGuard + kSize + k] != '#') return false;
    return true;
  };

  // Not yet terminated: the value ends at the buffer's end.
  EXPECT_EQ(s.value(), std::string(kSize, '#'));

  for (std::size_t len : {std::size_t{0}, std::size_t{62}, std::size_t{63}, std::size_t{64},
                          std::size_t{65}, std::size_t{500}}) {
    const std::string text(len, 'a');
    s.set_value(text);
    EXPECT_TRUE(guards_intact()) << len;
    EXPECT_EQ(s.value(), text.substr(0, kSize - 1)) << len;
    EXPECT_EQ(buf[std::min<std::size_t>(len, kSize - 1)], '\0') << len;
  }

  EqData in, out;
  in.set(std::string("client"));
  s.set(nullptr, &in, &out, nullptr);
  s.get(nullptr, nullptr, &out, nullptr);
  EXPECT_EQ(out.get_string(), "client");

  D_string none("N", nullptr, 64, nullptr);
  none.set_value("x");
  EXPECT_EQ(none.value(), "");
  D_string empty("E", buf, 0, nullptr);
  empty.set_value("x");
  EXPECT_EQ(buf[0], 'c');  // untouched
  D_string own("O", nullptr);
  own.set_value(std::string(500, 'b'));
  EXPECT_EQ(own.value().size(), 500u);
}

}  // namespace
