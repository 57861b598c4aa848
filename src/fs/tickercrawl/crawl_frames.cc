// The bound on the frames held by open files.
#include "crawl_frames.h"

#include "log.h"

namespace {
const char *const kFn = "ticker_crawl_frames";
constexpr int64_t kMiB = 1 << 20;
}  // namespace

crawl_frame_budget::crawl_frame_budget(int64_t bound) : bound_(bound), share_(bound - bound / 4) {}

bool crawl_frame_budget::refused_fits() const {
    auto it = by_client_.find(refused_client_);
    int64_t mine = it == by_client_.end() ? 0 : it->second;
    return held_ + refused_size_ <= bound_ && mine + refused_size_ <= share_;
}

int crawl_frame_budget::take(int64_t size, uint64_t client, const char *what) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = by_client_.find(client);
    int64_t mine = it == by_client_.end() ? 0 : it->second;
    bool over_all = held_ + size > bound_, over_share = mine + size > share_;
    if (over_all || over_share) {
        // Once per filling, not once per refused open: a leaking client asks at every frame.
        if (!full_)
            log_msg(LOG_ERROR,
                    "%s: frames held by open files would pass %s (%lld bytes held, %lld by client "
                    "%llu, %lld more asked for [%s]), new frames refused",
                    kFn, over_all ? "the bound" : "the share of one client",
                    static_cast<long long>(held_), static_cast<long long>(mine),
                    static_cast<unsigned long long>(client), static_cast<long long>(size), what);
        full_ = true;
        refused_size_ = size;
        refused_client_ = client;
        return -12;
    }
    by_client_[client] = mine + size;
    held_ += size;
    return 0;
}

void crawl_frame_budget::give_back(int64_t size, uint64_t client) {
    std::lock_guard<std::mutex> lk(mu_);
    held_ -= size;
    auto it = by_client_.find(client);
    if (it != by_client_.end() && (it->second -= size) <= 0) by_client_.erase(it);
    // Room again once the open that was refused would pass: a release by another client that
    // leaves the refused one over its share changes nothing.
    if (full_ && refused_fits()) {
        log_msg(LOG_INFO, "%s: frames held by open files have room again (%lld of %lld MiB held)",
                kFn, static_cast<long long>(held_ / kMiB), static_cast<long long>(bound_ / kMiB));
        full_ = false;
    }
}

int64_t crawl_frame_budget::held() {
    std::lock_guard<std::mutex> lk(mu_);
    return held_;
}
