// Union-find with union by rank and full path compression.
#include "tree/union_find.h"

namespace orvo::detail {

union_find::union_find(int n) : parent(n > 0 ? static_cast<std::size_t>(n) : 0), rank(parent.size(), 0)
{
    for (int x = 0; x < n; ++x) parent[x] = x;
}

int union_find::find(int x)
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

int union_find::root_of(int x) const
{
    while (parent[x] != x) x = parent[x];
    return x;
}

int union_find::link(int x, int y)
{
    if (rank[x] > rank[y]) {
        parent[y] = x;
        return x;
    }
    if (rank[x] == rank[y]) rank[y] += 1;
    parent[x] = y;
    return y;
}

}  // namespace orvo::detail
