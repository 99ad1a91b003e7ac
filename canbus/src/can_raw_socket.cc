// can_raw_socket.cc - opening and binding CAN_RAW sockets, interface flags.
#include "canbus/can_raw_socket.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace canbus {
namespace socketcan {
namespace {

bool fill_name(ifreq& r, const std::string& ifname) {
  std::memset(&r, 0, sizeof r);
  if (ifname.empty() || ifname.size() >= IFNAMSIZ) return false;
  std::memcpy(r.ifr_name, ifname.c_str(), ifname.size());
  return true;
}

// errno as a condition, or kOk.
Condition setopt(int fd, int level, int name, const void* value, socklen_t size) {
  return setsockopt(fd, level, name, value, size) == 0 ? Condition::kOk : condition_of_errno(errno);
}

}  // namespace

RawSocket open_raw_socket(const std::string& ifname, const RawSocketOptions& options) {
  RawSocket s;
  ifreq r;
  if (!fill_name(r, ifname)) {
    s.condition = Condition::kNoInterface;
    return s;
  }
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) {
    s.condition = condition_of_errno(errno);
    return s;
  }
  auto fail = [&](Condition c) {
    ::close(fd);
    s.condition = c;
    return s;
  };
  if (ioctl(fd, SIOCGIFINDEX, &r) != 0)
    return fail(errno == ENODEV ? Condition::kNoInterface : condition_of_errno(errno));
  const int ifindex = r.ifr_ifindex;
  if (!fill_name(r, ifname) || ioctl(fd, SIOCGIFHWADDR, &r) != 0)
    return fail(condition_of_errno(errno));
  if (r.ifr_hwaddr.sa_family != ARPHRD_CAN) return fail(Condition::kNotCan);

  Condition c = Condition::kOk;
  if (!options.receive_all)
    c = set_receive_filter(fd, {}) == 0 ? Condition::kOk : Condition::kIoError;
  if (c == Condition::kOk && options.error_frames) {
    const can_err_mask_t mask = kErrorClasses;
    c = setopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof mask);
  }
  if (c == Condition::kOk && options.drop_count) {
    const int on = 1;
    c = setopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  }
  if (c != Condition::kOk) return fail(c);

  sockaddr_can addr;
  std::memset(&addr, 0, sizeof addr);
  addr.can_family = AF_CAN;
  addr.can_ifindex = ifindex;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return fail(condition_of_errno(errno));

  c = interface_condition(fd, ifname, ifindex);
  if (c != Condition::kOk) return fail(c);
  s.fd = fd;
  s.ifindex = ifindex;
  return s;
}

Condition interface_condition(int fd, const std::string& ifname, int ifindex) {
  ifreq r;
  if (!fill_name(r, ifname)) return Condition::kNoInterface;
  if (ioctl(fd, SIOCGIFINDEX, &r) != 0) {
    return errno == ENODEV ? Condition::kNoInterface : condition_of_errno(errno);
  }
  if (r.ifr_ifindex != ifindex) return Condition::kNoInterface;  // removed and created anew
  fill_name(r, ifname);
  if (ioctl(fd, SIOCGIFFLAGS, &r) != 0) {
    return errno == ENODEV ? Condition::kNoInterface : condition_of_errno(errno);
  }
  return condition_of_interface(true, static_cast<unsigned short>(r.ifr_flags));
}

int set_receive_filter(int fd, const std::vector<can_filter>& filters) {
  const void* data = filters.empty() ? nullptr : filters.data();
  const auto size = static_cast<socklen_t>(filters.size() * sizeof(can_filter));
  return setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, data, size) == 0 ? 0 : errno;
}

bool socketcan_available() {
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace socketcan
}  // namespace canbus

namespace canbus {
namespace socketcan {

bool interface_bitrate(const std::string& ifname, std::uint32_t& bitrate) {
  const unsigned index = if_nametoindex(ifname.c_str());
  if (index == 0) return false;
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  struct {
    nlmsghdr h;
    ifinfomsg i;
  } request;
  std::memset(&request, 0, sizeof request);
  request.h.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  request.h.nlmsg_type = RTM_GETLINK;
  request.h.nlmsg_flags = NLM_F_REQUEST;
  request.h.nlmsg_seq = 1;
  request.i.ifi_family = AF_UNSPEC;
  request.i.ifi_index = static_cast<int>(index);
  const timeval limit{1, 0};  // the kernel answers at once; never hang a driver call on it
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  bool found = false;
  if (::send(fd, &request, request.h.nlmsg_len, 0) == static_cast<ssize_t>(request.h.nlmsg_len)) {
    alignas(nlmsghdr) unsigned char answer[16384];
    const ssize_t n = recv(fd, answer, sizeof answer, 0);
    if (n > 0) found = bitrate_from_link(answer, static_cast<std::size_t>(n), bitrate);
  }
  ::close(fd);
  return found;
}

}  // namespace socketcan
}  // namespace canbus
