// The library over a driver it was not built with.
#include <gtest/gtest.h>

#include "D_korvel.h"
#include "tiny_driver.h"
#include "vexil/vexil_host.h"

TEST(DriverBoundary, NodeWorksOverAnyDriverWithTheNineFunctions) {
  vexil::VirtualClock& clock = vexil::VirtualClock::install();
  (void)clock;
  vexil::LogCapture log;
  EqFct loc("EDGE");
  D_can node("N1", &loc);
  IIII id{1, 5, 0, 0};
  node.set_value(&id);

  ASSERT_EQ(node.init(0x705), 0);
  EXPECT_EQ(node.start_node(), 0);
  CMSG answer{};
  answer.id = 0x705;
  answer.len = 1;
  answer.data[0] = 0x05;
  tiny::push_rx(answer);
  can_looping();
  CMSG batch[100];
  int n = 0;
  ASSERT_EQ(node.can_array(batch, &n), 0);
  ASSERT_EQ(n, 1);
  auto* alive = dynamic_cast<D_Alive*>(loc.find_property("N1.ALIVE"));
  ASSERT_NE(alive, nullptr);
  EXPECT_EQ(alive->check_alive(5, batch, &n), 100);

  const tiny::Record r = tiny::snapshot();
  EXPECT_EQ(r.opened, 1);
  EXPECT_EQ(r.baud, 6u);
  EXPECT_EQ(r.ids, std::vector<int32_t>{0x705});
  ASSERT_EQ(r.sent.size(), 1u);
  EXPECT_EQ(r.sent[0].id, 0);
  EXPECT_EQ(r.sent[0].data[0], 0x01);
  EXPECT_EQ(r.sent[0].data[1], 5);
}
