// What the caches count against their limit: for every text and scalar
// value they hold, at least the block the allocator takes for it (its
// usable size and one header word), so that the limit bounds real memory,
// and no more than that block.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cache/retained.h"
#include "client_fixture.h"
#include "value_tree.h"
#include "values.h"

namespace {

uint64_t taken_by(const void *block) {
    return malloc_usable_size(const_cast<void *>(block)) + sizeof(size_t);
}

TEST(CacheAccounting, EveryHeldTextOrScalarCountsAtLeastItsBlock) {
    EXPECT_EQ(text_footprint(nullptr), 0u);
    EXPECT_EQ(value_footprint(nullptr), 0u);
    for (size_t n = 0; n <= 300; n++) {
        const std::string text(n, 't');
        char *copy = strdup(text.c_str());
        ASSERT_NE(copy, nullptr);
        EXPECT_GE(text_footprint(text.c_str()), taken_by(copy)) << n;
        free(copy);
        kivtest::Tree as_text(serialize_string(text.c_str()));
        kivtest::Tree as_bytes(serialize_bytes(text.data(), static_cast<int32_t>(n)));
        EXPECT_GE(value_footprint(as_text.get()), taken_by(as_text.get())) << n;
        EXPECT_GE(value_footprint(as_bytes.get()), taken_by(as_bytes.get())) << n;
        // And no more than the model of the allocator applied to what it
        // really gave.
        for (const serialize_value *v : {as_text.get(), as_bytes.get()})
            EXPECT_LE(value_footprint(v),
                      ipod_block_footprint(malloc_usable_size(const_cast<serialize_value *>(v))))
                << n;
    }
    kivtest::Tree number(serialize_int(7));
    kivtest::Tree real(serialize_float(7.5f));
    for (const serialize_value *v : {number.get(), real.get()}) {
        EXPECT_GE(value_footprint(v), taken_by(v));
        EXPECT_LE(value_footprint(v),
                  ipod_block_footprint(malloc_usable_size(const_cast<serialize_value *>(v))));
    }
}

// A kind of cache that does not exist is never admitted nor set, and one
// that does is counted as set.
TEST(CacheAccounting, OnlyKnownCachesAreCounted) {
    fixture::Client c;
    for (int kind : {-1, static_cast<int>(IPOD_RETAINED_KINDS)}) {
        EXPECT_EQ(cache_admit(c, kind, 10, "test"), 0) << kind;
        cache_retained_set(c, kind, 10);
    }
    EXPECT_EQ(cache_retained_total(c), 0u);
    for (int kind = 0; kind < IPOD_RETAINED_KINDS; kind++)
        EXPECT_EQ(cache_admit(c, kind, 0, "test"), 1) << kind;
    EXPECT_EQ(cache_admit(c, IPOD_RETAINED_DEVICES, 10, "test"), 1);
    EXPECT_EQ(cache_retained_total(c), 10u);
    cache_retained_set(c, IPOD_RETAINED_DEVICES, 5);
    EXPECT_EQ(cache_retained_total(c), 5u);
    // Up to the limit exactly, counting the other caches; one byte more is refused.
    EXPECT_EQ(cache_admit(c, IPOD_RETAINED_RECORDS, IPOD_MAX_RETAINED - 5, "test"), 1);
    EXPECT_EQ(cache_admit(c, IPOD_RETAINED_DEVICES, 6, "test"), 0);
    EXPECT_EQ(cache_retained_total(c), static_cast<uint64_t>(IPOD_MAX_RETAINED));
}

}  // namespace
