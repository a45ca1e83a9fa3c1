// A daemon for the Java request table that opens sessions on its one ready
// device and answers every other request with an "error" text naming the
// request's opcode:
//   kiv-ipod-java-erring-daemon TEXT      (replies {"error": "TEXT <opcode>"})
// It listens on the daemon's abstract name (the tests run in a private
// network namespace) until its standard input ends or it is killed.
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "fake_daemon.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: kiv-ipod-java-erring-daemon TEXT\n");
        return 2;
    }
    namespace wire = kivtest::wire;
    const std::string text = argv[1];
    const std::string devices = wire::a({wire::device("ERRPOD0001", 1)});
    kivtest::FakeDaemon daemon;
    daemon.set_devices(devices);
    daemon.set_responder([&](const kivtest::Request &r) {
        if (r.opcode == 4)
            return kivtest::frame(r.tid, 4, wire::h({{"result", wire::i(1)}, {"devices", devices}}));
        // A reply to a ping must not come back as a ping.
        const uint8_t op = r.opcode == 54 ? 2 : r.opcode;
        return kivtest::frame(r.tid, op,
                              wire::h({{"error", wire::s(text + " " + std::to_string(r.opcode))}}));
    });
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}
