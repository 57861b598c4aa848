#include "mivrabox_lib.h"

#include <algorithm>
#include <cassert>
#include <iterator>
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
    l->by_name.clear();
    l->dups = 0;
    l->base = 0;
    l->live = 0;
    return 0;
}

void lib_object_list_ref(lib_object_list *l, lib_object *o, int delta) {
    const bool was = o->ref > 0;
    o->ref += delta;
    if (l) l->live += int(o->ref > 0) - int(was);
}

namespace {

// An object leaves the list: the count of those with a reference follows.
void left(lib_object_list *l, const lib_object *o) {
    if (o && o->ref > 0) l->live--;
}

// o, which leaves the list, gives up its name in the index, where it held it; true when another
// object of that name is no longer found there (the index must be made again).
bool name_forget(lib_object_list *l, const lib_object *o) {
    auto it = l->by_name.find(o->object);
    if (it != l->by_name.end() && it->second == o) {
        l->by_name.erase(it);
        return l->dups > 0;
    }
    if (l->dups > 0) l->dups--;
    return false;
}

// Positions from index on moved: their objects learn where they now stand.
void renumber(lib_object_list *l, size_t from) {
    for (size_t i = from; i < l->items.size(); i++)
        if (l->items[i]) l->items[i]->slot = l->base + i;
}

void index_rebuild(lib_object_list *l) {
    l->by_name.clear();
    l->dups = 0;
    l->base = 0;
    l->live = 0;
    for (size_t i = 0; i < l->items.size(); i++) {
        lib_object *o = l->items[i].get();
        if (!o) continue;
        o->slot = i;
        l->live += o->ref > 0;
        if (!l->by_name.emplace(o->object, o).second) l->dups++;
    }
}

// The object at index leaves the list, freed or (keep) not: its name goes to the next object
// of that name, if any.
void index_drop(lib_object_list *l, size_t index, bool keep) {
    lib_object *o = l->items[index].get();
    if (!o) {
        // Taken out by the caller already: its name is no longer known here.
        l->items.erase(l->items.begin() + std::ptrdiff_t(index));
        index_rebuild(l);
        return;
    }
    std::string name = o->object;
    auto it = l->by_name.find(name);
    bool first = it != l->by_name.end() && it->second == o;
    left(l, o);
    if (keep) l->items[index].release();
    l->items.erase(l->items.begin() + std::ptrdiff_t(index));
    if (index == 0)
        l->base++;  // every other object keeps its slot
    else
        renumber(l, index);
    if (!first) {
        if (l->dups > 0) l->dups--;
        return;
    }
    l->by_name.erase(it);
    if (l->dups == 0) return;
    for (auto &p : l->items)
        if (p && p->object == name) {
            l->by_name.emplace(name, p.get());
            l->dups--;
            break;
        }
}

}  // namespace

int lib_object_list_push(lib_object_list *l, lib_object *o) {
    std::unique_ptr<lib_object> owned(o);
    if (!l || !o) return -22;
    try {
        o->slot = l->base + l->items.size();
        l->items.push_back(std::move(owned));
        l->live += o->ref > 0;
        if (!l->by_name.emplace(o->object, o).second) l->dups++;
    } catch (const std::bad_alloc &) {
        if (!l->items.empty() && l->items.back().get() == o) {
            l->items.pop_back();
            left(l, o);
        }
        return -12;
    }
    return l->count();
}

int lib_object_list_remove(lib_object_list *l, int index) {
    if (!l) return -22;
    if (index < 0 || index >= l->count()) return -2;
    index_drop(l, size_t(index), true);
    return l->count();
}

int lib_object_list_delete_front(lib_object_list *l, int n) {
    if (!l) return -22;
    n = std::clamp(n, 0, l->count());
    bool lost = false;
    for (int i = 0; i < n; i++) {
        lib_object *o = l->items[size_t(i)].get();
        if (!o) {
            lost = true;
            continue;
        }
        left(l, o);
        lost |= name_forget(l, o);
    }
    // One move of the rest; every object left keeps its slot.
    l->items.erase(l->items.begin(), l->items.begin() + n);
    l->base += size_t(n);
    if (lost) index_rebuild(l);
    return l->count();
}

int lib_object_list_delete(lib_object_list *l, int index) {
    if (!l) return -22;
    if (index < 0 || index >= l->count()) return -2;
    index_drop(l, size_t(index), false);
    return l->count();
}

int lib_object_list_sweep(lib_object_list *l, lib_object_sweepings *out) {
    if (!l) return -22;
    const size_t n = l->items.size();
    // None has a reference (a closed playlist): the list and its index go whole, without a read
    // of every object (a cache miss or more each, milliseconds at 100,000).
    if (l->live == 0 && out && n > 0) {
        assert(std::none_of(l->items.begin(), l->items.end(),
                            [](const std::unique_ptr<lib_object> &o) { return o && o->ref > 0; }));
        bool listed = false;
        try {
            out->indexes.emplace_back();
            listed = true;
            if (out->objects.empty()) {
                out->objects.swap(l->items);
            } else {
                out->objects.reserve(out->objects.size() + n);
                std::move(l->items.begin(), l->items.end(), std::back_inserter(out->objects));
            }
        } catch (const std::bad_alloc &) {
            if (listed) out->indexes.pop_back();
            return lib_object_list_sweep(l, nullptr);
        }
        out->indexes.back().swap(l->by_name);
        lib_object_list_clear(l);
        return int(n);
    }
    std::vector<lib_object *> gone;
    try {
        gone.reserve(n);
        if (out) out->objects.reserve(out->objects.size() + n);
    } catch (const std::bad_alloc &) {
        std::erase_if(l->items,
                      [](const std::unique_ptr<lib_object> &o) { return !o || o->ref <= 0; });
        index_rebuild(l);
        return int(n - l->items.size());
    }
    // One pass over the objects; the names of those that go leave the index one by one, or, when
    // most go, the index is made of those that stay and the old one goes to out.
    size_t w = 0;
    bool lost = false;
    for (size_t i = 0; i < n; i++) {
        std::unique_ptr<lib_object> &p = l->items[i];
        if (p && p->ref > 0) {
            if (w != i) l->items[w] = std::move(p);
            l->items[w]->slot = w;
            w++;
        } else if (p) {
            gone.push_back(p.release());
        } else {
            lost = true;  // its name is no longer known here
        }
    }
    l->items.resize(w);
    l->base = 0;
    l->live = int(w);
    bool remade = false;
    if (!lost && out && w < gone.size()) {
        try {
            std::unordered_map<std::string, lib_object *> names;
            names.reserve(w);
            int dups = 0;
            for (const auto &p : l->items)
                if (!names.emplace(p->object, p.get()).second) dups++;
            out->indexes.push_back(std::move(l->by_name));
            l->by_name = std::move(names);
            l->dups = dups;
            remade = true;
        } catch (const std::bad_alloc &) {
        }
    }
    for (lib_object *o : gone) {
        if (!remade && !lost) lost |= name_forget(l, o);
        if (out)
            out->objects.emplace_back(o);  // reserved: cannot throw
        else
            delete o;
    }
    if (lost) index_rebuild(l);
    return int(gone.size());
}

lib_object *lib_object_list_find_exact(const lib_object_list *l, std::string_view name) {
    if (!l || name.empty()) return nullptr;
    auto it = l->by_name.find(std::string(name));
    return it == l->by_name.end() ? nullptr : it->second;
}

int lib_object_list_find_object(const lib_object_list *l, const char *name) {
    if (!l) return -22;
    if (!name || !*name) return -2;
    std::string_view n(name);
    std::string variant(n.substr(0, n.rfind('.')));
    if (variant.size() < n.size()) variant.push_back('#');
    const lib_object *exact = lib_object_list_find_exact(l, n);
    const lib_object *var = variant != n ? lib_object_list_find_exact(l, variant) : nullptr;
    if (exact && var) return lib_object_list_index(l, exact->slot < var->slot ? exact : var);
    if (exact || var) return lib_object_list_index(l, exact ? exact : var);
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
