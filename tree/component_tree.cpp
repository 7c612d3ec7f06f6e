// Component tree construction with two union-find forests: one groups faces
// into partial trees, the other into tree nodes (faces joined at equal level).
#include "tree/component_tree.h"

#include <algorithm>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "tree/union_find.h"

namespace {

// One pass of the comb sort: for i = 0, 1, ... in turn, exchanges entries i
// and i + gap when the first is greater. Returns whether any moved. With a
// gap of 2 or more, entries i and i + 1 are compared at once: neither pair
// reads what the other writes, so the result is that of the plain loop.
bool comb_pass(double* values, int* permutation, int n, int gap)
{
    bool swapped = false;
    int i = 0;
#ifdef __SSE2__
    if (gap >= 2) {
        for (; i + 1 + gap < n; i += 2) {
            const __m128d a = _mm_loadu_pd(values + i), b = _mm_loadu_pd(values + i + gap);
            const __m128d greater = _mm_cmpgt_pd(a, b);
            const int lanes = _mm_movemask_pd(greater);
            if (lanes == 0) continue;
            _mm_storeu_pd(values + i, _mm_or_pd(_mm_and_pd(greater, b), _mm_andnot_pd(greater, a)));
            _mm_storeu_pd(values + i + gap, _mm_or_pd(_mm_and_pd(greater, a), _mm_andnot_pd(greater, b)));
            if (lanes & 1) std::swap(permutation[i], permutation[i + gap]);
            if (lanes & 2) std::swap(permutation[i + 1], permutation[i + 1 + gap]);
            swapped = true;
        }
    }
#endif
    for (; i + gap < n; ++i) {
        if (values[i] > values[i + gap]) {
            std::swap(values[i], values[i + gap]);
            std::swap(permutation[i], permutation[i + gap]);
            swapped = true;
        }
    }
    return swapped;
}

}  // namespace

std::vector<double> comb_sort(const std::vector<double>& alpha, std::vector<int>& permutation, bool reverse)
{
    const int n = static_cast<int>(alpha.size());
    std::vector<double> sorted = alpha;
    permutation.resize(n);
    for (int i = 0; i < n; ++i) permutation[i] = i;

    int gap = n + 1;
    bool swapped = false;
    for (;;) {
        // The end test looks at the gap the last pass used, so that a pass
        // with gap 1 always runs before the sort ends.
        const int used = gap;
        if (gap > 1) gap = static_cast<int>(gap / 1.3);
        if (used <= 1 && !swapped) break;
        if (gap == 9 || gap == 10) gap = 11;
        swapped = false;
        if (gap == n) continue;
        swapped = comb_pass(sorted.data(), permutation.data(), n, gap);
    }
    if (reverse) {
        std::reverse(sorted.begin(), sorted.end());
        std::reverse(permutation.begin(), permutation.end());
    }
    return sorted;
}

void add_son(component_tree& tree, int f, int s)
{
    const int cell = static_cast<int>(tree.son_cells.size());
    tree_node& father = tree.nodes[f];
    tree.son_cells.push_back({s, father.son_count > 0 ? father.first_son : NO_CELL});
    if (father.son_count <= 0) father.last_son = cell;
    father.first_son = cell;
    father.son_count += 1;
    tree.nodes[s].father = f;
}

void merge_nodes(component_tree& tree, int a, int b)
{
    tree_node& na = tree.nodes[a];
    tree_node& nb = tree.nodes[b];
    if (nb.son_count > 0) {
        if (na.son_count <= 0) {
            na.first_son = nb.first_son;
            na.last_son = nb.last_son;
            na.son_count = nb.son_count;
        } else {
            tree.son_cells[na.last_son].next = nb.first_son;
            na.last_son = nb.last_son;
            na.son_count += nb.son_count;
        }
    }
    nb.son_count = -1;
}

component_tree build_component_tree(const face_table& table)
{
    // The rows' values and neighbours in flat arrays, read in row order once:
    // the construction visits the rows in alpha order, all over the table.
    const std::size_t n = table.rows.size();
    std::vector<double> alpha(n), area(n);
    std::vector<neighbor_rows> adjacent(n);
    for (std::size_t i = 0; i < n; ++i) {
        alpha[i] = table.rows[i].alpha;
        area[i] = table.rows[i].area;
        adjacent[i] = table.neighbours(static_cast<int>(i));
    }
    return component_tree_over(alpha, area, [&adjacent](int c) { return adjacent[c]; });
}

component_tree component_tree_over(const std::vector<double>& alpha, const std::vector<double>& area,
                                   const std::function<neighbor_rows(int)>& neighbours)
{
    const int n = static_cast<int>(alpha.size());
    component_tree tree;
    tree.nodes.resize(n);
    tree.son_cells.reserve(n);  // every node becomes a son at most once
    std::vector<int> subtree_root(n);

    std::vector<int> order;
    comb_sort(alpha, order, true);

    union_find tree_sets(n), node_sets(n);
    std::vector<tree_node>& nodes = tree.nodes;
    for (int i = 0; i < n; ++i) {
        subtree_root[i] = i;
        nodes[i] = {alpha[i], -1, 0, area[i], NO_CELL, NO_CELL};
    }

    for (const int c : order) {
        int cur_tree = tree_sets.find(c);
        int cur_node = node_sets.find(subtree_root[cur_tree]);
        const neighbor_rows adjacent = neighbours(c);
        for (int k = 0; k < adjacent.count; ++k) {
            const int g = adjacent.row[k];
            if (!(alpha[g] >= alpha[c])) continue;
            const int adj_tree = tree_sets.find(g);
            const int adj_node = node_sets.find(subtree_root[adj_tree]);
            if (adj_node == cur_node) continue;
            if (nodes[cur_node].level != nodes[adj_node].level) {
                add_son(tree, cur_node, adj_node);
                nodes[cur_node].area += nodes[adj_node].area;
            } else {
                const int r = node_sets.link(adj_node, cur_node);
                const int other = r == adj_node ? cur_node : adj_node;
                const double merged_area = nodes[adj_node].area + nodes[cur_node].area;
                merge_nodes(tree, r, other);
                nodes[r].area = merged_area;
                cur_node = r;
            }
            cur_tree = tree_sets.link(adj_tree, cur_tree);
            subtree_root[cur_tree] = cur_node;
        }
    }

    if (n > 0) tree.root = subtree_root[tree_sets.find(node_sets.find(0))];
    tree.node_of_row.resize(n);
    for (int p = 0; p < n; ++p) tree.node_of_row[p] = node_sets.find(p);
    for (int slot = 0; slot < n; ++slot) {
        if (nodes[slot].son_count <= 0) continue;
        for (int cell = nodes[slot].first_son; cell != NO_CELL; cell = tree.son_cells[cell].next)
            nodes[tree.son_cells[cell].son].father = slot;
    }
    return tree;
}
