// korvel_internal.h - what the library's source files share and nothing outside them sees.
#ifndef KORVEL_INTERNAL_H
#define KORVEL_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "canopen/frame.h"
#include "canopen/sdo.h"
#include "canopen_codes.h"

namespace korvel {

// Flags of every log line the library writes.
constexpr unsigned kLogFlags = 0x80000000u;

// The calling thread's flag of LoopLock: true while it holds D_can::mx_loop through one.
bool& loop_held_here();

// Holds D_can::mx_loop for its scope; the library takes mx_loop only through it. Re-entrant
// on one thread: what runs under the lock (a derived class's can_fill, called by
// can_looping) may call node operations that take it again, such as can_array.
class LoopLock {
 public:
  LoopLock() : LoopLock(loop_held_here()) {}
  // With the calling thread's flag looked up already (can_looping: once per pass).
  explicit LoopLock(bool& held) : held_(held), owner_(!held) {
    if (owner_) {
      D_can::mx_loop.lock();
      held_ = true;
    }
  }
  ~LoopLock() {
    if (owner_) {
      held_ = false;
      D_can::mx_loop.unlock();
    }
  }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  bool& held_;  // the calling thread's flag: true while it holds mx_loop through a LoopLock
  bool owner_;  // this scope locked the mutex (not an outer scope of the same thread)
};

// The polled masters, in order of registration; changed only under D_can::mx_loop.
std::vector<D_can*>& can_list();
// Every line ever created, in creation order; changed only in D_can::can_open, under
// canline_mutex() (start-ups on several threads may look for or create a line at once).
std::vector<canline*>& canline_list();
std::mutex& canline_mutex();

// The receive state of a (line, node-ID) pair in one allocation, shared by the master and its
// passive nodes and kept for the process. The scalars that every poll reads and writes fill
// one cache line; the frames follow on lines of their own. A node's pair_handle_, can_ret_,
// rxmsg_len_, alive_ptr_ and rxmsg_ point into it.
struct alignas(64) RxBlock {
  std::atomic<NTCAN_HANDLE> pair_handle{-1};
  int32_t len = 0;
  int ret = 0;
  int alive = 0;
  alignas(64) CMSG frames[kRxCapacity] = {};
};

// Counts the changes of any node's receive buffer pointers (a node takes, shares or drops a
// buffer), so that what is kept per buffer (the lost-device supervision's watches) knows
// when to look again. Called after the pointers changed.
void note_buffer_change();
std::uint32_t buffer_changes();

// Objects the library keeps for the life of the process (receive buffers, sub-properties,
// lines): recorded here so that they stay reachable, never freed.
void keep_for_process(const void* p);
template <class T>
T* kept(T* p) {
  keep_for_process(p);
  return p;
}

// One log line of the library.
inline void log(const std::string& heading, const std::string& text) {
  vexil::printtostderr(heading, text, kLogFlags);
}

// can_error_str of a driver status held as a signed int (widened with its sign).
inline std::string status_name(int status) {
  return can_error_str(static_cast<unsigned long>(static_cast<long>(status)));
}

// Data bytes a received frame carries: none for a remote request, at most 8.
inline int data_length(const CMSG& m) {
  if (m.len & NTCAN_RTR) return 0;
  const int dlc = NTCAN_DLC(m.len);
  return dlc < 8 ? dlc : 8;
}

// A frame of the protocol component as the driver sends it.
inline CMSG to_cmsg(const canopen::Frame& f) {
  CMSG m{};
  m.id = f.cob_id;
  m.len = static_cast<uint8_t>(f.len | (f.remote ? NTCAN_RTR : 0));
  for (int i = 0; i < f.len && i < 8; ++i) m.data[i] = f.data[i];
  return m;
}

// Holds the SDO channel of device node_id on line for a whole transfer, as sdo_read and
// sdo_write do: a transfer of another thread to the device (the worker's configuration and
// mapping reads) waits until it is released (d_can_sdo_client.cc).
std::unique_lock<std::mutex> hold_sdo_channel(int line, int node_id);

// What a frame from a device's SDO server says: the one decoding of SDO replies in the library.
inline canopen::SdoMessage sdo_reply_of(const CMSG& m) {
  return canopen::decode_sdo_response(m.data, static_cast<std::size_t>(data_length(m)));
}

// What a client's request selects in a property's value history: an event number (the latest
// value for 0 and below), or seconds and microseconds of a time. Integer properties and process
// values read their requests through it (d_value_int.cc).
struct ValueSelector {
  std::int64_t event = 0;
  std::int64_t seconds = 0;
  std::int64_t microseconds = 0;
};
ValueSelector value_selector(EqData* in);

// True when line number l is in 1..20.
inline bool valid_line(int l) { return static_cast<unsigned>(l) - 1u <= 19u; }

}  // namespace korvel

#endif  // KORVEL_INTERNAL_H
