// Component selection by the area-to-level ratio, and the triangles of a
// chosen subtree. Both walk the tree depth first with an explicit stack: the
// tree can be as deep as it has nodes.
#include "tree/selection.h"

node_face_lists group_faces_by_node(const int* CM, int n)
{
    node_face_lists lists;
    lists.start.assign(static_cast<std::size_t>(n) + 1, 0);
    for (int i = 0; i < n; ++i) lists.start[CM[i] + 1]++;
    for (int v = 0; v < n; ++v) lists.start[v + 1] += lists.start[v];
    lists.faces.resize(n);
    std::vector<int> fill(lists.start.begin(), lists.start.end() - 1);
    for (int i = 0; i < n; ++i) lists.faces[fill[CM[i]]++] = i;
    return lists;
}

namespace {

// Visits the subtree under `node` in pre-order, sons in son-list order.
template <class Visit>
void visit_subtree(const ctree* tree, int node, Visit visit)
{
    std::vector<int> stack{node};
    std::vector<int> sons;
    while (!stack.empty()) {
        const int v = stack.back();
        stack.pop_back();
        visit(v);
        sons.clear();
        for (int cell = tree->nodes[v].firstson; cell != NO_CELL; cell = tree->soncells[cell].next)
            sons.push_back(tree->soncells[cell].son);
        stack.insert(stack.end(), sons.rbegin(), sons.rend());
    }
}

}  // namespace

void get_alpha_area_ratio_thres(const ctree* tree, int node, std::vector<std::pair<int, double>>& candidates,
                                double threshold, double min_area_growth, double min_area)
{
    visit_subtree(tree, node, [&](int n) {
        const ctreenode& father = tree->nodes[n];
        const double divisor = father.level > 0.1 ? father.level : 0.1;
        for (int cell = father.firstson; cell != NO_CELL; cell = tree->soncells[cell].next) {
            const int s = tree->soncells[cell].son;
            const double A = father.area, a = tree->nodes[s].area;
            if (!((A - a) / a > min_area_growth && a > min_area)) continue;
            const double value = a / divisor;
            if (value >= threshold) candidates.emplace_back(s, value);
        }
    });
}

void return_all_above_thres(const ctree* tree, double threshold, double min_area_growth, double min_area,
                            std::vector<int>& selected)
{
    if (tree->root < 0) return;
    std::vector<std::pair<int, double>> candidates;
    get_alpha_area_ratio_thres(tree, tree->root, candidates, threshold, min_area_growth, min_area);
    for (const auto& candidate : candidates) selected.push_back(candidate.first);
}

void get_triangles(const ctree* tree, const node_face_lists& node_faces, const std::vector<gen_face>& faces,
                   int node, std::vector<int>& triangles)
{
    visit_subtree(tree, node, [&](int v) {
        for (int k = node_faces.start[v]; k < node_faces.start[v + 1]; ++k) {
            const int f = node_faces.faces[k];
            if (faces[f].index == -1) triangles.push_back(f);
        }
    });
}
