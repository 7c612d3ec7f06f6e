// Component tree construction with two union-find forests: one groups faces
// into partial trees, the other into tree nodes (faces joined at equal level).
#include "tree/component_tree.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tree/union_find.h"

namespace orvo::detail {
namespace {

// The bits of a double as an unsigned number that orders as the doubles do
// (both zeros alike), complemented so that larger values come first.
std::uint64_t descending_key(double value)
{
    if (value == 0) value = 0;  // -0 sorts with +0
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const std::uint64_t orderable = bits >> 63 ? ~bits : bits | std::uint64_t(1) << 63;
    return ~orderable;
}

}  // namespace

std::vector<int> descending_alpha_order(const std::vector<double>& alpha)
{
    const std::size_t n = alpha.size();
    std::vector<int> order(n), next_order(n);
    std::vector<std::uint64_t> keys(n), next_keys(n);
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = descending_key(alpha[i]);
        order[i] = static_cast<int>(i);
    }
    // Least significant digit first; each pass is stable, so equal keys keep
    // their rows ascending.
    constexpr int digit_bits = 11, passes = (64 + digit_bits - 1) / digit_bits;
    constexpr std::uint64_t digit_mask = (1u << digit_bits) - 1;
    // The counts of every pass's digits, from one reading of the keys.
    std::vector<std::size_t> start(passes * (digit_mask + 2), 0);
    for (const std::uint64_t key : keys)
        for (int pass = 0; pass < passes; ++pass) ++start[pass * (digit_mask + 2) + (key >> (pass * digit_bits) & digit_mask) + 1];
    for (int pass = 0; pass < passes && n > 0; ++pass) {
        const int shift = pass * digit_bits;
        std::size_t* const pass_start = &start[pass * (digit_mask + 2)];
        if (pass_start[(keys[0] >> shift & digit_mask) + 1] == n) continue;  // one digit throughout: nothing moves
        for (std::size_t d = 1; d < digit_mask + 2; ++d) pass_start[d] += pass_start[d - 1];
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t to = pass_start[keys[i] >> shift & digit_mask]++;
            next_keys[to] = keys[i];
            next_order[to] = order[i];
        }
        keys.swap(next_keys);
        order.swap(next_order);
    }
    return order;
}

void add_child(component_tree& tree, int parent, int child)
{
    const int cell = static_cast<int>(tree.child_cells.size());
    tree_node& p = tree.nodes[parent];
    tree.child_cells.push_back({child, p.child_count > 0 ? p.first_child : NO_CELL});
    if (p.child_count <= 0) p.last_child = cell;
    p.first_child = cell;
    p.child_count += 1;
    tree.nodes[child].parent = parent;
}

void merge_nodes(component_tree& tree, int a, int b)
{
    tree_node& na = tree.nodes[a];
    tree_node& nb = tree.nodes[b];
    if (nb.child_count > 0) {
        if (na.child_count <= 0) {
            na.first_child = nb.first_child;
            na.last_child = nb.last_child;
            na.child_count = nb.child_count;
        } else {
            tree.child_cells[na.last_child].next = nb.first_child;
            na.last_child = nb.last_child;
            na.child_count += nb.child_count;
        }
    }
    nb.child_count = MERGED;
}

component_tree build_component_tree(const face_table& table)
{
    // The rows' values in flat arrays, read in row order once:
    // the construction visits the rows in alpha order, all over the table.
    const std::size_t n = table.rows.size();
    std::vector<double> alpha(n), area(n);
    for (std::size_t i = 0; i < n; ++i) {
        alpha[i] = table.rows[i].alpha;
        area[i] = table.rows[i].area;
    }
    return component_tree_over(alpha, area, table.adjacent);
}

component_tree component_tree_over(const std::vector<double>& alpha, const std::vector<double>& area,
                                   const std::vector<adjacent_rows>& neighbours)
{
    const int n = static_cast<int>(alpha.size());
    component_tree tree;
    tree.nodes.resize(n);
    tree.child_cells.reserve(n);  // every node becomes a child at most once
    std::vector<int> subtree_root(n);

    const std::vector<int> order = descending_alpha_order(alpha);

    union_find tree_sets(n), node_sets(n);
    std::vector<tree_node>& nodes = tree.nodes;
    for (int i = 0; i < n; ++i) {
        subtree_root[i] = i;
        nodes[i] = {alpha[i], NO_PARENT, 0, area[i], NO_CELL, NO_CELL};
    }

    // The rows come in alpha order, all over the table: what the rows a few
    // steps ahead will read is fetched into the cache before it is needed,
    // in stages (their neighbours, then the neighbours' values and sets,
    // then the subtrees those sets stand for).
    constexpr int AHEAD = 6;
    for (int i = 0; i < n; ++i) {
        if (i + 3 * AHEAD < n) __builtin_prefetch(&neighbours[order[i + 3 * AHEAD]]);
        if (i + 2 * AHEAD < n) {
            const int ahead = order[i + 2 * AHEAD];
            __builtin_prefetch(&tree_sets.parent[ahead]);
            const adjacent_rows& around = neighbours[ahead];
            for (int k = 0; k < around.count; ++k) {
                __builtin_prefetch(&alpha[around.row[k]]);
                __builtin_prefetch(&tree_sets.parent[around.row[k]]);
            }
        }
        if (i + AHEAD < n) {
            const int ahead = order[i + AHEAD];
            const adjacent_rows& around = neighbours[ahead];
            __builtin_prefetch(&subtree_root[tree_sets.parent[ahead]]);
            for (int k = 0; k < around.count; ++k) __builtin_prefetch(&subtree_root[tree_sets.parent[around.row[k]]]);
        }
        const int c = order[i];
        int cur_tree = tree_sets.find(c);
        int cur_node = node_sets.find(subtree_root[cur_tree]);
        const adjacent_rows& adjacent = neighbours[c];
        for (int k = 0; k < adjacent.count; ++k) {
            const int g = adjacent.row[k];
            if (!(alpha[g] >= alpha[c])) continue;
            const int adj_tree = tree_sets.find(g);
            const int adj_node = node_sets.find(subtree_root[adj_tree]);
            if (adj_node == cur_node) continue;
            if (nodes[cur_node].level != nodes[adj_node].level) {
                add_child(tree, cur_node, adj_node);
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
        if (nodes[slot].child_count <= 0) continue;
        for (int cell = nodes[slot].first_child; cell != NO_CELL; cell = tree.child_cells[cell].next)
            nodes[tree.child_cells[cell].child].parent = slot;
    }
    return tree;
}

}  // namespace orvo::detail
