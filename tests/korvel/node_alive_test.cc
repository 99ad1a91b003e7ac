// Alive supervision from node-guarding answers, and the logging of emergency frames.
#include <gtest/gtest.h>

#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;

class NodeAlive : public KorvelTest {
 protected:
  void SetUp() override {
    KorvelTest::SetUp();
    n_ = &node("N", {1, 5, 0, 0});
    ASSERT_EQ(n_->init(0x705), 0);
    alive_ = Peer::alive(*n_);
  }
  std::string condition() { return Peer::condition(*n_)->value(); }
  int check(std::initializer_list<const char*> texts) {
    auto fs = canbus::frames(texts);
    int l = static_cast<int>(fs.size());
    return alive_->check_alive(5, fs.data(), &l);
  }
  D_can* n_ = nullptr;
  D_Alive* alive_ = nullptr;
};

}  // namespace

TEST_F(NodeAlive, OperationalAnswerIsStoredRawAndShown) {
  EXPECT_EQ(condition(), "Preoperational");  // from start-up
  auto fs = canbus::frames({"185#01", "705#85"});
  int l = 2;
  EXPECT_EQ(alive_->can_read(5, fs.data(), &l), 100);
  EXPECT_EQ(alive_->value(), 133);
  EXPECT_EQ(condition(), "Preoperational");  // can_read alone leaves the text
  EXPECT_EQ(check({"705#85"}), 100);
  EXPECT_EQ(condition(), "Operational");
  EXPECT_TRUE(alive_->isalive());
  EXPECT_EQ(*Peer::alive_ptr(*n_), 133);
}

TEST_F(NodeAlive, OtherStatesAreStoredButKeepTheText) {
  EXPECT_EQ(check({"705#85"}), 100);
  EXPECT_EQ(check({"705#7F"}), 0);
  EXPECT_EQ(alive_->value(), 127);
  EXPECT_EQ(condition(), "Operational");
  EXPECT_FALSE(alive_->isalive());
  alive_->set_value(127);
  EXPECT_EQ(condition(), "Preoperational");
}

TEST_F(NodeAlive, OnlyTheFirstOneByteAnswerCounts) {
  EXPECT_EQ(check({"705#0500", "705#04", "705#05"}), 0);  // two bytes: passed over
  EXPECT_EQ(alive_->value(), 4);
  EXPECT_EQ(check({"706#05", "705#R"}), 0);
  EXPECT_EQ(alive_->value(), 4);
  int l = 0;
  EXPECT_EQ(alive_->can_read(5, nullptr, &l), 0);
}

TEST_F(NodeAlive, ConditionTextsFollowTheLowFourBits) {
  const std::pair<int, const char*> cases[] = {{0, "default Error"},
                                               {2, "Error"},
                                               {0x14, "Stopped"},
                                               {0x85, "Operational"},
                                               {0x7F, "Preoperational"}};
  for (const auto& [v, text] : cases) {
    alive_->set_value(v);
    EXPECT_EQ(condition(), text) << v;
  }
  alive_->set_value(0x15);
  EXPECT_TRUE(alive_->isalive());  // the low four bits decide here, unlike can_read's 0x7F
}

TEST_F(NodeAlive, EmergencyFramesAreLoggedByte) {
  auto fs = canbus::frames({"705#05", "085#0010810000000000", "085#FF"});
  int l = 3;
  EXPECT_EQ(n_->can_emergency(5, fs.data(), &l), 100);
  auto lines = log_.with_heading("D_can::can_emergency");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "0x0 0x10 0x81 0x0 0x0 0x0 0x0 0x0 ");

  fs = canbus::frames({"085#FFEEDDCCBBAA9988"});
  l = 1;
  n_->can_emergency(5, fs.data(), &l);
  EXPECT_EQ(log_.with_heading("D_can::can_emergency")[1].text.size(), 40u);

  fs = canbus::frames({"085#"});
  EXPECT_EQ(n_->can_emergency(5, fs.data(), &l), 100);
  EXPECT_EQ(log_.with_heading("D_can::can_emergency")[2].text, "");

  l = 0;
  EXPECT_EQ(n_->can_emergency(5, fs.data(), &l), 0);
  fs = canbus::frames({"086#01"});
  l = 1;
  EXPECT_EQ(n_->can_emergency(5, fs.data(), &l), 0);
  EXPECT_EQ(log_.with_heading("D_can::can_emergency").size(), 3u);
}
