// Component selection: a child becomes a feature when its area is large
// against the level of its parent (the alpha at which it stops being a
// separate component) and the parent is clearly larger than it. Also the
// collection of a chosen node's triangles, and the grouping of triangle rows
// by tree node that it reads.
#pragma once

#include <vector>

#include "tree/component_tree.h"
#include "tree/face_table.h"

namespace orvo::detail {

// Per-node triangle lists in one flat array: the triangle rows whose node
// is v are rows[start[v] .. start[v + 1]), in increasing order.
struct node_triangle_lists {
    std::vector<int> start;
    std::vector<int> rows;
};

// Groups the table's triangle rows by their node (component_tree::
// node_of_row). The table must list its triangles before its edges, as the
// face table does.
node_triangle_lists group_triangles_by_node(const std::vector<int>& node_of_row, const face_rows& faces);

// A child is chosen when its area a exceeds min_area, the parent's area A
// exceeds it by more than the fraction min_area_growth ((A - a) / a), and
// a / max(parent's level, MIN_LEVEL) is at least `threshold`.
struct selection_criteria {
    double threshold;
    double min_area_growth;
    double min_area;
};

// The smallest parent level the area is divided by.
constexpr double MIN_LEVEL = 0.1;

// No chosen node encloses it.
constexpr int NOT_ENCLOSED = -1;

struct chosen_node {
    int node;
    double ratio;                 // its area over its parent's level
    int enclosing = NOT_ENCLOSED;  // its nearest ancestor chosen too, in the subtree walked

    bool nested() const { return enclosing != NOT_ENCLOSED; }
};

// The chosen children in the subtree under `node`, in depth-first order (a
// node's chosen children before any of their descendants). The tests of the
// nodes run on `threads` threads; the result is the same for any number.
std::vector<chosen_node> choose_in_subtree(const component_tree& tree, int node, const selection_criteria& criteria,
                                           int threads = 1);

// The chosen nodes of the whole tree, in the same order (none for an empty
// tree).
std::vector<chosen_node> choose_components(const component_tree& tree, const selection_criteria& criteria,
                                           int threads = 1);

// The chosen nodes whose component's area is at most `max_area`, in order,
// their enclosing nodes among those kept. Areas grow toward the root, so a
// node's enclosing nodes are dropped before it is.
std::vector<chosen_node> chosen_up_to_area(const component_tree& tree, const std::vector<chosen_node>& chosen,
                                           double max_area);

// The nodes' numbers, in order.
std::vector<int> node_numbers(const std::vector<chosen_node>& chosen);

// The triangle rows of chosen subtrees in depth-first order (a node's own
// triangles, then its children's subtrees in child-list order), so that the
// subtree of every node inside them is one slice rows[begin[v] .. end[v]); -1
// for the nodes outside.
struct subtree_triangles {
    std::vector<int> rows;
    std::vector<int, uninitialised_allocator<int>> begin, end;  // filled by threads
};

// Collects the subtrees of the `chosen` nodes, one walk for each that is not
// inside one collected before (so taking them in the order the selection
// finds them walks each part of the tree at most once).
subtree_triangles collect_subtree_triangles(const component_tree& tree, const node_triangle_lists& node_triangles,
                                            const std::vector<int>& chosen);

// The same for the selection's result: the subtrees of its nodes that are
// not nested, which are disjoint, one after another in its order. The tree
// must number a child before its parent, as the construction does; the
// triangles are copied on `threads` threads (the result does not depend on
// their number).
subtree_triangles collect_subtree_triangles(const component_tree& tree, const node_triangle_lists& node_triangles,
                                            const std::vector<chosen_node>& chosen, int threads);

// Appends the triangle rows of the subtree under `node`: the node's own
// triangles first, then its children's in child-list order, depth first.
void append_subtree_triangles(const subtree_triangles& all, int node, std::vector<int>& triangles);

}  // namespace orvo::detail
