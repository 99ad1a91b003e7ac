// devsim.h - simulated CANopen devices on a real CAN interface: which devices (from the command
// line or a file). main.cc runs them in a device host (device_host.h) and moves the frames.
#ifndef KORVEL_CANOPEN_DEVSIM_H
#define KORVEL_CANOPEN_DEVSIM_H

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "canopen/device_description.h"
#include "ntcan.h"
#include "simdev/canopen_device.h"

namespace devsim {

struct DeviceSpec {
  std::uint8_t node_id = 0;
  std::string name;
  std::string hw = "HW-1.0";
  std::string sw = "SW-1.0";
  // A device built from a description file (--eds) has its objects and PDOs, its identity
  // strings included (name, hw, sw show them); null for the others.
  std::shared_ptr<const korvel::canopen::DeviceDescription> description = nullptr;
};

// "ID[:NAME[:HW[:SW]]]", ID 1..127 in decimal or 0x hex. NAME defaults to "devsim node ID".
bool parse_device(const std::string& text, DeviceSpec& out, std::string& error);
// "ID:FILE" of --eds: the file is read and must have no problems (warnings are kept in it);
// errors name the file and line.
bool parse_described_device(const std::string& text, DeviceSpec& out, std::string& error);
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

// The devices the specs name, with their identity objects set (or everything their description
// files give), not yet booted. What a device could not take from its file goes to not_taken,
// one line each ("pump.eds:12: ..."), with the file's warnings.
std::vector<std::shared_ptr<simdev::canopen::Device>> make_devices(
    const std::vector<DeviceSpec>& specs, std::vector<std::string>* not_taken = nullptr);

}  // namespace devsim

#endif  // KORVEL_CANOPEN_DEVSIM_H
