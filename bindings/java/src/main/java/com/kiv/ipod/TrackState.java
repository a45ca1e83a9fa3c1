package com.kiv.ipod;

/** Play state as the current-track cache reports it ({@link IPodClient#currentTrack()}). Not to be mixed with {@link WirePlayStatus}, the daemon's own numbering. */
public enum TrackState {
    /** Nothing is playing. */
    STOPPED(0),
    /** Playing. */
    PLAYING(1),
    /** Paused. */
    PAUSED(2),
    /** The device reports an error. */
    ERROR(3),
    /** Seeking forward. */
    FAST_FORWARD(4),
    /** Seeking backward. */
    REWIND(5);

    private final int code;

    TrackState(int code) {
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
    public static TrackState fromCode(int code) {
        for (TrackState v : values())
            if (v.code == code) return v;
        return null;
    }
}
