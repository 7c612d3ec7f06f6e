// Component selection by the area-to-level ratio, and the triangles of the
// chosen subtrees. Both walk the tree depth first with an explicit stack: the
// tree can be as deep as it has nodes. Chosen nodes may nest, so the
// triangles of a chosen subtree are collected in one walk that also gives
// every subtree inside it as a slice.
#include "tree/selection.h"

#include <algorithm>

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

// Walks the subtree under `node` depth first, sons in son-list order:
// enter(v) before v's sons, leave(v) after them.
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
        // The sons go on the stack last first, so that the first is taken next.
        const std::size_t first = stack.size();
        for (int cell = tree.nodes[v].first_son; cell != NO_CELL; cell = tree.son_cells[cell].next)
            stack.push_back(tree.son_cells[cell].son);
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
    }
}

}  // namespace

void get_alpha_area_ratio_thres(const component_tree& tree, int node, std::vector<std::pair<int, double>>& candidates,
                                double threshold, double min_area_growth, double min_area)
{
    visit_subtree(tree, node, [&](int n) {
        const tree_node& father = tree.nodes[n];
        const double divisor = father.level > 0.1 ? father.level : 0.1;
        for (int cell = father.first_son; cell != NO_CELL; cell = tree.son_cells[cell].next) {
            const int s = tree.son_cells[cell].son;
            const double A = father.area, a = tree.nodes[s].area;
            if (!((A - a) / a > min_area_growth && a > min_area)) continue;
            const double value = a / divisor;
            if (value >= threshold) candidates.emplace_back(s, value);
        }
    }, [](int) {});
}

void return_all_above_thres(const component_tree& tree, double threshold, double min_area_growth, double min_area,
                            std::vector<int>& selected)
{
    if (tree.root < 0) return;
    std::vector<std::pair<int, double>> candidates;
    get_alpha_area_ratio_thres(tree, tree.root, candidates, threshold, min_area_growth, min_area);
    for (const auto& candidate : candidates) selected.push_back(candidate.first);
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
        std::partition_point(faces.begin(), faces.end(), [](const face_row& f) { return f.index == -1; }) - faces.begin());
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

void get_triangles(const subtree_triangles& all, int node, std::vector<int>& triangles)
{
    triangles.insert(triangles.end(), all.rows.begin() + all.begin[node], all.rows.begin() + all.end[node]);
}
