#include "requests.h"

#include <unistd.h>

#include <algorithm>

#include "artwork.h"

namespace simd {

namespace {

constexpr size_t kMaxEapSessions = 8;
constexpr size_t kMaxUidList = 65536;
constexpr int kDefaultArtworkEdge = 128, kMaxArtworkEdge = 512;
constexpr int kPreferenceTypes = 14;
constexpr int kLingos = 16;
// The iPod's mode while extended (0: the standard mode).
constexpr int kExtendedMode = 4;

using Handler = Value (*)(Simulation &, Session &, const Value *);

const Value kOk = Value::integer(0);

bool get_int(const Value *v, int32_t &out) {
    if (!v || v->kind != Value::Int) return false;
    out = v->i;
    return true;
}

// An array argument of `n` integers at its start.
bool get_ints(const Value *v, size_t n, int32_t *out) {
    if (!v || v->kind != Value::Array || v->items.size() < n) return false;
    for (size_t k = 0; k < n; k++)
        if (!get_int(&v->items[k], out[k])) return false;
    return true;
}

// An empty text is success.
Value ok_or(const std::string &why) {
    return why.empty() ? kOk : error_reply(why);
}

size_t track_count(const Simulation &sim) {
    return sim.library.tracks.size();
}

bool track_in_range(const Simulation &sim, int32_t index) {
    return index >= 0 && static_cast<size_t>(index) < track_count(sim);
}

Value accept(Simulation &, Session &, const Value *) {
    return kOk;
}

// ------------------------------------------------ connection and session

Value open(Simulation &sim, Session &, const Value *) {
    return Value::hash({{"devices", sim.device.list(track_count(sim))}, {"pid", Value::integer(getpid())}});
}

Value open_session(Simulation &sim, Session &s, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n)) return error_reply("open_session: expected a device index");
    if (!sim.device.present || n != 0)
        return Value::hash({{"result", Value::integer(0)},
                            {"error", Value::string("no device at index " + std::to_string(n))}});
    s.open = true;
    sim.out.note("client " + std::to_string(s.id) + " opened a session");
    return Value::hash({{"result", Value::integer(1)}, {"devices", sim.device.list(track_count(sim))}});
}

Value close_session(Simulation &sim, Session &s, const Value *) {
    for (auto &e : s.eap)
        sim.out.media_event(IPOD_EVENT_eap_session_closed,
                            Value::hash({{"session_id", Value::integer(e.id)}}), &s);
    s.eap.clear();
    s.open = false;
    return kOk;
}

Value health_examine(Simulation &sim, Session &, const Value *arg) {
    if (!arg || arg->kind != Value::Array || arg->items.empty() || arg->items[0].kind != Value::String)
        return error_reply("health_examine: expected [text, value]");
    auto up =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sim.started);
    Value h = Value::hash({{"status", Value::string("ok")},
                           {"text", arg->items[0]},
                           {"clients", Value::integer(static_cast<int32_t>(sim.out.client_count()))},
                           {"uptime_ms", Value::integer(static_cast<int32_t>(up.count()))}});
    if (arg->items.size() > 1) h.add("value", arg->items[1]);
    return h;
}

Value set_config(Simulation &sim, Session &s, const Value *arg) {
    if (!arg || arg->kind != Value::Array || arg->items.size() != 2 || arg->items[0].kind != Value::String ||
        arg->items[1].kind != Value::String)
        return error_reply("set_config: expected [key, value]");
    sim.out.note("client " + std::to_string(s.id) + ": config " + arg->items[0].s + "=" + arg->items[1].s);
    return kOk;
}

// ----------------------------------------------------------- transport

Value play(Simulation &sim, Session &, const Value *) {
    sim.player.play();
    return kOk;
}
Value stop(Simulation &sim, Session &, const Value *) {
    sim.player.stop();
    return kOk;
}
Value pause(Simulation &sim, Session &, const Value *) {
    sim.player.pause();
    return kOk;
}
Value next_track(Simulation &sim, Session &, const Value *) {
    return ok_or(sim.player.next());
}
Value prev_track(Simulation &sim, Session &, const Value *) {
    sim.player.previous();
    return kOk;
}
Value start_ffw(Simulation &sim, Session &, const Value *) {
    sim.player.start_ffw();
    return kOk;
}
Value start_rew(Simulation &sim, Session &, const Value *) {
    sim.player.start_rew();
    return kOk;
}
Value stop_ffwrew(Simulation &sim, Session &, const Value *) {
    sim.player.stop_ffwrew();
    return kOk;
}

Value set_position(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n)) return error_reply("set_position: expected milliseconds");
    return ok_or(sim.player.seek(n));
}

Value set_shuffle(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n)) return error_reply("expected a mode 0, 1 or 2");
    return ok_or(sim.player.set_shuffle(n));
}

Value set_repeat(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n)) return error_reply("expected a mode 0, 1 or 2");
    return ok_or(sim.player.set_repeat(n));
}

Value get_shuffle(Simulation &sim, Session &, const Value *) {
    return Value::integer(sim.player.shuffle());
}
Value get_repeat(Simulation &sim, Session &, const Value *) {
    return Value::integer(sim.player.repeat());
}

Value set_current_playing_track_chapter(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n)) return error_reply("no such chapter");
    return ok_or(sim.player.set_chapter(n));
}

Value set_current_playing_track(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n) || !track_in_range(sim, n))
        return error_reply("no track at index " + std::to_string(n));
    sim.player.play_index(n);
    return kOk;
}

// ------------------------------------------------------ the playing track

Value track_info(const Simulation &sim, const Track &t, int index, bool current) {
    Value h = Value::hash();
    h.add(current ? "current_track_info" : "indexed_track_info", Value::integer(1));
    h.add("title", Value::string(t.title));
    h.add("uid", Value::bytes(t.uid));
    h.add("artist", Value::string(t.artist));
    h.add("album", Value::string(t.album));
    h.add("composer", Value::string(t.composer));
    h.add("genre", Value::string(t.genre));
    h.add("length", Value::integer(t.length_ms));
    h.add("number_of_tracks", Value::integer(static_cast<int32_t>(track_count(sim))));
    h.add("track_index", Value::integer(index));
    h.add("chapter_count", Value::integer(static_cast<int32_t>(t.chapters.size())));
    h.add("has_chapters", Value::integer(t.chapters.empty() ? 0 : 1));
    h.add("is_audiobook", Value::integer(t.audiobook));
    h.add("is_podcast", Value::integer(t.podcast));
    h.add("artwork", Value::integer(1));
    std::string date(IPOD_LAST_SYNC_SIZE, '\0');
    date[0] = static_cast<char>(t.year >> 8);
    date[1] = static_cast<char>(t.year);
    date[2] = 1;
    date[3] = 1;
    h.add("release_date", Value::bytes(date));
    return h;
}

Value current_track_info(Simulation &sim, Session &, const Value *) {
    const Player &p = sim.player;
    const Track &t = p.current();
    Value h = track_info(sim, t, p.current_index(), true);
    int ch = p.chapter();
    h.add("chapter", Value::string(ch >= 0 ? t.chapters[static_cast<size_t>(ch)].title : ""));
    h.add("chapter_index", Value::integer(ch));
    h.add("position", Value::integer(p.position_ms()));
    h.add("state", Value::integer(static_cast<int32_t>(p.state())));
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
    h.add("timestamp", Value::integer(static_cast<int32_t>(us / 1000000)));
    h.add("timestamp_usec", Value::integer(static_cast<int32_t>(us % 1000000)));
    return h;
}

Value get_sample_rate(Simulation &sim, Session &, const Value *) {
    return Value::hash({{"sample_rate", Value::integer(sim.player.sample_rate())}});
}

Value current_track_artwork(Simulation &sim, Session &s, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n)) return error_reply("artwork: expected a size");
    if (n <= 0) n = kDefaultArtworkEdge;
    return artwork_reply(sim.art_dir, s.art, sim.player.current(), std::min(n, kMaxArtworkEdge));
}

Value get_play_state(Simulation &sim, Session &, const Value *) {
    const Player &p = sim.player;
    return Value::hash({{"current_play_status", Value::integer(static_cast<int32_t>(p.state()))},
                        {"length", Value::integer(p.current().length_ms)},
                        {"position", Value::integer(p.position_ms())}});
}

Value get_current_track_index(Simulation &sim, Session &, const Value *) {
    return Value::integer(sim.player.current_index());
}

// ------------------------------------------------------------- browsing

Value set_category(Simulation &sim, Session &s, const Value *arg) {
    int32_t n = 0;
    size_t count = 0;
    if (!get_int(arg, n) || !sim.browser.set_category(s.browse, n, count))
        return error_reply("unknown category");
    return Value::integer(static_cast<int32_t>(count));
}

Value set_hierarchy(Simulation &sim, Session &s, const Value *) {
    sim.browser.reset(s.browse);
    return kOk;
}

Value select_db(Simulation &sim, Session &s, const Value *arg) {
    int32_t v[2];
    if (!get_ints(arg, 2, v)) return error_reply("select_db: expected [category, index]");
    std::string why = sim.browser.select(s.browse, v[0], v[1]);
    if (!why.empty()) return error_reply(why);
    return Value::integer(static_cast<int32_t>(s.browse.scope.size()));
}

Value get_records(Simulation &sim, Session &s, const Value *arg) {
    int32_t v[2];
    if (!get_ints(arg, 2, v)) return error_reply("get_records: expected [start, count]");
    if (s.browse.category == 0) return error_reply("no category selected");
    return sim.browser.records_reply(s.browse, v[0], v[1]);
}

Value indexed_track_info(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n) || !track_in_range(sim, n))
        return error_reply("no track at index " + std::to_string(n));
    return track_info(sim, sim.library.tracks[static_cast<size_t>(n)], n, false);
}

Value indexed_track_chapter_info(Simulation &sim, Session &, const Value *arg) {
    int32_t v[2];
    if (!get_ints(arg, 2, v) || !track_in_range(sim, v[0]))
        return error_reply("chapter_info: expected [track index, chapter index]");
    return sim.browser.chapter_list(v[0], v[1]);
}

Value track_list(Simulation &sim, const Value *arg, bool database) {
    int32_t v[2];
    if (!get_ints(arg, 2, v) || !track_in_range(sim, v[0]) || v[1] <= 0)
        return error_reply("expected [offset, count, options] within the library");
    const Player &p = sim.player;
    return sim.browser.track_list(v[0], v[1], database, [&p](size_t k) { return p.at_order(k); });
}

Value get_db_track_info(Simulation &sim, Session &, const Value *arg) {
    return track_list(sim, arg, true);
}
Value get_pb_track_info(Simulation &sim, Session &, const Value *arg) {
    return track_list(sim, arg, false);
}

Value get_db_itunes_info(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n)) return error_reply("expected an info type");
    if (n == 0)
        return Value::hash({{"type", Value::integer(0)}, {"uid", Value::bytes(std::string("SIMPODDB", 8))}});
    if (n == 1)
        return Value::hash({{"type", Value::integer(1)},
                            {"last_sync", Value::bytes(std::string("\x07\xEA\x0C\x06\x14\x00\x00", 7))}});
    return Value::hash(
        {{"type", Value::integer(n)}, {"count", Value::integer(static_cast<int32_t>(track_count(sim)))}});
}

Value prepare_uid_list(Simulation &, Session &s, const Value *arg) {
    int32_t v[3];
    if (!get_ints(arg, 3, v) || arg->items.size() != 4 || arg->items[3].kind != Value::Bytes ||
        static_cast<size_t>(v[2]) != arg->items[3].s.size())
        return error_reply("prepare_uid_list: expected [cur, max, length, bytes]");
    if (v[0] == 0) s.uid_list.clear();
    if (s.uid_list.size() + arg->items[3].s.size() > kMaxUidList) return error_reply("uid list too long");
    s.uid_list += arg->items[3].s;
    return kOk;
}

// The library index of the track with the uid in `arg`, or -1 with `why`.
int track_of_uid(const Simulation &sim, const Value *arg, Value &why) {
    if (!arg || arg->kind != Value::Bytes || arg->s.size() != IPOD_TRACK_UID_SIZE) {
        why = error_reply("expected an 8-byte uid");
        return -1;
    }
    const auto &tracks = sim.library.tracks;
    auto it = std::find_if(tracks.begin(), tracks.end(), [&](const Track &t) { return t.uid == arg->s; });
    if (it == tracks.end()) {
        why = error_reply("unknown uid");
        return -1;
    }
    return static_cast<int>(it - tracks.begin());
}

Value play_uid_list(Simulation &sim, Session &, const Value *arg) {
    Value why;
    int index = track_of_uid(sim, arg, why);
    if (index < 0) return why;
    sim.player.play_index(index);
    return kOk;
}

Value get_artwork_data(Simulation &sim, Session &, const Value *arg) {
    Value why;
    return track_of_uid(sim, arg, why) < 0 ? why : kOk;
}

// ---------------------------------------------- the accessory's settings

Value reauthentication(Simulation &sim, Session &, const Value *) {
    sim.out.device_event(IPOD_EVENT_authenticated, sim.device.record(track_count(sim)));
    return kOk;
}

Value set_preference(Simulation &sim, Session &, const Value *arg) {
    int32_t v[2];
    if (!get_ints(arg, 2, v)) return error_reply("set_preference: expected [type, value]");
    bool type_ok = v[0] >= 0 && v[0] < kPreferenceTypes && v[0] != 4 && v[0] != 5 && v[0] != 6 && v[0] != 7 &&
                   v[0] != 11;
    int max = v[0] == 8 ? 3 : 1;
    if (!type_ok || v[1] < 0 || v[1] > max) return error_reply("invalid preference");
    sim.preferences[v[0]] = v[1];
    return kOk;
}

Value get_preference(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n) || n < 0 || n >= kPreferenceTypes) return error_reply("invalid preference type");
    return Value::integer(sim.preferences[n]);
}

Value get_videooutoptions(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n) || n < 0 || n > 1) return error_reply("expected 0 or 1");
    return Value::integer(sim.videoout_options[n]);
}

Value set_videooutoptions(Simulation &sim, Session &, const Value *arg) {
    int32_t n = 0;
    if (!get_int(arg, n)) return error_reply("expected an integer");
    sim.videoout_options[0] = n;
    return kOk;
}

Value get_mode(Simulation &sim, Session &, const Value *) {
    return Value::integer(sim.device.extended ? kExtendedMode : 0);
}

Value request_lingo_version(Simulation &, Session &, const Value *arg) {
    static const int minor[kLingos] = {9, 0, 2, 5, 14, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0};
    int32_t n = 0;
    if (!get_int(arg, n) || n < 0 || n >= kLingos) return error_reply("unknown lingo");
    return Value::hash({{"major", Value::integer(1)}, {"minor", Value::integer(minor[n])}});
}

// ------------------------------------------------------------------ EAP

// Launching an application opens an EAP session with it.
Value launch_application(Simulation &sim, Session &s, const Value *arg) {
    if (!arg || arg->kind != Value::String || arg->s.empty())
        return error_reply("expected an application name");
    if (s.eap.size() >= kMaxEapSessions) return error_reply("too many EAP sessions");
    Session::Eap e{sim.next_eap_session++, static_cast<int>(s.eap.size()) + 1, arg->s};
    s.eap.push_back(e);
    sim.out.after_reply(IPOD_EVENT_eap_session_opened,
                        Value::hash({{"session_id", Value::integer(e.id)},
                                     {"protocol_index", Value::integer(e.protocol_index)},
                                     {"protocol_string", Value::string(e.protocol)},
                                     {"serial", Value::string(kSerial)}}));
    return kOk;
}

// The accessory app on the other side echoes every datagram.
Value send_eap_datagram(Simulation &sim, Session &s, const Value *arg) {
    int32_t v[2];
    if (!get_ints(arg, 2, v) || arg->items.size() != 3 || arg->items[2].kind != Value::Bytes ||
        static_cast<size_t>(v[1]) != arg->items[2].s.size())
        return error_reply("send_eap_datagram: expected [session, length, bytes]");
    auto it = std::find_if(s.eap.begin(), s.eap.end(), [&](const Session::Eap &e) { return e.id == v[0]; });
    if (it == s.eap.end()) return error_reply("no EAP session " + std::to_string(v[0]));
    // The echo carries the data again, in a frame that must stay within the limit.
    if (arg->items[2].s.size() + 1024 > kMaxPayload) return error_reply("datagram too large to echo");
    sim.out.after_reply(IPOD_EVENT_eap_data_received, Value::hash({{"session_id", Value::integer(v[0])},
                                                                   {"length", Value::integer(v[1])},
                                                                   {"data", arg->items[2]}}));
    return kOk;
}

Value unsupported(Simulation &, Session &, const Value *) {
    return error_reply("request is not supported");
}

// ---------------------------------------------------------------- table

struct Table {
    RequestHandler rows[IPOD_OP_COUNT];

    Table() {
        // Every request of the protocol table has a row; the ones below
        // without a handler of their own are refused.
        for (unsigned op = 0; op < IPOD_OP_COUNT; op++)
            rows[op] = {ipod_request(op) ? unsupported : nullptr, true};
        // Served whether or not the iPod is there and a session is open.
        any(IPOD_OP_open, open);
        any(IPOD_OP_open_session, open_session);
        any(IPOD_OP_close_session, close_session);
        any(IPOD_OP_health_examine, health_examine);
        any(IPOD_OP_set_bluetooth_hw_info, accept);
        any(IPOD_OP_set_bluetooth_state, accept);
        any(IPOD_OP_restart_idps, accept);
        any(IPOD_OP_set_config, set_config);
        transport();
        library();
        settings();
    }
    void any(ipod_opcode op, Handler h) { rows[op] = {h, false}; }
    void device(ipod_opcode op, Handler h) { rows[op] = {h, true}; }

    void transport() {
        device(IPOD_OP_play, play);
        device(IPOD_OP_stop, stop);
        device(IPOD_OP_pause, pause);
        device(IPOD_OP_next_track, next_track);
        device(IPOD_OP_prev_track, prev_track);
        device(IPOD_OP_start_ffw, start_ffw);
        device(IPOD_OP_start_rew, start_rew);
        device(IPOD_OP_stop_ffwrew, stop_ffwrew);
        device(IPOD_OP_set_position, set_position);
        device(IPOD_OP_set_shuffle, set_shuffle);
        device(IPOD_OP_get_shuffle, get_shuffle);
        device(IPOD_OP_set_repeat, set_repeat);
        device(IPOD_OP_get_repeat, get_repeat);
        device(IPOD_OP_set_current_playing_track_chapter, set_current_playing_track_chapter);
        device(IPOD_OP_set_current_playing_track, set_current_playing_track);
        device(IPOD_OP_current_track_info, current_track_info);
        device(IPOD_OP_get_sample_rate, get_sample_rate);
        device(IPOD_OP_current_track_artwork, current_track_artwork);
        device(IPOD_OP_get_play_state, get_play_state);
        device(IPOD_OP_get_current_track_index, get_current_track_index);
    }
    void library() {
        device(IPOD_OP_set_category, set_category);
        device(IPOD_OP_set_hierarchy, set_hierarchy);
        device(IPOD_OP_select_db, select_db);
        device(IPOD_OP_get_records, get_records);
        device(IPOD_OP_indexed_track_info, indexed_track_info);
        device(IPOD_OP_indexed_track_chapter_info, indexed_track_chapter_info);
        device(IPOD_OP_get_db_itunes_info, get_db_itunes_info);
        device(IPOD_OP_get_db_track_info, get_db_track_info);
        device(IPOD_OP_get_pb_track_info, get_pb_track_info);
        device(IPOD_OP_prepare_uid_list, prepare_uid_list);
        device(IPOD_OP_play_uid_list, play_uid_list);
        device(IPOD_OP_get_artwork_data, get_artwork_data);
    }
    void settings() {
        device(IPOD_OP_reauthentication, reauthentication);
        device(IPOD_OP_set_preference, set_preference);
        device(IPOD_OP_get_preference, get_preference);
        for (ipod_opcode op :
             {IPOD_OP_write_tag, IPOD_OP_set_statechange, IPOD_OP_enter_videooutmode,
              IPOD_OP_exit_videooutmode, IPOD_OP_navigate_videoout, IPOD_OP_set_available_current})
            device(op, accept);
        device(IPOD_OP_get_videooutoptions, get_videooutoptions);
        device(IPOD_OP_set_videooutoptions, set_videooutoptions);
        device(IPOD_OP_get_mode, get_mode);
        device(IPOD_OP_request_lingo_version, request_lingo_version);
        device(IPOD_OP_launch_application, launch_application);
        device(IPOD_OP_send_eap_datagram, send_eap_datagram);
    }
};

}  // namespace

Value error_reply(const std::string &text) {
    return Value::hash({{"error", Value::string(text)}});
}

Simulation::Simulation(const Library &lib, Outbox &outbox)
    : library(lib),
      out(outbox),
      player(lib.tracks, [this](ipod_event_type type, const Value &data) { out.media_event(type, data); }),
      browser(lib.tracks) {}

const RequestHandler *request_handler(unsigned opcode) {
    static const Table table;
    if (opcode >= IPOD_OP_COUNT || !table.rows[opcode].serve) return nullptr;
    return &table.rows[opcode];
}

}  // namespace simd
