// Component tree over alpha. The faces of the face table are visited from
// the largest alpha down; each joins those of its neighbours whose alpha is
// at least its own. A node at level t is a maximal connected set of faces of
// alpha >= t; leaves are local maxima of alpha, fathers have lower levels
// than their sons.
#pragma once

#include <functional>
#include <vector>

#include "tree/face_table.h"

constexpr int NO_CELL = -1;

struct ctreenode {
    double level;  // alpha of the node's own faces
    int father;    // -1 for a root, a node that never became a son, or a dead slot
    int nbsons;    // -1 marks a dead slot (merged into another node)
    double area;   // own faces' areas plus those of all descendants
    int firstson;  // son cells of the list, NO_CELL while it is empty
    int lastson;
};

struct soncell {
    int son;
    int next;  // next cell of the same list, or NO_CELL
};

struct ctree {
    int nbnodes;       // one slot per face; a node is named by one of its faces
    int nbsoncells;    // son cells handed out
    int root;          // -1 for an empty table
    ctreenode* nodes;
    soncell* soncells;
};

// Builds the tree over `faces`. On success stores the tree and the
// face-to-node array CM (released with std::free) and returns true; on an
// allocation failure prints a message naming the function and returns false
// with the out arguments untouched.
bool ComponentTree(const std::vector<gen_face>& faces, ctree** tree, int** CM);

// The same construction over any table given by its rows' alpha values and
// areas and a neighbour query.
bool component_tree_over(const std::vector<double>& alpha, const std::vector<double>& area,
                         const std::function<neighbor_rows(int)>& neighbours, ctree** tree, int** CM);

// Makes node s a son of node f (at the head of f's list).
void addson(ctree* tree, int f, int s);

// Moves the sons of node b to node a (after a's own) and marks b dead.
void mergenodes(ctree* tree, int a, int b);

void ComponentTreeFree(ctree* tree);

// Comb sort of `alpha` ascending (then reversed when `reverse` is set),
// moving a permutation of 0 .. n-1 along. Returns the sorted values. The
// order left among equal values decides representatives and son-list order.
std::vector<double> sort2(const std::vector<double>& alpha, std::vector<int>& permutation, bool reverse);
