// kiv-ipod: a command-line client of the iPod accessory daemon, in the
// style of a music-player client. It uses only the public header, as any
// application would.
//
// Exit codes: 0 success, 1 the daemon refused or failed (its error text on
// stderr), 2 usage error, 3 no daemon reachable (or the connection lost).
#include <signal.h>
#include <stdlib.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "dump.h"
#include "kiv_ipod.h"
#include "options.h"
#include "session.h"

namespace {

using namespace kivcli;

void on_interrupt(int) {
    g_interrupted = 1;
}

int run(int argc, char **argv) {
    Ctx ctx;
    Options o;
    int code = parse_options(argc, argv, ctx, o);
    if (code >= 0) return code;
    // The library reads the time allowed for connecting from the environment.
    setenv("KIV_IPOD_TIMEOUT_MS", std::to_string(ctx.timeout_ms).c_str(), 1);
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    signal(SIGPIPE, SIG_IGN);
    // The tool's version is the one of the header it was built with; the
    // library's is the one loaded now.
    if (o.version) {
        ctx.print(json{{"tool", KIV_IPOD_VERSION_TEXT}, {"library", kiv_ipod_library_version()}},
                  std::string("kiv-ipod ") + KIV_IPOD_VERSION_TEXT + "\nlibkiv-ipod-2 " +
                      kiv_ipod_library_version() + "\n");
        return 0;
    }
    // Reading a capture needs no daemon.
    if (!o.words.empty() && o.words[0] == "dump")
        return kiv_cli_dump({o.words.begin() + 1, o.words.end()}, ctx.json_out);
    try {
        if (o.help || o.words.empty()) {
            std::cout << commands_help(
                ctx,
                std::string("kiv-ipod dump [-v] [--json] FILE prints a capture (KIV_IPOD_CAPTURE=FILE|DIR "
                            "in the environment).\n") +
                    kGlobalOptions);
            return o.help ? 0 : kExitUsage;
        }
        run_line(ctx, o.words, false);
    } catch (const Failure &f) {
        report(ctx, f);
        return f.code;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Nothing may end the process with an uncaught exception (an abort).
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "kiv-ipod: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "kiv-ipod: unexpected failure\n";
    }
    return kExitFailed;
}
