// Driver calls as tests make them, with the outcome checked on the way: one home for opening,
// sending, taking and reading, whatever transport serves the net.
#ifndef DRIVER_CALLS_H
#define DRIVER_CALLS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ios>
#include <string>
#include <vector>

#include "canbus/frame_text.h"
#include "ntcan.h"
#include "ntcan/test_controls.h"

// A handle on net receiving ids; NTCAN_NO_HANDLE (and a test failure) if it cannot open.
inline NTCAN_HANDLE open_handle(int net, std::initializer_list<std::int32_t> ids = {},
                                int rx_queue = 100, int rx_timeout_ms = 0) {
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  EXPECT_EQ(canOpen(net, 0, 10, rx_queue, 1000, rx_timeout_ms, &h), NTCAN_SUCCESS) << "net " << net;
  for (std::int32_t id : ids) EXPECT_EQ(canIdAdd(h, id), NTCAN_SUCCESS);
  return h;
}

// Sends the frames on h; all of them must go out.
inline void send_frames(NTCAN_HANDLE h, std::vector<CMSG> msgs) {
  std::int32_t n = static_cast<std::int32_t>(msgs.size());
  EXPECT_EQ(canSend(h, msgs.data(), &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, static_cast<std::int32_t>(msgs.size()));
}

// Sends frames given in can-utils notation on h; all of them must go out.
inline void send_frames(NTCAN_HANDLE h, std::initializer_list<const char*> texts) {
  send_frames(h, canbus::frames(texts));
}

// Everything queued on h now (canTake until it returns none).
inline std::vector<CMSG> take_frames(NTCAN_HANDLE h) {
  std::vector<CMSG> got;
  for (;;) {
    CMSG buf[16];
    std::int32_t n = 16;
    EXPECT_EQ(canTake(h, buf, &n), NTCAN_SUCCESS);
    if (n <= 0) return got;
    got.insert(got.end(), buf, buf + n);
  }
}

// With nothing queued: canRead returns NTCAN_RX_TIMEOUT after the handle's receive time-out and
// canTake returns at once; both report no frame.
inline void expect_read_times_out_and_take_returns_none(NTCAN_HANDLE h) {
  CMSG buf[4];
  std::int32_t n = 4;
  EXPECT_EQ(canRead(h, buf, &n, nullptr), NTCAN_RX_TIMEOUT);
  EXPECT_EQ(n, 0);
  n = 4;
  EXPECT_EQ(canTake(h, buf, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 0);
}

inline std::vector<std::string> texts_of(const std::vector<CMSG>& frames) {
  std::vector<std::string> out;
  for (const CMSG& m : frames) out.push_back(canbus::to_string(m));
  return out;
}

// Reads until count frames came (each read waits up to the handle's receive time-out); a
// failing read ends it with a test failure.
inline std::vector<std::string> read_texts(NTCAN_HANDLE h, std::size_t count) {
  std::vector<std::string> got;
  while (got.size() < count) {
    CMSG buf[16];
    std::int32_t n = 16;
    const int r = canRead(h, buf, &n, nullptr);
    if (r != NTCAN_SUCCESS) {
      ADD_FAILURE() << "canRead returned 0x" << std::hex << r << " after " << std::dec << got.size()
                    << " frames";
      break;
    }
    for (int i = 0; i < n; ++i) got.push_back(canbus::to_string(buf[i]));
  }
  return got;
}

#endif  // DRIVER_CALLS_H
