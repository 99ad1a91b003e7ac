// Server log: line format, capturing sinks and standard error from several threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <thread>

#include "vexil/vexil_host.h"

namespace {

TEST(LogFormat, TimeHeadingAndText) {
  // 2023-11-14 22:13:20 UTC plus 123.9 ms.
  const vexil::Timestamp t = 1700000000LL * 1000000000LL + 123900000LL;
  EXPECT_EQ(vexil::format_log_line({"config", "bad line", 0, t}),
            "2023-11-14 22:13:20.123 config bad line");
  EXPECT_EQ(vexil::format_log_line({"node 3: ", "lost", 0, t}),
            "2023-11-14 22:13:20.123 node 3: lost");
}

TEST(LogCaptureTest, CapturesWithTheFrameworkTime) {
  vexil::VirtualClock& vc = vexil::VirtualClock::install();
  vc.advance(1000);
  vexil::LogCapture log;
  vexil::printtostderr("hdr", "first line", 7);
  vexil::printtostderr("other", "second");
  const std::vector<vexil::LogLine> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].heading, "hdr");
  EXPECT_EQ(lines[0].text, "first line");
  EXPECT_EQ(lines[0].flags, 7u);
  EXPECT_EQ(lines[0].time, vc.now());
  EXPECT_EQ(log.count("hdr first"), 1);  // heading and text as the line shows them
  EXPECT_EQ(log.with_heading("other").size(), 1u);
  log.clear();
  EXPECT_FALSE(log.contains("second"));
}

TEST(LogCaptureTest, LinesFromAnotherThreadAndNestedCaptures) {
  vexil::LogCapture outer;
  {
    vexil::LogCapture inner;
    std::thread t([] {
      for (int k = 0; k < 50; ++k) vexil::printtostderr("worker", "line " + std::to_string(k));
    });
    EXPECT_TRUE(inner.wait_for("line 49"));
    t.join();
    EXPECT_EQ(inner.count("worker line"), 50);
  }
  // The inner capture is gone: lines reach the outer one again.
  vexil::printtostderr("main", "after");
  EXPECT_TRUE(outer.contains("after"));
  EXPECT_FALSE(outer.contains("worker"));
}

TEST(LogToStderr, LinesOfSeveralThreadsNeverInterleave) {
  char path[] = "/tmp/vexil_stderr_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const int saved = dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_GE(dup2(fd, STDERR_FILENO), 0);

  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k)
    threads.emplace_back([k] {
      const std::string body(300, static_cast<char>('a' + k));
      for (int n = 0; n < kLines; ++n) vexil::printtostderr("T" + std::to_string(k), body);
    });
  for (std::thread& t : threads) t.join();

  dup2(saved, STDERR_FILENO);
  close(saved);
  close(fd);
  std::ifstream in(path);
  // "YYYY-MM-DD HH:MM:SS.mmm T<k> " and then 300 times the thread's own letter, nothing else.
  const std::string stamp_shape = "dddd-dd-dd dd:dd:dd.ddd ";
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    ASSERT_EQ(line.size(), stamp_shape.size() + 3 + 300) << line.substr(0, 80);
    for (std::size_t i = 0; i < stamp_shape.size(); ++i)
      ASSERT_TRUE(stamp_shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                        : line[i] == stamp_shape[i])
          << line.substr(0, 80);
    const std::string rest = line.substr(stamp_shape.size());
    ASSERT_TRUE(rest[0] == 'T' && rest[1] >= '0' && rest[1] < '0' + kThreads && rest[2] == ' ')
        << rest.substr(0, 40);
    EXPECT_EQ(rest.substr(3), std::string(300, static_cast<char>('a' + (rest[1] - '0'))));
  }
  unlink(path);
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
