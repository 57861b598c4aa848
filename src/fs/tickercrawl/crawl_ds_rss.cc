// RSS pointer files: the first line names a feed whose item titles become the lines.
#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "crawl_ds.h"
#include "file.h"
#include "log.h"

namespace {

const char *const kSrc = "datasource_rss";
const char *const kFn = "async_reader";

struct curl_deleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct doc_deleter {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};
struct xml_text_deleter {
    void operator()(xmlChar *t) const { xmlFree(t); }
};

// Removes the downloaded copy whatever way the read ends.
struct temp_file {
    std::string path;
    ~temp_file() {
        if (!path.empty()) unlink(path.c_str());
    }
};

size_t write_block(char *data, size_t size, size_t n, void *f) {
    return fwrite(data, size, n, static_cast<FILE *>(f)) * size;
}

bool named(const xmlNode *n, const char *name) {
    return n->type == XML_ELEMENT_NODE &&
           strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}

std::string feed_url(const std::string &path) {
    unique_file f(fopen(path.c_str(), "rt"));
    if (!f) {
        log_msg(LOG_ERROR, "%s:%s:%d failed to open file [%s]", kSrc, kFn, 177, path.c_str());
        return {};
    }
    char buf[4096];
    if (!fgets(buf, sizeof buf, f.get())) return {};
    buf[strcspn(buf, "\n\r\t ")] = 0;
    return buf;
}

// Titles of every channel/item/title under the root <rss>, in document order.
void titles(const char *file, crawl_lines &lines) {
    std::unique_ptr<xmlDoc, doc_deleter> doc(xmlReadFile(file, nullptr, 0));
    if (!doc) {
        log_msg(LOG_ERROR, "%s:%s:%d xmlReadFile(%s) failed", kSrc, kFn, 121, file);
        return;
    }
    xmlNode *root = xmlDocGetRootElement(doc.get());
    if (!root || !named(root, "rss")) {
        log_msg(LOG_ERROR, "%s:%s:%d <rss> not found [%s]", kSrc, kFn, 129,
                root ? reinterpret_cast<const char *>(root->name) : "");
        return;
    }
    for (xmlNode *ch = root->children; ch; ch = ch->next) {
        if (!named(ch, "channel")) continue;
        for (xmlNode *item = ch->children; item; item = item->next) {
            if (!named(item, "item")) continue;
            for (xmlNode *t = item->children; t; t = t->next) {
                if (!named(t, "title")) continue;
                std::unique_ptr<xmlChar, xml_text_deleter> text(xmlNodeGetContent(t));
                // A title without text would only add an empty gap to the crawl.
                if (text && text.get()[0]) lines.emplace_back(reinterpret_cast<char *>(text.get()));
            }
        }
    }
}

crawl_lines rss_fetch(const std::string &path) {
    log_msg(LOG_INFO, "%s:%s:%d starting", kSrc, kFn, 54);
    crawl_lines lines;
    std::string url = feed_url(path);
    if (url.empty()) return lines;

    // mkstemp rather than a name and a later open: nobody can put a link in its place.
    temp_file tmp{"/tmp/datasource_rss-XXXXXX"};
    int fd = mkstemp(tmp.path.data());
    unique_file out(fd < 0 ? nullptr : fdopen(fd, "wb"));
    if (!out) {
        if (fd >= 0) close(fd);
        log_msg(LOG_ERROR, "%s:%s:%d failed to create file=[%s]", kSrc, kFn, 84, tmp.path.c_str());
        if (fd < 0) tmp.path.clear();
        return lines;
    }
    log_msg(LOG_INFO, "%s:%s:%d downloading url=[%s] to file=[%s]", kSrc, kFn, 91, url.c_str(),
            tmp.path.c_str());
    std::unique_ptr<CURL, curl_deleter> curl(curl_easy_init());
    char err[CURL_ERROR_SIZE] = "";
    CURLcode rc = CURLE_FAILED_INIT;
    if (curl) {
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, write_block);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, out.get());
        curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, err);
        rc = curl_easy_perform(curl.get());
    }
    // A full disk shows at the close; the document would be cut.
    if (fclose(out.release()) != 0 && rc == CURLE_OK) rc = CURLE_WRITE_ERROR;
    if (rc != CURLE_OK) {
        log_msg(LOG_ERROR, "%s:%s:%d FAILED downloading url=[%s] to file=[%s]", kSrc, kFn, 108,
                url.c_str(), tmp.path.c_str());
        log_msg(LOG_ERROR, "%s:%s:%d curl_error_msg={%s}", kSrc, kFn, 109,
                err[0] ? err : curl_easy_strerror(rc));
        return lines;
    }
    log_msg(LOG_INFO, "%s:%s:%d downloaded url=[%s] to file=[%s]", kSrc, kFn, 116, url.c_str(),
            tmp.path.c_str());
    titles(tmp.path.c_str(), lines);
    log_msg(LOG_INFO, "%s:%s:%d reading file finished: %d lines", kSrc, kFn, 174,
            int(lines.size()));
    return lines;
}

int rss_probe(const char *path) {
    return crawl_name_has_ext(path, ".rss") ? 0 : -2;
}
int rss_create(const char *path, void **inst) {
    return crawl_async_create(path, inst, rss_fetch);
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
