// The simulated CiA 301 device, frame by frame: fed directly, and on a bus.
#include "canopen_device.h"

#include "sim_fixture.h"

using canopen::NmtState;

class CanopenDevice : public ::testing::Test {
 protected:
  CanopenDevice() { dev.set_identity("PUMP-CTRL1", "HW 2.1", "MOTOR-DRIVE-07"); }

  // The frames the device sends in answer, one per line.
  std::string feed(const char* text) {
    std::vector<ntcan_sim::TimedFrame> out;
    dev.on_frame(ntcan_sim::frame(text), now, out);
    std::vector<CMSG> frames;
    for (const auto& tf : out) {
      EXPECT_EQ(tf.due_ns, now) << "answered late";
      frames.push_back(tf.frame);
    }
    return ntcan_sim::to_string(frames);
  }

  std::string poll() {
    std::vector<ntcan_sim::TimedFrame> out;
    dev.poll(now, out);
    std::vector<CMSG> frames;
    for (const auto& tf : out) frames.push_back(tf.frame);
    return ntcan_sim::to_string(frames);
  }

  canopen::Device dev{5};
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
  EXPECT_EQ(feed("605#4008100100000000"), "585#8008100111000906\n") << "index without that subindex";
  EXPECT_EQ(feed("605#2308100000000000"), "585#8008100001000405\n") << "downloads are not served";
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
  EXPECT_EQ(ntcan_sim::to_string(dev.received()), "000#0100\n705#R1\n605#4008100000000000\n");
}

class CanopenOnBus : public SimTest {};

TEST_F(CanopenOnBus, DelayedReplyIsReleasedByTheTimeSource) {
  ManualClock clock;
  auto dev = std::make_shared<canopen::Device>(5);
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
  auto dev = std::make_shared<canopen::Device>(0x20);
  ntcan_sim::attach(1, dev);
  NTCAN_HANDLE h = open(1, {0x0A0, 0x720});
  dev->emergency(0xFF00, 0x80);
  send(h, {"000#8120"});
  EXPECT_EQ(take(h), "0A0#00FF800000000000\n720#00\n");
  EXPECT_EQ(log(1), "0A0#00FF800000000000\n000#8120\n720#00\n");
}
