// The bound of a folder listing that a library never lets end with a repeated page: a library
// cycling through fresh pages is stopped only by the item count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib_listing.h"

namespace {

TEST(LibListing, FreshPagesEndAtTheItemBound) {
    lib_listing l;
    std::vector<mivra_lib_item> page(200);
    size_t n = 0;
    const char *why = nullptr;
    while (!why && n <= LIB_LISTING_MAX_ITEMS) {
        for (mivra_lib_item &it : page) it.name = std::to_string(n++);
        why = l.refuse(page);
    }
    ASSERT_NE(why, nullptr);
    EXPECT_EQ(l.items, LIB_LISTING_MAX_ITEMS);
}

}  // namespace
