#include "mivrabox_body.h"

#include <zlib.h>

#include <new>

#include "mivrabox_event.h"

namespace {

// z_stream with its end call on every path.
struct zs_deflate {
    z_stream zs{};
    int rc = deflateInit(&zs, Z_BEST_COMPRESSION);
    ~zs_deflate() {
        if (rc == Z_OK) deflateEnd(&zs);
    }
};

struct zs_inflate {
    z_stream zs{};
    int rc = inflateInit(&zs);
    ~zs_inflate() {
        if (rc == Z_OK) inflateEnd(&zs);
    }
};

int z_error(int rc) {
    return rc == Z_MEM_ERROR ? -12 : -22;
}

}  // namespace

int mivrabox_body_deflate(std::string_view line, std::vector<unsigned char> &out) {
    out.clear();
    if (line.size() > MIVRABOX_BODY_LINE_MAX || line.find('\0') != std::string_view::npos)
        return -22;
    try {
        // The NUL travels too: the other side reads the text up to it.
        std::string text(line);
        out.resize(MIVRABOX_BODY_SIZE);
        zs_deflate d;
        if (d.rc != Z_OK) {
            out.clear();
            return z_error(d.rc);
        }
        d.zs.next_in = reinterpret_cast<Bytef *>(text.data());
        d.zs.avail_in = uInt(text.size() + 1);
        d.zs.next_out = out.data();
        d.zs.avail_out = uInt(out.size());
        int rc = deflate(&d.zs, Z_FINISH);
        // One finishing pass must end the stream; Z_OK here means the area was too small.
        if (rc != Z_STREAM_END) {
            out.clear();
            return rc == Z_OK || rc == Z_BUF_ERROR ? -22 : z_error(rc);
        }
        out.resize(MIVRABOX_BODY_SIZE - d.zs.avail_out);
        return int(out.size());
    } catch (const std::bad_alloc &) {
        out.clear();
        return -12;
    }
}

int mivrabox_body_inflate(const unsigned char *data, size_t size, std::string &line) {
    line.clear();
    if (!data || size == 0 || size > MIVRABOX_BODY_SIZE) return -22;
    try {
        std::vector<unsigned char> area(MIVRABOX_BODY_SIZE);
        zs_inflate z;
        if (z.rc != Z_OK) return z_error(z.rc);
        z.zs.next_in = const_cast<Bytef *>(data);
        z.zs.avail_in = uInt(size);
        z.zs.next_out = area.data();
        z.zs.avail_out = uInt(area.size());
        int rc = inflate(&z.zs, Z_FINISH);
        // A stream cut short, too large for the area, or followed by stray bytes is no body.
        if (rc != Z_STREAM_END) return z_error(rc);
        if (z.zs.avail_in != 0) return -22;
        size_t produced = area.size() - z.zs.avail_out;
        size_t n = 0;
        while (n < produced && area[n]) n++;
        if (n == produced) return -22;  // no NUL inside the area
        line.assign(reinterpret_cast<const char *>(area.data()), n);
        return int(n);
    } catch (const std::bad_alloc &) {
        line.clear();
        return -12;
    }
}

int mivrabox_body_line(const mivrabox_event *ev, std::string &line) {
    line.clear();
    if (!ev) return -22;
    // A formatted line is never empty (it holds its TABs), so 0 means no memory.
    if (mivrabox_event_format_append(ev, line) == 0) return -12;
    if (line.size() > MIVRABOX_BODY_LINE_MAX) {
        line.clear();
        return -22;
    }
    return int(line.size());
}
