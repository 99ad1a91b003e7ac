// The demo server run as a user runs it: its standard output (status tables, events, command
// replies), its bus trace, its exit status and the configuration file it writes back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// One row of a status table.
struct Row {
  std::string node, line, id, master, condition, manufacturer, hw, sw, emergency;
};

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// A table row: nine cells separated by " | ", not the heading.
bool parse_row(const std::string& text, Row* row) {
  std::vector<std::string> cells;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t bar = text.find(" | ", pos);
    cells.push_back(
        trim(text.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos)));
    if (bar == std::string::npos) break;
    pos = bar + 3;
  }
  if (cells.size() != 9 || cells[0] == "node") return false;
  *row = {cells[0], cells[1], cells[2], cells[3], cells[4], cells[5], cells[6], cells[7], cells[8]};
  return true;
}

// What the program's standard input is while it runs.
class Input {
 public:
  explicit Input(int fd) : fd_(fd) {}
  void send(const std::string& text) {
    if (fd_ >= 0) {
      EXPECT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

struct Outcome {
  int exit_code = -1;  // -1: did not exit normally
  std::vector<std::string> out;
  std::vector<std::vector<Row>> tables;  // in the order printed
  // The process data rows ("  PUMP1 SPEED=..."), table by table.
  std::vector<std::vector<std::string>> process;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

class DemoServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // the program may end before it read everything we sent
    char tmpl[] = "/tmp/korvel-demo-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    original_ = read_file(KORVEL_DEMO_CONF);
    ASSERT_FALSE(original_.empty());
    std::ofstream(config()) << original_;
    // The device description files beside the configuration, as `make demo` puts them.
    const std::string copy = "cp -r '" KORVEL_DEMO_DEVICES "' '" + dir_ + "/devices'";
    ASSERT_EQ(std::system(copy.c_str()), 0);
  }

  void TearDown() override {
    if (HasFailure()) {
      std::fprintf(stderr, "--- standard error of the demo:\n%s",
                   read_file(dir_ + "/stderr.txt").c_str());
    }
    const std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!std::system(cmd.c_str());
  }

  std::string config() const { return dir_ + "/demo.conf"; }

  // Runs the demo with its standard error in a file. Every line of its standard output is
  // handed to on_line, which may write to its standard input; without on_line the input is
  // closed at once.
  Outcome run(
      const std::vector<std::string>& args,
      const std::function<void(const std::string&, const Outcome&, Input&)>& on_line = nullptr) {
    Outcome r;
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
      ADD_FAILURE() << "pipe";
      return r;
    }
    const std::string err_path = dir_ + "/stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
      unsetenv("NTCAN_CONFIG");  // every net simulated unless the test configures the driver
      for (const auto& e : env_) setenv(e.first.c_str(), e.second.c_str(), 1);
      dup2(in[0], 0);
      dup2(out[1], 1);
      const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, 2);
      ::close(in[0]);
      ::close(in[1]);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(KORVEL_DEMO_BIN));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(KORVEL_DEMO_BIN, argv.data());
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    Input input(in[1]);
    if (!on_line) input.close();

    std::FILE* from = fdopen(out[0], "r");
    char buf[4096];
    std::string pending;
    while (std::fgets(buf, sizeof buf, from)) {
      pending += buf;
      if (pending.back() != '\n') continue;
      pending.pop_back();
      r.out.push_back(pending);
      Row row;
      if (pending.rfind("--- ", 0) == 0) {
        r.tables.emplace_back();
        r.process.emplace_back();
      } else if (!r.tables.empty() && parse_row(pending, &row)) {
        r.tables.back().push_back(row);
      } else if (!r.tables.empty() && pending.rfind("  ", 0) == 0 &&
                 pending.find('=') != std::string::npos) {
        r.process.back().push_back(pending);
      }
      if (on_line) on_line(pending, r, input);
      pending.clear();
    }
    std::fclose(from);
    input.close();
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    return r;
  }

  std::string err() const { return read_file(dir_ + "/stderr.txt"); }

  std::string dir_;
  std::string original_;
  std::map<std::string, std::string> env_;  // set for the program
};

// The text between `key` and the next `end` in a line; empty when the line lacks `key`.
std::string between(const std::string& line, const std::string& key, const std::string& end) {
  const std::size_t b = line.find(key);
  if (b == std::string::npos) return std::string();
  const std::size_t from = b + key.size();
  const std::size_t e = line.find(end, from);
  return line.substr(from, e == std::string::npos ? std::string::npos : e - from);
}

bool contains(const std::vector<std::string>& lines, const std::string& fragment) {
  for (const auto& l : lines) {
    if (l.find(fragment) != std::string::npos) return true;
  }
  return false;
}

// The conditions a node showed, table by table.
std::vector<std::string> conditions(const Outcome& r, const std::string& node) {
  std::vector<std::string> seen;
  for (const auto& t : r.tables) {
    for (const auto& row : t) {
      if (row.node == node) seen.push_back(row.condition);
    }
  }
  return seen;
}

// True when the sequence holds `a`, later something else, and later `a` again.
bool leaves_and_regains(const std::vector<std::string>& seen, const std::string& a) {
  int phase = 0;
  for (const auto& c : seen) {
    if (phase == 0 && c == a)
      phase = 1;
    else if (phase == 1 && c != a)
      phase = 2;
    else if (phase == 2 && c == a)
      return true;
  }
  return false;
}

const Row* last_row(const Outcome& r, const std::string& node) {
  if (r.tables.empty()) return nullptr;
  for (const auto& row : r.tables.back()) {
    if (row.node == node) return &row;
  }
  return nullptr;
}

}  // namespace

TEST_F(DemoServer, ServesItsNodesThroughFaultsAndOperatorCommands) {
  struct Device {
    std::string net, id, manufacturer, hw, sw;
  };
  std::map<std::string, Device> devices;  // by the node that owns it
  std::string emergency_node, emergency_code, down;
  bool stop_sent = false;
  bool quit_sent = false;
  // Process data: the set-point written, the pump's speed seen at it, the fan's values stale
  // while its PDOs stop and fresh again after.
  bool set_point_sent = false, at_set_point = false, fan_stale = false, fan_fresh_again = false;

  // The operator stops PUMP1 once it runs, asks a few things, and quits once the story is
  // told: the emergency shown, the line down and back, PUMP1 stopped.
  auto operator_at_console = [&](const std::string& line, const Outcome& r, Input& in) {
    if (line.rfind("simulated device for ", 0) == 0) {
      devices[between(line, "for ", " ")] = {
          between(line, " net ", ","), between(line, "node-ID ", ":"),
          between(line, "manufacturer \"", "\""), between(line, "hardware \"", "\""),
          between(line, "software \"", "\"")};
    }
    if (line.find("'s device reports emergency ") != std::string::npos) {
      emergency_node = between(line, "script: ", "'s");
      emergency_code = between(line, "emergency ", " ");
    }
    if (line.find(") goes down") != std::string::npos) down = between(line, "script: line ", " ");
    if (line.rfind("  PUMP1 SPEED=900 ", 0) == 0 && line.find("SETPOINT=900") != std::string::npos)
      at_set_point = true;
    if (line.rfind("  FAN2 SPEED=", 0) == 0) {
      const bool stale = line.find("(stale)") != std::string::npos;
      fan_fresh_again = fan_fresh_again || (fan_stale && !stale);
      fan_stale = fan_stale || stale;
    }
    if (line.rfind("lines:", 0) != 0) return;  // decide at the end of a table
    const Row* pump = last_row(r, "PUMP1");
    if (!set_point_sent && pump && pump->condition == "Operational") {
      in.send("set PUMP1.SETPOINT 900\n");
      set_point_sent = true;
    }
    if (!stop_sent && at_set_point && pump && pump->condition == "Operational") {
      in.send("set PUMP1.STOP 1\nget PUMP1.STOP\nget NO.SUCH\nset PUMP1.RESET abc\nlist\n");
      stop_sent = true;
    }
    if (quit_sent || down.empty() || emergency_node.empty()) return;
    bool recovered = true;
    for (const auto& t : r.tables.back()) {
      if (t.line == down && t.condition != "Operational") recovered = false;
    }
    const Row* fan = last_row(r, emergency_node);
    bool told = recovered && fan_fresh_again && pump && pump->condition == "Stopped" && fan &&
                fan->emergency.rfind(emergency_code, 0) == 0;
    for (const auto& t : r.tables.back()) {
      if (t.line == down) told = told && leaves_and_regains(conditions(r, t.node), "Operational");
    }
    if (told) {
      in.send("quit\n");
      in.close();
      quit_sent = true;
    }
  };

  const std::string trace = dir_ + "/trace.log";
  const Outcome r = run({"--config", config(), "--seconds", "45", "--time-scale", "20",
                         "--table-every", "1", "--trace", trace},
                        operator_at_console);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(quit_sent) << "the run ended before the operator saw everything";
  ASSERT_GE(devices.size(), 3u);
  ASSERT_FALSE(r.tables.empty());

  // Every node shows its device's identity (the passive view too) and ran.
  for (const auto& row : r.tables.back()) {
    SCOPED_TRACE(row.node);
    bool has_device = false;
    for (const auto& d : devices) {
      if (d.second.id != row.id || std::to_string(std::stoi(d.second.net) + 1) != row.line)
        continue;
      has_device = true;
      EXPECT_EQ(row.manufacturer, d.second.manufacturer);
      EXPECT_EQ(row.hw, d.second.hw);
      EXPECT_EQ(row.sw, d.second.sw);
    }
    EXPECT_TRUE(has_device);
    EXPECT_TRUE(contains(conditions(r, row.node), "Operational"));
  }

  // The emergency, decoded.
  ASSERT_FALSE(emergency_node.empty());
  EXPECT_TRUE(contains(r.out, emergency_node + ": emergency " + emergency_code + " current"));

  // The outage: the nodes of the line lost and regained "Operational"; the others, apart
  // from the stopped PUMP1 and its passive view, never left it.
  ASSERT_FALSE(down.empty());
  const Row* pump = last_row(r, "PUMP1");
  ASSERT_NE(pump, nullptr);
  int on_down_line = 0;
  for (const auto& row : r.tables.back()) {
    SCOPED_TRACE(row.node);
    const std::vector<std::string> seen = conditions(r, row.node);
    if (row.line == down) {
      ++on_down_line;
      EXPECT_TRUE(leaves_and_regains(seen, "Operational"));
    } else if (row.line != pump->line || row.id != pump->id) {
      EXPECT_FALSE(leaves_and_regains(seen, "Operational"));
    }
  }
  EXPECT_GE(on_down_line, 1);
  EXPECT_TRUE(contains(r.out, "line " + down + " closed by its supervision"));
  EXPECT_TRUE(contains(r.out, "line " + down + " re-opened by its supervision"));

  // The operator's stop reached the device as an NMT stop frame, and the node shows it.
  char stop_frame[16];
  std::snprintf(stop_frame, sizeof stop_frame, "000#02%02X", std::stoi(pump->id));
  EXPECT_TRUE(contains(lines_of(read_file(trace)), stop_frame)) << stop_frame;
  EXPECT_EQ(pump->condition, "Stopped");
  EXPECT_TRUE(contains(r.out, "PUMP1.STOP = 1"));
  EXPECT_TRUE(contains(r.out, "no property 'NO.SUCH'"));
  EXPECT_TRUE(contains(r.out, "'abc' is not an integer"));
  for (const auto& row : r.tables.back())
    EXPECT_TRUE(contains(r.out, "  " + row.node + ".CONDITION = ")) << row.node;

  // Process data: the set-point went out in PUMP1's receive PDO (900 rpm, UNSIGNED16) and came
  // back as the pump's speed; the fan's speed went stale and fresh again; the heater's line
  // carried SYNC with its counter and the heater's temperature.
  char set_point_frame[16];
  std::snprintf(set_point_frame, sizeof set_point_frame, "%03X#8403", 0x200 + std::stoi(pump->id));
  EXPECT_TRUE(contains(lines_of(read_file(trace)), set_point_frame)) << set_point_frame;
  EXPECT_TRUE(at_set_point);
  EXPECT_TRUE(fan_stale && fan_fresh_again);
  EXPECT_TRUE(contains(lines_of(read_file(trace)), "080#01"));
  EXPECT_TRUE(contains(r.out, "  HEAT4 TEMPERATURE="));

  // The configuration comes back as it was, apart from the command the operator wrote.
  const std::vector<std::string> before = lines_of(original_);
  const std::vector<std::string> after = lines_of(read_file(config()));
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i].rfind("PUMP1.STOP:", 0) == 0)
      EXPECT_EQ(after[i], "PUMP1.STOP:\t1");
    else
      EXPECT_EQ(after[i], before[i]) << "line " << i + 1;
  }
}

TEST_F(DemoServer, RunsItsTimeWithoutInputAndWritesTheConfigurationBackUnchanged) {
  const Outcome r = run({"--config", config(), "--seconds", "2", "--time-scale", "20"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(r.tables.empty());
  EXPECT_EQ(read_file(config()), original_);
}

TEST_F(DemoServer, RefusesAConfigurationItCannotUse) {
  Outcome r = run({"--config", dir_ + "/missing.conf", "--seconds", "2"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(read_file(dir_ + "/stderr.txt").find("missing.conf"), std::string::npos);

  // A node line with two of its four values: the line is reported with its number, and the
  // node, left without an identity, stops the start.
  std::vector<std::string> lines = lines_of(original_);
  std::size_t bad = 0;
  while (bad < lines.size() && lines[bad].rfind("FAN2:", 0) != 0) ++bad;
  ASSERT_LT(bad, lines.size());
  lines[bad] = "FAN2:\t1  6";
  std::ofstream out(config());
  for (const auto& l : lines) out << l << '\n';
  out.close();
  r = run({"--config", config(), "--seconds", "2"});
  EXPECT_NE(r.exit_code, 0);
  const std::string err = read_file(dir_ + "/stderr.txt");
  EXPECT_NE(err.find("demo.conf:" + std::to_string(bad + 1)), std::string::npos) << err;
  EXPECT_NE(err.find("node FAN2"), std::string::npos) << err;
  EXPECT_TRUE(r.tables.empty());
}

TEST_F(DemoServer, FollowsTheCommandLineConventions) {
  Outcome r = run({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out[0].rfind("usage: korvel_demo --config FILE", 0), 0u) << r.out[0];
  EXPECT_TRUE(contains(r.out, "  --quiet"));
  EXPECT_EQ(err(), "");

  r = run({"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, std::vector<std::string>{std::string("korvel_demo ") + KORVEL_VERSION});

  // Each wrong command line: exit 2 before anything starts, the culprit named on standard error.
  const std::string unwritable = dir_ + "/no-such-folder/trace.log";
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> wrong = {
      {{"--config", config(), "--bogus"}, {"unknown option '--bogus'"}},
      {{"--config", config(), "--seconds", "abc"}, {"'abc'", "--seconds"}},
      {{"--config", config(), "--time-scale=-3"}, {"'-3'", "--time-scale"}},
      {{"--config", config(), "--table-every"}, {"--table-every needs a value"}},
      {{"--config", config(), "--quiet=yes"}, {"--quiet takes no value"}},
      {{"--config", config(), "extra"}, {"'extra'"}},
      {{"--seconds", "2"}, {"--config FILE is required"}},
      {{"--config", config(), "--quiet", "--verbose"}, {"--quiet and --verbose"}},
      {{"--config", config(), "--trace", unwritable},
       {unwritable, "--trace", "No such file or directory"}},
  };
  for (const auto& w : wrong) {
    SCOPED_TRACE(w.first.back());
    r = run(w.first);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(r.out.empty()) << r.out.front();  // nothing started
    const std::string e = err();
    for (const auto& fragment : w.second)
      EXPECT_NE(e.find(fragment), std::string::npos) << fragment << " in " << e;
    EXPECT_NE(e.find("Try 'korvel_demo --help'"), std::string::npos) << e;
  }
  EXPECT_EQ(read_file(config()), original_);
}

TEST_F(DemoServer, QuitEndsTheCommandsAtOnceAndPipedOutputHasNoPrompt) {
  const std::string trace = dir_ + "/trace.log";
  bool sent = false;
  const Outcome r = run({"--config", config(), "--seconds", "30", "--trace", trace},
                        [&](const std::string& line, const Outcome&, Input& in) {
                          if (sent || line.rfind("lines:", 0) != 0) return;
                          // One write: the set after quit arrives together with it.
                          in.send("get PUMP1.STOP\nquit\nset PUMP1.STOP 1\n");
                          sent = true;
                        });
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_TRUE(sent);
  EXPECT_TRUE(contains(r.out, "PUMP1.STOP = 0"));
  EXPECT_TRUE(contains(r.out, "stopping"));
  EXPECT_FALSE(contains(r.out, "PUMP1.STOP = 1"));
  // No NMT stop on the bus, none in the configuration written back.
  char stop_frame[16];
  std::snprintf(stop_frame, sizeof stop_frame, "000#02%02X", 5);
  EXPECT_FALSE(contains(lines_of(read_file(trace)), stop_frame));
  EXPECT_EQ(read_file(config()), original_);
  // The commands are recorded in the output; no prompt waits in it.
  EXPECT_TRUE(contains(r.out, "DEMO> get PUMP1.STOP"));
  for (const auto& l : r.out) {
    if (l.rfind("DEMO> ", 0) == 0) {
      EXPECT_TRUE(l == "DEMO> get PUMP1.STOP" || l == "DEMO> quit") << l;
    }
  }
}

TEST_F(DemoServer, PrintsTheStatusTableWhenItChangesAndOnList) {
  // Fifteen framework seconds: the nodes come up, then only the devices' values change (the
  // fan's speed never does): a table is printed only when a condition or a value changed.
  Outcome r =
      run({"--config", config(), "--seconds", "3", "--time-scale", "5", "--table-every", "1"});
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_FALSE(r.tables.empty());
  for (std::size_t i = 1; i < r.tables.size(); ++i) {
    bool same = r.tables[i].size() == r.tables[i - 1].size() && r.process[i] == r.process[i - 1];
    for (std::size_t k = 0; same && k < r.tables[i].size(); ++k) {
      same = r.tables[i][k].condition == r.tables[i - 1][k].condition &&
             r.tables[i][k].manufacturer == r.tables[i - 1][k].manufacturer;
    }
    EXPECT_FALSE(same) << "table " << i << " repeats the one before";
  }

  // `list` prints the table even though nothing changed.
  int asked = 0;
  std::size_t tables_before = 0;
  r = run({"--config", config(), "--seconds", "30"},
          [&](const std::string& line, const Outcome& o, Input& in) {
            if (line.rfind("lines:", 0) != 0) return;
            if (asked == 0) {
              tables_before = o.tables.size();
              in.send("list\n");
            } else {
              in.send("quit\n");
            }
            ++asked;
          });
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_EQ(asked, 2);
  ASSERT_EQ(r.tables.size(), tables_before + 1);
  EXPECT_TRUE(contains(r.out, "  PUMP1.CONDITION = Operational"));
}

TEST_F(DemoServer, ShowsLibraryLogLinesUnlessQuietAndDumpsFramesOnDebug) {
  // --verbose shows every frame the nodes receive; `debug PUMP1` turns on the library's dump
  // of PUMP1's frames, which goes to the log with the library's other lines.
  bool debugging = false;
  bool quit_sent = false;
  Outcome r = run(
      {"--config", config(), "--seconds", "30", "--verbose"},
      [&](const std::string& line, const Outcome&, Input& in) {
        if (!debugging && line.rfind("lines:", 0) == 0) {
          in.send("debug\ndebug PUMP1\n");
          debugging = true;
        } else if (debugging && !quit_sent && line.find(" PUMP1 rx 705#05") != std::string::npos) {
          in.send("debug off\nquit\n");
          quit_sent = true;
        }
      });
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_TRUE(quit_sent);
  EXPECT_TRUE(contains(r.out, "debug word 0x00000000"));
  EXPECT_TRUE(contains(r.out, "frame dump of PUMP1 (1 5 0 0) on"));
  std::string e = err();
  EXPECT_NE(e.find("can_print"), std::string::npos) << e;
  EXPECT_NE(e.find("ID: 705, Len: 1, Data: 05"), std::string::npos) << e;
  EXPECT_NE(e.find("Inside can_control"), std::string::npos) << e;  // the lines' supervision

  // --quiet: the same run leaves only the driver's word on standard error.
  debugging = false;
  quit_sent = false;
  r = run({"--config", config(), "--seconds", "30", "--quiet"}, [&](const std::string& line,
                                                                    const Outcome&, Input& in) {
    if (!debugging && line.rfind("lines:", 0) == 0) {
      in.send("debug PUMP1\n");
      debugging = true;
    } else if (debugging && !quit_sent && line.find("frame dump of PUMP1") != std::string::npos) {
      in.send("get PUMP1.CONDITION\nquit\n");
      quit_sent = true;
    }
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(quit_sent);
  EXPECT_FALSE(contains(r.out, "rx 705#"));
  EXPECT_EQ(
      err(),
      "ntcan: NTCAN_CONFIG is not set: every net is a simulated in-process CAN bus\n");  // the
                                                                                         // driver's
}

// A program of ours running beside the test: standard input and output are pipes.
class Companion {
 public:
  explicit Companion(const std::vector<std::string>& argv) {
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      ::close(in[0]);
      ::close(in[1]);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = fdopen(out[0], "r");
  }
  ~Companion() { stop(); }

  // The next line of its standard output (empty at its end).
  std::string line() {
    char buf[512];
    if (!from_ || !std::fgets(buf, sizeof buf, from_)) return std::string();
    std::string l = buf;
    if (!l.empty() && l.back() == '\n') l.pop_back();
    return l;
  }
  // Ends it by its own command and waits for it; returns its exit status.
  int stop(const std::string& command = "quit\n") {
    if (pid_ <= 0) return -1;
    if (to_ >= 0) {
      (void)!::write(to_, command.data(), command.size());
      ::close(to_);
      to_ = -1;
    }
    if (from_) std::fclose(from_);
    from_ = nullptr;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  std::FILE* from_ = nullptr;
};

TEST_F(DemoServer, ShowsTheRealDevicesOfANetTheDriverConfigurationGivesToAGateway) {
  // Our gateway simulator, started as a user starts it, with two devices on its bus; the
  // driver configuration puts line 2 (net 1) on it.
  std::ofstream(dir_ + "/gateway.conf")
      << "bus can0\n"
         "device can0 10 \"Gateway Valve Co\" \"GV-1\" \"9.9\"\n"
         "device can0 11 \"Gateway Heater Co\" \"GH-2\" \"8.8\"\n";
  Companion gateway({KORVEL_GATEWAY_SIM_BIN, "--port", "0", "--http-port", "-1", "--quiet",
                     "--config", dir_ + "/gateway.conf"});
  const std::string ready = gateway.line();  // "socketcand 127.0.0.1 PORT http -1"
  const std::string port = between(ready, "127.0.0.1 ", " ");
  ASSERT_FALSE(port.empty()) << ready;
  std::ofstream(dir_ + "/nets.conf") << "1 socketcand 127.0.0.1 " << port << " can0\n";
  env_["NTCAN_CONFIG"] = dir_ + "/nets.conf";

  bool quit_sent = false;
  const Outcome r =
      run({"--config", config(), "--seconds", "30"},
          [&](const std::string& line, const Outcome& o, Input& in) {
            if (quit_sent || line.rfind("lines:", 0) != 0) return;
            const Row* valve = last_row(o, "VALVE3");
            const Row* heater = last_row(o, "HEAT4");
            const Row* pump = last_row(o, "PUMP1");
            if (valve && heater && pump && valve->condition == "Operational" &&
                heater->condition == "Operational" && pump->condition == "Operational") {
              in.send("quit\n");
              quit_sent = true;
            }
          });
  EXPECT_EQ(gateway.stop(), 0);
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_TRUE(quit_sent) << err();
  // The gateway's devices answer on line 2; line 1 keeps its simulated devices.
  const Row* valve = last_row(r, "VALVE3");
  const Row* heater = last_row(r, "HEAT4");
  const Row* pump = last_row(r, "PUMP1");
  EXPECT_EQ(valve->manufacturer, "Gateway Valve Co");
  EXPECT_EQ(valve->hw, "GV-1");
  EXPECT_EQ(heater->manufacturer, "Gateway Heater Co");
  EXPECT_EQ(heater->sw, "8.8");
  EXPECT_EQ(pump->manufacturer, "Halvorsen Pumpwerk");
  EXPECT_TRUE(contains(
      r.out, "VALVE3: net 1 has a transport of the driver configuration: no simulated device"));
  EXPECT_FALSE(contains(r.out, "simulated device for VALVE3"));
  EXPECT_FALSE(contains(r.out, "simulated device for HEAT4"));
  EXPECT_TRUE(contains(r.out, "simulated device for PUMP1 on net 0"));
}

TEST_F(DemoServer, PromptsOnATerminal) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string err_path = dir_ + "/stderr.txt";
  const pid_t pid = fork();
  if (pid == 0) {
    unsetenv("NTCAN_CONFIG");
    setsid();
    dup2(slave, 0);
    dup2(slave, 1);
    const int e = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (e >= 0) dup2(e, 2);
    ::close(master);
    ::close(slave);
    const std::string conf = config();
    execl(KORVEL_DEMO_BIN, KORVEL_DEMO_BIN, "--config", conf.c_str(), "--seconds", "30",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(slave);
  // Everything the terminal shows, until the program has ended (the terminal then reports EIO).
  std::string screen;
  bool quit_sent = false;
  char buf[1024];
  for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) {
    screen.append(buf, static_cast<std::size_t>(n));
    if (!quit_sent && screen.find("lines:") != std::string::npos &&
        screen.find("DEMO> ") != std::string::npos) {
      const std::string cmd = "quit\n";
      ASSERT_EQ(::write(master, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
      quit_sent = true;
    }
  }
  ::close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(quit_sent) << screen;
  EXPECT_NE(screen.find("stopping"), std::string::npos) << screen;
}

TEST_F(DemoServer, ReadsAndWritesObjectsAndShowsTheHeartbeatDeviceLostAndBack) {
  bool sent = false;
  bool quit_sent = false;
  const std::string lost = "Lost: no heartbeat or guarding answer";
  // At the first table the operator reads and writes objects; once HEAT4 was lost and is
  // back, the operator quits.
  auto operator_at_console = [&](const std::string& line, const Outcome& r, Input& in) {
    if (line.rfind("lines:", 0) != 0) return;
    if (!sent) {
      in.send(
          "read HEAT4 0x1017 0\n"
          "write HEAT4 0x1017 0 700000\n"
          "write HEAT4 0x1017 0 0x1F4\n"
          "read PUMP1 0x1008 0\n"
          "read PUMP1 0x6100 0\n"
          "write PUMP1 0x1008 0 \"new name\"\n"
          "write PUMP1 0x1008\n"
          "read NOPE 0x1000 0\n"
          "read PUMP1 0x10000 0\n");
      sent = true;
    }
    const std::vector<std::string> seen = conditions(r, "HEAT4");
    if (!quit_sent && leaves_and_regains(seen, "Operational") && contains(seen, lost)) {
      in.send("quit\n");
      in.close();
      quit_sent = true;
    }
  };
  const Outcome r =
      run({"--config", config(), "--seconds", "30", "--time-scale", "20", "--table-every", "1"},
          operator_at_console);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(quit_sent) << "the run ended before HEAT4 was lost and back";

  // Start-up: the producer time written by download, the supervision switched on.
  EXPECT_TRUE(contains(
      r.out, "HEAT4: heartbeat every 500 ms (0x1017 written by SDO download), lost after 1500 ms"));
  // The commands, with the abort codes by name.
  EXPECT_TRUE(contains(r.out, "HEAT4 0x1017/0 = 500 (2 bytes: F4 01)"));
  EXPECT_TRUE(contains(r.out, "700000 does not fit the 2 bytes of HEAT4 0x1017/0"));
  EXPECT_TRUE(contains(r.out, "HEAT4 0x1017/0 = 500 (2 bytes: F4 01) written"));
  EXPECT_TRUE(contains(r.out, "PUMP1 0x1008/0 = \"Halvorsen Pumpwerk\" (18 bytes)"));
  EXPECT_TRUE(contains(
      r.out, "read PUMP1 0x6100/0 failed: the device aborted: 0x06020000 object does not exist"));
  EXPECT_TRUE(contains(r.out,
                       "write PUMP1 0x1008/0 failed: the device aborted: 0x06010002 attempt to "
                       "write a read-only object"));
  EXPECT_TRUE(contains(r.out, "usage: write NODE INDEX SUB VALUE"));
  EXPECT_TRUE(contains(r.out, "no node 'NOPE' at location DEMO"));
  EXPECT_TRUE(contains(r.out, "'0x10000' is no object index"));

  // The scripted silence: lost in the table, then back, each told once.
  const std::vector<std::string> seen = conditions(r, "HEAT4");
  EXPECT_TRUE(contains(seen, lost));
  EXPECT_EQ(seen.back(), "Operational");
  int lost_lines = 0;
  int back_lines = 0;
  for (const auto& l : r.out) {
    lost_lines += l.find("HEAT4: lost, no heartbeat for 1500 ms") != std::string::npos;
    back_lines += l.find("HEAT4: heartbeats again, Operational") != std::string::npos;
  }
  EXPECT_EQ(lost_lines, 1);
  EXPECT_EQ(back_lines, 1);
  // The other nodes are guarded as before and never lost.
  for (const char* other : {"PUMP1", "FAN2", "VALVE3"})
    EXPECT_FALSE(contains(conditions(r, other), lost)) << other;
}

TEST_F(DemoServer, ConfiguresPump1FromItsDcfAndTakesObjectsByName) {
  bool sent = false;
  const std::string trace = dir_ + "/trace.log";
  const Outcome r = run({"--config", config(), "--seconds", "30", "--trace", trace},
                        [&](const std::string& line, const Outcome&, Input& in) {
                          if (sent || line.rfind("lines:", 0) != 0) return;
                          in.send(
                              "read FAN2 high_speed\nwrite FAN2 HIGH_SPEED 3000\n"
                              "read PUMP1 NO_SUCH\nwrite PUMP1 SPEED 5\nquit\n");
                          sent = true;
                        });
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_TRUE(sent);
  // The DCF's TPDO 1 written in the CiA 301 order (temperature, REAL32, before the speed, event
  // timer 500 ms), and only then the NMT start; the TPDOs then carry the DCF's layout.
  const std::vector<std::string> expected = {"605#2300180185010080", "605#2F001A0000000000",
                                             "605#23001A0120010160", "605#23001A0210010060",
                                             "605#2F001A0002000000", "605#2B001805F4010000",
                                             "605#2300180185010000", "000#0105"};
  std::size_t next = 0;
  int tpdos = 0;
  for (const std::string& l : lines_of(read_file(trace))) {
    if (next < expected.size() && l.find(" " + expected[next]) != std::string::npos) ++next;
    const std::size_t at = l.find(" 185#");
    if (at == std::string::npos) continue;
    EXPECT_EQ(next, expected.size()) << "a TPDO before the configuration: " << l;
    ASSERT_EQ(l.size(), at + 5 + 12) << l;
    const std::uint32_t bits = __builtin_bswap32(std::stoul(l.substr(at + 5, 8), nullptr, 16));
    float temperature;
    std::memcpy(&temperature, &bits, sizeof temperature);
    EXPECT_TRUE(temperature >= 15 && temperature <= 45) << l;
    ++tpdos;
  }
  EXPECT_EQ(next, expected.size());
  EXPECT_GT(tpdos, 0);
  // The server reads them as the device sends them.
  ASSERT_TRUE(!r.process.empty() && !r.process.back().empty());
  const std::string& pump = r.process.back()[0];
  EXPECT_EQ(pump.rfind("  PUMP1 SPEED=", 0), 0u) << pump;
  EXPECT_GE(std::atof(between(pump, "TEMPERATURE=", " ").c_str()), 15) << pump;

  EXPECT_TRUE(contains(r.out, "FAN2 high_speed (0x2100/3) = 3600 (2 bytes: 10 0E)"));
  EXPECT_TRUE(contains(r.out, "FAN2 HIGH_SPEED (0x2100/3) = 3000 (2 bytes: B8 0B) written"));
  EXPECT_TRUE(contains(r.out, "no object 'NO_SUCH' in the device file of PUMP1"));
  EXPECT_TRUE(
      contains(r.out, "write PUMP1 SPEED (0x6000/1) failed: the device aborted: 0x06010002"));
  EXPECT_EQ(read_file(config()), original_);
}
