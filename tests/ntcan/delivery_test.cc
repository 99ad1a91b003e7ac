// Frames between handles: identifier filters, nets, receive queues.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "sim_fixture.h"

using canbus::frame;

class Delivery : public SimTest {};

TEST_F(Delivery, ReachesOtherHandlesThatEnabledTheId) {
  NTCAN_HANDLE a = open(0, {0x605});
  NTCAN_HANDLE b = open(0, {0x605});
  NTCAN_HANDLE c = open(0, {0x606});
  NTCAN_HANDLE other_net = open(1, {0x605});

  send(a, {"605#4008100000000000", "606#01"});

  EXPECT_EQ(take(b), "605#4008100000000000\n");
  EXPECT_EQ(take(c), "606#01\n");
  EXPECT_EQ(take(a), "") << "the sender does not hear itself";
  EXPECT_EQ(take(other_net), "");
  EXPECT_EQ(log(0), "605#4008100000000000\n606#01\n");
  EXPECT_EQ(log(1), "");
}

TEST_F(Delivery, RemoteRequestsAreFilteredLikeData) {
  NTCAN_HANDLE master = open(0);
  NTCAN_HANDLE node = open(0, {0x705});
  send(master, {"705#R1", "706#R1"});
  EXPECT_EQ(take(node), "705#R1\n");
}

TEST_F(Delivery, StandardAndExtendedIdsAreKeptApart) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x123});
  send(tx, {"00000123#01", "123#02"});
  EXPECT_EQ(take(rx), "123#02\n");

  EXPECT_EQ(canIdAdd(rx, 0x123 | NTCAN_20B_BASE), NTCAN_SUCCESS);
  EXPECT_EQ(canIdDelete(rx, 0x123), NTCAN_SUCCESS);
  send(tx, {"00000123#03", "123#04"});
  EXPECT_EQ(take(rx), "00000123#03\n");
}

TEST_F(Delivery, IdAddAndDeleteReportState) {
  NTCAN_HANDLE h = open(0);
  EXPECT_EQ(canIdAdd(h, 0x585), NTCAN_SUCCESS);
  EXPECT_EQ(canIdAdd(h, 0x585), NTCAN_ID_ALREADY_ENABLED);
  EXPECT_EQ(canIdDelete(h, 0x585), NTCAN_SUCCESS);
  EXPECT_EQ(canIdDelete(h, 0x585), NTCAN_ID_NOT_ENABLED);
  EXPECT_EQ(canIdDelete(h, 0x586), NTCAN_ID_NOT_ENABLED);

  EXPECT_EQ(canIdAdd(h, 0x1FFFFFFF | NTCAN_20B_BASE), NTCAN_SUCCESS);
  EXPECT_EQ(canIdAdd(h, 0x1FFFFFFF | NTCAN_20B_BASE), NTCAN_ID_ALREADY_ENABLED);
  EXPECT_EQ(canIdDelete(h, 0x1FFFFFFF | NTCAN_20B_BASE), NTCAN_SUCCESS);
  EXPECT_EQ(canIdDelete(h, 0x1FFFFFFF | NTCAN_20B_BASE), NTCAN_ID_NOT_ENABLED);

  for (std::int32_t bad : {0x800, -1, 0x40000000, static_cast<std::int32_t>(0x80000000u)}) {
    EXPECT_EQ(canIdAdd(h, bad), NTCAN_INVALID_PARAMETER) << std::hex << bad;
    EXPECT_EQ(canIdDelete(h, bad), NTCAN_INVALID_PARAMETER) << std::hex << bad;
  }
}

TEST_F(Delivery, FilterAppliesAtArrivalNotAtRead) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x181});
  send(tx, {"181#01", "182#02"});
  EXPECT_EQ(canIdAdd(rx, 0x182), NTCAN_SUCCESS);     // too late for 182#02
  EXPECT_EQ(canIdDelete(rx, 0x181), NTCAN_SUCCESS);  // 181#01 had already arrived
  EXPECT_EQ(take(rx), "181#01\n");
}

TEST_F(Delivery, ReadReturnsAtMostTheCapacityInOrder) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x100, 0x101, 0x102}, 64, 1000);
  send(tx, {"100#00", "101#01", "102#02"});
  EXPECT_EQ(ntcan_test::queued(rx), 3);

  CMSG buf[2];
  std::int32_t n = 2;
  ASSERT_EQ(canRead(rx, buf, &n, nullptr), NTCAN_SUCCESS);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(canbus::to_string(std::vector<CMSG>(buf, buf + n)), "100#00\n101#01\n");
  EXPECT_EQ(take(rx), "102#02\n");
}

TEST_F(Delivery, ReadTimesOutAndTakeDoesNotWait) {
  expect_read_times_out_and_take_returns_none(open(0, {0x100}, 8, 3));
}

TEST_F(Delivery, FullQueueKeepsOldFramesAndCountsLoss) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x180}, 3);
  send(tx, {"180#01", "180#02", "180#03", "180#04", "180#05"});
  EXPECT_EQ(ntcan_test::queued(rx), 3);

  std::vector<CMSG> got = take_frames(rx);
  EXPECT_EQ(canbus::to_string(got), "180#01\n180#02\n180#03\n");
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].msg_lost, 2);
  EXPECT_EQ(got[1].msg_lost, 0);
  EXPECT_EQ(got[2].msg_lost, 0);

  send(tx, {"180#06"});
  got = take_frames(rx);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].msg_lost, 0) << "the count restarts once reported";
}

TEST_F(Delivery, LossCountSaturatesAt255) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x180}, 1);
  std::vector<CMSG> burst(300, frame("180#AA"));
  std::int32_t n = 300;
  ASSERT_EQ(canSend(tx, burst.data(), &n), NTCAN_SUCCESS);
  std::vector<CMSG> got = take_frames(rx);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].msg_lost, 255);
}

TEST_F(Delivery, WaitingReaderGetsFrameFromAnotherThread) {
  NTCAN_HANDLE tx = open(0);
  NTCAN_HANDLE rx = open(0, {0x701}, 8, kLongerThanTheTestTimeout);
  CMSG got{};
  int status = -1;
  std::thread reader([&] {
    std::int32_t n = 1;
    status = canRead(rx, &got, &n, nullptr);
  });
  send(tx, {"701#05"});
  reader.join();
  EXPECT_EQ(status, NTCAN_SUCCESS);
  EXPECT_EQ(canbus::to_string(got), "701#05");
}

TEST_F(Delivery, ConcurrentSendersAllArriveInTheirOwnOrder) {
  constexpr int kSenders = 4;
  constexpr int kFrames = 200;
  NTCAN_HANDLE rx =
      open(0, {0x200, 0x201, 0x202, 0x203}, kSenders * kFrames, kLongerThanTheTestTimeout);
  std::vector<NTCAN_HANDLE> tx;
  for (int s = 0; s < kSenders; ++s) tx.push_back(open(0));

  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < kFrames; ++i) {
        CMSG m{};
        m.id = 0x200 + s;
        m.len = 1;
        m.data[0] = static_cast<std::uint8_t>(i);
        std::int32_t n = 1;
        canSend(tx[static_cast<std::size_t>(s)], &m, &n);
        CAN_IF_STATUS st;
        canStatus(tx[static_cast<std::size_t>(s)], &st);
      }
    });
  }
  int next[kSenders] = {};
  int total = 0;
  while (total < kSenders * kFrames) {
    CMSG buf[16];
    std::int32_t n = 16;
    int status = canRead(rx, buf, &n, nullptr);
    EXPECT_EQ(status, NTCAN_SUCCESS);
    if (status != NTCAN_SUCCESS) break;
    for (int i = 0; i < n; ++i) {
      int s = buf[i].id - 0x200;
      EXPECT_EQ(buf[i].data[0], static_cast<std::uint8_t>(next[s]++));
      EXPECT_EQ(buf[i].msg_lost, 0);
    }
    total += n;
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ntcan_test::queued(rx), 0);
}

TEST_F(Delivery, ClosingOrLosingTheNetReleasesAWaitingReader) {
  NTCAN_HANDLE closing = open(0, {0x701}, 8, kLongerThanTheTestTimeout);
  NTCAN_HANDLE on_net_1 = open(1, {0x701}, 8, kLongerThanTheTestTimeout);
  int closed_status = -1;
  int down_status = -1;
  std::thread a([&] {
    CMSG m;
    std::int32_t n = 1;
    closed_status = canRead(closing, &m, &n, nullptr);
  });
  std::thread b([&] {
    CMSG m;
    std::int32_t n = 1;
    down_status = canRead(on_net_1, &m, &n, nullptr);
  });
  EXPECT_EQ(canClose(closing), NTCAN_SUCCESS);
  ntcan_test::set_net_down(1, true);
  a.join();
  b.join();
  // Closed before or while the reader waited.
  EXPECT_TRUE(closed_status == NTCAN_OPERATION_ABORTED || closed_status == NTCAN_INVALID_HANDLE)
      << closed_status;
  EXPECT_EQ(down_status, NTCAN_SOCK_CMD_TIMEOUT);
}

// Many handles on many nets, each with its own identifiers and some shared: every queue holds
// exactly the frames of its identifiers, in order, and nothing else.
TEST_F(Delivery, AFrameReachesExactlyTheHandlesThatEnabledItOnEveryNet) {
  constexpr int kNets = 4;
  constexpr int kHandles = 30;
  std::vector<std::vector<NTCAN_HANDLE>> rx(kNets);
  for (int net = 0; net < kNets; ++net) {
    for (int k = 1; k <= kHandles; ++k) {
      // 0x180 + k is this handle's alone; 0x700 + k is shared with the handle after it.
      rx[net].push_back(open(net, {0x180 + k, 0x700 + k, 0x700 + k - 1}, 64));
    }
  }
  for (int net = 0; net < kNets; ++net) {
    for (int k = 0; k <= kHandles + 1; ++k) {
      char text[3][16];
      std::snprintf(text[0], sizeof text[0], "%03X#%02X", 0x180 + k, net);
      std::snprintf(text[1], sizeof text[1], "%03X#%02X", 0x700 + k, net);
      std::snprintf(text[2], sizeof text[2], "%03X#%02X", 0x280 + k, net);  // nobody's
      for (const char* t : text) ntcan_sim::inject(net, frame(t));
    }
  }
  for (int net = 0; net < kNets; ++net) {
    for (int k = 1; k <= kHandles; ++k) {
      const NTCAN_HANDLE h = rx[net][static_cast<std::size_t>(k - 1)];
      char want[64];
      std::snprintf(want, sizeof want, "%03X#%02X\n%03X#%02X\n%03X#%02X\n", 0x700 + k - 1, net,
                    0x180 + k, net, 0x700 + k, net);
      EXPECT_EQ(ntcan_test::queued(h), 3) << "net " << net << " handle " << k;
      EXPECT_EQ(take(h), want) << "net " << net << " handle " << k;
    }
  }
}

// Identifiers switched on and off while another thread puts frames on the bus and a third
// reads: only switched-on identifiers arrive, each in its order (run under TSan too).
TEST_F(Delivery, IdentifiersChangeWhileFramesArrive) {
  constexpr int kIds = 8;
  constexpr int kRounds = 300;
  NTCAN_HANDLE rx = open(0, {}, 4096);
  std::atomic<bool> stop{false};
  std::atomic<bool> toggled{false};
  std::thread traffic([&] {
    std::uint32_t seq[kIds] = {};
    while (!stop.load()) {
      for (int i = 0; i < kIds; ++i) {
        CMSG m{};
        m.id = 0x300 + i;
        m.len = 4;
        std::memcpy(m.data, &seq[i], 4);
        ++seq[i];
        ntcan_sim::inject(0, m);
      }
    }
  });
  std::thread toggler([&] {
    for (int r = 0; r < kRounds; ++r) {
      const std::int32_t id = 0x300 + r % kIds;
      EXPECT_EQ(canIdAdd(rx, id), NTCAN_SUCCESS);
      EXPECT_EQ(canIdDelete(rx, id), NTCAN_SUCCESS);
    }
    EXPECT_EQ(canIdAdd(rx, 0x300), NTCAN_SUCCESS);  // stays on
    toggled = true;
  });
  std::int64_t last[kIds];
  std::fill(last, last + kIds, -1);
  int strays = 0;
  int out_of_order = 0;
  int after_toggling = 0;
  // Reads until 0x300 was heard twice after the toggling ended.
  while (after_toggling < 2) {
    const bool was_toggled = toggled.load();
    CMSG buf[64];
    std::int32_t n = 64;
    ASSERT_EQ(canTake(rx, buf, &n), NTCAN_SUCCESS);
    for (int i = 0; i < n; ++i) {
      const int k = buf[i].id - 0x300;
      if (k < 0 || k >= kIds || buf[i].len != 4) {
        ++strays;
        continue;
      }
      std::uint32_t seq;
      std::memcpy(&seq, buf[i].data, 4);
      if (static_cast<std::int64_t>(seq) <= last[k]) ++out_of_order;
      last[k] = seq;
      if (k == 0 && was_toggled) ++after_toggling;
    }
  }
  stop = true;
  traffic.join();
  toggler.join();
  EXPECT_EQ(strays, 0);
  EXPECT_EQ(out_of_order, 0);
}
