package com.kiv.ipod;

import static org.junit.Assert.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;

/**
 * A daemon process of the tests (the simulator or a test daemon), on the
 * daemon's abstract name inside the test's private network namespace.
 */
final class TestDaemon {
    private static final String SOCKET = "@com.kiv.ipod.IPodDaemon";
    private Process process;

    private static boolean listening() throws Exception {
        return Files.readString(Path.of("/proc/net/unix")).contains(SOCKET);
    }

    /** Starts {@code command} and waits, at most 10 s, until it listens on the daemon's name. */
    void start(String... command) throws Exception {
        process = new ProcessBuilder(command).redirectOutput(ProcessBuilder.Redirect.INHERIT)
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        for (int i = 0; !listening(); i++) {
            assertTrue("daemon did not start: " + command[0], i < 400 && process.isAlive());
            Thread.sleep(25);
        }
    }

    /** Ends it at once, as a crash would, and waits for its exit. */
    void kill() throws Exception {
        if (process != null) process.destroyForcibly().waitFor();
    }

    /** Ends it (a stopped daemon too) and waits, at most 10 s, until its name is free. */
    void stop() throws Exception {
        if (process == null) return;
        if (process.isAlive()) signal("CONT");
        kill();
        process = null;
        for (int i = 0; listening(); i++) {
            assertTrue("the daemon's name is still taken", i < 400);
            Thread.sleep(25);
        }
    }

    /** Sends it the signal {@code name} ("STOP", "CONT"), if it runs. */
    void signal(String name) throws Exception {
        if (process != null && process.isAlive())
            new ProcessBuilder("kill", "-" + name, Long.toString(process.pid())).inheritIO().start().waitFor();
    }
}
