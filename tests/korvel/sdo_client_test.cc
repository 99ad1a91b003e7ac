// SDO read and write of any object (sdo_read / sdo_write), frame by frame against scripted and
// simulated devices: expedited and segmented transfers, every abort the client sends and
// receives, time-outs on the virtual service clock, the bound of a whole transfer, and transfers
// from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "simdev/canopen_device.h"
#include "support/korvel_fixture.h"
#include "support/scripted_device.h"

namespace {

constexpr int64_t kMs = 1000000LL;
using Bytes = std::vector<unsigned char>;
using Outcome = D_can::sdo_outcome;

class SdoClient : public KorvelTest {
 protected:
  void SetUp() override {
    KorvelTest::SetUp();
    n_ = &node("DEV", {1, 5, 0, 0});
    ASSERT_EQ(n_->init(0x705), 0);
  }
  std::shared_ptr<ScriptedDevice> script() {
    auto d = std::make_shared<ScriptedDevice>();
    ntcan_sim::attach(0, d);
    return d;
  }
  static std::vector<std::string> bus() {
    std::vector<std::string> out;
    for (const CMSG& m : ntcan_sim::bus_log(0)) out.push_back(canbus::to_string(m));
    return out;
  }
  // Reads index/sub into a buffer of `capacity` bytes; the bytes read land in *got.
  int read(int index, int sub, Bytes* got, int capacity = 64, Outcome* o = nullptr,
           int timeout_ms = 1000) {
    Bytes buf(static_cast<size_t>(capacity) + 1, 0xEE);  // one guard byte behind the capacity
    int size = -1;
    const int r = n_->sdo_read(index, sub, buf.data(), capacity, &size, o, timeout_ms);
    EXPECT_EQ(buf.back(), 0xEE) << "written past the capacity";
    got->assign(buf.begin(), buf.begin() + std::max(size, 0));
    return r;
  }
  int write(int index, int sub, const Bytes& data, Outcome* o = nullptr, int timeout_ms = 1000) {
    return n_->sdo_write(index, sub, data.data(), static_cast<int>(data.size()), o, timeout_ms);
  }
  D_can* n_ = nullptr;
};

}  // namespace

// ------------------------------------------------------------------ uploads

TEST_F(SdoClient, ExpeditedUploadsWithAndWithoutSizeAndShortReplies) {
  script()
      ->on("605#4000200000000000", {"585#4F00200011000000"})  // 1 byte
      .on("605#4001200000000000", {"585#4B01200011220000"})   // 2 bytes
      .on("605#4002200000000000", {"585#4702200011223300"})   // 3 bytes
      .on("605#4003200000000000", {"585#4303200011223344"})   // 4 bytes
      .on("605#4004200000000000", {"585#4204200011223344"})   // size not indicated: all 4
      .on("605#4005200000000000", {"585#4F05200011"})         // 1 byte in a 5-byte reply
      .on("605#4006200000000000", {"585#42062000AABB"});      // no size, 6-byte reply: 2 bytes
  Bytes got;
  EXPECT_EQ(read(0x2000, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x11}));
  EXPECT_EQ(read(0x2001, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x11, 0x22}));
  EXPECT_EQ(read(0x2002, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(read(0x2003, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(read(0x2004, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(read(0x2005, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x11}));
  EXPECT_EQ(read(0x2006, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0xAA, 0xBB}));
  EXPECT_EQ(bus().size(), 14u);  // two frames per expedited transfer, nothing else
}

TEST_F(SdoClient, SegmentedUploadWithSizeIndicated) {
  script()
      ->on("605#4018100400000000", {"585#4118100410000000"})  // 16 bytes announced
      .on("605#6000000000000000", {"585#0030313233343536"})
      .on("605#7000000000000000", {"585#1037383941424344"})
      .on("605#6000000000000000", {"585#0B45460000000000"});  // n = 5: 2 bytes, last
  Bytes got;
  EXPECT_EQ(read(0x1018, 4, &got), 0);
  EXPECT_EQ(std::string(got.begin(), got.end()), "0123456789ABCDEF");
  EXPECT_EQ(bus(), (std::vector<std::string>{"605#4018100400000000", "585#4118100410000000",
                                             "605#6000000000000000", "585#0030313233343536",
                                             "605#7000000000000000", "585#1037383941424344",
                                             "605#6000000000000000", "585#0B45460000000000"}));
}

TEST_F(SdoClient, SegmentedUploadWithoutSizeAndWithShortSegments) {
  script()
      ->on("605#4008100000000000", {"585#4008100000000000"})  // segmented, no size
      .on("605#6000000000000000", {"585#0041424344454647"})
      .on("605#7000000000000000", {"585#1B4849"});  // n = 5, last: 2 bytes in a 3-byte frame
  Bytes got;
  EXPECT_EQ(read(0x1008, 0, &got), 0);
  EXPECT_EQ(std::string(got.begin(), got.end()), "ABCDEFGHI");
}

TEST_F(SdoClient, ObjectOfExactlyTheCapacityFitsAndEmptyObjectReadsZeroBytes) {
  script()
      ->on("605#4000300000000000", {"585#4100300007000000"})
      .on("605#6000000000000000", {"585#0101020304050607"})
      .on("605#4001300000000000", {"585#4101300000000000"})
      .on("605#6000000000000000", {"585#0F00000000000000"});  // n = 7: no data, last
  Bytes got;
  EXPECT_EQ(read(0x3000, 0, &got, 7), 0);
  EXPECT_EQ(got, (Bytes{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(read(0x3001, 0, &got, 0), 0);
  EXPECT_TRUE(got.empty());
}

TEST_F(SdoClient, RealDeviceServesTheIdentityObjects) {
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->set_identity("Pump controller PC-7", "HW-1", "SW-2");
  dev->set_u32(0x1018, 1, 0x0000ABCD);
  ntcan_sim::attach(0, dev);
  Bytes got;
  EXPECT_EQ(read(0x1008, 0, &got), 0);
  EXPECT_EQ(std::string(got.begin(), got.end()), "Pump controller PC-7");
  EXPECT_EQ(read(0x1018, 1, &got), 0);
  EXPECT_EQ(got, (Bytes{0xCD, 0xAB, 0x00, 0x00}));
  Outcome o;
  EXPECT_EQ(read(0x1234, 0, &got, 64, &o), -1);
  EXPECT_EQ(o.abort_code, 0x06020000u);
  EXPECT_TRUE(o.by_device);
}

// ------------------------------------------------------------------ downloads

TEST_F(SdoClient, ExpeditedDownloadsOfOneToFourBytes) {
  script()
      ->on("605#2F00200011000000", {"585#6000200000000000"})
      .on("605#2B00200011220000", {"585#6000200000000000"})
      .on("605#2700200011223300", {"585#6000200000000000"})
      .on("605#2317100011223344", {"585#60171000"});  // a short confirmation is enough
  EXPECT_EQ(write(0x2000, 0, {0x11}), 0);
  EXPECT_EQ(write(0x2000, 0, {0x11, 0x22}), 0);
  EXPECT_EQ(write(0x2000, 0, {0x11, 0x22, 0x33}), 0);
  EXPECT_EQ(write(0x1017, 0, {0x11, 0x22, 0x33, 0x44}), 0);
  EXPECT_EQ(bus().size(), 8u);
}

TEST_F(SdoClient, SegmentedDownloadOfTwentyBytesWithToggles) {
  const std::string value = "ABCDEFGHIJKLMNOPQRST";
  auto s = script();
  s->on("605#2100200114000000", {"585#6000200100000000"})
      .on("605#0041424344454647", {"585#2000000000000000"})
      .on("605#1048494A4B4C4D4E", {"585#3000000000000000"})
      .on("605#034F505152535400", {"585#2000000000000000"});  // 6 bytes: n = 1, last
  EXPECT_EQ(write(0x2000, 1, Bytes(value.begin(), value.end())), 0);
  EXPECT_TRUE(s->done());
  EXPECT_TRUE(s->unexpected().empty());
  EXPECT_EQ(bus().size(), 8u);
}

TEST_F(SdoClient, RealDeviceTakesDownloadsIntoWritableObjectsOnly) {
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->set_identity("NAME", "HW", "SW");
  dev->set_text(0x2100, 0, "", simdev::canopen::Access::kReadWrite);
  ntcan_sim::attach(0, dev);
  const std::string text = "twenty bytes of text";
  EXPECT_EQ(write(0x2100, 0, Bytes(text.begin(), text.end())), 0);
  Bytes got;
  EXPECT_EQ(read(0x2100, 0, &got), 0);
  EXPECT_EQ(std::string(got.begin(), got.end()), text);
  Outcome o;
  EXPECT_EQ(write(0x1008, 0, {'X'}, &o), -1);
  EXPECT_EQ(o.abort_code, 0x06010002u);  // read-only
  EXPECT_TRUE(o.by_device);
  EXPECT_EQ(write(0x2200, 0, {1, 2, 3}, &o), -1);
  EXPECT_EQ(o.abort_code, 0x06020000u);  // no such object
  EXPECT_TRUE(o.by_device);
}

// ------------------------------------------------------------------ aborts the client sends

TEST_F(SdoClient, ToggleErrorsAreAbortedInBothDirections) {
  script()
      ->on("605#4008100000000000", {"585#4108100014000000"})
      .on("605#6000000000000000", {"585#0030313233343536"})
      .on("605#7000000000000000", {"585#0037383941424344"})  // toggle 0 again
      .on("605#8008100000000305", {})
      .on("605#2100200008000000", {"585#6000200000000000"})
      .on("605#0031313131313131", {"585#3000000000000000"})  // toggle 1 to a toggle-0 segment
      .on("605#8000200000000305", {});
  Bytes got;
  Outcome o;
  EXPECT_EQ(read(0x1008, 0, &got, 64, &o), -1);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(o.abort_code, 0x05030000u);
  EXPECT_FALSE(o.by_device);
  EXPECT_EQ(write(0x2000, 0, Bytes(8, '1'), &o), -1);
  EXPECT_EQ(o.abort_code, 0x05030000u);
  EXPECT_FALSE(o.by_device);
  EXPECT_EQ(bus().back(), "605#8000200000000305");
}

TEST_F(SdoClient, ObjectsLargerThanTheBufferAreAborted) {
  auto s = script();
  s->on("605#4000200000000000", {"585#4100200009000000"})  // 9 bytes announced, room for 8
      .on("605#8000200005000405", {})
      .on("605#4001200000000000", {"585#4001200000000000"})  // no size: found out on the way
      .on("605#6000000000000000", {"585#0041424344454647"})
      .on("605#7000000000000000", {"585#1B48490000000000"})  // 2 more: 9 in all
      .on("605#8001200005000405", {})
      .on("605#4002200000000000", {"585#4302200011223344"})  // 4 bytes, room for 3
      .on("605#8002200005000405", {});
  Bytes got;
  Outcome o;
  EXPECT_EQ(read(0x2000, 0, &got, 8, &o), -1);
  EXPECT_EQ(o.abort_code, 0x05040005u);
  EXPECT_EQ(read(0x2001, 0, &got, 8, &o), -1);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(read(0x2002, 0, &got, 3, &o), -1);
  EXPECT_EQ(o.abort_code, 0x05040005u);
  EXPECT_FALSE(o.by_device);
  EXPECT_TRUE(s->done());
  EXPECT_TRUE(s->unexpected().empty());
}

TEST_F(SdoClient, ReplyThatCannotCarryItsDataIsAborted) {
  script()
      ->on("605#4000200000000000", {"585#4300200011"})  // claims 4 bytes, carries 1
      .on("605#8000200000000008", {});
  Bytes got;
  Outcome o;
  EXPECT_EQ(read(0x2000, 0, &got, 64, &o), -1);
  EXPECT_EQ(o.abort_code, 0x08000000u);
  EXPECT_FALSE(o.by_device);
}

// ------------------------------------------------------------------ time-outs (virtual clock)

TEST_F(SdoClient, SilentDeviceIsAbortedAtTheTimeOutOnTheServiceClock) {
  clock_->set_query_step(250 * kMs);  // each look at the service clock lets 250 ms pass
  auto s = script();
  s->on("605#4000200000000000", {}).on("605#8000200000000405", {});
  Bytes got;
  Outcome o;
  const int64_t before = clock_->now();
  EXPECT_EQ(read(0x2000, 0, &got, 64, &o), -1);
  const int64_t waited = clock_->now() - before;
  EXPECT_GE(waited, 1000 * kMs);
  EXPECT_LE(waited, 1250 * kMs);  // at the first look after the time-out
  EXPECT_EQ(o.abort_code, 0x05040000u);
  EXPECT_FALSE(o.by_device);
  EXPECT_TRUE(s->done());
}

TEST_F(SdoClient, TimeOutIsPerCallAndCountsForEveryReply) {
  clock_->set_query_step(500 * kMs);
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->set_text(0x2000, 0, "first value");
  dev->set_text(0x2001, 0, "second value");
  dev->delay_replies(2500 * kMs);
  ntcan_sim::attach(0, dev);
  Bytes got;
  Outcome o;
  EXPECT_EQ(read(0x2000, 0, &got, 64, &o, 1000), -1);  // the default wait: too short
  EXPECT_EQ(o.abort_code, 0x05040000u);
  EXPECT_EQ(bus().back(), "605#8000200000000405");
  EXPECT_EQ(read(0x2001, 0, &got, 64, &o, 4000), 0);  // every reply of the transfer is late
  EXPECT_EQ(std::string(got.begin(), got.end()), "second value");
  EXPECT_EQ(o.abort_code, 0u);
}

TEST_F(SdoClient, ReplyThatCameInTimeIsTakenEvenWhenTheClockJumpsPastTheTimeOut) {
  // Each look at the service clock lets 2 s pass: the time is up at the first look after
  // each request, before any wait.
  clock_->set_query_step(2000 * kMs);
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->set_text(0x2000, 0, "segmented value");
  ntcan_sim::attach(0, dev);
  Bytes got;
  EXPECT_EQ(read(0x2000, 0, &got), 0);
  EXPECT_EQ(std::string(got.begin(), got.end()), "segmented value");
}

TEST_F(SdoClient, TimeOutWhileAnotherThreadWaitsOnTheClock) {
  // The transfer runs on a thread of its own; only the test moves the clock.
  auto s = script();
  s->on("605#2B00200001020000", {}).on("605#8000200000000405", {});
  Outcome o;
  std::atomic<int> result{1};
  std::thread t([&] { result = write(0x2000, 0, {1, 2}, &o); });
  while (ntcan_sim::bus_log(0).empty()) std::this_thread::yield();  // the request is out
  // The transfer may read the clock for its deadline only after the request went out: the
  // clock moves on until the transfer has ended.
  while (result.load() == 1) {
    clock_->advance(100 * kMs);
    std::this_thread::yield();
  }
  t.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(o.abort_code, 0x05040000u);
  EXPECT_TRUE(s->done());
}

TEST_F(SdoClient, LateReplyOfATimedOutTransferIsNotTakenForTheNextOne) {
  clock_->set_query_step(500 * kMs);
  script()
      ->on("605#4000200000000000", {})
      .on("605#8000200000000405", {"585#4F0020002A000000"})  // answers after the abort
      .on("605#4000200000000000", {"585#4F00200007000000"});
  Bytes got;
  EXPECT_EQ(read(0x2000, 0, &got), -1);
  EXPECT_EQ(read(0x2000, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x07}));
}

// A device that answers every segment request with a segment without data, never the last:
// kSdoEmptySegmentsMax of them pass, the next is aborted with the general error.
TEST_F(SdoClient, UploadOfEndlessEmptySegmentsIsAbortedAfterItsBound) {
  auto s = script();
  for (int object = 0; object < 2; ++object) {
    const std::string sub = object ? "01" : "00";
    s->on("605#40" + sub + "200000000000", {"585#40" + sub + "200000000000"});
    for (int k = 0; k <= D_can::kSdoEmptySegmentsMax; ++k) {
      const bool last = object == 0 && k == D_can::kSdoEmptySegmentsMax;  // with 2 bytes
      s->on(k % 2 ? "605#7000000000000000" : "605#6000000000000000",
            {std::string(k % 2 ? "585#1" : "585#0") +
             (last ? "B41420000000000" : "E00000000000000")});
    }
  }
  s->on("605#8001200000000008", {});
  Bytes got;
  Outcome o;
  EXPECT_EQ(read(0x2000, 0, &got, 64, &o), 0);
  EXPECT_EQ(got, (Bytes{0x41, 0x42}));
  EXPECT_EQ(read(0x2001, 0, &got, 64, &o), -1);
  EXPECT_EQ(o.abort_code, 0x08000000u);  // not the time-out's code
  EXPECT_FALSE(o.by_device);
  EXPECT_TRUE(s->done());
}

// ------------------------------------------------------------------ aborts the device sends

TEST_F(SdoClient, DeviceAbortsReachTheCaller) {
  script()
      ->on("605#4000600000000000", {"585#8000600000000206"})  // no such object
      .on("605#2F00100020000000", {"585#8000100002000106"})   // read-only
      .on("605#4008100000000000", {"585#4108100014000000"})
      .on("605#6000000000000000", {"585#8008100000000008"})  // mid-transfer: general error
      .on("605#2100200009000000", {"585#6000200000000000"})
      .on("605#0031313131313131", {"585#8000200020000008"})   // cannot store
      .on("605#4000200000000000", {"585#8000200000000000"});  // code 0
  Bytes got;
  Outcome o;
  EXPECT_EQ(read(0x6000, 0, &got, 64, &o), -1);
  EXPECT_EQ(o.abort_code, 0x06020000u);
  EXPECT_TRUE(o.by_device);
  EXPECT_EQ(write(0x1000, 0, {0x20}, &o), -1);
  EXPECT_EQ(o.abort_code, 0x06010002u);
  EXPECT_TRUE(o.by_device);
  EXPECT_EQ(read(0x1008, 0, &got, 64, &o), -1);
  EXPECT_EQ(o.abort_code, 0x08000000u);
  EXPECT_EQ(write(0x2000, 0, Bytes(9, '1'), &o), -1);
  EXPECT_EQ(o.abort_code, 0x08000020u);
  EXPECT_TRUE(o.by_device);
  EXPECT_EQ(read(0x2000, 0, &got, 64, &o), -1);
  EXPECT_EQ(o.abort_code, 0u);
  EXPECT_TRUE(o.by_device);  // an abort all the same, unlike a transfer that was not aborted
  // The client answers a device's abort with nothing.
  EXPECT_EQ(bus().size(), 14u);
  EXPECT_EQ(D_can::sdo_abort_text(0x06020000), "0x06020000 object does not exist");
  EXPECT_EQ(D_can::sdo_abort_text(0x12345678), "0x12345678 unknown abort code");
}

TEST_F(SdoClient, FramesForOtherObjectsAndOtherDevicesArePassedOver) {
  ntcan_sim::attach(0, std::make_shared<ScriptedDevice>());      // a silent bystander
  script()->on("605#4000200000000000", {"585#8001200000000206",  // abort of another object
                                        "586#4F00200099000000",  // another device
                                        "585#4F01200099000000",  // reply for another object
                                        "585#4F00200042000000"});
  Bytes got;
  EXPECT_EQ(read(0x2000, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x42}));
}

// ------------------------------------------------------------------ arguments and line

TEST_F(SdoClient, BadArgumentsAndAMissingLineFailWithoutAFrame) {
  unsigned char buf[8];
  int size = 0;
  EXPECT_EQ(n_->sdo_read(0x10000, 0, buf, 8, &size), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n_->sdo_read(0x1000, 256, buf, 8, &size), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n_->sdo_read(0x1000, 0, nullptr, 8, &size), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n_->sdo_read(0x1000, 0, buf, 8, nullptr), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n_->sdo_read(0x1000, 0, buf, 8, &size, nullptr, 0), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n_->sdo_write(0x1000, 0, buf, 0), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n_->sdo_write(0x1000, 0, nullptr, 1), NTCAN_INVALID_PARAMETER);
  D_can& far = node("FAR", {1, 200, 0, 0});  // node-ID outside 1..127
  EXPECT_EQ(far.sdo_read(0x1000, 0, buf, 8, &size), NTCAN_INVALID_PARAMETER);
  D_can& idle = node("IDLE", {1, 6, 0, 0});  // never started
  EXPECT_EQ(idle.sdo_read(0x1000, 0, buf, 8, &size), NTCAN_INVALID_HANDLE);
  n_->line()->can_close();
  EXPECT_EQ(n_->sdo_write(0x1000, 0, buf, 1), NTCAN_INVALID_HANDLE);
  EXPECT_TRUE(bus().empty());
}

TEST_F(SdoClient, NetGoingDownFailsTheTransferAndTheNextOneStartsAfresh) {
  auto s = script();
  s->on("605#4000200000000000", {}).on("605#4000200000000000", {"585#4F00200001000000"});
  Outcome o;
  std::atomic<int> result{0};
  std::thread t([&] {
    Bytes got;
    result = read(0x2000, 0, &got, 64, &o);
  });
  while (ntcan_sim::bus_log(0).empty()) std::this_thread::yield();
  ntcan_test::set_net_down(0, true);
  t.join();
  EXPECT_EQ(result.load(), NTCAN_SOCK_CMD_TIMEOUT);
  ntcan_test::set_net_down(0, false);
  Bytes got;
  EXPECT_EQ(read(0x2000, 0, &got), 0);
  EXPECT_EQ(got, (Bytes{0x01}));
}

// ------------------------------------------------------------------ threads

TEST_F(SdoClient, TwoThreadsOnOneDeviceAreServedOneAfterTheOther) {
  // On the real clock: a transfer whose replies another thread took ends in its time-out
  // (and counts as wrong) instead of waiting for a virtual time that nobody moves.
  vexil::set_clock(nullptr);
  ntcan_test::set_time_source(nullptr);
  korvel::set_millisecond_source(nullptr);
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  const std::string a = "first object, three segments";
  const std::string b = "second object, somewhat longer: five segments";
  dev->set_text(0x2000, 0, a);
  dev->set_text(0x2001, 0, b);
  ntcan_sim::attach(0, dev);
  D_can& twin = node("TWIN", {1, 5, 0, 0});  // a passive view of the same device
  ASSERT_EQ(twin.init(0x705), 0);
  constexpr int kRounds = 2000;
  std::atomic<int> wrong{0};
  std::atomic<int> ready{0};
  auto reader = [&](D_can* n, int index, const std::string& expect) {
    ++ready;
    while (ready.load() < 3) std::this_thread::yield();  // all three start together
    for (int i = 0; i < kRounds; ++i) {
      unsigned char buf[64];
      int size = 0;
      if (n->sdo_read(index, 0, buf, sizeof buf, &size) != 0 ||
          std::string(buf, buf + size) != expect)
        ++wrong;
    }
  };
  std::thread t1(reader, n_, 0x2000, a);
  std::thread t2(reader, n_, 0x2001, b);
  std::thread t3(reader, &twin, 0x2000, a);
  t1.join();
  t2.join();
  t3.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SdoClient, PollingTakesNoRepliesAndTransfersTakeNoPolledFrames) {
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->set_text(0x2000, 0, "a value in several segments");
  ntcan_sim::attach(0, dev);
  ASSERT_EQ(n_->AddIdent(0x585), 0);  // the node's batches see the replies too
  ASSERT_EQ(n_->AddIdent(0x185), 0);
  std::atomic<bool> done{false};
  std::atomic<int> failed{0};
  std::atomic<int> batches{0};
  std::thread transfers([&] {
    for (int i = 0; i < 30; ++i) {
      const int before = batches.load();
      unsigned char buf[64];
      int size = 0;
      if (n_->sdo_read(0x2000, 0, buf, sizeof buf, &size) != 0) ++failed;
      // At least one batch between two transfers, so that the node's receive queue (100
      // frames) never overflows with reply copies while the polling thread waits for a core.
      while (batches.load() <= before) std::this_thread::yield();
    }
    done = true;
  });
  int injected = 0;
  int polled = 0;
  auto take_batch = [&] {
    can_looping();
    CMSG batch[100];
    int l = 0;
    n_->can_array(batch, &l);
    for (int i = 0; i < l; ++i) polled += batch[i].id == 0x185;
    ++batches;
  };
  while (!done) {
    ntcan_sim::inject(0, canbus::frame("185#0102"));
    ++injected;
    take_batch();
  }
  transfers.join();
  take_batch();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(polled, injected);
}
