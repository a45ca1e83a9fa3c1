package com.kiv.ipod;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertNotEquals;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;

import com.kiv.ipod.IPodException.Kind;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import org.junit.After;
import org.junit.Test;

/**
 * Every request of the C interface, from Java, in both forms: one row per
 * request function of the C header, run against the simulator and against
 * a daemon that answers with errors, and in each way a request fails:
 * error reply, not ready, timeout, lost connection. The test runs in a
 * private network namespace, where either daemon takes the daemon's name.
 * Run with -Xcheck:jni.
 */
public class RequestTableTest {
    private static final byte[] UID = {1, 2, 3, 4, 5, 6, 7, 8};

    interface Blocking {
        Object call(IPodClient c) throws IPodException;
    }

    interface Async {
        CompletableFuture<?> call(IPodClient c);
    }

    /**
     * One request: the C function, whether the library refuses it without a
     * ready device, the outcome of an error reply when it is not the
     * daemon's text (the library's contract for that reply kind), and the
     * two Java forms.
     */
    record Row(String c, boolean gated, String onError, Blocking blocking, Async async) {}

    private static final Map<String, Row> TABLE = new LinkedHashMap<>();
    /** The opcode each request sends; the erring daemon names it in its error text. */
    private static final Map<String, Integer> OPCODES = Map.ofEntries(
            Map.entry("kiv_ipod_play", 6),
            Map.entry("kiv_ipod_stop", 7),
            Map.entry("kiv_ipod_pause", 8),
            Map.entry("kiv_ipod_next_track", 9),
            Map.entry("kiv_ipod_prev_track", 10),
            Map.entry("kiv_ipod_start_ffw", 11),
            Map.entry("kiv_ipod_start_rew", 12),
            Map.entry("kiv_ipod_stop_ffwrew", 13),
            Map.entry("kiv_ipod_set_position", 14),
            Map.entry("kiv_ipod_current_track_info", 15),
            Map.entry("kiv_ipod_get_sample_rate", 16),
            Map.entry("kiv_ipod_current_track_artwork", 17),
            Map.entry("kiv_ipod_get_play_state", 18),
            Map.entry("kiv_ipod_get_current_track_index", 19),
            Map.entry("kiv_ipod_set_shuffle", 20),
            Map.entry("kiv_ipod_get_shuffle", 21),
            Map.entry("kiv_ipod_set_repeat", 22),
            Map.entry("kiv_ipod_get_repeat", 23),
            Map.entry("kiv_ipod_set_category", 24),
            Map.entry("kiv_ipod_set_hierarchy", 25),
            Map.entry("kiv_ipod_select_db", 26),
            Map.entry("kiv_ipod_get_records", 27),
            Map.entry("kiv_ipod_reauthentication", 28),
            Map.entry("kiv_ipod_set_preference", 29),
            Map.entry("kiv_ipod_get_preference", 30),
            Map.entry("kiv_ipod_indexed_track_info", 31),
            Map.entry("kiv_ipod_indexed_track_chapter_info", 32),
            Map.entry("kiv_ipod_health_examine", 33),
            Map.entry("kiv_ipod_write_tag", 34),
            Map.entry("kiv_ipod_set_statechange", 35),
            Map.entry("kiv_ipod_enter_videooutmode", 36),
            Map.entry("kiv_ipod_exit_videooutmode", 37),
            Map.entry("kiv_ipod_get_videooutoptions", 38),
            Map.entry("kiv_ipod_set_videooutoptions", 39),
            Map.entry("kiv_ipod_navigate_videoout", 40),
            Map.entry("kiv_ipod_get_mode", 41),
            Map.entry("kiv_ipod_get_db_itunes_info", 42),
            Map.entry("kiv_ipod_get_db_track_info", 43),
            Map.entry("kiv_ipod_get_pb_track_info", 44),
            Map.entry("kiv_ipod_prepare_uid_list", 45),
            Map.entry("kiv_ipod_play_uid_list", 46),
            Map.entry("kiv_ipod_request_lingo_version", 47),
            Map.entry("kiv_ipod_set_current_playing_track_chapter", 48),
            Map.entry("kiv_ipod_set_current_playing_track", 49),
            Map.entry("kiv_ipod_set_available_current", 50),
            Map.entry("kiv_ipod_set_bluetooth_hw_info", 51),
            Map.entry("kiv_ipod_set_bluetooth_state", 52),
            Map.entry("kiv_ipod_get_artwork_data", 53),
            Map.entry("kiv_ipod_ping", 54),
            Map.entry("kiv_ipod_restart_idps", 55),
            Map.entry("kiv_ipod_set_config", 56),
            Map.entry("kiv_ipod_launch_application", 57),
            Map.entry("kiv_ipod_send_eap_datagram", 58),
            Map.entry("kiv_ipod_open_session", 4),
            Map.entry("kiv_ipod_close_session", 5));

    private static void row(String c, Blocking blocking, Async async) {
        TABLE.put(c, new Row(c, true, null, blocking, async));
    }

    private static void ungated(String c, String onError, Blocking blocking, Async async) {
        TABLE.put(c, new Row(c, false, onError, blocking, async));
    }

    static {
        row("kiv_ipod_play", IPodClient::play, IPodClient::playAsync);
        row("kiv_ipod_stop", IPodClient::stop, IPodClient::stopAsync);
        row("kiv_ipod_pause", IPodClient::pause, IPodClient::pauseAsync);
        row("kiv_ipod_next_track", IPodClient::nextTrack, IPodClient::nextTrackAsync);
        row("kiv_ipod_prev_track", IPodClient::previousTrack, IPodClient::previousTrackAsync);
        row("kiv_ipod_start_ffw", IPodClient::startFastForward, IPodClient::startFastForwardAsync);
        row("kiv_ipod_start_rew", IPodClient::startRewind, IPodClient::startRewindAsync);
        row("kiv_ipod_stop_ffwrew", IPodClient::stopSeeking, IPodClient::stopSeekingAsync);
        row("kiv_ipod_set_position", c -> c.setPosition(1000), c -> c.setPositionAsync(1000));
        row("kiv_ipod_current_track_info", IPodClient::currentTrackInfo, IPodClient::currentTrackInfoAsync);
        row("kiv_ipod_get_sample_rate", IPodClient::sampleRate, IPodClient::sampleRateAsync);
        row("kiv_ipod_get_play_state", IPodClient::playState, IPodClient::playStateAsync);
        row("kiv_ipod_get_current_track_index", IPodClient::currentTrackIndex, IPodClient::currentTrackIndexAsync);
        row("kiv_ipod_set_shuffle", c -> c.setShuffle(ShuffleMode.OFF), c -> c.setShuffleAsync(ShuffleMode.OFF));
        row("kiv_ipod_get_shuffle", IPodClient::shuffle, IPodClient::shuffleAsync);
        row("kiv_ipod_set_repeat", c -> c.setRepeat(RepeatMode.OFF), c -> c.setRepeatAsync(RepeatMode.OFF));
        row("kiv_ipod_get_repeat", IPodClient::repeat, IPodClient::repeatAsync);
        row("kiv_ipod_get_mode", IPodClient::mode, IPodClient::modeAsync);
        ungated("kiv_ipod_ping", null, IPodClient::ping, IPodClient::pingAsync);
        row("kiv_ipod_current_track_artwork", c -> c.artwork(0), c -> c.artworkAsync(0));
        row("kiv_ipod_set_category", c -> c.setCategory(Category.TRACK), c -> c.setCategoryAsync(Category.TRACK));
        row("kiv_ipod_set_hierarchy", c -> c.setHierarchy(Hierarchy.AUDIO), c -> c.setHierarchyAsync(Hierarchy.AUDIO));
        row("kiv_ipod_select_db", c -> c.selectDb(Category.PLAYLIST, 0), c -> c.selectDbAsync(Category.PLAYLIST, 0));
        row("kiv_ipod_get_records", c -> c.records(0, 3), c -> c.recordsAsync(0, 3));
        row("kiv_ipod_indexed_track_info", c -> c.indexedTrackInfo(0), c -> c.indexedTrackInfoAsync(0));
        row("kiv_ipod_indexed_track_chapter_info", c -> c.chapterInfo(0, 0), c -> c.chapterInfoAsync(0, 0));
        row("kiv_ipod_write_tag", IPodClient::writeTag, IPodClient::writeTagAsync);
        row("kiv_ipod_get_db_itunes_info", c -> c.databaseInfo(0), c -> c.databaseInfoAsync(0));
        row("kiv_ipod_get_db_track_info", c -> c.databaseTracks(0, 2, 0), c -> c.databaseTracksAsync(0, 2, 0));
        row("kiv_ipod_get_pb_track_info", c -> c.playbackTracks(0, 2, 0), c -> c.playbackTracksAsync(0, 2, 0));
        row("kiv_ipod_prepare_uid_list", c -> c.prepareUidList(0, 1, UID), c -> c.prepareUidListAsync(0, 1, UID));
        row("kiv_ipod_play_uid_list", c -> c.playUidList(UID), c -> c.playUidListAsync(UID));
        row("kiv_ipod_request_lingo_version", c -> c.lingoVersion(Lingo.GENERAL), c -> c.lingoVersionAsync(Lingo.GENERAL));
        row("kiv_ipod_set_current_playing_track_chapter", c -> c.playChapter(0), c -> c.playChapterAsync(0));
        row("kiv_ipod_set_current_playing_track", c -> c.playTrack(0), c -> c.playTrackAsync(0));
        row("kiv_ipod_set_available_current", c -> c.setAvailableCurrent(1), c -> c.setAvailableCurrentAsync(1));
        row("kiv_ipod_get_artwork_data", c -> c.artworkData(UID), c -> c.artworkDataAsync(UID));
        ungated("kiv_ipod_open_session", "true", c -> c.openSession(0), c -> c.openSessionAsync(0));
        ungated("kiv_ipod_close_session", null, IPodClient::closeSession, IPodClient::closeSessionAsync);
        row("kiv_ipod_reauthentication", c -> c.reauthenticate(0), c -> c.reauthenticateAsync(0));
        row("kiv_ipod_set_preference", c -> c.setPreference(PreferenceType.SUBTITLES, PreferenceSetting.SUBTITLES_ON),
                c -> c.setPreferenceAsync(PreferenceType.SUBTITLES, PreferenceSetting.SUBTITLES_ON));
        row("kiv_ipod_get_preference", c -> c.getPreference(PreferenceType.SUBTITLES),
                c -> c.getPreferenceAsync(PreferenceType.SUBTITLES));
        row("kiv_ipod_set_statechange", c -> c.setStateChange(0), c -> c.setStateChangeAsync(0));
        row("kiv_ipod_enter_videooutmode", IPodClient::enterVideoOut, IPodClient::enterVideoOutAsync);
        row("kiv_ipod_exit_videooutmode", IPodClient::exitVideoOut, IPodClient::exitVideoOutAsync);
        row("kiv_ipod_get_videooutoptions", c -> c.videoOutOptions(true), c -> c.videoOutOptionsAsync(true));
        row("kiv_ipod_set_videooutoptions", c -> c.setVideoOutOptions(0), c -> c.setVideoOutOptionsAsync(0));
        row("kiv_ipod_navigate_videoout", c -> c.navigateVideoOut(0), c -> c.navigateVideoOutAsync(0));
        ungated("kiv_ipod_set_bluetooth_hw_info", null, c -> c.setBluetoothHardware(0x200404, 1, "0000", "00:11:22:33:44:55"),
                c -> c.setBluetoothHardwareAsync(0x200404, 1, "0000", "00:11:22:33:44:55"));
        ungated("kiv_ipod_set_bluetooth_state", null, c -> c.setBluetoothState(true, "SER"),
                c -> c.setBluetoothStateAsync(true, "SER"));
        ungated("kiv_ipod_restart_idps", null, c -> c.restartIdps(0), c -> c.restartIdpsAsync(0));
        ungated("kiv_ipod_set_config", null, c -> c.setConfig("key", "value"), c -> c.setConfigAsync("key", "value"));
        row("kiv_ipod_launch_application", c -> c.launchApplication("com.example.app"),
                c -> c.launchApplicationAsync("com.example.app"));
        row("kiv_ipod_send_eap_datagram", c -> c.sendEapDatagram(1, UID), c -> c.sendEapDatagramAsync(1, UID));
        // The examination hands any reply back as its value, an error included.
        ungated("kiv_ipod_health_examine", "error map", c -> c.healthExamine("battery"), c -> c.healthExamineAsync("battery"));
    }

    private final TestDaemon daemon = new TestDaemon();
    private final List<IPodClient> clients = new ArrayList<>();
    private final ExecutorService looper = Executors.newSingleThreadExecutor(r -> new Thread(r, "test-looper"));

    @After
    public void stop() throws Exception {
        for (IPodClient c : clients) c.close();
        daemon.stop();
        looper.shutdownNow();
    }

    private void startSimulator() throws Exception {
        daemon.start(System.getProperty("kiv.simd"), "--quiet", "--ping-interval", "0");
    }

    private IPodClient connect() throws IPodException {
        IPodClient c = IPodClient.connect(looper, Duration.ofSeconds(10));
        clients.add(c);
        return c;
    }

    /** What a call gave: "ok", or the failure's kind, with the daemon's text for DAEMON. */
    private static String outcome(Blocking call, IPodClient c) {
        try {
            return ok(call.call(c));
        } catch (IPodException e) {
            return failure(e);
        }
    }

    private static String outcomeAsync(Async call, IPodClient c) {
        try {
            return ok(call.call(c).get(15, TimeUnit.SECONDS));
        } catch (ExecutionException e) {
            assertTrue("not an IPodException: " + e.getCause(), e.getCause() instanceof IPodException);
            return failure((IPodException) e.getCause());
        } catch (Exception e) {
            throw new AssertionError("the future did not complete: " + e, e);
        }
    }

    private static String ok(Object value) {
        assertNotNull("a null result", value);
        if (value instanceof Map && ((Map<?, ?>) value).get("error") instanceof String) return "error map";
        if (value instanceof Boolean || value instanceof Integer && (Integer) value == 1) return value.toString();
        return "ok";
    }

    private static String failure(IPodException e) {
        return e.kind() == Kind.DAEMON ? "DAEMON " + e.getMessage() : e.kind().name();
    }

    /** The request functions of the C header: exported, the handle first, and naming their opcode. */
    static Set<String> headerRequests(Path include) throws IOException {
        List<Path> headers = new ArrayList<>(List.of(include.resolve("kiv_ipod.h")));
        Path dir = include.resolve("kiv_ipod");
        if (Files.isDirectory(dir)) {
            try (Stream<Path> s = Files.list(dir)) {
                s.filter(p -> p.toString().endsWith(".h")).sorted().forEach(headers::add);
            }
        }
        Pattern p = Pattern.compile("/\\*\\*((?:(?!\\*/).)*)\\*/\\s*KIV_EXPORT\\s+(?:uint32_t|serialize_value\\s*\\*)\\s*"
                + "(kiv_ipod_\\w+)\\s*\\(\\s*kiv_ipod_client\\b", Pattern.DOTALL);
        Set<String> names = new TreeSet<>();
        for (Path h : headers) {
            Matcher m = p.matcher(Files.readString(h));
            while (m.find())
                if (m.group(1).contains("opcode")) names.add(m.group(2));
        }
        return names;
    }

    /** A request added to the C header without a row here (and so without a Java form) fails this. */
    @Test
    public void theTableHoldsEveryRequestOfTheHeader() throws Exception {
        Set<String> header = headerRequests(Path.of(System.getProperty("kiv.include")));
        assertTrue("too few requests found: " + header, header.size() >= 55);
        Set<String> missing = new TreeSet<>(header), stale = new TreeSet<>(TABLE.keySet());
        missing.removeAll(TABLE.keySet());
        stale.removeAll(header);
        assertEquals("requests of the C header without a Java form", Set.of(), missing);
        assertEquals("rows for requests the C header does not have", Set.of(), stale);
        assertEquals("opcodes", TABLE.keySet(), OPCODES.keySet());
    }

    /** Against the simulator, with a session: each request succeeds, or both forms carry the same daemon text. */
    @Test
    public void everyRequestAnswersInBothForms() throws Exception {
        startSimulator();
        IPodClient c = connect();
        for (Row r : TABLE.values()) {
            assertTrue(r.c(), c.openSession(0));
            String blocking = outcome(r.blocking(), c), async = outcomeAsync(r.async(), c);
            assertEquals(r.c() + ": the two forms", blocking, async);
            assertTrue(r.c() + ": " + blocking, !blocking.matches("[A-Z_]+") || blocking.equals("DAEMON"));
        }
    }

    /** The results of the track-list, database and video-out requests, typed and immutable. */
    @Test
    public void resultsAreTypedCopies() throws Exception {
        startSimulator();
        IPodClient c = connect();
        assertTrue(c.openSession(0));
        assertTrue("sample rate", c.sampleRate() > 0);
        assertEquals(c.sampleRate(), c.currentTrack().sampleRate().getAsInt());
        List<Object> tracks = c.databaseTracks(0, 2, 0);
        // Flat: cap, title, artist, album, genre, duration and uid of each track.
        assertEquals(tracks.toString(), 14, tracks.size());
        assertTrue(tracks.get(1) instanceof String);
        assertEquals(8, ((byte[]) tracks.get(6)).length);
        assertEquals(tracks.get(1), c.databaseTracksAsync(0, 2, 0).get(10, TimeUnit.SECONDS).get(1));
        try {
            tracks.clear();
            throw new AssertionError("a modifiable list");
        } catch (UnsupportedOperationException expected) {
            // immutable
        }
        assertTrue(c.playbackTracks(0, 2, 0).size() >= 2);
        DatabaseInfo info = c.databaseInfo(0);
        assertEquals(8, info.deviceUid().length);
        info.deviceUid()[0] ^= 1; // a copy: the object does not change
        assertEquals(info, c.databaseInfoAsync(0).get(10, TimeUnit.SECONDS));
        assertTrue(c.healthExamine("battery") instanceof Map);
        assertEquals(Hierarchy.VIDEO, Hierarchy.fromCode(Hierarchy.VIDEO.code()));
    }

    /** Each error reply reaches both forms with the daemon's text, or as the library's contract says. */
    @Test
    public void errorRepliesCarryTheDaemonsText() throws Exception {
        daemon.start(System.getProperty("kiv.erring_daemon"), "refused");
        IPodClient c = connect();
        assertTrue(c.openSession(0));
        for (Row r : TABLE.values()) {
            String blocking = outcome(r.blocking(), c);
            String async = outcomeAsync(r.async(), c);
            String expected = r.onError() != null ? r.onError() : "DAEMON refused " + OPCODES.get(r.c());
            assertEquals(r.c(), expected, blocking);
            assertEquals(r.c() + ": the two forms", blocking, async);
        }
    }

    /** Without a ready device the library refuses the gated requests, and sends the others. */
    @Test
    public void gatedRequestsAreRefusedWithoutAReadyDevice() throws Exception {
        startSimulator();
        IPodClient c = connect();
        List<Row> order = new ArrayList<>();
        TABLE.values().stream().filter(Row::gated).forEach(order::add);
        TABLE.values().stream().filter(r -> !r.gated()).forEach(order::add); // the session opens last
        for (Row r : order) {
            String blocking = outcome(r.blocking(), c), async = outcomeAsync(r.async(), c);
            if (r.gated()) {
                assertEquals(r.c(), "NOT_READY", blocking);
                assertEquals(r.c(), "NOT_READY", async);
            } else {
                assertNotEquals(r.c(), "NOT_READY", blocking);
                assertNotEquals(r.c(), "NOT_READY", async);
            }
        }
    }

    /** A daemon that stops answering: each blocking form ends with TIMEOUT, and the client goes on. */
    @Test
    public void blockingFormsTimeOut() throws Exception {
        startSimulator();
        IPodClient c = connect();
        assertTrue(c.openSession(0));
        c.setTimeout(Duration.ofMillis(250));
        daemon.signal("STOP");
        for (Row r : TABLE.values()) assertEquals(r.c(), "TIMEOUT", outcome(r.blocking(), c));
        daemon.signal("CONT");
        c.setTimeout(Duration.ofSeconds(10));
        assertTrue(c.openSession(0));
        assertNotNull(c.playState());
    }

    /** Once the connection is lost, both forms of every request fail as NOT_CONNECTED. */
    @Test
    public void lostConnectionFailsEveryRequest() throws Exception {
        startSimulator();
        IPodClient c = connect();
        assertTrue(c.openSession(0));
        LinkedBlockingQueue<Boolean> lost = new LinkedBlockingQueue<>();
        c.addListener(new IPodListener() {
            @Override
            public void onDisconnected(IPodClient client) {
                lost.add(true);
            }
        });
        daemon.stop();
        assertNotNull("no disconnection", lost.poll(10, TimeUnit.SECONDS));
        for (Row r : TABLE.values()) {
            assertEquals(r.c(), "NOT_CONNECTED", outcome(r.blocking(), c));
            assertEquals(r.c(), "NOT_CONNECTED", outcomeAsync(r.async(), c));
        }
    }
}
