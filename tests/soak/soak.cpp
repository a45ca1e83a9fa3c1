// Soak run: one connection to the simulated daemon carries a given number
// of mixed packets (replies to a rolling window of requests, the events
// they cause, pings every millisecond and the replies to their answers).
// Checks that every reply matches exactly one outstanding request, that
// resident memory stays flat and that no descriptor leaks; prints the
// figures. Run inside a private network namespace (make soak):
//
//   kiv-soak <path of kiv-ipod-simd> [packets]
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "kiv_ipod.h"

// The library logs a trace line per request: count the records, and print
// only the first few errors.
static long log_records, log_errors;
extern "C" __attribute__((visibility("default"))) int __android_log_vprint(int prio, const char *,
                                                                           const char *fmt, va_list ap) {
    log_records++;
    if (prio >= 6 && ++log_errors <= 5) {
        fputs("library error: ", stderr);
        vfprintf(stderr, fmt, ap);
    }
    return 0;
}

namespace {

struct State {
    std::unordered_set<uint32_t> outstanding;
    long events = 0, replies = 0, pings = 0, unmatched = 0, failed_sends = 0;
    bool draining = false;  // pings are then counted but not answered
};

long packets(const State &s) {
    return s.events + s.replies + s.pings;
}

int on_event(kiv_ipod_client *, kiv_ipod_event *, void *data) {
    static_cast<State *>(data)->events++;
    return 0;
}

int on_reply(kiv_ipod_client *, uint32_t tid, int32_t, const char *, void *data) {
    State *s = static_cast<State *>(data);
    s->replies++;
    if (s->outstanding.erase(tid) != 1) s->unmatched++;
    return 0;
}

void track(State *s, uint32_t tid) {
    if (tid == 0) {
        s->failed_sends++;
        return;
    }
    if (!s->outstanding.insert(tid).second) s->unmatched++;  // an id handed out twice
}

int on_ping(kiv_ipod_client *c, uint32_t, void *data) {
    State *s = static_cast<State *>(data);
    s->pings++;
    if (!s->draining) track(s, kiv_ipod_ping(c));
    return 0;
}

long rss_kib() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The open descriptors (the one listing the directory included).
long open_fds() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <kiv-ipod-simd> [packets]\n", argv[0]);
        return 2;
    }
    const long target = argc > 2 ? atol(argv[2]) : 1000000;
    pid_t simd = fork();
    if (simd == 0) {
        // A cross build's simulator runs under the emulator KIV_IPOD_EMULATOR names.
        std::vector<std::string> words;
        std::istringstream emulator(getenv("KIV_IPOD_EMULATOR") ? getenv("KIV_IPOD_EMULATOR") : "");
        for (std::string word; emulator >> word;) words.push_back(word);
        words.insert(words.end(), {argv[1], "--ping-interval", "0.001", "--quiet"});
        std::vector<char *> command;
        for (std::string &word : words) command.push_back(&word[0]);
        command.push_back(nullptr);
        execvp(command[0], command.data());
        _exit(127);
    }
    kiv_ipod_client *c = nullptr;
    for (int k = 0; k < 500 && !(c = kiv_ipod_connect()); k++) usleep(10000);
    int status = 1;
    State s;
    if (c) {
        kiv_ipod_set_event_cb(c, on_event, &s);
        kiv_ipod_set_reply_cb(c, on_reply, &s);
        kiv_ipod_set_ping_cb(c, on_ping, &s);
    }
    if (!c) {
        fprintf(stderr, "soak: no simulator to connect to\n");
    } else if (kiv_ipod_open_session_sync(c, 0) != 1 || kiv_ipod_is_ready(c) != 1) {
        fprintf(stderr, "soak: the session did not open ready\n");
    } else {
        const size_t window = 32;
        long issued = 0, sync_calls = 0, sync_failures = 0;
        long rss_start = 0, rss_peak_after_warmup = 0;
        long fds_start = open_fds();
        const long warmup = target / 20;
        double t0 = now_s();
        bool lost = false;
        while (packets(s) < target) {
            while (s.outstanding.size() < window) {
                const long kind = issued++ % 4;
                track(&s, kind == 0   ? kiv_ipod_set_position(c, static_cast<int32_t>(issued % 60000))
                          : kind == 1 ? kiv_ipod_get_play_state(c)
                          : kind == 2 ? kiv_ipod_current_track_info(c)
                                      : kiv_ipod_get_sample_rate(c));
            }
            // Now and then a blocking request: everything else that arrives
            // meanwhile is dispatched inside it.
            if (issued % 5000 == 0) {
                sync_calls++;
                if (kiv_ipod_get_play_state_sync(c) < 0) sync_failures++;
            }
            pollfd p = {kiv_ipod_fd(c), POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0 || kiv_ipod_read(c) < 0) {
                lost = true;
                break;
            }
            if (rss_start == 0 && packets(s) >= warmup) rss_start = rss_kib();
            if (rss_start) {
                long r = rss_kib();
                if (r > rss_peak_after_warmup) rss_peak_after_warmup = r;
            }
        }
        // Drain: every request still outstanding must get its reply.
        double drain_deadline = now_s() + 10;
        s.draining = true;
        while (!lost && !s.outstanding.empty() && now_s() < drain_deadline) {
            pollfd p = {kiv_ipod_fd(c), POLLIN, 0};
            if (poll(&p, 1, 1000) > 0 && kiv_ipod_read(c) < 0) lost = true;
        }
        double elapsed = now_s() - t0;
        long rss_end = rss_kib();
        long fds_end = open_fds();
        printf("soak: %ld packets in %.1f s (%.0f packets/s): %ld replies, %ld events, %ld pings\n",
               packets(s), elapsed, static_cast<double>(packets(s)) / elapsed, s.replies, s.events, s.pings);
        printf("soak: %ld async requests, %ld blocking requests (%ld failed), %ld log records (%ld errors)\n",
               issued, sync_calls, sync_failures, log_records, log_errors);
        printf("soak: RSS %ld KiB after warm-up, %ld KiB peak, %ld KiB at the end; descriptors %ld -> %ld\n",
               rss_start, rss_peak_after_warmup, rss_end, fds_start, fds_end);
        printf("soak: %ld unmatched replies, %zu requests without reply, %ld failed sends%s\n", s.unmatched,
               s.outstanding.size(), s.failed_sends, lost ? ", CONNECTION LOST" : "");
        // Flat memory: the resident size may not grow by more than 1 MiB
        // past the warm-up (allocator noise), whatever the packet count.
        bool ok = !lost && s.unmatched == 0 && s.outstanding.empty() && s.failed_sends == 0 &&
                  sync_failures == 0 && fds_end == fds_start && rss_end - rss_start <= 1024 && s.events > 0 &&
                  s.pings > 0;
        printf("soak: %s\n", ok ? "PASSED" : "FAILED");
        status = ok ? 0 : 1;
    }
    if (c) kiv_ipod_close(c);
    kill(simd, SIGTERM);
    waitpid(simd, nullptr, 0);
    return status;
}
