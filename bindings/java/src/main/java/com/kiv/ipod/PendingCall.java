package com.kiv.ipod;

import java.util.concurrent.CompletableFuture;

/** One request waiting for its reply. */
final class PendingCall<T> {
    final String name;
    final Decoder<T> decoder;
    final CompletableFuture<T> done = new CompletableFuture<>();
    volatile long tid;

    PendingCall(String name, Decoder<T> decoder) {
        this.name = name;
        this.decoder = decoder;
    }

    /** {@code kind}: DAEMON with an error text, LIMIT when a limit refused the reply, else NONE. */
    void complete(long binding, int result, IPodException.Kind kind, String error) {
        if (error != null) {
            done.completeExceptionally(new IPodException(error, IPodException.Kind.DAEMON));
            return;
        }
        try {
            done.complete(decoder.decode(binding, result));
        } catch (IPodException e) {
            // A reply the library refused left no result in its cache.
            boolean refused = kind == IPodException.Kind.LIMIT && e.kind() == IPodException.Kind.NONE;
            done.completeExceptionally(refused ? IPodException.refused(name + " reply", kind) : e);
        } catch (RuntimeException e) {
            done.completeExceptionally(e);
        } catch (Error e) {
            // The loop ends on it; the call, already taken from the
            // pending ones, fails here.
            done.completeExceptionally(bindingFailure(e));
            throw e;
        }
    }

    /** The failure of a request that met {@code t} on the loop thread. */
    static IPodException bindingFailure(Throwable t) {
        IPodException e = new IPodException("binding failure: " + t, IPodException.Kind.BINDING);
        e.initCause(t);
        return e;
    }
}
