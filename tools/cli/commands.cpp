// The commands of kiv-ipod: what each one asks the library and prints,
// and the command tree that parses a command line into one of them.
#include "commands.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "script.h"

namespace kivcli {

namespace {

void cmd_devices(Ctx &ctx) {
    kiv_ipod_client *c = ctx.client();
    json list = json::array();
    std::ostringstream h;
    int n = kiv_ipod_device_count(c);
    for (int k = 0; k < n; k++) {
        json d{{"index", k},
               {"serial", str(kiv_ipod_device_serial(c, k))},
               {"name", str(kiv_ipod_device_name(c, k))},
               {"version", str(kiv_ipod_software_version(c, k))},
               {"product_id", kiv_ipod_device_product_id(c, k)},
               {"authenticated", kiv_ipod_device_authenticated(c, k)},
               {"extended", kiv_ipod_device_is_extended(c, k)},
               {"ready", kiv_ipod_device_ready(c, k)},
               {"audio_count", kiv_ipod_device_audio_count(c, k)}};
        list.push_back(d);
        char pid[16];
        snprintf(pid, sizeof pid, "0x%04x", kiv_ipod_device_product_id(c, k));
        h << "[" << k << "] " << d["name"].get<std::string>() << "  serial " << d["serial"].get<std::string>()
          << "  software " << d["version"].get<std::string>() << "  product " << pid << "  "
          << d["audio_count"].get<int>() << " tracks"
          << (kiv_ipod_device_authenticated(c, k) == 1 ? ", authenticated" : ", not authenticated")
          << (kiv_ipod_device_is_extended(c, k) == 1 ? ", extended mode" : "")
          << (kiv_ipod_device_ready(c, k) == 1 ? ", ready" : "") << "\n";
    }
    if (n == 0) h << "no iPod attached\n";
    ctx.print(json{{"daemon_pid", kiv_ipod_pid(c)}, {"devices", list}}, h.str());
}

void cmd_status(Ctx &ctx) {
    kiv_ipod_client *c = ctx.session();
    ctx.call(kiv_ipod_current_track_info(c), "track info", true);
    ctx.call(kiv_ipod_get_play_state(c), "play state", true);
    int shuffle = ctx.call(kiv_ipod_get_shuffle(c), "shuffle");
    int repeat = ctx.call(kiv_ipod_get_repeat(c), "repeat");
    json j{{"title", str(kiv_ipod_current_track_title(c))},
           {"artist", str(kiv_ipod_current_track_artist(c))},
           {"album", str(kiv_ipod_current_track_album(c))},
           {"genre", str(kiv_ipod_current_track_genre(c))},
           {"track_index", kiv_ipod_current_track_index(c)},
           {"number_of_tracks", kiv_ipod_current_number_of_tracks(c)},
           {"position_ms", kiv_ipod_current_track_position(c)},
           {"length_ms", kiv_ipod_current_track_length(c)},
           {"state", play_state_name(kiv_ipod_current_track_state(c))},
           {"shuffle", shuffle_name(shuffle)},
           {"repeat", repeat_name(repeat)}};
    if (kiv_ipod_current_chapter_count(c) > 0) {
        j["chapter"] = str(kiv_ipod_current_track_chapter(c));
        j["chapter_index"] = kiv_ipod_current_chapter_index(c);
        j["chapter_count"] = kiv_ipod_current_chapter_count(c);
    }
    std::ostringstream h;
    h << j["title"].get<std::string>() << " - " << j["artist"].get<std::string>() << " ("
      << j["album"].get<std::string>() << ")\n"
      << "[" << j["state"].get<std::string>() << "] #" << j["track_index"].get<int>() + 1 << "/"
      << j["number_of_tracks"].get<int>() << "  " << mmss(j["position_ms"]) << "/" << mmss(j["length_ms"])
      << "  shuffle: " << j["shuffle"].get<std::string>() << "  repeat: " << j["repeat"].get<std::string>()
      << "\n";
    if (j.contains("chapter"))
        h << "chapter " << j["chapter_index"].get<int>() + 1 << "/" << j["chapter_count"].get<int>() << ": "
          << j["chapter"].get<std::string>() << "\n";
    ctx.print(j, h.str());
}

void cmd_simple(Ctx &ctx, const std::string &name, uint32_t (*fn)(kiv_ipod_client *)) {
    kiv_ipod_client *c = ctx.session();
    ctx.call(fn(c), name.c_str());
    ctx.print(json{{"command", name}, {"ok", true}}, name + ": ok\n");
}

// Positions travel in milliseconds as 32-bit integers.
constexpr double kMaxSeekSeconds = 2147483;

void cmd_seek(Ctx &ctx, double seconds) {
    kiv_ipod_client *c = ctx.session();
    int32_t ms = static_cast<int32_t>(std::llround(seconds * KIV_IPOD_TIME_UNITS_PER_SECOND));
    ctx.call(kiv_ipod_set_position(c, ms), "seek");
    ctx.print(json{{"command", "seek"}, {"position_ms", ms}}, "seek: " + mmss(ms) + "\n");
}

void cmd_mode(Ctx &ctx, bool shuffle, int mode) {
    kiv_ipod_client *c = ctx.session();
    if (shuffle)
        ctx.call(kiv_ipod_set_shuffle(c, mode), "shuffle");
    else
        ctx.call(kiv_ipod_set_repeat(c, mode), "repeat");
    const char *name = shuffle ? shuffle_name(mode) : repeat_name(mode);
    ctx.print(json{{shuffle ? "shuffle" : "repeat", name}},
              std::string(shuffle ? "shuffle: " : "repeat: ") + name + "\n");
}

const std::vector<std::pair<std::string, int>> kCategories = {
    {"playlist", KIV_IPOD_CATEGORY_PLAYLIST},   {"artist", KIV_IPOD_CATEGORY_ARTIST},
    {"album", KIV_IPOD_CATEGORY_ALBUM},         {"genre", KIV_IPOD_CATEGORY_GENRE},
    {"track", KIV_IPOD_CATEGORY_TRACK},         {"composer", KIV_IPOD_CATEGORY_COMPOSER},
    {"audiobook", KIV_IPOD_CATEGORY_AUDIOBOOK}, {"podcast", KIV_IPOD_CATEGORY_PODCAST}};

int category_number(const std::string &name) {
    for (auto &c : kCategories)
        if (c.first == name) return c.second;
    throw Failure{kExitUsage, "unknown category '" + name +
                                  "' (playlist, artist, album, genre, track, composer, audiobook, podcast)"};
}

void cmd_tracks(Ctx &ctx, const std::string &category, const std::vector<std::string> &selects, int start,
                int count) {
    kiv_ipod_client *c = ctx.session();
    int cat = category_number(category);
    ctx.call(kiv_ipod_set_hierarchy(c, KIV_IPOD_HIERARCHY_AUDIO), "reset browsing");
    for (const std::string &s : selects) {
        size_t eq = s.find('=');
        if (eq == std::string::npos) throw Failure{kExitUsage, "--select needs CATEGORY=INDEX"};
        int index;
        try {
            index = std::stoi(s.substr(eq + 1));
        } catch (const std::exception &) {
            throw Failure{kExitUsage, "--select needs CATEGORY=INDEX"};
        }
        ctx.call(kiv_ipod_select_db(c, category_number(s.substr(0, eq)), index), "select");
    }
    ctx.call(kiv_ipod_set_category(c, cat), "category");
    int total = kiv_ipod_record_count(c);
    int32_t r = ctx.call(kiv_ipod_get_records(c, start, count), "records", true);
    json list = json::array();
    std::ostringstream h;
    h << category << ": " << total << " records\n";
    // Indices stop at the largest int: --start may name it.
    for (int n = 0; r > 0 && n < count && n <= INT32_MAX - start; n++) {
        int k = start + n;
        const char *text = kiv_ipod_record(c, k);
        if (!text) break;
        list.push_back(json{{"index", k}, {"text", text}});
        h << "  " << k << ". " << text << "\n";
    }
    ctx.print(json{{"category", category}, {"total", total}, {"records", list}}, h.str());
}

void cmd_track(Ctx &ctx, int index) {
    kiv_ipod_client *c = ctx.session();
    int32_t r = ctx.call(kiv_ipod_indexed_track_info(c, index), "track");
    if (r < 0) throw Failure{kExitFailed, "track: no such track"};
    const unsigned char *uid = kiv_ipod_indexed_track_uid(c);
    json j{{"index", index},
           {"title", str(kiv_ipod_indexed_track_title(c))},
           {"artist", str(kiv_ipod_indexed_track_artist(c))},
           {"album", str(kiv_ipod_indexed_track_album(c))},
           {"length_ms", kiv_ipod_indexed_track_length(c)},
           {"uid", uid ? hex(uid, 8) : ""},
           {"audiobook", kiv_ipod_indexed_track_is_audiobook(c) == 1},
           {"podcast", kiv_ipod_indexed_track_is_podcast(c) == 1},
           {"chapter_count", kiv_ipod_indexed_track_chapter_count(c)}};
    std::ostringstream h;
    h << "track " << index << ": " << j["title"].get<std::string>() << " - " << j["artist"].get<std::string>()
      << " (" << j["album"].get<std::string>() << ") " << mmss(j["length_ms"]) << "  uid "
      << j["uid"].get<std::string>() << "\n";
    if (j["chapter_count"].get<int>() > 0) {
        ctx.call(kiv_ipod_indexed_track_chapter_info(c, index, -1), "chapters", true);
        json chapters = json::array();
        serialize_value *a = kiv_ipod_get_result_indexed_track_chapter_info(c);
        for (int k = 0; k < serialize_array_count(a); k++) {
            serialize_value *ch = serialize_array_get(a, k);
            if (serialize_type(ch) != SERIALIZE_HASH) continue;
            const char *title = serialize_hash_get_string(ch, "title");
            int number = serialize_get_int(serialize_hash_get(ch, "index"));
            int start = serialize_get_int(serialize_hash_get(ch, "start"));
            chapters.push_back(json{{"index", number}, {"title", str(title)}, {"start_ms", start}});
            h << "  chapter " << number + 1 << ": " << str(title) << " at " << mmss(start) << "\n";
        }
        j["chapters"] = chapters;
    }
    ctx.print(j, h.str());
}

void cmd_artwork(Ctx &ctx, int size, const std::string &out) {
    kiv_ipod_client *c = ctx.session();
    ctx.call(kiv_ipod_current_track_artwork(c, size), "artwork", true);
    int w = kiv_ipod_current_track_artwork_width(c), hgt = kiv_ipod_current_track_artwork_height(c);
    int stride = kiv_ipod_current_track_artwork_rowstride(c);
    const unsigned char *px = kiv_ipod_current_track_artwork_data(c);
    constexpr int kPixel = KIV_IPOD_ARTWORK_BYTES_PER_PIXEL;
    if (!px || w <= 0 || hgt <= 0 || stride < kPixel * w) throw Failure{kExitFailed, "artwork: no image"};
    // Pixels are RGB565, little-endian. Average colour for the summary.
    uint64_t sum[3] = {0, 0, 0};
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(hgt) + "\n255\n";
    for (int y = 0; y < hgt; y++) {
        for (int x = 0; x < w; x++) {
            const unsigned char *p = px + static_cast<size_t>(y) * stride + kPixel * x;
            unsigned v = p[0] | (p[1] << 8);
            unsigned rgb[3] = {((v >> 11) & 31) * 255 / 31, ((v >> 5) & 63) * 255 / 63, (v & 31) * 255 / 31};
            for (int k = 0; k < 3; k++) {
                sum[k] += rgb[k];
                ppm.push_back(static_cast<char>(rgb[k]));
            }
        }
    }
    char avg[16];
    uint64_t n = static_cast<uint64_t>(w) * hgt;
    snprintf(avg, sizeof avg, "#%02x%02x%02x", unsigned(sum[0] / n), unsigned(sum[1] / n),
             unsigned(sum[2] / n));
    json j{{"width", w},          {"height", hgt},
           {"rowstride", stride}, {"bytes", kiv_ipod_current_track_artwork_length(c)},
           {"format", "RGB565"},  {"average_color", avg}};
    std::string h = "artwork: " + std::to_string(w) + "x" + std::to_string(hgt) + " RGB565, rowstride " +
                    std::to_string(stride) + ", " + std::to_string(kiv_ipod_current_track_artwork_length(c)) +
                    " bytes, average colour " + avg + "\n";
    if (!out.empty()) {
        std::ofstream f(out, std::ios::binary);
        f << ppm;
        if (!f) throw Failure{kExitFailed, "artwork: cannot write " + out};
        j["file"] = out;
        h += "written to " + out + "\n";
    }
    ctx.print(j, h);
}

void cmd_version(Ctx &ctx, int lingo) {
    kiv_ipod_client *c = ctx.session();
    if (ctx.call(kiv_ipod_request_lingo_version(c, lingo), "version", true) != 1)
        throw Failure{kExitFailed, "version: no version of lingo " + std::to_string(lingo)};
    std::string v = str(kiv_ipod_get_result_lingo_version(c));
    ctx.print(json{{"lingo", lingo}, {"version", v}},
              "lingo " + std::to_string(lingo) + ": version " + v + "\n");
}

void cmd_eap_send(Ctx &ctx, const std::string &protocol, const std::string &data) {
    kiv_ipod_client *c = ctx.session();
    ctx.events.clear();
    ctx.call(kiv_ipod_launch_application(c, protocol.c_str()), "launch application");
    int session = -1;
    auto find = [&](const char *name) -> const json * {
        for (auto &e : ctx.events)
            if (e["event"] == name) return &e;
        return nullptr;
    };
    const char *opened = event_name(IPOD_EVENT_eap_session_opened);
    const char *received = event_name(IPOD_EVENT_eap_data_received);
    ctx.wait_until([&] { return find(opened) != nullptr; }, ctx.timeout_ms);
    if (const json *e = find(opened)) session = (*e)["session_id"];
    if (session < 0) throw Failure{kExitFailed, "eap: no session was opened"};
    ctx.call(kiv_ipod_send_eap_datagram(c, session, data.data(), static_cast<int32_t>(data.size())),
             "eap send");
    ctx.wait_until([&] { return find(received) != nullptr; }, ctx.timeout_ms);
    const json *echo = find(received);
    if (!echo) throw Failure{kExitFailed, "eap: no data came back"};
    std::string back = (*echo)["data"];
    ctx.print(json{{"protocol", protocol}, {"session_id", session}, {"sent", data}, {"received", back}},
              "eap session " + std::to_string(session) + " (" + protocol + "): sent \"" + data +
                  "\", received \"" + back + "\"\n");
}

void cmd_watch(Ctx &ctx, double seconds) {
    kiv_ipod_client *c = ctx.client();
    if (kiv_ipod_device_count(c) > ctx.device) ctx.session();
    ctx.watching = true;
    if (!ctx.json_out) {
        char what[64];
        if (seconds > 0)
            snprintf(what, sizeof what, "watching events for %g s\n", seconds);
        else
            snprintf(what, sizeof what, "watching events until interrupted\n");
        std::cout << what << std::flush;
    }
    int ms = seconds > 0 ? static_cast<int>(seconds * 1000) : 1 << 30;
    try {
        ctx.pump_until([] { return false; }, ms);
    } catch (...) {
        ctx.watching = false;
        throw;
    }
    ctx.watching = false;
}

void cmd_ping(Ctx &ctx) {
    kiv_ipod_client *c = ctx.client();
    auto t0 = Clock::now();
    ctx.call(kiv_ipod_ping(c), "ping");
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    char buf[64];
    snprintf(buf, sizeof buf, "ping: reply in %.2f ms\n", ms);
    ctx.print(json{{"ping", "ok"}, {"round_trip_ms", ms}}, buf);
}

// A number from `lo` to `hi`, with a message that names the range in plain digits.
CLI::Validator number_in(double lo, double hi) {
    return CLI::Validator(
        [lo, hi](std::string &text) -> std::string {
            char *end = nullptr;
            errno = 0;
            double v = strtod(text.c_str(), &end);
            if (end != text.c_str() && *end == '\0' && errno == 0 && v >= lo && v <= hi) return "";
            char msg[96];
            snprintf(msg, sizeof msg, "needs a number from %.15g to %.15g, not '%s'", lo, hi,
                     text.size() > 20 ? (text.substr(0, 20) + "...").c_str() : text.c_str());
            return msg;
        },
        "");
}

struct Args {
    std::string category = "track";
    std::vector<std::string> selects;
    int start = 0, count = 20, index = 0, size = 0, lingo = 0;
    double seconds = 0;
    std::string mode, out, protocol, data, file;
    std::vector<std::string> words;
    bool keep_going = false;
};

using Add = std::function<CLI::App *(const char *name, const char *help, std::function<void()> fn)>;

void add_transport(const Add &add, Ctx &ctx, Args &a) {
    add("play", "start playing", [&] { cmd_simple(ctx, "play", kiv_ipod_play); });
    add("pause", "pause", [&] { cmd_simple(ctx, "pause", kiv_ipod_pause); });
    add("stop", "stop", [&] { cmd_simple(ctx, "stop", kiv_ipod_stop); });
    add("next", "next track", [&] { cmd_simple(ctx, "next", kiv_ipod_next_track); });
    add("prev", "previous track (or restart the current one)",
        [&] { cmd_simple(ctx, "prev", kiv_ipod_prev_track); });
    add("seek", "jump to a position in the current track", [&] { cmd_seek(ctx, a.seconds); })
        ->add_option("SECONDS", a.seconds, "position in seconds")
        ->required()
        ->check(number_in(0, kMaxSeekSeconds));
    add("shuffle", "shuffle on|off",
        [&] { cmd_mode(ctx, true, a.mode == "on" ? KIV_IPOD_SHUFFLE_TRACKS : KIV_IPOD_SHUFFLE_OFF); })
        ->add_option("MODE", a.mode)
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    add("repeat", "repeat off|one|all",
        [&] {
            cmd_mode(ctx, false,
                     a.mode == "off"   ? KIV_IPOD_REPEAT_OFF
                     : a.mode == "one" ? KIV_IPOD_REPEAT_ONE
                                       : KIV_IPOD_REPEAT_ALL);
        })
        ->add_option("MODE", a.mode)
        ->required()
        ->check(CLI::IsMember({"off", "one", "all"}));
}

void add_library(const Add &add, Ctx &ctx, Args &a) {
    CLI::App *tracks = add("tracks", "browse the library by category",
                           [&] { cmd_tracks(ctx, a.category, a.selects, a.start, a.count); });
    tracks->alias("browse");
    tracks->add_option(
        "--category,CATEGORY", a.category,
        "playlist, artist, album, genre, track, composer, audiobook or podcast (default track)");
    tracks->add_option("--select", a.selects, "narrow first: CATEGORY=INDEX (repeatable)");
    tracks->add_option("--start", a.start, "first record (default 0)")->check(number_in(0, INT32_MAX));
    tracks->add_option("--count", a.count, "number of records (default 20)")->check(CLI::Range(1, 500));
    add("track", "information about the track at an index", [&] { cmd_track(ctx, a.index); })
        ->add_option("N", a.index)
        ->required()
        ->check(number_in(0, INT32_MAX));
    CLI::App *art = add("artwork", "artwork of the current track", [&] { cmd_artwork(ctx, a.size, a.out); });
    art->add_option("--size", a.size, "edge in pixels (default 128)")->check(CLI::Range(1, 512));
    art->add_option("--out", a.out, "write the image as a PPM file");
    add("version", "version of a lingo", [&] { cmd_version(ctx, a.lingo); })
        ->add_option("LINGO", a.lingo)
        ->required()
        ->check(CLI::Range(0, 255));
}

void add_eap(CLI::App &app, Ctx &ctx, Args &a, std::function<void()> &action) {
    CLI::App *eap = app.add_subcommand("eap", "External Accessory Protocol");
    eap->require_subcommand(1);
    CLI::App *send = eap->add_subcommand(
        "send",
        "open a session with PROTO, send DATA (the words after PROTO, joined by spaces), print the echo");
    send->add_option("PROTO", a.protocol)->required();
    send->add_option("DATA", a.words, "the data; several words are joined by single spaces")->required();
    send->callback([&] {
        for (const std::string &w : a.words) a.data += (a.data.empty() ? "" : " ") + w;
        action = [&] { cmd_eap_send(ctx, a.protocol, a.data); };
    });
}

// Builds the command tree; the chosen command's action lands in `action`.
void build(CLI::App &app, Ctx &ctx, Args &a, std::function<void()> &action, bool nested) {
    app.require_subcommand(1);
    Add add = [&](const char *name, const char *help, std::function<void()> fn) {
        CLI::App *sub = app.add_subcommand(name, help);
        sub->callback([&action, fn] { action = fn; });
        return sub;
    };
    add("devices", "list the attached iPods", [&] { cmd_devices(ctx); });
    add("status", "now playing: track, position/length, play state, shuffle, repeat",
        [&] { cmd_status(ctx); });
    add_transport(add, ctx, a);
    add_library(add, ctx, a);
    add_eap(app, ctx, a, action);
    add("watch", "print events as they come (until interrupted, or for SECONDS)",
        [&] { cmd_watch(ctx, a.seconds); })
        ->add_option("SECONDS", a.seconds)
        ->check(number_in(0, 1e6));
    add("ping", "round trip to the daemon", [&] { cmd_ping(ctx); });
    if (nested) return;
    CLI::App *script = add("script", "run commands from FILE (or - for standard input), one per line", [&] {
        run_script(
            ctx, a.file, a.keep_going,
            [&ctx](const std::vector<std::string> &words) { run_line(ctx, words, true); },
            [&ctx](const Failure &f) { report(ctx, f); });
    });
    script->add_option("FILE", a.file)->required();
    script->add_flag("--keep-going,-k", a.keep_going, "run the remaining lines after a failure");
}

}  // namespace

void report(Ctx &ctx, const Failure &f) {
    if (ctx.json_out) std::cout << dump(json{{"error", f.message}, {"exit_code", f.code}}) << std::endl;
    std::cerr << "kiv-ipod: " << f.message << "\n";
}

void run_line(Ctx &ctx, const std::vector<std::string> &words, bool nested) {
    CLI::App app{"kiv-ipod: control an iPod through the accessory daemon", "kiv-ipod"};
    Args a;
    std::function<void()> action;
    build(app, ctx, a, action, nested);
    bool known = false;
    for (CLI::App *sub : app.get_subcommands([](CLI::App *) { return true; }))
        known = known || (!words.empty() && sub->check_name(words[0]));
    if (!known)
        throw Failure{kExitUsage, (words.empty() ? std::string("a command is required")
                                                 : "unknown command '" + words[0] + "'") +
                                      " (see kiv-ipod --help)"};
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError &e) {
        // --help (of the program or of a command) prints and succeeds.
        if (e.get_exit_code() == 0) {
            app.exit(e, std::cout, std::cerr);
            return;
        }
        throw Failure{kExitUsage, std::string(e.what()) + " (see kiv-ipod --help)"};
    }
    if (action) action();
}

std::string commands_help(Ctx &ctx, const std::string &footer) {
    CLI::App app{"kiv-ipod: control an iPod through the accessory daemon", "kiv-ipod"};
    Args a;
    std::function<void()> action;
    build(app, ctx, a, action, false);
    app.footer(footer);
    return app.help();
}

}  // namespace kivcli
