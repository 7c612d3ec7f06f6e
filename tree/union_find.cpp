// Union-find with union by rank and full path compression: the forest's
// making (its queries are inline in the header).
#include "tree/union_find.h"

namespace orvo::detail {

union_find::union_find(int n) : parent(n > 0 ? static_cast<std::size_t>(n) : 0), rank(parent.size(), 0)
{
    for (int x = 0; x < n; ++x) parent[x] = x;
}

}  // namespace orvo::detail
