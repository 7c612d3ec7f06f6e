// Face table, union-find, the visiting order, component tree and selection.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>

#include "edges/alpha_shape.h"
#include "tree/component_tree.h"
#include "tree/face_table.h"
#include "tree/selection.h"
#include "tree/union_find.h"

namespace {

Weighted_point wp(double x, double y, double w = 0)
{
    return Weighted_point(Point_2(x, y), w);
}

void finish(Alpha_shape_2& A)
{
    initialize_interval_face_map(A);
    initialize_interval_edge_map(A);
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
        std::vector<neighbor_rows> rows(adjacent.size());
        for (std::size_t c = 0; c < adjacent.size(); ++c)
            for (int g : adjacent[c]) rows[c].row[rows[c].count++] = g;
        return component_tree_over(alpha, area, rows);
    }
};

std::vector<int> sons_of(const component_tree& tree, int node)
{
    std::vector<int> sons;
    for (int cell = tree.nodes[node].first_son; cell != NO_CELL; cell = tree.son_cells[cell].next)
        sons.push_back(tree.son_cells[cell].son);
    return sons;
}

// A tree of n leaves with no sons, to be shaped with add_son.
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
    }
    // Values whose bits differ in every digit, both zeros, an infinity and
    // negative values.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(descending_alpha_order({0.0, 1e-300, -0.0, inf, 3.5, -2.0, 1e300, -1e-5}),
              (std::vector<int>{3, 6, 4, 1, 0, 2, 7, 5}));
}

TEST(FaceTable, RowsAreTheFiniteFacesAndEdges)
{
    // Random weighted points, some hidden by heavier neighbours, some
    // collinear: the counted rows are the faces and edges one can walk.
    std::mt19937 rng(7);
    for (int n : {3, 4, 10, 200}) {
        Alpha_shape_2 A;
        for (int i = 0; i < n; ++i) A.insert(wp(rng() % 20, i % 3 == 0 ? 5 : rng() % 20, rng() % 8));
        if (A.dimension() < 2) continue;
        const long edges = std::distance(A.finite_edges_begin(), A.finite_edges_end());
        EXPECT_EQ(count_face_rows(A), static_cast<long>(A.number_of_faces()) + edges) << n;
    }
}

TEST(FaceTable, ThreePointsGiveATriangleAndThreeHullEdges)
{
    Alpha_shape_2 A;
    for (const Weighted_point& p : {wp(0, 0), wp(4, 0), wp(0, 4)}) A.insert(p);
    finish(A);
    const face_table table = build_face_table(A);
    const std::vector<face_row>& faces = table.rows;
    ASSERT_EQ(faces.size(), 4u);
    EXPECT_EQ(count_face_rows(A), 4);
    EXPECT_EQ(faces[0].index, -1);
    EXPECT_DOUBLE_EQ(faces[0].area, 8.0);
    EXPECT_DOUBLE_EQ(faces[0].alpha, 8.0);

    const neighbor_rows around = table.neighbours(0);
    ASSERT_EQ(around.count, 3);
    for (int i = 0; i < 3; ++i) {
        const face_row& edge = faces[around.row[i]];
        EXPECT_EQ(edge.face, faces[0].face);
        EXPECT_EQ(edge.index, i);  // the edges in the order of the vertices they face
        EXPECT_EQ(edge.area, 0.0);
        const neighbor_rows back = table.neighbours(around.row[i]);
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
    Alpha_shape_2 A;
    for (const Weighted_point& p : {wp(0, 0), wp(4, 0), wp(2, 1), wp(2, -5)}) A.insert(p);
    finish(A);
    const face_table table = build_face_table(A);
    const std::vector<face_row>& faces = table.rows;
    ASSERT_EQ(faces.size(), 7u);
    int interior = 0;
    for (int r = 0; r < static_cast<int>(faces.size()); ++r) {
        if (faces[r].index == -1) {
            ASSERT_LT(r, 2);  // triangles come first
            for (int row : table.rows_of_face[faces[r].face->info().order]) EXPECT_NE(row, NO_ROW);
            EXPECT_EQ(table.rows_of_face[faces[r].face->info().order][0], r);
            continue;
        }
        const neighbor_rows n = table.neighbours(r);
        if (n.count == 2) {
            ++interior;
            EXPECT_EQ(faces[n.row[0]].face, faces[r].face);  // its own triangle first
            EXPECT_NEAR(faces[r].alpha, 6.25, 1e-12);       // attached: the smaller triangle's alpha
        } else {
            EXPECT_EQ(n.count, 1);
        }
    }
    EXPECT_EQ(interior, 1);
}

TEST(FaceTable, LowerDimensionsGiveAnEmptyTable)
{
    Alpha_shape_2 A;
    for (const Weighted_point& p : {wp(0, 0), wp(1, 1), wp(2, 2)}) A.insert(p);
    EXPECT_TRUE(build_face_table(A).rows.empty());
}

TEST(ComponentTree, SmallTables)
{
    {
        graph g({5}, {2});
        component_tree tree = g.build();
        EXPECT_EQ(tree.root, 0);
        EXPECT_EQ(static_cast<int>(tree.son_cells.size()), 0);
        EXPECT_EQ(tree.node_of_row[0], 0);
    }
    {
        graph g({3, 5}, {1, 2});
        g.link(0, 1);
        component_tree tree = g.build();
        EXPECT_EQ(tree.root, 0);
        EXPECT_EQ(tree.nodes[0].area, 3);
        EXPECT_EQ(tree.nodes[1].father, 0);
        EXPECT_EQ(static_cast<int>(tree.son_cells.size()), 1);
        EXPECT_EQ(sons_of(tree, 0), std::vector<int>{1});
    }
    {
        graph g({4, 4}, {1, 2});
        g.link(0, 1);
        component_tree tree = g.build();
        const int live = tree.root, dead = 1 - live;
        EXPECT_EQ(tree.nodes[dead].son_count, -1);
        EXPECT_EQ(tree.nodes[dead].father, -1);
        EXPECT_EQ(tree.nodes[live].son_count, 0);
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
        EXPECT_EQ(tree.nodes[0].son_count, 0);
        EXPECT_EQ(tree.nodes[0].area, 4);
        EXPECT_EQ(tree.nodes[0].father, 2);
        EXPECT_EQ(tree.nodes[2].father, 1);
        EXPECT_EQ(tree.root, 1);
        EXPECT_EQ(tree.nodes[1].area, 6);
    }
    {
        graph g({}, {});
        component_tree tree = g.build();
        EXPECT_EQ(tree.root, -1);
        std::vector<int> selected;
        return_all_above_thres(tree, 0, 0.1, 0, selected);
        EXPECT_TRUE(selected.empty());
    }
}

TEST(ComponentTree, MergingSonLists)
{
    component_tree tree = leaves(8);
    add_son(tree, 0, 2);
    add_son(tree, 0, 3);
    EXPECT_EQ(sons_of(tree, 0), (std::vector<int>{3, 2}));  // newest first
    add_son(tree, 1, 4);
    merge_nodes(tree, 0, 1);  // both have sons: the survivor's first
    EXPECT_EQ(sons_of(tree, 0), (std::vector<int>{3, 2, 4}));
    EXPECT_EQ(tree.nodes[0].son_count, 3);
    EXPECT_EQ(tree.nodes[1].son_count, -1);

    merge_nodes(tree, 5, 0);  // the survivor has none: it takes the whole list
    EXPECT_EQ(sons_of(tree, 5), (std::vector<int>{3, 2, 4}));
    merge_nodes(tree, 5, 6);  // the merged node has none: nothing changes
    EXPECT_EQ(sons_of(tree, 5), (std::vector<int>{3, 2, 4}));
    EXPECT_EQ(tree.nodes[6].son_count, -1);
    EXPECT_EQ(tree.nodes[2].father, 0);  // fathers are left to the construction
}

TEST(ComponentTree, InvariantsOnARandomTriangulation)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> coord(0, 200), weight(0, 30);
    Alpha_shape_2 A;
    for (int i = 0; i < 400; ++i) A.insert(wp(std::floor(coord(rng)), std::floor(coord(rng)), weight(rng)));
    finish(A);
    const face_table table = build_face_table(A);
    const std::vector<face_row>& faces = table.rows;
    const component_tree tree = build_component_tree(table);
    const int n = static_cast<int>(faces.size());

    std::vector<int> times_a_son(n, 0);
    int total_sons = 0;
    for (int v = 0; v < n; ++v) {
        if (tree.nodes[v].son_count < 0) continue;
        const std::vector<int> sons = sons_of(tree, v);
        EXPECT_EQ(static_cast<int>(sons.size()), tree.nodes[v].son_count);
        total_sons += static_cast<int>(sons.size());
        for (int s : sons) {
            times_a_son[s]++;
            EXPECT_GE(tree.nodes[s].son_count, 0);
            EXPECT_GT(tree.nodes[s].level, tree.nodes[v].level);
            EXPECT_EQ(tree.nodes[s].father, v);
        }
    }
    EXPECT_EQ(total_sons, static_cast<int>(tree.son_cells.size()));
    for (int v = 0; v < n; ++v) {
        if (tree.nodes[v].son_count < 0) continue;
        EXPECT_EQ(times_a_son[v], v == tree.root ? 0 : 1) << v;
    }
    // Areas: a node's own faces plus its sons' areas.
    const node_face_lists lists = group_faces_by_node(tree.node_of_row);
    for (int v = 0; v < n; ++v) {
        if (tree.nodes[v].son_count < 0) continue;
        double expected = 0;
        for (int k = lists.start[v]; k < lists.start[v + 1]; ++k) {
            expected += faces[lists.faces[k]].area;
            EXPECT_EQ(faces[lists.faces[k]].alpha, tree.nodes[v].level);
        }
        for (int s : sons_of(tree, v)) expected += tree.nodes[s].area;
        EXPECT_NEAR(tree.nodes[v].area, expected, 1e-9 * std::max(1.0, expected));
    }
    double all = 0;
    for (const face_row& f : faces) all += f.area;
    EXPECT_NEAR(tree.nodes[tree.root].area, all, 1e-9 * all);
}

namespace {

// A hand-made tree for the selection: node 0 the root, with sons as given.
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
        std::vector<int> selected;
        return_all_above_thres(tree, threshold, 0.1, min_area, selected);
        return selected;
    }
};

}  // namespace

TEST(Selection, RatioCriterion)
{
    {
        selection_tree t(1);
        t.tree.root = 0;
        EXPECT_TRUE(t.select(0).empty());  // a root without sons
    }
    selection_tree t(4);
    t.tree.root = 0;
    t.node(0, 2, 100);
    t.node(1, 3, 20);   // value 20 / 2 = 10
    t.node(2, 3, 0);    // area 0: never chosen
    t.node(3, 4, 10);   // son of 1: (20 - 10) / 10 > 0.1, value 10 / 3
    add_son(t.tree, 0, 2);
    add_son(t.tree, 0, 1);  // sons of 0: 1, 2
    add_son(t.tree, 1, 3);
    EXPECT_EQ(t.select(10), std::vector<int>{1});            // equality chosen
    EXPECT_EQ(t.select(10.000001), std::vector<int>{});
    EXPECT_EQ(t.select(3), (std::vector<int>{1, 3}));        // node, then its descendant
    EXPECT_EQ(t.select(3, 10), std::vector<int>{1});         // area must exceed min_area
    EXPECT_EQ(t.select(-1), (std::vector<int>{1, 3}));       // area 0 stays out

    t.node(0, 2, 22);  // (22 - 20) / 20 = 0.1 exactly: not enough growth
    EXPECT_EQ(t.select(0), std::vector<int>{3});
    t.node(0, 0.1, 100);  // level 0.1 and below divide by 0.1
    t.node(1, 3, 20);
    std::vector<std::pair<int, double>> candidates;
    get_alpha_area_ratio_thres(t.tree, 0, candidates, 0, 0.1, 0);
    ASSERT_FALSE(candidates.empty());
    EXPECT_DOUBLE_EQ(candidates[0].second, 200);
    t.node(0, 0, 100);
    candidates.clear();
    get_alpha_area_ratio_thres(t.tree, 0, candidates, 0, 0.1, 0);
    EXPECT_DOUBLE_EQ(candidates[0].second, 200);
}

TEST(Selection, TrianglesOfASubtree)
{
    // Rows: 0..5 triangles, 6..9 edges. Node 0 owns rows 0, 6; its sons 1
    // and 2 own rows {1, 7, 8} and {2, 3, 9}.
    component_tree tree = leaves(10);
    tree.node_of_row = {0, 1, 2, 2, 4, 5, 0, 1, 1, 2};
    add_son(tree, 0, 2);
    add_son(tree, 0, 1);  // son list of 0: 1, 2
    std::vector<face_row> faces(10);
    for (int r = 0; r < 10; ++r) faces[r].index = r < 6 ? -1 : 0;
    const node_face_lists lists = group_faces_by_node(tree.node_of_row);

    tree.root = 0;
    const subtree_triangles all = collect_subtree_triangles(tree, lists, faces, {2, 0});
    std::vector<int> triangles;
    get_triangles(all, 1, triangles);
    EXPECT_EQ(triangles, std::vector<int>{1});
    triangles.clear();
    get_triangles(all, 0, triangles);
    EXPECT_EQ(triangles, (std::vector<int>{0, 1, 2, 3}));
    triangles.clear();
    get_triangles(all, 2, triangles);
    EXPECT_EQ(triangles, (std::vector<int>{2, 3}));
    // The slices are right whatever the order of the chosen nodes; in the
    // order the selection finds them (outer first), each part is walked once.
    EXPECT_EQ(collect_subtree_triangles(tree, lists, faces, {0, 2}).rows, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(collect_subtree_triangles(tree, lists, faces, {1}).rows, std::vector<int>{1});
}
