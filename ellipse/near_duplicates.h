// Overlap of two elliptical regions and the removal of near-duplicates from
// the union of several detections.
#pragma once

#include <vector>

#include "orvo/region.h"

namespace orvo::detail {

// 1 - area(intersection) / area(union) of the two ellipses, from inscribed
// polygons of 32 sides (the areas within 0.7 % of the ellipses').
double overlap_error(const Region& p, const Region& q);

// Keeps, in order, each region whose overlap error with every region kept
// before it is at least `max_error`. Threads share the comparisons; the
// result does not depend on their number.
std::vector<Region> drop_near_duplicates(const std::vector<Region>& regions, double max_error, int threads = 1);

// The indices of the regions drop_near_duplicates keeps, in order.
std::vector<std::size_t> near_duplicates_kept(const std::vector<Region>& regions, double max_error, int threads = 1);

}  // namespace orvo::detail
