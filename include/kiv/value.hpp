/**
 * @file
 * kiv::ipod values: a read-only view over a serialize_value tree, and an
 * owning builder for the payloads an application sends.
 *
 * Header-only, C++17, usable with -fno-exceptions and -fno-rtti. Every
 * function is inline over the functions of kiv_ipod.h.
 *
 * Lifetimes: a ValueView, a ByteView and every std::string_view obtained
 * from them borrow from the tree they look at. They stay valid exactly as
 * long as the C pointer they were made from (see the accessor that gave
 * the tree); copy what must outlive it (std::string, Value::copy()).
 */
#ifndef KIV_IPOD_VALUE_HPP
#define KIV_IPOD_VALUE_HPP

#if __cplusplus < 201703L
#error "kiv/value.hpp and kiv/ipod.hpp need C++17 (-std=c++17)"
#endif

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "kiv_ipod.h"

namespace kiv::ipod {

/** A borrowed run of bytes (C++17 has no std::span). */
class ByteView {
public:
    constexpr ByteView() noexcept = default;
    /** Views @p size bytes at @p data. */
    constexpr ByteView(const unsigned char *data, std::size_t size) noexcept : data_(data), size_(size) {}
    /** First byte. */
    constexpr const unsigned char *data() const noexcept { return data_; }
    /** Number of bytes. */
    constexpr std::size_t size() const noexcept { return size_; }
    /** True for no bytes. */
    constexpr bool empty() const noexcept { return size_ == 0; }
    /** Iteration over the bytes. */
    constexpr const unsigned char *begin() const noexcept { return data_; }
    /** End of the iteration. */
    constexpr const unsigned char *end() const noexcept { return data_ + size_; }
    /** Byte @p i (no bounds check, like std::span). */
    constexpr unsigned char operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    const unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
};

/** The type of a value node. */
enum class ValueType : std::int32_t {
    integer = SERIALIZE_INT,   /**< 32-bit signed integer */
    real = SERIALIZE_FLOAT,    /**< 32-bit float */
    string = SERIALIZE_STRING, /**< text */
    bytes = SERIALIZE_BYTES,   /**< byte string */
    array = SERIALIZE_ARRAY,   /**< ordered list of values */
    hash = SERIALIZE_HASH      /**< text keys to values, in insertion order */
};

class ValueView;

/** One entry of a hash as iteration yields it. */
struct HashEntry;

/** Read-only view of one node of a value tree (never null). */
class ValueView {
public:
    /** Views @p node, which must not be null. */
    explicit ValueView(const serialize_value *node) noexcept : node_(node) {}

    /** The node's type. */
    ValueType type() const noexcept { return static_cast<ValueType>(node_->type); }
    /** The integer of an integer node; nullopt for any other type. */
    std::optional<std::int32_t> as_int() const noexcept {
        if (type() != ValueType::integer) return std::nullopt;
        return serialize_get_int(node_);
    }
    /** The float of a float node; nullopt for any other type. */
    std::optional<float> as_float() const noexcept {
        if (type() != ValueType::real) return std::nullopt;
        return serialize_get_float(node_);
    }
    /** The text of a string node; nullopt for any other type. */
    std::optional<std::string_view> as_string() const noexcept {
        if (type() != ValueType::string) return std::nullopt;
        return std::string_view(serialize_get_string(node_), length());
    }
    /** The bytes of a byte string or string node; nullopt for any other type. */
    std::optional<ByteView> as_bytes() const noexcept {
        if (type() != ValueType::bytes && type() != ValueType::string) return std::nullopt;
        std::int32_t n = 0;
        const void *p = serialize_get_bytes(node_, &n);
        return ByteView(static_cast<const unsigned char *>(p), n > 0 ? static_cast<std::size_t>(n) : 0);
    }

    /** Elements of an array node in order (an empty range for any other
     *  type): `for (ValueView v : view.elements())`. */
    class Elements;
    Elements elements() const noexcept;
    /** Entries of a hash node in insertion order (an empty range for any
     *  other type): `for (auto [key, value] : view.entries())`. */
    class Entries;
    Entries entries() const noexcept;
    /** The value under @p key in a hash node; nullopt when the key is
     *  missing or the node is not a hash. One pass over the entries. */
    std::optional<ValueView> find(std::string_view key) const noexcept;
    /** Number of elements or entries (one pass); 0 for a scalar. */
    std::size_t size() const noexcept;

    /** The C node, for the functions of kiv_ipod.h. */
    const serialize_value *get() const noexcept { return node_; }

private:
    std::size_t length() const noexcept {
        return node_->length > 0 ? static_cast<std::size_t>(node_->length) : 0;
    }
    const serialize_value *node_;
};

/** A hash entry: its key and its value. */
struct HashEntry {
    std::string_view key; /**< the entry's key */
    ValueView value;      /**< the value under it */
};

/** Range over the elements of an array, walking its list once. */
class ValueView::Elements {
public:
    /** Forward iterator over the elements. */
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag; /**< forward only */
        using value_type = ValueView;                        /**< a view of an element */
        using difference_type = std::ptrdiff_t;              /**< distance */
        using pointer = void;                                /**< not addressable */
        using reference = ValueView;                         /**< yielded by value */
        /** Starts at @p cell (skipping an empty array's head). */
        explicit iterator(const serialize_array_cell *cell) noexcept : cell_(skip(cell)) {}
        /** The current element. */
        ValueView operator*() const noexcept { return ValueView(cell_->value); }
        /** Next element. */
        iterator &operator++() noexcept {
            cell_ = skip(cell_->next);
            return *this;
        }
        /** Same position. */
        bool operator==(const iterator &o) const noexcept { return cell_ == o.cell_; }
        /** Other position. */
        bool operator!=(const iterator &o) const noexcept { return cell_ != o.cell_; }

    private:
        static const serialize_array_cell *skip(const serialize_array_cell *c) noexcept {
            while (c && !c->value) c = c->next;
            return c;
        }
        const serialize_array_cell *cell_;
    };
    /** Range starting at @p head. */
    explicit Elements(const serialize_array_cell *head) noexcept : head_(head) {}
    /** First element. */
    iterator begin() const noexcept { return iterator(head_); }
    /** Past the last element. */
    iterator end() const noexcept { return iterator(nullptr); }

private:
    const serialize_array_cell *head_;
};

/** Range over the entries of a hash, walking its list once. */
class ValueView::Entries {
public:
    /** Forward iterator over the entries. */
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag; /**< forward only */
        using value_type = HashEntry;                        /**< key and value */
        using difference_type = std::ptrdiff_t;              /**< distance */
        using pointer = void;                                /**< not addressable */
        using reference = HashEntry;                         /**< yielded by value */
        /** Starts at @p entry (skipping an empty hash's head). */
        explicit iterator(const serialize_hash_entry *entry) noexcept : entry_(skip(entry)) {}
        /** The current entry. */
        HashEntry operator*() const noexcept {
            return HashEntry{std::string_view(entry_->key), ValueView(entry_->value)};
        }
        /** Next entry. */
        iterator &operator++() noexcept {
            entry_ = skip(entry_->next);
            return *this;
        }
        /** Same position. */
        bool operator==(const iterator &o) const noexcept { return entry_ == o.entry_; }
        /** Other position. */
        bool operator!=(const iterator &o) const noexcept { return entry_ != o.entry_; }

    private:
        static const serialize_hash_entry *skip(const serialize_hash_entry *e) noexcept {
            while (e && (!e->key || !e->value)) e = e->next;
            return e;
        }
        const serialize_hash_entry *entry_;
    };
    /** Range starting at @p head. */
    explicit Entries(const serialize_hash_entry *head) noexcept : head_(head) {}
    /** First entry. */
    iterator begin() const noexcept { return iterator(head_); }
    /** Past the last entry. */
    iterator end() const noexcept { return iterator(nullptr); }

private:
    const serialize_hash_entry *head_;
};

inline ValueView::Elements ValueView::elements() const noexcept {
    if (type() != ValueType::array) return Elements(nullptr);
    return Elements(static_cast<const serialize_array_cell *>(node_->data));
}

inline ValueView::Entries ValueView::entries() const noexcept {
    if (type() != ValueType::hash) return Entries(nullptr);
    return Entries(static_cast<const serialize_hash_entry *>(node_->data));
}

inline std::optional<ValueView> ValueView::find(std::string_view key) const noexcept {
    for (HashEntry e : entries())
        if (e.key == key) return e.value;
    return std::nullopt;
}

inline std::size_t ValueView::size() const noexcept {
    std::size_t n = 0;
    if (type() == ValueType::array)
        for (ValueView v : elements()) (void)v, n++;
    else
        for (HashEntry e : entries()) (void)e, n++;
    return n;
}

/** A view of @p node, or nullopt for a null pointer. */
inline std::optional<ValueView> view(const serialize_value *node) noexcept {
    if (!node) return std::nullopt;
    return ValueView(node);
}

/**
 * An owned value tree, released with serialize_free() when it goes out of
 * scope. Builds payloads:
 *
 *     Value v = Value::hash({{"name", "Music"}, {"ids", Value::array({1, 2, 3})}});
 *
 * A Value holds no tree (tests false) after it was moved from or
 * released, or when memory ran out while it was made; adding such a
 * Value to a container adds nothing.
 */
class Value {
public:
    /** An integer. */
    Value(std::int32_t number) noexcept : node_(serialize_int(number)) {}
    /** A float. */
    Value(float number) noexcept : node_(serialize_float(number)) {}
    /** A float (stored with float precision). */
    Value(double number) noexcept : node_(serialize_float(static_cast<float>(number))) {}
    /** A copy of a NUL-terminated text; a null pointer gives no tree. */
    Value(const char *text) noexcept : node_(serialize_string(text)) {}
    /** A copy of @p text (as a string: it ends at its first NUL). */
    Value(std::string_view text) : Value(std::string(text).c_str()) {}
    /** A copy of @p text (as a string: it ends at its first NUL). */
    Value(const std::string &text) noexcept : Value(text.c_str()) {}
    /** A byte string copied from @p bytes. */
    static Value bytes(ByteView bytes) noexcept {
        return adopt(serialize_bytes(bytes.data(), static_cast<std::int32_t>(bytes.size())));
    }

    /** One element of Value::array(): any value that converts to Value. */
    struct Element;
    /** One entry of Value::hash(): a key and any value that converts to Value. */
    struct Entry;
    /** An array of @p elements, in order. */
    static Value array(std::initializer_list<Element> elements = {});
    /** A hash of @p entries, in order (a repeated key keeps the last value). */
    static Value hash(std::initializer_list<Entry> entries = {});
    /** Takes over @p node (may be null): it is released with this Value. */
    static Value adopt(serialize_value *node) noexcept { return Value(node, Adopt{}); }

    /** Appends @p element to an array (nothing for another type). */
    void push_back(Value element) noexcept {
        if (node_ && node_->type == SERIALIZE_ARRAY && element) serialize_array_add(node_, element.release());
    }
    /** Sets @p key to @p element in a hash (nothing for another type). */
    void set(std::string_view key, Value element) {
        if (node_ && node_->type == SERIALIZE_HASH && element)
            serialize_hash_add(node_, std::string(key).c_str(), element.release());
    }

    Value(Value &&other) noexcept : node_(other.release()) {}
    Value &operator=(Value &&other) noexcept {
        if (this != &other) {
            serialize_free(node_);
            node_ = other.release();
        }
        return *this;
    }
    Value(const Value &) = delete;
    Value &operator=(const Value &) = delete;
    ~Value() { serialize_free(node_); }

    /** An independent deep copy (as serialize_dup() makes it). */
    Value copy() const noexcept { return adopt(serialize_dup(node_)); }
    /** True while it holds a tree. */
    explicit operator bool() const noexcept { return node_ != nullptr; }
    /** A view of the tree; nullopt when it holds none. */
    std::optional<ValueView> view() const noexcept { return ipod::view(node_); }
    /** The tree, still owned by this Value. */
    const serialize_value *get() const noexcept { return node_; }
    /** Hands the tree over to the caller (who must release it). */
    serialize_value *release() noexcept { return std::exchange(node_, nullptr); }

private:
    struct Adopt {};
    Value(serialize_value *node, Adopt) noexcept : node_(node) {}
    serialize_value *node_;
};

struct Value::Element {
    /** Converts @p v to a Value. */
    template <class T>
    Element(T &&v) : value(std::forward<T>(v)) {}
    mutable Value value; /**< taken over by the array */
};

struct Value::Entry {
    /** Key @p k, and @p v converted to a Value. */
    template <class T>
    Entry(std::string_view k, T &&v) : key(k), value(std::forward<T>(v)) {}
    std::string_view key; /**< copied into the hash */
    mutable Value value;  /**< taken over by the hash */
};

inline Value Value::array(std::initializer_list<Element> elements) {
    Value a = adopt(serialize_array());
    for (const Element &e : elements) a.push_back(std::move(e.value));
    return a;
}

inline Value Value::hash(std::initializer_list<Entry> entries) {
    Value h = adopt(serialize_hash());
    for (const Entry &e : entries) h.set(e.key, std::move(e.value));
    return h;
}

}  // namespace kiv::ipod

#endif
