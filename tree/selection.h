// Component selection: a son becomes a feature when its area is large
// against the level of its father (the alpha at which it stops being a
// separate component) and the father is clearly larger than it. Also the
// collection of a chosen node's triangles, and the grouping of face rows by
// tree node that it reads.
#pragma once

#include <utility>
#include <vector>

#include "tree/component_tree.h"
#include "tree/face_table.h"

// Per-node face lists in one flat array: the rows whose node is v are
// faces[start[v] .. start[v + 1]), in increasing row index.
struct node_face_lists {
    std::vector<int> start;
    std::vector<int> faces;
};

// Groups the rows by their node (component_tree::node_of_row).
node_face_lists group_faces_by_node(const std::vector<int>& node_of_row);

// Appends (son, value) for every son in the subtree under `node` that passes
// the ratio criterion, in depth-first order (a node's chosen sons before any
// of their descendants).
void get_alpha_area_ratio_thres(const component_tree& tree, int node, std::vector<std::pair<int, double>>& candidates,
                                double threshold, double min_area_growth, double min_area);

// Appends the chosen nodes of the whole tree, in discovery order.
void return_all_above_thres(const component_tree& tree, double threshold, double min_area_growth, double min_area,
                            std::vector<int>& selected);

// The triangle rows of chosen subtrees in depth-first order (a node's own
// triangles, then its sons' subtrees in son-list order), so that the subtree
// of every node inside them is one slice rows[begin[v] .. end[v]); -1 for
// the nodes outside.
struct subtree_triangles {
    std::vector<int> rows;
    std::vector<int> begin, end;
};

// Collects the subtrees of the `chosen` nodes, one walk for each that is not
// inside one collected before (so taking them in the order the selection
// finds them walks each part of the tree at most once). The table must list
// its triangles before its edges, as the face table does.
subtree_triangles collect_subtree_triangles(const component_tree& tree, const node_face_lists& node_faces,
                                            const std::vector<face_row>& faces, const std::vector<int>& chosen);

// Appends the triangle rows of the subtree under `node`: the node's own
// triangles first, then its sons' in son-list order, depth first.
void get_triangles(const subtree_triangles& all, int node, std::vector<int>& triangles);
