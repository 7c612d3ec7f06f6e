// Component tree construction with two union-find forests: one groups faces
// into partial trees, the other into tree nodes (faces joined at equal level).
// The rows are renumbered in the order of the construction first, so that it
// reads each row's own values in sequence; the nodes keep that numbering.
#include "tree/component_tree.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>

#include "parallel/jobs.h"
#include "triangulation/fetch_ahead.h"
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

// Sorts the rows [first, last) by their keys' low halves, keeping equal
// ones in their order: by insertion for the short runs of nearly every
// table, where it does not allocate.
void sort_by_low_halves(int* first, int* last, const std::vector<std::uint32_t>& low)
{
    const auto lower = [&](int a, int b) { return low[a] < low[b]; };
    if (last - first > 32) {
        if (!std::is_sorted(first, last, lower)) std::stable_sort(first, last, lower);
        return;
    }
    for (int* i = first + 1; i < last; ++i) {
        const int moving = *i;
        int* j = i;
        for (; j > first && lower(moving, j[-1]); --j) *j = j[-1];
        *j = moving;
    }
}

}  // namespace

std::vector<int> descending_alpha_order(const std::vector<double>& alpha, int threads)
{
    const std::size_t n = alpha.size();
    // Shares of at least MIN_SORT_SHARE rows, one a thread, each of which
    // counts and moves its own rows in every pass.
    constexpr std::size_t MIN_SORT_SHARE = 1 << 16;
    const std::size_t shares = std::clamp<std::size_t>(n / MIN_SORT_SHARE, 1, std::max(1, threads));
    const auto share_begin = [&](std::size_t s) { return n * s / shares; };
    // The rows are sorted by the high half of their keys, each carried with
    // its row in one word (the high half above the row), which halves what
    // every pass moves; the few runs whose high halves tie but whose values
    // differ are put in order by the low halves at the end.
    std::vector<std::uint64_t> words(n), next_words(n);
    std::vector<std::uint32_t> low(n);
    run_jobs(static_cast<int>(shares), [&](int s) {
        for (std::size_t i = share_begin(s), end = share_begin(s + 1); i < end; ++i) {
            const std::uint64_t key = descending_key(alpha[i]);
            words[i] = (key >> 32 << 32) | i;
            low[i] = static_cast<std::uint32_t>(key);
        }
    });
    // Least significant digit first; each pass is stable, so equal keys keep
    // their rows ascending. Bytes: each pass writes to few enough places at
    // once to stay in the cache.
    constexpr int digit_bits = 8, passes = (32 + digit_bits - 1) / digit_bits;
    constexpr std::size_t digits = std::size_t(1) << digit_bits;
    constexpr std::uint64_t digit_mask = digits - 1;
    const auto digit = [](std::uint64_t word, int pass) { return word >> (32 + pass * digit_bits) & digit_mask; };
    // The counts of every pass's digits over all rows, from one reading of
    // the words: a pass whose digit is the same throughout moves nothing,
    // and with one share they are its counts.
    std::vector<std::size_t> total(passes * digits, 0);
    for (const std::uint64_t word : words)
        for (int pass = 0; pass < passes; ++pass) ++total[pass * digits + digit(word, pass)];
    // start[s * digits + d]: where share s puts its next row of digit d.
    std::vector<std::size_t> start(shares * digits);
    for (int pass = 0; pass < passes && n > 0; ++pass) {
        if (total[pass * digits + digit(words[0], pass)] == n) continue;
        if (shares == 1) {
            std::copy_n(&total[pass * digits], digits, start.begin());
        } else {
            run_jobs(static_cast<int>(shares), [&](int s) {
                std::size_t* const count = &start[s * digits];
                std::fill_n(count, digits, 0);
                for (std::size_t i = share_begin(s), end = share_begin(s + 1); i < end; ++i) ++count[digit(words[i], pass)];
            });
        }
        // The rows of a digit in the order of the shares, then of the rows.
        std::size_t place = 0;
        for (std::size_t d = 0; d < digits; ++d)
            for (std::size_t s = 0; s < shares; ++s) {
                const std::size_t count = start[s * digits + d];
                start[s * digits + d] = place;
                place += count;
            }
        run_jobs(static_cast<int>(shares), [&](int s) {
            std::size_t* const next = &start[s * digits];
            for (std::size_t i = share_begin(s), end = share_begin(s + 1); i < end; ++i)
                next_words[next[digit(words[i], pass)]++] = words[i];
        });
        words.swap(next_words);
    }
    next_words = std::vector<std::uint64_t>();
    // Runs of tied high halves, each put in order by its low halves (stably:
    // equal values keep their rows ascending) by the share it starts in.
    std::vector<int> order(n);
    const auto high = [&](std::size_t i) { return words[i] >> 32; };
    run_jobs(static_cast<int>(shares), [&](int s) {
        const std::size_t share_end = share_begin(s + 1);
        std::size_t i = share_begin(s);
        while (i > 0 && i < share_end && high(i) == high(i - 1)) ++i;
        for (std::size_t end; i < share_end; i = end) {
            end = i + 1;
            while (end < n && high(end) == high(i)) ++end;
            for (std::size_t k = i; k < end; ++k) order[k] = static_cast<int>(words[k] & 0xffffffffu);
            if (end - i > 1) sort_by_low_halves(&order[i], &order[end], low);
        }
    });
    return order;
}

namespace {

// Tables smaller than this many rows a block are built on one thread.
constexpr std::size_t MIN_BLOCK_ROWS = 2048;

void add_child_cell(std::vector<tree_node>& nodes, std::vector<child_cell>& cells, int parent, int child)
{
    const int cell = static_cast<int>(cells.size());
    tree_node& p = nodes[parent];
    cells.push_back({child, p.child_count > 0 ? p.first_child : NO_CELL});
    if (p.child_count <= 0) p.last_child = cell;
    p.first_child = cell;
    p.child_count += 1;
    nodes[child].parent = parent;
}

void merge_child_lists(std::vector<tree_node>& nodes, std::vector<child_cell>& cells, int a, int b)
{
    tree_node& na = nodes[a];
    tree_node& nb = nodes[b];
    if (nb.child_count > 0) {
        if (na.child_count <= 0) {
            na.first_child = nb.first_child;
            na.last_child = nb.last_child;
            na.child_count = nb.child_count;
        } else {
            cells[na.last_child].next = nb.first_child;
            na.last_child = nb.last_child;
            na.child_count += nb.child_count;
        }
    }
    nb.child_count = MERGED;
}

// What the construction keeps while it joins rows: the table's values, the
// nodes, a forest grouping the rows into partial trees (each set's root
// names, in subtree_root, the top node of its tree) and one grouping the
// rows of a node.
struct construction {
    const std::vector<double>& alpha;
    const std::vector<adjacent_rows>& neighbours;
    std::vector<tree_node>& nodes;
    union_find tree_sets, node_sets;
    std::vector<int> subtree_root;
};

// The rows of one block, and where the joining of a block's rows reports
// the neighbours of other blocks: for each node the first place, in the
// order of the construction, of a neighbour in another block of any row of
// its subtree (the largest alpha of such a neighbour).
struct block_view {
    const std::vector<std::uint8_t>* block = nullptr;  // every row's block; null when all rows are joined
    int id = 0;
    std::vector<int>* reach = nullptr;

    bool outside(int row) const { return block && (*block)[row] != id; }
};

// No neighbour in another block.
constexpr int NO_REACH = std::numeric_limits<int>::max();

// Joins the rows of `view`'s block (all rows without one), or only those of
// them marked in `marked` when given, in ascending order (the
// construction's), to those of larger or equal alpha around them: a
// neighbour's tree becomes a child of the row's node when its top node lies
// higher, and two nodes of one level merge. Child cells are added to
// `cells`. Neighbours outside the block are not joined; their places go to
// its reach.
void join_rows(construction& c, std::vector<child_cell>& cells, const block_view& view,
               const std::vector<char>* marked = nullptr)
{
    const std::vector<double>& alpha = c.alpha;
    const std::vector<adjacent_rows>& neighbours = c.neighbours;
    std::vector<tree_node>& nodes = c.nodes;
    union_find& tree_sets = c.tree_sets;
    union_find& node_sets = c.node_sets;
    std::vector<int>& subtree_root = c.subtree_root;
    const int n = static_cast<int>(alpha.size());
    const auto visits = [&](int row) { return !view.outside(row) && (!marked || (*marked)[row]); };
    // The rows are numbered in the order of the construction, so a row's own
    // values are read in sequence; its neighbours lie all over the table:
    // their sets, then the subtrees those sets stand for, are fetched into
    // the cache a few rows ahead, in stages. Only the neighbours of larger
    // alpha, which the row joins, are read ahead, and only those of the
    // block: the others belong to other threads.
    constexpr int AHEAD = 6;
    const auto fetch_ahead = [&](int row, auto fetch_for) {
        if (row >= n || !visits(row)) return;
        const adjacent_rows& around = neighbours[row];
        for (int k = 0; k < around.count; ++k)
            if (around.row[k] < row && !view.outside(around.row[k])) fetch_for(around.row[k]);
    };
    // The end of the run of rows of the current row's alpha: a neighbour
    // numbered after the row has an alpha at least the row's only within it.
    int equal_end = 0;
    for (int row = 0; row < n; ++row) {
        fetch_ahead(row + 2 * AHEAD, [&](int g) { fetch(tree_sets.parent[g]); });
        fetch_ahead(row + AHEAD, [&](int g) { fetch(subtree_root[tree_sets.parent[g]]); });
        if (!visits(row)) continue;
        if (equal_end <= row) {
            equal_end = row + 1;
            while (equal_end < n && alpha[equal_end] == alpha[row]) ++equal_end;
        }
        int cur_tree = tree_sets.find(row);
        int cur_node = node_sets.find(subtree_root[cur_tree]);
        const adjacent_rows& adjacent = neighbours[row];
        for (int k = 0; k < adjacent.count; ++k) {
            const int g = adjacent.row[k];
            if (view.outside(g)) {
                int& reach = (*view.reach)[cur_node];
                reach = std::min(reach, g);
                continue;
            }
            if (g > row && g >= equal_end) continue;  // a lower alpha
            const int adj_tree = tree_sets.find(g);
            const int adj_node = node_sets.find(subtree_root[adj_tree]);
            if (adj_node == cur_node) continue;
            if (nodes[cur_node].level != nodes[adj_node].level) {
                add_child_cell(nodes, cells, cur_node, adj_node);
                nodes[cur_node].area += nodes[adj_node].area;
                if (view.reach) (*view.reach)[cur_node] = std::min((*view.reach)[cur_node], (*view.reach)[adj_node]);
            } else {
                const int r = node_sets.link(adj_node, cur_node);
                const int other = r == adj_node ? cur_node : adj_node;
                const double merged_area = nodes[adj_node].area + nodes[cur_node].area;
                merge_child_lists(nodes, cells, r, other);
                nodes[r].area = merged_area;
                if (view.reach) (*view.reach)[r] = std::min((*view.reach)[r], (*view.reach)[other]);
                cur_node = r;
            }
            cur_tree = tree_sets.link(adj_tree, cur_tree);
            subtree_root[cur_tree] = cur_node;
        }
    }
}

// A row back to its state before any joining.
void reset_row(construction& c, const std::vector<double>& area, int row)
{
    c.nodes[row] = {c.alpha[row], NO_PARENT, 0, area[row], NO_CELL, NO_CELL};
    c.tree_sets.parent[row] = c.node_sets.parent[row] = c.subtree_root[row] = row;
    c.tree_sets.rank[row] = c.node_sets.rank[row] = 0;
}

// One block's share of the construction, on a thread of its own: its rows
// joined to each other alone. The nodes whose component (the connected rows
// of alpha at least their level) stays inside the block come out as the
// whole table gives them, since the same joins happen to them in the same
// order. The other rows, those of the nodes whose component reaches another
// block through a neighbour of alpha at least their level, are put back as
// they were, marked in `shared`, for the joining of the whole table; each
// node that stays inside under one that does not becomes a tree of its own.
// The cells of the kept child lists are returned, numbered from 0.
std::vector<child_cell> build_block(construction& c, const std::vector<double>& area,
                                    const std::vector<std::uint8_t>& block, int id, std::vector<int>& reach,
                                    std::vector<char>& shared)
{
    const int n = static_cast<int>(block.size());
    const auto in_block = [&](int r) { return block[r] == id; };
    // Every node becomes a child at most once: as many cells as rows at
    // most, of which only those written take memory.
    std::vector<child_cell> cells;
    cells.reserve(static_cast<std::size_t>(std::count(block.begin(), block.end(), id)));
    join_rows(c, cells, {&block, id, &reach});

    std::vector<tree_node>& nodes = c.nodes;
    auto is_node = [&](int r) { return c.node_sets.parent[r] == r; };
    for (int r = 0; r < n; ++r) {
        if (!in_block(r)) continue;
        const int node = c.node_sets.find(r);
        shared[r] = reach[node] != NO_REACH && c.alpha[reach[node]] >= nodes[node].level;
    }
    // The kept lists, those of nodes inside the block, hold only such
    // nodes: their cells are copied together, and the children told their
    // parents.
    std::vector<child_cell> kept;
    kept.reserve(cells.size());
    for (int r = 0; r < n; ++r)
        if (in_block(r) && !shared[r] && is_node(r)) nodes[r].parent = NO_PARENT;
    for (int r = 0; r < n; ++r) {
        if (!in_block(r) || shared[r] || !is_node(r) || nodes[r].child_count <= 0) continue;
        const int first = static_cast<int>(kept.size());
        for (int cell = nodes[r].first_child; cell != NO_CELL; cell = cells[cell].next) {
            kept.push_back({cells[cell].child, static_cast<int>(kept.size()) + 1});
            nodes[cells[cell].child].parent = r;
        }
        kept.back().next = NO_CELL;
        nodes[r].first_child = first;
        nodes[r].last_child = static_cast<int>(kept.size()) - 1;
    }
    cells = std::vector<child_cell>();
    // The rows inside lead straight to the top of their tree, the nodes
    // taken from the lowest level up (parents before children).
    for (int r = 0; r < n; ++r) {
        if (!in_block(r)) continue;
        if (shared[r]) {
            reset_row(c, area, r);
        } else if (is_node(r)) {
            c.tree_sets.rank[r] = nodes[r].parent == NO_PARENT ? 1 : 0;
            c.subtree_root[r] = r;
        }
    }
    for (int r = n - 1; r >= 0; --r)
        if (in_block(r) && !shared[r] && is_node(r))
            c.tree_sets.parent[r] = nodes[r].parent == NO_PARENT ? r : c.tree_sets.parent[nodes[r].parent];
    for (int r = 0; r < n; ++r) {
        if (!in_block(r) || shared[r] || is_node(r)) continue;
        c.tree_sets.parent[r] = c.tree_sets.parent[c.node_sets.parent[r]];
        c.tree_sets.rank[r] = 0;
    }
    return kept;
}

}  // namespace

void add_child(component_tree& tree, int parent, int child)
{
    add_child_cell(tree.nodes, tree.child_cells, parent, child);
}

void merge_nodes(component_tree& tree, int a, int b)
{
    merge_child_lists(tree.nodes, tree.child_cells, a, b);
}

namespace {

// The table renumbered in the construction's order: its row i is the
// table's row order[i], and its neighbours are named by their places in that
// order. The construction then reads its current row's values in sequence,
// and a block's rows, or the shared ones, taken in ascending order are
// already in the order of the construction.
struct rows_in_order {
    std::vector<double> alpha, area;
    std::vector<adjacent_rows> neighbours;
    std::vector<std::uint8_t> block;
};

// The rows renumbered, each row's area given by area_of(row) (a reference
// into the table); the table's own alpha values and neighbours are let go
// once renumbered. Each loop reads or writes at random places, in the
// order of the construction: it asks for them FETCH_FAR places ahead, or,
// where one random read names the next, in two steps.
template <class AreaOf>
rows_in_order renumbered(const std::vector<int>& order, std::vector<double> alpha, const AreaOf& area_of,
                         std::vector<adjacent_rows> neighbours, const std::vector<std::uint8_t>& block, int threads)
{
    const std::size_t n = order.size();
    rows_in_order r;
    r.alpha.resize(n);
    r.area.resize(n);
    r.block.resize(block.empty() ? 0 : n);
    run_in_shares(n, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + FETCH_FAR < end) {
                fetch(alpha[order[i + FETCH_FAR]]);
                fetch(area_of(order[i + FETCH_FAR]));
            }
            const int row = order[i];
            r.alpha[i] = alpha[row];
            r.area[i] = area_of(row);
            if (!block.empty()) r.block[i] = block[row];
        }
    });
    alpha = std::vector<double>();
    std::vector<int> place(n);
    run_in_shares(n, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + FETCH_FAR < end) fetch(place[order[i + FETCH_FAR]]);
            place[order[i]] = static_cast<int>(i);
        }
    });
    r.neighbours.resize(n);
    run_in_shares(n, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + FETCH_FAR < end) fetch(neighbours[order[i + FETCH_FAR]]);
            if (i + FETCH_NEAR < end) {
                const adjacent_rows& ahead = neighbours[order[i + FETCH_NEAR]];
                for (int k = 0; k < ahead.count; ++k) fetch(place[ahead.row[k]]);
            }
            adjacent_rows around = neighbours[order[i]];
            for (int k = 0; k < around.count; ++k) around.row[k] = place[around.row[k]];
            r.neighbours[i] = around;
        }
    });
    return r;
}

// Lays the child lists out again: each list's cells together, in list
// order, and the lists in the order of their nodes' slots, so that a walk
// reads a node's children from one place (where the joining left them
// wherever they were made). The children are told their parents on the way.
// The shares of slots, one a thread, write disjoint cells and parents
// (every child cell is its child's only one).
void lay_out_child_lists(component_tree& tree, int threads)
{
    std::vector<tree_node>& nodes = tree.nodes;
    const std::vector<child_cell>& cells = tree.child_cells;
    const std::size_t n = nodes.size();
    const int shares = static_cast<int>(std::max<std::size_t>(1, std::min<std::size_t>(std::max(threads, 1), n)));
    const auto share_begin = [&](int s) { return n * s / shares; };
    // laid_from[s]: where share s lays its first cell.
    std::vector<int> laid_from(shares + 1, 0);
    run_jobs(shares, [&](int s) {
        int count = 0;
        for (std::size_t slot = share_begin(s), end = share_begin(s + 1); slot < end; ++slot)
            count += std::max(nodes[slot].child_count, 0);
        laid_from[s + 1] = count;
    });
    std::partial_sum(laid_from.begin(), laid_from.end(), laid_from.begin());
    std::vector<child_cell> laid(laid_from[shares]);
    run_jobs(shares, [&](int s) {
        int at = laid_from[s];
        for (std::size_t slot = share_begin(s), end = share_begin(s + 1); slot < end; ++slot) {
            if (slot + FETCH_NEAR < end && nodes[slot + FETCH_NEAR].child_count > 0)
                fetch(cells[nodes[slot + FETCH_NEAR].first_child]);
            tree_node& node = nodes[slot];
            if (node.child_count <= 0) {
                if (!node.merged()) node.first_child = node.last_child = NO_CELL;
                continue;
            }
            const int first = at;
            for (int cell = node.first_child; cell != NO_CELL; cell = cells[cell].next, ++at) {
                laid[at] = {cells[cell].child, at + 1};
                nodes[cells[cell].child].parent = static_cast<int>(slot);
            }
            laid[at - 1].next = NO_CELL;
            node.first_child = first;
            node.last_child = at - 1;
        }
    });
    tree.child_cells = std::move(laid);
}

// The construction over rows already in its order (renumbered).
component_tree tree_in_order(const rows_in_order& rows, int blocks)
{
    const std::vector<double>& alpha = rows.alpha;
    const std::vector<double>& area = rows.area;
    const std::vector<std::uint8_t>& block = rows.block;
    const int n = static_cast<int>(alpha.size());
    component_tree tree;
    tree.nodes.resize(n);
    construction c{alpha, rows.neighbours, tree.nodes, union_find(n), union_find(n), std::vector<int>(n)};
    run_in_shares(n, blocks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            c.subtree_root[i] = static_cast<int>(i);
            tree.nodes[i] = {alpha[i], NO_PARENT, 0, area[i], NO_CELL, NO_CELL};
        }
    });

    tree.child_cells.reserve(n);  // every node becomes a child at most once
    if (blocks <= 1) {
        join_rows(c, tree.child_cells, {});
    } else {
        // Each block on its own thread, then the rows whose nodes reach
        // across blocks, joined in the order of the whole table.
        std::vector<int> reach(n, NO_REACH);
        std::vector<char> shared(n, 0);
        std::vector<std::vector<child_cell>> cells(blocks);
        run_jobs(blocks, [&](int b) { cells[b] = build_block(c, area, block, b, reach, shared); });
        std::vector<int> offset(blocks + 1, 0);
        for (int b = 0; b < blocks; ++b) offset[b + 1] = offset[b] + static_cast<int>(cells[b].size());
        tree.child_cells.resize(offset[blocks]);
        run_jobs(blocks, [&](int b) {
            const int shift = offset[b];
            for (std::size_t k = 0; k < cells[b].size(); ++k) {
                const child_cell& cell = cells[b][k];
                tree.child_cells[shift + k] = {cell.child, cell.next == NO_CELL ? NO_CELL : cell.next + shift};
            }
            for (int r = 0; r < n; ++r) {
                tree_node& node = tree.nodes[r];
                if (block[r] != b || shared[r] || node.child_count <= 0) continue;
                node.first_child += shift;
                node.last_child += shift;
            }
        });
        join_rows(c, tree.child_cells, {}, &shared);
    }

    if (n > 0) tree.root = c.subtree_root[c.tree_sets.find(c.node_sets.find(0))];
    tree.node_of_row.resize(n);
    run_in_shares(n, blocks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) tree.node_of_row[p] = c.node_sets.root_of(static_cast<int>(p));
    });
    lay_out_child_lists(tree, blocks);
    return tree;
}

// The node of each of the table's rows, from that of each row in the
// construction's order.
std::vector<int> node_of_each_row(const std::vector<int>& node_in_order, const std::vector<int>& order, int threads)
{
    std::vector<int> node_of_row(order.size());
    run_in_shares(order.size(), threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + FETCH_FAR < end) fetch(node_of_row[order[i + FETCH_FAR]]);
            node_of_row[order[i]] = node_in_order[i];
        }
    });
    return node_of_row;
}

// The construction over the rows of a table, given by their alpha values,
// areas (area_of(row)) and neighbours, renumbered in its order first; what it
// is given is let go as soon as it is renumbered.
template <class AreaOf>
component_tree tree_over(std::vector<double> alpha, const AreaOf& area_of, std::vector<adjacent_rows> neighbours,
                         std::vector<std::uint8_t> block, int blocks)
{
    const int threads = std::max(1, blocks);
    const std::vector<int> order = descending_alpha_order(alpha, threads);
    rows_in_order rows = renumbered(order, std::move(alpha), area_of, std::move(neighbours), block, threads);
    block = std::vector<std::uint8_t>();
    component_tree tree = tree_in_order(rows, blocks);
    rows = rows_in_order();
    tree.node_of_row = node_of_each_row(tree.node_of_row, order, threads);
    return tree;
}

}  // namespace

component_tree build_component_tree(const face_rows& rows, std::vector<adjacent_rows> neighbours,
                                    int threads)
{
    const std::size_t n = rows.size();
    const int blocks = static_cast<int>(
        std::max<std::size_t>(1, std::min<std::size_t>(std::clamp(threads, 1, MAX_BLOCKS), n / MIN_BLOCK_ROWS)));
    std::vector<double> alpha(n), x(blocks > 1 ? n : 0);
    run_in_shares(n, blocks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            alpha[i] = rows[i].alpha;
            if (blocks > 1) x[i] = rows[i].face->vertex(0)->point().point().x();
        }
    });
    // Blocks of the plane: strips across x holding about as many rows each,
    // cut at the quantiles of a sample of the rows.
    std::vector<std::uint8_t> block(blocks > 1 ? n : 0);
    if (blocks > 1) {
        std::vector<double> sample;
        for (std::size_t i = 0; i < n; i += 61) sample.push_back(x[i]);
        std::sort(sample.begin(), sample.end());
        std::vector<double> cuts;
        for (int b = 1; b < blocks; ++b) cuts.push_back(sample[sample.size() * b / blocks]);
        run_in_shares(n, blocks, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                block[i] = static_cast<std::uint8_t>(std::upper_bound(cuts.begin(), cuts.end(), x[i]) - cuts.begin());
        });
        x = std::vector<double>();  // not needed beyond the cuts: not held through the joining
    }
    return tree_over(std::move(alpha), [&](int row) -> const double& { return rows[row].area; }, std::move(neighbours),
                     std::move(block), blocks);
}

component_tree component_tree_over(const std::vector<double>& alpha, const std::vector<double>& area,
                                   const std::vector<adjacent_rows>& neighbours, const std::vector<std::uint8_t>& block,
                                   int blocks)
{
    return tree_over(alpha, [&](int row) -> const double& { return area[row]; }, neighbours, block, blocks);
}

}  // namespace orvo::detail
