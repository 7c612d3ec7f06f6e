// Component selection by the area-to-level ratio, and the triangles of the
// chosen subtrees. The selection walks the tree depth first with an explicit
// stack (the tree can be as deep as it has nodes). Chosen nodes may nest, so
// the triangles of a chosen subtree are laid out in depth-first order, which
// gives every subtree inside it as a slice; for the selection's result they
// are placed by sweeps over the node slots rather than by walks.
#include "tree/selection.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

#include "parallel/jobs.h"
#include "triangulation/fetch_ahead.h"

namespace orvo::detail {

node_triangle_lists group_triangles_by_node(const std::vector<int>& node_of_row, const face_rows& faces)
{
    const int nodes = static_cast<int>(node_of_row.size());
    const int triangles = static_cast<int>(
        std::partition_point(faces.begin(), faces.end(), [](const face_row& f) { return f.is_triangle(); }) -
        faces.begin());
    node_triangle_lists lists;
    lists.start.assign(static_cast<std::size_t>(nodes) + 1, 0);
    for (int i = 0; i < triangles; ++i) lists.start[node_of_row[i] + 1]++;
    for (int v = 0; v < nodes; ++v) lists.start[v + 1] += lists.start[v];
    lists.rows.resize(triangles);
    std::vector<int> fill(lists.start.begin(), lists.start.end() - 1);
    for (int i = 0; i < triangles; ++i) lists.rows[fill[node_of_row[i]]++] = i;
    return lists;
}

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

// What the selection knows of a node: whether it is chosen, whether it has a
// chosen descendant, and, on the paths up from the chosen nodes, whether the
// walk can go on to its one marked child without reading its child list.
struct node_mark {
    static constexpr char CHOSEN = 1, ABOVE_CHOSEN = 2, PARENT_OF_CHOSEN = 4, BRANCHING = 8;
    std::atomic<char> flags;
    int only_marked_child;  // when ABOVE_CHOSEN alone: its one child with a chosen descendant
};

// A climb from a chosen node toward the root: `from` is the node below `at`,
// `step` the flags it sets on `at`.
struct climb {
    int from, at;
    char step;
};

// How many climbs a thread keeps going at once, a step of each in turn: the
// next node's slot and marks are fetched while the others step, rather than
// each step waiting for its own.
constexpr int CLIMBS_AT_ONCE = 16;

// The marks, from one pass over the node slots in storage order, cut into a
// run per thread (most nodes are rejected by their own area, without reading
// the parent). A chosen node's ancestors are marked up to the first one
// already marked; a node reached a second time, by any climb on any thread,
// is branching. Whichever climb gets where first, the marks are the same.
std::unique_ptr<node_mark[]> mark_chosen(const component_tree& tree, const selection_criteria& criteria, int threads)
{
    const std::vector<tree_node>& nodes = tree.nodes;
    // Cleared by the threads (a marking may reach any node), then marked.
    std::unique_ptr<node_mark[]> marks(new node_mark[nodes.size()]);
    run_in_shares(nodes.size(), threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) marks[k].flags.store(0, std::memory_order_relaxed);
    });
    const auto fetch = [&](int v) {
        __builtin_prefetch(&nodes[v]);
        __builtin_prefetch(&marks[v], 1);
    };
    // One step of a climb: whether it goes on.
    const auto step = [&](climb& c) {
        const char before = marks[c.at].flags.fetch_or(c.step, std::memory_order_relaxed);
        if (before & node_mark::ABOVE_CHOSEN) {
            marks[c.at].flags.fetch_or(node_mark::BRANCHING, std::memory_order_relaxed);
            return false;
        }
        marks[c.at].only_marked_child = c.from;
        c.step = node_mark::ABOVE_CHOSEN;
        c.from = c.at;
        c.at = nodes[c.at].parent;
        if (c.at == NO_PARENT) return false;
        fetch(c.at);
        return true;
    };
    run_in_shares(nodes.size(), threads, [&](std::size_t begin, std::size_t end) {
        climb climbs[CLIMBS_AT_ONCE];
        int going = 0;
        for (std::size_t k = begin;;) {
            for (; going < CLIMBS_AT_ONCE && k < end; ++k) {
                const tree_node& child = nodes[k];
                if (child.merged() || child.parent == NO_PARENT || !(child.area > criteria.min_area) ||
                    chosen_ratio(nodes[child.parent], child, criteria) == 0)
                    continue;
                marks[k].flags.fetch_or(node_mark::CHOSEN, std::memory_order_relaxed);
                climbs[going++] = {static_cast<int>(k), child.parent,
                                   node_mark::ABOVE_CHOSEN | node_mark::PARENT_OF_CHOSEN};
                fetch(child.parent);
            }
            if (going == 0) break;
            for (int i = 0; i < going;) {
                if (step(climbs[i])) ++i;
                else climbs[i] = climbs[--going];
            }
        }
    });
    return marks;
}

// A node the walk of the selection is to enter, and its nearest chosen
// ancestor, itself included (NOT_ENCLOSED when none is).
struct walk_entry {
    int node;
    int enclosing;
};

// Walks the marked nodes depth first from the entries on the stack (the
// last one first), appending the chosen children of each node entered, in
// child-list order, until the stack is empty or holds `pause_at` entries.
// The nodes still on the stack then head independent subtrees, which the
// walk would go through one after the other from the top of the stack.
void walk_marked(const component_tree& tree, const node_mark* marks, const selection_criteria& criteria,
                 std::vector<walk_entry>& stack, std::vector<chosen_node>& chosen, std::size_t pause_at)
{
    const std::vector<tree_node>& nodes = tree.nodes;
    while (!stack.empty() && stack.size() < pause_at) {
        const walk_entry e = stack.back();
        stack.pop_back();
        const char flags = marks[e.node].flags.load(std::memory_order_relaxed);
        if (!(flags & (node_mark::PARENT_OF_CHOSEN | node_mark::BRANCHING))) {
            stack.push_back({marks[e.node].only_marked_child, e.enclosing});
            continue;
        }
        // v's chosen children, then its marked children on the stack, last
        // first, so that the first is taken next.
        const std::size_t first = stack.size();
        for (int cell = nodes[e.node].first_child; cell != NO_CELL; cell = tree.child_cells[cell].next) {
            const int child = tree.child_cells[cell].child;
            const char child_flags = marks[child].flags.load(std::memory_order_relaxed);
            const bool is_chosen = child_flags & node_mark::CHOSEN;
            if (is_chosen) chosen.push_back({child, chosen_ratio(nodes[e.node], nodes[child], criteria), e.enclosing});
            if (child_flags & node_mark::ABOVE_CHOSEN) stack.push_back({child, is_chosen ? child : e.enclosing});
        }
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
    }
}

// The subtrees the walk leaves to the threads: enough that each thread gets
// several, so that one deep subtree holds up the others less.
constexpr std::size_t WALKED_APART = 64;

}  // namespace

std::vector<chosen_node> choose_in_subtree(const component_tree& tree, int node, const selection_criteria& criteria,
                                           int threads)
{
    // Only the nodes above a chosen one are walked, depth first, for the
    // order. (Walking the whole tree visits its nodes all over memory.) The
    // walk goes on one thread until WALKED_APART subtrees wait on its stack,
    // then through them on the threads, their lists joined in the order of
    // the walk on one thread.
    const std::unique_ptr<node_mark[]> marks = mark_chosen(tree, criteria, threads);
    std::vector<chosen_node> chosen;
    std::vector<walk_entry> stack;
    if (marks[node].flags & node_mark::ABOVE_CHOSEN) stack.push_back({node, NOT_ENCLOSED});
    walk_marked(tree, marks.get(), criteria, stack, chosen, WALKED_APART);
    std::vector<std::vector<chosen_node>> found(stack.size());
    run_in_turn(stack.size(), threads, [&](std::size_t k) {
        std::vector<walk_entry> own{stack[stack.size() - 1 - k]};
        walk_marked(tree, marks.get(), criteria, own, found[k], SIZE_MAX);
    });
    for (const std::vector<chosen_node>& list : found) chosen.insert(chosen.end(), list.begin(), list.end());
    return chosen;
}

std::vector<chosen_node> choose_components(const component_tree& tree, const selection_criteria& criteria,
                                           int threads)
{
    if (tree.root < 0) return {};
    return choose_in_subtree(tree, tree.root, criteria, threads);
}

std::vector<chosen_node> chosen_up_to_area(const component_tree& tree, const std::vector<chosen_node>& chosen,
                                           double max_area)
{
    std::vector<chosen_node> kept;
    for (chosen_node c : chosen) {
        if (!(tree.nodes[c.node].area <= max_area)) continue;
        if (c.nested() && !(tree.nodes[c.enclosing].area <= max_area)) c.enclosing = NOT_ENCLOSED;
        kept.push_back(c);
    }
    return kept;
}

std::vector<int> node_numbers(const std::vector<chosen_node>& chosen)
{
    std::vector<int> numbers;
    numbers.reserve(chosen.size());
    for (const chosen_node& c : chosen) numbers.push_back(c.node);
    return numbers;
}

namespace {

subtree_triangles unset_slices(const component_tree& tree, int threads)
{
    subtree_triangles all;
    all.begin.resize(tree.nodes.size());
    all.end.resize(tree.nodes.size());
    run_in_shares(tree.nodes.size(), threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t v = begin; v < end; ++v) all.begin[v] = all.end[v] = -1;
    });
    return all;
}

}  // namespace

subtree_triangles collect_subtree_triangles(const component_tree& tree, const node_triangle_lists& node_triangles,
                                            const std::vector<int>& chosen)
{
    subtree_triangles all = unset_slices(tree, 1);
    std::vector<int> stack;  // v: enter v; ~v (negative): leave v
    for (const int node : chosen) {
        if (all.begin[node] >= 0) continue;  // inside the subtree of one collected before
        stack.assign(1, node);
        while (!stack.empty()) {
            const int v = stack.back();
            stack.pop_back();
            if (v < 0) {
                all.end[~v] = static_cast<int>(all.rows.size());
                continue;
            }
            all.begin[v] = static_cast<int>(all.rows.size());
            all.rows.insert(all.rows.end(), node_triangles.rows.begin() + node_triangles.start[v],
                            node_triangles.rows.begin() + node_triangles.start[v + 1]);
            stack.push_back(~v);
            // The children go on the stack last first, so that the first is taken next.
            const std::size_t first = stack.size();
            for (int cell = tree.nodes[v].first_child; cell != NO_CELL; cell = tree.child_cells[cell].next)
                stack.push_back(tree.child_cells[cell].child);
            std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
        }
    }
    return all;
}

subtree_triangles collect_subtree_triangles(const component_tree& tree, const node_triangle_lists& node_triangles,
                                            const std::vector<chosen_node>& chosen, int threads)
{
    // Sweeps over the slots instead of walks down the subtrees: a child's
    // slot comes before its parent's, so the slots taken in order meet the
    // children first, and taken backwards, the parents. Each sweep reads the
    // nodes, their child cells and their lists in the order they lie in.
    const std::vector<tree_node>& nodes = tree.nodes;
    const std::vector<int>& start = node_triangles.start;
    const int n = static_cast<int>(nodes.size());
    const auto own_count = [&](int v) { return start[v + 1] - start[v]; };
    subtree_triangles all = unset_slices(tree, threads);
    // Each subtree's count of triangles, the children's added to their parent.
    std::vector<int> total(n, 0);
    for (int v = 0; v < n; ++v) {
        if (v + FETCH_FAR < n && nodes[v + FETCH_FAR].parent != NO_PARENT)
            fetch(total[nodes[v + FETCH_FAR].parent]);
        total[v] += own_count(v);
        if (nodes[v].parent != NO_PARENT) total[nodes[v].parent] += total[v];
    }
    // The outer subtrees' slices one after another, in the selection's order.
    int placed = 0;
    for (const chosen_node& c : chosen) {
        if (c.nested()) continue;
        all.begin[c.node] = placed;
        placed += total[c.node];
    }
    all.rows.resize(placed);
    // Within a slice, a node's own triangles, then its children's slices in
    // child-list order.
    for (int v = n - 1; v >= 0; --v) {
        const int begin = all.begin[v];
        if (begin < 0) continue;
        all.end[v] = begin + total[v];
        int at = begin + own_count(v);
        for (int cell = nodes[v].first_child; cell != NO_CELL; cell = tree.child_cells[cell].next) {
            const int child = tree.child_cells[cell].child;
            all.begin[child] = at;
            at += total[child];
        }
    }
    run_in_shares(nodes.size(), threads, [&](std::size_t first, std::size_t last) {
        for (std::size_t v = first; v < last; ++v)
            if (all.begin[v] >= 0)
                std::copy(node_triangles.rows.begin() + start[v], node_triangles.rows.begin() + start[v + 1],
                          all.rows.begin() + all.begin[v]);
    });
    return all;
}

void append_subtree_triangles(const subtree_triangles& all, int node, std::vector<int>& triangles)
{
    triangles.insert(triangles.end(), all.rows.begin() + all.begin[node], all.rows.begin() + all.end[node]);
}

}  // namespace orvo::detail
