// Runs a fuzzer's entry point on files, without libFuzzer: each argument is
// an input file or a directory of them. The tests build every fuzzer that
// has committed inputs (fuzz/corpus/<fuzzer>/) with this driver and replay
// them all, so that each input a fuzzer ever found stays a regression test
// on every build, sanitizers included.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// The structure-aware mutators call into libFuzzer; nothing mutates here.
extern "C" size_t LLVMFuzzerMutate(uint8_t *, size_t size, size_t) {
    return size;
}

namespace {

bool replay(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
    // An exact heap copy, so that AddressSanitizer sees a read past the end.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    printf("replaying %s (%zu bytes)\n", path.c_str(), exact.size());
    fflush(stdout);
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int replayed = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            perror(argv[i]);
            return 1;
        }
        std::vector<std::string> files;
        if (S_ISDIR(st.st_mode)) {
            DIR *dir = opendir(argv[i]);
            if (dir == nullptr) return 1;
            while (dirent *e = readdir(dir))
                if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
            closedir(dir);
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argv[i]);
        }
        for (const std::string &file : files) {
            if (!replay(file)) {
                perror(file.c_str());
                return 1;
            }
            replayed++;
        }
    }
    printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
