// The commands of kiv-ipod and the command tree that parses them.
#ifndef KIV_CLI_COMMANDS_H
#define KIV_CLI_COMMANDS_H

#include <string>
#include <vector>

#include "session.h"

namespace kivcli {

// Runs one command line (the words from the command on); `nested`: a
// line of a script, where the script command is not offered. Throws
// Failure.
void run_line(Ctx &ctx, const std::vector<std::string> &words, bool nested);
// The help text of every command, followed by `footer`.
std::string commands_help(Ctx &ctx, const std::string &footer);
// A failure on standard error (and as JSON with --json).
void report(Ctx &ctx, const Failure &f);

}  // namespace kivcli

#endif
