#include "options.h"

#include <errno.h>
#include <stdlib.h>

#include <iostream>

namespace kivcli {

const char kGlobalOptions[] =
    "Options (before the command; options end at the command or at --):\n"
    "  --json           one JSON object per result\n"
    "  --device N       the iPod to use (default 0)\n"
    "  --socket NAME    the daemon's abstract socket name (sets KIV_IPOD_SOCKET)\n"
    "  --timeout MS     time allowed for connecting and for each reply (default 5000;\n"
    "                   sets KIV_IPOD_TIMEOUT_MS)\n"
    "  --version        the versions of kiv-ipod and of the library\n"
    "Exit codes: 0 success, 1 the daemon refused or failed, 2 usage error, 3 no daemon\n"
    "reachable, connection lost or no reply in time.";

namespace {

bool parse_int(const std::string &text, long lo, long hi, int &out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

int usage(const std::string &message) {
    std::cerr << "kiv-ipod: " << message << "\n";
    return kExitUsage;
}

// An option that takes a value: its value (from "--name=value" or the
// next word) and its plain name.
bool split_value(int argc, char **argv, int &k, std::string &name, std::string &value) {
    std::string w = argv[k];
    size_t eq = w.find('=');
    bool takes_value = false;
    for (const char *o : {"--device", "--socket", "--timeout"})
        if (w.compare(0, eq, o) == 0) takes_value = true;
    name = w;
    if (!takes_value) return true;
    if (eq != std::string::npos) {
        name = w.substr(0, eq);
        value = w.substr(eq + 1);
        return true;
    }
    if (k + 1 >= argc) return false;
    value = argv[++k];
    return true;
}

// One option; -1, or the exit code of a usage error.
int apply(const std::string &w, const std::string &name, const std::string &value, Ctx &ctx, Options &out) {
    if (w == "--json") {
        ctx.json_out = true;
    } else if (w == "--help" || w == "-h") {
        out.help = true;
    } else if (w == "--version") {
        out.version = true;
    } else if (name == "--device") {
        if (!parse_int(value, 0, 1000, ctx.device)) return usage("--device needs an index from 0 to 1000");
    } else if (name == "--socket") {
        if (value.empty() || value.size() > 100) return usage("--socket needs a name of 1 to 100 characters");
        setenv("KIV_IPOD_SOCKET", value.c_str(), 1);
    } else if (name == "--timeout") {
        if (!parse_int(value, 1, 3600000, ctx.timeout_ms))
            return usage("--timeout needs milliseconds from 1 to 3600000");
    } else {
        return usage("unknown option " + w + " (see kiv-ipod --help)");
    }
    return -1;
}

}  // namespace

// Everything from the command on is the command's own (EAP data may well
// read "--json").
int parse_options(int argc, char **argv, Ctx &ctx, Options &out) {
    int k = 1;
    for (; k < argc; k++) {
        std::string w = argv[k];
        if (w == "--") {
            k++;
            break;
        }
        if (w.size() < 2 || w[0] != '-') break;
        std::string name, value;
        if (!split_value(argc, argv, k, name, value)) return usage(w + " needs a value");
        int code = apply(w, name, value, ctx, out);
        if (code >= 0) return code;
    }
    out.words.assign(argv + k, argv + argc);
    return -1;
}

}  // namespace kivcli
