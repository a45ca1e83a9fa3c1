#include "script.h"

#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <iomanip>
#include <sstream>

namespace kivcli {

namespace {

// The open file, or a usage error naming the path and why.
void open_script(const std::string &file, std::ifstream &f) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0)
        throw Failure{kExitUsage, "cannot read " + file + ": " + strerror(errno)};
    if (S_ISDIR(st.st_mode)) throw Failure{kExitUsage, "cannot read " + file + ": " + strerror(EISDIR)};
    f.open(file);
    if (!f) throw Failure{kExitUsage, "cannot read " + file + ": " + strerror(errno)};
}

}  // namespace

void run_script(Ctx &ctx, const std::string &file, bool keep_going,
                const std::function<void(const std::vector<std::string> &)> &run,
                const std::function<void(const Failure &)> &report) {
    std::ifstream f;
    std::istream *in = &std::cin;
    if (file != "-") {
        open_script(file, f);
        in = &f;
    }
    std::string line;
    int number = 0, failed = 0, first_code = 0, first_line = 0;
    while (std::getline(*in, line)) {
        number++;
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos) continue;
        if (line[b] == '#') {
            // Comments explain the script to whoever reads its output.
            if (!ctx.json_out) std::cout << "\n" << line.substr(b) << "\n";
            continue;
        }
        std::vector<std::string> words;
        std::istringstream ws(line);
        for (std::string w; ws >> std::quoted(w);) words.push_back(w);
        if (!ctx.json_out) std::cout << "\n$ kiv-ipod " << line.substr(b) << "\n" << std::flush;
        try {
            run(words);
        } catch (const Failure &f) {
            Failure at{f.code, "line " + std::to_string(number) + ": " + f.message};
            if (!keep_going) throw at;
            report(at);
            if (failed++ == 0) {
                first_code = f.code;
                first_line = number;
            }
        }
    }
    // A read error is not the end of the script.
    if (in->bad()) throw Failure{kExitUsage, "cannot read " + file + " after line " + std::to_string(number)};
    if (failed)
        throw Failure{first_code, std::to_string(failed) +
                                      " of the script's commands failed, the first at line " +
                                      std::to_string(first_line)};
}

}  // namespace kivcli
