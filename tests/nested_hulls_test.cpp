// The hulls of nested components, each built from the hulls inside it,
// against each component's hull of all its vertices, on 1 to 4 threads.
#include <gtest/gtest.h>

#include <vector>

#include "ellipse/extract.h"
#include "ellipse/fit.h"
#include "ellipse/nested_hulls.h"
#include "tests/random_tree.h"
#include "tree/selection.h"

using namespace orvo::detail;

TEST(NestedHulls, EachHullIsThatOfAllTheVerticesOfItsComponent)
{
    // Vertices on the pixel grid, whose turns are computed exactly: the
    // hulls must be equal, not merely close.
    for (unsigned seed : {11u, 12u}) {
        const random_tree t(4000, seed);
        const node_triangle_lists lists = group_triangles_by_node(t.tree.node_of_row, t.table.rows);
        const std::vector<chosen_node> chosen = choose_components(t.tree, {0.5, 0.1, 2.0});
        int nested = 0;
        for (const chosen_node& c : chosen) nested += c.nested();
        ASSERT_GT(nested, 20);
        const subtree_triangles subtrees = collect_subtree_triangles(t.tree, lists, chosen, 1);
        const triangle_corners corners = corners_of_triangles(t.table, t.shape.tds().number_of_vertices(), true);

        // Each component's hull of all its vertices, and its ellipse under a
        // max_area that some of them exceed.
        std::vector<std::vector<cv::Point2d>> whole(chosen.size());
        std::vector<double> areas;
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            std::vector<int> triangles;
            append_subtree_triangles(subtrees, chosen[k].node, triangles);
            std::vector<cv::Point2d> points;
            for (const int row : triangles)
                for (const int v : corners.corners[row]) points.push_back(corners.exact_position[v]);
            if (!points.empty()) whole[k] = convex_hull_polygon(points);
            areas.push_back(std::abs(fit_ellipse_by_moments(whole[k], 4).twice_area));
        }
        std::nth_element(areas.begin(), areas.begin() + areas.size() / 2, areas.end());
        const double max_area = areas[areas.size() / 2];

        for (int threads = 1; threads <= 4; ++threads) {
            const nested_hulls fits = fit_nested_hulls(corners, subtrees, chosen, max_area, threads);
            int with_ellipse = 0;
            for (std::size_t k = 0; k < chosen.size(); ++k) {
                ASSERT_EQ(fits.hull[k], whole[k]) << "node " << chosen[k].node << ", " << threads << " threads";
                const std::optional<orvo::Region> expected = exact_hull_ellipse(whole[k], max_area);
                ASSERT_EQ(fits.ellipse[k].has_value(), expected.has_value()) << k;
                if (!expected) continue;
                ++with_ellipse;
                EXPECT_EQ(fits.ellipse[k]->x, expected->x);
                EXPECT_EQ(fits.ellipse[k]->a, expected->a);
                EXPECT_EQ(fits.ellipse[k]->b, expected->b);
            }
            EXPECT_GT(with_ellipse, 0);
            EXPECT_LT(with_ellipse, static_cast<int>(chosen.size()));
        }
    }
}
