// kiv-ipod script FILE|-: one command per line on one connection.
#ifndef KIV_CLI_SCRIPT_H
#define KIV_CLI_SCRIPT_H

#include <functional>
#include <string>
#include <vector>

#include "session.h"

namespace kivcli {

// Runs the lines of `file` (standard input for "-"): `run` gets each
// line's words (quotes group words), `#` starts a comment. A failure names
// its line and ends the script, unless `keep_going`: then `report` gets it,
// the rest runs and the script fails with the first failure's code. A file
// that cannot be read (a directory, say) is a usage error naming it.
void run_script(Ctx &ctx, const std::string &file, bool keep_going,
                const std::function<void(const std::vector<std::string> &)> &run,
                const std::function<void(const Failure &)> &report);

}  // namespace kivcli

#endif
