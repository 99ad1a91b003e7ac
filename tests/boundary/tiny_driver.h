// The test's own driver: what it was asked to do.
#ifndef TINY_DRIVER_H
#define TINY_DRIVER_H

#include <vector>

#include "ntcan.h"

namespace tiny {

struct Record {
  int opened = 0;
  int closed = 0;
  uint32_t baud = 0;
  std::vector<int32_t> ids;
  std::vector<CMSG> sent;
  std::vector<CMSG> rx;  // frames waiting to be taken
};

Record snapshot();
void push_rx(const CMSG& m);

}  // namespace tiny

#endif  // TINY_DRIVER_H
