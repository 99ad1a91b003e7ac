// log.cc - the server log: printtostderr, the replaceable sink and the capturing sink.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <shared_mutex>

#include "vexil/vexil_host.h"

namespace vexil {

namespace {

// Global log state. Created on first use and never destroyed: detached threads may log while
// the process exits, after static objects with destructors would be gone.
struct LogState {
  // Shared while a line is handed to the sink, exclusive while the sink changes: once
  // set_log_sink returns, no thread still writes to the old sink.
  std::shared_mutex sink_mx;
  LogSink* sink = nullptr;
  // Serialises writes to standard error so that lines never interleave.
  std::mutex stderr_mx;
};

LogState& log_state() {
  static LogState* s = new LogState;
  return *s;
}

void write_stderr(const std::string& s) {
  LogState& st = log_state();
  std::lock_guard<std::mutex> lk(st.stderr_mx);
  const char* p = s.data();
  std::size_t left = s.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

// Heading and text as they appear in a line: one blank between them unless the heading
// already ends with one.
std::string heading_and_text(const LogLine& line) {
  std::string s = line.heading;
  if (s.empty() || s.back() != ' ') s += ' ';
  s += line.text;
  return s;
}

}  // namespace

LogSink* set_log_sink(LogSink* sink) {
  LogState& st = log_state();
  std::unique_lock<std::shared_mutex> lk(st.sink_mx);
  LogSink* previous = st.sink;
  st.sink = sink;
  return previous;
}

std::string format_log_line(const LogLine& line) {
  // UTC, millisecond resolution.
  std::int64_t secs = line.time / 1000000000;
  std::int64_t ns = line.time % 1000000000;
  if (ns < 0) {
    ns += 1000000000;
    --secs;
  }
  std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ns / 1000000));
  return buf + heading_and_text(line);
}

void printtostderr(const std::string& heading, const std::string& text, unsigned flags) {
  LogLine line{heading, text, flags, clock().now()};
  LogState& st = log_state();
  {
    std::shared_lock<std::shared_mutex> lk(st.sink_mx);
    if (st.sink) {
      st.sink->write(line);
      return;
    }
  }
  write_stderr(format_log_line(line) + "\n");
}

// ---------------------------------------------------------------- LogCapture

LogCapture::LogCapture(bool echo) : previous_(nullptr), echo_(echo) {
  previous_ = set_log_sink(this);
}

LogCapture::~LogCapture() { set_log_sink(previous_); }

void LogCapture::write(const LogLine& line) {
  if (echo_) write_stderr(format_log_line(line) + "\n");
  std::lock_guard<std::mutex> lk(mx_);
  lines_.push_back(line);
  cv_.notify_all();
}

std::vector<LogLine> LogCapture::lines() const {
  std::lock_guard<std::mutex> lk(mx_);
  return lines_;
}

std::vector<LogLine> LogCapture::with_heading(const std::string& heading) const {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<LogLine> out;
  for (const LogLine& l : lines_)
    if (l.heading == heading) out.push_back(l);
  return out;
}

namespace {
int count_in(const std::vector<LogLine>& lines, const std::string& fragment) {
  int n = 0;
  for (const LogLine& l : lines)
    if (heading_and_text(l).find(fragment) != std::string::npos) ++n;
  return n;
}
}  // namespace

int LogCapture::count(const std::string& fragment) const {
  std::lock_guard<std::mutex> lk(mx_);
  return count_in(lines_, fragment);
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lk(mx_);
  lines_.clear();
}

bool LogCapture::wait_for(const std::string& fragment, int timeout_ms) const {
  std::unique_lock<std::mutex> lk(mx_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                      [&] { return count_in(lines_, fragment) > 0; });
}

}  // namespace vexil
