// Component selection by the area-to-level ratio, and the triangles of the
// chosen subtrees. Both walk the tree depth first with an explicit stack: the
// tree can be as deep as it has nodes. Chosen nodes may nest, so the
// triangles of a chosen subtree are collected in one walk that also gives
// every subtree inside it as a slice.
#include "tree/selection.h"

#include <algorithm>

namespace orvo::detail {

node_face_lists group_faces_by_node(const std::vector<int>& node_of_row)
{
    const int n = static_cast<int>(node_of_row.size());
    node_face_lists lists;
    lists.start.assign(static_cast<std::size_t>(n) + 1, 0);
    for (int i = 0; i < n; ++i) lists.start[node_of_row[i] + 1]++;
    for (int v = 0; v < n; ++v) lists.start[v + 1] += lists.start[v];
    lists.faces.resize(n);
    std::vector<int> fill(lists.start.begin(), lists.start.end() - 1);
    for (int i = 0; i < n; ++i) lists.faces[fill[node_of_row[i]]++] = i;
    return lists;
}

namespace {

// Walks the subtree under `node` depth first, children in child-list order:
// enter(v) before v's children, leave(v) after them.
template <class Enter, class Leave>
void visit_subtree(const component_tree& tree, int node, Enter enter, Leave leave)
{
    std::vector<int> stack{node};  // v: enter v; ~v (negative): leave v
    while (!stack.empty()) {
        const int v = stack.back();
        stack.pop_back();
        if (v < 0) {
            leave(~v);
            continue;
        }
        enter(v);
        stack.push_back(~v);
        // The children go on the stack last first, so that the first is taken next.
        const std::size_t first = stack.size();
        for (int cell = tree.nodes[v].first_child; cell != NO_CELL; cell = tree.child_cells[cell].next)
            stack.push_back(tree.child_cells[cell].child);
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
    }
}

}  // namespace

namespace {

// The child's area over its parent's level when the child is chosen, or 0
// (a chosen child's area is positive).
double chosen_ratio(const tree_node& parent, const tree_node& child, const selection_criteria& criteria)
{
    const double A = parent.area, a = child.area;
    if (!(a > criteria.min_area && (A - a) / a > criteria.min_area_growth)) return 0;
    const double ratio = a / (parent.level > MIN_LEVEL ? parent.level : MIN_LEVEL);
    return ratio >= criteria.threshold ? ratio : 0;
}

}  // namespace

std::vector<chosen_node> choose_in_subtree(const component_tree& tree, int node, const selection_criteria& criteria)
{
    // The chosen children are found in one pass over the node slots in
    // storage order, and their ancestors marked; then only the marked nodes
    // are walked, depth first, for the order. (Walking the whole tree
    // visits its nodes all over memory.)
    constexpr char ABOVE_CHOSEN = 1, CHOSEN = 2;
    const std::vector<tree_node>& nodes = tree.nodes;
    std::vector<char> mark(nodes.size(), 0);
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        const tree_node& child = nodes[k];
        // Most are too small: their parents are not read.
        if (child.merged() || child.parent == NO_PARENT || !(child.area > criteria.min_area) ||
            chosen_ratio(nodes[child.parent], child, criteria) == 0)
            continue;
        mark[k] |= CHOSEN;
        for (int v = child.parent; v != NO_PARENT && !(mark[v] & ABOVE_CHOSEN); v = nodes[v].parent)
            mark[v] |= ABOVE_CHOSEN;
    }
    std::vector<chosen_node> chosen;
    std::vector<int> stack;
    if (mark[node] & ABOVE_CHOSEN) stack.push_back(node);
    while (!stack.empty()) {
        const int v = stack.back();
        stack.pop_back();
        // v's chosen children, then its marked children on the stack, last
        // first, so that the first is taken next.
        const std::size_t first = stack.size();
        for (int cell = nodes[v].first_child; cell != NO_CELL; cell = tree.child_cells[cell].next) {
            const int child = tree.child_cells[cell].child;
            if (mark[child] & CHOSEN) chosen.push_back({child, chosen_ratio(nodes[v], nodes[child], criteria)});
            if (mark[child] & ABOVE_CHOSEN) stack.push_back(child);
        }
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
    }
    return chosen;
}

std::vector<chosen_node> choose_components(const component_tree& tree, const selection_criteria& criteria)
{
    if (tree.root < 0) return {};
    return choose_in_subtree(tree, tree.root, criteria);
}

std::vector<int> node_numbers(const std::vector<chosen_node>& chosen)
{
    std::vector<int> numbers;
    numbers.reserve(chosen.size());
    for (const chosen_node& c : chosen) numbers.push_back(c.node);
    return numbers;
}

subtree_triangles collect_subtree_triangles(const component_tree& tree, const node_face_lists& node_faces,
                                            const std::vector<face_row>& faces, const std::vector<int>& chosen)
{
    subtree_triangles all;
    all.begin.assign(tree.nodes.size(), -1);
    all.end.assign(tree.nodes.size(), -1);
    // Triangles precede edges in the face table, so in every list: a node's
    // triangles are its rows below the first edge row.
    const int edge_rows_begin = static_cast<int>(
        std::partition_point(faces.begin(), faces.end(), [](const face_row& f) { return f.is_triangle(); }) - faces.begin());
    for (const int node : chosen) {
        if (all.begin[node] >= 0) continue;  // inside the subtree of one collected before
        visit_subtree(tree, node, [&](int v) {
            all.begin[v] = static_cast<int>(all.rows.size());
            for (int k = node_faces.start[v]; k < node_faces.start[v + 1] && node_faces.faces[k] < edge_rows_begin; ++k)
                all.rows.push_back(node_faces.faces[k]);
        }, [&](int v) { all.end[v] = static_cast<int>(all.rows.size()); });
    }
    return all;
}

void append_subtree_triangles(const subtree_triangles& all, int node, std::vector<int>& triangles)
{
    triangles.insert(triangles.end(), all.rows.begin() + all.begin[node], all.rows.begin() + all.end[node]);
}

}  // namespace orvo::detail
