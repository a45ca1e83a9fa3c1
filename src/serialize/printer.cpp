// Debug dump of a value tree to the log through kv_debug, one record per
// line: the indentation, a key and the scalar that follows it share the
// record of their line. A dump writes at most kPrintMaxValues values and
// kPrintMaxText bytes of text; past either, one line says how much was
// left out. Containers are walked along their chains with an explicit
// stack, so a dump is linear in the size of the tree and needs the same
// call stack whatever its depth.
#include <stdio.h>
#include <string.h>

#include "serialize/serialize_private.h"
#include "values.h"

using namespace kiv_serialize;

namespace {

// One open container of the walk: its next cell or entry and its depth
// (for an array, the depth of its elements).
struct PrintFrame {
    const void *link;
    int64_t depth;
    bool hash;
};

// A container that is visited (printed) always finds room on the stack:
// each open frame is a visited container, and no more than kPrintMaxValues
// values are visited. Only the counting of what is left out can run out of
// stack, and that is reported as "at least".
constexpr bool kVisitedFitTheStack = kPrintMaxValues <= kMaxDepth;
static_assert(kVisitedFitTheStack, "every visited container has a frame");

class Printer {
public:
    Printer() = default;
    Printer(const Printer &) = delete;
    Printer &operator=(const Printer &) = delete;

    void print(const serialize_value *root, int64_t depth) {
        const serialize_value *node = root;
        int64_t node_depth = depth;
        while (true) {
            if (node != nullptr) {
                if (!stopped_ && values_left_ == 0) stopped_ = true;
                if (stopped_) {
                    more_values_++;
                    if (is_container(node) && !push(node, node_depth)) at_least_ = true;
                } else {
                    values_left_--;
                    visit(node, node_depth);
                }
            }
            if (!next(&node, &node_depth)) break;
        }
        if (!stopped_) return;
        // The part of a line that was written ends with the newline it
        // lacks; then the line that says what was left out.
        if (!at_line_start_) emit("\n", 1, true);
        if (more_bytes_ > 0 && more_values_ > 0)
            kv_debug("... %llu more bytes and %s%llu more values not shown\n", more_bytes_,
                     at_least_ ? "at least " : "", more_values_);
        else if (more_bytes_ > 0)
            kv_debug("... %llu more bytes not shown\n", more_bytes_);
        else
            kv_debug("... %s%llu more values not shown\n", at_least_ ? "at least " : "", more_values_);
    }

private:
    // ------------------------------------------------ output

    void flush() {
        if (line_used_ == 0) return;
        line_[line_used_] = '\0';
        kv_debug("%s", line_);
        line_used_ = 0;
    }

    // Appends to the current record; a record that fills up goes out, and
    // so does one whose line the text ends.
    void emit(const char *text, size_t n, bool ends_line) {
        if (n > 0) at_line_start_ = text[n - 1] == '\n';
        while (n > 0) {
            size_t take = kPrintRecordBytes - line_used_;
            if (take > n) take = n;
            memcpy(line_ + line_used_, text, take);
            line_used_ += take;
            text += take;
            n -= take;
            if (line_used_ == kPrintRecordBytes) flush();
        }
        if (ends_line) flush();
    }

    // Writes what fits of the text budget; false when the text did not fit
    // whole, and the dump stops.
    bool put(const char *text, size_t n, bool ends_line = false) {
        if (stopped_) return false;
        if (n > text_left_) {
            emit(text, text_left_, false);
            text_left_ = 0;
            stopped_ = true;
            return false;
        }
        emit(text, n, ends_line);
        text_left_ -= n;
        return true;
    }

    // The indentation unit (two spaces) `levels` times.
    void indent(int64_t levels) {
        static const char kSpaces[] = "                                                                ";
        constexpr int64_t kUnits = (sizeof kSpaces - 1) / 2;
        while (levels > 0 && !stopped_) {
            int64_t units = levels < kUnits ? levels : kUnits;
            put(kSpaces, static_cast<size_t>(units) * 2);
            levels -= units;
        }
    }

    // A text of `length` bytes and its newline; when it is cut, the bytes
    // left out are counted.
    void put_text(const char *text, size_t length) {
        if (stopped_) return;
        if (length > text_left_) more_bytes_ += length - text_left_;
        if (put(text, length)) put("\n", 1, true);
    }

    // A byte string: printable bytes as themselves, others as \xNN (never
    // cut inside an escape), then a newline.
    void put_bytes(const uint8_t *bytes, int32_t length) {
        static const char kHex[] = "0123456789abcdef";
        char chunk[256];
        size_t used = 0;
        for (int32_t i = 0; i < length; i++) {
            uint8_t b = bytes[i];
            size_t need = b >= 0x21 && b <= 0x7E ? 1 : 4;
            if (used + need > sizeof chunk) {
                put(chunk, used);
                used = 0;
            }
            if (used + need > text_left_) {
                put(chunk, used);
                more_bytes_ += static_cast<uint64_t>(length - i);
                stopped_ = true;
                return;
            }
            if (need == 1) {
                chunk[used++] = static_cast<char>(b);
            } else {
                chunk[used++] = '\\';
                chunk[used++] = 'x';
                chunk[used++] = kHex[b >> 4];
                chunk[used++] = kHex[b & 0xF];
            }
        }
        if (put(chunk, used)) put("\n", 1, true);
    }

    // ------------------------------------------------ walk

    bool push(const serialize_value *node, int64_t depth) {
        if (open_ >= kMaxDepth) return false;
        bool hash = node->type == SERIALIZE_HASH;
        frames_[open_++] = PrintFrame{node->data, hash ? depth : depth + 1, hash};
        return true;
    }

    void visit(const serialize_value *node, int64_t depth) {
        if (node->type == SERIALIZE_ARRAY) {
            // The array itself prints nothing; each element one level deeper.
            push(node, depth);  // room is certain (see kVisitedFitTheStack)
            return;
        }
        indent(depth);
        char text[64];
        switch (node->type) {
            case SERIALIZE_INT:
                put(text, static_cast<size_t>(snprintf(text, sizeof text, "%d\n", serialize_get_int(node))),
                    true);
                break;
            case SERIALIZE_FLOAT:
                put(text,
                    static_cast<size_t>(
                        snprintf(text, sizeof text, "%f\n", static_cast<double>(serialize_get_float(node)))),
                    true);
                break;
            case SERIALIZE_STRING: {
                const char *string = serialize_get_string(node);
                put_text(string, strlen(string));
                break;
            }
            case SERIALIZE_BYTES: {
                int32_t length = 0;
                const uint8_t *bytes = static_cast<const uint8_t *>(serialize_get_bytes(node, &length));
                put_bytes(bytes, length);
                break;
            }
            case SERIALIZE_HASH:
                put("{\n", 2, true);
                push(node, depth);  // room is certain (see kVisitedFitTheStack)
                break;
            default:
                put("unknown type\n", 13, true);
                break;
        }
    }

    // The next node of the walk and its depth; false when the walk is over.
    // Keys and closing braces are written on the way.
    bool next(const serialize_value **node, int64_t *depth) {
        while (open_ > 0) {
            PrintFrame &f = frames_[open_ - 1];
            if (!f.hash) {
                const auto *cell = static_cast<const serialize_array_cell *>(f.link);
                if (cell != nullptr && cell->value != nullptr) {
                    f.link = cell->next;
                    *node = cell->value;
                    *depth = f.depth;
                    return true;
                }
            } else {
                // Entries in list order; keys are distinct, so each entry's
                // value is the one its key looks up.
                const auto *entry = static_cast<const serialize_hash_entry *>(f.link);
                if (entry != nullptr && entry->key != nullptr) {
                    f.link = entry->next;
                    indent(f.depth + 1);
                    put("\"", 1);
                    put(entry->key, strlen(entry->key));
                    put("\"=>", 3);
                    if (entry->value == nullptr) continue;
                    *node = entry->value;
                    *depth = f.depth + 1;
                    return true;
                }
                indent(f.depth);
                put("}\n", 2, true);
            }
            open_--;
        }
        return false;
    }

    char line_[kPrintRecordBytes + 1];
    size_t line_used_ = 0;
    size_t text_left_ = kPrintMaxText;
    uint32_t values_left_ = kPrintMaxValues;
    bool stopped_ = false;
    bool at_line_start_ = true;  // the text written so far ends with a newline
    bool at_least_ = false;      // a subtree deeper than the stack was not counted
    unsigned long long more_values_ = 0;
    unsigned long long more_bytes_ = 0;
    int open_ = 0;
    PrintFrame frames_[kMaxDepth];
};

}  // namespace

extern "C" {

int32_t serialize_print_depth(const serialize_value *node, int32_t depth) {
    if (node == nullptr) return 0;
    Printer printer;
    printer.print(node, depth);
    return 0;
}

int32_t serialize_print(const serialize_value *node) {
    return serialize_print_depth(node, 0);
}

}  // extern "C"
