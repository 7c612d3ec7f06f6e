// Union-find with union by rank and full path compression.
#include "tree/union_find.h"

#include <cstdio>
#include <cstdlib>

Tarjan* CreeTarjan(int n)
{
    Tarjan* T = static_cast<Tarjan*>(std::calloc(1, sizeof(Tarjan)));
    if (T == nullptr) {
        std::fprintf(stderr, "%s : malloc failed for T\n", "CreeTarjan");
        return nullptr;
    }
    T->Size = n;
    const std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 1;
    T->Fth = static_cast<int*>(std::calloc(count, sizeof(int)));
    if (T->Fth == nullptr) {
        std::fprintf(stderr, "%s : malloc failed for T->Fth\n", "CreeTarjan");
        std::free(T);
        return nullptr;
    }
    T->Rank = static_cast<int*>(std::calloc(count, sizeof(int)));
    if (T->Rank == nullptr) {
        std::fprintf(stderr, "%s : malloc failed for T->Rank\n", "CreeTarjan");
        std::free(T->Fth);
        std::free(T);
        return nullptr;
    }
    return T;
}

void TarjanTermine(Tarjan* T)
{
    std::free(T->Fth);
    std::free(T->Rank);
    std::free(T);
}

void TarjanMakeSet(Tarjan* T, int x)
{
    T->Fth[x] = x;
    T->Rank[x] = 0;
}

int TarjanFind(Tarjan* T, int x)
{
    if (T->Fth[x] != x) T->Fth[x] = TarjanFind(T, T->Fth[x]);
    return T->Fth[x];
}

int TarjanLink(Tarjan* T, int x, int y)
{
    if (T->Rank[x] > T->Rank[y]) {
        T->Fth[y] = x;
        return x;
    }
    if (T->Rank[x] == T->Rank[y]) T->Rank[y] += 1;
    T->Fth[x] = y;
    return y;
}
