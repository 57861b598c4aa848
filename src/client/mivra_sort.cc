#include "mivra_sort.h"

#include <algorithm>
#include <climits>

namespace {

// Minimum over positions of (rank of the entry there, position): a tournament tree whose leaves
// are the positions; placed positions hold INT_MAX and never win.
class min_tree {
   public:
    explicit min_tree(const std::vector<int> &rank) : size_(1), rank_(rank) {
        while (size_ < int(rank.size())) size_ *= 2;
        win_.assign(size_t(2 * size_), -1);
        for (int i = 0; i < int(rank.size()); i++) win_[size_t(size_ + i)] = i;
        for (int i = size_ - 1; i > 0; i--)
            win_[size_t(i)] = best(win_[size_t(2 * i)], win_[size_t(2 * i + 1)]);
    }
    int top() const { return win_[1]; }
    void set(int pos, int rank) {
        rank_[size_t(pos)] = rank;
        for (int i = (size_ + pos) / 2; i > 0; i /= 2)
            win_[size_t(i)] = best(win_[size_t(2 * i)], win_[size_t(2 * i + 1)]);
    }

   private:
    int best(int a, int b) const {
        if (a < 0) return b;
        if (b < 0) return a;
        // Equal ranks: the lower position, as the sort's scan finds it first.
        if (rank_[size_t(a)] != rank_[size_t(b)])
            return rank_[size_t(a)] < rank_[size_t(b)] ? a : b;
        return a < b ? a : b;
    }
    int size_;
    std::vector<int> rank_;  // rank of the entry at each position
    std::vector<int> win_;
};

}  // namespace

std::vector<int> mivra_selection_order(int n, const std::function<int(int, int)> &cmp) {
    std::vector<int> order(size_t(std::max(n, 0)));
    if (n <= 0) return order;
    // Ranks: equal keys share one, so only the key order and the positions decide.
    std::vector<int> by_key(order.size());
    for (int i = 0; i < n; i++) by_key[size_t(i)] = i;
    std::stable_sort(by_key.begin(), by_key.end(), [&](int a, int b) { return cmp(a, b) < 0; });
    std::vector<int> rank(order.size());
    int r = 0;
    for (int i = 0; i < n; i++) {
        if (i > 0 && cmp(by_key[size_t(i - 1)], by_key[size_t(i)]) != 0) r++;
        rank[size_t(by_key[size_t(i)])] = r;
    }
    // Simulate the swaps: order[p] is the entry at position p.
    for (int i = 0; i < n; i++) order[size_t(i)] = i;
    std::vector<int> at_rank = rank;
    min_tree tree(at_rank);
    for (int i = 0; i < n; i++) {
        int j = tree.top();
        std::swap(order[size_t(i)], order[size_t(j)]);
        tree.set(i, INT_MAX);  // placed
        if (j != i) tree.set(j, rank[size_t(order[size_t(j)])]);
    }
    return order;
}
