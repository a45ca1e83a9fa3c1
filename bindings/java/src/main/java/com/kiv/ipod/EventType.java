package com.kiv.ipod;

/** Event types; UNKNOWN for any other event name. */
public enum EventType {
    /** A device was attached. */
    CONNECTED(1),
    /** A device went away. */
    DISCONNECTED(2),
    /** A device was not identified. */
    FAIL_TO_DETECT(3),
    /** Authentication result. */
    AUTHENTICATED(4),
    /** Extended mode changed. */
    MODE_CHANGED(5),
    /** The play state changed; its data: a {@link WirePlayStatus}. */
    PLAY_STATE_CHANGED(6),
    /** The current track changed; its data: the track index. */
    TRACK_INDEX_CHANGED(7),
    /** The sample rate is known; its data: the sample rate. */
    SAMPLERATE_RETRIEVED(9),
    /** The play position changed; its data: the position. */
    TRACK_POSITION_CHANGED(10),
    /** The chapter changed; its data: track, chapter, count. */
    CHAPTER_INDEX_CHANGED(11),
    /** The shuffle mode changed; its data: a {@link ShuffleMode}. */
    SHUFFLE_CHANGED(12),
    /** The repeat mode changed; its data: a {@link RepeatMode}. */
    REPEAT_CHANGED(13),
    /** The playlist changed. */
    PLAYLIST_CHANGED(14),
    /** A device became ready. */
    IPOD_READY(15),
    /** An EAP session opened. */
    EAP_SESSION_OPENED(18),
    /** An EAP session closed. */
    EAP_SESSION_CLOSED(19),
    /** An EAP datagram arrived. */
    EAP_DATA_RECEIVED(20),
    /** Any other event name. */
    UNKNOWN(255);

    private final int code;

    EventType(int code) {
        this.code = code;
    }

    /**
     * The number the library and the daemon use.
     *
     * @return the number
     */
    public int code() {
        return code;
    }

    /**
     * The constant with a number.
     *
     * @param code the number
     * @return the constant, or null for a number without a name
     */
    public static EventType fromCode(int code) {
        for (EventType v : values())
            if (v.code == code) return v;
        return null;
    }
}
