// The detector's presets and the check of its options against their table.
#include "library/option_table.h"
#include "orvo/detector.h"

namespace orvo {

DetectorOptions DetectorOptions::dense()
{
    // Two passes, the classic edge step and a finer one, keeping components
    // down to one step squared at a low threshold.
    DetectorOptions options;
    options.edge_steps = {11, 9};
    options.threshold = 3;
    options.min_area = 1;
    options.duplicate_overlap = 0.3;
    // Three octaves: regions that a zoom makes too large for the edge
    // sampling are found again on the reduced copies.
    options.pyramid_levels = 3;
    // Described grown by 3, as the classic regions: with the hulls widened
    // to the edge pixels, a wider neighbourhood (5) gains on the blurred and
    // lit sequences what it loses on the zoomed and turned ones, and costs
    // relative poses precision.
    options.measurement_scale = 3;
    // Centres located more precisely and the same whichever pixels of an
    // edge were sampled: edge points at their sub-pixel positions, hulls
    // widened to the edge pixels along them (matching score up on every
    // sequence measured, relative poses closer).
    options.subpixel_edges = true;
    options.edge_pixel_hull = true;
    return options;
}

void DetectorOptions::validate() const
{
    for (const detail::detector_option& option : detail::detector_option_table()) detail::check_option(option, *this);
}

}  // namespace orvo
