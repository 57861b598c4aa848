#include "abcvs2.h"

#include <libxml/xmlstring.h>
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

reader_log_slot g_log;

const char *const kFunc = "abcvs2_parse";
constexpr size_t kColumns = 17;

enum column {
    COL_INDEX,
    COL_CHRONO,
    COL_START,
    COL_END,
    COL_TYPE,
    COL_SUPPORT,
    COL_WORK_TITLE,
    COL_SEGMENT_TITLE,
    COL_PROGRAMME,
    COL_EPISODE,
    COL_TC_IN,
    COL_TC_OUT,
    COL_DIFFUSION,
    COL_ORDER,
    COL_DURATION,
    COL_SEGMENT,
    COL_PLACEMENT,
    COL_COUNT,
};

// In the order of the column enum; UTF-8.
const char *const kNames[COL_COUNT] = {
    "Index",
    "Chrono",
    "Heure d\xC3\xA9"
    "but",
    "Heure fin",
    "Type oeuvre",
    "N\xC2\xB0 support",
    "Titre oeuvre",
    "Titre segment",
    "N\xC2\xB0 programme",
    "N\xC2\xB0 Episode",
    "TC IN",
    "TC OUT",
    "Diffusion Id",
    "N\xC2\xB0 ordre",
    "Dur\xC3\xA9"
    "e",
    "N\xC2\xB0 Segment",
    "Placement",
};

// Metadata pairs in the order they are added.
struct meta_column {
    const char *key;
    column col;
};
constexpr meta_column kMeta[] = {
    {"Diffusion_Id", COL_DIFFUSION},      {"Type_oeuvre", COL_TYPE},
    {"N_support", COL_SUPPORT},           {"Titre_oeuvre", COL_WORK_TITLE},
    {"Titre_segment", COL_SEGMENT_TITLE}, {"N_programme", COL_PROGRAMME},
    {"N_Episode", COL_EPISODE},           {"N_ordre", COL_ORDER},
    {"N_Segment", COL_SEGMENT},           {"Placement", COL_PLACEMENT},
};

struct iconv_close_fn {
    void operator()(void *cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using iconv_ptr = std::unique_ptr<void, iconv_close_fn>;

// One parse: the column map and, for ISO-8859-1 tables, the converter.
struct table {
    int map[COL_COUNT];
    iconv_ptr conv;
    char buf[ABCVS2_CELL_SIZE];

    table() {
        for (int &i : map) i = -1;
    }
    // The cell as UTF-8; valid until the next call.
    std::string cell(std::string_view text) {
        if (!conv) return std::string(text);
        return conv_str(static_cast<iconv_t>(conv.get()), std::string(text).c_str(), buf);
    }
    std::string column(const std::vector<std::string_view> &row, column c) {
        return map[c] < 0 ? std::string() : cell(row[size_t(map[c])]);
    }
};

// The ISO-8859-1 codes of the accented e and the degree sign, in a cell that is not UTF-8: the
// same bytes occur inside UTF-8 pairs (the degree sign is C2 B0), and converting a UTF-8 header
// again would lose every accented column name.
bool latin1_marks(std::string_view cell) {
    if (cell.find_first_of("\xE9\xB0") == std::string_view::npos) return false;
    return cell.find('\0') != std::string_view::npos ||
           !xmlCheckUTF8(reinterpret_cast<const xmlChar *>(std::string(cell).c_str()));
}

void read_header(table &t, const std::vector<std::string_view> &row) {
    for (std::string_view c : row) {
        if (!latin1_marks(c)) continue;
        iconv_t cd = iconv_open("utf-8", "ISO_8859-1");
        if (cd != iconv_t(-1)) t.conv.reset(cd);
        reader_log(g_log, "%s:%d found characters that belongs to 'ISO_8859-1'", kFunc, __LINE__);
        break;
    }
    for (int n = 0; n < COL_COUNT; n++) {
        for (size_t i = 0; i < row.size() && t.map[n] < 0; i++)
            if (t.cell(row[i]) == kNames[n]) t.map[n] = int(i);
        if (t.map[n] < 0)
            reader_log(g_log, "%s:%d Unable to find column [%s]", kFunc, __LINE__, kNames[n]);
    }
}

char start_mode(const std::string &cell) {
    if (!strcasecmp(cell.c_str(), "Start ByClock")) return 'F';
    if (!strcasecmp(cell.c_str(), "Start Manual")) return 'M';
    return ' ';  // Start AutoFollow and every other text
}

void convert(abcvs2_handle *h, table &t, const std::vector<std::string_view> &row, void *user,
             abcvs2_write_event_cb write_event) {
    std::string duration = t.column(row, COL_DURATION);
    if (t.map[COL_DURATION] >= 0 && duration == "00:00:00:00") return;
    reader_event_ptr ev(mivrabox_event_new());
    if (!ev) return;
    ev->start_mode = start_mode(t.column(row, COL_CHRONO));
    ev->start_time = t.column(row, COL_START);
    ev->title = t.column(row, COL_SEGMENT_TITLE) + " / " + t.column(row, COL_WORK_TITLE);
    ev->mark_in = t.column(row, COL_TC_IN);
    ev->duration = duration;
    ev->media_id = "/" + t.column(row, COL_SUPPORT) + "#";
    ev->ar = "*";
    for (const meta_column &m : kMeta) reader_meta_add(ev.get(), m.key, t.column(row, m.col));
    if (write_event) write_event(h, ev.get(), user);
}

}  // namespace

char *conv_str(iconv_t cd, const char *cell, char *buf) {
    memset(buf, 0, ABCVS2_CELL_SIZE);
    char *in = const_cast<char *>(cell ? cell : "");
    size_t in_left = strlen(in);
    char *out = buf;
    size_t out_left = ABCVS2_CELL_SIZE - 1;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &in_left, &out, &out_left) == size_t(-1))
        reader_log(g_log, "%s:%d: iconv() failed, errno=%d", "conv_str", __LINE__, errno);
    *out = '\0';
    return buf;
}

int abcvs2_create(abcvs2_handle **out) {
    if (!out) return -22;
    *out = new (std::nothrow) abcvs2_handle;
    return *out ? 0 : -12;
}

int abcvs2_destroy(abcvs2_handle **h) {
    if (!h) return -22;
    delete *h;
    *h = nullptr;
    return 0;
}

int abcvs2_set_log_cb(reader_log_cb cb) {
    reader_log_set(g_log, cb);
    return 0;
}

int abcvs2_parse(abcvs2_handle *h, const char *path, void *, void *user,
                 abcvs2_write_event_cb write_event) {
    try {
        reader_table rows;
        int r = rows.load(path, g_log, kFunc);
        if (r < 0) return r;
        if (rows.rows() == 0) {
            reader_log(g_log, "%s:%d empty file [%s]", kFunc, __LINE__, path);
            return 0;
        }
        reader_log(g_log, "%s:%d cvs file [%s] has %d rows", kFunc, __LINE__, path,
                   int(rows.rows()));
        auto t = std::make_unique<table>();
        bool header = false;
        std::vector<std::string_view> cells;
        rows.each_row([&](size_t i, std::string_view row) {
            reader_cells(row, '\t', cells);
            if (cells.size() != kColumns) {
                reader_log(g_log, "%s:%d incompatible columns number, specified %d, expected %d",
                           kFunc, __LINE__, int(cells.size()), int(kColumns));
                reader_log(g_log, "%s:%d Index=[%s]", kFunc, __LINE__,
                           std::string(cells[0]).c_str());
                return;
            }
            if (i == 0) {
                read_header(*t, cells);
                header = true;
            } else if (header) {
                // Without a header no column can be told apart: the rows give nothing.
                convert(h, *t, cells, user, write_event);
            }
        });
        return 0;
    } catch (const std::bad_alloc &) {
        return -12;
    }
}
