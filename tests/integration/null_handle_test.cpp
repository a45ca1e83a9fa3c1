// Every exported function that takes a handle or an event, called with a
// null one: it returns its "unknown" result at once and touches nothing.
//
// Each row runs in a child process, so that a function that crashes is
// reported by name while the other rows still run. The table is checked to
// be complete against the exported names and the public header: a function
// added later that takes a kiv_ipod_client * or a kiv_ipod_event * and has
// no row fails the test.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kiv_ipod.h"
#include "request_table.h"

#if defined(__SANITIZE_ADDRESS__)
#define KIV_TEST_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIV_TEST_LEAK_CHECK 1
#endif
#endif
#ifdef KIV_TEST_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using kivtest::read_file;

// Results rendered as text, so that integers, texts, byte arrays and
// "returned" compare alike and print readably.
std::string num(long long value) {
    return std::to_string(value);
}
std::string text(const char *value) {
    return value ? "\"" + std::string(value) + "\"" : "NULL";
}
std::string ptr(const void *value) {
    return value ? "non-null" : "NULL";
}
template <int N>
std::string zeros_or_not(const unsigned char *value) {
    if (!value) return "NULL";
    for (int i = 0; i < N; i++)
        if (value[i] != 0) return "not zeros";
    return std::to_string(N) + " zeros";
}
const auto uid8 = zeros_or_not<8>;
const auto time7 = zeros_or_not<7>;

constexpr char kReturned[] = "returned";
const unsigned char kUid[8] = {1, 2, 3, 4, 5, 6, 7, 8};
const char kData[] = "data";

struct Row {
    std::string name;
    std::function<std::string()> call;
    std::string expected;
};

// ROW(function, rendering, expected, (arguments)): the handle or event is
// the null first argument; every other argument is valid, so that only the
// null handle can make the call refuse.
#define ROW(fn, show, expected, args)               \
    {                                               \
#fn, [] { return show(fn args); }, expected \
    }
#define VOID_ROW(fn, args)                                     \
    {                                                          \
#fn, [] { fn args; return std::string(kReturned); }, kReturned \
    }

// Calls `fn` with a null handle or event, and 0 for the other argument if
// there is one.
template <class R, class P, class... Args>
R with_null(R (*fn)(P, Args...)) {
    return fn(nullptr, Args()...);
}

// One row for each of `fns` (whose names `names` lists, separated by
// commas): its result rendered by `show` is `expected`.
template <class Show, class... F>
void add_rows(std::vector<Row> &table, const std::string &names, Show show, const char *expected, F... fns) {
    std::istringstream in(names);
    auto next = [&in] {
        std::string name;
        std::getline(in >> std::ws, name, ',');
        return name;
    };
    (table.push_back({next(), [fns, show] { return show(with_null(fns)); }, expected}), ...);
}
#define ROWS(show, expected, ...) add_rows(table, #__VA_ARGS__, show, expected, __VA_ARGS__)

std::vector<Row> build_rows() {
    std::vector<Row> table = {
        VOID_ROW(kiv_ipod_close, (nullptr)),
        VOID_ROW(kiv_ipod_set_event_cb, (nullptr, nullptr, nullptr)),
        VOID_ROW(kiv_ipod_set_reply_cb, (nullptr, nullptr, nullptr)),
        VOID_ROW(kiv_ipod_set_ping_cb, (nullptr, nullptr, nullptr)),
        ROW(kiv_ipod_last_error_kind, num, "6", (nullptr)),
        ROW(kiv_ipod_set_timeout, num, "0", (nullptr, 100)),
        ROW(kiv_ipod_event_type, num, "255", (nullptr)),
        VOID_ROW(kiv_ipod_event_free, (nullptr)),
        ROW(kiv_ipod_device_index, num, "-1", (nullptr, "serial")),
        // The never-NULL results give what they give before any reply.
        ROW(kiv_ipod_get_result_lingo_version, text, "\"\"", (nullptr)),
        ROW(kiv_ipod_get_result_db_device_uid, uid8, "8 zeros", (nullptr)),
        ROW(kiv_ipod_get_result_db_last_sync_time, time7, "7 zeros", (nullptr)),
        // The health examination, blocking only, takes a value: the value
        // is handed over and freed although nothing is sent (the child's
        // leak check sees it otherwise).
        ROW(kiv_ipod_health_examine, ptr, "NULL", (nullptr, "text", serialize_int(1))),
    };
    // Accessors of the connection, events, devices, the track caches and the
    // results: what an empty cache holds.
    ROWS(num, "-1", kiv_ipod_fd, kiv_ipod_is_ready, kiv_ipod_read, kiv_ipod_event_authenticated,
         kiv_ipod_event_mode_changed, kiv_ipod_event_eap_datagram_data_length,
         kiv_ipod_event_eap_datagram_protocol_index, kiv_ipod_event_eap_datagram_session_id,
         kiv_ipod_current_session, kiv_ipod_set_current_session, kiv_ipod_current_number_of_tracks,
         kiv_ipod_current_track_index, kiv_ipod_current_chapter_index, kiv_ipod_current_track_length,
         kiv_ipod_current_track_position, kiv_ipod_current_track_state, kiv_ipod_current_sample_rate,
         kiv_ipod_current_shuffle_state, kiv_ipod_current_repeat_state, kiv_ipod_indexed_track_length);
    ROWS(num, "0", kiv_ipod_pid, kiv_ipod_is_remote, kiv_ipod_is_session_opened, kiv_ipod_pending,
         is_connection_event, set_ready, kiv_ipod_device_count, kiv_ipod_device_audio_count,
         kiv_ipod_device_support_itunes_db, kiv_ipod_device_ready, kiv_ipod_device_is_extended,
         kiv_ipod_device_authenticated, kiv_ipod_device_product_id, kiv_ipod_device_sound_card_id,
         kiv_ipod_device_port, kiv_ipod_device_used, kiv_ipod_device_type, kiv_ipod_current_chapter_count,
         kiv_ipod_current_track_timestamp, kiv_ipod_current_track_timestamp_usec,
         kiv_ipod_current_track_has_artwork, kiv_ipod_current_track_has_chapters,
         kiv_ipod_current_track_is_audiobook, kiv_ipod_current_track_is_podcast,
         kiv_ipod_indexed_track_chapter_count, kiv_ipod_indexed_track_is_audiobook,
         kiv_ipod_indexed_track_is_podcast, kiv_ipod_current_track_artwork_width,
         kiv_ipod_current_track_artwork_height, kiv_ipod_current_track_artwork_rowstride,
         kiv_ipod_current_track_artwork_length, kiv_ipod_get_category, kiv_ipod_record_count,
         kiv_ipod_get_result_db_itunes_info_count);
    ROWS(text, "NULL", kiv_ipod_last_error, kiv_ipod_event_device_serial, kiv_ipod_event_connected_serial,
         kiv_ipod_event_disconnected_serial, kiv_ipod_event_eap_datagram_protocol_string,
         kiv_ipod_device_serial, kiv_ipod_device_name, kiv_ipod_software_version,
         kiv_ipod_current_track_title, kiv_ipod_current_track_chapter, kiv_ipod_current_track_artist,
         kiv_ipod_current_track_album, kiv_ipod_current_track_composer, kiv_ipod_current_track_genre,
         kiv_ipod_indexed_track_title, kiv_ipod_indexed_track_artist, kiv_ipod_indexed_track_album,
         kiv_ipod_record);
    ROWS(ptr, "NULL", kiv_ipod_event_eap_datagram_data, kiv_ipod_event_data, kiv_ipod_current_track_uid,
         kiv_ipod_indexed_track_uid, kiv_ipod_get_result_indexed_track_info,
         kiv_ipod_current_track_artwork_data, kiv_ipod_records, kiv_ipod_get_result_db_track_info,
         kiv_ipod_get_result_pb_track_info, kiv_ipod_get_result_indexed_track_chapter_info);
    // Every other request, from the request table: the asynchronous form
    // sends nothing (0), the _sync form gives its refusal result. A second
    // row for one asynchronous form is that of its underscored _sync alias.
    std::set<std::string> named;
    for (const reqtable::Row &r : reqtable::table()) {
        if (r.opcode == 33) continue;  // the examination's row is above
        const bool alias = !named.insert(r.name).second;
        if (!alias) table.push_back({r.name, [r] { return num(r.async(nullptr)); }, "0"});
        if (!r.sync) continue;
        std::string sync = (alias ? "_" : "") + std::string(r.name) + "_sync";
        table.push_back({sync, [r] { return num(r.sync(nullptr)); }, num(r.d.lost)});
    }
    return table;
}

const std::vector<Row> &rows() {
    static const std::vector<Row> table = build_rows();
    return table;
}

#undef ROW
#undef ROWS
#undef VOID_ROW

// Runs one row in a child process: its rendered result, or how the child
// ended when it did not come back with one.
std::string run_in_child(const Row &row) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        close(fds[0]);
        std::string result = row.call();
#ifdef KIV_TEST_LEAK_CHECK
        if (__lsan_do_recoverable_leak_check() != 0) result += " (leaked)";
#endif
        ssize_t written = write(fds[1], result.data(), result.size());
        _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 3);
    }
    close(fds[1]);
    std::string result;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) result.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    return result;
}

// The names of tests/exported_names.txt.
std::set<std::string> exported_names() {
    std::set<std::string> names;
    std::istringstream lines(read_file(KIV_SOURCE_DIR "/tests/exported_names.txt"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        names.insert(line);
    }
    return names;
}

// The public header as the compiler sees it: kiv_ipod.h with the headers
// by topic that it includes, in their order.
std::string public_header() {
    const std::string umbrella = read_file(KIV_SOURCE_DIR "/include/kiv_ipod.h");
    std::string all = umbrella;
    static const std::regex topic(R"re(#include "(kiv_ipod/\w+\.h)")re");
    for (std::sregex_iterator it(umbrella.begin(), umbrella.end(), topic), end; it != end; ++it)
        all += read_file(KIV_SOURCE_DIR "/include/" + (*it)[1].str());
    return all;
}

// Every KIV_EXPORT declaration of the public header: name -> parameter list.
std::map<std::string, std::string> header_declarations() {
    std::string header = public_header();
    header = std::regex_replace(header, std::regex(R"(/\*[^*]*\*+(?:[^/*][^*]*\*+)*/)"), " ");
    header = std::regex_replace(header, std::regex(R"(//[^\n]*|#[^\n]*)"), " ");
    std::map<std::string, std::string> decls;
    static const std::regex decl(R"(KIV_EXPORT[^;(]*?\b(\w+)\s*\(([^)]*)\))");
    for (std::sregex_iterator it(header.begin(), header.end(), decl), end; it != end; ++it)
        decls[(*it)[1]] = (*it)[2];
    return decls;
}

TEST(NullHandle, EveryFunctionTakingAHandleReturnsItsUnknownResult) {
    for (const Row &row : rows()) EXPECT_EQ(run_in_child(row), row.expected) << row.name << "(NULL, ...)";
}

TEST(NullHandle, TableCoversEveryExportedFunctionTakingAHandleOrAnEvent) {
    const std::set<std::string> exported = exported_names();
    const std::map<std::string, std::string> decls = header_declarations();
    ASSERT_GT(exported.size(), 100u) << "exported_names.txt not read";

    std::set<std::string> in_table;
    for (const Row &row : rows()) {
        EXPECT_TRUE(in_table.insert(row.name).second) << row.name << " has two rows";
        EXPECT_EQ(exported.count(row.name), 1u) << row.name << " is not an exported name";
    }

    static const std::regex takes_handle(R"(\bkiv_ipod_(client|event)\s*\*)");
    int needed = 0;
    for (const std::string &name : exported) {
        auto decl = decls.find(name);
        // A name the parser did not find would escape the check below.
        ASSERT_NE(decl, decls.end()) << name << " has no declaration in kiv_ipod.h or its headers";
        if (!std::regex_search(decl->second, takes_handle)) continue;
        needed++;
        EXPECT_EQ(in_table.count(name), 1u) << name << " takes a handle or an event but has no row";
    }
    EXPECT_GT(needed, 150);
}

}  // namespace
