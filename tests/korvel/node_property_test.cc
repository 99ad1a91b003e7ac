// A node as a property: identity from and to the configuration, client access, the identity
// change, its sub-properties, and the debug dump of received frames.
#include <gtest/gtest.h>

#include <sstream>

#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;

bool same(const IIII& a, const IIII& b) {
  return a.i1_data == b.i1_data && a.i2_data == b.i2_data && a.i3_data == b.i3_data &&
         a.i4_data == b.i4_data;
}

class NodeProperty : public KorvelTest {};

}  // namespace

TEST_F(NodeProperty, IdentityLoadsFromConfigurationWithinBounds) {
  write_file("loc.conf",
             "A: \t21  5  6  7\n"
             "B: \t3  2001  0  2000\n"
             "C: \t-1  -5  0  0\n");
  D_can& a = node("A first", {});
  D_can& b = node("B", {});
  D_can& c = node("C", {});
  D_can& d = node("D", {25, 3000, 1, 1});  // no entry: keeps its identity, bounded all the same
  loc_.set_config_file(dir_ + "/loc.conf");
  ASSERT_EQ(loc_.load_config(), 0);
  EXPECT_TRUE(same(*a.value(), {0, 5, 6, 7}));
  EXPECT_TRUE(same(*b.value(), {3, 0, 0, 2000}));
  EXPECT_TRUE(same(*c.value(), {-1, -5, 0, 0}));
  EXPECT_TRUE(same(*d.value(), {0, 0, 1, 1}));
}

TEST_F(NodeProperty, IdentityWritesAndReadsBack) {
  D_can& a = node("A", {1, 16, 400, 0});
  std::ostringstream line;
  a.write(line);
  const std::string text = line.str();
  EXPECT_EQ(text.substr(text.find(':') + 1), " \t1  16  400  0\n");

  write_file("round.conf", "# nodes\n");
  loc_.set_config_file(dir_ + "/round.conf");
  ASSERT_EQ(loc_.load_config(), 0);  // registers the properties of the file
  Peer::ident(a) = {1, 16, 400, 0};
  ASSERT_EQ(loc_.save_config(), 0);
  Peer::ident(a) = {0, 0, 0, 0};
  ASSERT_EQ(loc_.load_config(), 0);
  EXPECT_TRUE(same(*a.value(), {1, 16, 400, 0}));
}

TEST_F(NodeProperty, ClientGetAndSetCarryTheFourValues) {
  D_can& a = node("A", {1, 16, 384, 0});
  EqData out;
  a.get(nullptr, nullptr, &out, &loc_);
  ASSERT_NE(out.get_iiii(), nullptr);
  EXPECT_TRUE(same(*out.get_iiii(), {1, 16, 384, 0}));

  EqData in;
  const IIII next{1, 16, 400, 0};
  in.set(&next);
  a.set(nullptr, &in, nullptr, &loc_);
  EXPECT_TRUE(same(*a.value(), next));
  EXPECT_FALSE(a.has_changed());
  auto lines = log_.with_heading("TESTLOC");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "A change from: 1, 16, 384, 0 to: 1, 16, 400, 0 by op@console");

  EqData not_iiii;
  not_iiii.set(5);
  a.set(nullptr, &not_iiii, nullptr, &loc_);
  EXPECT_EQ(log_.with_heading("TESTLOC").size(), 1u);
  EXPECT_TRUE(same(*a.value(), next));
}

TEST_F(NodeProperty, ChangeOfLineClosesAndDeregistersTheMaster) {
  D_can& a = node("A", {1, 16, 0, 0});
  D_can& other = node("B", {1, 17, 0, 0});
  ASSERT_EQ(other.init(0), 0);
  ASSERT_EQ(a.init(0x190), 0);
  ASSERT_GE(a.handle(), 0);
  IIII moved{2, 16, 0, 0};
  a.set_value(&moved);
  EXPECT_EQ(a.handle(), -1);
  EXPECT_TRUE(a.has_changed());
  EXPECT_TRUE(same(*a.value(), moved));
  EXPECT_EQ(korvel_polled_nodes(), std::vector<D_can*>{&other});
  // The line of its former self was the first node's; it stays with the other node.
  EXPECT_GE(other.handle(), 0);
}

TEST_F(NodeProperty, ChangeLineWithoutLocation) {
  D_can loose("LOOSE", nullptr);
  IIII v{1, 2, 3, 4};
  loose.set_value(&v);
  auto lines = log_.with_heading("D_can");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "LOOSE change from: 0, 0, 0, 0 to: 1, 2, 3, 4");
}

TEST_F(NodeProperty, MultiRowCarriesIdentityAndText) {
  D_can& a = node("A", {3, 16, 400, 7});
  EqData out;
  int index = 1;
  char text[] = "A";
  a.get_multi(nullptr, nullptr, &out, &index, text);
  const EqData::Row* row = out.get_row(1);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->i, 3);
  EXPECT_EQ(row->f1, 16.0f);
  EXPECT_EQ(row->f2, 400.0f);
  EXPECT_EQ(row->tm, 7);
  EXPECT_EQ(row->name, "A");
  a.get_multi(nullptr, nullptr, &out, &index, nullptr);
  EXPECT_EQ(out.get_row(1)->name, "");
}

TEST_F(NodeProperty, SubPropertiesAreNamedAfterTheBaseName) {
  D_can& a = node("PUMP1 cooling pump", {});
  const char* expected[] = {"PUMP1.BAUDRATE default 6 == 125KB ",
                            "PUMP1.ALIVE ",
                            "PUMP1.CONDITION ",
                            "PUMP1.MANU Manufacture device name",
                            "PUMP1.HWVER hardware version",
                            "PUMP1.SWVER software version",
                            "PUMP1.START can node",
                            "PUMP1.STOP can node",
                            "PUMP1.RESET can node",
                            "PUMP1.ACTIVE is the master",
                            "PUMP1.DEBUG_ID to print this ID data"};
  std::vector<std::string> names;
  for (D_fct* p : loc_.properties()) names.push_back(p->name());
  for (const char* e : expected) {
    EXPECT_NE(std::find(names.begin(), names.end(), e), names.end()) << e;
  }
  EXPECT_EQ(Peer::start(a)->todo(), START_NODE);
  EXPECT_EQ(Peer::stop(a)->todo(), STOP_NODE);
  EXPECT_EQ(Peer::reset(a)->todo(), RESET_NODE);
  EXPECT_EQ(Peer::reset(a)->node(), &a);
  EXPECT_EQ(read_int(a, ".ACTIVE"), 0);
  EXPECT_EQ(Peer::own_handle(a), -1);
  EXPECT_EQ(a.can_close(), 0);
  EXPECT_TRUE(ntcan_test::calls().empty());

  // Only the first node creates the shared debug selector; a leading blank empties the base name.
  D_can& b = node(" spare", {});
  (void)b;
  EXPECT_EQ(Peer::debug_id()->name(), "PUMP1.DEBUG_ID to print this ID data");
  EXPECT_NE(loc_.find_property(".START"), nullptr);
  EXPECT_EQ(loc_.find_property(".DEBUG_ID"), nullptr);
}

TEST_F(NodeProperty, DumpPrintsTheFramesOfTheSelectedNode) {
  D_can& a = node("A", {2, 5, 0, 0});
  D_can& b = node("B", {2, 6, 1, 0});
  ASSERT_EQ(a.init(0x185), 0);
  ASSERT_EQ(a.AddIdent(0), 0);  // NMT frames carry identifier 0: such records are skipped
  ASSERT_EQ(b.init(0x186), 0);
  auto send_batch = [] {
    for (const char* f : {"185#01AB", "000#0105", "185#", "186#22"})
      ntcan_sim::inject(1, canbus::frame(f));
  };

  *Peer::debug_id()->value() = {2, 5, 0, 99};  // the fourth value is not compared
  VEXIL_debug = 0;
  send_batch();
  can_looping();
  EXPECT_TRUE(log_.with_heading("can_print").empty());

  VEXIL_debug = 0x100000;
  send_batch();
  can_looping();
  auto lines = log_.with_heading("can_print");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "ID: 185, Len: 2, Data: 01 AB");
  EXPECT_EQ(lines[1].text, "ID: 185, Len: 0, Data:");

  // (2, 6, 0) selects nothing: node B's third value is 1.
  *Peer::debug_id()->value() = {2, 6, 0, 0};
  send_batch();
  can_looping();
  EXPECT_EQ(log_.with_heading("can_print").size(), 2u);
  VEXIL_debug = 0;
}
