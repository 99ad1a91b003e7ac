// driver_config.h - which transport serves which net, from the driver configuration file.
//
// The file is named by the environment variable NTCAN_CONFIG; nets it does not list stay
// simulated buses. One line per net, '#' starts a comment:
//
//   # net  transport   arguments
//   0      socketcand  127.0.0.1 29536 can0     (host, port, bus name of a socketcand gateway)
//   1      socketcan   vcan0                    (a Linux SocketCAN interface)
//   2      sim                                  (the in-process simulated bus, the default)
#ifndef NTCAN_DRIVER_CONFIG_H
#define NTCAN_DRIVER_CONFIG_H

#include <iosfwd>
#include <string>
#include <vector>

namespace ntcan_driver {

struct NetConfig {
  enum class Kind { kSim, kSocketcand, kSocketcan };
  int net = 0;
  Kind kind = Kind::kSim;
  std::string host;   // socketcand
  int port = 29536;   // socketcand
  std::string bus;    // socketcand: the gateway's bus name
  std::string ifname; // socketcan
};

struct DriverConfig {
  std::vector<NetConfig> nets;
  std::vector<std::string> errors;  // "<file>:<line>: <reason>", one per bad line
  // The entry of a net, or null when the net is not listed.
  const NetConfig* find(int net) const;
};

// Parses configuration text; bad lines are reported in errors and skipped.
DriverConfig parse_driver_config(std::istream& in, const std::string& file_name);

// The configuration of this process: read from $NTCAN_CONFIG on first use (bad lines are
// reported once on standard error). reload_driver_config() reads it again.
const DriverConfig& driver_config();
void reload_driver_config();

}  // namespace ntcan_driver

#endif  // NTCAN_DRIVER_CONFIG_H
