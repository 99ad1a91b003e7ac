// Driver calls as tests make them, with the outcome checked on the way.
#ifndef DRIVER_CALLS_H
#define DRIVER_CALLS_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "ntcan.h"
#include "ntcan_sim.h"

// Sends frames given in can-utils notation on h; all of them must go out.
inline void send_frames(NTCAN_HANDLE h, std::initializer_list<const char*> texts) {
  std::vector<CMSG> msgs = ntcan_sim::frames(texts);
  std::int32_t n = static_cast<std::int32_t>(msgs.size());
  EXPECT_EQ(canSend(h, msgs.data(), &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, static_cast<std::int32_t>(msgs.size()));
}

#endif  // DRIVER_CALLS_H
