// faults.h - the failures a test can switch on per net (see ntcan/test_controls.h).
#ifndef NTCAN_FAULTS_H
#define NTCAN_FAULTS_H

#include <cstdint>
#include <optional>

#include "ntcan.h"

namespace ntcan_driver {

// Makes the next `times` calls fail with `status`; times < 0: every call until cleared.
class FaultSwitch {
 public:
  void arm(int status, int times) {
    status_ = status;
    remaining_ = times;
  }
  void clear() { remaining_ = 0; }
  // True if this call fails (status set); counts the call against `times`.
  bool trip(int& status) {
    if (remaining_ == 0) return false;
    if (remaining_ > 0) --remaining_;
    status = status_;
    return true;
  }

 private:
  int status_ = NTCAN_SUCCESS;
  int remaining_ = 0;
};

struct NetFaults {
  FaultSwitch open;
  FaultSwitch baudrate;
  FaultSwitch status;
  FaultSwitch close;
  bool down = false;
  int down_open_status = NTCAN_SOCK_CONN_TIMEOUT;
  std::optional<std::uint32_t> boardstatus;  // replaces what the transport reports

  void clear() { *this = NetFaults{}; }
};

}  // namespace ntcan_driver

#endif  // NTCAN_FAULTS_H
