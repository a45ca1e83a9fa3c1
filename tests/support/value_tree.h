// An owning handle of a value tree, and the library's encoding of a tree,
// for the tests of the value format.
#ifndef KIV_TEST_VALUE_TREE_H
#define KIV_TEST_VALUE_TREE_H

#include <stdlib.h>

#include <memory>
#include <string>

#include "kiv_ipod.h"

namespace kivtest {

struct TreeDeleter {
    void operator()(serialize_value *v) const { serialize_free(v); }
};
using Tree = std::unique_ptr<serialize_value, TreeDeleter>;

// serialize()'s bytes; "<null>" when it refuses (with the length set to 0,
// as it must be), "<null, length set>" when it refuses and leaves a length.
inline std::string encoded(const serialize_value *v) {
    int32_t length = -7;
    uint8_t *buffer = serialize(v, &length);
    if (buffer == nullptr) return length == 0 ? "<null>" : "<null, length set>";
    std::string out(reinterpret_cast<char *>(buffer), static_cast<size_t>(length));
    free(buffer);
    return out;
}

}  // namespace kivtest

#endif  // KIV_TEST_VALUE_TREE_H
