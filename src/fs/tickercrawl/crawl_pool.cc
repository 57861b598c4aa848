// The pool of crawl contexts, keyed by frame-file path, with its expiry monitor.
#include <chrono>
#include <new>

#include "crawl_engine.h"
#include "log.h"

namespace {

void monitor(ticker_crawl_pool *pool) {
    const char *fn = "ticker_crawl_pool_monitor";
    log_msg(LOG_INFO, "%s starting", fn);
    std::unique_lock<std::recursive_mutex> lk(pool->mu);
    while (!pool->stop) {
        lk.unlock();
        ticker_crawl_pool_expire(pool, time(nullptr));
        lk.lock();
        pool->wake.wait_for(lk, std::chrono::milliseconds(100), [pool] { return pool->stop != 0; });
    }
    log_msg(LOG_INFO, "%s finishing", fn);
}

}  // namespace

ticker_crawl_pool *ticker_crawl_pool_create() {
    auto *pool = new (std::nothrow) ticker_crawl_pool;
    if (!pool) return nullptr;
    try {
        pool->monitor = std::thread(monitor, pool);
    } catch (...) {
        delete pool;
        return nullptr;
    }
    return pool;
}

void ticker_crawl_pool_destroy(ticker_crawl_pool *pool) {
    if (!pool) return;
    {
        std::lock_guard<std::recursive_mutex> lk(pool->mu);
        pool->stop = 1;
        pool->wake.notify_all();
    }
    if (pool->monitor.joinable()) pool->monitor.join();
    for (ticker_crawl_pool::slot &s : pool->slots) {
        ticker_crawl_context_destroy(s.ctx);
        s = {};
    }
    delete pool;
}

int ticker_crawl_pool_fetch(ticker_crawl_pool *pool, const char *presets, const char *datas,
                            const char *p, const char *d, const char *n,
                            ticker_crawl_context **out) {
    std::string key = std::string(p) + "/" + d + "/" + n;
    std::lock_guard<std::recursive_mutex> lk(pool->mu);
    ticker_crawl_pool::slot *free_slot = nullptr;
    for (ticker_crawl_pool::slot &s : pool->slots) {
        if (s.key == key) {
            s.last_use = time(nullptr);
            s.users++;
            *out = s.ctx;
            return 0;
        }
        if (s.key.empty()) free_slot = &s;  // the last free one wins
    }
    if (!free_slot) {
        // Once per filling, not once per refused name: a busy client asks at every frame.
        if (!pool->full)
            log_msg(LOG_ERROR, "%s: all %d crawl contexts in use, new ones refused (first [%s])",
                    "ticker_crawl_pool_fetch", TICKER_CRAWL_POOL_SLOTS, key.c_str());
        pool->full = true;
        return -12;
    }
    ticker_crawl_context *ctx = nullptr;
    int r = ticker_crawl_context_create(presets, datas, p, d, &ctx);
    log_msg(LOG_INFO, "%s: ticker_crawl_context_create(%s)=%d", "ticker_crawl_pool_fetch",
            key.c_str(), r);
    if (r < 0) return r;
    free_slot->key = std::move(key);
    free_slot->ctx = ctx;
    free_slot->last_use = time(nullptr);
    free_slot->users = 1;
    *out = ctx;
    return 0;
}

void ticker_crawl_pool_put(ticker_crawl_pool *pool, ticker_crawl_context *ctx) {
    std::lock_guard<std::recursive_mutex> lk(pool->mu);
    for (ticker_crawl_pool::slot &s : pool->slots) {
        if (s.ctx == ctx && !s.key.empty()) {
            if (s.users > 0) s.users--;
            s.last_use = time(nullptr);
            return;
        }
    }
}

int ticker_crawl_pool_expire(ticker_crawl_pool *pool, time_t now) {
    std::lock_guard<std::recursive_mutex> lk(pool->mu);
    int freed = 0;
    for (ticker_crawl_pool::slot &s : pool->slots) {
        if (s.key.empty() || s.users > 0 || s.last_use + TICKER_CRAWL_EXPIRY_S >= now) continue;
        log_msg(LOG_INFO, "%s freeing item [%s]", "ticker_crawl_pool_monitor", s.key.c_str());
        ticker_crawl_context_destroy(s.ctx);
        s = {};
        freed++;
    }
    if (freed && pool->full) {
        log_msg(LOG_INFO, "%s: crawl contexts free again", "ticker_crawl_pool_monitor");
        pool->full = false;
    }
    return freed;
}
