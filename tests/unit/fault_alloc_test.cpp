// Allocation failure at every allocation site of encoding, decoding and
// dispatch. This executable interposes malloc, calloc and realloc (the
// library is linked in statically, and the test links with -rdynamic, so
// every allocation of the library comes here); a countdown makes the n-th
// allocation fail, for n = 1, 2, ... until an operation runs through
// without reaching it. Each run must end with a defined result and without
// a crash; leaks are caught by the sanitizer or valgrind at exit.
//
// Only the library's allocations fail. The library allocates with malloc,
// calloc and realloc alone; the test's own C++ objects (the captured log
// records, what the callbacks collect) come from operator new, which this
// executable also replaces, with the real allocator and no countdown.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "fake_daemon.h"
#include "handle.h"
#include "link/link.h"
#include "link_fixture.h"
#include "log_capture.h"
#include "protocol/protocol.h"

// ------------------------------------------------------------ interposer

namespace {

using MallocFn = void *(*)(size_t);
using CallocFn = void *(*)(size_t, size_t);
using ReallocFn = void *(*)(void *, size_t);
using FreeFn = void (*)(void *);

MallocFn real_malloc;
CallocFn real_calloc;
ReallocFn real_realloc;
FreeFn real_free;

// Allocations made before this executable's constructor has looked up the
// real functions (the loader, the sanitizer runtime and the C++ runtime
// allocate during start-up) come from a static area and are never freed.
alignas(16) char bootstrap[1 << 20];
size_t bootstrap_used;
bool resolving;

std::atomic<long> countdown{0};  // > 0: the allocation that brings it to 0 fails
std::atomic<long> injected{0};

bool in_bootstrap(const void *p) {
    return p >= bootstrap && p < bootstrap + sizeof bootstrap;
}

void *bootstrap_alloc(size_t n) {
    size_t at = (bootstrap_used + 15) & ~size_t{15};
    if (at + n > sizeof bootstrap) return nullptr;
    bootstrap_used = at + n;
    return bootstrap + at;
}

__attribute__((constructor)) void resolve() {
    if (real_malloc || resolving) return;
    resolving = true;
    real_calloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    real_realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    real_free = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    real_malloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    resolving = false;
}

bool fail_now() {
    if (countdown.load(std::memory_order_relaxed) <= 0) return false;
    if (countdown.fetch_sub(1, std::memory_order_relaxed) != 1) return false;
    injected.fetch_add(1, std::memory_order_relaxed);
    return true;
}

}  // namespace

extern "C" {

void *malloc(size_t n) {
    if (!real_malloc) return bootstrap_alloc(n);
    return fail_now() ? nullptr : real_malloc(n);
}

void *calloc(size_t n, size_t size) {
    if (!real_calloc) return bootstrap_alloc(n * size);  // the static area is zero-filled
    return fail_now() ? nullptr : real_calloc(n, size);
}

void *realloc(void *p, size_t n) {
    if (!real_realloc || in_bootstrap(p)) {
        void *q = malloc(n);
        if (q && p) {
            size_t room = static_cast<size_t>(bootstrap + sizeof bootstrap - static_cast<char *>(p));
            memcpy(q, p, n < room ? n : room);
        }
        return q;
    }
    return fail_now() ? nullptr : real_realloc(p, n);
}

void free(void *p) {
    if (p == nullptr || in_bootstrap(p) || !real_free) return;
    real_free(p);
}

}  // extern "C"

namespace {

void *test_alloc(size_t n) {
    void *p = real_malloc ? real_malloc(n ? n : 1) : bootstrap_alloc(n ? n : 1);
    if (!p) abort();  // the test itself out of memory: nothing sound to do
    return p;
}
void test_free(void *p) {
    if (p != nullptr && !in_bootstrap(p) && real_free) real_free(p);
}

}  // namespace

void *operator new(size_t n) {
    return test_alloc(n);
}
void *operator new[](size_t n) {
    return test_alloc(n);
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
    return test_alloc(n);
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
    return test_alloc(n);
}
void operator delete(void *p) noexcept {
    test_free(p);
}
void operator delete[](void *p) noexcept {
    test_free(p);
}
void operator delete(void *p, size_t) noexcept {
    test_free(p);
}
void operator delete[](void *p, size_t) noexcept {
    test_free(p);
}

namespace {

using namespace fixture;

// Arms the countdown for the span of one operation; fired() tells whether
// the failure was injected before the operation finished.
class FailAt {
public:
    explicit FailAt(long n) : before_(injected.load()) { countdown.store(n); }
    ~FailAt() { countdown.store(0); }
    bool fired() {
        countdown.store(0);
        return injected.load() != before_;
    }

private:
    long before_;
};

// Guards against a loop that never meets the end of the allocation sites.
constexpr long kMaxSites = 5000;

std::string encode(const serialize_value *v) {
    int32_t len = 0;
    uint8_t *bytes = serialize(v, &len);
    std::string out = bytes ? std::string(reinterpret_cast<char *>(bytes), static_cast<size_t>(len)) : "";
    free(bytes);
    return out;
}

// Hashes nested deeper than the decoder keeps key indexes for inline, so
// the deepest ones take theirs from the heap.
Value sample_tree() {
    Value deep = H({{"leaf", I(6)}});
    for (int level = 0; level < 6; level++) deep = H({{"next", deep}});
    return H({{"result", I(1)},
              {"deep", deep},
              {"title", S("A track title")},
              {"uid", B(std::string("\0\1\2\3\4\5\6\7", 8))},
              {"list", A({serialize_float(1.5f), S("x"), H({}), A({I(-1), I(2)})})},
              {"devices", A({device("A", 1), device("B", 2)})}});
}

// A hash whose key repeats, the earlier value an array whose cells spill
// into a run of their own: replacing it releases that run's cells while the
// decoder still fills the run.
std::string repeated_key_payload() {
    Value list = A({I(0), I(1), I(2), I(3), I(4), I(5), I(6), I(7), I(8), I(9)});
    std::string first = encode(list);
    serialize_free(list);
    auto entry = [](const char *key, const std::string &value) {
        return std::string{'\0', '\1', *key} + value;
    };
    return std::string("h\0\0\0\0\0\0\0\3", 9) + entry("a", first) + entry("a", "i\0011") +
           entry("b", "i\0012");
}

// Encoding, deep copy and decoding with the n-th allocation failing, for
// every n until a run needs no failure. A run that hit the failure gives
// nothing: never a truncated buffer or a partial tree, which would silently
// lose the daemon's data (a copy may still complete). Inputs: a tree of
// every kind, one too large for a single run of cells, and the repeated
// key above.
TEST(FaultAlloc, EncodeCopyAndDecodeAreAllOrNothingAtEverySite) {
    Value large = serialize_array();
    for (int i = 0; i < 3000; i++)
        serialize_array_add(large, S(std::string(40, static_cast<char>('a' + i % 26)).c_str()));
    const Value trees[] = {sample_tree(), large, nullptr};
    const std::string inputs[] = {encode(trees[0]), encode(trees[1]), repeated_key_payload()};
    enum Op { kEncode, kCopy, kDecode };
    for (size_t t = 0; t < 3; t++) {
        Value whole = unserialize(inputs[t].data(), static_cast<int32_t>(inputs[t].size()));
        const std::string reference = encode(whole);
        serialize_free(whole);
        ASSERT_FALSE(reference.empty());
        for (Op op : {kEncode, kCopy, kDecode}) {
            if (op != kDecode && trees[t] == nullptr) continue;
            long sites = 0;
            for (long n = 1; n < kMaxSites; n++) {
                FailAt fail(n);
                int32_t len = -7;
                void *result = op == kEncode ? static_cast<void *>(serialize(trees[t], &len))
                               : op == kCopy
                                   ? static_cast<void *>(serialize_dup(trees[t]))
                                   : unserialize(inputs[t].data(), static_cast<int32_t>(inputs[t].size()));
                bool fired = fail.fired();
                std::string got;
                if (op == kEncode && result != nullptr)
                    got.assign(static_cast<char *>(result), static_cast<size_t>(len));
                else if (op == kEncode)
                    got = len == 0 ? "" : "<length set>";
                else
                    got = encode(static_cast<Value>(result));
                if (op == kEncode)
                    free(result);
                else
                    serialize_free(static_cast<Value>(result));
                if (fired && op != kCopy) {
                    EXPECT_EQ(result, nullptr) << "op " << op << ", site " << n;
                }
                EXPECT_EQ(got, result == nullptr ? "" : reference) << "op " << op << ", site " << n;
                if (!fired) {
                    EXPECT_NE(result, nullptr) << "op " << op;
                    break;
                }
                sites++;
            }
            // The buffer; the root, the runs of cells and entries, the empty
            // heads and the key index.
            EXPECT_GE(sites, op == kEncode ? 1 : 3) << "op " << op << ", input " << t;
        }
    }
    serialize_free(trees[0]);
    serialize_free(trees[1]);
}

// Lookups that build a hash's table of keys, with the n-th allocation
// failing: without the table (or its room to grow) every key is still
// found, with its value.
TEST(FaultAlloc, AHashWithoutMemoryForItsKeyTableStillFindsEveryKey) {
    Value hash = serialize_hash();
    for (int i = 0; i < 64; i++) serialize_hash_add(hash, std::to_string(i).c_str(), I(i));
    for (long n = 1; n < kMaxSites; n++) {
        Value copy = serialize_dup(hash);
        FailAt fail(n);
        for (int i = 0; i < 64 * 3; i++)
            ASSERT_EQ(serialize_get_int(serialize_hash_get(copy, std::to_string(i % 64).c_str())), i % 64)
                << n;
        const bool fired = fail.fired();
        serialize_free(copy);
        if (!fired) break;
    }
    serialize_free(hash);
}

// One stream of the daemon's packets: an event, routed and generic
// replies, an error reply and a ping.
std::string frame(uint32_t tid, uint8_t opcode, Value payload) {
    std::string body = payload ? encode(payload) : std::string();
    serialize_free(payload);
    return kivtest::frame(tid, opcode, body, IPOD_HEADER_MARKER);
}

struct Seen {
    std::vector<std::string> log;  // "event:<type>", "reply:<tid>:<result>", "ping:<tid>"
};

int on_event(kiv_ipod_client *, kiv_ipod_event *e, void *data) {
    static_cast<Seen *>(data)->log.push_back("event:" + std::to_string(kiv_ipod_event_type(e)));
    return 0;
}
int on_reply(kiv_ipod_client *, uint32_t tid, int32_t result, const char *text, void *data) {
    static_cast<Seen *>(data)->log.push_back("reply:" + std::to_string(tid) + ":" + std::to_string(result) +
                                             (text ? std::string(":") + text : std::string()));
    return 0;
}
int on_ping(kiv_ipod_client *, uint32_t tid, void *data) {
    static_cast<Seen *>(data)->log.push_back("ping:" + std::to_string(tid));
    return 0;
}

TEST(FaultAlloc, DispatchAtEverySiteKeepsOrderAndReportsFailures) {
    const std::string stream =
        frame(0, IPOD_OP_event, event("connected_ipod", 3, "C", device("C", 3))) +
        frame(2, 5, H({{"current_track_info", I(1)}, {"title", S("Song")}, {"length", I(1000)}})) +
        frame(7, 9, I(5)) + frame(9, 30, H({{"error", S("no category")}})) +
        frame(40, IPOD_OP_ping, nullptr) + frame(0, IPOD_OP_event, event("play_state_changed", 1, "A", I(2)));
    uint32_t first_length = 0;  // big-endian in the first header
    for (uint32_t k = 0; k < 4; k++)
        first_length = first_length << 8 | static_cast<uint8_t>(stream[IPOD_HEADER_LENGTH_AT + k]);
    // What a run without any failure delivers, in order.
    const std::vector<std::string> full = {"event:1", "reply:2:1", "reply:7:5", "reply:9:0:no category",
                                           "ping:40", "event:6"};
    // The same entries when an allocation behind them failed: the reply
    // still reaches the callback, with a failure result instead of a value
    // (an undecodable reply is 0; a lost copy of the error text leaves the
    // result but no text).
    const std::vector<std::vector<std::string>> failed = {
        {}, {"reply:2:-1"}, {"reply:7:0"}, {"reply:9:0"}, {}, {}};
    auto matches = [&](const std::string &got, size_t k) {
        if (got == full[k]) return true;
        for (const std::string &f : failed[k])
            if (got == f) return true;
        return false;
    };

    long sites = 0;
    for (long n = 1; n < kMaxSites; n++) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ASSERT_EQ(write(sv[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
        close(sv[1]);

        kiv_ipod_client *c = ipod_client_new(sv[0]);
        ASSERT_NE(c, nullptr);
        c->devices = A({device("A", 1), device("B", 2)});
        c->pending[IPOD_REPLY_current_track_info] = 2;
        c->pending[IPOD_REPLY_current_track_index] = 7;
        c->pending[IPOD_REPLY_category] = 9;
        Seen seen;
        kiv_ipod_set_event_cb(c, on_event, &seen);
        kiv_ipod_set_reply_cb(c, on_reply, &seen);
        kiv_ipod_set_ping_cb(c, on_ping, &seen);

        bool fired;
        int32_t first;
        kivtest::log_clear();
        {
            FailAt fail(n);
            for (int32_t got = first = kiv_ipod_read(c); got >= 0;) got = kiv_ipod_read(c);
            fired = fail.fired();
        }
        EXPECT_EQ(kiv_ipod_fd(c), -1);
        // The first allocation is the receive buffer's: without it the
        // connection is given up, logged, with nothing delivered.
        EXPECT_TRUE(n > 2 || first == -1) << "site " << n << ": the first read gave " << first;
        if (n == 1) {
            EXPECT_EQ(kivtest::log_count(6, "ipod_read_packets, out of memory for 1024 bytes\n"), 1);
            EXPECT_TRUE(seen.log.empty());
        }
        // The second is the first packet's: the stream cannot be kept in
        // step without it, so the connection is given up too, logged.
        if (n == 2) {
            EXPECT_EQ(kivtest::log_count(6, "ipod_read_packets, out of memory for a packet of " +
                                                std::to_string(first_length) + " bytes\n"),
                      1);
            EXPECT_TRUE(seen.log.empty());
        }
        // Delivered entries keep their order; each is the full one or its
        // failure form; nothing is delivered twice or invented.
        std::string all;
        for (const std::string &got : seen.log) all += got + " ";
        size_t next = 0;
        for (const std::string &got : seen.log) {
            while (next < full.size() && !matches(got, next)) next++;
            ASSERT_LT(next, full.size())
                << "site " << n << ": unexpected or out of order: " << got << " in " << all;
            next++;
        }
        // Accessors stay usable whatever was lost.
        const char *title = kiv_ipod_current_track_title(c);
        if (title) {
            EXPECT_STREQ(title, "Song");
        }
        EXPECT_GE(kiv_ipod_device_count(c), 2);
        kiv_ipod_close(c);
        if (!fired) {
            EXPECT_EQ(seen.log, full);
            break;
        }
        sites++;
    }
    EXPECT_GE(sites, 20);  // handle, packets, decoded trees, events, caches
}

// A capture that gets no memory for its writer is refused, logged, and
// leaves no descriptor open (the file it created stays, empty).
TEST(FaultAlloc, ACaptureWithoutMemoryIsRefusedAndClosesItsFile) {
    char dir[] = "/tmp/fault-capture.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const int descriptors = linktest::open_descriptors();
    kivtest::log_clear();
    kiv_capture *capture;
    {
        FailAt fail(1);
        capture = kiv_capture_open(dir);
        EXPECT_TRUE(fail.fired());
    }
    EXPECT_EQ(capture, nullptr);
    EXPECT_EQ(kivtest::log_count(6, "capture: out of memory; no capture\n"), 1);
    EXPECT_EQ(linktest::open_descriptors(), descriptors);
    int files = 0;
    for (const std::string &name : kivtest::dir_names(dir))
        files += unlink((dir + ("/" + name)).c_str()) == 0;
    EXPECT_EQ(files, 1);
    EXPECT_EQ(rmdir(dir), 0);
}

}  // namespace
