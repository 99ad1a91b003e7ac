// The simulated CiA 301 device, frame by frame: fed directly, and on a bus.
#include "simdev/canopen_device.h"

#include "sim_fixture.h"

using simdev::canopen::NmtState;

class CanopenDevice : public ::testing::Test {
 protected:
  CanopenDevice() { dev.set_identity("PUMP-CTRL1", "HW 2.1", "MOTOR-DRIVE-07"); }

  // The frames the device sends in answer, one per line.
  std::string feed(const char* text) {
    std::vector<simdev::TimedFrame> out;
    dev.on_frame(canbus::frame(text), now, out);
    std::vector<CMSG> frames;
    for (const auto& tf : out) {
      EXPECT_EQ(tf.due_ns, now) << "answered late";
      frames.push_back(tf.frame);
    }
    return canbus::to_string(frames);
  }

  std::string poll() {
    std::vector<simdev::TimedFrame> out;
    dev.poll(now, out);
    std::vector<CMSG> frames;
    for (const auto& tf : out) frames.push_back(tf.frame);
    return canbus::to_string(frames);
  }

  simdev::canopen::Device dev{5};
  std::int64_t now = 1000;
};

TEST_F(CanopenDevice, NmtMovesBetweenStates) {
  EXPECT_EQ(dev.state(), NmtState::kPreOperational);
  EXPECT_EQ(feed("000#0105"), "");
  EXPECT_EQ(dev.state(), NmtState::kOperational);
  EXPECT_EQ(feed("000#0200"), "") << "node-ID 0 addresses all nodes";
  EXPECT_EQ(dev.state(), NmtState::kStopped);
  EXPECT_EQ(feed("000#8005"), "");
  EXPECT_EQ(dev.state(), NmtState::kPreOperational);

  EXPECT_EQ(feed("000#0106"), "") << "another node";
  EXPECT_EQ(feed("000#01"), "") << "wrong length";
  EXPECT_EQ(feed("000#010500"), "") << "wrong length";
  EXPECT_EQ(dev.state(), NmtState::kPreOperational);
  EXPECT_EQ(dev.nmt_commands(), 3);
}

TEST_F(CanopenDevice, ResetsSendBootUpAndRestartGuarding) {
  feed("000#0105");
  EXPECT_EQ(feed("705#R1"), "705#05\n");
  EXPECT_EQ(feed("705#R1"), "705#85\n");
  EXPECT_EQ(feed("000#8105"), "705#00\n");
  EXPECT_EQ(dev.state(), NmtState::kPreOperational);
  EXPECT_EQ(feed("705#R1"), "705#7F\n") << "toggle starts again at 0";
  EXPECT_EQ(feed("705#R1"), "705#FF\n");
  EXPECT_EQ(feed("000#8200"), "705#00\n");
  EXPECT_EQ(feed("705#R1"), "705#7F\n");
  EXPECT_EQ(feed("706#R1"), "") << "another node's guarding";
  EXPECT_EQ(feed("705#00"), "") << "not a remote request";
}

TEST_F(CanopenDevice, ExpeditedUploadOfOneAndFourBytes) {
  dev.set_bytes(0x2000, 1, {0xAB});
  dev.set_u32(0x1000, 0, 0x00020191);
  EXPECT_EQ(feed("605#4000200100000000"), "585#4F002001AB000000\n");
  EXPECT_EQ(feed("605#4000100000000000"), "585#4300100091010200\n");
}

TEST_F(CanopenDevice, SegmentedUploadOfTenByteName) {
  EXPECT_EQ(feed("605#4008100000000000"), "585#410810000A000000\n");
  EXPECT_EQ(feed("605#6000000000000000"), "585#0050554D502D4354\n");  // "PUMP-CT"
  EXPECT_EQ(feed("605#7000000000000000"), "585#19524C3100000000\n");  // "RL1", last
  EXPECT_EQ(feed("605#6000000000000000"), "585#8000000001000405\n") << "transfer is over";
}

TEST_F(CanopenDevice, SegmentedUploadOfFourteenByteName) {
  EXPECT_EQ(feed("605#400A100000000000"), "585#410A10000E000000\n");
  EXPECT_EQ(feed("605#6000000000000000"), "585#004D4F544F522D44\n");  // "MOTOR-D"
  EXPECT_EQ(feed("605#7000000000000000"), "585#11524956452D3037\n");  // "RIVE-07", last
}

TEST_F(CanopenDevice, ToggleErrorAbortsTheTransfer) {
  feed("605#4008100000000000");
  EXPECT_EQ(feed("605#7000000000000000"), "585#8008100000000305\n");
  EXPECT_EQ(feed("605#6000000000000000"), "585#8000000001000405\n");
}

TEST_F(CanopenDevice, WrongToggleFaultInvertsOneSegment) {
  dev.wrong_toggle_next_segment();
  feed("605#4008100000000000");
  EXPECT_EQ(feed("605#6000000000000000"), "585#1050554D502D4354\n");
  EXPECT_EQ(feed("605#7000000000000000"), "585#19524C3100000000\n");
}

TEST_F(CanopenDevice, MissingObjectsAndUnknownCommandsAbort) {
  EXPECT_EQ(feed("605#4000200000000000"), "585#8000200000000206\n");
  EXPECT_EQ(feed("605#4008100100000000"), "585#8008100111000906\n")
      << "index without that subindex";
  EXPECT_EQ(feed("605#A008100000000000"), "585#8008100001000405\n")
      << "block transfers are not served";
  EXPECT_EQ(feed("605#E008100000000000"), "585#8008100001000405\n");
}

TEST_F(CanopenDevice, ClientAbortEndsTransferSilently) {
  feed("605#4008100000000000");
  EXPECT_EQ(feed("605#8008100000000405"), "");
  EXPECT_EQ(feed("605#6000000000000000"), "585#8000000001000405\n");
}

TEST_F(CanopenDevice, StoppedDeviceIgnoresSdoButNotNmtOrGuarding) {
  feed("000#0205");
  EXPECT_EQ(feed("605#4008100000000000"), "");
  EXPECT_EQ(feed("705#R1"), "705#04\n");
  feed("000#0105");
  EXPECT_EQ(feed("605#4001100000000000"), "585#4F01100000000000\n");
}

TEST_F(CanopenDevice, EmergencyGoesOutAtNextPoll) {
  dev.emergency(0x8130, 0x11, {1, 2, 3, 4, 5});
  EXPECT_EQ(poll(), "085#3081110102030405\n");
  EXPECT_EQ(poll(), "");
  EXPECT_EQ(feed("605#4001100000000000"), "585#4F01100011000000\n") << "error register follows";
  dev.boot();
  EXPECT_EQ(poll(), "705#00\n");
}

TEST_F(CanopenDevice, ReplyFaults) {
  dev.drop_replies(2);
  EXPECT_EQ(feed("705#R1"), "");
  EXPECT_EQ(feed("605#4001100000000000"), "");
  EXPECT_EQ(feed("605#4001100000000000"), "585#4F01100000000000\n");

  dev.abort_next_sdo(0x08000000);
  EXPECT_EQ(feed("605#4001100000000000"), "585#8001100000000008\n");
  EXPECT_EQ(feed("605#4001100000000000"), "585#4F01100000000000\n");

  feed("605#4008100000000000");
  dev.abort_next_sdo(0x05040000);
  EXPECT_EQ(feed("605#6000000000000000"), "585#8008100000000405\n") << "names the running transfer";
  EXPECT_EQ(feed("605#7000000000000000"), "585#8000000001000405\n");

  dev.mute(true);
  EXPECT_EQ(feed("705#R1"), "");
  dev.emergency(0x1000, 0x01);
  EXPECT_EQ(poll(), "");
  dev.mute(false);
  EXPECT_EQ(poll(), "085#0010010000000000\n");
}

TEST_F(CanopenDevice, ReceivedHoldsOnlyFramesForThisNode) {
  feed("000#0100");
  feed("000#0106");
  feed("705#R1");
  feed("706#R1");
  feed("605#4008100000000000");
  feed("606#4008100000000000");
  feed("585#4F01100000000000");
  EXPECT_EQ(canbus::to_string(dev.received()), "000#0100\n705#R1\n605#4008100000000000\n");
}

TEST_F(CanopenDevice, ExpeditedDownloadsOfOneToFourBytesWithAndWithoutSize) {
  dev.set_bytes(0x2000, 1, {0}, simdev::canopen::Access::kReadWrite);
  dev.set_bytes(0x2000, 2, {0, 0}, simdev::canopen::Access::kReadWrite);
  dev.set_bytes(0x2000, 3, {0, 0, 0}, simdev::canopen::Access::kReadWrite);
  dev.set_u32(0x2000, 4, 0, simdev::canopen::Access::kReadWrite);
  EXPECT_EQ(feed("605#2F002001AB000000"), "585#6000200100000000\n");
  EXPECT_EQ(feed("605#2B00200234120000"), "585#6000200200000000\n");
  EXPECT_EQ(feed("605#2700200301020300"), "585#6000200300000000\n");
  EXPECT_EQ(feed("605#2300200478563412"), "585#6000200400000000\n");
  EXPECT_EQ(dev.value(0x2000, 1), (std::vector<std::uint8_t>{0xAB}));
  EXPECT_EQ(dev.value(0x2000, 2), (std::vector<std::uint8_t>{0x34, 0x12}));
  EXPECT_EQ(dev.value(0x2000, 3), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(feed("605#4000200400000000"), "585#4300200478563412\n")
      << "what was written reads back";

  EXPECT_EQ(feed("605#22002002AABBCCDD"), "585#6000200200000000\n")
      << "no size: a number takes its own length";
  EXPECT_EQ(dev.value(0x2000, 2), (std::vector<std::uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(feed("605#2B00200401020000"), "585#8000200410000706\n") << "two bytes into a u32";
  EXPECT_EQ(dev.value(0x2000, 4), (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
}

TEST_F(CanopenDevice, SegmentedDownloadOfTwentyBytesWithToggles) {
  dev.set_text(0x2100, 0, "old", simdev::canopen::Access::kReadWrite);
  EXPECT_EQ(feed("605#2100210014000000"), "585#6000210000000000\n");
  EXPECT_EQ(feed("605#0041424344454647"), "585#2000000000000000\n");  // "ABCDEFG", toggle 0
  EXPECT_EQ(feed("605#1048494A4B4C4D4E"), "585#3000000000000000\n");  // "HIJKLMN", toggle 1
  EXPECT_EQ(dev.value(0x2100, 0), (std::vector<std::uint8_t>{'o', 'l', 'd'}))
      << "stored only when complete";
  EXPECT_EQ(feed("605#034F505152535400"), "585#2000000000000000\n");  // "OPQRST", 6 bytes, last
  EXPECT_EQ(dev.value(0x2100, 0),
            (std::vector<std::uint8_t>{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                                       'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T'}));
  EXPECT_EQ(feed("605#4000210000000000"), "585#4100210014000000\n");

  EXPECT_EQ(feed("605#2000210000000000"), "585#6000210000000000\n") << "no size indicated";
  EXPECT_EQ(feed("605#0B58590000000000"), "585#2000000000000000\n");  // "XY", last
  EXPECT_EQ(dev.value(0x2100, 0), (std::vector<std::uint8_t>{'X', 'Y'}));

  feed("605#2100210002000000");
  dev.wrong_toggle_next_segment();
  EXPECT_EQ(feed("605#0B58590000000000"), "585#3000000000000000\n")
      << "the device's own toggle fault";
}

TEST_F(CanopenDevice, DownloadsThatAreRefusedAbortWithTheirReason) {
  dev.set_text(0x2100, 0, "old", simdev::canopen::Access::kReadWrite);
  dev.set_bytes(0x2200, 0, {1}, simdev::canopen::Access::kWriteOnly);
  EXPECT_EQ(feed("605#2F08100041000000"), "585#8008100002000106\n") << "read-only";
  EXPECT_EQ(feed("605#2F00300041000000"), "585#8000300000000206\n") << "no such object";
  EXPECT_EQ(feed("605#2F08100141000000"), "585#8008100111000906\n") << "no such subindex";
  EXPECT_EQ(feed("605#2F00220007000000"), "585#6000220000000000\n") << "write-only takes writes";
  EXPECT_EQ(feed("605#4000220000000000"), "585#8000220001000106\n") << "but is not read";

  feed("605#2100210014000000");
  EXPECT_EQ(feed("605#1041424344454647"), "585#8000210000000305\n")
      << "first segment must carry toggle 0";
  EXPECT_EQ(feed("605#0041424344454647"), "585#8000000001000405\n") << "the transfer is over";

  feed("605#2100210003000000");
  EXPECT_EQ(feed("605#0041424344454647"), "585#8000210010000706\n") << "more than announced";
  feed("605#2100210009000000");
  EXPECT_EQ(feed("605#0141424344454647"), "585#8000210010000706\n") << "less than announced";
  EXPECT_EQ(feed("605#2100210000001000"), "585#8000210005000405\n") << "1 MiB does not fit";
  EXPECT_EQ(dev.value(0x2100, 0), (std::vector<std::uint8_t>{'o', 'l', 'd'}));

  feed("605#4008100000000000");  // an upload runs
  EXPECT_EQ(feed("605#0041424344454647"), "585#8008100001000405\n") << "a download segment ends it";
  feed("605#2100210014000000");
  EXPECT_EQ(feed("605#8000210000000405"), "") << "the client gives up";
  EXPECT_EQ(feed("605#0041424344454647"), "585#8000000001000405\n");
}

TEST_F(CanopenDevice, HeartbeatsFollowTheProducerTimeWrittenTo1017) {
  constexpr std::int64_t kMs = 1000000;
  EXPECT_EQ(dev.wake_at(), -1);
  EXPECT_EQ(feed("605#4017100000000000"), "585#4B17100000000000\n")
      << "0x1017 is there, 0: no heartbeats";
  EXPECT_EQ(feed("605#2B17100064000000"), "585#6017100000000000\n");  // 100 ms
  EXPECT_EQ(dev.wake_at(), now + 100 * kMs);
  now += 100 * kMs - 1;
  EXPECT_EQ(poll(), "");
  now += 1;
  EXPECT_EQ(poll(), "705#7F\n");
  feed("000#0105");
  now += 100 * kMs;
  EXPECT_EQ(poll(), "705#05\n") << "no remote request, the state byte alone";
  EXPECT_EQ(poll(), "");
  now += 250 * kMs;  // polled late: one heartbeat, then the rhythm starts again from now
  EXPECT_EQ(poll(), "705#05\n");
  EXPECT_EQ(dev.wake_at(), now + 100 * kMs);

  EXPECT_EQ(feed("605#2B17100000000000"), "585#6017100000000000\n");
  EXPECT_EQ(dev.wake_at(), -1);
  now += 1000 * kMs;
  EXPECT_EQ(poll(), "");
}

TEST_F(CanopenDevice, AMutedDeviceFallsSilentAndComesBack) {
  constexpr std::int64_t kMs = 1000000;
  feed("605#2B1710000A000000");  // 10 ms
  dev.mute(true);
  EXPECT_EQ(dev.wake_at(), -1) << "nothing to wake up for";
  now += 10 * kMs;
  EXPECT_EQ(poll(), "");
  EXPECT_EQ(feed("705#R1"), "");
  EXPECT_EQ(feed("605#4000100000000000"), "");
  EXPECT_EQ(feed("000#0105"), "");
  dev.emergency(0x1000, 0x01);
  now += 10 * kMs;
  EXPECT_EQ(poll(), "");
  dev.mute(false);
  EXPECT_EQ(poll(), "085#0010010000000000\n");
  now += 10 * kMs;
  EXPECT_EQ(poll(), "705#05\n") << "back, in the state it was told to enter meanwhile";
}

TEST_F(CanopenDevice, ResetsRestoreWhatTheDeviceHadAtPowerOn) {
  constexpr std::int64_t kMs = 1000000;
  dev.set_bytes(0x2000, 1, {0}, simdev::canopen::Access::kReadWrite);
  feed("605#2B17100064000000");
  feed("605#2F002001AB000000");
  EXPECT_EQ(feed("000#8205"), "705#00\n");
  EXPECT_EQ(dev.value(0x1017, 0), (std::vector<std::uint8_t>{0, 0}))
      << "reset communication: 0x1000..0x1FFF";
  EXPECT_EQ(dev.value(0x2000, 1), (std::vector<std::uint8_t>{0xAB}));
  EXPECT_EQ(dev.wake_at(), -1);
  EXPECT_EQ(feed("000#8105"), "705#00\n");
  EXPECT_EQ(dev.value(0x2000, 1), (std::vector<std::uint8_t>{0}));

  simdev::canopen::Device beating(6);
  beating.set_bytes(0x1017, 0, {50, 0},
                    simdev::canopen::Access::kReadWrite);  // 50 ms from power-on
  beating.boot();
  std::vector<simdev::TimedFrame> out;
  beating.poll(now, out);
  EXPECT_EQ(beating.wake_at(), now + 50 * kMs);
  now += 50 * kMs;
  beating.poll(now, out);
  std::vector<CMSG> frames;
  for (const auto& tf : out) frames.push_back(tf.frame);
  EXPECT_EQ(canbus::to_string(frames), "706#00\n706#7F\n");
}

class CanopenOnBus : public SimTest {};

TEST_F(CanopenOnBus, DelayedReplyIsReleasedByTheTimeSource) {
  ManualClock clock;
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->set_identity("PUMP-CTRL1", "HW", "1.0");
  dev->delay_replies(1000000);
  ntcan_sim::attach(0, dev);
  NTCAN_HANDLE h = open(0, {0x585, 0x705});

  send(h, {"605#4009100000000000"});
  EXPECT_EQ(take(h), "");
  clock.advance(1000000);
  EXPECT_EQ(take(h), "585#4B09100048570000\n");
}

TEST_F(CanopenOnBus, EmergencyAndBootUpReachTheMaster) {
  auto dev = std::make_shared<simdev::canopen::Device>(0x20);
  ntcan_sim::attach(1, dev);
  NTCAN_HANDLE h = open(1, {0x0A0, 0x720});
  dev->emergency(0xFF00, 0x80);
  send(h, {"000#8120"});
  EXPECT_EQ(take(h), "0A0#00FF800000000000\n720#00\n");
  EXPECT_EQ(log(1), "0A0#00FF800000000000\n000#8120\n720#00\n");
}

TEST_F(CanopenOnBus, HeartbeatsReachTheMasterOnTheVirtualClock) {
  ManualClock clock;
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  ntcan_sim::attach(0, dev);
  NTCAN_HANDLE h = open(0, {0x585, 0x705});
  send(h, {"605#2B1710000A000000"});  // 10 ms
  EXPECT_EQ(take(h), "585#6017100000000000\n");
  clock.advance(9999999);
  EXPECT_EQ(take(h), "");
  clock.advance(1);
  EXPECT_EQ(take(h), "705#7F\n");
  dev->mute(true);
  clock.advance(50000000);
  EXPECT_EQ(take(h), "");
  dev->mute(false);
  clock.advance(10000000);
  EXPECT_EQ(take(h), "705#7F\n");
}

TEST_F(CanopenOnBus, AReaderWaitingOnTheNetWakesForAHeartbeat) {
  auto dev = std::make_shared<simdev::canopen::Device>(5);
  dev->set_bytes(0x1017, 0, {1, 0},
                 simdev::canopen::Access::kReadWrite);  // 1 ms on the steady clock
  ntcan_sim::attach(0, dev);
  NTCAN_HANDLE h = open(0, {0x705}, 8, kLongerThanTheTestTimeout);
  CMSG m{};
  std::int32_t n = 1;
  ASSERT_EQ(canRead(h, &m, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(canbus::to_string(m), "705#7F");
}
