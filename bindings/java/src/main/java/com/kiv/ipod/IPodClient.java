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
public final class IPodClient extends AccessoryRequests implements AutoCloseable {
    private static final Cleaner CLEANER = Cleaner.create();
    /** The default bound of connect() and of every blocking call. */
    public static final Duration DEFAULT_TIMEOUT = Duration.ofSeconds(10);

    private final Cleaner.Cleanable cleanable;

    private IPodClient(ClientCore core) {
        super(core);
        core.owner = new WeakReference<>(this);
        cleanable = CLEANER.register(this, core::shutdown);
    }

    /**
     * {@link #connect(Executor, Duration)} with {@link #DEFAULT_TIMEOUT}.
     *
     * @param executor where listeners and future completions run
     * @return the connected client
     * @throws IPodException when the client is closed or its connection is lost
     */
    public static IPodClient connect(Executor executor) throws IPodException {
        return connect(executor, DEFAULT_TIMEOUT);
    }

    /**
     * Connects to the daemon and performs the opening handshake.
     *
     * @param executor where listeners and future completions run (on Android, {@code
     *     context.getMainExecutor()} or a Handler's executor)
     * @param timeout bound of the handshake, then of every blocking call (see {@link #setTimeout}); zero or
     *     negative for none
     * @throws IPodException when the daemon cannot be reached or does not answer in time
     * @throws UnsatisfiedLinkError at once when libkiv-ipod-2-jni.so cannot be loaded; the message names it
     *     and the {@code java.library.path} searched /
     * @return the connected client
     */
    public static IPodClient connect(Executor executor, Duration timeout) throws IPodException {
        return connect(executor, timeout, ReconnectPolicy.off());
    }

    /**
     * Connects to the daemon and performs the opening handshake; then, with a {@code policy} that reconnects,
     * the client survives the daemon's restarts (see {@link ReconnectPolicy}).
     *
     * @param executor where listeners and future completions run
     * @param timeout bound of the handshake, then of every blocking call; zero or negative for none
     * @param policy what to do when the connection is lost ({@link ReconnectPolicy#off()} when null)
     * @return the connected client
     * @throws IPodException when the daemon cannot be reached or does not answer in time (the first connection
     *     is not retried) /
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
     * Stops the loop, fails every request still waiting and releases the native handle. Waits for the loop to
     * end, except when called from a listener run on the loop thread itself, where the loop ends as soon as
     * the listener returns. Closing twice does nothing. /
     */
    @Override
    public void close() {
        cleanable.clean();
        core.join(TimeUnit.NANOSECONDS.toMillis(Math.min(core.timeoutNanos, TimeUnit.SECONDS.toNanos(30))) + 1);
    }

    /**
     * Adds a listener; events and replies that arrive afterwards reach it.
     *
     * @param listener the listener
     */
    public void addListener(IPodListener listener) {
        core.listeners.add(listener);
    }

    /**
     * Removes a listener.
     *
     * @param listener the listener
     */
    public void removeListener(IPodListener listener) {
        core.listeners.remove(listener);
    }

    /**
     * The bound of every blocking call.
     *
     * @return the bound
     */
    public Duration timeout() {
        return Duration.ofNanos(core.timeoutNanos);
    }

    /**
     * Bounds every later blocking call; zero or negative for no bound. The native handle's writes get the same
     * bound: a daemon that stops reading makes a write fail after it, which closes the connection. /
     *
     * @param timeout the bound; zero or negative for none
     */
    public void setTimeout(Duration timeout) {
        core.timeoutNanos = nanos(timeout);
        core.onLoop(b -> Native.setTimeout(b, core.nativeTimeout()));
    }

    // -------------------------------------------------------- devices and session state

    /**
     * The device list as the daemon last sent it.
     *
     * @return copies of the entries of the device list
     * @throws IPodException when the client is closed or its connection is lost
     */
    public List<Device> devices() throws IPodException {
        return get(Devices::read);
    }

    /**
     * Index of the current device; empty after it disconnected.
     *
     * @return the number, or empty when not known
     * @throws IPodException when the client is closed or its connection is lost
     */
    public OptionalInt currentSession() throws IPodException {
        return get(b -> ClientCore.optional(Native.number(b, Native.N_CURRENT_SESSION, 0)));
    }

    /**
     * True when the current device is ready for requests.
     *
     * @return true when it holds
     * @throws IPodException when the client is closed or its connection is lost
     */
    public boolean isReady() throws IPodException {
        return get(b -> Native.number(b, Native.N_IS_READY, 0) == 1);
    }

    /**
     * Whether a session is open.
     *
     * @return true when it holds
     * @throws IPodException when the client is closed or its connection is lost
     */
    public boolean isSessionOpened() throws IPodException {
        return get(b -> Native.number(b, Native.N_SESSION_OPENED, 0) == 1);
    }

    /**
     * The daemon's process id from the opening reply.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the client is closed or its connection is lost
     */
    public int daemonPid() throws IPodException {
        return get(b -> Native.number(b, Native.N_PID, 0));
    }

    // -------------------------------------------------------- caches

    /**
     * The current-track cache, as replies and events left it.
     *
     * @return a copy of the current-track cache as the reply left it
     * @throws IPodException when the client is closed or its connection is lost
     */
    public TrackInfo currentTrack() throws IPodException {
        return get(RequestBase::readTrack);
    }

    /**
     * The cached artwork, or null.
     *
     * @return a copy of the artwork
     * @throws IPodException when the client is closed or its connection is lost
     */
    public Artwork cachedArtwork() throws IPodException {
        return get(b -> Native.bytes(b, Native.B_ARTWORK) == null ? null : readArtwork(b));
    }

    /**
     * Shuffle mode from the last "shuffle_changed" event, or null.
     *
     * @return the mode
     * @throws IPodException when the client is closed or its connection is lost
     */
    public ShuffleMode cachedShuffle() throws IPodException {
        return get(b -> ShuffleMode.fromCode(Native.number(b, Native.N_SHUFFLE, 0)));
    }

    /**
     * Repeat mode from the last "repeat_changed" event, or null.
     *
     * @return the mode
     * @throws IPodException when the client is closed or its connection is lost
     */
    public RepeatMode cachedRepeat() throws IPodException {
        return get(b -> RepeatMode.fromCode(Native.number(b, Native.N_REPEAT, 0)));
    }

    /**
     * Record count from the last set-category or select-database reply.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the client is closed or its connection is lost
     */
    public int recordCount() throws IPodException {
        return get(b -> Native.number(b, Native.N_RECORD_COUNT, 0));
    }

    /**
     * The last lingo version reply, "major.minor", or null before any.
     *
     * @return the text, or null when not known
     * @throws IPodException when the client is closed or its connection is lost
     */
    public String cachedLingoVersion() throws IPodException {
        return get(b -> {
            String v = Native.text(b, Native.T_LINGO_VERSION, 0);
            return v == null || v.isEmpty() ? null : v;
        });
    }

    /**
     * The device's database uid (8 bytes) from the last database-information reply.
     *
     * @return 8 bytes, a copy
     * @throws IPodException when the client is closed or its connection is lost
     */
    public byte[] databaseUid() throws IPodException {
        return get(b -> Arrays.copyOf(Native.bytes(b, Native.B_DB_UID), 8));
    }

    /**
     * Native handles connected and not yet released in this process (diagnostics).
     *
     * @return the count
     */
    public static long openNativeHandles() {
        return Native.openHandles();
    }
}
