// Debug dump of a value tree to the log, one kv_debug record per piece, so
// that every indentation unit, key, scalar and byte is its own record.
// Containers are walked along their chains, so a dump is linear in the
// size of the tree.
#include "internal.h"

namespace {

// One record of the indentation unit (two spaces) per level.
void indent(int32_t depth) {
    for (int32_t i = 0; i < depth; i++) kv_debug("  ");
}

}  // namespace

extern "C" {

int32_t serialize_print_depth(const serialize_value *node, int32_t depth) {
    if (node == nullptr) return 0;
    if (node->type == SERIALIZE_ARRAY) {
        // The array itself prints nothing; each element one level deeper.
        const serialize_array_cell *cell = static_cast<const serialize_array_cell *>(node->data);
        for (; cell != nullptr && cell->value != nullptr; cell = cell->next)
            serialize_print_depth(cell->value, depth + 1);
        return 0;
    }
    indent(depth);
    switch (node->type) {
        case SERIALIZE_INT:
            kv_debug("%d\n", serialize_get_int(node));
            break;
        case SERIALIZE_FLOAT:
            kv_debug("%f\n", static_cast<double>(serialize_get_float(node)));
            break;
        case SERIALIZE_STRING:
            kv_debug("%s\n", serialize_get_string(node));
            break;
        case SERIALIZE_BYTES: {
            int32_t length = 0;
            const uint8_t *bytes = static_cast<const uint8_t *>(serialize_get_bytes(node, &length));
            for (int32_t i = 0; i < length; i++) {
                if (bytes[i] >= 0x21 && bytes[i] <= 0x7E)
                    kv_debug("%c", bytes[i]);
                else
                    kv_debug("\\x%02x", bytes[i]);
            }
            kv_debug("\n");
            break;
        }
        case SERIALIZE_HASH:
            kv_debug("{\n");
            // Entries in list order; keys are distinct, so each entry's value
            // is the one its key looks up.
            for (const serialize_hash_entry *entry = static_cast<const serialize_hash_entry *>(node->data);
                 entry != nullptr && entry->key != nullptr; entry = entry->next) {
                indent(depth + 1);
                kv_debug("\"%s\"=>", entry->key);
                serialize_print_depth(entry->value, depth + 1);
            }
            indent(depth);
            kv_debug("}\n");
            break;
        default:
            kv_debug("unknown type\n");
            break;
    }
    return 0;
}

int32_t serialize_print(const serialize_value *node) {
    return serialize_print_depth(node, 0);
}

}  // extern "C"
