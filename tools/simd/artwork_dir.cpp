// The simulator's private directory of shared artwork files, and the
// removal of those that killed simulators left behind.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "artwork.h"
#include "requests.h"

namespace simd {

// Empties and removes the directory `fd` (named `path`, an entry of
// `base_fd`) that a killed simulator left behind.
void ArtworkStore::remove_leftover(int base_fd, int fd, const std::string &path) const {
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
bool ArtworkStore::prepare(std::string &base, std::string &error_text) {
    if (base.empty()) {
        const char *tmp = getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
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
    dir_fd_ = open(tmpl.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    dir_ = base + "/" + prefix + tmpl.substr(tmpl.size() - 6);
    if (dir_fd_ < 0 || flock(dir_fd_, LOCK_EX | LOCK_NB) != 0 ||
        renameat2(AT_FDCWD, tmpl.c_str(), AT_FDCWD, dir_.c_str(), RENAME_NOREPLACE) != 0) {
        error_text = "cannot lock " + tmpl + ": " + strerror(errno);
        rmdir(tmpl.c_str());
        dir_.clear();
        return false;
    }
    return true;
}

ArtworkStore::~ArtworkStore() {
    if (dir_fd_ >= 0) {
        rmdir(dir_.c_str());
        close(dir_fd_);
    }
}

void ArtworkStore::log(const char *fmt, ...) const {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    log_(line);
}

void ArtworkFile::release() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (!path.empty()) unlink(path.c_str());
    path.clear();
}

// A file only ever grows, so that a mapping the client holds stays backed.
Value artwork_reply(const std::string &dir, ArtworkFile &file, const Track &t, int edge) {
    int rowstride = (edge * 2 + 3) & ~3;
    std::string px = draw_artwork(t, edge, rowstride);
    Value h = Value::hash({{"width", Value::integer(edge)},
                           {"height", Value::integer(edge)},
                           {"rowstride", Value::integer(rowstride)}});
    if (px.size() <= kInlineArtworkMax) {
        h.add("image", Value::bytes(std::move(px)));
        return h;
    }
    if (file.fd < 0) {
        // A fresh random name in the private directory, created exclusively (0600).
        std::string path = dir + "/art-XXXXXX.rgb565";
        file.fd = mkostemps(&path[0], 7, O_CLOEXEC);
        if (file.fd < 0) return error_reply(std::string("cannot create artwork file: ") + strerror(errno));
        file.path = path;
        file.size = 0;
    }
    if (px.size() > file.size) {
        if (ftruncate(file.fd, static_cast<off_t>(px.size())) != 0)
            return error_reply(std::string("cannot grow artwork file: ") + strerror(errno));
        file.size = px.size();
    }
    if (pwrite(file.fd, px.data(), px.size(), 0) != static_cast<ssize_t>(px.size()))
        return error_reply("cannot write artwork file");
    h.add("image_path", Value::string(file.path));
    return h;
}

}  // namespace simd
