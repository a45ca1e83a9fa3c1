// Lists that the daemon can lengthen: building the db and pb track lists
// from one reply, and the device events after a long device list. The
// cost per element must not grow with the length (1,000 against 200,000).
#include <benchmark/benchmark.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "cache/cache.h"
#include "events/events.h"
#include "fake_daemon.h"
#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"

// Log records are formatted, as the library formats them, and dropped: the
// device flood logs one refusal per event beyond the device limit, and the
// terminal would otherwise be what is measured.
extern "C" __attribute__((visibility("default"))) int __android_log_vprint(int, const char *, const char *fmt,
                                                                           va_list ap) {
    char buf[256];
    return vsnprintf(buf, sizeof buf, fmt, ap);
}

namespace {

namespace wire = kivtest::wire;

// An inbound packet holding a copy of `payload`.
class Reply {
public:
    explicit Reply(std::string payload) : bytes_(std::move(payload)) {}
    const ipod_packet *get() {
        packet_.length = static_cast<uint32_t>(bytes_.size());
        packet_.payload = &bytes_[0];
        return &packet_;
    }

private:
    std::string bytes_;
    ipod_packet packet_{};
};

// A track-list reply: the marker and `tracks` track hashes holding a uid.
std::string track_reply(const char *marker, int tracks) {
    std::vector<std::pair<std::string, std::string>> entries{{marker, wire::i(0)}};
    const std::string track = wire::h({{"uid", wire::b("12345678")}});
    for (int i = 0; i < tracks; ++i) entries.emplace_back(std::to_string(i), track);
    return wire::h(entries);
}

void track_list(benchmark::State &state, const char *marker,
                int32_t (*parser)(kiv_ipod_client *, const ipod_packet *),
                serialize_value *kiv_ipod_client::*list) {
    const int tracks = static_cast<int>(state.range(0));
    Reply reply(track_reply(marker, tracks));
    kiv_ipod_client *client = ipod_client_new(-1);
    for (auto _ : state) {
        if (parser(client, reply.get()) != 1) state.SkipWithError("reply refused");
        benchmark::DoNotOptimize(client->*list);
    }
    if (serialize_array_count(client->*list) != tracks) state.SkipWithError("wrong list length");
    kiv_ipod_close(client);
    state.SetItemsProcessed(state.iterations() * tracks);
}

// The db track list built from one reply of N tracks.
void BM_DbTrackList(benchmark::State &state) {
    track_list(state, "get_db_track_info", set_db_track_info, &kiv_ipod_client::db_track_info);
}
BENCHMARK(BM_DbTrackList)->Arg(1000)->Arg(200000)->Unit(benchmark::kMillisecond);

// The pb track list built from one reply of N tracks.
void BM_PbTrackList(benchmark::State &state) {
    track_list(state, "get_pb_track_info", set_pb_track_info, &kiv_ipod_client::pb_track_info);
}
BENCHMARK(BM_PbTrackList)->Arg(1000)->Arg(200000)->Unit(benchmark::kMillisecond);

std::string event_payload(const char *name, int ipod_id, const std::string &data) {
    return wire::h({{"event", wire::s(name)},
                    {"session", wire::i(0)},
                    {"ipod_id", wire::i(ipod_id)},
                    {"ipod_serial", wire::s("SER")},
                    {"data", data}});
}

// A device list of N devices as the daemon sends it whole (decoded and
// kept, at most KIV_IPOD_MAX_DEVICES of it), then a "disconnected_ipod"
// for a serial that is not listed and a "connected_ipod" that overwrites
// the last kept device. Items: devices in the list the daemon sent.
void BM_DeviceEvents(benchmark::State &state) {
    const int devices = static_cast<int>(state.range(0));
    std::vector<std::string> list;
    for (int i = 0; i < devices; ++i) list.push_back(wire::device("S" + std::to_string(i), i));
    const std::string encoded = wire::a(list);
    const int kept = devices < KIV_IPOD_MAX_DEVICES ? devices : KIV_IPOD_MAX_DEVICES;
    const std::string last = "S" + std::to_string(kept - 1);
    Reply gone(event_payload("disconnected_ipod", 0, wire::s("not-listed")));
    Reply again(event_payload("connected_ipod", kept - 1, wire::device(last, kept - 1)));
    kiv_ipod_client *client = ipod_client_new(-1);
    for (auto _ : state) {
        serialize_value *sent = unserialize(encoded.data(), static_cast<int32_t>(encoded.size()));
        serialize_free(client->devices);
        client->devices = copy_device_list(sent, "bench");
        serialize_free(sent);
        client->current_session = kept - 1;
        kiv_ipod_event_free(event_decode(client, gone.get()));
        kiv_ipod_event_free(event_decode(client, again.get()));
    }
    if (kiv_ipod_device_count(client) != kept) state.SkipWithError("wrong device count");
    kiv_ipod_close(client);
    state.SetItemsProcessed(state.iterations() * devices);
}
BENCHMARK(BM_DeviceEvents)->Arg(1000)->Arg(200000)->Unit(benchmark::kMillisecond);

// N "connected_ipod" events, each with a new serial, on a fresh handle.
// Items: events.
void BM_DeviceFlood(benchmark::State &state) {
    const int events = static_cast<int>(state.range(0));
    std::vector<Reply> replies;
    replies.reserve(static_cast<size_t>(events));
    for (int i = 0; i < events; ++i)
        replies.emplace_back(event_payload("connected_ipod", i, wire::device("F" + std::to_string(i), i)));
    for (auto _ : state) {
        state.PauseTiming();
        kiv_ipod_client *client = ipod_client_new(-1);
        state.ResumeTiming();
        for (Reply &r : replies) kiv_ipod_event_free(event_decode(client, r.get()));
        state.PauseTiming();
        kiv_ipod_close(client);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * events);
}
BENCHMARK(BM_DeviceFlood)->Arg(1000)->Arg(200000)->Unit(benchmark::kMillisecond);

// Decoding alone of the db track-list reply of N tracks: the share of the
// list rows that the value decoder takes (its key index over a hash of
// N members is read at random).
void BM_TrackReplyDecode(benchmark::State &state) {
    const int tracks = static_cast<int>(state.range(0));
    Reply reply(track_reply("get_db_track_info", tracks));
    for (auto _ : state) {
        const ipod_packet *p = reply.get();
        serialize_free(unserialize(p->payload, static_cast<int32_t>(p->length)));
    }
    state.SetItemsProcessed(state.iterations() * tracks);
}
BENCHMARK(BM_TrackReplyDecode)->Arg(1000)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
