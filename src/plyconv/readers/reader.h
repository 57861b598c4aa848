// Frame shared by the schedule readers: the parameter object, the numbered parameters and flag
// bits, the replaceable log hooks, the category-to-type file and small libxml2 helpers.
#pragma once

#include <libxml/tree.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "file.h"
#include "mivrabox_event.h"
#include "text.h"

// Flag bits: one word for every module, each module reads the bits it knows.
enum reader_flag {
    READER_F_IGNORE_PATH = 1,
    READER_F_TRACE = 2,  // log every element read
    READER_F_CATEGORY_PATH = 4,
    READER_F_TCOUT_INCLUDED = 32,
    READER_F_TCOUT_CALC = 64,
    READER_F_TMPL_TYPE = 128,  // graphics template names carry their kind as a prefix
};

// Parameter ids: one numbering for every module; a module ignores the ids it does not keep.
enum reader_param_id {
    READER_P_CATEGORY2TYPE = 1,
    READER_P_APPEND_PATH = 2,
    READER_P_APPEND_TMPL = 3,
    READER_P_ASPECT = 4,
    READER_P_DTMF_OFFSET = 5,
    READER_P_NEWFIELD_SEP = 6,
    READER_P_EVS_PATH = 7,
    READER_P_PREPEND_EXT = 9,
    READER_P_WAV_PATH = 10,
    READER_P_LIVE_PATH = 11,
    READER_P_GXF_TC_MIN = 12,
    READER_P_GXF_TC_MAX = 13,
    READER_P_GXF_DUR_MAX = 14,
};

constexpr uint32_t reader_id_bit(int id) {
    return uint32_t(1) << id;
}

// Parameter object of the SGT, Adonis and Chyro modules.
struct reader_params {
    uint32_t kept_ids = 0;  // the ids this module stores; the others are accepted and dropped
    int flags = 0;
    std::optional<std::string> aspect;
    std::array<text4k, 256> category;  // category text per event-type letter
    text4k append_path;
    text4k append_tmpl;
    int dtmf_offset = 25;
    text4k newfield_sep;
    text4k evs_path;
    text4k prepend_ext;
    text4k wav_path;
    text4k live_path;
    text4k gxf_tc_min;
    text4k gxf_tc_max;
    text4k gxf_dur_max;
};

// Log hook: the module's format and its arguments.
typedef void (*reader_log_cb)(const char *fmt, va_list ap);

// One process-wide hook per module; empty means the default hook.
struct reader_log_slot {
    std::atomic<reader_log_cb> cb{nullptr};
};

// Writes the message and a newline to standard error.
void reader_log_default(const char *fmt, va_list ap);
void reader_log_set(reader_log_slot &slot, reader_log_cb cb);
void reader_vlog(reader_log_slot &slot, const char *fmt, va_list ap);
void reader_log(reader_log_slot &slot, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// printf into a new string.
std::string reader_fmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Results as the modules' own create, set and destroy operations.
int reader_create(reader_params **out, int flags, uint32_t kept_ids);
int reader_set_flag(reader_params *p, int bits);
int reader_set_param(reader_params *p, int id, const char *text, reader_log_slot &log);
int reader_set_param(reader_params *p, int id, int value);
int reader_destroy(reader_params **p);

// Loads a category-to-type file into the category table; always 0. func names the caller in
// the messages.
int reader_load_category2type(reader_params *p, const char *path, reader_log_slot &log,
                              const char *func = "chyro_set_param");

// Releases the module's reference when the event leaves its scope.
struct reader_event_unref {
    void operator()(mivrabox_event *ev) const { mivrabox_event_unref(&ev); }
};
using reader_event_ptr = std::unique_ptr<mivrabox_event, reader_event_unref>;

// Write-event callback of the parameter-object modules.
typedef int (*reader_write_event_cb)(mivrabox_event *ev, void *user);

// Hands a copy of ev with one more pair to the callback; the copy is released after the call.
void reader_hand_over(const mivrabox_event *ev, const char *key, const char *value,
                      reader_write_event_cb cb, void *user);

// Adds a pair when both texts are there: the event record refuses empty ones loudly.
void reader_meta_add(mivrabox_event *ev, std::string_view key, std::string_view value);

// Sources far beyond any real schedule are refused, so that what a reader holds in memory stays
// a small multiple of a bounded file.
constexpr off_t READER_SOURCE_MAX = 256LL * 1024 * 1024;

// Opens a schedule for reading without ever blocking on it: a folder (-EISDIR), a FIFO, socket or
// device (-EINVAL) and a file larger than READER_SOURCE_MAX (-EFBIG) are refused. size, when
// given, receives the file's size. 0 or a negated errno.
int reader_source_open(const char *path, unique_fd &fd, off_t *size = nullptr);
// The refusals of reader_source_open in words; strerror for the others.
const char *reader_source_error(int r);
// Reads at most what is left of budget from fd into buf; -EFBIG once the source grew past it.
ssize_t reader_source_read(int fd, char *buf, size_t len, off_t &budget);

// Line table of the text readers: the file read whole into one buffer, its non-empty lines (each
// cut at its first CR or LF) visited in order and split into cells on demand at every sep
// without quoting, so n separators give n + 1 cells. The table costs little beyond the file.
constexpr size_t READER_ROW_MAX = 1024 * 1024 - 1;  // longer lines are cut there
class reader_table {
   public:
    // 0, or the negated errno logged as "<func>:<line> failed to load file".
    int load(const char *path, reader_log_slot &log, const char *func);
    size_t rows() const { return rows_; }
    // fn(index, line) for every row in file order.
    template <class F>
    void each_row(F fn) const {
        std::string_view rest(data_);
        size_t i = 0;
        while (!rest.empty()) {
            size_t nl = rest.find('\n');
            std::string_view line = rest.substr(0, nl);
            rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
            line = row_of(line);
            if (!line.empty()) fn(i++, line);
        }
    }
    static std::string_view row_of(std::string_view line) {
        line = line.substr(0, line.find('\r'));
        return line.substr(0, READER_ROW_MAX);
    }

   private:
    std::string data_;
    size_t rows_ = 0;
};
// The cells of one row; views into the row.
void reader_cells(std::string_view row, char sep, std::vector<std::string_view> &cells);

// Local midnight of a date read with fmt (strptime), daylight saving off, missing fields 0.
time_t reader_day(const char *text, const char *fmt);

// True when type is 0 or a blank: a type table may still set it.
inline bool reader_type_unset(int type) {
    return type == 0 || type == ' ';
}

// libxml2 documents and the few queries the readers make.
struct xml_doc_free {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};
using xml_doc_ptr = std::unique_ptr<xmlDoc, xml_doc_free>;

// The file read with the options every reader uses; null when libxml2 cannot read it or the
// source is refused (reader_source_open).
xml_doc_ptr xml_read(const char *path);
bool xml_is(const xmlNode *n, const char *name);  // One level of the path xml_records walks: the
                                                  // first element of that name under the level
// above (as xml_child), or with every, each of them in turn; with lead, only an element that is
// the first child node of the level above (no text or comment before it), and enter is shown
// that first node whatever it is (null when there is none).
struct xml_step {
    const char *name;
    bool every = false;
    bool lead = false;
};
// Streams the document at path with the options of xml_read, so that only one record is held at
// a time: enter(level, element) sees each element of steps as it opens (attributes, no children),
// record(node) each element child of the last step with its whole subtree, freed once it returns
// (without record, the document is only checked).
// Reads the document to its end: 0, or -22 when it is refused or does not parse (records may have
// been handed over by then), -12 out of memory. found, when given, receives how many steps matched.
int xml_records(const char *path, const std::vector<xml_step> &steps,
                const std::function<void(size_t, const xmlNode *)> &enter,
                const std::function<void(const xmlNode *)> &record, size_t *found = nullptr);

// First element child of that name, or null.
xmlNode *xml_child(const xmlNode *n, const char *name);
// Attribute value as it stands; nullopt when absent.
std::optional<std::string> xml_prop(const xmlNode *n, const char *name);
// Element text as it stands (entities substituted); nullopt when the library gives none.
std::optional<std::string> xml_content(const xmlNode *n);
// Element text with blanks, tabs, CR and LF cut at both ends.
std::string xml_text(const xmlNode *n);
// Name of a node for messages.
const char *xml_name(const xmlNode *n);
// Value of an optional text for messages.
inline const char *opt_c(const std::optional<std::string> &s) {
    return s ? s->c_str() : "(null)";
}

// Decimal integer of an attribute, clamped to int; 0 when absent or not a number.
int reader_int(const std::optional<std::string> &text);
// Timecode text of a frame count in the current mode.
std::string reader_tc(int frames);

// Output of the reader programs: the destination file, replaced whole when finished, or standard
// output. Each event is one playlist line cut to the line buffer.
struct reader_output {
    atomic_file file;
    FILE *stream = nullptr;
    const char *dst = nullptr;
    char line[2 * MIVRABOX_LINE_SIZE];
};
// Prints the open failure; 0 or a negated errno.
int reader_output_open(reader_output &out, const char *dst);
// Command line of a reader program: src_args names its arguments in the usage line, min and max
// count them, dst is the index of the destination (absent arguments mean standard output).
struct reader_cmdline {
    const char *src_args;
    int min, max;
    int dst;
};
// Everything before the parse: the argument check (usage on a wrong count or a first argument
// that looks like an option), the timecode mode, the output, then a check that the source can be
// read, so that a missing schedule never leaves an empty playlist behind. 0 to go on, or the exit
// status after the message.
int reader_start(reader_output &out, const reader_cmdline &cmd, int argc, char **argv);
void reader_output_event(reader_output &out, const mivrabox_event *ev);
// Commits the file (or flushes standard output); prints a lost write. 0 or a negated errno.
int reader_output_close(reader_output &out);
// The end of a reader program: a schedule read whole (r >= 0) replaces the destination; a failed
// read (r < 0) is printed and leaves the destination as it was. The exit status.
int reader_finish(reader_output &out, const char *src, int r);
// Runs the parse; memory that runs out anywhere in it is its failure, not the program's end.
template <class F>
int reader_guard(F fn) noexcept {
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        return -12;
    } catch (...) {
        return -5;
    }
}

// The whole of a reader program around its parse: reader_start, then parse(src, &output)
// under reader_guard, then reader_finish with its result. The exit status.
template <class Parse>
int reader_main(int argc, char **argv, const reader_cmdline &cmd, Parse parse) {
    static reader_output out;
    if (int status = reader_start(out, cmd, argc, argv)) return status;
    int r = reader_guard([&] { return parse(argv[1], &out); });
    return reader_finish(out, argv[1], r);
}

// What every reader program shares around its reader.
// One fixed parameter of a reader: a text, or the number when the text is null.
struct setting {
    int id;
    const char *text;
    int number;
};
// Sets each parameter through the reader's own setter (which takes a text or a number).
template <class P, class Set>
void reader_settings_apply(P *p, const setting *s, size_t n, Set set) {
    for (size_t i = 0; i < n; i++) {
        if (s[i].text)
            set(p, s[i].id, s[i].text);
        else
            set(p, s[i].id, s[i].number);
    }
}
// Write-event callbacks: user is the program's reader_output; the readers that hand their handle
// first take the template.
int conv_write_event(mivrabox_event *ev, void *user);
template <class H>
int conv_write_event(H *, mivrabox_event *ev, void *user) {
    return conv_write_event(ev, user);
}
// Day callbacks: the day each schedule starts, printed on standard error.
int cb_startdate(time_t day, void *user);
int cb_startdate(time_t day, void *user, const char *name, const char *channel);
int cb_startdate(const char *date, void *user);
