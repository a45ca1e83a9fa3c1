/*
 * cpp_now_playing: the C++ interface. Connects, opens a session on the
 * first device, prints what is playing, follows the events in a poll()
 * loop for SECONDS, then fetches the artwork of the current track.
 *
 *   cpp_now_playing [SECONDS]
 */
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kiv/ipod.hpp"

using namespace kiv::ipod;
using namespace std::chrono;

static std::string show(std::optional<std::string_view> text) {
    return std::string(text.value_or("?"));
}

static int fail(const char *what, const Error &error) {
    std::fprintf(stderr, "cpp_now_playing: %s: %s\n", what, error.text().c_str());
    return 1;
}

static void print_now_playing(const Client &ipod) {
    auto length = ipod.length().value_or(Duration::zero());
    auto min = duration_cast<minutes>(length);
    std::printf("now playing: %s by %s (%d:%02d)\n", show(ipod.title()).c_str(), show(ipod.artist()).c_str(),
                int(min.count()), int(duration_cast<seconds>(length - min).count()));
}

int main(int argc, char **argv) {
    seconds run_for(argc > 1 ? std::atoi(argv[1]) : 3);
    auto connected = Client::connect();
    if (!connected) return fail("connect", connected.error());
    Client ipod = std::move(*connected);
    ipod.set_timeout(seconds(5));  // no _sync call blocks longer
    if (auto opened = ipod.open_session_sync(0); !opened) return fail("open session", opened.error());
    std::printf("device: %s\n", show(ipod.device(0)->name()).c_str());
    if (auto info = ipod.current_track_info_sync(); !info) return fail("track information", info.error());
    print_now_playing(ipod);

    ipod.on_reply([](const Reply &reply) {
        if (reply.error) std::printf("refused: %s\n", std::string(*reply.error).c_str());
    });
    ipod.on_ping([](Client &c, RequestId) { c.ping(); });
    ipod.on_event([](Client &c, const Event &event) {
        if (auto status = event.play_status()) std::printf("status: %s\n", to_string(*status).data());
        if (event.type() == EventType::track_index_changed && c.current_track_info_sync())
            print_now_playing(c);
    });
    ipod.play();
    for (auto end = steady_clock::now() + run_for; steady_clock::now() < end;) {
        pollfd pfd{ipod.fd(), POLLIN, 0};
        if (poll(&pfd, 1, milliseconds(200).count()) > 0 && !ipod.read()) break;
    }
    auto art = ipod.current_track_artwork_sync();
    if (!art) return fail("artwork", art.error());
    std::printf("artwork: %dx%d, %zu bytes\n", art->width, art->height, art->pixels.size());
    return 0;
}
