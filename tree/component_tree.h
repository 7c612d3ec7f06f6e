// Component tree over alpha. The faces of the face table are visited from
// the largest alpha down; each joins those of its neighbours whose alpha is
// at least its own. A node at level t is a maximal connected set of faces of
// alpha >= t; leaves are local maxima of alpha, fathers have lower levels
// than their sons.
#pragma once

#include <vector>

#include "tree/face_table.h"

constexpr int NO_CELL = -1;

struct tree_node {
    double level;    // alpha of the node's own faces
    int father;      // -1 for a root, a node that never became a son, or a dead slot
    int son_count;   // -1 marks a dead slot (merged into another node)
    double area;     // own faces' areas plus those of all descendants
    int first_son;   // son cells of the list, NO_CELL while it is empty
    int last_son;
};

struct son_cell {
    int son;
    int next;  // next cell of the same list, or NO_CELL
};

struct component_tree {
    std::vector<tree_node> nodes;     // one slot per row; a node is named by one of its rows
    std::vector<son_cell> son_cells;  // the cells of all son lists
    std::vector<int> node_of_row;     // the node each row of the table belongs to
    int root = -1;                    // -1 for an empty table
};

// Builds the tree over the face table. Throws std::bad_alloc when memory
// runs out.
component_tree build_component_tree(const face_table& table);

// The same construction over any table given by its rows' alpha values and
// areas and each row's neighbours.
component_tree component_tree_over(const std::vector<double>& alpha, const std::vector<double>& area,
                                   const std::vector<neighbor_rows>& neighbours);

// Makes node s a son of node f (at the head of f's list).
void add_son(component_tree& tree, int f, int s);

// Moves the sons of node b to node a (after a's own) and marks b dead.
void merge_nodes(component_tree& tree, int a, int b);

// The rows in the order the construction visits them: alpha descending,
// equal alphas by ascending row, so that the order, and with it which row
// names each node and the order of the son lists, follows from the table
// alone. A stable radix sort on the values' bits.
std::vector<int> descending_alpha_order(const std::vector<double>& alpha);
