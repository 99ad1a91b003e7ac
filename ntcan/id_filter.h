// id_filter.h - the identifiers a handle receives: 11-bit and 29-bit ones kept apart.
#ifndef NTCAN_ID_FILTER_H
#define NTCAN_ID_FILTER_H

#include <bitset>
#include <cstdint>
#include <unordered_set>

namespace ntcan_driver {

class IdFilter {
 public:
  // NTCAN_SUCCESS, NTCAN_ID_ALREADY_ENABLED or NTCAN_INVALID_PARAMETER.
  int enable(std::int32_t id);
  // NTCAN_SUCCESS, NTCAN_ID_NOT_ENABLED or NTCAN_INVALID_PARAMETER.
  int disable(std::int32_t id);
  bool accepts(std::int32_t id) const;

 private:
  std::bitset<0x800> standard_;
  std::unordered_set<std::int32_t> extended_;  // with NTCAN_20B_BASE
};

}  // namespace ntcan_driver

#endif  // NTCAN_ID_FILTER_H
