// A daemon for the Java reconnect test whose device list starts empty on
// every connection: the device is announced a moment later with a
// "connected_ipod" event, as when a daemon that has just started finds it.
//   kiv-ipod-java-late-device-daemon SERIAL [never]
// ("never": the device is never announced).
// It accepts sessions on that device and answers every other request with
// the integer 0. It listens on the daemon's abstract name (the tests run in
// a private network namespace) until its standard input ends or it is killed.
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "fake_daemon.h"

int main(int argc, char **argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: kiv-ipod-java-late-device-daemon SERIAL [never]\n");
        return 2;
    }
    namespace wire = kivtest::wire;
    const std::string serial = argv[1];
    const bool never = argc == 3 && std::string(argv[2]) == "never";
    const std::string device = wire::device(serial, 1);
    kivtest::FakeDaemon daemon;
    daemon.set_devices(wire::a({}));
    daemon.set_responder([&](const kivtest::Request &r) {
        if (r.opcode == 4)
            return kivtest::frame(r.tid, 4,
                                  wire::h({{"result", wire::i(1)}, {"devices", wire::a({device})}}));
        return kivtest::frame(r.tid, r.opcode == 54 ? 2 : r.opcode, wire::i(0));
    });
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, 20) > 0) {
            char c;
            if (read(STDIN_FILENO, &c, 1) <= 0) return 0;
        }
        if (never || !daemon.client_connected()) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        daemon.send(kivtest::event("connected_ipod", 1, serial, device));
        while (!daemon.wait_client_closed(1000)) {
        }
    }
}
