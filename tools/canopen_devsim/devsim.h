// devsim.h - simulated CANopen devices on a real CAN interface: which devices (from the command
// line or a file), and the host that feeds them frames and collects what they send, with no
// socket in sight (main.cc moves the frames).
#ifndef KORVEL_CANOPEN_DEVSIM_H
#define KORVEL_CANOPEN_DEVSIM_H

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "canopen_device.h"
#include "ntcan.h"

namespace devsim {

struct DeviceSpec {
  std::uint8_t node_id = 0;
  std::string name;
  std::string hw = "HW-1.0";
  std::string sw = "SW-1.0";
};

// "ID[:NAME[:HW[:SW]]]", ID 1..127 in decimal or 0x hex. NAME defaults to "devsim node ID".
bool parse_device(const std::string& text, DeviceSpec& out, std::string& error);
// One device per line as on the command line; '#' starts a comment, blank lines are skipped.
// Errors name the file and line.
bool parse_device_file(std::istream& in, const std::string& file_name, std::vector<DeviceSpec>& out,
                       std::string& error);

struct Options {
  std::string ifname = "vcan0";
  std::vector<DeviceSpec> devices;
  bool verbose = false;
  bool help = false;
  std::string error;  // non-empty: the command line was not understood
};
Options parse_options(const std::vector<std::string>& args);
extern const char* const kUsage;

// The devices on one bus. Their replies fall due at a time (a device may answer late); due()
// hands them out in order.
class DeviceHost {
 public:
  explicit DeviceHost(const std::vector<DeviceSpec>& specs);

  // Every device sends its boot-up frame, as after power-on.
  void boot();
  // A frame from the bus reaches every device.
  void on_frame(const CMSG& in, std::int64_t now_ns);
  // Frames the devices send on their own (boot-up, emergencies).
  void poll(std::int64_t now_ns);
  // Frames due by now_ns, in order, removed from the host.
  std::vector<CMSG> due(std::int64_t now_ns);
  // When the next frame falls due; -1 when none waits.
  std::int64_t next_due() const;

  const std::vector<std::shared_ptr<canopen::Device>>& devices() const { return devices_; }

 private:
  void keep(std::vector<ntcan_sim::TimedFrame>& out);

  std::vector<std::shared_ptr<canopen::Device>> devices_;
  std::multimap<std::int64_t, CMSG> pending_;  // equal times keep their order
};

}  // namespace devsim

#endif  // KORVEL_CANOPEN_DEVSIM_H
