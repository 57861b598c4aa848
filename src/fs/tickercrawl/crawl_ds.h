// Data sources of the ticker crawl: a data file's kind, chosen by its name, gives text lines that
// a reader thread fetches in the background, so no FUSE call waits for a file or a download.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "file.h"

// Lines handed over by one read; the caller owns them.
using crawl_lines = std::vector<std::string>;

// One kind of source; the registry walks a table of these.
struct ticker_crawl_datasource {
    const char *name;
    int (*probe)(const char *path);                // 0 when the kind takes the file, else -2
    int (*create)(const char *path, void **inst);  // 0, -22 without a place, -12
    int (*destroy)(void **inst);                   // 0, -22 without an instance
    int (*read)(void *inst, crawl_lines &lines);   // count, -11 started, -16 busy, -2 none
    int (*global_init)();
    void (*global_cleanup)();
};

// The kinds in the order they are tried; the first whose probe and create succeed wins.
constexpr int TICKER_CRAWL_DATASOURCES = 3;
extern const ticker_crawl_datasource *const ticker_crawl_datasources[TICKER_CRAWL_DATASOURCES];

// A crawl context's source.
struct ticker_crawl_ds_binding {
    void *instance = nullptr;
    const ticker_crawl_datasource *ds = nullptr;
};

// Binds the data file to the first kind that takes it: 0, or -2 when none does.
int ticker_crawl_datasource_init(ticker_crawl_ds_binding *b, const char *path);
// Destroys the bound instance, if any, and clears the binding.
void ticker_crawl_datasource_release(ticker_crawl_ds_binding *b);
// Reads from the bound source; -22 when nothing is bound.
int ticker_crawl_datasource_read(ticker_crawl_ds_binding *b, crawl_lines &lines);

// Once per process around the pool's life (FUSE init and destroy).
int ticker_crawl_datasource_global_init();
// Waits up to wait_ms for reader threads still running (a destroyed source may leave one
// behind); when one still runs the library clean-ups are skipped, as it may still be using
// them, and -16 is returned.
constexpr int TICKER_CRAWL_READERS_WAIT_MS = 3000;
int ticker_crawl_datasource_global_cleanup(int wait_ms = TICKER_CRAWL_READERS_WAIT_MS);
// Reader threads that have not finished.
int ticker_crawl_datasource_readers();

// The crawl lays out every line of a read in the frame open that collects it: a read hands over
// at most this many lines and bytes of text, and a line is at most a text field long.
constexpr int TICKER_CRAWL_READ_LINES = 1000;
constexpr size_t TICKER_CRAWL_READ_BYTES = 64 * 1024;
constexpr size_t TICKER_CRAWL_LINE_BYTES = 4095;
// A data file or a feed is read up to this size at most.
constexpr long TICKER_CRAWL_SOURCE_BYTES = 16L << 20;

// The lines of one read: CR, LF and TAB shown as blanks, trimmed, empty ones skipped, cut at the
// bounds above (logged once per read).
class crawl_line_sink {
   public:
    explicit crawl_line_sink(const char *src) : src_(src) {}
    // False once the read is full: the caller stops reading.
    bool add(std::string_view text);
    bool full() const { return full_; }
    crawl_lines lines;

   private:
    const char *src_;
    size_t bytes_ = 0;
    bool full_ = false;
};

// Opens a data or preset file for reading only when it is a regular file, so that a FIFO or a
// device never blocks the caller: 0, minus errno, or -22 for a file of another kind.
int crawl_open_regular(const char *path, unique_file &f);

// The read protocol both kinds share; fetch runs on the reader thread and returns the lines.
// After a read that gave no line the source answers -2 for retry_pause before it tries again.
using crawl_fetch_fn = crawl_lines (*)(const std::string &path);
int crawl_async_create(const char *path, void **inst, crawl_fetch_fn fetch,
                       std::chrono::milliseconds retry_pause = std::chrono::milliseconds(0));
int crawl_async_destroy(void **inst);
int crawl_async_read(void *inst, crawl_lines &lines);
// True when the path's name ends in ext, in any case.
bool crawl_name_has_ext(const char *path, const char *ext);

extern const ticker_crawl_datasource crawl_ds_txtfile;
extern const ticker_crawl_datasource crawl_ds_rss;
