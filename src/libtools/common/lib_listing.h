// Paged listings of a media library folder, bounded. A library that ignores LibListItems' offset
// (or clamps it to its last page) answers the same page for every offset, and its listing would
// never end: a page that repeats the one before ends it, and so does a folder larger than any a
// real library holds.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mivra_lib.h"

// Items of one folder past which a listing is taken for a library that misbehaves.
constexpr size_t LIB_LISTING_MAX_ITEMS = 1000000;

struct lib_listing {
    std::vector<std::string> last;  // names of the page before
    size_t items = 0;               // items taken so far

    // Null when the page may be taken, else why the listing ends before it (a text to log).
    const char *refuse(const std::vector<mivra_lib_item> &page);
};
