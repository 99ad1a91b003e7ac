// pdo_mapping.cc - a device's PDO from the uploads of its communication and mapping records.
#include "canopen/pdo_mapping.h"

#include <cstdio>

#include "canopen/endian.h"
#include "canopen/sdo_abort.h"

namespace korvel {
namespace canopen {

namespace {

std::uint32_t little_endian(const std::uint8_t* data, std::size_t len) {
  return static_cast<std::uint32_t>(get_le(data, len < 4 ? len : 4));
}

}  // namespace

std::string object_place(std::uint16_t index, std::uint8_t subindex) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%04X sub %u", static_cast<unsigned>(index),
                static_cast<unsigned>(subindex));
  return text;
}

std::string pdo_name(PdoDirection direction, unsigned number) {
  return (direction == PdoDirection::kTransmit ? "TPDO" : "RPDO") + std::to_string(number);
}

PdoMappingReader::PdoMappingReader(PdoDirection direction, unsigned number) {
  desc_.direction = direction;
  desc_.number = number >= 1 && number <= 4 ? number : 1;
}

bool PdoMappingReader::next(Request& r) const {
  const bool transmit = desc_.direction == PdoDirection::kTransmit;
  const auto n = static_cast<std::uint16_t>(desc_.number - 1);
  const std::uint16_t comm = (transmit ? kTpdoCommunicationBase : kRpdoCommunicationBase) + n;
  const std::uint16_t map = (transmit ? kTpdoMappingBase : kRpdoMappingBase) + n;
  switch (step_) {
    case Step::kCobId:
      r = {comm, kPdoCobIdSub};
      return true;
    case Step::kType:
      r = {comm, kPdoTransmissionTypeSub};
      return true;
    case Step::kEventTimer:
      r = {comm, kPdoEventTimerSub};
      return true;
    case Step::kCount:
      r = {map, 0};
      return true;
    case Step::kEntry:
      r = {map, entry_};
      return true;
    case Step::kDone:
      return false;
  }
  return false;
}

std::string PdoMappingReader::where() const {
  Request r;
  if (!next(r)) return pdo_name(desc_.direction, desc_.number);
  return pdo_name(desc_.direction, desc_.number) + " " + object_place(r.index, r.subindex);
}

void PdoMappingReader::problem(const std::string& text) {
  problems_.push_back(where() + ": " + text);
}

bool PdoMappingReader::sized(std::size_t len, std::size_t want) {
  if (len == want) return true;
  problem("the device gave " + std::to_string(len) + " bytes, " + std::to_string(want) +
          " expected");
  return false;
}

void PdoMappingReader::take(const std::uint8_t* data, std::size_t len) {
  if (!data) len = 0;
  switch (step_) {
    case Step::kCobId:
      if (!sized(len, 4)) {
        failed_ = true;
        return finish();
      }
      desc_.communication.cob_id_entry = little_endian(data, len);
      if (!desc_.communication.valid()) return finish();  // not used: nothing to read
      if (desc_.communication.extended()) {
        problem("a 29-bit identifier, which this master does not receive or send");
        failed_ = true;
        return finish();
      }
      step_ = Step::kType;
      return;
    case Step::kType:
      if (!sized(len, 1)) {
        failed_ = true;
        return finish();
      }
      desc_.communication.transmission_type = data[0];
      if (data[0] > kSyncEveryMax && data[0] < kSyncRemoteOnly) {
        problem("reserved transmission type " + std::to_string(data[0]));
        failed_ = true;
        return finish();
      }
      step_ = desc_.direction == PdoDirection::kTransmit ? Step::kEventTimer : Step::kCount;
      return;
    case Step::kEventTimer:
      if (sized(len, 2)) {
        desc_.communication.event_timer = static_cast<std::uint16_t>(little_endian(data, len));
      }  // otherwise read as no event timer: the PDO itself is still usable
      step_ = Step::kCount;
      return;
    case Step::kCount:
      if (!sized(len, 1)) {
        failed_ = true;
        return finish();
      }
      count_ = data[0];
      if (count_ > kMaxMappedObjects) {
        problem(std::to_string(count_) + " mapped objects, more than 64");
        failed_ = true;
        return finish();
      }
      if (count_ == 0) return finish();
      entry_ = 1;
      step_ = Step::kEntry;
      return;
    case Step::kEntry: {
      if (!sized(len, 4)) {
        failed_ = true;
        return finish();
      }
      const MapEntry e = decode_map_entry(little_endian(data, len));
      if (e.index == 0) {
        problem("an entry naming index 0");
        failed_ = true;
      } else if (e.bits == 0) {
        problem("an entry of length 0 (" + object_place(e.index, e.subindex) + ")");
        failed_ = true;
      }
      entries_.push_back(e);
      if (entry_ >= count_) return finish();
      ++entry_;
      return;
    }
    case Step::kDone:
      return;
  }
}

void PdoMappingReader::take_abort(std::uint32_t code) {
  if (step_ == Step::kDone) return;
  if (step_ == Step::kEventTimer) {
    // Sub 5 is optional: a device without it sends its PDO on events only.
    step_ = Step::kCount;
    return;
  }
  problem("aborted, " + sdo_abort_text(code));
  failed_ = true;
  finish();
}

void PdoMappingReader::finish() {
  step_ = Step::kDone;
  if (failed_ || !desc_.communication.valid() || entries_.empty()) return;
  const MappingProblem p = PdoLayout::make(entries_, {}, desc_.layout);
  if (p != MappingProblem::kNone) {
    problems_.push_back(pdo_name(desc_.direction, desc_.number) +
                        " mapping: " + mapping_problem_text(p));
    return;
  }
  desc_.usable = true;
}

}  // namespace canopen
}  // namespace korvel
