// The region a detected region's descriptor is measured on: the region
// grown by the measurement scale, when that can be described.
#pragma once

#include <optional>

#include "orvo/region.h"

namespace orvo::detail {

// The region grown by `scale` about its centre, when that can be described
// (can_describe); none when it cannot, or when the region is not valid or
// cannot be grown so far.
std::optional<Region> measurement_region(const Region& region, double scale);

}  // namespace orvo::detail
