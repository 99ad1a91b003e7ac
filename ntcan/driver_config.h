// driver_config.h - which transport serves which net, from the driver configuration file.
//
// The file is named by the environment variable NTCAN_CONFIG. Unset, every net is a simulated
// bus (and the driver says so once on standard error); nets the file does not list stay
// simulated buses. One line per net, '#' starts a comment:
//
//   # net  transport   arguments
//   0      socketcand  127.0.0.1 29536 can0     (host, port, bus name of a socketcand gateway)
//   1      socketcan   vcan0                    (a Linux SocketCAN interface)
//   2      sim                                  (the in-process simulated bus, the default)
//
// A configuration that cannot be trusted never turns a net into a simulated bus: a malformed
// line refuses the net it names (canOpen fails with kRefusedStatus and the log names the file
// and line), and never changes another net. When the file cannot be read, or a bad line names
// no readable net, every net without a good line of its own is refused.
#ifndef NTCAN_DRIVER_CONFIG_H
#define NTCAN_DRIVER_CONFIG_H

#include <iosfwd>
#include <string>
#include <vector>

#include "ntcan.h"

namespace ntcan_driver {

// What canOpen returns on a net that the configuration refuses.
constexpr int kRefusedStatus = NTCAN_INVALID_DRIVER;

struct NetConfig {
  enum class Kind { kSim, kSocketcand, kSocketcan, kRefused };
  int net = 0;
  Kind kind = Kind::kSim;
  std::string host;     // socketcand
  int port = 29536;     // socketcand
  std::string bus;      // socketcand: the gateway's bus name
  std::string ifname;   // socketcan
  std::string refusal;  // refused: "<file>:<line>: <reason>"
};

struct DriverConfig {
  std::vector<NetConfig> nets;      // good lines, and a refused entry per bad line naming a net
  std::vector<std::string> errors;  // "<file>:<line>: <reason>", one per bad line
  // Set when the file cannot be read or a bad line names no net: nets without a good line
  // are refused (kind kRefused, with this entry's reason) instead of simulated.
  NetConfig unlisted;
  bool refuse_unlisted = false;
  // The entry that decides a net: a refusal of any line for it, else its last good line,
  // else the refusal of unlisted nets; null when the net is simulated by default.
  const NetConfig* find(int net) const;
};

// Parses configuration text; bad lines are reported in errors and refuse their nets.
DriverConfig parse_driver_config(std::istream& in, const std::string& file_name);

// The configuration of this process: read from $NTCAN_CONFIG on first use (bad lines, an
// unreadable file or the lack of a file are reported once on standard error).
// reload_driver_config() reads it again.
const DriverConfig& driver_config();
void reload_driver_config();

}  // namespace ntcan_driver

#endif  // NTCAN_DRIVER_CONFIG_H
