// The limits of a value: the encoded size around its int32_t limit, and
// the stack a value needs: the deepest values the decoder accepts (256
// nested arrays, hashes, or both in turn) decode, encode, copy, print and
// free on a thread with a 128 KiB stack, and the bytes of stack they touch
// are measured by painting the thread's stack. A tree built by the
// application deeper than the limit is refused by the encoder and the copy
// and cut by the printer, on the same small stack.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "fake_daemon.h"
#include "log_capture.h"
#include "serialize/serialize_private.h"
#include "value_tree.h"

#if defined(__SANITIZE_ADDRESS__)
#define KIV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIV_ASAN 1
#endif
#endif

namespace {

using kiv_serialize::kMaxDepth;
using kivtest::Tree;
using kivtest::wire::be32;

constexpr size_t kThreadStack = 128 << 10;
// What the header promises (include/kiv_ipod.h): release builds. The
// sanitizers' own frames and red zones are not part of it; there the test
// is that 128 KiB suffice.
constexpr size_t kPromisedStack = 32 << 10;
constexpr unsigned char kPaint = 0xA5;

// Runs `work` on a thread whose stack is `size` painted bytes above a guard
// page; returns how many bytes of it were touched (from the lowest touched
// byte up, so the thread's own record at the top counts too).
size_t stack_touched(size_t size, const std::function<void()> &work) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *map =
        mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    EXPECT_NE(map, MAP_FAILED);
    if (map == MAP_FAILED) return 0;
    mprotect(map, page, PROT_NONE);  // an overflow faults instead of writing below
    unsigned char *stack = static_cast<unsigned char *>(map) + page;
    memset(stack, kPaint, size);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    EXPECT_EQ(pthread_attr_setstack(&attr, stack, size), 0);
    pthread_t thread;
    auto run = [](void *arg) -> void * {
        (*static_cast<const std::function<void()> *>(arg))();
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()> *>(&work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    size_t untouched = 0;
    while (untouched < size && stack[untouched] == kPaint) untouched++;
    munmap(map, size + page);
    return size - untouched;
}

// A container around `inner`, with `extra` integer entries or elements
// before it (a hash's extra keys fill its small table and its index).
std::string wrap(char letter, const std::string &inner, int extra) {
    std::string body;
    for (int i = 0; i < extra; i++) {
        std::string value = "i\001" + std::string(1, static_cast<char>('0' + i % 10));
        if (letter == 'h') {
            std::string key = "key" + std::to_string(i);
            body += std::string{'\0', static_cast<char>(key.size())} + key;
        }
        body += value;
    }
    if (letter == 'h') body += std::string{'\0', '\1', 'k'};
    body += inner;
    uint32_t n = static_cast<uint32_t>(extra + 1);
    uint32_t size = static_cast<uint32_t>(4 + body.size() + (letter == 'h' ? 2 * n : 0));
    return std::string(1, letter) + be32(size) + be32(n) + body;
}

// `levels` nested containers (pattern: "a", "h" or "ah" in turn) around
// a few scalars of every kind.
std::string chain(const std::string &pattern, int levels, int extra) {
    std::string scalars = std::string("i\00242") + "f\0101.500000" + "s" + be32(5) + "title" + "b" + be32(4) +
                          std::string("\0\1AB", 4);
    std::string inner = "a" + be32(static_cast<uint32_t>(4 + scalars.size())) + be32(4) + scalars;
    for (int level = levels - 1; level > 0; level--)
        inner = wrap(pattern[static_cast<size_t>(level) % pattern.size()], inner, extra);
    return inner;
}

// Everything a value goes through, checked: decode, encode (the same
// bytes), copy, print, free.
void round_trip(const std::string &bytes, bool *ok) {
    serialize_value *tree = unserialize(bytes.data(), static_cast<int32_t>(bytes.size()));
    if (tree == nullptr) return;
    std::string again = kivtest::encoded(tree);
    serialize_value *copy = serialize_dup(tree);
    std::string copied = kivtest::encoded(copy);
    serialize_print(tree);
    serialize_free(copy);
    serialize_free(tree);
    *ok = again == bytes && copied == bytes;
}

TEST(SerializeStack, TheDeepestValuesFitInASmallStack) {
    size_t idle = stack_touched(kThreadStack, [] {});
    struct Case {
        const char *name;
        std::string pattern;
        int extra;
    } cases[] = {{"arrays", "a", 0},       {"hashes", "h", 0},       {"arrays and hashes", "ah", 0},
                 {"wide arrays", "a", 40}, {"wide hashes", "h", 40}, {"wide mix", "ah", 40}};
    for (const Case &c : cases) {
        // The deepest accepted: kMaxDepth containers; one more is refused.
        std::string deepest = chain(c.pattern, kMaxDepth, c.extra);
        std::string deeper = wrap('a', deepest, 0);
        ASSERT_EQ(Tree(unserialize(deeper.data(), static_cast<int32_t>(deeper.size()))), nullptr) << c.name;
        bool ok = false;
        kivtest::log_clear();
        size_t used = stack_touched(kThreadStack, [&] { round_trip(deepest, &ok); });
        EXPECT_TRUE(ok) << c.name;
        EXPECT_FALSE(kivtest::log_records().empty()) << c.name;
        printf("%-18s %zu bytes of stack (an idle thread: %zu)\n", c.name, used, idle);
        RecordProperty(std::string("stack_") + c.name, static_cast<int>(used));
#ifndef KIV_ASAN
        EXPECT_LE(used, kPromisedStack) << c.name;
#endif
    }
}

// The application can build a tree as deep as it likes: the encoder and
// the copy refuse it past the limit, the printer shows its first values and
// release walks it all, without more stack.
TEST(SerializeStack, DeeperTreesOfTheApplicationNeedNoMoreStack) {
    for (int levels : {kMaxDepth, kMaxDepth + 1, 100000}) {
        bool encoded = false, copied = false;
        size_t used = stack_touched(kThreadStack, [&] {
            serialize_value *root = serialize_hash();
            serialize_value *level = root;
            for (int i = 1; i < levels; i++) {
                serialize_value *next = i % 2 ? serialize_array() : serialize_hash();
                if (level->type == SERIALIZE_HASH)
                    serialize_hash_add(level, "next", next);
                else
                    serialize_array_add(level, next);
                level = next;
            }
            uint8_t *bytes = serialize(root, nullptr);
            encoded = bytes != nullptr;
            free(bytes);
            serialize_value *copy = serialize_dup(root);
            copied = copy != nullptr;
            serialize_free(copy);
            serialize_print(root);
            serialize_free(root);
        });
        EXPECT_EQ(encoded, levels <= kMaxDepth) << levels;
        EXPECT_EQ(copied, levels <= kMaxDepth) << levels;
        printf("%d levels built by hand: %zu bytes of stack\n", levels, used);
#ifndef KIV_ASAN
        EXPECT_LE(used, kPromisedStack) << levels;
#endif
    }
}

// The encoded size is an int32_t: a tree whose encoding would be one byte
// longer is refused by the size pass, before anything is allocated or read,
// and one that reaches the limit exactly is sized. The lengths are claimed
// (the nodes hold a few bytes), which only the size pass may look at.
TEST(SerializeLimits, SizesAroundTheEncodingLimit) {
    const int64_t max = INT32_MAX;
    for (int64_t over : {int64_t(-1), int64_t(0), int64_t(1), int64_t(5)}) {
        SCOPED_TRACE(over);
        // One string: 5 bytes of header and its bytes.
        Tree one(serialize_string("abc"));
        one.get()->length = static_cast<int32_t>(max - 5 + over);
        EXPECT_EQ(serialize_pack_calc(one.get()), over > 0 ? -1 : max + over);
        EXPECT_EQ(serialize_string_pack_calc(one.get()), over > 0 ? -1 : max + over);
        // An array of two byte strings that together pass the limit by `over`.
        Tree pair(serialize_array());
        const int64_t room = max - 9 - 10;  // the array's 9, two headers of 5
        const int64_t first = room / 2, second = room - first + over;
        serialize_value *a = serialize_bytes("ab", 2), *b = serialize_bytes("cd", 2);
        a->length = static_cast<int32_t>(first);
        b->length = static_cast<int32_t>(second);
        serialize_array_add(pair.get(), a);
        serialize_array_add(pair.get(), b);
        EXPECT_EQ(serialize_pack_calc(pair.get()), over > 0 ? -1 : max + over);
        if (over > 0) {
            int32_t length = -7;
            EXPECT_EQ(serialize(pair.get(), &length), nullptr);
            EXPECT_EQ(length, 0);
        }
        // Put the true lengths back before the nodes are freed.
        one.get()->length = 3;
        a->length = 2;
        b->length = 2;
    }
}

}  // namespace
