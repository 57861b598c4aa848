// The order of the listings (directories, library items, schedule items): the order a
// selection sort gives, computed without its quadratic cost.
#pragma once

#include <functional>
#include <utility>
#include <vector>

// Permutation that a selection sort with swaps produces: for each position in turn the first
// entry (lowest current position) with the least key among those not yet placed is swapped into
// it. cmp(a, b) < 0 when entry a's key comes before entry b's, 0 when they are equal. Such a
// sort is not stable and readers of the listings see its exact order, so that order is kept:
// out[i] is the index of the entry that ends at position i. O(n log n).
std::vector<int> mivra_selection_order(int n, const std::function<int(int, int)> &cmp);

// Reorders v as a selection sort with the three-way comparison cmp(const T &, const T &) does.
template <class T, class C>
void mivra_selection_sort(std::vector<T> &v, C cmp) {
    std::vector<int> order = mivra_selection_order(
        int(v.size()), [&](int a, int b) { return cmp(v[size_t(a)], v[size_t(b)]); });
    std::vector<T> out;
    out.reserve(v.size());
    for (int i : order) out.push_back(std::move(v[size_t(i)]));
    v = std::move(out);
}
