#include "lib_listing.h"

const char *lib_listing::refuse(const std::vector<mivra_lib_item> &page) {
    // Names are unique within a folder: two pages in a row with the same names are one page
    // answered twice.
    bool same = !last.empty() && page.size() == last.size();
    for (size_t i = 0; same && i < page.size(); i++) same = page[i].name == last[i];
    if (same) return "the library answered the same page again";
    if (page.size() > LIB_LISTING_MAX_ITEMS - items)
        return "more items than a library folder holds";
    items += page.size();
    last.clear();
    for (const mivra_lib_item &it : page) last.push_back(it.name.str());
    return nullptr;
}
