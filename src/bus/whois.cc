#include "whois.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "log.h"
#include "meta_resolve.h"

// Owned arrays of owned texts.

int strv_add(char ***v, int *count, char *text) {
    if (!v || !count || !text || *count < 0) return -22;
    auto *grown = static_cast<char **>(realloc(*v, sizeof(char *) * size_t(*count + 2)));
    if (!grown) return -12;
    grown[*count] = text;
    grown[*count + 1] = nullptr;
    *v = grown;
    ++*count;
    return 0;
}

int strv_add_dup(char ***v, int *count, const char *text) {
    if (!text) return -22;
    char *dup = strdup(text);
    if (!dup) return -12;
    int r = strv_add(v, count, dup);
    if (r < 0) free(dup);
    return r;
}

void strv_free(char ***v) {
    if (!v || !*v) return;
    for (char **p = *v; *p; p++) free(*p);
    free(*v);
    *v = nullptr;
}

int strv_free_n(char ***v, int *count) {
    if (!v || !*v) return -22;
    int n = count ? *count : 0;
    for (int i = 0; i < n; i++) free((*v)[i]);
    free(*v);
    *v = nullptr;
    if (count) *count = 0;
    return 0;
}

int strv_from(const std::vector<std::string> &texts, char ***v) {
    auto *a = static_cast<char **>(calloc(texts.size() + 1, sizeof(char *)));
    if (!a) return -12;
    for (size_t i = 0; i < texts.size(); i++) {
        a[i] = strdup(texts[i].c_str());
        if (!a[i]) {
            int n = int(i);
            strv_free_n(&a, &n);
            return -12;
        }
    }
    *v = a;
    return 0;
}

namespace {

struct curl_easy_deleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using curl_easy_ptr = std::unique_ptr<CURL, curl_easy_deleter>;

struct whois_body {
    std::string data;
    bool too_big = false;
};

size_t whois_write_cb(char *ptr, size_t size, size_t nmemb, void *user) {
    auto *body = static_cast<whois_body *>(user);
    size_t n = size * nmemb;
    // Anything other than n makes curl end the transfer with a write error.
    if (n > WHOIS_REPLY_MAX - body->data.size()) {
        body->too_big = true;
        return 0;
    }
    try {
        body->data.append(ptr, n);
    } catch (...) {
        return 0;
    }
    return n;
}

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string percent_encode(std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (unreserved(c)) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

int64_t whois_clock_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int whois_init(whois_config *) {
    // curl's global set-up is not safe to race with other threads' first transfers.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
    return 0;
}

int whois_fini(whois_config *) {
    return 0;
}

int whois_url(const char *tmpl, const char *media_id, const char *tag, std::string &url) {
    std::string id = media_id ? media_id : "";
    if (!id.empty() && id.back() == '#') id.pop_back();
    const str_sub subs[] = {{"<MEDIA_ID>", percent_encode(id)},
                            {"<TAG>", percent_encode(tag ? tag : "")}};
    url = str_fill(tmpl ? tmpl : "", subs, 2, true);
    return url.size() > 4095 ? -22 : 0;
}

int whois_reply_parse(std::string_view body, std::vector<std::string> &out) {
    size_t first = out.size();
    size_t at = 0;
    while (at < body.size()) {
        size_t end = body.find_first_of("\r\n", at);
        if (end == std::string_view::npos) end = body.size();
        std::string_view line = body.substr(at, end - at);
        at = end + 1;
        size_t tab = line.find('\t');
        if (line.empty() || tab == std::string_view::npos) continue;
        std::string_view key = line.substr(0, tab), value = line.substr(tab + 1);
        if (key.empty()) {
            if (out.size() > first) {
                out.back() += '\n';
                out.back() += value;
            }
            continue;
        }
        out.emplace_back(key);
        out.emplace_back(value);
    }
    return int((out.size() - first) / 2);
}

int whois_method_0(const whois_config *cfg, const char *media_id, const char *tag, char ***pairs) {
    static const char *const name = "whois_method_0";
    if (!cfg || !pairs) return -22;
    if (cfg->method != 0) return -2;
    try {
        std::string url;
        if (whois_url(cfg->arg[0].c_str(), media_id, tag, url) < 0) {
            log_msg(LOG_ERROR, "%s: url too long for [%s]", name, media_id ? media_id : "");
            return -22;
        }
        long total_ms = WHOIS_TOTAL_TIMEOUT_MS, connect_ms = WHOIS_CONNECT_TIMEOUT_MS;
        if (cfg->deadline_ms > 0) {
            int64_t left = cfg->deadline_ms - whois_clock_ms();
            if (left <= 0) {
                log_msg(LOG_ERROR, "%s: no time left for %s", name, url.c_str());
                return RESULT_NO_ANSWER;
            }
            total_ms = long(std::min<int64_t>(total_ms, left));
            connect_ms = std::min(connect_ms, total_ms);
        }
        whois_init(nullptr);
        curl_easy_ptr c(curl_easy_init());
        if (!c) return -12;
        whois_body body;
        char err[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(c.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(c.get(), CURLOPT_NOPROGRESS, 1L);
        curl_easy_setopt(c.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c.get(), CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(c.get(), CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c.get(), CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
        curl_easy_setopt(c.get(), CURLOPT_TIMEOUT_MS, total_ms);
        curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, whois_write_cb);
        curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(c.get(), CURLOPT_ERRORBUFFER, err);
        log_msg(LOG_INFO, "%s: querying %s", name, url.c_str());
        CURLcode rc = curl_easy_perform(c.get());
        if (rc != CURLE_OK) {
            log_msg(LOG_ERROR, "%s: curl failed: %s", name,
                    body.too_big ? "reply too big"
                    : err[0]     ? err
                                 : curl_easy_strerror(rc));
            return RESULT_NO_ANSWER;
        }
        long status = 0;
        curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, &status);
        log_msg(LOG_INFO, "%s: done, responce=%d, size=%ld", name, int(status),
                long(body.data.size()));
        if (body.data.empty()) {
            log_msg(LOG_INFO, "%s: no data returned", name);
            return -42;
        }
        // The body is a text: it ends at its first NUL.
        std::vector<std::string> kv;
        int n = whois_reply_parse(std::string_view(body.data.c_str()), kv);
        if (n <= 0) return -2;
        if (strv_from(kv, pairs) < 0) return -12;
        return n;
    } catch (...) {
        return -12;
    }
}
