package com.kiv.ipod;

import java.lang.ref.Cleaner;
import java.lang.ref.WeakReference;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.OptionalInt;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;

/**
 * One connection to the iPod daemon.
 *
 * <p>The client owns one thread, its loop, which alone uses the native
 * handle: it waits on the daemon's socket, reads what arrives and runs every
 * request and cache read that any thread asks for, one at a time. What the
 * daemon sends reaches the {@link IPodListener}s on the {@link Executor}
 * given to {@link #connect}, never on another thread; so do the completions
 * of the futures that the {@code ...Async} methods return.
 *
 * <p>Each request exists in two forms. The blocking form sends the request
 * and waits for its reply within {@link #timeout()}; it may be called from
 * any thread, a listener included, and throws {@link IPodException} with the
 * daemon's error text when the reply carries one. The {@code ...Async} form
 * returns at once; its future completes with the same result or fails with
 * the same exception. When the connection is lost or the client is closed,
 * every request still waiting fails.
 *
 * <p>Accessors such as {@link #currentTrack()} read the library's caches
 * without asking the daemon: {@code null} or an empty {@link OptionalInt}
 * means not known.
 *
 * <p>{@link #close()} stops the loop and releases the native memory. A
 * client that is never closed is released once it becomes unreachable,
 * through a {@link Cleaner} (listeners that hold the client keep it
 * reachable for as long as the client holds them).
 */
public final class IPodClient implements AutoCloseable {
    private static final Cleaner CLEANER = Cleaner.create();
    /** The default bound of connect() and of every blocking call. */
    public static final Duration DEFAULT_TIMEOUT = Duration.ofSeconds(10);

    private final ClientCore core;
    private final Cleaner.Cleanable cleanable;

    private IPodClient(ClientCore core) {
        this.core = core;
        core.owner = new WeakReference<>(this);
        cleanable = CLEANER.register(this, core::shutdown);
    }

    /** {@link #connect(Executor, Duration)} with {@link #DEFAULT_TIMEOUT}. */
    public static IPodClient connect(Executor executor) throws IPodException {
        return connect(executor, DEFAULT_TIMEOUT);
    }

    /**
     * Connects to the daemon and performs the opening handshake.
     *
     * @param executor where listeners and future completions run (on
     *     Android, {@code context.getMainExecutor()} or a Handler's executor)
     * @param timeout bound of the handshake, then of every blocking call
     *     (see {@link #setTimeout}); zero or negative for none
     * @throws IPodException when the daemon cannot be reached or does not
     *     answer in time
     * @throws UnsatisfiedLinkError at once when libkiv-ipod-2-jni.so cannot be
     *     loaded; the message names it and the {@code java.library.path} searched
     */
    public static IPodClient connect(Executor executor, Duration timeout) throws IPodException {
        return connect(executor, timeout, ReconnectPolicy.off());
    }

    /**
     * Connects to the daemon and performs the opening handshake; then, with
     * a {@code policy} that reconnects, the client survives the daemon's
     * restarts (see {@link ReconnectPolicy}).
     *
     * @param executor where listeners and future completions run
     * @param timeout bound of the handshake, then of every blocking call;
     *     zero or negative for none
     * @param policy what to do when the connection is lost ({@link ReconnectPolicy#off()} when null)
     * @return the connected client
     * @throws IPodException when the daemon cannot be reached or does not
     *     answer in time (the first connection is not retried)
     */
    public static IPodClient connect(Executor executor, Duration timeout, ReconnectPolicy policy) throws IPodException {
        if (executor == null) throw new NullPointerException("executor");
        Native.check();
        ClientCore core = new ClientCore(executor, nanos(timeout), policy);
        core.start();
        try {
            core.await(core.connected);
        } catch (IPodException e) {
            core.shutdown();
            throw e;
        }
        return new IPodClient(core);
    }

    private static long nanos(Duration timeout) {
        if (timeout == null || timeout.isZero() || timeout.isNegative()) return Long.MAX_VALUE / 2;
        try {
            return timeout.toNanos();
        } catch (ArithmeticException e) {
            return Long.MAX_VALUE / 2;
        }
    }

    /**
     * Stops the loop, fails every request still waiting and releases the
     * native handle. Waits for the loop to end, except when called from a
     * listener run on the loop thread itself, where the loop ends as soon as
     * the listener returns. Closing twice does nothing.
     */
    @Override
    public void close() {
        cleanable.clean();
        core.join(TimeUnit.NANOSECONDS.toMillis(Math.min(core.timeoutNanos, TimeUnit.SECONDS.toNanos(30))) + 1);
    }

    /** Adds a listener; events and replies that arrive afterwards reach it. */
    public void addListener(IPodListener listener) {
        core.listeners.add(listener);
    }

    public void removeListener(IPodListener listener) {
        core.listeners.remove(listener);
    }

    /** The bound of every blocking call. */
    public Duration timeout() {
        return Duration.ofNanos(core.timeoutNanos);
    }

    /**
     * Bounds every later blocking call; zero or negative for no bound. The
     * native handle's writes get the same bound: a daemon that stops reading
     * makes a write fail after it, which closes the connection.
     */
    public void setTimeout(Duration timeout) {
        core.timeoutNanos = nanos(timeout);
        core.onLoop(b -> Native.setTimeout(b, core.nativeTimeout()));
    }

    // -------------------------------------------------------- internals

    private static final ClientCore.Decoder<Integer> STANDARD = (b, r) -> r;

    private <T> T blocking(String name, ClientCore.Sender sender, ClientCore.Decoder<T> decoder) throws IPodException {
        return core.await(core.request(name, -1, sender, decoder, false));
    }

    private <T> CompletableFuture<T> async(String name, ClientCore.Sender sender, ClientCore.Decoder<T> decoder) {
        return core.request(name, -1, sender, decoder, true);
    }

    private static ClientCore.Sender op(int op, int a, int x) {
        return b -> Native.request(b, op, a, x, 0);
    }

    /** Requests whose reply the library parses into a cache of its kind. */
    private static int kind(int op) {
        switch (op) {
            case Native.REQ_TRACK_INFO:
            case Native.REQ_PLAY_STATE:
            case Native.REQ_ARTWORK:
            case Native.REQ_SET_CATEGORY:
            case Native.REQ_SELECT_DB:
            case Native.REQ_GET_RECORDS:
            case Native.REQ_INDEXED_TRACK:
            case Native.REQ_LINGO_VERSION:
            case Native.REQ_OPEN_SESSION:
            case Native.REQ_GET_PREFERENCE:
                return op;
            default:
                return -1;
        }
    }

    private <T> T get(ClientCore.LoopWork<T> work) throws IPodException {
        return core.await(core.onLoop(work));
    }

    private static IPodException noReply(String what) {
        return new IPodException("no " + what + " in the daemon's reply", IPodException.Kind.NONE);
    }

    // -------------------------------------------------------- playback

    /** Starts playing; the daemon's integer (0 when done). */
    public int play() throws IPodException {
        return blocking("play", op(Native.REQ_PLAY, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> playAsync() {
        return async("play", op(Native.REQ_PLAY, 0, 0), STANDARD);
    }

    public int pause() throws IPodException {
        return blocking("pause", op(Native.REQ_PAUSE, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> pauseAsync() {
        return async("pause", op(Native.REQ_PAUSE, 0, 0), STANDARD);
    }

    public int stop() throws IPodException {
        return blocking("stop", op(Native.REQ_STOP, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> stopAsync() {
        return async("stop", op(Native.REQ_STOP, 0, 0), STANDARD);
    }

    public int nextTrack() throws IPodException {
        return blocking("next_track", op(Native.REQ_NEXT, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> nextTrackAsync() {
        return async("next_track", op(Native.REQ_NEXT, 0, 0), STANDARD);
    }

    public int previousTrack() throws IPodException {
        return blocking("prev_track", op(Native.REQ_PREV, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> previousTrackAsync() {
        return async("prev_track", op(Native.REQ_PREV, 0, 0), STANDARD);
    }

    public int startFastForward() throws IPodException {
        return blocking("start_ffw", op(Native.REQ_FFW, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> startFastForwardAsync() {
        return async("start_ffw", op(Native.REQ_FFW, 0, 0), STANDARD);
    }

    public int startRewind() throws IPodException {
        return blocking("start_rew", op(Native.REQ_REW, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> startRewindAsync() {
        return async("start_rew", op(Native.REQ_REW, 0, 0), STANDARD);
    }

    /** Ends fast forward or rewind. */
    public int stopSeeking() throws IPodException {
        return blocking("stop_ffwrew", op(Native.REQ_STOP_SEEK, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> stopSeekingAsync() {
        return async("stop_ffwrew", op(Native.REQ_STOP_SEEK, 0, 0), STANDARD);
    }

    /** Moves the play position to {@code positionMs} milliseconds. */
    public int setPosition(int positionMs) throws IPodException {
        return blocking("set_position", op(Native.REQ_SET_POSITION, positionMs, 0), STANDARD);
    }

    public CompletableFuture<Integer> setPositionAsync(int positionMs) {
        return async("set_position", op(Native.REQ_SET_POSITION, positionMs, 0), STANDARD);
    }

    /** Plays the track at {@code index} of the playback list. */
    public int playTrack(int index) throws IPodException {
        return blocking("set_current_playing_track", op(Native.REQ_PLAY_TRACK, index, 0), STANDARD);
    }

    public CompletableFuture<Integer> playTrackAsync(int index) {
        return async("set_current_playing_track", op(Native.REQ_PLAY_TRACK, index, 0), STANDARD);
    }

    // -------------------------------------------------------- track and play state

    private CompletableFuture<TrackInfo> trackInfoRequest(boolean async) {
        return core.request("current_track_info", kind(Native.REQ_TRACK_INFO), op(Native.REQ_TRACK_INFO, 0, 0), (b, r) -> {
            if (r < 0) throw noReply("track information");
            return readTrack(b);
        }, async);
    }

    /** Asks the daemon for the current track; also fills the cache. */
    public TrackInfo currentTrackInfo() throws IPodException {
        return core.await(trackInfoRequest(false));
    }

    public CompletableFuture<TrackInfo> currentTrackInfoAsync() {
        return trackInfoRequest(true);
    }

    private CompletableFuture<PlayStatus> playStateRequest(boolean async) {
        return core.request("get_play_state", kind(Native.REQ_PLAY_STATE), op(Native.REQ_PLAY_STATE, 0, 0), (b, r) -> {
            if (r < 0) throw noReply("play status");
            return new PlayStatus(WirePlayStatus.fromCode(r), r, Native.number(b, Native.N_LENGTH, 0),
                    Native.number(b, Native.N_POSITION, 0));
        }, async);
    }

    /** Asks the daemon for the play status, the track length and the position. */
    public PlayStatus playState() throws IPodException {
        return core.await(playStateRequest(false));
    }

    public CompletableFuture<PlayStatus> playStateAsync() {
        return playStateRequest(true);
    }

    /** Asks the daemon for the index of the current track. */
    public int currentTrackIndex() throws IPodException {
        return blocking("get_current_track_index", op(Native.REQ_TRACK_INDEX, 0, 0), STANDARD);
    }

    public CompletableFuture<Integer> currentTrackIndexAsync() {
        return async("get_current_track_index", op(Native.REQ_TRACK_INDEX, 0, 0), STANDARD);
    }

    private static <E> ClientCore.Decoder<E> mode(java.util.function.IntFunction<E> from, String what) {
        return (b, r) -> {
            E mode = from.apply(r);
            if (mode == null) throw new IPodException("unknown " + what + " mode " + r, IPodException.Kind.NONE);
            return mode;
        };
    }

    public int setShuffle(ShuffleMode mode) throws IPodException {
        return blocking("set_shuffle", op(Native.REQ_SET_SHUFFLE, mode.code(), 0), STANDARD);
    }

    public CompletableFuture<Integer> setShuffleAsync(ShuffleMode mode) {
        return async("set_shuffle", op(Native.REQ_SET_SHUFFLE, mode.code(), 0), STANDARD);
    }

    /** Asks the daemon for the shuffle mode. */
    public ShuffleMode shuffle() throws IPodException {
        return blocking("get_shuffle", op(Native.REQ_GET_SHUFFLE, 0, 0), mode(ShuffleMode::fromCode, "shuffle"));
    }

    public CompletableFuture<ShuffleMode> shuffleAsync() {
        return async("get_shuffle", op(Native.REQ_GET_SHUFFLE, 0, 0), mode(ShuffleMode::fromCode, "shuffle"));
    }

    public int setRepeat(RepeatMode mode) throws IPodException {
        return blocking("set_repeat", op(Native.REQ_SET_REPEAT, mode.code(), 0), STANDARD);
    }

    public CompletableFuture<Integer> setRepeatAsync(RepeatMode mode) {
        return async("set_repeat", op(Native.REQ_SET_REPEAT, mode.code(), 0), STANDARD);
    }

    /** Asks the daemon for the repeat mode. */
    public RepeatMode repeat() throws IPodException {
        return blocking("get_repeat", op(Native.REQ_GET_REPEAT, 0, 0), mode(RepeatMode::fromCode, "repeat"));
    }

    public CompletableFuture<RepeatMode> repeatAsync() {
        return async("get_repeat", op(Native.REQ_GET_REPEAT, 0, 0), mode(RepeatMode::fromCode, "repeat"));
    }

    // -------------------------------------------------------- artwork

    private CompletableFuture<Artwork> artworkRequest(int size, boolean async) {
        return core.request("current_track_artwork", kind(Native.REQ_ARTWORK), op(Native.REQ_ARTWORK, size, 0), (b, r) -> {
            if (r != 1) throw noReply("artwork");
            return readArtwork(b);
        }, async);
    }

    /**
     * Asks for the current track's artwork, {@code size} pixels on its
     * longer edge (0: the daemon's default). Large images travel through
     * the daemon's shared file; either way the pixels are copied.
     */
    public Artwork artwork(int size) throws IPodException {
        return core.await(artworkRequest(size, false));
    }

    public CompletableFuture<Artwork> artworkAsync(int size) {
        return artworkRequest(size, true);
    }

    // -------------------------------------------------------- browsing

    private CompletableFuture<Integer> countRequest(String name, int op, int a, int x, boolean async) {
        return core.request(name, kind(op), op(op, a, x), (b, r) -> Native.number(b, Native.N_RECORD_COUNT, 0), async);
    }

    /** Selects a category; the number of its records. */
    public int setCategory(Category category) throws IPodException {
        return core.await(countRequest("set_category", Native.REQ_SET_CATEGORY, category.code(), 0, false));
    }

    public CompletableFuture<Integer> setCategoryAsync(Category category) {
        return countRequest("set_category", Native.REQ_SET_CATEGORY, category.code(), 0, true);
    }

    /** Narrows the database to record {@code index} of {@code category}; the number of tracks left. */
    public int selectDb(Category category, int index) throws IPodException {
        return core.await(countRequest("select_db", Native.REQ_SELECT_DB, category.code(), index, false));
    }

    public CompletableFuture<Integer> selectDbAsync(Category category, int index) {
        return countRequest("select_db", Native.REQ_SELECT_DB, category.code(), index, true);
    }

    /** Sends a hierarchy number (1: back to the whole database). */
    public int setHierarchy(int value) throws IPodException {
        return blocking("set_hierarchy", op(Native.REQ_SET_HIERARCHY, value, 0), STANDARD);
    }

    public CompletableFuture<Integer> setHierarchyAsync(int value) {
        return async("set_hierarchy", op(Native.REQ_SET_HIERARCHY, value, 0), STANDARD);
    }

    private CompletableFuture<List<String>> recordsRequest(int start, int count, boolean async) {
        long[] before = {0};
        return core.request("get_records", Native.REQ_GET_RECORDS, b -> {
            before[0] = Native.recordsToken(b);
            return Native.request(b, Native.REQ_GET_RECORDS, start, count, 0);
        }, (b, r) -> {
            if (Native.recordsToken(b) == before[0])
                throw new IPodException("the daemon refused the records request", IPodException.Kind.NONE);
            String[] records = Native.records(b);
            if (records == null) return List.of();
            for (int i = 0; i < records.length; i++)
                if (records[i] == null) records[i] = ""; // an entry that is not a text
            return List.of(records);
        }, async);
    }

    /** Up to {@code count} record texts of the selected category from {@code start}. */
    public List<String> records(int start, int count) throws IPodException {
        return core.await(recordsRequest(start, count, false));
    }

    public CompletableFuture<List<String>> recordsAsync(int start, int count) {
        return recordsRequest(start, count, true);
    }

    private CompletableFuture<IndexedTrack> indexedRequest(int index, boolean async) {
        return core.request("indexed_track_info", kind(Native.REQ_INDEXED_TRACK), op(Native.REQ_INDEXED_TRACK, index, 0), (b, r) -> {
            if (r < 0) throw noReply("track information");
            return new IndexedTrack(index, Native.text(b, Native.T_INDEXED_TITLE, 0),
                    Native.text(b, Native.T_INDEXED_ARTIST, 0), Native.text(b, Native.T_INDEXED_ALBUM, 0),
                    Native.bytes(b, Native.B_INDEXED_UID), ClientCore.optional(Native.number(b, Native.N_INDEXED_LENGTH, 0)),
                    Native.number(b, Native.N_INDEXED_CHAPTER_COUNT, 0),
                    Native.number(b, Native.N_INDEXED_AUDIOBOOK, 0) != 0,
                    Native.number(b, Native.N_INDEXED_PODCAST, 0) != 0);
        }, async);
    }

    /** Asks for the track at {@code index} of the database. */
    public IndexedTrack indexedTrackInfo(int index) throws IPodException {
        return core.await(indexedRequest(index, false));
    }

    public CompletableFuture<IndexedTrack> indexedTrackInfoAsync(int index) {
        return indexedRequest(index, true);
    }

    private CompletableFuture<String> lingoRequest(Lingo lingo, boolean async) {
        return core.request("request_lingo_version", kind(Native.REQ_LINGO_VERSION), op(Native.REQ_LINGO_VERSION, lingo.code(), 0), (b, r) -> {
            if (r < 0) throw noReply("version");
            return Native.text(b, Native.T_LINGO_VERSION, 0);
        }, async);
    }

    /** The device's version of {@code lingo}, "major.minor". */
    public String lingoVersion(Lingo lingo) throws IPodException {
        return core.await(lingoRequest(lingo, false));
    }

    public CompletableFuture<String> lingoVersionAsync(Lingo lingo) {
        return lingoRequest(lingo, true);
    }

    // -------------------------------------------------------- preferences

    public int setPreference(PreferenceType type, PreferenceSetting setting) throws IPodException {
        return blocking("set_preference", op(Native.REQ_SET_PREFERENCE, type.code(), setting.code()), STANDARD);
    }

    public CompletableFuture<Integer> setPreferenceAsync(PreferenceType type, PreferenceSetting setting) {
        return async("set_preference", op(Native.REQ_SET_PREFERENCE, type.code(), setting.code()), STANDARD);
    }

    private static final ClientCore.Decoder<PreferenceSetting> SETTING = (b, r) -> {
        PreferenceSetting s = PreferenceSetting.fromCode(r);
        return s != null ? s : PreferenceSetting.NONE;
    };

    public PreferenceSetting getPreference(PreferenceType type) throws IPodException {
        return core.await(preferenceRequest(type, false));
    }

    public CompletableFuture<PreferenceSetting> getPreferenceAsync(PreferenceType type) {
        return preferenceRequest(type, true);
    }

    private CompletableFuture<PreferenceSetting> preferenceRequest(PreferenceType type, boolean async) {
        return core.request("get_preference", Native.REQ_GET_PREFERENCE, op(Native.REQ_GET_PREFERENCE, type.code(), 0),
                SETTING, async);
    }

    // -------------------------------------------------------- sessions and devices

    private CompletableFuture<Boolean> openRequest(int index, boolean async) {
        return core.openSession(index, async);
    }

    /** Makes device {@code index} current and opens a session on it; true when it opened. */
    public boolean openSession(int index) throws IPodException {
        return core.await(openRequest(index, false));
    }

    public CompletableFuture<Boolean> openSessionAsync(int index) {
        return openRequest(index, true);
    }

    public int closeSession() throws IPodException {
        return core.await(core.closeSession(false));
    }

    public CompletableFuture<Integer> closeSessionAsync() {
        return core.closeSession(true);
    }

    /** The device list as the daemon last sent it. */
    public List<Device> devices() throws IPodException {
        return get(ClientCore::devices);
    }

    /** Index of the current device; empty after it disconnected. */
    public OptionalInt currentSession() throws IPodException {
        return get(b -> ClientCore.optional(Native.number(b, Native.N_CURRENT_SESSION, 0)));
    }

    /** True when the current device is ready for requests. */
    public boolean isReady() throws IPodException {
        return get(b -> Native.number(b, Native.N_IS_READY, 0) == 1);
    }

    public boolean isSessionOpened() throws IPodException {
        return get(b -> Native.number(b, Native.N_SESSION_OPENED, 0) == 1);
    }

    /** The daemon's process id from the opening reply. */
    public int daemonPid() throws IPodException {
        return get(b -> Native.number(b, Native.N_PID, 0));
    }

    // -------------------------------------------------------- EAP

    /** Launches the application {@code name} on the device. */
    public int launchApplication(String name) throws IPodException {
        return core.await(launchRequest(name, false));
    }

    public CompletableFuture<Integer> launchApplicationAsync(String name) {
        return launchRequest(name, true);
    }

    private CompletableFuture<Integer> launchRequest(String name, boolean async) {
        if (name.indexOf('\0') >= 0) throw new IllegalArgumentException("an application name holds no NUL");
        byte[] text = name.getBytes(StandardCharsets.UTF_8);
        return core.request("launch_application", -1, b -> Native.requestData(b, Native.DATA_LAUNCH, 0, 0, text), STANDARD,
                async);
    }

    /** Sends a datagram on EAP session {@code sessionId}. */
    public int sendEapDatagram(int sessionId, byte[] data) throws IPodException {
        return core.await(eapRequest(sessionId, data, false));
    }

    public CompletableFuture<Integer> sendEapDatagramAsync(int sessionId, byte[] data) {
        return eapRequest(sessionId, data, true);
    }

    private CompletableFuture<Integer> eapRequest(int sessionId, byte[] data, boolean async) {
        byte[] copy = data.clone();
        return core.request("send_eap_datagram", -1, b -> Native.requestData(b, Native.DATA_EAP, sessionId, 0, copy), STANDARD,
                async);
    }

    // -------------------------------------------------------- caches

    private static TrackInfo readTrack(long b) {
        int state = Native.number(b, Native.N_STATE, 0);
        return new TrackInfo(Native.text(b, Native.T_TITLE, 0), Native.text(b, Native.T_ARTIST, 0),
                Native.text(b, Native.T_ALBUM, 0), Native.text(b, Native.T_COMPOSER, 0),
                Native.text(b, Native.T_GENRE, 0), Native.text(b, Native.T_CHAPTER, 0),
                Native.bytes(b, Native.B_TRACK_UID), ClientCore.optional(Native.number(b, Native.N_TRACK_INDEX, 0)),
                ClientCore.optional(Native.number(b, Native.N_TRACK_COUNT, 0)),
                ClientCore.optional(Native.number(b, Native.N_CHAPTER_INDEX, 0)),
                Native.number(b, Native.N_CHAPTER_COUNT, 0), ClientCore.optional(Native.number(b, Native.N_LENGTH, 0)),
                ClientCore.optional(Native.number(b, Native.N_POSITION, 0)), state < 0 ? null : TrackState.fromCode(state),
                ClientCore.optional(Native.number(b, Native.N_SAMPLE_RATE, 0)),
                Native.number(b, Native.N_HAS_ARTWORK, 0) != 0, Native.number(b, Native.N_HAS_CHAPTERS, 0) != 0,
                Native.number(b, Native.N_IS_AUDIOBOOK, 0) != 0, Native.number(b, Native.N_IS_PODCAST, 0) != 0);
    }

    private static Artwork readArtwork(long b) throws IPodException {
        int width = Native.number(b, Native.N_ARTWORK_WIDTH, 0), height = Native.number(b, Native.N_ARTWORK_HEIGHT, 0);
        int stride = Native.number(b, Native.N_ARTWORK_ROWSTRIDE, 0);
        long size = (long) stride * height;
        if (size > Artwork.MAX_BYTES)
            throw new IPodException("artwork of " + size + " bytes exceeds the limit of " + Artwork.MAX_BYTES,
                    IPodException.Kind.LIMIT);
        byte[] pixels = Native.bytes(b, Native.B_ARTWORK);
        if (pixels == null) throw noReply("artwork");
        return new Artwork(pixels, width, height, stride);
    }

    /** The current-track cache, as replies and events left it. */
    public TrackInfo currentTrack() throws IPodException {
        return get(IPodClient::readTrack);
    }

    /** The cached artwork, or null. */
    public Artwork cachedArtwork() throws IPodException {
        return get(b -> Native.bytes(b, Native.B_ARTWORK) == null ? null : readArtwork(b));
    }

    /** Shuffle mode from the last "shuffle_changed" event, or null. */
    public ShuffleMode cachedShuffle() throws IPodException {
        return get(b -> ShuffleMode.fromCode(Native.number(b, Native.N_SHUFFLE, 0)));
    }

    /** Repeat mode from the last "repeat_changed" event, or null. */
    public RepeatMode cachedRepeat() throws IPodException {
        return get(b -> RepeatMode.fromCode(Native.number(b, Native.N_REPEAT, 0)));
    }

    /** Record count from the last set-category or select-database reply. */
    public int recordCount() throws IPodException {
        return get(b -> Native.number(b, Native.N_RECORD_COUNT, 0));
    }

    /** The last lingo version reply, "major.minor", or null before any. */
    public String cachedLingoVersion() throws IPodException {
        return get(b -> {
            String v = Native.text(b, Native.T_LINGO_VERSION, 0);
            return v == null || v.isEmpty() ? null : v;
        });
    }

    /** The device's database uid (8 bytes) from the last database-information reply. */
    public byte[] databaseUid() throws IPodException {
        return get(b -> Arrays.copyOf(Native.bytes(b, Native.B_DB_UID), 8));
    }

    /** Native handles connected and not yet released in this process (diagnostics). */
    public static long openNativeHandles() {
        return Native.openHandles();
    }
}
