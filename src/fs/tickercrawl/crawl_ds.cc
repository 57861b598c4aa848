#include "crawl_ds.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "file.h"
#include "log.h"
#include "text.h"

namespace {

// Reader threads not yet finished, so that the global clean-up can wait for them.
std::mutex g_readers_mu;
std::condition_variable g_readers_cv;
int g_readers = 0;

void readers_add(int n) {
    std::lock_guard<std::mutex> lk(g_readers_mu);
    g_readers += n;
    if (g_readers == 0) g_readers_cv.notify_all();
}

using steady = std::chrono::steady_clock;

// State shared by an instance and its reader thread: an instance destroyed while its reader
// runs leaves this behind, and the reader's result goes here rather than into freed memory.
struct async_result {
    std::recursive_mutex mu;
    int state = 0;  // 0 idle, 1 reading, 2 result ready
    crawl_lines lines;
    steady::time_point retry_at{};  // after a read without lines, no new one before this
};

struct async_instance {
    text4k path;
    crawl_fetch_fn fetch = nullptr;
    std::chrono::milliseconds retry_pause{0};
    std::shared_ptr<async_result> r;
    std::thread reader;
};

void async_reader(std::shared_ptr<async_result> r, std::string path, crawl_fetch_fn fetch,
                  std::chrono::milliseconds retry_pause) {
    crawl_lines lines;
    try {
        lines = fetch(path);
    } catch (...) {
        lines.clear();  // out of memory: a result with no lines, tried again later
    }
    {
        std::lock_guard<std::recursive_mutex> lk(r->mu);
        if (lines.empty()) r->retry_at = steady::now() + retry_pause;
        r->lines = std::move(lines);
        r->state = 2;
    }
    readers_add(-1);
}

int never(const char *) {
    return -2;
}

const ticker_crawl_datasource crawl_ds_dirstream = {
    "Directory streaming texts", never, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Text files: every line that is not empty, TABs shown as blanks.
crawl_lines txt_fetch(const std::string &path) {
    static const char *src = "datasource_txtfile", *fn = "async_reader";
    log_msg(LOG_INFO, "%s:%s:%d starting", src, fn, 35);
    crawl_line_sink sink(src);
    unique_file f;
    if (crawl_open_regular(path.c_str(), f) < 0) {
        log_msg(LOG_ERROR, "%s:%s:%d failed to open file [%s]", src, fn, 72, path.c_str());
        return {};
    }
    char buf[4096];
    long taken = 0;
    while (taken < TICKER_CRAWL_SOURCE_BYTES && fgets(buf, sizeof buf, f.get())) {
        taken += long(strlen(buf));
        buf[strcspn(buf, "\n")] = 0;
        buf[strcspn(buf, "\r")] = 0;
        if (!sink.add(buf)) break;
    }
    f.reset();
    log_msg(LOG_INFO, "%s:%s:%d reading file finished: %d lines", src, fn, 69,
            int(sink.lines.size()));
    return std::move(sink.lines);
}

int txt_probe(const char *path) {
    return crawl_name_has_ext(path, ".txt") ? 0 : -2;
}
int txt_create(const char *path, void **inst) {
    return crawl_async_create(path, inst, txt_fetch);
}

}  // namespace

const ticker_crawl_datasource crawl_ds_txtfile = {
    "simple text file datasourcer",
    txt_probe,
    txt_create,
    crawl_async_destroy,
    crawl_async_read,
    nullptr,
    nullptr,
};

const ticker_crawl_datasource *const ticker_crawl_datasources[TICKER_CRAWL_DATASOURCES] = {
    &crawl_ds_txtfile,
    &crawl_ds_rss,
    &crawl_ds_dirstream,
};

bool crawl_line_sink::add(std::string_view text) {
    if (full_) return false;
    text = trim_blank(text);
    std::string line(text.substr(0, TICKER_CRAWL_LINE_BYTES + 1));
    for (char &c : line)
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    if (line.size() > TICKER_CRAWL_LINE_BYTES) {
        // Never cut inside a UTF-8 sequence: Pango would show the stray bytes as boxes.
        size_t cut = TICKER_CRAWL_LINE_BYTES;
        while (cut > 0 && (uint8_t(line[cut]) & 0xC0) == 0x80) cut--;
        line.resize(trim_blank(std::string_view(line).substr(0, cut)).size());
    }
    if (line.empty()) return true;
    if (int(lines.size()) >= TICKER_CRAWL_READ_LINES ||
        bytes_ + line.size() > TICKER_CRAWL_READ_BYTES) {
        full_ = true;
        log_msg(LOG_ERROR, "%s: read cut at %d lines (%zu bytes), the rest is left out", src_,
                int(lines.size()), bytes_);
        return false;
    }
    bytes_ += line.size();
    lines.push_back(std::move(line));
    return true;
}

int crawl_open_regular(const char *path, unique_file &f) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return -errno;
    struct stat st;
    if (fstat(fd.get(), &st) < 0) return -errno;
    if (!S_ISREG(st.st_mode)) {
        log_msg(LOG_ERROR, "%s: [%s] is not a regular file", "crawl_open_regular", path);
        return -EINVAL;
    }
    // Regular files ignore O_NONBLOCK; the stream reads as from fopen.
    f.reset(fdopen(fd.get(), "r"));
    if (!f) return -errno;
    fd.release();
    return 0;
}

bool crawl_name_has_ext(const char *path, const char *ext) {
    size_t n = strlen(path), e = strlen(ext);
    return n >= e && strcasecmp(path + n - e, ext) == 0;
}

int crawl_async_create(const char *path, void **inst, crawl_fetch_fn fetch,
                       std::chrono::milliseconds retry_pause) {
    if (!inst) return -22;
    auto *a = new (std::nothrow) async_instance;
    if (!a) return -12;
    try {
        a->r = std::make_shared<async_result>();
    } catch (...) {
        delete a;
        return -12;
    }
    a->path = path;
    a->fetch = fetch;
    a->retry_pause = retry_pause;
    *inst = a;
    return 0;
}

int crawl_async_destroy(void **inst) {
    if (!inst || !*inst) return -22;
    auto *a = static_cast<async_instance *>(*inst);
    {
        std::lock_guard<std::recursive_mutex> lk(a->r->mu);
        if (a->r->state == 2) {
            if (a->reader.joinable()) a->reader.join();
            a->r->lines.clear();
        } else if (a->reader.joinable()) {
            // Still reading (a download takes up to its time-out): the thread keeps its share
            // of the result and ends on its own.
            a->reader.detach();
        }
    }
    delete a;
    *inst = nullptr;
    return 0;
}

int crawl_async_read(void *inst, crawl_lines &lines) {
    if (!inst) return -22;
    auto *a = static_cast<async_instance *>(inst);
    std::lock_guard<std::recursive_mutex> lk(a->r->mu);
    switch (a->r->state) {
        case 0:
            // A failed or empty source is not asked again at every frame.
            if (steady::now() < a->r->retry_at) return -2;
            readers_add(1);
            try {
                a->reader =
                    std::thread(async_reader, a->r, a->path.str(), a->fetch, a->retry_pause);
            } catch (...) {
                readers_add(-1);
                return -12;
            }
            a->r->state = 1;
            return -11;
        case 1:
            return -16;
        case 2: {
            // The reader set the state as its last use of the result; it is ending.
            if (a->reader.joinable()) a->reader.join();
            lines = std::move(a->r->lines);
            a->r->lines.clear();
            a->r->state = 0;
            return lines.empty() ? -2 : int(lines.size());
        }
        default:
            return -22;
    }
}

int ticker_crawl_datasource_init(ticker_crawl_ds_binding *b, const char *path) {
    for (const ticker_crawl_datasource *ds : ticker_crawl_datasources) {
        if (!ds->probe || ds->probe(path) != 0 || !ds->create) continue;
        void *inst = nullptr;
        if (ds->create(path, &inst) == 0) {
            b->instance = inst;
            b->ds = ds;
            return 0;
        }
    }
    log_msg(LOG_ERROR, "%s: none of ds are compatible", "ticker_crawl_datasource_init");
    return -2;
}

void ticker_crawl_datasource_release(ticker_crawl_ds_binding *b) {
    if (b->ds && b->ds->destroy && b->instance) b->ds->destroy(&b->instance);
    b->instance = nullptr;
    b->ds = nullptr;
}

int ticker_crawl_datasource_read(ticker_crawl_ds_binding *b, crawl_lines &lines) {
    if (!b->ds || !b->ds->read || !b->instance) return -22;
    return b->ds->read(b->instance, lines);
}

int ticker_crawl_datasource_global_init() {
    for (const ticker_crawl_datasource *ds : ticker_crawl_datasources)
        if (ds->global_init) ds->global_init();
    return 0;
}

int ticker_crawl_datasource_global_cleanup(int wait_ms) {
    {
        std::unique_lock<std::mutex> lk(g_readers_mu);
        if (!g_readers_cv.wait_for(lk, std::chrono::milliseconds(wait_ms),
                                   [] { return g_readers == 0; })) {
            log_msg(LOG_ERROR, "%s: %d readers still running, clean-up skipped",
                    "ticker_crawl_datasource_global_cleanup", g_readers);
            return -16;
        }
    }
    for (const ticker_crawl_datasource *ds : ticker_crawl_datasources)
        if (ds->global_cleanup) ds->global_cleanup();
    return 0;
}

int ticker_crawl_datasource_readers() {
    std::lock_guard<std::mutex> lk(g_readers_mu);
    return g_readers;
}
