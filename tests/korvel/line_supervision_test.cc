// The supervision thread of a line, driven step by step in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "support/korvel_fixture.h"

namespace {

constexpr int64_t kSecond = 1000000000LL;

class Supervision : public KorvelTest {
 protected:
  // Creates line `lineno` through its first node and lets the thread pass its start pause.
  canline* start_line(int lineno) {
    D_can& n = node("FIRST" + std::to_string(lineno), {lineno, 5, 0, 0});
    EXPECT_EQ(n.init(), 0);
    EXPECT_TRUE(clock_->wait_for_sleepers(1));
    clock_->advance(60 * kSecond);
    return n.line();
  }

  int64_t next_pause() { return clock_->deadlines().front() - clock_->now(); }

  struct Attempt {
    int64_t time;
    bool reset;
  };
  // Steps until `count` re-open attempts were made; notes when each was and whether a
  // gateway reset command ran with it.
  std::vector<Attempt> reopen_attempts(int count) {
    std::vector<Attempt> out;
    while (static_cast<int>(out.size()) < count) {
      const size_t opens = ntcan_test::calls("canOpen").size();
      const int resets = static_cast<int>(wget_runs().size());
      step();
      if (ntcan_test::calls("canOpen").size() > opens) {
        out.push_back({clock_->now(), static_cast<int>(wget_runs().size()) > resets ||
                                          (deny_ && next_pause() == 20 * kSecond)});
      }
    }
    return out;
  }

  // Gaps between attempts: the growing retry pause, plus 20 s after an attempt with a reset.
  void expect_reset_pattern(const std::vector<Attempt>& a, const std::vector<int>& reset_at) {
    for (size_t k = 0; k < a.size(); ++k) {
      const bool expected =
          std::find(reset_at.begin(), reset_at.end(), static_cast<int>(k + 1)) != reset_at.end();
      EXPECT_EQ(a[k].reset, expected) << "attempt " << k + 1;
      if (k + 1 < a.size()) {
        const int64_t retry = std::min<int64_t>(static_cast<int64_t>(k) + 2, 60);
        EXPECT_EQ(a[k + 1].time - a[k].time, (expected ? 20 : 0) * kSecond + retry * kSecond)
            << "after " << k + 1;
      }
    }
  }

  bool deny_ = false;
};

}  // namespace

TEST_F(Supervision, StartsWithAMessageAndAMinutePause) {
  D_can& n = node("FIRST", {2, 5, 0, 0});
  ASSERT_EQ(n.init(), 0);
  ASSERT_TRUE(clock_->wait_for_sleepers(1));
  EXPECT_EQ(next_pause(), 60 * kSecond);
  auto start = log_.with_heading("Inside can_control: ");
  ASSERT_EQ(start.size(), 1u);
  EXPECT_EQ(start[0].text, "Line : 2, Handle: " + std::to_string(n.line()->handle()));
  clock_->advance(60 * kSecond);
  EXPECT_EQ(log_.with_heading("can_control  ")[0].text, "allow wget resets");
  EXPECT_EQ(next_pause(), kSecond);
}

TEST_F(Supervision, HealthyLineIsCheckedOnceASecond) {
  canline* line = start_line(1);
  for (int i = 0; i < 5; ++i) step();
  EXPECT_EQ(ntcan_test::calls("canStatus").size(), 5u);
  EXPECT_EQ(next_pause(), kSecond);
  EXPECT_GT(line->handle(), 0);
}

TEST_F(Supervision, OneFailedCheckIsToleratedTwoCloseTheLine) {
  canline* line = start_line(1);
  const NTCAN_HANDLE h = line->handle();
  step();
  ntcan_test::fail_status(0, NTCAN_CONTR_BUSY, 1);
  step();
  step();
  auto first = log_.with_heading("1. canStatus returned: ");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].text, "Line : 1mess: NTCAN_CONTR_BUSY(0x00000106)");
  EXPECT_EQ(line->handle(), h);
  EXPECT_TRUE(ntcan_test::calls("canClose").empty());

  ntcan_test::fail_status(0, NTCAN_CONTR_OFF_BUS, 2);
  step();
  step();
  EXPECT_EQ(line->handle(), -1);
  auto second = log_.with_heading("2. canStatus returned: ");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].text, "Line : 1mess: NTCAN_CONTR_OFF_BUS(0x00000105)");
  EXPECT_EQ(next_pause(), 15 * kSecond);

  step();  // end of the 15 s pause
  EXPECT_EQ(next_pause(), kSecond);
  step();  // re-open at once
  EXPECT_GT(line->handle(), 0);
  EXPECT_NE(line->handle(), h);
  EXPECT_EQ(next_pause(), 2 * kSecond);

  // Re-opened at the first attempt: the next failure closes at once, without a second "2.".
  ntcan_test::fail_status(0, NTCAN_CONTR_OFF_BUS, 1);
  step();
  EXPECT_EQ(line->handle(), -1);
  EXPECT_EQ(log_.with_heading("2. canStatus returned: ").size(), 1u);
  EXPECT_EQ(log_.with_heading("1. canStatus returned: ").size(), 2u);

  // A good check re-arms the "2." message.
  step();
  step();
  step();
  ASSERT_GT(line->handle(), 0);
  ntcan_test::fail_status(0, NTCAN_CONTR_OFF_BUS, 2);
  step();
  step();
  EXPECT_EQ(log_.with_heading("2. canStatus returned: ").size(), 2u);
}

TEST_F(Supervision, BoardStatusChangesAreLogged) {
  canline* line = start_line(3);
  step();
  EXPECT_TRUE(log_.with_heading("3. canStatus returned: ").empty());
  ntcan_test::set_boardstatus(2, 4);
  step();
  step();
  auto lines = log_.with_heading("3. canStatus returned: ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "Line : 3boardstatus: 4");
  EXPECT_EQ(line->board_status, 4u);
}

TEST_F(Supervision, GatewayResetsAtAttempts1To25InStepsOfSixAndNoMore) {
  install_fake_wget();
  write_file("esd-plugin", "PeerName 0 \"127.000.000.001\"\n");
  start_line(1);
  step();
  ntcan_test::set_net_down(0, true, NTCAN_SOCK_CONN_TIMEOUT);
  step();
  step();
  auto attempts = reopen_attempts(66);
  expect_reset_pattern(attempts, {1, 7, 13, 19, 25});
  EXPECT_EQ(wget_runs().size(), 5u);
  EXPECT_EQ(log_.with_heading("system called with : ").size(), 1u);
  EXPECT_EQ(log_.with_heading("canOpen returned: ").size(), 1u);
}

TEST_F(Supervision, MarkerFileForbidsTheCommandButNotThePause) {
  install_fake_wget();
  write_file("esd-plugin", "PeerName 0 \"127.000.000.001\"\n");
  write_file("DENY-wget-reset", "");
  deny_ = true;
  start_line(1);
  EXPECT_EQ(log_.with_heading("can_control  ")[0].text, "do not allow wget resets");
  step();
  ntcan_test::set_net_down(0, true, NTCAN_SOCK_CONN_TIMEOUT);
  step();
  step();
  expect_reset_pattern(reopen_attempts(8), {1, 7});
  EXPECT_TRUE(wget_runs().empty());
}

TEST_F(Supervision, OtherOpenFailuresNeverReset) {
  install_fake_wget();
  write_file("esd-plugin", "PeerName 0 \"127.000.000.001\"\n");
  start_line(1);
  step();
  ntcan_test::set_net_down(0, true, NTCAN_NET_NOT_FOUND);
  step();
  step();
  expect_reset_pattern(reopen_attempts(14), {});
  EXPECT_TRUE(wget_runs().empty());
}

TEST_F(Supervision, LineComesBackAfterTheNetReturns) {
  canline* line = start_line(1);
  step();
  ntcan_test::set_net_down(0, true, NTCAN_SOCK_CONN_TIMEOUT);
  step();
  step();
  reopen_attempts(3);
  EXPECT_EQ(line->handle(), -1);
  ntcan_test::set_net_down(0, false);
  reopen_attempts(1);
  EXPECT_GT(line->handle(), 0);
  EXPECT_TRUE(line->is_open());
}

TEST_F(Supervision, StopFlagEndsTheThread) {
  canline* line = start_line(1);
  step();
  line->ThreadStop_ = true;
  step();
  EXPECT_EQ(log_.with_heading("can_control")[0].text, "stop can_control thread");
  EXPECT_EQ(clock_->sleepers(), 0);
}
