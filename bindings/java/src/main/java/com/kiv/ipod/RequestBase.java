package com.kiv.ipod;

import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.CompletableFuture;

/**
 * What every request of {@link IPodClient} is made of: the sending on the
 * loop thread, the blocking and asynchronous forms, and the copies of the
 * caches that a reply filled.
 */
abstract class RequestBase {
    /** The state behind the client: its loop thread and native binding. */
    final ClientCore core;

    RequestBase(ClientCore core) {
        this.core = core;
    }

    // -------------------------------------------------------- internals

    static final Decoder<Integer> STANDARD = (b, r) -> r;

    <T> T blocking(String name, Sender sender, Decoder<T> decoder) throws IPodException {
        return core.await(core.request(name, -1, sender, decoder, false));
    }

    <T> CompletableFuture<T> async(String name, Sender sender, Decoder<T> decoder) {
        return core.request(name, -1, sender, decoder, true);
    }

    static Sender op(int op, int a, int x) {
        return b -> Native.request(b, op, a, x, 0);
    }

    /** Requests whose reply the library parses into a cache of its kind. */
    static int kind(int op) {
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
            case Native.REQ_SAMPLE_RATE:
            case Native.REQ_DB_ITUNES_INFO:
            case Native.REQ_DB_TRACK_INFO:
            case Native.REQ_PB_TRACK_INFO:
            case Native.REQ_CHAPTER_INFO:
                return op;
            default:
                return -1;
        }
    }

    <T> T get(LoopWork<T> work) throws IPodException {
        return core.await(core.onLoop(work));
    }

    static IPodException noReply(String what) {
        return new IPodException("no " + what + " in the daemon's reply", IPodException.Kind.NONE);
    }

    static TrackInfo readTrack(long b) {
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

    static Artwork readArtwork(long b) throws IPodException {
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

    /** The kind of the two uid-list requests, which share one cache slot. */
    static final int KIND_UID_LIST = 1000;

    /** A request of up to three integers, its reply decoded by {@code decoder}. */
    <T> CompletableFuture<T> send(String name, int op, int a, int x, int y, Decoder<T> decoder,
            boolean async) {
        return core.request(name, kind(op), b -> Native.request(b, op, a, x, y), decoder, async);
    }

    /** {@code s} as UTF-8 for a text argument; a text holds no NUL. */
    static byte[] utf8(String s, String what) {
        if (s.indexOf('\0') >= 0) throw new IllegalArgumentException(what + " holds no NUL");
        return s.getBytes(StandardCharsets.UTF_8);
    }

    /** An 8-byte uid, copied. */
    static byte[] uid(byte[] uid) {
        if (uid.length != 8) throw new IllegalArgumentException("a uid has 8 bytes, not " + uid.length);
        return uid.clone();
    }

    /** The failure of a reply that left no value in its cache: {@code what} names the value. */
    static <T> Decoder<T> ifOne(String what, Decoder<T> decoder) {
        return (b, r) -> {
            if (r != 1) throw noReply(what);
            return decoder.decode(b, r);
        };
    }
}
