// kiv-ipod-simd: command line of the simulated iPod accessory daemon.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "daemon.h"
#include "replay.h"
#ifdef KIV_SIMD_WEB
#include "web_panel.h"
#endif

namespace {

const char kUsage[] =
    "usage: kiv-ipod-simd [options]\n"
    "       kiv-ipod-simd [--socket NAME] --control COMMAND\n"
    "\n"
    "Simulates the iPod accessory daemon with one demo iPod.\n"
    "\n"
    "  --socket NAME          abstract socket name (default com.kiv.ipod.IPodDaemon)\n"
    "  --library FILE         load the tracks from a JSON file instead of generating them\n"
    "  --seed N               seed of the generated library (default 1)\n"
    "  --ping-interval SECS   seconds between pings to every client, 0 for none (default 5)\n"
    "  --artwork-dir DIR      where the private directory of shared artwork files is made\n"
    "                         (default $TMPDIR or /tmp)\n"
    "  --max-clients N        connections served at once; more are closed (default 64)\n"
    "  --evict-after N        close a client that leaves N pings in a row unanswered and\n"
    "                         sends nothing for at least a second (default 3, 0: never)\n"
    "  --allow-control        serve --control requests (from processes of the same user)\n"
    "  --capture FILE         write every client's frames to FILE (pcap; created anew;\n"
    "                         read it with kiv-ipod dump or tools/wireshark/kiv_ipod.lua)\n"
    "  --replay FILE          serve the daemon's side of one recorded connection of a capture\n"
    "                         (KIV_IPOD_CAPTURE or --capture) to the next client, and report\n"
    "                         on standard error where its requests leave the recording\n"
    "  --connection N         the connection to replay (the #N of kiv-ipod dump; a library\n"
    "                         capture holds connection 0); default: the file's first\n"
    "  --speed X              recorded delays divided by X (default 1; 0: no delays)\n"
    "  --replay-lenient       after a divergence, skip ahead to the next recorded request\n"
    "                         with the client's opcode instead of stopping\n"
    "  --web PORT             serve the web panel on http://127.0.0.1:PORT/ (0: any free\n"
    "                         port, logged even with --quiet); a port in use is refused\n"
    "  --web-bind ADDR        listen for the panel on ADDR instead (it has no\n"
    "                         authentication: anyone who reaches it controls the simulator)\n"
    "  --quiet                log nothing but fatal errors\n"
    "  --control COMMAND      ask the running simulator (started with --allow-control) to\n"
    "                         act; COMMAND is 'hotplug' (the demo iPod disconnects and\n"
    "                         reconnects; SIGUSR1 does the same without --allow-control)\n"
    "  --help                 this text\n"
    "\n"
    "Exit codes: 0 stopped by SIGTERM/SIGINT or control done, 1 runtime failure,\n"
    "2 usage error or unreadable library file.\n"
    "With --replay: 0 the whole recording was played and every request matched, 1 it was\n"
    "not (a divergence, the client left early, a signal), 2 a file that cannot be replayed.\n";

void on_stop(int) {
    simd::Daemon::signal_stop();
}
void on_hotplug(int) {
    simd::Daemon::signal_hotplug();
}

bool parse_uint(const char *text, unsigned long max, unsigned long &out) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (errno || end == text || *end || v > max || text[0] == '-') return false;
    out = v;
    return true;
}

// Sends one control command and waits for its reply; the exit code.
int control(const std::string &socket_name, const std::string &command) {
    int fd = simd::connect_abstract(socket_name);
    if (fd < 0) {
        fprintf(stderr, "kiv-ipod-simd: no simulator on @%s: %s\n", socket_name.c_str(), strerror(errno));
        return 1;
    }
    std::string out = simd::frame(1, simd::kControlOpcode, simd::encode(simd::Value::string(command)));
    if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
        fprintf(stderr, "kiv-ipod-simd: cannot send the command\n");
        close(fd);
        return 1;
    }
    // Skip pings and events until the reply with our id arrives.
    std::string rx;
    char buf[4096];
    for (;;) {
        while (rx.size() >= simd::kHeaderSize) {
            const uint8_t *h = reinterpret_cast<const uint8_t *>(rx.data());
            uint32_t len = simd::read_be32(h + IPOD_HEADER_LENGTH_AT);
            if (rx.size() < simd::kHeaderSize + len) break;
            if (simd::read_be32(h + IPOD_HEADER_TID_AT) == 1) {
                simd::Value v;
                close(fd);
                if (!simd::decode(h + simd::kHeaderSize, len, v)) return 1;
                if (const simd::Value *e = v.find("error")) {
                    fprintf(stderr, "kiv-ipod-simd: %s\n", e->s.c_str());
                    return 1;
                }
                return 0;
            }
            rx.erase(0, simd::kHeaderSize + len);
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            // A simulator closes a client that sends a control request it
            // does not serve, like any unknown opcode.
            fprintf(stderr,
                    "kiv-ipod-simd: the simulator on @%s refused '%s' and closed the connection: it "
                    "serves --control only when started with --allow-control, and only to processes "
                    "of the same user\n",
                    socket_name.c_str(), command.c_str());
            close(fd);
            return 1;
        }
        rx.append(buf, static_cast<size_t>(n));
    }
}

// What the command line asks for.
struct Args {
    simd::Options options;
    std::string library_path, command;
    unsigned long seed = 1;
    long web_port = -1;
    simd::ReplayOptions replay;
    std::string web_bind = "127.0.0.1";
};

// The next word as an option's value (a missing one ends the program).
using ValueFn = std::function<const char *(const char *name)>;
constexpr int kHandled = -1, kNotMine = -2;

int usage_error(const char *message) {
    fprintf(stderr, "kiv-ipod-simd: %s\n", message);
    return 2;
}

bool parse_seconds(const char *text, double max, double &out) {
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end || !(v >= 0 && v <= max)) return false;
    out = v;
    return true;
}

// The daemon's options: kHandled, kNotMine, or the exit code of a usage error.
int daemon_option(const std::string &a, const ValueFn &value, Args &out) {
    simd::Options &o = out.options;
    unsigned long n = 0;
    double secs = 0;
    if (a == "--socket") {
        o.socket_name = value("--socket");
        if (o.socket_name.empty() || o.socket_name.size() > 100)
            return usage_error("--socket needs a name of 1 to 100 characters");
    } else if (a == "--library") {
        out.library_path = value("--library");
    } else if (a == "--seed") {
        if (!parse_uint(value("--seed"), 0xFFFFFFFFul, out.seed)) return usage_error("--seed needs a number");
    } else if (a == "--ping-interval") {
        if (!parse_seconds(value("--ping-interval"), 3600, secs))
            return usage_error("--ping-interval needs seconds from 0 to 3600");
        o.ping_interval_ms = static_cast<int>(secs * 1000);
    } else if (a == "--max-clients") {
        if (!parse_uint(value("--max-clients"), 100000, n) || n == 0)
            return usage_error("--max-clients needs a number from 1 to 100000");
        o.max_clients = static_cast<int>(n);
    } else if (a == "--evict-after") {
        if (!parse_uint(value("--evict-after"), 1000, n))
            return usage_error("--evict-after needs a number of pings from 0 to 1000");
        o.evict_after = static_cast<int>(n);
    } else if (a == "--allow-control") {
        o.allow_control = true;
    } else if (a == "--artwork-dir") {
        o.artwork_dir = value("--artwork-dir");
    } else if (a == "--capture") {
        o.capture = value("--capture");
    } else if (a == "--quiet") {
        o.quiet = true;
    } else if (a == "--control") {
        out.command = value("--control");
    } else {
        return kNotMine;
    }
    return kHandled;
}

// The options of the replay and of the web panel.
int other_option(const std::string &a, const ValueFn &value, Args &out) {
    unsigned long n = 0;
    if (a == "--replay") {
        out.replay.file = value("--replay");
    } else if (a == "--connection") {
        if (!parse_uint(value("--connection"), 0xFFFFFFFFul, n))
            return usage_error("--connection needs a connection number");
        out.replay.pick_connection = true;
        out.replay.connection = static_cast<uint32_t>(n);
    } else if (a == "--speed") {
        if (!parse_seconds(value("--speed"), 1000, out.replay.speed))
            return usage_error("--speed needs a number from 0 to 1000");
    } else if (a == "--replay-lenient") {
        out.replay.lenient = true;
    } else if (a == "--web") {
        if (!parse_uint(value("--web"), 65535, n)) return usage_error("--web needs a port from 0 to 65535");
        out.web_port = static_cast<long>(n);
    } else if (a == "--web-bind") {
        out.web_bind = value("--web-bind");
    } else {
        return kNotMine;
    }
    return kHandled;
}

// kHandled when the program goes on, else its exit code.
int parse_args(int argc, char **argv, Args &out) {
    for (int k = 1; k < argc; k++) {
        std::string a = argv[k];
        ValueFn value = [&](const char *name) -> const char * {
            if (k + 1 >= argc) {
                fprintf(stderr, "kiv-ipod-simd: %s needs a value\n%s", name, kUsage);
                exit(2);
            }
            return argv[++k];
        };
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        int code = daemon_option(a, value, out);
        if (code == kNotMine) code = other_option(a, value, out);
        if (code == kNotMine) {
            fprintf(stderr, "kiv-ipod-simd: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
        if (code != kHandled) return code;
    }
    return kHandled;
}

#ifdef KIV_SIMD_WEB
// Starts the web panel when asked for; false (with a message) when it fails.
bool start_panel(const Args &args, simd::Daemon &daemon, std::unique_ptr<simd::WebPanel> &panel) {
    if (args.web_port < 0) return true;
    const std::string &bind = args.web_bind;
    std::string error;
    panel.reset(new simd::WebPanel(daemon));
    if (!panel->start(bind, static_cast<int>(args.web_port), error)) {
        fprintf(stderr, "kiv-ipod-simd: %s\n", error.c_str());
        return false;
    }
    // A port picked by the system is printed even with --quiet: it is
    // the only way to learn it.
    if (!args.options.quiet || args.web_port == 0)
        fprintf(stderr, "kiv-ipod-simd: web panel on http://%s:%d/\n", bind.c_str(), panel->port());
    if (bind != "127.0.0.1" && bind != "::1" && bind != "localhost")
        fprintf(stderr,
                "kiv-ipod-simd: warning: the web panel has no authentication; anyone who reaches "
                "%s:%d controls the simulator\n",
                bind.c_str(), panel->port());
    return true;
}
#endif

int serve(Args &args) {
    simd::Library library;
    if (args.library_path.empty()) {
        library = simd::generate_library(static_cast<uint32_t>(args.seed));
    } else {
        std::string error;
        if (!simd::load_library(args.library_path, library, error)) {
            fprintf(stderr, "kiv-ipod-simd: %s\n", error.c_str());
            return 2;
        }
    }
    simd::Daemon daemon(args.options, std::move(library));
    std::string error;
    if (!daemon.start(error)) {
        fprintf(stderr, "kiv-ipod-simd: %s\n", error.c_str());
        return 1;
    }
#ifdef KIV_SIMD_WEB
    std::unique_ptr<simd::WebPanel> panel;
    if (!start_panel(args, daemon, panel)) return 1;
#else
    if (args.web_port >= 0) {
        fprintf(stderr, "kiv-ipod-simd: built without the web panel (needs cpp-httplib)\n");
        return 2;
    }
#endif
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_hotplug;
    sigaction(SIGUSR1, &sa, nullptr);
    return daemon.run();
}

}  // namespace

static int run_main(int argc, char **argv) {
    Args args;
    int code = parse_args(argc, argv, args);
    if (code != kHandled) return code;
    signal(SIGPIPE, SIG_IGN);
    if (!args.command.empty()) return control(args.options.socket_name, args.command);
    if (!args.replay.file.empty()) {
        args.replay.socket_name = args.options.socket_name;
        args.replay.quiet = args.options.quiet;
        return simd::replay(args.replay);
    }
    return serve(args);
}

int main(int argc, char **argv) {
    // Nothing may end the process with an uncaught exception (an abort).
    try {
        return run_main(argc, argv);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "kiv-ipod-simd: out of memory\n");
    } catch (const std::exception &e) {
        fprintf(stderr, "kiv-ipod-simd: %s\n", e.what());
    } catch (...) {
        fprintf(stderr, "kiv-ipod-simd: unexpected failure\n");
    }
    return 1;
}
