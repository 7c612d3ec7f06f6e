// Component tree over alpha. The faces of the face table are visited from
// the largest alpha down; each joins those of its neighbours whose alpha is
// at least its own. A node at level t is a maximal connected set of faces of
// alpha >= t; leaves are local maxima of alpha, parents have lower levels
// than their children.
#pragma once

#include <cstdint>
#include <vector>

#include "tree/face_table.h"

namespace orvo::detail {

// The end of a child list.
constexpr int NO_CELL = -1;
// No parent: a root, a node that never became a child, or a merged slot.
constexpr int NO_PARENT = -1;
// The child count of a slot merged into another node.
constexpr int MERGED = -1;

struct tree_node {
    double level;     // alpha of the node's own faces
    int parent;       // NO_PARENT, or the parent node
    int child_count;  // MERGED for a slot merged into another node
    double area;      // own faces' areas plus those of all descendants
    int first_child;  // child cells of the list, NO_CELL while it is empty
    int last_child;

    bool merged() const { return child_count == MERGED; }
};

struct child_cell {
    int child;
    int next;  // next cell of the same list, or NO_CELL
};

struct component_tree {
    // One slot per row, in the order of the construction (see
    // descending_alpha_order): slot i stands for the i-th row of that order,
    // and a node is named by the slot of one of its rows. A child's level is
    // above its parent's, so its slot comes first.
    std::vector<tree_node> nodes;
    // The cells of all child lists. In a built tree each list's cells lie
    // together, in list order, and the lists in the order of the
    // construction (alpha descending): the same for any number of threads.
    std::vector<child_cell> child_cells;
    std::vector<int> node_of_row;  // the node each row of the table belongs to, by the table's numbering
    int root = -1;  // -1 for an empty table
};

// Builds the tree over the face table's rows and their neighbours (its
// `adjacent`, which callers that need it no more move in: the construction
// renumbers a copy of it and lets it go), on `threads` threads, each taking
// a strip of the plane; the tree does not depend on their number. Throws
// std::bad_alloc when memory runs out.
component_tree build_component_tree(const face_rows& rows, std::vector<adjacent_rows> neighbours,
                                    int threads = 1);

// The most blocks of rows the construction takes (one byte a row).
constexpr int MAX_BLOCKS = 255;

// The same construction over any table given by its rows' alpha values (no
// NaN: the construction tells equal alphas by their places in its order) and
// areas and each row's neighbours. With `blocks` > 1 (at most MAX_BLOCKS)
// every row is given a block (0 .. blocks - 1) in `block`, and each block is
// built on a thread of its own, then the nodes that reach across blocks on
// one: the tree is the same for any blocks (the construction is fastest
// with blocks of few neighbours in other blocks).
component_tree component_tree_over(const std::vector<double>& alpha, const std::vector<double>& area,
                                   const std::vector<adjacent_rows>& neighbours,
                                   const std::vector<std::uint8_t>& block = {}, int blocks = 1);

// Makes node `child` a child of node `parent` (at the head of its list).
void add_child(component_tree& tree, int parent, int child);

// Moves the children of node b to node a (after a's own) and marks b merged.
void merge_nodes(component_tree& tree, int a, int b);

// The rows in the order the construction visits them: alpha descending,
// equal alphas by ascending row, so that the order, and with it which slot
// names each node and the order of the child lists, follows from the table
// alone. A stable radix sort on the values' bits, on `threads` threads for
// large tables (the order does not depend on their number).
std::vector<int> descending_alpha_order(const std::vector<double>& alpha, int threads = 1);

}  // namespace orvo::detail
