// What the caches count against their limit: for every text and scalar
// value they hold, at least the block the allocator takes for it (its
// usable size and one header word), so that the limit bounds real memory.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cache/retained.h"
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
    }
    kivtest::Tree number(serialize_int(7));
    EXPECT_GE(value_footprint(number.get()), taken_by(number.get()));
}

}  // namespace
