// Face table, union-find, the visiting order, component tree and selection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>

#include "tree/component_tree.h"
#include "tree/face_table.h"
#include "tree/selection.h"
#include "tree/union_find.h"
#include "triangulation/alpha_values.h"

using namespace orvo::detail;

namespace {

weighted_point wp(double x, double y, double w = 0)
{
    return weighted_point(bare_point(x, y), w);
}

face_table face_table_of(regular_triangulation& A)
{
    return build_face_table(A, assign_alpha_values(A));
}

// A table given by adjacency lists, for trees built by hand.
struct graph {
    std::vector<double> alpha, area;
    std::vector<std::vector<int>> adjacent;
    explicit graph(std::vector<double> a, std::vector<double> ar) : alpha(std::move(a)), area(std::move(ar)), adjacent(alpha.size()) {}
    void link(int a, int b)
    {
        adjacent[a].push_back(b);
        adjacent[b].push_back(a);
    }
    component_tree build()
    {
        std::vector<adjacent_rows> rows(adjacent.size());
        for (std::size_t c = 0; c < adjacent.size(); ++c)
            for (int g : adjacent[c]) rows[c].row[rows[c].count++] = g;
        return component_tree_over(alpha, area, rows);
    }
};

std::vector<int> children_of(const component_tree& tree, int node)
{
    std::vector<int> children;
    for (int cell = tree.nodes[node].first_child; cell != NO_CELL; cell = tree.child_cells[cell].next)
        children.push_back(tree.child_cells[cell].child);
    return children;
}

// A tree of n leaves with no children, to be shaped with add_child.
component_tree leaves(int n)
{
    graph g(std::vector<double>(n, 1.0), std::vector<double>(n, 0.0));
    return g.build();
}

}  // namespace

TEST(UnionFind, LinkFindAndCompression)
{
    union_find T(6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(T.find(i), i);  // singletons

    EXPECT_EQ(T.link(0, 1), 1);  // equal ranks: the second becomes the root
    EXPECT_EQ(T.rank[1], 1);
    EXPECT_EQ(T.rank[0], 0);
    EXPECT_EQ(T.link(1, 2), 1);  // higher rank first: it stays the root
    EXPECT_EQ(T.rank[1], 1);
    EXPECT_EQ(T.parent[2], 1);

    EXPECT_EQ(T.find(1), 1);
    EXPECT_EQ(T.parent[1], 1);

    // A chain 3 -> 4 -> 5 -> 1 made by hand, then compressed by one find.
    T.parent[3] = 4;
    T.parent[4] = 5;
    T.parent[5] = 1;
    EXPECT_EQ(T.find(3), 1);
    EXPECT_EQ(T.parent[3], 1);
    EXPECT_EQ(T.parent[4], 1);
    EXPECT_EQ(T.parent[5], 1);
}

TEST(DescendingAlphaOrder, LargestFirstAndEqualValuesByAscendingRow)
{
    std::mt19937 rng(3);
    for (int n : {0, 1, 2, 3, 50, 1000, 4096}) {
        std::vector<double> alpha(n);
        for (double& a : alpha) a = static_cast<double>(rng() % 17) * 0.37;  // many ties
        std::vector<int> reference(n);
        std::iota(reference.begin(), reference.end(), 0);
        std::stable_sort(reference.begin(), reference.end(), [&](int a, int b) { return alpha[a] > alpha[b]; });
        EXPECT_EQ(descending_alpha_order(alpha), reference) << n;
        // Short runs of values that differ only in their last bits, among
        // equal ones.
        for (double& a : alpha) a = std::ldexp(1.0 + static_cast<double>(rng() % 3) * DBL_EPSILON, int(rng() % 600) - 300);
        std::iota(reference.begin(), reference.end(), 0);
        std::stable_sort(reference.begin(), reference.end(), [&](int a, int b) { return alpha[a] > alpha[b]; });
        EXPECT_EQ(descending_alpha_order(alpha), reference) << n;
    }
    // Values whose bits differ in every digit, both zeros, an infinity and
    // negative values.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(descending_alpha_order({0.0, 1e-300, -0.0, inf, 3.5, -2.0, 1e300, -1e-5}),
              (std::vector<int>{3, 6, 4, 1, 0, 2, 7, 5}));
}

TEST(DescendingAlphaOrder, SharesOfThreadsGiveTheOrderOfOne)
{
    // Enough rows for several shares; values with ties, with bits that
    // differ in every digit, so that every pass moves rows, and a long run
    // of values that differ only in their last bits, across shares.
    std::mt19937_64 rng(5);
    std::vector<double> alpha(300000);
    for (double& a : alpha) {
        const auto kind = rng() % 4;
        a = kind == 0   ? static_cast<double>(rng() % 50)
            : kind == 1 ? 1.0 + static_cast<double>(rng() % 64) * DBL_EPSILON
                        : std::ldexp(static_cast<double>(rng() % (1u << 30)), -20);
    }
    const std::vector<int> one = descending_alpha_order(alpha);
    ASSERT_TRUE(std::is_sorted(one.begin(), one.end(), [&](int a, int b) {
        return alpha[a] > alpha[b] || (alpha[a] == alpha[b] && a < b);
    }));
    for (int threads = 2; threads <= 8; ++threads) EXPECT_EQ(descending_alpha_order(alpha, threads), one) << threads;
}

TEST(FaceTable, RowsAreTheFiniteFacesAndEdges)
{
    // Random weighted points, some hidden by heavier neighbours, some
    // collinear: the counted rows are the faces and edges one can walk.
    std::mt19937 rng(7);
    for (int n : {3, 4, 10, 200}) {
        regular_triangulation A;
        for (int i = 0; i < n; ++i) A.insert(wp(rng() % 20, i % 3 == 0 ? 5 : rng() % 20, rng() % 8));
        if (A.dimension() < 2) continue;
        const long edges = std::distance(A.finite_edges_begin(), A.finite_edges_end());
        EXPECT_EQ(count_face_rows(A), static_cast<long>(A.number_of_faces()) + edges) << n;
    }
}

TEST(FaceTable, ThreePointsGiveATriangleAndThreeHullEdges)
{
    regular_triangulation A;
    for (const weighted_point& p : {wp(0, 0), wp(4, 0), wp(0, 4)}) A.insert(p);
    const face_table table = face_table_of(A);
    const face_rows& faces = table.rows;
    ASSERT_EQ(faces.size(), 4u);
    EXPECT_EQ(count_face_rows(A), 4);
    EXPECT_TRUE(faces[0].is_triangle());
    EXPECT_DOUBLE_EQ(faces[0].area, 8.0);
    EXPECT_DOUBLE_EQ(faces[0].alpha, 8.0);

    const adjacent_rows around = table.neighbours(0);
    ASSERT_EQ(around.count, 3);
    for (int i = 0; i < 3; ++i) {
        const face_row& edge = faces[around.row[i]];
        EXPECT_EQ(edge.face, faces[0].face);
        EXPECT_EQ(edge.opposite, i);  // the edges in the order of the vertices they face
        EXPECT_EQ(edge.area, 0.0);
        const adjacent_rows back = table.neighbours(around.row[i]);
        ASSERT_EQ(back.count, 1);
        EXPECT_EQ(back.row[0], 0);
    }
    // The hypotenuse is attached to nothing: its own radius 8; the legs are
    // attached to the triangle and take its alpha.
    std::vector<double> edge_alphas = {faces[1].alpha, faces[2].alpha, faces[3].alpha};
    std::sort(edge_alphas.begin(), edge_alphas.end());
    EXPECT_DOUBLE_EQ(edge_alphas[0], 4.0);
    EXPECT_DOUBLE_EQ(edge_alphas[1], 4.0);
    EXPECT_DOUBLE_EQ(edge_alphas[2], 8.0);
}

TEST(FaceTable, InteriorEdgesJoinTwoTrianglesAndEveryEntryIsSet)
{
    regular_triangulation A;
    for (const weighted_point& p : {wp(0, 0), wp(4, 0), wp(2, 1), wp(2, -5)}) A.insert(p);
    const face_table table = face_table_of(A);
    const face_rows& faces = table.rows;
    ASSERT_EQ(faces.size(), 7u);
    int interior = 0;
    for (int r = 0; r < static_cast<int>(faces.size()); ++r) {
        if (faces[r].is_triangle()) {
            ASSERT_LT(r, 2);  // triangles come first
            for (int row : table.rows_of_face[faces[r].face->info().order]) EXPECT_NE(row, NO_ROW);
            EXPECT_EQ(table.rows_of_face[faces[r].face->info().order][0], r);
            continue;
        }
        const adjacent_rows n = table.neighbours(r);
        if (n.count == 2) {
            ++interior;
            EXPECT_EQ(faces[n.row[0]].face, faces[r].face);  // its own triangle first
            EXPECT_NEAR(faces[r].alpha, 6.25, 1e-12);       // attached: the smaller triangle's alpha
        } else {
            EXPECT_EQ(n.count, 1);
        }
    }
    EXPECT_EQ(interior, 1);
    // The infinite faces name no rows.
    for (auto f = A.all_faces_begin(); f != A.all_faces_end(); ++f) {
        if (!A.is_infinite(f)) continue;
        for (int row : table.rows_of_face[f->info().order]) EXPECT_EQ(row, NO_ROW);
    }
}

TEST(FaceTable, LowerDimensionsGiveAnEmptyTable)
{
    regular_triangulation A;
    for (const weighted_point& p : {wp(0, 0), wp(1, 1), wp(2, 2)}) A.insert(p);
    const face_alphas alphas = assign_alpha_values(A);
    EXPECT_TRUE(alphas.empty());
    EXPECT_TRUE(build_face_table(A, alphas).rows.empty());
}

TEST(FaceTable, ThreadsGiveTheSameValuesAndTable)
{
    // Two equal triangulations (points on a grid, many cocircular), one
    // given its values and table on one thread, the other its values on
    // three and its table on 2..8.
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> coord(0, 60), weight(0, 9);
    std::vector<weighted_point> points;
    for (int i = 0; i < 700; ++i) points.push_back(wp(coord(rng), coord(rng), weight(rng)));
    regular_triangulation one, three;
    for (const weighted_point& p : points) {
        one.insert(p);
        three.insert(p);
    }
    const face_alphas one_alphas = assign_alpha_values(one, 1);
    const face_alphas three_alphas = assign_alpha_values(three, 3);
    const face_table a = build_face_table(one, one_alphas, 1);
    for (int threads = 2; threads <= 8; ++threads) {
        SCOPED_TRACE(threads);
        const face_table b = build_face_table(three, three_alphas, threads);
        ASSERT_EQ(a.rows.size(), b.rows.size());
        ASSERT_GT(a.rows.size(), 2000u);
        EXPECT_EQ(a.rows_of_face, b.rows_of_face);
        for (std::size_t r = 0; r < a.rows.size(); ++r) {
            const face_row &p = a.rows[r], &q = b.rows[r];
            ASSERT_EQ(p.face->info().order, q.face->info().order) << r;
            EXPECT_EQ(p.opposite, q.opposite);
            EXPECT_EQ(p.alpha, q.alpha);
            EXPECT_EQ(p.area, q.area);
            const int edge = p.is_triangle() ? 0 : p.opposite;
            const edge_interval pi = edge_interval_of(one, one_alphas, p.face, edge),
                                qi = edge_interval_of(three, three_alphas, q.face, edge);
            EXPECT_EQ(pi.own, qi.own);
            EXPECT_EQ(pi.upper, qi.upper);
            ASSERT_EQ(a.adjacent[r].count, b.adjacent[r].count);
            for (int k = 0; k < a.adjacent[r].count; ++k) EXPECT_EQ(a.adjacent[r].row[k], b.adjacent[r].row[k]);
        }
    }
}

TEST(FaceTable, TablesSmallAndLargeKeepTheirValuesThroughGrowth)
{
    // Below and above the size from which tables take large pages, grown
    // across that size and copied: every value kept.
    for (std::size_t first : {std::size_t(1000), std::size_t(3) << 20}) {
        std::vector<std::int64_t, uninitialised_allocator<std::int64_t>> table(first);
        std::iota(table.begin(), table.end(), 0);
        table.resize(first * 2 + 7);
        std::iota(table.begin() + first, table.end(), static_cast<std::int64_t>(first));
        const auto copy = table;
        for (std::size_t i = 0; i < copy.size(); i += 997) ASSERT_EQ(copy[i], static_cast<std::int64_t>(i));
        EXPECT_EQ(copy.back(), static_cast<std::int64_t>(copy.size() - 1));
    }
}

TEST(ComponentTree, SmallTables)
{
    {
        graph g({5}, {2});
        component_tree tree = g.build();
        EXPECT_EQ(tree.root, 0);
        EXPECT_EQ(static_cast<int>(tree.child_cells.size()), 0);
        EXPECT_EQ(tree.node_of_row[0], 0);
    }
    {
        graph g({3, 5}, {1, 2});
        g.link(0, 1);
        component_tree tree = g.build();
        // Nodes are numbered in the construction's order: alpha descending.
        const int leaf = tree.node_of_row[1], root = tree.node_of_row[0];
        EXPECT_EQ(leaf, 0);
        EXPECT_EQ(tree.root, root);
        EXPECT_EQ(tree.nodes[root].area, 3);
        EXPECT_EQ(tree.nodes[leaf].parent, root);
        EXPECT_EQ(static_cast<int>(tree.child_cells.size()), 1);
        EXPECT_EQ(children_of(tree, root), std::vector<int>{leaf});
    }
    {
        graph g({4, 4}, {1, 2});
        g.link(0, 1);
        component_tree tree = g.build();
        const int live = tree.root, dead = 1 - live;
        EXPECT_TRUE(tree.nodes[dead].merged());
        EXPECT_EQ(tree.nodes[dead].parent, NO_PARENT);
        EXPECT_EQ(tree.nodes[live].child_count, 0);
        EXPECT_EQ(tree.nodes[live].area, 3);
        EXPECT_EQ(tree.node_of_row[0], live);
        EXPECT_EQ(tree.node_of_row[1], live);
    }
    {
        // A face whose neighbours all have smaller alpha ends as a leaf of
        // its own area.
        graph g({9, 2, 3}, {4, 1, 1});
        g.link(0, 1);
        g.link(0, 2);
        component_tree tree = g.build();
        const int leaf = tree.node_of_row[0], middle = tree.node_of_row[2], root = tree.node_of_row[1];
        EXPECT_EQ(tree.nodes[leaf].child_count, 0);
        EXPECT_EQ(tree.nodes[leaf].area, 4);
        EXPECT_EQ(tree.nodes[leaf].parent, middle);
        EXPECT_EQ(tree.nodes[middle].parent, root);
        EXPECT_EQ(tree.root, root);
        EXPECT_EQ(tree.nodes[root].area, 6);
    }
    {
        graph g({}, {});
        component_tree tree = g.build();
        EXPECT_EQ(tree.root, -1);
        EXPECT_TRUE(choose_components(tree, {0, 0.1, 0}).empty());
    }
}

TEST(ComponentTree, MergingChildLists)
{
    component_tree tree = leaves(8);
    add_child(tree, 0, 2);
    add_child(tree, 0, 3);
    EXPECT_EQ(children_of(tree, 0), (std::vector<int>{3, 2}));  // newest first
    add_child(tree, 1, 4);
    merge_nodes(tree, 0, 1);  // both have children: the survivor's first
    EXPECT_EQ(children_of(tree, 0), (std::vector<int>{3, 2, 4}));
    EXPECT_EQ(tree.nodes[0].child_count, 3);
    EXPECT_TRUE(tree.nodes[1].merged());

    merge_nodes(tree, 5, 0);  // the survivor has none: it takes the whole list
    EXPECT_EQ(children_of(tree, 5), (std::vector<int>{3, 2, 4}));
    merge_nodes(tree, 5, 6);  // the merged node has none: nothing changes
    EXPECT_EQ(children_of(tree, 5), (std::vector<int>{3, 2, 4}));
    EXPECT_TRUE(tree.nodes[6].merged());
    EXPECT_EQ(tree.nodes[2].parent, 0);  // parents are left to the construction
}

TEST(ComponentTree, InvariantsOnARandomTriangulation)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> coord(0, 200), weight(0, 30);
    regular_triangulation A;
    for (int i = 0; i < 400; ++i) A.insert(wp(std::floor(coord(rng)), std::floor(coord(rng)), weight(rng)));
    const face_table table = face_table_of(A);
    const face_rows& faces = table.rows;
    const component_tree tree = build_component_tree(table.rows, table.adjacent);
    const int n = static_cast<int>(faces.size());

    std::vector<int> times_a_child(n, 0);
    int total_children = 0;
    for (int v = 0; v < n; ++v) {
        if (tree.nodes[v].merged()) continue;
        const std::vector<int> children = children_of(tree, v);
        EXPECT_EQ(static_cast<int>(children.size()), tree.nodes[v].child_count);
        total_children += static_cast<int>(children.size());
        for (int s : children) {
            times_a_child[s]++;
            EXPECT_FALSE(tree.nodes[s].merged());
            EXPECT_GT(tree.nodes[s].level, tree.nodes[v].level);
            EXPECT_EQ(tree.nodes[s].parent, v);
        }
    }
    EXPECT_EQ(total_children, static_cast<int>(tree.child_cells.size()));
    for (int v = 0; v < n; ++v) {
        if (tree.nodes[v].merged()) continue;
        EXPECT_EQ(times_a_child[v], v == tree.root ? 0 : 1) << v;
        // Numbered in the construction's order: a child before its parent.
        if (tree.nodes[v].parent != NO_PARENT) {
            EXPECT_LT(v, tree.nodes[v].parent);
        }
    }
    // Every row lies in a node of its alpha; a node's area is its own
    // triangles' (edges have none) plus its children's areas.
    for (int r = 0; r < n; ++r) EXPECT_EQ(faces[r].alpha, tree.nodes[tree.node_of_row[r]].level) << r;
    const node_triangle_lists lists = group_triangles_by_node(tree.node_of_row, faces);
    for (int v = 0; v < n; ++v) {
        if (tree.nodes[v].merged()) continue;
        double expected = 0;
        for (int k = lists.start[v]; k < lists.start[v + 1]; ++k) {
            EXPECT_TRUE(faces[lists.rows[k]].is_triangle());
            expected += faces[lists.rows[k]].area;
        }
        for (int s : children_of(tree, v)) expected += tree.nodes[s].area;
        EXPECT_NEAR(tree.nodes[v].area, expected, 1e-9 * std::max(1.0, expected));
    }
    double all = 0;
    for (const face_row& f : faces) all += f.area;
    EXPECT_NEAR(tree.nodes[tree.root].area, all, 1e-9 * all);
}

namespace {

// Two trees alike in everything the selection and the extraction read:
// the root, each row's node, and each slot's level, parent, area and
// children in order, from the same cells.
void expect_same_tree(const component_tree& a, const component_tree& b, const std::string& what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(a.root, b.root);
    ASSERT_EQ(a.node_of_row, b.node_of_row);
    ASSERT_EQ(a.nodes.size(), b.nodes.size());
    ASSERT_EQ(a.child_cells.size(), b.child_cells.size());
    for (std::size_t k = 0; k < a.child_cells.size(); ++k) {
        EXPECT_EQ(a.child_cells[k].child, b.child_cells[k].child) << k;
        EXPECT_EQ(a.child_cells[k].next, b.child_cells[k].next) << k;
    }
    for (std::size_t v = 0; v < a.nodes.size(); ++v) {
        const tree_node &p = a.nodes[v], &q = b.nodes[v];
        ASSERT_EQ(p.child_count, q.child_count) << v;
        if (p.merged()) continue;
        EXPECT_EQ(p.first_child, q.first_child) << v;
        EXPECT_EQ(p.level, q.level) << v;
        EXPECT_EQ(p.parent, q.parent) << v;
        EXPECT_EQ(p.area, q.area) << v;
        ASSERT_EQ(children_of(a, static_cast<int>(v)), children_of(b, static_cast<int>(v))) << v;
    }
}

}  // namespace

TEST(ComponentTree, BlocksOnThreadsGiveTheTreeOfOneThread)
{
    // Random planar-like tables: rows on a grid, each joined to up to three
    // neighbours, alphas from few values (many ties), some rows cut off
    // (several components), in blocks of rows at random or in strips.
    std::mt19937 rng(17);
    for (int trial = 0; trial < 12; ++trial) {
        const int side = 20 + trial * 7, n = side * side;
        graph g{std::vector<double>(n), std::vector<double>(n)};
        const int values = trial % 3 == 0 ? 3 : 40;
        for (int r = 0; r < n; ++r) {
            g.alpha[r] = static_cast<double>(rng() % values) - 2;
            g.area[r] = rng() % 2 ? 0.0 : static_cast<double>(rng() % 10);
        }
        std::vector<int> degree(n, 0);
        auto join = [&](int a, int b) {
            if (degree[a] == 3 || degree[b] == 3 || rng() % 8 == 0) return;
            ++degree[a];
            ++degree[b];
            g.link(a, b);
        };
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                if (x + 1 < side) join(y * side + x, y * side + x + 1);
                if (y + 1 < side) join(y * side + x, (y + 1) * side + x);
            }
        const component_tree one = g.build();
        std::vector<adjacent_rows> rows(n);
        for (int c = 0; c < n; ++c)
            for (int a : g.adjacent[c]) rows[c].row[rows[c].count++] = a;
        for (int blocks = 2; blocks <= 8; ++blocks) {
            std::vector<std::uint8_t> strips(n), scattered(n);
            for (int r = 0; r < n; ++r) {
                strips[r] = static_cast<std::uint8_t>(r % side * blocks / side);
                scattered[r] = static_cast<std::uint8_t>(rng() % blocks);
            }
            const std::string what = std::to_string(trial) + ", " + std::to_string(blocks) + " blocks";
            expect_same_tree(one, component_tree_over(g.alpha, g.area, rows, strips, blocks), what + " in strips");
            expect_same_tree(one, component_tree_over(g.alpha, g.area, rows, scattered, blocks), what + " scattered");
        }
    }
}

TEST(ComponentTree, ThreadsGiveTheTreeOfOneThreadOnATriangulation)
{
    // Integer points and weights: equal alphas between neighbours.
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> coord(0, 400), weight(0, 12);
    regular_triangulation A;
    for (int i = 0; i < 5000; ++i) A.insert(wp(coord(rng), coord(rng), weight(rng)));
    const face_table table = face_table_of(A);
    ASSERT_GT(table.rows.size(), 8 * 2048u);  // enough rows for eight blocks
    const component_tree one = build_component_tree(table.rows, table.adjacent);
    for (int threads = 2; threads <= 8; ++threads)
        expect_same_tree(one, build_component_tree(table.rows, table.adjacent, threads), std::to_string(threads) + " threads");
}

namespace {

// A hand-made tree for the selection: node 0 the root, with children as given.
struct selection_tree {
    component_tree tree;
    explicit selection_tree(int n) : tree(leaves(n)) {}
    void node(int v, double level, double area)
    {
        tree.nodes[v].level = level;
        tree.nodes[v].area = area;
    }
    std::vector<int> select(double threshold, double min_area = 0)
    {
        return node_numbers(choose_components(tree, {threshold, 0.1, min_area}));
    }
};

}  // namespace

TEST(Selection, RatioCriterion)
{
    {
        selection_tree t(1);
        t.tree.root = 0;
        EXPECT_TRUE(t.select(0).empty());  // a root without children
    }
    selection_tree t(4);
    t.tree.root = 0;
    t.node(0, 2, 100);
    t.node(1, 3, 20);   // value 20 / 2 = 10
    t.node(2, 3, 0);    // area 0: never chosen
    t.node(3, 4, 10);   // child of 1: (20 - 10) / 10 > 0.1, value 10 / 3
    add_child(t.tree, 0, 2);
    add_child(t.tree, 0, 1);  // children of 0: 1, 2
    add_child(t.tree, 1, 3);
    EXPECT_EQ(t.select(10), std::vector<int>{1});            // equality chosen
    EXPECT_EQ(t.select(10.000001), std::vector<int>{});
    EXPECT_EQ(t.select(3), (std::vector<int>{1, 3}));        // node, then its descendant
    EXPECT_EQ(t.select(3, 10), std::vector<int>{1});         // area must exceed min_area
    EXPECT_EQ(t.select(-1), (std::vector<int>{1, 3}));       // area 0 stays out

    t.node(0, 2, 22);  // (22 - 20) / 20 = 0.1 exactly: not enough growth
    EXPECT_EQ(t.select(0), std::vector<int>{3});
    t.node(0, 0.1, 100);  // level 0.1 and below divide by 0.1
    t.node(1, 3, 20);
    std::vector<chosen_node> chosen = choose_in_subtree(t.tree, 0, {0, 0.1, 0});
    ASSERT_FALSE(chosen.empty());
    EXPECT_DOUBLE_EQ(chosen[0].ratio, 200);
    t.node(0, 0, 100);
    chosen = choose_in_subtree(t.tree, 0, {0, 0.1, 0});
    ASSERT_FALSE(chosen.empty());
    EXPECT_DOUBLE_EQ(chosen[0].ratio, 200);
}

TEST(Selection, TrianglesOfASubtree)
{
    // Rows: 0..5 triangles, 6..9 edges. Node 0 owns rows 0, 6; its children 1
    // and 2 own rows {1, 7, 8} and {2, 3, 9}.
    component_tree tree = leaves(10);
    tree.node_of_row = {0, 1, 2, 2, 4, 5, 0, 1, 1, 2};
    add_child(tree, 0, 2);
    add_child(tree, 0, 1);  // child list of 0: 1, 2
    face_rows faces(10);
    for (int r = 0; r < 10; ++r) faces[r].opposite = r < 6 ? TRIANGLE_ROW : 0;
    const node_triangle_lists lists = group_triangles_by_node(tree.node_of_row, faces);

    tree.root = 0;
    const subtree_triangles all = collect_subtree_triangles(tree, lists, {2, 0});
    std::vector<int> triangles;
    append_subtree_triangles(all, 1, triangles);
    EXPECT_EQ(triangles, std::vector<int>{1});
    triangles.clear();
    append_subtree_triangles(all, 0, triangles);
    EXPECT_EQ(triangles, (std::vector<int>{0, 1, 2, 3}));
    triangles.clear();
    append_subtree_triangles(all, 2, triangles);
    EXPECT_EQ(triangles, (std::vector<int>{2, 3}));
    // The slices are right whatever the order of the chosen nodes; in the
    // order the selection finds them (outer first), each part is walked once.
    EXPECT_EQ(collect_subtree_triangles(tree, lists, {0, 2}).rows, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(collect_subtree_triangles(tree, lists, {1}).rows, std::vector<int>{1});
}
