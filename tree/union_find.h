// Union-find over the integers 0 .. n-1: union by rank, full path
// compression; on equal ranks the second argument of link becomes the root.
// Indices are not checked. The queries are defined here, where the
// component tree's joining, which makes millions of them, can inline them.
#pragma once

#include <cstdint>
#include <vector>

namespace orvo::detail {

struct union_find {
    std::vector<int> parent;  // x is a root when parent[x] == x
    // An upper bound on the height under a root: a root of rank k holds at
    // least 2^k elements, so a byte holds it.
    std::vector<std::uint8_t> rank;

    // Every element starts as its own singleton.
    explicit union_find(int n);

    // The root of x's set; every element on the way is made a child of it.
    int find(int x)
    {
        int root = x;
        while (parent[root] != root) root = parent[root];
        while (parent[x] != root) {
            const int next = parent[x];
            parent[x] = root;
            x = next;
        }
        return root;
    }

    // The root of x's set, the forest left as it is (for readers on
    // several threads).
    int root_of(int x) const
    {
        while (parent[x] != x) x = parent[x];
        return x;
    }

    // x and y must be two different roots; returns the new root.
    int link(int x, int y)
    {
        if (rank[x] > rank[y]) {
            parent[y] = x;
            return x;
        }
        if (rank[x] == rank[y]) rank[y] += 1;
        parent[x] = y;
        return y;
    }
};

}  // namespace orvo::detail
