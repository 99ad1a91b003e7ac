// gateway_reset.h - resetting a line's network gateway: the address of the gateway file read
// as the administrator meant it, and the HTTP form post that resets the gateway, run by wget.
// Internal to the library.
#ifndef KORVEL_GATEWAY_RESET_H
#define KORVEL_GATEWAY_RESET_H

#include <chrono>
#include <string>

namespace korvel {

// Longest time a reset may hold the line's supervision; wget is killed when it runs longer.
constexpr std::chrono::milliseconds kResetTimeLimit{30000};

// The IPv4 address that `written` names, in its plain form: four groups of one to three
// decimal digits separated by dots, leading zeros allowed and read as decimal
// ("127.000.000.010" -> "127.0.0.10"). Empty when `written` is no such address (a group above
// 255, any other character): nothing else may reach the reset's URL.
std::string gateway_address(const std::string& written);

// The reset as a command line for the log, the password masked:
// wget --post-data="FWUpdReset=1" http://<user>:***@<address>/Forms/Firmware
std::string reset_command_text(const std::string& address);

// How a reset run ended.
struct ResetRun {
  bool started = false;    // wget could be run at all
  bool timed_out = false;  // still running at the limit: killed
  int exit_status = -1;    // wget's exit status when it ended by itself, else -1
  std::string error;       // why it could not be started
};

// Posts "FWUpdReset=1" to http://<address>/Forms/Firmware with the administrator's
// credentials, as wget does it (asking without credentials until the gateway challenges).
// The credentials reach wget through an in-memory configuration file, never through an
// argument list or the environment; the response is discarded, nothing is written to disk;
// the run ends within `limit`.
ResetRun post_gateway_reset(const std::string& address, std::chrono::milliseconds limit);

}  // namespace korvel

#endif  // KORVEL_GATEWAY_RESET_H
