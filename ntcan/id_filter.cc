// id_filter.cc - per-handle identifier filter.
#include "id_filter.h"

#include "canbus/can_frame.h"

namespace ntcan_driver {

int IdFilter::enable(std::int32_t id) {
  if (!canbus::valid_id(id)) return NTCAN_INVALID_PARAMETER;
  if (canbus::is_extended(id))
    return extended_.insert(id).second ? NTCAN_SUCCESS : NTCAN_ID_ALREADY_ENABLED;
  auto bit = standard_[static_cast<std::size_t>(id)];
  if (bit) return NTCAN_ID_ALREADY_ENABLED;
  bit = true;
  return NTCAN_SUCCESS;
}

int IdFilter::disable(std::int32_t id) {
  if (!canbus::valid_id(id)) return NTCAN_INVALID_PARAMETER;
  if (canbus::is_extended(id))
    return extended_.erase(id) == 1 ? NTCAN_SUCCESS : NTCAN_ID_NOT_ENABLED;
  auto bit = standard_[static_cast<std::size_t>(id)];
  if (!bit) return NTCAN_ID_NOT_ENABLED;
  bit = false;
  return NTCAN_SUCCESS;
}

bool IdFilter::accepts(std::int32_t id) const {
  if (!canbus::valid_id(id)) return false;
  if (canbus::is_extended(id)) return extended_.count(id) != 0;
  return standard_[static_cast<std::size_t>(id)];
}

}  // namespace ntcan_driver
