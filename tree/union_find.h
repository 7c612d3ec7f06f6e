// Union-find over the integers 0 .. n-1: union by rank, full path
// compression; on equal ranks the second argument of TarjanLink becomes the
// root. Indices are not checked.
#pragma once

struct Tarjan {
    int Size;
    int* Fth;   // father of each element; x is a root when Fth[x] == x
    int* Rank;  // upper bound on the height under a root
};

// Both arrays zero-filled: every element must be made a singleton with
// TarjanMakeSet before use. Null (after a message on standard error) when an
// allocation fails.
Tarjan* CreeTarjan(int n);
void TarjanTermine(Tarjan* T);
void TarjanMakeSet(Tarjan* T, int x);
int TarjanFind(Tarjan* T, int x);
// x and y must be two different roots; returns the new root.
int TarjanLink(Tarjan* T, int x, int y);
