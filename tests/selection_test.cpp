// The selection and the subtree collection on several threads against one:
// the same chosen nodes in the same order, the same nesting, the same rows
// and slices; and whole detections on 1 to 8 threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <random>
#include <vector>

#include "orvo/orvo.h"
#include "tests/generated_image.h"
#include "tests/random_tree.h"
#include "tree/component_tree.h"
#include "tree/face_table.h"
#include "tree/selection.h"
#include "triangulation/alpha_values.h"

using namespace orvo::detail;

namespace {

// The nearest proper ancestor of `node` among the chosen.
int nearest_chosen_ancestor(const component_tree& tree, const std::vector<char>& is_chosen, int node)
{
    for (int v = tree.nodes[node].parent; v != NO_PARENT; v = tree.nodes[v].parent)
        if (is_chosen[v]) return v;
    return NOT_ENCLOSED;
}

}  // namespace

TEST(ParallelSelection, ThreadsChooseTheSameNodesInTheSameOrder)
{
    int nested_seen = 0, outer_seen = 0;
    for (unsigned seed : {1u, 2u, 3u}) {
        const random_tree t(3000, seed);
        for (double threshold : {0.5, 5.0, 50.0}) {
            const selection_criteria criteria{threshold, 0.1, 2.0};
            const std::vector<chosen_node> one = choose_components(t.tree, criteria, 1);
            std::vector<char> is_chosen(t.tree.nodes.size(), 0);
            for (const chosen_node& c : one) is_chosen[c.node] = 1;
            for (const chosen_node& c : one) {
                EXPECT_EQ(c.enclosing, nearest_chosen_ancestor(t.tree, is_chosen, c.node)) << c.node;
                (c.nested() ? nested_seen : outer_seen)++;
            }
            for (int threads = 2; threads <= 8; ++threads) {
                const std::vector<chosen_node> many = choose_components(t.tree, criteria, threads);
                ASSERT_EQ(many.size(), one.size()) << "seed " << seed << ", " << threads << " threads";
                for (std::size_t k = 0; k < one.size(); ++k) {
                    EXPECT_EQ(many[k].node, one[k].node);
                    EXPECT_EQ(many[k].ratio, one[k].ratio);
                    EXPECT_EQ(many[k].enclosing, one[k].enclosing);
                }
            }
        }
    }
    // The trees exercise both kinds.
    EXPECT_GT(nested_seen, 10);
    EXPECT_GT(outer_seen, 10);
}

TEST(ParallelSelection, ComponentsTooLargeAreLeftOutAndTheirEnclosedOnesLinkedPastThem)
{
    const random_tree t(3000, 8);
    const std::vector<chosen_node> chosen = choose_components(t.tree, {0.5, 0.1, 2.0});
    std::vector<double> areas;
    for (const chosen_node& c : chosen) areas.push_back(t.tree.nodes[c.node].area);
    std::nth_element(areas.begin(), areas.begin() + areas.size() * 3 / 4, areas.end());
    const double limit = areas[areas.size() * 3 / 4];

    std::vector<chosen_node> expected;
    std::vector<char> is_kept(t.tree.nodes.size(), 0);
    for (const chosen_node& c : chosen)
        if (t.tree.nodes[c.node].area <= limit) {
            expected.push_back(c);
            is_kept[c.node] = 1;
        }
    const std::vector<chosen_node> kept = chosen_up_to_area(t.tree, chosen, limit);
    ASSERT_EQ(kept.size(), expected.size());
    ASSERT_LT(kept.size(), chosen.size());
    int linked_past = 0;
    for (std::size_t k = 0; k < kept.size(); ++k) {
        EXPECT_EQ(kept[k].node, expected[k].node);
        EXPECT_EQ(kept[k].ratio, expected[k].ratio);
        EXPECT_EQ(kept[k].enclosing, nearest_chosen_ancestor(t.tree, is_kept, kept[k].node)) << kept[k].node;
        linked_past += kept[k].enclosing != expected[k].enclosing;
    }
    EXPECT_GT(linked_past, 0);  // some enclosing nodes were too large
}

TEST(ParallelSelection, ChosenNodesComeInTheOrderOfAWalkOfTheWholeTree)
{
    // Against a plain depth-first walk of every node from the root: on
    // entering a node, its chosen children in child-list order, then the
    // children's subtrees in that order. Trees large enough that the
    // selection leaves many subtrees to the threads.
    for (unsigned seed : {6u, 7u}) {
        const random_tree t(20000, seed);
        const std::vector<tree_node>& nodes = t.tree.nodes;
        const selection_criteria criteria{0.5, 0.1, 2.0};
        const auto ratio_if_chosen = [&](int parent, int child) {
            const double A = nodes[parent].area, a = nodes[child].area;
            const double ratio = a / std::max(nodes[parent].level, MIN_LEVEL);
            return a > criteria.min_area && (A - a) / a > criteria.min_area_growth && ratio >= criteria.threshold
                       ? ratio
                       : 0.0;
        };
        std::vector<chosen_node> expected;
        std::vector<std::pair<int, int>> stack{{t.tree.root, NOT_ENCLOSED}};
        while (!stack.empty()) {
            const auto [v, enclosing] = stack.back();
            stack.pop_back();
            std::vector<std::pair<int, int>> children;
            for (int cell = nodes[v].first_child; cell != NO_CELL; cell = t.tree.child_cells[cell].next) {
                const int child = t.tree.child_cells[cell].child;
                const double ratio = ratio_if_chosen(v, child);
                if (ratio > 0) expected.push_back({child, ratio, enclosing});
                children.push_back({child, ratio > 0 ? child : enclosing});
            }
            stack.insert(stack.end(), children.rbegin(), children.rend());
        }
        ASSERT_GT(expected.size(), 300u);
        for (int threads = 1; threads <= 8; ++threads) {
            const std::vector<chosen_node> chosen = choose_components(t.tree, criteria, threads);
            ASSERT_EQ(chosen.size(), expected.size()) << "seed " << seed << ", " << threads << " threads";
            for (std::size_t k = 0; k < chosen.size(); ++k) {
                EXPECT_EQ(chosen[k].node, expected[k].node) << k;
                EXPECT_EQ(chosen[k].ratio, expected[k].ratio) << k;
                EXPECT_EQ(chosen[k].enclosing, expected[k].enclosing) << k;
            }
        }
    }
}

TEST(ParallelSelection, ThreadsCollectTheSameRowsAndSlices)
{
    for (unsigned seed : {4u, 5u}) {
        const random_tree t(3000, seed);
        const node_triangle_lists lists = group_triangles_by_node(t.tree.node_of_row, t.table.rows);
        const std::vector<chosen_node> chosen = choose_components(t.tree, {1.0, 0.1, 2.0});
        ASSERT_GT(chosen.size(), 20u);
        // The walk of each chosen node in turn, skipping those already inside.
        const subtree_triangles walked = collect_subtree_triangles(t.tree, lists, node_numbers(chosen));
        for (int threads = 1; threads <= 8; ++threads) {
            const subtree_triangles all = collect_subtree_triangles(t.tree, lists, chosen, threads);
            EXPECT_EQ(all.rows, walked.rows) << threads << " threads";
            EXPECT_EQ(all.begin, walked.begin) << threads << " threads";
            EXPECT_EQ(all.end, walked.end) << threads << " threads";
        }
        // Every slice holds its subtree's triangles: its own, then each child's slice.
        for (const chosen_node& c : chosen) {
            std::vector<int> own;
            for (int r = 0; r < static_cast<int>(t.table.rows.size()); ++r)
                if (t.tree.node_of_row[r] == c.node && t.table.rows[r].is_triangle()) own.push_back(r);
            int at = walked.begin[c.node];
            for (int row : own) EXPECT_EQ(walked.rows[at++], row);
            for (int cell = t.tree.nodes[c.node].first_child; cell != NO_CELL; cell = t.tree.child_cells[cell].next) {
                const int child = t.tree.child_cells[cell].child;
                EXPECT_EQ(walked.begin[child], at);
                at = walked.end[child];
            }
            EXPECT_EQ(at, walked.end[c.node]);
        }
    }
}

TEST(ParallelSelection, DetectionsOnOneToEightThreadsAgree)
{
    // Low thresholds choose nested components, the classic settings few.
    const cv::Mat image = generated_image(900, 600, 3);
    for (double threshold : {3.0, 100.0}) {
        orvo::DetectorOptions options;
        options.threshold = threshold;
        const std::vector<orvo::Region> one = orvo::detect(image, options);
        ASSERT_FALSE(one.empty());
        for (int threads = 2; threads <= 8; ++threads) {
            options.threads = threads;
            const std::vector<orvo::Region> many = orvo::detect(image, options);
            ASSERT_EQ(many.size(), one.size()) << threads << " threads";
            for (std::size_t k = 0; k < one.size(); ++k) {
                EXPECT_EQ(many[k].x, one[k].x);
                EXPECT_EQ(many[k].y, one[k].y);
                EXPECT_EQ(many[k].a, one[k].a);
                EXPECT_EQ(many[k].b, one[k].b);
                EXPECT_EQ(many[k].c, one[k].c);
                EXPECT_EQ(many[k].strength, one[k].strength);
            }
        }
    }
}
