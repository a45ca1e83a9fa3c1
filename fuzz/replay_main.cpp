// Runs a fuzzer's entry point on files, without libFuzzer, so that every
// build (sanitizers included) checks what the fuzzers check:
//
//   replay_<fuzzer> [--mutations N] PATH...
//
// Each PATH is an input file or a directory of them: the seeds
// (fuzz/seeds/<fuzzer>/) and every input a fuzzer ever found
// (fuzz/corpus/<fuzzer>/). With --mutations, each input is also replayed in
// N variants made by the fuzzer's own structure-aware mutator when it has
// one, and by the byte mutator below otherwise. The variants depend only on
// the input and its index, so a failure names a variant that replays the
// same on every run.
#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size,
                                                                unsigned int seed);

namespace {

std::minstd_rand byte_rng;

}  // namespace

// The byte mutator the structure-aware mutators fall back on: flip, set,
// insert, erase or copy bytes, or cut the input short.
extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t max_size) {
    if (size == 0 || max_size == 0) return 0;
    size_t at = byte_rng() % size;
    switch (byte_rng() % 6) {
        case 0:
            data[at] ^= static_cast<uint8_t>(1u << (byte_rng() % 8));
            break;
        case 1: {
            static const uint8_t kBytes[] = {0, 1, 0x7f, 0x80, 0xff, 'i', 's', 'a', 'h', '-', '9'};
            data[at] = kBytes[byte_rng() % sizeof kBytes];
            break;
        }
        case 2:
            if (size < max_size) {
                memmove(data + at + 1, data + at, size - at);
                data[at] = static_cast<uint8_t>(byte_rng());
                size++;
            }
            break;
        case 3:
            memmove(data + at, data + at + 1, size - at - 1);
            size--;
            break;
        case 4: {
            size_t from = byte_rng() % size,
                   n = std::min<size_t>(1 + byte_rng() % 8, size - std::max(at, from));
            memmove(data + at, data + from, n);
            break;
        }
        default:
            size = at;
            break;
    }
    return size;
}

namespace {

bool read_file(const std::string &path, std::string &bytes) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
    return true;
}

void run_one(const uint8_t *data, size_t size) {
    // An exact heap copy, so that AddressSanitizer sees a read past the end.
    std::vector<uint8_t> exact(data, data + size);
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
}

void replay(const std::string &path, const std::string &bytes, int mutations) {
    printf("replaying %s (%zu bytes, %d variants)\n", path.c_str(), bytes.size(), mutations);
    fflush(stdout);
    run_one(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    for (int k = 1; k <= mutations; k++) {
        std::vector<uint8_t> buf(bytes.begin(), bytes.end());
        buf.resize(bytes.size() + 256);
        byte_rng.seed(static_cast<unsigned>(k));
        size_t n =
            LLVMFuzzerCustomMutator != nullptr
                ? LLVMFuzzerCustomMutator(buf.data(), bytes.size(), buf.size(), static_cast<unsigned>(k))
                : LLVMFuzzerMutate(buf.data(), bytes.size(), buf.size());
        run_one(buf.data(), std::min(n, buf.size()));
    }
}

bool list(const char *arg, std::vector<std::string> &files) {
    struct stat st;
    if (stat(arg, &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(arg);
        return true;
    }
    DIR *dir = opendir(arg);
    if (dir == nullptr) return false;
    std::vector<std::string> found;
    // readdir ends the listing with a null pointer both at the end and on an
    // error; only errno tells them apart.
    errno = 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') found.push_back(std::string(arg) + "/" + e->d_name);
        errno = 0;
    }
    const int error = errno;
    closedir(dir);
    if (error != 0) {
        errno = error;
        return false;
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int mutations = 0, replayed = 0;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--mutations") == 0 && i + 1 < argc) {
            mutations = atoi(argv[++i]);
        } else if (!list(argv[i], files)) {
            perror(argv[i]);
            return 1;
        }
    }
    for (const std::string &file : files) {
        std::string bytes;
        if (!read_file(file, bytes)) {
            perror(file.c_str());
            return 1;
        }
        replay(file, bytes, mutations);
        replayed++;
    }
    printf("%d inputs replayed, each with %d variants\n", replayed, mutations);
    if (replayed == 0) fprintf(stderr, "no inputs: nothing was checked\n");
    return replayed > 0 ? 0 : 1;
}
