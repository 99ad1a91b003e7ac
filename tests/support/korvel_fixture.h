// Test fixture of the library: virtual time, a fresh simulated driver, captured log lines, a
// location, and access to a node's internals.
#ifndef KORVEL_FIXTURE_H
#define KORVEL_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "canbus/frame_text.h"
#include "ntcan/sim_bus.h"
#include "ntcan/test_controls.h"
#include "vexil/vexil_host.h"

// Reaches the fields of a node that the hosting code does not see.
struct KorvelTestPeer {
  static IIII& ident(D_can& n) { return n.canIdent_; }
  static NTCAN_HANDLE own_handle(const D_can& n) { return n.canhandle_; }
  static CMSG* rxmsg(const D_can& n) { return n.rxmsg_; }
  static int* can_ret(const D_can& n) { return n.can_ret_; }
  static int32_t* rxmsg_len(const D_can& n) { return n.rxmsg_len_; }
  static int* alive_ptr(const D_can& n) { return n.alive_ptr_; }
  static D_int* baudrate(const D_can& n) { return n.baudrate_; }
  static D_canactive* active(const D_can& n) { return n.active_; }
  static D_canint* start(const D_can& n) { return n.start_node_; }
  static D_canint* stop(const D_can& n) { return n.stop_node_; }
  static D_canint* reset(const D_can& n) { return n.reset_node_; }
  static D_Alive* alive(const D_can& n) { return n.alive_; }
  static D_string* condition(const D_can& n) { return n.modul_condition_; }
  static D_string* manu(const D_can& n) { return n.manu_; }
  static D_string* hwver(const D_can& n) { return n.hwver_; }
  static D_string* swver(const D_can& n) { return n.swver_; }
  static D_iiii* debug_id() { return D_can::canIdent_debug_; }
};

class KorvelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = &vexil::VirtualClock::install();
    ntcan_test::reset();
    ntcan_test::keep_records(true);  // the tests read the driver's call record and bus log
    ntcan_test::set_time_source([] { return vexil::clock().now(); });
    // The CANopen services run on the same virtual time; like VEXILtime, each look lets the
    // clock's query step pass (set_query_step), so a wait on it moves the time along.
    korvel::set_millisecond_source([] { return vexil::clock().query() / 1000000; });
    char tmpl[] = "/tmp/korvel-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);  // the supervision thread looks for its marker file here
    setenv("KORVEL_GATEWAY_FILE", (dir_ + "/esd-plugin").c_str(), 1);
    loc_.set_username("op");
    loc_.set_hostname("console");
  }

  void TearDown() override {
    if (HasFailure()) {
      // What the library logged and what crossed the bus, to read the failure like a trace.
      for (const auto& l : log_.lines())
        std::fprintf(stderr, "log: %s\n", vexil::format_log_line(l).c_str());
      for (const auto& c : ntcan_test::calls()) {
        std::fprintf(stderr, "call: %s handle %d -> %d %s\n", c.op.c_str(), c.handle, c.result,
                     c.frames.empty() ? "" : canbus::to_string(c.frames).c_str());
      }
    }
    nodes_.clear();
    korvel::set_millisecond_source(nullptr);
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!std::system(cmd.c_str());
  }

  // A node of the test's location with the given identity (as if loaded from its configuration).
  D_can& node(const std::string& name, IIII ident) {
    nodes_.push_back(std::make_unique<D_can>(name, &loc_));
    KorvelTestPeer::ident(*nodes_.back()) = ident;
    return *nodes_.back();
  }

  // The four kinds of node of one line, started: the line's first node (a master on the line
  // handle) with node-ID id_first, its passive twin, a second master with node-ID id_second and
  // a handle of its own, and that master's passive twin. A failed start fails the test.
  struct FourKinds {
    D_can& first;
    D_can& twin;
    D_can& second;
    D_can& second_twin;
  };
  FourKinds start_four_kinds(int id_first, int id_second) {
    FourKinds n{node("FIRST", {1, id_first, 0, 0}), node("TWIN", {1, id_first, 1, 0}),
                node("SECOND", {1, id_second, 0, 0}), node("SECONDTWIN", {1, id_second, 1, 0})};
    EXPECT_EQ(n.first.init(0x700 + id_first), 0);
    EXPECT_EQ(n.twin.init(0x700 + id_first), 0);
    EXPECT_EQ(n.second.init(0x700 + id_second), 0);
    EXPECT_EQ(n.second_twin.init(0x700 + id_second), 0);
    return n;
  }

  // After an outage of the line: the first node and its twin follow the line's handle, the
  // second master and its twin keep own, and every kind answers NMT start and node guarding.
  // guard(node) sends the guarding request and returns the answer's first four characters.
  template <typename Guard>
  static void expect_four_kinds_work(const FourKinds& n, NTCAN_HANDLE own, Guard guard) {
    EXPECT_EQ(n.twin.handle(), n.first.line()->handle());
    EXPECT_EQ(n.second.handle(), own);
    EXPECT_EQ(n.second_twin.handle(), own);
    EXPECT_EQ(n.first.start_node(), 0);
    EXPECT_EQ(n.second.start_node(), 0);
    const std::string first_answer = "70" + std::to_string(n.first.value()->i2_data) + "#";
    const std::string second_answer = "70" + std::to_string(n.second.value()->i2_data) + "#";
    EXPECT_EQ(guard(n.first), first_answer);
    EXPECT_EQ(guard(n.twin), first_answer);
    EXPECT_EQ(guard(n.second), second_answer);
    EXPECT_EQ(guard(n.second_twin), second_answer);
  }

  // No call in the record was made on a handle closed before it; returns how many handles
  // were closed.
  static std::size_t expect_no_call_on_a_closed_handle() {
    std::set<NTCAN_HANDLE> closed;
    for (const auto& c : ntcan_test::calls()) {
      if (c.op != "canOpen") {
        EXPECT_EQ(closed.count(c.handle), 0u) << c.op << " on closed handle " << c.handle;
      }
      if (c.op == "canClose" && c.result == NTCAN_SUCCESS) closed.insert(c.handle);
    }
    return closed.size();
  }

  // A sub-property of node n (suffix such as ".MANU") read as a client reads it: found by its
  // name in the location, its value taken through get().
  EqData client_read(D_can& n, const std::string& suffix) {
    EqData out;
    D_fct* p = loc_.find_property(n.basename() + suffix);
    EXPECT_NE(p, nullptr) << n.basename() + suffix;
    if (p) {
      EXPECT_EQ(p->get(nullptr, nullptr, &out, &loc_), 0);
    }
    return out;
  }
  std::string read_text(D_can& n, const std::string& suffix) {
    return client_read(n, suffix).get_string();
  }
  int read_int(D_can& n, const std::string& suffix) { return client_read(n, suffix).get_int(); }

  void write_file(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }

  // A stand-in for wget, first on PATH, that records its arguments one run per line, and
  // the configuration file it is given (--config=FILE) in wget-config.log.
  void install_fake_wget() {
    const std::string bin = dir_ + "/bin";
    mkdir(bin.c_str(), 0755);
    std::ofstream(bin + "/wget")
        << "#!/bin/sh\necho \"$@\" >> '" << dir_ << "/wget.log'\n"
        << "for a; do case \"$a\" in --config=*) cat \"${a#--config=}\" >> '" << dir_
        << "/wget-config.log';; esac; done\n";
    chmod((bin + "/wget").c_str(), 0755);
    setenv("PATH", (bin + ":" + getenv("PATH")).c_str(), 1);
  }
  std::string wget_configs() {
    std::ifstream in(dir_ + "/wget-config.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::vector<std::string> wget_runs() {
    std::vector<std::string> runs;
    std::ifstream in(dir_ + "/wget.log");
    for (std::string l; std::getline(in, l);) runs.push_back(l);
    return runs;
  }

  // Lets the sleeping threads run to the next pause of a second or more (the 5 ms pauses
  // around driver calls are passed through): one step of a supervision thread.
  void step() {
    constexpr int64_t kSecond = 1000000000LL;
    do {
      auto d = clock_->deadlines();
      ASSERT_FALSE(d.empty());
      clock_->advance(d.front() - clock_->now());
    } while (!clock_->deadlines().empty() && clock_->deadlines().front() - clock_->now() < kSecond);
  }

  // The frames the driver saw sent with canSend, in can-utils notation.
  static std::vector<std::string> sent_frames() {
    std::vector<std::string> out;
    for (const auto& c : ntcan_test::calls("canSend")) {
      for (const auto& f : c.frames) out.push_back(canbus::to_string(f));
    }
    return out;
  }

  vexil::VirtualClock* clock_ = nullptr;
  std::string dir_;
  EqFct loc_{"TESTLOC"};
  vexil::LogCapture log_;
  std::vector<std::unique_ptr<D_can>> nodes_;
};

#endif  // KORVEL_FIXTURE_H
