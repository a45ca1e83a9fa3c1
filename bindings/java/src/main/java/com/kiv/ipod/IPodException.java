package com.kiv.ipod;

/**
 * A request that failed: the daemon's error text (what kiv_ipod_last_error
 * reads), a refusal, a lost connection, a closed client or an expired
 * timeout. The message says which in words, {@link #kind()} as a value a
 * program can switch on.
 */
public class IPodException extends Exception {
    private static final long serialVersionUID = 2L;

    /**
     * What went wrong. The first eight kinds are those the native library
     * reports (kiv_ipod_last_error_kind), with its names; the others arise
     * in the binding itself.
     */
    public enum Kind {
        /**
         * The library reported no failure: the reply came without an error
         * but held no result the binding can use (no artwork, a mode it
         * does not know). Also the kind of an exception made with
         * {@link IPodException#IPodException(String)}.
         */
        NONE,
        /** The daemon answered with an error text, which is the message. */
        DAEMON,
        /** Refused before sending: no ready device (open a session first). */
        NOT_READY,
        /**
         * No connection: it was lost, or never made (a connect that found no
         * daemon), or the client was closed.
         */
        NOT_CONNECTED,
        /** The client's timeout passed without a reply (see {@link IPodClient#setTimeout}). */
        TIMEOUT,
        /** Refused by one of the library's or the binding's limits (an artwork too large, say). */
        LIMIT,
        /** An argument the library cannot use. */
        INVALID_ARGUMENT,
        /** Memory ran out in the native library or its glue. */
        NO_MEMORY,
        /** The calling thread was interrupted while it waited for a reply. */
        INTERRUPTED,
        /**
         * A fault in the binding or the JVM (an {@link Error} on the
         * client's loop thread); the cause holds it and the client is
         * closed.
         */
        BINDING;

        /** The kind of a kiv_ipod_error_kind number; NONE for one this binding does not know. */
        static Kind fromNative(int code) {
            switch (code) {
                case 1:
                    return DAEMON;
                case 2:
                    return NOT_READY;
                case 3:
                    return NOT_CONNECTED;
                case 4:
                    return TIMEOUT;
                case 5:
                    return LIMIT;
                case 6:
                    return INVALID_ARGUMENT;
                case 7:
                    return NO_MEMORY;
                default:
                    return NONE;
            }
        }
    }

    /** The kind; never null. */
    private final Kind kind;

    /**
     * An exception of kind {@link Kind#NONE}.
     *
     * @param message what went wrong
     */
    public IPodException(String message) {
        this(message, Kind.NONE);
    }

    /**
     * An exception of the given kind.
     *
     * @param message what went wrong
     * @param kind what kind of failure it is ({@link Kind#NONE} when null)
     */
    public IPodException(String message, Kind kind) {
        super(message);
        this.kind = kind != null ? kind : Kind.NONE;
    }

    /** {@code what} (a request's name) refused or failed by the library, in words that fit {@code kind}. */
    static IPodException refused(String what, Kind kind) {
        switch (kind) {
            case NOT_READY:
                return new IPodException(what + " refused: no ready device (open a session first)", kind);
            case LIMIT:
                return new IPodException(what + " refused by a limit of the library", kind);
            case INVALID_ARGUMENT:
                return new IPodException(what + " refused: an argument cannot be used", kind);
            case NO_MEMORY:
                return new IPodException(what + " failed: out of memory", kind);
            default:
                return new IPodException(what + " failed (" + kind + ")", kind);
        }
    }

    /**
     * What kind of failure this is.
     *
     * @return the kind, never null
     */
    public Kind kind() {
        return kind;
    }
}
