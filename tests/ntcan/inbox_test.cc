// A handle's receive queue: bounded, loss counted, storage that follows need.
#include "inbox.h"

#include <gtest/gtest.h>

#include <vector>

#include "canbus/frame_text.h"

using ntcan_driver::Inbox;
using ntcan_driver::kMaxQueueFrames;

TEST(Inbox, AStalledReaderGetsItsFramesAndTheMemoryComesBackAfterwards) {
  Inbox inbox(100000);  // more than any queue may hold
  const CMSG m = canbus::frame("181#0102030405060708");
  for (std::size_t i = 0; i < kMaxQueueFrames + 10; ++i) inbox.put(m);
  EXPECT_EQ(inbox.size(), kMaxQueueFrames);
  EXPECT_GE(inbox.allocated(), kMaxQueueFrames);

  std::vector<CMSG> out(1000);
  std::size_t taken = 0;
  int first_lost = -1;
  while (int n = inbox.take(out.data(), static_cast<int>(out.size()))) {
    if (first_lost < 0) first_lost = out[0].msg_lost;
    taken += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(taken, kMaxQueueFrames);
  EXPECT_EQ(first_lost, 10);
  EXPECT_LE(inbox.allocated(), 128u) << "a drained queue gives its storage back";

  inbox.put(m);  // and works on as before
  EXPECT_EQ(inbox.take(out.data(), 1), 1);
  EXPECT_EQ(out[0].msg_lost, 0);
}

TEST(Inbox, AClosedInboxTakesNothingAndNoWaitOnItBlocks) {
  Inbox inbox(8);
  inbox.put(canbus::frame("181#01"));
  inbox.close();
  EXPECT_EQ(inbox.size(), 0u);
  inbox.put(canbus::frame("181#04"));
  EXPECT_EQ(inbox.size(), 0u);
  inbox.wait_for(std::chrono::hours(1));  // returns at once once closed
}
