// The library and the kiv-ipod client against the simulator: what an
// application sees end to end, the library file option, and the CLI's
// commands, JSON output and exit codes.
#include <nlohmann/json.hpp>

#include "simd_harness.h"

using namespace simdtest;
using json = nlohmann::json;

namespace {

struct Seen {
    std::vector<int> events;
    std::vector<std::string> eap_data;
    int eap_session = -1;
    int pings = 0;
};

int on_event(kiv_ipod_client *, kiv_ipod_event *e, void *data) {
    Seen *seen = static_cast<Seen *>(data);
    int type = kiv_ipod_event_type(e);
    seen->events.push_back(type);
    if (type == KIV_IPOD_EVENT_EAP_SESSION_OPENED)
        seen->eap_session = kiv_ipod_event_eap_datagram_session_id(e);
    if (type == KIV_IPOD_EVENT_EAP_DATA_RECEIVED)
        seen->eap_data.emplace_back(reinterpret_cast<const char *>(kiv_ipod_event_eap_datagram_data(e)),
                                    static_cast<size_t>(kiv_ipod_event_eap_datagram_data_length(e)));
    return 0;
}

int on_ping(kiv_ipod_client *c, uint32_t, void *data) {
    static_cast<Seen *>(data)->pings++;
    kiv_ipod_ping(c);
    return 0;
}

int on_reply(kiv_ipod_client *, uint32_t, int32_t, const char *, void *) {
    return 0;
}

// Reads until `done` or the time is up.
template <typename F>
bool pump(kiv_ipod_client *c, F done, int timeout_ms = 3000) {
    for (auto end = deadline(timeout_ms); !done();) {
        pollfd p{kiv_ipod_fd(c), POLLIN, 0};
        if (ms_left(end) <= 0 || (poll(&p, 1, ms_left(end)) > 0 && kiv_ipod_read(c) < 0)) return false;
    }
    return true;
}

bool has(const std::vector<int> &v, int x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

}  // namespace

TEST(SimdClient, LibrarySessionPlaybackArtworkEapPingAndHotplug) {
    Simulator sim({"--ping-interval", "0.2", "--allow-control"});
    kiv_ipod_client *c = kiv_ipod_connect();
    ASSERT_NE(c, nullptr);
    Seen seen;
    kiv_ipod_set_event_cb(c, on_event, &seen);
    kiv_ipod_set_ping_cb(c, on_ping, &seen);
    kiv_ipod_set_reply_cb(c, on_reply, nullptr);
    EXPECT_EQ(kiv_ipod_pid(c), sim.pid());
    ASSERT_EQ(kiv_ipod_device_count(c), 1);
    EXPECT_EQ(kiv_ipod_is_ready(c), 0);
    ASSERT_EQ(kiv_ipod_open_session_sync(c, 0), 1);
    EXPECT_EQ(kiv_ipod_is_ready(c), 1);

    ASSERT_EQ(kiv_ipod_current_track_info_sync(c), 1);
    ASSERT_NE(kiv_ipod_current_track_title(c), nullptr);
    EXPECT_NE(kiv_ipod_current_track_uid(c), nullptr);
    EXPECT_GE(kiv_ipod_current_number_of_tracks(c), 200);
    EXPECT_EQ(kiv_ipod_current_track_state(c), 0);  // stopped

    EXPECT_EQ(kiv_ipod_play_sync(c), 0);
    ASSERT_TRUE(pump(c, [&] { return kiv_ipod_current_track_state(c) == 1; }));  // playing, from the event
    ASSERT_TRUE(pump(
        c, [&] { return kiv_ipod_current_track_position(c) >= 900; }, 2500));
    EXPECT_EQ(kiv_ipod_next_track_sync(c), 0);
    ASSERT_TRUE(pump(c, [&] { return kiv_ipod_current_track_index(c) == 1; }));
    EXPECT_EQ(kiv_ipod_get_play_state_sync(c), 3);
    EXPECT_EQ(kiv_ipod_set_shuffle_sync(c, 1), 0);
    ASSERT_TRUE(pump(c, [&] { return kiv_ipod_current_shuffle_state(c) == 1; }));
    EXPECT_EQ(kiv_ipod_get_shuffle_sync(c), 1);
    EXPECT_EQ(kiv_ipod_set_position_sync(c, -1), -1);  // refused by the daemon
    EXPECT_EQ(kiv_ipod_pause_sync(c), 0);

    // Artwork: inline first, then through the shared file; the mapped
    // pixels are the file's.
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 40), 1);
    EXPECT_EQ(kiv_ipod_current_track_artwork_width(c), 40);
    ASSERT_NE(kiv_ipod_current_track_artwork_data(c), nullptr);
    ASSERT_EQ(kiv_ipod_current_track_artwork_sync(c, 160), 1);
    uint32_t len = kiv_ipod_current_track_artwork_length(c);
    EXPECT_EQ(len, 160u * 320u);
    const unsigned char *px = kiv_ipod_current_track_artwork_data(c);
    ASSERT_NE(px, nullptr);
    unsigned white = 0;
    for (uint32_t k = 0; k + 1 < len; k += 2) white += px[k] == 0xFF && px[k + 1] == 0xFF;
    EXPECT_GT(white, 160u * 4u);  // the frame is drawn
    EXPECT_LT(white, 160u * 160u / 2u);

    // Indexed track with chapters (the generated library ends with them).
    int last = kiv_ipod_current_number_of_tracks(c) - 1;
    ASSERT_EQ(kiv_ipod_indexed_track_info_sync(c, last), 1);
    EXPECT_GT(kiv_ipod_indexed_track_chapter_count(c), 0);
    EXPECT_EQ(kiv_ipod_indexed_track_is_podcast(c), 1);
    EXPECT_EQ(kiv_ipod_indexed_track_info_sync(c, last + 1), -1);

    ASSERT_EQ(kiv_ipod_request_lingo_version_sync(c, 4), 1);
    EXPECT_STREQ(kiv_ipod_get_result_lingo_version(c), "1.14");
    EXPECT_EQ(kiv_ipod_set_category_sync(c, 2), 1);
    EXPECT_GT(kiv_ipod_record_count(c), 1);
    EXPECT_EQ(kiv_ipod_get_records_sync(c, 0, 2), 1);
    EXPECT_NE(kiv_ipod_record(c, 1), nullptr);
    EXPECT_EQ(kiv_ipod_get_db_track_info_sync(c, 0, 2, 0), 1);
    EXPECT_EQ(serialize_array_count(kiv_ipod_get_result_db_track_info(c)), 14);

    // EAP: launching an application opens a session, datagrams echo back.
    EXPECT_EQ(kiv_ipod_launch_application_sync(c, "com.kiv.echo"), 0);
    ASSERT_TRUE(pump(c, [&] { return seen.eap_session > 0; }));
    const char datagram[] = {'p', 'i', 'n', 'g', 0, 1};
    EXPECT_EQ(kiv_ipod_send_eap_datagram_sync(c, seen.eap_session, datagram, 6), 0);
    ASSERT_TRUE(pump(c, [&] { return !seen.eap_data.empty(); }));
    EXPECT_EQ(seen.eap_data[0], std::string(datagram, 6));
    EXPECT_EQ(kiv_ipod_send_eap_datagram_sync(c, seen.eap_session + 100, datagram, 6), -1);

    // Pings arrive and the simulator notices the answers.
    ASSERT_TRUE(pump(c, [&] { return seen.pings > 0; }));
    EXPECT_TRUE(sim.wait_log("answered the ping"));

    // Hot-plug through the control command.
    seen.events.clear();
    EXPECT_EQ(run_tool("kiv-ipod-simd", {"--control", "hotplug"}).code, 0);
    ASSERT_TRUE(pump(c, [&] { return has(seen.events, KIV_IPOD_EVENT_DISCONNECTED); }));
    EXPECT_EQ(kiv_ipod_current_session(c), -1);
    EXPECT_EQ(kiv_ipod_is_ready(c), 0);
    EXPECT_EQ(kiv_ipod_play_sync(c), -1);  // the daemon refuses: no iPod attached
    ASSERT_TRUE(pump(c, [&] { return has(seen.events, KIV_IPOD_EVENT_IPOD_READY); }));
    EXPECT_EQ(seen.events[0], KIV_IPOD_EVENT_DISCONNECTED);
    for (int e : {KIV_IPOD_EVENT_CONNECTED, KIV_IPOD_EVENT_AUTHENTICATED, KIV_IPOD_EVENT_MODE_CHANGED})
        EXPECT_TRUE(has(seen.events, e)) << e;
    ASSERT_EQ(kiv_ipod_device_count(c), 1);
    EXPECT_EQ(kiv_ipod_device_ready(c, 0), 1);
    ASSERT_EQ(kiv_ipod_open_session_sync(c, 0), 1);
    EXPECT_EQ(kiv_ipod_is_ready(c), 1);
    EXPECT_EQ(kiv_ipod_play_sync(c), 0);

    // The simulator going away is the end of the stream for the client.
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(pump(
        c, [] { return false; }, 1000));
    EXPECT_EQ(kiv_ipod_is_ready(c), -1);
    kiv_ipod_close(c);
}

TEST(SimdClient, LibraryFileAndSeed) {
    {
        TempDir tmp;
        const std::string path = tmp.file("library.json", R"({"tracks": [
        {"title": "One", "artist": "A", "album": "X", "length": 61.5},
        {"title": "Two", "artist": "B", "album": "Y", "length": 3600,
         "audiobook": true, "chapters": [{"title": "Intro", "start": 0}, {"title": "Rest", "start": 600}]}]})");
        Simulator sim({"--ping-interval", "0", "--library", path}, "kiv.test.simd.lib");
        Raw raw("kiv.test.simd.lib");
        Packet p;
        ASSERT_TRUE(raw.ask(1, 0, p));
        serialize_value *d = serialize_array_get(serialize_hash_get(p.value(), "devices"), 0);
        EXPECT_EQ(serialize_get_int(serialize_hash_get(d, "audio_count")), 2);
        ASSERT_TRUE(raw.ask(2, 4, p, kivtest::wire::i(0)));
        ASSERT_TRUE(raw.ask(3, 31, p, kivtest::wire::i(1)));
        EXPECT_STREQ(serialize_hash_get_string(p.value(), "title"), "Two");
        EXPECT_EQ(serialize_get_int(serialize_hash_get(p.value(), "chapter_count")), 2);
        EXPECT_EQ(serialize_get_int(serialize_hash_get(p.value(), "length")), 3600000);
    }
    // The same seed gives the same library, another seed another one.
    auto first_titles = [](const char *seed, const char *name) {
        Simulator sim({"--ping-interval", "0", "--seed", seed}, name);
        Raw raw(name);
        Packet p;
        raw.ask(1, 4, p, kivtest::wire::i(0));
        raw.ask(2, 43, p, kivtest::wire::a({kivtest::wire::i(0), kivtest::wire::i(20), kivtest::wire::i(0)}));
        return p.payload;
    };
    std::string a = first_titles("7", "kiv.test.simd.s1"), b = first_titles("7", "kiv.test.simd.s2");
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, first_titles("8", "kiv.test.simd.s3"));
}

// One command line (its arguments split at spaces, or at '|' when it has
// one) and what it must give: the exit code, fragments of the standard output
// and of the standard error (split at '|'), a text never in the output.
struct CliCase {
    std::string args;
    int code;
    std::string out = "", err = "", out_not = "", input = "";
};

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    for (size_t at = 0, end; !text.empty() && at <= text.size(); at = end + 1)
        parts.push_back(text.substr(at, (end = std::min(text.find(sep, at), text.size())) - at));
    return parts;
}

void expect_cli(const CliCase &c, const char *tool = "kiv-ipod") {
    simdtest::Run r =
        run_tool(tool, split(c.args, c.args.find('|') != std::string::npos ? '|' : ' '), c.input);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.err;
    for (auto &o : split(c.out, '|')) EXPECT_NE(r.out.find(o), std::string::npos) << c.args << "\n" << r.out;
    for (auto &e : split(c.err, '|')) EXPECT_NE(r.err.find(e), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_TRUE(c.code == 0 || r.err.size() < 400u)
        << c.args << ": a message of " << r.err.size() << " bytes";
    EXPECT_TRUE(c.out_not.empty() || r.out.find(c.out_not) == std::string::npos) << c.args << "\n" << r.out;
}

// The commands in order against one simulator (the state carries over):
// their output, and for every failure its exit code and a message that says
// what happened.
// A capture of two frames recorded in 2106 and 2038 (past a signed 32-bit
// time), as `kiv-ipod dump` reads it; the path.
std::string late_capture(const std::string &dir) {
    auto le32 = [](uint32_t v) {
        std::string b(4, '\0');
        for (int k = 0; k < 4; k++) b[k] = static_cast<char>(v >> (8 * k));
        return b;
    };
    std::string file = le32(0xA1B2C3D4u) + le32(0x00040002u) + le32(0) + le32(0) + le32(65535) + le32(147);
    for (uint32_t seconds : {0xFFFFFFFFu, 0x80000000u}) {
        std::string frame = std::string(8, '\0') + kivtest::frame(seconds & 1 ? 1 : 2, 0, "");
        file += le32(seconds) + le32(1) + le32(static_cast<uint32_t>(frame.size())) +
                le32(static_cast<uint32_t>(frame.size())) + frame;
    }
    std::string path = dir + "/late.pcap";
    std::ofstream(path, std::ios::binary) << file;
    return path;
}

TEST(SimdCli, CommandsFailuresAndExitCodes) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    expect_cli({"status", 3, "", "no daemon reachable"});
    Simulator sim({"--ping-interval", "0.3"});
    const std::string script = "play\ntrack 99999\nstop\n";
    TempDir tmp;
    const std::string &dir = tmp.path, capture = late_capture(dir);
    const std::string versions = std::string("kiv-ipod ") + KIV_IPOD_VERSION_TEXT + "\nlibkiv-ipod-2 " +
                                 kiv_ipod_library_version() + "\n";
    const CliCase cases[] = {
        {"--json devices", 0,
         "\"daemon_pid\":" + std::to_string(sim.pid()) + "|\"serial\":\"SIMPOD0000000001\""},
        // One connection for several commands: each one's result in order.
        {"--json script -", 0,
         "\"play\",\"ok\":true|\"pause\",\"ok\":true|\"stop\",\"ok\":true|\"next\",\"ok\":true|\"prev\","
         "\"ok\":true",
         "", "", "play\npause\nstop\nnext\nprev\n"},
        {"seek 12.5", 0},
        {"shuffle off", 0},
        {"repeat all", 0},
        // next, then prev near the start of track 1 goes back
        {"--json status", 0,
         "\"track_index\":0|\"position_ms\":125|\"state\":\"stopped\"|\"repeat\":\"all\"|\"shuffle\":"
         "\"off\""},
        {"--json version 0", 0, "\"version\":\"1.9\""},
        {"--json|eap|send|com.kiv.echo|hi there", 0, "\"received\":\"hi there\""},
        // The words after the protocol are the data, as typed on a command line.
        {"eap send com.kiv.echo hello from the demo", 0, "received \"hello from the demo\""},
        {"--json|eap|send|com.kiv.echo|two  spaces|and more", 0, "\"received\":\"two  spaces and more\""},
        {"--version", 0, versions},
        {"--json --version", 0, std::string("\"library\":\"") + kiv_ipod_library_version() + "\""},
        // A capture needs no daemon; --json before or after the word dump.
        // Times are read as unsigned 32-bit seconds.
        {"dump " + capture, 0, "06:28:15.000001 -> tid 1 open|03:14:08.000001 -> tid 2 open"},
        {"--json dump " + capture, 0, "\"frame\":1|\"frame\":2"},
        {"dump --json " + capture, 0, "\"frame\":1|\"frame\":2|\"time\":4294967295.000001"},
        {"dump -v --json " + capture, 0, "\"frame\":2"},
        {"dump --json", 2, "", "needs a capture FILE"},
        {"--json ping", 0, "\"ping\":\"ok\""},
        {"--json watch 0.5", 0},
        {"--help", 0, "watch"},
        {"seek --help", 0, "SECONDS"},
        // The daemon's refusal: exit 1 and its text; usage errors: exit 2.
        {"seek 100000", 1, "", "position out of range"},
        {"track 5000", 1, "", "no track at index 5000"},
        {"version 99", 1, "", "version", "lingo 99: version"},
        {"--device 1 status", 1, "", "no iPod at index 1"},
        {"shuffle sideways", 2},
        {"tracks --category colour", 2},
        {"frobnicate", 2, "", "unknown command 'frobnicate'"},
        {"seek -5", 2, "", "from 0 to 2147483, not '-5'"},
        {"watch -1", 2, "", "not '-1'"},
        {"eap send com.kiv.echo --json", 2, "", "see kiv-ipod --help", "received"},
        {"--device x status", 2, "", "--device"},
        {"--timeout 0 status", 2, "", "--timeout"},
        {"--socket  status", 2, "", "--socket"},
        {"--bogus status", 2, "", "unknown option --bogus"},
        // A failing line ends a script with its exit code; --keep-going runs
        // the rest and still fails with the first failure's code.
        {"script -", 1, "", "line 2: track: no track at index 99999", "stop: ok", script},
        {"script --keep-going -", 1, "stop: ok", "line 2:", "", script},
        {"script " + dir, 2, "", "cannot read " + dir + ": Is a directory"},
        {"script " + dir + "/missing", 2, "", "cannot read " + dir + "/missing: No such file"},
        {"script -", 3, "", "line 1: connection to the daemon lost", "",
         "eap send com.kiv.echo " + std::string(17 << 20, 'x') + "\n"},
        // Bytes that are not UTF-8 are replaced in JSON output, not fatal; EAP
        // data may be an option's name once the command has begun.
        {"--json eap send com.kiv.echo \377abc", 0, "\"received\":\"\357\277\275abc\""},
        {"eap send com.kiv.echo -- --json", 0, "received \"--json\""},
    };
    for (auto &c : cases) expect_cli(c);

    // Control of a simulator started without --allow-control: refused, and why.
    expect_cli({"--control hotplug", 1, "", "refused 'hotplug'|started with --allow-control"},
               "kiv-ipod-simd");

    simdtest::Run r =
        run_cli({"--json", "tracks", "--category", "album", "--select", "artist=1", "--count", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_GE(j["total"].get<int>(), 2);
    EXPECT_EQ(j["records"].size(), std::min(3, j["total"].get<int>()));
    r = run_cli({"--json", "track", "267"});
    ASSERT_EQ(r.code, 0) << r.err;
    j = json::parse(r.out);
    EXPECT_TRUE(j["podcast"].get<bool>());
    EXPECT_EQ(j["chapters"].size(), j["chapter_count"].get<size_t>());
    EXPECT_EQ(j["uid"].get<std::string>().size(), 16u);

    const std::string ppm = dir + "/art.ppm";
    r = run_cli({"--json", "artwork", "--size", "150", "--out", ppm});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["rowstride"], 300);
    std::string image = read_file(ppm);
    EXPECT_EQ(image.rfind("P6\n150 150\n255\n", 0), 0u);
    EXPECT_EQ(image.size(), 15u + 150u * 150u * 3u);

    // watch prints live events; a script runs several commands on one connection.
    r = run_cli({"--json", "script", "-"}, "play\n# comment\nwatch 1.5\npause\n");
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::set<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        json e = json::parse(line);
        if (e.contains("event")) seen.insert(e["event"]);
        if (e.contains("ping")) seen.insert("ping");
    }
    EXPECT_TRUE(seen.count("track_position_changed") && seen.count("ping")) << r.out;
    EXPECT_TRUE(sim.alive());
}

// A full simulator (nothing logged with --quiet, a place frees up when a
// client leaves), and a hot-plug between two commands of a script.
TEST(SimdCli, FullDaemonAndHotplugDuringAScript) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    {
        Simulator full({"--ping-interval", "0", "--max-clients", "1", "--quiet"});
        std::unique_ptr<Raw> holder;
        Packet p;
        // Once the simulator has seen the readiness probe go (up to 5 s).
        EXPECT_TRUE(wait_until(
            [&] {
                holder = std::make_unique<Raw>();
                if (!holder->ask(1, 0, p, "", 200)) holder.reset();
                return holder != nullptr;
            },
            5000));
        ASSERT_TRUE(holder);
        expect_cli({"status", 3, "", "too many clients"});
        holder.reset();
        EXPECT_TRUE(wait_until([] { return run_cli({"status"}).code == 0; }));
        EXPECT_EQ(full.log(), "");
    }
    Simulator sim({"--ping-interval", "0"});
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    FILE *out = tmpfile();
    pid_t pid = spawn("kiv-ipod", {"script", "-"}, in[0], fileno(out), fileno(out));
    close(in[0]);
    auto statuses = [out] {
        std::string text = read_file(out);
        size_t n = 0;
        for (size_t at = 0; (at = text.find("shuffle:", at)) != std::string::npos; at++) n++;
        return n;
    };
    ASSERT_EQ(write(in[1], "status\n", 7), 7);
    EXPECT_TRUE(wait_until([&] { return statuses() == 1; }));
    // The iPod goes away and comes back while the script waits for its next line.
    kill(sim.pid(), SIGUSR1);
    EXPECT_TRUE(sim.wait_log("event ipod_ready"));
    ASSERT_EQ(write(in[1], "status\n", 7), 7);
    close(in[1]);
    EXPECT_EQ(wait_exit(pid), 0) << read_file(out);
    EXPECT_EQ(statuses(), 2u) << read_file(out);
    fclose(out);
}

// Choosing the daemon and the time allowed. These depend on the library
// reading KIV_IPOD_SOCKET and KIV_IPOD_TIMEOUT_MS in kiv_ipod_connect.
TEST(SimdCli, SocketAndTimeoutOptions) {
    if (!tool_exists("kiv-ipod")) GTEST_SKIP() << "kiv-ipod not built (CLI11 missing)";
    const char other[] = "kiv.test.simd.other";
    {
        Simulator sim({"--ping-interval", "0"}, other);
        expect_cli({std::string("--socket ") + other + " --json devices", 0,
                    "\"daemon_pid\":" + std::to_string(sim.pid())});
    }
    // A daemon that accepts but never answers: connecting gives up in time.
    kivtest::FakeDaemon silent(other);
    silent.set_open_reply("");
    auto t0 = Clock::now();
    simdtest::Run r = run_cli({"--socket", other, "--timeout", "300", "status"}, "", 10000);
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    EXPECT_NE(r.err.find("the daemon accepted the connection but did not answer within 300 ms"),
              std::string::npos)
        << r.err;
    // A daemon that answers the opening request with an error: its text.
    silent.set_open_reply(
        kivtest::frame(1, 0, kivtest::wire::h({{"error", kivtest::wire::s("battery low")}})));
    expect_cli({std::string("--socket ") + other + " devices", 3, "",
                "the daemon refused the connection: battery low"});
}
