package com.kiv.ipod;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import com.kiv.ipod.IPodException.Kind;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;
import org.junit.After;
import org.junit.Test;

/**
 * The kind that an IPodException carries, for each way a request or a
 * connect fails: against the simulator, or against a daemon that refuses
 * every connection with an error text (the test runs in a private network
 * namespace, where either takes the daemon's name). Run with -Xcheck:jni.
 */
public class FailureKindTest {
    private final TestDaemon daemon = new TestDaemon();
    private final List<IPodClient> clients = new ArrayList<>();
    private final ExecutorService looper = Executors.newSingleThreadExecutor();

    @After
    public void stop() throws Exception {
        stopDaemon();
        looper.shutdownNow();
    }

    /** Closes the clients, then ends the daemon and waits until its name is free. */
    private void stopDaemon() throws Exception {
        for (IPodClient c : clients) c.close();
        clients.clear();
        daemon.stop();
    }

    private IPodClient connect() throws IPodException {
        IPodClient c = IPodClient.connect(looper, Duration.ofSeconds(10));
        clients.add(c);
        return c;
    }

    private IPodClient session() throws IPodException {
        IPodClient c = connect();
        assertTrue(c.openSession(0));
        return c;
    }

    private static Object join(CompletableFuture<?> f) throws Exception {
        try {
            return f.get(10, TimeUnit.SECONDS);
        } catch (ExecutionException e) {
            throw (Exception) e.getCause();
        }
    }

    /** A call that should fail, made once the daemon of its row runs. */
    interface Failing {
        Object call() throws Exception;
    }

    /** The daemons a row can run against. */
    enum Against { SIMULATOR, REFUSING_DAEMON, NO_DAEMON }

    private static Object[] row(String situation, Against against, Kind kind, String message,
            Failing call) {
        return new Object[] {situation, against, kind, message, call};
    }

    /**
     * Each failure has its kind, and its message holds the daemon's text
     * where the daemon sent one; the blocking forms, which throw anew on the
     * calling thread, keep the kind. Each row gets a daemon of its own.
     */
    @Test
    public void eachFailureHasItsKind() throws Exception {
        String simd = System.getProperty("kiv.simd");
        String refusing = System.getProperty("kiv.refusing_daemon");
        Object[][] table = {
            row("daemon error reply", Against.SIMULATOR, Kind.DAEMON, "position out of range",
                    () -> session().setPosition(-5)),
            row("daemon error reply, asynchronous", Against.SIMULATOR, Kind.DAEMON, "position out of range",
                    () -> join(session().setPositionAsync(-5))),
            row("daemon error reply to a database request", Against.SIMULATOR, Kind.DAEMON, "no such record",
                    () -> session().selectDb(Category.ALBUM, 99999)),
            row("no ready device", Against.SIMULATOR, Kind.NOT_READY,
                    "play refused: no ready device (open a session first)", () -> connect().play()),
            row("no ready device, asynchronous", Against.SIMULATOR, Kind.NOT_READY,
                    "current_track_info refused: no ready device (open a session first)",
                    () -> join(connect().currentTrackInfoAsync())),
            row("no reply in time", Against.SIMULATOR, Kind.TIMEOUT, "no reply from the iPod daemon within 300 ms",
                    () -> {
                        IPodClient c = session();
                        c.setTimeout(Duration.ofMillis(300));
                        daemon.signal("STOP");
                        return c.currentTrackInfo();
                    }),
            row("connect to a daemon that does not answer", Against.SIMULATOR, Kind.TIMEOUT,
                    "no reply from the iPod daemon within 300 ms", () -> {
                        daemon.signal("STOP");
                        clients.add(IPodClient.connect(looper, Duration.ofMillis(300)));
                        return null;
                    }),
            row("waiting when the daemon hangs up", Against.SIMULATOR, Kind.NOT_CONNECTED,
                    "connection to the iPod daemon lost", () -> {
                        IPodClient c = session();
                        daemon.signal("STOP");
                        CompletableFuture<Integer> waiting = c.playAsync();
                        Thread.sleep(100);
                        daemon.kill();
                        return join(waiting);
                    }),
            row("sent after the daemon hung up", Against.SIMULATOR, Kind.NOT_CONNECTED,
                    "connection to the iPod daemon lost", () -> {
                        IPodClient c = session();
                        daemon.kill();
                        return c.play();
                    }),
            row("closed client", Against.SIMULATOR, Kind.NOT_CONNECTED, "client closed", () -> {
                IPodClient c = session();
                c.close();
                return c.play();
            }),
            row("connect refused with a text", Against.REFUSING_DAEMON, Kind.DAEMON,
                    "the iPod daemon refused the connection: battery low", () -> connect()),
            row("connect with no daemon", Against.NO_DAEMON, Kind.NOT_CONNECTED,
                    "cannot reach the iPod daemon", () -> connect()),
        };
        for (Object[] r : table) {
            String situation = (String) r[0];
            if (r[1] == Against.SIMULATOR) daemon.start(simd, "--quiet");
            if (r[1] == Against.REFUSING_DAEMON) daemon.start(refusing, "battery low");
            try {
                Object result = ((Failing) r[4]).call();
                fail(situation + ": no failure, " + result);
            } catch (IPodException e) {
                assertEquals(situation, r[3], e.getMessage());
                assertEquals(situation, r[2], e.kind());
            } finally {
                stopDaemon();
            }
        }
    }
}
