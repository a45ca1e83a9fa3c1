// The options of kiv-ipod before the command.
#ifndef KIV_CLI_OPTIONS_H
#define KIV_CLI_OPTIONS_H

#include <string>
#include <vector>

#include "session.h"

namespace kivcli {

struct Options {
    bool help = false, version = false;
    std::vector<std::string> words;  // the command and its own arguments
};

// The options' help, for the end of the program's help.
extern const char kGlobalOptions[];

// Reads the options before the command (they end at the command or at
// --) into `ctx` and `out`. Returns -1, or the exit code of a usage error
// after printing it.
int parse_options(int argc, char **argv, Ctx &ctx, Options &out);

}  // namespace kivcli

#endif
