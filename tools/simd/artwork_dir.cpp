// The simulator's private directory of shared artwork files, and the
// removal of those that killed simulators left behind.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon.h"

namespace simd {

// Empties and removes the directory `fd` (named `path`, an entry of
// `base_fd`) that a killed simulator left behind.
void Daemon::remove_leftover(int base_fd, int fd, const std::string &path) {
    DIR *inner = fdopendir(dup(fd));
    if (!inner) {
        log("cannot open %s, left by an earlier run: %s", path.c_str(), strerror(errno));
        return;
    }
    for (;;) {
        errno = 0;
        dirent *f = readdir(inner);
        if (!f) break;
        if (strcmp(f->d_name, ".") != 0 && strcmp(f->d_name, "..") != 0) unlinkat(dirfd(inner), f->d_name, 0);
    }
    const int error = errno;
    closedir(inner);
    if (error) {
        log("cannot empty %s, left by an earlier run: %s", path.c_str(), strerror(error));
        return;
    }
    const std::string name = path.substr(path.rfind('/') + 1);
    if (unlinkat(base_fd, name.c_str(), AT_REMOVEDIR) == 0)
        log("removed the artwork directory %s left by an earlier run", path.c_str());
}

// Artwork files live in a directory of the simulator's own, created at
// start with a random name and mode 0700, so that no other user can plant
// or read a file there. The directory stays locked (flock) while the
// simulator runs; directories of the same owner left unlocked by a
// simulator that was killed are removed first.
bool Daemon::prepare_artwork_dir(std::string &error_text) {
    if (options_.artwork_dir.empty()) {
        const char *tmp = getenv("TMPDIR");
        options_.artwork_dir = tmp && *tmp ? tmp : "/tmp";
    }
    const std::string &base = options_.artwork_dir;
    const char prefix[] = "kiv-ipod-simd.";
    if (DIR *d = opendir(base.c_str())) {
        int base_fd = dirfd(d);
        // readdir() ends with NULL both at the end and on an error; only
        // errno tells them apart.
        for (;;) {
            errno = 0;
            dirent *e = readdir(d);
            if (!e) {
                if (errno)
                    log("cannot read %s for earlier artwork directories: %s", base.c_str(), strerror(errno));
                break;
            }
            if (strncmp(e->d_name, prefix, sizeof prefix - 1) != 0) continue;
            int fd = openat(base_fd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) continue;
            struct stat st;
            if (fstat(fd, &st) == 0 && st.st_uid == getuid() && flock(fd, LOCK_EX | LOCK_NB) == 0)
                remove_leftover(base_fd, fd, base + "/" + e->d_name);
            close(fd);
        }
        closedir(d);
    }
    // Created under a name the clean-up above never matches, locked, then
    // given its final name: another simulator starting at the same moment
    // can never take it for a leftover.
    std::string tmpl = base + "/" + "kiv-ipod-simd-new.XXXXXX";
    if (!mkdtemp(&tmpl[0])) {
        error_text = "cannot create an artwork directory in " + base + ": " + strerror(errno);
        return false;
    }
    art_dir_fd_ = open(tmpl.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    art_dir_ = base + "/" + prefix + tmpl.substr(tmpl.size() - 6);
    if (art_dir_fd_ < 0 || flock(art_dir_fd_, LOCK_EX | LOCK_NB) != 0 ||
        renameat2(AT_FDCWD, tmpl.c_str(), AT_FDCWD, art_dir_.c_str(), RENAME_NOREPLACE) != 0) {
        error_text = "cannot lock " + tmpl + ": " + strerror(errno);
        rmdir(tmpl.c_str());
        art_dir_.clear();
        return false;
    }
    return true;
}

}  // namespace simd
