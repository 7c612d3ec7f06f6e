// The exact hulls of the chosen components, each built from the hulls of
// the chosen components it encloses and its own triangles' vertices: the
// convex hull of a set is that of its parts' hulls, so each vertex is read
// for the innermost chosen component holding it alone, rather than once for
// every chosen component around it, however deep they nest.
//
//   const nested_hulls fits = fit_nested_hulls(corners, subtrees, chosen, max_area, threads);
//   // fits.ellipse[k]: the ellipse of chosen[k], if any; fits.hull[k]: its hull
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "ellipse/extract.h"
#include "orvo/region.h"
#include "tree/selection.h"

namespace orvo::detail {

// By position in the chosen list: each node's hull (as convex_hull_polygon
// gives it; empty when its subtree has no triangles) and its ellipse, when
// the hull's fit succeeds and twice the hull's area is below max_area;
// widened to the edge pixels (widened_ellipse) when the table has them.
struct nested_hulls {
    std::vector<std::vector<cv::Point2d>> hull;
    std::vector<std::optional<Region>> ellipse;
};

// The hulls and ellipses of the `chosen` nodes (each enclosing node among
// them, as chosen_up_to_area leaves them), from the subtrees collected for
// them and the table's exact positions. The components outside every other
// go to the threads in shares, in order; the result does not depend on
// their number.
nested_hulls fit_nested_hulls(const triangle_corners& table, const subtree_triangles& subtrees,
                              const std::vector<chosen_node>& chosen, double max_area, int threads);

}  // namespace orvo::detail
