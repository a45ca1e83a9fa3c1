package com.kiv.ipod;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.After;
import org.junit.Test;

/**
 * The reconnect option against the simulator, which is killed and started
 * anew under the same socket name in the middle of a session, with requests
 * in flight (the test runs in a private network namespace, so the simulator
 * takes the daemon's name). Run with -Xcheck:jni.
 */
public class ReconnectTest {
    private static final String SOCKET = "@com.kiv.ipod.IPodDaemon";
    private Process simd;
    private final ExecutorService looper = Executors.newSingleThreadExecutor(r -> new Thread(r, "test-looper"));
    private final BlockingQueue<List<Device>> lost = new LinkedBlockingQueue<>();
    private final BlockingQueue<Object[]> restored = new LinkedBlockingQueue<>();
    private final BlockingQueue<IPodClient> disconnected = new LinkedBlockingQueue<>();

    private final IPodListener recorder = new IPodListener() {
        @Override
        public void onConnectionLost(IPodClient client, List<Device> devices) {
            lost.add(devices);
        }

        @Override
        public void onConnectionRestored(IPodClient client, List<Device> devices, boolean sessionReopened) {
            restored.add(new Object[] {devices, sessionReopened});
        }

        @Override
        public void onDisconnected(IPodClient client) {
            disconnected.add(client);
        }
    };

    private final List<IPodClient> clients = new ArrayList<>();

    @After
    public void stop() throws Exception {
        for (IPodClient c : clients) c.close();
        killSimulator();
        looper.shutdownNow();
    }

    private void startSimulator() throws Exception {
        start(System.getProperty("kiv.simd"), "--quiet", "--ping-interval", "0");
    }

    private void start(String... command) throws Exception {
        simd = new ProcessBuilder(command).redirectOutput(ProcessBuilder.Redirect.INHERIT)
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        for (int i = 0; !Files.readString(Path.of("/proc/net/unix")).contains(SOCKET); i++) {
            assertTrue("simulator did not start", i < 400 && simd.isAlive());
            Thread.sleep(25);
        }
    }

    private void killSimulator() throws Exception {
        if (simd == null) return;
        simd.destroyForcibly().waitFor();
        simd = null;
        for (int i = 0; Files.readString(Path.of("/proc/net/unix")).contains(SOCKET); i++) {
            assertTrue("the daemon's name is still taken", i < 400);
            Thread.sleep(25);
        }
    }

    /** Sockets and eventfds of this process: what a client holds while connected. */
    private static long clientDescriptors() throws IOException {
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            return fds.map(p -> {
                try {
                    return Files.readSymbolicLink(p).toString();
                } catch (IOException e) {
                    return "";
                }
            }).filter(l -> l.startsWith("socket:") || l.contains("eventfd")).count();
        }
    }

    private static long loopThreads() throws InterruptedException {
        long n = 0;
        for (int i = 0; i < 250; i++) {
            n = Thread.getAllStackTraces().keySet().stream()
                    .filter(t -> t.getName().startsWith(ClientCore.THREAD_PREFIX) && t.isAlive()).count();
            if (n == 0) return 0;
            Thread.sleep(20);
        }
        return n;
    }

    /** The future's failure kind, or null when it completed; it must end within 10 s. */
    private static IPodException.Kind outcome(CompletableFuture<?> f) throws Exception {
        try {
            f.get(10, TimeUnit.SECONDS);
            return null;
        } catch (ExecutionException e) {
            assertTrue("not an IPodException: " + e.getCause(), e.getCause() instanceof IPodException);
            return ((IPodException) e.getCause()).kind();
        }
    }

    private IPodClient connect(ReconnectPolicy policy) throws Exception {
        IPodClient c = IPodClient.connect(looper, Duration.ofSeconds(5), policy);
        c.addListener(recorder);
        clients.add(c);
        return c;
    }

    /**
     * Ten restarts: requests in flight complete or fail as NOT_CONNECTED;
     * requests while disconnected fail at once; the session comes back on
     * the same serial number; nothing leaks.
     */
    @Test
    public void sessionSurvivesTenRestarts() throws Exception {
        startSimulator();
        long handles = IPodClient.openNativeHandles(), fds = clientDescriptors();
        IPodClient c = connect(ReconnectPolicy.backoff().withDelays(Duration.ofMillis(20), Duration.ofSeconds(2)));
        assertTrue(c.openSession(0));
        String serial = c.devices().get(0).serial();
        assertNotNull(serial);
        for (int round = 0; round < 10; round++) {
            String at = "round " + round + ": ";
            List<CompletableFuture<?>> inFlight = new ArrayList<>();
            for (int i = 0; i < 3; i++) {
                inFlight.add(c.playStateAsync());
                inFlight.add(c.currentTrackInfoAsync());
                inFlight.add(c.playAsync());
            }
            killSimulator();
            List<Device> before = lost.poll(10, TimeUnit.SECONDS);
            assertNotNull(at + "no connection-lost notification", before);
            assertEquals(at + "device list", serial, before.get(0).serial());
            for (CompletableFuture<?> f : inFlight) {
                IPodException.Kind kind = outcome(f);
                assertTrue(at + "kind " + kind, kind == null || kind == IPodException.Kind.NOT_CONNECTED);
            }
            long t0 = System.nanoTime();
            try {
                c.play();
                fail(at + "play while disconnected");
            } catch (IPodException e) {
                assertEquals(at + e.getMessage(), IPodException.Kind.NOT_CONNECTED, e.kind());
            }
            assertEquals(IPodException.Kind.NOT_CONNECTED, outcome(c.currentTrackInfoAsync()));
            assertTrue(at + "a request waited", System.nanoTime() - t0 < TimeUnit.SECONDS.toNanos(2));
            startSimulator();
            Object[] back = restored.poll(15, TimeUnit.SECONDS);
            assertNotNull(at + "no connection-restored notification", back);
            assertEquals(at + "session re-opened", true, back[1]);
            @SuppressWarnings("unchecked")
            List<Device> devices = (List<Device>) back[0];
            assertEquals(at + "device list", serial, devices.get(0).serial());
            assertTrue(at + "session", c.isSessionOpened());
            assertNotNull(at, c.playState().status());
        }
        assertTrue("connection lost more often than killed", lost.isEmpty());
        assertTrue(disconnected.isEmpty());
        c.close();
        assertEquals("loop threads left behind", 0, loopThreads());
        assertEquals("native handles left open", handles, IPodClient.openNativeHandles());
        assertEquals("descriptors left open", fds, clientDescriptors());
    }

    /**
     * A daemon that has just started may announce the device a moment
     * later: the session is re-opened once it does, before the client
     * reports the connection restored.
     */
    @Test
    public void sessionWaitsForTheDeviceToBeAnnounced() throws Exception {
        String daemon = System.getProperty("kiv.late_device_daemon");
        start(daemon, "LATE0001");
        IPodClient c = connect(ReconnectPolicy.backoff());
        for (int i = 0; c.devices().isEmpty(); i++) {
            assertTrue("the device was never announced", i < 400);
            Thread.sleep(25);
        }
        assertTrue(c.openSession(0));
        for (int round = 0; round < 2; round++) {
            killSimulator();
            assertNotNull(lost.poll(10, TimeUnit.SECONDS));
            start(daemon, "LATE0001");
            Object[] back = restored.poll(15, TimeUnit.SECONDS);
            assertNotNull("no connection-restored notification", back);
            assertEquals("session re-opened", true, back[1]);
            assertTrue(c.isSessionOpened());
            assertEquals("LATE0001", c.devices().get(0).serial());
        }
    }

    /** close() while the loop waits for the session's device ends the wait at once. */
    @Test
    public void closeEndsTheWaitForTheDevice() throws Exception {
        startSimulator();
        IPodClient c = connect(ReconnectPolicy.backoff());
        assertTrue(c.openSession(0));
        killSimulator();
        assertNotNull(lost.poll(10, TimeUnit.SECONDS));
        start(System.getProperty("kiv.late_device_daemon"), "NONE0001", "never");
        Thread.sleep(500); // connected again, waiting for a device that never comes
        long t0 = System.nanoTime();
        c.close();
        assertEquals(0, loopThreads());
        assertTrue("close waited for the device", System.nanoTime() - t0 < TimeUnit.SECONDS.toNanos(4));
        assertTrue(restored.isEmpty());
    }

    /** Off by default: the first loss ends the client, with both notifications. */
    @Test
    public void withoutTheOptionALossIsFinal() throws Exception {
        startSimulator();
        IPodClient c = connect(null);
        assertTrue(c.openSession(0));
        killSimulator();
        assertNotNull(lost.poll(10, TimeUnit.SECONDS));
        assertNotNull(disconnected.poll(10, TimeUnit.SECONDS));
        startSimulator();
        try {
            c.play();
            fail("play after the loss");
        } catch (IPodException e) {
            assertEquals(IPodException.Kind.NOT_CONNECTED, e.kind());
            assertEquals("connection to the iPod daemon lost", e.getMessage());
        }
        assertTrue(restored.isEmpty());
        c.close();
        assertEquals(0, loopThreads());
    }

    /** close() during the back-off ends the retries at once and releases everything. */
    @Test
    public void closeStopsTheRetries() throws Exception {
        startSimulator();
        long handles = IPodClient.openNativeHandles();
        IPodClient c = connect(ReconnectPolicy.backoff().withDelays(Duration.ofSeconds(20), Duration.ofSeconds(20)));
        killSimulator();
        assertNotNull(lost.poll(10, TimeUnit.SECONDS));
        long t0 = System.nanoTime();
        c.close();
        assertEquals(0, loopThreads());
        assertTrue("close waited for the back-off", System.nanoTime() - t0 < TimeUnit.SECONDS.toNanos(10));
        startSimulator();
        Thread.sleep(100);
        assertTrue(restored.isEmpty());
        assertEquals(handles, IPodClient.openNativeHandles());
        try {
            c.play();
            fail("play after close");
        } catch (IPodException e) {
            assertEquals(IPodException.Kind.NOT_CONNECTED, e.kind());
        }
    }

    /** The back-off: at once, then doubling from the initial delay, never above the bound. */
    @Test
    public void backOffIsBounded() {
        ReconnectPolicy p = ReconnectPolicy.backoff();
        assertFalse(ReconnectPolicy.off().enabled());
        assertTrue(p.enabled());
        assertEquals(Duration.ZERO, p.delay(0));
        long[] expected = {100, 200, 400, 800, 1600, 2000, 2000};
        for (int i = 0; i < expected.length; i++) assertEquals(expected[i], p.delay(i + 1).toMillis());
        assertEquals(2000, p.delay(Integer.MAX_VALUE).toMillis());
        ReconnectPolicy q = p.withDelays(Duration.ofSeconds(5), Duration.ofMillis(300));
        assertEquals(300, q.delay(1).toMillis());
        assertEquals(Duration.ZERO, p.withDelays(Duration.ofMillis(-1), Duration.ofMillis(-1)).delay(3));
    }
}
