// id_index.h - the receivers of one net by identifier: which handles' inboxes enabled it.
//
// A frame is matched once, on arrival, by a lookup of its identifier, and queued only to the
// inboxes found there; its cost does not grow with the number of handles on the net. 11-bit
// identifiers are looked up in a table (allocated when the first one is enabled), 29-bit ones
// in a hash map.
//
// Not thread-safe: the transport that owns it guards it with the lock under which its frames
// arrive, so that once remove() returned no frame reaches that inbox any more.
#ifndef NTCAN_ID_INDEX_H
#define NTCAN_ID_INDEX_H

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "inbox.h"
#include "ntcan.h"

namespace ntcan_driver {

class IdIndex {
 public:
  // The inbox receives id from now on (adding it twice has no further effect).
  void add(std::int32_t id, Inbox* inbox);
  void remove(std::int32_t id, Inbox* inbox);
  // Puts m into every inbox that enabled its identifier but `except` (the sender's own, or
  // null); returns how many received it.
  int deliver(const CMSG& m, const void* except) const;
  // Asks the processor to start loading the queues m goes to: a batch of frames prefetched
  // before it is delivered waits for memory once, not once per frame.
  void prefetch(const CMSG& m) const;
  // Whether any inbox enabled id.
  bool wanted(std::int32_t id) const;

 private:
  using Receivers = std::vector<Inbox*>;
  const Receivers* find(std::int32_t id) const;
  Receivers& slot(std::int32_t id);

  std::unique_ptr<Receivers[]> standard_;  // 0x800 entries once an 11-bit id was enabled
  std::unordered_map<std::int32_t, Receivers> extended_;
};

}  // namespace ntcan_driver

#endif  // NTCAN_ID_INDEX_H
