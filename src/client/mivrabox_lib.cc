#include "mivrabox_lib.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

int lib_object_new(lib_object **out) {
    if (!out) return -22;
    *out = new (std::nothrow) lib_object;
    return *out ? 0 : -12;
}

int lib_object_free(lib_object **po) {
    if (!po || !*po) return -22;
    delete *po;
    *po = nullptr;
    return 0;
}

int lib_object_list_init(lib_object_list *l) {
    return lib_object_list_clear(l);
}

int lib_object_list_clear(lib_object_list *l) {
    if (!l) return -22;
    l->items.clear();
    return 0;
}

int lib_object_list_push(lib_object_list *l, lib_object *o) {
    std::unique_ptr<lib_object> owned(o);
    if (!l || !o) return -22;
    try {
        l->items.push_back(std::move(owned));
    } catch (const std::bad_alloc &) {
        return -12;
    }
    return l->count();
}

int lib_object_list_remove(lib_object_list *l, int index) {
    if (!l) return -22;
    if (index < 0 || index >= l->count()) return -2;
    l->items[size_t(index)].release();  // the caller holds it now
    l->items.erase(l->items.begin() + index);
    return l->count();
}

int lib_object_list_delete(lib_object_list *l, int index) {
    if (!l) return -22;
    if (index < 0 || index >= l->count()) return -2;
    l->items.erase(l->items.begin() + index);
    return l->count();
}

int lib_object_list_find_object(const lib_object_list *l, const char *name) {
    if (!l) return -22;
    if (!name || !*name) return -2;
    std::string_view n(name);
    std::string variant(n.substr(0, n.rfind('.')));
    if (variant.size() < n.size()) variant.push_back('#');
    for (size_t i = 0; i < l->items.size(); i++) {
        const std::string &obj = l->items[i]->object;
        if (!obj.empty() && (obj == n || obj == variant)) return int(i);
    }
    return -2;
}

int lib_object_list_find_origin(const lib_object_list *l, const char *origin) {
    if (!l) return -22;
    if (!origin || !*origin) return -2;
    for (size_t i = 0; i < l->items.size(); i++) {
        const std::string &org = l->items[i]->origin;
        if (!org.empty() && org == origin) return int(i);
    }
    return -2;
}

int mivrabox_ply_name_filter_at(const char *name, int need_ply, const char *pattern, int day_mask,
                                time_t now) {
    if (!name) return -22;
    std::string_view n(name);
    if (need_ply) {
        size_t at = n.find(".ply");
        if (at == std::string_view::npos || at + 4 != n.size()) return -125;
    }
    if (pattern && *pattern && n.find(pattern) == std::string_view::npos) return -125;
    if (day_mask == 0) return 0;

    struct day {
        int offset, bit;
    };
    static constexpr day days[] = {{0, MIVRABOX_DAY_TODAY},
                                   {-1, MIVRABOX_DAY_YESTERDAY},
                                   {1, MIVRABOX_DAY_TOMORROW},
                                   {2, MIVRABOX_DAY_IN_2},
                                   {3, MIVRABOX_DAY_IN_3}};
    struct tm today;
    if (!localtime_r(&now, &today)) return -125;
    int found = 0;
    for (const day &d : days) {
        if (!(day_mask & d.bit)) continue;
        // Calendar arithmetic at noon: days around a daylight-saving change are not 86400 s.
        struct tm t = {};
        t.tm_year = today.tm_year;
        t.tm_mon = today.tm_mon;
        t.tm_mday = today.tm_mday + d.offset;
        t.tm_hour = 12;
        t.tm_isdst = -1;
        if (mktime(&t) == time_t(-1)) continue;
        char iso[32], short_form[32];
        strftime(iso, sizeof iso, "%Y-%m-%d", &t);
        strftime(short_form, sizeof short_form, "%d%m%y", &t);
        if (n.find(iso) != std::string_view::npos || n.find(short_form) != std::string_view::npos)
            found |= d.bit;
    }
    return found ? 0 : -125;
}

int mivrabox_ply_name_filter(const char *name, int need_ply, const char *pattern, int day_mask) {
    return mivrabox_ply_name_filter_at(name, need_ply, pattern, day_mask, time(nullptr));
}
