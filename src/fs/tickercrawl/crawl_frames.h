// Frames held by open frame files: one bound on their bytes together, and rendered images that
// the opens showing the same crawl state share.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// The bytes of the frames held by open files. An open that would pass the bound is refused; so is
// one that would give one client (a process) more than three quarters of it, so that a client
// which leaks its files never locks the others out. Each change between refusing and having room
// again is logged once.
class crawl_frame_budget {
   public:
    explicit crawl_frame_budget(int64_t bound);
    // Takes size bytes for client: 0, or -12 when they would pass the bound or the client's
    // share. what names the crawl in the log.
    int take(int64_t size, uint64_t client, const char *what);
    void give_back(int64_t size, uint64_t client);
    int64_t held();
    int64_t bound() const { return bound_; }

   private:
    // What the refused open asked, and whether it would pass now; under mu_.
    bool refused_fits() const;
    std::mutex mu_;
    const int64_t bound_, share_;
    int64_t held_ = 0;
    std::unordered_map<uint64_t, int64_t> by_client_;
    bool full_ = false;
    int64_t refused_size_ = 0;
    uint64_t refused_client_ = 0;
};

// One rendered BMP, shared by the open files that show it and freed with the last of them; its
// bytes count against the budget they were taken from until then.
struct crawl_image {
    std::vector<uint8_t> bmp;
    std::shared_ptr<crawl_frame_budget> budget;  // null when taken from none
    int64_t charged = 0;
    uint64_t client = 0;
    crawl_image() = default;
    crawl_image(const crawl_image &) = delete;
    crawl_image &operator=(const crawl_image &) = delete;
    ~crawl_image() {
        if (budget) budget->give_back(charged, client);
    }
};
