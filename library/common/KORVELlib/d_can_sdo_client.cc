// SDO client for any object: upload into a caller's buffer and download of a caller's bytes,
// expedited or segmented, on a driver handle of the device's own that only SDO replies reach.
// Waits block in canRead; their time-outs run on the framework clock.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "D_korvel.h"
#include "canopen_codes.h"
#include "framework_clock.h"
#include "korvel_internal.h"

namespace {

using korvel::kSdoAbort;
using korvel::kSdoAbortGeneral;
using korvel::kSdoAbortOutOfMemory;
using korvel::kSdoAbortTimeout;
using korvel::kSdoAbortToggle;
using korvel::kSdoDownloadSegmentReply;
using korvel::kSdoExpedited;
using korvel::kSdoInitiateDownload;
using korvel::kSdoInitiateDownloadReply;
using korvel::kSdoInitiateUpload;
using korvel::kSdoInitiateUploadReply;
using korvel::kSdoLastSegment;
using korvel::kSdoReplyBase;
using korvel::kSdoReplyMask;
using korvel::kSdoRequestBase;
using korvel::kSdoSizeIndicated;
using korvel::kSdoToggle;
using korvel::kSdoUploadSegment;
using korvel::kSdoUploadSegmentReply;

// The client's handle on the device's net: replies come one per request, so a short queue
// holds them; canRead returns after kWaitSliceMs without a frame, so that a waiting transfer
// looks at the framework clock that often (and costs next to nothing meanwhile).
constexpr int32_t kClientTxQueue = 10;
constexpr int32_t kClientRxQueue = 16;
constexpr int32_t kClientTxTimeoutMs = 1000;
constexpr int32_t kWaitSliceMs = 50;

constexpr int kMaxExpedited = 4;
constexpr int kSegmentData = 7;

// One device (line, node-ID) as the SDO client sees it. Kept for the life of the process.
struct Channel {
  std::mutex transfer;       // held for one whole transfer: transfers run one after the other
  NTCAN_HANDLE handle = -1;  // the client's handle, opened on first use; under `transfer`
};

Channel& channel_of(int line, int node_id) {
  static auto* mx = new std::mutex();
  static auto* channels = new std::map<std::pair<int, int>, Channel*>();
  std::lock_guard<std::mutex> lk(*mx);
  Channel*& c = (*channels)[{line, node_id}];
  if (!c) c = korvel::kept(new Channel());
  return *c;
}

std::uint32_t little_endian32(const uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void put_little_endian32(uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// One transfer: holds the device's channel, sends requests, waits for replies, aborts.
class Transfer {
 public:
  Transfer(Channel& ch, int net, int node_id, int index, int subindex, int timeout_ms,
           D_can::sdo_outcome& outcome)
      : ch_(ch),
        lock_(ch.transfer),
        net_(net),
        node_id_(node_id),
        index_(index),
        subindex_(subindex),
        timeout_ms_(timeout_ms),
        outcome_(outcome) {}

  // Opens the client's handle if needed and drops replies left over from an earlier
  // transfer (a device that answered after its time-out). A handle that fails here (closed
  // under the client, a lost gateway connection) is replaced once.
  int start() {
    for (int attempt = 0;; ++attempt) {
      if (ch_.handle < 0) {
        const int r = open_handle();
        if (r != 0) return r;
      }
      const int r = drain();
      if (r == 0) return 0;
      fail_handle(r);
      if (attempt > 0) return r;
    }
  }

  int upload(unsigned char* buffer, int capacity, int* size) {
    uint8_t req[8] = {kSdoInitiateUpload};
    int r = send(req);
    if (r != 0) return r;
    CMSG m;
    r = await(m, [&](const CMSG& f) {
      return (f.data[0] & kSdoReplyMask) == kSdoInitiateUploadReply && length(f) >= 4 &&
             mux_is_ours(f);
    });
    if (r != 0) return r;

    const int dlc = length(m);
    if (m.data[0] & kSdoExpedited) {
      // Expedited: the data are in bytes 4 onward; without a size, as many as the frame carries.
      const int n = (m.data[0] & kSdoSizeIndicated) ? kMaxExpedited - ((m.data[0] >> 2) & 3)
                                                    : std::min(kMaxExpedited, dlc - 4);
      if (n <= 0 || dlc < 4 + n) return abort(kSdoAbortGeneral);
      if (n > capacity) return abort(kSdoAbortOutOfMemory);
      std::memcpy(buffer, &m.data[4], static_cast<std::size_t>(n));
      *size = n;
      return 0;
    }
    // Segmented: an announced size tells at once whether the object can fit.
    if ((m.data[0] & kSdoSizeIndicated) && dlc == 8 &&
        little_endian32(&m.data[4]) > static_cast<std::uint32_t>(capacity)) {
      return abort(kSdoAbortOutOfMemory);
    }
    int offset = 0;
    for (unsigned char toggle = 0;; toggle ^= kSdoToggle) {
      uint8_t seg[8] = {static_cast<uint8_t>(kSdoUploadSegment | toggle)};
      r = send_plain(seg);
      if (r != 0) return r;
      r = await(
          m, [&](const CMSG& f) { return (f.data[0] & kSdoReplyMask) == kSdoUploadSegmentReply; });
      if (r != 0) return r;
      if ((m.data[0] & kSdoToggle) != toggle) return abort(kSdoAbortToggle);
      const int n = kSegmentData - ((m.data[0] >> 1) & 7);
      if (length(m) < 1 + n) return abort(kSdoAbortGeneral);
      if (n > capacity - offset) return abort(kSdoAbortOutOfMemory);
      if (n > 0) std::memcpy(buffer + offset, &m.data[1], static_cast<std::size_t>(n));
      offset += n;
      if (m.data[0] & kSdoLastSegment) break;
    }
    *size = offset;
    return 0;
  }

  int download(const unsigned char* data, int size) {
    uint8_t req[8] = {kSdoInitiateDownload | kSdoSizeIndicated};
    const bool expedited = size <= kMaxExpedited;
    if (expedited) {
      req[0] = static_cast<uint8_t>(req[0] | kSdoExpedited | ((kMaxExpedited - size) << 2));
      std::memcpy(&req[4], data, static_cast<std::size_t>(size));
    } else {
      put_little_endian32(&req[4], static_cast<std::uint32_t>(size));
    }
    int r = send(req);
    if (r != 0) return r;
    CMSG m;
    r = await(m, [&](const CMSG& f) {
      return (f.data[0] & kSdoReplyMask) == kSdoInitiateDownloadReply && length(f) >= 4 &&
             mux_is_ours(f);
    });
    if (r != 0 || expedited) return r;

    int offset = 0;
    for (unsigned char toggle = 0; offset < size; toggle ^= kSdoToggle) {
      const int n = std::min(kSegmentData, size - offset);
      const bool last = offset + n == size;
      uint8_t seg[8] = {
          static_cast<uint8_t>(toggle | ((kSegmentData - n) << 1) | (last ? kSdoLastSegment : 0))};
      std::memcpy(&seg[1], data + offset, static_cast<std::size_t>(n));
      r = send_plain(seg);
      if (r != 0) return r;
      r = await(m, [&](const CMSG& f) {
        return (f.data[0] & kSdoReplyMask) == kSdoDownloadSegmentReply;
      });
      if (r != 0) return r;
      if ((m.data[0] & kSdoToggle) != toggle) return abort(kSdoAbortToggle);
      offset += n;
    }
    return 0;
  }

 private:
  static constexpr int kBatch = kClientRxQueue;

  int open_handle() {
    NTCAN_HANDLE h = -1;
    int r = canOpen(net_, 0, kClientTxQueue, kClientRxQueue, kClientTxTimeoutMs, kWaitSliceMs, &h);
    if (r != 0) return r;
    r = canIdAdd(h, kSdoReplyBase + node_id_);
    if (r != 0 && r != NTCAN_ID_ALREADY_ENABLED) {
      canClose(h);
      return r;
    }
    ch_.handle = h;
    return 0;
  }

  int drain() {
    for (;;) {
      int32_t n = kBatch;
      const int r = canTake(ch_.handle, batch_, &n);
      if (r != 0 || n <= 0) return r;
    }
  }

  static int length(const CMSG& m) {
    return (m.len & NTCAN_RTR) ? 0 : std::min<int>(NTCAN_DLC(m.len), 8);
  }

  bool mux_is_ours(const CMSG& m) const {
    return (m.data[1] | (m.data[2] << 8)) == index_ && m.data[3] == subindex_;
  }

  // A request that names the object: bytes 1 to 3 are its index and subindex.
  int send(uint8_t* data) {
    data[1] = static_cast<uint8_t>(index_ & 0xFF);
    data[2] = static_cast<uint8_t>(index_ >> 8);
    data[3] = static_cast<uint8_t>(subindex_);
    return send_plain(data);
  }

  int send_plain(const uint8_t* data) {
    CMSG m{};
    m.id = kSdoRequestBase + node_id_;
    m.len = 8;
    std::memcpy(m.data, data, 8);
    int32_t one = 1;
    const int r = canSend(ch_.handle, &m, &one);
    return r == 0 ? 0 : fail_handle(r);
  }

  // The client ends the transfer on the bus and reports it.
  int abort(std::uint32_t code) {
    uint8_t data[8] = {kSdoAbort};
    put_little_endian32(&data[4], code);
    send(data);  // the transfer has failed whether or not the abort goes out
    outcome_.abort_code = code;
    outcome_.by_device = false;
    return korvel::kFailed;
  }

  // Waits for the device's reply that `expected` accepts, or its abort of this object. Other
  // frames (replies to another client of the device, answers that are not for this step)
  // are passed over. 0 with the reply in m; -1 after an abort (received or, on a time-out,
  // sent); else the status of the failing driver call.
  template <class Expected>
  int await(CMSG& m, Expected expected) {
    const std::time_t start = VEXILtime();
    bool last_look = false;
    for (;;) {
      for (; next_ < taken_; ++next_) {
        const CMSG& f = batch_[next_];
        if (f.id != kSdoReplyBase + node_id_ || length(f) < 1) continue;
        if ((f.data[0] & kSdoReplyMask) == kSdoAbort && length(f) >= 4 && mux_is_ours(f)) {
          uint8_t code[4] = {0, 0, 0, 0};
          for (int i = 4; i < length(f); ++i) code[i - 4] = f.data[i];
          outcome_.abort_code = little_endian32(code);
          outcome_.by_device = true;
          ++next_;
          return korvel::kFailed;
        }
        if (expected(f)) {
          m = f;
          ++next_;
          return 0;
        }
      }
      if (last_look) return abort(kSdoAbortTimeout);
      int32_t n = kBatch;
      int r;
      if (korvel::surely_past(start, VEXILtime(), timeout_ms_)) {
        // Time is up (also while other frames keep coming): one last look, without waiting,
        // at what arrived meanwhile, so that a reply that came in time is never refused.
        last_look = true;
        r = canTake(ch_.handle, batch_, &n);
      } else {
        r = canRead(ch_.handle, batch_, &n, nullptr);
      }
      if (r != 0 && r != NTCAN_RX_TIMEOUT) return fail_handle(r);
      taken_ = r == 0 ? std::max(0, std::min<int>(n, kBatch)) : 0;
      next_ = 0;
    }
  }

  // A failing driver call ends the transfer; the handle is closed so that the next transfer
  // starts on a fresh one (after a lost gateway connection, for example).
  int fail_handle(int status) {
    canClose(ch_.handle);
    ch_.handle = -1;
    taken_ = next_ = 0;
    return status;
  }

  Channel& ch_;
  std::lock_guard<std::mutex> lock_;
  const int net_;
  const int node_id_;
  const int index_;
  const int subindex_;
  const int timeout_ms_;
  D_can::sdo_outcome& outcome_;
  CMSG batch_[kBatch];
  int taken_ = 0;
  int next_ = 0;
};

bool valid_object(int index, int subindex) {
  return index >= 0 && index <= 0xFFFF && subindex >= 0 && subindex <= 0xFF;
}

}  // namespace

int D_can::sdo_read(int index, int subindex, unsigned char* buffer, int capacity, int* size,
                    sdo_outcome* outcome, int timeout_ms) {
  sdo_outcome ignored;
  sdo_outcome& out = outcome ? *outcome : ignored;
  out = sdo_outcome();
  if (size) *size = 0;
  const int node_id = canIdent_.i2_data;
  if (!size || !valid_object(index, subindex) || capacity < 0 || (capacity > 0 && !buffer) ||
      timeout_ms <= 0 || node_id < 1 || node_id > 127) {
    return NTCAN_INVALID_PARAMETER;
  }
  canline* line = pline_;
  if (!line || handle() < 0) return NTCAN_INVALID_HANDLE;
  Transfer t(channel_of(line->line(), node_id), line->line() - 1, node_id, index, subindex,
             timeout_ms, out);
  int r = t.start();
  if (r == 0) r = t.upload(buffer, capacity, size);
  if (r != 0) *size = 0;
  return r;
}

int D_can::sdo_write(int index, int subindex, const unsigned char* data, int size,
                     sdo_outcome* outcome, int timeout_ms) {
  sdo_outcome ignored;
  sdo_outcome& out = outcome ? *outcome : ignored;
  out = sdo_outcome();
  const int node_id = canIdent_.i2_data;
  if (!data || size < 1 || !valid_object(index, subindex) || timeout_ms <= 0 || node_id < 1 ||
      node_id > 127) {
    return NTCAN_INVALID_PARAMETER;
  }
  canline* line = pline_;
  if (!line || handle() < 0) return NTCAN_INVALID_HANDLE;
  Transfer t(channel_of(line->line(), node_id), line->line() - 1, node_id, index, subindex,
             timeout_ms, out);
  const int r = t.start();
  return r != 0 ? r : t.download(data, size);
}
