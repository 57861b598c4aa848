#include "abcvs.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "tc.h"

namespace {

reader_log_slot g_log;

const char *const kFunc = "abcvs_parse";
constexpr size_t kColumns = 20;

enum column {
    COL_START_MODE = 0,
    COL_DATE = 1,
    COL_START_TIME = 2,
    COL_VIDEO_ID = 3,
    COL_FILE_NAME = 4,
    COL_RECONCILIATION_KEY = 5,
    COL_DURATION = 6,
    COL_TC_IN = 8,
    COL_TYPE = 10,
    COL_SCENARIO = 11,
};

bool word_is(std::string_view cell, const char *word) {
    return cell.size() == strlen(word) && !strncasecmp(cell.data(), word, cell.size());
}

char start_mode(std::string_view cell) {
    if (word_is(cell, "Clock")) return 'F';
    if (word_is(cell, "Manual")) return 'M';
    return ' ';  // AutoFollow and every unknown word
}

// The date and time cells read as UTC, written as the local time of day with the frames kept.
void start_time(mivrabox_event *ev, std::string_view date_cell, std::string_view time_cell) {
    int day = 0, month = 0, year = 0, h = 0, m = 0, s = 0, f = 0;
    std::string date(date_cell), time(time_cell);
    if (sscanf(date.c_str(), "%d/%d/%d", &day, &month, &year) != 3 || !day || !month || !year)
        return;
    if (sscanf(time.c_str(), "%d:%d:%d:%d", &h, &m, &s, &f) != 4) return;
    struct tm tm = {};
    tm.tm_sec = s;
    tm.tm_min = m;
    tm.tm_hour = h;
    tm.tm_mday = day;
    tm.tm_mon = month - 1;
    tm.tm_year = year - 1900;
    time_t t = timegm(&tm);
    struct tm local;
    if (t == time_t(-1) || !localtime_r(&t, &local)) return;
    char text[64];
    snprintf(text, sizeof text, "%.2d:%.2d:%.2d:%.2d", local.tm_hour, local.tm_min, local.tm_sec,
             f);
    ev->start_time = text;
}

void convert(abcvs_handle *h, const std::vector<std::string_view> &row, void *user,
             abcvs_write_event_cb write_event) {
    reader_event_ptr ev(mivrabox_event_new());
    if (!ev) return;
    ev->start_mode = start_mode(row[COL_START_MODE]);
    start_time(ev.get(), row[COL_DATE], row[COL_START_TIME]);
    ev->title = row[COL_VIDEO_ID];
    ev->media_id = "/" + std::string(row[COL_FILE_NAME]);
    ev->duration = row[COL_DURATION];
    ev->mark_in = row[COL_TC_IN];
    ev->event_type = row[COL_TYPE].empty() ? 0 : int(static_cast<signed char>(row[COL_TYPE][0]));
    ev->assets = row[COL_SCENARIO];
    ev->ar = "*";
    reader_meta_add(ev.get(), "Reconciliation_Key", row[COL_RECONCILIATION_KEY]);
    if (write_event) write_event(h, ev.get(), user);
}

}  // namespace

int abcvs_create(abcvs_handle **out) {
    if (!out) return -22;
    *out = new (std::nothrow) abcvs_handle;
    return *out ? 0 : -12;
}

int abcvs_destroy(abcvs_handle **h) {
    if (!h) return -22;
    delete *h;
    *h = nullptr;
    return 0;
}

int abcvs_set_log_cb(reader_log_cb cb) {
    reader_log_set(g_log, cb);
    return 0;
}

int abcvs_parse(abcvs_handle *h, const char *path, void *, void *user,
                abcvs_write_event_cb write_event) {
    tc_setmode(TC_50);
    try {
        reader_table table;
        int r = table.load(path, g_log, kFunc);
        if (r < 0) return r;
        if (table.rows() == 0) {
            reader_log(g_log, "%s:%d empty file [%s]", kFunc, __LINE__, path);
            return 0;
        }
        reader_log(g_log, "%s:%d cvs file [%s] has %d rows", kFunc, __LINE__, path,
                   int(table.rows()));
        std::vector<std::string_view> cells;
        table.each_row([&](size_t i, std::string_view row) {
            reader_cells(row, ';', cells);
            if (cells.size() < kColumns) {
                reader_log(g_log, "%s:%d incompatible columns number, specified %d, expected %d",
                           kFunc, __LINE__, int(cells.size()), int(kColumns));
                return;
            }
            if (i == 0) return;  // the header
            convert(h, cells, user, write_event);
        });
        return 0;
    } catch (const std::bad_alloc &) {
        return -12;
    }
}
