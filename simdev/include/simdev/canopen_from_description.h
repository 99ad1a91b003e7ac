// canopen_from_description.h - a simulated CiA 301 device made from a device description file
// (EDS or DCF, canopen/device_description.h): the file's objects become the device's object
// dictionary, its PDOs the device's power-on PDOs.
#ifndef SIMDEV_CANOPEN_FROM_DESCRIPTION_H
#define SIMDEV_CANOPEN_FROM_DESCRIPTION_H

#include <vector>

#include "canopen/device_description.h"
#include "simdev/canopen_device.h"

namespace simdev {
namespace canopen {

// Gives the device every object of the file with its type, access and value() ("$NODEID"
// taken as the device's node-ID; numbers in the type's bytes, strings as their bytes, an
// object without a value 0 or empty), and the PDOs the file describes. An object whose
// PDOMapping is 1 becomes a process object (set_value): PDOs may carry it; any other does not,
// so a mapping of it is refused with 0x06040041 like the device's own. The PDO communication
// and mapping objects follow the device's rules rather than the file's access types.
//
// Returns what the device could not take, one problem per object or PDO with the file's line
// (an unknown or unsized type, a value the type cannot hold, a PDO beyond the device's four, a
// mapping the device refuses); everything else was applied.
std::vector<korvel::canopen::Problem> configure(Device& device,
                                                const korvel::canopen::DeviceDescription& file);

}  // namespace canopen
}  // namespace simdev

#endif  // SIMDEV_CANOPEN_FROM_DESCRIPTION_H
