package com.kiv.ipod;

/** Event types; UNKNOWN for any other event name. */
public enum EventType {
    CONNECTED(1),
    DISCONNECTED(2),
    FAIL_TO_DETECT(3),
    AUTHENTICATED(4),
    MODE_CHANGED(5),
    PLAY_STATE_CHANGED(6),
    TRACK_INDEX_CHANGED(7),
    SAMPLERATE_RETRIEVED(9),
    TRACK_POSITION_CHANGED(10),
    CHAPTER_INDEX_CHANGED(11),
    SHUFFLE_CHANGED(12),
    REPEAT_CHANGED(13),
    PLAYLIST_CHANGED(14),
    IPOD_READY(15),
    EAP_SESSION_OPENED(18),
    EAP_SESSION_CLOSED(19),
    EAP_DATA_RECEIVED(20),
    UNKNOWN(255);

    private final int code;

    EventType(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static EventType fromCode(int code) {
        for (EventType v : values())
            if (v.code == code) return v;
        return null;
    }
}
