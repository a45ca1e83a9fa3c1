// A daemon for the Java tests that answers every opening request with an
// "error" text, so that each connect fails with it:
//   kiv-ipod-java-refusing-daemon TEXT
// It listens on the daemon's abstract name (the tests run in a private
// network namespace) until its standard input ends or it is killed.
#include <stdio.h>
#include <unistd.h>

#include "fake_daemon.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: kiv-ipod-java-refusing-daemon TEXT\n");
        return 2;
    }
    // A handle's first request, the opening one, has transaction id 1. The
    // reply is set before the name exists: the test connects as soon as it
    // sees the name.
    kivtest::FakeDaemon daemon(
        "com.kiv.ipod.IPodDaemon",
        kivtest::frame(1, 0, kivtest::wire::h({{"error", kivtest::wire::s(argv[1])}})));
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}
