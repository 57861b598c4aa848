#include "plywriter.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "file.h"
#include "svc.h"
#include "tc.h"
#include "text.h"

namespace {

struct ply_deleter {
    void operator()(ply_list *l) const { ply_free(&l); }
};
using unique_ply = std::unique_ptr<ply_list, ply_deleter>;

void usage(const char *argv0, const char *line) {
    fputs("Error! Not enough arguments.\n", stderr);
    fputs("Usage:\n", stderr);
    fprintf(stderr, line, argv0);
}

// Broadcast day of a writer run, with its report on standard error.
ply_wr_day run_day(const char *src, bool eight_digit) {
    ply_wr_day day;
    int fields = 0;
    std::string name;
    int r = ply_wr_day_from_name(src, eight_digit, &day, &fields, &name);
    if (r == 1) {
        fprintf(stderr, "filename [%s] parsed as [%.4d-%.2d-%.2d]\n", name.c_str(), day.year,
                day.month, day.day);
    } else if (r == 0) {
        day = ply_wr_today();
        // The table writers report no field count: their fall-back follows two rules.
        fprintf(stderr, "filename [%s] was unable to parse (r=%d), [%.4d-%.2d-%.2d]\n",
                name.c_str(), eight_digit ? 0 : fields, day.year, day.month, day.day);
    }
    return day;
}

// Writes the finished document; a failed write or close is a failed run, never a silent cut.
int put_output(const char *dst, const std::string &doc, bool open_errno) {
    if (!dst) {
        if (fwrite(doc.data(), 1, doc.size(), stdout) != doc.size() || fflush(stdout) != 0) {
            int e = errno;
            fprintf(stderr, "Error! Failed to write standard output, r=%d (%s)\n", e, strerror(e));
            return 1;
        }
        return 0;
    }
    atomic_file out;
    int r = out.open(dst);
    if (r < 0) {
        if (open_errno)
            fprintf(stderr, "Error! Failed to open file [%s], r=%d (%s)\n", dst, -r, strerror(-r));
        else
            fprintf(stderr, "Error! Failed to open file [%s]\n", dst);
        return 1;
    }
    r = out.write(doc);
    if (r >= 0) r = out.commit();
    if (r < 0) {
        fprintf(stderr, "Error! Failed to write file [%s], r=%d (%s)\n", dst, -r, strerror(-r));
        return 1;
    }
    return 0;
}

// "%8[0-9]" at p read exactly eight digits.
bool eight_digits_at(const char *p, ply_wr_day *day) {
    char run[9];
    if (sscanf(p, "%8[0-9]", run) != 1 || strlen(run) != 8) return false;
    long n = strtol(run, nullptr, 10);
    day->year = int(n / 10000);
    day->month = int(n / 100 % 100);
    day->day = int(n % 100);
    return true;
}

// Markup characters as entities; quotes only where the text stands inside an attribute.
void escape(std::string &out, std::string_view text, bool quotes) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += quotes ? "&quot;" : "\"";
                break;
            case '\'':
                out += quotes ? "&apos;" : "'";
                break;
            default:
                out += c;
        }
    }
}

// Every writer program, by invocation name.
struct ply_wr_named {
    const char *name;
    ply_wr_prog prog;
};
constexpr const char *XML_USAGE = "\t%s <src.ply> [dst.xml]\n";
// Columns: arguments min and max, usage, timecode mode (-1 from TC_MODE), eight-digit day,
// errno in the open failure, channel argument, formatter.
const ply_wr_named PROGS[] = {
    {"sgtwriter", {1, 2, XML_USAGE, -1, false, false, false, ply_wr_sgt}},
    {"sgtwriter2", {1, 2, XML_USAGE, -1, false, false, false, ply_wr_sgt2}},
    {"chyrowriter", {1, 2, XML_USAGE, -1, false, false, false, ply_wr_chyro}},
    {"abcvswriter2",
     {1, 2, "\t%s <src.ply> [dst.CVS]\n", TC_50, true, true, false, ply_wr_abcvs_table}},
    {"abcvswriter",
     {2, 3, "\t%s <channel> <src.ply> [dst.xml]\n", TC_50, true, false, true, ply_wr_branding}},
};

}  // namespace

const ply_wr_prog *ply_wr_find(const char *name) {
    for (const auto &p : PROGS)
        if (!strcmp(p.name, name)) return &p.prog;
    return nullptr;
}

int ply_wr_day_from_name(const char *path, bool eight_digit, ply_wr_day *day, int *fields,
                         std::string *name) {
    std::string_view base = ply_wr_base_name(path ? path : "");
    name->assign(ply_wr_cut_ext(base));
    int y = 0, m = 0, d = 0;
    int r = sscanf(name->c_str(), "%d-%d-%d", &y, &m, &d);
    *fields = r;
    if (r == 3) {
        *day = {y, m, d};
        return 1;
    }
    if (!eight_digit) return 0;
    const char *s = name->c_str();
    if (eight_digits_at(s, day)) return 2;
    for (const char *u = strchr(s, '_'); u; u = strchr(u + 1, '_'))
        if (eight_digits_at(u + 1, day)) return 2;
    return 0;
}

ply_wr_day ply_wr_today() {
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

const char *ply_wr_rate_text(int mode) {
    switch (mode) {
        case TC_50:
            return "50";
        case TC_NTSC:
            return "30";
        case TC_NTSC_DF:
            return "29.97";
        default:
            return "25";
    }
}

time_t ply_wr_day_time(const ply_wr_day &day) {
    struct tm tm {};
    tm.tm_year = day.year - 1900;
    tm.tm_mon = day.month - 1;
    tm.tm_mday = day.day;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

void ply_wr_utc_start(const ply_wr_day &day, const char *start_time, struct tm *utc, int *frames) {
    int h = 0, m = 0, s = 0, f = 0;
    sscanf(start_time ? start_time : "", "%d:%d:%d:%d", &h, &m, &s, &f);
    struct tm tm {};
    tm.tm_year = day.year - 1900;
    tm.tm_mon = day.month - 1;
    tm.tm_mday = day.day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    // Outside systems keep UTC; the playlist's clock is read as standard time all year.
    tm.tm_isdst = 0;
    time_t t = mktime(&tm);
    *utc = {};
    gmtime_r(&t, utc);
    *frames = f;
}

std::string_view ply_wr_base_name(std::string_view media_id) {
    size_t slash = media_id.rfind('/');
    return slash == std::string_view::npos ? media_id : media_id.substr(slash + 1);
}

std::string_view ply_wr_sgt_media_name(std::string_view media_id) {
    std::string_view name = ply_wr_base_name(media_id);
    return name.substr(0, name.find('#'));
}

std::string_view ply_wr_cut_ext(std::string_view name) {
    return name.substr(0, name.rfind('.'));
}

const char *ply_wr_start_type(char start_mode) {
    switch (start_mode) {
        case 'F':
            return "Horaire";
        case 'M':
            return "Manual";
        default:
            return "Enchaîné";
    }
}

const char *ply_wr_meta_first(const mivrabox_event *ev, const char *key) {
    for (const auto &p : ev->pairs)
        if (p.key == key) return p.value.c_str();
    return "";
}

const char *ply_wr_meta_last(const mivrabox_event *ev, const char *key) {
    for (auto it = ev->pairs.rbegin(); it != ev->pairs.rend(); ++it)
        if (it->key == key) return it->value.c_str();
    return "";
}

void xml_escape_attr(std::string &out, std::string_view text) {
    escape(out, text, true);
}

std::string ply_wr_attr(std::string_view text) {
    std::string out;
    escape(out, text, true);
    return out;
}

void ply_wr_xml_text(std::string &out, std::string_view text) {
    escape(out, text, false);
}

void ply_wr_cdata(std::string &out, std::string_view text) {
    out += "<![CDATA[";
    for (size_t pos = 0;;) {
        size_t end = text.find("]]>", pos);
        if (end == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        // "]]" closes this section, ">" opens the next.
        out.append(text.substr(pos, end + 2 - pos));
        out += "]]><![CDATA[";
        pos = end + 2;
    }
    out += "]]>";
}

void ply_wr_cell(std::string &out, std::string_view text) {
    for (char c : text) out += c == ';' || c == '\r' || c == '\n' ? ' ' : c;
}

void ply_wr_appendf(std::string &out, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    str_vappend(out, SIZE_MAX, fmt, ap);
    va_end(ap);
}

int ply_wr_main(int argc, char **argv, const ply_wr_prog &prog) {
    int nargs = argc - 1;
    if (nargs < prog.min_args || nargs > prog.max_args) {
        usage(argc > 0 ? argv[0] : "", prog.usage);
        return 1;
    }
    svc_tc_setmode();
    if (prog.fixed_tc_mode < 0) {
        int mode = tc_getmode();
        fprintf(stderr, "r=%d, timescale=[%s]\n", mode, ply_wr_rate_text(mode));
    } else {
        // The format's own rate outranks the environment.
        tc_setmode(prog.fixed_tc_mode);
    }

    ply_wr_ctx ctx;
    int a = 1;
    if (prog.with_channel) ctx.channel = argv[a++];
    ctx.src = argv[a++];
    const char *dst = a < argc ? argv[a] : nullptr;
    const char *dep = getenv("DEP");
    ctx.dep = dep ? dep : "";

    ply_list *raw = nullptr;
    int r = ply_load(&raw, ctx.src);
    unique_ply list(raw);
    if (r <= 0) {
        fprintf(stderr, "Error! Failed to open file [%s], r=%d {%s}\n", ctx.src, r, strerror(-r));
        return 1;
    }
    ctx.day = run_day(ctx.src, prog.eight_digit_day);

    std::string doc;
    r = prog.format(list.get(), ctx, doc);
    if (r < 0) {
        fprintf(stderr, "Error! Failed to format [%s], r=%d (%s)\n", ctx.src, -r, strerror(-r));
        return 1;
    }
    return put_output(dst, doc, prog.open_errno);
}
