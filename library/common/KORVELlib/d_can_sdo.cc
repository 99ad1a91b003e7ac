// SDO client: upload (expedited or segmented) of text objects of the device's object
// dictionary, used for the manufacturer name and the hardware and software versions.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen/objects.h"
#include "canopen/sdo.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

namespace co = korvel::canopen;
using co::SdoKind;
using korvel::kComplete;
using korvel::kFailed;

constexpr int kWaitSeconds = 2;  // a wait ends once VEXILtime() is more than this past its start
constexpr int kBatch = 100;
constexpr std::size_t kTextBuffer = 64;

void log_error(const char* format, long value) {
  char line[200];
  std::snprintf(line, sizeof line, format, value);
  korvel::log("segSdoRead", line);
}

void print_abort(int code) {
  std::printf("Segmented transfer aborted with code 0x%X\n", static_cast<unsigned>(code));
  std::fflush(stdout);
}

// Takes frames from the node in batches until on_frame decides (returns true and sets the
// result) or more than kWaitSeconds pass by VEXILtime(). on_frame sees each frame with its
// decoding as an SDO reply. Replies are awaited by continuous non-blocking takes; a receive
// failure ends the wait with its status. The device's abort of the running transfer ends
// every wait, before on_frame sees the frame.
template <class OnFrame>
int wait_for_reply(D_can& node, OnFrame on_frame) {
  const std::time_t start = VEXILtime();
  CMSG batch[kBatch];
  while (true) {
    int n = kBatch;
    const int r = node.can_get(batch, &n);
    if (r != 0) return r;
    for (int i = 0; i < n && i < kBatch; ++i) {
      int code = 0;
      if (node.isAbort(&batch[i], &code)) {
        print_abort(code);
        return kFailed;
      }
      int result = 0;
      if (on_frame(batch[i], korvel::sdo_reply_of(batch[i]), result)) return result;
    }
    if (VEXILtime() > start + kWaitSeconds) return kFailed;
  }
}

}  // namespace

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer) {
  return segSdoRead(node, idx, subIdx, buffer, kTextBuffer);
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer, std::size_t capacity) {
  if (!buffer || capacity == 0) return NTCAN_INVALID_PARAMETER;
  // One transfer at a time per device: the library's own transfers (sdo_read, sdo_write, the
  // worker's) wait for this one, and it for them.
  std::unique_lock<std::mutex> channel;
  if (pline_) channel = korvel::hold_sdo_channel(pline_->line(), node);
  sdo_capacity_ = capacity;
  int offset = 0;

  const int e = initiateUpload(node, idx, subIdx);
  if (e != 0) {
    log_error("--Error: initiateUpload failed with error %ld", e);
    return e;
  }
  const int r = initUploadResponse(node, buffer, &offset);
  if (r == kComplete) return 0;
  if (r != 0) {
    log_error("--Error: initUploadResponse failed with error %ld", r);
    return r;
  }
  if (sdo_size_ >= 0 && static_cast<std::size_t>(sdo_size_) + 1 > capacity) {
    sdo_abort(node, co::code_of(co::SdoAbort::kOutOfMemory));
    char line[200];
    std::snprintf(
        line, sizeof line,
        "--Error: object 0x%04X/%d announces %ld bytes, more than the buffer of %zu holds: aborted",
        static_cast<unsigned>(Index), Subindex, sdo_size_, capacity);
    korvel::log("segSdoRead", line);
    return kFailed;
  }
  while (true) {
    const int s = requestUploadSegment(node);
    if (s != 0) {
      log_error("--Error: requestSegment failed with error %ld", s);
      return s;
    }
    const int f = receiveUploadSegment(node, buffer, &offset);
    if (f == 0) continue;
    return f == kComplete ? 0 : f;
  }
}

int D_can::initiateUpload(short node, int idx, int subIdx) {
  Index = idx;
  Subindex = subIdx;
  ToggleBit = 1;
  sdo_size_ = -1;
  co::SdoData data = co::sdo_initiate_upload_request(static_cast<std::uint16_t>(idx),
                                                     static_cast<std::uint8_t>(subIdx));
  return can_write(co::sdo_request_id(node), 8, data.data());
}

int D_can::initUploadResponse(short node, char* buffer, int* offset) {
  return wait_for_reply(*this, [&](const CMSG& f, const co::SdoMessage& m, int& result) {
    if (f.id != co::sdo_response_id(node) || m.kind != SdoKind::kInitiateUpload) return false;
    // A reply that names another object answered another client (an earlier transfer of the
    // library on the same device, still in the node's buffer).
    if (!m.has_object || m.index != Index || m.subindex != Subindex) return false;
    if (!m.expedited) {
      // Segmented: the size, when indicated, tells whether the object can fit at all.
      sdo_size_ = m.size_indicated && !m.truncated ? static_cast<long>(m.size) : -1;
      result = 0;
      return true;
    }
    if (m.truncated) return false;  // claims more data than the frame carries
    const std::size_t size = m.data_len;
    if (size + 1 > sdo_capacity_) {
      sdo_abort(node, co::code_of(co::SdoAbort::kOutOfMemory));
      log_error("--Error: expedited reply does not fit the buffer of %ld bytes: aborted",
                static_cast<long>(sdo_capacity_));
      result = kFailed;
      return true;
    }
    std::memcpy(buffer, m.data.data(), size);
    buffer[size] = 0;
    *offset = static_cast<int>(size);
    result = kComplete;
    return true;
  });
}

int D_can::requestUploadSegment(short /*node*/) {
  // The first segment request carries toggle 0 (ToggleBit starts at 1), then they alternate.
  co::SdoData data = co::sdo_upload_segment_request(ToggleBit == 0);
  ToggleBit = ToggleBit ? 0 : 1;
  return can_write(co::sdo_request_id(canIdent_.i2_data), 8, data.data());
}

int D_can::receiveUploadSegment(short node, char* buffer, int* offset) {
  return wait_for_reply(*this, [&](const CMSG& f, const co::SdoMessage& m, int& result) {
    if (f.id != co::sdo_response_id(node) || m.kind != SdoKind::kUploadSegment) return false;
    if (m.toggle != (ToggleBit != 0)) {
      std::printf("--Error: bad toggle bit in segmented transfer sequence.\n");
      std::fflush(stdout);
      result = kFailed;
      return true;
    }
    if (m.truncated) return false;  // claims more data than the frame carries
    const std::size_t size = m.data_len;
    if (*offset < 0 || static_cast<std::size_t>(*offset) + size + 1 > sdo_capacity_) {
      sdo_abort(node, co::code_of(co::SdoAbort::kOutOfMemory));
      char line[200];
      std::snprintf(line, sizeof line,
                    "--Error: object 0x%04X/%d is longer than the buffer of %zu bytes: aborted",
                    static_cast<unsigned>(Index), Subindex, sdo_capacity_);
      korvel::log("segSdoRead", line);
      result = kFailed;
      return true;
    }
    std::memcpy(buffer + *offset, m.data.data(), size);
    *offset += static_cast<int>(size);
    buffer[*offset] = 0;  // the text always ends inside the buffer
    result = m.last ? kComplete : 0;
    return true;
  });
}

int D_can::isAbort(CMSG* m, int* abortCode) {
  if (!m || !abortCode) return 0;
  const co::SdoMessage a = korvel::sdo_reply_of(*m);
  if (a.kind != SdoKind::kAbort || !a.has_object || a.index != Index || a.subindex != Subindex)
    return 0;
  *abortCode = static_cast<int>(a.abort_code);
  return 1;
}

int D_can::sdo_abort(short node, std::uint32_t code) {
  co::SdoData data = co::sdo_abort_transfer(static_cast<std::uint16_t>(Index),
                                            static_cast<std::uint8_t>(Subindex), code);
  return can_write(co::sdo_request_id(node), 8, data.data());
}

int D_can::check_ascii(char* aString) {
  if (!aString) return kFailed;
  constexpr int kMaxExamined = 10000;
  for (int i = 0; i < kMaxExamined && aString[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(aString[i]);
    if (c < 0x20 || c > 0x7E) {
      aString[i] = '\0';
      return kFailed;
    }
  }
  return 0;
}

int D_can::read_text_object(int index, D_string* prop) {
  char buffer[kTextBuffer] = {};
  const int r = segSdoRead(static_cast<short>(canIdent_.i2_data), index, 0, buffer, sizeof buffer);
  if (r == 0) {
    check_ascii(buffer);
    prop->set_value(std::string(buffer));
  } else {
    prop->set_value("error");
  }
  return r;
}

int D_can::get_manufacture() {
  return read_text_object(co::object::kManufacturerDeviceName, manu_);
}

int D_can::get_hwversion() {
  return read_text_object(co::object::kManufacturerHardwareVersion, hwver_);
}

int D_can::get_swversion() {
  VEXILsleep(0, 100000);
  return read_text_object(co::object::kManufacturerSoftwareVersion, swver_);
}
