#include "reader.h"

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file.h"
#include "svc.h"
#include "tc.h"
#include "text.h"

namespace {

void set_text(text4k &field, const char *text) {
    if (text) field = text;  // a null text keeps what is there
}

}  // namespace

void reader_log_default(const char *fmt, va_list ap) {
    std::string line;
    if (str_vappend(line, SIZE_MAX, fmt, ap) < 0) return;
    line += '\n';
    // One write per message keeps lines whole.
    fwrite(line.data(), 1, line.size(), stderr);
}

void reader_log_set(reader_log_slot &slot, reader_log_cb cb) {
    slot.cb.store(cb, std::memory_order_relaxed);
}

void reader_vlog(reader_log_slot &slot, const char *fmt, va_list ap) {
    reader_log_cb cb = slot.cb.load(std::memory_order_relaxed);
    (cb ? cb : reader_log_default)(fmt, ap);
}

void reader_log(reader_log_slot &slot, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    reader_vlog(slot, fmt, ap);
    va_end(ap);
}

std::string reader_fmt(const char *f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    int n = vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    if (n < 0) return std::string();
    if (size_t(n) < sizeof buf) return std::string(buf, size_t(n));
    std::string s(size_t(n) + 1, '\0');
    va_start(ap, f);
    vsnprintf(s.data(), s.size(), f, ap);
    va_end(ap);
    s.resize(size_t(n));
    return s;
}

int reader_create(reader_params **out, int flags, uint32_t kept_ids) {
    if (!out) return -22;
    LIBXML_TEST_VERSION
    auto *p = new (std::nothrow) reader_params;
    if (!p) return -12;
    p->kept_ids = kept_ids;
    p->flags = flags;
    *out = p;
    return 0;
}

int reader_set_flag(reader_params *p, int bits) {
    if (!p) return -22;
    p->flags |= bits;
    return 0;
}

int reader_set_param(reader_params *p, int id, const char *text, reader_log_slot &log) {
    if (!p || id < 0 || id > 31 || !(p->kept_ids & reader_id_bit(id))) return 0;
    switch (id) {
        case READER_P_CATEGORY2TYPE:
            return reader_load_category2type(p, text, log);
        case READER_P_ASPECT:
            if (text && *text) p->aspect = std::string(text).substr(0, text4k::capacity);
            return 0;
        case READER_P_APPEND_PATH:
            set_text(p->append_path, text);
            break;
        case READER_P_APPEND_TMPL:
            set_text(p->append_tmpl, text);
            break;
        case READER_P_NEWFIELD_SEP:
            set_text(p->newfield_sep, text);
            break;
        case READER_P_EVS_PATH:
            set_text(p->evs_path, text);
            break;
        case READER_P_PREPEND_EXT:
            set_text(p->prepend_ext, text);
            break;
        case READER_P_WAV_PATH:
            set_text(p->wav_path, text);
            break;
        case READER_P_LIVE_PATH:
            set_text(p->live_path, text);
            break;
        case READER_P_GXF_TC_MIN:
            set_text(p->gxf_tc_min, text);
            break;
        case READER_P_GXF_TC_MAX:
            set_text(p->gxf_tc_max, text);
            break;
        case READER_P_GXF_DUR_MAX:
            set_text(p->gxf_dur_max, text);
            break;
        default:
            break;  // id 5 takes a number
    }
    return 0;
}

int reader_set_param(reader_params *p, int id, int value) {
    if (p && id == READER_P_DTMF_OFFSET && (p->kept_ids & reader_id_bit(id)))
        p->dtmf_offset = value;
    return 0;
}

int reader_destroy(reader_params **p) {
    if (!p) return -22;
    delete *p;
    *p = nullptr;
    return 0;
}

int reader_load_category2type(reader_params *p, const char *path, reader_log_slot &log,
                              const char *func) {
    if (!p || !path || !*path) return 0;
    unique_file f(fopen(path, "rt"));
    if (!f) {
        reader_log(log, "%s:%d failed to load category2type file [%s]", func, __LINE__, path);
        return 0;
    }
    std::string line;
    while (read_line(f.get(), line)) {
        if (line.size() > text4k::capacity) line.resize(text4k::capacity);
        if (!line.empty() && line[0] == '#') continue;
        size_t cut = line.find_first_of("\r\n");
        if (cut != std::string::npos) line.resize(cut);
        if (line.empty()) continue;
        // "%c %[^\t\n]": the letter, white space, then the category up to a TAB.
        size_t i = 1;
        while (i < line.size() && isspace((unsigned char)line[i])) i++;
        size_t end = line.find('\t', i);
        if (end == std::string::npos) end = line.size();
        if (i >= end) {
            reader_log(log, "%s:%d failed to parse line [%s]", func, __LINE__, line.c_str());
            continue;
        }
        p->category[(unsigned char)line[0]] = std::string_view(line).substr(i, end - i);
    }
    return 0;
}

void reader_hand_over(const mivrabox_event *ev, const char *key, const char *value,
                      reader_write_event_cb cb, void *user) {
    reader_event_ptr copy(mivrabox_event_clone(ev));
    if (!copy) return;
    reader_meta_add(copy.get(), key ? key : "", value ? value : "");
    if (cb) cb(copy.get(), user);
}

void reader_meta_add(mivrabox_event *ev, std::string_view key, std::string_view value) {
    if (key.empty() || value.empty()) return;
    mivrabox_event_meta_add(&ev, key, value);
}

int reader_source_open(const char *path, unique_fd &fd, off_t *size) {
    fd.reset();
    if (!path) return -EINVAL;
    // Looked at before the open, so that no device is opened at all; the open never waits for a
    // FIFO's writer, and what was opened is looked at again.
    struct stat st;
    if (stat(path, &st) < 0) return -errno;
    if (S_ISDIR(st.st_mode)) return -EISDIR;
    if (!S_ISREG(st.st_mode)) return -EINVAL;
    unique_fd f(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!f) return -errno;
    if (fstat(f.get(), &st) < 0) return -errno;
    if (S_ISDIR(st.st_mode)) return -EISDIR;
    if (!S_ISREG(st.st_mode)) return -EINVAL;
    if (st.st_size > READER_SOURCE_MAX) return -EFBIG;
    int fl = fcntl(f.get(), F_GETFL);
    if (fl >= 0) fcntl(f.get(), F_SETFL, fl & ~O_NONBLOCK);
    if (size) *size = st.st_size;
    fd = std::move(f);
    return 0;
}

const char *reader_source_error(int r) {
    switch (r) {
        case -EINVAL:
            return "Not a regular file";
        case -EFBIG:
            return "Larger than 256 MiB";
        case -ENODATA:
            return "Empty file";
        default:
            return strerror(-r);
    }
}

ssize_t reader_source_read(int fd, char *buf, size_t len, off_t &budget) {
    // One byte beyond the budget tells a file that grew past it from one that ends there.
    size_t want = std::min<size_t>(len, size_t(budget) + 1);
    ssize_t n;
    do {
        n = ::read(fd, buf, want);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -errno;
    if (n > budget) return -EFBIG;
    budget -= n;
    return n;
}

int reader_table::load(const char *path, reader_log_slot &log, const char *func) {
    data_.clear();
    data_.shrink_to_fit();
    rows_ = 0;
    unique_fd fd;
    off_t size = 0;
    int r = reader_source_open(path, fd, &size);
    if (r == 0) {
        try {
            // Room for the probe beyond the end: the end of the file must not move the buffer.
            data_.reserve(size_t(size) + 65536);
            data_.resize(size_t(size));
            off_t budget = READER_SOURCE_MAX;
            size_t have = 0;
            for (;;) {
                if (have == data_.size()) data_.resize(have + 65536);  // grown since fstat
                ssize_t n =
                    reader_source_read(fd.get(), data_.data() + have, data_.size() - have, budget);
                if (n < 0) {
                    r = int(n);
                    break;
                }
                if (n == 0) break;
                have += size_t(n);
            }
            data_.resize(have);
        } catch (const std::bad_alloc &) {
            r = -ENOMEM;
        }
    }
    if (r < 0) {
        data_.clear();
        data_.shrink_to_fit();
        reader_log(log, "%s:%d failed to load file [%s], r=%d", func, __LINE__, path ? path : "",
                   r);
        return r;
    }
    each_row([this](size_t, std::string_view) { rows_++; });
    return 0;
}

void reader_cells(std::string_view row, char sep, std::vector<std::string_view> &cells) {
    cells.clear();
    for (;;) {
        size_t end = row.find(sep);
        cells.push_back(row.substr(0, end));
        if (end == std::string_view::npos) break;
        row.remove_prefix(end + 1);
    }
}

time_t reader_day(const char *text, const char *fmt) {
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    if (text) strptime(text, fmt, &tm);
    tm.tm_isdst = 0;
    return mktime(&tm);
}

namespace {

struct xml_source {
    unique_fd fd;
    off_t budget = READER_SOURCE_MAX;
};

int xml_source_read(void *ctx, char *buf, int len) {
    auto *src = static_cast<xml_source *>(ctx);
    ssize_t n = reader_source_read(src->fd.get(), buf, size_t(len < 0 ? 0 : len), src->budget);
    return n < 0 ? -1 : int(n);
}

int xml_source_close(void *) {
    return 0;  // the descriptor is the caller's
}

}  // namespace

xml_doc_ptr xml_read(const char *path) {
    xml_source src;
    if (reader_source_open(path, src.fd) < 0) return nullptr;
    // No network: a document never makes the reader fetch anything. Compact: short texts live in
    // their nodes, the tree is only read.
    return xml_doc_ptr(xmlReadIO(xml_source_read, xml_source_close, &src, path, nullptr,
                                 XML_PARSE_NONET | XML_PARSE_COMPACT));
}

namespace {

struct xml_reader_free {
    void operator()(xmlTextReader *r) const { xmlFreeTextReader(r); }
};

}  // namespace

int xml_records(const char *path, const std::vector<xml_step> &steps,
                const std::function<void(size_t, const xmlNode *)> &enter,
                const std::function<void(const xmlNode *)> &record, size_t *found) {
    if (found) *found = 0;
    xml_source src;
    if (reader_source_open(path, src.fd) < 0) return -22;
    std::unique_ptr<xmlTextReader, xml_reader_free> r(xmlReaderForIO(
        xml_source_read, xml_source_close, &src, path, nullptr, XML_PARSE_NONET | XML_PARSE_COMPACT));
    if (!r) return -12;
    size_t inside = 0;  // steps whose element holds the node read
    std::vector<bool> seen(steps.size(), false);
    // A lead step's candidate is shown to enter whether it matches or not (null for none).
    auto lead = [&](const xmlNode *candidate) {
        if (inside < steps.size() && steps[inside].lead && enter) enter(inside, candidate);
    };
    bool entered = true;  // the node read next is the first under the last step entered
    int ret = xmlTextReaderRead(r.get());
    while (ret == 1) {
        size_t depth = size_t(std::max(0, xmlTextReaderDepth(r.get())));
        bool first = entered && depth == inside;
        if (entered) lead(first ? xmlTextReaderCurrentNode(r.get()) : nullptr);
        entered = false;
        // A node at the depth of an open step (its end, or a sibling after it) closes it.
        inside = std::min(inside, depth);
        if (xmlTextReaderNodeType(r.get()) != XML_READER_TYPE_ELEMENT || depth != inside) {
            ret = xmlTextReaderRead(r.get());
            continue;
        }
        xmlNode *n = xmlTextReaderCurrentNode(r.get());
        if (inside == steps.size()) {
            if (record) {
                const xmlNode *whole = xmlTextReaderExpand(r.get());
                if (!whole) return -22;
                record(whole);
            }
            ret = xmlTextReaderNext(r.get());  // the record's subtree is freed from here on
            continue;
        }
        const xml_step &step = steps[inside];
        if (xml_is(n, step.name) && (step.every || !seen[inside]) && (first || !step.lead)) {
            seen[inside] = true;
            // A new element starts afresh below it: its own first children count again.
            std::fill(seen.begin() + long(inside) + 1, seen.end(), false);
            if (enter && !step.lead) enter(inside, n);
            inside++;
            entered = true;
            if (found) *found = std::max(*found, inside);
            ret = xmlTextReaderRead(r.get());
        } else {
            ret = xmlTextReaderNext(r.get());  // off the path: skipped, never held
        }
    }
    if (ret != 0) return -22;
    if (entered) lead(nullptr);  // the document ended in an empty element
    return 0;
}

bool xml_is(const xmlNode *n, const char *name) {
    return n && n->type == XML_ELEMENT_NODE && n->name &&
           !strcmp(reinterpret_cast<const char *>(n->name), name);
}

xmlNode *xml_child(const xmlNode *n, const char *name) {
    if (!n) return nullptr;
    for (xmlNode *c = n->children; c; c = c->next)
        if (xml_is(c, name)) return c;
    return nullptr;
}

std::optional<std::string> xml_prop(const xmlNode *n, const char *name) {
    if (!n) return std::nullopt;
    xmlChar *v = xmlGetProp(n, reinterpret_cast<const xmlChar *>(name));
    if (!v) return std::nullopt;
    std::string s(reinterpret_cast<const char *>(v));
    xmlFree(v);
    return s;
}

std::optional<std::string> xml_content(const xmlNode *n) {
    if (!n) return std::nullopt;
    xmlChar *v = xmlNodeGetContent(n);
    if (!v) return std::nullopt;
    std::string s(reinterpret_cast<const char *>(v));
    xmlFree(v);
    return s;
}

std::string xml_text(const xmlNode *n) {
    std::optional<std::string> s = xml_content(n);
    return s ? std::string(trim_blank(*s)) : std::string();
}

const char *xml_name(const xmlNode *n) {
    return n && n->name ? reinterpret_cast<const char *>(n->name) : "(null)";
}

int reader_int(const std::optional<std::string> &text) {
    if (!text) return 0;
    long long v = strtoll(text->c_str(), nullptr, 10);
    return int(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
}

std::string reader_tc(int frames) {
    char buf[TC_TEXT_SIZE];
    return tc_frames2str(frames, buf);
}

int reader_output_open(reader_output &out, const char *dst) {
    out.dst = dst;
    if (!dst) {
        out.stream = stdout;
        return 0;
    }
    int r = out.file.open(dst);
    if (r < 0) {
        fprintf(stderr, "Error! Failed to open file [%s]\n", dst);
        return r;
    }
    out.stream = out.file.stream();
    return 0;
}

namespace {

// Opens and reads one byte: a source that cannot be read, is no regular file, is too large or is
// empty holds no schedule.
int source_check(const char *src) {
    unique_fd fd;
    off_t size = 0;
    int r = reader_source_open(src, fd, &size);
    if (r < 0) return r;
    char c;
    off_t budget = 1;
    ssize_t n = reader_source_read(fd.get(), &c, 1, budget);
    if (n < 0) return int(n);
    return n == 0 ? -ENODATA : 0;
}

}  // namespace

int reader_start(reader_output &out, const reader_cmdline &cmd, int argc, char **argv) {
    int n = argc - 1;
    if (n < cmd.min || n > cmd.max || argv[1][0] == '-') {
        fprintf(stderr, "Error! Not enough arguments.\nUsage:\n\t%s %s\n", argv[0], cmd.src_args);
        return 1;
    }
    svc_tc_setmode();
    if (reader_output_open(out, cmd.dst < argc ? argv[cmd.dst] : nullptr) < 0) return 1;
    if (int r = source_check(argv[1]); r < 0) {
        fprintf(stderr, "Error! Failed to read file [%s]: %s\n", argv[1], reader_source_error(r));
        out.file.abort();  // the destination stays as it was
        return 1;
    }
    return 0;
}

void reader_output_event(reader_output &out, const mivrabox_event *ev) {
    if (!out.stream) return;
    mivrabox_event_format(ev, out.line, sizeof out.line);
    size_t n = strlen(out.line);
    out.line[n] = '\n';
    fwrite(out.line, 1, n + 1, out.stream);
}

int reader_output_close(reader_output &out) {
    int r;
    if (out.dst)
        r = out.file.commit();
    else
        r = fflush(stdout) == 0 && !ferror(stdout) ? 0 : -errno;
    // The lines written stand whatever the reader said; only a lost write is a failure.
    if (r < 0)
        fprintf(stderr, "Error! Failed to write file [%s]: %s\n", out.dst ? out.dst : "<stdout>",
                strerror(-r));
    return r;
}

int reader_finish(reader_output &out, const char *src, int r) {
    if (r < 0) {
        // The source was there and regular: the modules' -22 and -2 say it is no schedule of
        // their format (it does not parse, or its structure is wrong).
        const char *why = r == -EINVAL   ? "Not a readable schedule"
                          : r == -ENOENT ? "Not a schedule of this format"
                                         : reader_source_error(r);
        fprintf(stderr, "Error! Failed to read file [%s], r=%d (%s)\n", src ? src : "", r, why);
        if (out.dst) out.file.abort();
        return 1;
    }
    return reader_output_close(out) < 0 ? 1 : 0;
}

int conv_write_event(mivrabox_event *ev, void *user) {
    reader_output_event(*static_cast<reader_output *>(user), ev);
    return 0;
}

namespace {

std::string startdate_text(time_t day) {
    char date[64] = "";
    struct tm tm;
    if (localtime_r(&day, &tm)) strftime(date, sizeof date, "%Y%m%d_%H%M%S", &tm);
    return date;
}

}  // namespace

int cb_startdate(time_t day, void *) {
    fprintf(stderr, "%s: date=%s\n", "cb_startdate", startdate_text(day).c_str());
    return 0;
}

int cb_startdate(time_t day, void *, const char *name, const char *channel) {
    fprintf(stderr, "%s: date=%s, name=[%s], channel=[%s]\n", "cb_startdate",
            startdate_text(day).c_str(), name ? name : "", channel ? channel : "");
    return 0;
}

int cb_startdate(const char *date, void *) {
    fprintf(stderr, "%s: date=%s\n", "cb_startdate", date ? date : "(null)");
    return 0;
}
