// Preloaded into the simulator by the limits test: reading the directory
// named by KIV_TEST_READDIR_FAIL fails with EIO, every other directory
// reads normally. Both entry points are defined, so the names must not be
// redirected to their 64-bit forms (a 32-bit build with 64-bit offsets).
#undef _FILE_OFFSET_BITS
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

bool failing(DIR *d) {
    const char *target = getenv("KIV_TEST_READDIR_FAIL");
    if (!target || !*target) return false;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(d));
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return false;
    path[n] = '\0';
    return strcmp(path, target) == 0;
}

template <typename F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" struct dirent *readdir(DIR *d) {
    static auto real = next<struct dirent *(*)(DIR *)>("readdir");
    if (failing(d)) {
        errno = EIO;
        return nullptr;
    }
    return real(d);
}

extern "C" struct dirent64 *readdir64(DIR *d) {
    static auto real = next<struct dirent64 *(*)(DIR *)>("readdir64");
    if (failing(d)) {
        errno = EIO;
        return nullptr;
    }
    return real(d);
}
