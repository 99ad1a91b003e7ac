// eds_report.h - what korvel_canopen_eds prints for an EDS or DCF: the device's identity and
// commissioning, a table of its objects, a table of its PDOs, and its problems. A library of its
// own so that the tests run it without a process.
#ifndef KORVEL_CANOPEN_EDS_REPORT_H
#define KORVEL_CANOPEN_EDS_REPORT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "canopen/device_description.h"

namespace canopen_eds {

extern const char* const kUsage;

// The identity, the objects and the PDOs of d, with "$NODEID" resolved for node_id (0: the
// file's own NodeID, else none).
void print_report(const korvel::canopen::DeviceDescription& d, std::uint8_t node_id,
                  std::FILE* out);

// The whole program (version: what --version prints): reads each file, prints its report on out and
// its problems on err. Returns the exit status: 0 when every file is sound (warnings allowed), 1
// when one has problems or cannot be read, 2 for a bad command line.
int run(int argc, char** argv, const char* version, std::FILE* out, std::FILE* err);

}  // namespace canopen_eds

#endif  // KORVEL_CANOPEN_EDS_REPORT_H
