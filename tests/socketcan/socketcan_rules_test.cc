// The socketcan transport's decisions that need no kernel: frame conversion, the kernel
// receive filter, controller state, the status table and the bit rate in a link message.
#include "canbus/socketcan_rules.h"

#include <gtest/gtest.h>
#include <linux/can/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "canbus/can_raw_socket.h"
#include "canbus/frame_text.h"
#include "ntcan/test_controls.h"

namespace {

using namespace canbus::socketcan;

can_frame kernel(canid_t id, std::vector<std::uint8_t> data) {
  can_frame f;
  std::memset(&f, 0, sizeof f);
  f.can_id = id;
  f.can_dlc = static_cast<__u8>(data.size());
  std::memcpy(f.data, data.data(), data.size());
  return f;
}

// What the kernel does with a filter list: a frame passes when any filter matches.
bool passes(const std::vector<can_filter>& filters, canid_t id) {
  for (const can_filter& f : filters) {
    if ((id & f.can_mask) == (f.can_id & f.can_mask)) return true;
  }
  return false;
}

}  // namespace

TEST(SocketcanFrames, KernelFramesCarryIdentifierKindRemoteFlagAndLength) {
  struct Case {
    const char* text;
    canid_t id;
    std::uint8_t dlc;
  };
  const Case cases[] = {
      {"000#", 0x000, 0},
      {"7FF#0102030405060708", 0x7FF, 8},
      {"705#R1", 0x705 | CAN_RTR_FLAG, 1},
      {"705#R", 0x705 | CAN_RTR_FLAG, 0},
      {"1FFFFFFF#AA", 0x1FFFFFFF | CAN_EFF_FLAG, 1},
      {"00000123#11223344", 0x123 | CAN_EFF_FLAG, 4},
      {"00000123#R8", 0x123 | CAN_EFF_FLAG | CAN_RTR_FLAG, 8},
  };
  for (const Case& c : cases) {
    const CMSG m = canbus::frame(c.text);
    const can_frame f = to_kernel(m);
    EXPECT_EQ(f.can_id, c.id) << c.text;
    EXPECT_EQ(f.can_dlc, c.dlc) << c.text;
    if (!(c.id & CAN_RTR_FLAG)) {
      EXPECT_EQ(std::memcmp(f.data, m.data, c.dlc), 0) << c.text;
    }
    CMSG back;
    ASSERT_TRUE(from_kernel(f, back)) << c.text;
    EXPECT_EQ(canbus::to_string(back), c.text);
  }
}

TEST(SocketcanFrames, RemoteFramesSendNoDataAndErrorFramesAreNoTraffic) {
  CMSG m = canbus::frame("705#R4");
  std::memset(m.data, 0xEE, sizeof m.data);
  const can_frame f = to_kernel(m);
  for (std::uint8_t b : f.data) EXPECT_EQ(b, 0);

  can_frame remote = kernel(0x705 | CAN_RTR_FLAG, {9, 9});
  CMSG got;
  ASSERT_TRUE(from_kernel(remote, got));
  EXPECT_EQ(got.len, NTCAN_RTR | 2);
  EXPECT_EQ(got.data[0], 0);

  EXPECT_FALSE(from_kernel(kernel(CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0}), got));

  can_frame long_dlc = kernel(0x100, {1, 2, 3, 4, 5, 6, 7, 8});
  long_dlc.can_dlc = 15;
  ASSERT_TRUE(from_kernel(long_dlc, got));
  EXPECT_EQ(got.len, 8);
}

TEST(SocketcanFilters, ExactIdentifiersWithStandardAndExtendedKeptApart) {
  const std::set<std::int32_t> ids = {0x000, 0x123, 0x705, NTCAN_20B_BASE | 0x123,
                                      NTCAN_20B_BASE | 0x1FFFFFFF};
  const auto filters = kernel_filters(ids);
  EXPECT_EQ(filters.size(), ids.size());
  for (canid_t id : {0x000u, 0x123u, 0x705u, 0x705u | CAN_RTR_FLAG, 0x123u | CAN_EFF_FLAG,
                     0x1FFFFFFFu | CAN_EFF_FLAG | CAN_RTR_FLAG}) {
    EXPECT_TRUE(passes(filters, id)) << std::hex << id;
  }
  for (canid_t id : {0x001u, 0x122u, 0x706u, 0x000u | CAN_EFF_FLAG, 0x705u | CAN_EFF_FLAG,
                     0x124u | CAN_EFF_FLAG, 0x1FFFFFFEu | CAN_EFF_FLAG}) {
    EXPECT_FALSE(passes(filters, id)) << std::hex << id;
  }
  EXPECT_FALSE(passes(filters, CAN_ERR_FLAG | CAN_ERR_BUSOFF));  // error frames have their own mask
  EXPECT_TRUE(kernel_filters({}).empty());                       // nothing enabled: nothing passes
}

TEST(SocketcanFilters, TooManyIdentifiersLetTheirWholeKindThrough) {
  std::set<std::int32_t> ids;
  for (std::int32_t i = 0; i < 600; ++i) ids.insert(i);
  ids.insert(NTCAN_20B_BASE | 0x42);
  auto filters = kernel_filters(ids, 512);
  EXPECT_EQ(filters.size(), 2u);
  EXPECT_TRUE(passes(filters, 0x7FF));  // every standard frame now
  EXPECT_TRUE(passes(filters, 0x42 | CAN_EFF_FLAG));
  EXPECT_FALSE(passes(filters, 0x43 | CAN_EFF_FLAG));  // extended ones still exact

  for (std::int32_t i = 0; i < 600; ++i) ids.insert(NTCAN_20B_BASE | (0x1000 + i));
  filters = kernel_filters(ids, 512);
  EXPECT_LE(filters.size(), 512u);
  EXPECT_TRUE(passes(filters, 0x7FF));
  EXPECT_TRUE(passes(filters, 0x1ABCDEF | CAN_EFF_FLAG));
}

TEST(SocketcanController, ErrorFramesMoveTheStateAndBoardstatusShowsIt) {
  auto crtl = [](std::uint8_t bits) {
    return kernel(CAN_ERR_FLAG | CAN_ERR_CRTL, {0, bits, 0, 0, 0, 0, 0, 0});
  };
  Controller s = Controller::kActive;
  s = next_state(s, crtl(CAN_ERR_CRTL_TX_WARNING));
  EXPECT_EQ(s, Controller::kWarning);
  s = next_state(s, crtl(CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_RX_WARNING));
  EXPECT_EQ(s, Controller::kPassive);
  s = next_state(s, crtl(CAN_ERR_CRTL_RX_OVERFLOW));  // says nothing about the state
  EXPECT_EQ(s, Controller::kPassive);
  s = next_state(s, kernel(CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s, Controller::kBusOff);
  s = next_state(s, kernel(0x123, {1}));  // traffic is no error frame
  EXPECT_EQ(s, Controller::kBusOff);
  s = next_state(s, kernel(CAN_ERR_FLAG | CAN_ERR_RESTARTED, {0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s, Controller::kActive);
  s = next_state(next_state(s, crtl(CAN_ERR_CRTL_TX_PASSIVE)), crtl(CAN_ERR_CRTL_ACTIVE));
  EXPECT_EQ(s, Controller::kActive);

  const std::set<std::uint32_t> seen = {
      boardstatus_of(Controller::kActive), boardstatus_of(Controller::kWarning),
      boardstatus_of(Controller::kPassive), boardstatus_of(Controller::kBusOff)};
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_EQ(boardstatus_of(Controller::kActive), 0u);
}

TEST(SocketcanStatus, EveryConditionHasOneRowAndOnlyOkSucceeds) {
  std::set<int> conditions;
  for (const StatusRule& r : status_table()) {
    EXPECT_TRUE(conditions.insert(static_cast<int>(r.condition)).second) << r.text;
    EXPECT_EQ(r.status == NTCAN_SUCCESS, r.condition == Condition::kOk) << r.text;
    EXPECT_EQ(status_of(r.condition), r.status);
  }
  EXPECT_EQ(conditions.size(), static_cast<std::size_t>(Condition::kIoError) + 1);
}

TEST(SocketcanStatus, KernelFailuresMapToTheDocumentedStatuses) {
  EXPECT_EQ(status_of(condition_of_errno(ENODEV)), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(status_of(condition_of_errno(ENETDOWN)), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(status_of(condition_of_errno(EAFNOSUPPORT)), NTCAN_INVALID_DRIVER);
  EXPECT_EQ(status_of(condition_of_errno(EMFILE)), NTCAN_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(status_of(condition_of_errno(EIO)), NTCAN_TX_ERROR);
  // A full transmit queue says more when the controller is in trouble.
  EXPECT_EQ(status_of(condition_of_errno(ENOBUFS, Controller::kActive)), NTCAN_TX_ERROR);
  EXPECT_EQ(status_of(condition_of_errno(EAGAIN, Controller::kActive)), NTCAN_TX_ERROR);
  EXPECT_EQ(status_of(condition_of_errno(ENOBUFS, Controller::kWarning)), NTCAN_CONTR_WARN);
  EXPECT_EQ(status_of(condition_of_errno(ENOBUFS, Controller::kPassive)), NTCAN_CONTR_WARN);
  EXPECT_EQ(status_of(condition_of_errno(ENOBUFS, Controller::kBusOff)), NTCAN_CONTR_OFF_BUS);

  EXPECT_EQ(condition_of_interface(false, IFF_UP | IFF_RUNNING), Condition::kNoInterface);
  EXPECT_EQ(condition_of_interface(true, IFF_RUNNING), Condition::kInterfaceDown);
  EXPECT_EQ(condition_of_interface(true, IFF_UP), Condition::kBusOff);
  EXPECT_EQ(condition_of_interface(true, IFF_UP | IFF_RUNNING | IFF_NOARP), Condition::kOk);
}

namespace {

// An RTM_NEWLINK answer, built attribute by attribute.
class LinkMessage {
 public:
  LinkMessage() { bytes_.resize(NLMSG_ALIGN(NLMSG_LENGTH(sizeof(ifinfomsg)))); }
  // Opens a nested attribute; close() ends the innermost one.
  void open(unsigned short type) {
    open_.push_back(bytes_.size());
    put(type, nullptr, 0);
  }
  void close() {
    rtattr a;
    std::memcpy(&a, &bytes_[open_.back()], sizeof a);
    a.rta_len = static_cast<unsigned short>(bytes_.size() - open_.back());
    std::memcpy(&bytes_[open_.back()], &a, sizeof a);
    open_.pop_back();
  }
  void put(unsigned short type, const void* data, std::size_t size) {
    rtattr a{static_cast<unsigned short>(RTA_LENGTH(size)), type};
    const std::size_t at = bytes_.size();
    bytes_.resize(at + RTA_ALIGN(RTA_LENGTH(size)));
    std::memcpy(&bytes_[at], &a, sizeof a);
    if (size) std::memcpy(&bytes_[at + RTA_LENGTH(0)], data, size);
  }
  std::vector<unsigned char> done(unsigned short type = RTM_NEWLINK) {
    nlmsghdr h{};
    h.nlmsg_len = static_cast<std::uint32_t>(bytes_.size());
    h.nlmsg_type = type;
    std::memcpy(bytes_.data(), &h, sizeof h);
    return bytes_;
  }

 private:
  std::vector<unsigned char> bytes_;
  std::vector<std::size_t> open_;
};

std::vector<unsigned char> can_link(std::uint32_t rate) {
  LinkMessage m;
  m.put(IFLA_MTU, "\x10\0\0\0", 4);
  m.open(IFLA_LINKINFO);
  m.put(IFLA_INFO_KIND, "can", 4);
  m.open(IFLA_INFO_DATA);
  m.put(IFLA_CAN_STATE, "\0\0\0\0", 4);
  can_bittiming bt{};
  bt.bitrate = rate;
  bt.sample_point = 875;
  m.put(IFLA_CAN_BITTIMING, &bt, sizeof bt);
  m.close();
  m.close();
  return m.done();
}

}  // namespace

TEST(SocketcanBitrate, ReadFromTheLinkMessageOfACanInterfaceOnly) {
  std::uint32_t rate = 0;
  auto msg = can_link(250000);
  EXPECT_TRUE(bitrate_from_link(msg.data(), msg.size(), rate));
  EXPECT_EQ(rate, 250000u);

  LinkMessage vcan;  // a virtual interface: a kind, no data
  vcan.open(IFLA_LINKINFO);
  vcan.put(IFLA_INFO_KIND, "vcan", 5);
  vcan.close();
  auto v = vcan.done();
  EXPECT_FALSE(bitrate_from_link(v.data(), v.size(), rate));

  auto error = LinkMessage().done(NLMSG_ERROR);
  EXPECT_FALSE(bitrate_from_link(error.data(), error.size(), rate));
  for (std::size_t cut : {msg.size() - 1, msg.size() / 2, sizeof(nlmsghdr), std::size_t{3}}) {
    EXPECT_FALSE(bitrate_from_link(msg.data(), cut, rate)) << cut;  // truncated answers are refused
  }
  EXPECT_EQ(bitrate_of_code(NTCAN_BAUD_125), 125000u);
}

TEST(SocketcanOpen, AMissingInterfaceOrKernelSupportFailsWithTheTableStatus) {
  char path[] = "/tmp/socketcan-open-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = "7 socketcan nosuchcan9\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  setenv("NTCAN_CONFIG", path, 1);
  ntcan_test::reload_config();
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  const int expected =
      canbus::socketcan::socketcan_available() ? NTCAN_NET_NOT_FOUND : NTCAN_INVALID_DRIVER;
  EXPECT_EQ(canOpen(7, 0, 10, 100, 1000, 1000, &h), expected);
  EXPECT_EQ(h, NTCAN_NO_HANDLE);
  unlink(path);
  unsetenv("NTCAN_CONFIG");
  ntcan_test::reload_config();
}
