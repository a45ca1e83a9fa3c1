package com.kiv.ipod;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Objects;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.Executor;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * The binding against the simulator, which each test starts afresh (the
 * test runs in a private network namespace, so the simulator takes the
 * daemon's name). Run with -Xcheck:jni.
 */
public class IPodClientTest {
    private Process simd;
    private final List<AutoCloseable> toClose = new ArrayList<>();
    private final ExecutorService looper = Executors.newSingleThreadExecutor(r -> new Thread(r, "test-looper"));

    @Before
    public void startSimulator() throws Exception {
        simd = new ProcessBuilder(System.getProperty("kiv.simd"), "--quiet", "--ping-interval", "1").inheritIO().start();
        for (int i = 0; !Files.readString(Path.of("/proc/net/unix")).contains("@com.kiv.ipod.IPodDaemon"); i++) {
            assertTrue("simulator did not start", i < 200 && simd.isAlive());
            Thread.sleep(25);
        }
    }

    @After
    public void stop() throws Exception {
        Collections.reverse(toClose);
        for (AutoCloseable c : toClose) c.close();
        looper.shutdownNow();
        signal("CONT");
        simd.destroyForcibly().waitFor();
        assertEquals("loop threads left behind", 0, loopThreads());
    }

    private void signal(String name) throws Exception {
        new ProcessBuilder("kill", "-" + name, Long.toString(simd.pid())).inheritIO().start().waitFor();
    }

    private IPodClient open(Executor executor) throws Exception {
        IPodClient c = IPodClient.connect(executor, Duration.ofSeconds(10));
        toClose.add(c);
        assertTrue(c.openSession(0));
        return c;
    }

    private static long loopThreads() throws InterruptedException {
        long n = 0;
        for (int i = 0; i < 100; i++) {
            n = Thread.getAllStackTraces().keySet().stream()
                    .filter(t -> t.getName().startsWith(ClientCore.THREAD_PREFIX) && t.isAlive()).count();
            if (n == 0) return 0;
            Thread.sleep(20);
        }
        return n;
    }

    private static <T> T join(CompletableFuture<T> f) throws Exception {
        try {
            return f.get(10, TimeUnit.SECONDS);
        } catch (ExecutionException e) {
            throw (Exception) e.getCause();
        }
    }

    interface Blocking {
        Object call(IPodClient c) throws IPodException;
    }

    interface Async {
        CompletableFuture<?> call(IPodClient c);
    }

    private static Object[] row(Object expected, Blocking blocking, Async async) {
        return new Object[] {expected, blocking, async};
    }

    /** Each request in both forms gives the same typed result, or the same daemon error text. */
    @Test
    public void blockingAndAsynchronousFormsAgree() throws Exception {
        try (IPodClient fresh = IPodClient.connect(looper)) {
            fresh.play();
            fail("play before a session was opened");
        } catch (IPodException e) {
            assertEquals("play refused: no ready device (open a session first)", e.getMessage());
        }
        IPodClient c = open(looper);
        TrackInfo track = c.currentTrackInfo();
        assertNotNull(track.title());
        assertEquals(8, track.uid().length);
        Object[][] table = {
            row(track.title(), x -> x.currentTrackInfo().title(), x -> x.currentTrackInfoAsync().thenApply(TrackInfo::title)),
            row(0, IPodClient::play, IPodClient::playAsync),
            row(WirePlayStatus.PLAYING, x -> x.playState().status(), x -> x.playStateAsync().thenApply(PlayStatus::status)),
            row(0, x -> x.setRepeat(RepeatMode.ALL), x -> x.setRepeatAsync(RepeatMode.ALL)),
            row(RepeatMode.ALL, IPodClient::repeat, IPodClient::repeatAsync),
            row(0, x -> x.setShuffle(ShuffleMode.OFF), x -> x.setShuffleAsync(ShuffleMode.OFF)),
            row(ShuffleMode.OFF, IPodClient::shuffle, IPodClient::shuffleAsync),
            row(track.index().getAsInt(), IPodClient::currentTrackIndex, IPodClient::currentTrackIndexAsync),
            row("1.9", x -> x.lingoVersion(Lingo.GENERAL), x -> x.lingoVersionAsync(Lingo.GENERAL)),
            row("1.14", x -> x.lingoVersion(Lingo.EXTENDED_INTERFACE), x -> x.lingoVersionAsync(Lingo.EXTENDED_INTERFACE)),
            row(true, x -> x.setCategory(Category.TRACK) == track.trackCount().getAsInt(),
                    x -> x.setCategoryAsync(Category.TRACK).thenApply(n -> n == track.trackCount().getAsInt())),
            row(3, x -> x.records(0, 3).size(), x -> x.recordsAsync(0, 3).thenApply(List::size)),
            row(List.of(), x -> x.records(1 << 20, 3), x -> x.recordsAsync(1 << 20, 3)),
            row(track.title(), x -> x.indexedTrackInfo(track.index().getAsInt()).title(),
                    x -> x.indexedTrackInfoAsync(track.index().getAsInt()).thenApply(IndexedTrack::title)),
            row(PreferenceSetting.SUBTITLES_ON, x -> {
                x.setPreference(PreferenceType.SUBTITLES, PreferenceSetting.SUBTITLES_ON);
                return x.getPreference(PreferenceType.SUBTITLES);
            }, x -> x.getPreferenceAsync(PreferenceType.SUBTITLES)),
            // Error replies: the daemon's text, in both forms.
            row("position out of range", x -> x.setPosition(-5), x -> x.setPositionAsync(-5)),
            row("no track at index 99999", x -> x.playTrack(99999), x -> x.playTrackAsync(99999)),
            row("no such record", x -> x.selectDb(Category.ALBUM, 99999), x -> x.selectDbAsync(Category.ALBUM, 99999)),
            row("no EAP session 4242", x -> x.sendEapDatagram(4242, new byte[] {1}),
                    x -> x.sendEapDatagramAsync(4242, new byte[] {1})),
        };
        for (Object[] r : table) {
            Object blocking, async;
            try {
                blocking = ((Blocking) r[1]).call(c);
            } catch (IPodException e) {
                blocking = e.getMessage();
            }
            try {
                async = join(((Async) r[2]).call(c));
            } catch (IPodException e) {
                async = e.getMessage();
            }
            assertEquals("blocking form", r[0], blocking);
            assertEquals("asynchronous form", r[0], async);
        }
        // The play status reply also filled the cache, in its own numbering.
        assertEquals(TrackState.PLAYING, c.currentTrack().state());
        c.closeSession();
        try {
            c.play();
            fail("play without a session");
        } catch (IPodException e) {
            assertEquals("no session open", e.getMessage());
        }
    }

    /**
     * Listeners and future completions run on the given executor only, and
     * a blocking call made from a listener returns. With a direct executor
     * the listener runs on the loop thread itself, which must then read its
     * own reply.
     */
    @Test
    public void listenersRunOnTheExecutorAndMayBlock() throws Exception {
        for (Executor base : new Executor[] {looper, Runnable::run}) {
            Set<String> ranOn = ConcurrentHashMap.newKeySet();
            Executor recording = r -> base.execute(() -> {
                ranOn.add(Thread.currentThread().getName());
                r.run();
            });
            IPodClient c = open(recording);
            LinkedBlockingQueue<Object> seen = new LinkedBlockingQueue<>();
            CountDownLatch pinged = new CountDownLatch(1);
            CountDownLatch replied = new CountDownLatch(1);
            c.addListener(new IPodListener() {
                @Override
                public void onEvent(IPodClient client, IPodEvent event) {
                    try {
                        if (event.type() == EventType.PLAY_STATE_CHANGED) {
                            seen.add(event.playStatus());
                            seen.add(client.currentTrackInfo());
                        }
                        if (event.type() == EventType.EAP_DATA_RECEIVED) seen.add(event);
                    } catch (IPodException e) {
                        seen.add(e);
                    }
                }

                @Override
                public void onReply(IPodClient client, long tid, int result, String error) {
                    replied.countDown();
                }

                @Override
                public void onPing(IPodClient client, long tid) {
                    pinged.countDown();
                }
            });
            assertEquals(0, (int) join(c.playAsync()));
            assertEquals(WirePlayStatus.PLAYING, seen.poll(10, TimeUnit.SECONDS));
            Object fromListener = seen.poll(10, TimeUnit.SECONDS);
            assertTrue("blocking call from a listener: " + fromListener, fromListener instanceof TrackInfo);
            assertTrue(replied.await(5, TimeUnit.SECONDS));
            assertTrue(pinged.await(5, TimeUnit.SECONDS));
            // An EAP datagram comes back as an event with the same bytes.
            c.launchApplication("com.example.app");
            byte[] payload = "h\u00e9llo".getBytes(StandardCharsets.UTF_8);
            int session = -1;
            for (int id = 1; id < 64 && session < 0; id++) {
                try {
                    c.sendEapDatagram(id, payload);
                    session = id;
                } catch (IPodException e) {
                    // not this session
                }
            }
            IPodEvent echo = (IPodEvent) seen.poll(10, TimeUnit.SECONDS);
            assertEquals(session, echo.eapSessionId().getAsInt());
            assertArrayEquals(payload, echo.eapData());
            String expected = base == looper ? "test-looper" : ClientCore.THREAD_PREFIX;
            assertTrue(ranOn.toString(), !ranOn.isEmpty() && ranOn.stream().allMatch(t -> t.startsWith(expected)));
            c.stop(); // the next round's play changes the state again
            c.close();
        }
    }

    /**
     * Texts from the daemon are decoded as Java decodes UTF-8, malformed
     * sequences included (each maximal ill-formed part becomes U+FFFD), for
     * random bytes biased towards multi-byte sequences.
     */
    @Test
    public void daemonTextsDecodeLikeJava() {
        java.util.Random random = new java.util.Random(42);
        byte[] interesting = {(byte) 0x80, (byte) 0xBF, (byte) 0xC0, (byte) 0xC2, (byte) 0xDF, (byte) 0xE0,
            (byte) 0xED, (byte) 0xEF, (byte) 0xF0, (byte) 0xF4, (byte) 0xF5, (byte) 0xFF, (byte) 0x9F,
            (byte) 0xA0, (byte) 0x8F, (byte) 0x90, 'a'};
        for (int i = 0; i < 20000; i++) {
            byte[] b = new byte[random.nextInt(600)];
            for (int k = 0; k < b.length; k++)
                b[k] = random.nextBoolean() ? interesting[random.nextInt(interesting.length)] : (byte) (1 + random.nextInt(255));
            assertEquals(new String(b, StandardCharsets.UTF_8), Native.decodeUtf8(b));
        }
    }

    /** The daemon hangs up: waiting requests fail, listeners hear of it, the loop thread ends. */
    @Test
    public void hangUpFailsWaitingRequests() throws Exception {
        IPodClient c = open(looper);
        CountDownLatch disconnected = new CountDownLatch(1);
        c.addListener(new IPodListener() {
            @Override
            public void onDisconnected(IPodClient client) {
                disconnected.countDown();
            }
        });
        signal("STOP");
        List<CompletableFuture<?>> waiting = List.of(c.playAsync(), c.currentTrackInfoAsync(), c.artworkAsync(300));
        Thread.sleep(100);
        simd.destroyForcibly().waitFor();
        for (CompletableFuture<?> f : waiting) {
            try {
                join(f);
                fail("a request completed after the hang-up");
            } catch (IPodException e) {
                assertEquals("connection to the iPod daemon lost", e.getMessage());
            }
        }
        assertTrue(disconnected.await(5, TimeUnit.SECONDS));
        assertEquals(0, loopThreads());
        try {
            c.play();
            fail("request after the hang-up");
        } catch (IPodException e) {
            assertEquals("connection to the iPod daemon lost", e.getMessage());
        }
    }

    /** A daemon that stops answering: blocking calls and connect() end at the timeout. */
    @Test
    public void timeoutBoundsBlockingCallsAndConnect() throws Exception {
        IPodClient c = open(looper);
        c.setTimeout(Duration.ofMillis(300));
        signal("STOP");
        for (Blocking call : new Blocking[] {IPodClient::play, IPodClient::currentTrackInfo, x -> x.artwork(300)}) {
            long start = System.nanoTime();
            try {
                call.call(c);
                fail("reply from a stopped daemon");
            } catch (IPodException e) {
                assertEquals("no reply from the iPod daemon within 300 ms", e.getMessage());
            }
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(ms + " ms", ms >= 290 && ms < 3000);
        }
        long start = System.nanoTime();
        try {
            toClose.add(IPodClient.connect(looper, Duration.ofMillis(300)));
            fail("connected to a stopped daemon");
        } catch (IPodException e) {
            assertEquals("no reply from the iPod daemon within 300 ms", e.getMessage());
        }
        assertTrue(TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start) < 3000);
        // Once the daemon answers again, the late replies are dropped and new requests work.
        signal("CONT");
        c.setTimeout(Duration.ofSeconds(10));
        assertEquals(0, c.play());
        assertNotNull(c.currentTrackInfo().title());
        // A daemon that stops reading: the loop's write gives up after the
        // bound and the connection ends, failing everything still waiting.
        c.setTimeout(Duration.ofMillis(300));
        signal("STOP");
        List<CompletableFuture<Integer>> flood = new ArrayList<>();
        for (int i = 0; i < 200; i++) flood.add(c.sendEapDatagramAsync(1, new byte[32 * 1024]));
        for (CompletableFuture<Integer> f : flood) {
            try {
                join(f);
                fail("a datagram was answered by a stopped daemon");
            } catch (IPodException e) {
                assertEquals("connection to the iPod daemon lost", e.getMessage());
            }
        }
        assertEquals(0, loopThreads());
    }

    /**
     * An Error on the loop thread (decoding a reply, running queued work)
     * fails the request it concerns at once and ends the client, instead of
     * leaving that request to wait for its timeout.
     */
    @Test
    public void anErrorOnTheLoopThreadFailsItsRequestAtOnce() throws Exception {
        for (String where : new String[] {"decoding a reply", "queued work"}) {
            IPodClient c = open(looper);
            ClientCore core = c.core;
            CompletableFuture<?> f = where.equals("queued work")
                    ? core.onLoop(b -> { throw new OutOfMemoryError(where); })
                    : core.request("get_current_track_index", -1,
                            b -> Native.request(b, Native.REQ_TRACK_INDEX, 0, 0, 0),
                            (b, r) -> { throw new OutOfMemoryError(where); }, false);
            long start = System.nanoTime();
            try {
                core.await(f);
                fail("completed: " + where);
            } catch (IPodException e) {
                assertEquals("binding failure: java.lang.OutOfMemoryError: " + where, e.getMessage());
                assertEquals(IPodException.Kind.BINDING, e.kind());
            }
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(where + ": " + ms + " ms", ms < 3000);
            try {
                c.play();
                fail("request after the loop ended");
            } catch (IPodException e) {
                assertTrue(e.getMessage(), e.getMessage().startsWith("binding failure"));
                assertEquals(IPodException.Kind.BINDING, e.kind());
            }
        }
        assertEquals(0, loopThreads());
    }

    /**
     * Once the application shuts its executor down, listeners are no longer
     * called but the futures of ...Async requests still complete, with their
     * result or their failure.
     */
    @Test
    public void futuresCompleteAfterTheExecutorIsShutDown() throws Exception {
        ExecutorService executor = Executors.newSingleThreadExecutor();
        IPodClient c = open(executor);
        executor.shutdown();
        assertTrue(executor.awaitTermination(5, TimeUnit.SECONDS));
        assertEquals(Integer.valueOf(0), join(c.playAsync()));
        assertNotNull(join(c.currentTrackInfoAsync()).title());
        try {
            join(c.setPositionAsync(-5));
            fail("seek to a negative position accepted");
        } catch (IPodException e) {
            assertEquals("position out of range", e.getMessage());
        }
    }

    /** The image the simulator draws for an album, computed apart from it. */
    private static byte[] expectedArtwork(String album, int edge, int rowStride) {
        int h = 0x811C9DC5;
        for (byte b : album.getBytes(StandardCharsets.UTF_8)) h = (h ^ (b & 0xFF)) * 16777619;
        int hr = h & 31, hg = (h >>> 5) & 63, hb = (h >>> 11) & 31;
        byte[] px = new byte[rowStride * edge];
        for (int y = 0; y < edge; y++) {
            for (int x = 0; x < edge; x++) {
                boolean frame = x < edge / 16 + 1 || y < edge / 16 + 1 || x >= edge - edge / 16 - 1 || y >= edge - edge / 16 - 1;
                int r = frame ? 31 : (hr + x * 31 / edge) & 31;
                int g = frame ? 63 : (hg + (x + y) * 63 / (2 * edge)) & 63;
                int b = frame ? 31 : (hb + y * 31 / edge) & 31;
                int v = (r << 11) | (g << 5) | b;
                px[y * rowStride + 2 * x] = (byte) v;
                px[y * rowStride + 2 * x + 1] = (byte) (v >> 8);
            }
        }
        return px;
    }

    /**
     * Artwork inline (small) and through the daemon's shared file (large), in
     * both forms; requests of one kind in flight together each get their own
     * reply (the library keeps one reply slot per kind).
     */
    @Test
    public void artworkInBothTransports() throws Exception {
        IPodClient c = open(looper);
        String album = c.currentTrackInfo().album();
        int[] edges = {16, 64, 90, 256, 512, 100, 33};
        List<CompletableFuture<Artwork>> together = new ArrayList<>();
        for (int edge : edges) together.add(c.artworkAsync(edge));
        CompletableFuture<String> general = c.lingoVersionAsync(Lingo.GENERAL);
        assertEquals("1.14", c.lingoVersion(Lingo.EXTENDED_INTERFACE));
        assertEquals("1.9", join(general));
        for (int i = 0; i < edges.length; i++) {
            int edge = edges[i];
            for (Artwork a : new Artwork[] {join(together.get(i)), c.artwork(edge), join(c.artworkAsync(edge)), c.cachedArtwork()}) {
                int stride = (edge * 2 + 3) & ~3;
                assertEquals(edge, a.width());
                assertEquals(edge, a.height());
                assertEquals(stride, a.rowStride());
                assertArrayEquals("edge " + edge, expectedArtwork(album, edge, stride), a.pixels());
            }
        }
    }

    /** The targets of this process's descriptors, but for the files under
     *  /sys that the JVM opens for a moment on its own (cgroup limits). */
    private static List<String> openDescriptors() throws Exception {
        List<String> out = new ArrayList<>();
        try (var dir = Files.list(Path.of("/proc/self/fd"))) {
            for (Path fd : (Iterable<Path>) dir::iterator) {
                try {
                    String target = Files.readSymbolicLink(fd).toString();
                    if (!target.startsWith("/sys/")) out.add(target);
                } catch (java.io.IOException e) {
                    // the listing's own descriptor, closed meanwhile
                }
            }
        }
        Collections.sort(out);
        return out;
    }

    /**
     * 1,000 connect/close cycles leave no native handle, descriptor or
     * thread behind, nor does a client that is never closed, once collected.
     * (The process's heap counters move by megabytes with the JVM's own
     * thread and compiler bookkeeping, more than the handles weigh, so the
     * native memory is checked as the count of handles not yet released; the
     * library's own tests check that releasing a handle frees all it holds.)
     */
    @Test
    public void connectCloseCyclesLeakNothing() throws Exception {
        for (int i = 0; i < 100; i++) IPodClient.connect(looper).close();
        List<String> fds = openDescriptors();
        for (int i = 0; i < 1000; i++) {
            IPodClient c = IPodClient.connect(looper);
            if (i % 10 == 0) {
                c.openSession(0);
                c.currentTrackInfo();
            }
            c.close();
            assertEquals(0, IPodClient.openNativeHandles());
        }
        System.out.println("1000 cycles: " + fds.size() + " descriptors before, " + openDescriptors().size() + " after");
        assertEquals(fds, openDescriptors());
        assertEquals(0, loopThreads());

        // Forgotten clients: the Cleaner ends their loops and releases their handles.
        // Held until counted, so that a collection cannot clean one up first.
        List<IPodClient> forgotten = new ArrayList<>();
        for (int i = 0; i < 5; i++) forgotten.add(Objects.requireNonNull(IPodClient.connect(looper)));
        assertEquals(5, IPodClient.openNativeHandles());
        forgotten.clear();
        for (int i = 0; i < 100 && IPodClient.openNativeHandles() > 0; i++) {
            System.gc();
            Thread.sleep(20);
        }
        assertEquals(0, IPodClient.openNativeHandles());
        assertEquals(0, loopThreads());
        assertEquals(fds, openDescriptors());
    }
}
