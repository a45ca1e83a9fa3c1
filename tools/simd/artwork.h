// The artwork store: the simulator's private directory of shared artwork
// files, and the artwork replies, inline or through a client's file.
#ifndef KIV_SIMD_ARTWORK_H
#define KIV_SIMD_ARTWORK_H

#include <functional>
#include <string>

#include "media.h"
#include "session.h"
#include "wire.h"

namespace simd {

// Larger images go through a shared file.
constexpr size_t kInlineArtworkMax = 16 * 1024;

class ArtworkStore {
public:
    using Log = std::function<void(const std::string &line)>;
    explicit ArtworkStore(Log log) : log_(std::move(log)) {}
    ~ArtworkStore();
    ArtworkStore(const ArtworkStore &) = delete;
    ArtworkStore &operator=(const ArtworkStore &) = delete;

    // Creates the directory in `base` (empty: $TMPDIR or /tmp, which
    // `base` then names), after removing the ones killed simulators left.
    bool prepare(std::string &base, std::string &error);
    const std::string &dir() const { return dir_; }

private:
    void remove_leftover(int base_fd, int fd, const std::string &path) const;
    void log(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));

    Log log_;
    std::string dir_;
    int dir_fd_ = -1;
};

// Artwork of `t` as a square of `edge` pixels: small images travel inline;
// larger ones are written to the client's shared file in `dir`.
Value artwork_reply(const std::string &dir, ArtworkFile &file, const Track &t, int edge);

}  // namespace simd

#endif
