// Component tree construction with two union-find forests: one groups faces
// into partial trees, the other into tree nodes (faces joined at equal level).
#include "tree/component_tree.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tree/union_find.h"

namespace {

ctree* ComponentTreeAlloc(int n)
{
    ctree* tree = static_cast<ctree*>(std::calloc(1, sizeof(ctree)));
    if (tree == nullptr) return nullptr;
    const std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 1;
    tree->nodes = static_cast<ctreenode*>(std::calloc(count, sizeof(ctreenode)));
    tree->soncells = static_cast<soncell*>(std::calloc(count, sizeof(soncell)));
    if (tree->nodes == nullptr || tree->soncells == nullptr) {
        ComponentTreeFree(tree);
        return nullptr;
    }
    tree->nbnodes = n;
    tree->nbsoncells = 0;
    tree->root = -1;
    return tree;
}

}  // namespace

std::vector<double> sort2(const std::vector<double>& alpha, std::vector<int>& permutation, bool reverse)
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
        for (int i = 0; i + gap < n; ++i) {
            if (sorted[i] > sorted[i + gap]) {
                std::swap(sorted[i], sorted[i + gap]);
                std::swap(permutation[i], permutation[i + gap]);
                swapped = true;
            }
        }
    }
    if (reverse) {
        std::reverse(sorted.begin(), sorted.end());
        std::reverse(permutation.begin(), permutation.end());
    }
    return sorted;
}

void addson(ctree* tree, int f, int s)
{
    if (tree->nbsoncells >= tree->nbnodes) {
        std::fprintf(stderr, "%s : fatal error : maximum nb of cells exceeded\n", "addson");
        std::exit(1);
    }
    const int cell = tree->nbsoncells++;
    ctreenode& father = tree->nodes[f];
    tree->soncells[cell].son = s;
    if (father.nbsons > 0) {
        tree->soncells[cell].next = father.firstson;
    } else {
        tree->soncells[cell].next = NO_CELL;
        father.lastson = cell;
    }
    father.firstson = cell;
    father.nbsons += 1;
    tree->nodes[s].father = f;
}

void mergenodes(ctree* tree, int a, int b)
{
    ctreenode& na = tree->nodes[a];
    ctreenode& nb = tree->nodes[b];
    if (nb.nbsons > 0) {
        if (na.nbsons <= 0) {
            na.firstson = nb.firstson;
            na.lastson = nb.lastson;
            na.nbsons = nb.nbsons;
        } else {
            tree->soncells[na.lastson].next = nb.firstson;
            na.lastson = nb.lastson;
            na.nbsons += nb.nbsons;
        }
    }
    nb.nbsons = -1;
}

void ComponentTreeFree(ctree* tree)
{
    if (tree == nullptr) return;
    std::free(tree->nodes);
    std::free(tree->soncells);
    std::free(tree);
}

bool ComponentTree(const std::vector<gen_face>& faces, ctree** out_tree, int** out_CM)
{
    // The rows' values and neighbours in flat arrays, read in row order once:
    // the construction visits the rows in alpha order, all over the table.
    std::vector<double> alpha(faces.size()), area(faces.size());
    std::vector<neighbor_rows> adjacent(faces.size());
    for (std::size_t i = 0; i < faces.size(); ++i) {
        alpha[i] = faces[i].alpha;
        area[i] = faces[i].area;
        adjacent[i] = faces[i].get_neighbors_ind();
    }
    return component_tree_over(alpha, area, [&adjacent](int c) { return adjacent[c]; }, out_tree, out_CM);
}

bool component_tree_over(const std::vector<double>& alpha, const std::vector<double>& area,
                         const std::function<neighbor_rows(int)>& neighbours, ctree** out_tree, int** out_CM)
{
    const int n = static_cast<int>(alpha.size());
    ctree* tree = ComponentTreeAlloc(n);
    if (tree == nullptr) {
        std::fprintf(stderr, "%s : malloc failed\n", "ComponentTreeAlloc");
        std::fprintf(stderr, "%s() : ComponentTreeAlloc failed\n", "ComponentTree");
        return false;
    }
    const std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 1;
    int* CM = static_cast<int*>(std::calloc(count, sizeof(int)));
    if (CM == nullptr) {
        std::fprintf(stderr, "%s() : malloc failed for CM\n", "ComponentTree");
        ComponentTreeFree(tree);
        return false;
    }
    int* SubtreeRoot = static_cast<int*>(std::calloc(count, sizeof(int)));
    if (SubtreeRoot == nullptr) {
        std::fprintf(stderr, "%s() : malloc failed for SubtreeRoot\n", "ComponentTree");
        std::free(CM);
        ComponentTreeFree(tree);
        return false;
    }

    std::vector<int> order;
    sort2(alpha, order, true);

    Tarjan* tree_sets = CreeTarjan(n);
    Tarjan* node_sets = CreeTarjan(n);
    if (tree_sets == nullptr || node_sets == nullptr) {
        std::fprintf(stderr, "%s() : CreeTarjan failed\n", "ComponentTree");
        if (tree_sets) TarjanTermine(tree_sets);
        if (node_sets) TarjanTermine(node_sets);
        std::free(SubtreeRoot);
        std::free(CM);
        ComponentTreeFree(tree);
        return false;
    }

    ctreenode* nodes = tree->nodes;
    for (int i = 0; i < n; ++i) {
        TarjanMakeSet(tree_sets, i);
        TarjanMakeSet(node_sets, i);
        SubtreeRoot[i] = i;
        nodes[i] = {alpha[i], -1, 0, area[i], NO_CELL, NO_CELL};
    }

    for (const int c : order) {
        int curTree = TarjanFind(tree_sets, c);
        int curNode = TarjanFind(node_sets, SubtreeRoot[curTree]);
        const neighbor_rows adjacent = neighbours(c);
        for (int k = 0; k < adjacent.count; ++k) {
            const int g = static_cast<int>(adjacent.row[k]);
            if (!(alpha[g] >= alpha[c])) continue;
            const int adjTree = TarjanFind(tree_sets, g);
            const int adjNode = TarjanFind(node_sets, SubtreeRoot[adjTree]);
            if (adjNode == curNode) continue;
            if (nodes[curNode].level != nodes[adjNode].level) {
                addson(tree, curNode, adjNode);
                nodes[curNode].area += nodes[adjNode].area;
            } else {
                const int r = TarjanLink(node_sets, adjNode, curNode);
                const int other = r == adjNode ? curNode : adjNode;
                const double merged_area = nodes[adjNode].area + nodes[curNode].area;
                mergenodes(tree, r, other);
                nodes[r].area = merged_area;
                curNode = r;
            }
            curTree = TarjanLink(tree_sets, adjTree, curTree);
            SubtreeRoot[curTree] = curNode;
        }
    }

    if (n > 0) tree->root = SubtreeRoot[TarjanFind(tree_sets, TarjanFind(node_sets, 0))];
    for (int p = 0; p < n; ++p) CM[p] = TarjanFind(node_sets, p);
    for (int slot = 0; slot < n; ++slot) {
        if (nodes[slot].nbsons <= 0) continue;
        for (int cell = nodes[slot].firstson; cell != NO_CELL; cell = tree->soncells[cell].next)
            nodes[tree->soncells[cell].son].father = slot;
    }

    TarjanTermine(tree_sets);
    TarjanTermine(node_sets);
    std::free(SubtreeRoot);
    *out_tree = tree;
    *out_CM = CM;
    return true;
}
