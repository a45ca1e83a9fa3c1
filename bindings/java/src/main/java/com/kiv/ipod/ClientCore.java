package com.kiv.ipod;

import java.lang.ref.WeakReference;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.Executor;
import java.util.concurrent.RejectedExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.LockSupport;
import java.util.OptionalInt;

/**
 * The state behind one {@link IPodClient}: the native binding and the loop
 * thread that alone uses it. It holds the client only weakly, so that an
 * application that forgets to close a client lets it be collected and the
 * client's {@link java.lang.ref.Cleaner} action ({@link #shutdown}) stop
 * the loop, which then releases the native memory.
 */
final class ClientCore implements Runnable {
    private static final AtomicInteger SEQUENCE = new AtomicInteger();
    static final String THREAD_PREFIX = "kiv-ipod-loop-";
    private static final String CLOSED = "client closed", LOST = "connection to the iPod daemon lost",
            DOWN = "not connected to the iPod daemon (reconnecting)";

    final Executor executor;
    final Thread thread;
    final CompletableFuture<Void> connected = new CompletableFuture<>();
    final CopyOnWriteArrayList<IPodListener> listeners = new CopyOnWriteArrayList<>();
    volatile WeakReference<IPodClient> owner = new WeakReference<>(null);
    volatile long timeoutNanos;

    private final ConcurrentLinkedQueue<LoopTask> tasks = new ConcurrentLinkedQueue<>();
    private final ConcurrentHashMap<Long, PendingCall<?>> pending = new ConcurrentHashMap<>();
    private final ArrayList<Runnable> deliveries = new ArrayList<>(); // loop thread only
    private long binding; // written under the lock; used without it on the loop thread
    private volatile boolean stopping;
    // Why the client serves no more requests (null while it does); each
    // caller gets a copy (failed()).
    private volatile IPodException failure;
    private boolean lost; // loop thread only
    // The library parses the reply of a cached kind (track information,
    // artwork, records, ...) only for the latest request of that kind: an
    // earlier one still waiting would be answered from a cache its reply
    // never filled. So one request per kind is in flight; the next of the
    // kind waits here until the previous one completes. Loop thread only.
    private final Set<Integer> busyKinds = new HashSet<>();
    private final Map<Integer, ArrayDeque<LoopTask>> waitingKinds = new HashMap<>();
    // Ids of the binding's own answers to pings, whose replies concern nobody.
    private final Set<Long> pingAnswers = new HashSet<>();

    final ReconnectPolicy policy;
    // The serial number of the device whose session is re-opened after a
    // reconnection (null: none). Loop thread only.
    private String sessionSerial;
    // Counts the connections; a kind held on an earlier one is not released
    // on a later one. Loop thread only.
    private int generation;
    // Completed when the device of the session to re-open is announced
    // (null while none is awaited). Loop thread only.
    private CompletableFuture<Void> awaited;
    private static final long DEVICE_WAIT_S = 5;

    ClientCore(Executor executor, long timeoutNanos, ReconnectPolicy policy) {
        this.executor = executor;
        this.timeoutNanos = timeoutNanos;
        this.policy = policy != null ? policy : ReconnectPolicy.off();
        thread = new Thread(this, THREAD_PREFIX + SEQUENCE.incrementAndGet());
        thread.setDaemon(true);
    }

    // ------------------------------------------------------------ the loop

    @Override
    public void run() {
        long b = open();
        if (b == 0) return;
        IPodException why = null;
        try {
            while (true) {
                serve(b);
                if (stopping || !policy.enabled()) break;
                synchronized (this) {
                    binding = 0;
                }
                Native.close(b);
                b = 0;
                b = reconnect();
                if (b == 0) break;
            }
        } catch (Throwable t) {
            why = PendingCall.bindingFailure(t);
        } finally {
            finish(b, why);
        }
    }

    /** Serves the connection until the client stops or the connection is lost. */
    private void serve(long b) {
        while (!stopping && !lost) {
            runLoopTasks(b);
            flush();
            if (stopping || lost) break;
            int ready = Native.poll(b, -1);
            if ((ready & 1) != 0) readOnce(b);
            flush();
        }
    }

    /**
     * Retries the connection with the policy's back-off until one is made
     * (its binding pointer) or the client stops (0). Requests made
     * meanwhile fail at once.
     */
    private long reconnect() {
        int failures = 0;
        long next = System.nanoTime();
        while (!stopping) {
            for (LoopTask t; (t = tasks.poll()) != null; ) t.fail(failed());
            flush();
            long wait = next - System.nanoTime();
            if (wait > 0) {
                LockSupport.parkNanos(this, wait);
                continue;
            }
            long result = Native.connect(new String[1]);
            if (result <= 0) {
                next = System.nanoTime() + policy.delay(++failures).toNanos();
                continue;
            }
            synchronized (this) {
                binding = result;
            }
            if (stopping) return result;
            restored(result);
            return result;
        }
        return 0;
    }

    /** A new connection serves requests again: the session re-opened, the listeners told. */
    private void restored(long b) {
        Native.setTimeout(b, nativeTimeout());
        generation++;
        busyKinds.clear();
        pingAnswers.clear();
        lost = false;
        failure = null;
        boolean reopened = false;
        if (sessionSerial != null) {
            int index = Devices.index(b, sessionSerial);
            if (index < 0) {
                // A daemon that has just started may announce the device a
                // moment later, with its "connected" or "ready" event.
                CompletableFuture<Void> appeared = new CompletableFuture<>();
                awaited = appeared;
                pump(appeared, System.nanoTime() + Math.min(timeoutNanos, TimeUnit.SECONDS.toNanos(DEVICE_WAIT_S)));
                awaited = null;
                index = lost ? -1 : Devices.index(b, sessionSerial);
            }
            if (index >= 0) {
                CompletableFuture<Boolean> f = openSession(index, false);
                pump(f, System.nanoTime() + Math.min(timeoutNanos, TimeUnit.SECONDS.toNanos(30)));
                reopened = Boolean.TRUE.equals(f.getNow(false));
            }
        }
        if (lost || stopping) return; // lost again already, or closed: the loop notices
        List<Device> devices = Devices.read(b);
        boolean sessionReopened = reopened;
        deliver((l, c) -> l.onConnectionRestored(c, devices, sessionReopened));
    }

    /**
     * Opens a session on device {@code index}; on success its serial number
     * is kept, so that the session is re-opened after a reconnection.
     */
    CompletableFuture<Boolean> openSession(int index, boolean async) {
        return request("open_session", Native.REQ_OPEN_SESSION, b -> Native.request(b, Native.REQ_OPEN_SESSION, index, 0, 0),
                (b, r) -> {
                    if (r == 1) sessionSerial = Native.text(b, Native.T_DEVICE_SERIAL, index);
                    return r == 1;
                }, async);
    }

    /** Closes the session; it is no longer re-opened. */
    CompletableFuture<Integer> closeSession(boolean async) {
        return request("close_session", -1, b -> {
            sessionSerial = null;
            return Native.request(b, Native.REQ_CLOSE_SESSION, 0, 0, 0);
        }, (b, r) -> r, async);
    }

    /**
     * Connects the native handle; 0, with {@link #connected} failed, when
     * that is impossible. Whatever is thrown here fails the connection
     * rather than the thread, so that connect() never waits for it.
     */
    private long open() {
        long b = 0;
        try {
            Native.check();
            String[] refusal = new String[1];
            long result = Native.connect(refusal);
            if (result <= 0) {
                IPodException.Kind kind = Native.failure(result);
                failure = refusal[0] != null
                        ? new IPodException("the iPod daemon refused the connection: " + refusal[0], kind)
                        : kind == IPodException.Kind.NOT_CONNECTED ? new IPodException("cannot reach the iPod daemon", kind)
                        : IPodException.refused("connect", kind);
                connected.completeExceptionally(failure);
                return 0;
            }
            b = result;
            synchronized (this) {
                binding = b;
            }
            Native.setTimeout(b, nativeTimeout());
            connected.complete(null);
            return b;
        } catch (Throwable t) {
            failure = PendingCall.bindingFailure(t);
            connected.completeExceptionally(failure);
            if (b != 0) finish(b, failure);
            return 0;
        }
    }

    private void readOnce(long b) {
        if (Native.read(b, this) < 0) connectionLost();
    }

    /** The daemon hung up, or a write to it failed (loop thread). */
    private void connectionLost() {
        if (lost) return;
        lost = true;
        failure = new IPodException(policy.enabled() && !stopping ? DOWN : LOST, IPodException.Kind.NOT_CONNECTED);
        failWaiting(failed());
        List<Device> devices = binding != 0 ? Devices.read(binding) : List.of();
        deliver((l, c) -> l.onConnectionLost(c, devices));
        if (!policy.enabled()) deliver((l, c) -> l.onDisconnected(c));
    }

    private void runLoopTasks(long b) {
        LoopTask t;
        while ((t = tasks.poll()) != null) {
            try {
                t.run(b);
            } catch (Throwable e) {
                // The loop ends (finish() fails the rest); this task was
                // already taken from the queue, so it fails here.
                t.fail(PendingCall.bindingFailure(e));
                throw e;
            }
        }
    }

    /** Ends the client for {@code why} (null: it was closed), unless it already failed. */
    private void finish(long b, IPodException why) {
        if (failure == null) failure = why != null ? why : new IPodException(CLOSED, IPodException.Kind.NOT_CONNECTED);
        IPodException e = failed();
        for (LoopTask t; (t = tasks.poll()) != null; ) t.fail(e);
        failWaiting(e);
        flush();
        synchronized (this) {
            binding = 0;
        }
        if (b != 0) Native.close(b);
    }

    /** Fails every request sent or waiting for its turn (loop thread). */
    private void failWaiting(IPodException e) {
        for (ArrayDeque<LoopTask> waiting : List.copyOf(waitingKinds.values()))
            for (LoopTask t : List.copyOf(waiting)) t.fail(e);
        waitingKinds.clear();
        failPending(e);
    }

    private void failPending(IPodException e) {
        for (Long tid : List.copyOf(pending.keySet())) {
            PendingCall<?> call = pending.remove(tid);
            if (call != null) call.done.completeExceptionally(e);
        }
    }

    /** Hands what is waiting for the application to its executor. */
    private void flush() {
        while (!deliveries.isEmpty()) {
            List<Runnable> batch = List.copyOf(deliveries);
            deliveries.clear();
            for (Runnable r : batch) execute(r);
        }
    }

    private void execute(Runnable r) {
        try {
            executor.execute(r);
        } catch (RejectedExecutionException e) {
            // The application shut its executor down: listeners are no longer
            // called, but a future still completes, here, so that nobody
            // waits for it forever.
            if (r instanceof Completion) r.run();
        } catch (RuntimeException e) {
            // A listener run in place by a direct executor threw.
            Thread.UncaughtExceptionHandler h = Thread.currentThread().getUncaughtExceptionHandler();
            if (h != null) h.uncaughtException(Thread.currentThread(), e);
        }
    }

    /** Queues a listener call for the executor (loop thread only). */
    private void deliver(ListenerCall call) {
        for (IPodListener l : listeners) {
            deliveries.add(() -> {
                IPodClient c = owner.get();
                if (c != null) call.accept(l, c);
            });
        }
    }

    private interface ListenerCall {
        void accept(IPodListener listener, IPodClient client);
    }

    // ------------------------------------------------- called by the glue

    void onNativeReply(long tid, int result, int kind, String error) {
        if (pingAnswers.remove(tid)) return;
        PendingCall<?> call = pending.remove(tid);
        if (call != null) call.complete(binding, result, IPodException.Kind.fromNative(kind), error);
        deliver((l, c) -> l.onReply(c, tid, result, error));
    }

    void onNativeEvent(int type, String deviceSerial, String serial, int authenticated, int extended,
            int session, int protocolIndex, String protocol, byte[] data, boolean hasValue, int value) {
        EventType t = EventType.fromCode(type);
        if (awaited != null && (t == EventType.CONNECTED || t == EventType.IPOD_READY)
                && (sessionSerial.equals(serial) || sessionSerial.equals(deviceSerial)))
            awaited.complete(null);
        IPodEvent event = new IPodEvent(t != null ? t : EventType.UNKNOWN, deviceSerial, serial,
                hasValue ? OptionalInt.of(value) : OptionalInt.empty(), optional(authenticated), optional(extended),
                optional(session), optional(protocolIndex), protocol, data);
        deliver((l, c) -> l.onEvent(c, event));
    }

    void onNativePing(long tid) {
        if (pingAnswers.size() >= 64) pingAnswers.clear(); // a daemon that never answers them
        long answer = Native.request(binding, Native.REQ_PING, 0, 0, 0);
        if (answer > 0) pingAnswers.add(answer);
        deliver((l, c) -> l.onPing(c, tid));
    }

    static OptionalInt optional(int value) {
        return value < 0 ? OptionalInt.empty() : OptionalInt.of(value);
    }

    // ------------------------------------------------- any thread

    void start() {
        thread.start();
    }

    /** Stops the loop without waiting; the Cleaner's action. */
    void shutdown() {
        stopping = true;
        wake();
    }

    /** Waits up to {@code millis} for the loop thread to end (not from the loop thread). */
    void join(long millis) {
        if (Thread.currentThread() == thread) return;
        try {
            thread.join(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private synchronized void wake() {
        if (binding != 0)
            Native.wake(binding);
        else
            LockSupport.unpark(thread); // waiting between two connection attempts
    }

    /** The bound in whole milliseconds for the native handle: 0 for none. */
    int nativeTimeout() {
        long ms = TimeUnit.NANOSECONDS.toMillis(timeoutNanos);
        return ms >= Integer.MAX_VALUE || timeoutNanos >= Long.MAX_VALUE / 2 ? 0 : (int) Math.max(ms, 1);
    }

    boolean onLoopThread() {
        return Thread.currentThread() == thread;
    }

    private void exec(LoopTask t) {
        if (onLoopThread()) {
            if (failure != null || binding == 0) t.fail(failed());
            else t.run(binding);
            return;
        }
        if (failure != null || stopping) {
            t.fail(failed());
            return;
        }
        tasks.add(t);
        wake();
        // finish() may have drained the queue between the check and the add.
        if ((failure != null || stopping) && tasks.remove(t)) t.fail(failed());
    }

    /** Why requests fail now: a copy of the failure, or a closed client. */
    private IPodException failed() {
        IPodException f = failure;
        return f != null ? new IPodException(f.getMessage(), f.kind())
                : new IPodException(CLOSED, IPodException.Kind.NOT_CONNECTED);
    }

    /**
     * Sends a request on the loop thread. The future completes there, or,
     * when {@code async}, on the application's executor: then the hand-off is
     * in place before the request can even be sent, so the completion never
     * runs on the calling thread. {@code kind} (-1 for none) names the cached
     * reply kind: such requests are sent one at a time.
     */
    <T> CompletableFuture<T> request(String name, int kind, Sender sender, Decoder<T> decoder, boolean async) {
        PendingCall<T> call = new PendingCall<>(name, decoder);
        int[] heldOn = {-1}; // the generation that holds the kind; loop thread only
        call.done.whenComplete((v, e) -> {
            // Only this call: ids start anew on each connection.
            if (e != null && call.tid != 0) pending.remove(call.tid, call);
        });
        CompletableFuture<T> result = async ? onExecutor(call.done) : call.done;
        LoopTask task = new LoopTask() {
            @Override
            void run(long b) {
                if (call.done.isDone()) return; // timed out while queued
                if (kind >= 0 && !busyKinds.add(kind)) {
                    waitingKinds.computeIfAbsent(kind, k -> new ArrayDeque<>()).add(this);
                    return;
                }
                if (kind >= 0) heldOn[0] = generation;
                long tid = sender.send(b);
                if (tid <= 0 && Native.number(b, Native.N_FD, 0) < 0) {
                    connectionLost(); // this write or an earlier one failed and closed the socket
                    call.done.completeExceptionally(failed());
                    return;
                }
                if (tid <= 0) {
                    call.done.completeExceptionally(IPodException.refused(name, Native.failure(tid)));
                    return;
                }
                call.tid = tid;
                pending.put(tid, call);
            }

            @Override
            void fail(IPodException e) {
                call.done.completeExceptionally(e);
            }

            @Override
            boolean done() {
                return call.done.isDone();
            }
        };
        if (kind >= 0) {
            call.done.whenComplete((v, e) -> {
                if (onLoopThread()) {
                    if (heldOn[0] == generation) releaseKind(kind);
                } else {
                    exec(new LoopTask() {
                        @Override
                        void run(long b) {
                            if (heldOn[0] == generation) releaseKind(kind);
                        }

                        @Override
                        void fail(IPodException e) {}
                    });
                }
            });
        }
        exec(task);
        return result;
    }

    /** The request of {@code kind} in flight completed: send the next one waiting. */
    private void releaseKind(int kind) {
        busyKinds.remove(kind);
        ArrayDeque<LoopTask> waiting = waitingKinds.get(kind);
        if (waiting == null || binding == 0 || failure != null) return;
        for (LoopTask next; (next = waiting.poll()) != null; ) {
            if (next.done()) continue;
            next.run(binding);
            break;
        }
        if (waiting.isEmpty()) waitingKinds.remove(kind);
    }

    /** Runs work on the loop thread. */
    <T> CompletableFuture<T> onLoop(LoopWork<T> work) {
        CompletableFuture<T> f = new CompletableFuture<>();
        exec(new LoopTask() {
            @Override
            void run(long b) {
                try {
                    f.complete(work.run(b));
                } catch (IPodException | RuntimeException e) {
                    f.completeExceptionally(e);
                }
            }

            @Override
            void fail(IPodException e) {
                f.completeExceptionally(e);
            }
        });
        return f;
    }

    /** A future that completes like {@code inner}, on the application's executor. */
    <T> CompletableFuture<T> onExecutor(CompletableFuture<T> inner) {
        CompletableFuture<T> outer = new CompletableFuture<>();
        inner.whenComplete((v, e) -> {
            Runnable r = new Completion(() -> {
                if (e != null)
                    outer.completeExceptionally(e);
                else
                    outer.complete(v);
            });
            if (onLoopThread())
                deliveries.add(r);
            else
                execute(r);
        });
        return outer;
    }

    /**
     * Waits for {@code f} within the timeout. On the loop thread (a listener
     * run in place by a direct executor) it reads the socket itself
     * meanwhile, so the reply it waits for can arrive.
     */
    <T> T await(CompletableFuture<T> f) throws IPodException {
        long timeout = timeoutNanos;
        long deadline = System.nanoTime() + timeout;
        if (onLoopThread()) {
            pump(f, deadline);
            // Nothing else would complete it once the loop stops serving.
            if (!f.isDone() && (lost || stopping || binding == 0)) f.completeExceptionally(failed());
        }
        try {
            long left = deadline - System.nanoTime();
            return left > 0 || f.isDone() ? f.get(Math.max(left, 0), TimeUnit.NANOSECONDS) : timedOut(f, timeout);
        } catch (TimeoutException e) {
            return timedOut(f, timeout);
        } catch (ExecutionException e) {
            Throwable cause = e.getCause();
            if (cause instanceof RuntimeException) throw (RuntimeException) cause;
            // Thrown anew, so that the stack trace shows the caller.
            IPodException ex = new IPodException(cause.getMessage(), cause instanceof IPodException
                    ? ((IPodException) cause).kind() : IPodException.Kind.BINDING);
            ex.initCause(cause);
            throw ex;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IPodException("interrupted while waiting for the iPod daemon", IPodException.Kind.INTERRUPTED);
        }
    }

    private static <T> T timedOut(CompletableFuture<T> f, long timeoutNanos) throws IPodException {
        IPodException e = new IPodException("no reply from the iPod daemon within "
                + TimeUnit.NANOSECONDS.toMillis(timeoutNanos) + " ms", IPodException.Kind.TIMEOUT);
        f.completeExceptionally(e);
        throw e;
    }

    private void pump(CompletableFuture<?> f, long deadline) {
        while (!f.isDone() && !lost && !stopping && binding != 0) {
            long left = deadline - System.nanoTime();
            if (left <= 0) return;
            runLoopTasks(binding);
            int ready = Native.poll(binding, (int) Math.max(1, Math.min(Integer.MAX_VALUE,
                    TimeUnit.NANOSECONDS.toMillis(left))));
            if ((ready & 1) != 0) readOnce(binding);
            flush();
        }
    }
}
