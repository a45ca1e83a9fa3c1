// What the simulator keeps for each client beside its connection: the
// session, the EAP sessions it opened, its place in the library, the uid
// list it is preparing, and its shared artwork file.
#ifndef KIV_SIMD_SESSION_H
#define KIV_SIMD_SESSION_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "browser.h"

namespace simd {

// The shared file that carries a client's large artwork images; it only
// ever grows, so that a mapping the client holds stays backed.
struct ArtworkFile {
    std::string path;
    int fd = -1;
    size_t size = 0;
    // Closes it and removes its name (the client's mapping outlives it).
    void release();
};

struct Session {
    int id = 0;
    uid_t uid = static_cast<uid_t>(-1);  // of the peer process
    bool open = false;                   // a session is open (media events reach it)
    struct Eap {
        int id;
        int protocol_index;
        std::string protocol;
    };
    std::vector<Eap> eap;
    Cursor browse;
    std::string uid_list;
    ArtworkFile art;
};

}  // namespace simd

#endif
