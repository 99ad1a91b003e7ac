// Polling stays safe while other threads start, change, close and destroy nodes (run it under
// ThreadSanitizer to see the races it would find).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/korvel_fixture.h"

TEST_F(KorvelTest, PollingStaysSafeWhileNodesComeAndGo) {
  node("FIRST", {1, 1, 0, 0});  // creates the shared debug selector up front
  std::atomic<bool> stop{false};
  std::atomic<int> polls{0};
  std::thread poller([&] {
    while (!stop) {
      can_looping();
      ++polls;
    }
  });

  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) {
    workers.emplace_back([this, w] {
      clock_->make_timekeeper();
      CMSG batch[100];
      for (int i = 0; i < 30; ++i) {
        auto n = std::make_unique<D_can>("W" + std::to_string(w) + "_" + std::to_string(i), &loc_);
        KorvelTestPeer::ident(*n) = {1 + i % 3, 10 + w, 0, 0};
        n->init(0x180 + 10 + w);
        auto twin =
            std::make_unique<D_can>("T" + std::to_string(w) + "_" + std::to_string(i), &loc_);
        KorvelTestPeer::ident(*twin) = *n->value();
        twin->init(0x180 + 10 + w);  // passive on n
        int len = 0;
        n->can_array(batch, &len);
        IIII moved{1 + (i + 1) % 3, 20 + w, 0, 0};
        n->set_value(&moved);
        n->init(0x190 + w);
        if (i % 2) n->can_close();
        twin->can_close();
      }
    });
  }
  for (auto& t : workers) t.join();
  stop = true;
  poller.join();
  EXPECT_GT(polls.load(), 0);
  EXPECT_TRUE(korvel_polled_nodes().empty());
}
