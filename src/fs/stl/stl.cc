#include "stl.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <iconv.h>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "file.h"
#include "log.h"
#include "text.h"

const stl_field stl_gsi_fields[30] = {
    {"CPN", "Code Page Number", 0, 3},
    {"DFC", "Disk Format Code", 3, 8},
    {"DSC", "Display Standard Code", 11, 1},
    {"CCT", "Character Code Table number", 12, 2},
    {"LC", "Language Code", 14, 2},
    {"OPT", "Original Programme Title", 16, 32},
    {"OET", "Original Episode Title", 48, 32},
    {"TPT", "Translated Programme Title", 80, 32},
    {"TET", "Translated Episode Title", 112, 32},
    {"TN", "Translator's Name", 144, 32},
    {"TCD", "Translator's Contact Details", 176, 32},
    {"SLR", "Subtitle List Reference Code", 208, 16},
    {"CD", "Creation Date", 224, 6},
    {"RD", "Revision Date", 230, 6},
    {"RN", "Revision number", 236, 2},
    {"TNB", "Total Number of Text and Timing Information (TTI) blocks", 238, 5},
    {"TNS", "Total Number of Subtitles", 243, 5},
    {"TNG", "Total Number of Subtitle Groups", 248, 3},
    {"MNC", "Maximum Number of Displayable Characters in any text row", 251, 2},
    {"MNR", "Maximum Number of Displayable Rows", 253, 2},
    {"TCS", "Time Code: Status", 255, 1},
    {"TCP", "Time Code: Start-of-Programme", 256, 8},
    {"TCF", "Time Code: First In-Cue", 264, 8},
    {"TND", "Total Number of Disks", 272, 1},
    {"DSN", "Disk Sequence Number", 273, 1},
    {"CO", "Country of Origin", 274, 3},
    {"PUB", "Publisher", 277, 32},
    {"EN", "Editor's Name", 309, 32},
    {"ECD", "Editor's Contact Details", 341, 32},
    {"UDA", "User-Defined Area", 448, 576},
};

const stl_field stl_tti_fields[10] = {
    {"SGN", "Subtitle Group Number", 0, 1},  {"SN", "Subtitle Number", 1, 2},
    {"EBN", "Extension Block Number", 3, 1}, {"CS", "Cumulative Status", 4, 1},
    {"TCI", "Time Code In", 5, 4},           {"TCO", "Time Code Out", 9, 4},
    {"VP", "Vertical Position", 13, 1},      {"JC", "Justification Code", 14, 1},
    {"CF", "Comment Flag", 15, 1},           {"TF", "Text Field", 16, 112},
};

namespace {

constexpr size_t kGsiFields = sizeof(stl_gsi_fields) / sizeof(stl_gsi_fields[0]);
constexpr size_t kTtiFields = sizeof(stl_tti_fields) / sizeof(stl_tti_fields[0]);
const stl_field &kTci = *stl_field_find(stl_tti_fields, kTtiFields, "TCI");
const stl_field &kTco = *stl_field_find(stl_tti_fields, kTtiFields, "TCO");
const stl_field &kTf = *stl_field_find(stl_tti_fields, kTtiFields, "TF");

// iconv source of each character code table number; the target is always "utf-8".
constexpr const char *kCodeTables[] = {"ISO_6937:1992", "ISO_8859-5:1988", "ISO_8859-6:1987",
                                       "ISO_8859-7:1987", "ISO_8859-8:1988"};

// Base-10 value of a NUL-terminated field as atoi reads it; fields are short, so no overflow.
int dec_value(const char *text) {
    return int(strtol(text, nullptr, 10));
}

int64_t tnb_of(const uint8_t *gsi) {
    char buf[8];
    return dec_value(stl_field_read(gsi, *stl_field_find(stl_gsi_fields, kGsiFields, "TNB"), buf));
}

// True when the file holds exactly the GSI block and TNB TTI blocks.
bool size_ok(const uint8_t *data, size_t size) {
    if (size < STL_GSI_SIZE || size > STL_SIZE_MAX) return false;
    int64_t tnb = tnb_of(data);
    return tnb >= 0 && (tnb + 8) * int64_t(STL_TTI_SIZE) == int64_t(size);
}

int64_t tc_frames_at(const uint8_t *p) {
    return stl_frames(p[0], p[1], p[2], p[3]);
}

struct iconv_holder {
    iconv_t cd = iconv_t(-1);
    int cct = -1;
    iconv_holder() = default;
    iconv_holder(const iconv_holder &) = delete;
    iconv_holder &operator=(const iconv_holder &) = delete;
    ~iconv_holder() { reset(); }
    void reset() {
        if (cd != iconv_t(-1)) iconv_close(cd);
        cd = iconv_t(-1);
        cct = -1;
    }
    // Converter for table cct, opened once and reused for every block of a file.
    iconv_t get(int table) {
        if (cct == table && cd != iconv_t(-1)) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            return cd;
        }
        reset();
        cd = iconv_open("utf-8", kCodeTables[table]);
        if (cd != iconv_t(-1)) cct = table;
        return cd;
    }
};

// Control codes become markup, '~' runs are split and the rest is dropped, before any
// character conversion.
std::string tti_work_text(const uint8_t *tf, int cct) {
    std::string w;
    for (int i = 0; i < kTf.length; i++) {
        uint8_t c = tf[i];
        if ((c >= 0x20 && c <= 0x7F) || c >= 0xA1) {
            // glibc's ISO 6937 lacks the two currency-area characters of the subtitle table:
            // left in, they would end the conversion of the whole line.
            if (cct == 0 && c == 0xA4) c = '$';
            if (cct == 0 && c == 0xA6) c = '#';
            w.push_back(char(c));
            continue;
        }
        switch (c) {
            case 0x80:
                w += "<i>";
                break;
            case 0x81:
                w += "</i>";
                break;
            case 0x82:
                w += "<u>";
                break;
            case 0x83:
                w += "</u>";
                break;
            case 0x84:
                w += "<b>";
                break;
            case 0x85:
                w += "</b>";
                break;
            case 0x8A:
                w += '~';
                break;
            default:
                break;
        }
    }
    while (w.size() > 1 && (w.back() == '~' || w.back() == ' ')) w.pop_back();
    for (size_t i = 1; i < w.size(); i++)
        if (w[i] == '~' && w[i - 1] == '~') w[i] = ' ';
    return w;
}

int tti_text(const stl_file &file, int block, char *out, iconv_holder &conv) {
    memset(out, 0, STL_TEXT_SIZE);
    if (block < 0 || file.data.size() != size_t(file.size) ||
        STL_GSI_SIZE + STL_TTI_SIZE * (size_t(block) + 1) > file.data.size())
        return 0;
    int cct = stl_gsi_int(file, "CCT");
    const uint8_t *tti = file.data.data() + STL_GSI_SIZE + STL_TTI_SIZE * size_t(block);
    std::string work = tti_work_text(tti + kTf.offset, cct);

    if (cct < 0 || cct >= int(std::size(kCodeTables)))
        return int(str_copy(out, STL_TEXT_SIZE, std::string_view(work)));

    iconv_t cd = conv.get(cct);
    if (cd == iconv_t(-1)) {
        log_msg(LOG_ERROR, "%s: iconv_open(%s) failed, errno=%d", "stl_tti_text", kCodeTables[cct],
                errno);
        return 0;
    }
    char *in = work.data();
    size_t in_left = work.size();
    char *o = out;
    size_t out_left = STL_TEXT_SIZE - 1;  // the zeroed tail byte terminates the text
    // A sequence that does not convert, or a full output, ends the text with what was made.
    iconv(cd, &in, &in_left, &o, &out_left);
    return int(o - out);
}

}  // namespace

const stl_field *stl_field_find(const stl_field *table, size_t count, const char *code) {
    for (size_t i = 0; i < count; i++)
        if (strcmp(table[i].code, code) == 0) return &table[i];
    return nullptr;
}

char *stl_field_read(const uint8_t *block, const stl_field &f, char *out) {
    memcpy(out, block + f.offset, size_t(f.length));
    out[f.length] = 0;
    return out;
}

int stl_gsi_int(const stl_file &file, const char *code) {
    const stl_field *f = stl_field_find(stl_gsi_fields, kGsiFields, code);
    if (!f || file.data.size() < STL_GSI_SIZE) return 0;
    std::string buf(size_t(f->length) + 1, '\0');
    return dec_value(stl_field_read(file.data.data(), *f, buf.data()));
}

int stl_parse(const uint8_t *data, size_t size, stl_file &file) {
    if (!data || !size_ok(data, size)) return -22;
    try {
        file.data.assign(data, data + size);
    } catch (const std::bad_alloc &) {
        return -12;
    }
    file.size = int(size);
    return 0;
}

int stl_load(const char *path, stl_file &file) {
    struct stat st;
    if (stat(path, &st) < 0) return -errno;
    // Checked before the open, which would block on a FIFO.
    if (!S_ISREG(st.st_mode)) return -21;
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return -errno;
    if (fstat(fd.get(), &st) < 0) return -errno;
    if (!S_ISREG(st.st_mode)) return -21;
    if (st.st_size < off_t(STL_GSI_SIZE) || st.st_size > off_t(STL_SIZE_MAX)) return -22;

    // The size rule is checked on the bytes actually read: the file may change under us.
    std::vector<uint8_t> buf;
    try {
        buf.resize(size_t(st.st_size) + 1);
    } catch (const std::bad_alloc &) {
        return -12;
    }
    size_t got = 0;
    while (got < buf.size()) {
        ssize_t n = read(fd.get(), buf.data() + got, buf.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    if (!size_ok(buf.data(), got)) return -22;
    buf.resize(got);
    file.data = std::move(buf);
    file.size = int(got);
    return 0;
}

int stl_tti_text(const stl_file &file, int block, char *out) {
    iconv_holder conv;
    return tti_text(file, block, out, conv);
}

int64_t stl_frames(int64_t h, int64_t m, int64_t s, int64_t f) {
    return h * 90000 + m * 1500 + s * 25 + f;
}

int stl_to_mpl(const stl_file &file, int64_t start_frame, std::string &text) {
    text.clear();
    if (file.data.size() != size_t(file.size) || file.data.size() < STL_GSI_SIZE) return -1;
    int64_t tnb = tnb_of(file.data.data());
    if (tnb < 1) return -1;
    // Blocks are read only when the header's count matches the bytes held.
    if (!size_ok(file.data.data(), file.data.size())) return -1;

    iconv_holder conv;
    char buf[STL_TEXT_SIZE];
    try {
        for (int i = 0; i < int(tnb); i++) {
            const uint8_t *tti = file.data.data() + STL_GSI_SIZE + STL_TTI_SIZE * size_t(i);
            int64_t in = tc_frames_at(tti + kTci.offset);
            int64_t out = tc_frames_at(tti + kTco.offset);
            if (in < start_frame) continue;
            if (tti_text(file, i, buf, conv) <= 0) continue;
            text += std::to_string(in - start_frame);
            text += '=';
            text += buf;
            text += '\n';
            text += std::to_string(out - start_frame - 1);
            text += "=\n";
        }
    } catch (const std::bad_alloc &) {
        text.clear();
        return -12;
    }
    if (text.empty()) return -1;
    if (text.size() > size_t(INT_MAX)) {
        text.clear();
        return -1;
    }
    return int(text.size());
}

namespace {

// One "%d" as scanf reads it: blanks, a sign, digits; values beyond int are clamped.
bool scan_int(const char *&p, int &v) {
    while (isspace(uint8_t(*p))) p++;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    if (!isdigit(uint8_t(*p))) return false;
    int64_t acc = 0;
    for (; isdigit(uint8_t(*p)); p++)
        if (acc <= INT_MAX) acc = acc * 10 + (*p - '0');
    if (neg) acc = -acc;
    v = int(std::clamp<int64_t>(acc, INT_MIN, INT_MAX));
    return true;
}

// "%d:%d:%d:%d", trailing text ignored.
bool scan_timecode(const char *p, int v[4]) {
    for (int i = 0; i < 4; i++) {
        if (i > 0 && *p++ != ':') return false;
        if (!scan_int(p, v[i])) return false;
    }
    return true;
}

bool ends_with(std::string_view s, std::string_view tail, bool any_case) {
    if (s.size() < tail.size()) return false;
    std::string_view end = s.substr(s.size() - tail.size());
    return any_case ? strncasecmp(end.data(), tail.data(), tail.size()) == 0 : end == tail;
}

}  // namespace

int mpl_build(const char *src, const char *path, std::string &text) {
    text.clear();
    if (!src || !path) return -22;
    log_msg(LOG_DEBUG, "%s: src=[%s]", "mpl_build", path);

    std::string_view p(path);
    if (!ends_with(p, ".mpl", false)) {
        log_msg(LOG_ERROR, "%s:%d tmp=[%s]", "mpl_build", 31, path);
        return -2;
    }
    size_t slash = p.rfind('/');
    std::string_view folder =
        slash == std::string_view::npos ? std::string_view() : p.substr(0, slash);
    std::string name(p.substr(slash == std::string_view::npos ? 0 : slash + 1));
    name.resize(name.size() - 4);
    int tc[4];
    if (!scan_timecode(name.c_str(), tc)) {
        log_msg(LOG_ERROR, "%s:%d tmp=[%s]", "mpl_build", 41, name.c_str());
        return -2;
    }
    std::string folder_text(folder);
    if (!ends_with(folder, ".stl", true)) {
        log_msg(LOG_ERROR, "%s:%d tmp=[%s]", "mpl_build", 51, folder_text.c_str());
        return -2;
    }

    // The file is the folder's last name under src; path_join refuses what is no plain name.
    size_t cut = folder.rfind('/');
    std::string_view stl_name = cut == std::string_view::npos ? folder : folder.substr(cut + 1);
    std::string stl_path;
    struct stat st;
    if (path_join(stl_path, src, stl_name) < 0 || stat(stl_path.c_str(), &st) < 0) {
        log_msg(LOG_ERROR, "%s: stl not found [%s]", "mpl_build", stl_path.c_str());
        return -2;
    }
    stl_file file;
    int r = stl_load(stl_path.c_str(), file);
    if (r < 0) {
        log_msg(LOG_ERROR, "%s: stl failed to open [%s]", "mpl_build", stl_path.c_str());
        return r == -12 ? -12 : -2;
    }

    int64_t start = stl_frames(tc[0], tc[1], tc[2], tc[3]);
    r = stl_to_mpl(file, start, text);
    if (r == -12) return -12;
    if (r < 0) {
        log_msg(LOG_ERROR, "%s: stl failed to convert [%s], r=%d", "mpl_build", stl_path.c_str(),
                r);
        return -22;
    }
    return 0;
}
