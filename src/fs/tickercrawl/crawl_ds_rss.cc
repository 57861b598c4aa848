// RSS pointer files: the first line names a feed whose item titles become the lines.
#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>
#include <libxml/xmlreader.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "crawl_ds.h"
#include "file.h"
#include "log.h"

namespace {

const char *const kSrc = "datasource_rss";
const char *const kFn = "async_reader";

// Only the web is fetched: a data file must not make the file system, running as root, read
// local files (file://) or send bytes to local services (gopher://, dict://, telnet://).
const char *const kProtocols = "http,https";
constexpr long kConnectTimeoutMs = 5000;
constexpr long kTotalTimeoutMs = 30000;
// A feed that failed or had no title is tried again after this pause, not at every frame.
constexpr std::chrono::milliseconds kRetryPause(10000);

struct curl_deleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct reader_deleter {
    void operator()(xmlTextReader *r) const { xmlFreeTextReader(r); }
};
struct xml_text_deleter {
    void operator()(xmlChar *t) const { xmlFree(t); }
};

// The downloaded copy, bounded in size.
struct download {
    int fd = -1;
    long size = 0;
    bool too_large = false;
    bool write_failed = false;
};

size_t write_block(char *data, size_t size, size_t n, void *p) {
    auto *d = static_cast<download *>(p);
    size_t len = size * n;
    if (long(len) > TICKER_CRAWL_SOURCE_BYTES - d->size) {
        d->too_large = true;
        return 0;  // ends the transfer
    }
    for (size_t done = 0; done < len;) {
        ssize_t w = write(d->fd, data + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            d->write_failed = true;
            return 0;
        }
        done += size_t(w);
    }
    d->size += long(len);
    return len;
}

bool named(const xmlChar *name, const char *want) {
    return name && strcmp(reinterpret_cast<const char *>(name), want) == 0;
}

std::string feed_url(const std::string &path) {
    unique_file f;
    if (crawl_open_regular(path.c_str(), f) < 0) {
        log_msg(LOG_ERROR, "%s:%s:%d failed to open file [%s]", kSrc, kFn, 177, path.c_str());
        return {};
    }
    char buf[4096];
    if (!fgets(buf, sizeof buf, f.get())) return {};
    buf[strcspn(buf, "\n\r\t ")] = 0;
    return buf;
}

// Titles of every channel/item/title under the root <rss>, in document order. The document is
// streamed rather than built as a tree, and reading stops once the read is full.
void titles(int fd, const char *file, crawl_line_sink &sink) {
    // No network for DTDs, and no parser messages on standard error with pieces of the document.
    std::unique_ptr<xmlTextReader, reader_deleter> r(xmlReaderForFd(
        fd, nullptr, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!r) {
        log_msg(LOG_ERROR, "%s:%s:%d xmlReadFile(%s) failed", kSrc, kFn, 121, file);
        return;
    }
    bool in_channel = false, in_item = false;
    int rc;
    while ((rc = xmlTextReaderRead(r.get())) == 1) {
        if (xmlTextReaderNodeType(r.get()) != XML_READER_TYPE_ELEMENT) continue;
        const xmlChar *name = xmlTextReaderConstLocalName(r.get());
        switch (xmlTextReaderDepth(r.get())) {
            case 0:
                if (!named(name, "rss")) {
                    log_msg(LOG_ERROR, "%s:%s:%d <rss> not found [%s]", kSrc, kFn, 129,
                            name ? reinterpret_cast<const char *>(name) : "");
                    return;
                }
                break;
            case 1:
                in_channel = named(name, "channel");
                break;
            case 2:
                in_item = in_channel && named(name, "item");
                break;
            case 3: {
                if (!in_item || !named(name, "title")) break;
                xmlNode *t = xmlTextReaderExpand(r.get());
                if (!t) break;
                std::unique_ptr<xmlChar, xml_text_deleter> text(xmlNodeGetContent(t));
                // A title without text would only add an empty gap to the crawl.
                if (text && !sink.add(reinterpret_cast<const char *>(text.get()))) return;
                break;
            }
        }
    }
    if (rc < 0) {
        // A broken document gives nothing, as a whole-document parse would.
        log_msg(LOG_ERROR, "%s:%s:%d xmlReadFile(%s) failed", kSrc, kFn, 121, file);
        sink.lines.clear();
    }
}

// Downloads url into fd: true on success, else the failure is logged.
bool fetch_feed(const std::string &url, download &d, const std::string &file) {
    std::unique_ptr<CURL, curl_deleter> curl(curl_easy_init());
    char err[CURL_ERROR_SIZE] = "";
    CURLcode rc = CURLE_FAILED_INIT;
    if (curl) {
        CURL *c = curl.get();
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, kProtocols);
        // Redirects stay unfollowed; should that change, they keep to the same schemes.
        curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
        // An error page is no feed.
        curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(TICKER_CRAWL_SOURCE_BYTES));
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
        // Time-outs by signal are unsafe beside other threads.
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_block);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &d);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, err);
        rc = curl_easy_perform(c);
    }
    if (rc == CURLE_OK) return true;
    log_msg(LOG_ERROR, "%s:%s:%d FAILED downloading url=[%s] to file=[%s]", kSrc, kFn, 108,
            url.c_str(), file.c_str());
    if (d.too_large || rc == CURLE_FILESIZE_EXCEEDED)
        log_msg(LOG_ERROR, "%s:%s:%d feed larger than %ld bytes", kSrc, kFn, 109,
                TICKER_CRAWL_SOURCE_BYTES);
    else
        log_msg(LOG_ERROR, "%s:%s:%d curl_error_msg={%s}", kSrc, kFn, 109,
                err[0] ? err : curl_easy_strerror(rc));
    return false;
}

crawl_lines rss_fetch(const std::string &path) {
    log_msg(LOG_INFO, "%s:%s:%d starting", kSrc, kFn, 54);
    crawl_line_sink sink(kSrc);
    std::string url = feed_url(path);
    if (url.empty()) return {};

    // The name goes as soon as the file exists: the copy is removed on every path, also when the
    // program ends while a download still runs. mkstemp: nobody can put a link in its place.
    std::string file = "/tmp/datasource_rss-XXXXXX";
    unique_fd fd(mkstemp(file.data()));
    if (!fd) {
        log_msg(LOG_ERROR, "%s:%s:%d failed to create file=[%s]", kSrc, kFn, 84, file.c_str());
        return {};
    }
    unlink(file.c_str());
    log_msg(LOG_INFO, "%s:%s:%d downloading url=[%s] to file=[%s]", kSrc, kFn, 91, url.c_str(),
            file.c_str());
    download d;
    d.fd = fd.get();
    if (!fetch_feed(url, d, file)) return {};
    log_msg(LOG_INFO, "%s:%s:%d downloaded url=[%s] to file=[%s]", kSrc, kFn, 116, url.c_str(),
            file.c_str());
    if (lseek(fd.get(), 0, SEEK_SET) == 0) titles(fd.get(), file.c_str(), sink);
    log_msg(LOG_INFO, "%s:%s:%d reading file finished: %d lines", kSrc, kFn, 174,
            int(sink.lines.size()));
    return std::move(sink.lines);
}

int rss_probe(const char *path) {
    return crawl_name_has_ext(path, ".rss") ? 0 : -2;
}
int rss_create(const char *path, void **inst) {
    return crawl_async_create(path, inst, rss_fetch, kRetryPause);
}

int rss_global_init() {
    curl_global_init(CURL_GLOBAL_ALL);
    xmlCheckVersion(20914);
    return 0;
}

void rss_global_cleanup() {
    xmlCleanupParser();
    xmlMemoryDump();
    curl_global_cleanup();
}

}  // namespace

const ticker_crawl_datasource crawl_ds_rss = {
    "RSS datasource for crawl", rss_probe,       rss_create,         crawl_async_destroy,
    crawl_async_read,           rss_global_init, rss_global_cleanup,
};
