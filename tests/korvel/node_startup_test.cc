// Node start-up and close: lines, masters and passive nodes, identifiers, the polled list.
#include <gtest/gtest.h>

#include <memory>

#include "support/korvel_fixture.h"

namespace {

using Peer = KorvelTestPeer;

std::vector<long> ids_added_on(NTCAN_HANDLE h) {
  std::vector<long> ids;
  for (const auto& c : ntcan_test::calls("canIdAdd")) {
    if (c.handle == h) ids.push_back(c.args.at(0));
  }
  return ids;
}

class NodeStartup : public KorvelTest {};

}  // namespace

TEST_F(NodeStartup, PlainStartEnablesThePositiveIdentifiersInOrder) {
  EXPECT_EQ(node("BAD", {0, 5, 0, 0}).init(), -1);
  EXPECT_EQ(node("HIGH", {21, 5, 0, 0}).init(), -1);
  EXPECT_TRUE(ntcan_test::calls().empty());

  D_can& none = node("NONE", {1, 0, 0, 0});
  EXPECT_EQ(none.init(), 0);
  EXPECT_TRUE(ntcan_test::calls("canIdAdd").empty());
  EXPECT_EQ(*Peer::alive_ptr(none), 0);

  D_can& a = node("A", {1, 5, 0x185, 0});
  EXPECT_EQ(a.init(), 0);
  EXPECT_EQ(ids_added_on(a.handle()), (std::vector<long>{5, 0x185}));
  EXPECT_TRUE(korvel_polled_nodes().empty());
}

TEST_F(NodeStartup, SecondNodeOfAPairBecomesPassiveOnTheMastersBuffer) {
  D_can& m = node("M", {1, 5, 100, 0});
  D_can& p = node("P", {1, 5, 200, 0});
  EXPECT_EQ(m.init(0x185), 0);
  EXPECT_EQ(p.init(0x185), 0);  // the driver answers "already enabled": success

  EXPECT_EQ(korvel_polled_nodes(), std::vector<D_can*>{&m});
  EXPECT_EQ(read_int(m, ".ACTIVE"), 1);
  EXPECT_EQ(read_int(p, ".ACTIVE"), 0);
  EXPECT_NE(Peer::rxmsg(m), nullptr);
  EXPECT_EQ(Peer::rxmsg(p), Peer::rxmsg(m));
  EXPECT_EQ(Peer::can_ret(p), Peer::can_ret(m));
  EXPECT_EQ(Peer::rxmsg_len(p), Peer::rxmsg_len(m));
  EXPECT_EQ(Peer::alive_ptr(p), Peer::alive_ptr(m));
  EXPECT_EQ(p.handle(), m.handle());
  EXPECT_EQ(p.line(), m.line());
  EXPECT_EQ(ids_added_on(m.handle()), (std::vector<long>{0x185, 0x185}));
  EXPECT_EQ(ntcan_test::calls("canOpen").size(), 1u);
  EXPECT_EQ(read_text(m, ".CONDITION"), "Preoperational");

  // Closing the passive node drops only its own references.
  EXPECT_EQ(p.can_close(), 0);
  EXPECT_EQ(Peer::rxmsg(p), nullptr);
  EXPECT_EQ(Peer::alive_ptr(p), nullptr);
  EXPECT_NE(Peer::rxmsg(m), nullptr);
  EXPECT_GE(m.handle(), 0);
  EXPECT_TRUE(ntcan_test::calls("canClose").empty());

  // A master started again keeps its entry and buffer.
  CMSG* buffer = Peer::rxmsg(m);
  EXPECT_EQ(m.init(0x705), 0);
  EXPECT_EQ(Peer::rxmsg(m), buffer);
  EXPECT_EQ(korvel_polled_nodes().size(), 1u);
}

TEST_F(NodeStartup, AnotherNodeIdOnTheLineGetsAHandleOfItsOwn) {
  D_can& first = node("FIRST", {2, 5, 0, 0});
  D_can& second = node("SECOND", {2, 7, 0, 0});
  ASSERT_EQ(first.init(0), 0);
  ASSERT_EQ(second.init(0), 0);
  EXPECT_EQ(first.handle(), first.line()->handle());
  EXPECT_NE(second.handle(), first.handle());
  EXPECT_EQ(second.line(), first.line());
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&first, &second}));

  ntcan_test::clear_calls();
  const auto before = clock_->now();
  const NTCAN_HANDLE own = second.handle();
  EXPECT_EQ(second.can_close(), 0);
  ASSERT_EQ(ntcan_test::calls("canClose").size(), 1u);
  EXPECT_EQ(ntcan_test::calls("canClose")[0].handle, own);
  EXPECT_EQ(clock_->now() - before, 5000000);

  ntcan_test::clear_calls();
  EXPECT_EQ(first.can_close(), 0);  // the line handle is only closed by the line
  EXPECT_TRUE(ntcan_test::calls().empty());
  EXPECT_GT(first.line()->handle(), 0);
  EXPECT_EQ(first.handle(), -1);
}

TEST_F(NodeStartup, PassiveNodeNeverKeepsAHandleItsMasterClosed) {
  D_can& first = node("FIRST", {1, 5, 0, 0});
  D_can& master = node("M", {1, 6, 1, 0});
  D_can& passive = node("P", {1, 6, 2, 0});
  for (D_can* n : {&first, &master, &passive}) ASSERT_EQ(n->init(0), 0);
  const NTCAN_HANDLE own = master.handle();
  ASSERT_NE(own, first.handle());
  EXPECT_EQ(passive.handle(), own);

  master.can_close();
  ntcan_test::clear_calls();
  EXPECT_EQ(passive.start_node(), NTCAN_INVALID_HANDLE);
  EXPECT_TRUE(ntcan_test::calls().empty());

  ASSERT_EQ(master.init(0), 0);  // opened again: the passive node follows
  EXPECT_NE(master.handle(), own);
  EXPECT_EQ(passive.handle(), master.handle());
  EXPECT_EQ(passive.start_node(), 0);
}

TEST_F(NodeStartup, PassiveNodeWhoseMasterWentAwayBecomesMasterWithAHandleOfItsOwn) {
  D_can& first = node("FIRST", {1, 4, 0, 0});  // holds the line handle
  ASSERT_EQ(first.init(0), 0);
  auto master = std::make_unique<D_can>("M", &loc_);
  Peer::ident(*master) = {1, 5, 0, 0};
  D_can& passive = node("P", {1, 5, 1, 0});
  ASSERT_EQ(master->init(0x185), 0);
  ASSERT_EQ(passive.init(0x185), 0);
  const NTCAN_HANDLE gone = master->handle();
  master.reset();  // closes its handle and leaves the polled list
  ASSERT_FALSE(ntcan_test::is_open(gone));

  // Started again, the passive node is the pair's master: new buffer, a handle that is open.
  ASSERT_EQ(passive.init(0x185), 0);
  EXPECT_EQ(read_int(passive, ".ACTIVE"), 1);
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&first, &passive}));
  EXPECT_TRUE(ntcan_test::is_open(passive.handle()));
  EXPECT_NE(passive.handle(), first.handle());
  unsigned char data[1] = {1};
  EXPECT_EQ(passive.can_write(0x205, 1, data), 0);
}

TEST_F(NodeStartup, OwnHandleIsClosedAlsoWhileTheLineIsDown) {
  D_can& first = node("FIRST", {1, 5, 0, 0});
  D_can& second = node("SECOND", {1, 6, 0, 0});
  ASSERT_EQ(first.init(0), 0);
  ASSERT_EQ(second.init(0), 0);
  const NTCAN_HANDLE own = Peer::own_handle(second);
  first.line()->can_close();
  ntcan_test::clear_calls();
  second.can_close();
  ASSERT_EQ(ntcan_test::calls("canClose").size(), 1u);
  EXPECT_EQ(ntcan_test::calls("canClose")[0].handle, own);
  EXPECT_FALSE(ntcan_test::is_open(own));
}

TEST_F(NodeStartup, FailingCloseIsLoggedAndTheHandleCountsAsClosed) {
  D_can& first = node("FIRST", {1, 5, 0, 0});
  D_can& second = node("SECOND", {1, 6, 0, 0});
  ASSERT_EQ(first.init(0), 0);
  ASSERT_EQ(second.init(0), 0);
  ntcan_test::fail_close(0, NTCAN_INVALID_HANDLE, 1);
  EXPECT_EQ(second.can_close(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(second.handle(), -1);
  EXPECT_EQ(log_.with_heading("D_can::can_close returned: ")[0].text,
            "NTCAN_INVALID_HANDLE(0x0000004d)");
}

TEST_F(NodeStartup, DellistRemovesTheMastersEntryKeepingTheOrder) {
  D_can& a = node("A", {1, 5, 0, 0});
  D_can& b = node("B", {1, 6, 0, 0});
  D_can& c = node("C", {1, 7, 0, 0});
  D_can& passive = node("P", {1, 6, 9, 0});
  for (D_can* n : {&a, &b, &c, &passive}) ASSERT_EQ(n->init(0), 0);
  EXPECT_EQ(passive.dellist(), 0);
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&a, &b, &c}));
  EXPECT_EQ(b.dellist(), 0);
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&a, &c}));
}

TEST_F(NodeStartup, DestroyedNodeIsNeverPolledAgain) {
  D_can& a = node("A", {1, 5, 0, 0});
  D_can& b = node("B", {1, 6, 0, 0});
  ASSERT_EQ(a.init(0), 0);
  ASSERT_EQ(b.init(0), 0);
  nodes_.erase(nodes_.begin());  // destroys A
  EXPECT_EQ(korvel_polled_nodes(), std::vector<D_can*>{&b});
  EXPECT_EQ(can_looping(), 0);
  // Its command properties live on, detached from the node.
  EXPECT_NE(loc_.find_property("A.START"), nullptr);
  EqData in;
  in.set(1);
  loc_.find_property("A.START")->set(nullptr, &in, nullptr, &loc_);
  EXPECT_EQ(loc_.find_property("A.MANU"), nullptr);
}

TEST_F(NodeStartup, EmergencyStartEnablesTheEmergencyIdentifier) {
  D_can& a = node("A", {1, 5, 0, 0});
  EXPECT_EQ(a.init_emergency(), 0);
  EXPECT_EQ(ids_added_on(a.handle()), std::vector<long>{133});
  EXPECT_EQ(korvel_polled_nodes(), std::vector<D_can*>{&a});

  D_can& zero = node("Z", {2, 0, 0, 0});
  EXPECT_EQ(zero.init_emergency(), 0);
  EXPECT_EQ(zero.line(), nullptr);
}

TEST_F(NodeStartup, PlainStartWithFlagOneIsNotPolled) {
  D_can& a = node("A", {1, 5, 0, 0});
  EXPECT_EQ(a.init(0x185, 1), 0);
  EXPECT_EQ(ids_added_on(a.handle()), std::vector<long>{0x185});
  EXPECT_TRUE(korvel_polled_nodes().empty());
  EXPECT_EQ(node("B", {0, 5, 0, 0}).init(0x185, 2), 0);  // any other flag: always 0
}

TEST_F(NodeStartup, NewLineUsesTheBaudRateProperty) {
  D_can& a = node("A", {1, 5, 0, 0});
  D_can& b = node("B", {2, 5, 0, 0});
  Peer::baudrate(b)->set_value(3);
  ASSERT_EQ(a.init(0), 0);
  ASSERT_EQ(b.init(0), 0);
  EXPECT_EQ(ntcan_test::baudrate(0), 6u);
  EXPECT_EQ(ntcan_test::baudrate(1), 3u);
}

TEST_F(NodeStartup, FailedFirstOpenStillCreatesTheLineAndItsThread) {
  ntcan_test::fail_open(0, NTCAN_NET_NOT_FOUND);
  D_can& a = node("A", {1, 5, 0, 0});
  EXPECT_EQ(a.init(0x185), NTCAN_NET_NOT_FOUND);
  ASSERT_NE(a.line(), nullptr);
  EXPECT_EQ(korvel_lines(), std::vector<canline*>{a.line()});
  EXPECT_EQ(korvel_polled_nodes(), std::vector<D_can*>{&a});
  EXPECT_TRUE(clock_->wait_for_sleepers(1));  // the supervision thread
  EXPECT_EQ(a.handle(), -1);
  EXPECT_EQ(log_.with_heading("canOpen returned: ")[0].text,
            "Line : 1mess: NTCAN_NET_NOT_FOUND(0x00000013)");
}

// The polled list is looked up by (line, node-ID): the lookup must find what a walk of the list
// would, after identity changes, configuration reloads, removals and re-starts.
TEST_F(NodeStartup, PairLookupFollowsIdentityChangesRemovalsAndRestarts) {
  D_can& a = node("A", {1, 5, 0, 0});
  D_can& b = node("B", {1, 6, 0, 0});
  ASSERT_EQ(a.init(0), 0);
  ASSERT_EQ(b.init(0), 0);

  // A master whose flag a client cleared keeps its entry through an identity change, and is
  // found under its new identity: a later node of that pair becomes passive on it.
  Peer::active(a)->set_value(0);
  IIII to7{1, 7, 0, 0};
  a.set_value(&to7);
  D_can& on7 = node("ON7", {1, 7, 3, 0});
  ASSERT_EQ(on7.init(0), 0);
  EXPECT_EQ(Peer::rxmsg(on7), Peer::rxmsg(a));
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&a, &b}));
  // Nobody is found under the identity it left.
  D_can& on5 = node("ON5", {1, 5, 0, 0});
  ASSERT_EQ(on5.init(0), 0);
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&a, &b, &on5}));

  // Two entries of one pair: the earlier in the list is the one found.
  Peer::active(b)->set_value(0);
  IIII b_to5{1, 5, 0, 0};
  b.set_value(&b_to5);
  D_can& late = node("LATE", {1, 5, 4, 0});
  ASSERT_EQ(late.init(0), 0);
  EXPECT_EQ(Peer::rxmsg(late), Peer::rxmsg(b));
  EXPECT_EQ(b.dellist(), 0);  // b is not active: no change
  Peer::active(b)->set_value(1);
  EXPECT_EQ(on5.dellist(), 0);  // removes the first entry of (1, 5): b
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&a, &on5}));

  // A configuration reload that moves a polled node.
  write_file("loc.conf", "ON5: \t2  9  0  0\n");
  loc_.set_config_file(dir_ + "/loc.conf");
  ASSERT_EQ(loc_.load_config(), 0);
  D_can& on9 = node("ON9", {2, 9, 1, 0});
  ASSERT_EQ(on9.init(0), 0);
  EXPECT_EQ(Peer::rxmsg(on9), Peer::rxmsg(on5));

  // Removed and started again: entered anew, at the end; a destroyed master is not found.
  on5.set_value(&b_to5);
  EXPECT_EQ(korvel_polled_nodes(), std::vector<D_can*>{&a});
  ASSERT_EQ(on5.init(0), 0);
  ASSERT_EQ(on5.init(0), 0);  // started again: found itself
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&a, &on5}));
  for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
    if (it->get() == &on5) {
      nodes_.erase(it);
      break;
    }
  }
  D_can& again = node("AGAIN", {1, 5, 0, 0});
  ASSERT_EQ(again.init(0), 0);
  EXPECT_EQ(korvel_polled_nodes(), (std::vector<D_can*>{&a, &again}));
}
