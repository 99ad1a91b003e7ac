// The can-utils frame notation used by every other test.
#include "canbus/frame_text.h"

#include <gtest/gtest.h>

#include <stdexcept>

using canbus::frame;
using canbus::to_string;

TEST(FrameText, ReadsFields) {
  CMSG m = frame("605#4008100000000000");
  EXPECT_EQ(m.id, 0x605);
  EXPECT_EQ(m.len, 8);
  EXPECT_EQ(m.data[0], 0x40);
  EXPECT_EQ(m.data[1], 0x08);
  EXPECT_EQ(m.data[2], 0x10);

  CMSG guard = frame("705#R1");
  EXPECT_EQ(guard.id, 0x705);
  EXPECT_EQ(guard.len, NTCAN_RTR | 1);

  CMSG ext = frame("1ABCDEF0#11");
  EXPECT_EQ(ext.id, 0x1ABCDEF0 | NTCAN_20B_BASE);
  EXPECT_EQ(ext.len, 1);
  EXPECT_EQ(ext.data[0], 0x11);

  EXPECT_EQ(frame("00000123#").id, 0x123 | NTCAN_20B_BASE);
  EXPECT_EQ(frame("123#").id, 0x123);
  EXPECT_EQ(frame("123#").len, 0);
}

TEST(FrameText, RoundTrips) {
  for (const char* text : {"605#4008100000000000", "000#", "7FF#0102", "705#R", "705#R1", "705#R8",
                           "1ABCDEF0#11", "00000000#", "1FFFFFFF#R"}) {
    EXPECT_EQ(to_string(frame(text)), text);
  }
  EXPECT_EQ(to_string(frame("5aa#abcd")), "5AA#ABCD");
  EXPECT_EQ(to_string(canbus::frames({"000#0105", "705#R1"})), "000#0105\n705#R1\n");
}

TEST(FrameText, RejectsBadText) {
  for (const char* text :
       {"", "605", "#00", "60#00", "6050#00", "800#00", "20000000#00", "1234567#00", "605#0",
        "605#GG", "60G#00", "605#001122334455667788", "605#R9", "605#RR", "605#R10"}) {
    EXPECT_THROW(frame(text), std::invalid_argument) << text;
  }
}
