package com.kiv.ipod;

/**
 * The native methods of the binding (libkiv-ipod-2-jni). Every method but
 * {@link #wake} and {@link #openHandles} is called from the loop thread of
 * one {@link ClientCore} only, with the binding pointer that {@link #connect}
 * returned and until {@link #close}.
 */
final class Native {
    /** The JNI glue, as System.loadLibrary names it. */
    static final String LIBRARY = "kiv-ipod-2-jni";
    // The directories System.loadLibrary searches (read before it does).
    private static final String SEARCHED = System.getProperty("java.library.path");
    // Why the glue could not be loaded (null once loaded). The class itself
    // always initializes, so that every later attempt reports the same cause.
    private static final UnsatisfiedLinkError LOAD_ERROR = load();

    private Native() {}

    private static UnsatisfiedLinkError load() {
        try {
            System.loadLibrary(LIBRARY);
            return null;
        } catch (UnsatisfiedLinkError e) {
            return e;
        }
    }

    /**
     * Throws, on the calling thread, when the glue could not be loaded: the
     * message names the library file and the directories searched.
     */
    static void check() {
        if (LOAD_ERROR == null) return;
        String file = System.mapLibraryName(LIBRARY);
        UnsatisfiedLinkError e = new UnsatisfiedLinkError("cannot load " + file
                + ", the JNI library of com.kiv.ipod, from java.library.path="
                + SEARCHED + " (" + LOAD_ERROR.getMessage()
                + "); start the JVM with -Djava.library.path=<the directory that holds " + file + ">");
        e.initCause(LOAD_ERROR);
        throw e;
    }

    // Request selectors of request().
    static final int REQ_PING = 0, REQ_PLAY = 1, REQ_STOP = 2, REQ_PAUSE = 3, REQ_NEXT = 4, REQ_PREV = 5,
            REQ_FFW = 6, REQ_REW = 7, REQ_STOP_SEEK = 8, REQ_SET_POSITION = 9, REQ_TRACK_INFO = 10,
            REQ_PLAY_STATE = 11, REQ_TRACK_INDEX = 12, REQ_SET_SHUFFLE = 13, REQ_GET_SHUFFLE = 14,
            REQ_SET_REPEAT = 15, REQ_GET_REPEAT = 16, REQ_ARTWORK = 17, REQ_SET_CATEGORY = 18,
            REQ_SET_HIERARCHY = 19, REQ_SELECT_DB = 20, REQ_GET_RECORDS = 21, REQ_INDEXED_TRACK = 22,
            REQ_LINGO_VERSION = 23, REQ_OPEN_SESSION = 24, REQ_CLOSE_SESSION = 25, REQ_SET_PREFERENCE = 26,
            REQ_GET_PREFERENCE = 27, REQ_PLAY_TRACK = 28, REQ_SAMPLE_RATE = 29, REQ_REAUTHENTICATION = 30,
            REQ_SET_STATECHANGE = 31, REQ_ENTER_VIDEO_OUT = 32, REQ_EXIT_VIDEO_OUT = 33, REQ_GET_VIDEO_OUT = 34,
            REQ_SET_VIDEO_OUT = 35, REQ_NAVIGATE_VIDEO_OUT = 36, REQ_GET_MODE = 37, REQ_DB_ITUNES_INFO = 38,
            REQ_DB_TRACK_INFO = 39, REQ_PB_TRACK_INFO = 40, REQ_PLAY_CHAPTER = 41, REQ_AVAILABLE_CURRENT = 42,
            REQ_RESTART_IDPS = 43, REQ_WRITE_TAG = 44, REQ_CHAPTER_INFO = 45;
    // Selectors of requestData().
    static final int DATA_LAUNCH = 0, DATA_EAP = 1, DATA_PREPARE_UID_LIST = 2, DATA_PLAY_UID_LIST = 3,
            DATA_ARTWORK_DATA = 4;
    // Selectors of requestTexts().
    static final int TEXTS_CONFIG = 0, TEXTS_BLUETOOTH_HW = 1, TEXTS_BLUETOOTH_STATE = 2;
    // Selectors of value().
    static final int V_DB_TRACKS = 0, V_PB_TRACKS = 1, V_CHAPTERS = 2, V_INDEXED_TRACK = 3;
    // Selectors of text().
    static final int T_TITLE = 0, T_ARTIST = 1, T_ALBUM = 2, T_COMPOSER = 3, T_GENRE = 4, T_CHAPTER = 5,
            T_INDEXED_TITLE = 6, T_INDEXED_ARTIST = 7, T_INDEXED_ALBUM = 8, T_LINGO_VERSION = 9,
            T_DEVICE_SERIAL = 10, T_DEVICE_NAME = 11, T_DEVICE_VERSION = 12, T_LAST_ERROR = 13;
    // Selectors of number().
    static final int N_TRACK_COUNT = 0, N_TRACK_INDEX = 1, N_CHAPTER_INDEX = 2, N_CHAPTER_COUNT = 3,
            N_LENGTH = 4, N_POSITION = 5, N_STATE = 6, N_HAS_ARTWORK = 7, N_HAS_CHAPTERS = 8,
            N_IS_AUDIOBOOK = 9, N_IS_PODCAST = 10, N_SAMPLE_RATE = 11, N_SHUFFLE = 12, N_REPEAT = 13,
            N_INDEXED_LENGTH = 14, N_INDEXED_CHAPTER_COUNT = 15, N_INDEXED_AUDIOBOOK = 16,
            N_INDEXED_PODCAST = 17, N_ARTWORK_WIDTH = 18, N_ARTWORK_HEIGHT = 19, N_ARTWORK_ROWSTRIDE = 20,
            N_RECORD_COUNT = 21, N_IS_READY = 22, N_SESSION_OPENED = 23, N_DEVICE_COUNT = 24,
            N_CURRENT_SESSION = 25, N_PID = 26, N_FD = 27, N_DEVICE_AUDIO_COUNT = 28,
            N_DEVICE_ITUNES_DB = 29, N_DEVICE_READY = 30, N_DEVICE_EXTENDED = 31,
            N_DEVICE_AUTHENTICATED = 32, N_DEVICE_PRODUCT_ID = 33, N_DEVICE_TYPE = 34,
            N_TIMESTAMP = 35, N_DB_ITUNES_COUNT = 36, N_LAST_ERROR_KIND = 37;
    // Selectors of bytes().
    static final int B_TRACK_UID = 0, B_INDEXED_UID = 1, B_ARTWORK = 2, B_DB_UID = 3, B_DB_SYNC_TIME = 4;

    /**
     * Connects to the daemon: the binding pointer, or a failure (see
     * {@link #failure}). When the daemon refused the opening request, its
     * text is stored in {@code refusal[0]}.
     */
    static native long connect(String[] refusal);

    static native void close(long binding);

    /** Bit 1: the socket is readable (or lost); bit 2: woken. */
    static native int poll(long binding, int timeoutMs);

    /** Wakes a poll() in progress or the next one; any thread. */
    static native void wake(long binding);

    /** kiv_ipod_read(): callbacks reach {@code core} on this thread. */
    static native int read(long binding, Object core);

    /** Sends a request: its transaction id, or a failure (see {@link #failure}). */
    static native long request(long binding, int op, int a, int b, int c);

    /** Sends a request with bytes: its transaction id, or a failure (see {@link #failure}). */
    static native long requestData(long binding, int op, int a, int b, byte[] data);

    /**
     * Sends a request with texts (UTF-8 without NUL; {@code t2} null for
     * one text): its transaction id, or a failure (see {@link #failure}).
     */
    static native long requestTexts(long binding, int op, int a, int b, byte[] t1, byte[] t2);

    /**
     * A cached value tree as Java objects: Integer, Float, String, byte[],
     * Object[] for an array, Object[][] {keys, values} for a hash; null for none.
     */
    static native Object value(long binding, int which);

    /** The health examination with {@code text} (blocking within the handle's timeout): its reply as {@link #value}. */
    static native Object healthExamine(long binding, byte[] text);

    /**
     * The kind of failure that {@link #connect}, {@link #request} or
     * {@link #requestData} returned: each returns a failure as its kind
     * negated, and success as a positive number.
     */
    static IPodException.Kind failure(long result) {
        return IPodException.Kind.fromNative((int) -result);
    }

    static native String text(long binding, int which, int index);

    static native int number(long binding, int which, int index);

    static native byte[] bytes(long binding, int which);

    static native String[] records(long binding);

    /** Identity of the cached records reply (0 for none). */
    static native long recordsToken(long binding);

    /** kiv_ipod_set_timeout(): bounds the handle's blocking writes; 0 for none. */
    static native int setTimeout(long binding, int timeoutMs);

    /** How the glue decodes the daemon's texts (for the tests). */
    static native String decodeUtf8(byte[] bytes);

    /** Native handles connected and not yet closed, in the whole process. */
    static native long openHandles();
}
